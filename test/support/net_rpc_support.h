// A consumer of the messaging layer for tests and benchmarks: a receive group that gives heap
// buffers (counting every buffer given and returned), answers requests by echoing their payload
// (or holds them to be answered later), counts notifications and keeps the asynchronous
// completions it is handed.
#pragma once

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "net/net.h"
#include "net/net_rcv_group.h"
#include "net/net_rpc.h"

struct NetRpcTestConsumer {
    Net *pNet = nullptr;
    NetRecvGroup *pGroup = nullptr;
    std::atomic<int> buffersGiven{0};
    std::atomic<int> buffersReturned{0};
    std::atomic<int> notifs{0};
    std::atomic<int> requests{0};
    std::atomic<int> rpcResponses{0};
    std::atomic<int> sendDones{0};
    std::atomic<bool> bHoldRequests{false};
    std::atomic<UINT32> lastRecvChanNum{~0u}; // the channel number the last request carried
    std::atomic<bool> bRecordTypes{false};     // keep the head type of every payload given buffers
    std::vector<SocketHeaderType> types;
    std::mutex mu;
    std::vector<NetRpcData *> held;
    std::vector<NetRpcMsg *> completions;
};

inline void netRpcTest_Alloc(void *pObj, UINT32, NetSmallIov *pIov, UINT32 len, Context, SocketHeaderType type,
                             const UINT8 *)
{
    auto *c = static_cast<NetRpcTestConsumer *>(pObj);
    if (c->bRecordTypes) {
        std::lock_guard<std::mutex> lock(c->mu);
        c->types.push_back(type);
    }
    // A short first buffer, so that bytes that came inside the head are scattered.
    const UINT32 first = MOS_MIN(len, 13u);
    netIov_AddBuffer(pIov, malloc(first), first, NET_IOV_BUF_TYPE__USER_FIRST);
    c->buffersGiven++;
    if (len > first) {
        netIov_AddBuffer(pIov, malloc(len - first), len - first, NET_IOV_BUF_TYPE__USER_FIRST);
        c->buffersGiven++;
    }
}

inline void netRpcTest_Free(void *pObj, UINT32, NetSmallIov *pIov)
{
    auto *c = static_cast<NetRpcTestConsumer *>(pObj);
    for (UINT32 i = 0; i < pIov->numOfUsedBuffers; i++) {
        UINT32 len = 0;
        free(NET_IOV__GET(pIov, i, &len));
        c->buffersReturned++;
    }
    NET_IOV__RESET(pIov);
}

inline std::vector<UINT8> netRpcTest_Bytes(const NetSmallIov *pIov)
{
    std::vector<UINT8> out;
    for (UINT32 i = 0; i < pIov->numOfUsedBuffers; i++) {
        UINT32 len = 0;
        auto *p = static_cast<UINT8 *>(NET_IOV__GET(pIov, i, &len));
        out.insert(out.end(), p, p + len);
    }
    return out;
}

inline Mos_RC netRpcTest_Notif(void *pObj, NetRpcData *pReq)
{
    auto *c = static_cast<NetRpcTestConsumer *>(pObj);
    netRpcTest_Free(pObj, pReq->grpId, &pReq->iov);
    c->notifs++;
    return MOS_RC__SUCCESS;
}

// Answers with the request's own bytes and the context word plus one (runs on a uthread).
inline void netRpcTest_Answer(NetRpcTestConsumer *c, NetRpcData *pReq, Mos_RC rc = MOS_RC__SUCCESS)
{
    std::vector<UINT8> bytes = netRpcTest_Bytes(&pReq->iov);
    const Context ctx = pReq->context;
    NetRpcMsg resp;
    NetRpcData *pData = netRecvGroup_InitResponse(c->pNet, &resp, pReq, TRUE);
    pData->context = rc;
    void *pCopy = nullptr;
    if (!bytes.empty()) {
        pCopy = malloc(bytes.size());
        memcpy(pCopy, bytes.data(), bytes.size());
        netIov_AddBuffer(&pData->iov, pCopy, (UINT32)bytes.size(), NET_IOV_BUF_TYPE__USER_FIRST);
    }
    MOS_UNUSED(ctx);
    netRecvGroup_SendResponse(c->pNet, &resp, pReq, TRUE);
    free(pCopy);
    netMsgSndAsync_Destroy(&resp);
}

