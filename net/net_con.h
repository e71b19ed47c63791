// Connections, their portals and paths, and the connection manager.
//
// A connection (NetCon) is this process's relation with one peer process, named by the peer's
// connection id. It is reached over up to 8 portals, one per remote IP address, and a portal has
// up to 8 paths, each one TCP socket to that address. A client connection's portals come from the
// host list the upper layer gives, and it opens the configured number of paths per portal
// itself; a server connection's portals and paths appear as the peer's sockets arrive. The
// connection is CONNECTED while at least one path is.
//
// Upper layers hold a connection only by its protected handle (HNetCon): every operation acquires
// it, uses it and releases it, so a connection going away is never used after it is freed. Every
// portal and every path holds a reference on its connection too.
//
// The connection tells the upper layer about connection and disconnection, the peer's version, a
// peer whose identity changed (a restarted peer) and oscillation events. States that a peer's
// timing can produce (a connecting connection losing its only path, a portal dying in a race)
// move the connection to a defined state; they never stop the process.
//
// Receive groups are the consumers of incoming frames; they are registered with the manager by
// number together with the operations the paths need of them (buffers, delivery).
//
// Locking: the manager's lock is taken before a connection's lock, never the reverse; callbacks
// to the upper layer are called with no lock held.
#pragma once

#include <cstddef>

#include "mos/mit/mos_mit_cond.h"
#include "mos/mos_bwc.h"
#include "mos/mos_diag_counters.h"
#include "mos/mos_ds_hash.h"
#include "mos/mos_net_address.h"
#include "mos/mos_protected_mem.h"
#include "mos/umt/mos_umt_cond.h"
#include "mos/umt/mos_umt_event.h"
#include "net/net_channel.h"
#include "net/net_ids.h"
#include "net/net_msg.h"
#include "net/net_socket_header.h"
#include "net/security/net_sec_conf.h"

struct Net;
struct NetPath;
struct NetCon;

#define NET_CON__MAX_NUM_OF_SOCKETS_PER_IP 8u
#define NET_CON__MAX_NUM_OF_IP_PER_HOST 8u
#define NET_CON__MAX_HOST_NAME 64u
#define NET_CON_MNGR__MAX_NUM_OF_CON 4096u
#define NET_CON_MNGR__NUM_OF_CON_MASK 4095u
#define NET_CON_MNGR__HASH_BUCKETS 1024u
#define NET_PORTAL__INVALID_PATH_IDX 255u
#define NET_CON__UNKNOWN_VERSION 0xFFFFFFFFu

enum ConType : UINT32 {
    CON_TYPE__NONE = 0,
    CON_TYPE__SERVER = 1,
    CON_TYPE__CLIENT = 2,
};

enum ConState : UINT32 {
    CON_STATE__NONE = 0,
    CON_STATE__INIT = 1,
    CON_STATE__CONNECTING = 2,
    CON_STATE__CONNECTED = 3,
    CON_STATE__DISCONNECTING = 4,
    CON_STATE__DISCONNECTED = 5,
    CON_STATE__CANCELLED = 6,
};

enum NetOscType : UINT32 {
    NET_OSC_TYPE__NONE = 0,
    NET_OSC_TYPE__SOCKET_DOWN = 1,
    NET_OSC_TYPE__IO_ERROR = 2,
    NET_OSC_TYPE__RCV_KA_DISCONNECT = 3,
    NET_OSC_TYPE__SND_KA_DISCONNECT = 4,
    NET_OSC_TYPE__RPC_LINGERED_1SEC = 5,
    NET_OSC_TYPE__RPC_LINGERED_3SEC = 6,
};

const char *netCon_StateStr(UINT32 state);
const char *netCon_TypeStr(UINT32 type);
const char *NET_OWNER_TYPE__GET_STR(UINT32 ownerType);


typedef void (*NetCon_ConnEvt)(void *pObj, HNetCon hCon, ConId conId, NetOwnerType ownerType,
                               NetConChannelData *pChanData);
