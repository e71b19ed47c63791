// The mirroring state machine: command generations, set-state validation and application, write
// errors with the Ostrel's degrade permit, notifications, migration, and the periodic remote reset.
#include <gtest/gtest.h>

#include "test/tgt/raid/raid_fixture.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

class RaidStateTest : public ::testing::Test, public RaidFixture {
  protected:
    void SetUp() override { upRaid(); }
    void TearDown() override { downRaid(); }

    RaidComb_SetStateReq req(UINT32 newState, UINT32 newRaid, UINT32 curRaidMask = COMB_RAID_STATE__UNKNOWN_IN_TGT,
                             UINT16 gen = 11)
    {
        RaidComb_SetStateReq r{};
        r.combId = kComb;
        r.newState = newState;
        r.curState = raid.combState;
        r.primaryTgtGenNum = raid.combGenNum;
        r.tgtCombCmdGenNum = gen;
        r.bSetStateOnly = TRUE;
        r.protState[0] = {FakePartner::kPeer, newRaid, curRaidMask, RAID_PROT_TYPE__SECONDARY};
        return r;
    }
    Mos_RC setState(const RaidComb_SetStateReq &r, OstrelTgtRsp_SetCombState *pRsp = nullptr)
    {
        OstrelTgtRsp_SetCombState rsp{};
        Mos_RC rc = MOS_RC__ERROR;
        dev.run([&] { rc = raidComb_SetState(&raid, &r, &rsp); });
        if (pRsp != nullptr)
            *pRsp = rsp;
        return rc;
    }
};

// 16-bit serial arithmetic: a wrap is newer, half the range behind is older, force takes anything.
TEST_F(RaidStateTest, CommandGenerationIsComparedInSerialArithmetic)
{
    struct Row {
        UINT16 stored, next;
        BOOL bForce;
        Mos_RC rc;
    } rows[] = {
        {0xFFFF, 0x0000, FALSE, MOS_RC__SUCCESS},           {0x0010, 0x0010, FALSE, MOS_RC__SUCCESS},
        {0x0010, 0x800F, FALSE, MOS_RC__SUCCESS},           {0x0010, 0x8010, FALSE, MOS_RC__WRONG_COMB_CMD_GEN},
        {0x0010, 0x000F, FALSE, MOS_RC__WRONG_COMB_CMD_GEN}, {0x0010, 0x000F, TRUE, MOS_RC__SUCCESS},
        {0x8000, 0x0000, FALSE, MOS_RC__WRONG_COMB_CMD_GEN}, {0x7FFF, 0xFFFE, FALSE, MOS_RC__SUCCESS},
    };
    for (const Row &r : rows) {
        raid.tgtCombCmdGenNum = r.stored;
        raidComb_LockComb(&raid);
        EXPECT_EQ(raidComb_ValidateCmdGen(&raid, r.next, r.bForce), r.rc) << std::hex << r.stored << " " << r.next;
        raidComb_UnlockComb(&raid);
        EXPECT_EQ(raid.tgtCombCmdGenNum, r.rc == MOS_RC__SUCCESS ? r.next : r.stored);
    }
}

