#include "mos/usr/security/mos_security.h"

#include <cstring>

#include "mos/mos_trace.h"
#include "mos/mos_utils.h"
#include "mos/usr/security/mos_auth.h"
#include "mos/usr/security/mos_security_lib.h"
#include "mos/usr/security/mos_ssl_intrn.h"

MosSecurityConf mosSecurityConf_G;

namespace {

#define MOS_SECURITY__DEFAULT_CIPHERS                                                                  \
    "ECDH+AESGCM:DH+AESGCM:ECDH+AES256:DH+AES256:ECDH+AES128:DH+AES:ECDH+3DES:DH+3DES:RSA+AESGCM:RSA+AES:RSA+3DES:" \
    "!aNULL:!eNULL:!EXPORT:!MD5:!DSS:!DES:!RC4"

MosSecurityConf &c = mosSecurityConf_G;

MosConfEntry mosSecurityConfEntries_G[MOS_SECURITY__NUM_CONF_ENTRIES] = {
    mosConf_BoolEntry("security_enable", &c.bEnable, FALSE),
    mosConf_BoolEntry("security_asynchronous_load", &c.bAsynchronousLoad, FALSE),
    mosConf_BoolEntry("security_allow_unsecure", &c.bServerAllowUnsecure, FALSE),
    mosConf_BoolEntry("ssl_enable", &c.sslConf.bEnable, FALSE),
    mosConf_BoolEntry("ssl_disable_client_auth", &c.sslConf.bDisableClientAuth, FALSE),
    mosConf_StringEntry("ssl_trust_cert_file", c.sslConf.trustedCertFile, "", sizeof(c.sslConf.trustedCertFile)),
    mosConf_StringEntry("ssl_key_pair_file", c.sslConf.keyPairFile, "", sizeof(c.sslConf.keyPairFile)),
    mosConf_StringEntry("ssl_private_key_password", c.sslConf.password, "", sizeof(c.sslConf.password)),
    mosConf_StringEntry("ssl_cipher_list", c.sslConf.sslCipherList, MOS_SECURITY__DEFAULT_CIPHERS,
                        sizeof(c.sslConf.sslCipherList)),
    mosConf_StringEntry("ssl_method", c.sslConf.sslMethodStr, "TLSv1.2", sizeof(c.sslConf.sslMethodStr)),
    mosConf_IntEntry("ssl_context_id", &c.sslConf.contextId, 0, 2, 1, 0),
    mosConf_IntEntry("ssl_cert_verify_depth", &c.sslConf.certVerifyDepth, 1, 100, 1, 4),
    mosConf_BoolEntry("auth_enable", &c.authConf.bEnable, FALSE),
    mosConf_StringEntry("auth_key_pair_file", c.authConf.keyPairFile, "", sizeof(c.authConf.keyPairFile)),
    mosConf_StringEntry("auth_private_key_password", c.authConf.password, "", sizeof(c.authConf.password)),
    mosConf_StringEntry("auth_trust_cert_file", c.authConf.trustedCertFile, "", sizeof(c.authConf.trustedCertFile)),
};

// Set only once all three services came up; read by any thread.
volatile BOOL mosSecurity_Manager_G = FALSE;

// The layer's own blocking service for the asynchronous start.
MosBlocking mosSecurity_Blocking_G;
BOOL bBlockingCreated = FALSE;
MosBlocking_Req mosSecurity_LoadReq_G; // the layer's own request record

const char *enabledText(BOOL b)
{
    return b ? "Enabled" : "Disabled";
}

int initWork(void *pContext)
{
    return (int)mosSecurity_Init(static_cast<MosSecurityConf *>(pContext));
}

// A trial binding, released at once. A binding that is already in place answers for itself:
// binding again would fail on it and must not close it.
int isSupportedBlocking(void *pContext)
{
    MOS_UNUSED(pContext);
    if (mosSecurity_IsBound())
        return MOS_RC__SUCCESS;
    const Mos_RC rc = mosSecurity_InitIntrn();
    if (rc == MOS_RC__SUCCESS)
        mosSecurity_FiniIntrn();
    return (int)rc;
}

// The TLS contexts: created on the first start, re-applied on a later one without touching a
// context that sessions hold.
Mos_RC startSsl(const MosSslConf *pConf)
{
    return mosSsl_IsInitialized() ? mosSsl_ReapplyConf(pConf) : mosSsl_Init(pConf);
}

Mos_RC startAuth(const MosAuthConf *pConf)
{
    return mosAuth_IsInitialized() ? mosAuth_UpdateConf(pConf) : mosAuth_Init(pConf);
}

} // namespace

void mosSecurity_ConfReset(void)
{
    memset(&mosSecurityConf_G, 0, sizeof(mosSecurityConf_G));
}

void mosSecurity_GetConfEntry(MosConfEntry **ppEntries, UINT32 *pEntriesSize)
{
    mosSecurity_ConfReset();
    *ppEntries = mosSecurityConfEntries_G;
    *pEntriesSize = MOS_SECURITY__NUM_CONF_ENTRIES;
}

MosSecurityConf *mosSecurity_GetConf(void)
{
    return &mosSecurityConf_G;
}

BOOL mosSecurity_IsInitialized(void)
{
    return mosSecurity_Manager_G;
}

