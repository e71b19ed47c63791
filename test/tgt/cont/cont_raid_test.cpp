// The controller's start registers the mirroring layer and the resync pool with its own objects
// behind them: what the copies and the mirrored I/O ask of the controller comes from its registry.
#include <gtest/gtest.h>

#include "test/support/cont_cmd_rig.h"
#include "tgt/cont/cont_raid_state.h"
#include "tgt/raid/raid.h"
#include "tgt/raid/raid_resync.h"

namespace {

class ContRaidRuntimeEnv : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_TRUE(ContCmdRig::initRuntime()); }
};
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new ContRaidRuntimeEnv);

TEST(ContRaid, TheBuiltControllerOwnsTheMirroringLayerAndTheResyncPool)
{
    ContCmdRig::buildController();
    ASSERT_EQ(raid_Get(), &cont_g.raid);
    EXPECT_EQ(raid_Hooks(), contRaid_GetHooks());
    EXPECT_EQ(cont_g.raid.pCont, &cont_g);
    EXPECT_EQ(raidResync_Hooks(), contRaid_GetResyncHooks());
    const RaidHooks *h = raid_Hooks();
    EXPECT_EQ(h->queueCopyJob, &raidSyncPool_QueueCopyJob);
    EXPECT_EQ(h->raiseCopyPriority, &raidSyncPool_RaiseCopyPriority);
}

// Objects the registry does not hold: no connection, an unknown version, no head state, and no
// extent locks before the first adoption built them (a copy then locks the whole comb).
TEST(ContRaid, HooksAnswerFromTheRegistry)
{
    ContCmdRig::buildController();
    const RaidHooks *h = contRaid_GetHooks();
    const RaidResyncHooks *r = contRaid_GetResyncHooks();
    ContCmdRig::run([&] {
        RaidCon con{};
        EXPECT_EQ(h->acquireTgtCon(&cont_g, 0x77, &con), MOS_RC__NOT_CONN);
        EXPECT_EQ(con.pPeer, nullptr);
        EXPECT_EQ(r->getPeerVersion(&cont_g, 0x77), CONT_TGT__UNKNOWN_VERSION);
        PhyCombHead head{};
        EXPECT_FALSE(h->getHeadState(&cont_g, (CombId)5 << COMBID_MULTIHEAD_ID_SHIFT, &head));
        EXPECT_EQ(h->checkDegradePermit(&cont_g, 0x77), MOS_RC__RETRY);
        h->logNetHiccup(&cont_g, 0x77); // an unknown peer is ignored
        EXPECT_EQ(h->getOwnTgtId(&cont_g), cont_GetTgtId(&cont_g));
        if (!cont_g.elock.bInitialized)
            EXPECT_EQ(r->getElock(&cont_g), nullptr);
        else
            EXPECT_EQ(r->getElock(&cont_g), &cont_g.elock);
    });
}

} // namespace
