// fakeoci.cpp: a fault-injecting OCI library for tests. It passes every call on
// to libveltoci.so and makes the calls named in VELT_FAKEOCI_FAIL fail instead:
//   VELT_FAKEOCI_FAIL="OCIStmtExecute=-1,OCIStmtFetch2@3=100"
// "name=status" fails every call of that entry point, "name@n=status" only its
// n-th call (counted from 1 since the variable last changed). An injected -1 leaves the text of
// VELT_FAKEOCI_MESSAGE (default "ORA-20999: injected failure") for OCIErrorGet
// until the next call passed on (freeing handles does not count).
// VELT_FAKEOCI_REAL names the real library (default: libveltoci.so beside this one).
#include "oci.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

enum Entry {
    e_attr_get, e_attr_set, e_bind_by_pos, e_define_by_pos, e_env_create, e_error_get,
    e_handle_alloc, e_handle_free, e_param_get, e_server_attach, e_server_detach,
    e_session_begin, e_session_end, e_stmt_execute, e_stmt_fetch2, e_stmt_prepare,
    e_terminate, e_trans_commit, e_trans_rollback, e_count
};

const char* const k_names[e_count] = {
    "OCIAttrGet", "OCIAttrSet", "OCIBindByPos", "OCIDefineByPos", "OCIEnvCreate", "OCIErrorGet",
    "OCIHandleAlloc", "OCIHandleFree", "OCIParamGet", "OCIServerAttach", "OCIServerDetach",
    "OCISessionBegin", "OCISessionEnd", "OCIStmtExecute", "OCIStmtFetch2", "OCIStmtPrepare",
    "OCITerminate", "OCITransCommit", "OCITransRollback",
};

void* g_real[e_count];
long g_calls[e_count];
bool g_injected_error;  // the last call failed with an injected -1

void* real_library()
{
    static void* lib = nullptr;
    if (lib) return lib;
    std::string path;
    if (const char* env = std::getenv("VELT_FAKEOCI_REAL")) {
        path = env;
    } else {
        Dl_info info;
        if (dladdr(reinterpret_cast<void*>(&real_library), &info) && info.dli_fname) {
            path = info.dli_fname;
            size_t slash = path.rfind('/');
            path = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "libveltoci.so";
        }
    }
    lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    return lib;
}

void* real(Entry e)
{
    if (!g_real[e]) {
        void* lib = real_library();
        g_real[e] = lib ? dlsym(lib, k_names[e]) : nullptr;
    }
    return g_real[e];
}

// The status to inject for this call of entry `e`, or false to pass it on.
bool injected(Entry e, sword& status)
{
    // A new failure list starts the call counts afresh.
    static std::string last;
    const char* rule = std::getenv("VELT_FAKEOCI_FAIL");
    std::string all = rule ? rule : "";
    if (all != last) {
        last = all;
        for (long& n : g_calls) n = 0;
    }
    long call = ++g_calls[e];
    if (all.empty()) return false;
    size_t pos = 0;
    while (pos <= all.size()) {
        size_t end = all.find(',', pos);
        if (end == std::string::npos) end = all.size();
        std::string item = all.substr(pos, end - pos);
        pos = end + 1;
        size_t eq = item.find('=');
        if (eq == std::string::npos) continue;
        std::string name = item.substr(0, eq);
        long only = 0;
        size_t at = name.find('@');
        if (at != std::string::npos) {
            only = std::atol(name.c_str() + at + 1);
            name.resize(at);
        }
        if (name != k_names[e] || (only != 0 && only != call)) continue;
        status = static_cast<sword>(std::atol(item.c_str() + eq + 1));
        g_injected_error = status == OCI_ERROR;
        return true;
    }
    return false;
}

}  // namespace

// Each entry point: inject, or call the real one with the same arguments.
#define FORWARD(entry, type, ...)                                  \
    sword status;                                                  \
    if (injected(entry, status)) return status;                    \
    if (entry != e_handle_free) g_injected_error = false;          \
    auto fn = reinterpret_cast<type>(real(entry));                 \
    if (!fn) return OCI_INVALID_HANDLE;                            \
    return fn(__VA_ARGS__);

