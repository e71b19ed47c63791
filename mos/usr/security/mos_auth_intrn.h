// The authentication manager's record, for the security modules and their tests only.
#pragma once

#include "mos/mos_blocking.h"
#include "mos/mos_fastlock.h"
#include "mos/usr/security/mos_auth.h"
#include "mos/usr/security/mos_security_lib.h"

struct MosAuth_Manager {
    Password password;          // the private key's password, copied from the configuration
    X509 *pCertificate;         // own certificate
    EVP_PKEY *pPrivateKey;      // own private key
    EVP_MD_CTX *pContext;       // one digest context, reused by every signature and verification
    X509_STORE *pTrustCertStore;
    MosBlocking blockingObj;    // "MOS_Auth_Blocking"
    MosFastlock_Base lock;      // serialises updates and the users of the key material
    BOOL bEnable;
    BOOL bInitialized;
};
extern MosAuth_Manager mosAuth_Manager_G;

Mos_RC mosAuth_ApplyConf(const MosAuthConf *pConf);
void mosAuth_DeleteConf(void);
int mosAuth_PasswordCB(char *buf, int size, int rwflag, void *pUserData);
