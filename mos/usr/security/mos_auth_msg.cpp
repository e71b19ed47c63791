// Challenge-response messages: making challenges, answering them with a signature and our
// certificate, verifying answers, and signing certificate requests as a small authority.
#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

#include "mos/mos_trace.h"
#include "mos/usr/security/mos_auth_intrn.h"
#include "mos/usr/security/mos_security_cert.h"

namespace {

// Holds the manager's lock for a scope: signing, verification and request signing share one
// digest context and the loaded key material.
struct AuthLockGuard {
    AuthLockGuard() { mosFastlockBase_Acquire(&mosAuth_Manager_G.lock); }
    ~AuthLockGuard() { mosFastlockBase_Release(&mosAuth_Manager_G.lock); }
    AuthLockGuard(const AuthLockGuard &) = delete;
    AuthLockGuard &operator=(const AuthLockGuard &) = delete;
};

int blockingUpdate(void *pContext)
{
    return (int)mosAuth_UpdateConf(static_cast<const MosAuthConf *>(pContext));
}

// Signs len bytes with the own private key and SHA-256 through the shared digest context; the
// signature is malloc'ed. Called under the lock.
Mos_RC sign(const UINT8 *pData, UINT32 len, UINT8 **ppSig, size_t *pSigLen)
{
    MosAuth_Manager &m = mosAuth_Manager_G;
    EVP_MD_CTX_reset_p(m.pContext);
    const char *pFailure = nullptr;
    UINT8 *pSig = nullptr;
    size_t sigLen = 0;
    if (EVP_DigestSignInit_p(m.pContext, nullptr, EVP_sha256_p(), nullptr, m.pPrivateKey) != 1)
        pFailure = "Sign init failed";
    else if (EVP_DigestUpdate_p(m.pContext, pData, len) != 1)
        pFailure = "Sign update failed";
    else if (EVP_DigestSignFinal_p(m.pContext, nullptr, &sigLen) != 1 || sigLen == 0)
        pFailure = "Failed to get signature's size";
    else if ((pSig = static_cast<UINT8 *>(malloc(sigLen))) == nullptr)
        MOS_ERROR(MOS_COMP_MOS, "Failed to allocate %u bytes", (unsigned)sigLen);
    else if (EVP_DigestSignFinal_p(m.pContext, pSig, &sigLen) != 1)
        pFailure = "Signature failed";
    EVP_MD_CTX_reset_p(m.pContext);
    if (pFailure != nullptr)
        mosSecurity_PrintLibError(pFailure);
    if (pFailure != nullptr || pSig == nullptr) {
        free(pSig);
        MOS_ERROR(MOS_COMP_MOS, "Failed to sign %d bytes", (int)len);
        return MOS_RC__ERROR;
    }
    *ppSig = pSig;
    *pSigLen = sigLen;
    return MOS_RC__SUCCESS;
}

// The response: header, random and identity from `data` (laid out as a response), our
// certificate and the signature. Called under the lock.
Mos_RC buildResponse(const UINT8 *pData, UINT32 randomLen, UINT32 idLen, const UINT8 *pSig, size_t sigLen,
                     UINT8 **ppBuf, UINT32 *pLen)
{
    MosAuth_Manager &m = mosAuth_Manager_G;
    const int certLen = mosSecurity_GetCertEncodeLen(m.pCertificate);
    if (certLen <= 0) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to get certificate's length");
        return MOS_RC__ERROR;
    }
    const UINT64 total = (UINT64)sizeof(MosAuth_ResponseHdr) + randomLen + idLen + (UINT64)certLen + sigLen;
    UINT8 *pBuf = total <= UINT32_MAX ? static_cast<UINT8 *>(malloc(total)) : nullptr;
    if (pBuf == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to allocate memory for the response");
        return MOS_RC__NO_RESOURCES;
    }
    auto *pHdr = reinterpret_cast<MosAuth_ResponseHdr *>(pBuf);
    pHdr->randomLen = htonl(randomLen);
    pHdr->idLen = htonl(idLen);
    pHdr->certLen = htonl((UINT32)certLen);
    pHdr->sigLen = htonl((UINT32)sigLen);
    UINT8 *pOut = pBuf + sizeof(MosAuth_ResponseHdr);
    memcpy(pOut, pData + sizeof(MosAuth_ResponseHdr), (size_t)randomLen + idLen);
    pOut += (size_t)randomLen + idLen;
    if (mosSecurity_EncodeCert(m.pCertificate, pOut) != certLen) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to encode the certificate");
        free(pBuf);
        return MOS_RC__ERROR;
    }
    memcpy(pOut + certLen, pSig, sigLen);
    *ppBuf = pBuf;
    *pLen = (UINT32)total;
    return MOS_RC__SUCCESS;
}

