// Comb teeth and snapshot versions: what each node of a volume tree sees, when a write copies,
// which versions the walk frees, first access of thick combs, re-attach at reopen and iteration.
#include <gtest/gtest.h>

#include "test/support/panic_expect.h"
#include "tgt/phy/phy_dev_io.h"
#include "tgt/rcache/rcache.h"
#include "test/support/tgt_comb_fixture.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

constexpr VTreeId kTree = 0x51;
constexpr VtoId V = 5, S = 7;
constexpr PhyToothIndex kNone = PHY_TOOTH_INDEX__INVALID;
using Versions = std::vector<std::pair<VtoId, VtoTime>>;

class PhyCombTest : public ::testing::Test, public CombFixture {
  protected:
    void SetUp() override { up(); }
    void TearDown() override { down(); }

    // Base volume V (time 1) and snapshot S of V (time 3); the tree's time is 3.
    Vtree *snapTree(SnapDelState sState = SNAP_DEL_STATE__NORMAL, BOOL bThin = TRUE)
    {
        Vtree *t = addTree(kTree, bThin, {{V, 1}, {S, 3, sState, V}});
        own(0, 0, kTree);
        return t;
    }
    PhyToothIndex version(Vtree *t, VtoId id, VtoTime time, UINT32 toothInComb = 0)
    {
        PhyToothIndex x = kNone;
        dev.run([&] { x = phyComb_AllocToothWithTime(&comb, t, toothInComb * TOOTH_SIZE_LB, id, time); });
        return x;
    }
    PhyToothIndex lookup(Vtree *t, VtoId id, BOOL bWrite, PhyCombTooth *pNt = nullptr, VtoTime clean = 0,
                         BOOL *pbIgn = nullptr, UINT32 toothInComb = 0)
    {
        PhyToothIndex x = kNone;
        dev.run([&] {
            x = phyComb_GetToothIndexWithVtree(&comb, t, id, toothInComb * TOOTH_SIZE_LB, bWrite, FALSE, clean, pNt,
                                               pbIgn);
        });
        return x;
    }
};

TEST_F(PhyCombTest, SnapshotWalkDecidesWhatEachNodeSeesAndWhenAWriteCopies)
{
    struct Case {
        const char *pWhat;
        SnapDelState sState;
        VtoId versionOwner;
        BOOL bVWriteCopies;
        BOOL bSSees;
    } cases[] = {
        {"S normal: V's write copies", SNAP_DEL_STATE__NORMAL, V, TRUE, TRUE},
        {"S candidate: seen by V only, V writes in place", SNAP_DEL_STATE__CANDIDATE, V, FALSE, TRUE},
        {"label 1 belongs to the first node", SNAP_DEL_STATE__NORMAL, VTREE__BASE_VTO_ID, TRUE, TRUE},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.pWhat);
        TearDown();
        SetUp();
        Vtree *t = snapTree(c.sState);
        PhyToothIndex v2 = version(t, c.versionOwner, 2);
        ASSERT_NE(v2, kNone);
        EXPECT_EQ(lookup(t, S, FALSE), c.bSSees ? v2 : kNone);
        EXPECT_EQ(lookup(t, V, FALSE), v2);
        PhyCombTooth nt{};
        PhyToothIndex w = lookup(t, V, TRUE, &nt);
        if (c.bVWriteCopies) {
            EXPECT_EQ(w, kNone) << "no tooth taken without leave to allocate";
            EXPECT_EQ(nt.time, 3u);
            EXPECT_EQ(nt.vtoId, V);
        } else {
            EXPECT_EQ(w, v2);
            EXPECT_EQ(nt.dstToothIndex, kNone);
            EXPECT_EQ(nt.time, 2u) << "in place keeps the version's label";
        }
    }
}

