// sqlite_backend.cpp: the SQLite database behind libveltoci. Locking scheme:
// the database runs in WAL mode and a session's first statement opens its
// transaction with BEGIN IMMEDIATE, so a transaction that reads first and
// writes later never fails on the read-to-write upgrade; waits for the write
// lock go through the busy timeout.
#include "backend.h"

#include <sqlite3.h>

#include <cctype>
#include <cstring>

namespace veltoci {

// Long enough for every concurrent CGI request writing the same file to get
// its turn; a request that waits longer has a real problem to report.
constexpr int k_busy_timeout_ms = 60000;

static sqlite3* handle_of(Connection& c) { return static_cast<sqlite3*>(c.impl); }

static void fail_from(sqlite3* db, Failure& f)
{
    f.code = sqlite3_extended_errcode(db);
    f.message = sqlite3_errmsg(db);
}

static bool sqlite_open(Connection& c, const std::string& db, const std::string&,
                        const std::string&, Failure& f)
{
    sqlite3* h = nullptr;
    int rc = sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        f.code = rc;
        f.message = h ? sqlite3_errmsg(h) : sqlite3_errstr(rc);
        sqlite3_close(h);
        return false;
    }
    sqlite3_busy_timeout(h, k_busy_timeout_ms);
    // A database that is not a database fails here rather than at the first statement.
    char* msg = nullptr;
    if (sqlite3_exec(h, "PRAGMA journal_mode=WAL", nullptr, nullptr, &msg) != SQLITE_OK
        && sqlite3_errcode(h) != SQLITE_READONLY) {  // a read-only file keeps its journal mode
        fail_from(h, f);
        sqlite3_free(msg);
        sqlite3_close(h);
        return false;
    }
    c.impl = h;
    return true;
}

static void sqlite_close(Connection& c)
{
    if (c.impl) sqlite3_close_v2(handle_of(c));
    c.impl = nullptr;
    c.in_transaction = false;
}

// The OCI type code and data size for a declared column type.
static void type_from_declared(const char* decl, Column& col)
{
    std::string base;
    int width = 0;
    const char* p = decl;
    for (; *p && *p != '('; p++) base.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(*p))));
    if (*p == '(') width = std::atoi(p + 1);
    while (!base.empty() && base.back() == ' ') base.pop_back();
    while (!base.empty() && base.front() == ' ') base.erase(0, 1);
    struct Row { const char* name; int type; };
    static const Row table[] = {
        {"INTEGER", 3}, {"INT", 3}, {"BIGINT", 3}, {"SMALLINT", 3},
        {"REAL", 4}, {"FLOAT", 4}, {"DOUBLE", 4}, {"DOUBLE PRECISION", 4},
        {"NUMBER", 2}, {"NUMERIC", 2}, {"DECIMAL", 2},
        {"DATE", 12}, {"TIMESTAMP", 187},
    };
    col.type = 1;
    for (const Row& r : table)
        if (base == r.name) col.type = r.type;
    if (col.type == 2 || col.type == 3 || col.type == 4) {
        col.size = 22;
    } else if (col.type == 1 && width > 0) {
        col.size = width > k_max_data_size / 4 ? k_max_data_size : width * 4;
    } else {
        col.size = k_max_data_size;  // SQLite keeps whatever text it is given
    }
}

