// Receive groups: where the messaging layer meets its consumer.
//
// The consumer creates one group per kind of traffic, with its callback set and a number of
// worker uthreads; a sender names the group that handles its message by the group number in the
// frame head. A group provides the buffers an incoming payload lands in (through the consumer's
// allocator), queues finished messages and runs the consumer's callbacks on its own workers, so
// the poll loop and the path tasks never run consumer code and a slow consumer holds up only its
// own group. Before a received message reaches the consumer its channel is checked: a request the
// channel refuses is answered with MOS_RC__BUSY by the group itself, a refused notification is
// dropped (answering a notification would send the peer a response it never asked for).
//
// Ownership: a received message and its payload buffers are the consumer's from the moment its
// callback runs. The receive record of a notification is freed by the group unless the callback
// answered MOS_RC__PENDING (then the consumer frees it with net_FreeRecvMsg); the payload buffers
// the consumer frees itself. A request is freed by netRecvGroup_SendResponse, which also returns
// its payload buffers through the group's free callback. A message of the sender's own (a
// response or failure of an asynchronous request, an asynchronous send's completion) stays its
// sender's throughout; the group only hands it back.
//
// Locking: recvFastlock covers the queue, both counters and the thread counts; conditions are
// waited on under it; callbacks run without it. A writing request holds its channel's read lock
// during its callback; a reading one releases the channel first.
#pragma once

#include "mos/mos_obj_entry.h"
#include "mos/umt/mos_umt_class.h"
#include "mos/umt/mos_umt_cond.h"
#include "net/net_con.h"
#include "net/net_msg.h"
#include "net/net_rpc.h"

struct Net;

typedef void (*netRecvGroup_AllocBufferCB)(void *pObjCont, UINT32 conGrpId, NetSmallIov *pIov, UINT32 len,
                                           Context context, SocketHeaderType type, const UINT8 *pExtHeader);
typedef void (*netRecvGroup_FreeBufferCB)(void *pObjCont, UINT32 conGrpId, NetSmallIov *pIov);
// MOS_RC__PENDING: the consumer keeps the receive record and frees it later.
typedef Mos_RC (*netRecvGroup_RecvNotifCB)(void *pObjCont, NetRpcData *pReq);
// The consumer answers with netRecvGroup_SendResponse, now or later.
typedef void (*netRecvGroup_RecvRequestCB)(HNetCon hCon, void *pObjCont, NetRpcData *pReq);
typedef BOOL (*netRecvGroup_RecvRequestIsReadCB)(void *pObjCont, NetRpcData *pReq);
typedef void (*netRecvGroup_RecvRpcResponseCB)(void *pObjCont, NetRpcMsg *pMsg);
typedef void (*netRecvGroup_SendAsyncDoneCB)(void *pObjCont, NetRpcMsg *pMsg);

// The consumer's callback set, in slot order. Only pRecvRequestIsReadFunc may be null (every
// request then counts as writing).
struct NetRecvGrpCallback {
    netRecvGroup_AllocBufferCB pAllocBufferFunc;
    netRecvGroup_FreeBufferCB pFreeBufferFunc;
    netRecvGroup_RecvNotifCB pRecvNotifFunc;
    netRecvGroup_RecvRequestCB pRecvRequestFunc;
    netRecvGroup_RecvRequestIsReadCB pRecvRequestIsReadFunc;
    netRecvGroup_RecvRpcResponseCB pRecvRpcResponseFunc;
    netRecvGroup_SendAsyncDoneCB pSendAsyncDoneFunc;
    void *pObjCont;
};

// Answered by netRecvGroup_Query (SDBG_EXPORTS_OBJ_TYPE__NET_RECV_GRP).
struct NetRecvGroupQuery {
    UINT64 numOfReqPending;
    UINT64 numOfReqInProgress;
};
static_assert(sizeof(NetRecvGroupQuery) == 16);

struct NetRecvGroup {
    Net *pNet;
    MosUmt_Cond waiterCond;
    MosDList_Anchor recvMsgList;
    MosFastlock_Base recvFastlock;
    MosUmt_Cond condVar; // the last surplus worker has exited
    NetRecvGrpCallback recvCB;
    MosObj sdbgObj;
    NetRecvGroupQuery dbgQuery;
    UINT32 numOfThreads;
    UINT32 numOfThreadsToRemove;
    MosUmtClassId classId;
};

