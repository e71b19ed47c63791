#include "mos/usr/security/mos_security_cert.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "mos/mos_trace.h"
#include "mos/usr/security/mos_security_lib.h"

MosSecurityCertOpaque *mosSecurity_AllocCertOpaque(void)
{
    auto *pCertOpq = static_cast<MosSecurityCertOpaque *>(calloc(1, sizeof(MosSecurityCertOpaque)));
    if (pCertOpq == nullptr)
        MOS_ERROR(MOS_COMP_MOS, "Failed to allocate opaque");
    return pCertOpq;
}

void mosSecurity_FreeCertOpaque(MosSecurityCertOpaque *pCertOpq)
{
    if (pCertOpq == nullptr)
        return;
    free(pCertOpq->pEncodeBuf);
    free(pCertOpq);
}

Mos_RC mosSecurity_StoreCertInOpaque(MosSecurityCertOpaque *pCertOpq, X509 *pCert)
{
    if (pCertOpq == nullptr || pCert == nullptr)
        return MOS_RC__INVALID;
    if (pCertOpq->bValid)
        return MOS_RC__ALREADY_EXISTS;
    const int len = i2d_X509_p(pCert, nullptr);
    if (len <= 0) {
        if (len < 0)
            mosSecurity_PrintLibError("Failed to get certificate's length");
        else
            MOS_ERROR(MOS_COMP_MOS, "The certificate's length is zero");
        MOS_ERROR(MOS_COMP_MOS, "Failed to get the encoding length");
        return MOS_RC__ERROR;
    }
    auto *pBuf = static_cast<UINT8 *>(malloc((size_t)len));
    if (pBuf == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to allocate %d bytes", len);
        return MOS_RC__NO_MEMORY;
    }
    UINT8 *pOut = pBuf; // i2d advances the pointer it is given
    if (i2d_X509_p(pCert, &pOut) != len) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to encode the certificate");
        free(pBuf);
        return MOS_RC__ERROR;
    }
    pCertOpq->pEncodeBuf = pBuf;
    pCertOpq->bufSize = (UINT32)len;
    pCertOpq->rc = MOS_RC__SUCCESS;
    pCertOpq->bValid = TRUE;
    return MOS_RC__SUCCESS;
}

void mosSecurity_SetCertOpaqueFailure(MosSecurityCertOpaque *pCertOpq, Mos_RC rc, const CHAR_A *pFailureStr)
{
    if (pCertOpq == nullptr)
        return;
    if (pFailureStr != nullptr) {
        strncpy(pCertOpq->verifyErrStr, pFailureStr, sizeof(pCertOpq->verifyErrStr) - 1);
        pCertOpq->verifyErrStr[sizeof(pCertOpq->verifyErrStr) - 1] = '\0';
    }
    pCertOpq->rc = rc == MOS_RC__SUCCESS ? MOS_RC__ERROR : rc;
    pCertOpq->bValid = TRUE;
}

Mos_RC mosSecurity_GetCertFromOpaque(MosSecurityCertOpaque *pCertOpq, X509 **ppCert)
{
    if (pCertOpq == nullptr || ppCert == nullptr)
        return MOS_RC__INVALID;
    if (!pCertOpq->bValid)
        return MOS_RC__NOT_FOUND;
    if (pCertOpq->rc == MOS_RC__NET_SECURITY_DISABLED_ON_SERVER)
        return MOS_RC__NET_SECURITY_DISABLED_ON_SERVER;
    const UINT8 *pIn = pCertOpq->pEncodeBuf;
    *ppCert = pIn != nullptr ? d2i_X509_p(nullptr, &pIn, (long)pCertOpq->bufSize) : nullptr;
    if (*ppCert == nullptr) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: The opaque %p is invalid", (void *)pCertOpq);
        return MOS_RC__INVALID;
    }
    return MOS_RC__SUCCESS;
}

namespace {

// The printed form of a certificate time, read back as one line of at most `size` characters.
bool printTime(const ASN1_TIME *pTime, char *pOut, int size)
{
    BIO *pBio = BIO_new_p(BIO_s_mem_p());
    if (pBio == nullptr)
        return false;
    const bool ok = pTime != nullptr && ASN1_TIME_print_p(pBio, pTime) == 1 && BIO_gets_p(pBio, pOut, size) > 0;
    BIO_free_p(pBio);
    return ok;
}

// The raw ASN.1 text of a certificate time; it must fit with its NUL.
bool rawTime(const ASN1_TIME *pTime, char *pOut, int size)
{
    if (pTime == nullptr)
        return false;
    const int len = ASN1_STRING_length_p(pTime);
    if (len < 0 || len >= size) {
        MOS_ERROR(MOS_COMP_MOS, "The buffer is too small (%d <= %d)", size, len);
        return false;
    }
    memcpy(pOut, ASN1_STRING_get0_data_p(pTime), (size_t)len);
    pOut[len] = '\0';
    return true;
}

} // namespace

