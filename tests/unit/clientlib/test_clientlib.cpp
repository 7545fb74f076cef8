// test_clientlib.cpp: libveltoci.so and the fault-injecting libfakeoci.so,
// loaded with dlopen and driven through the 19 OCI entry points in the order the
// database layer calls them, against SQLite files and a PostgreSQL server
// (VELT_PG_URI, set by tests/pg/with_pg.sh; those tests skip without it).
#include "oci.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

struct Oci {
    void* lib = nullptr;
    decltype(&OCIEnvCreate) env_create;
    decltype(&OCIHandleAlloc) handle_alloc;
    decltype(&OCIHandleFree) handle_free;
    decltype(&OCIServerAttach) server_attach;
    decltype(&OCIServerDetach) server_detach;
    decltype(&OCISessionBegin) session_begin;
    decltype(&OCISessionEnd) session_end;
    decltype(&OCIAttrSet) attr_set;
    decltype(&OCIAttrGet) attr_get;
    decltype(&OCIParamGet) param_get;
    decltype(&OCIStmtPrepare) stmt_prepare;
    decltype(&OCIBindByPos) bind_by_pos;
    decltype(&OCIDefineByPos) define_by_pos;
    decltype(&OCIStmtExecute) stmt_execute;
    decltype(&OCIStmtFetch2) stmt_fetch2;
    decltype(&OCITransCommit) trans_commit;
    decltype(&OCITransRollback) trans_rollback;
    decltype(&OCIErrorGet) error_get;
    decltype(&OCITerminate) terminate;
};

template <class T>
void resolve(void* lib, const char* name, T& slot)
{
    slot = reinterpret_cast<T>(dlsym(lib, name));
    if (!slot) ADD_FAILURE() << "missing entry point " << name;
}

Oci load(const char* path)
{
    Oci o;
    o.lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!o.lib) {
        ADD_FAILURE() << "cannot load " << path << ": " << dlerror();
        return o;
    }
    resolve(o.lib, "OCIEnvCreate", o.env_create);
    resolve(o.lib, "OCIHandleAlloc", o.handle_alloc);
    resolve(o.lib, "OCIHandleFree", o.handle_free);
    resolve(o.lib, "OCIServerAttach", o.server_attach);
    resolve(o.lib, "OCIServerDetach", o.server_detach);
    resolve(o.lib, "OCISessionBegin", o.session_begin);
    resolve(o.lib, "OCISessionEnd", o.session_end);
    resolve(o.lib, "OCIAttrSet", o.attr_set);
    resolve(o.lib, "OCIAttrGet", o.attr_get);
    resolve(o.lib, "OCIParamGet", o.param_get);
    resolve(o.lib, "OCIStmtPrepare", o.stmt_prepare);
    resolve(o.lib, "OCIBindByPos", o.bind_by_pos);
    resolve(o.lib, "OCIDefineByPos", o.define_by_pos);
    resolve(o.lib, "OCIStmtExecute", o.stmt_execute);
    resolve(o.lib, "OCIStmtFetch2", o.stmt_fetch2);
    resolve(o.lib, "OCITransCommit", o.trans_commit);
    resolve(o.lib, "OCITransRollback", o.trans_rollback);
    resolve(o.lib, "OCIErrorGet", o.error_get);
    resolve(o.lib, "OCITerminate", o.terminate);
    return o;
}

const Oci& real_oci()
{
    static Oci o = load(VELTOCI_LIB);
    return o;
}

const Oci& fake_oci()
{
    static Oci o = load(FAKEOCI_LIB);
    return o;
}

using Row = std::vector<std::optional<std::string>>;

struct ColumnInfo {
    int type;
    int size;
    std::string name;
};

struct QueryResult {
    sword status = OCI_SUCCESS;  // the first failing status, else the last one seen
    std::vector<ColumnInfo> columns;
    std::vector<Row> rows;
    std::vector<int> indicators;  // of the last row fetched
};

// One connection, opened and closed with the database layer's calls.
struct Session {
    const Oci& o;
    OCIEnv* env = nullptr;
    OCIError* err = nullptr;
    OCIServer* srv = nullptr;
    OCISvcCtx* svc = nullptr;
    OCISession* ses = nullptr;
    sword status = OCI_SUCCESS;