typedef void (*NetCon_PeerVerificationCK)(void *pObj, HNetCon hCon, ConId conId, BOOL bMatched);
typedef void (*NetCon_VersionDiscoveryCK)(void *pObj, HNetCon hCon, ConId conId, UINT32 version);
typedef void (*NetCon_OscCK)(void *pObj, HNetCon hCon, ConId conId, NetOscType oscType, const NetAddress *pAddr);

struct NetConCallback {
    NetCon_ConnEvt pConFunc;
    NetCon_ConnEvt pDisconFunc;
    NetCon_PeerVerificationCK pPeerVerificationCK;
    NetCon_VersionDiscoveryCK pVersionDiscoveryCK;
    NetCon_OscCK pOscCK;
    void *pObjCon;
};

struct NetCon_RemoteHosts {
    UINT32 numOfSocketPerIp;
    UINT32 hostsCount;
    UINT32 port;
    UINT32 maxNumHosts;
    CHAR_A hosts[NET_CON__MAX_NUM_OF_IP_PER_HOST][NET_CON__MAX_HOST_NAME];
};

struct NetPortal {
    ConState state;
    NetAddress addr;
    UINT8 configuredNumOfPaths;
    NetCon *pCon;
    NetPath *pPathsArr[NET_CON__MAX_NUM_OF_SOCKETS_PER_IP];
    UINT8 chooseConPortalPathIdx;
};

struct NetCon {
    MosFastlock_Base conFastlock;
    MosObj sdbgObj;
    MosMitCond conMsgWaiters;
    ConType conType;
    NetOwnerType ownerType;
    MosUmt_Event waitForConnect;
    MosBWC_Counter sendSizeBwc;    // request sizes in 512-byte units (under conFastlock)
    MosBWC_Counter sendLatencyBwc; // RPC latencies in microseconds (under conFastlock)
    const NetConCallback *pConCB;
    NetConCallback conCB; // the copy pConCB points at
    NetPortal *pPortalsArr[NET_CON__MAX_NUM_OF_IP_PER_HOST];
    MosDList_Anchor msgQueue;
    MosDList_Anchor prioritizedMsgQueue;
    MosMitCond senderCond;
    Net *pNet;
    NetChannel *pChan;
    ConId conId;
    HNetCon hCon;
    ConState conState;
    BOOL bPrivilegedSend;
    MosMitCond privilegedCond;
    UINT64 recvMsg;
    UINT64 sendMsg;
    NetIdentifier peerId;
    UINT32 peerVersion;
    MosUmt_Cond peerVersionCond;
    MosUmt_Cond peerIdCond;
    BOOL bAlreadyNotifiedValidation;
    UINT8 chooseConPortalIdx;
    UINT8 connectedPaths;
    UINT64 independentNetId;
    MosHash_Record hashNode; // in the manager's id table
    UINT32 pendingDerefs;    // references let go under the lock, dropped by that same locked scope
    NetSecConParams securityParams; // a client's paths upgrade by them; guarded by conFastlock
};

// What a path needs of a receive group. pGroup is the group's own object.
struct NetRecvGroupOps {
    void (*pAllocBufferCK)(void *pGroup, UINT32 conGrpId, NetSmallIov *pIov, UINT32 len, Context context,
                           SocketHeaderType type, const UINT8 *pExtHeader);
    void (*pFreeBufferCK)(void *pGroup, UINT32 conGrpId, NetSmallIov *pIov);
    // The group takes the message (and frees it through net_FreeRecvMsg when done).
    void (*pRecvMsgCK)(void *pGroup, NetMsgRcv *pMsg);
};

// The RPC layer's handling of a response frame: pData's list holds the payload, which belongs to
// the handler from then on. Without one, responses are dropped.
typedef void (*NetCon_RecvRpcRespCK)(Net *pNet, NetCon *pCon, UINT32 msgId, NetRpcData *pData,
                                     const NetAddress *pPeer);

struct NetRecvGroupSlot {
    void *pGroup;
    const NetRecvGroupOps *pOps;
};

struct NetConManagerQuery {
    UINT32 numOfCons;
    UINT32 numOfReq;
};
static_assert(sizeof(NetConManagerQuery) == 8);

