#include "mos/usr/security/mos_ssl.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "mos/mos_contention.h"
#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/usr/security/mos_ssl_intrn.h"

MosSsl_Manager mosSsl_Manager_G;

const char *const mosSslMethodNames_G[MOS_SSL_METHOD_TYPE__LAST] = {"TLSv1.0", "TLSv1.1", "TLSv1.2"};

namespace {

constexpr MosContentionId kSlotLockId = 71;
constexpr UINT32 kMaxCommonNameLen = 256;

const char *boolText(BOOL b, const char *pOn, const char *pOff)
{
    return b ? pOn : pOff;
}

// Wipes a password buffer through a volatile pointer, so the stores survive optimisation.
void wipePassword(Password &password)
{
    volatile CHAR_A *p = password;
    for (size_t i = 0; i < sizeof(Password); i++)
        p[i] = 0;
}

MosSslMethodType methodOf(const char *pMethodStr)
{
    for (UINT32 m = 0; m < MOS_SSL_METHOD_TYPE__LAST; m++)
        if (strcasecmp(pMethodStr, mosSslMethodNames_G[m]) == 0)
            return (MosSslMethodType)m;
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Invalid method (%s) - using default", pMethodStr);
    return MOS_SSL_METHOD_TYPE__TLS_1_2;
}

// Versions below 1.2 are taken as the system's OpenSSL policy allows them: its security level
// is left as configured, so on a current system a TLS 1.0 context may fail its handshakes.
const SSL_METHOD *methodFunc(MosSslMethodType method)
{
    switch (method) {
    case MOS_SSL_METHOD_TYPE__TLS_1_0: return TLSv1_method_p();
    case MOS_SSL_METHOD_TYPE__TLS_1_1: return TLSv1_1_method_p();
    default: return TLSv1_2_method_p();
    }
}

// Loads the key pair and the trusted authorities into a new context and sets its ciphers.
Mos_RC configureContext(SSL_CTX *pCtx, const MosSslConf *pConf, MosSslContextData *pSlot, UINT32 slot)
{
    if (pConf->keyPairFile[0] != '\0') {
        memcpy(pSlot->password, pConf->password, sizeof(Password));
        pSlot->password[sizeof(Password) - 1] = '\0';
        SSL_CTX_set_default_passwd_cb_p(pCtx, mosSsl_PasswordCB);
        SSL_CTX_set_default_passwd_cb_userdata_p(pCtx, reinterpret_cast<void *>((uintptr_t)slot));
        if (SSL_CTX_use_certificate_chain_file_p(pCtx, pConf->keyPairFile) != 1) {
            mosSecurity_PrintLibError("Certificate chain");
            MOS_ERROR(MOS_COMP_MOS, "Failed to read certificate file (%s)", pConf->keyPairFile);
            return MOS_RC__ERROR_LOADING_SSL_KEY_PAIR;
        }
        if (SSL_CTX_use_PrivateKey_file_p(pCtx, pConf->keyPairFile, SSL_FILETYPE_PEM) != 1) {
            mosSecurity_PrintLibError("Private key");
            MOS_ERROR(MOS_COMP_MOS, "Failed to read key file (%s)", pConf->keyPairFile);
            return MOS_RC__ERROR_LOADING_SSL_KEY_PAIR;
        }
    }
    if (pConf->trustedCertFile[0] != '\0' &&
        SSL_CTX_load_verify_locations_p(pCtx, pConf->trustedCertFile, nullptr) != 1) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to load CAs file (%s)", pConf->trustedCertFile);
        return MOS_RC__ERROR_LOADING_SSL_TRUST;
    }
    return MOS_RC__SUCCESS;
}

MosSslContextData *slotOf(MosSslContextIdType contextId)
{
    return &mosSsl_Manager_G.contextData[contextId];
}

int blockingUpdate(void *pContext)
{
    return (int)mosSsl_UpdateConf(static_cast<const MosSslConf *>(pContext));
}

