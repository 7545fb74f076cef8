// The OCI client layer: the 19 entry points resolved by name from the
// library openDb names, the connection table, and prepare / bind / execute
// / fetch with the status check that names the failing call.
//
// The entry points are called with OCI's C calling convention, handle types,
// attribute numbers and status codes, so a site's own OCI client library
// works as well as ours. Handles are passed as plain pointers.
#include "db/client.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clientlib/oci.h"
#include "driver/errors.h"
#include "platform/platform.h"

namespace velt {

namespace {

// Handle and descriptor types, attributes, modes and statuses. Handles
// are passed as void pointers, which the C calling convention passes as
// the header's handle pointers.
constexpr ub4 HTYPE_ENV = OCI_HTYPE_ENV, HTYPE_ERROR = OCI_HTYPE_ERROR, HTYPE_SVCCTX = OCI_HTYPE_SVCCTX,
              HTYPE_STMT = OCI_HTYPE_STMT, HTYPE_SERVER = OCI_HTYPE_SERVER, HTYPE_SESSION = OCI_HTYPE_SESSION,
              DTYPE_PARAM = OCI_DTYPE_PARAM;
constexpr ub4 ATTR_DATA_SIZE = OCI_ATTR_DATA_SIZE, ATTR_DATA_TYPE = OCI_ATTR_DATA_TYPE, ATTR_NAME = OCI_ATTR_NAME,
              ATTR_SERVER = OCI_ATTR_SERVER, ATTR_SESSION = OCI_ATTR_SESSION, ATTR_USERNAME = OCI_ATTR_USERNAME,
              ATTR_PASSWORD = OCI_ATTR_PASSWORD;
constexpr ub4 CRED_RDBMS = OCI_CRED_RDBMS, NTV_SYNTAX = OCI_NTV_SYNTAX, FETCH_NEXT = OCI_FETCH_NEXT;
constexpr ub2 CHR = SQLT_CHR;
constexpr sword ST_SUCCESS = OCI_SUCCESS, ST_WITH_INFO = OCI_SUCCESS_WITH_INFO, ST_NEED_DATA = OCI_NEED_DATA,
                ST_NO_DATA = OCI_NO_DATA, ST_ERROR = OCI_ERROR, ST_INVALID_HANDLE = OCI_INVALID_HANDLE,
                ST_STILL_EXECUTING = OCI_STILL_EXECUTING, ST_CONTINUE = OCI_CONTINUE;

using FnAttrGet = sword (*)(const void*, ub4, void*, ub4*, ub4, void*);
using FnAttrSet = sword (*)(void*, ub4, void*, ub4, ub4, void*);
using FnBindByPos = sword (*)(void*, void**, void*, ub4, void*, sb4, ub2, void*, ub2*, ub2*, ub4, ub4*, ub4);
using FnDefineByPos = sword (*)(void*, void**, void*, ub4, void*, sb4, ub2, void*, ub2*, ub2*, ub4);
using FnEnvCreate = sword (*)(void**, ub4, void*, void* (*)(void*, size_t), void* (*)(void*, void*, size_t),
                              void (*)(void*, void*), size_t, void**);
using FnErrorGet = sword (*)(void*, ub4, unsigned char*, sb4*, unsigned char*, ub4, ub4);
using FnHandleAlloc = sword (*)(const void*, void**, ub4, size_t, void**);
using FnHandleFree = sword (*)(void*, ub4);
using FnParamGet = sword (*)(const void*, ub4, void*, void**, ub4);
using FnServerAttach = sword (*)(void*, void*, const unsigned char*, sb4, ub4);
using FnServerDetach = sword (*)(void*, void*, ub4);
using FnSessionBegin = sword (*)(void*, void*, void*, ub4, ub4);
using FnSessionEnd = sword (*)(void*, void*, void*, ub4);
using FnStmtExecute = sword (*)(void*, void*, void*, ub4, ub4, const void*, void*, ub4);
using FnStmtFetch2 = sword (*)(void*, void*, ub4, ub2, sb4, ub4);
using FnStmtPrepare = sword (*)(void*, void*, const unsigned char*, ub4, ub4, ub4);
using FnTerminate = sword (*)(ub4);
using FnTrans = sword (*)(void*, void*, ub4);

// The client function table, in the order the names are resolved.
struct ClientFunctions {
    FnAttrGet AttrGet;
    FnAttrSet AttrSet;
    FnBindByPos BindByPos;
    FnDefineByPos DefineByPos;
    FnEnvCreate EnvCreate;
    FnErrorGet ErrorGet;
    FnHandleAlloc HandleAlloc;
    FnHandleFree HandleFree;
    FnParamGet ParamGet;
    FnServerAttach ServerAttach;
    FnServerDetach ServerDetach;
    FnSessionBegin SessionBegin;
    FnSessionEnd SessionEnd;
    FnStmtExecute StmtExecute;
    FnStmtFetch2 StmtFetch2;
    FnStmtPrepare StmtPrepare;
    FnTerminate Terminate;
    FnTrans TransCommit;
    FnTrans TransRollback;
};
const char* const k_function_names[19] = {
    "OCIAttrGet",      "OCIAttrSet",      "OCIBindByPos",   "OCIDefineByPos",  "OCIEnvCreate",
    "OCIErrorGet",     "OCIHandleAlloc",  "OCIHandleFree",  "OCIParamGet",     "OCIServerAttach",
    "OCIServerDetach", "OCISessionBegin", "OCISessionEnd",  "OCIStmtExecute",  "OCIStmtFetch2",
    "OCIStmtPrepare",  "OCITerminate",    "OCITransCommit", "OCITransRollback",
};
static_assert(sizeof(ClientFunctions) == 19 * sizeof(void*), "one pointer per entry point");

ClientFunctions g_oci;
bool g_loaded = false;
constexpr size_t LIBRARY_PATH_MAX = 255;
constexpr size_t PARAM_MAX = 253;
// Slot of the character-set name: every name a database reports fits.
constexpr uint32_t CHARSET_SLOT = 64;
const char CHARSET_QUERY[] = "select value from nls_database_parameters where parameter='NLS_CHARACTERSET'";

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The report for a status that is not success, with the call's tag text.
[[noreturn]] void report_status(sword status, int code, const char* tag, void* err) {
    switch (status) {
    case ST_NEED_DATA: report_error(code, "OCI_NEED_DATA{%s}", tag);
    case ST_NO_DATA: report_error(code, "OCI_NODATA{%s}", tag);
    case ST_CONTINUE: report_error(code, "OCI_CONTINUE{%s}", tag);
    case ST_STILL_EXECUTING: report_error(code, "OCI_STILL_EXECUTE{%s}", tag);
    case ST_INVALID_HANDLE: report_error(code, "OCI_INVALID_HANDLE{%s}", tag);
    case ST_ERROR: {
        unsigned char text[513];
        sb4 errcode = 0;
        std::memset(text, 0, sizeof text);
        if (err) g_oci.ErrorGet(err, 1, nullptr, &errcode, text, 512, HTYPE_ERROR);
        text[512] = 0;
        size_t n = std::strlen(reinterpret_cast<char*>(text));
        // The client's message may end with a line break.
        while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) --n;
        report_error(code, "%.*s{%s}", static_cast<int>(n), reinterpret_cast<char*>(text), tag);
    }
    default: report_error(code, "OCI_STATUS(%d){%s}", static_cast<int>(status), tag);
    }
}

inline bool ok(sword status) { return status == ST_SUCCESS || status == ST_WITH_INFO; }

inline void check(sword status, int code, const char* tag, void* err) {
    if (!ok(status)) report_status(status, code, tag, err);
}

// ---- Loading ----

void load_library(const char* path, size_t len) {
    while (len > 0 && is_blank(*path)) ++path, --len;
    while (len > 0 && is_blank(path[len - 1])) --len;
    if (len == 0) report_error(1170, "ダイナミック リンク ライブラリが指定されていません");
    char built[LIBRARY_PATH_MAX + 1];
    // Path parts keep this system's separator ("/"); a path too long for
    // the buffer cannot be loaded.
    size_t n = len > LIBRARY_PATH_MAX ? LIBRARY_PATH_MAX : len;
    std::memcpy(built, path, n);
    built[n] = 0;
    if (len > LIBRARY_PATH_MAX || std::memchr(path, 0, len) != nullptr)
        report_error(1175, "ダイナミック リンク ライブラリ('%s')ロード失敗", built);
    void* lib = platform::library_load(built);
    if (lib == nullptr) report_error(1175, "ダイナミック リンク ライブラリ('%s')ロード失敗", built);
    void* table[19];
    for (int i = 0; i < 19; ++i) {
        table[i] = platform::library_symbol(lib, k_function_names[i]);
        if (table[i] == nullptr)
            report_error(1180, "ダイナミック リンク ライブラリ関数'%s'へのリンク失敗", k_function_names[i]);
    }
    std::memcpy(&g_oci, table, sizeof g_oci);
    g_loaded = true;
}

// ---- Connection text ----

struct Param {
    char text[PARAM_MAX + 1];
    int len;  // -1: absent
};

void trim(const char*& b, const char*& e) {
    while (b < e && is_blank(*b)) ++b;
    while (e > b && is_blank(e[-1])) --e;
}

void parse_connection_text(const char* text, size_t len, Param& db, Param& user, Param& pwd) {
    db.len = user.len = pwd.len = -1;
    const char* end = text + len;
    const char* p = text;
    while (p <= end) {
        const char* part_end = static_cast<const char*>(std::memchr(p, ';', static_cast<size_t>(end - p)));
        if (part_end == nullptr) part_end = end;
        const char* eq = static_cast<const char*>(std::memchr(p, '=', static_cast<size_t>(part_end - p)));
        if (eq != nullptr) {
            const char* kb = p;
            const char* ke = eq;
            trim(kb, ke);
            char key[8] = {0};
            size_t kn = static_cast<size_t>(ke - kb);
            Param* target = nullptr;
            if (kn <= 4) {
                for (size_t i = 0; i < kn; ++i) {
                    char c = kb[i];
                    key[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
                }
                if (std::strcmp(key, "db") == 0) target = &db;
                if (std::strcmp(key, "user") == 0) target = &user;
                if (std::strcmp(key, "pwd") == 0) target = &pwd;
            }
            if (target != nullptr) {
                const char* vb = eq + 1;
                const char* ve = part_end;
                trim(vb, ve);
                size_t vn = static_cast<size_t>(ve - vb);
                if (vn >= PARAM_MAX + 1) report_error(1600, "DBパラメータの長さ不正");
                std::memcpy(target->text, vb, vn);
                target->text[vn] = 0;
                target->len = static_cast<int>(vn);
            }
        }
        p = part_end + 1;
    }
}

void free_handles(DbConnection& c) {
    if (c.srv) g_oci.HandleFree(c.srv, HTYPE_SERVER);
    if (c.svc) g_oci.HandleFree(c.svc, HTYPE_SVCCTX);
    if (c.err) g_oci.HandleFree(c.err, HTYPE_ERROR);
    if (c.ses) g_oci.HandleFree(c.ses, HTYPE_SESSION);
    if (c.env) g_oci.HandleFree(c.env, HTYPE_ENV);
    c.srv = c.svc = c.err = c.ses = c.env = nullptr;
}

// ---- Statements ----

// A statement handle freed on every way out: a failed statement gives its
// handle back before the error is reported.
struct StmtHandle {
    void* h = nullptr;
    ~StmtHandle() {
        if (h) g_oci.HandleFree(h, HTYPE_STMT);
    }
    // Frees the handle, checking the status with the given code.
    void free_checked(int code, const char* tag, void* err) {
        void* handle = h;
        h = nullptr;
        check(g_oci.HandleFree(handle, HTYPE_STMT), code, tag, err);
    }
};

struct StmtTags {
    int alloc_code;
    const char* alloc_tag;
    int prepare_code;
    const char* prepare_tag;
};

void prepare(DbConnection& c, StmtHandle& st, const char* sql, size_t len, const StmtTags& t) {
    check(g_oci.HandleAlloc(c.env, &st.h, HTYPE_STMT, 0, nullptr), t.alloc_code, t.alloc_tag, c.err);
    check(g_oci.StmtPrepare(st.h, c.err, reinterpret_cast<const unsigned char*>(sql), static_cast<ub4>(len),
                            NTV_SYNTAX, 0),
          t.prepare_code, t.prepare_tag, c.err);
}

// Binds one text at a 1-based position; its indicator lives in *ind until
// the statement runs.
void bind_one(DbConnection& c, StmtHandle& st, ub4 position, const BindText& b, sb2* ind) {
    void* bindp = nullptr;
    bool null = b.text == nullptr || b.len == 0;
    *ind = null ? -1 : 0;
    static char empty[1] = {0};
    check(g_oci.BindByPos(st.h, &bindp, c.err, position, null ? empty : const_cast<char*>(b.text),
                          static_cast<sb4>(null ? 0 : b.len), CHR, ind, nullptr, nullptr, 0, nullptr, 0),
          3250, "OCIBindByPos(exec_sql_bind)", c.err);
}

DbConnection& connection_at(int index) { return g_db_connections[index]; }

}  // namespace

DbConnection g_db_connections[DB_CONNECTIONS_MAX];

int db_connect(const char* library_path, size_t library_len, const char* conn_text, size_t conn_len) {
    int index = -1;
    for (int i = 0; i < DB_CONNECTIONS_MAX; ++i) {
        if (!g_db_connections[i].open) {
            index = i;
            break;
        }
    }
    if (index < 0) report_error(1255, "データベース接続不正");
    if (!g_loaded) load_library(library_path, library_len);
    DbConnection c{};
    // Handles taken so far are given back when a step fails.
    struct Guard {
        DbConnection* c;
        ~Guard() {
            if (c) free_handles(*c);
        }
    } guard{&c};
    sword s = g_oci.EnvCreate(&c.env, 0, nullptr, nullptr, nullptr, nullptr, 0, nullptr);
    if (!ok(s)) {
        c.env = nullptr;
        report_error(3200, "OCIEnvCreate(connect_database)");
    }
    check(g_oci.HandleAlloc(c.env, &c.err, HTYPE_ERROR, 0, nullptr), 3200, "OCIHandleAlloc(connect_database)",
          nullptr);
    check(g_oci.HandleAlloc(c.env, &c.srv, HTYPE_SERVER, 0, nullptr), 3200, "OCIHandleAlloc(connect_database)",
          c.err);
    check(g_oci.HandleAlloc(c.env, &c.svc, HTYPE_SVCCTX, 0, nullptr), 3200, "OCIHandleAlloc(connect_database)",
          c.err);
    Param db, user, pwd;
    parse_connection_text(conn_text, conn_len, db, user, pwd);
    if (db.len < 0) report_error(3205, "OCI接続パラメータ(db)不正");
    check(g_oci.ServerAttach(c.srv, c.err, reinterpret_cast<const unsigned char*>(db.text), db.len, 0), 3210,
          "OCIServerAttach(connect_database)", c.err);
    bool attached = true;
    try {
        check(g_oci.AttrSet(c.svc, HTYPE_SVCCTX, c.srv, 0, ATTR_SERVER, c.err), 3210,
              "OCIAttrSet(connect_database)", c.err);
        check(g_oci.HandleAlloc(c.env, &c.ses, HTYPE_SESSION, 0, nullptr), 3215,
              "OCIHandleAlloc(connect_database)", c.err);
        if (user.len < 0) report_error(3215, "OCI接続パラメータ(user)不正");
        check(g_oci.AttrSet(c.ses, HTYPE_SESSION, user.text, static_cast<ub4>(user.len), ATTR_USERNAME, c.err),
              3215, "OCIAttrSet(connect_database)", c.err);
        if (pwd.len < 0) report_error(3220, "OCI接続パラメータ(pwd)不正");
        check(g_oci.AttrSet(c.ses, HTYPE_SESSION, pwd.text, static_cast<ub4>(pwd.len), ATTR_PASSWORD, c.err),
              3220, "OCIAttrSet(connect_database)", c.err);
        check(g_oci.SessionBegin(c.svc, c.err, c.ses, CRED_RDBMS, 0), 3225, "OCISessionBegin(connect_database)",
              c.err);
        try {
            check(g_oci.AttrSet(c.svc, HTYPE_SVCCTX, c.ses, 0, ATTR_SESSION, c.err), 3225,
                  "OCIAttrSet(connect_database)", c.err);
            g_db_connections[index] = c;
            g_db_connections[index].open = true;
            // The character set: a 64-byte slot for the name.
            struct Sink {
                static void row(void* ctx, const QueryColumns& cols, uint32_t row) {
                    if (row == DB_DESCRIBED || cols.count < 1) return;
                    const QueryColumn& col = cols.columns[0];
                    if (col.indicator == -1) return;
                    const char* t = col.slot;
                    for (uint32_t i = 0; i + 2 < col.length; ++i) {
                        if (t[i] == 'J' && t[i + 1] == 'I' && t[i + 2] == 'S') *static_cast<bool*>(ctx) = true;
                    }
                }
            };
            bool jis = false;
            db_query(index, CHARSET_QUERY, sizeof CHARSET_QUERY - 1, nullptr, 0, false, Sink::row, &jis,
                     CHARSET_SLOT);
            g_db_connections[index].jis = jis;
        } catch (...) {
            g_db_connections[index].open = false;
            g_oci.SessionEnd(c.svc, c.err, c.ses, 0);
            throw;
        }
    } catch (...) {
        if (attached) g_oci.ServerDetach(c.srv, c.err, 0);
        throw;
    }
    guard.c = nullptr;
    return index;
}

void db_disconnect(int index, bool commit) {
    DbConnection& c = connection_at(index);
    sword commit_status = ST_SUCCESS;
    if (commit) {
        commit_status = g_oci.TransCommit(c.svc, c.err, 0);
        // A failed commit leaves nothing half done: roll back what is left.
        if (!ok(commit_status)) {
            // The message is read before the session ends.
            try {
                report_status(commit_status, 3230, "OCITransCommit(close_database)", c.err);
            } catch (...) {
                g_oci.TransRollback(c.svc, c.err, 0);
                g_oci.SessionEnd(c.svc, c.err, c.ses, 0);
                g_oci.ServerDetach(c.srv, c.err, 0);
                free_handles(c);
                g_oci.Terminate(0);
                c.open = false;
                throw;
            }
        }
    } else {
        g_oci.TransRollback(c.svc, c.err, 0);
    }
    sword s = g_oci.SessionEnd(c.svc, c.err, c.ses, 0);
    if (!ok(s)) {
        g_oci.ServerDetach(c.srv, c.err, 0);
        free_handles(c);
        c.open = false;
        report_error(3240, "OCISessionEnd(close_database)");
    }
    s = g_oci.ServerDetach(c.srv, c.err, 0);
    if (!ok(s)) {
        free_handles(c);
        c.open = false;
        report_error(3245, "OCIServerDetach(close_database)");
    }
    free_handles(c);
    g_oci.Terminate(0);
    c.open = false;
}

void db_close_all() {
    if (!g_loaded) return;
    for (DbConnection& c : g_db_connections) {
        if (!c.open) continue;
        g_oci.TransRollback(c.svc, c.err, 0);
        g_oci.SessionEnd(c.svc, c.err, c.ses, 0);
        g_oci.ServerDetach(c.srv, c.err, 0);
        free_handles(c);
        g_oci.Terminate(0);
        c.open = false;
    }
}

void db_run(int index, const char* sql, size_t len, const BindText* binds, uint32_t nbinds) {
    DbConnection& c = connection_at(index);
    StmtHandle st;
    if (nbinds == 0) {
        prepare(c, st, sql, len,
                {3255, "0CIHandleAlloc:OCI_HTYPE_STMT(exec_sql_only)", 3260, "0CIStmtPrepare(exec_sql_only)"});
        check(g_oci.StmtExecute(c.svc, st.h, c.err, 1, 0, nullptr, nullptr, 0), 3265,
              "0CIStmtExecute(exec_sql_only)", c.err);
        st.free_checked(3270, "OCIHandleFree(exec_sql_only)", c.err);
        return;
    }
    prepare(c, st, sql, len,
            {3275, "0CIHandleAlloc:OCI_HTYPE_STMT(exec_sql_bind1)", 3280, "0CIStmtPrepare(exec_sql_bind1)"});
    sb2* inds = static_cast<sb2*>(std::calloc(nbinds, sizeof(sb2)));
    struct Free {
        void* p;
        ~Free() { std::free(p); }
    } free_inds{inds};
    for (uint32_t i = 0; i < nbinds; ++i) bind_one(c, st, i + 1, binds[i], &inds[i]);
    check(g_oci.StmtExecute(c.svc, st.h, c.err, 1, 0, nullptr, nullptr, 0), 3285, "OCIStmtExecute(exec_sql_bind)",
          c.err);
    st.free_checked(3290, "OCIHandleFree(exec_sql_bind)", c.err);
}

void db_run_rows(int index, const char* sql, size_t len, const BindRowsPlan& plan) {
    DbConnection& c = connection_at(index);
    StmtHandle st;
    prepare(c, st, sql, len,
            {3295, "0CIHandleAlloc:OCI_HTYPE_STMT(exec_sql_bind)", 3300, "0CIStmtPrepare(exec_sql_bind)"});
    sb2* inds = static_cast<sb2*>(std::calloc(plan.nfixed + plan.per_row + 1, sizeof(sb2)));
    struct Free {
        void* p;
        ~Free() { std::free(p); }
    } free_inds{inds};
    for (uint32_t i = 0; i < plan.nfixed; ++i) bind_one(c, st, plan.fixed_positions[i], plan.fixed[i], &inds[i]);
    for (uint32_t r = 0; r < plan.nrows; ++r) {
        for (uint32_t i = 0; i < plan.per_row; ++i)
            bind_one(c, st, plan.row_positions[i], plan.rows[r * plan.per_row + i], &inds[plan.nfixed + i]);
        check(g_oci.StmtExecute(c.svc, st.h, c.err, 1, 0, nullptr, nullptr, 0), 3305,
              "OCIStmtExecute(exec_sql_bind)", c.err);
    }
    st.free_checked(3310, "OCIHandleFree(exec_sql_bind)", c.err);
}

uint32_t db_query(int index, const char* sql, size_t len, const BindText* binds, uint32_t nbinds, bool want_names,
                  RowSink sink, void* ctx, uint32_t text_width) {
    DbConnection& c = connection_at(index);
    StmtHandle st;
    prepare(c, st, sql, len,
            {3315, "0CIHandleAlloc:OCI_HTYPE_STMT(exec_select)", 3320, "0CIStmtPrepare(exec_select)"});
    struct Buffers {
        sb2* inds = nullptr;
        QueryColumn* cols = nullptr;
        char* slots = nullptr;
        ~Buffers() {
            std::free(inds);
            std::free(cols);
            std::free(slots);
        }
    } buf;
    if (nbinds) {
        buf.inds = static_cast<sb2*>(std::calloc(nbinds, sizeof(sb2)));
        for (uint32_t i = 0; i < nbinds; ++i) bind_one(c, st, i + 1, binds[i], &buf.inds[i]);
    }
    const char* exec_tag = "SQLExecute(prep_send_sql) Failed";
    check(g_oci.StmtExecute(c.svc, st.h, c.err, 0, 0, nullptr, nullptr, 0), 3340, exec_tag, c.err);
    buf.cols = static_cast<QueryColumn*>(std::calloc(DB_COLUMNS_MAX, sizeof(QueryColumn)));
    int ncols = 0;
    size_t total = 0;
    for (ub4 pos = 1;; ++pos) {
        void* param = nullptr;
        if (!ok(g_oci.ParamGet(st.h, HTYPE_STMT, c.err, &param, pos))) break;
        if (ncols >= DB_COLUMNS_MAX) report_error(3330, "カラム数が多すぎます(MAX 256)");
        QueryColumn& col = buf.cols[ncols++];
        ub2 type = 0;
        check(g_oci.AttrGet(param, DTYPE_PARAM, &type, nullptr, ATTR_DATA_TYPE, c.err), 3325,
              "OCIAttrGet(exec_select)", c.err);
        col.type = type;
        if (want_names) {
            unsigned char* name = nullptr;
            ub4 name_len = 0;
            check(g_oci.AttrGet(param, DTYPE_PARAM, &name, &name_len, ATTR_NAME, c.err), 3325,
                  "OCIAttrGet(exec_select)", c.err);
            col.name = reinterpret_cast<const char*>(name);
            col.name_len = name ? name_len : 0;
        }
        switch (type) {
        case 2: col.kind = COL_NUMBER; break;
        case 3: case 7: case 23: case 25: case 26: case 27: case 28: case 29: case 245: case 246:
            col.kind = COL_INT;
            break;
        case 4: case 21: case 22: case 100: case 101: col.kind = COL_REAL; break;
        default: col.kind = COL_TEXT; break;
        }
        uint32_t width;
        // DATE (12) and TIMESTAMP (187 and its zone forms 188, 232) come as
        // text of a fixed small size.
        bool fixed_text = type == 12 || type == 187 || type == 188 || type == 232;
        if (col.kind != COL_TEXT || fixed_text) {
            width = DB_NUMBER_SLOT;
        } else if (text_width) {
            width = text_width;
        } else {
            ub2 size = 0;
            check(g_oci.AttrGet(param, DTYPE_PARAM, &size, nullptr, ATTR_DATA_SIZE, c.err), 3325,
                  "OCIAttrGet(exec_select)", c.err);
            width = static_cast<uint32_t>(size) + 4;
        }
        col.width = width;
        total += width;
    }
    buf.slots = static_cast<char*>(std::malloc(total + 1));
    size_t offset = 0;
    for (int i = 0; i < ncols; ++i) {
        QueryColumn& col = buf.cols[i];
        col.slot = buf.slots + offset;
        offset += col.width;
        void* defp = nullptr;
        check(g_oci.DefineByPos(st.h, &defp, c.err, static_cast<ub4>(i + 1), col.slot, static_cast<sb4>(col.width),
                                CHR, &col.indicator, &col.length, nullptr, 0),
              3335, "OCIDefineByPos(prep_send_sql) Failed", c.err);
    }
    QueryColumns cols{ncols, buf.cols};
    sink(ctx, cols, DB_DESCRIBED);
    uint32_t rows = 0;
    sword s = g_oci.StmtExecute(c.svc, st.h, c.err, 1, 0, nullptr, nullptr, 0);
    if (s != ST_NO_DATA) {
        check(s, 3340, exec_tag, c.err);
        for (;;) {
            // A value cut to its slot is never handed on as if whole.
            for (int i = 0; i < ncols; ++i) {
                if (buf.cols[i].indicator == -2 || buf.cols[i].indicator > 0)
                    report_error(rows == 0 ? 3340 : 3360, "OCI_DATA_TRUNCATED{%s}",
                                 rows == 0 ? exec_tag : "OCIStmtFetch2 Failed");
            }
            sink(ctx, cols, rows);
            ++rows;
            s = g_oci.StmtFetch2(st.h, c.err, 1, FETCH_NEXT, 0, 0);
            if (!ok(s)) break;
        }
        if (s != ST_NO_DATA) report_status(s, 3360, "OCIStmtFetch2 Failed", c.err);
    }
    st.free_checked(3365, "OCIHandleFree Failed", c.err);
    return rows;
}

}  // namespace velt