// Every refusal answers its code with the comb's present values and leaves the comb as it was.
TEST_F(RaidStateTest, SetCombStateRefusalsAnswerTheirCodeAndChangeNothing)
{
    struct Row {
        const char *name;
        UINT32 combState, mirror;
        std::function<void(RaidComb_SetStateReq &)> edit;
        std::function<void(RaidComb &)> prep;
        Mos_RC rc;
    } rows[] = {
        {"older command generation", COMB_STATE__PRIMARY, COMB_RAID_STATE__NORMAL,
         [](auto &r) { r.tgtCombCmdGenNum = 9; }, nullptr, MOS_RC__WRONG_COMB_CMD_GEN},
        {"new role FREE", COMB_STATE__PRIMARY, COMB_RAID_STATE__NORMAL, [](auto &r) { r.newState = COMB_STATE__FREE; },
         nullptr, MOS_RC__WRONG_STATE_TRANS},
        {"entry of unknown type", COMB_STATE__PRIMARY, COMB_RAID_STATE__NORMAL,
         [](auto &r) { r.protState[1].raidType = 7; }, nullptr, MOS_RC__WRONG_STATE_TRANS},
        {"primary asked COPY_DONE", COMB_STATE__PRIMARY, COMB_RAID_STATE__NORMAL,
         [](auto &r) { r.protState[0].newRaidState = COMB_RAID_STATE__COPY_DONE; }, nullptr,
         MOS_RC__WRONG_STATE_TRANS},
        {"degraded straight to NORMAL", COMB_STATE__PRIMARY, COMB_RAID_STATE__DEGRADED_REMOTE_ERROR, nullptr, nullptr,
         MOS_RC__WRONG_STATE_TRANS},
        {"remote-degraded to need-rebuild", COMB_STATE__PRIMARY, COMB_RAID_STATE__DEGRADED_REMOTE_ERROR,
         [](auto &r) { r.protState[0].newRaidState = COMB_RAID_STATE__NORMAL_NEED_REBUILD; }, nullptr,
         MOS_RC__WRONG_STATE_TRANS},
        {"maintenance entry for a secondary", COMB_STATE__SECONDARY, COMB_RAID_STATE__NORMAL,
         [](auto &r) {
             r.newState = COMB_STATE__SECONDARY;
             r.protState[1] = {FakePartner::kPeer2, COMB_RAID_STATE__MM_NORMAL, COMB_RAID_STATE__UNKNOWN_IN_TGT,
                               RAID_PROT_TYPE__MAINTENANCE};
         },
         nullptr, MOS_RC__WRONG_STATE_TRANS},
        {"secondary asked COPY", COMB_STATE__SECONDARY, COMB_RAID_STATE__NORMAL,
         [](auto &r) {
             r.newState = COMB_STATE__SECONDARY;
             r.protState[0].newRaidState = COMB_RAID_STATE__COPY;
         },
         nullptr, MOS_RC__WRONG_STATE_TRANS},
        {"secondary while a rebuild runs", COMB_STATE__PRIMARY, COMB_RAID_STATE__NORMAL,
         [](auto &r) { r.newState = COMB_STATE__SECONDARY; }, [](RaidComb &c) { c.bRebuildRunning = TRUE; },
         MOS_RC__RETRY},
        {"present state not in the Ostrel's mask", COMB_STATE__PRIMARY, COMB_RAID_STATE__NORMAL,
         [](auto &r) { r.protState[0].curRaidState = COMB_RAID_STATE__COPY | COMB_RAID_STATE__COPY_DONE; }, nullptr,
         MOS_RC__WRONG_STATE_TRANS},
        {"maintenance copy with no partner and none to bring", COMB_STATE__PRIMARY, COMB_RAID_STATE__NORMAL,
         [](auto &r) {
             r.bSetStateOnly = TRUE;
             r.protState[1] = {FakePartner::kPeer2, COMB_RAID_STATE__COPY, COMB_RAID_STATE__UNKNOWN_IN_TGT,
                               RAID_PROT_TYPE__MAINTENANCE};
         },
         nullptr, MOS_RC__WRONG_STATE_TRANS},
        {"copy while a migration runs", COMB_STATE__PRIMARY, COMB_RAID_STATE__DEGRADED_REMOTE_ERROR,
         [](auto &r) {
             r.protState[0].newRaidState = COMB_RAID_STATE__COPY;
             r.bForceReconfig = TRUE;
         },
         [](RaidComb &c) {
             raidCombProt_Init(&c.protState[1], &c, FakePartner::kPeer2, COMB_RAID_STATE__COPY,
                               RAID_PROT_TYPE__MIGRATE, COPY_TYPE__MIGRATION, 1, FALSE);
             c.pMigrate = &c.protState[1];
         },
         MOS_RC__WRONG_STATE_TRANS},
    };
    for (const Row &row : rows) {
        raid.combState = row.combState;
        raid.pRebuild->combRaidState = row.mirror;
        raid.bRebuildRunning = FALSE;
        raid.pMigrate = nullptr;
        if (row.prep)
            row.prep(raid);
        RaidComb_SetStateReq r = req(COMB_STATE__PRIMARY, COMB_RAID_STATE__NORMAL);
        if (row.edit)
            row.edit(r);
        UINT16 genBefore = raid.tgtCombCmdGenNum;
        OstrelTgtRsp_SetCombState rsp{};
        EXPECT_EQ(setState(r, &rsp), row.rc) << row.name;
        EXPECT_EQ(raid.combState, row.combState) << row.name;
        EXPECT_EQ(raid.pRebuild->combRaidState, row.mirror) << row.name;
        EXPECT_EQ(raid.tgtCombCmdGenNum, genBefore) << row.name;
        EXPECT_EQ(rsp.curState, row.combState) << row.name;
        EXPECT_EQ(rsp.curRaidState, row.mirror) << row.name;
        EXPECT_EQ(rsp.curPrimaryTgtGenNum, raid.combGenNum) << row.name;
        EXPECT_EQ(rsp.curTgtCombCmdGenNum, genBefore) << row.name;
    }
}

