#include "tgt/cont/cont_obj.h"

#include <cstdlib>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "tgt/tgt_contention.h"

namespace {
UINT32 contObj_HashSize(UINT32 objType)
{
    switch (objType) {
    case CONT_OBJ_TYPE__VTREE:
    case CONT_OBJ_TYPE__VOL:
        return CONT_OBJ__HASH_SIZE_VTREE_VOL;
    case CONT_OBJ_TYPE__COMB:
        return CONT_OBJ__HASH_SIZE_COMB;
    default:
        return CONT_OBJ__HASH_SIZE_DEFAULT;
    }
}

ContObjHash *contObj_GetHash(ContObj *pObj, ContObjType objType)
{
    MOS_ASSERT(!(objType > pObj->maxOfObjType));
    ContObjHash *pHash = &pObj->pObjs[objType];
    MOS_ASSERT(pHash->inUse != 0);
    return pHash;
}

MosFastlock_Base *contObj_Stripe(ContObjHash *pHash, UINT64 objId)
{
    return &pHash->fastLockArray[objId & CONT_OBJ__STRIPE_MASK];
}

// The lock record of a registered id; the caller holds the id's stripe.
ContObjLock *contObj_Find(ContObjHash *pHash, UINT64 objId)
{
    PVOID pData = nullptr;
    if (mosHash_GetRecordByKey2(&pHash->combHash, objId, 0, &pData) == nullptr)
        return nullptr;
    return static_cast<ContObjLock *>(pData);
}

// --- object-lock rules, all with the id's stripe held ---

void *contObjLock_Acquire(ContObjLock *pLock, BOOL bForce)
{
    MOS_ASSERT(pLock->state != CONT_OBJ_LOCK_STATE__FREE);
    if (pLock->state == CONT_OBJ_LOCK_STATE__REM_IN_PROG)
        return nullptr;
    if (pLock->state == CONT_OBJ_LOCK_STATE__ADD_IN_PROG && !bForce)
        return nullptr;
    pLock->usage++;
    return pLock->pUnique;
}

void contObjLock_Release(ContObjLock *pLock)
{
    MOS_ASSERT(pLock->state != CONT_OBJ_LOCK_STATE__FREE);
    MOS_ASSERT(!(pLock->usage == 0));
    pLock->usage--;
    if (pLock->state == CONT_OBJ_LOCK_STATE__REM_IN_PROG && pLock->usage == 0) {
        MOS_ASSERT(pLock->numOfDestroy != 0);
        mosUmtSem_IncInter(&pLock->destroySem, pLock->numOfDestroy, TRUE);
    }
}

// The destroy protocol; the stripe is held on entry and on exit. TRUE for the remover that
// finishes the removal.
BOOL contObjLock_Destroy(ContObjLock *pLock, MosFastlock_Base *pStripe)
{
    if (pLock->state == CONT_OBJ_LOCK_STATE__ADD_IN_PROG) {
        // Wait for the adder to finish: it holds the object lock until add-done.
        pLock->usage++;
        mosFastlockBase_Release(pStripe);
        mosUmtRWLock_AcquireWriteLock(&pLock->rwlock);
        mosUmtRWLock_ReleaseWriteLock(&pLock->rwlock);
        mosFastlockBase_Acquire(pStripe);
        contObjLock_Release(pLock);
    }
    MOS_ASSERT(pLock->state == CONT_OBJ_LOCK_STATE__NORMAL ||
               (pLock->state == CONT_OBJ_LOCK_STATE__REM_IN_PROG && pLock->numOfDestroy > 0));
    pLock->state = CONT_OBJ_LOCK_STATE__REM_IN_PROG;
    if (pLock->usage != 0) {
        pLock->numOfDestroy++;
        mosFastlockBase_Release(pStripe);
        mosUmtSem_DecTimed(&pLock->destroySem, 1, 0);
        mosFastlockBase_Acquire(pStripe);
        pLock->numOfDestroy--;
        MOS_ASSERT(pLock->usage == 0);
    }
    if (pLock->numOfDestroy > 0)
        return FALSE; // the last remover to wake finishes
    pLock->state = CONT_OBJ_LOCK_STATE__FREE;
    pLock->pUnique = nullptr;
    mosUmtRWLock_Destroy(&pLock->rwlock);
    mosUmtSem_Destroy(&pLock->destroySem);
    return TRUE;
}

void *contObj_AcquireLocked(ContObj *pObj, UINT64 objId, ContObjType objType, BOOL bWrite)
{
    ContObjHash *pHash = contObj_GetHash(pObj, objType);
    MosFastlock_Base *pStripe = contObj_Stripe(pHash, objId);
    mosFastlockBase_Acquire(pStripe);
    ContObjLock *pLock = contObj_Find(pHash, objId);
    void *pUnique = pLock != nullptr ? contObjLock_Acquire(pLock, TRUE) : nullptr;
    mosFastlockBase_Release(pStripe);
    if (pUnique == nullptr)
        return nullptr;
    // Counted in: the record stays until this user releases it.
    if (bWrite)
        mosUmtRWLock_AcquireWriteLock(&pLock->rwlock);
    else
        mosUmtRWLock_AcquireReadLock(&pLock->rwlock);
    return pUnique;
}

void contObj_ReleaseLocked(ContObj *pObj, UINT64 objId, ContObjType objType, BOOL bWrite)
{
    ContObjHash *pHash = contObj_GetHash(pObj, objType);
    MosFastlockGuard stripe(contObj_Stripe(pHash, objId));
    ContObjLock *pNode = contObj_Find(pHash, objId);
    MOS_ASSERT(!(pNode == nullptr));
    if (bWrite)
        mosUmtRWLock_ReleaseWriteLock(&pNode->rwlock);
    else
        mosUmtRWLock_ReleaseReadLock(&pNode->rwlock);
    contObjLock_Release(pNode);
}
} // namespace