TEST_F(PhyCombTest, CopyOnWriteThenInPlaceAtTheSameTime)
{
    Vtree *t = snapTree();
    ASSERT_EQ(write(&comb, t, V, 0, 8, 0x11), MOS_RC__SUCCESS) << "the first write of V allocates";
    EXPECT_EQ(versions(&comb, 0), (Versions{{V, 3}}));
    // Again with V's version (5,2) written before the snapshot.
    TearDown();
    SetUp();
    t = snapTree();
    ASSERT_NE(version(t, V, 2), kNone);
    BOOL bCow = FALSE;
    ASSERT_EQ(write(&comb, t, V, 16, 8, 0x22, &bCow), MOS_RC__SUCCESS);
    EXPECT_TRUE(bCow);
    EXPECT_EQ(versions(&comb, 0), (Versions{{V, 2}, {V, 3}}));
    ASSERT_EQ(write(&comb, t, V, 16, 8, 0x33, &bCow), MOS_RC__SUCCESS);
    EXPECT_FALSE(bCow) << "a write of V at time 3 goes in place";
    EXPECT_EQ(versions(&comb, 0), (Versions{{V, 2}, {V, 3}}));
    EXPECT_EQ(read(&comb, t, V, 16, 1), std::vector<UINT8>{0x33});
    EXPECT_EQ(read(&comb, t, S, 16, 1), std::vector<UINT8>{0}) << "S keeps the version before its creation";
    EXPECT_EQ(t->vtreeUsageMB, 2u);
    EXPECT_EQ(t->baseVolUsageMB, 1u);
    EXPECT_EQ(comb.combUsageMB, 2u);
    EXPECT_EQ(comb.combBaseUsageMB, 1u);
}

TEST_F(PhyCombTest, VersionWrittenAtASnapshotsCreationIsNotSeenByIt)
{
    Vtree *t = snapTree();
    PhyToothIndex v1 = version(t, V, 1);
    PhyToothIndex v3 = version(t, V, 3);
    EXPECT_EQ(lookup(t, S, FALSE), v1);
    EXPECT_EQ(lookup(t, V, FALSE), v3);
}

TEST_F(PhyCombTest, GarbageCollectionOfVersionsNoNormalNodeSees)
{
    struct Case {
        const char *pWhat;
        bool bIterator;
        VtoTime clean;
        bool bFreed;
    } cases[] = {
        {"freed", false, 3, true},
        {"younger than the clean start", false, 1, false},
        {"kept under an iterator", true, 3, false},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.pWhat);
        TearDown();
        SetUp();
        Vtree *t = snapTree();
        PhyToothIndex v2 = version(t, V, 2);
        version(t, V, 3);
        updateTree(t, {{S, 3, SNAP_DEL_STATE__DELETED}});
        PhyCombItr itr{kNone, 0, 0};
        if (c.bIterator)
            dev.run([&] { phyComb_StartIter(&comb, &itr); });
        BOOL bIgnored = FALSE;
        lookup(t, V, FALSE, nullptr, c.clean, &bIgnored);
        EXPECT_EQ(versions(&comb, 0).size(), c.bFreed ? 1u : 2u);
        EXPECT_EQ(bIgnored, !c.bFreed);
        EXPECT_EQ(t->vtreeUsageMB, c.bFreed ? 1u : 2u);
        EXPECT_EQ(comb.combUsageMB, t->vtreeUsageMB);
        EXPECT_EQ(phyToothMap_GetEntry(&pd.toothMap, v2).combTId == 0, c.bFreed);
        if (c.bIterator)
            dev.run([&] { phyComb_EndItr(&comb, &itr); });
    }
}

TEST_F(PhyCombTest, ALookupNeverFreesTheVersionItReturns)
{
    // S is a candidate: its own version (7,4) is seen by no NORMAL node.
    Vtree *t = snapTree(SNAP_DEL_STATE__CANDIDATE);
    version(t, V, 2);
    PhyToothIndex s4 = version(t, S, 4);
    version(t, V, 5);
    BOOL bIgnored = FALSE;
    EXPECT_EQ(lookup(t, S, FALSE, nullptr, 10, &bIgnored), s4);
    EXPECT_TRUE(bIgnored);
    EXPECT_EQ(phyToothMap_GetEntry(&pd.toothMap, s4).combTId, combTId_Make(kComb, 0)) << "still the comb's";
    PhyCombTooth nt{};
    EXPECT_EQ(lookup(t, S, TRUE, &nt, 10), s4) << "a write lookup keeps it as well";
    EXPECT_EQ(versions(&comb, 0), (Versions{{S, 4}, {V, 5}})) << "V's old version, seen by no one, went";
}

