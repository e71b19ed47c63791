// Comb map: a comb found at reopen is reported on the device only once and then lives in the
// comb map; one never named again is handed back for removal; reserved slots are free.
#include <gtest/gtest.h>

#include <set>

#include "test/support/tgt_test_support.h"
#include "tgt/phy/phy_map.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

PhyDevAddr addr(UINT32 dev, UINT64 off)
{
    PhyDevAddr a{};
    a.devAddrBits.devId = dev;
    a.devAddrBits.devOffset = off;
    return a;
}

class CombMap : public ::testing::Test {
  protected:
    void SetUp() override
    {
        phyMap_Init(&map);
        phyDevCombMap_Init(&devMap);
    }
    void TearDown() override
    {
        phyDevCombMap_Destroy(&devMap);
        phyMap_Destroy(&map);
    }
    PhyMap map;
    PhyDevCombMap devMap;
    PhyDevCombNode nodes[8] = {};
};

TEST_F(CombMap, ACombFoundAtReopenIsOnDeviceOnlyOnceThenInTheCombMap)
{
    phyDevCombMap_AddCombInRebuild(&devMap, &nodes[0], 0x8001, 5, addr(1, 2097152));
    nodes[0].toothList.first = 42; // the teeth the tooth map found for it
    BOOL bOnDevOnly = FALSE;
    EXPECT_EQ(phyMap_GetDevAddr(&map, &devMap, 0x8001, 5, &bOnDevOnly).devAddr, addr(1, 2097152).devAddr);
    EXPECT_TRUE(bOnDevOnly);
    EXPECT_TRUE(phyDevCombMap_IsCombInRebuild(&devMap, 0x8001, 5));
    phyMap_AddComb(&map, &devMap, &nodes[0], 0x8001, 5, addr(1, 2097152));
    EXPECT_EQ(nodes[0].toothList.first, 42u) << "the teeth found at reopen stay with the comb";
    EXPECT_EQ(phyMap_GetDevAddr(&map, &devMap, 0x8001, 5, &bOnDevOnly).devAddr, addr(1, 2097152).devAddr);
    EXPECT_FALSE(bOnDevOnly);
    EXPECT_FALSE(phyDevCombMap_IsCombInRebuild(&devMap, 0x8001, 5));
    EXPECT_EQ(phyMap_GetDevAddr(&map, &devMap, 0x9999, 5, &bOnDevOnly).devAddr, 0u) << "unknown comb";
    EXPECT_PANIC(phyMap_AddComb(&map, nullptr, &nodes[2], 0x8001, 5, addr(1, 3)), "ContainsKey");
    EXPECT_PANIC(phyMap_AddComb(&map, nullptr, &nodes[2], 0x8002, 5, PhyDevAddr{}), "devAddr");
    PhyDevAddr out;
    phyMap_RemComb(&map, 0x8001, &out);
    EXPECT_EQ(out.devAddr, addr(1, 2097152).devAddr);
    EXPECT_PANIC(phyMap_RemComb(&map, 0x8001, &out), "pRec != nullptr");
}

TEST_F(CombMap, CombsNotReAddedAreHandedBackAndLeaveBothMaps)
{
    for (UINT32 i = 0; i < 4; i++)
        phyDevCombMap_AddCombInRebuild(&devMap, &nodes[i], 0x8000 + i, 5, addr(1, 100 + i));
    phyMap_AddComb(&map, &devMap, &nodes[2], 0x8002, 5, addr(1, 102));
    std::set<CombId> removed;
    PhyDevAddr a;
    CombId c;
    for (BOOL bFirst = TRUE; phyDevCombMap_RemOldCombs_Loop(&devMap, &a, &c, bFirst); bFirst = FALSE) {
        EXPECT_EQ(a.devAddrBits.devOffset, 100 + (c - 0x8000));
        removed.insert(c);
    }
    EXPECT_EQ(removed, (std::set<CombId>{0x8000, 0x8001, 0x8003}));
    BOOL bOnDevOnly;
    for (CombId id : removed) {
        EXPECT_EQ(phyMap_GetDevAddr(&map, &devMap, id, 5, &bOnDevOnly).devAddr, 0u);
        EXPECT_FALSE(phyDevCombMap_IsCombInRebuild(&devMap, id, 5));
    }
    EXPECT_NE(phyMap_GetDevAddr(&map, &devMap, 0x8002, 5, &bOnDevOnly).devAddr, 0u);
    phyMap_RemComb(&map, 0x8002, &a);
}

TEST(CombArrSlot, AReservedSlotIsFreeAtReopen)
{
    PhyDevCombArrNode slots[] = {{PHY_DEV_COMB_ARR__RESERVED}, {0}, {0x8005}};
    EXPECT_EQ(phyDevCombArr_SlotOnReopen(&slots[0]), 0u);
    EXPECT_EQ(slots[0].combId, 0u) << "cleared in place";
    EXPECT_EQ(phyDevCombArr_SlotOnReopen(&slots[1]), 0u);
    EXPECT_EQ(phyDevCombArr_SlotOnReopen(&slots[2]), 0x8005u);
}
} // namespace
