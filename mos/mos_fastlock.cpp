#include "mos/mos_fastlock.h"
#include "mos/mos_tls.h"

#include <x86intrin.h>

#include "mos/mos_assert.h"

namespace {
constexpr MosFastlock_InitParams kFastlockDefaults = {10, 10, 60000, FALSE};
MosFastlock_InitParams fastlockParams_G = kFastlockDefaults;
thread_local UINT32 tlsLockAcquires_G = 0;
// Set when work waits for this OS thread to hold no fast lock (see mosFastlock_SetPendingWork).
thread_local MosFastlock_PendingFunc tlsPendingWork_G = nullptr;
// This OS thread's pthread_self(), kept at hand for the owner field of every acquisition.
thread_local pthread_t tlsSelf_G = 0;

inline pthread_t mosFastlock_Self(void)
{
    if (__builtin_expect(tlsSelf_G == 0, 0))
        tlsSelf_G = pthread_self();
    return tlsSelf_G;
}


MOS_TLS_ACCESSOR(MosFastlock_PendingFunc, mosFastlock_PendingWork, tlsPendingWork_G)

inline const MosFastlock_Dispatch &mosFastlock_Row(const MosFastlock_Base *pLock)
{
    return dispatchFunc_G[pLock->lock.bSpinLock ? 1 : 0];
}
} // namespace

Mos_RC mosFastlockLayer_Create(const MosFastlock_InitParams *pInitParams)
{
    fastlockParams_G = kFastlockDefaults;
    if (pInitParams == nullptr)
        return MOS_RC__SUCCESS;
    if (pInitParams->acquirePeriodLog != 0)
        fastlockParams_G.acquirePeriodLog = pInitParams->acquirePeriodLog;
    if (pInitParams->contentionLimit != 0)
        fastlockParams_G.contentionLimit = pInitParams->contentionLimit;
    if (pInitParams->maxLatencyCycles != 0)
        fastlockParams_G.maxLatencyCycles = pInitParams->maxLatencyCycles;
    if (pInitParams->bUseSpinLocks)
        fastlockParams_G.bUseSpinLocks = TRUE;
    return MOS_RC__SUCCESS;
}

void mosFastlockLayer_Destroy(void) {}

BOOL mosFastlockLayer_UseSpinlocks(void)
{
    return fastlockParams_G.bUseSpinLocks;
}

MosFastlock_InitParams mosFastlockLayer_GetParams(void)
{
    return fastlockParams_G;
}

void mosFastlockBase_Create(MosFastlock_Base *pLock, MosContentionId creationId, const char *pFile, UINT32 line)
{
    dispatchFunc_G[fastlockParams_G.bUseSpinLocks ? 1 : 0].create(pLock, creationId, pFile, line);
}

void mosFastlockBase_CreateWithRank(MosFastlock_Base *pLock, MosContentionId creationId, UINT32 rank,
                                    const char *pFile, UINT32 line)
{
    MOS_UNUSED(rank);
    mosFastlockBase_Create(pLock, creationId, pFile, line);
}

void mosFastlockBase_CreateDebug(MosFastlock_Base *pLock, MosContentionId creationId, const char *pFile,
                                 UINT32 line)
{
    dispatchFunc_G[fastlockParams_G.bUseSpinLocks ? 1 : 0].createDebug(pLock, creationId, pFile, line);
}

// The bodies below touch the thread's counters directly: none of them can suspend, so the
// thread-local slot they use is that of the OS thread running them from start to end.
void mosFastlockBase_AcquireImplicit(MosFastlock_Base *pLock)
{
    pLock->lock.owner = mosFastlock_Self();
    tlsLockAcquires_G++;
}

void mosFastlockBase_ReleaseImplicit(MosFastlock_Base *pLock)
{
    pLock->lock.owner = 0;
    MOS_ASSERT_WITH_DESC(tlsLockAcquires_G, "tlsLockAcquires_G");
    tlsLockAcquires_G--;
}

// The uncontended path is one atomic operation on the lock's own word, inline: no table, no
// library or system call. Only a busy lock goes on to the blocking acquire of its kind (an
// adaptive one spins a while before it sleeps in the kernel).
BOOL mosFastlockBase_Acquire(MosFastlock_Base *pLock)
{
    BOOL bContended = FALSE;
    if (__builtin_expect(mosFastlockOs_IsPlainAdaptive(pLock), 1)) {
        if (__builtin_expect(!mosFastlockOs_TryWord(pLock), 0)) {
            mosFastlockOs_LockWordContended(pLock);
            bContended = TRUE;
        }
    } else {
        const bool bSpin = pLock->lock.bSpinLock;
        const int rc = bSpin ? pthread_spin_trylock(&pLock->lock.osLock.spin)
                             : pthread_mutex_trylock(&pLock->lock.osLock.mutex);
        if (rc != 0) {
            MOS_ASSERT(rc == 16);
            if (bSpin)
                mosFastlock_SpinAcquire(pLock);
            else
                mosFastlock_MutexAcquire(pLock);
            bContended = TRUE;
        }
    }
    pLock->lock.owner = mosFastlock_Self();
    tlsLockAcquires_G++;
    return bContended;
}