// Replaces the slot's context. bKeepInUse: a slot that sessions use keeps its context and the
// call succeeds (with a warning) instead of failing.
Mos_RC updateConf(const MosSslConf *pConf, BOOL bKeepInUse)
{
    if (pConf == nullptr || pConf->contextId >= MOS_SSL_CONTEXT_ID__LAST) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Cannot update configuration - Invalid SSL context ID (%d)",
                  pConf != nullptr ? (int)pConf->contextId : -1);
        return MOS_RC__ERROR_UPDATING_SECURITY_CONF;
    }
    MosSslContextData *pSlot = slotOf((MosSslContextIdType)pConf->contextId);
    mosFastlockBase_Acquire(&pSlot->lock);
    if (pSlot->refCnt != 0) {
        const UINT32 refCnt = pSlot->refCnt;
        mosFastlockBase_Release(&pSlot->lock);
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Cannot update configuration - resource is in use (ref count = %d)",
                  (int)refCnt);
        return bKeepInUse ? MOS_RC__SUCCESS : MOS_RC__ERROR_UPDATING_SECURITY_CONF;
    }
    // The old context leaves the slot under the lock; files are read outside it (no fast lock
    // is held across I/O). A session created meanwhile finds the slot empty and fails cleanly.
    SSL_CTX *pOld = pSlot->pSslCtx;
    pSlot->pSslCtx = nullptr;
    mosFastlockBase_Release(&pSlot->lock);
    if (pOld != nullptr)
        SSL_CTX_free_p(pOld);
    const Mos_RC rc = mosSsl_ApplyConf(pConf);
    return rc == MOS_RC__ERROR ? MOS_RC__ERROR_UPDATING_SECURITY_CONF : rc;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Contexts

int mosSsl_PasswordCB(char *buf, int size, int rwflag, void *slot)
{
    MOS_UNUSED(rwflag);
    const uintptr_t contextId = reinterpret_cast<uintptr_t>(slot);
    MOS_ASSERT(((contextId) < MOS_SSL_CONTEXT_ID__LAST));
    return mosSecurity_HandOutPassword(buf, size, mosSsl_Manager_G.contextData[contextId].password);
}

Mos_RC mosSsl_ApplyConf(const MosSslConf *pConf)
{
    if (pConf == nullptr) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Invalid SSL configuration");
        return MOS_RC__ERROR;
    }
    mosSsl_Manager_G.bEnable = pConf->bEnable;
    if (!pConf->bEnable) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "SSL is disabled");
        return MOS_RC__SUCCESS;
    }
    const MosSslMethodType method = methodOf(pConf->sslMethodStr);
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW,
              "The SSL configuration is: \n\tState: %s\n\tContext ID: %ld\n\tTrusted Cert File: %s\n\tKey Pair File: "
              "%s\n\tMethod: %s (%d)\n\tClient Authentication: %s\n\tCiphers: %s\n\tCert verification depth: %ld\n\n",
              boolText(pConf->bEnable, "Enabled", "Disabled"), (long)pConf->contextId, pConf->trustedCertFile,
              pConf->keyPairFile, mosSslMethodNames_G[method], (int)method,
              boolText(pConf->bDisableClientAuth, "Disabled", "Enabled"), pConf->sslCipherList,
              (long)pConf->certVerifyDepth);
    if (pConf->contextId >= MOS_SSL_CONTEXT_ID__LAST) {
        MOS_ERROR(MOS_COMP_MOS, "Invalid SSL context ID (%d)", (int)pConf->contextId);
        return MOS_RC__ERROR;
    }
    const UINT32 slot = (UINT32)pConf->contextId;
    MosSslContextData *pSlot = slotOf((MosSslContextIdType)slot);
    ERR_clear_error_p();
    const SSL_METHOD *pMethod = methodFunc(method);
    if (pMethod == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to get method");
        MOS_ERROR(MOS_COMP_MOS, "Failed to create SSL context (%s)", mosRc_GetStr(MOS_RC__ERROR));
        return MOS_RC__ERROR;
    }
    SSL_CTX *pCtx = SSL_CTX_new_p(pMethod);
    if (pCtx == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to create context");
        MOS_ERROR(MOS_COMP_MOS, "Failed to create SSL context (%s)", mosRc_GetStr(MOS_RC__ERROR));
        return MOS_RC__ERROR;
    }
    Mos_RC rc = configureContext(pCtx, pConf, pSlot, slot);
    // The password is needed only while the key is read; it never stays in the slot.
    wipePassword(pSlot->password);
    if (rc != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to create SSL context (%s)", mosRc_GetStr(rc));
        SSL_CTX_free_p(pCtx);
        return rc;
    }
    if (SSL_CTX_set_cipher_list_p(pCtx, pConf->sslCipherList) != 1) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to set ciphers list (%s)", pConf->sslCipherList);
        MOS_ERROR(MOS_COMP_MOS, "Failed to set SSL context options");
        SSL_CTX_free_p(pCtx);
        return MOS_RC__INVALID_SSL_CIPHERS;
    }
    SSL_CTX_set_verify_depth_p(pCtx, (int)pConf->certVerifyDepth);
    mosFastlockBase_Acquire(&pSlot->lock);
    SSL_CTX *pOld = pSlot->pSslCtx;
    pSlot->pSslCtx = pCtx;
    pSlot->bDisableClientAuth = pConf->bDisableClientAuth;
    mosFastlockBase_Release(&pSlot->lock);
    if (pOld != nullptr) // only at start, when the slot was filled before without sessions
        SSL_CTX_free_p(pOld);
    return MOS_RC__SUCCESS;
}