TEST_F(RaidStateTest, AcceptedSetStateAppliesRoleStateAndGeneration)
{
    raid.combState = COMB_STATE__FREE;
    raid.pRebuild->combRaidState = COMB_RAID_STATE__UNKNOWN_IN_TGT;
    ASSERT_EQ(setState(req(COMB_STATE__PRIMARY, COMB_RAID_STATE__NORMAL)), MOS_RC__SUCCESS);
    EXPECT_EQ(raid.combState, COMB_STATE__PRIMARY);
    EXPECT_EQ(raid.pRebuild->combRaidState, COMB_RAID_STATE__NORMAL);
    EXPECT_EQ(raid.tgtCombCmdGenNum, 11);
    EXPECT_TRUE(raid.bRequireRemoteCleanup);
    ASSERT_EQ(setState(req(COMB_STATE__SECONDARY, COMB_RAID_STATE__NORMAL, COMB_RAID_STATE__NORMAL, 12)),
              MOS_RC__SUCCESS);
    EXPECT_EQ(raid.combState, COMB_STATE__SECONDARY);
    EXPECT_FALSE(raid.bRequireRemoteCleanup);
}

// A comb that still needs a rebuild is not declared normal: it stays NORMAL_NEED_REBUILD and the
// Ostrel is told.
TEST_F(RaidStateTest, NeedRebuildAskedForNormalStaysNeedRebuild)
{
    raid.pRebuild->combRaidState = COMB_RAID_STATE__NORMAL_NEED_REBUILD;
    raid.pRebuild->bNotificationNeeded = FALSE;
    EXPECT_EQ(setState(req(COMB_STATE__PRIMARY, COMB_RAID_STATE__NORMAL)), MOS_RC__SUCCESS);
    EXPECT_EQ(raid.pRebuild->combRaidState, COMB_RAID_STATE__NORMAL_NEED_REBUILD);
    EXPECT_TRUE(raid.pRebuild->bNotificationNeeded);
    EXPECT_TRUE(raid.pRebuild->bCopyActiveDrl);
}

TEST_F(RaidStateTest, CopyAskedWhileItsRebuildRunsAnswersAlreadyExistsAndRearmsTheNotification)
{
    raid.pRebuild->combRaidState = COMB_RAID_STATE__COPY_STARTED;
    raid.pRebuild->bNotificationNeeded = FALSE;
    RaidComb_SetStateReq r = req(COMB_STATE__PRIMARY, COMB_RAID_STATE__COPY);
    EXPECT_EQ(setState(r), MOS_RC__ALREADY_EXISTS);
    EXPECT_TRUE(raid.pRebuild->bNotificationNeeded);
    EXPECT_EQ(raid.pRebuild->combRaidState, COMB_RAID_STATE__COPY_STARTED);
}