    // The test server's role is velt; SQLite ignores the user.
    Session(const Oci& oci, const std::string& db, const std::string& user_name = "",
            const std::string& pwd = "tiger")
        : o(oci)
    {
        std::string user = !user_name.empty() ? user_name : db.rfind("postgres", 0) == 0 ? "velt" : "scott";
        if ((status = o.env_create(&env, OCI_DEFAULT, nullptr, nullptr, nullptr, nullptr, 0, nullptr))) return;
        o.handle_alloc(env, reinterpret_cast<void**>(&err), OCI_HTYPE_ERROR, 0, nullptr);
        o.handle_alloc(env, reinterpret_cast<void**>(&srv), OCI_HTYPE_SERVER, 0, nullptr);
        o.handle_alloc(env, reinterpret_cast<void**>(&svc), OCI_HTYPE_SVCCTX, 0, nullptr);
        status = o.server_attach(srv, err, reinterpret_cast<const OraText*>(db.c_str()),
                                 static_cast<sb4>(db.size()), OCI_DEFAULT);
        if (status) return;
        o.attr_set(svc, OCI_HTYPE_SVCCTX, srv, 0, OCI_ATTR_SERVER, err);
        o.handle_alloc(env, reinterpret_cast<void**>(&ses), OCI_HTYPE_SESSION, 0, nullptr);
        o.attr_set(ses, OCI_HTYPE_SESSION, const_cast<char*>(user.c_str()), static_cast<ub4>(user.size()),
                   OCI_ATTR_USERNAME, err);
        o.attr_set(ses, OCI_HTYPE_SESSION, const_cast<char*>(pwd.c_str()), static_cast<ub4>(pwd.size()),
                   OCI_ATTR_PASSWORD, err);
        status = o.session_begin(svc, err, ses, OCI_CRED_RDBMS, OCI_DEFAULT);
        if (status) return;
        o.attr_set(svc, OCI_HTYPE_SVCCTX, ses, 0, OCI_ATTR_SESSION, err);
    }

    ~Session() { close(false); }

    void close(bool commit)
    {
        if (!env) return;
        if (ses && status == OCI_SUCCESS) {
            commit ? o.trans_commit(svc, err, OCI_DEFAULT) : o.trans_rollback(svc, err, OCI_DEFAULT);
            o.session_end(svc, err, ses, OCI_DEFAULT);
        }
        if (srv) o.server_detach(srv, err, OCI_DEFAULT);
        o.handle_free(srv, OCI_HTYPE_SERVER);
        o.handle_free(svc, OCI_HTYPE_SVCCTX);
        o.handle_free(err, OCI_HTYPE_ERROR);
        if (ses) o.handle_free(ses, OCI_HTYPE_SESSION);
        o.handle_free(env, OCI_HTYPE_ENV);
        o.terminate(OCI_DEFAULT);
        env = nullptr;
    }

    std::string error_text()
    {
        char buf[512] = {};
        sb4 code = 0;
        if (o.error_get(err, 1, nullptr, &code, reinterpret_cast<OraText*>(buf), sizeof buf, OCI_HTYPE_ERROR))
            return "<no error>";
        return buf;
    }

    // Binds texts by position (nullopt: NULL) into a prepared statement.
    sword bind_all(OCIStmt* st, const std::vector<std::optional<std::string>>& binds, std::vector<sb2>& inds)
    {
        inds.assign(binds.size(), 0);
        for (size_t i = 0; i < binds.size(); i++) {
            OCIBind* b = nullptr;
            const std::string empty;
            const std::string& v = binds[i] ? *binds[i] : empty;
            inds[i] = v.empty() ? -1 : 0;
            sword s = o.bind_by_pos(st, &b, err, static_cast<ub4>(i + 1), const_cast<char*>(v.data()),
                                    static_cast<sb4>(v.size()), SQLT_CHR, &inds[i], nullptr, nullptr, 0,
                                    nullptr, OCI_DEFAULT);
            if (s) return s;
        }
        return OCI_SUCCESS;
    }

    sword run(const std::string& sql, const std::vector<std::optional<std::string>>& binds = {})
    {
        OCIStmt* st = nullptr;
        sword s = o.handle_alloc(env, reinterpret_cast<void**>(&st), OCI_HTYPE_STMT, 0, nullptr);
        if (s) return s;
        std::vector<sb2> inds;
        s = o.stmt_prepare(st, err, reinterpret_cast<const OraText*>(sql.c_str()), static_cast<ub4>(sql.size()),
                           OCI_NTV_SYNTAX, OCI_DEFAULT);
        if (!s) s = bind_all(st, binds, inds);
        if (!s) s = o.stmt_execute(svc, st, err, 1, 0, nullptr, nullptr, OCI_DEFAULT);
        o.handle_free(st, OCI_HTYPE_STMT);
        return s;
    }

