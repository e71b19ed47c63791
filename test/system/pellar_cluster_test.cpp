// Pellars on this machine in a cluster of their own (test/peers/cluster.h): mirrored combs written
// through the primary, the end-to-end scenario of run.sh on a shorter load, a restart that brings a
// pellar's combs back, and a pellar whose manager stops answering its keep-alives.
#include <gtest/gtest.h>

#include "test/peers/cluster_scenario.h"
#include "test/support/net_support.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new NetTestRuntimeEnv);

constexpr uint64_t kComb = 0x8000, kSingleComb = 0x10000; // heads 1 and 2

class PellarCluster : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(c_.StartAll()) << c_.LastError(); }

    Cluster c_{""};
};

TEST_F(PellarCluster, AMirroredCombTakesWritesThroughItsPrimaryOnly)
{
    ASSERT_TRUE(c_.AddMirroredComb(kComb, 0, 1)) << c_.LastError();
    // A new tooth, then a range inside a tooth written before.
    ASSERT_EQ(c_.WritePattern(0, kComb, 0, 8, 1), MOS_RC__SUCCESS) << c_.Proc(0).traces();
    ASSERT_EQ(c_.WritePattern(0, kComb, 2048 + 16, 32, 2), MOS_RC__SUCCESS);
    ASSERT_EQ(c_.WritePattern(0, kComb, 2048 + 40, 8, 3), MOS_RC__SUCCESS);
    EXPECT_TRUE(c_.CheckPattern(0, kComb, 0, 8, 1)) << c_.LastError();
    EXPECT_TRUE(c_.CheckPattern(0, kComb, 2048 + 16, 24, 2)) << c_.LastError();
    EXPECT_TRUE(c_.CheckPattern(0, kComb, 2048 + 40, 8, 3)) << c_.LastError();
    EXPECT_EQ(c_.Quillet(1).ReadData(c_.IoOf(kComb, 0, 8), nullptr), MOS_RC__IO_FAULT_NOT_PRI);
    EXPECT_EQ(c_.PermitRequests(0), 0u) << "the secondary took every write";
    EXPECT_TRUE(c_.Running(0) && c_.Running(1));
}

TEST_F(PellarCluster, KilledSecondaryDegradesWithPermitAndIsRebuiltToAnIdenticalCopy)
{
    std::string out;
    ClusterScenarioOptions o;
    o.seconds = 6;
    o.print = [&out](const std::string &line) { out += line + "\n"; };
    EXPECT_TRUE(clusterScenario_Run(c_, o)) << out;
}

TEST_F(PellarCluster, ARestartedPellarIsAttachedAgainAndItsCombsComeBack)
{
    ASSERT_TRUE(c_.AddMirroredComb(kComb, 0, 1)) << c_.LastError();
    ASSERT_TRUE(c_.AddSingleComb(kSingleComb, 0)) << c_.LastError();
    for (uint64_t comb : {kComb, kSingleComb})
        ASSERT_EQ(c_.WritePattern(0, comb, 4096, 16, 1), MOS_RC__SUCCESS) << comb;

    ASSERT_TRUE(c_.Restart(0)) << c_.LastError();
    for (uint64_t comb : {kComb, kSingleComb})
        EXPECT_TRUE(c_.CheckPattern(0, comb, 4096, 16, 1)) << comb << ": " << c_.LastError();
    ASSERT_TRUE(c_.WaitConnected(0, 1)) << c_.LastError();
    EXPECT_EQ(c_.WritePattern(0, kComb, 4096, 16, 2), MOS_RC__SUCCESS);
    EXPECT_TRUE(c_.CheckPattern(0, kComb, 4096, 16, 2)) << c_.LastError();
}

// The keep-alive time-out is 5 s: the first refusal comes a few seconds after the replies stop.
TEST_F(PellarCluster, WithoutKeepAliveRepliesAPellarRefusesIoAndServesAgainWhenTheyResume)
{
    ASSERT_TRUE(c_.AddSingleComb(kSingleComb, 0)) << c_.LastError();
    ASSERT_EQ(c_.WritePattern(0, kSingleComb, 0, 8, 1), MOS_RC__SUCCESS);
    auto until = [&](Mos_RC want) {
        for (int i = 0; i < 300; i++) {
            if (c_.WritePattern(0, kSingleComb, 0, 8, 2) == want)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    };
    c_.Ostrel(0).SetKeepAliveEcho(false);
    ASSERT_TRUE(until(MOS_RC__IO_FAULT_BLOCKED));
    EXPECT_EQ(c_.Quillet(0).ReadData(c_.IoOf(kSingleComb, 0, 8), nullptr), MOS_RC__IO_FAULT_BLOCKED);
    c_.Ostrel(0).SetKeepAliveEcho(true);
    ASSERT_TRUE(until(MOS_RC__SUCCESS));
    EXPECT_TRUE(c_.CheckPattern(0, kSingleComb, 0, 8, 2)) << c_.LastError();
}

} // namespace
