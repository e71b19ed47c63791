// Key pairs, certificates and certificate requests: generating this server's RSA key pair with a
// self-signed certificate and a request, issuing a certificate for a request as a local
// authority, and moving certificates between memory, files and opaques.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "mos/mos_trace.h"
#include "mos/mos_utils.h"
#include "mos/usr/mos_net.h"
#include "mos/usr/security/mos_security_cert.h"
#include "mos/usr/security/mos_security_lib.h"
#include "mos/mos_utils_text.h"
#include "mos/mos_utils_file.h"

const char *const mosSecurityCertFieldNames[MOS_SECURITY_CERT_FIELD__LAST] = {
    "GIVEN_NAME", "COMMON_NAME", "LOCALITY", "STATE", "COUNTRY", "ORG", "ORG_UNIT", "EMAIL_ADDRESS"};
const char *const mosSecurityCertFieldAcronyms[MOS_SECURITY_CERT_FIELD__LAST] = {"GN", "CN", "L",  "ST",
                                                                                 "C",  "O",  "OU", "emailAddress"};
const UINT32 mosSecurityCertFieldLengths[MOS_SECURITY_CERT_FIELD__LAST] = {16, 64, 128, 128, 2, 64, 64, 255};

namespace {

constexpr int kRsaBits = 2048;
constexpr unsigned long kRsaExponent = 65537;
constexpr long kNotBeforeSeconds = -90000;        // a day and an hour back: tolerates skewed clocks
constexpr long kNotAfterSeconds = 315360000;      // 3,650 days
constexpr int kIssuedValidityDays = 3650;
constexpr UINT32 kHostNameLen = 256;

bool isSet(const char *pText)
{
    return pText != nullptr && pText[0] != '\0';
}

// Owns what one generation allocates.
struct GenState {
    EVP_PKEY *pKey = nullptr;
    X509 *pCert = nullptr;
    ~GenState()
    {
        if (pCert != nullptr)
            X509_free_p(pCert);
        if (pKey != nullptr)
            EVP_PKEY_free_p(pKey);
    }
};

Mos_RC makeKey(GenState &st)
{
    const char *pFailure = nullptr;
    RSA *pRsa = RSA_generate_key_p(kRsaBits, kRsaExponent, nullptr, nullptr);
    if (pRsa == nullptr)
        pFailure = "Failed to generate an RSA key-pair";
    else if ((st.pKey = EVP_PKEY_new_p()) == nullptr)
        pFailure = "Failed to create the key";
    else if (EVP_PKEY_assign_p(st.pKey, EVP_PKEY_RSA, pRsa) != 1)
        pFailure = "Failed to assign the RSA key-pair";
    else
        return MOS_RC__SUCCESS;
    if (pRsa != nullptr)
        RSA_free_p(pRsa);
    MOS_ERROR(MOS_COMP_MOS, "%s", pFailure);
    MOS_ERROR(MOS_COMP_MOS, "Failed to create a key-pair");
    return MOS_RC__ERROR;
}

// Defaults for a subject that names only the machine, and the host name for a missing common name.
Mos_RC adjustSubject(MosSecurityCertConf *pConf, char *pHostName)
{
    bool bAnyPlace = false;
    for (UINT32 f = MOS_SECURITY_CERT_FIELD__LOCALITY; f < MOS_SECURITY_CERT_FIELD__LAST; f++)
        bAnyPlace = bAnyPlace || isSet(pConf->certFields[f]);
    if (!bAnyPlace) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_MED, "Setting to default values");
        MosSecurityCertConf defaults{};
        mosSecurity_InitCertConfDefaults(&defaults, pConf->certFields[MOS_SECURITY_CERT_FIELD__GIVEN_NAME],
                                         pConf->certFields[MOS_SECURITY_CERT_FIELD__COMMON_NAME]);
        *pConf = defaults;
    }
    if (!isSet(pConf->certFields[MOS_SECURITY_CERT_FIELD__COMMON_NAME])) {
        if (mosNet_GetHostName(pHostName, kHostNameLen + 1) != MOS_RC__SUCCESS) {
            MOS_ERROR(MOS_COMP_MOS, "Failed to get the host name");
            return MOS_RC__ERROR;
        }
        pConf->certFields[MOS_SECURITY_CERT_FIELD__COMMON_NAME] = pHostName;
    }
    return MOS_RC__SUCCESS;
}