TEST_F(PhyCombTest, FirstAccessOfAThickCombGivesZeroedBaseTeeth)
{
    Vtree *t = addTree(kTree, FALSE, {{V, 1}});
    own(0, 1, kTree);
    own(2, 2, 0x999); // a tree the controller does not have
    // Garbage where the first teeth will go: a previous owner's data.
    int fd = ::open(dev.path.c_str(), O_WRONLY);
    std::vector<char> junk(16 * 1024 * 1024, 0x5A);
    ASSERT_EQ(pwrite(fd, junk.data(), junk.size(), (off_t)pd.teethOffsetInLbs * 512), (ssize_t)junk.size());
    ::close(fd);
    PhyCombHead hs{};
    hs.capChangeGen = 9;
    hs.usageBM[0] = 0xE0; // blocks 0, 1, 2
    for (UINT32 p : {0u, 9u})
        dev.run([&] { phyDev_SetDirty(&pd, PHY_DEV_DRL_TYPE__ACTIVE, pd.teethOffsetInLbs + p * 2048ull, 8, TRUE, 0, TRUE); });
    EXPECT_TRUE(phyComb_HasCapacityChanged(&comb, &hs));
    dev.run([&] { phyComb_FirstAccess(&comb, cont.cont(), &hs); });
    for (UINT32 p = 0; p < 16; p++)
        EXPECT_EQ(versions(&comb, p), (Versions{{1, 1}})) << p;
    EXPECT_TRUE(versions(&comb, 16).empty()) << "the missing tree's block stays empty";
    EXPECT_EQ(comb.headCapChangeGen, 0u) << "an incomplete first access is tried again";
    EXPECT_NE(comb.combChangeNumber, 0u);
    EXPECT_EQ(t->vtreeUsageMB, 16u);
    EXPECT_EQ(t->baseVolUsageMB, 16u);
    EXPECT_EQ(comb.combBaseUsageMB, 16u);
    for (UINT32 p : {0u, 9u}) {
        EXPECT_EQ(read(&comb, t, V, p * 2048, 8), std::vector<UINT8>(8, 0)) << "never the previous owner's data";
        dev.run([&] {
            PhyToothIndex x = phyComb_GetToothIndexWithVtree(&comb, t, V, p * 2048, FALSE, FALSE, 0, nullptr, nullptr);
            EXPECT_TRUE(phyComb_IsRangeClean(&comb, x, PHY_DEV_DRL_TYPE__ACTIVE, 0, 2048));
        });
    }
    EXPECT_EQ(comb.combChangeNumber, 0u) << "the first read hardened the comb array";
    // With the tree known, and block 1 no longer used, the next access completes and frees it.
    Vtree *other = addTree(0x999, FALSE, {{20, 1}});
    hs.capChangeGen = 10;
    hs.usageBM[0] = 0xA0; // blocks 0 and 2
    dev.run([&] { phyComb_FirstAccess(&comb, cont.cont(), &hs); });
    EXPECT_EQ(comb.headCapChangeGen, 10u);
    EXPECT_TRUE(versions(&comb, 8).empty());
    EXPECT_EQ(versions(&comb, 16), (Versions{{1, 1}}));
    EXPECT_EQ(t->vtreeUsageMB, 8u);
    EXPECT_EQ(other->vtreeUsageMB, 8u);
    EXPECT_EQ(comb.combUsageMB, 16u);
}

TEST_F(PhyCombTest, ThinOrZeroPaddedCombsGetNoTeethAtFirstAccess)
{
    Vtree *thin = addTree(kTree, TRUE, {{V, 1}});
    own(0, 0, kTree);
    PhyCombHead hs{};
    hs.capChangeGen = 1;
    hs.usageBM[0] = 0x80;
    dev.run([&] { phyComb_FirstAccess(&comb, cont.cont(), &hs); });
    EXPECT_TRUE(versions(&comb, 0).empty());
    EXPECT_EQ(thin->vtreeUsageMB, 0u);
    EXPECT_EQ(comb.headCapChangeGen, 1u);
}

