// What the controller's parts whose headers the root includes (peer servers, heads, volume trees,
// volumes, the data path, the network glue, the Ostrel link with its keep-alive and connectivity
// monitor) read of the root controller object and ask of it. They reach it only through these
// calls, never through cont.h: the root holds them by value and includes their headers, so one
// that included the root's header would close an include circle. (The parts that include cont.h
// instead - commands, devices, combs, flash-cache devices - keep what the root holds of them in a
// state header of their own, cont_*_state.h, which is all the root includes of them.)
#pragma once

#include "mos/mos_osc_cnt.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"
#include "net/net_ids.h"

struct Cont;
struct ContObj;
struct ContTgtMngr;
struct ContNet;
struct Ioh;
struct Net;
struct DumpMgr;
struct RcacheNetBuf;
struct Cache;
struct MosDynamicMemPool;
struct MosMemPool;
struct MosFastlock_Base;
struct Zmp;
struct MosBlocking;

// The root's members: plain accessors, no locking (members never move).
ContObj *cont_GetObjs(Cont *pCont);
ContTgtMngr *cont_GetTgtMngr(Cont *pCont);
ContNet *cont_GetContNet(Cont *pCont);
// The I/O handler.
Ioh *cont_GetIoh(Cont *pCont);
RcacheNetBuf *cont_GetCachePrimary(Cont *pCont);
RcacheNetBuf *cont_GetCacheSecondary(Cont *pCont);
Cache *cont_GetCache(Cont *pCont);
MosDynamicMemPool *cont_GetCopySndPool(Cont *pCont);
MosDynamicMemPool *cont_GetCopyRcvPool(Cont *pCont);
// The I/O contexts of received messages.
MosMemPool *cont_GetIoCtxPool(Cont *pCont);
// The copy receive pool's exhaustion flag and the lock that guards it (the root's fastLock).
MosFastlock_Base *cont_GetCopyRcvLock(Cont *pCont);
BOOL *cont_GetCopyRcvAllocFailed(Cont *pCont);
// Oscillation counters of types 30-34; any other type is an internal error.
MosOscCnt_Counter *cont_GetMosOscCntArr(Cont *pCont, MosOscCnt_CounterType type);
// The parameters the counters of a type are created with (any type).
MosOscCnt_CounterParams *cont_GetOscCntParams(Cont *pCont, MosOscCnt_CounterType type);
BOOL cont_GetReconfigInProgress(Cont *pCont);
Net *cont_GetNetObj(Cont *pCont);
DumpMgr *cont_GetDumpMgr(Cont *pCont);
HNetCon cont_GetOstrelCon(Cont *pCont);
void cont_UpdateOstrelCon(Cont *pCont, HNetCon hCon);
Zmp *cont_getZmp(Cont *pCont, BOOL bPrimary);
UINT64 cont_GetTgtId(Cont *pCont);
UINT32 cont_GetRunId(Cont *pCont);
MosBlocking *cont_GetRcacheBlockingThread(Cont *pCont);
void cont_GetZeroedBuffers(Cont *pCont, UINT8 **ppDataBuf, UINT8 **ppDifBuf);

// Whether the Ostrel's link is blocked (keep-alive unanswered for its time-out, or paused): the
// data path refuses to work while it is.
BOOL cont_IsOstrelBlocked(Cont *pCont);

// TRUE while the user-mode scheduler is stuck; stops the process once it has been stuck longer
// than tgt_sched_thread_stuck_allowed_milli (0: never).
BOOL cont_IsSchedThredStuck(Cont *pCont);

// The Ostrel link's sends of one record, which the parts report and ask through (the link's own):
// a notification (copied by the send) to the Ostrel's group grpId, and a request to its control
// group (the Ostrel's code or MOS_RC__TIMEOUT).
Mos_RC contOstrel_SendNotifRecord(Cont *pCont, UINT32 msgType, UINT32 grpId, const void *pRec, UINT32 len);
Mos_RC contOstrel_SendRequestRecord(Cont *pCont, UINT32 msgType, const void *pRec, UINT32 len);
