// The certificate opaque: a peer's certificate as DER bytes, with the outcome of its verification,
// in a small holder that passes between threads (the TLS verification fills it, the messaging
// layer reads it). An opaque belongs to whoever allocated it; it has no lock.
#pragma once

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

typedef struct x509_st X509;

#define MOS_SECURITY__VERIFY_ERR_STR_LEN 100

struct MosSecurityCertOpaque {
    BOOL bValid;         // filled with a certificate, a failure, or both
    UINT8 *pEncodeBuf;   // DER encoding, owned by the opaque; null when only a failure was recorded
    UINT32 bufSize;
    Mos_RC rc;           // MOS_RC__SUCCESS when a certificate was stored, else the failure code
    CHAR_A verifyErrStr[MOS_SECURITY__VERIFY_ERR_STR_LEN];
};

#define MOS_SECURITY__CERT_QUERY_TEXT_LEN 150

// A certificate described in text; cleared before it is filled.
struct MosSecurityCertQuery {
    CHAR_A digestBuf[129]; // SHA-1 thumbprint as "AB:01:...:7F"
    CHAR_A subject[MOS_SECURITY__CERT_QUERY_TEXT_LEN]; // one-line names, "/CN=host/O=Qel"
    CHAR_A issuer[MOS_SECURITY__CERT_QUERY_TEXT_LEN];
    CHAR_A notValidBefore[MOS_SECURITY__CERT_QUERY_TEXT_LEN]; // "Jan  1 00:00:00 2030 GMT"
    CHAR_A notValidAfter[MOS_SECURITY__CERT_QUERY_TEXT_LEN];
    CHAR_A notValidBeforeAsn1[MOS_SECURITY__CERT_QUERY_TEXT_LEN]; // "300101000000Z"
    CHAR_A notValidAfterAsn1[MOS_SECURITY__CERT_QUERY_TEXT_LEN];
    Mos_RC verifyRC;                                      // filled only from an opaque
    CHAR_A verifyErrStr[MOS_SECURITY__VERIFY_ERR_STR_LEN]; // filled only from an opaque
};

// A zeroed opaque, or null with an error line.
MosSecurityCertOpaque *mosSecurity_AllocCertOpaque(void);
// Frees the DER buffer and the opaque; null is ignored.
void mosSecurity_FreeCertOpaque(MosSecurityCertOpaque *pCertOpq);
// Stores the certificate's DER encoding. MOS_RC__INVALID for a null argument, MOS_RC__ALREADY_EXISTS
// when the opaque is already valid (left unchanged), MOS_RC__NO_MEMORY, MOS_RC__ERROR when the
// library cannot encode it.
Mos_RC mosSecurity_StoreCertInOpaque(MosSecurityCertOpaque *pCertOpq, X509 *pCert);
// Records a failure: at most 99 characters of the text (when given) and rc (MOS_RC__SUCCESS given
// here is stored as MOS_RC__ERROR); a null opaque is ignored.
void mosSecurity_SetCertOpaqueFailure(MosSecurityCertOpaque *pCertOpq, Mos_RC rc, const CHAR_A *pFailureStr);
// A new certificate decoded from the opaque, freed by the caller. MOS_RC__INVALID for null or bad
// bytes, MOS_RC__NOT_FOUND when not valid, MOS_RC__NET_SECURITY_DISABLED_ON_SERVER when that is
// the recorded code.
Mos_RC mosSecurity_GetCertFromOpaque(MosSecurityCertOpaque *pCertOpq, X509 **ppCert);
// Describes a certificate. MOS_RC__ERROR (with a line naming the step) when a part cannot be read.
Mos_RC mosSecurity_QueryCert(X509 *pCert, MosSecurityCertQuery *pQuery);
// Describes the opaque's certificate and copies its verification result into the query.
Mos_RC mosSecurity_QueryCertOpaque(MosSecurityCertOpaque *pCertOpq, MosSecurityCertQuery *pQuery);
