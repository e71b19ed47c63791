// The certificate opaque: a peer's certificate as DER bytes, with the outcome of its verification,
// in a small holder that passes between threads (the TLS verification fills it, the messaging
// layer reads it). An opaque belongs to whoever allocated it; it has no lock.
#pragma once

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

#include <ctime>

typedef struct x509_st X509;
typedef struct X509_req_st X509_REQ;
typedef struct evp_pkey_st EVP_PKEY;
typedef struct bio_st BIO;

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

// Subject fields of a generated certificate, in the order they are added to its name.
enum MosSecurityCertFieldType : UINT32 {
    MOS_SECURITY_CERT_FIELD__GIVEN_NAME = 0,
    MOS_SECURITY_CERT_FIELD__COMMON_NAME = 1,
    MOS_SECURITY_CERT_FIELD__LOCALITY = 2,
    MOS_SECURITY_CERT_FIELD__STATE = 3,
    MOS_SECURITY_CERT_FIELD__COUNTRY = 4,
    MOS_SECURITY_CERT_FIELD__ORG = 5,
    MOS_SECURITY_CERT_FIELD__ORG_UNIT = 6,
    MOS_SECURITY_CERT_FIELD__EMAIL_ADDRESS = 7,
    MOS_SECURITY_CERT_FIELD__LAST = 8,
};
extern const char *const mosSecurityCertFieldNames[MOS_SECURITY_CERT_FIELD__LAST];    // "GIVEN_NAME", ...
extern const char *const mosSecurityCertFieldAcronyms[MOS_SECURITY_CERT_FIELD__LAST]; // "GN", "CN", ...
extern const UINT32 mosSecurityCertFieldLengths[MOS_SECURITY_CERT_FIELD__LAST];
// The longest text a field may hold; 0 for an unknown field.
UINT32 mosSecurity_GetCertFieldMaxLen(UINT32 fieldType);

// The subject of a generated certificate: text pointers, null or empty = absent. The texts are
// not copied and must outlive the generation.
struct MosSecurityCertConf {
    const char *certFields[MOS_SECURITY_CERT_FIELD__LAST];
};

// Checks each given field against its maximum in table order; the first that is longer gives
// MOS_RC__PARAMETER_OUT_OF_RANGE with a warning, the fields before it left set. Else stores all.
Mos_RC mosSecurity_InitCertConf(MosSecurityCertConf *pCertConf, const char *compUniqName, const char *commonName,
                                const char *locality, const char *state, const char *country,
                                const char *organization, const char *organizationUnit, const char *emailAddr);
// The default subject: the two names as given, then Brackwell, Norlandia, US, Qel, Lunet.
Mos_RC mosSecurity_InitCertConfDefaults(MosSecurityCertConf *pCertConf, const char *compUniqName,
                                        const char *commonName);

// The work item of one key-pair generation.
struct MosSecurityKeyPairGenParams {
    const char *dirName;
    const char *fileName;
    const char *password;
    UINT32 passwordLen;
    const MosSecurityCertConf *pCertConf;
    const char *csrFileName; // null: no request is written
};

// Generates a 2048-bit RSA key and a self-signed certificate into <dirName>/<fileName> (the key
// encrypted under the password, then the certificate) and, when csrFileName is given, a
// certificate request into <dirName>/<csrFileName>. Each file is written whole under a temporary
// name with mode 0600 and renamed into place, so a reader never meets half a key and a failed
// generation leaves any earlier file as it was. The work runs on a blocking-call thread while a
// calling uthread waits. MOS_RC__PARAMETER_OUT_OF_RANGE for a too-long subject field,
// MOS_RC__NOT_FOUND when a file cannot be created, MOS_RC__ERROR when the library fails.
Mos_RC mosSecurity_GenerateKeyPairFile(const char *dirName, const char *fileName, const char *password,
                                       UINT32 passwordLen, const char *compUniqName, const char *csrFileName);
Mos_RC mosSecurity_GenerateKeyPairFileConf(const char *dirName, const char *fileName, const char *password,
                                           UINT32 passwordLen, const MosSecurityCertConf *pCertConf,
                                           const char *csrFileName);
// The generation itself, on whatever thread calls it.
Mos_RC mosSecurity_GenerateKeyPairFileBlocking(const MosSecurityKeyPairGenParams *pParams);

// Certificates in DER and PEM. EncodeCert writes into a buffer of at least GetCertEncodeLen bytes
// and gives the length written (negative on failure).
int mosSecurity_GetCertEncodeLen(X509 *pCert);
int mosSecurity_EncodeCert(X509 *pCert, UINT8 *pBuf);
X509 *mosSecurity_DecodeCert(const UINT8 *pBuf, UINT32 len);
Mos_RC mosSecurity_WriteCertToBio(BIO *pBio, X509 *pCert);
void mosSecurity_FreeCert(X509 *pCert);
void mosSecurity_FreeCertReq(X509_REQ *pReq);

// Reads a PEM request from memory. MOS_RC__NO_RESOURCES when no buffer can be made,
// MOS_RC__INVALID when the text is not a request.
Mos_RC mosSecurity_DecodeCSR(const UINT8 *pCertReqBuf, UINT32 certReqLen, X509_REQ **ppCertReq);
// Issues a certificate for a request, valid for 3,650 days from a day ago, signed with SHA-256 by
// the authority's key and naming the authority's subject as issuer; MOS_RC__ERROR on failure.
Mos_RC mosSecurity_SignCertReq(X509_REQ *pReq, EVP_PKEY *pCaPrivKey, X509 *pCaCert, X509 **ppCert);

// Writes the opaque's certificate in PEM, replacing the file when bOverwrite, appending otherwise.
Mos_RC mosSecurity_SaveCertToFile(MosSecurityCertOpaque *pCertOpq, const char *filename, BOOL bOverwrite);
// Reads the file's first PEM certificate into the opaque; MOS_RC__NOT_FOUND when there is none.
Mos_RC mosSecurity_ReadCertFromFile(const char *filename, MosSecurityCertOpaque *pCertOpq);
// Whether a key-pair file's first certificate belongs to its first private key, which the password
// opens. MOS_RC__NOT_FOUND when the file cannot be opened, MOS_RC__INVALID otherwise (with a line
// that says which part is wrong). The library must be bound.
Mos_RC mosSecurity_CheckKeyPairFile(const char *filename, const char *password);
// Compares an ASN.1 UTC time text with cmpTime: *pCmpRes -1 when the text is earlier, 1 otherwise.
Mos_RC mosSecurity_CertTimeCmp(const char *certTimeField, time_t cmpTime, int *pCmpRes);
// A file stream of the library, or null with an error line.
BIO *mosSecurity_AllocFileBio(const char *filename, const char *fileMode);
