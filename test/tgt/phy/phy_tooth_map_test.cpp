// Tooth map: allocation order and the wait of a freed tooth for its harden, version order,
// group-commit writes, the reserve rule, and the checks of a map read back from the device.
#include <gtest/gtest.h>

#include <cstring>

#include "test/support/tgt_dev_fixture.h"
#include "tgt/phy/phy_tooth_map.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

constexpr UINT64 kMapOffset = PHY_DEV__TEETH_MAP_OFFSET;
constexpr UINT32 kTeeth = 4096; // 16 pieces
constexpr CombId kComb = 0x8400 | 7;

class ToothMap : public ::testing::Test {
  protected:
    void SetUp() override
    {
        tgtConf_SetDefaults();
        dev.open("dev", 8u << 20);
        init(TRUE);
    }
    void TearDown() override
    {
        if (bMapUp)
            phyToothMap_Destroy(&map);
        dev.close();
    }
    Mos_RC init(BOOL bNew)
    {
        Mos_RC rc = MOS_RC__ERROR;
        dev.run([&] { rc = phyToothMap_Init(&map, nullptr, kTeeth, kMapOffset, &dev.file, bNew); });
        bMapUp = rc == MOS_RC__SUCCESS;
        return rc;
    }
    void reopen(Mos_RC expected)
    {
        dropAll();
        phyToothMap_Destroy(&map);
        bMapUp = false;
        ASSERT_EQ(init(FALSE), expected);
    }
    // Versions of one position; their counts are dropped before the map goes.
    PhyToothIndex add(PhyToothList *pList, UINT32 toothInComb, VtoId vto, UINT32 time, BOOL bThin = FALSE)
    {
        BOOL bFirst;
        PhyToothIndex t = phyToothMap_AllocToothAndUpdate(&map, kComb, toothInComb, vto, time, pList, bThin, &bFirst);
        owned.push_back({pList, t});
        return t;
    }
    void dropAll()
    {
        map.currBaseTeeth = map.currSnapTeeth = map.currThinBaseTeeth = 0;
        owned.clear();
    }
    BOOL harden(UINT32 update = 0)
    {
        BOOL ok = FALSE;
        dev.run([&] { ok = phyToothMap_HardenAll(&map, update); });
        return ok;
    }
    std::vector<PhyToothIndex> members(const PhyToothList &l)
    {
        std::vector<PhyToothIndex> out;
        for (PhyToothIndex t = l.first; t != PHY_TOOTH_INDEX__INVALID; t = phyToothMap_GetNext(&map, t))
            out.push_back(t);
        return out;
    }
    PhyToothData diskEntry(PhyToothIndex t)
    {
        PhyToothData e;
        int fd = ::open(dev.path.c_str(), O_RDONLY);
        EXPECT_EQ(pread(fd, &e, sizeof(e), (off_t)(kMapOffset * 512 + t * 16)), (ssize_t)sizeof(e));
        ::close(fd);
        return e;
    }
    void writeDiskEntry(PhyToothIndex t, PhyToothData e)
    {
        int fd = ::open(dev.path.c_str(), O_WRONLY);
        EXPECT_EQ(pwrite(fd, &e, sizeof(e), (off_t)(kMapOffset * 512 + t * 16)), (ssize_t)sizeof(e));
        ::close(fd);
    }

    TgtDevFixture dev;
    PhyToothMap map;
    bool bMapUp = false;
    std::vector<std::pair<PhyToothList *, PhyToothIndex>> owned;
};

TEST(ToothMapSize, WholePiecesAndOneLbForNoTeeth)
{
    EXPECT_EQ(phyToothMap_CalcSizeInLbs(0), 1u);
    EXPECT_EQ(phyToothMap_CalcSizeInLbs(1), 8u);
    EXPECT_EQ(phyToothMap_CalcSizeInLbs(256), 8u);
    EXPECT_EQ(phyToothMap_CalcSizeInLbs(257), 16u);
    EXPECT_EQ(phyToothMap_CalcSizeInLbs(12845056), PHY_DEV__TEETH_MAP_SIZE);
}