// Version 1, serial 1, the subject as issuer, valid from a day ago for ten years, self-signed.
// Signed with SHA-256: OpenSSL 3 refuses SHA-1 signatures in a chain at its default level.
const char *fillCert(X509 *pCert, EVP_PKEY *pKey, const MosSecurityCertConf &conf)
{
    if (X509_set_version_p(pCert, 0) != 1)
        return "Failed to set version";
    if (ASN1_INTEGER_set_p(X509_get_serialNumber_p(pCert), 1) != 1)
        return "Failed to set serial number";
    if (X509_set_pubkey_p(pCert, pKey) != 1)
        return "Failed to set the public key";
    X509_NAME *pName = X509_get_subject_name_p(pCert);
    if (pName == nullptr)
        return "Failed to get the subject name";
    for (UINT32 f = 0; f < MOS_SECURITY_CERT_FIELD__LAST; f++) {
        if (!isSet(conf.certFields[f]))
            continue;
        if (X509_NAME_add_entry_by_txt_p(pName, mosSecurityCertFieldAcronyms[f], MBSTRING_ASC,
                                         reinterpret_cast<const unsigned char *>(conf.certFields[f]), -1, -1, 0) != 1) {
            MOS_ERROR(MOS_COMP_MOS, "Failed to set the subject name (field %s)", mosSecurityCertFieldNames[f]);
            return "";
        }
    }
    if (X509_set_issuer_name_p(pCert, pName) != 1)
        return "Failed to set the issuer name";
    if (X509_gmtime_adj_p(X509_getm_notBefore_p(pCert), kNotBeforeSeconds) == nullptr)
        return "Failed to adjust the not-valid-before time";
    if (X509_gmtime_adj_p(X509_getm_notAfter_p(pCert), kNotAfterSeconds) == nullptr)
        return "Failed to adjust the not-valid-after time";
    if (X509_sign_p(pCert, pKey, EVP_sha256_p()) <= 0)
        return "Failed to sign the certificate";
    return nullptr;
}

// Writes <dir>/<name> through writer into a temporary file created 0600, flushed to disk and
// renamed over the final name only when everything was written.
template <typename W>
Mos_RC writeFileAtomically(const char *dirName, const char *fileName, W &&writer)
{
    char fullName[MOS_MAX_FULL_FILE_NAME];
    mos_CreateFullFileName(fullName, sizeof(fullName), dirName, fileName);
    const std::string tmpName = std::string(fullName) + ".tmp";
    if (mos_FullFileNameCreateRestricted(tmpName.c_str()) != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to create the file %s", fullName);
        return MOS_RC__NOT_FOUND;
    }
    FILE *pFile = fopen(tmpName.c_str(), "w");
    if (pFile == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to open the file %s", fullName);
        unlink(tmpName.c_str());
        return MOS_RC__NOT_FOUND;
    }
    Mos_RC rc = writer(pFile);
    const bool bFlushed = fflush(pFile) == 0 && fsync(fileno(pFile)) == 0;
    const bool bClosed = fclose(pFile) == 0;
    if (rc == MOS_RC__SUCCESS && !(bFlushed && bClosed)) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to write the file %s", fullName);
        rc = MOS_RC__ERROR;
    }
    if (rc == MOS_RC__SUCCESS && rename(tmpName.c_str(), fullName) != 0) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to create the file %s", fullName);
        rc = MOS_RC__NOT_FOUND;
    }
    if (rc != MOS_RC__SUCCESS)
        unlink(tmpName.c_str());
    return rc;
}

Mos_RC writeKeyPair(FILE *pFile, const GenState &st, const MosSecurityKeyPairGenParams *pParams)
{
    // Without a password the key is written in the clear: the library would otherwise ask for one
    // on the terminal, which a service does not have.
    const bool bEncrypt = pParams->password != nullptr && pParams->passwordLen > 0;
    if (PEM_write_PrivateKey_p(pFile, st.pKey, bEncrypt ? EVP_des_ede3_cbc_p() : nullptr,
                               reinterpret_cast<const unsigned char *>(bEncrypt ? pParams->password : nullptr),
                               bEncrypt ? (int)pParams->passwordLen : 0, nullptr, nullptr) != 1) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to write the private key to file");
        return MOS_RC__ERROR;
    }
    if (PEM_write_X509_p(pFile, st.pCert) != 1) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to write the certificate to file");
        return MOS_RC__ERROR;
    }
    return MOS_RC__SUCCESS;
}

Mos_RC writeRequest(FILE *pFile, const GenState &st)
{
    X509_REQ *pReq = X509_to_X509_REQ_p(st.pCert, st.pKey, EVP_sha256_p());
    if (pReq == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to create the request");
        return MOS_RC__ERROR;
    }
    Mos_RC rc = MOS_RC__SUCCESS;
    if (PEM_write_X509_REQ_p(pFile, pReq) != 1) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to write the request to file");
        rc = MOS_RC__ERROR;
    }
    X509_REQ_free_p(pReq);
    return rc;
}

