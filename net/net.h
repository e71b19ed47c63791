// The messaging layer's root object, one per process, owned and filled by its controller.
//
// It holds the layer's configuration (a private copy), the process's own network identity (the
// connection id sent in NEW_CON, the NetIdentifier of this incarnation, the owner type), the
// upper layer's hooks, and the layer's components: the work group and poll loop, the path
// manager, the incoming-message pool and an address whitelist.
//
// Block state and pause are independent. The block state (net_SetBlockState) is set by the upper
// layer's buffer allocator when it runs out of receive buffers; it only holds receive paths that
// wait for buffers, and clearing it wakes them. A pause (net_Pause) stops the listener and freezes
// the path manager, which drops every path and keeps client paths from reconnecting.
//
// Locking: netFastlock guards bPaused, the socket-buffer sizes and confGeneration; the toggle hook
// is called outside it. nextMsgId is atomic.
#pragma once

#include "linux/net/net_poll.h"
#include "mos/mos_ds_hash.h"
#include "mos/mos_mempool.h"
#include "mos/mos_net_address.h"
#include "mos/mos_timer.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "net/net_con.h"
#include "net/net_conf.h"
#include "net/net_listen.h"
#include "net/net_path_mgr.h"
#include "net/net_root.h"
#include "net/net_socket_header.h"
#include "net/net_work_group.h"

#define NET__SOCKET_BUF_MIN_KB 64u
#define NET__SOCKET_BUF_MAX_KB 131072u
#define NET__SEND_TIMEOUT_MIN_MILLI 100u
#define NET__SEND_TIMEOUT_MAX_MILLI 300000u
#define NET__WHITELIST_BUCKETS 256u
#define NET__SEPARATE_SCHED_MAX_THREADS 32u

typedef void (*net_NewConnection)(void *pObjNet, ConId conId, NetOwnerType ownerType, NetConCallback **ppConCB,
                                  BOOL *pbPrivilegedSend);
typedef void (*net_OnFailedToAllocRcvBuffer)(void *pArg);
typedef void (*net_OnNetPausedToggle)(void *pArg);

struct NetCallback {
    net_NewConnection pNewConnectionFunc;
    void *pObjNet;
    net_OnFailedToAllocRcvBuffer pOnRcvBufferAllocFailureFunc;
    void *pOnRcvBufferAllocFailureArg;
    net_OnNetPausedToggle pOnNetPausedToggleFunc;
    void *pOnNetPausedToggleArg;
};

struct Net {
    MosUmt_Sched *pNetWorkerSched; // where the workers run (null: the default scheduler)
    MosUmt_Sched *pUmtSched;       // the scheduler the caller gave
    NetWorkGroup wrkGrp;
    NetPoll poll;
    NetPathMgr pathMgr;
    NetConManger conManager;
    NetListen listen;
    NetConfParam confParam; // a private copy
    BOOL whitelistEnabled;
    MosHash whitelistHash; // packed peer addresses
    Port listenPort;       // 0: do not listen
    NetCallback netCB;
    NetMsgSchedType netMsgSchedType;
    ConId myConId;
    NetIdentifier myNetIdentifier;
    NetOwnerType ownerType;
    MosFastlock_Base netFastlock;
    MosMemPool recvMsgPool;
    BOOL bPaused; // the block state
    UINT32 nextMsgId; // incremented atomically
    BOOL bHighPrioPollThrd;
    MosTimerQ_ID startQ; // the timer queues the poll thread drives, both included
    MosTimerQ_ID endQ;
    UINT8 confGeneration; // bumped whenever the socket-buffer sizes change
    MosUmt_SchedThrd *pSeparateSched; // the layer's own scheduler, with bUseSeparateSched
    BOOL bStarted;
    UINT32 numPaths; // paths that exist (teardown waits for them)
};

// Once per process, before any Net exists: registers the layer's debug object types (a second
// call stops the process). net_GlobalDestroy undoes it once every messaging object is gone.
void net_GlobalInit(void);
void net_GlobalDestroy(void);

void net_InitEmptyNetCallback(NetCallback *pCallback);
// pUmtSched null: the default scheduler (or the layer's own with bUseSeparateSched).
void net_Init(Net *pNet, MosUmt_Sched *pUmtSched, const NetCallback *pCallback, UINT32 numOfRecvGroup, ConId myConId,
              NetOwnerType ownerType, const NetConfParam *pConfParam);
void net_SetPollThrdPrioHigh(Net *pNet);
void net_SetPollTimerQs(Net *pNet, MosTimerQ_ID startQ, MosTimerQ_ID endQ);
void net_Start(Net *pNet, Port listenPort);
// For programs with one messaging root of their own: a zeroed Net from the heap, initialised, and
// its start (released with net_Destroy and free).
Net *net_SingleCreate(const NetCallback *pCallback, MosUmt_Sched *pUmtSched, UINT32 maxNumReceiveGroups,
                      ConId myConIdPrimary, NetOwnerType ownerType, const NetConfParam *pConfParam);
void net_SingleStart(Net *pNet, Port listenPort);
// Stops everything net_Start started and releases what net_Init made (tests and tools; the
// storage server never destroys its net). No connection may be left.
void net_Destroy(Net *pNet);

// Draws this incarnation's identity: a time stamp from the monotonic clock in microseconds and a
// non-zero pseudo-random 31-bit magic number.
void net_SetNetIdentifier(NetIdentifier *pIdentifier);

