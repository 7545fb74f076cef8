// The database client layer: loads the OCI client library at run time,
// opens and closes connections, prepares, binds, executes and fetches, and
// turns every client status into a report naming the failing call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velt {

constexpr int DB_CONNECTIONS_MAX = 16;
// Columns a query may have (256 and more fail with 3330).
constexpr int DB_COLUMNS_MAX = 255;
// Width of the fetch slot of a NUMBER, DATE, TIMESTAMP, integer or real
// column: wide enough for every text the client writes for them.
constexpr int DB_NUMBER_SLOT = 64;

// Column kinds of a query result.
enum ColumnKind : uint8_t { COL_TEXT = 0, COL_INT = 1, COL_REAL = 2, COL_NUMBER = 3 };

// One open connection of the open-connection table.
struct DbConnection {
    bool open;
    bool jis;
    void* env;
    void* err;
    void* srv;
    void* svc;
    void* ses;
};
extern DbConnection g_db_connections[DB_CONNECTIONS_MAX];

// A bound value: text and length; null text means SQL NULL.
struct BindText {
    const char* text;
    uint32_t len;
};

// One column of a query and the current row's value in it.
struct QueryColumn {
    uint8_t kind;      // ColumnKind
    uint16_t type;     // external type code the client reported
    const char* name;  // column name (when asked for), not NUL-terminated
    uint32_t name_len;
    char* slot;
    uint32_t width;
    int16_t indicator;  // -1 NULL
    uint16_t length;    // returned length
};

struct QueryColumns {
    int count;
    QueryColumn* columns;
};

// Called once with row DB_DESCRIBED when the columns are described, then
// once per fetched row (row is 0-based).
constexpr uint32_t DB_DESCRIBED = 0xFFFFFFFFu;
using RowSink = void (*)(void* ctx, const QueryColumns& cols, uint32_t row);

// Opens a connection into a free table entry and returns its index. The
// library is loaded by the first call; later calls use it whatever path
// they give. A 17th connection fails with 1255 without opening anything.
int db_connect(const char* library_path, size_t library_len, const char* conn_text, size_t conn_len);
// Ends the transaction (commit or rollback), the session and the
// connection; the entry leaves the table. A failed commit ends the session,
// closes the connection and then fails with 3230.
void db_disconnect(int index, bool commit);
// Rolls back and closes every connection still open (end of the run).
void db_close_all();

// Runs a statement once with the given binds (none: the plain run).
void db_run(int index, const char* sql, size_t len, const BindText* binds, uint32_t nbinds);
// Runs a statement once per row: `fixed` binds (name and expression
// placeholders) at their positions, then each row's binds at theirs.
// positions[i] is the 1-based bind position of binds[i].
struct BindRowsPlan {
    const BindText* fixed;
    const uint32_t* fixed_positions;
    uint32_t nfixed;
    const BindText* rows;  // rows x per_row texts
    const uint32_t* row_positions;
    uint32_t per_row;
    uint32_t nrows;
};
void db_run_rows(int index, const char* sql, size_t len, const BindRowsPlan& plan);

// Runs a query and hands every row to the sink; returns the row count.
// want_names asks the column names; text_width, when not 0, is the slot
// width of every text column instead of its reported data size. More than
// DB_COLUMNS_MAX columns fail with 3330.
uint32_t db_query(int index, const char* sql, size_t len, const BindText* binds, uint32_t nbinds,
                  bool want_names, RowSink sink, void* ctx, uint32_t text_width = 0);

}  // namespace velt