void contObj_Init(ContObj *pObj, ContObjType firstObjType, ContObjType lastObjType)
{
    MOS_ASSERT(firstObjType < lastObjType);
    pObj->pObjs = static_cast<ContObjHash *>(calloc((size_t)lastObjType + 1, sizeof(ContObjHash)));
    MOS_ASSERT(pObj->pObjs != nullptr);
    pObj->maxOfObjType = lastObjType;
    for (UINT32 t = firstObjType; t <= lastObjType; t++) {
        ContObjHash *pHash = &pObj->pObjs[t];
        MOS_ASSERT(mosHash_CreateNamedHash(&pHash->combHash, contObj_HashSize(t), MOS_HASHING_METHOD__MODULO, 0,
                                           nullptr, nullptr, CONT_OBJ__HASH_NAME, TGT_CONTENTION__CONT_OBJ_STRIPE));
        for (MosFastlock_Base &stripe : pHash->fastLockArray)
            MOS_FASTLOCK_CREATE(&stripe, TGT_CONTENTION__CONT_OBJ_STRIPE);
        pHash->inUse = 1;
    }
}

void contObj_Destroy(ContObj *pObj)
{
    if (pObj->pObjs == nullptr)
        return;
    for (UINT32 t = 0; t <= pObj->maxOfObjType; t++) {
        ContObjHash *pHash = &pObj->pObjs[t];
        if (pHash->inUse == 0)
            continue;
        MOS_ASSERT(mosHash_GetRecNum(&pHash->combHash) == 0);
        mosHash_Delete(&pHash->combHash);
        for (MosFastlock_Base &stripe : pHash->fastLockArray)
            mosFastlockBase_Destroy(&stripe);
    }
    free(pObj->pObjs);
    pObj->pObjs = nullptr;
}

void *contObj_AddStart(ContObj *pObj, UINT64 objId, ContObjType objType, Mos_RC *pRc)
{
    ContObjHash *pHash = contObj_GetHash(pObj, objType);
    MosFastlock_Base *pStripe = contObj_Stripe(pHash, objId);
    mosFastlockBase_Acquire(pStripe);
    ContObjLock *pLock = contObj_Find(pHash, objId);
    if (pLock == nullptr) {
        *pRc = MOS_RC__SUCCESS;
        return nullptr; // stripe held: the caller builds and calls contObj_AddSyncDone
    }
    void *pUnique = contObjLock_Acquire(pLock, TRUE);
    mosFastlockBase_Release(pStripe);
    if (pUnique == nullptr) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Object %lx of type %u is being removed; add refused",
                  (unsigned long)objId, (unsigned)objType);
        *pRc = MOS_RC__RETRY;
        return nullptr;
    }
    mosUmtRWLock_AcquireWriteLock(&pLock->rwlock);
    *pRc = MOS_RC__SUCCESS;
    return pUnique;
}

