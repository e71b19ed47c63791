#include "net/net_rcv_group.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "mos/mos_dbg.h"
#include "mos/mos_obj.h"
#include "mos/mos_trace.h"
#include "mos/sdbg/sdbg_exports.h"
#include "mos/umt/mos_umt.h"
#include "net/net_root.h"
#include "net/net_channel.h"
#include "net/net_rpc.h"

namespace {
enum : MosContentionId {
    NET_RECV_GROUP__LOCK_ID = 331,
};

// The paths reach a group through the connection manager's slot operations.
void netRecvGroup_SlotAlloc(void *pGroup, UINT32 conGrpId, NetSmallIov *pIov, UINT32 len, Context context,
                            SocketHeaderType type, const UINT8 *pExtHeader)
{
    netRecvGroup_AllocBufferForRecv(static_cast<NetRecvGroup *>(pGroup), conGrpId, pIov, len, context, type,
                                    pExtHeader);
}
void netRecvGroup_SlotFree(void *pGroup, UINT32 conGrpId, NetSmallIov *pIov)
{
    netRecvGroup_FreeBuffer(static_cast<NetRecvGroup *>(pGroup), conGrpId, pIov);
}
void netRecvGroup_SlotRecv(void *pGroup, NetMsgRcv *pMsg)
{
    netRecvGroup_RecvMsg(static_cast<NetRecvGroup *>(pGroup), pMsg);
}
const NetRecvGroupOps netRecvGroupSlotOps_G = {netRecvGroup_SlotAlloc, netRecvGroup_SlotFree, netRecvGroup_SlotRecv};

// The receive group registered under a number through net_AllocRecvGroup, or null (error line).
NetRecvGroup *netRecvGroup_OfNumber(NetConManger *pConMng, UINT32 conGrpId, const NetRpcMsg *pMsg)
{
    if (conGrpId < pConMng->numOfRecvGroup && pConMng->pRecvGroupArr[conGrpId].pOps == &netRecvGroupSlotOps_G)
        return static_cast<NetRecvGroup *>(pConMng->pRecvGroupArr[conGrpId].pGroup);
    MOS_ERROR(MOS_COMP_NET_RPC, "No receive group %u for asynchronous message %p (msgId %u)", conGrpId,
              (const void *)pMsg, pMsg->msgSnd.msgId);
    return nullptr;
}

// The caller has checked that the node is not queued already.
void netRecvGroup_Enqueue(NetRecvGroup *pGroup, NetMsgNode *pNode, UINT32 msgCode)
{
    MosFastlockGuard guard(&pGroup->recvFastlock);
    pNode->msgCode = msgCode;
    mosDList_InsertTail(&pGroup->recvMsgList, &pNode->msgListNode);
    pGroup->dbgQuery.numOfReqPending++;
    mosUmtCond_Signal(&pGroup->waiterCond);
    if (pGroup->numOfThreads == 0)
        MOS_ERROR(MOS_COMP_MOS, "ERROR: ASSERT condition (%s) failed.", "pRcvGrp->numOfThreads != 0");
}

// A request the channel refused is answered with MOS_RC__BUSY; the consumer never sees it.
void netRecvGroup_AnswerBusy(NetRecvGroup *pGroup, NetMsgRcv *pRcv)
{
    NetRpcMsg resp;
    NetRpcData *pData =
        netMsgSndAsync_InitResp(&resp, pGroup->pNet, pRcv, NET_MSG_TYPE__SNDRCV_CB, TRUE);
    pData->context = MOS_RC__BUSY;
    pData->grpId = pRcv->req.grpId;
    NET_IOV__RESET(&pData->iov);
    netRecvGroup_SendResponse(pGroup->pNet, &resp, &pRcv->req, TRUE);
    netMsgSndAsync_Destroy(&resp);
}

void netRecvGroup_HandleRecv(NetRecvGroup *pGroup, NetMsgRcv *pRcv)
{
    NetChannelManger *pChanMgr = &net_GetConManager(pGroup->pNet)->channelMngr;
    NetChannel *pChan = pRcv->pChan;
    const BOOL bAccepted =
        pChan == nullptr || netChannel_ValidateChanNum(pChan, pRcv->recvChanNum, pRcv->hCon, pRcv->recvChanSyncNum);
    const NetRecvGrpCallback *pCB = &pGroup->recvCB;
    if (!bAccepted) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Channel blocked message (channel %p, num %u, sync %u)", (void *)pChan,
                  pRcv->recvChanNum, pRcv->recvChanSyncNum);
        if (pRcv->msgType == NET_MSG_TYPE__SNDRCV) {
            netRecvGroup_AnswerBusy(pGroup, pRcv);
            return;
        }
        // A notification expects no answer: it is dropped with its buffers.
        if (!NET_IOV__IS_EMPTY(&pRcv->req.iov))
            netRecvGroup_FreeBuffer(pGroup, pRcv->req.grpId, &pRcv->req.iov);
        net_FreeRecvMsg(pGroup->pNet, pRcv);
        return;
    }
    switch (pRcv->msgType) {
    case NET_MSG_TYPE__NOTIFICATION:
        // The receive record's own channel reference goes with it; the validation's reference
        // keeps the channel until it is done.
        if (pCB->pRecvNotifFunc(pCB->pObjCont, &pRcv->req) != MOS_RC__PENDING)
            net_FreeRecvMsg(pGroup->pNet, pRcv);
        if (pChan != nullptr)
            netChannel_Done(pChan, pChanMgr);
        return;
    case NET_MSG_TYPE__SNDRCV: {
        const HNetCon hCon = pRcv->hCon;
        const BOOL bRead =
            pCB->pRecvRequestIsReadFunc != nullptr && pCB->pRecvRequestIsReadFunc(pCB->pObjCont, &pRcv->req);
        if (bRead) {
            if (pChan != nullptr)
                netChannel_Done(pChan, pChanMgr);
            pCB->pRecvRequestFunc(hCon, pCB->pObjCont, &pRcv->req);
            return;
        }
        // The request may be answered and freed inside the callback: the validation's own
        // reference keeps the channel until it is done.
        pCB->pRecvRequestFunc(hCon, pCB->pObjCont, &pRcv->req);
        if (pChan != nullptr)
            netChannel_Done(pChan, pChanMgr);
        return;
    }
    default:
        MOS_ASSERT_WITH_DESC(!(1), "a received message of an unknown type");
    }
}

