// The stop of a pellar that holds work a command started: SIGTERM right after a new device was
// added (whose metadata zeroing waits in a thread of its own) ends the process promptly through
// its shutdown sequence, which ends the zeroing before it stops the watchdogs, with no sanitizer
// report.
#include <gtest/gtest.h>

#include <cstring>

#include "test/peers/sim_comb_cmds.h"
#include "test/peers/sim_peer.h"
#include "test/support/net_support.h"
#include "test/support/pellar_process.h"
#include "test/support/tgt_test_support.h"
#include "tgt/cont/cont_cmd.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new NetTestRuntimeEnv);

TEST(PellarStop, ASigtermRightAfterADeviceAddEndsTheZeroingAndThePellar)
{
    ASSERT_TRUE(std::filesystem::exists(pellarPath())) << pellarPath();
    ScratchDir dir;
    const std::string dev = tgtTest_MakeSparseFile(dir, "dev0", (2ull << 30) + (64ull << 20));
    const int port = freePort();
    PellarProcess p(dir, "tgt_port " + std::to_string(port) + "\nsdbg_port 0\ntgt_dev__min_capacity_in_lbs 4194304\n");
    ASSERT_TRUE(p.waitListening(port)) << p.output();
    OstrelSim ostrel;
    ASSERT_TRUE(ostrel.Connect((uint16_t)port, 0x1));
    ASSERT_EQ(ostrel.Attach({.generation = 1}), MOS_RC__SUCCESS);
    ASSERT_EQ(ostrel.Reconf(true), MOS_RC__SUCCESS);
    std::vector<uint8_t> ans;
    ASSERT_EQ(ostrel.Command(TGT_MSG_TYPE__ADD_DEV, 0, simComb_AddDevArr({simComb_Dev(0x61, dev, true)}, true), &ans),
              MOS_RC__SUCCESS);
    ASSERT_EQ(ans.size(), 8u + 88u);
    uint32_t devRc;
    memcpy(&devRc, ans.data() + 8 + 16, sizeof(devRc));
    ASSERT_EQ(devRc, (uint32_t)MOS_RC__SUCCESS) << p.traces();
    ASSERT_EQ(ostrel.Reconf(false), MOS_RC__SUCCESS);

    p.signal(SIGTERM);
    ASSERT_TRUE(p.exited(std::chrono::seconds(30)));
    EXPECT_TRUE(WIFEXITED(p.status())) << "ended by a signal instead of its own stop";
    const std::string t = p.traces();
    const size_t added = t.find("Add Dev - zeroing MD Async: devID=61");
    const size_t stopping = t.find("Stopping 1 device metadata zeroing threads");
    const size_t aborted = t.find("Zeroing device unused metadata aborted: devId 61");
    const size_t wd = t.find("Abort all WD");
    ASSERT_NE(added, std::string::npos) << t;
    ASSERT_NE(stopping, std::string::npos) << t;
    ASSERT_NE(aborted, std::string::npos) << t;
    ASSERT_NE(wd, std::string::npos) << t;
    EXPECT_LT(added, stopping);
    EXPECT_LT(stopping, wd);
    EXPECT_EQ(t.find("UMT Starts to run for device metadata zeroing"), std::string::npos);
    EXPECT_EQ(countOf(p.exceptions(), "Termination due to signal 15."), 1u) << p.exceptions();
    EXPECT_EQ(p.output().find("Sanitizer"), std::string::npos) << p.output();
}

} // namespace
