// What the path's own files share: the trace prefix every path line carries, the accessors of a
// path task's area, and what a path asks of the objects around it. The portal and connection that
// own a path, its path manager and the secure upgrade all include this header to serve the path;
// the path reaches them only through the calls declared here, never through their headers.
#pragma once

#include "mos/mos_diag_counters.h"
#include "mos/mos_trace.h"
#include "net/net_ids.h"
#include "net/net_path.h"
#include "net/net_root.h"

const char *netPath_ConnStr(const NetPath *pPath);
const char *netPath_LiveStr(const NetPath *pPath);

#define NET_PATH_TRACE(pPath, freq, format, ...)                                                                  \
    MOS_TRACE(MOS_COMP_NET, freq, " :: %s %s %s path %p of portal %p net %p socket %d inflights %u " format,      \
              netPath_ConnStr(pPath), netPath_LiveStr(pPath), netPath_ConTypeStr((pPath)->conType),               \
              (void *)(pPath), (void *)(pPath)->pPortal, (void *)(pPath)->pNet, (int)(pPath)->sock.socket,        \
              (pPath)->inflightSends, ##__VA_ARGS__)

#define NET_PATH_ERROR(pPath, format, ...)                                                                        \
    MOS_ERROR(MOS_COMP_NET, " :: %s %s %s path %p of portal %p net %p socket %d inflights %u " format,           \
              netPath_ConnStr(pPath), netPath_LiveStr(pPath), netPath_ConTypeStr((pPath)->conType),               \
              (void *)(pPath), (void *)(pPath)->pPortal, (void *)(pPath)->pNet, (int)(pPath)->sock.socket,        \
              (pPath)->inflightSends, ##__VA_ARGS__)

inline NetPath *netPath_OfMit(MosMit *pMit)
{
    return netMit_GetArea(pMit)->pPath;
}

inline Socket_Header *netPath_HeadOfMit(MosMit *pMit)
{
    return &netMit_GetArea(pMit)->extHeader.header;
}

// Counts a diagnostic counter with the path's connection id when it has a connection.
void netPath_CountDiag(NetPath *pPath, MosDiagCounterType counter);
// The path's reading of its head: exactly 128 bytes into the task's head, then the validity check.
Mos_RC netPath_ReadHead_CK(MosMit *pMit, Mos_RC rc);
// The receive loop's reading of a valid head's payload, without the socket (the fuzz targets
// drive these with untrusted bytes). The payload bytes that follow the head on the wire: none for a
// control frame, else those the head did not carry.
UINT32 netPath_PayloadAfterHead(const Socket_Header *pHead);
// Places the bytes the head carried at the start of the consumer's buffers pRcv (which hold the
// whole dataLen) and builds pRest (initialised, empty) over the part of pRcv still to be read from
// the socket; returns that part's size.
UINT32 netPath_PrepareRestOfPayload(const Socket_ExtendedHeader *pHead, NetSmallIov *pRcv, NetSmallIov *pRest);
Mos_RC netPathMgr_UnRegPath_CK(MosMit *pMit, Mos_RC rc);
void netPathMgr_RegPath(NetPathMgr *pMgr, NetPath *pPath, BOOL bSendKaInstantly);
Mos_RC netPathMgr_AllocBufferForRecv_CK(MosMit *pMit, Mos_RC rc);
void netPathMgr_ReleaseBufferForRecv(NetPath *pPath, UINT32 grpID, NetSmallIov *pIOV);
void netPathMgr_AbortPathAllocUnlocked(NetPathMgr *pMgr, NetPath *pPath);
void netPathMgr_PathNeedsKA(NetPathMgr *pMgr, NetPath *pPath);
// A waiting step: returns once the manager is not frozen.
Mos_RC netPathMgr_WaitIfFrozen_CK(MosMit *pMit, Mos_RC rc);
// Wakes the paths waiting for the manager to unfreeze, so that dying ones can end.
void netPathMgr_WakeFrozen(NetPathMgr *pMgr);

// An accepted path that ended before any connection took it: the listener side destroys it when
// its last reference goes.
void netListen_PathWithNoOwnerDied(NetPath *pPath);

// The portal and connection that own a path.
NetCon *netPortal_GetCon(const NetPortal *pPortal);
const NetAddress *netPortal_GetAddr(const NetPortal *pPortal);
void netPortal_PathDied(NetPath *pPath);
ConId netCon_GetConId(const NetCon *pCon);
NetOwnerType netCon_GetOwnerType(const NetCon *pCon);
// The id a client path names in NEW_CON instead of the process's own (0: none).
UINT64 netCon_GetIndependentId(const NetCon *pCon);
void netCon_UpdateConState(NetCon *pCon, BOOL bDueToSuccess);
BOOL netCon_SetOrMatchPeerId(NetCon *pCon, const NetIdentifier *pId, NetPath *pPath);
void netCon_SetPeerVersionIfNeeded(NetCon *pCon, UINT32 version);

// The secure upgrade's steps, run by the path's own tasks: a client's after the TCP connect, a
// server's with the first head of a new socket, and before the socket disconnects (it lets the
// secure senders finish or fail, then closes the session).
Mos_RC netSec_Connect_CK(MosMit *pMit, Mos_RC rc);
Mos_RC netSec_Accept_CK(MosMit *pMit, Mos_RC rc);
Mos_RC netSec_Disconnect_CK(MosMit *pMit, Mos_RC rc);