// Checks the certificate against the trusted store. Called under the lock.
Mos_RC verifyCertificate(X509 *pCert)
{
    MosAuth_Manager &m = mosAuth_Manager_G;
    Mos_RC rc = MOS_RC__SUCCESS;
    X509_STORE_CTX *pStoreCtx = nullptr;
    if (m.pTrustCertStore == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "No certificates store");
        rc = MOS_RC__ERROR;
    } else if ((pStoreCtx = X509_STORE_CTX_new_p()) == nullptr ||
               X509_STORE_CTX_init_p(pStoreCtx, m.pTrustCertStore, pCert, nullptr) != 1) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to init store context");
        rc = MOS_RC__ERROR;
    } else if (X509_verify_cert_p(pStoreCtx) != 1) {
        mosSecurity_PrintLibX509StoreCtxError("Auth certificate verification error", pStoreCtx, nullptr, nullptr);
        rc = MOS_RC__SIG_VERIFY_FAILURE;
    }
    if (pStoreCtx != nullptr)
        X509_STORE_CTX_free_p(pStoreCtx); // cleans up as well
    if (rc != MOS_RC__SUCCESS)
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Failed to verify the certificate");
    return rc;
}

// Checks the signature over len bytes with the certificate's public key. Called under the lock.
Mos_RC verifySignature(X509 *pCert, const UINT8 *pData, UINT32 len, const UINT8 *pSig, UINT32 sigLen)
{
    MosAuth_Manager &m = mosAuth_Manager_G;
    EVP_PKEY *pKey = X509_get_pubkey_p(pCert);
    EVP_MD_CTX_reset_p(m.pContext);
    Mos_RC rc = MOS_RC__SUCCESS;
    if (pKey == nullptr || EVP_DigestVerifyInit_p(m.pContext, nullptr, EVP_sha256_p(), nullptr, pKey) != 1) {
        mosSecurity_PrintLibError("Verify init failed");
        rc = MOS_RC__ERROR;
    } else if (EVP_DigestUpdate_p(m.pContext, pData, len) != 1) {
        mosSecurity_PrintLibError("Verify update failed");
        rc = MOS_RC__ERROR;
    } else if (EVP_DigestVerifyFinal_p(m.pContext, pSig, sigLen) != 1) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Verification failed");
        rc = MOS_RC__SIG_VERIFY_FAILURE;
    }
    EVP_MD_CTX_reset_p(m.pContext);
    if (pKey != nullptr)
        EVP_PKEY_free_p(pKey);
    return rc;
}

} // namespace

const MosAuth_ChallengeHdr *mosAuth_ChallengeMsgSanityCheck(const UINT8 *pData, UINT32 len)
{
    if (pData == nullptr || len < sizeof(MosAuth_ChallengeHdr)) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Challenge is too short (%u)", len);
        return nullptr;
    }
    const auto *pHdr = reinterpret_cast<const MosAuth_ChallengeHdr *>(pData);
    const UINT32 randomLen = ntohl(pHdr->randomLen);
    const UINT32 idLen = ntohl(pHdr->idLen);
    if (randomLen > MOS_AUTH__RANDOM_LEN) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Invalid Challenge - random length is %u", randomLen);
        return nullptr;
    }
    if ((UINT64)sizeof(MosAuth_ChallengeHdr) + idLen != len) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Invalid Challenge - peer id length is %u", idLen);
        return nullptr;
    }
    return pHdr;
}

const MosAuth_ResponseHdr *mosAuth_ResponseMsgSanityCheck(const UINT8 *pData, UINT32 len)
{
    if (pData == nullptr || len < sizeof(MosAuth_ResponseHdr)) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Response is too short (%u)", len);
        return nullptr;
    }
    const auto *pHdr = reinterpret_cast<const MosAuth_ResponseHdr *>(pData);
    const UINT64 total = (UINT64)sizeof(MosAuth_ResponseHdr) + ntohl(pHdr->randomLen) + ntohl(pHdr->idLen) +
                         ntohl(pHdr->certLen) + ntohl(pHdr->sigLen);
    if (total != len) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Invalid response - total length is %lu instead of %u",
                  (unsigned long)total, len);
        return nullptr;
    }
    if (pHdr->certLen == 0) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Invalid response - no certificate");
        return nullptr;
    }
    if (pHdr->sigLen == 0) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Invalid response - no signature");
        return nullptr;
    }
    return pHdr;
}

void mosAuth_DestroyMsg(UINT8 *pBuf)
{
    free(pBuf);
}

