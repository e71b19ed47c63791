// The comb role and migration commands through the command door of an in-process controller
// that holds one device (a sparse file) and a few combs: what is answered, what answer record
// comes with it, and what each command leaves of the comb's role, states and I/O generation.
#include <gtest/gtest.h>

#include "test/peers/sim_comb_cmds.h"
#include "test/support/cont_cmd_rig.h"
#include "test/support/cont_dev_rig.h"
#include "test/support/scratch_dir.h"
#include "test/support/tgt_test_support.h"
#include "tgt/cont/cont_cmd.h"
#include "tgt/cont/cont_comb.h"
#include "tgt/cont/cont_dev.h"
#include "tgt/phy/phy_layout.h"

namespace {

class ContCmdRuntimeEnv : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_TRUE(ContCmdRig::initRuntime()); }
};
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new ContCmdRuntimeEnv);

constexpr UINT16 kGen = 3;
constexpr UINT64 kDev = 0xD1;
// The combs of the cycle, one per test so that none sees another's changes.
constexpr CombId kRepeat = 0x8000, kRefuse = 0x10000, kCopy = 0x18000, kDirtyA = 0x20000, kDirtyB = 0x28000,
                 kOdd = 0x30000, kFree = 0x38000, kRoleInCycle = 0x40000, kRoleOutside = 0x48000;

struct CombView {
    UINT32 role;
    UINT32 mirrorState;
    CombGenNum gen;
    UINT16 cmdGen;
};

CombView combView(CombId id)
{
    CombView v{};
    ContCmdRig::run([&] {
        auto *p = static_cast<ContComb *>(contObj_Acquire(&cont_g.objs, id, CONT_OBJ_TYPE__COMB));
        EXPECT_NE(p, nullptr) << std::hex << id;
        if (p == nullptr)
            return;
        raidComb_LockComb(&p->raidComb);
        v = {p->raidComb.combState, p->raidComb.pRebuild->combRaidState, p->raidComb.combGenNum,
             p->raidComb.tgtCombCmdGenNum};
        raidComb_UnlockComb(&p->raidComb);
        contObj_Release(&cont_g.objs, id, CONT_OBJ_TYPE__COMB);
    });
    return v;
}

Mos_RC setState(const OstrelTgtReq_SetCombState &r, std::vector<UINT8> *pAnswer = nullptr)
{
    return ContCmdRig::send(TGT_MSG_TYPE__SET_COMB_STATE, 0, simComb_Bytes(r), pAnswer);
}

// One device and the combs above, added in a cycle; the cycle is closed again.
class ContCmdCombState : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        ContCmdRig::buildController();
        if (!cont_g.elock.bInitialized)
            ContCmdRig::run([] { cont_InitEnd(&cont_g); });
        tgtInitParam_G.phyDevMinCapacityInLbs = 4194304 - 4096;
        dir_ = new ScratchDir();
        const std::string path = tgtTest_MakeSparseFile(*dir_, "dev", 2 * GB_IN_LBS * 512 + (64ull << 20));
        ContCmdRig::adopt(kGen, TRUE);
        // Added as the device command adds one, without the command's delayed metadata zeroing:
        // its thread would sleep through the end of the process.
        ContDevAddArgs a = contDevTest_AddArgs(kDev, path.c_str(), TRUE);
        Mos_RC rc = MOS_RC__ERROR;
        UINT32 maxCombs = 0;
        UINT64 teeth = 0;
        BOOL bZero = FALSE;
        ContCmdRig::run([&] { rc = contDev_AddOne(&cont_g, &a, &maxCombs, &teeth, &bZero); });
        ASSERT_EQ(rc, MOS_RC__SUCCESS);
        std::vector<OstrelTgtReq_AddComb> combs;
        for (CombId id : {kRepeat, kRefuse, kCopy, kDirtyA, kDirtyB, kOdd, kFree, kRoleOutside})
            combs.push_back(simComb_Comb(kDev, id, 0, 5));
        combs.push_back(simComb_SinglePrimaryComb(kDev, kRoleInCycle, 4, 5));
        ASSERT_EQ(ContCmdRig::send(TGT_MSG_TYPE__ADD_COMB, 0, simComb_AddCombArr(combs, true, kGen)), MOS_RC__SUCCESS);
        ContCmdRig::adopt(kGen, FALSE);
    }
    // Clean-up empties the controller again: no device or comb outlives the suite.
    static void TearDownTestSuite()
    {
        EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__CLEAN_UP, 0, {0, 0}), MOS_RC__SUCCESS);
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override { ContCmdRig::adopt(kGen, FALSE); }
    static ScratchDir *dir_;
};
ScratchDir *ContCmdCombState::dir_ = nullptr;

