#include "tgt/phy/zmp.h"

#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_utils_mem.h"
#include "tgt/phy/phy_layout.h"
#include "tgt/tgt_contention.h"
#include "tgt/tgt_sdbg.h"

namespace {
void *&linkOf(void *pBuf) { return *static_cast<void **>(pBuf); }
} // namespace

void zmp_Init(Zmp *pZmp, UINT32 bufferSizeInLbs, UINT32 numOfBuffers)
{
    Exp(pTgtSdbg_g == ((void *)0));
    Exp(bufferSizeInLbs == 0 || numOfBuffers == 0);
    memset(pZmp, 0, sizeof(*pZmp));
    mosFastlockBase_Create(&pZmp->fastlock, TGT_CONTENTION__ZMP, __FILE__, __LINE__);
    size_t bufBytes = (size_t)bufferSizeInLbs * LB_SIZE_IN_BYTES;
    pZmp->pMem = mos_AllocPageAlignedOrPanic(bufBytes * numOfBuffers);
    memset(pZmp->pMem, 0, bufBytes * numOfBuffers);
    for (UINT32 i = numOfBuffers; i-- > 0;) {
        void *pBuf = static_cast<UINT8 *>(pZmp->pMem) + i * bufBytes;
        linkOf(pBuf) = pZmp->pFreeList;
        pZmp->pFreeList = pBuf;
    }
    pZmp->dbgQuery.sizeOfBuffer = bufferSizeInLbs;
    pZmp->dbgQuery.totalSizeOfBuffers = numOfBuffers;
    mosUmtSem_Init(&pZmp->freeWaitSem);
    mosUmtSem_IncInter(&pZmp->freeWaitSem, numOfBuffers, TRUE);
    mosObjType_RegObj(&pTgtSdbg_g->zmpType, &pZmp->sdbgObj, "zmp");
}

void zmp_Destroy(Zmp *pZmp)
{
    if (pZmp->pMem == nullptr)
        return;
    if (pTgtSdbg_g != nullptr)
        mosObjType_UnregObj(&pTgtSdbg_g->zmpType, &pZmp->sdbgObj);
    mosUmtSem_Destroy(&pZmp->freeWaitSem);
    mosFastlockBase_Destroy(&pZmp->fastlock);
    mos_FreePageAligned(pZmp->pMem);
    memset(pZmp, 0, sizeof(*pZmp));
}

void *zmp_Allocate(Zmp *pZmp, UINT32 bufferSizeInLbs, BOOL bWait)
{
    Exp(bufferSizeInLbs > pZmp->dbgQuery.sizeOfBuffer);
    if (bWait)
        MOS_ASSERT_SUCCESS(mosUmtSem_DecTimed(&pZmp->freeWaitSem, 1, 0));
    else if (mosUmtSem_TryDec(&pZmp->freeWaitSem, 1) != MOS_RC__SUCCESS)
        return nullptr;
    mosFastlockBase_Acquire(&pZmp->fastlock);
    void *pBuf = pZmp->pFreeList;
    MOS_ASSERT(pBuf != nullptr);
    pZmp->pFreeList = linkOf(pBuf);
    linkOf(pBuf) = nullptr;
    pZmp->dbgQuery.numOfAllocations++;
    pZmp->dbgQuery.numOfAllocated++;
    mosFastlockBase_Release(&pZmp->fastlock);
    return pBuf;
}

void zmp_Free(Zmp *pZmp, void *pBuf)
{
    Exp(linkOf(pBuf) != nullptr);
    mosFastlockBase_Acquire(&pZmp->fastlock);
    linkOf(pBuf) = pZmp->pFreeList;
    pZmp->pFreeList = pBuf;
    pZmp->dbgQuery.numOfAllocations--;
    mosFastlockBase_Release(&pZmp->fastlock);
    mosUmtSem_IncInter(&pZmp->freeWaitSem, 1, TRUE);
}

void zmp_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    (void)pName;
    Zmp *pZmp = MOS_CONTAINER_OF(pObj, Zmp, sdbgObj);
    memcpy(pData, &pZmp->dbgQuery, sizeof(pZmp->dbgQuery));
}
