// NetSocket: the messaging layer's non-blocking TCP socket, driven by micro-tasks.
//
// A task asks the socket to connect, accept, send or receive the scatter-gather list in its area
// (Net_MitArea.pIov); the socket moves bytes with vectored calls until the job is done and
// suspends the task on the direction's condition whenever the kernel would block. Readiness comes
// from the poll loop, whose callbacks only count (readyID) and signal. Each transfer takes a
// snapshot of its direction's readyID before every call and compares it again under the lock
// before it waits, so an event that lands between a would-block and the wait is never lost.
//
// Sending is exclusive: one task at a time owns the send direction, the others wait in FIFO order
// and each is handed the direction when its predecessor has moved its whole list. When the socket
// stops being connected (error event, disconnect), the owner is aborted and, on its release, every
// queued sender is resumed with MOS_RC__ABORTED. Only one task may receive at a time.
//
// Results: MOS_RC__SUCCESS; MOS_RC__NOT_CONN for I/O errors, a peer's close and a socket that is
// not connected; MOS_RC__ABORTED for a wait ended by an error event or a disconnect. A would-block
// never fails a transfer. Impossible states panic.
//
// States: INIT -> CONNECTING -> CONNECT_DONE -> CONNECTED (connect), INIT -> CONNECTED (accepted,
// listener); CONNECTED -> IN_ERR (error event); CONNECTED|IN_ERR -> CLOSING -> INIT (disconnect).
// The descriptor stays registered with the poll from connect, accept or listen until the poll
// confirms its removal, and is closed only after that, so no event can reach a closed or reused
// descriptor's socket.
#pragma once

#include "linux/net/net_poll.h"
#include "mos/mit/mos_mit_cond.h"
#include "mos/mos_net_address.h"
#include "mos/mos_stat.h"
#include "net/net_socket_area.h"
#include "net/security/net_sec_socket.h"

struct Net;

enum SocketState : UINT32 {
    SOCKET_STATE__NONE = 0,
    SOCKET_STATE__INIT = 1,
    SOCKET_STATE__CONNECTING = 2,
    SOCKET_STATE__CONNECT_DONE = 3,
    SOCKET_STATE__CONNECTED = 4,
    SOCKET_STATE__IN_ERR = 5,
    SOCKET_STATE__CLOSING = 6,
    SOCKET_STATE__CLOSED = 7, // defined; no operation sets it
};

enum NetSocketRole : UINT32 {
    SOCKET_ROLE__NONE = 0,
    SOCKET_ROLE__LISTEN = 1,
    SOCKET_ROLE__SNDRCV = 2,
};

enum NetSocket_DirectionVal : UINT32 {
    NET_SOCKET_DIRECTION_VAL__SEND = 0,
    NET_SOCKET_DIRECTION_VAL__RCV = 1,
    NET_SOCKET_DIRECTION_VAL__LAST = 2,
};

struct NetSocket_Direction {
    MosFastlock_Base lock; // readyID, cond; for send also the exclusive list and state changes
    MosMitCond cond;       // a task waiting for readiness
    volatile UINT64 readyID;
};

struct NetSocket_DirectionStat {
    MosStat totalBytes;
    UINT32 numCalls;
    UINT32 numFailures;
    UINT32 brokenOps;      // times the direction had to wait
    UINT32 condWaitStatus; // 1 while a task waits; a read event turns 1 into 2
};

struct NetSocket_OS {
    NetSocket_Direction directions[NET_SOCKET_DIRECTION_VAL__LAST];
    NetSocketMitList sendList;
    UINT32 quickAck;
};

struct NetSocket {
    NetSocket_OS os;
    MosMit *pUnregMit; // waits for the poll to confirm the removal of the descriptor
    NetPoll_RegFd pollReg;
    NetSocket_DirectionStat dirStat[NET_SOCKET_DIRECTION_VAL__LAST];
    SocketState state;
    NetSocketRole type;
    SOCKET socket; // MOS_NET__INVALID_SOCKET when none
    Net *pNet;
    NetAddress addr; // the peer, or for a listener the family and port to serve
    NetSecSocket secSocket;
};