    // A query as the database layer runs it; `width` overrides every slot's width.
    QueryResult query(const std::string& sql, const std::vector<std::optional<std::string>>& binds = {},
                      int width = 0)
    {
        QueryResult r;
        OCIStmt* st = nullptr;
        r.status = o.handle_alloc(env, reinterpret_cast<void**>(&st), OCI_HTYPE_STMT, 0, nullptr);
        if (r.status) return r;
        std::vector<sb2> bind_inds;
        r.status = o.stmt_prepare(st, err, reinterpret_cast<const OraText*>(sql.c_str()),
                                  static_cast<ub4>(sql.size()), OCI_NTV_SYNTAX, OCI_DEFAULT);
        if (!r.status) r.status = bind_all(st, binds, bind_inds);
        if (!r.status) r.status = o.stmt_execute(svc, st, err, 0, 0, nullptr, nullptr, OCI_DEFAULT);
        if (r.status) {
            o.handle_free(st, OCI_HTYPE_STMT);
            return r;
        }
        for (ub4 pos = 1;; pos++) {
            void* param = nullptr;
            if (o.param_get(st, OCI_HTYPE_STMT, err, &param, pos) != OCI_SUCCESS) break;
            ColumnInfo c{};
            ub2 type = 0, size = 0;
            OraText* name = nullptr;
            ub4 name_len = 0;
            o.attr_get(param, OCI_DTYPE_PARAM, &type, nullptr, OCI_ATTR_DATA_TYPE, err);
            o.attr_get(param, OCI_DTYPE_PARAM, &size, nullptr, OCI_ATTR_DATA_SIZE, err);
            o.attr_get(param, OCI_DTYPE_PARAM, &name, &name_len, OCI_ATTR_NAME, err);
            c.type = type;
            c.size = size;
            c.name.assign(reinterpret_cast<char*>(name), name_len);
            r.columns.push_back(c);
        }
        size_t n = r.columns.size();
        std::vector<std::vector<char>> slots(n);
        std::vector<sb2> inds(n);
        std::vector<ub2> lens(n), codes(n);
        for (size_t i = 0; i < n; i++) {
            int w = width ? width : r.columns[i].size + 4;
            slots[i].assign(static_cast<size_t>(w), 0);
            OCIDefine* d = nullptr;
            r.status = o.define_by_pos(st, &d, err, static_cast<ub4>(i + 1), slots[i].data(), w, SQLT_CHR,
                                       &inds[i], &lens[i], &codes[i], OCI_DEFAULT);
            if (r.status) return r;
        }
        sword s = o.stmt_execute(svc, st, err, 1, 0, nullptr, nullptr, OCI_DEFAULT);
        while (s == OCI_SUCCESS || s == OCI_SUCCESS_WITH_INFO) {
            Row row;
            r.indicators.assign(inds.begin(), inds.end());
            for (size_t i = 0; i < n; i++) {
                if (inds[i] == -1) row.emplace_back();
                else row.emplace_back(std::string(slots[i].data(), lens[i]));
            }
            r.rows.push_back(row);
            if (s == OCI_SUCCESS_WITH_INFO) break;
            s = o.stmt_fetch2(st, err, 1, OCI_FETCH_NEXT, 0, OCI_DEFAULT);
        }
        r.status = s == OCI_NO_DATA ? OCI_SUCCESS : s;
        o.handle_free(st, OCI_HTYPE_STMT);
        return r;
    }

    std::string scalar(const std::string& sql)
    {
        QueryResult r = query(sql);
        if (r.status || r.rows.size() != 1 || !r.rows[0][0]) return "<" + error_text() + ">";
        return *r.rows[0][0];
    }
};

// A fresh SQLite file per test, in a scratch directory removed afterwards.
struct Scratch {
    std::filesystem::path dir;
    Scratch()
    {
        char tmpl[] = "/tmp/veltoci-test.XXXXXX";
        dir = mkdtemp(tmpl);
    }
    ~Scratch() { std::filesystem::remove_all(dir); }
    std::string file(const char* name) const { return (dir / name).string(); }
};

