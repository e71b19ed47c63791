// OS condition variables on the monotonic clock, waited on with an adaptive fast lock.
#pragma once

#include <pthread.h>

#include "mos/mos_rc.h"
#include "mos/usr/linux/mos_fastlock.h"

struct MosOsw_CondVar {
    pthread_cond_t cond;
};

void mosOSWCond_Init(MosOsw_CondVar *pCondVar);
void mosOSWCond_Destroy(MosOsw_CondVar *pCondVar);
Mos_RC mosOSWCond_Wait(MosOsw_CondVar *pCondVar, MosFastlock_Base *pLock);
Mos_RC mosOSWCond_TimedWait(MosOsw_CondVar *pCondVar, MosFastlock_Base *pLock, UINT64 timeToWaitMillis);
// As above, without the owner and count bookkeeping around the wait.
Mos_RC mosOSWCond_WaitBase(MosOsw_CondVar *pCondVar, MosFastlock_Base *pLock);
Mos_RC mosOSWCond_TimedWaitBase(MosOsw_CondVar *pCondVar, MosFastlock_Base *pLock, UINT64 timeToWaitMillis);
void mosOSWCond_Signal(MosOsw_CondVar *pCondVar);
void mosOSWCond_Broadcast(MosOsw_CondVar *pCondVar);