struct NetConManger {
    MosFastlock_Base conMngFastlock;
    MosHash conHash;
    MosHash pendingRequestHash;
    NetChannelManger channelMngr;
    NetConManagerQuery dbgQuery;
    MosObj sdbgObj;
    NetRecvGroupSlot *pRecvGroupArr;
    MosPMem_Factory conPMem;
    UINT32 numOfRecvGroup;
    NetCon_RecvRpcRespCK pRecvRpcRespCK;
    Net *pNet;
};

struct NetCon_PortalState {
    CHAR_A addr[64];
    BOOL bConnected;
};
struct NetCon_GetConState {
    ConState conState;
    UINT32 hostsCount;
    NetCon_PortalState portals[NET_CON__MAX_NUM_OF_IP_PER_HOST];
};

// The last complete windows of a connection's request sizes (512-byte units) and RPC latencies
// (microseconds).
struct NetConBwc {
    MosBWC_QueryWindow sendSize;
    MosBWC_QueryWindow sendLatency;
};

// The debug query record of a connection (SDBG_EXPORTS_OBJ_TYPE__NET_CON): its identity and
// state, its peer, its message counts and queues, and per portal its address and paths.
struct NetCon_QueryPortal {
    CHAR_A addr[64];
    UINT32 state;
    UINT8 configuredNumOfPaths;
    UINT8 numOfPaths;
    UINT8 numOfConnectedPaths;
    UINT8 numOfValidatedPaths;
};
static_assert(sizeof(NetCon_QueryPortal) == 72);

struct NetCon_Query {
    UINT64 conId;
    UINT64 hCon;
    UINT64 recvMsg;
    UINT64 sendMsg;
    UINT32 numOfQueuedMsgs;
    UINT32 numOfQueuedPrioritizedMsgs;
    UINT32 conType;
    UINT32 ownerType;
    UINT32 conState;
    UINT32 peerTimeStamp;
    UINT32 peerMagicNumber;
    UINT32 peerVersion;
    UINT32 numOfPortals;
    UINT32 bPrivilegedSend;
    NetCon_QueryPortal portals[NET_CON__MAX_NUM_OF_IP_PER_HOST];
};
static_assert(sizeof(NetCon_Query) == 648);
static_assert(offsetof(NetCon_Query, conState) == 48);
static_assert(offsetof(NetCon_Query, portals) == 72);

// The manager.
void netConManager_Init(NetConManger *pMgr, Net *pNet, UINT32 numOfRecvGroup);
// Releases the tables; every connection must be gone (tests and tools).
void netConManager_Destroy(NetConManger *pMgr);
NetCon *netConManager_AcquireCon(NetConManger *pMgr, HNetCon hCon);
void netConManager_ReleaseCon(NetConManger *pMgr, NetCon *pCon);
HNetCon netConManager_GetCon(NetConManger *pMgr, ConId conId);
// pSecParams null: the connection's paths stay in the clear.
HNetCon netConManager_AllocClientCon(NetConManger *pMgr, ConId conId, NetOwnerType ownerType,
                                     const NetConCallback *pCB, const NetCon_RemoteHosts *pHosts,
                                     const NetSecConParams *pSecParams = nullptr);
HNetCon netConManager_AssignPathWithServerCon(NetConManger *pMgr, ConId conId, NetOwnerType ownerType,
                                              const NetConCallback *pCB, NetPath *pPath, BOOL bPrivilegedSend);
void netConManager_InvalidateCon(NetConManger *pMgr, NetCon *pCon);
void netConManager_AddRecvGroup(NetConManger *pMgr, void *pGroup, const NetRecvGroupOps *pOps, UINT32 conGrpId);
BOOL netConManager_DoesRecvGroupIdExist(NetConManger *pMgr, UINT32 groupId);
void netConManager_SetRecvRpcRespCK(NetConManger *pMgr, NetCon_RecvRpcRespCK pCK);
void netConManager_Query(MosObj *pObj, const CHAR_A *pName, void *pData);

