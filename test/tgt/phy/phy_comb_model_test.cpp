// Random writes to a volume and up to two snapshots at a time (snapshots created, written and
// deleted, the device reopened in between), every read checked against a model of what each node
// must see; at the end the tree's, the comb's and the tooth map's counters agree.
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

    void checkAll(const char *pAfter, Vtree *t, const std::map<VtoId, Image> &model, std::mt19937 &rng)
    {
        for (auto &[id, img] : model)
            for (int k = 0; k < 6; k++) {
                UINT32 slot = rng() % kSlots;
                auto got = read(&comb, t, id, slot * 8, 8);
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
        std::map<VtoId, Image> model{{kVol, Image(kSlots, 0)}};
        std::map<VtoId, VtoTime> snaps; // live snapshots and their creation times
        VtoId nextSnap = 20;
        UINT8 nextFill = 1;
        for (int step = 0; step < 160; step++) {
            unsigned op = rng() % 20;
            if (op == 0 && snaps.size() < 2) {
                VtoTime time = t->time + 1;
                updateTree(t, {{nextSnap, time, SNAP_DEL_STATE__NORMAL, kVol}});
                snaps[nextSnap] = time;
                model[nextSnap] = model[kVol];
                nextSnap++;
                checkAll("create", t, model, rng);
            } else if (op == 1 && !snaps.empty()) {
                auto it = std::next(snaps.begin(), (long)(rng() % snaps.size()));
                updateTree(t, {{it->first, it->second, SNAP_DEL_STATE__DELETED}});
                model.erase(it->first);
                snaps.erase(it);
                checkAll("delete", t, model, rng);
            } else if (op == 2) {
                reopen();
                checkAll("reopen", t, model, rng);
            } else {
                auto it = std::next(model.begin(), (long)(rng() % model.size()));
                UINT32 slot = rng() % kSlots;
                UINT8 fill = nextFill++;
                if (nextFill == 0)
                    nextFill = 1;
                ASSERT_EQ(write(&comb, t, it->first, slot * 8, 8, fill), MOS_RC__SUCCESS);
                it->second[slot] = fill;
                ASSERT_EQ(read(&comb, t, it->first, slot * 8, 8), std::vector<UINT8>(8, fill));
            }
        }
        checkAll("end", t, model, rng);
        // Everything a deleted snapshot alone held goes with a clean.
        cont.needDelete.insert(kTree);
        BOOL bClean = FALSE;
        dev.run([&] { bClean = phyComb_CleanComb(&comb, &map, TRUE); });
        EXPECT_TRUE(bClean);
        checkAll("clean", t, model, rng);
        UINT32 positions = 0;
        for (UINT32 p = 0; p < kPositions; p++)
            positions += versions(&comb, p).empty() ? 0 : 1;
        EXPECT_EQ(t->vtreeUsageMB, comb.combUsageMB);
        EXPECT_EQ(t->baseVolUsageMB, comb.combBaseUsageMB);
        EXPECT_EQ(comb.combBaseUsageMB, positions);
        EXPECT_EQ(comb.combUsageMB, usedTeeth());
        EXPECT_EQ(pd.toothMap.currBaseTeeth, positions);
        UINT32 maxVersions = 0;
        for (UINT32 p = 0; p < kPositions; p++)
            maxVersions = std::max(maxVersions, (UINT32)versions(&comb, p).size());
        EXPECT_LE(maxVersions, 1 + (UINT32)snaps.size()) << "no version outlives every node that saw it";
        EXPECT_EQ(cont.refs, 0);
    }
}
} // namespace