Mos_RC mosAuth_UpdateConfAsync(MosBlocking_Req *pReq, const MosAuthConf *pConf)
{
    memset(pReq, 0, sizeof(*pReq));
    pReq->workFunc = blockingUpdate;
    pReq->pContext = const_cast<MosAuthConf *>(pConf);
    const Mos_RC rc = mosBlocking_SubmitWait(&mosAuth_Manager_G.blockingObj, pReq);
    if (rc != MOS_RC__PENDING && rc != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to submit blocking request (%s)", mosRc_GetStr(rc));
        return MOS_RC__ERROR;
    }
    return MOS_RC__SUCCESS;
}

Mos_RC mosAuth_CreateChallengeMsg(const UINT8 *pId, UINT32 idLen, UINT8 **ppBuf, UINT32 *pLen)
{
    if (pId == nullptr || idLen == 0 || ppBuf == nullptr || pLen == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Invalid ID");
        return MOS_RC__INVALID;
    }
    const UINT64 total = (UINT64)sizeof(MosAuth_ChallengeHdr) + idLen;
    UINT8 *pBuf = total <= UINT32_MAX ? static_cast<UINT8 *>(malloc(total)) : nullptr;
    if (pBuf == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to allocate %u bytes for message", (unsigned)total);
        return MOS_RC__ERROR;
    }
    auto *pHdr = reinterpret_cast<MosAuth_ChallengeHdr *>(pBuf);
    pHdr->randomLen = htonl(MOS_AUTH__RANDOM_LEN);
    pHdr->idLen = htonl(idLen);
    memcpy(pBuf + sizeof(MosAuth_ChallengeHdr), pId, idLen);
    ERR_clear_error_p();
    const int randRc = RAND_bytes_p(pHdr->random, MOS_AUTH__RANDOM_LEN);
    if (randRc != 1) {
        if (randRc < 0)
            MOS_ERROR(MOS_COMP_MOS, "Not supported by the current RAND method");
        else
            mosSecurity_PrintLibError("Failed to generate random data");
        free(pBuf);
        return MOS_RC__ERROR;
    }
    *ppBuf = pBuf;
    *pLen = (UINT32)total;
    return MOS_RC__SUCCESS;
}

Mos_RC mosAuth_CreateResponseMsg(const UINT8 *pId, UINT32 idLen, const UINT8 *pChallengeData,
                                 UINT32 challengeDataLen, UINT8 **ppBuf, UINT32 *pLen)
{
    const MosAuth_ChallengeHdr *pChallenge = mosAuth_ChallengeMsgSanityCheck(pChallengeData, challengeDataLen);
    if (pChallenge == nullptr) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Invalid challenge message");
        return MOS_RC__INVALID;
    }
    const UINT32 randomLen = ntohl(pChallenge->randomLen);
    if (pId == nullptr || idLen == 0 || idLen != ntohl(pChallenge->idLen) ||
        memcmp(pId, pChallengeData + sizeof(MosAuth_ChallengeHdr), idLen) != 0 || ppBuf == nullptr ||
        pLen == nullptr) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Invalid identifier");
        return MOS_RC__INVALID;
    }
    MosAuth_Manager &m = mosAuth_Manager_G;
    AuthLockGuard guard;
    if (!m.bEnable) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Authentication is disabled");
        return MOS_RC__NOT_READY;
    }
    // A configuration without a key-pair file leaves nothing to sign with.
    if (m.pPrivateKey == nullptr || m.pCertificate == nullptr) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Authentication has no key-pair");
        return MOS_RC__NOT_READY;
    }
    // The signed bytes laid out as in the response: random, then identity.
    const size_t dataLen = sizeof(MosAuth_ResponseHdr) + (size_t)randomLen + idLen;
    UINT8 *pData = static_cast<UINT8 *>(malloc(dataLen));
    if (pData == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to allocate memory for data");
        return MOS_RC__NO_RESOURCES;
    }
    memcpy(pData + sizeof(MosAuth_ResponseHdr), pChallenge->random, randomLen);
    memcpy(pData + sizeof(MosAuth_ResponseHdr) + randomLen, pId, idLen);
    UINT8 *pSig = nullptr;
    size_t sigLen = 0;
    Mos_RC rc = sign(pData + sizeof(MosAuth_ResponseHdr), randomLen + idLen, &pSig, &sigLen);
    if (rc == MOS_RC__SUCCESS)
        rc = buildResponse(pData, randomLen, idLen, pSig, sigLen, ppBuf, pLen);
    free(pData);
    free(pSig);
    return rc;
}