std::string pg_uri()
{
    const char* uri = std::getenv("VELT_PG_URI");
    return uri ? uri : "";
}

#define NEED_PG()                                                                         \
    if (pg_uri().empty()) {                                                               \
        const char* why = std::getenv("VELT_PG_UNAVAILABLE");                             \
        GTEST_SKIP() << "no PostgreSQL server: " << (why && *why ? why : "VELT_PG_URI unset"); \
    }

// --- checks shared by both backends -------------------------------------------------

// Markers written for each database kind reach the database as parameters;
// quoted question marks, "::" and a quoted ":1" stay text.
void check_markers(Session& s)
{
    s.run("drop table if exists m");
    ASSERT_EQ(s.run("create table m (id integer, name varchar(20))"), OCI_SUCCESS) << s.error_text();
    EXPECT_EQ(s.run("insert into m values (?, ?)", {"1", "a"}), OCI_SUCCESS) << s.error_text();
    EXPECT_EQ(s.run("insert into m values (:1, :2)", {"2", "b"}), OCI_SUCCESS) << s.error_text();
    EXPECT_EQ(s.run("insert into m values ($1, $2)", {"3", "c"}), OCI_SUCCESS) << s.error_text();
    QueryResult r = s.query("select name, '?', ':1', '$1' from m where id >= ? order by id", {"2"});
    ASSERT_EQ(r.status, OCI_SUCCESS) << s.error_text();
    ASSERT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(r.rows[0], (Row{"b", "?", ":1", "$1"}));
    EXPECT_EQ(r.rows[1][0], "c");
    r = s.query("select count(*) from m where id = :1 or name = :2", {"1", "c"});
    ASSERT_EQ(r.status, OCI_SUCCESS) << s.error_text();
    EXPECT_EQ(r.rows[0][0], "2");
    // A bound empty text is NULL; a missing bind is an error, not a NULL.
    EXPECT_EQ(s.run("insert into m values (?, ?)", {"4", ""}), OCI_SUCCESS);
    EXPECT_EQ(s.scalar("select count(*) from m where name is null"), "1");
    EXPECT_EQ(s.run("insert into m values (?, ?)", {"5"}), OCI_ERROR);
}

// Transactions: rollback undoes, commit keeps, a failed statement undoes only itself.
void check_transactions(const std::string& db, const char* create)
{
    {
        Session s(real_oci(), db);
        ASSERT_EQ(s.status, OCI_SUCCESS) << s.error_text();
        s.run("drop table if exists t");
        ASSERT_EQ(s.run(create), OCI_SUCCESS) << s.error_text();
        ASSERT_EQ(s.o.trans_commit(s.svc, s.err, OCI_DEFAULT), OCI_SUCCESS);
        EXPECT_EQ(s.run("insert into t values (1)"), OCI_SUCCESS);
        EXPECT_EQ(s.o.trans_rollback(s.svc, s.err, OCI_DEFAULT), OCI_SUCCESS);
        EXPECT_EQ(s.scalar("select count(*) from t"), "0");
        EXPECT_EQ(s.run("insert into t values (1)"), OCI_SUCCESS);
        EXPECT_EQ(s.run("insert into t values (1)"), OCI_ERROR);  // duplicate key
        EXPECT_TRUE(s.error_text().find("unique") != std::string::npos
                    || s.error_text().find("UNIQUE") != std::string::npos) << s.error_text();
        EXPECT_EQ(s.run("insert into t values (2)"), OCI_SUCCESS) << s.error_text();
        EXPECT_EQ(s.o.trans_commit(s.svc, s.err, OCI_DEFAULT), OCI_SUCCESS) << s.error_text();
        EXPECT_EQ(s.run("insert into t values (3)"), OCI_SUCCESS);
        // ended without commit: row 3 is rolled back
    }
    Session s(real_oci(), db);
    EXPECT_EQ(s.scalar("select count(*) from t"), "2");
}

