// The command door in process: the controller built without its network, commands handed to it
// as the control group hands them.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <functional>

#include "mos/mos_diag_counters.h"
#include "mos/usr/security/mos_auth.h"
#include "test/support/cont_cmd_rig.h"
#include "tgt/cont/cont_cmd_intrn.h"

namespace {

class ContCmdRuntimeEnv : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_TRUE(ContCmdRig::initRuntime()); }
};
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new ContCmdRuntimeEnv);

// Out-of-range values change nothing; a thread-count change still running turns a second
// request into 416 after its cheap values were applied.
TEST(ContCmdDoor, PerformanceParametersRangesAndASecondResize)
{
    ContCmdRig::buildController();
    ContCmdRig::adopt(1, FALSE);
    const UINT32 files = tgtPerfInitParam_G.maxReqPerAsyncFile;
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__UPDATE_PERF_PARAMS, 0, ContCmdRig::perfRecord([](Tgt_PerformanceParamsV200 &p) {
                  p.threadTgtIoCopy = 165, p.maxReqPerAsyncFile = 99;
              })),
              MOS_RC__INVALID_PERFORMANCE_PARAMETER);
    EXPECT_EQ(tgtPerfInitParam_G.maxReqPerAsyncFile, files);

    cont_g.cmd.updateUmtPerfParamCtx.bActive = TRUE; // the previous change still runs
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__UPDATE_PERF_PARAMS, 0, ContCmdRig::perfRecord([](Tgt_PerformanceParamsV200 &p) {
                  p.threadTgtIoCopy = 164, p.maxReqPerAsyncFile = 99;
              })),
              MOS_RC__UMT_NUM_UPDATE_IS_STUCK);
    EXPECT_EQ(tgtPerfInitParam_G.maxReqPerAsyncFile, 99u);
    cont_g.cmd.updateUmtPerfParamCtx.bActive = FALSE;

    // With no change running, the update answers at once and its worker clears the mark.
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__UPDATE_PERF_PARAMS, 0,
                               ContCmdRig::perfRecord([files](Tgt_PerformanceParamsV200 &p) { p.maxReqPerAsyncFile = files; })),
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