Mos_RC mosSecurity_Init(MosSecurityConf *pConf)
{
    mosSecurity_Manager_G = FALSE;
    if (pConf == nullptr) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Using default security configuration");
        pConf = &mosSecurityConf_G;
    }
    if (!pConf->bEnable && !pConf->sslConf.bEnable && !pConf->authConf.bEnable) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Security is disabled");
        return MOS_RC__SUCCESS;
    }
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW,
              "The security configuration is:\n\tState: %s\n\tAccept Unsecured Connections: %s\n\tAsynchronous Load: %s\n",
              enabledText(pConf->bEnable), enabledText(pConf->bServerAllowUnsecure),
              enabledText(pConf->bAsynchronousLoad));
    // A repeated start keeps the binding: live sessions run inside the library.
    const BOOL bBoundHere = mosSecurity_IsBound() ? FALSE : TRUE;
    if (bBoundHere) {
        const Mos_RC rc = mosSecurity_InitIntrn();
        if (rc != MOS_RC__SUCCESS) {
            MOS_ERROR(MOS_COMP_MOS, "Failed to open security dynamic libraries (%s)", mosRc_GetStr(rc));
            return rc;
        }
    }
    Mos_RC rc = startSsl(&pConf->sslConf);
    if (rc != MOS_RC__SUCCESS) {
        if (bBoundHere)
            mosSecurity_FiniIntrn();
        MOS_ERROR(MOS_COMP_MOS, "Failed to initialize SSL/TLS");
        return rc;
    }
    rc = startAuth(&pConf->authConf);
    if (rc != MOS_RC__SUCCESS) {
        if (bBoundHere) {
            mosSsl_Fini();
            mosSecurity_FiniIntrn();
        }
        MOS_ERROR(MOS_COMP_MOS, "Failed to initialize authentication");
        return rc;
    }
    mosSecurity_Manager_G = TRUE;
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "MOS Security library initialized successfully");
    return MOS_RC__SUCCESS;
}

Mos_RC mosSecurity_InitAsync(MosBlocking_Req *pReq, MosSecurityConf *pConf)
{
    mosSecurity_Manager_G = FALSE;
    if (!bBlockingCreated) {
        if (mosBlocking_Create(&mosSecurity_Blocking_G, "MOS_Security_Init_Blocking", 1) != MOS_RC__SUCCESS) {
            MOS_ERROR(MOS_COMP_MOS, "Failed to create blocking object");
            return MOS_RC__ERROR;
        }
        bBlockingCreated = TRUE;
    }
    memset(pReq, 0, sizeof(*pReq));
    pReq->workFunc = initWork;
    pReq->pContext = pConf;
    const Mos_RC rc = mosBlocking_SubmitWait(&mosSecurity_Blocking_G, pReq);
    if (rc != MOS_RC__PENDING && rc != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to submit blocking request (%s)", mosRc_GetStr(MOS_RC__NO_RESOURCES));
        return MOS_RC__ERROR;
    }
    return MOS_RC__SUCCESS;
}

Mos_RC mosSecurityLayer_Load(void *pArg)
{
    MOS_UNUSED(pArg);
    const BOOL bAsync = mosSecurityConf_G.bAsynchronousLoad;
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Loading %ssynchronously using default security configuration",
              bAsync ? "a" : "");
    if (bAsync)
        return mosSecurity_InitAsync(&mosSecurity_LoadReq_G, &mosSecurityConf_G);
    return mosSecurity_Init(&mosSecurityConf_G);
}

void mosSecurityLayer_Destroy(void)
{
    // The asynchronous start may still run: its thread is joined before anything it builds goes.
    if (bBlockingCreated) {
        mosBlocking_Destroy(&mosSecurity_Blocking_G);
        memset(&mosSecurity_Blocking_G, 0, sizeof(mosSecurity_Blocking_G));
        bBlockingCreated = FALSE;
    }
    mosAuth_Fini();
    mosSsl_Fini();
    mosSecurity_FiniIntrn();
    mosSecurity_Manager_G = FALSE;
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "MOS Security library terminated");
}

Mos_RC mosSecurity_IsSupported(void)
{
    if (mosSecurity_IsInitialized())
        return MOS_RC__SUCCESS;
    if (bBlockingCreated)
        return MOS_RC__PENDING;
    return (Mos_RC)mosUtils_RunBlocking(isSupportedBlocking, nullptr);
}

Mos_RC mosSecurity_GetLibVersion(CHAR_A *pVersionBuf, UINT32 bufLen, BOOL *pbIsSupported)
{
    if (!mosSecurity_IsInitialized())
        return MOS_RC__SECURITY_NOT_SUPPORTED;
    const char *pVersion = OpenSSL_version_p(OPENSSL_VERSION);
    if (pVersion == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to retrieve the version");
        return MOS_RC__ERROR;
    }
    const size_t len = strlen(pVersion);
    if (pVersionBuf == nullptr || len >= bufLen) {
        MOS_ERROR(MOS_COMP_MOS, "The buffer is too small (%d), should be at least %d", (int)bufLen, (int)len + 1);
        return MOS_RC__BUF_TOO_SMALL;
    }
    memcpy(pVersionBuf, pVersion, len + 1);
    if (pbIsSupported != nullptr) {
        constexpr unsigned long kMinVersion = 0x1000105FUL;
        const unsigned long version = OpenSSL_version_num_p();
        *pbIsSupported = version >= kMinVersion ? TRUE : FALSE;
        if (!*pbIsSupported)
            MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Unsupported version %lX (<%lX)", version, kMinVersion);
    }
    return MOS_RC__SUCCESS;
}