Mos_RC mosSsl_Init(const MosSslConf *pConf)
{
    memset(&mosSsl_Manager_G, 0, sizeof(mosSsl_Manager_G));
    if (mosBlocking_Create(&mosSsl_Manager_G.blockingObj, "MOS_SSL_Blocking", 1) != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to create blocking object");
        return MOS_RC__ERROR;
    }
    // SSL_get_ex_new_index in 1.0; the label only shows in the library's debug output.
    mosSsl_Manager_G.sslDataIndex =
        CRYPTO_get_ex_new_index_p(CRYPTO_EX_INDEX_SSL, 0, const_cast<char *>("MOS SSL Data"), nullptr, nullptr, nullptr);
    for (MosSslContextData &slot : mosSsl_Manager_G.contextData)
        mosFastlockBase_Create(&slot.lock, kSlotLockId, __FILE__, __LINE__);
    mosSsl_Manager_G.bInitialized = TRUE;
    const Mos_RC rc = mosSsl_ApplyConf(pConf);
    if (rc != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to apply configuration (%s)", mosRc_GetStr(rc));
        mosSsl_Fini();
        return rc;
    }
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "SSL initialized successfully");
    return MOS_RC__SUCCESS;
}

void mosSsl_Fini(void)
{
    if (!mosSsl_Manager_G.bInitialized)
        return;
    for (MosSslContextData &slot : mosSsl_Manager_G.contextData) {
        if (slot.pSslCtx != nullptr) {
            if (slot.refCnt != 0)
                MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Reference count for context %p is not zero (%u)",
                          (void *)slot.pSslCtx, slot.refCnt);
            SSL_CTX_free_p(slot.pSslCtx);
        }
        mosFastlockBase_Destroy(&slot.lock);
    }
    mosBlocking_Destroy(&mosSsl_Manager_G.blockingObj);
    memset(&mosSsl_Manager_G, 0, sizeof(mosSsl_Manager_G));
}

BOOL mosSsl_IsInitialized(void)
{
    return mosSsl_Manager_G.bInitialized;
}

Mos_RC mosSsl_UpdateConf(const MosSslConf *pConf)
{
    return updateConf(pConf, FALSE);
}

Mos_RC mosSsl_ReapplyConf(const MosSslConf *pConf)
{
    if (pConf == nullptr || !pConf->bEnable)
        return mosSsl_ApplyConf(pConf);
    return updateConf(pConf, TRUE);
}

Mos_RC mosSsl_UpdateConfAsync(MosBlocking_Req *pReq, const MosSslConf *pConf)
{
    memset(pReq, 0, sizeof(*pReq));
    pReq->workFunc = blockingUpdate;
    pReq->pContext = const_cast<MosSslConf *>(pConf);
    const Mos_RC rc = mosBlocking_SubmitWait(&mosSsl_Manager_G.blockingObj, pReq);
    if (rc != MOS_RC__PENDING && rc != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to submit blocking request (%s)", mosRc_GetStr(rc));
        return MOS_RC__ERROR;
    }
    return MOS_RC__SUCCESS;
}

SSL_CTX *mosSsl_GetContext(MosSslContextIdType contextId)
{
    MosSslContextData *pSlot = slotOf(contextId);
    mosFastlockBase_Acquire(&pSlot->lock);
    SSL_CTX *pCtx = pSlot->pSslCtx;
    mosFastlockBase_Release(&pSlot->lock);
    return pCtx;
}

