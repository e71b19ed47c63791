#include "tgt/cont/cont_io.h"

#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "net/net_rcv_group.h"
#include "tgt/cont/cont_comb_state.h"
#include "tgt/cont/cont_net.h"
#include "tgt/cont/cont_root.h"
#include "tgt/cont/cont_volume.h"
#include "tgt/cont/cont_vtree.h"
#include "tgt/head/head.h"
#include "tgt/raid/raid_io.h"
#include "tgt/raid/raid_resync.h"
#include "tgt/rcache/rcache.h"
#include "tgt/rcache/rcache_net_buf.h"

namespace {
// The buffers a request's answer points into.
struct ContIoBufs {
    RcacheNetBuf *pPool;
    void *pData;
    void *pDif;
    UINT32 lbs;
    TgtRsp_ReadCombFineDrl *pDrl;
};

// One request while it is served, on the serving thread's stack.
struct ContIoReq {
    NetRpcData *pReq;
    ContIoBufs bufs;
    IohResp res;
};

// A held answer's request side, kept by the volume until the quiesce ends.
struct ContIoHeld {
    NetRpcData *pReq;
    ContIoBufs bufs;
};

// Every read record keeps its size at byte 8.
constexpr UINT32 kReadSizeOff = offsetof(TgtReq_IoRead, sizeInLbs);
static_assert(offsetof(TgtReq_IoReadSec, sizeInLbs) == kReadSizeOff);
static_assert(offsetof(TgtReq_CheckForError, sizeInLbs) == kReadSizeOff);

void contIo_AllocBufs(Cont *pCont, const IohReq &req, ContIoBufs *pBufs)
{
    *pBufs = ContIoBufs{};
    switch (req.msgType) {
    case TGT_MSG_TYPE__IO_READ_PRI:
    case TGT_MSG_TYPE__IO_READ_SEC:
    case TGT_MSG_TYPE__CHECK_FOR_ERROR: {
        if (req.numOfBufs == 0 || req.bufs[0].len < kReadSizeOff + sizeof(UINT32))
            return; // refused by the shape check
        UINT32 lbs;
        memcpy(&lbs, static_cast<const UINT8 *>(req.bufs[0].p) + kReadSizeOff, sizeof(lbs));
        // A size the range check refuses still gets a buffer the handler may be handed.
        pBufs->lbs = MOS_MAX(1u, MOS_MIN(lbs, IOH__MAX_IO_SIZE_IN_LBS));
        pBufs->pPool = req.msgType == TGT_MSG_TYPE__IO_READ_PRI ? cont_GetCachePrimary(pCont) : cont_GetCacheSecondary(pCont);
        pBufs->pData = rcacheNetBuf_Allocate(pBufs->pPool, pBufs->lbs, TRUE, &pBufs->pDif);
        return;
    }
    case TGT_MSG_TYPE__READ_COMB_BM:
    case TGT_MSG_TYPE__READ_COMB_FINE_DRL:
        pBufs->pDrl = static_cast<TgtRsp_ReadCombFineDrl *>(
            mos_MemMalloc(sizeof(TgtRsp_ReadCombFineDrl), sizeof(TgtRsp_ReadCombFineDrl), __func__, TRUE));
        return;
    default:
        return;
    }
}

void contIo_FreeBufs(ContIoBufs *pBufs)
{
    if (pBufs->pData != nullptr)
        rcacheNetBuf_Free(pBufs->pPool, pBufs->pData, pBufs->pDif, pBufs->lbs);
    mos_MemFree(pBufs->pDrl);
    *pBufs = ContIoBufs{};
}

// The data path's entry on the receive groups' threads.
void contIo_Request(Cont *pCont, NetRpcData *pReq, HNetCon hCon)
{
    const UINT32 numOfBufs = pReq->iov.numOfUsedBuffers;
    if (numOfBufs > TGT_MSG__MAX_BUFS) {
        MOS_TRACE(MOS_COMP_TGT_NET, MOS_FREQ_LOW, "Request %u of %u buffers refused", (unsigned)pReq->context,
                  (unsigned)numOfBufs);
        contNet_SendIORc(pCont, pReq, MOS_RC__INVALID);
        return;
    }
    IohReq req{};
    req.msgType = pReq->context;
    req.peerVer = TGT_PEER_VER__UNKNOWN;
    if (hCon != NET_CON__INVALID_HCON)
        (void)net_GetPeerVersion(cont_GetNetObj(pCont), hCon, FALSE, 0, &req.peerVer);
    req.numOfBufs = numOfBufs;
    for (UINT32 i = 0; i < numOfBufs; i++)
        req.bufs[i].p = NET_IOV__GET(&pReq->iov, i, &req.bufs[i].len);

    ContIoReq io{};
    io.pReq = pReq;
    contIo_AllocBufs(pCont, req, &io.bufs);
    io.res.pReadData = static_cast<UINT8 *>(io.bufs.pData);
    io.res.pReadDif = static_cast<T10Dif *>(io.bufs.pDif);
    io.res.pDrlRsp = io.bufs.pDrl;
    ioh_NewRequest(cont_GetIoh(pCont), &req, &io.res);
    MOS_TRACE(MOS_COMP_TGT_NET, MOS_FREQ_HIGH, "IO processing completed:pReq={pMsgCtx=%p}, pResp={size=%u}, bDelayResp=%u",
              static_cast<void *>(pReq), io.res.numOfRspBufs, (unsigned)io.res.bDelayResp);
    // A held answer and its buffers are the volume's now; it may already have sent them.
    if (io.res.bDelayResp)
        return;
    contNet_SendIOResponse(pCont, &io.res, pReq);
    contIo_FreeBufs(&io.bufs);
}

BOOL contIo_RequestIsRead(Cont *pCont, NetRpcData *pReq)
{
    IohReq req{};
    req.msgType = pReq->context;
    return ioh_NewRequestIsRead(cont_GetIoh(pCont), &req);
}

// The handler hands an answer to its volume: the request side moves to the heap with it.
BOOL contIo_HangDelayResponse(Cont *pCont, UINT64 volId, IohResp *pIoRes)
{
    ContIoReq *pIo = MOS_CONTAINER_OF(pIoRes, ContIoReq, res);
    auto *pHeld = static_cast<ContIoHeld *>(mos_MemMalloc(sizeof(ContIoHeld), sizeof(ContIoHeld), __func__, TRUE));
    if (pHeld == nullptr)
        return FALSE; // the answer goes now rather than never
    *pHeld = ContIoHeld{pIo->pReq, pIo->bufs};
    BOOL bHeld = FALSE;
    if (IohVol *pVol = cont_IohAcquireVol(pCont, volId)) {
        bHeld = contVol_hangDelayResponse(pCont, reinterpret_cast<ContVol *>(pVol), pIoRes, pHeld);
        cont_IohReleaseVol(pCont, pVol);
    }
    if (!bHeld)
        mos_MemFree(pHeld);
    return bHeld;
}

void contIo_SendHeldResponse(Cont *pCont, const void *pReqCtx, IohResp *pResp)
{
    auto *pHeld = static_cast<ContIoHeld *>(const_cast<void *>(pReqCtx));
    MOS_ASSERT_WITH_DESC(pHeld != nullptr, "every held answer carries its request");
    contNet_SendIOResponse(pCont, pResp, pHeld->pReq);
    contIo_FreeBufs(&pHeld->bufs);
    mos_MemFree(pHeld);
}

// The volume's tree is looked up by id; a tree outlives the volumes that name it.
Vtree *contIo_GetVolVtree(IohVol *pVol, VtoId *pVtoId, UINT64 *pObfuscationKey)
{
    ContVol *p = reinterpret_cast<ContVol *>(pVol);
    VTreeId vtreeId;
    {
        MosFastlockGuard g(&p->fastLock);
        vtreeId = p->vtreeId;
        *pVtoId = p->vtoId;
    }
    *pObfuscationKey = 0;
    ContVtree *pTree = cont_AcquireContVtree(p->pCont, vtreeId);
    if (pTree == nullptr)
        return nullptr;
    Vtree *pVtree = contVtree_GetVtree(pTree);
    *pObfuscationKey = contVtree_GetEncryption(pTree);
    cont_ReleaseContVtree(p->pCont, pTree);
    return pVtree;
}

Vtree *contIo_AcquireVtreeFromHead(Cont *pCont, CombId combId, UINT32 offsetInComb, BOOL *pbDeleting)
{
    *pbDeleting = FALSE;
    Head *pHead = head_ContAcquireHead(pCont, combId_GetHeadId(combId));
    if (pHead == nullptr)
        return nullptr;
    const VTreeId vtreeId = head_GetVtreeId(pHead, offsetInComb / IOH__MAX_IO_SIZE_IN_LBS);
    head_ContReleaseHead(pCont, pHead);
    Vtree *pVtree = vtreeId != 0 ? head_ContAcquireVtree(pCont, vtreeId) : nullptr;
    if (pVtree != nullptr)
        *pbDeleting = head_ContVtreeNeedDelete(pVtree);
    return pVtree;
}

// Services of a comb that its mirroring object does not offer yet: refused, never a stop.
Mos_RC contIo_NotServed(const char *pWhat)
{
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "%s is not served", pWhat);
    return MOS_RC__IO_HARD_ERROR;
}