void contObj_AddSyncDone(ContObj *pObj, ContObjLock *pObjLock, UINT64 objId, ContObjType objType, void *pUnique,
                         MosHash_Record *pHashRecord)
{
    ContObjHash *pHash = contObj_GetHash(pObj, objType);
    MosFastlock_Base *pStripe = contObj_Stripe(pHash, objId);
    MOS_ASSERT(mosFastlockBase_IsLockedByCurrentThread(pStripe));
    MOS_ASSERT(!(pUnique == nullptr));
    MOS_ASSERT(!(pHashRecord == nullptr));
    mosUmtRWLock_Init(&pObjLock->rwlock);
    mosUmtSem_Init(&pObjLock->destroySem);
    pObjLock->state = CONT_OBJ_LOCK_STATE__ADD_IN_PROG;
    pObjLock->usage = 0;
    pObjLock->pUnique = pUnique;
    pObjLock->numOfDestroy = 0;
    pObjLock->usage++; // the adder, counted in
    // A fresh lock: taking it cannot wait.
    Mos_RC rc = mosUmtRWLock_TryAcquireWriteLock(&pObjLock->rwlock);
    MOS_ASSERT(rc == MOS_RC__SUCCESS);
    MOS_ASSERT(contObj_Find(pHash, objId) == nullptr);
    mosHash_Add(&pHash->combHash, pHashRecord, objId, (UINT64)(uintptr_t)pObjLock);
    mosFastlockBase_Release(pStripe);
}

void contObj_AddDone(ContObj *pObj, ContObjLock *pObjLock, UINT64 objId, ContObjType objType)
{
    {
        ContObjHash *pHash = contObj_GetHash(pObj, objType);
        MosFastlockGuard stripe(contObj_Stripe(pHash, objId));
        MOS_ASSERT(contObj_Find(pHash, objId) == pObjLock);
        MOS_ASSERT(pObjLock->state == CONT_OBJ_LOCK_STATE__ADD_IN_PROG);
        pObjLock->state = CONT_OBJ_LOCK_STATE__NORMAL;
    }
    contObj_ReleaseWriteLock(pObj, objId, objType);
}

void *contObj_Acquire(ContObj *pObj, UINT64 objId, ContObjType objType)
{
    ContObjHash *pHash = contObj_GetHash(pObj, objType);
    MosFastlockGuard stripe(contObj_Stripe(pHash, objId));
    ContObjLock *pLock = contObj_Find(pHash, objId);
    return pLock != nullptr ? contObjLock_Acquire(pLock, FALSE) : nullptr;
}

void contObj_Release(ContObj *pObj, UINT64 objId, ContObjType objType)
{
    ContObjHash *pHash = contObj_GetHash(pObj, objType);
    MosFastlockGuard stripe(contObj_Stripe(pHash, objId));
    ContObjLock *pNode = contObj_Find(pHash, objId);
    MOS_ASSERT(!(pNode == nullptr));
    contObjLock_Release(pNode);
}

void *contObj_AcquireWriteLock(ContObj *pObj, UINT64 objId, ContObjType objType)
{
    return contObj_AcquireLocked(pObj, objId, objType, TRUE);
}

void *contObj_AcquireReadLock(ContObj *pObj, UINT64 objId, ContObjType objType)
{
    return contObj_AcquireLocked(pObj, objId, objType, FALSE);
}

void contObj_ReleaseWriteLock(ContObj *pObj, UINT64 objId, ContObjType objType)
{
    contObj_ReleaseLocked(pObj, objId, objType, TRUE);
}

void contObj_ReleaseReadLock(ContObj *pObj, UINT64 objId, ContObjType objType)
{
    contObj_ReleaseLocked(pObj, objId, objType, FALSE);
}

void *contObj_Rem(ContObj *pObj, UINT64 objId, ContObjType objType)
{
    ContObjHash *pHash = contObj_GetHash(pObj, objType);
    MosFastlockGuard stripe(contObj_Stripe(pHash, objId));
    ContObjLock *pLock = contObj_Find(pHash, objId);
    if (pLock == nullptr)
        return nullptr;
    void *pUnique = pLock->pUnique;
    if (!contObjLock_Destroy(pLock, contObj_Stripe(pHash, objId)))
        return nullptr;
    MosHash_Record *pRemoved = mosHash_GetRecordByKey(&pHash->combHash, objId, MOS_HASH_FLAGS__DELETE_RECORD, nullptr);
    MOS_ASSERT(pRemoved != nullptr);
    return pUnique;
}

void genericFilter_Create(GenericFilter *pFilter, GenericFilter_Func pFilterFunc, void *pContext,
                          UINT32 numOfItemsInFilter)
{
    pFilter->pFilterFunc = pFilterFunc;
    pFilter->pContext = pContext;
    pFilter->numOfItemsInFilter = numOfItemsInFilter;
}

BOOL genericFilter_Filter(const GenericFilter *pFilter, void *pItem)
{
    return pFilter->pFilterFunc(pFilter->pContext, pItem);
}

UINT32 genericFilter_GetNumOfItemsInFilter(const GenericFilter *pFilter)
{
    return pFilter->numOfItemsInFilter;
}

void genericFilter_SetNumOfItemsInFilter(GenericFilter *pFilter, UINT32 numOfItemsInFilter)
{
    pFilter->numOfItemsInFilter = numOfItemsInFilter;
}