// The comb group's element carries the role: a new comb is added read-only, found to need a
// change, and set read-write; outside a cycle the single element is set at once.
TEST_F(ContCmdCombState, AddCombElementsGiveTheirRoles)
{
    CombView v = combView(kRoleInCycle);
    EXPECT_EQ(v.role, (UINT32)COMB_STATE__PRIMARY);
    EXPECT_EQ(v.mirrorState, (UINT32)COMB_RAID_STATE__DEGRADED_REMOTE_ERROR);
    EXPECT_EQ(v.gen, 4u);

    EXPECT_EQ(combView(kRoleOutside).role, (UINT32)COMB_STATE__FREE);
    ASSERT_EQ(ContCmdRig::send(TGT_MSG_TYPE__ADD_COMB, 0,
                               simComb_AddCombArr({simComb_SinglePrimaryComb(kDev, kRoleOutside, 6, 5)}, false, kGen)),
              MOS_RC__SUCCESS);
    v = combView(kRoleOutside);
    EXPECT_EQ(v.role, (UINT32)COMB_STATE__PRIMARY);
    EXPECT_EQ(v.mirrorState, (UINT32)COMB_RAID_STATE__DEGRADED_REMOTE_ERROR);
    EXPECT_EQ(v.gen, 6u);
}

// Applied once, then repeated with a newer generation: 65 both times, no answer record, and the
// repeat moves only the I/O generation.
TEST_F(ContCmdCombState, RepeatAnswersSuccessAndMovesOnlyTheGeneration)
{
    std::vector<UINT8> ans;
    ASSERT_EQ(setState(simComb_SinglePrimary(kRepeat, 5, 5, kGen), &ans), MOS_RC__SUCCESS);
    EXPECT_TRUE(ans.empty());
    const CombView before = combView(kRepeat);
    EXPECT_EQ(before.role, (UINT32)COMB_STATE__PRIMARY);
    EXPECT_EQ(before.gen, 5u);

    ASSERT_EQ(setState(simComb_SinglePrimary(kRepeat, 9, 6, kGen), &ans), MOS_RC__SUCCESS);
    EXPECT_TRUE(ans.empty());
    const CombView after = combView(kRepeat);
    EXPECT_EQ(after.gen, 9u);
    EXPECT_EQ(after.role, before.role);
    EXPECT_EQ(after.mirrorState, before.mirrorState);
}

// A command generation older than the comb's: 60 with the comb's present values; nothing moves.
TEST_F(ContCmdCombState, RefusalCarriesTheAnswerWithPresentValues)
{
    ASSERT_EQ(setState(simComb_SinglePrimary(kRefuse, 5, 8, kGen)), MOS_RC__SUCCESS);
    std::vector<UINT8> ans;
    ASSERT_EQ(setState(simComb_Mirror(kRefuse, COMB_STATE__PRIMARY, 7, 7, kGen), &ans), MOS_RC__WRONG_COMB_CMD_GEN);
    ASSERT_EQ(ans.size(), sizeof(OstrelTgtRsp_SetCombState));
    OstrelTgtRsp_SetCombState rsp;
    memcpy(&rsp, ans.data(), sizeof(rsp));
    // Packed fields are read as values (no reference to an unaligned member).
    EXPECT_EQ(+rsp.curState, (UINT32)COMB_STATE__PRIMARY);
    EXPECT_EQ(+rsp.curRaidState, (UINT32)COMB_RAID_STATE__DEGRADED_REMOTE_ERROR);
    EXPECT_EQ(+rsp.curPrimaryTgtGenNum, 5u);
    EXPECT_EQ(+rsp.curTgtCombCmdGenNum, 8u);
    EXPECT_EQ(+rsp.raidType, (UINT32)RAID_PROT_TYPE__SECONDARY);
    EXPECT_EQ(combView(kRefuse).gen, 5u);
}