// Truncation is reported, never silent; NULL has indicator -1.
void check_truncation_and_null(Session& s)
{
    s.run("drop table if exists w");
    ASSERT_EQ(s.run("create table w (v varchar(10))"), OCI_SUCCESS) << s.error_text();
    s.run("insert into w values ('abcdefghij')");
    s.run("insert into w values (null)");
    QueryResult r = s.query("select v from w where v is not null", {}, 4);
    EXPECT_EQ(r.status, OCI_SUCCESS_WITH_INFO);
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.indicators[0], 10);
    EXPECT_EQ(r.rows[0][0], "abcd");
    EXPECT_NE(s.error_text().find("ORA-01406"), std::string::npos);
    r = s.query("select v from w where v is null");
    ASSERT_EQ(r.status, OCI_SUCCESS);
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.indicators[0], -1);
    EXPECT_FALSE(r.rows[0][0].has_value());
}

}  // namespace


// Column types and data sizes as the database layer reads them.
struct TypeCase {
    const char* column;
    int type;
    int size;  // -1: not checked
};

static void check_types(Session& s, const char* create, const char* insert, const char* select,
                        const std::vector<TypeCase>& cases, const Row& expected)
{
    s.run("drop table if exists ty");
    ASSERT_EQ(s.run(create), OCI_SUCCESS) << s.error_text();
    ASSERT_EQ(s.run(insert), OCI_SUCCESS) << s.error_text();
    QueryResult r = s.query(select);
    ASSERT_EQ(r.status, OCI_SUCCESS) << s.error_text();
    ASSERT_EQ(r.columns.size(), cases.size());
    for (size_t i = 0; i < cases.size(); i++) {
        EXPECT_EQ(r.columns[i].name, cases[i].column);
        EXPECT_EQ(r.columns[i].type, cases[i].type) << cases[i].column;
        if (cases[i].size >= 0) {
            EXPECT_EQ(r.columns[i].size, cases[i].size) << cases[i].column;
        }
    }
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.rows[0], expected);
}

static void check_nls(Session& s)
{
    const char* q = "select value from nls_database_parameters where parameter='NLS_CHARACTERSET'";
    s.run("drop table if exists nls_database_parameters");
    QueryResult r = s.query(q);
    ASSERT_EQ(r.status, OCI_SUCCESS) << s.error_text();
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.rows[0][0], "AL32UTF8");
    ASSERT_EQ(s.run("create table nls_database_parameters (parameter varchar(30), value varchar(30))"), OCI_SUCCESS);
    s.run("insert into nls_database_parameters values ('NLS_CHARACTERSET', 'JA16SJIS')");
    r = s.query(q);
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.rows[0][0], "JA16SJIS");
    s.run("drop table nls_database_parameters");
}

// --- SQLite ---------------------------------------------------------------------------

TEST(SqliteClient, MarkersOfEveryKind)
{
    Scratch tmp;
    Session s(real_oci(), tmp.file("a.db"));
    ASSERT_EQ(s.status, OCI_SUCCESS) << s.error_text();
    check_markers(s);
}

TEST(SqliteClient, ColumnTypesAndSizes)
{
    Session s(real_oci(), ":memory:");
    ASSERT_EQ(s.status, OCI_SUCCESS) << s.error_text();
    check_types(s,
                "create table ty (i integer, b bigint, r real, d double, n number(10,2), dt date,"
                " ts timestamp, vc varchar(10), tx text, u)",
                "insert into ty values (1, 9000000000, 2.5, 1e-12, 3.25, '2024-01-02',"
                " '2024-01-02 03:04:05', 'abc', 'long text', 'x')",
                "select i, b, r, d, n, dt, ts, vc, tx, u, count(*) as c, 'x' as lit from ty",
                {{"i", 3, -1}, {"b", 3, -1}, {"r", 4, -1}, {"d", 4, -1}, {"n", 2, -1},
                 {"dt", 12, 32767}, {"ts", 187, 32767}, {"vc", 1, 40}, {"tx", 1, 32767},
                 {"u", 1, 32767}, {"c", 2, -1}, {"lit", 1, 32767}},
                {"1", "9000000000", "2.5", "1.0e-12", "3.25", "2024-01-02", "2024-01-02 03:04:05", "abc",
                 "long text", "x", "1", "x"});
}

TEST(SqliteClient, TruncationAndNull)
{
    Session s(real_oci(), ":memory:");
    check_truncation_and_null(s);
    // SQLite keeps a text longer than its declared size: the slot the layer
    // sizes from the data size reports it truncated.
    std::string long_text(60, 'x');
    ASSERT_EQ(s.run("insert into w values (?)", {long_text}), OCI_SUCCESS);
    QueryResult r = s.query("select v from w where length(v) = 60");
    EXPECT_EQ(r.status, OCI_SUCCESS_WITH_INFO);
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.indicators[0], 60);
    EXPECT_EQ(r.rows[0][0], std::string(44, 'x'));
}

