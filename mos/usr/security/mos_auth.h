// Challenge-response authentication: the service's key material and its life cycle.
//
// The service holds this process's certificate and private key and a store of trusted
// certificates, loaded from the files of a MosAuthConf. Every update drops everything first, so a
// failed update leaves the service disabled. A fast lock serialises updates with the users of the
// key material.
#pragma once

#include "mos/mos_blocking.h"
#include "mos/mos_rc.h"
#include "mos/usr/security/mos_security_conf.h"

// Zeroes the manager, creates "MOS_Auth_Blocking" and the lock and applies pConf.
// MOS_RC__ERROR_LOADING_AUTH_KEY_PAIR or MOS_RC__ERROR_LOADING_AUTH_TRUST when a file cannot be used.
Mos_RC mosAuth_Init(const MosAuthConf *pConf);
void mosAuth_Fini(void);
BOOL mosAuth_IsInitialized(void);
// Drops the current configuration and applies pConf; the result is the apply's.
Mos_RC mosAuth_UpdateConf(const MosAuthConf *pConf);
// TRUE while a configuration with bEnable was applied completely.
BOOL mosAuth_IsEnabled(void);