// A copy already running (7): the rest of the command is applied and answered with the record,
// but the I/O generation stays.
TEST_F(ContCmdCombState, CopyAlreadyRunningKeepsTheGeneration)
{
    ASSERT_EQ(setState(simComb_Mirror(kCopy, COMB_STATE__SECONDARY, 2, 5, kGen)), MOS_RC__SUCCESS);
    // A copy of the mirror partnership under way, as a resync job would hold it.
    auto copyRunning = [](UINT32 state) {
        ContCmdRig::run([&] {
            auto *p = static_cast<ContComb *>(contObj_Acquire(&cont_g.objs, kCopy, CONT_OBJ_TYPE__COMB));
            ASSERT_NE(p, nullptr);
            raidComb_LockComb(&p->raidComb);
            p->raidComb.pRebuild->combRaidState = state;
            p->raidComb.pRebuild->bAbortCopy = FALSE;
            raidComb_UnlockComb(&p->raidComb);
            contObj_Release(&cont_g.objs, kCopy, CONT_OBJ_TYPE__COMB);
        });
    };
    copyRunning(COMB_RAID_STATE__COPY);
    std::vector<UINT8> ans;
    EXPECT_EQ(setState(simComb_SetState(kCopy, COMB_STATE__PRIMARY, RAID_PROT_TYPE__SECONDARY, COMB_RAID_STATE__COPY,
                                        3, 5, kGen),
                       &ans),
              MOS_RC__ALREADY_EXISTS);
    EXPECT_EQ(ans.size(), sizeof(OstrelTgtRsp_SetCombState));
    const CombView v = combView(kCopy);
    EXPECT_EQ(v.role, (UINT32)COMB_STATE__PRIMARY);
    EXPECT_EQ(v.gen, 2u);
    copyRunning(COMB_RAID_STATE__NORMAL); // no job owns it
}