int generateBlockingCK(void *pContext)
{
    return (int)mosSecurity_GenerateKeyPairFileBlocking(static_cast<const MosSecurityKeyPairGenParams *>(pContext));
}

} // namespace

UINT32 mosSecurity_GetCertFieldMaxLen(UINT32 fieldType)
{
    return fieldType < MOS_SECURITY_CERT_FIELD__LAST ? mosSecurityCertFieldLengths[fieldType] : 0;
}

Mos_RC mosSecurity_InitCertConf(MosSecurityCertConf *pCertConf, const char *compUniqName, const char *commonName,
                                const char *locality, const char *state, const char *country,
                                const char *organization, const char *organizationUnit, const char *emailAddr)
{
    if (pCertConf == nullptr)
        return MOS_RC__INVALID;
    const char *const fields[MOS_SECURITY_CERT_FIELD__LAST] = {
        compUniqName, commonName, locality, state, country, organization, organizationUnit, emailAddr};
    for (UINT32 f = 0; f < MOS_SECURITY_CERT_FIELD__LAST; f++) {
        const size_t len = fields[f] != nullptr ? strlen(fields[f]) : 0;
        if (len > mosSecurityCertFieldLengths[f]) {
            MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: %s is too long (%u > %u)", mosSecurityCertFieldNames[f],
                      (unsigned)len, mosSecurityCertFieldLengths[f]);
            return MOS_RC__PARAMETER_OUT_OF_RANGE;
        }
        pCertConf->certFields[f] = fields[f];
    }
    return MOS_RC__SUCCESS;
}

Mos_RC mosSecurity_InitCertConfDefaults(MosSecurityCertConf *pCertConf, const char *compUniqName,
                                        const char *commonName)
{
    return mosSecurity_InitCertConf(pCertConf, compUniqName, commonName, "Brackwell", "Norlandia", "US", "Qel",
                                    "Lunet", nullptr);
}

Mos_RC mosSecurity_GenerateKeyPairFileBlocking(const MosSecurityKeyPairGenParams *pParams)
{
    if (pParams == nullptr || pParams->dirName == nullptr || pParams->fileName == nullptr ||
        pParams->pCertConf == nullptr)
        return MOS_RC__INVALID;
    ERR_clear_error_p();
    GenState st;
    Mos_RC rc = makeKey(st);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    if ((st.pCert = X509_new_p()) == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to create a certificate");
        return MOS_RC__ERROR;
    }
    MosSecurityCertConf conf = *pParams->pCertConf;
    char hostName[kHostNameLen + 1] = {};
    rc = adjustSubject(&conf, hostName);
    const char *pFailure = rc == MOS_RC__SUCCESS ? fillCert(st.pCert, st.pKey, conf) : "";
    if (pFailure != nullptr) {
        if (pFailure[0] != '\0')
            MOS_ERROR(MOS_COMP_MOS, "%s", pFailure);
        MOS_ERROR(MOS_COMP_MOS, "Failed to initialize the certificate");
        return MOS_RC__ERROR;
    }
    rc = writeFileAtomically(pParams->dirName, pParams->fileName,
                             [&](FILE *pFile) { return writeKeyPair(pFile, st, pParams); });
    if (rc == MOS_RC__SUCCESS && pParams->csrFileName != nullptr)
        rc = writeFileAtomically(pParams->dirName, pParams->csrFileName,
                                 [&](FILE *pFile) { return writeRequest(pFile, st); });
    return rc;
}

Mos_RC mosSecurity_GenerateKeyPairFileConf(const char *dirName, const char *fileName, const char *password,
                                           UINT32 passwordLen, const MosSecurityCertConf *pCertConf,
                                           const char *csrFileName)
{
    MosSecurityKeyPairGenParams params{dirName, fileName, password, passwordLen, pCertConf, csrFileName};
    return (Mos_RC)mosUtils_RunBlocking(generateBlockingCK, &params);
}

Mos_RC mosSecurity_GenerateKeyPairFile(const char *dirName, const char *fileName, const char *password,
                                       UINT32 passwordLen, const char *compUniqName, const char *csrFileName)
{
    MosSecurityCertConf conf{};
    const Mos_RC rc = mosSecurity_InitCertConfDefaults(&conf, compUniqName, "");
    if (rc != MOS_RC__SUCCESS)
        return rc;
    return mosSecurity_GenerateKeyPairFileConf(dirName, fileName, password, passwordLen, &conf, csrFileName);
}