// Sets the security configuration (inside the NetConfParam; net_GetSecConf reads it).
void net_SetSecConf(Net *pNet, const NetSecConf *pConf);

void net_Pause(Net *pNet, BOOL bPause, BOOL bWithLocks);
void net_SetBlockState(Net *pNet, BOOL bPaused);
BOOL net_IsPaused(Net *pNet);
// MOS_RC__PARAMETER_OUT_OF_RANGE when either size is above 131072 or between 1 and 63, or both
// are 0; a 0 leaves that direction as it is.
Mos_RC net_SetSocketBufferSize(Net *pNet, UINT32 sndBufSizeInKB, UINT32 rcvBufSizeInKB);
// The sizes and their generation, read together.
UINT8 net_GetSocketBufferSizes(Net *pNet, UINT64 *pSndKb, UINT64 *pRcvKb);
Mos_RC net_SetBreakDoIOLoop(Net *pNet, UINT64 breakDoIOLoop);
Mos_RC net_SetAllocBufferWaitMillis(Net *pNet, UINT64 allocRcvBufferWaitMillis);
Mos_RC net_SetSendTimeoutTimerQ(Net *pNet, UINT32 timeoutQueueId);
Mos_RC net_SetSendTimeoutInMilli(Net *pNet, UINT32 timeoutInMilli);
void net_SetKaSndFrequency(Net *pNet, UINT32 freq);
void net_SetKaRcvIdleThreshInMIlli(Net *pNet, UINT32 threashInMIlli);
void net_SetKaSndIdleThreshInMIlli(Net *pNet, UINT32 threashInMIlli);
void net_SetKaRcvParams(Net *pNet, UINT32 threashInMIlli, UINT32 sndFreq);
Mos_RC net_ReSetNumOfNetWorkers(Net *pNet, UINT32 numOfWorkers);
UINT32 net_GetNumOfNetWorkers(Net *pNet);
BOOL net_IsNumberOfWorkersBeingConfigured(Net *pNet);
// A zero id is a panic.
void net_UpdateConId(Net *pNet, ConId myConId);

Mos_RC net_AddAddressToWhiteList(Net *pNet, const PackedNetAddress *pAddr);
Mos_RC net_RmvAddressFromWhiteList(Net *pNet, const PackedNetAddress *pAddr);
BOOL net_IsAddressInWhiteList(Net *pNet, const PackedNetAddress *pAddr);

// The connection facade: each call acquires the connection by its handle for its duration.
// pSecParams null: the connection's paths stay in the clear.
HNetCon net_AllocClientConList(Net *pNet, ConId conId, NetOwnerType ownerType, const NetConCallback *pCB,
                               const NetCon_RemoteHosts *pHosts, const NetSecConParams *pSecParams = nullptr);
// One host (its name cut at 63 characters), one path to each of its addresses. The connection is
// keyed by conId alone, whatever conIdType says.
HNetCon net_AllocClientConIntr(Net *pNet, ConId conId, UINT32 conIdType, NetOwnerType ownerType,
                               const NetConCallback *pCB, const CHAR_A *pHostName, Port port,
                               const NetSecConParams *pSecParams = nullptr);
BOOL net_Connect(Net *pNet, HNetCon hCon, BOOL bSync);
void net_Disconnect(Net *pNet, HNetCon hCon);
Mos_RC net_ClientConModRemoteAddr(Net *pNet, HNetCon hCon, const NetCon_RemoteHosts *pHosts);
Mos_RC net_UpdateNumOfSocketsPerIp(Net *pNet, HNetCon hCon, UINT32 numOfSocketPerIp);
BOOL net_GetConState(Net *pNet, HNetCon hCon, NetCon_GetConState *pState);
// The same; a zero handle is a panic.
BOOL net_GetConInfo(Net *pNet, HNetCon hCon, NetCon_GetConState *pState);
// MOS_RC__ERROR when hCon names no connection.
Mos_RC net_GetConBwc(Net *pNet, HNetCon hCon, NetConBwc *pOut);
BOOL net_IsConnected(Net *pNet, HNetCon hCon);
BOOL net_IsFullyConnected(Net *pNet, HNetCon hCon);
BOOL net_IsFullyValidated(Net *pNet, HNetCon hCon, BOOL bSync);
BOOL net_GetPeerVersion(Net *pNet, HNetCon hCon, BOOL bBlock, UINT32 timeoutMillis, UINT32 *pVersion);
HNetCon net_GetCon(Net *pNet, ConId conId);
ConId net_GetConID(Net *pNet, HNetCon hCon);
Mos_RC net_GetConOwnerType(Net *pNet, HNetCon hCon, NetOwnerType *pOwnerType);
void net_GetPeerAddr(Net *pNet, HNetCon hCon, NetAddress *pAddr);
Mos_RC net_SetConPrivilegedSend(Net *pNet, HNetCon hCon, BOOL bValue);
Mos_RC net_GetConPrivilegedSend(Net *pNet, HNetCon hCon, BOOL *pbValue);
Mos_RC net_SetConIndependentId(Net *pNet, HNetCon hCon, UINT64 id);
// The port the listener listens on (the kernel's pick when started with 0 is not supported: a
// started listener always has its configured port).
Port net_GetListenPort(Net *pNet);
