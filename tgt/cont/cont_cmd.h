// The front door of the Ostrel's commands: every request on the control groups reaches
// contCmd_NewRequest, which admits it (only the version, property and add-manager commands come
// before an add-manager; a command addressed to another server is refused), runs its handler under
// the controller's command lock and writes the result into the response's context word.
//
// Command payload: one buffer, the addressed server's TgtId (8 bytes, 0 meaning this server), then
// the command's packed little-endian record. A payload that breaks this shape is answered
// MOS_RC__INTERFACE_ERROR: it comes from the network and never stops the process.
#pragma once

#include <cstddef>

#include "net/net_con.h"
#include "net/net_msg.h"

struct Cont;

#define TGT_MSG_TYPE__GET_VER 2000u
#define TGT_MSG_TYPE__ADD_OSTREL 2001u
#define TGT_MSG_TYPE__ADD_TGT 2005u
#define TGT_MSG_TYPE__RECONF_START 2015u
#define TGT_MSG_TYPE__RECONF_DONE 2016u
#define TGT_MSG_TYPE__GET_TGT_PROP 2043u

// The add-manager record (after the payload's 8-byte TgtId).
struct __attribute__((packed)) OstrelTgtReq_AddOstrel {
    UINT64 ostrelId;
    UINT64 tgtId;
    UINT32 bForceClean;
    UINT32 bNew;
    UINT32 combSizeInLbs;
    UINT32 rebuildLimitInMBs;
    UINT32 rebalanceLimitInMBs;
    UINT16 ostrelTgtConnectionGenNum;
    UINT32 ioLimitInMBs;
    UINT32 quiesceGeneration;
    UINT32 bQuiesce;
    UINT32 bCacheEnabled;
    UINT32 bCacheFrozen;
    UINT32 cacheSizeInMb;
    UINT32 numIoBuffs;
    UINT32 keepaliveTimeoutMs;
};
static_assert(sizeof(OstrelTgtReq_AddOstrel) == 70);
static_assert(offsetof(OstrelTgtReq_AddOstrel, ostrelTgtConnectionGenNum) == 36);
static_assert(offsetof(OstrelTgtReq_AddOstrel, ioLimitInMBs) == 38);
static_assert(offsetof(OstrelTgtReq_AddOstrel, keepaliveTimeoutMs) == 66);

struct __attribute__((packed)) OstrelTgtRsp_AddOstrel {
    UINT32 bReconfigDoneReceived;
    UINT32 bIsVmware;
    UINT32 cacheSizeLimitInMb;
    UINT32 bTgtAfterRestart;
};
static_assert(sizeof(OstrelTgtRsp_AddOstrel) == 16);

// The peer group command: a head, then numOfTgts elements of tgtStructSize (538) bytes each.
struct __attribute__((packed)) OstrelTgtReq_AddTgtArr {
    UINT32 numOfTgts;
    UINT32 tgtStructSize;
    UINT32 bReconfigInProgress;
    UINT16 ostrelTgtConnectionGenNum;
};
static_assert(sizeof(OstrelTgtReq_AddTgtArr) == 14);
struct __attribute__((packed)) OstrelTgtReq_AddTgt {
    UINT64 tgtId;
    UINT16 hostGenNum;
    NetCon_RemoteHosts hosts;
};
static_assert(sizeof(OstrelTgtReq_AddTgt) == 538);
static_assert(offsetof(OstrelTgtReq_AddTgt, hosts) == 10);

// Adds (or updates and unmarks) one peer: 65 added, 7 known, or the peer's add failure.
Mos_RC contCmd_AddTgt(Cont *pCont, const OstrelTgtReq_AddTgt *pElem);
// Removes one peer (bRollback: an add that failed, whose connection work never started).
Mos_RC contCmd_RemTgtIntern(Cont *pCont, UINT64 tgtId, BOOL bRollback);

// Runs one command; the outcome is pRes->context, and any answer record is in pRes's list (heap
// buffers of type CONT_NET_BUF_TYPE__NET_ALLOC). hCon is the request's connection.
void contCmd_NewRequest(Cont *pCont, NetRpcData *pReq, NetRpcData *pRes, HNetCon hCon);
// The keep-alive group's notification callback (pObj: the controller): hands the Ostrel's echo to
// keep-alive and answers MOS_RC__SUCCESS, so the receive group frees the receive record.
Mos_RC contCmd_RecvKeepAliveNotif(void *pObj, NetRpcData *pReq);
// The version rule of add-manager: equal major, minor and build/10,000, or a newer sender.
BOOL contCmd_IsVersionAccepted(UINT32 senderVersion, UINT32 ownVersion);
