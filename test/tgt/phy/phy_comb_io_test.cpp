// Comb tooth I/O, dirty marks in the comb's terms, the dirty lists exchanged with the partner
// (overflow marker, refused lists), the next-dirty search of resync, cleaning and reconciliation.
#include <gtest/gtest.h>

#include "test/support/panic_expect.h"
#include "test/support/tgt_comb_fixture.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

constexpr VTreeId kTree = 0x61;
constexpr PhyToothIndex kNone = PHY_TOOTH_INDEX__INVALID;
constexpr UINT32 A = PHY_DEV_DRL_TYPE__ACTIVE, R = PHY_DEV_DRL_TYPE__REBUILD;
using Versions = std::vector<std::pair<VtoId, VtoTime>>;

class PhyCombIoTest : public ::testing::Test, public CombFixture {
  protected:
    void SetUp() override { up(GetParamGb()); }
    void TearDown() override { down(); }
    virtual UINT32 GetParamGb() { return 2; }

    Vtree *tree(BOOL bThin = TRUE)
    {
        Vtree *t = addTree(kTree, bThin, {{5, 1}});
        own(0, 1023, kTree);
        return t;
    }
    PhyToothIndex version(PhyComb *pComb, Vtree *t, VtoId id, VtoTime time, UINT32 toothInComb)
    {
        PhyToothIndex x = kNone;
        dev.run([&] { x = phyComb_AllocToothWithTime(pComb, t, toothInComb * TOOTH_SIZE_LB, id, time); });
        return x;
    }
    std::unique_ptr<TgtRsp_ReadCombFineDrl> rsp() { return std::make_unique<TgtRsp_ReadCombFineDrl>(); }
    UINT32 rspSize(const TgtRsp_ReadCombFineDrl &r) { return 8 + r.numOfBits * 45; }
};

TEST_F(PhyCombIoTest, AnOperationNeverCrossesATooth)
{
    Vtree *t = tree();
    PhyToothIndex x = version(&comb, t, 5, 1, 0);
    Buf b(8, 0x3C);
    dev.run([&] {
        EXPECT_EQ(phyComb_WriteTooth(&comb, b.p, nullptr, x, 2044, 4, WrIoFlags{.flags = 0}, 0, 2044, 0, nullptr),
                  MOS_RC__SUCCESS);
    });
    EXPECT_EQ(read(&comb, t, 5, 2044, 4), std::vector<UINT8>(4, 0x3C));
    EXPECT_EQ(phyComb_ToothLb(&comb, x, 2044, 4), pd.teethOffsetInLbs + (UINT64)x * 2048 + 2044);
    EXPECT_PANIC(dev.run([&] {
        phyComb_WriteTooth(&comb, b.p, nullptr, x, 2044, 8, WrIoFlags{.flags = 0}, 0, 2044, 0, nullptr);
    }),
                 "sizeInLbs \\+ offsetInTooth > \\(1 \\* \\(2 \\* 1024\\)\\)");
    EXPECT_PANIC(dev.run([&] { phyComb_ReadTooth(&comb, b.p, nullptr, x, 2047, 2, 0, RdIoFlags{.flags = 0}, 0); }),
                 "offsetInTooth");
}

TEST_F(PhyCombIoTest, TheFirstIoHardensTheCombArrayOnceAndAFailedHardenReadsNothing)
{
    Vtree *t = tree();
    // Each version recorded here leaves a change of the tooth map that only a harden writes.
    PhyToothIndex x = version(&comb, t, 5, 1, 0);
    Buf b(8, 0x7E);
    comb.combChangeNumber = 3;
    size_t before = dev.writes();
    dev.run([&] {
        EXPECT_EQ(phyComb_WriteTooth(&comb, b.p, nullptr, x, 0, 8, WrIoFlags{.flags = 0}, 0, 0, 0, nullptr),
                  MOS_RC__SUCCESS);
    });
    EXPECT_EQ(comb.combChangeNumber, 0u);
    EXPECT_GE(dev.writes() - before, 2u) << "the data and the comb's metadata";
    before = dev.writes();
    dev.run([&] { phyComb_ReadTooth(&comb, b.p, nullptr, x, 0, 8, 0, RdIoFlags{.flags = 0}, 0); });
    EXPECT_EQ(dev.writes(), before) << "hardened once";
    version(&comb, t, 5, 1, 1);
    comb.combChangeNumber = 4;
    dev.failWrites(true);
    size_t reads = dev.fake.taken().size();
    dev.run([&] {
        EXPECT_EQ(phyComb_ReadTooth(&comb, b.p, nullptr, x, 0, 8, 0, RdIoFlags{.flags = 0}, 0), MOS_RC__IO_HARD_ERROR);
    });
    dev.failWrites(false);
    EXPECT_EQ(comb.combChangeNumber, 4u) << "kept for the next I/O";
    for (size_t i = reads; i < dev.fake.taken().size(); i++)
        EXPECT_TRUE(dev.fake.taken()[i].bWrite) << "no data read";
}

