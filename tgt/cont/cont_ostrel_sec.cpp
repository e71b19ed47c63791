// The manager link's security: bringing the runtime's security up, the key pair and its request,
// and the installation of the certificate that the Ostrel's authority issued for that request.
// File work and the library's loading run on the blocking-call service, so a scheduler thread
// never waits on a disk or on the key generation.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/sha2.h"
#include "mos/mos_load.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils.h"
#include "mos/mos_utils_file.h"
#include "mos/usr/security/mos_auth.h"
#include "mos/usr/security/mos_security.h"
#include "mos/usr/security/mos_security_cert.h"
#include "tgt/cont/cont_ostrel.h"

namespace {

// The unique name of a request is at most 15 characters: the low 32 bits of the id.
constexpr const char *kUniqNameFmt = "Pellar-%03x";

// One unit of secSem for the life of an operation.
class ContOstrelSecGuard {
  public:
    explicit ContOstrelSecGuard(ContOstrel *pOstrel) : pSem_(&pOstrel->secSem)
    {
        MOS_ASSERT_SUCCESS(mosUmtSem_DecTimed(pSem_, 1, 0));
    }
    ~ContOstrelSecGuard() { mosUmtSem_IncInter(pSem_, 1, TRUE); }
    ContOstrelSecGuard(const ContOstrelSecGuard &) = delete;
    ContOstrelSecGuard &operator=(const ContOstrelSecGuard &) = delete;

  private:
    MosUmt_Sem *pSem_;
};

// Runs fn() -> Mos_RC on the blocking-call service.
template <typename Fn> Mos_RC contOstrel_RunBlocking(Fn &&fn)
{
    return (Mos_RC)mosUtils_RunBlocking([](void *p) { return (int)(*static_cast<Fn *>(p))(); }, &fn);
}

// The runtime's failures of kind 1 read as a failure to load security.
Mos_RC contOstrel_LoadRc(Mos_RC rc)
{
    return rc == MOS_RC__ERROR ? MOS_RC__ERROR_LOADING_SECURITY : rc;
}

// Points the authentication service at the key-pair file with the derived password.
Mos_RC contOstrel_ApplyAuth(const ContOstrel *pOstrel, const CHAR_A *pKeyPairPath)
{
    MosAuthConf *pAuth = &mosSecurity_GetConf()->authConf;
    snprintf(pAuth->keyPairFile, sizeof(pAuth->keyPairFile), "%s", pKeyPairPath);
    CHAR_A password[CONT_OSTREL__SEC_PASSWORD_LEN + 1];
    contOstrel_SecPassword(pOstrel->tgtId, password);
    snprintf(pAuth->password, sizeof(pAuth->password), "%s", password);
    pAuth->bEnable = TRUE;
    return contOstrel_RunBlocking([pAuth] { return mosAuth_UpdateConf(pAuth); });
}

BOOL contOstrel_ReadFile(const std::string &path, std::string *pText)
{
    FILE *pFile = fopen(path.c_str(), "r");
    if (pFile == nullptr)
        return FALSE;
    pText->clear();
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), pFile)) != 0)
        pText->append(buf, n);
    const BOOL bOk = ferror(pFile) == 0;
    fclose(pFile);
    return bOk;
}

// The text written whole under "<path>.tmp" (owner-only), flushed, and renamed over path only
// when it holds a certificate of its own key: a refused certificate leaves the file as it was.
Mos_RC contOstrel_InstallKeyPairText(const std::string &path, const std::string &text, const CHAR_A *pPassword)
{
    const std::string tmp = path + ".tmp";
    if (mos_FullFileNameCreateRestricted(tmp.c_str()) != MOS_RC__SUCCESS)
        return MOS_RC__ERROR;
    const int fd = open(tmp.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    BOOL bWritten = fd >= 0 && write(fd, text.data(), text.size()) == (ssize_t)text.size() && fsync(fd) == 0;
    if (fd >= 0 && close(fd) != 0)
        bWritten = FALSE;
    Mos_RC rc = bWritten ? mosSecurity_CheckKeyPairFile(tmp.c_str(), pPassword) : MOS_RC__ERROR;
    if (rc == MOS_RC__SUCCESS && rename(tmp.c_str(), path.c_str()) != 0)
        rc = MOS_RC__ERROR;
    if (rc != MOS_RC__SUCCESS)
        unlink(tmp.c_str());
    return rc;
}

const CHAR_A *contOstrel_SecDir(void)
{
    const char *pDir = mosLoad_GetCfgDir();
    return pDir != nullptr && pDir[0] != '\0' ? pDir : "."; // never the file system's root
}

} // namespace

BOOL contOstrel_SecFilePath(const CHAR_A *pName, CHAR_A *pBuf, UINT32 bufLen)
{
    const int n = snprintf(pBuf, bufLen, "%s/%s", contOstrel_SecDir(), pName);
    return n > 0 && (UINT32)n < bufLen;
}

void contOstrel_SecPassword(UINT64 tgtId, CHAR_A (&password)[CONT_OSTREL__SEC_PASSWORD_LEN + 1])
{
    char digest[SHA256_DIGEST_STRING_LENGTH];
    SHA256_Data(reinterpret_cast<const sha2_byte *>(&tgtId), sizeof(tgtId), digest);
    memcpy(password, digest, CONT_OSTREL__SEC_PASSWORD_LEN);
    password[CONT_OSTREL__SEC_PASSWORD_LEN] = '\0';
}

