#include "tgt/elock/elock.h"

#include <atomic>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_contention.h"

namespace {

// A semaphore wait is taken in slices so that a lost unit shows as a loop, not a hang.
constexpr UINT32 kSemWaitSliceMs = 1000;

void elock_StatAdd(UINT32 *pCounter, INT32 delta)
{
    if (tgtInitParam_G.bSdbgExtraInfo)
        std::atomic_ref<UINT32>(*pCounter).fetch_add((UINT32)delta, std::memory_order_relaxed);
}

size_t elock_LockArrBlockSize(UINT32 locksInTooth)
{
    return sizeof(ElockTeethLockArray) + (size_t)locksInTooth * sizeof(MosUmt_RWLockIntr);
}

// A tooth lock array from the pool; the caller took a unit of elockSegSem for it.
ElockTeethLockArray *elock_AllocTeethLockArray(Elock *pElock)
{
    void *pMem = nullptr;
    Mos_RC rc = mosMemPool_AllocNoWait(&pElock->teethLockArrPool, &pMem);
    MOS_ASSERT(rc == MOS_RC__SUCCESS && pMem != nullptr);
    auto *pArr = static_cast<ElockTeethLockArray *>(pMem);
    // A free block is left zeroed with its magic by elock_FreeTeethLockArray (or at init).
    MOS_ASSERT(pArr->usage == 0 && pArr->magic == ELOCK_TEETH_LOCK_ARR__MAGIC);
    auto *pLocks = reinterpret_cast<MosUmt_RWLockIntr *>(pArr + 1);
    memset(static_cast<void *>(pLocks), 0, (size_t)pElock->locksInTooth * sizeof(MosUmt_RWLockIntr));
    memset(static_cast<void *>(&pArr->rwLockArray), 0, sizeof(pArr->rwLockArray));
    pArr->rwLockArray.size = pElock->locksInTooth;
    pArr->rwLockArray.lockArr = pLocks;
    MOS_FASTLOCK_CREATE(&pArr->rwLockArray.fastlock, MOS_UMT_RWLOCK_ARR__LOCK_ID);
    return pArr;
}

void elock_FreeTeethLockArray(Elock *pElock, ElockTeethLockArray *pArr)
{
    MOS_ASSERT(pArr->magic == ELOCK_TEETH_LOCK_ARR__MAGIC && pArr->usage == 0);
    mosFastlockBase_Destroy(&pArr->rwLockArray.fastlock);
    memset(static_cast<void *>(&pArr->rwLockArray), 0, sizeof(pArr->rwLockArray));
    mosMemPool_Free(&pElock->teethLockArrPool, pArr);
    mosUmtSem_IncInter(&pElock->elockSegSem, 1, TRUE);
}

void elock_InitBlocks(Elock *pElock)
{
    for (UINT32 i = 0; i < pElock->numOfBlocks; i++) {
        auto *pArr = static_cast<ElockTeethLockArray *>(mosMemPool_MemByIndex(&pElock->teethLockArrPool, i));
        memset(static_cast<void *>(pArr), 0, elock_LockArrBlockSize(pElock->locksInTooth));
        pArr->magic = ELOCK_TEETH_LOCK_ARR__MAGIC;
    }
}

void elock_ReleaseRun(ElockTeethLockArray *pArr, BOOL bWrite, UINT32 first, UINT32 count)
{
    if (count == 0)
        return;
    if (bWrite)
        mosUmtRWLockArr_ReleaseWriteLock(&pArr->rwLockArray, first, count);
    else
        mosUmtRWLockArr_ReleaseReadLock(&pArr->rwLockArray, first, count);
}

// The tooth's lock array, counted in for one more I/O. Called and returns with eCombFastLock held;
// drops it while waiting for a free array.
ElockTeethLockArray *elockComb_GetToothArr(ElockComb *pComb, Elock *pElock, UINT32 toothInComb)
{
    if (pComb->ppTeethLockArr == nullptr) {
        void *pMem = nullptr;
        Mos_RC rc = mosMemPool_AllocNoWait(&pElock->combTeethArrPtrPool, &pMem);
        MOS_ASSERT(rc == MOS_RC__SUCCESS && pMem != nullptr);
        memset(pMem, 0, ELOCK__TEETH_IN_COMB * sizeof(ElockTeethLockArray *));
        pComb->ppTeethLockArr = static_cast<ElockTeethLockArray **>(pMem);
    }
    // Counted in before any wait, so the pointer array stays while the fast lock is let go.
    pComb->ioInProgress++;
    while (pComb->ppTeethLockArr[toothInComb] == nullptr) {
        if (mosUmtSem_TryDec(&pElock->elockSegSem, 1) == MOS_RC__SUCCESS) {
            pComb->ppTeethLockArr[toothInComb] = elock_AllocTeethLockArray(pElock);
            break;
        }
        mosFastlockBase_Release(&pComb->eCombFastLock);
        while (mosUmtSem_DecTimed(&pElock->elockSegSem, 1, kSemWaitSliceMs) != MOS_RC__SUCCESS) {
        }
        mosFastlockBase_Acquire(&pComb->eCombFastLock);
        // Another I/O may have given the tooth an array meanwhile: then the unit goes back.
        if (pComb->ppTeethLockArr[toothInComb] == nullptr)
            pComb->ppTeethLockArr[toothInComb] = elock_AllocTeethLockArray(pElock);
        else
            mosUmtSem_IncInter(&pElock->elockSegSem, 1, TRUE);
    }
    ElockTeethLockArray *pArr = pComb->ppTeethLockArr[toothInComb];
    pArr->usage++;
    return pArr;
}

} // namespace