struct NetSocketQuery {
    INT32 socket;
    UINT32 state;
    NetAddress peerAddr;
    UINT32 localPort;
    UINT32 quickAck;
    UINT32 noDelay;
    UINT32 recvBuffer;
    UINT32 sendBuffer;
    UINT32 sendCalls;
    UINT64 sendBytes;
    UINT64 rcvBytes;
    UINT32 rcvCalls;
    UINT32 failedSends;
    UINT32 failedRcvs;
    UINT32 brokenSends;
    UINT32 brokenRcvs;
    UINT32 remoteTimeStamp; // filled by the path
    UINT32 remoteMagicNumber;
    UINT32 remoteVersion;
    // The debug server's readers take a 200-byte socket record; the rest is zero.
    UINT8 reserved[96];
};
static_assert(sizeof(NetSocketQuery) == 200);
static_assert(offsetof(NetSocketQuery, reserved) == 104);

// Life and configuration.
void netSocket_Create(NetSocket *pSock, Net *pNet, const NetAddress *pAddr, NetSocketRole role);
void netSocket_PrepSock(NetSocket *pSock, NetSocketType sockType);
void netSocket_ApplyNetConfiguration(NetSocket *pSock);
void netSocket_SetRcvBufSize(NetSocket *pSock, UINT32 sizeInKb);
void netSocket_SetSndBufSize(NetSocket *pSock, UINT32 sizeInKb);
UINT32 netSocket_GetRcvBufSizeInBs(NetSocket *pSock);
UINT32 netSocket_GetSndBufSizeInBs(NetSocket *pSock);
// A listener on the wildcard address of the address's family and port. MOS_RC__NOT_SUPPORTED when
// the host lacks the family.
Mos_RC netSocket_SetServer(NetSocket *pSock);
void netSocket_ConnectViaAccept(NetSocket *pSock, SOCKET acceptedSocket);
void netSocket_Destroy(NetSocket *pSock);
BOOL netSocket_ModifyAddr(NetSocket *pSock, const NetAddress *pAddr);
const NetAddress *netSocket_GetPeerAddr(const NetSocket *pSock);
void netSocket_InitPeerAddr(NetSocket *pSock);
NetSocketType netSocket_GetSockType(const NetSocket *pSock);
NetSocket_Direction *netSocket_GetSend(NetSocket *pSock);
NetSocket_Direction *netSocket_GetRcv(NetSocket *pSock);
void netSocket_Query(NetSocket *pSock, NetSocketQuery *pQuery);
void netSocket_MarkAsError(NetSocket *pSock);

// Task operations: steps of the calling task (MOS_MIT_CALL them), working on the socket and list
// of the task's area.
Mos_RC netSock_Connect_CK(MosMit *pMit, Mos_RC rc);
Mos_RC netSock_Accept_CK(MosMit *pMit, Mos_RC rc);
Mos_RC netSock_Send_CK(MosMit *pMit, Mos_RC rc);
Mos_RC netSock_Recv_CK(MosMit *pMit, Mos_RC rc);
Mos_RC netSock_SendRaw_CK(MosMit *pMit, Mos_RC rc);
Mos_RC netSock_RecvRaw_CK(MosMit *pMit, Mos_RC rc);
Mos_RC netSock_Disconnect_CK(MosMit *pMit, Mos_RC rc);
// Ends the caller's exclusive use of a send list and hands it on (or aborts the waiters when the
// socket is down); returns rc.
Mos_RC netSocket_ReleaseExclusiveMit(MosMit *pMit, NetSocket *pSock, NetSocketMitList *pMitList,
                                     MosFastlock_Base *pLock, Mos_RC rc);

// Poll callbacks (poll thread).
void netSocket_ReadEvt(NetPoll_RegFd *pReg);
void netSocket_WriteEvt(NetPoll_RegFd *pReg);
void netSocket_ConnectDoneEvt(NetPoll_RegFd *pReg);
void netSocket_ErrorEvt(NetPoll_RegFd *pReg);
void netSocket_UnregDoneEvt(NetPoll_RegFd *pReg);
void netSock_AbortAll(NetSocket *pSock);
