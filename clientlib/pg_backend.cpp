// pg_backend.cpp: the PostgreSQL database behind libveltoci, through libpq,
// which is loaded with dlopen only when a PostgreSQL connection opens. Every
// statement runs under a savepoint, so a failed statement undoes only itself
// and the session's transaction goes on.
#include "backend.h"

#include <dlfcn.h>
#include <libpq-fe.h>

#include <cstring>

namespace veltoci {

// The libpq routines used, resolved once.
struct Libpq {
    bool loaded = false;
    decltype(&PQconnectdbParams) connectdb_params;
    decltype(&PQstatus) status;
    decltype(&PQerrorMessage) error_message;
    decltype(&PQfinish) finish;
    decltype(&PQexec) exec;
    decltype(&PQexecParams) exec_params;
    decltype(&PQresultStatus) result_status;
    decltype(&PQresultErrorField) result_error_field;
    decltype(&PQresultErrorMessage) result_error_message;
    decltype(&PQclear) clear;
    decltype(&PQntuples) ntuples;
    decltype(&PQnfields) nfields;
    decltype(&PQfname) fname;
    decltype(&PQftype) ftype;
    decltype(&PQfmod) fmod;
    decltype(&PQgetvalue) getvalue;
    decltype(&PQgetlength) getlength;
    decltype(&PQgetisnull) getisnull;
    decltype(&PQcmdTuples) cmd_tuples;
    decltype(&PQsetNoticeProcessor) set_notice_processor;
};

static Libpq pq;

template <class T>
static bool resolve(void* lib, const char* name, T& slot)
{
    slot = reinterpret_cast<T>(dlsym(lib, name));
    return slot != nullptr;
}

static bool load_libpq(Failure& f)
{
    if (pq.loaded) return true;
    void* lib = dlopen("libpq.so.5", RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        f.code = 1;
        f.message = std::string("cannot load libpq: ") + dlerror();
        return false;
    }
    bool ok = resolve(lib, "PQconnectdbParams", pq.connectdb_params)
        && resolve(lib, "PQstatus", pq.status) && resolve(lib, "PQerrorMessage", pq.error_message)
        && resolve(lib, "PQfinish", pq.finish) && resolve(lib, "PQexec", pq.exec)
        && resolve(lib, "PQexecParams", pq.exec_params)
        && resolve(lib, "PQresultStatus", pq.result_status)
        && resolve(lib, "PQresultErrorField", pq.result_error_field)
        && resolve(lib, "PQresultErrorMessage", pq.result_error_message)
        && resolve(lib, "PQclear", pq.clear) && resolve(lib, "PQntuples", pq.ntuples)
        && resolve(lib, "PQnfields", pq.nfields) && resolve(lib, "PQfname", pq.fname)
        && resolve(lib, "PQftype", pq.ftype) && resolve(lib, "PQfmod", pq.fmod)
        && resolve(lib, "PQgetvalue", pq.getvalue) && resolve(lib, "PQgetlength", pq.getlength)
        && resolve(lib, "PQgetisnull", pq.getisnull) && resolve(lib, "PQcmdTuples", pq.cmd_tuples)
        && resolve(lib, "PQsetNoticeProcessor", pq.set_notice_processor);
    if (!ok) {
        f.code = 1;
        f.message = "libpq lacks a routine libveltoci needs";
        return false;
    }
    pq.loaded = true;
    return true;
}

static PGconn* conn_of(Connection& c) { return static_cast<PGconn*>(c.impl); }

static std::string trimmed(const char* text)
{
    std::string s = text ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

// The server's message for a failed result: its primary text, else libpq's.
static void fail_from(PGconn* conn, PGresult* res, Failure& f)
{
    f.code = 1;
    const char* primary = res ? pq.result_error_field(res, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    if (primary) {
        f.message = primary;
        const char* state = pq.result_error_field(res, PG_DIAG_SQLSTATE);
        if (state) f.code = static_cast<int>(std::strtol(state, nullptr, 36));
    } else {
        f.message = trimmed(res ? pq.result_error_message(res) : pq.error_message(conn));
        if (f.message.empty()) f.message = trimmed(pq.error_message(conn));
    }
}

static void ignore_notice(void*, const char*) {}

static bool pg_open(Connection& c, const std::string& db, const std::string& user,
                    const std::string& pwd, Failure& f)
{
    if (!load_libpq(f)) return false;
    const char* keys[5];
    const char* values[5];
    int n = 0;
    keys[n] = "dbname"; values[n++] = db.c_str();
    if (!user.empty()) { keys[n] = "user"; values[n++] = user.c_str(); }
    if (!pwd.empty()) { keys[n] = "password"; values[n++] = pwd.c_str(); }
    keys[n] = "client_encoding"; values[n++] = "UTF8";
    keys[n] = nullptr; values[n] = nullptr;
    PGconn* conn = pq.connectdb_params(keys, values, 1);
    if (!conn || pq.status(conn) != CONNECTION_OK) {
        f.code = 1;
        f.message = conn ? trimmed(pq.error_message(conn)) : "out of memory";
        if (conn) pq.finish(conn);
        return false;
    }
    pq.set_notice_processor(conn, ignore_notice, nullptr);
    c.impl = conn;
    return true;
}

static void pg_close(Connection& c)
{
    if (c.impl) pq.finish(conn_of(c));
    c.impl = nullptr;
    c.in_transaction = false;
}

// Runs a command of the library's own; true when it succeeded.
static bool command(PGconn* conn, const char* sql, Failure* f)
{
    PGresult* res = pq.exec(conn, sql);
    bool ok = res && pq.result_status(res) == PGRES_COMMAND_OK;
    if (!ok && f) fail_from(conn, res, *f);
    if (res) pq.clear(res);
    return ok;
}

static void type_of(PGresult* res, int i, Column& col)
{
    switch (pq.ftype(res, i)) {
    case 20: case 21: case 23: col.type = 3; col.size = 22; return;   // int8, int2, int4
    case 700: case 701: col.type = 4; col.size = 22; return;          // float4, float8
    case 1700: col.type = 2; col.size = 22; break;                    // numeric
    case 1082: col.type = 12; col.size = 16; return;                  // date
    case 1114: col.type = 187; col.size = 32; return;                 // timestamp
    default: col.type = 1; col.size = 0; break;
    }
    int mod = pq.fmod(res, i);
    Oid oid = pq.ftype(res, i);
    if ((oid == 1042 || oid == 1043) && mod > 4) {  // char(n), varchar(n): n characters
        int chars = mod - 4;
        col.size = chars > k_max_data_size / 4 ? k_max_data_size : chars * 4;
        return;
    }
    // Without a declared size: the longest value in this result.
    int rows = pq.ntuples(res);
    for (int r = 0; r < rows; r++) {
        int len = pq.getlength(res, r, i);
        if (len > col.size) col.size = len;
    }
    if (col.size > k_max_data_size) col.size = k_max_data_size;
}

static bool pg_run(Connection& c, const std::string& sql, const std::vector<Param>& params,
                   Result& out, Failure& f)
{
    PGconn* conn = conn_of(c);
    std::string text;
    int wanted = rewrite_markers(sql, '$', text);
    if (static_cast<size_t>(wanted) > params.size()) {
        f.code = 1008;
        f.message = "ORA-01008: not all variables bound";
        return false;
    }
    std::vector<const char*> values(wanted);
    for (int i = 0; i < wanted; i++) values[i] = params[i].is_null ? nullptr : params[i].text.c_str();
    if (!c.in_transaction) {
        if (!command(conn, "BEGIN", &f)) return false;
        c.in_transaction = true;
    }
    if (!command(conn, "SAVEPOINT velt_statement", &f)) return false;
    PGresult* res = pq.exec_params(conn, text.c_str(), wanted, nullptr, values.data(), nullptr, nullptr, 0);
    ExecStatusType st = res ? pq.result_status(res) : PGRES_FATAL_ERROR;
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
        fail_from(conn, res, f);
        if (res) pq.clear(res);
        command(conn, "ROLLBACK TO SAVEPOINT velt_statement", nullptr);
        command(conn, "RELEASE SAVEPOINT velt_statement", nullptr);
        return false;
    }
    Result r;
    r.is_query = st == PGRES_TUPLES_OK;
    if (r.is_query) {
        int ncol = pq.nfields(res), rows = pq.ntuples(res);
        for (int i = 0; i < ncol; i++) {
            Column col;
            col.name = pq.fname(res, i);
            type_of(res, i, col);
            r.columns.push_back(col);
        }
        r.cells.reserve(static_cast<size_t>(ncol) * rows);
        for (int row = 0; row < rows; row++)
            for (int i = 0; i < ncol; i++) {
                bool null = pq.getisnull(res, row, i);
                r.nulls.push_back(null ? 1 : 0);
                if (null) r.cells.emplace_back();
                else r.cells.emplace_back(pq.getvalue(res, row, i), static_cast<size_t>(pq.getlength(res, row, i)));
            }
        r.row_count = static_cast<size_t>(rows);
    } else {
        r.changes = std::atoll(pq.cmd_tuples(res));
    }
    pq.clear(res);
    if (!command(conn, "RELEASE SAVEPOINT velt_statement", &f)) return false;
    out = std::move(r);
    return true;
}

static bool pg_end_transaction(Connection& c, bool commit, Failure& f)
{
    if (!c.in_transaction) return true;
    c.in_transaction = false;
    // A refused COMMIT (a deferred constraint) ends the transaction rolled back.
    return command(conn_of(c), commit ? "COMMIT" : "ROLLBACK", &f);
}

static bool pg_has_table(Connection& c, const char* name)
{
    const char* values[1] = {name};
    PGresult* res = pq.exec_params(conn_of(c), "select to_regclass($1) is not null", 1, nullptr,
                                   values, nullptr, nullptr, 0);
    bool found = res && pq.result_status(res) == PGRES_TUPLES_OK && pq.ntuples(res) == 1
        && std::strcmp(pq.getvalue(res, 0, 0), "t") == 0;
    if (res) pq.clear(res);
    return found;
}

const Backend pg_backend = {pg_open, pg_close, pg_run, pg_end_transaction, pg_has_table};

}  // namespace veltoci