static bool sqlite_run(Connection& c, const std::string& sql, const std::vector<Param>& params,
                       Result& out, Failure& f)
{
    sqlite3* h = handle_of(c);
    std::string text;
    rewrite_markers(sql, '?', text);
    if (!c.in_transaction) {
        // A file this process may only read cannot take the write lock: its
        // sessions read in a deferred transaction.
        if (sqlite3_exec(h, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK
            && (sqlite3_errcode(h) != SQLITE_READONLY
                || sqlite3_exec(h, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK)) {
            fail_from(h, f);
            return false;
        }
        c.in_transaction = true;
    }
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(h, text.c_str(), static_cast<int>(text.size()), &st, nullptr) != SQLITE_OK) {
        fail_from(h, f);
        return false;
    }
    if (!st) {  // only blanks or comments
        out = Result{};
        return true;
    }
    int wanted = sqlite3_bind_parameter_count(st);
    for (int i = 1; i <= wanted; i++) {
        if (static_cast<size_t>(i) > params.size()) {
            sqlite3_finalize(st);
            f.code = 1008;
            f.message = "ORA-01008: not all variables bound";
            return false;
        }
        const Param& p = params[i - 1];
        int rc = p.is_null ? sqlite3_bind_null(st, i)
                           : sqlite3_bind_text(st, i, p.text.data(), static_cast<int>(p.text.size()),
                                               SQLITE_STATIC);
        if (rc != SQLITE_OK) {
            fail_from(h, f);
            sqlite3_finalize(st);
            return false;
        }
    }
    Result r;
    int ncol = sqlite3_column_count(st);
    r.is_query = ncol > 0;
    std::vector<char> undeclared(ncol, 0);
    for (int i = 0; i < ncol; i++) {
        Column col;
        const char* name = sqlite3_column_name(st, i);
        col.name = name ? name : "";
        const char* decl = sqlite3_column_decltype(st, i);
        if (decl) {
            type_from_declared(decl, col);
        } else {
            undeclared[i] = 1;
            col.type = 1;
            col.size = k_max_data_size;
        }
        r.columns.push_back(col);
    }
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        for (int i = 0; i < ncol; i++) {
            int kind = sqlite3_column_type(st, i);
            if (r.row_count == 0 && undeclared[i] && (kind == SQLITE_INTEGER || kind == SQLITE_FLOAT)) {
                r.columns[i].type = 2;
                r.columns[i].size = 22;
            }
            if (kind == SQLITE_NULL) {
                r.cells.emplace_back();
                r.nulls.push_back(1);
            } else {
                const unsigned char* v = sqlite3_column_text(st, i);
                int len = sqlite3_column_bytes(st, i);
                r.cells.emplace_back(reinterpret_cast<const char*>(v), static_cast<size_t>(len));
                r.nulls.push_back(0);
            }
        }
        r.row_count++;
    }
    if (rc != SQLITE_DONE) {
        fail_from(h, f);
        sqlite3_finalize(st);
        if (sqlite3_get_autocommit(h)) c.in_transaction = false;  // SQLite ended it
        return false;
    }
    r.changes = r.is_query ? 0 : sqlite3_changes(h);
    sqlite3_finalize(st);
    if (sqlite3_get_autocommit(h)) c.in_transaction = false;  // the statement itself ended it
    out = std::move(r);
    return true;
}

static bool sqlite_end_transaction(Connection& c, bool commit, Failure& f)
{
    if (!c.in_transaction) return true;
    sqlite3* h = handle_of(c);
    bool ok = true;
    if (commit && sqlite3_exec(h, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        fail_from(h, f);
        ok = false;
    }
    // A commit refused (a deferred constraint) leaves SQLite's transaction
    // open: it is rolled back, as a database server does.
    if (!sqlite3_get_autocommit(h)) {
        if (sqlite3_exec(h, "ROLLBACK", nullptr, nullptr, nullptr) != SQLITE_OK && ok) {
            fail_from(h, f);
            ok = false;
        }
    }
    c.in_transaction = false;
    return ok;
}

static bool sqlite_has_table(Connection& c, const char* name)
{
    sqlite3_stmt* st = nullptr;
    const char* q = "select 1 from sqlite_master where type in ('table','view') and name = ?1 collate nocase";
    if (sqlite3_prepare_v2(handle_of(c), q, -1, &st, nullptr) != SQLITE_OK) return false;
    sqlite3_bind_text(st, 1, name, -1, SQLITE_STATIC);
    bool found = sqlite3_step(st) == SQLITE_ROW;
    sqlite3_finalize(st);
    return found;
}

const Backend sqlite_backend = {sqlite_open, sqlite_close, sqlite_run, sqlite_end_transaction,
                                sqlite_has_table};

}  // namespace veltoci