TEST(SqliteClient, Transactions)
{
    Scratch tmp;
    check_transactions(tmp.file("t.db"), "create table t (id integer primary key)");
}

TEST(SqliteClient, NlsQuery)
{
    Scratch tmp;
    Session s(real_oci(), tmp.file("n.db"));
    check_nls(s);
}

TEST(SqliteClient, ErrorsCarryTheDatabaseText)
{
    Session s(real_oci(), ":memory:");
    struct Case { const char* sql; const char* text; } cases[] = {
        {"selec 1", "near \"selec\": syntax error"},
        {"select * from nope", "no such table: nope"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(s.run(c.sql), OCI_ERROR) << c.sql;
        EXPECT_EQ(s.error_text(), c.text);
    }
    QueryResult r = s.query("select 1 where 0");
    EXPECT_EQ(r.status, OCI_SUCCESS);
    EXPECT_TRUE(r.rows.empty());
    // Describing a query leaves no column beyond the last.
    OCIStmt* st = nullptr;
    s.o.handle_alloc(s.env, reinterpret_cast<void**>(&st), OCI_HTYPE_STMT, 0, nullptr);
    const char* q = "select 1, 2";
    s.o.stmt_prepare(st, s.err, reinterpret_cast<const OraText*>(q), 11, OCI_NTV_SYNTAX, OCI_DEFAULT);
    ASSERT_EQ(s.o.stmt_execute(s.svc, st, s.err, 0, 0, nullptr, nullptr, OCI_DEFAULT), OCI_SUCCESS);
    void* p = nullptr;
    EXPECT_EQ(s.o.param_get(st, OCI_HTYPE_STMT, s.err, &p, 2), OCI_SUCCESS);
    EXPECT_EQ(s.o.param_get(st, OCI_HTYPE_STMT, s.err, &p, 3), OCI_ERROR);
    s.o.handle_free(st, OCI_HTYPE_STMT);
    // Handles that are not handles.
    EXPECT_EQ(s.o.stmt_execute(s.svc, nullptr, s.err, 1, 0, nullptr, nullptr, OCI_DEFAULT), OCI_INVALID_HANDLE);
    EXPECT_EQ(s.o.handle_alloc(nullptr, reinterpret_cast<void**>(&st), OCI_HTYPE_STMT, 0, nullptr),
              OCI_INVALID_HANDLE);
    EXPECT_EQ(s.o.trans_commit(reinterpret_cast<OCISvcCtx*>(s.err), s.err, OCI_DEFAULT), OCI_INVALID_HANDLE);
}

TEST(SqliteClient, KilledMidTransactionLeavesNothingLocked)
{
    Scratch tmp;
    std::string db = tmp.file("k.db");
    {
        Session s(real_oci(), db);
        ASSERT_EQ(s.run("create table k (id integer)"), OCI_SUCCESS);
        s.close(true);
    }
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        Session s(real_oci(), db);
        bool ok = s.run("insert into k values (1)") == OCI_SUCCESS && s.run("insert into k values (2)") == OCI_SUCCESS;
        (void)!write(ready[1], ok ? "y" : "n", 1);
        pause();
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    Session s(real_oci(), db);
    EXPECT_EQ(s.run("insert into k values (3)"), OCI_SUCCESS) << s.error_text();
    EXPECT_EQ(s.o.trans_commit(s.svc, s.err, OCI_DEFAULT), OCI_SUCCESS);
    EXPECT_EQ(s.scalar("select group_concat(id) from k"), "3");
}

TEST(SqliteClient, ConcurrentWritersAllSucceed)
{
    Scratch tmp;
    std::string db = tmp.file("c.db");
    {
        Session s(real_oci(), db);
        ASSERT_EQ(s.run("create table c (id integer)"), OCI_SUCCESS);
        s.close(true);
    }
    constexpr int k_writers = 24;
    std::vector<pid_t> children;
    for (int i = 0; i < k_writers; i++) {
        pid_t pid = fork();
        if (pid == 0) {
            // Reads first, writes later: the upgrade must not fail with a busy error.
            Session s(real_oci(), db);
            bool ok = s.status == OCI_SUCCESS && s.query("select count(*) from c").status == OCI_SUCCESS
                && s.run("insert into c values (?)", {std::to_string(i)}) == OCI_SUCCESS
                && s.o.trans_commit(s.svc, s.err, OCI_DEFAULT) == OCI_SUCCESS;
            _exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    int failed = 0;
    for (pid_t pid : children) {
        int st = 0;
        waitpid(pid, &st, 0);
        if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) failed++;
    }
    EXPECT_EQ(failed, 0);
    Session s(real_oci(), db);
    EXPECT_EQ(s.scalar("select count(*) from c"), std::to_string(k_writers));
}

// --- the fault-injecting library --------------------------------------------------------

TEST(FakeOci, InjectsEveryStatus)
{
    Scratch tmp;
    std::string db = tmp.file("f.db");
    setenv("VELT_FAKEOCI_MESSAGE", "ORA-00942: table or view does not exist", 1);
    for (sword status : {99, 100, -24200, -3123, -2, -1}) {
        unsetenv("VELT_FAKEOCI_FAIL");
        Session s(fake_oci(), db);
        ASSERT_EQ(s.status, OCI_SUCCESS) << s.error_text();
        std::string rule = "OCIStmtPrepare=" + std::to_string(status);
        setenv("VELT_FAKEOCI_FAIL", rule.c_str(), 1);
        EXPECT_EQ(s.run("select 1"), status) << rule;
        if (status == OCI_ERROR) {
            EXPECT_EQ(s.error_text(), "ORA-00942: table or view does not exist");
        }
        unsetenv("VELT_FAKEOCI_FAIL");
        EXPECT_EQ(s.run("select 1"), OCI_SUCCESS);
    }
    unsetenv("VELT_FAKEOCI_MESSAGE");
}

TEST(FakeOci, FailsTheNthCallOnly)
{
    Session s(fake_oci(), ":memory:");
    ASSERT_EQ(s.status, OCI_SUCCESS);
    setenv("VELT_FAKEOCI_FAIL", "OCIStmtFetch2@2=-1", 1);
    QueryResult r = s.query("select 1 union all select 2 union all select 3");
    EXPECT_EQ(r.status, OCI_ERROR);
    EXPECT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(s.error_text(), "ORA-20999: injected failure");
    setenv("VELT_FAKEOCI_FAIL", "OCISessionBegin=-1", 1);
    Session refused(fake_oci(), ":memory:");
    EXPECT_EQ(refused.status, OCI_ERROR);
    unsetenv("VELT_FAKEOCI_FAIL");
}

// --- PostgreSQL ------------------------------------------------------------------------

TEST(PgClient, MarkersOfEveryKind)
{
    NEED_PG();
    Session s(real_oci(), pg_uri());
    ASSERT_EQ(s.status, OCI_SUCCESS) << s.error_text();
    check_markers(s);
}

TEST(PgClient, ColumnTypesAndSizes)
{
    NEED_PG();
    Session s(real_oci(), pg_uri());
    ASSERT_EQ(s.status, OCI_SUCCESS) << s.error_text();
    check_types(s,
                "create table ty (a int2, b int4, c int8, d float4, e float8, f numeric(10,2), g date,"
                " h timestamp, i varchar(10), j text, k boolean)",
                "insert into ty values (1, 2, 9000000000, 2.5, 1e-12, 3.25, '2024-01-02',"
                " '2024-01-02 03:04:05', 'abc', 'long text', true)",
                "select a, b, c, d, e, f, g, h, i, j, k, count(*) over () as n, a::text || '::' as cast_text from ty",
                {{"a", 3, -1}, {"b", 3, -1}, {"c", 3, -1}, {"d", 4, -1}, {"e", 4, -1}, {"f", 2, -1},
                 {"g", 12, -1}, {"h", 187, -1}, {"i", 1, 40}, {"j", 1, 9}, {"k", 1, 1}, {"n", 3, -1},
                 {"cast_text", 1, 3}},
                {"1", "2", "9000000000", "2.5", "1e-12", "3.25", "2024-01-02", "2024-01-02 03:04:05", "abc",
                 "long text", "t", "1", "1::"});
}

TEST(PgClient, TruncationAndNull)
{
    NEED_PG();
    Session s(real_oci(), pg_uri());
    check_truncation_and_null(s);
}

TEST(PgClient, Transactions)
{
    NEED_PG();
    check_transactions(pg_uri(), "create table t (id int primary key)");
}

TEST(PgClient, NlsQuery)
{
    NEED_PG();
    Session s(real_oci(), pg_uri());
    check_nls(s);
}

TEST(PgClient, ErrorsCarryTheServerText)
{
    NEED_PG();
    Session s(real_oci(), pg_uri());
    EXPECT_EQ(s.run("selec 1"), OCI_ERROR);
    EXPECT_EQ(s.error_text(), "syntax error at or near \"selec\"");
    EXPECT_EQ(s.run("select * from nope"), OCI_ERROR);
    EXPECT_EQ(s.error_text(), "relation \"nope\" does not exist");
    EXPECT_EQ(s.scalar("select 41 + 1"), "42");  // the transaction goes on
    Session refused(real_oci(), "postgresql://velt@127.0.0.1:1/postgres");
    EXPECT_EQ(refused.status, OCI_ERROR);
    EXPECT_NE(refused.error_text().find("127.0.0.1"), std::string::npos) << refused.error_text();
}

TEST(PgClient, DeferredConstraintFailsAtCommit)
{
    NEED_PG();
    Session s(real_oci(), pg_uri());
    s.run("drop table if exists child");
    s.run("drop table if exists parent");
    ASSERT_EQ(s.run("create table parent (id int primary key)"), OCI_SUCCESS);
    ASSERT_EQ(s.run("create table child (pid int references parent deferrable initially deferred)"), OCI_SUCCESS);
    ASSERT_EQ(s.o.trans_commit(s.svc, s.err, OCI_DEFAULT), OCI_SUCCESS);
    EXPECT_EQ(s.run("insert into child values (5)"), OCI_SUCCESS) << s.error_text();
    EXPECT_EQ(s.o.trans_commit(s.svc, s.err, OCI_DEFAULT), OCI_ERROR);
    EXPECT_NE(s.error_text().find("foreign key constraint"), std::string::npos) << s.error_text();
    EXPECT_EQ(s.scalar("select count(*) from child"), "0");
}

// Integer and real binds, and a NUL-terminated define that needs room for its NUL.
TEST(SqliteClient, BinaryBindsAndTerminatedDefines)
{
    Session s(real_oci(), ":memory:");
    const Oci& o = s.o;
    OCIStmt* st = nullptr;
    o.handle_alloc(s.env, reinterpret_cast<void**>(&st), OCI_HTYPE_STMT, 0, nullptr);
    const char* q = "select ? + ?, 'abc'";
    ASSERT_EQ(o.stmt_prepare(st, s.err, reinterpret_cast<const OraText*>(q), static_cast<ub4>(std::strlen(q)),
                             OCI_NTV_SYNTAX, OCI_DEFAULT), OCI_SUCCESS);
    int i = 40;
    double d = 2.5;
    OCIBind* b = nullptr;
    ASSERT_EQ(o.bind_by_pos(st, &b, s.err, 1, &i, sizeof i, SQLT_INT, nullptr, nullptr, nullptr, 0, nullptr, 0),
              OCI_SUCCESS);
    ASSERT_EQ(o.bind_by_pos(st, &b, s.err, 2, &d, sizeof d, SQLT_FLT, nullptr, nullptr, nullptr, 0, nullptr, 0),
              OCI_SUCCESS);
    char sum[16], text[3];
    sb2 ind[2];
    ub2 len[2], code[2];
    OCIDefine* def = nullptr;
    o.define_by_pos(st, &def, s.err, 1, sum, sizeof sum, SQLT_STR, &ind[0], &len[0], &code[0], 0);
    o.define_by_pos(st, &def, s.err, 2, text, sizeof text, SQLT_STR, &ind[1], &len[1], &code[1], 0);
    EXPECT_EQ(o.stmt_execute(s.svc, st, s.err, 1, 0, nullptr, nullptr, OCI_DEFAULT), OCI_SUCCESS_WITH_INFO);
    EXPECT_STREQ(sum, "42.5");
    EXPECT_EQ(ind[0], 0);
    EXPECT_STREQ(text, "ab");  // two characters and the NUL
    EXPECT_EQ(ind[1], 3);
    EXPECT_EQ(code[1], 1406);
    EXPECT_EQ(o.stmt_fetch2(st, s.err, 1, OCI_FETCH_NEXT, 0, OCI_DEFAULT), OCI_NO_DATA);
    o.handle_free(st, OCI_HTYPE_STMT);
}
