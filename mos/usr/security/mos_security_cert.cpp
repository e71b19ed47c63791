#include "mos/usr/security/mos_security_cert.h"

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
