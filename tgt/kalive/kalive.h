// Keep-alive with the Ostrel: once attached, the server sends a notification every period (one
// second by default) and learns from the Ostrel's echoes whether it is still heard. A server that
// heard no echo for keepaliveTimeoutMs counts itself blocked: the Ostrel may already have given
// its data roles away, so the data path refuses to work while blocked.
//
// The time-out runs from the send time that the newest echo carries back, not from when the echo
// arrived. An echo is believed only when it names this process's run id and this server's id and
// carries a send time that is not in this process's future: a reply to an earlier incarnation, to
// another server, or with a forged future time could otherwise keep the link unblocked for ever.
//
// Locking: aliveFastlock guards every field; the loop reads bStop without it at the top of a
// round.
#pragma once

#include <cstddef>

#include "mos/mos_fastlock.h"
#include "mos/mos_obj_entry.h"
#include "mos/mos_ticks.h"
#include "net/net_msg.h"

struct Cont;

#define KALIVE_MSG_TYPE__KEEP_ALIVE 1001u    // to the Ostrel
#define KALIVE_MSG_TYPE__KEEP_ALIVE_RSP 2013u // the Ostrel's echo
#define KALIVE__OSTREL_RECV_GROUP 14u

struct __attribute__((packed)) OstrelTgtNot_KeepAlive {
    UINT64 timeInTicks;
    UINT64 tgtId;
    UINT32 runId;
};
static_assert(sizeof(OstrelTgtNot_KeepAlive) == 20);
static_assert(offsetof(OstrelTgtNot_KeepAlive, tgtId) == 8 && offsetof(OstrelTgtNot_KeepAlive, runId) == 16);
typedef OstrelTgtNot_KeepAlive OstrelTgtNot_KeepAliveRsp;

struct Kalive {
    MosFastlock_Base aliveFastlock;
    Cont *pCont;
    MosTicks_Cnt lastGoodTime;
    UINT64 myTgtId;
    UINT32 numOfSndMsg;
    UINT32 numOfRcvMsg;
    UINT32 numOfGoodMsg;
    UINT32 keepaliveTimeoutMs;
    BOOL bBlocked;
    BOOL bStop;
    MosObj sdbgObj;
};

struct KaliveQuery {
    UINT64 lastGoodTime;
    UINT32 numOfSndMsg;
    UINT32 numOfRcvMsg;
    UINT32 numOfGoodMsg;
    UINT32 keepaliveTimeoutMs;
    UINT32 bBlocked;
    UINT32 bStop;
};
static_assert(sizeof(KaliveQuery) == 32);

void kalive_Init(Kalive *pAlive, Cont *pCont);
// Stores the id and the time-out; starts the sending loop unless it runs.
void kalive_Start(Kalive *pAlive, UINT64 tgtId, UINT32 keepaliveTimeoutMs);
void kalive_Update(Kalive *pAlive, UINT64 tgtId, UINT32 keepaliveTimeoutMs);
void kalive_Pause(Kalive *pAlive, BOOL bPause);
BOOL kalive_IsBlocked(Kalive *pAlive);
// An echo from the keep-alive group; its buffers are freed here.
void kalive_RecvNotif(Kalive *pAlive, NetRpcData *pReq);
// One believed echo of send time `time`.
void kalive_KeepAlive(Kalive *pAlive, MosTicks_Cnt time);
void kalive_Query(MosObj *pObj, const CHAR_A *pName, void *pData);
