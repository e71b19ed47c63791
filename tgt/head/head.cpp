#include "tgt/head/head.h"

#include <atomic>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "tgt/tgt_contention.h"

namespace {
// Set at the controller's start, before any comb is touched; read on every lookup.
std::atomic<const HeadContHooks *> hooks_G{nullptr};
} // namespace

void head_SetContHooks(const HeadContHooks *pHooks) { hooks_G.store(pHooks); }

Vtree *head_ContAcquireVtree(Cont *pCont, VTreeId vtreeId)
{
    const HeadContHooks *h = hooks_G.load();
    return h == nullptr || vtreeId == 0 ? nullptr : h->pAcquireVtree(pCont, vtreeId);
}

void head_ContReleaseVtree(Cont *pCont, Vtree *pVtree)
{
    const HeadContHooks *h = hooks_G.load();
    if (h != nullptr && pVtree != nullptr)
        h->pReleaseVtree(pCont, pVtree);
}

Head *head_ContAcquireHead(Cont *pCont, HeadId headId)
{
    const HeadContHooks *h = hooks_G.load();
    return h == nullptr ? nullptr : h->pAcquireHead(pCont, headId);
}

void head_ContReleaseHead(Cont *pCont, Head *pHead)
{
    const HeadContHooks *h = hooks_G.load();
    if (h != nullptr && pHead != nullptr)
        h->pReleaseHead(pCont, pHead);
}

BOOL head_ContVtreeNeedDelete(Vtree *pVtree)
{
    const HeadContHooks *h = hooks_G.load();
    return h == nullptr ? FALSE : h->pVtreeNeedDelete(pVtree);
}

void head_Init(Head *pHead, Cont *pCont, const VTreeId *usageMap)
{
    MOS_ASSERT(pCont != nullptr);
    mosFastlockBase_Create(&pHead->fastLock, TGT_CONTENTION__HEAD, __FILE__, __LINE__);
    pHead->pCont = pCont;
    memcpy(pHead->usageMap, usageMap, sizeof(pHead->usageMap));
}

void head_Update(Head *pHead, const VTreeId *usageMap)
{
    MosFastlockGuard g(&pHead->fastLock);
    for (UINT32 s = 0; s < HEAD__USAGE_MAP_SLOTS; s++)
        if (usageMap[s] != 0)
            std::atomic_ref<VTreeId>(pHead->usageMap[s]).store(usageMap[s]);
}

void head_Destroy(Head *pHead) { mosFastlockBase_Destroy(&pHead->fastLock); }

VTreeId head_GetVtreeId(Head *pHead, UINT32 toothInComb)
{
    Exp(toothInComb >= TEETH_IN_COMB);
    return std::atomic_ref<VTreeId>(pHead->usageMap[toothInComb / HEAD__TEETH_PER_SLOT]).load();
}

void head_ItrInit(HeadItr *pItr) { *pItr = HeadItr{}; }

Vtree *head_ItrGetVtree(HeadItr *pItr, Head *pHead, UINT32 toothInComb)
{
    VTreeId id = head_GetVtreeId(pHead, toothInComb);
    pItr->dbgVtreeId = id;
    if (id == 0)
        return nullptr;
    if (id == pItr->currVtreeId && pItr->pVtree != nullptr)
        return pItr->pVtree;
    head_ContReleaseVtree(pHead->pCont, pItr->pVtree);
    pItr->pVtree = head_ContAcquireVtree(pHead->pCont, id);
    pItr->currVtreeId = pItr->pVtree == nullptr ? 0 : id;
    return pItr->pVtree;
}

void head_ItrEnd(HeadItr *pItr, Cont *pCont)
{
    head_ContReleaseVtree(pCont, pItr->pVtree);
    *pItr = HeadItr{};
}
