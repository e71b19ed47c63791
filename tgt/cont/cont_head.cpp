#include "tgt/cont/cont_head.h"

#include <cstring>

#include "mos/mos_trace.h"
#include "tgt/cont/cont_root.h"
#include "tgt/cont/cont_vtree.h"
#include "tgt/tgt_conf.h"

void contHeadMngr_Init(ContHeadMngr *pHeadMngr)
{
    memset(static_cast<void *>(pHeadMngr), 0, sizeof(*pHeadMngr));
    contMngr_Init(pHeadMngr);
}

void contHeadMngr_Destroy(ContHeadMngr *pHeadMngr)
{
    contMngr_Destroy(pHeadMngr);
}

void contHeadMngr_HeadInit(ContHeadMngr *pHeadMngr, Cont *pCont, ContHead *pHead, HeadId headId, GenNum capChangeGen,
                           const UINT8 *pUsageBM, const VTreeId *usageMap)
{
    memset(static_cast<void *>(pHead), 0, sizeof(*pHead));
    pHead->headId = headId;
    pHead->headState.capChangeGen = capChangeGen;
    memcpy(pHead->headState.usageBM, pUsageBM, sizeof(pHead->headState.usageBM));
    head_Init(&pHead->head, pCont, usageMap);
    contHead_PrintHead(pHead);
    MOS_FASTLOCK_CREATE(&pHead->fastLock, TGT_CONTENTION__CONT_MNGR_OBJ);
    contMngr_Append(pHeadMngr, pHead);
}

void contHeadMngr_HeadDestroy(ContHeadMngr *pHeadMngr, ContHead *pHead)
{
    contMngr_Unlink(pHeadMngr, pHead);
    mosFastlockBase_Destroy(&pHead->fastLock);
    head_Destroy(&pHead->head);
    memset(static_cast<void *>(pHead), 0, sizeof(*pHead));
}

BOOL contHead_IsUpdateNeeded(ContHead *pHead, HeadId headId, GenNum capChangeGen)
{
    MosFastlockGuard g(&pHead->fastLock);
    return headId != pHead->headId || capChangeGen != pHead->headState.capChangeGen;
}

Mos_RC contHead_UpdateFull(ContHead *pHead, HeadId headId, GenNum capChangeGen, const UINT8 *pUsageBM,
                           const VTreeId *usageMap)
{
    {
        MosFastlockGuard g(&pHead->fastLock);
        if (headId != pHead->headId) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Head %x update refused: it names head %x", pHead->headId,
                      headId);
            return MOS_RC__INVALID_ARG;
        }
        pHead->headState.capChangeGen = capChangeGen;
        memcpy(pHead->headState.usageBM, pUsageBM, sizeof(pHead->headState.usageBM));
        head_Update(&pHead->head, usageMap);
    }
    contHead_PrintHead(pHead);
    return MOS_RC__SUCCESS;
}

void contHead_CopyHeadState(ContHead *pHead, PhyCombHead *pHeadState)
{
    MosFastlockGuard g(&pHead->fastLock);
    *pHeadState = pHead->headState;
}

Head *contHead_Get(ContHead *pHead)
{
    return &pHead->head;
}

void contHeadMngr_MarkAllHeads(ContHeadMngr *pHeadMngr)
{
    contMngr_MarkAll(pHeadMngr);
}

ContHead *contHeadMngr_GetFirstMarkedNode(ContHeadMngr *pHeadMngr)
{
    return contMngr_GetFirstMarkedNode(pHeadMngr);
}

void contHead_PrintHead(ContHead *pHead)
{
    UINT64 w[8];
    static_assert(sizeof(w) <= sizeof(pHead->headState.usageBM));
    memcpy(w, pHead->headState.usageBM, sizeof(w));
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "Head %x , bits %lx-%lx-%lx-%lx-%lx-%lx-%lx-%lx, Generation number %lx",
              pHead->headId, (unsigned long)w[0], (unsigned long)w[1], (unsigned long)w[2], (unsigned long)w[3],
              (unsigned long)w[4], (unsigned long)w[5], (unsigned long)w[6], (unsigned long)w[7],
              (unsigned long)pHead->headState.capChangeGen);
    if (!tgtInitParam_G.bVtreeCnt)
        return;
    for (UINT32 i = 0; i < HEAD__USAGE_MAP_SLOTS; i++)
        if (pHead->head.usageMap[i] != 0)
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "Head %x , inx %u vtree %lx", pHead->headId, i,
                      (unsigned long)pHead->head.usageMap[i]);
}

void contHead_Query(ContHead *pHead, ContHeadQuery *pQuery)
{
    pQuery->headId = pHead->headId;
}

Head *cont_AcquireHeadForHead(Cont *pCont, HeadId headId)
{
    auto *pHead = static_cast<ContHead *>(contObj_Acquire(cont_GetObjs(pCont), headId, CONT_OBJ_TYPE__HEAD));
    return pHead == nullptr ? nullptr : &pHead->head;
}

void cont_ReleaseHeadForHead(Cont *pCont, Head *pHead)
{
    contObj_Release(cont_GetObjs(pCont), MOS_CONTAINER_OF(pHead, ContHead, head)->headId, CONT_OBJ_TYPE__HEAD);
}

void contHead_SetHeadLayerHooks(void)
{
    static const HeadContHooks kHooks = {cont_AcquireVtreeForHead, cont_ReleaseVtreeForHead, cont_AcquireHeadForHead,
                                         cont_ReleaseHeadForHead, cont_VtreeNeedDeleteForHead};
    head_SetContHooks(&kHooks);
}
