// Peer servers: every other server that shares combs with this one. For each the server keeps how
// to reach it, whether it is connected, the protocol version it speaks, the addresses it was seen
// on, and the Ostrel's cached answer on whether combs shared with it may be degraded.
//
// Exactly one side of a pair connects: the server with the larger id connects to the one with the
// smaller id, which waits for the connection. After every (re)connection the channel is
// synchronised by one privileged dummy write before data flows (the sync runs on its own
// user-mode thread, one at a time per peer, retried every second until it succeeds or is aborted).
//
// Degrade permit: many askers, at most one request to the Ostrel per peer at a time, and an
// answer is reused for one second. An asker that finds a request in flight waits for it up to one
// second and then answers MOS_RC__RETRY.
//
// Oscillation counters: each address a peer was seen on (up to 8) has one windowed counter of each
// of the six connection failures the messaging layer reports, created with the controller's
// parameters of its type when the address is first seen; a ninth address is not counted.
//
// Locking: the manager's fastlock guards the list (taken after the connectivity monitor's lock);
// a peer's locks are leaf locks.
#pragma once

#include "mos/mos_bwc.h"
#include "mos/mos_dlist.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_obj_entry.h"
#include "mos/mos_osc_cnt.h"
#include "mos/mos_ticks.h"
#include "mos/umt/mos_umt_cond.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "net/net_con.h"
#include "tgt/cont/cont_net.h"
#include "tgt/cont/cont_obj.h"

struct Cont;
struct ContTgtMngr;

#define CONT_TGT__MSG_TYPE__DEGRADE_PERMIT 1008u
#define CONT_TGT__MAX_KNOWN_ADDRS 8u
#define CONT_TGT__PERMIT_VALID_MILLIS 1000u
#define CONT_TGT__SYNC_RETRY_MILLIS 1000u
#define CONT_TGT__UNKNOWN_VERSION 0xFFFFFFFFu

struct __attribute__((packed)) OstrelTgtReq_DegradeCombPermit {
    UINT64 priTgtId;
    UINT64 secTgtId;
};
static_assert(sizeof(OstrelTgtReq_DegradeCombPermit) == 16);

enum ContTgtConState : UINT32 {
    CONT_TGT_CON_STATE__CONNECTED = 1,
    CONT_TGT_CON_STATE__DISCONNECTED = 2,
};

struct ContTgtConMon {
    BOOL bConnected;
    MosTicks_Cnt lastGoodTick;
};

// How a peer asks the Ostrel for leave to degrade: the code the Ostrel answered, or anything else
// when it could not answer. Tests replace it.
typedef Mos_RC (*ContTgt_SendPermitCK)(Cont *pCont, const OstrelTgtReq_DegradeCombPermit *pReq);

struct ContTgtDegradePermit {
    MosFastlock_Base fastlock;
    MosTicks_Cnt lastTicks;
    Mos_RC lastResponse;
    BOOL bValid; // an answer is stored
    BOOL bInProgress;
    MosUmt_Cond cond;
};

struct ContTgt {
    MosFastlock_Base fastlock; // addresses, counters
    MosObj sdbgObj;
    MosHash_Record hashRecord; // in the registry (CONT_OBJ_TYPE__TGT)
    ContObjLock accessLock;
    MosDList_Node listNode;
    MosUmt_Cond syncChannelCond;
    MosFastlock_Base syncChannelFastLock;
    MosUmt_Sem waitForSyncChannelToEndSem;
    CHAR_A remoteHost[NET_CON__MAX_HOST_NAME];
    ContTgtConMon isConnectedMon;
    ContTgtConMon isFullyConnectedMon;
    BOOL bNetHiccups;
    UINT16 numKnownAddrs;
    NetAddress knownAddrs[CONT_TGT__MAX_KNOWN_ADDRS];
    // One counter per known address, by index.
    MosOscCnt_Counter connOscCnt[CONT_TGT__MAX_KNOWN_ADDRS];  // sockets down
    MosOscCnt_Counter netOscCnt[CONT_TGT__MAX_KNOWN_ADDRS];   // I/O errors
    MosOscCnt_Counter rcvKaDiscon[CONT_TGT__MAX_KNOWN_ADDRS]; // silent peer: receive keep-alive
    MosOscCnt_Counter sndKaDiscon[CONT_TGT__MAX_KNOWN_ADDRS]; // stuck send: send keep-alive
    MosOscCnt_Counter rpcLing1Sec[CONT_TGT__MAX_KNOWN_ADDRS]; // answers later than 1 s
    MosOscCnt_Counter rpcLing3Sec[CONT_TGT__MAX_KNOWN_ADDRS]; // answers later than 3 s
    UINT64 tgtId;
    HNetCon hTgtNetCon;
    Cont *pCont;
    ContTgtMngr *pTgtMngr;
    ContTgtConState dbgState;
    BOOL bClient;
    BOOL bMark;
    BOOL bChannelSyncInProg;
    BOOL bAbortChannelSync;
    UINT16 hostGenNum;
    UINT32 numOfChannelSyncs;
    UINT32 lastKnownVersion;
    ContTgtDegradePermit degradePermit;
    NetConChannelData channelData;
};

