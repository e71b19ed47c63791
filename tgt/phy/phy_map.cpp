#include "tgt/phy/phy_map.h"

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "tgt/tgt_contention.h"

namespace {
void createHash(MosHash *pHash)
{
    BOOL ok = mosHash_Create(pHash, PHY_MAP__NUM_OF_BUCKETS, MOS_HASHING_METHOD__MODULO, 0, nullptr, nullptr,
                             TGT_CONTENTION__PHY_MAP);
    MOS_ASSERT(ok);
}

PhyDevCombNode *nodeOf(MosHash_Record *pRec) { return MOS_CONTAINER_OF(pRec, PhyDevCombNode, hashRecord); }

// The node is in no map here: its record starts unlinked.
void resetNode(PhyDevCombNode *pNode, TgtDevId devId)
{
    pNode->hashRecord = MosHash_Record{};
    pNode->devId = devId;
    phyToothList_Init(&pNode->toothList);
}
} // namespace

CombId phyDevCombArr_SlotOnReopen(PhyDevCombArrNode *pSlot)
{
    if (pSlot->combId == PHY_DEV_COMB_ARR__RESERVED)
        pSlot->combId = PHY_DEV_COMB_ARR__FREE;
    return pSlot->combId;
}

void phyMap_Init(PhyMap *pMap)
{
    *pMap = PhyMap{};
    createHash(&pMap->combToPhyIndxHash);
    mosFastlockBase_Create(&pMap->mapFastlock, TGT_CONTENTION__PHY_MAP, __FILE__, __LINE__);
}

void phyMap_Destroy(PhyMap *pMap)
{
    mosHash_Clear(&pMap->combToPhyIndxHash);
    mosHash_Delete(&pMap->combToPhyIndxHash);
    mosFastlockBase_Destroy(&pMap->mapFastlock);
}

void phyDevCombMap_Init(PhyDevCombMap *pDevCombMap)
{
    pDevCombMap->pRebuildCombToPhyIndxHash =
        static_cast<MosHash *>(mos_MemCalloc(sizeof(MosHash), sizeof(MosHash), __func__, FALSE));
    createHash(pDevCombMap->pRebuildCombToPhyIndxHash);
}

void phyDevCombMap_Destroy(PhyDevCombMap *pDevCombMap)
{
    if (pDevCombMap->pRebuildCombToPhyIndxHash == nullptr)
        return;
    phyMap_RemOldCombs_End(pDevCombMap->pRebuildCombToPhyIndxHash, TRUE);
    pDevCombMap->pRebuildCombToPhyIndxHash = nullptr;
}

void phyDevCombMap_AddCombInRebuild(PhyDevCombMap *pDevCombMap, PhyDevCombNode *pCombNode, CombId combId,
                                    TgtDevId devId, PhyDevAddr devAddr)
{
    MOS_ASSERT(devAddr.devAddr != PHY_DEV_ADDR__INVALID);
    resetNode(pCombNode, devId);
    mosHash_Add(pDevCombMap->pRebuildCombToPhyIndxHash, &pCombNode->hashRecord, combId, devAddr.devAddr);
}

PhyDevCombNode *phyDevCombMap_GetCombRecordFromRebuildMap(PhyDevCombMap *pMap, CombId combId, TgtDevId devId,
                                                          PhyDevAddr *pDevAddr)
{
    pDevAddr->devAddr = PHY_DEV_ADDR__INVALID;
    UINT64 data = 0;
    MosHash_Record *pRec = mosHash_GetRecordByKey(pMap->pRebuildCombToPhyIndxHash, combId, 0, &data);
    if (pRec == nullptr)
        return nullptr;
    PhyDevCombNode *pNode = nodeOf(pRec);
    MOS_ASSERT(pNode->devId == devId);
    pDevAddr->devAddr = data;
    return pNode;
}

BOOL phyDevCombMap_IsCombInRebuild(PhyDevCombMap *pDevCombMap, CombId combId, TgtDevId devId)
{
    PhyDevAddr addr;
    return phyDevCombMap_GetCombRecordFromRebuildMap(pDevCombMap, combId, devId, &addr) != nullptr ? TRUE : FALSE;
}

