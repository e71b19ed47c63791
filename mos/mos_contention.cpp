#include "mos/mos_contention.h"

Mos_RC MosContention_Init(MosContentionLock *pObj, MosContentionId, MosContentionLockType, const char *, UINT32)
{
    pObj->startAcquireTime = 0;
    pObj->bHadOsThrdCtx = FALSE;
    return MOS_RC__SUCCESS;
}
void MosContention_Destroy(MosContentionLock *) {}
Mos_RC MosContentionLayer_Create(void) { return MOS_RC__SUCCESS; }
void MosContentionLayer_Destroy(void) {}
Mos_RC mosContention_RegisterSdbg(void) { return MOS_RC__SUCCESS; }
void mosContention_UnregisterSdbg(void) {}
Mos_RC MosContention_OsThrdCreate(void) { return MOS_RC__SUCCESS; }
void MosContention_OsThrdDestroy(void) {}
void MosContention_InitNameArray(void) {}
void MosContention_GotContentionDuringAcquire(MosContentionLock *) {}
void MosContention_AfterAcquire(MosContentionLock *) {}
void MosContention_BeforeRelease(MosContentionLock *) {}
void MosContention_ResetLock(MosContentionLock *) {}
void MosContention_OsThrdResetCtx(void) {}
void MosContention_ResetAll(void) {}
Mos_RC MosContention_OsThrdCtxQuery(void *, UINT32) { return MOS_RC__SUCCESS; }
Mos_RC MosContention_QueryAllOsThrd(void *, UINT32) { return MOS_RC__SUCCESS; }
void MosContention_SetLockTypeState(UINT32, BOOL) {}
void MosContention_SetSubTypeState(UINT32, BOOL) {}
void MosContention_SetState(BOOL) {}
BOOL MosContention_IsEnable(void) { return TRUE; }
BOOL MosContention_IsLockTypeEnable(UINT32) { return TRUE; }
BOOL MosContention_IsSubTypeEnable(UINT32) { return TRUE; }