// The peers' query answers: a head {count, element size} and one element per peer.
struct __attribute__((packed)) OstrelTgtRsp_NetBwc {
    UINT64 tgtId;
    MosBWC_QueryWindow sendSize;    // request sizes, 512-byte units
    MosBWC_QueryWindow sendLatency; // RPC latencies, microseconds
};
static_assert(sizeof(OstrelTgtRsp_NetBwc) == 48);
static_assert(offsetof(OstrelTgtRsp_NetBwc, sendSize) == 8 && offsetof(OstrelTgtRsp_NetBwc, sendLatency) == 28);

struct __attribute__((packed)) OstrelTgtRsp_ConState {
    UINT64 tgtId;
    CHAR_A remoteHost[NET_CON__MAX_HOST_NAME];
    NetCon_GetConState state; // the connection's state and, per address, whether a path is up
};
static_assert(sizeof(NetCon_PortalState) == 68 && sizeof(NetCon_GetConState) == 552);
static_assert(sizeof(OstrelTgtRsp_ConState) == 624);
static_assert(offsetof(OstrelTgtRsp_ConState, remoteHost) == 8 && offsetof(OstrelTgtRsp_ConState, state) == 72);

struct __attribute__((packed)) OstrelTgtRsp_PeersHead {
    UINT32 numTgts;
    UINT32 structSize; // of one element
};
static_assert(sizeof(OstrelTgtRsp_PeersHead) == 8);

// A peer's debug query record.
struct ContTgtQuery {
    UINT64 tgtId;
    CHAR_A remoteHost[NET_CON__MAX_HOST_NAME];
    UINT64 hTgtNetCon;
    UINT32 dbgState; // ContTgtConState
    UINT32 bClient;
    UINT32 bChannelSyncInProg;
    UINT32 numOfChannelSyncs;
    UINT32 lastKnownVersion;
    UINT32 numKnownAddrs;
    UINT32 bConnected;
    UINT32 bFullyConnected;
};
static_assert(sizeof(ContTgtQuery) == 112 && offsetof(ContTgtQuery, dbgState) == 80);

// One peer's result of the network test.
struct __attribute__((packed)) OstrelTgtRsp_NetTest {
    Mos_RC rc;
    UINT64 lbs; // blocks sent
    UINT64 tgtId;
    UINT32 millis;
};
static_assert(sizeof(OstrelTgtRsp_NetTest) == 24);

#define CONT_TGT__NET_TEST_LBS_PER_MSG 512u
#define CONT_TGT__NET_TEST_MAX_PARALLEL 64u

struct ContTgtMngr {
    MosFastlock_Base fastlock;
    MosDList_Anchor tgtAnchor;
    Cont *pCont;
    ContTgt_SendPermitCK pSendPermitCK;
    // The network test: its parameters, one result per peer listed when it started.
    OstrelTgtRsp_NetTest *pTestRes;
    UINT32 numOfTests;
    UINT64 lbsForEachTgt;
    UINT32 parallelIOs;
    UINT32 maxLenInMsForEachTgt;
    BOOL bTestInProg;
};

void contTgtMngr_Init(ContTgtMngr *pTgtMngr, Cont *pCont);
void contTgtMngr_Lock(ContTgtMngr *pTgtMngr);
void contTgtMngr_Unlock(ContTgtMngr *pTgtMngr);
UINT32 contTgtMngr_GetNumOfTgts(ContTgtMngr *pTgtMngr);
// Initialises pTgt for tgtId and appends it to the list.
void contTgtMngr_TgtInit(ContTgtMngr *pTgtMngr, ContTgt *pTgt, UINT64 tgtId, UINT16 hostGenNum,
                         const NetCon_RemoteHosts *pHosts);
void contTgtMngr_TgtDestroy(ContTgtMngr *pTgtMngr, ContTgt *pTgt);
// The peer of that id in the list, or null (list lock held by the caller).
ContTgt *contTgtMngr_FindLocked(ContTgtMngr *pTgtMngr, UINT64 tgtId);

