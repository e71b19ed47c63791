// The Ostrel's commands against a real pellar: admission generated from the command table (before
// the attach, a foreign id, lengths, the reconfiguration state, stale generations, unknown and
// deprecated types), and the reconfiguration cycle with its group commands.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "test/peers/sim_peer.h"
#include "test/support/net_support.h"
#include "test/support/pellar_process.h"
#include "test/support/tgt_test_support.h"
#include "tgt/cont/cont_cmd.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new NetTestRuntimeEnv);

constexpr uint16_t kGen = 1;

class PellarCmd : public ::testing::Test {
  protected:
    // The keys beyond the port: lengths are exact unless a fixture says otherwise.
    virtual std::string Keys() const { return "tgt_allow_different_request_len__enabled 0\n"; }
    void SetUp() override
    {
        ASSERT_TRUE(std::filesystem::exists(pellarPath())) << pellarPath();
        const int port = freePort();
        p_ = std::make_unique<PellarProcess>(dir_, "tgt_port " + std::to_string(port) + "\nsdbg_port 0\n" + Keys());
        ASSERT_TRUE(p_->waitListening(port)) << p_->output();
        ASSERT_TRUE(ostrel_.Connect((uint16_t)port, 0x1));
    }
    void TearDown() override { EXPECT_FALSE(p_->exited(std::chrono::milliseconds(0))) << p_->traces(); }

    ScratchDir dir_;
    std::unique_ptr<PellarProcess> p_;
    OstrelSim ostrel_;
};

// A record of the type's exact length (one element where one is needed), with the generation and
// the cycle flag where the type has them; delta bytes longer or shorter.
std::vector<uint8_t> cmdTest_Record(const ContCmdSpec &s, uint16_t gen, bool bFlag, int delta = 0)
{
    const uint32_t n = s.len.bMinOne ? 1 : 0;
    std::vector<uint8_t> rec(s.len.bAnyLen ? 0 : s.len.head + n * s.len.stride1);
    if (s.len.count1Off != 0xFF)
        memcpy(rec.data() + s.len.count1Off, &n, 4);
    if (s.genOff != CONT_CMD__NO_OFFSET)
        memcpy(rec.data() + s.genOff, &gen, 2);
    const uint32_t flag = bFlag ? 1 : 0;
    if (s.flagOff != CONT_CMD__NO_OFFSET)
        memcpy(rec.data() + s.flagOff, &flag, 4);
    const int64_t size = (int64_t)rec.size() + delta;
    rec.resize(size > 0 ? (size_t)size : 0);
    return rec;
}

bool cmdTest_IsFreeBeforeAttach(uint32_t type)
{
    return type == TGT_MSG_TYPE__GET_VER || type == TGT_MSG_TYPE__ADD_OSTREL || type == TGT_MSG_TYPE__GET_TGT_PROP;
}

bool cmdTest_HasChecks(const ContCmdSpec &s)
{
    return s.kind == CONT_CMD_KIND__HANDLED && s.checks != 0;
}

// What a command of this type answers when its record is right but the cycle state is not: the
// reconfiguration checks come first (70).
bool cmdTest_ChecksReconf(const ContCmdSpec &s)
{
    return (s.checks & (CONT_CMD_CHECK__NOT_RECONF | CONT_CMD_CHECK__FLAG | CONT_CMD_CHECK__IN_RECONF)) != 0;
}

