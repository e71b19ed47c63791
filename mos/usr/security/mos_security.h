// The security layer: the process-wide switch for secure transport and identity.
//
// It owns the one security configuration record of the process (mosSecurityConf_G) and its 16
// keys ("security_*", "ssl_*", "auth_*"), and brings up, in this order, the run-time binding of
// OpenSSL (mos_security_lib.h), the TLS contexts (mos_ssl.h) and the challenge-response
// authentication (mos_auth.h). The program is never linked against OpenSSL: when the library or
// one of its functions is missing, initialisation fails with a code and a trace line and the
// process runs on without security (the messaging layer then refuses TLS paths).
//
// Life cycle: uninitialised, then initialised after a successful mosSecurity_Init with security
// requested. mosSecurity_Init may be called again (the controller does so when security is
// enabled by command); a repeated call keeps the binding and every context that sessions still
// use, so it never pulls the library or a context from under a live session.
//
// Concurrency: mosSecurity_Init and the unload step run on one thread at a time (start-up, unload
// or the controller's command thread). The initialised flag is read by any thread; with the
// asynchronous load it turns on from the layer's own blocking-call thread.
#pragma once

#include "mos/mos_blocking.h"
#include "mos/mos_conf.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"
#include "mos/usr/security/mos_security_conf.h"

extern MosSecurityConf mosSecurityConf_G;

// Resets the record to zeroes, then hands out the key table (16 entries). Call it before the
// configuration file is read: called afterwards it wipes what the file set.
void mosSecurity_GetConfEntry(MosConfEntry **ppEntries, UINT32 *pEntriesSize);
void mosSecurity_ConfReset(void);
// The record; callers may change fields in place before mosSecurity_Init or the updates.
MosSecurityConf *mosSecurity_GetConf(void);

// The runtime layer's pair. Load initialises from mosSecurityConf_G, on the layer's blocking-call
// thread when bAsynchronousLoad is set (then it returns MOS_RC__SUCCESS at once).
Mos_RC mosSecurityLayer_Load(void *pArg);
void mosSecurityLayer_Destroy(void);

// Initialises from pConf (null: mosSecurityConf_G). MOS_RC__SUCCESS also when no enable key is set
// (the layer then stays uninitialised and OpenSSL is not opened). Failures: the binding's codes
// (MOS_RC__ERROR_LOADING_OPENSSL, MOS_RC__OPENSSL_VERSION_TOO_OLD) and those of the TLS contexts
// and the authentication service; the layer stays uninitialised.
Mos_RC mosSecurity_Init(MosSecurityConf *pConf);
// Queues mosSecurity_Init(pConf) on the layer's one-thread blocking service ("MOS_Security_Init_
// Blocking"); pReq and pConf must live until it ran. MOS_RC__SUCCESS when queued, MOS_RC__ERROR
// when the service cannot be created. The outcome shows only through mosSecurity_IsInitialized.
Mos_RC mosSecurity_InitAsync(MosBlocking_Req *pReq, MosSecurityConf *pConf);
BOOL mosSecurity_IsInitialized(void);

// MOS_RC__SUCCESS when initialised, MOS_RC__PENDING while an asynchronous start was begun, else
// the result of a trial binding run as a blocking call (a uthread caller is suspended meanwhile).
Mos_RC mosSecurity_IsSupported(void);

// The library's version text into pVersionBuf. MOS_RC__SECURITY_NOT_SUPPORTED when the layer is not
// initialised, MOS_RC__BUF_TOO_SMALL when the text does not fit; *pbIsSupported (optional) tells
// whether the version is at least 1.0.1e (0x1000105F).
Mos_RC mosSecurity_GetLibVersion(CHAR_A *pVersionBuf, UINT32 bufLen, BOOL *pbIsSupported);
