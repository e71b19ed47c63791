#include "mos/usr/security/mos_auth.h"

#include <cstdio>
#include <cstring>

#include "mos/mos_contention.h"
#include "mos/mos_trace.h"
#include "mos/usr/security/mos_auth_intrn.h"

MosAuth_Manager mosAuth_Manager_G;

namespace {

constexpr MosContentionId kAuthLockId = 72;

// Reads the first certificate and the first private key of the key-pair file.
Mos_RC loadKeyPair(const MosAuthConf *pConf)
{
    MosAuth_Manager &m = mosAuth_Manager_G;
    memcpy(m.password, pConf->password, sizeof(Password));
    m.password[sizeof(Password) - 1] = '\0';
    FILE *pFile = fopen(pConf->keyPairFile, "r");
    Mos_RC rc = MOS_RC__SUCCESS;
    if (pFile == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to open file %s", pConf->keyPairFile);
        rc = MOS_RC__ERROR_LOADING_AUTH_KEY_PAIR;
    } else if ((m.pCertificate = PEM_read_X509_p(pFile, nullptr, nullptr, nullptr)) == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to read certificate from %s", pConf->keyPairFile);
        rc = MOS_RC__ERROR_LOADING_AUTH_KEY_PAIR;
    } else {
        rewind(pFile);
        m.pPrivateKey = PEM_read_PrivateKey_p(pFile, nullptr, mosAuth_PasswordCB, nullptr);
        if (m.pPrivateKey == nullptr) {
            MOS_ERROR(MOS_COMP_MOS, "Failed to read private key from %s", pConf->keyPairFile);
            rc = MOS_RC__ERROR_LOADING_AUTH_KEY_PAIR;
        }
    }
    if (pFile != nullptr)
        fclose(pFile);
    if (rc != MOS_RC__SUCCESS)
        MOS_ERROR(MOS_COMP_MOS, "Failed to load key-pair");
    return rc;
}

Mos_RC loadTrustStore(const MosAuthConf *pConf)
{
    MosAuth_Manager &m = mosAuth_Manager_G;
    m.pTrustCertStore = X509_STORE_new_p();
    const char *pFailure = nullptr;
    if (m.pTrustCertStore == nullptr)
        pFailure = "Failed to create cert store";
    else if (pConf->trustedCertFile[0] == '\0')
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_MED, "No certificates file");
    else if (X509_STORE_load_locations_p(m.pTrustCertStore, pConf->trustedCertFile, nullptr) != 1)
        pFailure = "Failed to load certificates";
    if (pFailure == nullptr)
        return MOS_RC__SUCCESS;
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_MED, "%s", pFailure);
    MOS_ERROR(MOS_COMP_MOS, "Failed to load certificates");
    return MOS_RC__ERROR_LOADING_AUTH_TRUST;
}

} // namespace

int mosAuth_PasswordCB(char *buf, int size, int rwflag, void *pUserData)
{
    MOS_UNUSED(rwflag);
    MOS_UNUSED(pUserData);
    return mosSecurity_HandOutPassword(buf, size, mosAuth_Manager_G.password);
}

void mosAuth_DeleteConf(void)
{
    MosAuth_Manager &m = mosAuth_Manager_G;
    if (m.pContext != nullptr)
        EVP_MD_CTX_free_p(m.pContext);
    if (m.pCertificate != nullptr)
        X509_free_p(m.pCertificate);
    if (m.pPrivateKey != nullptr)
        EVP_PKEY_free_p(m.pPrivateKey);
    if (m.pTrustCertStore != nullptr)
        X509_STORE_free_p(m.pTrustCertStore);
    m.pContext = nullptr;
    m.pCertificate = nullptr;
    m.pPrivateKey = nullptr;
    m.pTrustCertStore = nullptr;
    memset(m.password, 0, sizeof(m.password));
    m.bEnable = FALSE;
}

Mos_RC mosAuth_ApplyConf(const MosAuthConf *pConf)
{
    if (pConf == nullptr) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Invalid authentication configuration");
        return MOS_RC__ERROR;
    }
    MosAuth_Manager &m = mosAuth_Manager_G;
    if (!pConf->bEnable) {
        m.bEnable = FALSE;
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Auth is disabled");
        return MOS_RC__SUCCESS;
    }
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW,
              "The authentication configuration is:\n\tState: %s\n\tKey Pair File: %s\n\tTrusted Certificates File: %s\n\n",
              "Enabled", pConf->keyPairFile, pConf->trustedCertFile);
    ERR_clear_error_p();
    m.pContext = EVP_MD_CTX_new_p();
    if (m.pContext == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to create context");
        return MOS_RC__ERROR;
    }
    Mos_RC rc = MOS_RC__SUCCESS;
    if (pConf->keyPairFile[0] != '\0')
        rc = loadKeyPair(pConf);
    else
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_MED, "No key-pair file");
    if (rc == MOS_RC__SUCCESS)
        rc = loadTrustStore(pConf);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    m.bEnable = TRUE;
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Applied configuration successfully");
    return MOS_RC__SUCCESS;
}

Mos_RC mosAuth_Init(const MosAuthConf *pConf)
{
    memset(&mosAuth_Manager_G, 0, sizeof(mosAuth_Manager_G));
    if (mosBlocking_Create(&mosAuth_Manager_G.blockingObj, "MOS_Auth_Blocking", 1) != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to create blocking object");
        return MOS_RC__ERROR;
    }
    mosFastlockBase_Create(&mosAuth_Manager_G.lock, kAuthLockId, __FILE__, __LINE__);
    mosAuth_Manager_G.bInitialized = TRUE;
    const Mos_RC rc = mosAuth_ApplyConf(pConf);
    if (rc != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to apply configuration (%s)", mosRc_GetStr(rc));
        mosAuth_Fini();
        return rc;
    }
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Authentication initialized successfully");
    return MOS_RC__SUCCESS;
}

void mosAuth_Fini(void)
{
    if (!mosAuth_Manager_G.bInitialized)
        return;
    mosAuth_DeleteConf();
    mosFastlockBase_Destroy(&mosAuth_Manager_G.lock);
    mosBlocking_Destroy(&mosAuth_Manager_G.blockingObj);
    memset(&mosAuth_Manager_G, 0, sizeof(mosAuth_Manager_G));
}

BOOL mosAuth_IsInitialized(void)
{
    return mosAuth_Manager_G.bInitialized;
}

BOOL mosAuth_IsEnabled(void)
{
    return mosAuth_Manager_G.bEnable;
}

// Loading reads files, so it runs after the lock is released (no fast lock is held across I/O);
// the service reads as disabled until the apply sets bEnable at its end.
Mos_RC mosAuth_UpdateConf(const MosAuthConf *pConf)
{
    mosFastlockBase_Acquire(&mosAuth_Manager_G.lock);
    mosAuth_DeleteConf();
    mosFastlockBase_Release(&mosAuth_Manager_G.lock);
    return mosAuth_ApplyConf(pConf);
}