void mosSsl_GetContextRef(MosSslContextIdType contextId)
{
    MosSslContextData *pContextData = slotOf(contextId);
    mosFastlockBase_Acquire(&pContextData->lock);
    pContextData->refCnt++;
    mosFastlockBase_Release(&pContextData->lock);
}

void mosSsl_FreeContextRef(MosSslContextIdType contextId)
{
    MosSslContextData *pContextData = slotOf(contextId);
    mosFastlockBase_Acquire(&pContextData->lock);
    MOS_ASSERT(pContextData->refCnt > 0);
    pContextData->refCnt--;
    mosFastlockBase_Release(&pContextData->lock);
}

// ---------------------------------------------------------------------------------------------
// Sessions

int mosSsl_VerificationCallback(int status, X509_STORE_CTX *storeCtx)
{
    if (status != 0)
        return status;
    STACK_OF(X509) *pChain = X509_STORE_CTX_get0_chain_p(storeCtx);
    if (pChain == nullptr) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Failed to get the certificate chain");
        return status;
    }
    X509 *pCert = static_cast<X509 *>(OPENSSL_sk_value_p(reinterpret_cast<const OPENSSL_STACK *>(pChain), 0));
    if (pCert == nullptr) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Failed to get the certificate");
        return status;
    }
    SSL *pSsl = static_cast<SSL *>(X509_STORE_CTX_get_ex_data_p(storeCtx, SSL_get_ex_data_X509_STORE_CTX_idx_p()));
    if (pSsl == nullptr) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Failed to get the SSL struct");
        return status;
    }
    auto *pCertOpq = static_cast<MosSecurityCertOpaque *>(SSL_get_ex_data_p(pSsl, mosSsl_Manager_G.sslDataIndex));
    if (pCertOpq == nullptr) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Failed to get the opaque");
        return status;
    }
    const Mos_RC storeRc = mosSecurity_StoreCertInOpaque(pCertOpq, pCert);
    if (storeRc != MOS_RC__SUCCESS && storeRc != MOS_RC__ALREADY_EXISTS)
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Failed to store certificate in opaque");
    int verifyErr = 0;
    const char *pVerifyErrStr = nullptr;
    mosSecurity_PrintLibX509StoreCtxError("SSL certificate verification error", storeCtx, &verifyErr, &pVerifyErrStr);
    Mos_RC rc = MOS_RC__CERT_VERIFY_FAILURE;
    switch (verifyErr) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE: rc = MOS_RC__ISSUER_CERT_NOT_TRUSTED; break;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT: rc = MOS_RC__SELF_SIGNED_CERT_NOT_TRUSTED; break;
    default: break;
    }
    mosSecurity_SetCertOpaqueFailure(pCertOpq, rc, pVerifyErrStr);
    return status; // verification is never overridden
}