namespace {

// The generic types: a trace map is taken only at its size; the counter answers carry their head
// (count set, no address of the server) and every counter; a challenge that is malformed or meant
// for another server is refused, and one for this server is refused while authentication is off.
TEST(ContCmdDoor, GenericTypesTraceLevelsCountersAndChallenges)
{
    ContCmdRig::buildController();
    ContCmdRig::adopt(1, FALSE);
    auto traceRecord = [](MosTraceFrequency level, UINT32 mapSize) {
        MosTraceFrequency levels[MOS_COMP_LAST];
        for (UINT32 c = 0; c < MOS_COMP_LAST; c++)
            levels[c] = mosTraceConf_GetComponentFreq((MosTraceComponent)c);
        levels[MOS_COMP_TGT_RAID] = level;
        std::vector<UINT8> rec(MOS_TRACE__MAP_SIZE + 4);
        mosTraceConf_Zip(rec.data(), levels, MOS_TRACE__MAP_SIZE, MOS_COMP_LAST);
        memcpy(rec.data() + MOS_TRACE__MAP_SIZE, &mapSize, 4);
        return rec;
    };
    const MosTraceFrequency before = mosTraceConf_GetComponentFreq(MOS_COMP_TGT_RAID);
    const MosTraceFrequency other = before == MOS_FREQ_HIGH ? MOS_FREQ_LOW : MOS_FREQ_HIGH;
    EXPECT_EQ(ContCmdRig::send(NET_MSG_TYPE__CONFIGURE_TRACE_FREQS, 0, traceRecord(other, 19)), MOS_RC__SUCCESS);
    EXPECT_EQ(mosTraceConf_GetComponentFreq(MOS_COMP_TGT_RAID), before) << "a map of another size is not taken";
    EXPECT_EQ(ContCmdRig::send(NET_MSG_TYPE__CONFIGURE_TRACE_FREQS, 0, traceRecord(other, MOS_TRACE__MAP_SIZE)),
              MOS_RC__SUCCESS);
    EXPECT_EQ(mosTraceConf_GetComponentFreq(MOS_COMP_TGT_RAID), other);
    EXPECT_EQ(ContCmdRig::send(NET_MSG_TYPE__CONFIGURE_TRACE_FREQS, 0, {1, 2, 3}), MOS_RC__INTERFACE_ERROR);
    mosTraceConf_SetComponentFrequency(MOS_COMP_TGT_RAID, before);

    mosDiagCounters_Count(MOS_DIAG_COUNTER__CREATED_DEVICES);
    const UINT32 n = mosDiagCounters_GetNumOfCounters();
    for (const auto &[type, entrySize] : {std::pair<UINT32, size_t>{NET_MSG_TYPE__QUERY_DIAG_COUNTERS, 48},
                                          std::pair<UINT32, size_t>{NET_MSG_TYPE__QUERY_DIAG_COUNTERS_EXT, 64}}) {
        SCOPED_TRACE(type);
        std::vector<UINT8> filter(24, 0xEE); // a request's own head: the pointer must not come back
        memset(filter.data() + 4, 0, 12);   // all counters, every component
        std::vector<UINT8> ans;
        ASSERT_EQ(ContCmdRig::send(type, 0, filter, &ans), MOS_RC__SUCCESS);
        ASSERT_EQ(ans.size(), 24 + entrySize * n);
        MosDiagCountersQuery head;
        memcpy(&head, ans.data(), sizeof(head));
        EXPECT_EQ(head.numOfElements, n);
        EXPECT_EQ(head.ptrPad, 0u);
        UINT32 value = 0;
        memcpy(&value, ans.data() + 24 + entrySize * MOS_DIAG_COUNTER__CREATED_DEVICES, 4);
        EXPECT_GE(value, 1u);
    }

    EXPECT_EQ(ContCmdRig::send(NET_MSG_TYPE__CHALLENGE_RESPONSE, 0, {1, 2, 3}), MOS_RC__INVALID);
    auto challenge = [](UINT64 id) {
        std::vector<UINT8> c(sizeof(MosAuth_ChallengeHdr) + sizeof(id), 0x5A);
        const UINT32 r = htonl(MOS_AUTH__RANDOM_LEN), len = htonl(sizeof(id));
        memcpy(c.data(), &r, 4);
        memcpy(c.data() + 4, &len, 4);
        memcpy(c.data() + sizeof(MosAuth_ChallengeHdr), &id, sizeof(id));
        return c;
    };
    EXPECT_EQ(ContCmdRig::send(NET_MSG_TYPE__CHALLENGE_RESPONSE, 0, challenge(0x12)), MOS_RC__INVALID);
    EXPECT_EQ(ContCmdRig::send(NET_MSG_TYPE__CHALLENGE_RESPONSE, 0, challenge(0x11)), MOS_RC__NOT_READY);
}

// The I/O buffers of both data-path sets follow the multiplier before it is stored.
TEST(ContCmdDoor, TheIoBufferMultiplierResizesBothBufferSets)
{
    ContCmdRig::buildController();
    ContCmdRig::adopt(1, FALSE);
    const UINT32 mult = tgtPerfInitParam_G.numIoBuffs;
    const UINT32 pri = cont_g.cachePri.totalSizeInLbs, sec = cont_g.cacheSec.totalSizeInLbs;
    ASSERT_GT(pri, 0u);
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__UPDATE_PERF_PARAMS, 0,
                               ContCmdRig::perfRecord([&](Tgt_PerformanceParamsV200 &p) { p.numIoBuffs = mult + 1; })),
              MOS_RC__SUCCESS);
    EXPECT_EQ(tgtPerfInitParam_G.numIoBuffs, mult + 1);
    EXPECT_EQ((UINT64)cont_g.cachePri.totalSizeInLbs * mult, (UINT64)pri * (mult + 1));
    EXPECT_EQ((UINT64)cont_g.cacheSec.totalSizeInLbs * mult, (UINT64)sec * (mult + 1));
    for (int i = 0; i < 3000 && __atomic_load_n(&cont_g.cmd.updateUmtPerfParamCtx.bActive, __ATOMIC_ACQUIRE); i++)
        usleep(10000);
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__UPDATE_PERF_PARAMS, 0,
                               ContCmdRig::perfRecord([&](Tgt_PerformanceParamsV200 &p) { p.numIoBuffs = mult; })),
              MOS_RC__SUCCESS);
    EXPECT_EQ(cont_g.cachePri.totalSizeInLbs, pri);
    for (int i = 0; i < 3000 && __atomic_load_n(&cont_g.cmd.updateUmtPerfParamCtx.bActive, __ATOMIC_ACQUIRE); i++)
        usleep(10000);
}

} // namespace
