/* oci.h: the Oracle Call Interface entry points, handle types and constants that
   VELT's database layer uses, with OCI's documented C signatures, so that a site's
   own OCI client library and VELT's libveltoci.so can be loaded interchangeably. */
#ifndef VELT_OCI_H
#define VELT_OCI_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Scalar types of the OCI interface. */
typedef unsigned char  ub1;
typedef signed char    sb1;
typedef unsigned short ub2;
typedef signed short   sb2;
typedef unsigned int   ub4;
typedef signed int     sb4;
typedef int            sword;
typedef unsigned char  OraText;
typedef void           dvoid;

/* Opaque handles. */
typedef struct OCIEnv      OCIEnv;
typedef struct OCIError    OCIError;
typedef struct OCISvcCtx   OCISvcCtx;
typedef struct OCIStmt     OCIStmt;
typedef struct OCIBind     OCIBind;
typedef struct OCIDefine   OCIDefine;
typedef struct OCIDescribe OCIDescribe;
typedef struct OCIServer   OCIServer;
typedef struct OCISession  OCISession;
typedef struct OCIParam    OCIParam;
typedef struct OCISnapshot OCISnapshot;

/* Status codes. */
#define OCI_SUCCESS            0
#define OCI_SUCCESS_WITH_INFO  1
#define OCI_NEED_DATA          99
#define OCI_NO_DATA            100
#define OCI_ERROR              (-1)
#define OCI_INVALID_HANDLE     (-2)
#define OCI_STILL_EXECUTING    (-3123)
#define OCI_CONTINUE           (-24200)

/* Handle types. */
#define OCI_HTYPE_ENV          1
#define OCI_HTYPE_ERROR        2
#define OCI_HTYPE_SVCCTX       3
#define OCI_HTYPE_STMT         4
#define OCI_HTYPE_BIND         5
#define OCI_HTYPE_DEFINE       6
#define OCI_HTYPE_DESCRIBE     7
#define OCI_HTYPE_SERVER       8
#define OCI_HTYPE_SESSION      9

/* Descriptor types. */
#define OCI_DTYPE_PARAM        53

/* Attributes. */
#define OCI_ATTR_DATA_SIZE     1
#define OCI_ATTR_DATA_TYPE     2
#define OCI_ATTR_NAME          4
#define OCI_ATTR_SERVER        6
#define OCI_ATTR_SESSION       7
#define OCI_ATTR_ROW_COUNT     9
#define OCI_ATTR_PARAM_COUNT   18
#define OCI_ATTR_USERNAME      22
#define OCI_ATTR_PASSWORD      23

/* Modes and options. */
#define OCI_DEFAULT            0x00000000
#define OCI_THREADED           0x00000001
#define OCI_OBJECT             0x00000002
#define OCI_DESCRIBE_ONLY      0x00000010
#define OCI_COMMIT_ON_SUCCESS  0x00000020
#define OCI_CRED_RDBMS         1
#define OCI_CRED_EXT           2
#define OCI_NTV_SYNTAX         1
#define OCI_V7_SYNTAX          2
#define OCI_V8_SYNTAX          3
#define OCI_FETCH_CURRENT      0x00000001
#define OCI_FETCH_NEXT         0x00000002
#define OCI_TRANS_NEW          0x00000001

/* External and internal data types. */
#define SQLT_CHR               1
#define SQLT_NUM               2
#define SQLT_INT               3
#define SQLT_FLT               4
#define SQLT_STR               5
#define SQLT_VNU               6
#define SQLT_PDN               7
#define SQLT_LNG               8
#define SQLT_VCS               9
#define SQLT_DAT               12
#define SQLT_BFLOAT            21
#define SQLT_BDOUBLE           22
#define SQLT_BIN               23
#define SQLT_LBI               24
#define SQLT_UIN               68
#define SQLT_AFC               96
#define SQLT_IBFLOAT           100
#define SQLT_IBDOUBLE          101
#define SQLT_TIMESTAMP         187
#define SQLT_TIMESTAMP_TZ      188

/* The 19 entry points. */
sword OCIEnvCreate(OCIEnv **envhpp, ub4 mode, void *ctxp,
                   void *(*malocfp)(void *ctxp, size_t size),
                   void *(*ralocfp)(void *ctxp, void *memptr, size_t newsize),
                   void (*mfreefp)(void *ctxp, void *memptr),
                   size_t xtramem_sz, void **usrmempp);
sword OCIHandleAlloc(const void *parenth, void **hndlpp, const ub4 type,
                     const size_t xtramem_sz, void **usrmempp);
sword OCIHandleFree(void *hndlp, const ub4 type);
sword OCIServerAttach(OCIServer *srvhp, OCIError *errhp, const OraText *dblink,
                      sb4 dblink_len, ub4 mode);
sword OCIServerDetach(OCIServer *srvhp, OCIError *errhp, ub4 mode);
sword OCISessionBegin(OCISvcCtx *svchp, OCIError *errhp, OCISession *usrhp,
                      ub4 credt, ub4 mode);
sword OCISessionEnd(OCISvcCtx *svchp, OCIError *errhp, OCISession *usrhp, ub4 mode);
sword OCIAttrSet(void *trgthndlp, ub4 trghndltyp, void *attributep, ub4 size,
                 ub4 attrtype, OCIError *errhp);
sword OCIAttrGet(const void *trgthndlp, ub4 trghndltyp, void *attributep, ub4 *sizep,
                 ub4 attrtype, OCIError *errhp);
sword OCIParamGet(const void *hndlp, ub4 htype, OCIError *errhp, void **parmdpp, ub4 pos);
sword OCIStmtPrepare(OCIStmt *stmtp, OCIError *errhp, const OraText *stmt, ub4 stmt_len,
                     ub4 language, ub4 mode);
sword OCIBindByPos(OCIStmt *stmtp, OCIBind **bindp, OCIError *errhp, ub4 position,
                   void *valuep, sb4 value_sz, ub2 dty, void *indp, ub2 *alenp,
                   ub2 *rcodep, ub4 maxarr_len, ub4 *curelep, ub4 mode);
sword OCIDefineByPos(OCIStmt *stmtp, OCIDefine **defnp, OCIError *errhp, ub4 position,
                     void *valuep, sb4 value_sz, ub2 dty, void *indp, ub2 *rlenp,
                     ub2 *rcodep, ub4 mode);
sword OCIStmtExecute(OCISvcCtx *svchp, OCIStmt *stmtp, OCIError *errhp, ub4 iters,
                     ub4 rowoff, const OCISnapshot *snap_in, OCISnapshot *snap_out,
                     ub4 mode);
sword OCIStmtFetch2(OCIStmt *stmtp, OCIError *errhp, ub4 nrows, ub2 orientation,
                    sb4 fetchOffset, ub4 mode);
sword OCITransCommit(OCISvcCtx *svchp, OCIError *errhp, ub4 flags);
sword OCITransRollback(OCISvcCtx *svchp, OCIError *errhp, ub4 flags);
sword OCIErrorGet(void *hndlp, ub4 recordno, OraText *sqlstate, sb4 *errcodep,
                  OraText *bufp, ub4 bufsiz, ub4 type);
sword OCITerminate(ub4 mode);

#ifdef __cplusplus
}
#endif

#endif /* VELT_OCI_H */