BOOL elock_IsValidLocksInTooth(UINT64 locksInTooth)
{
    return locksInTooth >= ELOCK__MIN_NUMBER_OF_LOCK_PER_TOOTH &&
           locksInTooth <= ELOCK__MAX_NUMBER_OF_LOCK_PER_TOOTH && (locksInTooth & (locksInTooth - 1)) == 0;
}

Mos_RC elock_Init(Elock *pElock, UINT32 numOfCombs, UINT32 numOfBlocks)
{
    memset(static_cast<void *>(pElock), 0, sizeof(*pElock));
    UINT64 locks = tgtInitParam_G.elockNumberOfLocksInTooth;
    if (!elock_IsValidLocksInTooth(locks)) {
        // A count that does not divide the tooth would leave LB that no lock covers.
        MOS_ERROR(MOS_COMP_TGT_GENERAL,
                  "tgt_elock__lock_in_tooth %lu refused: the locks per tooth must be a power of two from %u to %u",
                  (unsigned long)locks, ELOCK__MIN_NUMBER_OF_LOCK_PER_TOOTH, ELOCK__MAX_NUMBER_OF_LOCK_PER_TOOTH);
        return MOS_RC__PARAMETER_OUT_OF_RANGE;
    }
    MOS_ASSERT(numOfBlocks > 0);
    MOS_TRACE(MOS_COMP_TGT_GENERAL, MOS_FREQ_LOW, "Elock initialize %u combs", numOfCombs);
    pElock->locksInTooth = (UINT32)locks;
    pElock->sizeCoveredByOneLock = ELOCK__TOOTH_SIZE_IN_LBS / (UINT32)locks;
    pElock->numOfBlocks = numOfBlocks;
    mosMemPool_CreateEx(&pElock->combTeethArrPtrPool, "Elock - teeth array - G1", nullptr, nullptr,
                        ELOCK__TEETH_IN_COMB * sizeof(ElockTeethLockArray *), numOfBlocks, 64, FALSE,
                        MOS_TIMER__FREE_HANDLER_STACK);
    mosMemPool_CreateEx(&pElock->teethLockArrPool, "Elock - rw lock array - G2", nullptr, nullptr,
                        (UINT32)elock_LockArrBlockSize(pElock->locksInTooth), numOfBlocks, 64, FALSE,
                        MOS_TIMER__FREE_HANDLER_STACK);
    elock_InitBlocks(pElock);
    mosUmtSem_Init(&pElock->elockSegSem);
    mosUmtSem_IncInter(&pElock->elockSegSem, numOfBlocks, TRUE);
    pElock->bInitialized = TRUE;
    return MOS_RC__SUCCESS;
}