int mosSecurity_GetCertEncodeLen(X509 *pCert)
{
    return i2d_X509_p(pCert, nullptr);
}

int mosSecurity_EncodeCert(X509 *pCert, UINT8 *pBuf)
{
    UINT8 *pOut = pBuf; // i2d advances the pointer it is given
    const int len = i2d_X509_p(pCert, &pOut);
    if (len <= 0)
        mosSecurity_PrintLibError("Failed to encode the certificate");
    return len;
}

X509 *mosSecurity_DecodeCert(const UINT8 *pBuf, UINT32 len)
{
    const UINT8 *pIn = pBuf;
    X509 *pCert = pBuf != nullptr ? d2i_X509_p(nullptr, &pIn, (long)len) : nullptr;
    if (pCert == nullptr)
        mosSecurity_PrintLibError("Failed to decode the certificate");
    return pCert;
}

Mos_RC mosSecurity_WriteCertToBio(BIO *pBio, X509 *pCert)
{
    if (PEM_write_bio_X509_p(pBio, pCert) != 1) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to write the certificate");
        return MOS_RC__ERROR;
    }
    return MOS_RC__SUCCESS;
}

void mosSecurity_FreeCert(X509 *pCert)
{
    if (pCert != nullptr)
        X509_free_p(pCert);
}

void mosSecurity_FreeCertReq(X509_REQ *pReq)
{
    if (pReq != nullptr)
        X509_REQ_free_p(pReq);
}

Mos_RC mosSecurity_DecodeCSR(const UINT8 *pCertReqBuf, UINT32 certReqLen, X509_REQ **ppCertReq)
{
    if (pCertReqBuf == nullptr || ppCertReq == nullptr || certReqLen > (UINT32)INT32_MAX) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to read the CSR");
        return MOS_RC__INVALID;
    }
    BIO *pBio = BIO_new_mem_buf_p(pCertReqBuf, (int)certReqLen);
    if (pBio == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to allocate read-only BIO (len = %u)", certReqLen);
        return MOS_RC__NO_RESOURCES;
    }
    *ppCertReq = PEM_read_bio_X509_REQ_p(pBio, nullptr, nullptr, nullptr);
    BIO_free_p(pBio);
    if (*ppCertReq == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to read the CSR");
        return MOS_RC__INVALID;
    }
    return MOS_RC__SUCCESS;
}

namespace {

// A random serial of at most 8 decimal digits.
const char *setRandomSerial(X509 *pCert)
{
    UINT32 random = 0;
    if (RAND_bytes_p(reinterpret_cast<unsigned char *>(&random), sizeof(random)) != 1)
        return "Failed to get random number";
    char digits[16];
    snprintf(digits, sizeof(digits), "%u", random);
    digits[8] = '\0';
    ASN1_INTEGER *pSerial = s2i_ASN1_INTEGER_p(nullptr, digits);
    if (pSerial == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to convert nmuber to ASN.1 integer (%s)", digits);
        return "Failed to set the serial number";
    }
    const bool bSet = X509_set_serialNumber_p(pCert, pSerial) == 1;
    ASN1_STRING_free_p(pSerial);
    if (!bSet) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to set serial number");
        return "Failed to set the serial number";
    }
    return nullptr;
}

} // namespace

Mos_RC mosSecurity_SignCertReq(X509_REQ *pReq, EVP_PKEY *pCaPrivKey, X509 *pCaCert, X509 **ppCert)
{
    if (pReq == nullptr || pCaPrivKey == nullptr || pCaCert == nullptr || ppCert == nullptr)
        return MOS_RC__INVALID;
    ERR_clear_error_p();
    X509 *pCert = X509_REQ_to_X509_p(pReq, kIssuedValidityDays, pCaPrivKey);
    const char *pFailure = nullptr;
    X509_NAME *pCaName = nullptr;
    if (pCert == nullptr)
        pFailure = "Failed to sign the request";
    else if ((pCaName = X509_get_subject_name_p(pCaCert)) == nullptr)
        pFailure = "Failed to get CA's subject name";
    else if (X509_set_issuer_name_p(pCert, pCaName) != 1)
        pFailure = "Failed to set the issuer name";
    else if ((pFailure = setRandomSerial(pCert)) != nullptr)
        ;
    else if (X509_gmtime_adj_p(X509_getm_notBefore_p(pCert), kNotBeforeSeconds) == nullptr)
        pFailure = "Failed to adjust the not-valid-before time";
    else if (X509_sign_p(pCert, pCaPrivKey, EVP_sha256_p()) <= 0)
        pFailure = "Failed to sign the certificate";
    if (pFailure != nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "%s", pFailure);
        mosSecurity_FreeCert(pCert);
        return MOS_RC__ERROR;
    }
    *ppCert = pCert;
    return MOS_RC__SUCCESS;
}

