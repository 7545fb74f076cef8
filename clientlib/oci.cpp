// oci.cpp: libveltoci's 19 OCI entry points over one small struct per handle
// type; statements run whole at execute time and fetching walks the result.
#include "oci.h"
#include "backend.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

using namespace veltoci;

namespace {

constexpr unsigned k_magic = 0x56454c54;  // marks a live handle of this library

struct Head {
    unsigned magic = k_magic;
    unsigned type;
    explicit Head(unsigned t) : type(t) {}
    ~Head() { magic = 0; }
};

struct Env : Head { Env() : Head(OCI_HTYPE_ENV) {} };

struct Err : Head {
    Failure failure;  // code 0: no error recorded
    Err() : Head(OCI_HTYPE_ERROR) {}
};

struct Server : Head {
    bool attached = false;
    std::string db;
    Connection conn;  // open from OCISessionBegin to OCISessionEnd
    Server() : Head(OCI_HTYPE_SERVER) {}
};

struct Session : Head {
    std::string user, pwd;
    bool active = false;
    Session() : Head(OCI_HTYPE_SESSION) {}
};

struct SvcCtx : Head {
    Server* server = nullptr;
    Session* session = nullptr;
    SvcCtx() : Head(OCI_HTYPE_SVCCTX) {}
};

struct Bind : Head {
    void* value = nullptr;
    sb4 size = 0;
    ub2 dty = SQLT_CHR;
    sb2* ind = nullptr;
    ub2* alen = nullptr;
    Bind() : Head(OCI_HTYPE_BIND) {}
};

struct Define : Head {
    void* value = nullptr;
    sb4 size = 0;
    ub2 dty = SQLT_CHR;
    sb2* ind = nullptr;
    ub2* rlen = nullptr;
    ub2* rcode = nullptr;
    Define() : Head(OCI_HTYPE_DEFINE) {}
};

struct ParamDesc : Head {
    Column column;
    ParamDesc() : Head(OCI_DTYPE_PARAM) {}
};

struct Stmt : Head {
    std::string sql;
    bool prepared = false;
    std::vector<std::unique_ptr<Bind>> binds;      // index: position - 1
    std::vector<std::unique_ptr<Define>> defines;  // index: position - 1
    std::vector<std::unique_ptr<ParamDesc>> params;    // one per described column
    bool executed = false;
    bool described_only = false;  // the last execute only described: the next one reuses its result
    Result result;
    long long row = -1;           // the row last fetched
    Stmt() : Head(OCI_HTYPE_STMT) {}
};

template <class T>
T* handle_as(const void* p, unsigned type)
{
    if (!p) return nullptr;
    const Head* h = static_cast<const Head*>(p);
    if (h->magic != k_magic || h->type != type) return nullptr;
    return static_cast<T*>(const_cast<Head*>(h));
}

// Records a failure on the error handle; returns OCI_ERROR.
sword fail(Err* e, int code, const std::string& message)
{
    if (e) {
        e->failure.code = code;
        e->failure.message = message;
    }
    return OCI_ERROR;
}

sword fail(Err* e, const Failure& f) { return fail(e, f.code, f.message); }

void clear(Err* e)
{
    if (e) e->failure = Failure{};
}

const char k_nls_query[] = "select value from nls_database_parameters where parameter='nls_characterset'";

// True when `sql` is the character-set query, ignoring case and runs of blanks.
bool is_nls_query(const std::string& sql)
{
    std::string norm;
    for (char ch : sql) {
        unsigned char u = static_cast<unsigned char>(ch);
        if (std::isspace(u)) {
            if (!norm.empty() && norm.back() != ' ') norm.push_back(' ');
        } else {
            norm.push_back(static_cast<char>(std::tolower(u)));
        }
    }
    while (!norm.empty() && (norm.back() == ' ' || norm.back() == ';')) norm.pop_back();
    size_t eq;
    while ((eq = norm.find(" =")) != std::string::npos) norm.erase(eq, 1);
    while ((eq = norm.find("= ")) != std::string::npos) norm.erase(eq + 1, 1);
    return norm == k_nls_query;
}

// Reads the bound buffers; false (with the failure) when one cannot be read.
bool read_binds(Stmt* s, std::vector<veltoci::Param>& out, Failure& f)
{
    out.assign(s->binds.size(), veltoci::Param{});
    for (size_t i = 0; i < s->binds.size(); i++) {
        Bind* b = s->binds[i].get();
        if (!b) continue;
        veltoci::Param& p = out[i];
        if ((b->ind && *b->ind == -1) || !b->value) continue;
        const char* v = static_cast<const char*>(b->value);
        switch (b->dty) {
        case SQLT_CHR: case SQLT_AFC: case SQLT_LNG: {
            size_t len = b->alen ? *b->alen : static_cast<size_t>(std::max<sb4>(b->size, 0));
            p.text.assign(v, len);
            break;
        }
        case SQLT_STR:
            p.text.assign(v, strnlen(v, static_cast<size_t>(std::max<sb4>(b->size, 0))));
            break;
        case SQLT_INT: {
            long long n = 0;
            if (b->size == 1) n = *reinterpret_cast<const signed char*>(v);
            else if (b->size == 2) { short x; std::memcpy(&x, v, 2); n = x; }
            else if (b->size == 4) { int x; std::memcpy(&x, v, 4); n = x; }
            else if (b->size == 8) { long long x; std::memcpy(&x, v, 8); n = x; }
            else { f = {932, "ORA-00932: inconsistent datatypes"}; return false; }
            p.text = std::to_string(n);
            break;
        }
        case SQLT_FLT: {
            double d;
            if (b->size == 4) { float x; std::memcpy(&x, v, 4); d = x; }
            else if (b->size == 8) std::memcpy(&d, v, 8);
            else { f = {932, "ORA-00932: inconsistent datatypes"}; return false; }
            char buf[40];
            std::snprintf(buf, sizeof buf, "%.17g", d);
            p.text = buf;
            break;
        }
        default:
            f = {932, "ORA-00932: inconsistent datatypes"};
            return false;
        }
        p.is_null = p.text.empty();  // an empty text is NULL, as in Oracle
    }
    return true;
}

// Copies row `row` into the defined buffers. Truncation follows OCI: the
// indicator carries the full length (-2 beyond sb2), the return code 1406,
// and the status is OCI_SUCCESS_WITH_INFO, or OCI_ERROR without an indicator.
sword write_row(Stmt* s, Err* e, size_t row)
{
    const Result& r = s->result;
    size_t ncol = r.columns.size();
    sword status = OCI_SUCCESS;
    for (size_t i = 0; i < s->defines.size() && i < ncol; i++) {
        Define* d = s->defines[i].get();
        if (!d) continue;
        const std::string& cell = r.cells[row * ncol + i];
        if (r.nulls[row * ncol + i]) {
            if (d->rlen) *d->rlen = 0;
            if (d->rcode) *d->rcode = 1405;
            if (!d->ind) return fail(e, 1405, "ORA-01405: fetched column value is NULL");
            *d->ind = -1;
            continue;
        }
        size_t room = d->size > 0 ? static_cast<size_t>(d->size) : 0;
        if (d->dty == SQLT_STR && room > 0) room--;  // the terminating NUL
        char* dst = static_cast<char*>(d->value);
        size_t len = cell.size();
        size_t copied = std::min(len, room);
        if (dst && copied) std::memcpy(dst, cell.data(), copied);
        if (dst && copied < static_cast<size_t>(std::max<sb4>(d->size, 0))) dst[copied] = '\0';
        if (d->rlen) *d->rlen = static_cast<ub2>(std::min<size_t>(copied, 65535));
        if (len <= room) {
            if (d->ind) *d->ind = 0;
            if (d->rcode) *d->rcode = 0;
            continue;
        }
        if (d->rcode) *d->rcode = 1406;
        if (!d->ind) return fail(e, 1406, "ORA-01406: fetched column value was truncated");
        *d->ind = len > 32767 ? -2 : static_cast<sb2>(len);
        fail(e, 1406, "ORA-01406: fetched column value was truncated");
        status = OCI_SUCCESS_WITH_INFO;
    }
    return status;
}

sword run_statement(Connection& c, Stmt* s, Err* e)
{
    std::vector<veltoci::Param> params;
    Failure f;
    if (!read_binds(s, params, f)) return fail(e, f);
    Result r;
    if (is_nls_query(s->sql) && !c.backend->has_table(c, "nls_database_parameters")) {
        r.is_query = true;
        r.columns.push_back(Column{"VALUE", SQLT_CHR, 8});
        r.cells.push_back("AL32UTF8");
        r.nulls.push_back(0);
        r.row_count = 1;
    } else if (!c.backend->run(c, s->sql, params, r, f)) {
        return fail(e, f);
    }
    s->result = std::move(r);
    s->params.clear();
    for (const Column& col : s->result.columns) {
        auto p = std::make_unique<ParamDesc>();
        p->column = col;
        s->params.push_back(std::move(p));
    }
    s->executed = true;
    s->row = -1;
    return OCI_SUCCESS;
}

sword end_transaction(SvcCtx* svc, Err* e, bool commit)
{
    clear(e);
    if (!svc) return OCI_INVALID_HANDLE;
    if (!svc->server || !svc->session || !svc->session->active)
        return fail(e, 3114, "ORA-03114: not connected to ORACLE");
    Failure f;
    if (!svc->server->conn.backend->end_transaction(svc->server->conn, commit, f)) return fail(e, f);
    return OCI_SUCCESS;
}

void close_connection(Server* srv)
{
    Connection& c = srv->conn;
    if (!c.backend) return;
    Failure ignored;
    c.backend->end_transaction(c, false, ignored);
    c.backend->close(c);
    c.backend = nullptr;
}

bool starts_with_nocase(const std::string& s, const char* prefix)
{
    size_t n = std::strlen(prefix);
    if (s.size() < n) return false;
    for (size_t i = 0; i < n; i++)
        if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
    return true;
}

}  // namespace

