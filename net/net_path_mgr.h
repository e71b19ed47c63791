// The path manager: one per net. It keeps the registry of the paths that are up (which its
// keep-alive task walks every 100 ms), the keep-alive thresholds, the waiting room where receive
// paths wait for buffers when the consumer has none, the freeze that drops every path and keeps
// client paths from reconnecting, and the shared drop buffer.
//
// Thresholds are counts of 100-ms ticks. A configured 0 for the receive-idle time, the send-idle
// time or the keep-alive frequency means the default, never "disabled": only the setters disable.
//
// Locking: `lock` guards the registry, the registration flags, bFreeze and the buffer waits; no
// call into a connection or a receive group is made while it is held. freeID is bumped under the
// lock at every unblock, so a free that lands between a failed allocation and the start of its
// wait is seen and the allocation retried at once.
#pragma once

#include "mos/mit/mos_mit_cond.h"
#include "mos/mos_dlist.h"
#include "mos/mos_dynamic_mempool.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_obj.h"
#include "mos/mos_ticks.h"
#include "net/net_mit.h"

#define NET_PATH_KA_ASSERT_FACTOR 15u
#define NET_PATH_KA_GRACE_FACTOR 2u
#define NET_PATH__DEFAULT_KA_RCV_IDLE_THRESH_MIILI 2000u
#define NET_PATH__DEFAULT_KA_SND_IDLE_THRESH_MILLI 6000u
#define NET_PATH__DEFAULT_KA_SND_FREQ 4u
#define NET_PATH_MGR__MAX_CONSEQ_PATHS 20u
#define NET_PATH_MGR__KA_MITS_NUM_PER_BLOCK 16u
#define NET_PATH_MGR__KA_MITS_NUM_BLOCKS 64u
#define NET_PATH_MGR__KA_MITS_EXTEND_NUM_BLOCKS 8u
#define NET_PATH_MGR__KA_MITS_MAX_EXTEND_FACTOR 10u
#define NET_PATH_MGR__NULL_BUF_SIZE 16384u
#define NET_PATH_KA_TICK_MILLI 100u
// Milliseconds to 100-ms ticks, at least 1; and back.
#define NET_PATH_KA_IDLE_THRESH_FROM_MILLI(ms) ((UINT16)MOS_MAX((ms) / NET_PATH_KA_TICK_MILLI, 1u))
#define NET_PATH_KA_IDLE_THRESH_TO_MILLI(ticks) ((UINT32)(ticks) * NET_PATH_KA_TICK_MILLI)

struct Net;
struct NetPath;

typedef MosDList_Anchor NetPath_Anchor;

struct NetPathMgr {
    NetMit kaMit;
    MosObj sdbgObj;
    MosFastlock_Base lock;
    NetPath_Anchor regPaths;
    MosDynamicMemPool kaMitPool;
    Net *pNet;
    NetPath *pCurKaPath;
    MosMitCond waitForMem;
    UINT32 kaAllocFailed;
    UINT32 kaSent;
    UINT32 freeID;
    void *pNullBuf;
    UINT16 kaRcvIdleThresh;
    UINT16 kaSndIdleThresh;
    UINT16 kaSndFreq;
    BOOL bFreeze;
    MosMitCond unfreezeCond;
    UINT32 kaWalkCount; // paths seen in the current walk
    BOOL bKaStop;    // the keep-alive task ends at its next tick (process teardown only)
    BOOL bKaRunning; // the keep-alive task was started and has not ended
};

// The debug query record (SDBG_EXPORTS_OBJ_TYPE__NET_PATH_MGR).
struct NetPathMgr_Query {
    UINT32 numRegPaths;
    UINT32 kaSent;
    UINT32 kaAllocFailed;
    UINT32 memWaiters;
    UINT32 kaMaxThreads;
    UINT32 kaThreadsNum;
};
static_assert(sizeof(NetPathMgr_Query) == 24);

void netPathMgr_Init(NetPathMgr *pMgr, Net *pNet);
// Ends the keep-alive task and releases what netPathMgr_Init made; no path may be registered.
void netPathMgr_Destroy(NetPathMgr *pMgr);
void netPathMgr_Start(NetPathMgr *pMgr);

void netPathMgr_SetKaRcvParams(NetPathMgr *pMgr, UINT32 threashInMIlli, UINT32 sndFreq);
void netPathMgr_SetKaSndIdleThreshInMIlli(NetPathMgr *pMgr, UINT32 threashInMIlli);
void netPathMgr_SetKaSndFrequency(NetPathMgr *pMgr, UINT32 freq);
void netPathMgr_SetKaRcvIdleThreshInMIlli(NetPathMgr *pMgr, UINT32 threashInMIlli);
void netPathMgr_GetKaParams(NetPathMgr *pMgr, UINT16 *pRcvIdleThresh, UINT16 *pSndIdleThresh, UINT16 *pSndFreq);

// Unfreezing without the lock is refused with a panic.
void netPathMgr_Freeze(NetPathMgr *pMgr, BOOL bShouldFreeze, BOOL bWithLocks);
void netPathMgr_FreezeUnlock(NetPathMgr *pMgr);
BOOL netPathMgr_IsFrozen(NetPathMgr *pMgr);

// Wakes every path waiting for receive buffers with MOS_RC__SUCCESS.
void netPathMgr_Unblock(NetPathMgr *pMgr);
UINT32 netPathMgr_GetFreeId(NetPathMgr *pMgr);
UINT32 netPathMgr_NumMemWaiters(NetPathMgr *pMgr);
void *netPathMgr_GetNullBuf(NetPathMgr *pMgr, UINT32 *pBufSize);
void netPathMgr_Query(MosObj *pObj, const CHAR_A *pName, void *pData);