void netRecvGroup_HandleOwn(NetRecvGroup *pGroup, NetRpcMsg *pMsg, UINT32 msgCode)
{
    const NetRecvGrpCallback *pCB = &pGroup->recvCB;
    switch (pMsg->msgSnd.msgType) {
    case NET_MSG_TYPE__SNDRCV:
        if ((msgCode & NET_MSG_NODE_CODE__SND_DONE) == 0)
            pCB->pRecvRpcResponseFunc(pCB->pObjCont, pMsg);
        return;
    case NET_MSG_TYPE__NOTIFICATION:
    case NET_MSG_TYPE__SNDRCV_CB:
        pCB->pSendAsyncDoneFunc(pCB->pObjCont, pMsg);
        return;
    default:
        MOS_ASSERT_WITH_DESC(!(1), "a returning message of an unknown type");
    }
}

// One pass of a worker: 1 when it is to exit.
UINT32 netRecvGroup_WaitForWork(NetRecvGroup *pGroup)
{
    MosDList_Node *pNode = nullptr;
    UINT32 msgCode = 0;
    {
        MosFastlockGuard guard(&pGroup->recvFastlock);
        for (;;) {
            if (pGroup->numOfThreadsToRemove != 0) {
                if (--pGroup->numOfThreadsToRemove == 0)
                    mosUmtCond_Broadcast(&pGroup->condVar);
                if (pGroup->recvMsgList.counter != 0)
                    mosUmtCond_Signal(&pGroup->waiterCond);
                return 1;
            }
            if (pGroup->recvMsgList.counter != 0)
                break;
            mosUmtCond_Wait(&pGroup->waiterCond, &pGroup->recvFastlock);
        }
        MosDList_Node *pMsg = pGroup->recvMsgList.pFirst;
        MOS_ASSERT(pMsg != ((void *)0));
        if (pGroup->recvMsgList.counter > 1)
            MOS_ASSERT((pMsg)->pNext != ((PVOID) -1));
        pNode = pMsg;
        mosDList_Remove(&pGroup->recvMsgList, pNode);
        pGroup->dbgQuery.numOfReqPending--;
        pGroup->dbgQuery.numOfReqInProgress++;
        msgCode = MOS_CONTAINER_OF(pNode, NetMsgNode, msgListNode)->msgCode;
    }
    NetMsgNode *pMsgNode = MOS_CONTAINER_OF(pNode, NetMsgNode, msgListNode);
    if ((msgCode & NET_MSG_NODE_CODE__RECV) != 0)
        netRecvGroup_HandleRecv(pGroup, MOS_CONTAINER_OF(pMsgNode, NetMsgRcv, rcvMsgNode));
    else
        netRecvGroup_HandleOwn(pGroup, MOS_CONTAINER_OF(pMsgNode, NetRpcMsg, msgSnd.sndMsgNode), msgCode);
    MosFastlockGuard guard(&pGroup->recvFastlock);
    pGroup->dbgQuery.numOfReqInProgress--;
    return 0;
}