// The bandwidth answer over all peers and the connection-state answer over the peers this server
// connects to: a heap answer (*ppAnswer, *pLen; freed with mos_MemFree), MOS_RC__NOT_FOUND when
// it cannot be allocated.
Mos_RC contTgtMngr_GetNetBwc(ContTgtMngr *pTgtMngr, UINT8 **ppAnswer, UINT32 *pLen);
Mos_RC contTgtMngr_GetTgtConState(ContTgtMngr *pTgtMngr, UINT8 **ppAnswer, UINT32 *pLen);
// Sets the sockets per address on every peer's connection; failures are traced.
void contTgtMngr_UpdateNumOfSocketsOnAllTgts(ContTgtMngr *pTgtMngr, UINT32 numOfSocketPerIp);
// Oscillation counters of the peer types (2, 6, 10, 14, 18, 22); any other type is ignored. An
// update stores the parameters as the type's in the controller (for addresses seen later) and
// sets them on every counter of that type; a reset resets those counters.
void contTgtMngr_UpdateOscCounter(ContTgtMngr *pTgtMngr, MosOscCnt_CounterType type, BOOL bReset,
                                  const MosOscCnt_CounterParams *pParams);
// Copies the peers' counters that changed within timeDelta (ms) into pArray; returns how many.
UINT32 contTgtMngr_GatherOscCounters(ContTgtMngr *pTgtMngr, MosOscCnt_QueryCounter *pArray, UINT32 maxCounters,
                                     UINT64 timeDelta);

// The network test: dummy writes to every peer in turn. MOS_RC__NOT_FOUND without peers,
// MOS_RC__ALREADY_EXISTS while one runs, else 65 (the test runs on a thread of its own).
Mos_RC contTgtMngr_NetTest(ContTgtMngr *pTgtMngr, UINT64 lbsForEachTgt, UINT32 parallelIOs,
                           UINT32 maxLenInMsForEachTgt);
// MOS_RC__RETRY while the test runs, MOS_RC__NO_TEST before any, else 65 with a heap copy of the
// results (*ppRes, *pCount; freed with mos_MemFree).
Mos_RC contTgtMngr_GetNetTest(ContTgtMngr *pTgtMngr, OstrelTgtRsp_NetTest **ppRes, UINT32 *pCount);

// 65, MOS_RC__NOT_READY or MOS_RC__COMMUNICATION_ERROR.
Mos_RC contTgt_Add(Cont *pCont, ContTgt *pTgt, const NetCon_RemoteHosts *pHosts);
void contTgt_Rem(ContTgt *pTgt);
void contTgt_Validate(ContTgt *pTgt, UINT16 hostGenNum, const NetCon_RemoteHosts *pHosts);
// 65 (granted), MOS_RC__ABORTED (refused) or MOS_RC__RETRY (no answer yet).
Mos_RC contTgt_CheckDegradePermit(ContTgt *pPeerTgt);
NetConChannelData contTgt_GetChannelData(ContTgt *pTgt);
void contTgt_GetBwc(ContTgt *pTgt, OstrelTgtRsp_NetBwc *pBwc);
void contTgt_Query(MosObj *pObj, const CHAR_A *pName, void *pData);
void contTgt_GetTgtConState(ContTgt *pTgt, OstrelTgtRsp_ConState *pState);
// The peer's 8 counters of an oscillation type, or null for a type that is not a peer's.
MosOscCnt_Counter *contTgt_GetMosOscCntArr(ContTgt *pTgt, MosOscCnt_CounterType type);
// Sets (or resets) the counters of the type on every known address.
void contTgt_UpdateOscCounter(ContTgt *pTgt, MosOscCnt_CounterType type, const MosOscCnt_CounterParams *pParams);
void contTgt_ResetOscCounter(ContTgt *pTgt, MosOscCnt_CounterType type);
UINT32 contTgt_GatherOscCounters(ContTgt *pTgt, MosOscCnt_QueryCounter *pArray, UINT32 maxCounters, UINT64 timeDelta);

// One peer's element of the connectivity vector the monitor sends.
struct __attribute__((packed)) OstrelTgtNot_PeerConState {
    UINT64 tgtId;
    UINT32 bConnected;
    UINT32 bHiccups;
};
static_assert(sizeof(OstrelTgtNot_PeerConState) == 16);
// One element per listed peer, in list order (list lock held); clears each peer's hiccup flag.
void cont_GetAllPeersConState(Cont *pCont, OstrelTgtNot_PeerConState *pStateArr, UINT32 nPeerTgts);