// Every row of the write-error table, with the Ostrel's permit asked for every remote failure
// that could drop the partner (and only then).
TEST_F(RaidStateTest, WriteErrorsFollowTheTableAndNeverDegradeWithoutThePermit)
{
    constexpr Mos_RC OK = MOS_RC__SUCCESS, NET = MOS_RC__IO_NET_ERROR, HARD = MOS_RC__IO_HARD_ERROR;
    constexpr Mos_RC GUARD = MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED;
    constexpr Mos_RC RETRY = MOS_RC__RETRY, ABORT = MOS_RC__ABORTED;
    constexpr UINT32 N = COMB_RAID_STATE__NORMAL, NNR = COMB_RAID_STATE__NORMAL_NEED_REBUILD;
    constexpr UINT32 DR = COMB_RAID_STATE__DEGRADED_REMOTE_ERROR, DL = COMB_RAID_STATE__DEGRADED_LOCAL_ERROR;
    constexpr UINT32 C = COMB_RAID_STATE__COPY, CD = COMB_RAID_STATE__COPY_DONE, CE = COMB_RAID_STATE__COPY_ERROR;
    constexpr UINT32 MN = COMB_RAID_STATE__MM_NORMAL, MD = COMB_RAID_STATE__MM_DEGRADED;
    struct Row {
        UINT32 state, reason;
        BOOL bPrimary;
        Mos_RC local, remote;
        BOOL bSecSent, bTrim;
        Mos_RC permit;
        UINT32 expState;
        Mos_RC expRc;
        bool bAsked;
        bool bCopyAborted;
    } rows[] = {
        {N, 0, TRUE, OK, OK, TRUE, FALSE, OK, N, OK, false, false},
        {N, 0, TRUE, OK, NET, TRUE, FALSE, OK, DR, OK, true, false},
        {N, 0, TRUE, OK, NET, TRUE, FALSE, RETRY, NNR, HARD, true, false},
        {N, 0, TRUE, OK, NET, TRUE, FALSE, ABORT, DL, HARD, true, false},
        {N, 0, TRUE, OK, MOS_RC__IO_FAULT_NO_SPACE, TRUE, FALSE, OK, NNR, HARD, false, false},
        {N, 0, TRUE, OK, MOS_RC__IO_FAULT_WRONG_COMB_GEN, TRUE, FALSE, RETRY, NNR, HARD, true, false},
        {N, 0, TRUE, OK, MOS_RC__IO_FAULT_DEVICE_ERROR, TRUE, FALSE, OK, DR, OK, true, false},
        {N, 0, TRUE, OK, NET, TRUE, TRUE, OK, NNR, HARD, false, false},
        {N, 0, TRUE, HARD, OK, TRUE, FALSE, OK, DL, HARD, false, false},
        {N, 0, TRUE, GUARD, OK, TRUE, FALSE, OK, NNR, HARD, false, false},
        {N, 0, TRUE, GUARD, OK, FALSE, FALSE, OK, N, HARD, false, false},
        {N, 0, FALSE, GUARD, OK, FALSE, FALSE, OK, N, HARD, false, false},
        {NNR, 0, TRUE, OK, NET, TRUE, FALSE, OK, DR, OK, true, false},
        {DL, 0, TRUE, OK, OK, TRUE, FALSE, OK, DL, HARD, false, false},
        {C, COPY_TYPE__DEGRADED_BACK_REBUILD, TRUE, OK, NET, TRUE, FALSE, OK, DR, OK, true, false},
        {C, COPY_TYPE__REVERSE_REBUILD, TRUE, OK, NET, TRUE, FALSE, OK, MD, HARD, true, false},
        {C, COPY_TYPE__DEGRADED_BACK_REBUILD, TRUE, OK, NET, TRUE, FALSE, RETRY, C, HARD, true, true},
        {C, COPY_TYPE__NORM_BACK_REBUILD, TRUE, OK, NET, TRUE, FALSE, ABORT, DL, HARD, true, false},
        {C, COPY_TYPE__DEGRADED_BACK_REBUILD, TRUE, HARD, OK, TRUE, FALSE, OK, DL, HARD, false, false},
        {CD, COPY_TYPE__DEGRADED_BACK_REBUILD, TRUE, OK, NET, TRUE, FALSE, RETRY, CD, HARD, true, false},
        {CD, COPY_TYPE__DEGRADED_BACK_REBUILD, TRUE, OK, NET, TRUE, FALSE, OK, DR, OK, true, false},
        {CD, COPY_TYPE__DEGRADED_BACK_REBUILD, TRUE, HARD, OK, TRUE, FALSE, OK, DL, HARD, false, false},
        {CD, COPY_TYPE__DEGRADED_BACK_REBUILD, TRUE, HARD, OK, FALSE, FALSE, OK, CD, HARD, false, false},
        {DR, 0, TRUE, OK, OK, FALSE, FALSE, OK, DR, OK, false, false},
        {DR, 0, TRUE, HARD, OK, FALSE, FALSE, OK, DL, HARD, false, false},
        {CE, COPY_TYPE__DEGRADED_BACK_REBUILD, TRUE, OK, NET, TRUE, FALSE, RETRY, CE, HARD, true, false},
        {CE, COPY_TYPE__DEGRADED_BACK_REBUILD, TRUE, OK, NET, TRUE, FALSE, OK, DR, OK, true, false},
        {CE, COPY_TYPE__DEGRADED_BACK_REBUILD, TRUE, HARD, OK, TRUE, FALSE, OK, DL, HARD, false, false},
        {MN, 0, TRUE, OK, NET, TRUE, FALSE, OK, MD, HARD, true, false},
        {MN, 0, TRUE, OK, NET, TRUE, FALSE, RETRY, MN, HARD, true, false},
        {MN, 0, TRUE, HARD, OK, TRUE, FALSE, OK, MD, HARD, false, false},
        {MN, 0, TRUE, HARD, OK, FALSE, FALSE, OK, MN, HARD, false, false},
        {MN, 0, FALSE, HARD, OK, FALSE, FALSE, OK, DL, HARD, false, false},
    };
    int i = 0;
    for (const Row &r : rows) {
        raid.combState = r.bPrimary ? COMB_STATE__PRIMARY : COMB_STATE__SECONDARY;
        RaidCombProt *p = raid.pRebuild;
        raidCombProt_Init(p, &raid, FakePartner::kPeer, r.state, RAID_PROT_TYPE__SECONDARY, r.reason, 0, FALSE);
        peer.permitAsks.clear();
        peer.permits = {r.permit};
        RaidWriteErrorResult res{};
        dev.run([&] { res = raidComb_UpdateWriteError(&raid, p, r.local, r.remote, r.bSecSent, r.bTrim); });
        EXPECT_EQ(res.raidState, r.expState) << "row " << i;
        EXPECT_EQ(p->combRaidState, r.expState) << "row " << i;
        EXPECT_EQ(res.rc, r.expRc) << "row " << i;
        EXPECT_EQ(!peer.permitAsks.empty(), r.bAsked) << "row " << i;
        EXPECT_EQ((bool)p->bCopyError, r.bCopyAborted) << "row " << i;
        if (r.expState != r.state) {
            EXPECT_TRUE(p->bNotificationNeeded) << "row " << i;
        }
        i++;
    }
}

