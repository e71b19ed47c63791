// Message descriptors.
//
// A message the process sends is described by a NetRpcMsg that its sender owns (on its stack or in
// a request context): initialised before its first send, reused between sends, destroyed at the
// end. While the layer holds it (from hand-over to completion) the owner touches it only to wait.
// A received message is a NetMsgRcv from the root object's receive pool, initialised from the
// record the receive path filled.
//
// Ids: every send gets a fresh id from the root object's counter, except a response, which takes
// the id of the request it answers so that the peer can match it. Both context words start as
// MOS_RC__TIMEOUT, so a response whose context is never filled in reads as a time-out. The result
// (netRc) starts as MOS_RC__ILLEGAL; reading it before it is set, or overwriting a success, is a
// panic. The buffers in a message's lists belong to its owner, who frees them before destroying it.
#pragma once

#include "mos/env/mos_net_iov.h"
#include "mos/mos_dlist.h"
#include "mos/mos_ds_hash.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_ticks.h"
#include "mos/mos_timer.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "net/net_mit.h"
#include "net/net_socket_header.h"

struct Net;
struct NetChannel;

// The head of every message queued on a receive group.
enum NetMsgNodeCode : UINT32 {
    NET_MSG_NODE_CODE__RECV = 1,
    NET_MSG_NODE_CODE__SEND = 2,
    NET_MSG_NODE_CODE__SND_DONE = 4,
};
struct NetMsgNode {
    MosDList_Node msgListNode;
    UINT32 msgCode;
};

// Bits of a sent message's flags.
enum NetMsgSndFlags : UINT32 {
    NET_MSG_SND_FLAGS__INIT = 0x001,
    NET_MSG_SND_FLAGS__SEND_DONE = 0x002,
    NET_MSG_SND_FLAGS__PICKED_BY_SOCKET = 0x004,
    NET_MSG_SND_FLAGS__SEND_RSP_STARTED = 0x008,
    NET_MSG_SND_FLAGS__RSP_ARRIVED = 0x010,
    NET_MSG_SND_FLAGS__TIMER_EXP_BEFORE_SEND = 0x020,
    NET_MSG_SND_FLAGS__TIMER_EXP_AFTER_SEND = 0x040,
    NET_MSG_SND_FLAGS__TIMER_EXP_AFTER_SEND_NOT_FOUND = 0x080,
    NET_MSG_SND_FLAGS__SEND_ERROR = 0x100,
    NET_MSG_SND_FLAGS__ABNORMAL = 0x200,
};

// The payload record the consumer sees.
struct NetRpcData {
    union {
        struct {
            Context context; // request/notification: the product message type; response: the result
            UINT32 grpId;    // the receive group at the peer
        };
        void *pUserPtr;
        MosDList_Node userNode;
    };
    NetSmallIov iov;
    BOOL bOriginatedInLocalHost;
    UINT32 recvSecMode;   // security mode of the path it came on (unsecure 0, TLS 1)
    UINT32 senderVersion; // the sender's numeric version
    void *pSample;
    UINT32 recvChanNum;
};

struct NetMsgSnd {
    NetMsgNode sndMsgNode;
    NetMit mit;
    NetRpcData rpcReq; // what is sent
    NetRpcData rpcRes; // the response, for a request
    MosFastlock_Base lock;
    Net *pNet;
    void *pOldConPtr; // the connection it was handed to
    void *pPerfRound;
    NetMsgType msgType;
    UINT32 chanNum;
    UINT32 msgId;
    UINT32 flags;
    Mos_RC netRc;
    BOOL bSync;
    BOOL bMsgAborted;
    void *sample;
};

struct NetRpcMsg {
    NetMsgSnd msgSnd;
    MosTimer_Req timerReq; // the request's time-out
    MosHash_Record msgHashNode; // in the pending-request table
    MosUmt_Sem *pWaitForMsg; // a synchronous sender's semaphore
    void *pPerfRound;
    MosTicks_Cnt startTime; // in microseconds of the monotonic clock
    union {
        void *pUserArg1;
        UINT64 userArg1;
    };
    union {
        void *pUserArg2;
        UINT64 userArg2;
        MosDList_Node userNode;
    };
};

typedef NetRpcData *PNetRpcData;
typedef NetRpcMsg *PNetRpcMsg;

struct NetMsgRcv {
    NetMsgNode rcvMsgNode;
    NetMsgType msgType;
    NetRpcData req;
    NetChannel *pChan;
    UINT32 recvChanNum;
    UINT32 recvChanSyncNum;
    UINT32 msgId;
    UINT64 hCon; // the connection's handle
    void *pPerfRound;
    void *sample;
};

// How a received message holds its channel; installed by the channel module at its start.
struct NetMsgRcv_ChannelOps {
    void (*pRefCK)(NetChannel *pChan);
    void (*pUnrefCK)(NetChannel *pChan);
    UINT32 (*pSyncNumCK)(NetChannel *pChan);
};
void netMsgRcv_SetChannelOps(const NetMsgRcv_ChannelOps *pOps);

NetRpcData *netMsgSndAsync_Init(NetRpcMsg *pMsg, Net *pNet, NetMsgType msgType, BOOL bSync, MosUmt_Sem *pSem);
NetRpcData *netMsgSndAsync_InitResp(NetRpcMsg *pMsg, Net *pNet, const NetMsgRcv *pRcv, NetMsgType msgType,
                                    BOOL bSync);
void netMsgSnd_Init(NetMsgSnd *pMsg, Net *pNet, UINT32 msgId, NetMsgType msgType, BOOL bSync);
void netMsgSndAsync_Reuse(NetRpcMsg *pMsg);
void netMsgSnd_Reuse(NetMsgSnd *pMsg, UINT32 msgId);
void netMsgSnd_Destroy(NetMsgSnd *pMsg, BOOL bValidate);
void netMsgSndAsync_Destroy(NetRpcMsg *pMsg);
void netMsgSndAsync_DestroyValidate(NetRpcMsg *pMsg);
void netMsgSnd_UpdateCbData(NetMsgSnd *pMsg, const NetRpcData *pResponse, Mos_RC netRc);
Mos_RC NetMsgSnd_GetRc(const NetMsgSnd *pMsg);
void NetMsgSnd_SetRc(NetMsgSnd *pMsg, Mos_RC rc);

void netMsgSndSync_AddSem(NetRpcMsg *pMsg, MosUmt_Sem *pSem);
void netMsgSndSync_RmSem(NetRpcMsg *pMsg);
// Any thread, uthread or not.
void netMsgSndSync_Release(NetRpcMsg *pMsg);
void netMsgSndSync_StartCount(NetRpcMsg *pMsg);
UINT64 netMsgSndSync_GetCount(const NetRpcMsg *pMsg);

// The request's time-out (timer thread or poll thread); see net_rpc.h.
void netRpc_TimerExpired(MosAsyncObj *pObj, INT32 rc);

void netMsgRcv_Init(NetMsgRcv *pRcv, const NetRpcData *pRequest, NetMsgType msgType, UINT32 msgId, UINT64 hCon,
                    NetChannel *pChan, UINT32 recvChanNum, void *pPerfRound);
// Destroys its list and drops its channel reference (the buffers are the consumer's).
void netMsgRcv_Destroy(NetMsgRcv *pRcv);