MosSslSocketHandle *mosSsl_CreateSocketHandle(const MosSslSessionParams *pSslParams, BOOL bIsServer)
{
    if (pSslParams == nullptr || (UINT32)pSslParams->sslContextId >= MOS_SSL_CONTEXT_ID__LAST) {
        MOS_ERROR(MOS_COMP_MOS, "Invalid context ID (%d)", pSslParams != nullptr ? (int)pSslParams->sslContextId : -1);
        return nullptr;
    }
    auto *pHandle = static_cast<MosSslSocketHandle *>(calloc(1, sizeof(MosSslSocketHandle)));
    if (pHandle == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to allocate socket handle");
        return nullptr;
    }
    const MosSslContextIdType contextId = pSslParams->sslContextId;
    mosSsl_GetContextRef(contextId);
    pHandle->contextId = contextId;
    pHandle->bConnected = FALSE;
    // Everything built so far is undone here on failure; the session frees its buffers itself
    // once they are attached to it.
    auto fail = [&](BIO *pRead, BIO *pWrite) -> MosSslSocketHandle * {
        if (pRead != nullptr)
            BIO_free_p(pRead);
        if (pWrite != nullptr)
            BIO_free_p(pWrite);
        if (pHandle->pSsl != nullptr)
            SSL_free_p(pHandle->pSsl);
        mosSsl_FreeContextRef(contextId);
        free(pHandle);
        return nullptr;
    };
    ERR_clear_error_p();
    BIO *pReadBio = mosSecurity_AllocMemBio();
    if (pReadBio == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to allocate read BIO");
        return fail(nullptr, nullptr);
    }
    BIO *pWriteBio = mosSecurity_AllocMemBio();
    if (pWriteBio == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to allocate write BIO");
        return fail(pReadBio, nullptr);
    }
    SSL_CTX *pCtx = mosSsl_GetContext(contextId);
    pHandle->pSsl = pCtx != nullptr ? SSL_new_p(pCtx) : nullptr;
    if (pHandle->pSsl == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to create SSL object");
        return fail(pReadBio, pWriteBio);
    }
    SSL_set_bio_p(pHandle->pSsl, pReadBio, pWriteBio);
    pHandle->pReadBio = pReadBio;
    pHandle->pWriteBio = pWriteBio;

    // Turning client authentication off is a server's choice; a client always verifies its
    // server, or any man in the middle could pose as it.
    const BOOL bNoVerify = bIsServer && slotOf(contextId)->bDisableClientAuth;
    const int mode = bNoVerify ? SSL_VERIFY_NONE : (SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT);
    SSL_verify_cb callback = nullptr;
    if (pSslParams->pPeerCertOpq != nullptr) {
        if (SSL_set_ex_data_p(pHandle->pSsl, mosSsl_Manager_G.sslDataIndex, pSslParams->pPeerCertOpq) != 1) {
            MOS_ERROR(MOS_COMP_MOS, "Failed to set data (index = %d)", mosSsl_Manager_G.sslDataIndex);
            MOS_ERROR(MOS_COMP_MOS, "Failed to set verification mode");
            return fail(nullptr, nullptr);
        }
        callback = mosSsl_VerificationCallback;
    }
    if (callback != nullptr || !bNoVerify)
        SSL_set_verify_p(pHandle->pSsl, mode, callback);
    pHandle->bVerifyPeer = bNoVerify ? FALSE : TRUE;
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_HIGH, "Verification mode is: 0x%x, call-back is %s set", (unsigned)mode,
              callback != nullptr ? "" : "not");
    if (bIsServer)
        SSL_set_accept_state_p(pHandle->pSsl);
    else
        SSL_set_connect_state_p(pHandle->pSsl);
    return pHandle;
}

void mosSsl_DestroySocketHandle(MosSslSocketHandle *pHandle)
{
    if (pHandle == nullptr)
        return;
    mosSsl_FreeContextRef(pHandle->contextId);
    SSL_free_p(pHandle->pSsl); // frees both buffers
    if (pHandle->pSpareWriteBio != nullptr)
        BIO_free_p(pHandle->pSpareWriteBio);
    free(pHandle);
}

Mos_RC mosSsl_HandleError(int sslRC, const char *text, MosSslSocketHandle *pHandle)
{
    const int sslErr = SSL_get_error_p(pHandle->pSsl, sslRC);
    if (sslRC == 0 && (SSL_get_shutdown_p(pHandle->pSsl) & (SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN)) != 0) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_HIGH, "%s:, SSL session has been closed (handle: %p)", text, (void *)pHandle);
        return MOS_RC__NOT_CONN;
    }
    char errText[256] = {};
    switch (sslErr) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE: return MOS_RC__PENDING;
    case SSL_ERROR_SYSCALL: {
        const int savedErrno = errno;
        if (savedErrno == EAGAIN)
            return MOS_RC__PENDING;
        const unsigned long libErr = ERR_get_error_p();
        if (sslRC < 0 && libErr == 0)
            return MOS_RC__PENDING;
        ERR_error_string_n_p(libErr, errText, sizeof(errText));
        if (sslRC < 0)
            MOS_ERROR(MOS_COMP_MOS, "%s: %s, SSL error: %d (errno: %d)", text, errText, sslErr, savedErrno);
        else
            MOS_ERROR(MOS_COMP_MOS, "%s: %s, SSL error: %d", text, errText, sslErr);
        return MOS_RC__ERROR;
    }
    case SSL_ERROR_SSL:
        ERR_error_string_n_p(ERR_get_error_p(), errText, sizeof(errText));
        MOS_ERROR(MOS_COMP_MOS, "%s: %s, SSL error: %d", text, errText, sslErr);
        return MOS_RC__ERROR;
    default:
        MOS_ERROR(MOS_COMP_MOS, "%s:, SSL error: %d", text, sslErr);
        return MOS_RC__ERROR;
    }
}