TEST_F(PellarCmd, AdmissionMatrixFromTheCommandTable)
{
    const auto specs = contCmd_Specs();
    // Before the attach: only the version, the properties and the attach itself.
    for (const ContCmdSpec &s : specs) {
        if (s.type == TGT_MSG_TYPE__ADD_OSTREL)
            continue;
        EXPECT_EQ(ostrel_.Command(s.type, 0, cmdTest_Record(s, kGen, false)),
                  cmdTest_IsFreeBeforeAttach(s.type) ? MOS_RC__SUCCESS : MOS_RC__WRONG_RECONF_MODE)
            << s.pName;
    }
    EXPECT_EQ(ostrel_.Command(TGT_MSG_TYPE__CLEAN_UP, 0, {0, 0}), MOS_RC__WRONG_RECONF_MODE);
    EXPECT_EQ(ostrel_.Request(TGT_MSG_TYPE__REM_DEV, 20, {std::vector<uint8_t>(7)}), MOS_RC__INTERFACE_ERROR)
        << "a payload shorter than the addressed id";
    ASSERT_EQ(ostrel_.Attach({.generation = kGen}), MOS_RC__SUCCESS) << p_->traces();

    for (const ContCmdSpec &s : specs) {
        SCOPED_TRACE(s.pName);
        if (cmdTest_IsFreeBeforeAttach(s.type))
            continue;
        EXPECT_EQ(ostrel_.Command(s.type, 0x99, cmdTest_Record(s, kGen, false)), MOS_RC__WRONG_TGT_ID);
        if (s.kind == CONT_CMD_KIND__DEPRECATED) {
            EXPECT_EQ(ostrel_.Command(s.type, 0, {}), MOS_RC__DEPRECATED_MSG);
            continue;
        }
        if (!s.len.bAnyLen) {
            if (s.len.head > 0) {
                EXPECT_EQ(ostrel_.Command(s.type, 0, cmdTest_Record(s, kGen, false, -1)), MOS_RC__INTERFACE_ERROR);
            }
            if (!s.len.bAtLeast) {
                EXPECT_EQ(ostrel_.Command(s.type, 0, cmdTest_Record(s, kGen, false, 1)), MOS_RC__INTERFACE_ERROR);
            }
        }
        // No cycle seen yet: every command that tests the cycle state is refused.
        if (cmdTest_HasChecks(s) && cmdTest_ChecksReconf(s)) {
            EXPECT_EQ(ostrel_.Command(s.type, 0, cmdTest_Record(s, kGen, false)), MOS_RC__WRONG_RECONF_MODE);
        }
    }
    EXPECT_EQ(ostrel_.Command(2100, 0, {}), MOS_RC__UNKNOWN_MSG);
    EXPECT_EQ(ostrel_.Command(TGT_MSG_TYPE__REM_OSTREL, 0, {}), MOS_RC__UNKNOWN_MSG);

    // Inside a cycle: the commands for outside refused, the cycle's own with a stale generation 31.
    ASSERT_EQ(ostrel_.Reconf(true, kGen), MOS_RC__SUCCESS);
    for (const ContCmdSpec &s : specs) {
        SCOPED_TRACE(s.pName);
        if (!cmdTest_HasChecks(s))
            continue;
        if (s.checks & CONT_CMD_CHECK__NOT_RECONF) {
            EXPECT_EQ(ostrel_.Command(s.type, 0, cmdTest_Record(s, kGen, false)), MOS_RC__WRONG_RECONF_MODE);
        }
        if (s.checks & CONT_CMD_CHECK__FLAG) {
            EXPECT_EQ(ostrel_.Command(s.type, 0, cmdTest_Record(s, kGen, false)), MOS_RC__WRONG_RECONF_MODE);
            EXPECT_EQ(ostrel_.Command(s.type, 0, cmdTest_Record(s, kGen + 1, true)), MOS_RC__TGT_WRONG_GEN_NUM);
        }
    }
    EXPECT_EQ(ostrel_.Reconf(true, kGen + 1), MOS_RC__TGT_WRONG_GEN_NUM);
    EXPECT_EQ(ostrel_.Reconf(false, kGen + 1), MOS_RC__TGT_WRONG_GEN_NUM);
    EXPECT_EQ(ostrel_.Reconf(true, kGen), MOS_RC__SUCCESS) << "a second start inside a cycle";
    ASSERT_EQ(ostrel_.Reconf(false, kGen), MOS_RC__SUCCESS);
    EXPECT_EQ(ostrel_.Reconf(false, kGen), MOS_RC__WRONG_RECONF_MODE) << "done outside a cycle";

    // Outside the cycle: the cycle's commands refused, a stale generation 31.
    for (const ContCmdSpec &s : specs) {
        SCOPED_TRACE(s.pName);
        if (!cmdTest_HasChecks(s))
            continue;
        if (s.checks & CONT_CMD_CHECK__FLAG) {
            EXPECT_EQ(ostrel_.Command(s.type, 0, cmdTest_Record(s, kGen, true)), MOS_RC__WRONG_RECONF_MODE);
        }
        if ((s.checks & CONT_CMD_CHECK__GEN) && !(s.checks & CONT_CMD_CHECK__IN_RECONF)) {
            EXPECT_EQ(ostrel_.Command(s.type, 0, cmdTest_Record(s, kGen + 1, false)), MOS_RC__TGT_WRONG_GEN_NUM);
        }
    }
    // A type the table lists without a handler yet passes every check and answers 46.
    for (const ContCmdSpec &s : contCmd_Specs())
        if (s.kind == CONT_CMD_KIND__HANDLED && s.pHandler == nullptr &&
            s.checks == (CONT_CMD_CHECK__GEN | CONT_CMD_CHECK__NOT_RECONF)) {
            EXPECT_EQ(ostrel_.Command(s.type, 0, cmdTest_Record(s, kGen, false)), MOS_RC__UNKNOWN_MSG) << s.pName;
            break;
        }
}

