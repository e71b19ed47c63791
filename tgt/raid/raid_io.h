// The mirrored I/O of a comb: the write and trim that reach every partner that must receive them,
// the read that writes what it read to a partner that needs it and repairs a failed local copy,
// and the exchanges of dirty-region lists and tooth lists with the partner.
//
// Write order: for a tooth that exists the partner's leg is sent first and awaited after the local
// write; a new tooth is written locally first and sent only when that succeeded; a trim waits for
// every partner before it frees the local tooth. A failed leg is retried (three attempts at most,
// each starting at least a second after the one before, none after tgt_io_total_threshold) unless
// the Ostrel allowed dropping the partner or the partner's device failed. Dirty marks are cleared
// only by the last write in flight of a comb in a partnership that is NORMAL.
#pragma once

#include "tgt/ioh/ioh.h"
#include "tgt/raid/raid_comb.h"

#define RAID_COMB__MAX_REMOTE_RETRY 3u
#define RAID_COMB__MAX_LOCAL_RETRY 2u
#define RAID_COMB__MIN_RETRY_DELAY_MILLIS 1000u
#define RAID_REBUILD__MAX_CLEAN_TOOTH_LIST_RETRY 3u

// One synchronous RPC: the transport's code (pRpc->rspRc holds the partner's when SUCCESS).
Mos_RC raidRpc_Call(Cont *pCont, const RaidCon *pCon, RaidRpc *pRpc, UINT32 msgType, UINT32 grpId, const void *pRec,
                    UINT32 recLen, void *pRsp, UINT32 rspCap);

// ---- dirty-region lists ----

Mos_RC raidComb_CreateAndSendGetRemoteDrl(RaidComb *pComb, Cont *pCont, const RaidCon *pCon, RaidRpc *pRpc,
                                          BOOL bAllTeeth, UINT32 msgType, void *pRsp, UINT32 rspCap);
// The partner's list into the rebuild log. FALSE when it could not be fetched or applied.
BOOL raidComb_GetRemoteDrl(Cont *pCont, RaidComb *pComb, TgtId remoteTgtId, BOOL bAllTeeth, BOOL *pBIsAllZero,
                           BOOL *pbBitSetNoTooth, BOOL *pbSecFineDrlSupported);
// An old-form answer (oldSizeInBytes received) in the fine form; a malformed one reads as all dirty.
void raidComb_ConvertOldDrlRspToNew(const TgtRsp_ReadCombDrl *pOldRsp, UINT32 oldSizeInBytes,
                                    TgtRsp_ReadCombFineDrl *pNewRsp);
UINT32 raidComb_ConvertNewDrlRspToOld(const TgtRsp_ReadCombFineDrl *pNewRsp, TgtRsp_ReadCombDrl *pOldRsp);
BOOL raidRebuild_ResetRemoteDrl(Cont *pCont, RaidComb *pComb, TgtId remoteTgtId);

// ---- mirrored write, trim and read ----

// The write of one tooth range (pWrite->wrIoFlags.bPrimary: mirrored; combGenNum is the request's).
Mos_RC raidComb_Write(RaidComb *pComb, const IohCombWrite *pWrite, CombGenNum combGenNum);
// The trim of one whole tooth version; SUCCESS also when a partner's leg failed and the local tooth
// was kept, MOS_RC__IO_HARD_ERROR when a partner freed it and this copy could not.
Mos_RC raidComb_Trim(RaidComb *pComb, Vtree *pVtree, UINT32 offsetInComb, PhyToothIndex toothIndex,
                     CombGenNum combGenNum, BOOL bPrimary);
// A range of a partner's version: SUCCESS (data, and guards when pDif), MOS_RC__IO_ZERO_BUF when it
// holds nothing there, or the failure.
Mos_RC raidComb_ReadFromRemote(Cont *pCont, RaidComb *pComb, TgtId remoteTgtId, void *pData, T10Dif *pDif,
                               VtoId vtoId, VtoTime time, UINT32 offsetInComb, UINT32 sizeInLbs,
                               CombGenNum combGenNum);
// The read of a tooth version, with write-on-read to a partner that needs it and repair of a
// failed local copy from the mirror partner. With pCache->bUseCache the local copy is read through
// the RAM read cache; pData receives the stored form either way.
Mos_RC raidComb_Read(RaidComb *pComb, PhyToothIndex toothIndex, UINT32 offsetInComb, UINT32 sizeInLbs, void *pData,
                     T10Dif *pDif, RdIoFlags rdIoFlags, UINT32 copyReason, IohCacheRead *pCache = nullptr);

// ---- tooth lists ----

// A version is in the partner's list: same time and same vtoId, or either vtoId is 1 (the base).
Mos_RC raidComb_CheckExistingToothFromRemote(const TgtRsp_GetToothList *pList, VtoId vtoId, VtoTime time);
// Allocates every listed version this copy lacks (MOS_RC__NO_RESOURCES when one cannot be).
Mos_RC raidComb_AddTeethRecievedFromRemote(RaidComb *pComb, Vtree *pVtree, UINT32 offsetInComb,
                                           const TgtRsp_GetToothList *pList);
// The maintenance partner's list of the position: checked for one version, or taken over. A list
// whose count passes the answer or 32 is refused (MOS_RC__INVALID).
Mos_RC raidComb_ReadRemoteToothList(Cont *pCont, RaidComb *pComb, Vtree *pVtree, UINT32 offsetInComb,
                                    BOOL bOnlyCheckExisting, VtoId vtoId, VtoTime time);
Mos_RC raidComb_DoesTHaveTooth(Cont *pCont, RaidComb *pComb, UINT32 offsetInComb, VtoId vtoId, VtoTime time);
// The receiving side: drops the versions not listed; the tooth array is hardened after the comb's
// lock is released (MOS_RC__IO_HARD_ERROR when that fails).
Mos_RC raidComb_CleanToothList(RaidComb *pComb, UINT32 offsetInComb, UINT32 numOfTeeth, const VtoOnDev *vtoBuf);
// A rebuild-derived mirror partnership and the tooth not clean in either log.
BOOL raidComb_ToothNeedRebuild(RaidComb *pComb, PhyToothIndex toothIndex);
BOOL raidComb_PositionNeedsRebuild(RaidComb *pComb, UINT32 offsetInComb);
// The maintenance partner's list of the position taken over, for the tree that owns it.
Mos_RC raidComb_ReadRemoteToothListOfHead(RaidComb *pComb, UINT32 offsetInComb);

// The comb's side of the I/O handler's hooks (getState, getPhyComb, firstAccess, write, read, trim,
// the peer services and the device's copy throttling); the controller's side (the bandwidth
// counters of the comb's device among it) is left as it was.
void raid_FillIohHooks(IohHooks *pHooks);