// The 44-byte record carries the comb, the reported generations, both servers and the state; a
// secondary, and the states the Ostrel does not track, send nothing.
TEST_F(RaidStateTest, NotificationsCarryTheRecordAndAreSentOnlyWhenTheOstrelNeedsThem)
{
    raid.pRebuild->copyNum = 4;
    raidComb_LockComb(&raid);
    raidComb_SetCombState(&raid, raid.pRebuild, COMB_RAID_STATE__DEGRADED_REMOTE_ERROR, TRUE);
    raidComb_UnlockComb(&raid);
    Mos_RC rc = MOS_RC__ERROR;
    dev.run([&] {
        rc = raidComb_SendOstrelCombStateIfNeeded(cont.cont(), &raid, raid.pRebuild, 5, 10,
                                                  COMB_RAID_STATE__DEGRADED_REMOTE_ERROR, RAID_PROT_TYPE__SECONDARY);
    });
    EXPECT_EQ(rc, MOS_RC__SUCCESS);
    ASSERT_EQ(peer.notifs.size(), 1u);
    const OstrelTgtReq_UpdateCombState &n = peer.notifs[0];
    EXPECT_EQ(n.combId, kComb);
    EXPECT_EQ(n.primaryTgtGenNum, 5u);
    EXPECT_EQ(n.primaryTgtId, FakePartner::kSelf);
    EXPECT_EQ(n.raidState.raidTgtId, FakePartner::kPeer);
    EXPECT_EQ(n.raidState.state, (UINT32)COMB_RAID_STATE__DEGRADED_REMOTE_ERROR);
    EXPECT_EQ(n.raidState.protType, (UINT32)RAID_PROT_TYPE__SECONDARY);
    EXPECT_EQ(n.tgtCombCmdGenNum, 10);
    EXPECT_EQ(n.copyNum, 4);
    EXPECT_FALSE(raid.pRebuild->bNotificationNeeded);

    // A failed send is tried three times and leaves the notification owed.
    raidComb_LockComb(&raid);
    raidComb_SetCombState(&raid, raid.pRebuild, COMB_RAID_STATE__DEGRADED_LOCAL_ERROR, TRUE);
    raidComb_UnlockComb(&raid);
    peer.ostrelRcs = {MOS_RC__TIMEOUT, MOS_RC__TIMEOUT, MOS_RC__TIMEOUT};
    peer.notifs.clear();
    dev.run([&] { raidComb_UpdateOstrel(&raid); });
    EXPECT_EQ(peer.notifs.size(), 3u);
    EXPECT_TRUE(raid.pRebuild->bNotificationNeeded);
    dev.run([&] { raidComb_UpdateOstrel(&raid); });
    EXPECT_EQ(peer.notifs.size(), 4u);
    EXPECT_FALSE(raid.pRebuild->bNotificationNeeded);

    // Never for NORMAL, never from a secondary.
    peer.notifs.clear();
    for (UINT32 role : {COMB_STATE__PRIMARY, COMB_STATE__SECONDARY}) {
        raid.combState = role;
        raid.pRebuild->bNotificationNeeded = TRUE;
        raid.pRebuild->combRaidState = role == COMB_STATE__PRIMARY ? COMB_RAID_STATE__NORMAL
                                                                   : COMB_RAID_STATE__DEGRADED_LOCAL_ERROR;
        dev.run([&] { raidComb_UpdateOstrel(&raid); });
    }
    EXPECT_TRUE(peer.notifs.empty());
}