extern "C" {

sword OCIEnvCreate(OCIEnv** envhpp, ub4 mode, void* ctxp, void* (*m)(void*, size_t),
                   void* (*r)(void*, void*, size_t), void (*f)(void*, void*), size_t x, void** u)
{
    FORWARD(e_env_create, decltype(&OCIEnvCreate), envhpp, mode, ctxp, m, r, f, x, u)
}

sword OCIHandleAlloc(const void* parenth, void** hndlpp, const ub4 type, const size_t x, void** u)
{
    FORWARD(e_handle_alloc, decltype(&OCIHandleAlloc), parenth, hndlpp, type, x, u)
}

sword OCIHandleFree(void* hndlp, const ub4 type)
{
    FORWARD(e_handle_free, decltype(&OCIHandleFree), hndlp, type)
}

sword OCIServerAttach(OCIServer* srvhp, OCIError* errhp, const OraText* dblink, sb4 len, ub4 mode)
{
    FORWARD(e_server_attach, decltype(&OCIServerAttach), srvhp, errhp, dblink, len, mode)
}

sword OCIServerDetach(OCIServer* srvhp, OCIError* errhp, ub4 mode)
{
    FORWARD(e_server_detach, decltype(&OCIServerDetach), srvhp, errhp, mode)
}

sword OCISessionBegin(OCISvcCtx* svchp, OCIError* errhp, OCISession* usrhp, ub4 credt, ub4 mode)
{
    FORWARD(e_session_begin, decltype(&OCISessionBegin), svchp, errhp, usrhp, credt, mode)
}

sword OCISessionEnd(OCISvcCtx* svchp, OCIError* errhp, OCISession* usrhp, ub4 mode)
{
    FORWARD(e_session_end, decltype(&OCISessionEnd), svchp, errhp, usrhp, mode)
}

sword OCIAttrSet(void* h, ub4 ht, void* attr, ub4 size, ub4 attrtype, OCIError* errhp)
{
    FORWARD(e_attr_set, decltype(&OCIAttrSet), h, ht, attr, size, attrtype, errhp)
}

sword OCIAttrGet(const void* h, ub4 ht, void* attr, ub4* sizep, ub4 attrtype, OCIError* errhp)
{
    FORWARD(e_attr_get, decltype(&OCIAttrGet), h, ht, attr, sizep, attrtype, errhp)
}

sword OCIParamGet(const void* h, ub4 ht, OCIError* errhp, void** parmdpp, ub4 pos)
{
    FORWARD(e_param_get, decltype(&OCIParamGet), h, ht, errhp, parmdpp, pos)
}

sword OCIStmtPrepare(OCIStmt* stmtp, OCIError* errhp, const OraText* stmt, ub4 len, ub4 language, ub4 mode)
{
    FORWARD(e_stmt_prepare, decltype(&OCIStmtPrepare), stmtp, errhp, stmt, len, language, mode)
}

sword OCIBindByPos(OCIStmt* stmtp, OCIBind** bindp, OCIError* errhp, ub4 position, void* valuep,
                   sb4 value_sz, ub2 dty, void* indp, ub2* alenp, ub2* rcodep, ub4 maxarr, ub4* curelep, ub4 mode)
{
    FORWARD(e_bind_by_pos, decltype(&OCIBindByPos), stmtp, bindp, errhp, position, valuep, value_sz,
            dty, indp, alenp, rcodep, maxarr, curelep, mode)
}

sword OCIDefineByPos(OCIStmt* stmtp, OCIDefine** defnp, OCIError* errhp, ub4 position, void* valuep,
                     sb4 value_sz, ub2 dty, void* indp, ub2* rlenp, ub2* rcodep, ub4 mode)
{
    FORWARD(e_define_by_pos, decltype(&OCIDefineByPos), stmtp, defnp, errhp, position, valuep, value_sz,
            dty, indp, rlenp, rcodep, mode)
}

sword OCIStmtExecute(OCISvcCtx* svchp, OCIStmt* stmtp, OCIError* errhp, ub4 iters, ub4 rowoff,
                     const OCISnapshot* in, OCISnapshot* out, ub4 mode)
{
    FORWARD(e_stmt_execute, decltype(&OCIStmtExecute), svchp, stmtp, errhp, iters, rowoff, in, out, mode)
}

sword OCIStmtFetch2(OCIStmt* stmtp, OCIError* errhp, ub4 nrows, ub2 orientation, sb4 offset, ub4 mode)
{
    FORWARD(e_stmt_fetch2, decltype(&OCIStmtFetch2), stmtp, errhp, nrows, orientation, offset, mode)
}

sword OCITransCommit(OCISvcCtx* svchp, OCIError* errhp, ub4 flags)
{
    FORWARD(e_trans_commit, decltype(&OCITransCommit), svchp, errhp, flags)
}

sword OCITransRollback(OCISvcCtx* svchp, OCIError* errhp, ub4 flags)
{
    FORWARD(e_trans_rollback, decltype(&OCITransRollback), svchp, errhp, flags)
}

sword OCIErrorGet(void* hndlp, ub4 recordno, OraText* sqlstate, sb4* errcodep, OraText* bufp, ub4 bufsiz, ub4 type)
{
    sword status;
    if (injected(e_error_get, status)) return status;
    if (g_injected_error && recordno == 1) {
        const char* msg = std::getenv("VELT_FAKEOCI_MESSAGE");
        if (!msg) msg = "ORA-20999: injected failure";
        if (errcodep) *errcodep = 20999;
        if (bufp && bufsiz > 0) {
            size_t n = std::strlen(msg);
            if (n > bufsiz - 1) n = bufsiz - 1;
            std::memcpy(bufp, msg, n);
            bufp[n] = '\0';
        }
        return OCI_SUCCESS;
    }
    auto fn = reinterpret_cast<decltype(&OCIErrorGet)>(real(e_error_get));
    if (!fn) return OCI_INVALID_HANDLE;
    return fn(hndlp, recordno, sqlstate, errcodep, bufp, bufsiz, type);
}

sword OCITerminate(ub4 mode)
{
    FORWARD(e_terminate, decltype(&OCITerminate), mode)
}

}  // extern "C"
