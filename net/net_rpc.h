// Requests, responses, notifications and their time-outs: the message-level interface.
//
// A request is entered in the connection manager's pending-request table under its message id
// when it is handed over, and its timer is armed on a timer queue (the time-out is a queue, not a
// duration; it counts from the hand-over, sending included). Exactly one of three events ends it:
// its response arrives (on the connection it was sent on), its timer fires, or sending it fails.
// Whichever removes it from the table completes it; the others find nothing and stand aside. A
// timer that fires while the request still waits to be sent (for a connect, for privileged mode
// to end, in the connection's queue) takes it out of that wait, so the request ends with
// MOS_RC__TIMEOUT within its time-out, never later.
//
// A synchronous sender is woken twice (send done, then completion); an asynchronous one gets
// exactly one RPC-response callback on the group named in its request record, after both the
// send's completion and the completing event. The message is the caller's throughout; the layer
// borrows it from hand-over to completion.
//
// Results: MOS_RC__ERROR when the message could not be handed to a connection; MOS_RC__SUCCESS
// when not blocking; otherwise the message's result (for a request MOS_RC__SUCCESS when the
// response arrived, the peer's own code then in the response's context word, MOS_RC__TIMEOUT
// after a time-out, or the send error).
//
// Locking: each message's fast lock orders its flags, result and hand-off; the pending table's
// bucket locks decide which event completes a request. The timer is never freed while its handler
// may run.
#pragma once

#include "mos/mos_net_address.h"
#include "net/net_con.h"
#include "net/net_msg.h"

struct Net;

#define NET_MSG_SND_SYNC_GUARD_QUEUE_ID MOS_TIMER_QUEUE_ID__1MIN
#define NET_MSG_SND_SYNC_WARNING_THRESH_MICROS 5000000ull
#define NET_RPC__LATENCY_MIN_BYTES 512u
#define NET_RPC__LINGER_1SEC_MICROS 1000000ull
#define NET_RPC__LINGER_3SEC_MICROS 3000000ull

Mos_RC netRpc_SendRequest(Net *pNet, HNetCon hCon, NetRpcMsg *pMsg, BOOL bBlock);
Mos_RC netRpc_SendRequestWithTO(Net *pNet, HNetCon hCon, NetRpcMsg *pMsg, BOOL bBlock, MosTimerQ_ID sendTimeout);
Mos_RC netRpc_SendPrivilegedRequest(Net *pNet, HNetCon hCon, NetRpcMsg *pMsg, BOOL bBlock);
Mos_RC netRPC_SendPrivilegedRequestWithTO(Net *pNet, HNetCon hCon, NetRpcMsg *pMsg, BOOL bBlock,
                                          MosTimerQ_ID sendTimeout);
Mos_RC netRpc_SendNotification(Net *pNet, HNetCon hCon, NetRpcMsg *pMsg, BOOL bBlock);
Mos_RC netRpc_SendResponse(Net *pNet, HNetCon hCon, NetRpcMsg *pMsg, BOOL bBlock);
// For a synchronous request sent without blocking.
Mos_RC netRpc_WaitForResponse(Net *pNet, NetRpcMsg *pMsg);
BOOL netRpc_GetPeerAddr(Net *pNet, NetRpcData *pRequest, NetAddress *pAddr);
void netRpc_UpdateSendId(HNetCon hCon, NetRpcMsg *pMsg, NetConChannelData *pChannelData);

// The sender's waits: the send's completion under a 1-minute guard, then (for a request) its
// completion.
void netMsgSndSync_Wait(NetRpcMsg *pMsg);

// The receive path's handling of a response frame (installed as the connection manager's hook).
void netRpc_OnRpcResp(Net *pNet, NetCon *pCon, UINT32 msgId, NetRpcData *pData, const NetAddress *pPeer);
// Removes the message from the pending table and aborts its timer; the message if this call
// removed it, null otherwise.
NetRpcMsg *netRpc_AbortTimer(NetRpcMsg *pMsg, BOOL bLocked);
void netRpc_TimerExpired(MosAsyncObj *pObj, INT32 rc);

// The pending-request table (the connection manager's).
void netConManager_AddMsgToHash(NetConManger *pMgr, NetRpcMsg *pMsg);
NetRpcMsg *netConManager_RemMsgFromHash(NetConManger *pMgr, UINT32 msgId);
NetRpcData *netConManager_GetRpcReqFromHash(NetConManger *pMgr, UINT32 msgId);

// What the requests hand to the receive groups (the groups' own): the connection manager's
// forwarding by group number. Buffers go back through the free operation of whatever is
// registered under the number (an error line when nothing is); a sender's own message is handed
// back to the receive group of that number (an error line, and nothing else, when it names none).
void netConManager_FreeBuffer(NetConManger *pConMng, UINT32 conGrpId, NetSmallIov *pIov);
void netConManager_RecvAsyncRes(NetConManger *pConMng, UINT32 conGrpId, NetRpcMsg *pMsg);
void netConManager_SendAsyncDone(NetConManger *pConMng, UINT32 conGrpId, NetRpcMsg *pMsg);
// The receive record around a request or notification the consumer was handed.
NetMsgRcv *netRecvGroup_GetRcvMsg(NetRpcData *pRequest);