// A migration ends only from COPY_DONE; then the target is the mirror and a repeat is answered
// MIGRATE_COMPLETED. Bad copy reasons are refused before anything changes.
TEST_F(RaidStateTest, MigrationEndsOnlyFromCopyDone)
{
    OstrelTgtReq_StartMigrate start{kComb, 5, FakePartner::kPeer2, 9, 0, 11, 3};
    Mos_RC rc = MOS_RC__ERROR;
    dev.run([&] { rc = raidComb_StartMigrate(&raid, &start); });
    EXPECT_EQ(rc, MOS_RC__WRONG_STATE_TRANS);
    EXPECT_EQ(raid.pMigrate, nullptr);
    EXPECT_EQ(raid.tgtCombCmdGenNum, 10);
    start.copyReason = COPY_TYPE__MIGRATION;
    dev.run([&] { rc = raidComb_StartMigrate(&raid, &start); });
    ASSERT_EQ(rc, MOS_RC__SUCCESS);
    ASSERT_NE(raid.pMigrate, nullptr);
    EXPECT_EQ(raid.pMigrate->combRaidState, COMB_RAID_STATE__COPY);
    dev.run([&] { rc = raidComb_StartMigrate(&raid, &start); });
    EXPECT_EQ(rc, MOS_RC__ALREADY_EXISTS);

    OstrelTgtReq_EndMigrate end{kComb, FakePartner::kPeer2, FakePartner::kPeer, 5, 0, 12, 3};
    dev.run([&] { rc = raidComb_EndMigrate(&raid, &end); });
    EXPECT_EQ(rc, MOS_RC__NOT_READY);
    EXPECT_EQ(raid.pRebuild->remoteTgtId, FakePartner::kPeer);
    dev.run([&] { rc = raidComb_ValidateRaidId(&raid, FakePartner::kPeer2, 12, TRUE, FALSE, FALSE, FALSE); });
    EXPECT_EQ(rc, MOS_RC__NOT_READY);
    EXPECT_EQ(raid.pRebuild->remoteTgtId, FakePartner::kPeer);

    raid.pMigrate->combRaidState = COMB_RAID_STATE__COPY_DONE;
    dev.run([&] { rc = raidComb_EndMigrate(&raid, &end); });
    EXPECT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_EQ(raid.pMigrate, nullptr);
    EXPECT_EQ(raid.pRebuild->remoteTgtId, FakePartner::kPeer2);
    EXPECT_EQ(raid.pRebuild->combRaidState, COMB_RAID_STATE__NORMAL);
    EXPECT_EQ(raid.pRebuild->protType, (UINT32)RAID_PROT_TYPE__SECONDARY);
    dev.run([&] { rc = raidComb_EndMigrate(&raid, &end); });
    EXPECT_EQ(rc, MOS_RC__MIGRATE_COMPLETED);
    raidComb_CopyJobEnded(&raid); // the migration job's units
}

