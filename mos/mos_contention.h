// Contention hooks. Fast locks call them at creation and destruction; no statistics are kept
// behind them in this system.
#pragma once

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

typedef UINT16 MosContentionId;

// Lock classes of the runtime's containers. A hash table's bucket locks take the table lock's
// identifier + 1, so each table identifier is followed by its bucket identifier.
enum : MosContentionId {
    CONTENTION_ENUM_COMMON_CREATED__OBJ_HASH = 40,
    CONTENTION_ENUM_COMMON_CREATED__OBJ_ELEM_HASH = 41,
    CONTENTION_ENUM_COMMON_CREATED__OBJ = 42,
    CONTENTION_ENUM_COMMON_CREATED__MEMPOOL = 43,
    CONTENTION_ENUM_COMMON_CREATED__DYNAMIC_MEMPOOL = 44,
    CONTENTION_ENUM_COMMON_CREATED__MEM_PROTECTED = 45,
    CONTENTION_ENUM_COMMON_CREATED__DYNAMIC_ARRAY = 46,
    CONTENTION_ENUM_COMMON_CREATED__TIMER_Q = 47,
    CONTENTION_ENUM_COMMON_CREATED__LIMITER = 48,
    CONTENTION_ENUM_COMMON_CREATED__MEM_TRACKER = 49,
    CONTENTION_ENUM_COMMON_CREATED__ASYNC_IO_CREATE_OS = 50,
    CONTENTION_ENUM_COMMON_CREATED__ASYNC_IO_OPEN_FILE = 51,
    CONTENTION_ENUM_COMMON_CREATED__ASYNC_IO_FILE_LIST = 52,
    CONTENTION_ENUM_COMMON_CREATED__ASYNC_IO_TIMED_IO = 53,
    CONTENTION_ENUM_COMMON_CREATED__PERF_LAYER = 60,
    CONTENTION_ENUM_COMMON_CREATED__PERF_STAGE = 61,
    CONTENTION_ENUM_COMMON_CREATED__OSC_CNT_LAYER = 62,
    CONTENTION_ENUM_COMMON_CREATED__NET_OSC_COUNTERS = 63,
};

enum MosContentionLockType : UINT32 {
    MOS_CONT_LOCK_TYPE__FASTLOCK = 0,
    MOS_CONT_LOCK_TYPE__LAST,
};

struct MosContentionLock {
    UINT64 startAcquireTime;
    BOOL bHadOsThrdCtx;
};

Mos_RC MosContention_Init(MosContentionLock *pObj, MosContentionId creationId, MosContentionLockType type,
                          const char *pFile, UINT32 line);
void MosContention_Destroy(MosContentionLock *pObj);
Mos_RC MosContentionLayer_Create(void);
void MosContentionLayer_Destroy(void);
Mos_RC mosContention_RegisterSdbg(void);
void mosContention_UnregisterSdbg(void);
Mos_RC MosContention_OsThrdCreate(void);
void MosContention_OsThrdDestroy(void);
void MosContention_InitNameArray(void);
void MosContention_GotContentionDuringAcquire(MosContentionLock *pObj);
void MosContention_AfterAcquire(MosContentionLock *pObj);
void MosContention_BeforeRelease(MosContentionLock *pObj);
void MosContention_ResetLock(MosContentionLock *pObj);
void MosContention_OsThrdResetCtx(void);
void MosContention_ResetAll(void);
Mos_RC MosContention_OsThrdCtxQuery(void *pBuf, UINT32 bufSize);
Mos_RC MosContention_QueryAllOsThrd(void *pBuf, UINT32 bufSize);
void MosContention_SetLockTypeState(UINT32 lockType, BOOL bEnable);
void MosContention_SetSubTypeState(UINT32 subType, BOOL bEnable);
void MosContention_SetState(BOOL bEnable);
BOOL MosContention_IsEnable(void);
BOOL MosContention_IsLockTypeEnable(UINT32 lockType);
BOOL MosContention_IsSubTypeEnable(UINT32 subType);
