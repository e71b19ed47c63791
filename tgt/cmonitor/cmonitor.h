// The connectivity monitor: from the first attach on, every period (one second by default) the
// server tells its Ostrel which of its peer servers it can reach, in one vector of all peers.
// A peer whose connection had trouble since the previous vector counts as disconnected in the
// next one even when it is connected again.
//
// Locking: the monitor's lock is taken before the peer manager's lock; bPaused, bStop and the
// statistics are read by the thread without it between rounds.
#pragma once

#include <cstddef>

#include "mos/mos_fastlock.h"
#include "mos/mos_obj_entry.h"
#include "mos/mos_ticks.h"
#include "tgt/cont/cont_tgt.h"

struct Cont;

#define CMONITOR_MSG_TYPE__CON_VECTOR 1007u
#define CMONITOR__OSTREL_RECV_GROUP 13u

struct __attribute__((packed)) OstrelTgtNot_ConVector {
    UINT32 conStateStructSize;
    UINT64 tgtId;
    UINT32 conVectorGenNum;
    UINT32 nPeerTgts;
    UINT32 nDisconnected;
    OstrelTgtNot_PeerConState conStateArr[];
};
static_assert(sizeof(OstrelTgtNot_ConVector) == 24);
static_assert(offsetof(OstrelTgtNot_ConVector, tgtId) == 4 && offsetof(OstrelTgtNot_ConVector, conVectorGenNum) == 12);
static_assert(offsetof(OstrelTgtNot_ConVector, nDisconnected) == 20);

struct ConMonitorStats {
    MosTicks_Cnt initTime;
    MosTicks_Cnt startTime;
    MosTicks_Cnt lastGoodTime;
    UINT32 numMsgs;
    UINT32 numGoodMsgs;
};

struct ConMonitor {
    MosFastlock_Base fastlock;
    Cont *pCont;
    UINT32 vectorGenNum;
    UINT64 myTgtId;
    BOOL bStop;
    BOOL bPaused;
    ConMonitorStats stats;
    MosObj sdbgObj;
};

struct ConMonitorQuery {
    UINT64 myTgtId;
    UINT32 vectorGenNum;
    UINT32 bStop;
    UINT32 bPaused;
    UINT32 numMsgs;
    UINT32 numGoodMsgs;
    UINT32 reserved;
    UINT64 initTime;
    UINT64 startTime;
    UINT64 lastGoodTime;
};
static_assert(sizeof(ConMonitorQuery) == 56);

void cmonitor_Init(ConMonitor *pMonitor);
// Once per process, at the first attach.
void cmonitor_Start(ConMonitor *pMonitor, Cont *pCont, UINT64 tgtId);
void cmonitor_Update(ConMonitor *pMonitor, UINT64 tgtId);
void cmonitor_Pause(ConMonitor *pMonitor, BOOL bPause);
// Builds one vector (the thread's round, without sending); null when the peers cannot be read.
// The caller frees it with mos_MemFree; *pLen is its length.
OstrelTgtNot_ConVector *cmonitor_BuildVector(ConMonitor *pMonitor, UINT32 *pLen);
void cmonitor_Query(MosObj *pObj, const CHAR_A *pName, void *pData);