BIO *mosSecurity_AllocFileBio(const char *filename, const char *fileMode)
{
    BIO *pBio = filename != nullptr ? BIO_new_file_p(filename, fileMode) : nullptr;
    if (pBio == nullptr)
        MOS_ERROR(MOS_COMP_MOS, "Failed to create file BIO (%s, mode %s)", filename != nullptr ? filename : "",
                  fileMode);
    return pBio;
}

Mos_RC mosSecurity_SaveCertToFile(MosSecurityCertOpaque *pCertOpq, const char *filename, BOOL bOverwrite)
{
    X509 *pCert = nullptr;
    Mos_RC rc = mosSecurity_GetCertFromOpaque(pCertOpq, &pCert);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    BIO *pBio = filename != nullptr ? BIO_new_file_p(filename, bOverwrite ? "w" : "a") : nullptr;
    if (pBio == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to create file BIO (%s)", filename != nullptr ? filename : "");
        rc = MOS_RC__NOT_FOUND;
    } else {
        rc = mosSecurity_WriteCertToBio(pBio, pCert);
        BIO_free_p(pBio);
    }
    X509_free_p(pCert);
    return rc;
}

Mos_RC mosSecurity_ReadCertFromFile(const char *filename, MosSecurityCertOpaque *pCertOpq)
{
    BIO *pBio = filename != nullptr ? BIO_new_file_p(filename, "r") : nullptr;
    if (pBio == nullptr) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Failed to create file BIO (%s)",
                  filename != nullptr ? filename : "");
        return MOS_RC__NOT_FOUND;
    }
    X509 *pCert = PEM_read_bio_X509_p(pBio, nullptr, nullptr, nullptr);
    BIO_free_p(pBio);
    if (pCert == nullptr) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Failed to read certificate from file %s", filename);
        return MOS_RC__NOT_FOUND;
    }
    const Mos_RC rc = mosSecurity_StoreCertInOpaque(pCertOpq, pCert);
    X509_free_p(pCert);
    if (rc != MOS_RC__SUCCESS)
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Failed to store certificate in opaque (%s)",
                  mosRc_GetStr(rc));
    return rc;
}

Mos_RC mosSecurity_CheckKeyPairFile(const char *filename, const char *password)
{
    FILE *pFile = filename != nullptr ? fopen(filename, "r") : nullptr;
    if (pFile == nullptr) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Failed to open the file %s", filename != nullptr ? filename : "");
        return MOS_RC__NOT_FOUND;
    }
    ERR_clear_error_p();
    X509 *pCert = PEM_read_X509_p(pFile, nullptr, nullptr, nullptr);
    rewind(pFile);
    // Without a callback the library takes the user argument as the password; it never prompts.
    EVP_PKEY *pKey = PEM_read_PrivateKey_p(pFile, nullptr, nullptr, const_cast<char *>(password != nullptr ? password : ""));
    fclose(pFile);
    const char *pFailure = pCert == nullptr  ? "no certificate"
                           : pKey == nullptr ? "no private key that the password opens"
                           : X509_check_private_key_p(pCert, pKey) != 1 ? "the certificate is not of the private key"
                                                                         : nullptr;
    if (pFailure != nullptr)
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Key-pair file %s: %s", filename, pFailure);
    if (pCert != nullptr)
        X509_free_p(pCert);
    if (pKey != nullptr)
        EVP_PKEY_free_p(pKey);
    ERR_clear_error_p();
    return pFailure == nullptr ? MOS_RC__SUCCESS : MOS_RC__INVALID;
}

Mos_RC mosSecurity_CertTimeCmp(const char *certTimeField, time_t cmpTime, int *pCmpRes)
{
    if (certTimeField == nullptr || pCmpRes == nullptr)
        return MOS_RC__INVALID;
    ASN1_TIME *pTime = ASN1_STRING_type_new_p(V_ASN1_UTCTIME);
    if (pTime == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to allocate a time object");
        return MOS_RC__NO_RESOURCES;
    }
    Mos_RC rc = MOS_RC__SUCCESS;
    const int cmp = ASN1_TIME_set_string_p(pTime, certTimeField) == 1 ? X509_cmp_time_p(pTime, &cmpTime) : 0;
    if (cmp == 0) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to set time string (%s)", certTimeField);
        rc = MOS_RC__INVALID;
    } else {
        *pCmpRes = cmp < 0 ? -1 : 1;
    }
    ASN1_STRING_free_p(pTime);
    return rc;
}