TEST_F(ToothMap, FreshTeethComeInOrderAndAFreedOneOnlyAfterItsFreeIsOnDisk)
{
    PhyToothList lists[3];
    for (auto &l : lists)
        phyToothList_Init(&l);
    for (UINT32 i = 0; i < 3; i++)
        EXPECT_EQ(add(&lists[i], i, 1, 1), i);
    ASSERT_TRUE(harden());
    BOOL bLast = FALSE;
    phyToothMap_FreeTooth(&map, combTId_Make(kComb, 1), &lists[1], 1, TRUE, TRUE, &bLast);
    EXPECT_TRUE(bLast);
    EXPECT_EQ(diskEntry(1).combTId, combTId_Make(kComb, 1)) << "the free is only in memory";
    EXPECT_EQ(phyToothMap_AllocTooth(&map), 3u) << "the old owner is still named on the device";

    dev.failWrites(true);
    EXPECT_FALSE(harden());
    dev.failWrites(false);
    EXPECT_EQ(phyToothMap_AllocTooth(&map), 4u) << "a failed harden does not release the tooth";
    // The failed writes left the file refusing writes until a read succeeds.
    dev.file.bHasIoFailed = FALSE;
    ASSERT_TRUE(harden());
    EXPECT_EQ(diskEntry(1).combTId, 0u);
    EXPECT_EQ(phyToothMap_AllocTooth(&map), 1u) << "LIFO once the free is on the device";
    dropAll();
}

TEST_F(ToothMap, VersionsAreKeptInTimeThenVtoOrder)
{
    struct Case {
        std::vector<std::pair<VtoId, UINT32>> adds; // (vtoId, time) in order of adding
        std::vector<size_t> order;                 // expected list as indexes into adds
    } cases[] = {
        {{{1, 5}, {1, 7}, {1, 9}}, {0, 1, 2}},
        {{{1, 9}, {1, 5}, {1, 7}}, {1, 2, 0}},
        {{{5, 4}, {3, 4}}, {1, 0}},   // same time, smaller vtoId goes first
        {{{3, 4}, {5, 4}}, {0, 1}},   // same time, greater vtoId is appended
        {{{2, 8}, {9, 3}, {1, 8}, {4, 3}}, {3, 1, 2, 0}},
    };
    map.snapReservedTeeth = 100;
    UINT32 pos = 0;
    for (auto &c : cases) {
        PhyToothList l;
        phyToothList_Init(&l);
        std::vector<PhyToothIndex> teeth;
        for (auto [vto, time] : c.adds)
            teeth.push_back(add(&l, pos, vto, time));
        std::vector<PhyToothIndex> want;
        for (size_t i : c.order)
            want.push_back(teeth[i]);
        EXPECT_EQ(members(l), want) << "case at position " << pos;
        pos++;
    }
    EXPECT_EQ(map.currBaseTeeth, 5u);
    EXPECT_EQ(map.currSnapTeeth, 9u);
    PhyToothList l;
    phyToothList_Init(&l);
    add(&l, 99, 3, 3);
    EXPECT_PANIC(add(&l, 99, 3, 3), "vto.vtoId == curVto.vtoId|vtoId");
    EXPECT_PANIC(add(&l, 99, 4, 0), "time == 0");
    dropAll();
}

TEST_F(ToothMap, HardenWritesFirstToLastDirtyPieceOnceAndSkipsCoveredUpdates)
{
    map.snapReservedTeeth = 100;
    PhyToothList l3, l9;
    phyToothList_Init(&l3);
    phyToothList_Init(&l9);
    UINT32 u3 = 0, u9 = 0;
    BOOL bFirst;
    ASSERT_TRUE(phyToothMap_UpdateTooth(&map, 1, kComb, 0, 1, 1, &l3, 3 * 256 + 5, FALSE, FALSE, FALSE, &bFirst, &u3));
    EXPECT_TRUE(bFirst);
    ASSERT_TRUE(phyToothMap_UpdateTooth(&map, 1, kComb, 1, 1, 1, &l9, 9 * 256, FALSE, FALSE, FALSE, &bFirst, &u9));
    EXPECT_EQ(u9, u3 + 1);
    size_t before = dev.writes();
    ASSERT_TRUE(harden(u3));
    auto w = dev.writesSince(before);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].offset, (kMapOffset + 24) * 512);
    EXPECT_EQ(w[0].size, 56u * 512);
    EXPECT_EQ(map.toothArrayHardenMaxInLbs, 56u);
    EXPECT_EQ(diskEntry(9 * 256).combTId, combTId_Make(kComb, 1)) << "the later update rode along";
    before = dev.writes();
    EXPECT_TRUE(harden(u9));
    EXPECT_TRUE(harden(u3));
    EXPECT_TRUE(harden(0));
    EXPECT_EQ(dev.writes(), before) << "covered hardens do no I/O";
    dropAll();
}