TEST_F(PhyCombIoTest, DirtyListsNameVersionsAndApplyByLabel)
{
    Vtree *t = tree();
    PhyComb &other = *addComb(combId_Make(kHead, 0, 1));
    // Local versions of position 3: (5,1) and (5,2); position 9: (5,1). The partner also has a
    // version (6,4) of position 3 that is not here.
    PhyToothIndex a1 = version(&comb, t, 5, 1, 3), a2 = version(&comb, t, 5, 2, 3), b1 = version(&comb, t, 5, 1, 9);
    PhyToothIndex o1 = version(&other, t, 5, 1, 3), o2 = version(&other, t, 5, 2, 3), o4 = version(&other, t, 6, 4, 3);
    dev.run([&] {
        EXPECT_TRUE(phyComb_SetDirty(&other, o2, A, 16, 8));
        EXPECT_TRUE(phyComb_SetDirty(&other, o4, A, 0, 2048));
    });
    auto r = rsp();
    dev.run([&] { EXPECT_TRUE(phyComb_ReadBits(&other, A, r.get(), TRUE)); });
    ASSERT_EQ(r->numOfBits, 2u);
    EXPECT_EQ(r->readCombDrlDataSize, 45u);
    // Entries are packed: read each field by value.
    const ReadCombFineDrl_Data e0 = r->drlBuf[0], e1 = r->drlBuf[1];
    EXPECT_EQ((UINT32)e0.data.devVto.vtoId, 5u);
    EXPECT_EQ((UINT32)e0.data.devVto.time, 2u);
    EXPECT_EQ((UINT32)e0.data.toothInComb, 3u);
    EXPECT_EQ((int)e0.bIsAllSet, 0) << "a partly dirty tooth carries its fine bits";
    EXPECT_NE((int)e0.FineDrlArray[0], 0) << "LB 16-23 are in the first fine byte";
    EXPECT_EQ((int)e0.FineDrlArray[1], 0);
    EXPECT_EQ((UINT32)e1.data.devVto.vtoId, 6u);
    BOOL bNoTooth = FALSE;
    dev.run([&] { EXPECT_TRUE(phyComb_SetBits(&comb, R, r.get(), rspSize(*r), &bNoTooth, TRUE)); });
    EXPECT_TRUE(bNoTooth) << "(6,4) has no local tooth";
    dev.run([&] {
        EXPECT_FALSE(phyComb_IsRangeClean(&comb, a2, R, 16, 8));
        EXPECT_TRUE(phyComb_IsRangeClean(&comb, a1, R, 0, 2048));
        EXPECT_TRUE(phyComb_IsRangeClean(&comb, b1, R, 0, 2048));
        EXPECT_TRUE(phyComb_IsEntireActiveReset(&comb));
        EXPECT_FALSE(phyComb_IsEntireRebuildReset(&comb));
    });
    (void)o1;
}

