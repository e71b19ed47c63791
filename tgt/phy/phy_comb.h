// One comb copy held on a device: for each of its 8192 positions (1 MB each) the chain of device
// teeth holding that position's versions, labelled in the tooth map with (vtoId, time) and kept
// oldest first.
//
// Versions and snapshots. A volume tree's nodes (volume and snapshots, by creation time) share
// a position's versions. The version walk merges nodes and versions in time order: a node sees
// its parent's version at its creation, and its own later writes; on equal times the node comes
// first, so a node created at T never sees a version written at T. A write goes in place when
// fewer than two NORMAL nodes see the version, and copies to a new tooth labelled (vtoId, the
// tree's time) otherwise. A version that no NORMAL node sees is freed by the walk (garbage
// collection), unless an iterator is on the position, it is younger than the clean-start time, or
// it is the very version the lookup returns (which may be read or written after the walk).
//
// Thick combs are filled at first access (after the head's capacity changed): every used position
// gets a base tooth labelled (1, 1), written with zeros before it is recorded, so a new comb
// never shows what a previous owner of the tooth left there.
//
// Tooth I/O, dirty marks and cleaning (phy_comb_io.cpp): every tooth-relative address is the
// device LB teethOffset + toothIndex x 2048 + offsetInTooth, and no operation crosses a tooth.
// Dirty lists exchanged with the partner name versions by label, at most 1024 entries; more is
// sent as the overflow marker (numOfBits 0xFFFFFFFF, "everything is dirty"). A received list is
// checked whole before any of it is applied: a list whose count passes the wire's room, whose
// entry size is not the form's, or that is shorter than its count is refused and nothing of it is
// merged. A partner's tooth list for reconciliation holds at most 32 versions; a longer one is
// refused before any local version is freed, since a cut list would free versions the partner
// still has.
//
// Locking: lookups and usage changes of a tree run under the tree's fastLock, then the comb's
// combUsageFastlock (never the other way). Iterator counts (activeIter) live in the position's
// list word, beside links that the tooth map changes, so they change under the tooth map's lock.
// Callers hold the comb's mirroring locks around everything here.
#pragma once

#include "mos/mos_dynamic_array.h"
#include "tgt/head/head.h"
#include "tgt/phy/phy_dev.h"
#include "mos/mos_t10dif.h"
#include "tgt/phy/phy_io_flags.h"
#include "tgt/phy/zmp.h"
#include "tgt/vtree/vtree.h"

typedef UINT64 GenNum;
struct Phy;
struct RCacheIoBuf;

#define PHY_COMB__MAX_VERSIONS 128u
// The partner's tooth list of one position never holds more than this.
#define PHY_COMB__MAX_REMOTE_VERSIONS 32u
#define TGT_MSG__READ_COMB_DRL__NUM_OF_BITS 1024u
#define TGT_MSG__READ_COMB_DRL__OVERFLOW 0xFFFFFFFFu
#define PHY_COMB__FINE_DRL_ARRAY_BYTES 32u
#define PHY_COMB__USAGE_BM_BYTES (VOL_ALLOC_BLOCKS_IN_HEAD / 8)

struct VtreeWriteBuildData {
    VtoOnDev devVto;
    PhyToothIndex toothIndex;
    UINT32 usedCounter; // NORMAL nodes that see this version
};

struct PhyCombTooth {
    PhyToothIndex srcToothIndex; // copy from (or invalid)
    PhyToothIndex dstToothIndex; // new tooth to write (or invalid: in place)
    VtoTime time;
    VtoId vtoId;
};

struct PhyCombHead {
    GenNum capChangeGen;
    UINT8 usageBM[PHY_COMB__USAGE_BM_BYTES]; // block b: (usageBM[b/8] >> (7 - b%8)) & 1
};

struct PhyCombItr {
    PhyToothIndex toothIndex;
    UINT32 offsetInTooth; // LB
    UINT32 toothInComb;
};