void mosFastlockBase_Release(MosFastlock_Base *pLock)
{
    pLock->lock.owner = 0;
    const UINT32 held = tlsLockAcquires_G;
    MOS_ASSERT_WITH_DESC(held, "tlsLockAcquires_G");
    tlsLockAcquires_G = held - 1;
    if (__builtin_expect(mosFastlockOs_IsPlainAdaptive(pLock), 1)) {
        mosFastlockOs_UnlockWord(pLock);
    } else {
        const int rc = pLock->lock.bSpinLock ? pthread_spin_unlock(&pLock->lock.osLock.spin)
                                             : pthread_mutex_unlock(&pLock->lock.osLock.mutex);
        MOS_ASSERT(rc == 0);
    }
    if (__builtin_expect(held == 1 && tlsPendingWork_G != nullptr, 0)) {
        const MosFastlock_PendingFunc pRun = tlsPendingWork_G;
        tlsPendingWork_G = nullptr;
        pRun();
    }
}

void mosFastlock_SetPendingWork(MosFastlock_PendingFunc pRun)
{
    *mosFastlock_PendingWork() = pRun;
}

void mosFastlockBase_Destroy(MosFastlock_Base *pLock)
{
    MosContention_Destroy(&pLock->contObj);
    mosFastlock_Row(pLock).destroy(pLock);
}

UINT32 mosFastlock_NumAcquires(void)
{
    return tlsLockAcquires_G;
}

BOOL mosFastlockBase_IsLockedByCurrentThread(const MosFastlock_Base *pLock)
{
    return pLock->lock.owner == mosFastlock_Self() ? TRUE : FALSE;
}

static void mosFastlockEx_Prepare(MosFastlockEx *pLock, const char *pFile, UINT32 line)
{
    *pLock = MosFastlockEx{};
    MOS_ASSERT(pFile != ((void *)0));
    pLock->pFileName = pFile;
    pLock->line = line;
}

void mosFastlockEx_Create(MosFastlockEx *pLock, MosContentionId creationId, const char *pFile, UINT32 line)
{
    mosFastlockEx_Prepare(pLock, pFile, line);
    mosFastlockBase_Create(&pLock->lock, creationId, pFile, line);
}

void mosFastlockEx_CreateAdaptive(MosFastlockEx *pLock, MosContentionId creationId, const char *pFile, UINT32 line)
{
    mosFastlockEx_Prepare(pLock, pFile, line);
    mosFastlockBase_AdaptiveCreate(&pLock->lock, creationId, pFile, line);
}

void mosFastlockEx_CreateSpin(MosFastlockEx *pLock, MosContentionId creationId, const char *pFile, UINT32 line)
{
    mosFastlockEx_Prepare(pLock, pFile, line);
    mosFastlockBase_SpinCreate(&pLock->lock, creationId, pFile, line);
}

void mosFastlockEx_CreateDebug(MosFastlockEx *pLock, MosContentionId creationId, const char *pFile, UINT32 line)
{
    mosFastlockEx_Prepare(pLock, pFile, line);
    mosFastlockBase_CreateDebug(&pLock->lock, creationId, pFile, line);
}

void mosFastlockEx_Destroy(MosFastlockEx *pLock)
{
    mosFastlockBase_Destroy(&pLock->lock);
    *pLock = MosFastlockEx{};
}

void mosFastlockEx_Acquire(MosFastlockEx *pLock)
{
    BOOL bContended = mosFastlockBase_Acquire(&pLock->lock);
    pLock->numContentions += bContended ? 1 : 0;
    pLock->numAcquires++;
    pLock->startCycles = __rdtsc();
}

void mosFastlockEx_AcquireImplicit(MosFastlockEx *pLock)
{
    pLock->numAcquires++;
    pLock->startCycles = __rdtsc();
    mosFastlockBase_AcquireImplicit(&pLock->lock);
}

void mosFastlockEx_PeriodArrived(MosFastlockEx *pLock)
{
    pLock->numContentions = 0;
    pLock->numAcquires = 0;
    pLock->totalCycles = 0;
}

static void mosFastlockEx_EndHold(MosFastlockEx *pLock)
{
    pLock->totalCycles += __rdtsc() - pLock->startCycles;
    UINT64 periodMask = (1ULL << fastlockParams_G.acquirePeriodLog) - 1;
    if ((pLock->numAcquires & periodMask) == 0)
        mosFastlockEx_PeriodArrived(pLock);
}

void mosFastlockEx_Release(MosFastlockEx *pLock)
{
    mosFastlockEx_EndHold(pLock);
    mosFastlockBase_Release(&pLock->lock);
}

void mosFastlockEx_ReleaseImplicit(MosFastlockEx *pLock)
{
    mosFastlockEx_EndHold(pLock);
    mosFastlockBase_ReleaseImplicit(&pLock->lock);
}
