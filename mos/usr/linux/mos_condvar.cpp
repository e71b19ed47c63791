#include "mos/usr/linux/mos_condvar.h"

#include <cerrno>
#include <ctime>

#include "mos/mos_assert.h"
#include "mos/mos_fastlock.h"

void mosOSWCond_Init(MosOsw_CondVar *pCondVar)
{
    MOS_ASSERT(pCondVar != ((void *)0));
    pthread_condattr_t attr;
    int rc = pthread_condattr_init(&attr);
    MOS_ASSERT(rc == 0);
    rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    MOS_ASSERT(rc == 0);
    rc = pthread_cond_init(&pCondVar->cond, &attr);
    MOS_ASSERT(rc == 0);
    pthread_condattr_destroy(&attr);
}

void mosOSWCond_Destroy(MosOsw_CondVar *pCondVar)
{
    MOS_ASSERT(pCondVar != ((void *)0));
    int rc = pthread_cond_destroy(&pCondVar->cond);
    MOS_ASSERT(rc == 0);
}

// The deadline lies on a whole millisecond: now rounded up to the millisecond plus the wait.
static timespec mosOSWCond_Deadline(UINT64 timeToWaitMillis)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    UINT64 sumMillis = timeToWaitMillis + ((UINT64)now.tv_nsec + 999999) / 1000000;
    timespec deadline;
    deadline.tv_sec = now.tv_sec + (time_t)(sumMillis / 1000);
    deadline.tv_nsec = (long)((sumMillis % 1000) * 1000000);
    return deadline;
}

Mos_RC mosOSWCond_WaitBase(MosOsw_CondVar *pCondVar, MosFastlock_Base *pLock)
{
    MOS_ASSERT(pCondVar != ((void *)0));
    MOS_ASSERT(!((pLock)->lock.bSpinLock));
    int rc = pthread_cond_wait(&pCondVar->cond, &pLock->lock.osLock.mutex);
    MOS_ASSERT(rc == 0);
    return MOS_RC__SUCCESS;
}

Mos_RC mosOSWCond_TimedWaitBase(MosOsw_CondVar *pCondVar, MosFastlock_Base *pLock, UINT64 timeToWaitMillis)
{
    MOS_ASSERT(pCondVar != ((void *)0));
    MOS_ASSERT(!((pLock)->lock.bSpinLock));
    timespec deadline = mosOSWCond_Deadline(timeToWaitMillis);
    int rc = pthread_cond_timedwait(&pCondVar->cond, &pLock->lock.osLock.mutex, &deadline);
    MOS_ASSERT((rc == 0) || (rc == 110));
    return rc == 0 ? MOS_RC__SUCCESS : MOS_RC__TIMEOUT;
}

Mos_RC mosOSWCond_Wait(MosOsw_CondVar *pCondVar, MosFastlock_Base *pLock)
{
    MOS_ASSERT(pCondVar != ((void *)0));
    MOS_ASSERT(!((pLock)->lock.bSpinLock));
    mosFastlockBase_ReleaseImplicit(pLock);
    Mos_RC rc = mosOSWCond_WaitBase(pCondVar, pLock);
    mosFastlockBase_AcquireImplicit(pLock);
    return rc;
}

Mos_RC mosOSWCond_TimedWait(MosOsw_CondVar *pCondVar, MosFastlock_Base *pLock, UINT64 timeToWaitMillis)
{
    MOS_ASSERT(pCondVar != ((void *)0));
    MOS_ASSERT(!((pLock)->lock.bSpinLock));
    mosFastlockBase_ReleaseImplicit(pLock);
    Mos_RC rc = mosOSWCond_TimedWaitBase(pCondVar, pLock, timeToWaitMillis);
    mosFastlockBase_AcquireImplicit(pLock);
    return rc;
}

void mosOSWCond_Signal(MosOsw_CondVar *pCondVar)
{
    int rc = pthread_cond_signal(&pCondVar->cond);
    MOS_ASSERT(rc == 0);
}

void mosOSWCond_Broadcast(MosOsw_CondVar *pCondVar)
{
    int rc = pthread_cond_broadcast(&pCondVar->cond);
    MOS_ASSERT(rc == 0);
}
