// The tooth map of a device: one 16-byte entry per data tooth saying which comb, which position
// in the comb and which volume-tree version the tooth holds. It is the only record of which
// device tooth belongs to which comb, so it lives wholly in memory and on the device.
//
// Changes are made in memory under mapFastlock and hardened in 4 KB pieces (256 entries): a
// harden writes every piece from the first to the last dirty one in one write (group commit:
// concurrent updaters share a write through the update numbers that phyToothMap_UpdateTooth
// hands out). diskRwLock serialises the writes; mapFastlock is never held across I/O.
//
// Lists, all threaded through pTeethArray (never on disk): the free list (LIFO), the teeth found
// on the device at reopen, and one list per comb position holding its versions sorted by
// (time, vtoId), oldest first. A freed tooth first waits on toothFreePendingList and joins the
// free list only once a harden has put the free on the device: until then the device may still
// name the old owner, and a new owner's data must not land in the tooth.
//
// Reopen trusts nothing it reads: an entry with a position outside the comb, time 0, comb id 0
// or a label (comb position, time, vtoId) that another entry also carries refuses the device with
// MOS_RC__TGT_ADD_DEVICE_VALIDATION_FAILED and a trace line.
//
// The maintenance dump and load pair of the map is not offered: nothing in the server calls it.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/umt/mos_umt_rwlock.h"
#include "tgt/phy/phy_layout.h"

struct File;

#pragma pack(push, 1)
struct PhyToothData {
    CombTId combTId; // 0: free
    VtoOnDev devVto;
};
#pragma pack(pop)
static_assert(sizeof(PhyToothData) == 16);
static_assert(offsetof(PhyToothData, devVto) == 8);
static_assert(offsetof(PhyToothData, devVto) + offsetof(VtoOnDev, time) == 12);

struct PhyToothNode {
    UINT32 next;
    UINT32 prev;
};

struct PhyToothList {
    UINT32 first : 29;
    UINT32 activeIter : 3;
    UINT32 last : 30;
    UINT32 unused : 1;
    UINT32 bThin : 1;
};
static_assert(sizeof(PhyToothList) == 8);

#define PHY_TOOTH_MAP__ENTRIES_PER_PIECE 256u
#define PHY_TOOTH_MAP__PIECE_LBS 8u

#include "tgt/phy/phy_progress.h"

struct PhyToothMap {
    MosFastlock_Base mapFastlock;
    MosUmt_RWLock diskRwLock;
    UINT8 *memDirtyArray; // one bit per piece
    File *pFile;
    PhyToothNode *pTeethArray;
    PhyToothData *pCombTidArray;
    UINT64 snapReservedTeeth;
    UINT64 currSnapTeeth;
    UINT64 currBaseTeeth;
    UINT64 currThinBaseTeeth;
    UINT64 mapOffsetInLbs;
    UINT32 mapSizeInLbs;
    UINT32 maxNumOfTeeth;
    UINT64 toothArrayHardenInLbs;
    UINT32 toothArrayHardens;
    UINT32 toothArrayHardenMaxInLbs;
    PhyToothList toothFreeList;
    PhyToothList toothAllocList;
    PhyToothList toothFreePendingList; // freed, the free not yet on the device
    BOOL bNeedHarden;
    BOOL bInit;
    UINT32 mapUpdates;
    UINT32 mapHardenedUpdate;
};

// LB of the map of maxNumOfTeeth teeth: whole pieces, 1 LB for none.
UINT32 phyToothMap_CalcSizeInLbs(UINT32 maxNumOfTeeth);
void phyToothList_Init(PhyToothList *pList);
BOOL phyToothList_IsEmpty(const PhyToothList *pList);

// bNew writes a zeroed map; otherwise the map is read and checked. MOS_RC__SUCCESS, the write's
// code, MOS_RC__ERROR (read failed) or MOS_RC__TGT_ADD_DEVICE_VALIDATION_FAILED (bad entry).
Mos_RC phyToothMap_Init(PhyToothMap *pMap, PhyAddDevProgress *pProgress, UINT32 maxNumOfTeeth, UINT64 mapOffset,
                        File *pFile, BOOL bNew);
void phyToothMap_Destroy(PhyToothMap *pMap);

PhyToothIndex phyToothMap_AllocTooth(PhyToothMap *pMap);
BOOL phyToothMap_UpdateTooth(PhyToothMap *pMap, TgtDevId devId, CombId combId, UINT32 toothInComb, VtoId vtoId,
                             UINT32 time, PhyToothList *pToothList, PhyToothIndex toothIndex, BOOL bThin, BOOL bForce,
                             BOOL bLeaveRemainder, BOOL *out_pbIsFirstTooth, UINT32 *pMapUpdate);
PhyToothIndex phyToothMap_AllocToothAndUpdate(PhyToothMap *pMap, CombId combId, UINT32 toothInComb, VtoId vtoId,
                                              UINT32 time, PhyToothList *pToothList, BOOL bThin,
                                              BOOL *out_pbIsFirstTooth);
void phyToothMap_AllocToothSpecific(PhyToothMap *pMap, CombId combId, PhyToothList *pToothList,
                                    PhyToothIndex toothIndex, BOOL bThin, BOOL *out_pbIsNewTooth);
PhyToothIndex phyToothMap_PopToothFoundOnDev(PhyToothMap *pMap, CombTId *pCombTId);
// Under the lock: removes the first tooth of pList (which counts in no usage counter, such as the
// teeth found on the device for one comb) and returns it with its combTId; invalid when empty.
PhyToothIndex phyToothMap_PopFirstTooth(PhyToothMap *pMap, PhyToothList *pList, CombTId *pCombTId);
// Under the lock, one pass: the teeth and labels of pList from its first member, at most max of
// them; returns how many members the list has.
UINT32 phyToothMap_ReadChain(PhyToothMap *pMap, const PhyToothList *pList, PhyToothIndex *pTeeth, VtoOnDev *pLabels,
                             UINT32 max);
// Under the lock: puts a tooth that is on no list at the tail of pList, whatever its label (the
// teeth found on the device for one comb, in tooth-map order).
void phyToothMap_AppendTooth(PhyToothMap *pMap, PhyToothList *pList, PhyToothIndex toothIndex);
// pToothList null: a tooth that never entered a list. The tooth is handed out again only after
// a harden has written the free.
void phyToothMap_FreeTooth(PhyToothMap *pMap, CombTId combTId, PhyToothList *pToothList, PhyToothIndex toothIndex,
                           BOOL bValidate, BOOL bPartOfCombTooth, BOOL *out_isLastTooth);
void phyToothMap_RollbackUpdateTooth(PhyToothMap *pMap, CombTId combTId, PhyToothList *pToothList,
                                     PhyToothIndex toothIndex);
// mapUpdate 0: write whatever is dirty; otherwise make sure that update is on the device.
BOOL phyToothMap_HardenAll(PhyToothMap *pMap, UINT32 mapUpdate);

// Reads of one entry (under the lock).
PhyToothData phyToothMap_GetEntry(PhyToothMap *pMap, PhyToothIndex toothIndex);
// Successor in whichever list the tooth is on.
PhyToothIndex phyToothMap_GetNext(PhyToothMap *pMap, PhyToothIndex toothIndex);
