// The handler's comb operations, called by the intake once a request has its shape.
#pragma once

#include "tgt/ioh/ioh.h"

struct IohMsgCtx {
    UINT32 msgType;
    UINT32 peerVer; // unknown already read as 0x1200000
    MosTicks_Cnt startTick;
};

// 2101. The data lands in pIoRes->pReadData (and guards in pReadDif when *pbT10Dif).
Mos_RC iohComb_ReadPrimary(Ioh *pIoh, const IohMsgCtx *pCtx, const TgtReq_IoRead *pRec, IohResp *pIoRes,
                           BOOL *pbT10Dif);
// 2102 and 2112 (copy reason SCAN) and the local reads of resync.
Mos_RC iohComb_ReadSecondary(Ioh *pIoh, const IohMsgCtx *pCtx, CombId combId, UINT32 offsetInComb, UINT32 sizeInLbs,
                             GenNum combGenNum, VtoOnDev devVto, UINT32 copyReason, void *pData, T10Dif *pDif,
                             BOOL *pbT10Dif);
// 2103, 2107, 2109: pView holds the buffers.
Mos_RC iohComb_WritePrimary(Ioh *pIoh, const IohMsgCtx *pCtx, const IohReqView *pView, IohResp *pIoRes);
// 2104, 2105, 2108.
Mos_RC iohComb_WriteSecondary(Ioh *pIoh, const IohMsgCtx *pCtx, const IohReqView *pView, IohResp *pIoRes);
Mos_RC iohComb_TrimPrimary(Ioh *pIoh, const IohMsgCtx *pCtx, const TgtReq_Trim *pRec, IohResp *pIoRes);
Mos_RC iohComb_TrimSecondary(Ioh *pIoh, const IohMsgCtx *pCtx, const TgtReq_TrimSec *pRec);

BOOL ioh_ReadCombDrl(Ioh *pIoh, const TgtReq_ReadCombDrl *pReadDrlCmd, TgtRsp_ReadCombFineDrl *pReadDrlRes);
BOOL ioh_ResetCombDrl(Ioh *pIoh, const TgtReq_ResetCombDrl *pResetDrlCmd);
Mos_RC ioh_ReadToothList(Ioh *pIoh, const TgtReq_GetToothList *pReq, TgtRsp_GetToothList *pRsp);
Mos_RC ioh_CleanToothList(Ioh *pIoh, const TgtReq_CleanToothList *pReq);
Mos_RC ioh_GetCombNextTooth(Ioh *pIoh, const TgtReq_GetNextTooth *pReq, TgtRsp_GetNextTooth *pRsp);

// ioh_IsCacheSkip for a volume and comb the caller holds.
BOOL ioh_IsHeldCacheSkip(Ioh *pIoh, IohVol *pVol, RaidComb *pRaid, UINT32 sizeInLbs, UINT32 offsetInComb, BOOL bWrite);

// Statistics at the start (latency 0) and end of a read or write.
void iohStats_Start(Ioh *pIoh, UINT32 sizeInLbs, UINT32 msgType, BOOL bWrite, BOOL bPrimary);
void iohStats_End(Ioh *pIoh, const IohMsgCtx *pCtx, UINT32 sizeInLbs, UINT32 msgType, BOOL bWrite, BOOL bPrimary);