// Input the mirroring part must not see is refused with MOS_RC__INVALID and no answer record,
// and changes nothing; unknown combs answer 3.
TEST_F(ContCmdCombState, BadRequestsAreRefusedAndChangeNothing)
{
    ASSERT_EQ(setState(simComb_SinglePrimary(kOdd, 10, 5, kGen)), MOS_RC__SUCCESS);
    const CombView odd = combView(kOdd);
    struct Case {
        const char *what;
        OstrelTgtReq_SetCombState rec;
        Mos_RC rc;
        CombId comb;
    };
    const Case cases[] = {
        {"role FREE", simComb_SetState(kOdd, COMB_STATE__FREE, RAID_PROT_TYPE__SECONDARY, COMB_RAID_STATE__NORMAL, 11, 6, kGen), MOS_RC__INVALID, kOdd},
        {"role pending", simComb_SetState(kOdd, COMB_STATE__PRIMARY_PENDING, RAID_PROT_TYPE__NONE, 0, 11, 6, kGen), MOS_RC__INVALID, kOdd},
        {"role out of range", simComb_SetState(kOdd, 77, RAID_PROT_TYPE__NONE, 0, 11, 6, kGen), MOS_RC__INVALID, kOdd},
        {"type MIGRATE", simComb_SetState(kOdd, COMB_STATE__PRIMARY, RAID_PROT_TYPE__MIGRATE, COMB_RAID_STATE__NORMAL, 11, 6, kGen), MOS_RC__INVALID, kOdd},
        {"type out of range", simComb_SetState(kOdd, COMB_STATE__PRIMARY, 9, COMB_RAID_STATE__NORMAL, 11, 6, kGen), MOS_RC__INVALID, kOdd},
        {"older I/O generation", simComb_SinglePrimary(kOdd, 9, 6, kGen), MOS_RC__INVALID, kOdd},
        {"wrapped-back I/O generation", simComb_SinglePrimary(kOdd, 10 + (1ull << 63) + 1, 6, kGen), MOS_RC__INVALID, kOdd},
        {"refused while FREE", simComb_SinglePrimary(kFree, 1, 4, kGen), MOS_RC__INVALID, kFree},
        {"unknown comb", simComb_SinglePrimary(0x77777, 1, 1, kGen), MOS_RC__NOT_FOUND, 0},
    };
    for (const Case &c : cases) {
        std::vector<UINT8> ans;
        EXPECT_EQ(setState(c.rec, &ans), c.rc) << c.what;
        EXPECT_TRUE(ans.empty()) << c.what;
    }
    const CombView after = combView(kOdd);
    EXPECT_EQ(after.role, odd.role);
    EXPECT_EQ(after.mirrorState, odd.mirrorState);
    EXPECT_EQ(after.gen, odd.gen);
    EXPECT_EQ(after.cmdGen, odd.cmdGen);
    EXPECT_EQ(combView(kFree).role, (UINT32)COMB_STATE__FREE);

    // The migration commands of an unknown comb.
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__START_MIGRATE, 0,
                               simComb_Bytes(simComb_StartMigrate(0x77777, 1, 0x99, 1, 1, 1, kGen))),
              MOS_RC__NOT_FOUND);
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__ABORT_MIGRATE, 0, simComb_Bytes(simComb_AbortMigrate(0x77777, 1, 1, kGen))),
              MOS_RC__NOT_FOUND);
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__END_MIGRATE, 0,
                               simComb_Bytes(simComb_EndMigrate(0x77777, 0x99, 0x98, 1, 1, 1, kGen))),
              MOS_RC__NOT_FOUND);
}

// Unknown combs leave no entry; the others keep their order.
TEST_F(ContCmdCombState, DirtyInfoLeavesOutUnknownCombs)
{
    std::vector<UINT8> ans;
    ASSERT_EQ(ContCmdRig::send(TGT_MSG_TYPE__GET_DIRTY_INFO, 0,
                               simComb_GetDirtyInfo({kDirtyA, 0x77777, kDirtyB}, 0x4242, 9, kGen), &ans),
              MOS_RC__SUCCESS);
    ASSERT_EQ(ans.size(), 26u + 32u);
    OstrelTgtRsp_GetDirtyInfo head{};
    const auto entries = simComb_DirtyEntries(ans, &head);
    EXPECT_EQ(+head.destTgtID, 0x4242u);
    EXPECT_EQ(+head.destOstrelTgtConnectionGenNum, 9u);
    EXPECT_EQ(+head.numCombs, 2u);
    EXPECT_EQ(+head.combInfoStructSize, 16u);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(+entries[0].combId, kDirtyA);
    EXPECT_EQ(+entries[1].combId, kDirtyB);

    // A count that runs past the payload, whatever the length rule allows.
    for (BOOL bAllow : {TRUE, FALSE}) {
        const BOOL saved = tgtInitParam_G.bAllowDifferentRequestLen;
        tgtInitParam_G.bAllowDifferentRequestLen = bAllow;
        std::vector<UINT8> rec = simComb_GetDirtyInfo({kDirtyA, kDirtyB}, 0, 0, kGen);
        rec.resize(rec.size() - 8);
        EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__GET_DIRTY_INFO, 0, rec, &ans), MOS_RC__INTERFACE_ERROR) << bAllow;
        EXPECT_TRUE(ans.empty());
        tgtInitParam_G.bAllowDifferentRequestLen = saved;
    }
}

} // namespace