// The controller's side; the comb's side comes from its mirroring object (raid_FillIohHooks).
const IohHooks kContHooks = {
    cont_AcquireIohComb,
    cont_ReleaseIohComb,
    cont_IohAcquireVol,
    cont_IohReleaseVol,
    contIo_GetVolVtree,
    cont_IohValidateVol,
    cont_IohIsVolQuiesced,
    contIo_HangDelayResponse,
    cont_IsOstrelBlocked,
    contIo_AcquireVtreeFromHead,
    [](Cont *pCont, Vtree *pVtree) { head_ContReleaseVtree(pCont, pVtree); },
    nullptr, // getState
    nullptr, // getPhyComb
    nullptr, // firstAccess
    nullptr, // write
    nullptr, // read
    nullptr, // trim
    [](RaidComb *, UINT32) -> Mos_RC { return contIo_NotServed("The partner's tooth list"); },
    nullptr, // toothNeedsRebuild
    [](RaidComb *, UINT32) -> Mos_RC { return contIo_NotServed("Cleaning a partner's tooth"); },
    nullptr, // readCombDrl
    nullptr, // resetCombDrl
    [](RaidComb *, const TgtReq_GetNextTooth *, TgtRsp_GetNextTooth *) -> Mos_RC {
        return contIo_NotServed("The next tooth of a reverse rebuild");
    },
    [](Cont *pCont, UINT32 sizeInLbs, UINT32 offsetInComb, BOOL bWrite) -> BOOL {
        return rcache_IsCacheSkip(cont_GetCache(pCont), sizeInLbs, offsetInComb, bWrite);
    },
    cont_IohIsVolCached,
    [](RaidComb *, BOOL) -> BOOL { return FALSE; }, // a comb's cache flags are not known here: bypass
    nullptr, // startThrottling
    nullptr, // endThrottling
    // The devices' bandwidth counters belong to the device objects; nothing counts before they do.
    [](RaidComb *, UINT32, UINT32, BOOL) {},
    [](Cont *, UINT32 sizeInLbs) { raidComb_AddToIoLimiter(nullptr, sizeInLbs); }, // the resync pool's
};

const ContVolHooks kVolHooks = {cont_AcquireContVtree, cont_ReleaseContVtree, contIo_SendHeldResponse};
} // namespace

const IohHooks *contIo_GetIohHooks(void)
{
    // The comb's side comes from the mirroring layer; built once, on first use.
    static const IohHooks hooks = [] {
        IohHooks h = kContHooks;
        raid_FillIohHooks(&h);
        raidResync_FillIohHooks(&h);
        return h;
    }();
    return &hooks;
}

const ContVolHooks *contIo_GetVolHooks(void)
{
    return &kVolHooks;
}

void contIo_Start(Cont *pCont)
{
    contNet_SetIoHandler(cont_GetContNet(pCont), contIo_Request, contIo_RequestIsRead);
}