TEST_F(PhyCombIoTest, ReceivedListsAreCheckedWholeBeforeAnyIsApplied)
{
    Vtree *t = tree();
    PhyToothIndex x = version(&comb, t, 5, 1, 0);
    auto good = [&] {
        auto r = rsp();
        r->numOfBits = 2;
        r->readCombDrlDataSize = 45;
        r->drlBuf[0].data = {{5, 1}, 0};
        r->drlBuf[0].bIsAllSet = 1;
        r->drlBuf[1].data = {{5, 1}, 0};
        r->drlBuf[1].bIsAllSet = 1;
        return r;
    };
    struct Case {
        const char *pWhat;
        std::function<void(TgtRsp_ReadCombFineDrl &)> spoil;
        INT32 sizeDelta;
    } cases[] = {
        {"more entries than the wire holds", [](auto &r) { r.numOfBits = 1025; }, 0},
        {"old-form entry size", [](auto &r) { r.readCombDrlDataSize = 12; }, 0},
        {"shorter than its count", [](auto &) {}, -1},
        {"position outside the comb", [](auto &r) { r.drlBuf[1].data.toothInComb = 8192; }, 0},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.pWhat);
        auto r = good();
        UINT32 size = rspSize(*r) + c.sizeDelta;
        c.spoil(*r);
        BOOL bNoTooth = TRUE;
        dev.run([&] { EXPECT_FALSE(phyComb_SetBits(&comb, A, r.get(), size, &bNoTooth, TRUE)); });
        EXPECT_FALSE(bNoTooth);
        dev.run([&] { EXPECT_TRUE(phyComb_IsRangeClean(&comb, x, A, 0, 2048)) << "nothing of it was merged"; });
    }
    auto r = good();
    BOOL bNoTooth = TRUE;
    dev.run([&] { EXPECT_TRUE(phyComb_SetBits(&comb, A, r.get(), rspSize(*r), &bNoTooth, TRUE)); });
    dev.run([&] { EXPECT_FALSE(phyComb_IsRangeClean(&comb, x, A, 0, 2048)); });
}

class PhyCombIoBigTest : public PhyCombIoTest {
    UINT32 GetParamGb() override { return 3; }
};

TEST_F(PhyCombIoBigTest, MoreThan1024DirtyVersionsAreSentAsTheOverflowMarker)
{
    Vtree *t = tree();
    for (UINT32 p = 0; p < 1100; p++)
        ASSERT_NE(version(&comb, t, 5, 1, p), kNone);
    dev.run([&] { EXPECT_TRUE(phyComb_SetEntireBits(&comb, A, TRUE)); });
    auto r = rsp();
    dev.run([&] { EXPECT_TRUE(phyComb_ReadBits(&comb, A, r.get(), TRUE)); });
    EXPECT_EQ(r->numOfBits, 0xFFFFFFFFu);
    auto all = std::make_unique<TgtRsp_ReadCombDrl>();
    dev.run([&] { phyComb_GetAllTeeth(&comb, all.get()); });
    EXPECT_EQ(all->numOfBits, 0xFFFFFFFFu);
    EXPECT_EQ(all->readCombDrlDataSize, 12u);

    PhyComb &other = *addComb(combId_Make(kHead, 0, 1));
    PhyToothIndex o1 = version(&other, t, 5, 1, 0), o2 = version(&other, t, 5, 3, 0);
    BOOL bNoTooth = FALSE;
    dev.run([&] { EXPECT_TRUE(phyComb_SetBits(&other, R, r.get(), 8, &bNoTooth, TRUE)); });
    EXPECT_TRUE(bNoTooth) << "the marker reports a missing tooth";
    dev.run([&] {
        EXPECT_FALSE(phyComb_IsRangeClean(&other, o1, R, 0, 2048));
        EXPECT_FALSE(phyComb_IsRangeClean(&other, o2, R, 0, 2048)) << "every local version is dirty";
    });
}

TEST_F(PhyCombIoTest, CopyMutualOrAndGetBothDrl)
{
    Vtree *t = tree();
    PhyToothIndex x = version(&comb, t, 5, 1, 0), y = version(&comb, t, 5, 1, 1), z = version(&comb, t, 5, 1, 2);
    dev.run([&] {
        phyComb_SetDirty(&comb, x, A, 0, 8);
        phyComb_SetDirty(&comb, y, R, 8, 8);
        EXPECT_TRUE(phyComb_MutualOrActiveRebuild(&comb));
        for (UINT32 type : {A, R}) {
            EXPECT_FALSE(phyComb_IsRangeClean(&comb, x, type, 0, 2048)) << type;
            EXPECT_FALSE(phyComb_IsRangeClean(&comb, y, type, 0, 2048)) << type;
            EXPECT_TRUE(phyComb_IsRangeClean(&comb, z, type, 0, 2048)) << type;
        }
        EXPECT_TRUE(phyComb_ResetEntireBits(&comb, A, TRUE));
        EXPECT_TRUE(phyComb_IsEntireActiveReset(&comb));
        auto r = std::make_unique<TgtRsp_ReadCombFineDrl>();
        EXPECT_TRUE(phyComb_GetBothDrl(&comb, r.get(), TRUE));
        EXPECT_EQ(r->numOfBits, 2u) << "rebuild marks folded into active and listed";
        EXPECT_TRUE(phyComb_IsEntireRebuildReset(&comb));
        EXPECT_TRUE(phyComb_OrActiveToRebuildAndReset(&comb));
        EXPECT_TRUE(phyComb_IsEntireActiveReset(&comb));
        EXPECT_FALSE(phyComb_IsEntireRebuildReset(&comb));
        EXPECT_TRUE(phyComb_ResetEntireToothBits(&comb, R, 0, TRUE));
        EXPECT_TRUE(phyComb_IsRangeClean(&comb, x, R, 0, 2048));
    });
    EXPECT_PANIC(dev.run([&] { phyComb_CopyBits(&comb, A, A, FALSE); }), "srcType == destType");
}

