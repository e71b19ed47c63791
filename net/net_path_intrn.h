// What the path's own files share: the trace prefix every path line carries and the accessors of
// a path task's area.
#pragma once

#include "mos/mos_trace.h"
#include "net/net.h"
#include "net/net_con.h"
#include "net/net_path.h"

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
// KEEPALIVE check of a path, once per tick: whether a keep-alive is due, and the oscillation
// event to report (NET_OSC_TYPE__NONE for none).
BOOL netPath_IsKaNeeded(NetPath *pPath, NetOscType *pOscEventType);
Mos_RC netPathMgr_UnRegPath_CK(MosMit *pMit, Mos_RC rc);
void netPathMgr_RegPath(NetPathMgr *pMgr, NetPath *pPath, BOOL bSendKaInstantly);
Mos_RC netPathMgr_AllocBufferForRecv_CK(MosMit *pMit, Mos_RC rc);
void netPathMgr_ReleaseBufferForRecv(NetPath *pPath, UINT32 grpID, NetSmallIov *pIOV);
void netPathMgr_AbortPathAllocUnlocked(NetPathMgr *pMgr, NetPath *pPath);
void netPathMgr_PathNeedsKA(NetPathMgr *pMgr, NetPath *pPath);