// The volume trees the pellar holds, by id, in its answer's order.
std::vector<uint64_t> cmdTest_Vtrees(OstrelSim &ostrel)
{
    std::vector<uint8_t> ans;
    std::vector<uint64_t> ids;
    if (ostrel.Command(TGT_MSG_TYPE__QUERY_ALL_VTREES_SIZE, 0, {}, &ans) != MOS_RC__SUCCESS || ans.size() < 8)
        return {UINT64_MAX};
    uint32_t count, size;
    memcpy(&count, ans.data(), 4);
    memcpy(&size, ans.data() + 4, 4);
    for (uint32_t i = 0; i < count && 8 + (i + 1) * size <= ans.size(); i++) {
        uint64_t id;
        memcpy(&id, ans.data() + 8 + i * size, 8);
        ids.push_back(id);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

using Ids = std::vector<uint64_t>;

// The traces are written behind the server's work: wait until the line shows (or give up).
bool cmdTest_WaitTrace(const PellarProcess &p, const std::string &text)
{
    for (int i = 0; i < 600; i++) {
        if (p.traces().find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

TEST_F(PellarCmd, ACycleAddsAndSweepsEachKindAndOneBadElementSparesTheRest)
{
    std::vector<uint8_t> answer;
    ASSERT_EQ(ostrel_.Attach({.generation = kGen}, &answer), MOS_RC__SUCCESS);
    ASSERT_EQ(answer.size(), 16u);
    EXPECT_EQ(answer[12], 1u) << "no cycle since the start";

    ASSERT_EQ(ostrel_.Reconf(true), MOS_RC__SUCCESS);
    std::vector<uint8_t> notABool = OstrelSim::Vtree(4);
    notABool[20] = 2; // bThin
    EXPECT_EQ(ostrel_.Group(2023, {OstrelSim::Vtree(1), OstrelSim::Vtree(0), notABool, OstrelSim::Vtree(2)}, true),
              MOS_RC__ERROR);
    EXPECT_EQ(ostrel_.AddVols({OstrelSim::Vol(10, 1, 1), OstrelSim::Vol(12, 0, 1), OstrelSim::Vol(11, 2, 1)}, true),
              MOS_RC__ERROR);
    EXPECT_EQ(ostrel_.Group(2040, {OstrelSim::Head(5, 1), OstrelSim::Head(6, 1)}, true), MOS_RC__SUCCESS);
    ASSERT_EQ(ostrel_.Reconf(false), MOS_RC__SUCCESS);
    EXPECT_EQ(cmdTest_Vtrees(ostrel_), (Ids{1, 2}));

    // The next cycle lists fewer objects: the rest goes, what is listed stays.
    ASSERT_EQ(ostrel_.Reconf(true), MOS_RC__SUCCESS);
    EXPECT_EQ(ostrel_.Group(2023, {OstrelSim::Vtree(2)}, true), MOS_RC__SUCCESS);
    EXPECT_EQ(ostrel_.AddVols({OstrelSim::Vol(11, 2, 1)}, true), MOS_RC__SUCCESS);
    EXPECT_EQ(ostrel_.Group(2040, {OstrelSim::Head(6, 1)}, true), MOS_RC__SUCCESS);
    ASSERT_EQ(ostrel_.Reconf(false), MOS_RC__SUCCESS);
    EXPECT_EQ(cmdTest_Vtrees(ostrel_), (Ids{2}));
    EXPECT_TRUE(cmdTest_WaitTrace(*p_, "Removed object a of kind 5")) << "volume 10";
    EXPECT_TRUE(cmdTest_WaitTrace(*p_, "Removed object 5 of kind 7")) << "head 5";
    const std::string traces = p_->traces();
    EXPECT_EQ(traces.find("Removed object b of kind 5"), std::string::npos) << "volume 11 was listed";
    EXPECT_EQ(traces.find("Removed object 6 of kind 7"), std::string::npos) << "head 6 was listed";

    // Outside a cycle a group only adds; an empty one is refused while lengths are exact.
    EXPECT_EQ(ostrel_.Group(2023, {OstrelSim::Vtree(3)}, false), MOS_RC__SUCCESS);
    EXPECT_EQ(ostrel_.Group(2023, {}, false), MOS_RC__INTERFACE_ERROR);
    EXPECT_EQ(cmdTest_Vtrees(ostrel_), (Ids{2, 3}));

    // An empty cycle removes every object of the kinds it lists.
    ASSERT_EQ(ostrel_.Reconf(true), MOS_RC__SUCCESS);
    EXPECT_EQ(ostrel_.AddVols({}, true), MOS_RC__SUCCESS);
    EXPECT_EQ(ostrel_.Group(2023, {}, true), MOS_RC__SUCCESS);
    ASSERT_EQ(ostrel_.Reconf(false), MOS_RC__SUCCESS);
    EXPECT_EQ(cmdTest_Vtrees(ostrel_), (Ids{}));

    // The flash cache answers its query from its own state: no cache devices.
    std::vector<uint8_t> query;
    EXPECT_EQ(ostrel_.Command(TGT_MSG_TYPE__FLCACHE_QUERY, 0, {1, 0, 0, 0, 0, 0}, &query), MOS_RC__SUCCESS);
    ASSERT_EQ(query.size(), 1304u);
    EXPECT_EQ(query[16], 0u); // numCacheDevs

    // A cycle has been seen: the server is no longer one after a restart.
    ASSERT_EQ(ostrel_.Attach({.generation = kGen}, &answer), MOS_RC__ALREADY_EXISTS);
    EXPECT_EQ(answer[12], 0u);
}

TEST_F(PellarCmd, GenerationsWrapCombSizeChangesOnceAndCleanUpForgetsTheOstrel)
{
    EXPECT_EQ(ostrel_.Command(TGT_MSG_TYPE__CLEAN_UP, 0, {0, 0}), MOS_RC__WRONG_RECONF_MODE);
    EXPECT_EQ(ostrel_.Attach({.generation = 1, .combSizeInLbs = 1000}), MOS_RC__INVALID) << "not whole teeth";
    EXPECT_EQ(ostrel_.Attach({.generation = 1, .combSizeInLbs = 0}), MOS_RC__INVALID);
    ASSERT_EQ(ostrel_.Attach({.generation = 65535, .combSizeInLbs = 8388608}), MOS_RC__SUCCESS);
    EXPECT_EQ(ostrel_.Attach({.generation = 65534, .combSizeInLbs = 8388608}), MOS_RC__ERROR) << "older";
    EXPECT_EQ(ostrel_.Attach({.generation = 1, .combSizeInLbs = 8388608}), MOS_RC__ALREADY_EXISTS) << "wrapped: newer";
    EXPECT_EQ(ostrel_.Attach({.generation = 2, .combSizeInLbs = 4194304}), MOS_RC__INVALID) << "a second size";
    EXPECT_EQ(ostrel_.Reconf(true, 65535), MOS_RC__TGT_WRONG_GEN_NUM);
    ASSERT_EQ(ostrel_.Reconf(true, 1), MOS_RC__SUCCESS);
    EXPECT_EQ(ostrel_.Group(2023, {OstrelSim::Vtree(7)}, true, 1), MOS_RC__SUCCESS);
    ASSERT_EQ(ostrel_.Reconf(false, 1), MOS_RC__SUCCESS);
    EXPECT_EQ(cmdTest_Vtrees(ostrel_), (Ids{7}));

    // Clean-up empties every set and forgets the Ostrel; commands wait for a new attach.
    EXPECT_EQ(ostrel_.Command(TGT_MSG_TYPE__CLEAN_UP, 0, {0, 0}), MOS_RC__SUCCESS);
    EXPECT_TRUE(cmdTest_WaitTrace(*p_, "Removed object 7 of kind 4"));
    EXPECT_EQ(ostrel_.Command(TGT_MSG_TYPE__QUERY_ALL_VTREES_SIZE, 0, {}), MOS_RC__WRONG_RECONF_MODE);
    EXPECT_EQ(ostrel_.Command(TGT_MSG_TYPE__CLEAN_UP, 0, {0, 0}), MOS_RC__WRONG_RECONF_MODE);
    ASSERT_EQ(ostrel_.Attach({.generation = 3, .combSizeInLbs = 8388608}), MOS_RC__SUCCESS);
    EXPECT_EQ(cmdTest_Vtrees(ostrel_), (Ids{}));
}

// The server's own start values with the changes asked for.
std::vector<uint8_t> cmdTest_PerfRecord(uint32_t recvKb, uint16_t clientThreads, uint8_t netWorkers,
                                        uint16_t copyThreads = 164)
{
    std::vector<uint8_t> rec(42, 0);
    auto put = [&](size_t off, uint64_t v, size_t n) { memcpy(rec.data() + off, &v, n); };
    put(0, 1, 1);        // sockets per peer address
    put(2, 5000, 4);     // keep-alive
    put(6, netWorkers, 1);
    put(7, recvKb, 4);
    put(15, 8, 4);       // in flight per file
    put(19, clientThreads, 2);
    put(21, 100, 2);     // peer I/O threads
    put(23, copyThreads, 2);
    put(25, 164, 2);     // copy pool
    put(27, 4, 1);       // OS threads
    put(28, 2, 1);       // I/O buffers
    put(31, 1000, 2);    // receive-buffer wait
    put(40, kGen, 2);
    return rec;
}

TEST_F(PellarCmd, PerformanceParametersCorrectSocketBuffersAndResizeThreads)
{
    ASSERT_EQ(ostrel_.Attach({.generation = kGen}), MOS_RC__SUCCESS);
    ASSERT_EQ(ostrel_.Reconf(true), MOS_RC__SUCCESS);
    ASSERT_EQ(ostrel_.Reconf(false), MOS_RC__SUCCESS);
    EXPECT_EQ(ostrel_.Command(TGT_MSG_TYPE__UPDATE_PERF_PARAMS, 0, cmdTest_PerfRecord(32, 100, 4, 165)),
              MOS_RC__INVALID_PERFORMANCE_PARAMETER);
    EXPECT_EQ(ostrel_.Command(TGT_MSG_TYPE__UPDATE_PERF_PARAMS, 0, cmdTest_PerfRecord(32, 100, 8)),
              MOS_RC__INVALID_PERFORMANCE_PARAMETER)
        << "8 network workers on 4 OS threads";
    // Fewer network workers and more client threads, then back: each answers at once or, while the
    // previous thread change still runs, 416 after its other values were applied.
    const Mos_RC first = ostrel_.Command(TGT_MSG_TYPE__UPDATE_PERF_PARAMS, 0, cmdTest_PerfRecord(32, 120, 2));
    EXPECT_EQ(first, MOS_RC__SUCCESS);
    EXPECT_TRUE(cmdTest_WaitTrace(*p_, "Change pPerfParams->recvBufferInKb to 64"));
    EXPECT_TRUE(cmdTest_WaitTrace(*p_, "Re-Configuring UMT resources completed"));
    const Mos_RC second = ostrel_.Command(TGT_MSG_TYPE__UPDATE_PERF_PARAMS, 0, cmdTest_PerfRecord(0, 100, 4));
    EXPECT_TRUE(second == MOS_RC__SUCCESS || second == MOS_RC__UMT_NUM_UPDATE_IS_STUCK) << second;
    EXPECT_TRUE(cmdTest_WaitTrace(*p_, "Change pPerfParams->recvBufferInKb to 128"));
    // The server still serves its Ostrel.
    EXPECT_EQ(ostrel_.Command(TGT_MSG_TYPE__QUERY_ALL_VTREES_SIZE, 0, {}), MOS_RC__SUCCESS);
}

// Combs on one device, known to it (not new), with neither role nor partner.
std::vector<OstrelTgtReq_AddComb> cmdTest_Combs(uint64_t devId, const std::vector<uint64_t> &combIds)
{
    std::vector<OstrelTgtReq_AddComb> combs;
    for (uint64_t id : combIds) {
        combs.push_back(simComb_Comb(devId, id));
        combs.back().bNew = 0;
    }
    return combs;
}

// Devices of 2 GB are enough for these tests.
class PellarCmdDev : public PellarCmd {
  protected:
    std::string Keys() const override { return "tgt_dev__min_capacity_in_lbs 4194304\n"; }
};

TEST_F(PellarCmdDev, CyclesKeepListedDevicesAndCombsAndAnEmptyCycleRemovesThem)
{
    const std::string dev = dir_.file("dev0");
    {
        std::ofstream f(dev);
    }
    std::filesystem::resize_file(dev, (2ull << 30) + (64ull << 20));
    ASSERT_EQ(ostrel_.Attach({.generation = kGen}), MOS_RC__SUCCESS);
    ASSERT_EQ(ostrel_.Reconf(true), MOS_RC__SUCCESS);
    Mos_RC rc = MOS_RC__ERROR;
    std::vector<OstrelSim::DevAnswer> ans =
        ostrel_.AddDevs({simComb_Dev(0x51, dev, true), simComb_Dev(0, dev, true)}, true, &rc);
    EXPECT_EQ(rc, MOS_RC__SUCCESS);
    ASSERT_EQ(ans.size(), 2u);
    EXPECT_EQ(ans[0].devId, 0x51u);
    EXPECT_EQ(ans[0].specRc, (uint32_t)MOS_RC__SUCCESS) << p_->traces();
    EXPECT_GT(ans[0].teeth, 0u);
    EXPECT_EQ(ans[1].specRc, (uint32_t)MOS_RC__INVALID) << "an id of 0";
    ASSERT_EQ(ostrel_.Reconf(false), MOS_RC__SUCCESS);

    // The next cycle lists it again (known now) with a comb: both stay.
    ASSERT_EQ(ostrel_.Reconf(true), MOS_RC__SUCCESS);
    ans = ostrel_.AddDevs({simComb_Dev(0x51, dev, false)}, true, &rc);
    EXPECT_EQ(rc, MOS_RC__SUCCESS);
    ASSERT_EQ(ans.size(), 1u);
    EXPECT_EQ(ans[0].specRc, (uint32_t)MOS_RC__ALREADY_EXISTS);
    EXPECT_EQ(ostrel_.AddCombs(cmdTest_Combs(0x51, {0x10000, 0}), true), MOS_RC__ERROR) << "a comb id of 0";
    ASSERT_EQ(ostrel_.Reconf(false), MOS_RC__SUCCESS);
    EXPECT_EQ(ostrel_.AddCombs(cmdTest_Combs(0x51, {0x10000, 0x10001}), false), MOS_RC__INVALID)
        << "two combs outside a cycle";

    // A cycle that lists the comb again keeps it: nothing is removed by the sweep.
    ASSERT_EQ(ostrel_.Reconf(true), MOS_RC__SUCCESS);
    ans = ostrel_.AddDevs({simComb_Dev(0x51, dev, false)}, true, &rc);
    EXPECT_EQ(ostrel_.AddCombs(cmdTest_Combs(0x51, {0x10000}), true), MOS_RC__SUCCESS) << p_->traces();
    ASSERT_EQ(ostrel_.Reconf(false), MOS_RC__SUCCESS);
    EXPECT_TRUE(cmdTest_WaitTrace(*p_, "Add Comb: kept 1, removed 0"));
    ASSERT_EQ(ostrel_.Reconf(true), MOS_RC__SUCCESS);
    EXPECT_EQ(ostrel_.AddCombs(cmdTest_Combs(0x51, {}), true), MOS_RC__SUCCESS);
    EXPECT_TRUE(cmdTest_WaitTrace(*p_, "Add Comb: kept 0, removed 1"));
    ASSERT_EQ(ostrel_.Reconf(false), MOS_RC__SUCCESS);

    // An empty cycle removes it: listed again, it is added as a device of its own, not found known.
    ASSERT_EQ(ostrel_.Reconf(true), MOS_RC__SUCCESS);
    ans = ostrel_.AddDevs({}, true, &rc);
    EXPECT_EQ(rc, MOS_RC__SUCCESS);
    ASSERT_EQ(ostrel_.Reconf(false), MOS_RC__SUCCESS);
    ans = ostrel_.AddDevs({simComb_Dev(0x51, dev, true)}, false, &rc);
    EXPECT_EQ(rc, MOS_RC__SUCCESS);
    ASSERT_EQ(ans.size(), 1u);
    EXPECT_EQ(ans[0].specRc, (uint32_t)MOS_RC__SUCCESS) << "removed by the empty cycle, so added anew";
    EXPECT_EQ(ostrel_.Command(TGT_MSG_TYPE__CLEAN_UP, 0, {0, 0}), MOS_RC__SUCCESS) << p_->traces();
}

// Devices of 2 GB that are not taken over when their header names another device of this server.
class PellarCmdSingle : public PellarCmd {
  protected:
    std::string Keys() const override
    {
        return "tgt_dev__min_capacity_in_lbs 4194304\ntgt_dev__always_force_device_takeover 0\n";
    }
    std::string Device(const std::string &name)
    {
        const std::string path = dir_.file(name);
        {
            std::ofstream f(path);
        }
        std::filesystem::resize_file(path, (2ull << 30) + (64ull << 20));
        return path;
    }
    Mos_RC Remove(uint32_t type, uint64_t id)
    {
        std::vector<uint8_t> rec(10);
        memcpy(rec.data(), &id, 8);
        memcpy(rec.data() + 8, &kGen, 2);
        return ostrel_.Command(type, 0, rec);
    }
};

// A new device whose header already names this server and the same id is answered 515 and leaves
// nothing registered; a comb on a missing device is refused; single removals answer 65 once, then 3.
TEST_F(PellarCmdSingle, RefusedAddsLeaveNothingAndSingleRemovalsTakeOneObject)
{
    const std::string dev = Device("dev0"), ours = Device("ours");
    tgtTest_WriteHeader(ours, 0x11, 0x52);
    ASSERT_EQ(ostrel_.Attach({.generation = kGen}), MOS_RC__SUCCESS);
    ASSERT_EQ(ostrel_.Reconf(true), MOS_RC__SUCCESS);
    ASSERT_EQ(ostrel_.Reconf(false), MOS_RC__SUCCESS);
    Mos_RC rc = MOS_RC__ERROR;
    const std::vector<OstrelSim::DevAnswer> ans =
        ostrel_.AddDevs({simComb_Dev(0x51, dev, true), simComb_Dev(0x52, ours, true)}, false, &rc);
    EXPECT_EQ(rc, MOS_RC__SUCCESS);
    ASSERT_EQ(ans.size(), 2u);
    EXPECT_EQ(ans[0].specRc, (uint32_t)MOS_RC__SUCCESS) << p_->traces();
    EXPECT_EQ(ans[1].specRc, (uint32_t)MOS_RC__DEV_ALREADY_TAKEN_BY_ANOTHER);
    EXPECT_EQ(Remove(TGT_MSG_TYPE__REM_DEV, 0x52), MOS_RC__NOT_FOUND) << "rolled back";
    EXPECT_EQ(tgtTest_ReadHeader(ours).devId, 0x52u) << "the refused device is left as it was";

    EXPECT_EQ(ostrel_.AddCombs(cmdTest_Combs(0xBAD, {0x10000}), false), MOS_RC__ERROR) << "no such device";
    EXPECT_EQ(Remove(TGT_MSG_TYPE__REM_COMB, 0x10000), MOS_RC__NOT_FOUND);
    ASSERT_EQ(ostrel_.AddCombs(cmdTest_Combs(0x51, {0x10000}), false), MOS_RC__SUCCESS) << p_->traces();
    for (const auto &[type, id] : {std::pair{TGT_MSG_TYPE__REM_COMB, 0x10000}, std::pair{TGT_MSG_TYPE__REM_DEV, 0x51}}) {
        EXPECT_EQ(Remove(type, id), MOS_RC__SUCCESS) << type << p_->traces();
        EXPECT_EQ(Remove(type, id), MOS_RC__NOT_FOUND) << type;
    }
}

} // namespace
