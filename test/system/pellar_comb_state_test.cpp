// A comb given its role by the Ostrel on a real pellar: a cycle adds a device, a volume tree with
// its node, a volume, a head and a comb without a role; SET_COMB_STATE makes it a single-copy primary, and a
// Quillet's write is then read back byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "test/peers/sim_comb_cmds.h"
#include "test/peers/sim_peer.h"
#include "test/support/net_support.h"
#include "test/support/pellar_process.h"
#include "tgt/cont/cont_cmd.h"
#include "tgt/ioh/ioh_msg.h"
#include "tgt/vtree/vtree.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new NetTestRuntimeEnv);

constexpr uint16_t kGen = 1;
constexpr uint64_t kDev = 0x51, kVtree = 1, kVol = 10;
constexpr uint32_t kHead = 5;
constexpr uint64_t kComb = (uint64_t)kHead << 15;
constexpr uint64_t kCombGen = 7;

std::vector<uint8_t> combTest_Head(uint32_t mhId, uint64_t vtreeId)
{
    std::vector<uint8_t> e = OstrelSim::Head(mhId, 1);
    for (size_t off = 148; off + 8 <= e.size(); off += 8)
        memcpy(e.data() + off, &vtreeId, 8);
    return e;
}

// The tree's one node: the volume's vto at the tree's present time.
std::vector<uint8_t> combTest_VtreeNodes(uint64_t vtreeId, uint32_t vtoId)
{
    OstrelTgtReq_GroupHead head{1, sizeof(OstrelTgtReq_VtreeNode), 1, kGen};
    const OstrelTgtReq_VtreeNode node{vtreeId, 1, 0, vtoId, 1, (uint32_t)SNAP_DEL_STATE__NORMAL};
    return simComb_Group(head, std::vector<OstrelTgtReq_VtreeNode>{node});
}

std::vector<uint8_t> combTest_IoRecord(uint32_t offsetInComb, uint32_t sizeInLbs, uint64_t combGen)
{
    TgtReq_IoWrite r{};
    r.combId = kComb;
    r.sizeInLbs = sizeInLbs;
    r.offsetInComb = offsetInComb;
    r.combGenNum = combGen;
    r.volId = kVol;
    r.volGenNum = 1;
    r.scsiGenNum = 1;
    return simComb_Bytes(r);
}

TEST(PellarCombState, ASingleCopyPrimaryTakesAWriteAndReadsItBack)
{
    ASSERT_TRUE(std::filesystem::exists(pellarPath())) << pellarPath();
    ScratchDir dir;
    const std::string dev = dir.file("dev0");
    {
        std::ofstream f(dev);
    }
    std::filesystem::resize_file(dev, (2ull << 30) + (64ull << 20));
    const int port = freePort();
    PellarProcess p(dir, "tgt_port " + std::to_string(port) + "\nsdbg_port 0\ntgt_dev__min_capacity_in_lbs 4194304\n");
    ASSERT_TRUE(p.waitListening(port)) << p.output();
    OstrelSim ostrel;
    ASSERT_TRUE(ostrel.Connect((uint16_t)port, 0x1));
    ASSERT_EQ(ostrel.Attach({.generation = kGen}), MOS_RC__SUCCESS);

    ASSERT_EQ(ostrel.Reconf(true), MOS_RC__SUCCESS);
    std::vector<uint8_t> ans;
    ASSERT_EQ(ostrel.Command(TGT_MSG_TYPE__ADD_DEV, 0, simComb_AddDevArr({simComb_Dev(kDev, dev, true)}, true), &ans),
              MOS_RC__SUCCESS);
    ASSERT_EQ(ans.size(), 8u + 88u);
    uint32_t devRc;
    memcpy(&devRc, ans.data() + 8 + 16, sizeof(devRc));
    ASSERT_EQ(devRc, (uint32_t)MOS_RC__SUCCESS) << p.traces();
    ASSERT_EQ(ostrel.Group(2023, {OstrelSim::Vtree(kVtree)}, true), MOS_RC__SUCCESS);
    ASSERT_EQ(ostrel.Command(TGT_MSG_TYPE__UPDATE_VTREE, 0, combTest_VtreeNodes(kVtree, 1)), MOS_RC__SUCCESS);
    ASSERT_EQ(ostrel.AddVols({OstrelSim::Vol(kVol, kVtree, 1)}, true), MOS_RC__SUCCESS);
    ASSERT_EQ(ostrel.Group(2040, {combTest_Head(kHead, kVtree)}, true), MOS_RC__SUCCESS);
    ASSERT_EQ(ostrel.Command(TGT_MSG_TYPE__ADD_COMB, 0, simComb_AddCombArr({simComb_Comb(kDev, kComb)}, true)),
              MOS_RC__SUCCESS)
        << p.traces();
    ASSERT_EQ(ostrel.Reconf(false), MOS_RC__SUCCESS);

    QuilletSim quillet;
    ASSERT_TRUE(quillet.Connect((uint16_t)port, 0x1));
    std::vector<uint8_t> data(8 * 512);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (uint8_t)(i * 7 + 3);
    // No role yet: the comb takes no write.
    EXPECT_NE(quillet.Request(2103, 22, {combTest_IoRecord(2048, 8, kCombGen), data}), MOS_RC__SUCCESS);

    ASSERT_EQ(ostrel.Command(TGT_MSG_TYPE__SET_COMB_STATE, 0, simComb_Bytes(simComb_SinglePrimary(kComb, kCombGen)),
                             &ans),
              MOS_RC__SUCCESS)
        << p.traces();
    EXPECT_TRUE(ans.empty());
    ASSERT_EQ(quillet.Request(2103, 22, {combTest_IoRecord(2048, 8, kCombGen), data}), MOS_RC__SUCCESS)
        << p.traces();
    EXPECT_EQ(quillet.Request(2103, 22, {combTest_IoRecord(2048, 8, kCombGen - 1), data}),
              MOS_RC__IO_FAULT_WRONG_COMB_GEN)
        << "an I/O of another generation";
    ASSERT_EQ(quillet.Request(2101, 22, {combTest_IoRecord(2048, 8, kCombGen)}, &ans), MOS_RC__SUCCESS)
        << p.traces();
    ASSERT_GE(ans.size(), data.size());
    // The answer's record comes first; the data follows it.
    const auto at = std::search(ans.begin(), ans.end(), data.begin(), data.end());
    EXPECT_NE(at, ans.end()) << "the written bytes come back";
    EXPECT_FALSE(p.exited(std::chrono::milliseconds(0))) << p.traces();
}

} // namespace
