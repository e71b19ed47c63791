// The two kinds of fast lock (adaptive mutex, spin lock) and their dispatch table.
#pragma once

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
void mosFastlock_MutexAcquire(MosFastlock_Base *pLock);
BOOL mosFastlock_TryMutexAcquire(MosFastlock_Base *pLock);
void mosFastlock_MutexRelease(MosFastlock_Base *pLock);
void mosFastlock_MutexDestroy(MosFastlock_Base *pLock);
void mosFastlock_SpinAcquire(MosFastlock_Base *pLock);
BOOL mosFastlock_TrySpinAcquire(MosFastlock_Base *pLock);
void mosFastlock_SpinRelease(MosFastlock_Base *pLock);
void mosFastlock_SpinDestroy(MosFastlock_Base *pLock);
