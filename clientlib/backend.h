// backend.h: the interface between libveltoci's OCI handles and the databases
// behind them (SQLite, PostgreSQL), and the result record both fill.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veltoci {

// One column as OCIAttrGet describes it: OCI data type code, data size, name.
struct Column {
    std::string name;
    int type = 1;
    int size = 0;
};

// A statement's whole result, read at execute time; fetching walks its rows.
struct Result {
    bool is_query = false;              // the statement returns rows
    std::vector<Column> columns;
    std::vector<std::string> cells;     // row-major, columns.size() per row
    std::vector<char> nulls;            // 1 where the cell is SQL NULL
    size_t row_count = 0;
    long long changes = 0;              // rows changed by a data-changing statement
};

// One bound parameter, already read from the caller's buffer.
struct Param {
    bool is_null = true;
    std::string text;
};

// A failure as OCIErrorGet reports it: the database's own code and message.
struct Failure {
    int code = 0;
    std::string message;
};

struct Backend;

// An open database connection.
struct Connection {
    const Backend* backend = nullptr;
    void* impl = nullptr;
    bool in_transaction = false;
};

// What every database offers. `run` begins the session's transaction at its
// first statement; a statement that fails leaves the transaction as it was
// before that statement.
struct Backend {
    bool (*open)(Connection& c, const std::string& db, const std::string& user,
                 const std::string& pwd, Failure& f);
    void (*close)(Connection& c);
    bool (*run)(Connection& c, const std::string& sql, const std::vector<Param>& params,
                Result& out, Failure& f);
    bool (*end_transaction)(Connection& c, bool commit, Failure& f);
    bool (*has_table)(Connection& c, const char* name);
};

extern const Backend sqlite_backend;
extern const Backend pg_backend;

// Rewrites the bind markers "?", "?n", ":n" and "$n" outside quoted literals
// and comments into `style` followed by the position ("?n" for SQLite, "$n" for
// PostgreSQL). A bare "?" takes the position after the highest seen so far.
// Returns the highest position written.
int rewrite_markers(const std::string& sql, char style, std::string& out);

// Cap for reported data sizes and the lengths an sb2 indicator can carry.
constexpr int k_max_data_size = 32767;

}  // namespace veltoci