TEST_F(ToothMap, ReserveRuleForVersionsAndThinBases)
{
    struct Case {
        BOOL bLeaveRemainder;
        BOOL bForce;
        BOOL bTaken;
    } cases[] = {{TRUE, FALSE, FALSE}, {FALSE, FALSE, TRUE}, {TRUE, TRUE, TRUE}};
    tgtInitParam_G.phyToothRemainder = 1;
    for (auto &c : cases) {
        map.snapReservedTeeth = 10;
        map.currSnapTeeth = 7;
        map.currThinBaseTeeth = 2;
        map.currBaseTeeth = 2;
        PhyToothList l;
        phyToothList_Init(&l);
        BOOL bFirst;
        UINT32 u = 0;
        ASSERT_TRUE(phyToothMap_UpdateTooth(&map, 1, kComb, 0, 1, 1, &l, 0, FALSE, FALSE, FALSE, &bFirst, &u))
            << "a thick base is always allowed";
        BOOL ok = phyToothMap_UpdateTooth(&map, 1, kComb, 0, 2, 2, &l, 1, FALSE, c.bForce, c.bLeaveRemainder, &bFirst, &u);
        EXPECT_EQ(ok, c.bTaken) << "remainder " << c.bLeaveRemainder << " force " << c.bForce;
        EXPECT_EQ(map.currSnapTeeth, c.bTaken ? 8u : 7u);
        EXPECT_EQ(members(l).size(), c.bTaken ? 2u : 1u) << "a refusal leaves the map alone";
        phyToothMap_RollbackUpdateTooth(&map, 0, &l, 0);
        if (c.bTaken)
            phyToothMap_RollbackUpdateTooth(&map, 0, &l, 1);
    }
    // A thin base counts as base and thin base; freeing it reports the last tooth.
    dropAll();
    map.snapReservedTeeth = 1;
    PhyToothList thin;
    phyToothList_Init(&thin);
    PhyToothIndex t = add(&thin, 4, 1, 1, TRUE);
    ASSERT_NE(t, PHY_TOOTH_INDEX__INVALID);
    EXPECT_EQ(map.currThinBaseTeeth, 1u);
    EXPECT_EQ(add(&thin, 4, 1, 2), PHY_TOOTH_INDEX__INVALID) << "the reserve is used up";
    BOOL bLast = FALSE;
    phyToothMap_FreeTooth(&map, combTId_Make(kComb, 4), &thin, t, TRUE, TRUE, &bLast);
    EXPECT_TRUE(bLast);
    EXPECT_EQ(map.currBaseTeeth, 0u);
    EXPECT_EQ(map.currThinBaseTeeth, 0u);
    dropAll();
}

TEST_F(ToothMap, ReopenFindsTeethInOrderAndRefusesABadMap)
{
    map.snapReservedTeeth = 100;
    PhyToothList a, b;
    phyToothList_Init(&a);
    phyToothList_Init(&b);
    add(&a, 0, 1, 1);   // 0
    add(&b, 8191, 1, 1); // 1
    add(&a, 0, 2, 5);   // 2
    ASSERT_TRUE(harden());
    reopen(MOS_RC__SUCCESS);
    EXPECT_EQ(phyToothMap_AllocTooth(&map), 3u) << "free teeth run in ascending order";
    CombTId ct = 0;
    std::vector<PhyToothIndex> found;
    for (PhyToothIndex t; (t = phyToothMap_PopToothFoundOnDev(&map, &ct)) != PHY_TOOTH_INDEX__INVALID;)
        found.push_back(t);
    EXPECT_EQ(found, (std::vector<PhyToothIndex>{0, 1, 2}));
    EXPECT_EQ(ct, combTId_Make(kComb, 0));

    struct Bad {
        const char *pWhat;
        PhyToothIndex t;
        PhyToothData e;
    } bads[] = {
        {"position outside the comb", 7, {combTId_Make(kComb, 0) | (8192ull << 47), {1, 1}}},
        {"time 0", 7, {combTId_Make(kComb, 3), {1, 0}}},
        {"comb id 0", 7, {5ull << 47, {1, 1}}},
        {"duplicate label", 7, {combTId_Make(kComb, 0), {2, 5}}},
    };
    for (auto &bad : bads) {
        SCOPED_TRACE(bad.pWhat);
        writeDiskEntry(bad.t, bad.e);
        reopen(MOS_RC__TGT_ADD_DEVICE_VALIDATION_FAILED);
        writeDiskEntry(bad.t, PhyToothData{});
        ASSERT_EQ(init(FALSE), MOS_RC__SUCCESS);
    }
}
} // namespace