Mos_RC mosSecurity_QueryCert(X509 *pCert, MosSecurityCertQuery *pQuery)
{
    if (pQuery == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "NULL query pointer");
        return MOS_RC__ERROR;
    }
    memset(pQuery, 0, sizeof(*pQuery));
    const EVP_MD *pDigest = mosSecurity_GetDigestMethod(MOS_SECURITY_DIGEST_TYPE__SHA_1);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    if (pDigest == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to compute certificate's digest (digest type = %d)",
                  (int)MOS_SECURITY_DIGEST_TYPE__SHA_1);
        return MOS_RC__ERROR;
    }
    if (X509_digest_p(pCert, pDigest, md, &mdLen) != 1) {
        char text[256] = {};
        ERR_error_string_n_p(ERR_get_error_p(), text, sizeof(text));
        MOS_ERROR(MOS_COMP_MOS, "Failed to get the certificate's digest (%s)", text);
        return MOS_RC__ERROR;
    }
    // "AB:01:...:7F": three characters a byte, the last one's colon replaced by the NUL.
    constexpr char kHex[] = "0123456789ABCDEF";
    const unsigned int bytes = std::min<unsigned int>(mdLen, sizeof(pQuery->digestBuf) / 3);
    for (unsigned int i = 0; i < bytes; i++) {
        pQuery->digestBuf[3 * i] = kHex[md[i] >> 4];
        pQuery->digestBuf[3 * i + 1] = kHex[md[i] & 0x0f];
        pQuery->digestBuf[3 * i + 2] = i + 1 < bytes ? ':' : '\0';
    }
    if (X509_NAME_oneline_p(X509_get_subject_name_p(pCert), pQuery->subject, sizeof(pQuery->subject)) == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to get the certificate's subject name");
        return MOS_RC__ERROR;
    }
    if (X509_NAME_oneline_p(X509_get_issuer_name_p(pCert), pQuery->issuer, sizeof(pQuery->issuer)) == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to get the certificate's issuer name");
        return MOS_RC__ERROR;
    }
    const ASN1_TIME *pNotBefore = X509_get0_notBefore_p(pCert);
    const ASN1_TIME *pNotAfter = X509_get0_notAfter_p(pCert);
    struct TimeStep {
        bool ok;
        const char *pFailure;
    };
    const TimeStep kSteps[] = {
        {printTime(pNotBefore, pQuery->notValidBefore, sizeof(pQuery->notValidBefore)),
         "Failed to get the certificate's not-before"},
        {printTime(pNotAfter, pQuery->notValidAfter, sizeof(pQuery->notValidAfter)),
         "Failed to get the certificate's not-after"},
        {rawTime(pNotBefore, pQuery->notValidBeforeAsn1, sizeof(pQuery->notValidBeforeAsn1)),
         "Failed to get the certificate's not-before (ASN.1)"},
        {rawTime(pNotAfter, pQuery->notValidAfterAsn1, sizeof(pQuery->notValidAfterAsn1)),
         "Failed to get the certificate's not-after (ASN.1)"},
    };
    for (const TimeStep &step : kSteps) {
        if (!step.ok) {
            MOS_ERROR(MOS_COMP_MOS, "%s", step.pFailure);
            return MOS_RC__ERROR;
        }
    }
    return MOS_RC__SUCCESS;
}

Mos_RC mosSecurity_QueryCertOpaque(MosSecurityCertOpaque *pCertOpq, MosSecurityCertQuery *pQuery)
{
    X509 *pCert = nullptr;
    Mos_RC rc = mosSecurity_GetCertFromOpaque(pCertOpq, &pCert);
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Failed to get certificate from opaque %p (%s)",
                  (void *)pCertOpq, mosRc_GetStr(rc));
        return rc;
    }
    rc = mosSecurity_QueryCert(pCert, pQuery);
    X509_free_p(pCert);
    if (rc == MOS_RC__SUCCESS) {
        pQuery->verifyRC = pCertOpq->rc;
        memcpy(pQuery->verifyErrStr, pCertOpq->verifyErrStr, sizeof(pQuery->verifyErrStr) - 1);
        pQuery->verifyErrStr[sizeof(pQuery->verifyErrStr) - 1] = '\0';
    }
    return rc;
}