// Every entry point turns an escaping C++ exception (memory exhaustion) into OCI_ERROR.
#define GUARDED(body) try { body } catch (...) { return OCI_ERROR; }

extern "C" {

sword OCIEnvCreate(OCIEnv** envhpp, ub4, void*, void* (*)(void*, size_t),
                   void* (*)(void*, void*, size_t), void (*)(void*, void*), size_t, void**)
{
    GUARDED({
        if (!envhpp) return OCI_ERROR;
        *envhpp = reinterpret_cast<OCIEnv*>(new Env);
        return OCI_SUCCESS;
    })
}

sword OCIHandleAlloc(const void* parenth, void** hndlpp, const ub4 type, const size_t, void**)
{
    GUARDED({
        if (!handle_as<Env>(parenth, OCI_HTYPE_ENV) || !hndlpp) return OCI_INVALID_HANDLE;
        Head* h = nullptr;
        switch (type) {
        case OCI_HTYPE_ERROR: h = new Err; break;
        case OCI_HTYPE_SVCCTX: h = new SvcCtx; break;
        case OCI_HTYPE_STMT: h = new Stmt; break;
        case OCI_HTYPE_SERVER: h = new Server; break;
        case OCI_HTYPE_SESSION: h = new Session; break;
        default: return OCI_ERROR;
        }
        *hndlpp = h;
        return OCI_SUCCESS;
    })
}

sword OCIHandleFree(void* hndlp, const ub4 type)
{
    GUARDED({
        switch (type) {
        case OCI_HTYPE_ENV: if (auto* h = handle_as<Env>(hndlp, type)) { delete h; return OCI_SUCCESS; } break;
        case OCI_HTYPE_ERROR: if (auto* h = handle_as<Err>(hndlp, type)) { delete h; return OCI_SUCCESS; } break;
        case OCI_HTYPE_SVCCTX: if (auto* h = handle_as<SvcCtx>(hndlp, type)) { delete h; return OCI_SUCCESS; } break;
        case OCI_HTYPE_STMT: if (auto* h = handle_as<Stmt>(hndlp, type)) { delete h; return OCI_SUCCESS; } break;
        case OCI_HTYPE_SERVER:
            if (auto* h = handle_as<Server>(hndlp, type)) {
                close_connection(h);
                delete h;
                return OCI_SUCCESS;
            }
            break;
        case OCI_HTYPE_SESSION: if (auto* h = handle_as<Session>(hndlp, type)) { delete h; return OCI_SUCCESS; } break;
        case OCI_HTYPE_BIND: case OCI_HTYPE_DEFINE:  // owned and freed by their statement
            if (hndlp && static_cast<Head*>(hndlp)->magic == k_magic) return OCI_SUCCESS;
            break;
        default: break;
        }
        return OCI_INVALID_HANDLE;
    })
}

sword OCIServerAttach(OCIServer* srvhp, OCIError* errhp, const OraText* dblink, sb4 dblink_len, ub4)
{
    GUARDED({
        Server* srv = handle_as<Server>(srvhp, OCI_HTYPE_SERVER);
        Err* e = handle_as<Err>(errhp, OCI_HTYPE_ERROR);
        if (!srv || !e) return OCI_INVALID_HANDLE;
        clear(e);
        if (srv->attached) return fail(e, 24309, "ORA-24309: already connected to a server");
        const char* text = reinterpret_cast<const char*>(dblink);
        srv->db = text ? std::string(text, dblink_len >= 0 ? static_cast<size_t>(dblink_len) : std::strlen(text)) : "";
        if (srv->db.empty()) return fail(e, 12162, "ORA-12162: TNS:net service name is incorrectly specified");
        srv->attached = true;
        return OCI_SUCCESS;
    })
}

sword OCIServerDetach(OCIServer* srvhp, OCIError* errhp, ub4)
{
    GUARDED({
        Server* srv = handle_as<Server>(srvhp, OCI_HTYPE_SERVER);
        Err* e = handle_as<Err>(errhp, OCI_HTYPE_ERROR);
        if (!srv || !e) return OCI_INVALID_HANDLE;
        clear(e);
        if (!srv->attached) return fail(e, 24324, "ORA-24324: service handle not initialized");
        close_connection(srv);
        srv->attached = false;
        return OCI_SUCCESS;
    })
}

sword OCISessionBegin(OCISvcCtx* svchp, OCIError* errhp, OCISession* usrhp, ub4 credt, ub4)
{
    GUARDED({
        SvcCtx* svc = handle_as<SvcCtx>(svchp, OCI_HTYPE_SVCCTX);
        Err* e = handle_as<Err>(errhp, OCI_HTYPE_ERROR);
        Session* ses = handle_as<Session>(usrhp, OCI_HTYPE_SESSION);
        if (!svc || !e || !ses) return OCI_INVALID_HANDLE;
        clear(e);
        Server* srv = svc->server;
        if (!srv || !srv->attached) return fail(e, 24324, "ORA-24324: service handle not initialized");
        if (credt != OCI_CRED_RDBMS) return fail(e, 1017, "ORA-01017: invalid username/password; logon denied");
        if (srv->conn.backend) return fail(e, 24309, "ORA-24309: already connected to a server");
        bool pg = starts_with_nocase(srv->db, "postgresql://") || starts_with_nocase(srv->db, "postgres://");
        Connection c;
        c.backend = pg ? &pg_backend : &sqlite_backend;
        Failure f;
        if (!c.backend->open(c, srv->db, ses->user, ses->pwd, f)) return fail(e, f);
        srv->conn = c;
        ses->active = true;
        if (!svc->session) svc->session = ses;
        return OCI_SUCCESS;
    })
}

sword OCISessionEnd(OCISvcCtx* svchp, OCIError* errhp, OCISession* usrhp, ub4)
{
    GUARDED({
        SvcCtx* svc = handle_as<SvcCtx>(svchp, OCI_HTYPE_SVCCTX);
        Err* e = handle_as<Err>(errhp, OCI_HTYPE_ERROR);
        if (!svc || !e) return OCI_INVALID_HANDLE;
        clear(e);
        Session* ses = usrhp ? handle_as<Session>(usrhp, OCI_HTYPE_SESSION) : svc->session;
        if (!ses) return OCI_INVALID_HANDLE;
        if (!ses->active || !svc->server) return fail(e, 3114, "ORA-03114: not connected to ORACLE");
        close_connection(svc->server);  // a session ended without commit rolls back
        ses->active = false;
        return OCI_SUCCESS;
    })
}

sword OCIAttrSet(void* trgthndlp, ub4 trghndltyp, void* attributep, ub4 size, ub4 attrtype, OCIError* errhp)
{
    GUARDED({
        Err* e = handle_as<Err>(errhp, OCI_HTYPE_ERROR);
        if (!e) return OCI_INVALID_HANDLE;
        clear(e);
        if (trghndltyp == OCI_HTYPE_SVCCTX) {
            SvcCtx* svc = handle_as<SvcCtx>(trgthndlp, OCI_HTYPE_SVCCTX);
            if (!svc) return OCI_INVALID_HANDLE;
            if (attrtype == OCI_ATTR_SERVER) {
                Server* srv = handle_as<Server>(attributep, OCI_HTYPE_SERVER);
                if (!srv) return OCI_INVALID_HANDLE;
                svc->server = srv;
                return OCI_SUCCESS;
            }
            if (attrtype == OCI_ATTR_SESSION) {
                Session* ses = handle_as<Session>(attributep, OCI_HTYPE_SESSION);
                if (!ses) return OCI_INVALID_HANDLE;
                svc->session = ses;
                return OCI_SUCCESS;
            }
        } else if (trghndltyp == OCI_HTYPE_SESSION) {
            Session* ses = handle_as<Session>(trgthndlp, OCI_HTYPE_SESSION);
            if (!ses) return OCI_INVALID_HANDLE;
            const char* text = static_cast<const char*>(attributep);
            std::string value = text ? std::string(text, size) : "";
            if (attrtype == OCI_ATTR_USERNAME) { ses->user = value; return OCI_SUCCESS; }
            if (attrtype == OCI_ATTR_PASSWORD) { ses->pwd = value; return OCI_SUCCESS; }
        } else if (!trgthndlp) {
            return OCI_INVALID_HANDLE;
        }
        return fail(e, 24315, "ORA-24315: illegal attribute type");
    })
}

sword OCIAttrGet(const void* trgthndlp, ub4 trghndltyp, void* attributep, ub4* sizep, ub4 attrtype, OCIError* errhp)
{
    GUARDED({
        Err* e = handle_as<Err>(errhp, OCI_HTYPE_ERROR);
        if (!e) return OCI_INVALID_HANDLE;
        clear(e);
        if (!attributep) return fail(e, 24315, "ORA-24315: illegal attribute type");
        if (trghndltyp == OCI_DTYPE_PARAM) {
            ParamDesc* p = handle_as<ParamDesc>(trgthndlp, OCI_DTYPE_PARAM);
            if (!p) return OCI_INVALID_HANDLE;
            switch (attrtype) {
            case OCI_ATTR_DATA_SIZE: *static_cast<ub2*>(attributep) = static_cast<ub2>(p->column.size); break;
            case OCI_ATTR_DATA_TYPE: *static_cast<ub2*>(attributep) = static_cast<ub2>(p->column.type); break;
            case OCI_ATTR_NAME:
                *static_cast<const OraText**>(attributep) = reinterpret_cast<const OraText*>(p->column.name.c_str());
                if (sizep) *sizep = static_cast<ub4>(p->column.name.size());
                return OCI_SUCCESS;
            default: return fail(e, 24315, "ORA-24315: illegal attribute type");
            }
            if (sizep) *sizep = sizeof(ub2);
            return OCI_SUCCESS;
        }
        if (trghndltyp == OCI_HTYPE_STMT) {
            Stmt* s = handle_as<Stmt>(trgthndlp, OCI_HTYPE_STMT);
            if (!s) return OCI_INVALID_HANDLE;
            ub4 value;
            if (attrtype == OCI_ATTR_PARAM_COUNT) value = static_cast<ub4>(s->result.columns.size());
            else if (attrtype == OCI_ATTR_ROW_COUNT)
                value = static_cast<ub4>(s->result.is_query ? s->row + 1 : s->result.changes);
            else return fail(e, 24315, "ORA-24315: illegal attribute type");
            *static_cast<ub4*>(attributep) = value;
            if (sizep) *sizep = sizeof(ub4);
            return OCI_SUCCESS;
        }
        if (!trgthndlp) return OCI_INVALID_HANDLE;
        return fail(e, 24315, "ORA-24315: illegal attribute type");
    })
}

sword OCIParamGet(const void* hndlp, ub4 htype, OCIError* errhp, void** parmdpp, ub4 pos)
{
    GUARDED({
        Err* e = handle_as<Err>(errhp, OCI_HTYPE_ERROR);
        Stmt* s = htype == OCI_HTYPE_STMT ? handle_as<Stmt>(hndlp, OCI_HTYPE_STMT) : nullptr;
        if (!e || !s || !parmdpp) return OCI_INVALID_HANDLE;
        clear(e);
        if (!s->executed) return fail(e, 24338, "ORA-24338: statement handle not executed");
        if (pos < 1 || pos > s->params.size()) return fail(e, 24334, "ORA-24334: no descriptor for this position");
        *parmdpp = s->params[pos - 1].get();
        return OCI_SUCCESS;
    })
}

sword OCIStmtPrepare(OCIStmt* stmtp, OCIError* errhp, const OraText* stmt, ub4 stmt_len, ub4 language, ub4)
{
    GUARDED({
        Stmt* s = handle_as<Stmt>(stmtp, OCI_HTYPE_STMT);
        Err* e = handle_as<Err>(errhp, OCI_HTYPE_ERROR);
        if (!s || !e) return OCI_INVALID_HANDLE;
        clear(e);
        if (!stmt || stmt_len == 0) return fail(e, 24333, "ORA-24333: zero length statement");
        if (language != OCI_NTV_SYNTAX && language != OCI_V7_SYNTAX && language != OCI_V8_SYNTAX)
            return fail(e, 1002, "ORA-24333: unknown statement language");
        s->sql.assign(reinterpret_cast<const char*>(stmt), stmt_len);
        s->prepared = true;
        s->executed = false;
        s->described_only = false;
        s->binds.clear();
        s->defines.clear();
        s->params.clear();
        s->result = Result{};
        s->row = -1;
        return OCI_SUCCESS;
    })
}

sword OCIBindByPos(OCIStmt* stmtp, OCIBind** bindp, OCIError* errhp, ub4 position, void* valuep,
                   sb4 value_sz, ub2 dty, void* indp, ub2* alenp, ub2* rcodep, ub4, ub4*, ub4)
{
    GUARDED({
        (void)rcodep;
        Stmt* s = handle_as<Stmt>(stmtp, OCI_HTYPE_STMT);
        Err* e = handle_as<Err>(errhp, OCI_HTYPE_ERROR);
        if (!s || !e) return OCI_INVALID_HANDLE;
        clear(e);
        if (!s->prepared) return fail(e, 24337, "ORA-24337: statement handle not prepared");
        if (position < 1 || position > 65535) return fail(e, 1036, "ORA-01036: illegal variable name/number");
        if (dty != SQLT_CHR && dty != SQLT_STR && dty != SQLT_AFC && dty != SQLT_LNG
            && dty != SQLT_INT && dty != SQLT_FLT)
            return fail(e, 932, "ORA-00932: inconsistent datatypes");
        if (s->binds.size() < position) s->binds.resize(position);
        auto& slot = s->binds[position - 1];
        if (!slot) slot = std::make_unique<Bind>();
        slot->value = valuep;
        slot->size = value_sz;
        slot->dty = dty;
        slot->ind = static_cast<sb2*>(indp);
        slot->alen = alenp;
        if (bindp) *bindp = reinterpret_cast<OCIBind*>(slot.get());
        return OCI_SUCCESS;
    })
}

sword OCIDefineByPos(OCIStmt* stmtp, OCIDefine** defnp, OCIError* errhp, ub4 position, void* valuep,
                     sb4 value_sz, ub2 dty, void* indp, ub2* rlenp, ub2* rcodep, ub4)
{
    GUARDED({
        Stmt* s = handle_as<Stmt>(stmtp, OCI_HTYPE_STMT);
        Err* e = handle_as<Err>(errhp, OCI_HTYPE_ERROR);
        if (!s || !e) return OCI_INVALID_HANDLE;
        clear(e);
        if (!s->prepared) return fail(e, 24337, "ORA-24337: statement handle not prepared");
        if (position < 1 || position > 65535) return fail(e, 1007, "ORA-01007: variable not in select list");
        if (dty != SQLT_CHR && dty != SQLT_STR && dty != SQLT_AFC && dty != SQLT_LNG)
            return fail(e, 932, "ORA-00932: inconsistent datatypes");
        if (value_sz < 0) return fail(e, 1459, "ORA-01459: invalid length for variable character string");
        if (s->defines.size() < position) s->defines.resize(position);
        auto& slot = s->defines[position - 1];
        if (!slot) slot = std::make_unique<Define>();
        slot->value = valuep;
        slot->size = value_sz;
        slot->dty = dty;
        slot->ind = static_cast<sb2*>(indp);
        slot->rlen = rlenp;
        slot->rcode = rcodep;
        if (defnp) *defnp = reinterpret_cast<OCIDefine*>(slot.get());
        return OCI_SUCCESS;
    })
}

sword OCIStmtExecute(OCISvcCtx* svchp, OCIStmt* stmtp, OCIError* errhp, ub4 iters, ub4,
                     const OCISnapshot*, OCISnapshot*, ub4 mode)
{
    GUARDED({
        SvcCtx* svc = handle_as<SvcCtx>(svchp, OCI_HTYPE_SVCCTX);
        Stmt* s = handle_as<Stmt>(stmtp, OCI_HTYPE_STMT);
        Err* e = handle_as<Err>(errhp, OCI_HTYPE_ERROR);
        if (!svc || !s || !e) return OCI_INVALID_HANDLE;
        clear(e);
        if (!s->prepared) return fail(e, 24337, "ORA-24337: statement handle not prepared");
        if (!svc->server || !svc->session || !svc->session->active || !svc->server->conn.backend)
            return fail(e, 3114, "ORA-03114: not connected to ORACLE");
        Connection& c = svc->server->conn;
        bool describe = iters == 0 || (mode & OCI_DESCRIBE_ONLY);
        if (describe) {
            sword st = run_statement(c, s, e);
            s->described_only = st == OCI_SUCCESS;
            return st;
        }
        if (!s->described_only) {
            sword st = run_statement(c, s, e);
            if (st != OCI_SUCCESS) return st;
        }
        s->described_only = false;
        if (mode & OCI_COMMIT_ON_SUCCESS) {
            Failure f;
            if (!c.backend->end_transaction(c, true, f)) return fail(e, f);
        }
        if (!s->result.is_query) return OCI_SUCCESS;
        if (s->result.row_count == 0) return OCI_NO_DATA;
        s->row = 0;
        return write_row(s, e, 0);
    })
}

sword OCIStmtFetch2(OCIStmt* stmtp, OCIError* errhp, ub4 nrows, ub2 orientation, sb4 fetchOffset, ub4)
{
    GUARDED({
        Stmt* s = handle_as<Stmt>(stmtp, OCI_HTYPE_STMT);
        Err* e = handle_as<Err>(errhp, OCI_HTYPE_ERROR);
        if (!s || !e) return OCI_INVALID_HANDLE;
        clear(e);
        if (!s->executed || !s->result.is_query)
            return fail(e, 24374, "ORA-24374: define not done before fetch or execute and fetch");
        if (nrows == 0) return OCI_SUCCESS;
        long long count = static_cast<long long>(s->result.row_count);
        long long next;
        switch (orientation) {
        case 0: case OCI_FETCH_NEXT: next = s->row + 1; break;
        case OCI_FETCH_CURRENT: next = s->row; break;
        case 0x04: next = 0; break;                       // first
        case 0x08: next = count - 1; break;               // last
        case 0x10: next = s->row - 1; break;              // prior
        case 0x20: next = fetchOffset - 1; break;         // absolute, 1-based
        case 0x40: next = s->row + fetchOffset; break;    // relative
        default: return fail(e, 24391, "ORA-24391: invalid fetch operation");
        }
        if (next < 0 || next >= count) {
            if (next >= count) s->row = count;
            return OCI_NO_DATA;
        }
        s->row = next;
        return write_row(s, e, static_cast<size_t>(next));
    })
}

sword OCITransCommit(OCISvcCtx* svchp, OCIError* errhp, ub4)
{
    GUARDED({
        Err* e = handle_as<Err>(errhp, OCI_HTYPE_ERROR);
        if (!e) return OCI_INVALID_HANDLE;
        return end_transaction(handle_as<SvcCtx>(svchp, OCI_HTYPE_SVCCTX), e, true);
    })
}

sword OCITransRollback(OCISvcCtx* svchp, OCIError* errhp, ub4)
{
    GUARDED({
        Err* e = handle_as<Err>(errhp, OCI_HTYPE_ERROR);
        if (!e) return OCI_INVALID_HANDLE;
        return end_transaction(handle_as<SvcCtx>(svchp, OCI_HTYPE_SVCCTX), e, false);
    })
}

sword OCIErrorGet(void* hndlp, ub4 recordno, OraText* sqlstate, sb4* errcodep, OraText* bufp, ub4 bufsiz, ub4 type)
{
    GUARDED({
        if (type != OCI_HTYPE_ERROR) return hndlp ? OCI_NO_DATA : OCI_INVALID_HANDLE;
        Err* e = handle_as<Err>(hndlp, OCI_HTYPE_ERROR);
        if (!e) return OCI_INVALID_HANDLE;
        if (recordno != 1 || e->failure.code == 0) return OCI_NO_DATA;
        if (errcodep) *errcodep = e->failure.code;
        if (sqlstate) std::memcpy(sqlstate, "HY000", 6);
        if (bufp && bufsiz > 0) {
            size_t n = std::min<size_t>(e->failure.message.size(), bufsiz - 1);
            std::memcpy(bufp, e->failure.message.data(), n);
            bufp[n] = '\0';
        }
        return OCI_SUCCESS;
    })
}

sword OCITerminate(ub4) { return OCI_SUCCESS; }

}  // extern "C"