TEST_F(PhyCombIoTest, NextDirtyLbWalksVersionsInOrder)
{
    Vtree *t = tree();
    PhyToothIndex x = version(&comb, t, 5, 1, 0), y = version(&comb, t, 5, 2, 0), z = version(&comb, t, 5, 1, 40);
    dev.run([&] {
        phyComb_SetDirty(&comb, y, R, 100, 8);
        phyComb_SetDirty(&comb, z, A, 2040, 8);
    });
    (void)x;
    struct Step {
        PhyToothIndex tooth;
        UINT32 toothInComb;
        UINT32 offset;
    };
    for (BOOL bBoth : {FALSE, TRUE}) {
        SCOPED_TRACE(bBoth);
        std::vector<Step> seen;
        dev.run([&] {
            PhyCombItr itr{kNone, 0, 0};
            phyComb_StartIter(&comb, &itr);
            BOOL bFine = TRUE, bAll = FALSE;
            while (phyComb_FindNextDirtyLb(&comb, &itr, bBoth, FALSE, &bFine, &bAll)) {
                seen.push_back({itr.toothIndex, itr.toothInComb, itr.offsetInTooth});
                UINT32 last = phyComb_FindLastConsecutiveDirtyLb(&comb, &itr, 2048, bBoth);
                EXPECT_EQ(phyComb_FindLastDirtyLb(&comb, &itr, 2048, bBoth), last);
                // The run ends with the granule that starts at last.
                phyComb_SkipNextLb(&comb, &itr, last + phyComb_GetGranularity(&comb) - itr.offsetInTooth);
                bFine = TRUE;
            }
            phyComb_EndItr(&comb, &itr);
        });
        ASSERT_EQ(seen.size(), bBoth ? 2u : 1u);
        EXPECT_EQ(seen[0].tooth, y);
        EXPECT_EQ(seen[0].offset, 96u) << "the fine granule of LB 100";
        if (bBoth) {
            EXPECT_EQ(seen[1].toothInComb, 40u);
            EXPECT_EQ(seen[1].offset, 2040u);
        }
    }
    dev.run([&] { EXPECT_TRUE(phyComb_FreeEntireTooth(&comb, 0, t, TRUE)) << "no iterator left behind"; });
}