void netRecvGroup_WaitForWorkLoop(void *pArg)
{
    NetRecvGroup *pGroup = static_cast<NetRecvGroup *>(pArg);
    while (netRecvGroup_WaitForWork(pGroup) == 0)
        mosUmt_YieldIfShould();
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Worker %p is going to die", (void *)mosUmt_GetUThreadHdl());
}
} // namespace

NetRecvGroup *net_AllocRecvGroup(Net *pNet, UINT32 conGrpId, const NetRecvGrpCallback *pCB, MosUmtClassId classId)
{
    NetRecvGroup *pGroup = static_cast<NetRecvGroup *>(calloc(1, sizeof(NetRecvGroup)));
    MOS_ASSERT(pGroup != nullptr);
    netRecvGroup_Init(pGroup, pCB, pNet, classId);
    net_AddRecvGroup(pNet, conGrpId, pGroup, &netRecvGroupSlotOps_G);
    return pGroup;
}

void netConManager_FreeBuffer(NetConManger *pConMng, UINT32 conGrpId, NetSmallIov *pIov)
{
    if (conGrpId >= pConMng->numOfRecvGroup || pConMng->pRecvGroupArr[conGrpId].pOps == nullptr) {
        MOS_ERROR(MOS_COMP_NET, "No receive group %u to return %u buffers to", conGrpId, pIov->numOfUsedBuffers);
        return;
    }
    pConMng->pRecvGroupArr[conGrpId].pOps->pFreeBufferCK(pConMng->pRecvGroupArr[conGrpId].pGroup, conGrpId, pIov);
}

void netConManager_RecvAsyncRes(NetConManger *pConMng, UINT32 conGrpId, NetRpcMsg *pMsg)
{
    if (NetRecvGroup *pGroup = netRecvGroup_OfNumber(pConMng, conGrpId, pMsg))
        netRecvGroup_RecvAsyncRes(pGroup, pMsg);
}

void netConManager_SendAsyncDone(NetConManger *pConMng, UINT32 conGrpId, NetRpcMsg *pMsg)
{
    if (NetRecvGroup *pGroup = netRecvGroup_OfNumber(pConMng, conGrpId, pMsg))
        netRecvGroup_SendAsyncDone(pGroup, pMsg);
}

void netRecvGroup_Init(NetRecvGroup *pGroup, const NetRecvGrpCallback *pCB, Net *pNet, MosUmtClassId classId)
{
    memset(static_cast<void *>(pGroup), 0, sizeof(*pGroup));
    MOS_FASTLOCK_CREATE(&pGroup->recvFastlock, NET_RECV_GROUP__LOCK_ID);
    pGroup->recvCB = *pCB;
    pGroup->pNet = pNet;
    // In slot order; only the read test may be missing.
    const NetRecvGroup *pRcvGrp = pGroup;
    Exp(pRcvGrp->recvCB.pAllocBufferFunc == ((void *)0));
    Exp(pRcvGrp->recvCB.pFreeBufferFunc == ((void *)0));
    Exp(pRcvGrp->recvCB.pRecvNotifFunc == ((void *)0));
    Exp(pRcvGrp->recvCB.pRecvRequestFunc == ((void *)0));
    Exp(pRcvGrp->recvCB.pRecvRpcResponseFunc == ((void *)0));
    Exp(pRcvGrp->recvCB.pSendAsyncDoneFunc == ((void *)0));
    Exp(pRcvGrp->recvCB.pObjCont == ((void *)0));
    pGroup->classId = classId;
    mosDList_InitAnchor(&pGroup->recvMsgList);
    MosObj_Type *pType = mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__NET_RECV_GRP);
    if (pType != nullptr)
        mosObjType_RegObj(pType, &pGroup->sdbgObj, "net recv group");
    mosUmtCond_Init(&pGroup->waiterCond);
    mosUmtCond_Init(&pGroup->condVar);
}