struct PhyComb {
    PhyDevAddr devAddrForMap;
    PhyDev *pDev;
    UINT64 combChangeNumber; // nonzero: a comb-array change not yet known to be on disk
    GenNum headCapChangeGen;
    CombId combId;
    MosDynamicArray toothIndexArr; // 8192 PhyToothList
    BOOL bThinAllocation;
    MosFastlock_Base combUsageFastlock;
    UINT32 combUsageMB;
    UINT32 combBaseUsageMB;
};

// Dirty lists exchanged with the partner.
#pragma pack(push, 1)
struct ReadCombDrl_Data {
    VtoOnDev devVto;
    UINT32 toothInComb;
};
struct ReadCombFineDrl_Data {
    ReadCombDrl_Data data;
    UINT8 bIsAllSet;
    UINT8 FineDrlArray[PHY_COMB__FINE_DRL_ARRAY_BYTES];
};
struct TgtRsp_ReadCombDrl {
    UINT32 numOfBits;
    UINT32 readCombDrlDataSize;
    ReadCombDrl_Data drlBuf[TGT_MSG__READ_COMB_DRL__NUM_OF_BITS];
};
struct TgtRsp_ReadCombFineDrl {
    UINT32 numOfBits;
    UINT32 readCombDrlDataSize;
    ReadCombFineDrl_Data drlBuf[TGT_MSG__READ_COMB_DRL__NUM_OF_BITS];
};
#pragma pack(pop)
static_assert(sizeof(ReadCombDrl_Data) == 12);
static_assert(offsetof(ReadCombDrl_Data, toothInComb) == 8);
static_assert(sizeof(ReadCombFineDrl_Data) == 45);
static_assert(offsetof(ReadCombFineDrl_Data, bIsAllSet) == 12);
static_assert(offsetof(ReadCombFineDrl_Data, FineDrlArray) == 13);
static_assert(sizeof(TgtRsp_ReadCombDrl) == 12296);
static_assert(sizeof(TgtRsp_ReadCombFineDrl) == 46088);
static_assert(offsetof(TgtRsp_ReadCombFineDrl, drlBuf) == 8);

// Comb life.
void phyComb_Init(PhyComb *pComb, BOOL bThinAllocation);
void phyComb_Destroy(PhyComb *pComb);
// Takes the comb's slot on pDev through the device set: MOS_RC__SUCCESS, or the device set's
// refusal (MOS_RC__NOT_FOUND: the comb lives on another device; MOS_RC__NO_RESOURCES: every slot
// of the device is used), nothing taken. When the comb was found on the device at reopen
// (*pBOnDevice) its teeth are re-attached to their positions and trees, or all freed with
// bRemoveAllTeeth.
Mos_RC phyComb_AllocComb(PhyComb *pComb, CombId combId, TgtDevId devId, Phy *pPhy, PhyDev *pDev,
                         BOOL bRemoveAllTeeth, BOOL *pBOnDevice);
// The slot's allocation is complete; the first tooth I/O hardens the comb array up to it.
void phyComb_AllocCombDone(PhyComb *pComb, Phy *pPhy);
// Frees every tooth (not hardened) and the comb's slot.
void phyComb_FreeComb(PhyComb *pComb, Phy *pPhy);
// Binds the comb to a slot the caller already holds (a device on its own, as in tests).
void phyComb_Attach(PhyComb *pComb, CombId combId, PhyDev *pDev, PhyDevAddr devAddr);
// Links the teeth that the device found for this comb at reopen (pFoundTeeth, in tooth-map order;
// emptied) into their positions, or frees them all with bRemoveAllTeeth.
void phyComb_ReattachTeeth(PhyComb *pComb, PhyToothList *pFoundTeeth, BOOL bRemoveAllTeeth);
BOOL phyComb_RemoveAllTeeth(PhyComb *pComb, BOOL bHarden);
BOOL phyComb_HasCapacityChanged(PhyComb *pComb, const PhyCombHead *pHeadState);
BOOL phyComb_FirstAccess(PhyComb *pComb, Cont *pCont, const PhyCombHead *pHeadState);
void phyComb_Validate(PhyComb *pComb);

// Teeth and versions.
PhyToothIndex phyComb_AllocTooth(PhyComb *pComb, UINT32 offsetInComb);
Mos_RC phyComb_UpdateTooth(PhyComb *pComb, Vtree *pVtree, UINT32 offsetInComb, VtoId vtoId, VtoTime time,
                           PhyToothIndex toothIndex, BOOL bHardenTooth, BOOL bThin, BOOL bForce, BOOL bLeaveRemainder);