TEST_F(PhyCombIoTest, ReconcileWithThePartnersToothList)
{
    Vtree *t = tree();
    version(&comb, t, 5, 2, 0);
    PhyToothIndex x74 = version(&comb, t, 7, 4, 0);
    version(&comb, t, 5, 6, 0);
    struct Case {
        const char *pWhat;
        std::vector<VtoOnDev> remote;
        Mos_RC rc;
        Versions left;
    } cases[] = {
        {"more than the wire's 32 versions", std::vector<VtoOnDev>(33, VtoOnDev{5, 2}), MOS_RC__INVALID_ARG,
         {{5, 2}, {7, 4}, {5, 6}}},
        {"out of order", {{5, 6}, {5, 2}}, MOS_RC__INVALID_ARG, {{5, 2}, {7, 4}, {5, 6}}},
        {"(5,2),(5,6)", {{5, 2}, {5, 6}}, MOS_RC__SUCCESS, {{5, 2}, {5, 6}}},
        {"the same again", {{5, 2}, {5, 6}}, MOS_RC__SUCCESS, {{5, 2}, {5, 6}}},
        {"older remote versions are skipped", {{5, 1}, {5, 6}}, MOS_RC__SUCCESS, {{5, 6}}},
        {"an empty list empties the position", {}, MOS_RC__SUCCESS, {}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.pWhat);
        UINT32 before = comb.combUsageMB;
        BOOL bHarden = TRUE;
        dev.run([&] {
            EXPECT_EQ(phyComb_CleanToothList(&comb, 0, (UINT32)c.remote.size(), c.remote.data(), &bHarden), c.rc);
        });
        EXPECT_EQ(versions(&comb, 0), c.left);
        EXPECT_EQ(bHarden, before != comb.combUsageMB);
        EXPECT_EQ(comb.combUsageMB, t->vtreeUsageMB);
        EXPECT_EQ(comb.combBaseUsageMB, c.left.empty() ? 0u : 1u);
    }
    EXPECT_EQ(phyToothMap_GetEntry(&pd.toothMap, x74).combTId, 0u);
    version(&comb, t, 5, 2, 0);
    PhyCombItr itr{kNone, 0, 0};
    BOOL bHarden;
    VtoOnDev none{};
    dev.run([&] {
        phyComb_StartIter(&comb, &itr);
        EXPECT_EQ(phyComb_CleanToothList(&comb, 0, 0, &none, &bHarden), MOS_RC__BUSY);
        phyComb_EndItr(&comb, &itr);
        EXPECT_EQ(phyComb_CleanToothList(&comb, 100 * 2048, 0, &none, &bHarden), MOS_RC__NOT_FOUND)
            << "a position whose block never had a tooth";
    });
    EXPECT_EQ(versions(&comb, 0), (Versions{{5, 2}}));
}

TEST_F(PhyCombIoTest, CleaningACombFreesWhatNoTreeOrNodeNeeds)
{
    Vtree *t = addTree(kTree, FALSE, {{5, 1}, {7, 3, SNAP_DEL_STATE__NORMAL, 5}}, 3);
    own(0, 0, kTree); // block 1 (positions 8-15) has no owner
    version(&comb, t, 5, 2, 0);
    version(&comb, t, 5, 4, 0); // (5,2) is S's after this
    version(&comb, t, 7, 5, 1); // S's own
    version(&comb, t, 1, 1, 2); // the base label
    version(&comb, nullptr, 5, 1, 8); // teeth of a block without an owner count in no tree
    version(&comb, nullptr, 5, 1, 9);
    PhyCombItr itr{kNone, 0, 9};
    dev.run([&] { phyComb_StartIter(&comb, &itr); });
    BOOL bOk = TRUE;
    dev.run([&] { bOk = phyComb_CleanComb(&comb, &map, FALSE); });
    EXPECT_FALSE(bOk) << "position 9 is iterated";
    EXPECT_TRUE(versions(&comb, 8).empty()) << "no owning tree";
    EXPECT_EQ(versions(&comb, 9).size(), 1u);
    EXPECT_EQ(versions(&comb, 0).size(), 2u) << "no deletion pending: the tree's block is left";
    dev.run([&] { phyComb_EndItr(&comb, &itr); });

    updateTree(t, {{7, 3, SNAP_DEL_STATE__DELETED}});
    cont.needDelete.insert(kTree);
    dev.run([&] { bOk = phyComb_CleanComb(&comb, &map, FALSE); });
    EXPECT_TRUE(bOk);
    EXPECT_EQ(versions(&comb, 0), (Versions{{5, 4}})) << "the version only S saw";
    EXPECT_TRUE(versions(&comb, 1).empty()) << "every owner of the chain is gone";
    EXPECT_EQ(versions(&comb, 2), (Versions{{1, 1}})) << "the base version stays while the tree has its volume";
    EXPECT_TRUE(versions(&comb, 9).empty());
    EXPECT_EQ(t->vtreeUsageMB, 2u);
    EXPECT_EQ(comb.combUsageMB, 2u);
    vtree_UpdateQuiescedCounter(t, TRUE);
    dev.run([&] { bOk = phyComb_CleanComb(&comb, &map, TRUE); });
    EXPECT_FALSE(bOk) << "a quiesced tree's block is skipped";
    vtree_UpdateQuiescedCounter(t, FALSE);
    EXPECT_EQ(cont.refs, 0);
}
} // namespace
