// Random writes to a volume and up to two snapshots at a time (snapshots created, written and
// deleted, the device reopened in between), every read checked against a model of what each node
// must see; at the end the tree's, the comb's and the tooth map's counters agree. The comb lives
// in a device set: a reopen brings up a copy of the device as the process left it, and the comb
// named again re-attaches the teeth the reopen scan found for it.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "test/support/tgt_comb_fixture.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

constexpr VTreeId kTree = 0x71;
constexpr VtoId kVol = 10;
constexpr UINT32 kPositions = 4;
constexpr UINT32 kSlots = kPositions * (TOOTH_SIZE_LB / 8); // 8-LB slots of the region

// What each node sees: the fill byte of every 8-LB slot (0 never written).
using Image = std::vector<UINT8>;

class PhyCombModelTest : public ::testing::Test, public CombFixture {
  protected:
    void SetUp() override { up(); }
    void TearDown() override { down(); }

    void checkAll(const char *pAfter, PhyComb *pComb, Vtree *t, const std::map<VtoId, Image> &model,
                  std::mt19937 &rng)
    {
        for (auto &[id, img] : model)
            for (int k = 0; k < 6; k++) {
                UINT32 slot = rng() % kSlots;
                auto got = read(pComb, t, id, slot * 8, 8);
                ASSERT_EQ(got, std::vector<UINT8>(8, img[slot]))
                    << pAfter << ": node " << id << " slot " << slot;
            }
    }
};

TEST_F(PhyCombModelTest, VolumeAndSnapshotsAgainstAModel)
{
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        TearDown();
        SetUp();
        std::mt19937 rng(seed);
        Vtree *t = addTree(kTree, TRUE, {{kVol, 1}}, 1);
        own(0, 1023, kTree);
        PlacedDevice placed;
        upPlaced(placed, tgtTest_MakeSparseFile(dev.dir, "placed0", (devLbs + 1000) * 512), TRUE);
        PhyComb pc;
        BOOL bOnDevice = FALSE;
        placeComb(placed, &pc, FALSE, &bOnDevice);
        std::map<VtoId, Image> model{{kVol, Image(kSlots, 0)}};
        std::map<VtoId, VtoTime> snaps; // live snapshots and their creation times
        VtoId nextSnap = 20;
        UINT8 nextFill = 1;
        UINT32 reopens = 0;
        for (int step = 0; step < 160; step++) {
            unsigned op = rng() % 20;
            if (op == 0 && snaps.size() < 2) {
                VtoTime time = t->time + 1;
                updateTree(t, {{nextSnap, time, SNAP_DEL_STATE__NORMAL, kVol}});
                snaps[nextSnap] = time;
                model[nextSnap] = model[kVol];
                nextSnap++;
                checkAll("create", &pc, t, model, rng);
            } else if (op == 1 && !snaps.empty()) {
                auto it = std::next(snaps.begin(), (long)(rng() % snaps.size()));
                updateTree(t, {{it->first, it->second, SNAP_DEL_STATE__DELETED}});
                model.erase(it->first);
                snaps.erase(it);
                checkAll("delete", &pc, t, model, rng);
            } else if (op == 2) {
                const std::string copy = crashCopy(placed.path, "placed" + std::to_string(++reopens % 2));
                downPlaced(placed, &pc);
                ASSERT_EQ(t->vtreeUsageMB, 0u) << "freeing the comb gave back all it held";
                upPlaced(placed, copy, FALSE);
                placeComb(placed, &pc, FALSE, &bOnDevice);
                ASSERT_TRUE(bOnDevice);
                checkAll("reopen", &pc, t, model, rng);
            } else {
                auto it = std::next(model.begin(), (long)(rng() % model.size()));
                UINT32 slot = rng() % kSlots;
                UINT8 fill = nextFill++;
                if (nextFill == 0)
                    nextFill = 1;
                ASSERT_EQ(write(&pc, t, it->first, slot * 8, 8, fill), MOS_RC__SUCCESS);
                it->second[slot] = fill;
                ASSERT_EQ(read(&pc, t, it->first, slot * 8, 8), std::vector<UINT8>(8, fill));
            }
        }
        EXPECT_GT(reopens, 0u);
        checkAll("end", &pc, t, model, rng);
        // Everything a deleted snapshot alone held goes with a clean.
        cont.needDelete.insert(kTree);
        BOOL bClean = FALSE;
        dev.run([&] { bClean = phyComb_CleanComb(&pc, &map, TRUE); });
        EXPECT_TRUE(bClean);
        checkAll("clean", &pc, t, model, rng);
        UINT32 positions = 0, maxVersions = 0;
        for (UINT32 p = 0; p < kPositions; p++) {
            positions += versions(&pc, p).empty() ? 0 : 1;
            maxVersions = std::max(maxVersions, (UINT32)versions(&pc, p).size());
        }
        const PhyToothMap &tm = placed.pDev->toothMap;
        EXPECT_EQ(t->vtreeUsageMB, pc.combUsageMB);
        EXPECT_EQ(t->baseVolUsageMB, pc.combBaseUsageMB);
        EXPECT_EQ(pc.combBaseUsageMB, positions);
        EXPECT_EQ(pc.combUsageMB, tm.currBaseTeeth + tm.currSnapTeeth);
        EXPECT_EQ(tm.currBaseTeeth, positions);
        EXPECT_LE(maxVersions, 1 + (UINT32)snaps.size()) << "no version outlives every node that saw it";
        downPlaced(placed, &pc);
        EXPECT_EQ(cont.refs, 0);
    }
}
} // namespace
