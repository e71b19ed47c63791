// The two kinds of fast lock (adaptive mutex, spin lock) and their dispatch table.
#pragma once

#include <cstddef>
#include <pthread.h>

#include "mos/mos_contention.h"
#include "mos/mos_types.h"

struct MosFastlock_BaseOs {
    union {
        pthread_mutex_t mutex;
        pthread_spinlock_t spin;
    } osLock;
    pthread_t owner;
    BOOL bSpinLock;
};

struct MosFastlock_Base {
    MosFastlock_BaseOs lock;
    MosContentionLock contObj;
};

typedef void (*MosFastlock_CreateFn)(MosFastlock_Base *pLock, MosContentionId creationId, const char *pFile,
                                     UINT32 line);
typedef void (*MosFastlock_OpFn)(MosFastlock_Base *pLock);
typedef BOOL (*MosFastlock_TryFn)(MosFastlock_Base *pLock);

struct MosFastlock_Dispatch {
    MosFastlock_CreateFn create;
    MosFastlock_CreateFn createDebug;
    MosFastlock_OpFn acquire;
    MosFastlock_TryFn tryAcquire;
    MosFastlock_OpFn release;
    MosFastlock_OpFn destroy;
};

// Row 0: adaptive mutex, row 1: spin lock.
extern const MosFastlock_Dispatch dispatchFunc_G[2];

void mosFastlockBase_AdaptiveCreate(MosFastlock_Base *pLock, MosContentionId creationId, const char *pFile,
                                    UINT32 line);
void mosFastlockBase_AdaptiveCreateDebug(MosFastlock_Base *pLock, MosContentionId creationId, const char *pFile,
                                         UINT32 line);
void mosFastlockBase_SpinCreate(MosFastlock_Base *pLock, MosContentionId creationId, const char *pFile, UINT32 line);
void mosFastlockBase_SpinCreateDebug(MosFastlock_Base *pLock, MosContentionId creationId, const char *pFile,
                                     UINT32 line);
// An adaptive mutex of the plain kind is taken and released on its futex word directly, with the
// protocol that glibc's own mutex and condition-variable code uses on it (0 free, 1 held, 2 held
// with sleepers): no library call and no system call while uncontended, and a condition wait
// still releases and retakes it in the same protocol. glibc's owner field is cleared at every
// release, as its own release does, and its user count is never raised, so its checks on lock,
// condition relock and destroy hold. The error-checking kind goes through the library.
// The word protocol above is glibc's own; a C library with another mutex layout must not build.
#if !defined(__GLIBC__)
#error "the fast lock takes glibc's mutex word directly"
#endif
static_assert(sizeof(decltype(pthread_mutex_t::__data.__lock)) == sizeof(int), "glibc mutex word is an int");
static_assert(offsetof(pthread_mutex_t, __data.__lock) == 0, "glibc mutex word leads the mutex");
static_assert(sizeof(decltype(pthread_mutex_t::__data.__owner)) == sizeof(int), "glibc owner field is an int");

inline bool mosFastlockOs_IsPlainAdaptive(const MosFastlock_Base *pLock)
{
    return !pLock->lock.bSpinLock && pLock->lock.osLock.mutex.__data.__kind == PTHREAD_MUTEX_ADAPTIVE_NP;
}

inline bool mosFastlockOs_TryWord(MosFastlock_Base *pLock)
{
    int expected = 0;
    return __atomic_compare_exchange_n(&pLock->lock.osLock.mutex.__data.__lock, &expected, 1, false,
                                       __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
}

// Spins a while as the adaptive kind does, then sleeps on the word.
void mosFastlockOs_LockWordContended(MosFastlock_Base *pLock);
void mosFastlockOs_WakeWord(MosFastlock_Base *pLock);

inline void mosFastlockOs_UnlockWord(MosFastlock_Base *pLock)
{
    pLock->lock.osLock.mutex.__data.__owner = 0;
    if (__atomic_exchange_n(&pLock->lock.osLock.mutex.__data.__lock, 0, __ATOMIC_RELEASE) > 1)
        mosFastlockOs_WakeWord(pLock);
}

void mosFastlock_MutexAcquire(MosFastlock_Base *pLock);
BOOL mosFastlock_TryMutexAcquire(MosFastlock_Base *pLock);
void mosFastlock_MutexRelease(MosFastlock_Base *pLock);
void mosFastlock_MutexDestroy(MosFastlock_Base *pLock);
void mosFastlock_SpinAcquire(MosFastlock_Base *pLock);
BOOL mosFastlock_TrySpinAcquire(MosFastlock_Base *pLock);
void mosFastlock_SpinRelease(MosFastlock_Base *pLock);
void mosFastlock_SpinDestroy(MosFastlock_Base *pLock);