Mos_RC contOstrel_EnableSecurity(ContOstrel *pOstrel, BOOL bUseExistingCertificate)
{
    ContOstrelSecGuard guard(pOstrel);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Enabling security");
    if (!mosSecurity_IsInitialized()) {
        // The command is the request for security: the layer comes up even when the
        // configuration file did not ask for it at start.
        MosSecurityConf *pConf = mosSecurity_GetConf();
        pConf->bEnable = TRUE;
        const Mos_RC rc = contOstrel_LoadRc(contOstrel_RunBlocking([pConf] { return mosSecurity_Init(pConf); }));
        if (rc != MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Error loading security: %s", mosRc_GetStr(rc));
            return rc;
        }
    }
    if (bUseExistingCertificate) {
        CHAR_A path[MOS_SECURITY__FILE_NAME_LEN];
        Mos_RC rc = contOstrel_SecFilePath(CONT_OSTREL__KEY_PAIR_FILE, path, sizeof(path))
                        ? contOstrel_LoadRc(contOstrel_ApplyAuth(pOstrel, path))
                        : MOS_RC__PARAMETER_OUT_OF_RANGE;
        if (rc != MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Error while updating security configuration: %s",
                      mosRc_GetStr(rc));
            return rc;
        }
    }
    pOstrel->bSecurityEnabled = TRUE;
    return MOS_RC__SUCCESS;
}

void contOstrel_DisableSecurity(ContOstrel *pOstrel)
{
    ContOstrelSecGuard guard(pOstrel);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Disabling security");
    pOstrel->bSecurityEnabled = FALSE;
}

Mos_RC contOstrel_GenerateCsr(ContOstrel *pOstrel)
{
    ContOstrelSecGuard guard(pOstrel);
    if (!pOstrel->bSecurityEnabled) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Can't generate CSR when security is not enabled");
        return MOS_RC__SECURITY_IS_DISABLED;
    }
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Generate the CSR");
    CHAR_A path[MOS_SECURITY__FILE_NAME_LEN];
    if (!contOstrel_SecFilePath(CONT_OSTREL__KEY_PAIR_FILE, path, sizeof(path)))
        return MOS_RC__PARAMETER_OUT_OF_RANGE;
    CHAR_A password[CONT_OSTREL__SEC_PASSWORD_LEN + 1];
    contOstrel_SecPassword(pOstrel->tgtId, password);
    CHAR_A uniqName[16];
    snprintf(uniqName, sizeof(uniqName), kUniqNameFmt, (UINT32)pOstrel->tgtId);
    // Runs on the blocking-call service; a failure leaves any earlier files as they were.
    const Mos_RC rc = mosSecurity_GenerateKeyPairFile(contOstrel_SecDir(), CONT_OSTREL__KEY_PAIR_FILE, password,
                                                      CONT_OSTREL__SEC_PASSWORD_LEN, uniqName, CONT_OSTREL__CSR_FILE);
    if (rc != MOS_RC__SUCCESS)
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Key pair and request not generated: %s", mosRc_GetStr(rc));
    return rc;
}

Mos_RC contOstrel_UpdateCertificate(ContOstrel *pOstrel, const CHAR_A *pCertificate, UINT32 certificateLen)
{
    ContOstrelSecGuard guard(pOstrel);
    if (!pOstrel->bSecurityEnabled) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Can't update the certificate when security is not enabled");
        return MOS_RC__SECURITY_IS_DISABLED;
    }
    CHAR_A path[MOS_SECURITY__FILE_NAME_LEN];
    if (!contOstrel_SecFilePath(CONT_OSTREL__KEY_PAIR_FILE, path, sizeof(path)))
        return MOS_RC__PARAMETER_OUT_OF_RANGE;
    if (access(path, F_OK) != 0) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "certificate does not exist");
        return MOS_RC__CERTIFICATE_DOES_NOT_EXIST;
    }
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Build the new certificate file");
    const std::string cert(pCertificate, strnlen(pCertificate, certificateLen));
    CHAR_A password[CONT_OSTREL__SEC_PASSWORD_LEN + 1];
    contOstrel_SecPassword(pOstrel->tgtId, password);
    const std::string pathStr(path);
    Mos_RC rc = contOstrel_RunBlocking([&]() -> Mos_RC {
        std::string text;
        if (!contOstrel_ReadFile(pathStr, &text))
            return MOS_RC__CERTIFICATE_DOES_NOT_EXIST;
        // A file without a certificate yet is all key.
        text.resize(std::min(text.find(CONT_OSTREL__CERT_MARKER), text.size()));
        return contOstrel_InstallKeyPairText(pathStr, text + cert, password);
    });
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Certificate of %u bytes not installed: %s", certificateLen,
                  mosRc_GetStr(rc));
        return rc;
    }
    rc = contOstrel_LoadRc(contOstrel_ApplyAuth(pOstrel, path));
    if (rc != MOS_RC__SUCCESS)
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Error while updating security configuration: %s",
                  mosRc_GetStr(rc));
    return rc;
}