Mos_RC mosSsl_Handshake(MosSslSocketHandle *pHandle, BOOL *pShouldRead, BOOL *pShouldWrite)
{
    if (pHandle == nullptr) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Invalid handle");
        return (Mos_RC)0;
    }
    *pShouldRead = FALSE;
    *pShouldWrite = FALSE;
    if (SSL_get_state_p(pHandle->pSsl) == TLS_ST_OK) {
        pHandle->bConnected = TRUE;
        return MOS_RC__SUCCESS;
    }
    ERR_clear_error_p();
    const int rc = SSL_do_handshake_p(pHandle->pSsl);
    if (BIO_ctrl_pending_p(pHandle->pWriteBio) > 0)
        *pShouldWrite = TRUE;
    if (rc == 1)
        return MOS_RC__PENDING; // the next call sees the completed state
    // 0 is a handshake that the peer shut down: it goes to the error rules, never "pending",
    // which would have the caller wait for input that will not come.
    if (rc < 0 && SSL_get_error_p(pHandle->pSsl, rc) == SSL_ERROR_WANT_READ) {
        *pShouldRead = TRUE;
        return MOS_RC__PENDING;
    }
    return mosSsl_HandleError(rc, "Handshake", pHandle);
}

Mos_RC mosSsl_VerifyPeer(MosSslSocketHandle *pHandle, const CHAR_A *const *allowedNames, UINT32 allowedNamesNum)
{
    if (pHandle == nullptr || pHandle->pSsl == nullptr) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Invalid SSL handle (%p)", (void *)pHandle);
        return MOS_RC__ERROR;
    }
    const long verifyResult = SSL_get_verify_result_p(pHandle->pSsl);
    if (verifyResult != X509_V_OK) {
        const char *pText = X509_verify_cert_error_string_p(verifyResult);
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: SSL certificate verification failed (%s)",
                  pText != nullptr ? pText : "");
        return MOS_RC__CERT_VERIFY_FAILURE;
    }
    // OpenSSL reports "ok" for a peer that sent no certificate at all; with verification on,
    // such a peer has proved nothing.
    X509 *pPeerCert = SSL_get1_peer_certificate_p(pHandle->pSsl);
    if (pPeerCert == nullptr) {
        if (pHandle->bVerifyPeer) {
            MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: SSL certificate verification failed (%s)",
                      "the peer presented no certificate");
            return MOS_RC__CERT_VERIFY_FAILURE;
        }
        if (allowedNames == nullptr || allowedNamesNum == 0)
            return MOS_RC__SUCCESS;
        MOS_ERROR(MOS_COMP_MOS, "Failed to get peer certificate");
        return MOS_RC__ERROR;
    }
    Mos_RC rc = MOS_RC__SUCCESS;
    if (allowedNames != nullptr && allowedNamesNum > 0) {
        // One byte more than any accepted name, so that a longer name is seen as such and not cut
        // to a match.
        char commonName[kMaxCommonNameLen + 2] = {};
        X509_NAME *pSubject = X509_get_subject_name_p(pPeerCert);
        const int nameLen =
            pSubject != nullptr ? X509_NAME_get_text_by_NID_p(pSubject, NID_commonName, commonName, sizeof(commonName)) : -1;
        if (pSubject == nullptr) {
            MOS_ERROR(MOS_COMP_MOS, "Failed to get certificate's subject name");
            rc = MOS_RC__ERROR;
        } else {
            rc = MOS_RC__CERT_VERIFY_FAILURE;
            for (UINT32 i = 0; nameLen >= 0 && i < allowedNamesNum; i++) {
                // Exact length: a name with an embedded NUL or a longer name never matches a prefix.
                const size_t allowedLen = allowedNames[i] != nullptr ? strnlen(allowedNames[i], kMaxCommonNameLen + 1) : 0;
                if (allowedNames[i] != nullptr && allowedLen <= kMaxCommonNameLen && (size_t)nameLen == allowedLen &&
                    memcmp(commonName, allowedNames[i], allowedLen) == 0) {
                    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_HIGH, "Verified certificate of %s", commonName);
                    rc = MOS_RC__SUCCESS;
                    break;
                }
            }
            if (rc != MOS_RC__SUCCESS)
                MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Certificate of '%s' is not allowed", commonName);
        }
    }
    X509_free_p(pPeerCert);
    return rc;
}

