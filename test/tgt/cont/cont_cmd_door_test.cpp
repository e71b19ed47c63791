// The command door in process: the controller built without its network, commands handed to it
// as the control group hands them.
#include <gtest/gtest.h>

#include <functional>

#include "test/support/cont_cmd_rig.h"
#include "tgt/cont/cont_cmd_intrn.h"

namespace {

class ContCmdRuntimeEnv : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_TRUE(ContCmdRig::initRuntime()); }
};
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new ContCmdRuntimeEnv);

std::vector<UINT8> perfRecord(const std::function<void(Tgt_PerformanceParamsV200 &)> &set)
{
    OstrelTgtReq_UpdatePerfParams rec{};
    Tgt_PerformanceParamsV200 &p = rec.perfParams;
    const TgtPerfParam &cur = tgtPerfInitParam_G;
    p.numOfSocketsPerIpPellarToPellar = cur.numOfSocketsPerIpPellarToPellar;
    p.keepaliveTimeMs = cur.keepaliveTimeMs;
    p.numNetWorkerThreads = 2;
    p.recvBufferInKb = (UINT32)tgtInitParam_G.netParam.recvBufferInKb;
    p.sendBufferInKb = (UINT32)tgtInitParam_G.netParam.sendBufferInKb;
    p.maxReqPerAsyncFile = cur.maxReqPerAsyncFile;
    p.threadIniIo = cur.threadIniIo;
    p.threadTgtIoMain = cur.threadTgtIoMain;
    p.threadTgtIoCopy = cur.threadTgtIoCopy;
    p.threadCopyIo = cur.threadCopyIo;
    p.umtOsThrds = cur.umtOsThrds;
    p.numIoBuffs = cur.numIoBuffs;
    p.netAllocRcvBufferWaitMillis = (UINT16)tgtInitParam_G.netParam.allocRcvBufferWaitMillis;
    p.netBreakDoIOLoop = (UINT16)tgtInitParam_G.netParam.breakDoIOLoop;
    set(p);
    rec.ostrelTgtConnectionGenNum = 1;
    std::vector<UINT8> bytes(sizeof(rec));
    memcpy(bytes.data(), &rec, sizeof(rec));
    return bytes;
}

// Out-of-range values change nothing; a thread-count change still running turns a second
// request into 416 after its cheap values were applied.
TEST(ContCmdDoor, PerformanceParametersRangesAndASecondResize)
{
    ContCmdRig::buildController();
    ContCmdRig::adopt(1, FALSE);
    const UINT32 files = tgtPerfInitParam_G.maxReqPerAsyncFile;
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__UPDATE_PERF_PARAMS, 0, perfRecord([](Tgt_PerformanceParamsV200 &p) {
                  p.threadTgtIoCopy = 165, p.maxReqPerAsyncFile = 99;
              })),
              MOS_RC__INVALID_PERFORMANCE_PARAMETER);
    EXPECT_EQ(tgtPerfInitParam_G.maxReqPerAsyncFile, files);

    cont_g.cmd.updateUmtPerfParamCtx.bActive = TRUE; // the previous change still runs
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__UPDATE_PERF_PARAMS, 0, perfRecord([](Tgt_PerformanceParamsV200 &p) {
                  p.threadTgtIoCopy = 164, p.maxReqPerAsyncFile = 99;
              })),
              MOS_RC__UMT_NUM_UPDATE_IS_STUCK);
    EXPECT_EQ(tgtPerfInitParam_G.maxReqPerAsyncFile, 99u);
    cont_g.cmd.updateUmtPerfParamCtx.bActive = FALSE;

    // With no change running, the update answers at once and its worker clears the mark.
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__UPDATE_PERF_PARAMS, 0,
                               perfRecord([files](Tgt_PerformanceParamsV200 &p) { p.maxReqPerAsyncFile = files; })),
              MOS_RC__SUCCESS);
    for (int i = 0; i < 3000 && __atomic_load_n(&cont_g.cmd.updateUmtPerfParamCtx.bActive, __ATOMIC_ACQUIRE); i++)
        usleep(10000);
    EXPECT_FALSE(cont_g.cmd.updateUmtPerfParamCtx.bActive);
}

// A throttling entry that breaks the rules is refused before any device is looked up.
TEST(ContCmdDoor, ThrottlingIsValidatedBeforeDevicesAreLookedUp)
{
    ContCmdRig::buildController();
    ContCmdRig::adopt(1, FALSE);
    auto record = [](UINT32 quietMs) {
        OstrelTgtReq_UpdateThrottleConf head{1, sizeof(OstrelTgt_DevThrottleConf), 1};
        OstrelTgt_DevThrottleConf e{};
        e.devId = 0x77;
        e.throttleConf = {1, 0, 1, 0, quietMs, 0, 1, 0, 1, 0};
        std::vector<UINT8> rec(sizeof(head) + sizeof(e));
        memcpy(rec.data(), &head, sizeof(head));
        memcpy(rec.data() + sizeof(head), &e, sizeof(e));
        return rec;
    };
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__UPDATE_DEV_THROTTLING_CONF, 0, record(5)), MOS_RC__INVALID);
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__UPDATE_DEV_THROTTLING_CONF, 0, record(10)), MOS_RC__NOT_FOUND);
}

} // namespace