// Connections.
BOOL netCon_Connect(NetCon *pCon, BOOL bSync);
// Client connections only; the caller's reference is released.
void netCon_Disconnect(NetCon *pCon);
Mos_RC netCon_ClientAddPortalList(NetCon *pCon, const NetCon_RemoteHosts *pHosts);
Mos_RC netCon_ClientAddPortalUnlocked(NetCon *pCon, const NetAddress *pAddr, UINT32 numOfSockets);
Mos_RC netCon_ClientRemovePortalByIdx(NetCon *pCon, UINT32 portalIdx);
Mos_RC netCon_ClientRemovePortal(NetCon *pCon, const NetAddress *pAddr);
BOOL netCon_ReconfigRemotes(NetCon *pCon, const NetCon_RemoteHosts *pHosts);
BOOL netCon_UpdateAllPortalsNumOfSocketsPerIp(NetCon *pCon, UINT32 n);
UINT32 netCon_AddServerPath(NetCon *pCon, NetPath *pPath);
UINT32 netCon_GetPeerVersionNoWait(NetCon *pCon);
BOOL netCon_GetPeerVersion(NetCon *pCon, BOOL bBlock, UINT32 timeoutMillis, UINT32 *pVersion);
void netCon_ResetPeerIdAndVersion(NetCon *pCon);
BOOL netCon_IsConnected(NetCon *pCon);
BOOL netCon_IsFullyConnected(NetCon *pCon);
BOOL netCon_IsFullyValidated(NetCon *pCon, BOOL bSync);
UINT32 netCon_GetNumPathsUnlocked(NetCon *pCon);
UINT32 netCon_GetNumConnectedPathsUnlocked(NetCon *pCon);
UINT32 netCon_GetNumValidatedPahtsUnlocked(NetCon *pCon);
void netCon_GetConState(NetCon *pCon, NetCon_GetConState *pOut);
BOOL netCon_GetPeerAddr(NetCon *pCon, NetAddress *pAddr);
// The last complete windows of the request-size and latency counters.
void netCon_GetBwc(NetCon *pCon, NetConBwc *pOut);
void netCon_ReportOscEvent(NetOscType oscType, NetCon *pCon, const NetAddress *pAddr);
void netCon_ModifyPrivilegedSend(NetCon *pCon, BOOL bValue);
void netCon_SetIndependentId(NetCon *pCon, UINT64 id);
// The debug registry's query of a connection: fills a NetCon_Query under the connection's lock.
void netCon_Query(MosObj *pObj, const CHAR_A *pName, void *pData);
HNetCon netCon_GetHCon(const NetCon *pCon);
// A portal's place in its connection, a path's in its portal (lock held); one that is not there
// is a broken invariant.
UINT32 netCon_GetPortalIndex(const NetCon *pCon, const NetPortal *pPortal);
UINT32 netPortal_GetPathIndex(const NetPortal *pPortal, const NetPath *pPath);
void netCon_SetType(NetCon *pCon, ConType conType);
// Stamps a message with the connection channel's send number plus 1 as the start of a new epoch.
void netCon_UpdateSendId(HNetCon hCon, NetRpcMsg *pMsg, NetConChannelData *pChannelData);

// What the paths call.
BOOL netCon_IsGroupIdValid(NetCon *pCon, UINT32 grpId);
// Buffers for an incoming payload from the group registered under conGrpId (which must exist).
void netConManager_AllocBufferForRecv(NetConManger *pConMng, UINT32 conGrpId, NetSmallIov *pIov, UINT32 len,
                                      Context context, SocketHeaderType type, const UINT8 *pExtHeader);
void netCon_FreeBuffer(NetCon *pCon, UINT32 grpId, NetSmallIov *pIov);
void netCon_RecvMsg(NetCon *pCon, UINT32 grpId, NetMsgRcv *pMsg);
// FALSE when nobody handles responses (the frame's buffers stay with the caller).
BOOL netCon_RecvRpcResp(NetCon *pCon, UINT32 msgId, NetRpcData *pData, const NetAddress *pPeer);
// The next queued outgoing message or null, under the connection lock held by the caller.
NetMsgSnd *netCon_FetchMsg(NetCon *pCon);
void netCon_CountDiag(NetCon *pCon, MosDiagCounterType counter);
