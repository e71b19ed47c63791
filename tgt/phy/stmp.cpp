#include "tgt/phy/stmp.h"

#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_utils_mem.h"
#include "tgt/phy/phy_layout.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_contention.h"
#include "tgt/tgt_sdbg.h"

Stmp stmp_g;

void stmp_Init(Stmp *pStmp, UINT32 sizeInLbs)
{
    if (pStmp->dbgMagic == STMP__DBG_MAGIC)
        return;
    Exp(pTgtSdbg_g == ((void *)0));
    memset(pStmp, 0, sizeof(*pStmp));
    mosFastlockBase_Create(&pStmp->fastlock, TGT_CONTENTION__STMP, __FILE__, __LINE__);
    mosUmtSem_Init(&pStmp->freeWaitSem);
    mosUmtSem_IncInter(&pStmp->freeWaitSem, sizeInLbs, TRUE);
    pStmp->dbgQuery.totalSizeInLbs = sizeInLbs;
    mosObjType_RegObj(&pTgtSdbg_g->stmpType, &pStmp->sdbgObj, "stmp");
    pStmp->dbgMagic = STMP__DBG_MAGIC;
}

void stmp_Destroy(Stmp *pStmp)
{
    if (pStmp->dbgMagic != STMP__DBG_MAGIC)
        return;
    if (pTgtSdbg_g != nullptr)
        mosObjType_UnregObj(&pTgtSdbg_g->stmpType, &pStmp->sdbgObj);
    mosUmtSem_Destroy(&pStmp->freeWaitSem);
    mosFastlockBase_Destroy(&pStmp->fastlock);
    memset(pStmp, 0, sizeof(*pStmp));
}

void *stmp_Allocate(Stmp *pStmp, UINT32 sizeInLbs, BOOL bWait, BOOL bAlign)
{
    Exp(sizeInLbs == 0 || sizeInLbs > combSizeInLbs_g);
    Exp(sizeInLbs > pStmp->dbgQuery.totalSizeInLbs);
    if (mosUmtSem_TryDec(&pStmp->freeWaitSem, sizeInLbs) != MOS_RC__SUCCESS) {
        if (!bWait)
            return nullptr;
        __atomic_add_fetch(&pStmp->waitingCount, 1, __ATOMIC_RELAXED);
        __atomic_add_fetch(&pStmp->dbgQuery.numOfWaitings, 1, __ATOMIC_RELAXED);
        Mos_RC rc = mosUmtSem_DecTimed(&pStmp->freeWaitSem, sizeInLbs, 0);
        __atomic_sub_fetch(&pStmp->waitingCount, 1, __ATOMIC_RELAXED);
        MOS_ASSERT_SUCCESS(rc);
    }
    mosFastlockBase_Acquire(&pStmp->fastlock);
    StmpQuery &q = pStmp->dbgQuery;
    q.numOfAllocations++;
    q.numOfAllocated++;
    q.currentAllocatedInLbs += sizeInLbs;
    q.maxAllocatedInLbs = MOS_MAX(q.maxAllocatedInLbs, q.currentAllocatedInLbs);
    Exp(q.currentAllocatedInLbs > q.totalSizeInLbs);
    mosFastlockBase_Release(&pStmp->fastlock);
    size_t bytes = (size_t)sizeInLbs * LB_SIZE_IN_BYTES;
    return bAlign ? mos_AllocPageAlignedOrPanic(bytes) : mos_MemMalloc(bytes, bytes, __func__, FALSE);
}

void stmp_Free(Stmp *pStmp, void *pBuf, UINT32 sizeInLbs, BOOL bAligned)
{
    if (bAligned)
        mos_FreePageAligned(pBuf);
    else
        mos_MemFree(pBuf);
    mosFastlockBase_Acquire(&pStmp->fastlock);
    Exp(pStmp->dbgQuery.currentAllocatedInLbs < sizeInLbs);
    pStmp->dbgQuery.currentAllocatedInLbs -= sizeInLbs;
    pStmp->dbgQuery.numOfAllocations--;
    mosFastlockBase_Release(&pStmp->fastlock);
    mosUmtSem_IncInter(&pStmp->freeWaitSem, sizeInLbs, TRUE);
}

void stmp_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    (void)pName;
    Stmp *pStmp = MOS_CONTAINER_OF(pObj, Stmp, sdbgObj);
    memcpy(pData, &pStmp->dbgQuery, sizeof(pStmp->dbgQuery));
}
