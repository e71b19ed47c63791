// The TLS manager's record, for the security modules and their tests only.
#pragma once

#include "mos/mos_blocking.h"
#include "mos/mos_fastlock.h"
#include "mos/usr/security/mos_security_lib.h"
#include "mos/usr/security/mos_ssl.h"

// One context slot.
struct MosSslContextData {
    Password password; // holds the key's password only while the key is being loaded
    SSL_CTX *pSslCtx;  // null while the slot is empty
    UINT32 refCnt;     // sessions and queries that use the context
    MosFastlock_Base lock; // guards refCnt and pSslCtx
    BOOL bDisableClientAuth;
};

struct MosSsl_Manager {
    MosSslContextData contextData[MOS_SSL_CONTEXT_ID__LAST];
    MosBlocking blockingObj; // "MOS_SSL_Blocking": configuration updates
    INT32 sslDataIndex;      // the session data slot for "MOS SSL Data" (the peer's opaque)
    BOOL bEnable;            // sslConf.bEnable of the last applied configuration
    BOOL bInitialized;       // set by mosSsl_Init, cleared by mosSsl_Fini
};
extern MosSsl_Manager mosSsl_Manager_G;

// The slot's context read under its lock (null for an empty slot); the caller holds a reference.
SSL_CTX *mosSsl_GetContext(MosSslContextIdType contextId);
Mos_RC mosSsl_ApplyConf(const MosSslConf *pConf);
int mosSsl_PasswordCB(char *buf, int size, int rwflag, void *slot);
int mosSsl_VerificationCallback(int status, X509_STORE_CTX *storeCtx);
Mos_RC mosSsl_HandleError(int sslRC, const char *text, MosSslSocketHandle *pHandle);
// As mosSsl_UpdateConf, but a slot that sessions use keeps its context and counts as success: the
// security layer's repeated initialisation must leave live sessions alone.
Mos_RC mosSsl_ReapplyConf(const MosSslConf *pConf);