void elock_Destroy(Elock *pElock)
{
    if (!pElock->bInitialized)
        return;
    MOS_TRACE(MOS_COMP_TGT_GENERAL, MOS_FREQ_LOW, "Elock destroy");
    MOS_ASSERT(mosUmtSem_GetCount(&pElock->elockSegSem) == pElock->numOfBlocks);
    mosUmtSem_Destroy(&pElock->elockSegSem);
    mosMemPool_Destroy(&pElock->teethLockArrPool);
    mosMemPool_Destroy(&pElock->combTeethArrPtrPool);
    pElock->bInitialized = FALSE;
}

ElockRange elock_GetRange(const Elock *pElock, UINT32 offsetInComb, UINT32 sizeInLbs)
{
    UINT32 toothInComb = offsetInComb / ELOCK__TOOTH_SIZE_IN_LBS;
    UINT32 offsetInTooth = offsetInComb % ELOCK__TOOTH_SIZE_IN_LBS;
    if (sizeInLbs == 0) {
        toothInComb = 0;
        offsetInTooth = 1;
    }
    MOS_ASSERT(toothInComb < ELOCK__TEETH_IN_COMB);
    UINT32 firstLock = offsetInTooth / pElock->sizeCoveredByOneLock;
    // 64 bits: a size near 2^32 must fail the check, not wrap past it.
    UINT64 lastLock64 = sizeInLbs == 0 ? firstLock
                                       : ((UINT64)offsetInTooth + sizeInLbs - 1) / pElock->sizeCoveredByOneLock;
    MOS_ASSERT(!(lastLock64 >= pElock->locksInTooth));
    return ElockRange{toothInComb, firstLock, (UINT32)lastLock64};
}

void elockComb_Init(ElockComb *pComb)
{
    memset(static_cast<void *>(pComb), 0, sizeof(*pComb));
    mosUmtRWLock_Init(&pComb->entireCombRLock);
    mosUmtRWLock_Init(&pComb->entireCombWLock);
    MOS_FASTLOCK_CREATE(&pComb->eCombFastLock, TGT_CONTENTION__ELOCK);
}

void elockComb_Destroy(ElockComb *pComb)
{
    MOS_ASSERT(pComb->ppTeethLockArr == nullptr && pComb->ioInProgress == 0);
    mosFastlockBase_Destroy(&pComb->eCombFastLock);
    mosUmtRWLock_Destroy(&pComb->entireCombWLock);
    mosUmtRWLock_Destroy(&pComb->entireCombRLock);
}

void elockComb_Lock(ElockComb *pComb, Elock *pElock, BOOL bWrite, UINT32 offsetInComb, UINT32 sizeInLbs)
{
    ElockRange r = elock_GetRange(pElock, offsetInComb, sizeInLbs);
    elock_StatAdd(&pComb->query.pendIos, 1);
    elock_StatAdd(&pComb->query.ioCount, 1);
    mosUmtRWLock_AcquireReadLock(bWrite ? &pComb->entireCombWLock : &pComb->entireCombRLock);
    mosFastlockBase_Acquire(&pComb->eCombFastLock);
    ElockTeethLockArray *pArr = elockComb_GetToothArr(pComb, pElock, r.toothInComb);
    mosFastlockBase_Release(&pComb->eCombFastLock);
    // The array stays: this I/O is counted in its usage.
    UINT32 count = r.lastLock - r.firstLock + 1;
    if (bWrite)
        mosUmtRWLockArr_AcquireWriteLock(&pArr->rwLockArray, r.firstLock, count);
    else
        mosUmtRWLockArr_AcquireReadLock(&pArr->rwLockArray, r.firstLock, count);
    elock_StatAdd(&pComb->query.inProgIos, 1);
    elock_StatAdd(&pComb->query.pendIos, -1);
}

