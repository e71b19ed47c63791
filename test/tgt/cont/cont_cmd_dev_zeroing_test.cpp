// The delayed metadata zeroing that a device add through the command starts, on an in-process
// controller: a stop of the device manager (as the server's stop runs it, and its destroy) wakes
// the sleeping thread and waits for it, so that nothing is zeroed afterwards and no thread of it
// outlives the call; an add after the stop starts none.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "test/support/cont_cmd_rig.h"
#include "test/support/scratch_dir.h"
#include "test/support/tgt_test_support.h"
#include "test/support/trace_capture.h"
#include "tgt/cont/cont_cmd_intrn.h"
#include "tgt/cont/cont_dev.h"

namespace {

class ContCmdRuntimeEnv : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_TRUE(ContCmdRig::initRuntime()); }
};
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new ContCmdRuntimeEnv);

constexpr UINT16 kGen = 4;

// A new device through the device group command; its answer's code.
UINT32 addNewDevice(UINT64 devId, const std::string &path)
{
    OstrelTgtReq_AddDev dev{};
    dev.devId = devId;
    dev.bNew = 1;
    dev.snapReservedTeeth = 1u << 20;
    dev.pathMaxLen = sizeof(dev.path);
    strncpy(dev.path, path.c_str(), sizeof(dev.path) - 1);
    dev.scanFlavor = TGT_SCAN_FLAVOR__OFF;
    const OstrelTgtReq_AddDevArr head{1, sizeof(dev), 0, kGen, 0};
    std::vector<UINT8> rec(sizeof(head) + sizeof(dev));
    memcpy(rec.data(), &head, sizeof(head));
    memcpy(rec.data() + sizeof(head), &dev, sizeof(dev));
    std::vector<UINT8> ans;
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__ADD_DEV, 0, rec, &ans), MOS_RC__SUCCESS);
    OstrelTgtRsp_AddDev devAns{};
    if (ans.size() >= sizeof(OstrelTgtRsp_AddDevArr) + sizeof(devAns))
        memcpy(&devAns, ans.data() + sizeof(OstrelTgtRsp_AddDevArr), sizeof(devAns));
    return devAns.specRc;
}

UINT32 zeroingThreads()
{
    MosFastlockGuard g(&cont_g.devMngr.devs.fastlock);
    return cont_g.devMngr.zeroing.numRunning;
}

TEST(ContCmdDevZeroing, AStopEndsTheSleepingZeroingAndNoneStartsAfterIt)
{
    ContCmdRig::buildController();
    ContCmdRig::adopt(kGen, FALSE);
    tgtInitParam_G.phyDevMinCapacityInLbs = 4194304 - 4096;
    ScratchDir dir;
    const std::string first = tgtTest_MakeSparseFile(dir, "first", 2 * GB_IN_LBS * 512 + (64ull << 20));
    const std::string second = tgtTest_MakeSparseFile(dir, "second", 2 * GB_IN_LBS * 512 + (64ull << 20));
    traceTest_Capture();
    ASSERT_EQ(addNewDevice(0x91, first), (UINT32)MOS_RC__SUCCESS);
    EXPECT_TRUE(traced("Add Dev - zeroing MD Async: devID=91"));
    EXPECT_EQ(zeroingThreads(), 1u);

    ContCmdRig::run([] { contDevMngr_StopZeroing(&cont_g.devMngr); });
    EXPECT_EQ(zeroingThreads(), 0u) << "the stop returns once the thread ended";
    EXPECT_TRUE(traced("Zeroing device unused metadata aborted: devId 91"));
    EXPECT_FALSE(traced("UMT Starts to run for device metadata zeroing")) << "the sleep was cut short";
    EXPECT_EQ(tgtTest_ReadHeader(first).flags & PHY_DEV_HDR_FLAG__MD_ZEROED, 0u);

    ASSERT_EQ(addNewDevice(0x92, second), (UINT32)MOS_RC__SUCCESS);
    EXPECT_TRUE(traced("No metadata zeroing after the stop: devId 92"));
    EXPECT_EQ(zeroingThreads(), 0u);
    // No device (and no scan thread of one) outlives the test.
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__CLEAN_UP, 0, {0, 0}), MOS_RC__SUCCESS);
}

} // namespace
