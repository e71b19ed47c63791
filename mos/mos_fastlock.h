// Fast locks for short critical sections, the extended lock with hold-time statistics, and
// OS condition variables on the monotonic clock.
#pragma once

#include "mos/mos_rc.h"
#include "mos/usr/linux/mos_fastlock.h"

struct MosFastlock_InitParams {
    UINT64 acquirePeriodLog;
    UINT64 contentionLimit;
    UINT64 maxLatencyCycles;
    BOOL bUseSpinLocks;
};

Mos_RC mosFastlockLayer_Create(const MosFastlock_InitParams *pInitParams);
void mosFastlockLayer_Destroy(void);
BOOL mosFastlockLayer_UseSpinlocks(void);
// Test hook: the layer's current settings.
MosFastlock_InitParams mosFastlockLayer_GetParams(void);

void mosFastlockBase_Create(MosFastlock_Base *pLock, MosContentionId creationId, const char *pFile, UINT32 line);
void mosFastlockBase_CreateWithRank(MosFastlock_Base *pLock, MosContentionId creationId, UINT32 rank,
                                    const char *pFile, UINT32 line);
void mosFastlockBase_CreateDebug(MosFastlock_Base *pLock, MosContentionId creationId, const char *pFile,
                                 UINT32 line);
BOOL mosFastlockBase_Acquire(MosFastlock_Base *pLock);
void mosFastlockBase_Release(MosFastlock_Base *pLock);
void mosFastlockBase_Destroy(MosFastlock_Base *pLock);
void mosFastlockBase_AcquireImplicit(MosFastlock_Base *pLock);
void mosFastlockBase_ReleaseImplicit(MosFastlock_Base *pLock);
UINT32 mosFastlock_NumAcquires(void);
// Asks this OS thread to call pRun as soon as it releases its last fast lock. The uthreads hand
// their pending resumptions (mosUmt_RunPendingResumes) this way: a uthread of the foreign
// scheduler runs nested on the thread that resumes it, so it must not start while that thread
// still holds the lock it will want. One work function per thread: a later call replaces it.
typedef void (*MosFastlock_PendingFunc)(void);
void mosFastlock_SetPendingWork(MosFastlock_PendingFunc pRun);
BOOL mosFastlockBase_IsLockedByCurrentThread(const MosFastlock_Base *pLock);

#define MOS_FASTLOCK_CREATE(pLock, id) mosFastlockBase_Create((pLock), (id), __FILE__, __LINE__)
#define MOS_FASTLOCK_CREATE_ADAPTIVE(pLock, id) mosFastlockBase_AdaptiveCreate((pLock), (id), __FILE__, __LINE__)
#define MOS_FASTLOCK_CREATE_SPIN(pLock, id) mosFastlockBase_SpinCreate((pLock), (id), __FILE__, __LINE__)

// Holds a fast lock for the scope; for sections that neither suspend nor do I/O.
class MosFastlockGuard {
  public:
    explicit MosFastlockGuard(MosFastlock_Base *pLock) : pLock_(pLock) { mosFastlockBase_Acquire(pLock_); }
    ~MosFastlockGuard() { mosFastlockBase_Release(pLock_); }
    MosFastlockGuard(const MosFastlockGuard &) = delete;
    MosFastlockGuard &operator=(const MosFastlockGuard &) = delete;

  private:
    MosFastlock_Base *pLock_;
};

struct MosFastlockEx {
    MosFastlock_Base lock;
    const char *pFileName;
    UINT32 line;
    UINT64 startCycles;
    UINT64 totalCycles;
    UINT64 numAcquires;
    UINT64 numContentions;
};

void mosFastlockEx_Create(MosFastlockEx *pLock, MosContentionId creationId, const char *pFile, UINT32 line);
void mosFastlockEx_CreateAdaptive(MosFastlockEx *pLock, MosContentionId creationId, const char *pFile, UINT32 line);
void mosFastlockEx_CreateSpin(MosFastlockEx *pLock, MosContentionId creationId, const char *pFile, UINT32 line);
void mosFastlockEx_CreateDebug(MosFastlockEx *pLock, MosContentionId creationId, const char *pFile, UINT32 line);
void mosFastlockEx_Destroy(MosFastlockEx *pLock);
void mosFastlockEx_Acquire(MosFastlockEx *pLock);
void mosFastlockEx_AcquireImplicit(MosFastlockEx *pLock);
void mosFastlockEx_Release(MosFastlockEx *pLock);
void mosFastlockEx_ReleaseImplicit(MosFastlockEx *pLock);
void mosFastlockEx_PeriodArrived(MosFastlockEx *pLock);

