// NetPath: one TCP connection between two processes, owned by a portal of a connection.
//
// A client path loops for as long as it lives: connect (with the NEW_CON that names its
// connection), run the receive loop while the path is up, disconnect, wait 100 ms, retry. A server
// path is made by the listener for one accepted socket: it reads the first head, which must be a
// valid NEW_CON, hands itself to the connection the upper layer assigns, and lives for that one
// TCP connection. While a path is up it runs two tasks: the receive loop, which reads and checks
// every head, fetches the consumer's buffers and delivers, and the send loop, which lets queued
// messages of the connection write their frames on this path.
//
// The peer's identity (NetIdentifier) arrives in NEW_CON at the server and in every KEEPALIVE; the
// first one a path sees goes to its connection, which adopts it or, when it differs from the one
// it holds, refuses the path: that is how a restarted peer is noticed.
//
// References: the main task holds the first; the send task, the path manager's registration,
// each keep-alive task and each message being sent take one. At zero a path with a portal is
// handed to its portal; one without (an accepted path never assigned) is destroyed.
//
// Locking: `lock` guards bConnected, bDie and refCount. Marking a path in error from another
// thread wakes its pending socket operations, which fail and end the receive loop.
#pragma once

#include "mos/mit/mos_mit_cond.h"
#include "mos/mos_dlist.h"
#include "mos/mos_ticks.h"
#include "net/net_mit.h"
#include "net/net_socket.h"

struct Net;
struct NetPortal;
struct NetCon;

// A path's entry in its path manager's registry, with the manager's view of the path (guarded by
// the manager's lock).
struct NetPathMgr_Reg {
    MosDList_Node node;
    MosMitCond cond; // a leaving path waits here for the keep-alive side to let go
    void *memPoolBuffer;
    BOOL bWaitForMem;
    BOOL bWantOut;
    BOOL bSendingKA;
    BOOL bBusy;
    MosTicks_Cnt allocRcvBufferEndTicks;
};

enum Path_ConType : UINT32 {
    PATH_CON_TYPE__NONE = 0,
    PATH_CON_TYPE__SERVER = 1,
    PATH_CON_TYPE__CLIENT = 2,
};
const char *netPath_ConTypeStr(UINT32 type);

struct NetPath_KA {
    UINT32 idleItr;
    UINT64 sockTotalBytes;
};
#define NET_PATH_KA__SEND 0u
#define NET_PATH_KA__RCV 1u
#define NET_PATH__UNKNOWN_VERSION 0xFFFFFFFFu

struct NetPath {
    NetMit rcvMit;
    BOOL bSndMitActive;
    NetMit sndMit;
    NetSmallIov rcvIov;
    void *perfSample;
    MosFastlock_Base lock;
    MosMitCond cond;
    NetSocket sock;
    NetPathMgr_Reg regMgr;
    Net *pNet;
    NetPortal *pPortal;
    NetPath_KA ka[2];
    MosObj sdbgObj;
    UINT32 dataToDrop;
    UINT32 inflightSends;
    UINT32 prioSenderCount;
    Path_ConType conType;
    BOOL bConnected;
    BOOL bDie;
    UINT32 refCount;
    NetIdentifier peerId;
    UINT32 peerVersion;
    UINT8 netConfGeneration;
    UINT8 maxConnectRetries;
    UINT32 rcvBatch;     // frames left in the receive loop's current batch
    NetSmallIov ctrlIov; // the list of control frames the path writes itself
    Mos_RC lastConnectRc;
};

// The debug query record (SDBG_EXPORTS_OBJ_TYPE__NET_PATH).
struct NetPath_Query {
    NetSocketQuery sockQuery;
    UINT32 bConnected;
    UINT32 bDie;
    UINT32 kaSendItr;
    UINT32 kaRcvItr;
    UINT32 remoteTimeStamp;
    UINT32 remoteMagicNumber;
    UINT32 remoteVersion;
    UINT32 ownerType;
};
static_assert(sizeof(NetPath_Query) == 232);
static_assert(offsetof(NetPath_Query, bConnected) == 200);

void netPath_Init(NetPath *pPath, Net *pNet);
void netPath_InitClient(NetPath *pPath, Net *pNet);
void netPath_StartAsClient(NetPath *pPath);
void netPath_StartAsServer(NetPath *pPath, SOCKET sock);
void netPath_MarkAsError(NetPath *pPath);
void netPath_MarkAsErrorIfNeeded(NetPath *pPath);
void netPath_StartDisconnect(NetPath *pPath);
void netPath_ModifyAddr(NetPath *pPath, const NetAddress *pAddr);
const NetAddress *netPath_GetPeerAddr(const NetPath *pPath);
Net *netPath_GetNet(const NetPath *pPath);
BOOL netPath_IsConnected(NetPath *pPath);
NetPathMgr_Reg *netPath_GetRegMgr(NetPath *pPath);
NetPath *netPath_GetByRegMgr(NetPathMgr_Reg *pReg);
NetMit *netPath_GetRcvMit(NetPath *pPath);
NetCon *netPath_GetCon(const NetPath *pPath);
BOOL netPath_IsPeerIdValidated(const NetPath *pPath);
void netPath_SetPeerVersion(NetPath *pPath, UINT32 version);
void netPath_SetPeerId(NetPath *pPath, const NetIdentifier *pId);
void netPath_ResetPeerIdAndVersion(NetPath *pPath);
void netPath_IncreaseRefCount(NetPath *pPath);
void netPath_DecreaseRefCount(NetPath *pPath);
void netPath_DecreaseRefCountMitDtor(MosMit *pMit);
void netPath_Destroy(NetPath **ppPath);
void netPath_Query(MosObj *pObj, const CHAR_A *pName, void *pData);

// Steps of the path's tasks.
Mos_RC netPath_Connect_CK(MosMit *pMit, Mos_RC rc);
Mos_RC netPath_StartAsClient_CK(MosMit *pMit, Mos_RC rc);
Mos_RC netPath_StartAsServer_CK(MosMit *pMit, Mos_RC rc);
Mos_RC netPath_Disconnect_CK(MosMit *pMit, Mos_RC rc);
Mos_RC netPath_RcvLoop_CK(MosMit *pMit, Mos_RC rc);
Mos_RC netPath_SendLoop_CK(MosMit *pMit, Mos_RC rc);
Mos_RC netPath_RecvMsg_CK(MosMit *pMit, Mos_RC rc);
Mos_RC netPath_ReadAppData_CK(MosMit *pMit, Mos_RC rc);
Mos_RC netPath_DropMsg_CK(MosMit *pMit, Mos_RC rc);
Mos_RC netPath_NotifyOnMsg_CK(MosMit *pMit, Mos_RC rc);
// Writes a data frame: the task's area holds the head (words 0 and 2 to 5 filled), its pIov the
// payload, pPath the path (with a reference held).
Mos_RC netPath_Send_CK(MosMit *pMit, Mos_RC rc);
// Writes the task's head alone as a control frame.
Mos_RC netPath_SendMsg_CK(MosMit *pMit, Mos_RC rc);
Mos_RC netPath_SendKA_CK(MosMit *pMit, Mos_RC rc);
// Checks NEW_CON's or KEEPALIVE's identity and version against the connection.
BOOL netPath_SetOrValidatePeerIdAndVersion(NetPath *pPath, const Socket_Header *pHeader);