// The periodic reset of the partner's list runs only on a primary with a NORMAL mirror, and takes
// the old list form from a partner that does not know the fine one.
TEST_F(RaidStateTest, RemoteListResetRunsOnlyOnANormalPrimary)
{
    raid.combState = COMB_STATE__SECONDARY;
    raid.bRequireRemoteCleanup = TRUE;
    dev.run([&] {
        for (int i = 0; i < 100; i++)
            raidComb_ResetRemoteDrl(cont.cont(), &raid);
    });
    raid.combState = COMB_STATE__PRIMARY;
    raid.pRebuild->combRaidState = COMB_RAID_STATE__NORMAL_NEED_REBUILD;
    dev.run([&] {
        for (int i = 0; i < 100; i++)
            raidComb_ResetRemoteDrl(cont.cont(), &raid);
    });
    EXPECT_TRUE(peer.sent.empty());

    raid.pRebuild->combRaidState = COMB_RAID_STATE__NORMAL;
    peer.rspRcs[TGT_MSG_TYPE__READ_COMB_FINE_DRL] = {MOS_RC__UNKNOWN_MSG};
    std::vector<UINT8> oldRsp(8 + 12, 0);
    UINT32 head[2] = {1, 12};
    memcpy(oldRsp.data(), head, 8);
    UINT32 entry[3] = {1, 1, 7}; // vtoId, time, tooth in comb
    memcpy(oldRsp.data() + 8, entry, 12);
    peer.rspPayload[TGT_MSG_TYPE__READ_COMB_BM] = oldRsp;
    dev.run([&] { raidComb_ResetRemoteDrl(cont.cont(), &raid); });
    ASSERT_EQ(peer.sent.size(), 3u);
    EXPECT_EQ(peer.sent[0].msgType, (UINT32)TGT_MSG_TYPE__READ_COMB_FINE_DRL);
    EXPECT_EQ(peer.sent[1].msgType, (UINT32)TGT_MSG_TYPE__READ_COMB_BM);
    EXPECT_EQ(peer.sent[2].msgType, (UINT32)TGT_MSG_TYPE__RESET_COMB_BM);
    EXPECT_FALSE(raid.bRequireRemoteCleanup);
    EXPECT_EQ(peer.cons, 0);
}

} // namespace