// Allocates a group, initialises it and registers it under conGrpId (the root object's call).
NetRecvGroup *net_AllocRecvGroup(Net *pNet, UINT32 conGrpId, const NetRecvGrpCallback *pCB, MosUmtClassId classId);

void netRecvGroup_Init(NetRecvGroup *pGroup, const NetRecvGrpCallback *pCB, Net *pNet, MosUmtClassId classId);
// Tests and tools: ends every worker (waiting on the calling OS thread, which must not be one of
// the group's schedulers) and releases the group; nothing may be queued.
void netRecvGroup_Destroy(NetRecvGroup *pGroup);
// Destroys and frees a group from net_AllocRecvGroup, once the net is destroyed.
void net_FreeRecvGroup(Net *pNet, NetRecvGroup *pGroup);
// Raises the target by creating the missing workers, or lowers it by waking that many workers to
// exit. 0 is a panic.
void netRecvGroup_SetNumOfWorkers(NetRecvGroup *pGroup, UINT32 numOfThreads);
UINT32 netRecvGroup_GetNumOfWorkers(NetRecvGroup *pGroup);
BOOL netRecvGroup_IsRemoveInProgress(NetRecvGroup *pGroup);
// Waits until every worker asked to exit has gone: MOS_RC__SUCCESS, or MOS_RC__TIMEOUT.
Mos_RC netRecvGroup_WaitForAllUmtRemoval(NetRecvGroup *pGroup, UINT32 timeOutMilli);

// Called by the receive path and the RPC layer.
void netRecvGroup_AllocBufferForRecv(NetRecvGroup *pGroup, UINT32 conGrpId, NetSmallIov *pIov, UINT32 len,
                                     Context context, SocketHeaderType type, const UINT8 *pExtHeader);
void netRecvGroup_FreeBuffer(NetRecvGroup *pGroup, UINT32 conGrpId, NetSmallIov *pIov);
void netRecvGroup_RecvMsg(NetRecvGroup *pGroup, NetMsgRcv *pMsg);
void netRecvGroup_RecvAsyncRes(NetRecvGroup *pGroup, NetRpcMsg *pMsg);
void netRecvGroup_SendAsyncDone(NetRecvGroup *pGroup, NetRpcMsg *pMsg);

// Called by the consumer. The response's data record comes back to be filled: its context word
// (the return code, by the product's convention) and its payload.
NetRpcData *netRecvGroup_InitResponse(Net *pNet, NetRpcMsg *pResponse, NetRpcData *pRequest, BOOL bSync);
// Returns the request's buffers through the group's free callback, frees its receive record and
// sends the response on the request's connection; the request must not be touched afterwards.
Mos_RC netRecvGroup_SendResponse(Net *pNet, NetRpcMsg *pResponse, NetRpcData *pRequest, BOOL bBlock);
HNetCon netRecvGroup_GetHcon(const NetRpcData *pRequest);

void netRecvGroup_Query(MosObj *pObj, const CHAR_A *pName, void *pData);

// Callbacks for kinds of events a consumer must never receive: each is a panic.
void netRecvGroup_DummyAllocBufferCB(void *pObjCont, UINT32 conGrpId, NetSmallIov *pIov, UINT32 len, Context context,
                                     SocketHeaderType type, const UINT8 *pExtHeader);
void netRecvGroup_DummyFreeBufferCB(void *pObjCont, UINT32 conGrpId, NetSmallIov *pIov);
Mos_RC netRecvGroup_DummyRecvNotifCB(void *pObjCont, NetRpcData *pReq);
void netRecvGroup_DummyRecvRequestCB(HNetCon hCon, void *pObjCont, NetRpcData *pReq);
void netRecvGroup_DummyRecvRpcResponseCB(void *pObjCont, NetRpcMsg *pMsg);
void netRecvGroup_DummySendAsyncDoneCB(void *pObjCont, NetRpcMsg *pMsg);