void phyComb_RollbackAllocTooth(PhyComb *pComb, UINT32 offsetInComb, PhyToothIndex toothIndex);
PhyToothIndex phyComb_AllocToothWithTime(PhyComb *pComb, Vtree *pVtree, UINT32 offsetInComb, VtoId vtoId,
                                         VtoTime time);
PhyToothIndex phyComb_GetToothIndexWithVtree(PhyComb *pComb, Vtree *pVtree, VtoId vtoId, UINT32 offsetInComb,
                                             BOOL bWrite, BOOL bAllowAllocate, VtoTime cleanStartTime,
                                             PhyCombTooth *pNewTooth, BOOL *pBDelIgnored);
PhyToothIndex phyComb_GetToothIndex(PhyComb *pComb, VtoId vtoId, VtoTime time, UINT32 offsetInComb);
BOOL phyComb_PrintVtreeAndIos(PhyComb *pComb, Vtree *pVtree, UINT32 toothInComb);

// Iteration over every version of the comb from pCombItr->toothInComb on.
void phyComb_StartIter(PhyComb *pComb, PhyCombItr *pCombItr);
void phyComb_SkipNextLb(PhyComb *pComb, PhyCombItr *pCombItr, UINT32 sizeInLbs);
void phyComb_EndItr(PhyComb *pComb, PhyCombItr *pCombItr);
// Moves on when the current tooth is finished; FALSE at the end.
BOOL phyComb_FindNextLb(PhyComb *pComb, PhyCombItr *pCombItr);

void phyComb_LockCombUsage(PhyComb *pComb);
void phyComb_UnlockCombUsage(PhyComb *pComb);

// Tooth I/O, through the device's reads and writes (phy_dev_io.h): the first I/O of a comb whose
// slot or first-access teeth are not yet known to be on the device hardens them first; a read
// then answers MOS_RC__IO_HARD_ERROR without reading when that fails, a write that reached the
// device MOS_RC__ERROR (the change stays for the next I/O). Writes pad new teeth and invalidate
// the RAM read cache as the device does.
Mos_RC phyComb_WriteTooth(PhyComb *pComb, const void *pData, T10Dif *pDifBuf, PhyToothIndex toothIndex,
                          UINT32 offsetInTooth, UINT32 sizeInLbs, WrIoFlags wrIoFlags, UINT32 copyReason,
                          UINT32 offsetInComb, UINT64 obfuscationKey, Zmp *pZmp);
// A read through the RAM read cache: the pages end up in *pCacheIob (phyDev_ReleaseCacheIoBuf).
Mos_RC phyComb_ReadTooth(PhyComb *pComb, RCacheIoBuf *pCacheIob, PhyToothIndex toothIndex, UINT32 offsetInTooth,
                         UINT32 sizeInLbs, UINT32 copyReason, RdIoFlags rdIoFlags, UINT32 offsetInComb);
// A read into the caller's buffer, past the cache (copies of a source tooth, resync).
Mos_RC phyComb_ReadTooth(PhyComb *pComb, void *pData, T10Dif *pDifBuf, PhyToothIndex toothIndex,
                         UINT32 offsetInTooth, UINT32 sizeInLbs, UINT32 copyReason, RdIoFlags rdIoFlags,
                         UINT32 offsetInComb);
void phyComb_UpdateCacheAfterWrite(PhyComb *pComb, RCacheIoBuf *pCacheIob, PhyToothIndex toothIndex,
                                   UINT32 offsetInTooth, UINT32 sizeInLbs, void *pData, WrIoFlags wrIoFlags);
UINT64 phyComb_ToothLb(PhyComb *pComb, PhyToothIndex toothIndex, UINT32 offsetInTooth, UINT32 sizeInLbs);

// Dirty marks of one tooth range.
BOOL phyComb_SetDirty(PhyComb *pComb, PhyToothIndex toothIndex, UINT32 type, UINT32 offsetInTooth, UINT32 sizeInLbs);
BOOL phyComb_ResetDirty(PhyComb *pComb, PhyToothIndex toothIndex, UINT32 type, UINT32 offsetInTooth,
                        UINT32 sizeInLbs, BOOL bLock);