inline void netRpcTest_Request(HNetCon, void *pObj, NetRpcData *pReq)
{
    auto *c = static_cast<NetRpcTestConsumer *>(pObj);
    c->lastRecvChanNum = netRecvGroup_GetRcvMsg(pReq)->recvChanNum;
    c->requests++;
    if (c->bHoldRequests) {
        std::lock_guard<std::mutex> lock(c->mu);
        c->held.push_back(pReq);
        return;
    }
    netRpcTest_Answer(c, pReq);
}

inline void netRpcTest_RpcResponse(void *pObj, NetRpcMsg *pMsg)
{
    auto *c = static_cast<NetRpcTestConsumer *>(pObj);
    std::lock_guard<std::mutex> lock(c->mu);
    c->completions.push_back(pMsg);
    c->rpcResponses++;
}

inline void netRpcTest_SendDone(void *pObj, NetRpcMsg *)
{
    static_cast<NetRpcTestConsumer *>(pObj)->sendDones++;
}

inline void netRpcTest_AddGroup(NetRpcTestConsumer *c, Net *pNet, UINT32 grpId, UINT32 workers)
{
    c->pNet = pNet;
    NetRecvGrpCallback cb{};
    cb.pAllocBufferFunc = netRpcTest_Alloc;
    cb.pFreeBufferFunc = netRpcTest_Free;
    cb.pRecvNotifFunc = netRpcTest_Notif;
    cb.pRecvRequestFunc = netRpcTest_Request;
    cb.pRecvRpcResponseFunc = netRpcTest_RpcResponse;
    cb.pSendAsyncDoneFunc = netRpcTest_SendDone;
    cb.pObjCont = c;
    c->pGroup = net_AllocRecvGroup(pNet, grpId, &cb, MosUmtClassId{0, 0});
    netRecvGroup_SetNumOfWorkers(c->pGroup, workers);
}

// A synchronous request of payload bytes to group grpId; the response's bytes in *pOut, its
// context word in *pCtx. The response's buffers go back to the consumer that gave them.
inline Mos_RC netRpcTest_Call(NetRpcTestConsumer *c, HNetCon hCon, UINT32 grpId, const std::vector<UINT8> &payload,
                              std::vector<UINT8> *pOut, Context *pCtx,
                              MosTimerQ_ID q = MOS_TIMER_QUEUE_ID__LAST, bool bPrivileged = false)
{
    NetRpcMsg msg;
    NetRpcData *pReq = netMsgSndAsync_Init(&msg, c->pNet, NET_MSG_TYPE__SNDRCV, TRUE, nullptr);
    pReq->grpId = grpId;
    pReq->context = 77;
    if (!payload.empty())
        netIov_AddBuffer(&pReq->iov, const_cast<UINT8 *>(payload.data()), (UINT32)payload.size(),
                         NET_IOV_BUF_TYPE__USER_FIRST);
    Mos_RC rc;
    if (bPrivileged)
        rc = netRPC_SendPrivilegedRequestWithTO(c->pNet, hCon, &msg, TRUE,
                                                q == MOS_TIMER_QUEUE_ID__LAST ? MOS_TIMER_QUEUE_ID__5SEC : q);
    else
        rc = q == MOS_TIMER_QUEUE_ID__LAST ? netRpc_SendRequest(c->pNet, hCon, &msg, TRUE)
                                           : netRpc_SendRequestWithTO(c->pNet, hCon, &msg, TRUE, q);
    if (pOut != nullptr)
        *pOut = netRpcTest_Bytes(&msg.msgSnd.rpcRes.iov);
    if (pCtx != nullptr)
        *pCtx = msg.msgSnd.rpcRes.context;
    if (!NET_IOV__IS_EMPTY(&msg.msgSnd.rpcRes.iov))
        netRpcTest_Free(c, grpId, &msg.msgSnd.rpcRes.iov);
    netMsgSndAsync_Destroy(&msg);
    return rc;
}