TEST_F(PhyCombTest, IterationVisitsEveryVersionAndProtectsItsPosition)
{
    Vtree *t = snapTree();
    own(0, 1023, kTree);
    version(t, V, 1, 0);
    version(t, V, 2, 0);
    version(t, V, 1, 700);
    std::vector<std::pair<UINT32, PhyToothIndex>> seen;
    PhyCombItr itr{kNone, 0, 0};
    dev.run([&] {
        phyComb_StartIter(&comb, &itr);
        while (itr.toothIndex != kNone) {
            seen.emplace_back(itr.toothInComb, itr.toothIndex);
            EXPECT_FALSE(phyComb_FreeEntireTooth(&comb, itr.toothInComb, t, FALSE)) << "iterated chains stay";
            phyComb_SkipNextLb(&comb, &itr, 1024);
            phyComb_SkipNextLb(&comb, &itr, 1024);
        }
    });
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].first, 0u);
    EXPECT_EQ(seen[1].first, 0u);
    EXPECT_EQ(seen[2].first, 700u);
    EXPECT_EQ(itr.toothInComb, TEETH_IN_COMB);
    EXPECT_EQ(itr.offsetInTooth, 0u);
    dev.run([&] { EXPECT_TRUE(phyComb_FreeEntireTooth(&comb, 700, t, FALSE)) << "the count went with the iterator"; });
    EXPECT_TRUE(versions(&comb, 700).empty());
    EXPECT_PANIC(
        dev.run([&] {
            PhyCombItr it[4];
            for (auto &i : it) {
                i = PhyCombItr{kNone, 0, 0};
                phyComb_StartIter(&comb, &i);
            }
        }),
        "activeIter");
}

TEST_F(PhyCombTest, RefusedReserveAndFailedHardenLeaveNoVersion)
{
    Vtree *t = snapTree();
    version(t, V, 2);
    pd.toothMap.snapReservedTeeth = 0;
    PhyToothIndex x = kNone;
    dev.run([&] {
        x = phyComb_AllocTooth(&comb, 0);
        EXPECT_EQ(phyComb_UpdateTooth(&comb, t, 0, V, 3, x, TRUE, TRUE, FALSE, FALSE), MOS_RC__IO_FAULT_NO_SPACE);
        pd.toothMap.snapReservedTeeth = pd.numOfTeeth;
        dev.failWrites(true);
        EXPECT_EQ(phyComb_UpdateTooth(&comb, t, 0, V, 3, x, TRUE, TRUE, FALSE, FALSE), MOS_RC__IO_HARD_ERROR);
        dev.failWrites(false);
        phyComb_RollbackAllocTooth(&comb, 0, x);
    });
    EXPECT_EQ(versions(&comb, 0), (Versions{{V, 2}}));
    EXPECT_EQ(t->vtreeUsageMB, 1u);
    EXPECT_EQ(comb.combUsageMB, 1u);
}

TEST_F(PhyCombTest, ReopenReattachesTeethToTheirPositionsAndTrees)
{
    Vtree *t = snapTree();
    own(1, 1, 0x52);
    Vtree *t2 = addTree(0x52, TRUE, {{30, 1}});
    ASSERT_EQ(write(&comb, t, V, 0, 8, 0x41), MOS_RC__SUCCESS);
    ASSERT_EQ(write(&comb, t, S, 8, 8, 0x42), MOS_RC__SUCCESS);
    ASSERT_EQ(write(&comb, t2, 30, 8 * 2048, 8, 0x43), MOS_RC__SUCCESS);
    own(2, 2, 0x53); // a tree that is gone by the reopen
    Vtree *gone = addTree(0x53, TRUE, {{40, 1}});
    ASSERT_EQ(write(&comb, gone, 40, 16 * 2048, 8, 0x44), MOS_RC__SUCCESS);
    // The process goes away without freeing anything: usage is rebuilt from the map.
    dev.run([&] { phyDev_HardenToothArr(&pd, 0); });
    cont.trees.erase(0x53);
    reopen();
    EXPECT_EQ(versions(&comb, 0), (Versions{{V, 3}, {S, 3}})) << "S does not see V's version of its own time";
    EXPECT_EQ(read(&comb, t, V, 0, 1), std::vector<UINT8>{0x41});
    EXPECT_EQ(read(&comb, t, S, 8, 1), std::vector<UINT8>{0x42});
    EXPECT_EQ(read(&comb, t2, 30, 8 * 2048, 1), std::vector<UINT8>{0x43});
    EXPECT_TRUE(versions(&comb, 16).empty()) << "a tooth of a gone tree is freed";
    EXPECT_EQ(comb.combUsageMB, 3u);
    EXPECT_EQ(comb.combBaseUsageMB, 2u);
    EXPECT_EQ(t->vtreeUsageMB, 2u);
    EXPECT_EQ(t->baseVolUsageMB, 1u);
    EXPECT_EQ(t2->vtreeUsageMB, 1u);
    EXPECT_EQ(cont.refs, 0);
}