BOOL phyComb_ResetFineDirty(PhyComb *pComb, PhyToothIndex toothIndex, UINT32 type, UINT32 offsetInTooth,
                            UINT32 sizeInLbs);
BOOL phyComb_IsRangeClean(PhyComb *pComb, PhyToothIndex toothIndex, UINT32 type, UINT32 offsetInTooth,
                          UINT32 sizeInLbs);

// Dirty marks of whole positions and combs.
BOOL phyComb_ResetEntireToothBits(PhyComb *pComb, UINT32 type, UINT32 toothInComb, BOOL bLock);
BOOL phyComb_ResetEntireBits(PhyComb *pComb, UINT32 type, BOOL bHarden);
BOOL phyComb_SetEntireBits(PhyComb *pComb, UINT32 type, BOOL bHarden);
BOOL phyComb_IsEntireActiveReset(PhyComb *pComb);
BOOL phyComb_IsEntireRebuildReset(PhyComb *pComb);
BOOL phyComb_CopyBits(PhyComb *pComb, UINT32 srcType, UINT32 destType, BOOL bIsFine);
BOOL phyComb_CopyActiveToRebuild(PhyComb *pComb);
BOOL phyComb_OrActiveToRebuildAndReset(PhyComb *pComb);
BOOL phyComb_MutualOrActiveRebuild(PhyComb *pComb);
BOOL phyComb_GetBothDrl(PhyComb *pComb, TgtRsp_ReadCombFineDrl *pReadCombRsp, BOOL bIsFine);

// Listing and applying marks.
BOOL phyComb_ReadBits(PhyComb *pComb, UINT32 type, TgtRsp_ReadCombFineDrl *pReadCombRsp, BOOL bIsFine);
// rspSizeInBytes: how much of *pReadCombDrlRsp was received. FALSE for a refused list (nothing
// applied) or a failed flush.
BOOL phyComb_SetBits(PhyComb *pComb, UINT32 type, const TgtRsp_ReadCombFineDrl *pReadCombDrlRsp,
                     UINT32 rspSizeInBytes, BOOL *pbBitSetNoTooth, BOOL bIsFine);
void phyComb_GetAllTeeth(PhyComb *pComb, TgtRsp_ReadCombDrl *pReadCombRsp);
// Writes up to maxVersions labels, oldest first; returns the number of versions the position has
// (more than maxVersions: the list did not fit and is cut).
UINT32 phyComb_ReadToothList(PhyComb *pComb, UINT32 offsetInComb, VtoOnDev *pToothList, UINT32 maxVersions);

// Resync iteration.
BOOL phyComb_FindNextDirtyLb(PhyComb *pComb, PhyCombItr *pCombItr, BOOL bCheckBothDrls,
                             BOOL bReturnCurrentOffsetIfAllDirty, BOOL *pbIsFine, BOOL *pbConsideredAllDirty);
UINT32 phyComb_FindLastDirtyLb(PhyComb *pComb, PhyCombItr *pCombItr, UINT32 rangeInLbs, BOOL bCheckBothDrls);
UINT32 phyComb_FindLastConsecutiveDirtyLb(PhyComb *pComb, PhyCombItr *pCombItr, UINT32 rangeInLbs,
                                          BOOL bCheckBothDrls);
UINT32 phyComb_GetGranularity(PhyComb *pComb);
UINT32 phyComb_GetNormalGranularity(PhyComb *pComb);

// Freeing and cleaning.
BOOL phyComb_FreeEntireTooth(PhyComb *pComb, UINT32 toothInComb, Vtree *pVtree, BOOL bHarden);
BOOL phyComb_CleanComb(PhyComb *pComb, VtreeMap *pVtreeMap, BOOL bForceClean);
Mos_RC phyComb_CleanToothList(PhyComb *pComb, UINT32 offsetInComb, UINT32 numOfTeeth, const VtoOnDev *vtoBuf,
                              BOOL *pbHardenTeethArr);