void netRecvGroup_Destroy(NetRecvGroup *pGroup)
{
    {
        MosFastlockGuard guard(&pGroup->recvFastlock);
        MOS_ASSERT(pGroup->recvMsgList.counter == 0);
        pGroup->numOfThreadsToRemove += pGroup->numOfThreads;
        pGroup->numOfThreads = 0;
        mosUmtCond_Broadcast(&pGroup->waiterCond);
    }
    while (netRecvGroup_IsRemoveInProgress(pGroup))
        usleep(1000);
    if (mosObj_IsRegistered(&pGroup->sdbgObj))
        mosObjType_UnregObj(mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__NET_RECV_GRP), &pGroup->sdbgObj);
    mosUmtCond_Destroy(&pGroup->waiterCond);
    mosUmtCond_Destroy(&pGroup->condVar);
    mosFastlockBase_Destroy(&pGroup->recvFastlock);
}

void net_FreeRecvGroup(Net *pNet, NetRecvGroup *pGroup)
{
    MOS_UNUSED(pNet);
    netRecvGroup_Destroy(pGroup);
    free(pGroup);
}

void netRecvGroup_SetNumOfWorkers(NetRecvGroup *pGroup, UINT32 numOfThreads)
{
    MOS_ASSERT(0 != numOfThreads);
    UINT32 toCreate = 0;
    {
        MosFastlockGuard guard(&pGroup->recvFastlock);
        if (pGroup->numOfThreads >= numOfThreads) {
            const UINT32 surplus = pGroup->numOfThreads - numOfThreads;
            pGroup->numOfThreadsToRemove += surplus;
            pGroup->numOfThreads = numOfThreads;
            for (UINT32 i = 0; i < surplus; i++)
                mosUmtCond_Signal(&pGroup->waiterCond);
            return;
        }
        toCreate = numOfThreads - pGroup->numOfThreads;
        pGroup->numOfThreads = numOfThreads;
    }
    MosUmt_Sched *pSched = net_GetWorkerSched(pGroup->pNet);
    if (pSched == nullptr)
        pSched = mosUmt_GetDefaultScheduler();
    for (UINT32 i = 0; i < toCreate; i++) {
        MOS_ASSERT(mosUmt_CreateUThreadEx(netRecvGroup_WaitForWorkLoop, pGroup, pSched, mosUmt_GetDefaultAllocator(),
                                          FALSE, pGroup->classId) != nullptr);
    }
}

UINT32 netRecvGroup_GetNumOfWorkers(NetRecvGroup *pGroup)
{
    MosFastlockGuard guard(&pGroup->recvFastlock);
    return pGroup->numOfThreads;
}

BOOL netRecvGroup_IsRemoveInProgress(NetRecvGroup *pGroup)
{
    return __atomic_load_n(&pGroup->numOfThreadsToRemove, __ATOMIC_ACQUIRE) != 0;
}

Mos_RC netRecvGroup_WaitForAllUmtRemoval(NetRecvGroup *pGroup, UINT32 timeOutMilli)
{
    Mos_RC rc = MOS_RC__SUCCESS;
    MosFastlockGuard guard(&pGroup->recvFastlock);
    if (pGroup->numOfThreadsToRemove != 0)
        rc = mosUmtCond_TimedWait(&pGroup->condVar, &pGroup->recvFastlock, timeOutMilli);
    Exp(((rc) == MOS_RC__SUCCESS) && netRecvGroup_IsRemoveInProgress(pGroup));
    return rc;
}

void netRecvGroup_AllocBufferForRecv(NetRecvGroup *pGroup, UINT32 conGrpId, NetSmallIov *pIov, UINT32 len,
                                     Context context, SocketHeaderType type, const UINT8 *pExtHeader)
{
    pGroup->recvCB.pAllocBufferFunc(pGroup->recvCB.pObjCont, conGrpId, pIov, len, context, type, pExtHeader);
}

void netRecvGroup_FreeBuffer(NetRecvGroup *pGroup, UINT32 conGrpId, NetSmallIov *pIov)
{
    pGroup->recvCB.pFreeBufferFunc(pGroup->recvCB.pObjCont, conGrpId, pIov);
}

void netRecvGroup_RecvMsg(NetRecvGroup *pGroup, NetMsgRcv *pNetMsg)
{
    MOS_ASSERT((&pNetMsg->rcvMsgNode.msgListNode)->pNext == ((void *)0));
    netRecvGroup_Enqueue(pGroup, &pNetMsg->rcvMsgNode, NET_MSG_NODE_CODE__RECV);
}