// A comb placed through the device set: a new slot whose completion the first tooth I/O hardens,
// then a copy of the device as a crash would leave it, opened again: the comb named again finds
// its slot and re-attaches its teeth, or with bRemoveAllTeeth frees them all.
TEST_F(PhyCombTest, CombLifeThroughTheDeviceSet)
{
    Vtree *t = snapTree();
    own(0, 1023, kTree);
    PlacedDevice first;
    upPlaced(first, tgtTest_MakeSparseFile(dev.dir, "placed", (devLbs + 1000) * 512), TRUE);
    PhyComb placed;
    BOOL bOnDevice = TRUE;
    placeComb(first, &placed, FALSE, &bOnDevice);
    EXPECT_FALSE(bOnDevice);
    EXPECT_NE(placed.combChangeNumber, 0u);
    EXPECT_GT(placed.combChangeNumber, first.pDev->devComb.devHardenChangeNumber);
    ASSERT_EQ(write(&placed, t, V, 0, 8, 0x61), MOS_RC__SUCCESS);
    ASSERT_EQ(write(&placed, t, S, 2048 + 8, 8, 0x62), MOS_RC__SUCCESS);
    EXPECT_EQ(placed.combChangeNumber, 0u);
    EXPECT_GE(first.pDev->devComb.devHardenChangeNumber, 1u) << "the first I/O wrote the comb's slot";
    const std::string copies[2] = {crashCopy(first.path, "crashed0"), crashCopy(first.path, "crashed1")};
    downPlaced(first, &placed);
    EXPECT_EQ(t->vtreeUsageMB, 0u);

    for (BOOL bRemoveAll : {FALSE, TRUE}) {
        SCOPED_TRACE(bRemoveAll);
        PlacedDevice again;
        upPlaced(again, copies[bRemoveAll ? 1 : 0], FALSE);
        PhyComb back;
        placeComb(again, &back, bRemoveAll, &bOnDevice);
        EXPECT_TRUE(bOnDevice);
        if (bRemoveAll) {
            EXPECT_TRUE(versions(&back, 0).empty());
            EXPECT_TRUE(versions(&back, 1).empty());
            EXPECT_EQ(back.combUsageMB, 0u);
            EXPECT_EQ(again.pDev->toothMap.currBaseTeeth + again.pDev->toothMap.currSnapTeeth, 0u);
        } else {
            EXPECT_EQ(versions(&back, 0), (Versions{{V, 3}}));
            EXPECT_EQ(versions(&back, 1), (Versions{{S, 3}}));
            EXPECT_EQ(read(&back, t, V, 0, 1), std::vector<UINT8>{0x61});
            EXPECT_EQ(read(&back, t, S, 2048 + 8, 1), std::vector<UINT8>{0x62});
            EXPECT_EQ(back.combUsageMB, 2u);
            EXPECT_EQ(t->vtreeUsageMB, 2u);
        }
        downPlaced(again, &back);
        EXPECT_EQ(t->vtreeUsageMB, 0u);
    }
    EXPECT_EQ(cont.refs, 0);
}