void elockComb_Unlock(ElockComb *pComb, Elock *pElock, BOOL bWrite, UINT32 offsetInComb, UINT32 sizeInLbs)
{
    ElockRange r = elock_GetRange(pElock, offsetInComb, sizeInLbs);
    elock_StatAdd(&pComb->query.inProgIos, -1);
    mosFastlockBase_Acquire(&pComb->eCombFastLock);
    MOS_ASSERT(pComb->ppTeethLockArr != nullptr);
    ElockTeethLockArray *pArr = pComb->ppTeethLockArr[r.toothInComb];
    MOS_ASSERT(pArr != nullptr);
    elock_ReleaseRun(pArr, bWrite, r.firstLock, r.lastLock - r.firstLock + 1);
    MOS_ASSERT(pArr->usage > 0 && pComb->ioInProgress > 0);
    pArr->usage--;
    pComb->ioInProgress--;
    if (pArr->usage == 0) {
        pComb->ppTeethLockArr[r.toothInComb] = nullptr;
        elock_FreeTeethLockArray(pElock, pArr);
    }
    if (pComb->ioInProgress == 0) {
        mosMemPool_Free(&pElock->combTeethArrPtrPool, pComb->ppTeethLockArr);
        pComb->ppTeethLockArr = nullptr;
    }
    if (bWrite)
        mosUmtRWLock_ReleaseReadLock(&pComb->entireCombWLock);
    else
        mosUmtRWLock_ReleaseReadLock(&pComb->entireCombRLock);
    mosFastlockBase_Release(&pComb->eCombFastLock);
}

void elockComb_UnlockAllXcluding(ElockComb *pComb, Elock *pElock, BOOL bWrite, UINT32 offsetInComb,
                                 UINT32 sizeInLbs)
{
    ElockRange r = elock_GetRange(pElock, offsetInComb, sizeInLbs);
    mosFastlockBase_Acquire(&pComb->eCombFastLock);
    MOS_ASSERT(pComb->ppTeethLockArr != nullptr && pComb->ppTeethLockArr[r.toothInComb] != nullptr);
    ElockTeethLockArray *pArr = pComb->ppTeethLockArr[r.toothInComb];
    elock_ReleaseRun(pArr, bWrite, 0, r.firstLock);
    elock_ReleaseRun(pArr, bWrite, r.lastLock + 1, pElock->locksInTooth - r.lastLock - 1);
    mosFastlockBase_Release(&pComb->eCombFastLock);
}

void elockComb_LockAll(ElockComb *pComb, BOOL bWrite)
{
    mosUmtRWLock_AcquireWriteLock(&pComb->entireCombWLock);
    if (bWrite)
        mosUmtRWLock_AcquireWriteLock(&pComb->entireCombRLock);
    std::atomic_ref<BOOL>(pComb->query.bAllCombLock).store(TRUE);
}

void elockComb_UnlockAll(ElockComb *pComb, BOOL bWrite)
{
    std::atomic_ref<BOOL>(pComb->query.bAllCombLock).store(FALSE);
    mosUmtRWLock_ReleaseWriteLock(&pComb->entireCombWLock);
    if (bWrite)
        mosUmtRWLock_ReleaseWriteLock(&pComb->entireCombRLock);
}

void elockComb_Query(ElockComb *pComb, ElockQuery *pQuery)
{
    pQuery->pendIos = std::atomic_ref<UINT32>(pComb->query.pendIos).load();
    pQuery->inProgIos = std::atomic_ref<UINT32>(pComb->query.inProgIos).load();
    pQuery->ioCount = std::atomic_ref<UINT32>(pComb->query.ioCount).load();
    pQuery->bAllCombLock = std::atomic_ref<BOOL>(pComb->query.bAllCombLock).load();
}

BOOL elockComb_IsIdle(ElockComb *pComb)
{
    MosFastlockGuard guard(&pComb->eCombFastLock);
    return pComb->ppTeethLockArr == nullptr && pComb->ioInProgress == 0;
}