PhyDevAddr phyMap_GetDevAddr(PhyMap *pMap, PhyDevCombMap *pDevCombMap, CombId combId, TgtDevId devId,
                             BOOL *pBOnDeviceOnly)
{
    PhyDevAddr addr{};
    mosFastlockBase_Acquire(&pMap->mapFastlock);
    *pBOnDeviceOnly = FALSE;
    if (pDevCombMap != nullptr && phyDevCombMap_GetCombRecordFromRebuildMap(pDevCombMap, combId, devId, &addr) != nullptr) {
        *pBOnDeviceOnly = TRUE;
    } else {
        UINT64 data = 0;
        if (mosHash_GetRecordByKey(&pMap->combToPhyIndxHash, combId, 0, &data) != nullptr)
            addr.devAddr = data;
    }
    mosFastlockBase_Release(&pMap->mapFastlock);
    return addr;
}

void phyMap_AddComb(PhyMap *pMap, PhyDevCombMap *pCombMap, PhyDevCombNode *pCombNode, CombId combId, TgtDevId devId,
                    PhyDevAddr devAddr)
{
    MOS_ASSERT(devAddr.devAddr != PHY_DEV_ADDR__INVALID);
    mosFastlockBase_Acquire(&pMap->mapFastlock);
    PhyDevAddr oldAddr;
    PhyDevCombNode *pOld = pCombMap != nullptr
                               ? phyDevCombMap_GetCombRecordFromRebuildMap(pCombMap, combId, devId, &oldAddr)
                               : nullptr;
    if (pOld != nullptr) {
        // The node keeps the teeth found for the comb at reopen.
        MOS_ASSERT(mosHash_DeleteRecordByKeyAndPtr(pCombMap->pRebuildCombToPhyIndxHash, combId, &pOld->hashRecord));
        MOS_ASSERT_WITH_DESC(pOld == pCombNode, "a comb index has one node");
    } else {
        resetNode(pCombNode, devId);
    }
    Exp(mosHash_ContainsKey(&pMap->combToPhyIndxHash, combId));
    mosHash_Add(&pMap->combToPhyIndxHash, &pCombNode->hashRecord, combId, devAddr.devAddr);
    mosFastlockBase_Release(&pMap->mapFastlock);
}

void phyMap_RemComb(PhyMap *pMap, CombId combId, PhyDevAddr *pDevAddr)
{
    mosFastlockBase_Acquire(&pMap->mapFastlock);
    UINT64 data = 0;
    MosHash_Record *pRec = mosHash_GetRecordByKey(&pMap->combToPhyIndxHash, combId, MOS_HASH_FLAGS__DELETE_RECORD, &data);
    MOS_ASSERT(pRec != nullptr);
    pDevAddr->devAddr = data;
    mosFastlockBase_Release(&pMap->mapFastlock);
}

void phyMap_RemOldCombs_Start(PhyDevCombMap *pDevCombMap) { mosHash_EnumStart(pDevCombMap->pRebuildCombToPhyIndxHash); }

void phyMap_RemOldCombs_End(MosHash *pHash, BOOL bDelHash)
{
    if (pHash->bEnumActive)
        mosHash_EnumStop(pHash);
    if (!bDelHash)
        return;
    mosHash_Clear(pHash);
    mosHash_Delete(pHash);
    mos_MemFree(pHash);
}

BOOL phyDevCombMap_RemOldCombs_Loop(PhyDevCombMap *pDevCombMap, PhyDevAddr *pDevAddr, CombId *pCombId, BOOL bFirst)
{
    MosHash *pHash = pDevCombMap->pRebuildCombToPhyIndxHash;
    if (bFirst)
        phyMap_RemOldCombs_Start(pDevCombMap);
    UINT64 key = 0, data = 0;
    if (!mosHash_EnumGetNextRecord(pHash, bFirst ? FALSE : TRUE, &key, &data)) {
        phyMap_RemOldCombs_End(pHash, FALSE);
        return FALSE;
    }
    *pCombId = key;
    pDevAddr->devAddr = data;
    MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Comb found on disk, and removed %lx", (unsigned long)key);
    return TRUE;
}