// Reads through the RAM read cache see every tooth write, and a tooth that first access takes
// again after it was freed reads as zeros, not as the pages the cache kept of its earlier life.
TEST_F(PhyCombTest, CachedReadsFollowWritesAndNeverServeAFreedToothsPages)
{
    tgtInitParam_G.netParam.maxRcvMsg = 1000;
    mosUmtMgr_SetDefaults(&dev.sched.base, nullptr); // the cache's jobs run here
    struct CacheOn {
        explicit CacheOn(PhyDev *p) : pDev(p)
        {
            rcache_Init(&cache, nullptr);
            EXPECT_EQ(rcache_ChangeSize(&cache, RCACHE__MIN_CACHE_SIZE_IN_LB), MOS_RC__SUCCESS);
            rcache_AddDevice(&cache, pDev->header.devId, FALSE);
            EXPECT_TRUE(umtTest_WaitFor([&] {
                MosFastlockGuard guard(&cache.fastlock);
                return cache.asyncCount == 0 && cache.bCreated;
            }));
            pDev->pRcache = &cache;
            pDev->bUseCache = TRUE;
        }
        ~CacheOn()
        {
            pDev->pRcache = nullptr;
            rcache_RemoveDevice(&cache, pDev->header.devId);
            rcache_Destroy(&cache);
            mosUmtMgr_SetDefaults(mosUmtMgr_GetForeignSched(), nullptr);
        }
        PhyDev *pDev;
        Cache cache{};
    } on(&pd);
    Vtree *t = addTree(kTree, FALSE, {{V, 1}});
    own(0, 0, kTree);
    PhyCombHead hs{};
    auto access = [&](UINT8 usage) {
        hs.capChangeGen++;
        hs.usageBM[0] = usage;
        dev.run([&] { phyComb_FirstAccess(&comb, cont.cont(), &hs); });
    };
    auto toothOfV = [&](UINT32 p) {
        PhyToothIndex x = kNone;
        dev.run([&] { x = phyComb_GetToothIndexWithVtree(&comb, t, V, p * 2048, FALSE, FALSE, 0, nullptr, nullptr); });
        return x;
    };
    auto deviceReads = [&] {
        size_t n = 0;
        for (auto &s : dev.fake.taken())
            n += !s.bWrite;
        return n;
    };
    // The first byte of LB 0..7 of a tooth, read through the cache.
    auto cachedRead = [&](PhyToothIndex x) {
        RCacheIoBuf iob;
        rcacheIoBuf_Init(&iob, 0, nullptr);
        std::vector<UINT8> out;
        dev.run([&] {
            ASSERT_EQ(phyComb_ReadTooth(&comb, &iob, x, 0, 8, 0, RdIoFlags{.flags = 0}, 0), MOS_RC__SUCCESS);
            UINT32 len = 0;
            auto *p = static_cast<UINT8 *>(NET_IOV__GET(&iob.dataIov, 0, &len));
            for (UINT32 i = 0; i < 8; i++)
                out.push_back(p[(size_t)(iob.offsetInCacheBuffers + i) * 512]);
            phyDev_ReleaseCacheIoBuf(&pd, &iob);
        });
        return out;
    };

    access(0x80);
    const PhyToothIndex x = toothOfV(0);
    ASSERT_NE(x, kNone);
    ASSERT_EQ(write(&comb, t, V, 0, 8, 0x51), MOS_RC__SUCCESS);
    EXPECT_EQ(cachedRead(x), std::vector<UINT8>(8, 0x51));
    size_t reads = deviceReads();
    EXPECT_EQ(cachedRead(x), std::vector<UINT8>(8, 0x51));
    EXPECT_EQ(deviceReads(), reads) << "a hit";
    ASSERT_EQ(write(&comb, t, V, 0, 8, 0x52), MOS_RC__SUCCESS);
    EXPECT_EQ(cachedRead(x), std::vector<UINT8>(8, 0x52)) << "the write dropped the cached pages";
    EXPECT_EQ(cachedRead(x), std::vector<UINT8>(8, 0x52));

    access(0x00); // the block is no longer used: its chain goes, the cache keeps its pages
    EXPECT_TRUE(versions(&comb, 0).empty());
    dev.run([&] { ASSERT_TRUE(phyDev_HardenToothArr(&pd, 0)); }); // frees are taken again once on disk
    access(0x80);
    bool bTakenAgain = false;
    for (UINT32 p = 0; p < 8; p++) {
        const PhyToothIndex y = toothOfV(p);
        bTakenAgain |= y == x;
        EXPECT_EQ(cachedRead(y), std::vector<UINT8>(8, 0)) << "position " << p << " tooth " << y;
    }
    EXPECT_TRUE(bTakenAgain) << "the freed tooth went to one of the block's positions";
}
} // namespace
