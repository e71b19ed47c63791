// Where the combs live: the comb-array slot that says which comb owns a comb index of a device,
// the process-wide map from comb id to device address, and per device the map of combs found on
// the device at reopen and not yet named again by the Ostrel (combs in rebuild).
//
// A comb is in at most one of the two maps. A comb found at reopen is reported "on the device
// only" once, when it is added again; it then moves, with the teeth found for it, into the comb
// map. Whatever is still in a device's rebuild map when the reconfiguration after a restart ends
// is handed back, one comb at a time, to be freed with its teeth.
//
// mapFastlock serialises the comb map and the moves between the maps; the hashes lock per bucket.
// A zero address, a duplicate comb, a missing comb on removal or a rebuild record of another
// device is a broken invariant.
#pragma once

#include "mos/mos_ds_hash.h"
#include "tgt/phy/phy_tooth_map.h"

#pragma pack(push, 1)
struct PhyDevCombArrNode {
    CombId combId; // 0 free, all ones reserved
};
#pragma pack(pop)
static_assert(sizeof(PhyDevCombArrNode) == 8);

#define PHY_DEV_COMB_ARR__FREE 0ull
#define PHY_DEV_COMB_ARR__RESERVED 0xFFFFFFFFFFFFFFFFull
#define PHY_MAP__NUM_OF_BUCKETS 32768u

struct PhyDevCombNode {
    MosHash_Record hashRecord;
    TgtDevId devId;
    PhyToothList toothList;
};

struct PhyMap {
    MosHash combToPhyIndxHash;
    MosFastlock_Base mapFastlock;
};

struct PhyDevCombMap {
    MosHash *pRebuildCombToPhyIndxHash;
};

// A slot read from a device: a reserved slot (an allocation that never completed) counts as
// free, and is cleared in place so that the next write of the array frees it on the device.
CombId phyDevCombArr_SlotOnReopen(PhyDevCombArrNode *pSlot);

void phyMap_Init(PhyMap *pMap);
void phyMap_Destroy(PhyMap *pMap);
void phyDevCombMap_Init(PhyDevCombMap *pDevCombMap);
void phyDevCombMap_Destroy(PhyDevCombMap *pDevCombMap);

void phyDevCombMap_AddCombInRebuild(PhyDevCombMap *pDevCombMap, PhyDevCombNode *pCombNode, CombId combId,
                                    TgtDevId devId, PhyDevAddr devAddr);
PhyDevCombNode *phyDevCombMap_GetCombRecordFromRebuildMap(PhyDevCombMap *pMap, CombId combId, TgtDevId devId,
                                                          PhyDevAddr *pDevAddr);
BOOL phyDevCombMap_IsCombInRebuild(PhyDevCombMap *pDevCombMap, CombId combId, TgtDevId devId);

PhyDevAddr phyMap_GetDevAddr(PhyMap *pMap, PhyDevCombMap *pDevCombMap, CombId combId, TgtDevId devId,
                             BOOL *pBOnDeviceOnly);
void phyMap_AddComb(PhyMap *pMap, PhyDevCombMap *pCombMap, PhyDevCombNode *pCombNode, CombId combId, TgtDevId devId,
                    PhyDevAddr devAddr);
void phyMap_RemComb(PhyMap *pMap, CombId combId, PhyDevAddr *pDevAddr);

// bFirst starts the walk; each later call drops the comb returned before. FALSE when none is left.
BOOL phyDevCombMap_RemOldCombs_Loop(PhyDevCombMap *pDevCombMap, PhyDevAddr *pDevAddr, CombId *pCombId, BOOL bFirst);
void phyMap_RemOldCombs_Start(PhyDevCombMap *pDevCombMap);
void phyMap_RemOldCombs_End(MosHash *pHash, BOOL bDelHash);