Mos_RC mosSsl_ReadPrepare(MosSslSocketHandle *pHandle, const void *buf, UINT32 bufSize)
{
    ERR_clear_error_p();
    const int written = BIO_write_p(pHandle->pReadBio, buf, (int)bufSize);
    if (written <= 0) {
        mosSecurity_PrintLibError("Failed to prepare read");
        return MOS_RC__ERROR;
    }
    if ((UINT32)written < bufSize) {
        MOS_ERROR(MOS_COMP_MOS, "Wrote only %u bytes (instead of %u)", (unsigned)written, bufSize);
        return MOS_RC__NO_RESOURCES;
    }
    return MOS_RC__SUCCESS;
}

Mos_RC mosSsl_Read(MosSslSocketHandle *pHandle, void *buf, UINT32 bufSize, UINT32 *pReadBytes)
{
    ERR_clear_error_p();
    const int n = SSL_read_p(pHandle->pSsl, buf, (int)bufSize);
    if (n > 0) {
        *pReadBytes = (UINT32)n;
        return MOS_RC__SUCCESS;
    }
    *pReadBytes = 0;
    return mosSsl_HandleError(n, "SSL I/O failed", pHandle);
}

Mos_RC mosSsl_WritePrepare(MosSslSocketHandle *pHandle, const void *buf, UINT32 bufSize, UINT32 *pWriteBytes)
{
    ERR_clear_error_p();
    const int n = SSL_write_p(pHandle->pSsl, buf, (int)bufSize);
    if (n > 0) {
        *pWriteBytes = (UINT32)n;
        return MOS_RC__SUCCESS;
    }
    *pWriteBytes = 0;
    return mosSsl_HandleError(n, "SSL I/O failed", pHandle);
}

Mos_RC mosSsl_WriteGetData(MosSslSocketHandle *pHandle, const UINT8 **ppData, UINT32 *pDataSize)
{
    char *pData = nullptr;
    const long len = BIO_ctrl_p(pHandle->pWriteBio, BIO_CTRL_INFO, 0, &pData); // BIO_get_mem_data
    if (len < 0) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to get data from BIO");
        return MOS_RC__ERROR;
    }
    if (len == 0)
        return MOS_RC__NO_MORE_ELEMENTS;
    *ppData = reinterpret_cast<const UINT8 *>(pData);
    *pDataSize = (UINT32)len;
    return MOS_RC__SUCCESS;
}

void mosSsl_WriteDone(MosSslSocketHandle *pHandle)
{
    BIO_ctrl_p(pHandle->pWriteBio, BIO_CTRL_RESET, 0, nullptr);
}

Mos_RC mosSsl_WriteTake(MosSslSocketHandle *pHandle, BIO **ppBio, const UINT8 **ppData, UINT32 *pDataSize)
{
    const Mos_RC rc = mosSsl_WriteGetData(pHandle, ppData, pDataSize);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    BIO *pFresh = pHandle->pSpareWriteBio != nullptr ? pHandle->pSpareWriteBio : mosSecurity_AllocMemBio();
    if (pFresh == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to allocate write BIO");
        return MOS_RC__NO_MEMORY;
    }
    pHandle->pSpareWriteBio = nullptr;
    BIO *pTaken = pHandle->pWriteBio;
    // The session lets go of its reference on the old buffer when it takes the new one; the
    // caller's reference keeps it.
    BIO_up_ref_p(pTaken);
    SSL_set_bio_p(pHandle->pSsl, pHandle->pReadBio, pFresh);
    pHandle->pWriteBio = pFresh;
    *ppBio = pTaken;
    return MOS_RC__SUCCESS;
}

void mosSsl_WriteRelease(MosSslSocketHandle *pHandle, BIO *pBio)
{
    if (pBio == nullptr)
        return;
    if (pHandle->pSpareWriteBio == nullptr) {
        BIO_ctrl_p(pBio, BIO_CTRL_RESET, 0, nullptr);
        pHandle->pSpareWriteBio = pBio;
        return;
    }
    BIO_free_p(pBio);
}

Mos_RC mosSsl_Disconnect(MosSslSocketHandle *pHandle)
{
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_HIGH, "Disconnecting (handle: %p)", (void *)pHandle);
    if (pHandle != nullptr)
        pHandle->bConnected = FALSE;
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_HIGH, "Disconnected (handle: %p)", (void *)pHandle);
    return MOS_RC__SUCCESS;
}
