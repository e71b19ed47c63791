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
// Locking: the manager's fastlock guards the list (taken after the connectivity monitor's lock);
// a peer's locks are leaf locks.
#pragma once

#include "mos/mos_dlist.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_ticks.h"
#include "mos/umt/mos_umt_cond.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "net/net_con.h"
#include "tgt/cmonitor/cmonitor.h"
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
    UINT32 oscCount[CONT_TGT__MAX_KNOWN_ADDRS][NET_OSC_TYPE__RPC_LINGERED_3SEC + 1];
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
void contTgt_ConnectedNotif(ContTgt *pTgt, HNetCon hCon, NetConChannelData *pChannelData);
void contTgt_DisconnectedNotif(ContTgt *pTgt, HNetCon hCon, NetConChannelData *pChannelData);
void contTgt_SetPeerVersion(ContTgt *pTgt, UINT32 version);
void contTgt_OscillationNotif(ContTgt *pTgt, HNetCon hCon, NetOscType counterType, const NetAddress *pAddr);
// 65 (granted), MOS_RC__ABORTED (refused) or MOS_RC__RETRY (no answer yet).
Mos_RC contTgt_CheckDegradePermit(ContTgt *pPeerTgt);
NetConChannelData contTgt_GetChannelData(ContTgt *pTgt);

// One element per listed peer, in list order (list lock held); clears each peer's hiccup flag.
void cont_GetAllPeersConState(Cont *pCont, OstrelTgtNot_PeerConState *pStateArr, UINT32 nPeerTgts);
