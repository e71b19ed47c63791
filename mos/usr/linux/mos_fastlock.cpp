#include "mos/usr/linux/mos_fastlock.h"

#include <cerrno>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <x86intrin.h>

#include "mos/mos_assert.h"

const MosFastlock_Dispatch dispatchFunc_G[2] = {
    {mosFastlockBase_AdaptiveCreate, mosFastlockBase_AdaptiveCreateDebug, mosFastlock_MutexAcquire,
     mosFastlock_TryMutexAcquire, mosFastlock_MutexRelease, mosFastlock_MutexDestroy},
    {mosFastlockBase_SpinCreate, mosFastlockBase_SpinCreateDebug, mosFastlock_SpinAcquire, mosFastlock_TrySpinAcquire,
     mosFastlock_SpinRelease, mosFastlock_SpinDestroy},
};

static void mosFastlock_ContentionInit(MosFastlock_Base *pLock, MosContentionId creationId, const char *pFile,
                                       UINT32 line)
{
    MOS_ASSERT(MosContention_Init(&(pLock->contObj), creationId, MOS_CONT_LOCK_TYPE__FASTLOCK, pFile, line) ==
               MOS_RC__SUCCESS);
}

static void mosFastlock_AdaptiveCreateKind(MosFastlock_Base *pLock, MosContentionId creationId, const char *pFile,
                                           UINT32 line, int kind)
{
    MOS_ASSERT(pLock != ((void *)0));
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    MOS_ASSERT(rc == 0);
    rc = pthread_mutexattr_settype(&attr, kind);
    MOS_ASSERT(rc == 0);
    rc = pthread_mutex_init(&pLock->lock.osLock.mutex, &attr);
    MOS_ASSERT(rc == 0);
    rc = pthread_mutexattr_destroy(&attr);
    MOS_ASSERT(rc == 0);
    pLock->lock.owner = 0;
    pLock->lock.bSpinLock = 0;
    mosFastlock_ContentionInit(pLock, creationId, pFile, line);
}

void mosFastlockBase_AdaptiveCreate(MosFastlock_Base *pLock, MosContentionId creationId, const char *pFile,
                                    UINT32 line)
{
    mosFastlock_AdaptiveCreateKind(pLock, creationId, pFile, line, PTHREAD_MUTEX_ADAPTIVE_NP);
}

void mosFastlockBase_AdaptiveCreateDebug(MosFastlock_Base *pLock, MosContentionId creationId, const char *pFile,
                                         UINT32 line)
{
    mosFastlock_AdaptiveCreateKind(pLock, creationId, pFile, line, PTHREAD_MUTEX_ERRORCHECK);
}

void mosFastlockBase_SpinCreate(MosFastlock_Base *pLock, MosContentionId creationId, const char *pFile, UINT32 line)
{
    MOS_ASSERT(pLock != ((void *)0));
    int rc = pthread_spin_init(&pLock->lock.osLock.spin, PTHREAD_PROCESS_PRIVATE);
    MOS_ASSERT(rc == 0);
    pLock->lock.owner = 0;
    pLock->lock.bSpinLock = 1;
    mosFastlock_ContentionInit(pLock, creationId, pFile, line);
}

void mosFastlockBase_SpinCreateDebug(MosFastlock_Base *pLock, MosContentionId creationId, const char *pFile,
                                     UINT32 line)
{
    mosFastlockBase_SpinCreate(pLock, creationId, pFile, line);
}

void mosFastlockOs_LockWordContended(MosFastlock_Base *pLock)
{
    int *pWord = &pLock->lock.osLock.mutex.__data.__lock;
    // The holder usually leaves within a short section: look a while before sleeping.
    constexpr int kSpins = 100;
    for (int i = 0; i < kSpins; i++) {
        if (__atomic_load_n(pWord, __ATOMIC_RELAXED) == 0 && mosFastlockOs_TryWord(pLock))
            return;
        _mm_pause();
    }
    // Marked 2 while anyone may sleep, so that the release wakes one sleeper.
    while (__atomic_exchange_n(pWord, 2, __ATOMIC_ACQUIRE) != 0) {
        long rc = syscall(SYS_futex, pWord, FUTEX_WAIT_PRIVATE, 2, nullptr, nullptr, 0);
        MOS_ASSERT(rc == 0 || errno == EAGAIN || errno == EINTR);
    }
}

void mosFastlockOs_WakeWord(MosFastlock_Base *pLock)
{
    long rc = syscall(SYS_futex, &pLock->lock.osLock.mutex.__data.__lock, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    MOS_ASSERT(rc >= 0);
}

void mosFastlock_MutexAcquire(MosFastlock_Base *pLock)
{
    if (mosFastlockOs_IsPlainAdaptive(pLock)) {
        if (!mosFastlockOs_TryWord(pLock))
            mosFastlockOs_LockWordContended(pLock);
        return;
    }
    int rc = pthread_mutex_lock(&pLock->lock.osLock.mutex);
    MOS_ASSERT(rc == 0);
}

BOOL mosFastlock_TryMutexAcquire(MosFastlock_Base *pLock)
{
    if (mosFastlockOs_IsPlainAdaptive(pLock))
        return mosFastlockOs_TryWord(pLock) ? TRUE : FALSE;
    int rc = pthread_mutex_trylock(&pLock->lock.osLock.mutex);
    if (rc == 0)
        return TRUE;
    MOS_ASSERT(rc == 16);
    return FALSE;
}

void mosFastlock_MutexRelease(MosFastlock_Base *pLock)
{
    if (mosFastlockOs_IsPlainAdaptive(pLock)) {
        mosFastlockOs_UnlockWord(pLock);
        return;
    }
    int rc = pthread_mutex_unlock(&pLock->lock.osLock.mutex);
    MOS_ASSERT(rc == 0);
}

void mosFastlock_MutexDestroy(MosFastlock_Base *pLock)
{
    int rc = pthread_mutex_destroy(&pLock->lock.osLock.mutex);
    MOS_ASSERT(rc == 0);
}

void mosFastlock_SpinAcquire(MosFastlock_Base *pLock)
{
    int rc = pthread_spin_lock(&pLock->lock.osLock.spin);
    MOS_ASSERT(rc == 0);
}

BOOL mosFastlock_TrySpinAcquire(MosFastlock_Base *pLock)
{
    int rc = pthread_spin_trylock(&pLock->lock.osLock.spin);
    if (rc == 0)
        return TRUE;
    MOS_ASSERT(rc == 16);
    return FALSE;
}

void mosFastlock_SpinRelease(MosFastlock_Base *pLock)
{
    int rc = pthread_spin_unlock(&pLock->lock.osLock.spin);
    MOS_ASSERT(rc == 0);
}

void mosFastlock_SpinDestroy(MosFastlock_Base *pLock)
{
    int rc = pthread_spin_destroy(&pLock->lock.osLock.spin);
    MOS_ASSERT(rc == 0);
}