Mos_RC mosAuth_VerifyResponseMsg(const UINT8 *pChallenge, const UINT8 *pResponse, UINT32 responseLen,
                                 MosSecurityCertQuery *pQuery)
{
    if (pChallenge == nullptr || pResponse == nullptr) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Invalid input (null pointer)");
        return MOS_RC__INVALID;
    }
    const MosAuth_ResponseHdr *pHdr = mosAuth_ResponseMsgSanityCheck(pResponse, responseLen);
    if (pHdr == nullptr) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Invalid response (len = %u)", responseLen);
        return MOS_RC__SIG_VERIFY_FAILURE;
    }
    const auto *pCh = reinterpret_cast<const MosAuth_ChallengeHdr *>(pChallenge);
    const UINT32 randomLen = ntohl(pHdr->randomLen);
    const UINT32 idLen = ntohl(pHdr->idLen);
    const UINT32 certLen = ntohl(pHdr->certLen);
    const UINT32 sigLen = ntohl(pHdr->sigLen);
    const UINT8 *pRandom = pResponse + sizeof(MosAuth_ResponseHdr);
    const UINT8 *pId = pRandom + randomLen;
    const UINT8 *pCertBytes = pId + idLen;
    const UINT8 *pSig = pCertBytes + certLen;

    MosAuth_Manager &m = mosAuth_Manager_G;
    AuthLockGuard guard;
    if (!m.bEnable) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Authentication is disabled");
        return MOS_RC__NOT_READY;
    }
    if (idLen != ntohl(pCh->idLen) || memcmp(pId, pChallenge + sizeof(MosAuth_ChallengeHdr), idLen) != 0) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Invalid ID");
        return MOS_RC__SIG_VERIFY_FAILURE;
    }
    // Our own challenge never holds more than 32 random bytes; the comparison stays inside them.
    if (randomLen != ntohl(pCh->randomLen) || randomLen > MOS_AUTH__RANDOM_LEN ||
        memcmp(pRandom, pCh->random, randomLen) != 0) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Invalid random data");
        return MOS_RC__SIG_VERIFY_FAILURE;
    }
    X509 *pCert = mosSecurity_DecodeCert(pCertBytes, certLen);
    if (pCert == nullptr) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Failed to decode the certificate");
        return MOS_RC__SIG_VERIFY_FAILURE;
    }
    Mos_RC rc = MOS_RC__SUCCESS;
    if (pQuery != nullptr && mosSecurity_QueryCert(pCert, pQuery) != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Failed to query the peer's certificate");
        rc = MOS_RC__SIG_VERIFY_FAILURE;
    }
    if (rc == MOS_RC__SUCCESS)
        rc = verifyCertificate(pCert);
    if (rc == MOS_RC__SUCCESS)
        rc = verifySignature(pCert, pRandom, randomLen + idLen, pSig, sigLen);
    X509_free_p(pCert);
    return rc;
}

Mos_RC mosAuth_CreateSignedCertMsg(const UINT8 *pCertReqBuf, UINT32 certReqLen, UINT8 **ppCertBuf,
                                   UINT32 *pCertLen)
{
    X509_REQ *pReq = nullptr;
    Mos_RC rc = mosSecurity_DecodeCSR(pCertReqBuf, certReqLen, &pReq);
    if (rc != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to decode the CSR (%s)", mosRc_GetStr(rc));
        return rc;
    }
    X509 *pCert = nullptr;
    {
        AuthLockGuard guard;
        MosAuth_Manager &m = mosAuth_Manager_G;
        if (!m.bEnable || mosSecurity_SignCertReq(pReq, m.pPrivateKey, m.pCertificate, &pCert) != MOS_RC__SUCCESS) {
            MOS_ERROR(MOS_COMP_MOS, "Failed to sign the CSR");
            rc = MOS_RC__ERROR;
        }
    }
    mosSecurity_FreeCertReq(pReq);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    BIO *pBio = BIO_new_p(BIO_s_mem_p());
    char *pText = nullptr;
    long textLen = 0;
    if (pBio == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to allocate memory BIO");
        rc = MOS_RC__NO_RESOURCES;
    } else if (mosSecurity_WriteCertToBio(pBio, pCert) != MOS_RC__SUCCESS) {
        rc = MOS_RC__ERROR;
    } else if ((textLen = BIO_ctrl_p(pBio, BIO_CTRL_INFO, 0, &pText)) <= 0 || pText == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to get data from BIO");
        rc = MOS_RC__ERROR;
    } else if ((*ppCertBuf = static_cast<UINT8 *>(malloc((size_t)textLen))) == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to allocate buffer (length %ld)", textLen);
        rc = MOS_RC__NO_RESOURCES;
    } else {
        memcpy(*ppCertBuf, pText, (size_t)textLen);
        *pCertLen = (UINT32)textLen;
    }
    if (pBio != nullptr)
        BIO_free_p(pBio);
    mosSecurity_FreeCert(pCert);
    return rc;
}