void netRecvGroup_RecvAsyncRes(NetRecvGroup *pGroup, NetRpcMsg *pNetMsg)
{
    MOS_ASSERT((&pNetMsg->msgSnd.sndMsgNode.msgListNode)->pNext == ((void *)0));
    netRecvGroup_Enqueue(pGroup, &pNetMsg->msgSnd.sndMsgNode, NET_MSG_NODE_CODE__SEND);
}

void netRecvGroup_SendAsyncDone(NetRecvGroup *pGroup, NetRpcMsg *pMsg)
{
    MOS_ASSERT_WITH_DESC(pMsg->msgSnd.msgType != NET_MSG_TYPE__SNDRCV, "requests complete through their response");
    NetRpcMsg *pNetMsg = pMsg;
    MOS_ASSERT((&pNetMsg->msgSnd.sndMsgNode.msgListNode)->pNext == ((void *)0));
    netRecvGroup_Enqueue(pGroup, &pMsg->msgSnd.sndMsgNode, NET_MSG_NODE_CODE__SEND | NET_MSG_NODE_CODE__SND_DONE);
}

NetMsgRcv *netRecvGroup_GetRcvMsg(NetRpcData *pRequest)
{
    return MOS_CONTAINER_OF(pRequest, NetMsgRcv, req);
}

HNetCon netRecvGroup_GetHcon(const NetRpcData *pRequest)
{
    return MOS_CONTAINER_OF(const_cast<NetRpcData *>(pRequest), NetMsgRcv, req)->hCon;
}

NetRpcData *netRecvGroup_InitResponse(Net *pNet, NetRpcMsg *pResponse, NetRpcData *pRequest, BOOL bSync)
{
    return netMsgSndAsync_InitResp(pResponse, pNet, netRecvGroup_GetRcvMsg(pRequest), NET_MSG_TYPE__SNDRCV_CB, bSync);
}

Mos_RC netRecvGroup_SendResponse(Net *pNet, NetRpcMsg *pResponse, NetRpcData *pRequest, BOOL bBlock)
{
    NetMsgRcv *pRcv = netRecvGroup_GetRcvMsg(pRequest);
    const HNetCon hCon = pRcv->hCon;
    pResponse->msgSnd.rpcReq.grpId = pRequest->grpId;
    if (!NET_IOV__IS_EMPTY(&pRequest->iov))
        netConManager_FreeBuffer(net_GetConManager(pNet), pRequest->grpId, &pRequest->iov);
    net_FreeRecvMsg(pNet, pRcv);
    return netRpc_SendResponse(pNet, hCon, pResponse, bBlock);
}

void netRecvGroup_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MOS_UNUSED(pName);
    NetRecvGroup *pGroup = MOS_CONTAINER_OF(pObj, NetRecvGroup, sdbgObj);
    MosFastlockGuard guard(&pGroup->recvFastlock);
    *static_cast<NetRecvGroupQuery *>(pData) = pGroup->dbgQuery;
}

void netRecvGroup_DummyAllocBufferCB(void *, UINT32, NetSmallIov *, UINT32, Context, SocketHeaderType, const UINT8 *)
{
    MOS_ASSERT_WITH_DESC(0, "a receive group got a payload it has no buffers for");
}
void netRecvGroup_DummyFreeBufferCB(void *, UINT32, NetSmallIov *)
{
    MOS_ASSERT_WITH_DESC(0, "a receive group was asked to free buffers it never gives");
}
Mos_RC netRecvGroup_DummyRecvNotifCB(void *, NetRpcData *)
{
    MOS_ASSERT_WITH_DESC(0, "a receive group got a notification it must never receive");
}
void netRecvGroup_DummyRecvRequestCB(HNetCon, void *, NetRpcData *)
{
    MOS_ASSERT_WITH_DESC(0, "a receive group got a request it must never receive");
}
void netRecvGroup_DummyRecvRpcResponseCB(void *, NetRpcMsg *)
{
    MOS_ASSERT_WITH_DESC(0, "a receive group got an asynchronous response it must never receive");
}
void netRecvGroup_DummySendAsyncDoneCB(void *, NetRpcMsg *)
{
    MOS_ASSERT_WITH_DESC(0, "a receive group got an asynchronous send completion it must never receive");
}
