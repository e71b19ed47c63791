// Copies between in-process servers of one comb: rebuild of a degraded partner, its abort and
// failures, migration to a new server, and the background scan; and the resync pool's own rules.
#include <gtest/gtest.h>


#include "test/tgt/raid/raid_resync_fixture.h"
#include "tgt/raid/raid_resync_intrn.h"
#include "tgt/tgt_umt_class.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv(tgt_UmtClassInit));

class RaidResyncTest : public ::testing::Test, public ResyncFixture {
  protected:
    void SetUp() override { upNodes(); }
    void TearDown() override { downNodes(); }

    // Mirrored data on a few teeth, then the secondary stops and the primary goes on alone.
    void degradeWithWrites(UINT32 teethAlone)
    {
        for (UINT32 p = 0; p < 4; p++)
            ASSERT_EQ(clientWrite(p * TOOTH_SIZE_LB, TOOTH_SIZE_LB, (UINT8)(0x10 + p)), MOS_RC__SUCCESS);
        ASSERT_TRUE(identical(pri, sec));
        sec.bDown = true;
        ASSERT_EQ(clientWrite(1 * TOOTH_SIZE_LB + 8, 16, 0xA1), MOS_RC__SUCCESS); // existing tooth, partly
        for (UINT32 p = 10; p < 10 + teethAlone; p++)                              // new teeth
            ASSERT_EQ(clientWrite(p * TOOTH_SIZE_LB, TOOTH_SIZE_LB, (UINT8)p), MOS_RC__SUCCESS);
        ASSERT_EQ(pri.raid.pRebuild->combRaidState, (UINT32)COMB_RAID_STATE__DEGRADED_REMOTE_ERROR);
        ASSERT_FALSE(identical(pri, sec));
        sec.bDown = false;
    }
    bool rebuildDrlClean()
    {
        bool b = false;
        dev.run([&] { b = phyComb_IsEntireRebuildReset(&pri.raid.phyComb) != FALSE; });
        return b;
    }
};

TEST_F(RaidResyncTest, TotalCopyLimitIsTheLargerOfBothOnlyWhenBothAreSet)
{
    struct Case {
        UINT32 rebuild, rebalance, total;
    } cases[] = {{100000, 50000, 100000}, {20000, 80000, 80000}, {100000, 0, 0}, {0, 50000, 0}, {0, 0, 0}};
    for (const Case &c : cases) {
        raidSyncPool_UpdateLimits(&pool, c.rebuild, c.rebalance, 30000, 3);
        EXPECT_EQ(mosLimiter_GetMaxRsrcInSec(&pool.copyLimiterSrc), c.total) << c.rebuild << " " << c.rebalance;
        EXPECT_EQ(mosLimiter_GetMaxRsrcInSec(&pool.copyLimiterRebuildSrc), c.rebuild);
        EXPECT_EQ(mosLimiter_GetMaxRsrcInSec(&pool.copyLimiterRebalanceSrc), c.rebalance);
        EXPECT_EQ(mosLimiter_GetMaxRsrcInSec(&pool.ioLimiter), 30000u);
    }
}

TEST_F(RaidResyncTest, AbortAllWithNoJobReturnsAtOnce)
{
    dev.run([&] {
        raidSyncPool_AbortAllRebuilds(&pool);
        raidSyncPool_AbortAllMigrations(&pool);
    });
    EXPECT_FALSE(raidSyncPool_IsAbortAllRebuilds(&pool));
    EXPECT_EQ(pool.numOfRebuildsInProg, 0u);
}

// Degrade, write alone, rebuild: the partner gets exactly what it missed, the Ostrel hears
// COPY_DONE, and after NORMAL both copies hold the same versions with the same data.
TEST_F(RaidResyncTest, RebuildMakesTheDegradedCopyWholeAgain)
{
    degradeWithWrites(3);
    // What GET_DIRTY_INFO reports is what the rebuild then copies.
    UINT32 dirtyIOs = 0;
    UINT64 dirtyLbs = 0;
    dev.run([&] { raidComb_GetDirtyCapacity(&pri.raid, &dirtyIOs, &dirtyLbs); });
    EXPECT_EQ(dirtyIOs, 4u);
    EXPECT_EQ(dirtyLbs, 3u * TOOTH_SIZE_LB + 16);
    ASSERT_EQ(setMirrorState(pri, COMB_RAID_STATE__COPY, COMB_RAID_STATE__DEGRADED_REMOTE_ERROR), MOS_RC__SUCCESS);
    ASSERT_TRUE(waitMirrorState(pri, COMB_RAID_STATE__COPY_DONE));
    EXPECT_TRUE(waitCombStateReport(COMB_RAID_STATE__COPY_DONE));
    // The three new teeth whole, of the partly written one only its dirty range.
    EXPECT_EQ(sentCount[TGT_MSG_TYPE__IO_WRITE_SEC_COPY], 4);
    EXPECT_TRUE(rebuildDrlClean());
    EXPECT_EQ(pri.raid.rebuildStat.count, 1u);
    EXPECT_EQ(pri.raid.rebuildStat.lastSizeCopiedLbs, 3 * TOOTH_SIZE_LB + 16);
    ASSERT_EQ(setMirrorState(pri, COMB_RAID_STATE__NORMAL, COMB_RAID_STATE__COPY_DONE), MOS_RC__SUCCESS);
    EXPECT_EQ(pri.raid.pRebuild->combRaidState, (UINT32)COMB_RAID_STATE__NORMAL);
    EXPECT_TRUE(identical(pri, sec));
    dev.run([&] { raidComb_GetDirtyCapacity(&pri.raid, &dirtyIOs, &dirtyLbs); });
    EXPECT_EQ(dirtyIOs, 0u);
    // Mirrored writes go on as before.
    ASSERT_EQ(clientWrite(11 * TOOTH_SIZE_LB + 100, 8, 0x5A), MOS_RC__SUCCESS);
    EXPECT_TRUE(identical(pri, sec));
}

// An abort (here all rebuilds at once) stops a rebuild held back by its limiter: abort-all waits
// for it, the copy ends COPY_ERROR with the logs still dirty, and a new request completes it.
TEST_F(RaidResyncTest, AbortedRebuildEndsWithCopyErrorAndARerunCompletes)
{
    degradeWithWrites(12);
    raidSyncPool_UpdateLimits(&pool, 2048, 2048, 0, 3); // about a tooth a second
    ASSERT_EQ(setMirrorState(pri, COMB_RAID_STATE__COPY, COMB_RAID_STATE__DEGRADED_REMOTE_ERROR), MOS_RC__SUCCESS);
    ASSERT_TRUE(umtTest_WaitFor([&] { return sentCount[TGT_MSG_TYPE__IO_WRITE_SEC_COPY] >= 1; }));
    dev.run([&] { raidSyncPool_AbortAllRebuilds(&pool); });
    EXPECT_EQ(pool.numOfRebuildsInProg, 0u);
    ASSERT_TRUE(waitMirrorState(pri, COMB_RAID_STATE__COPY_ERROR));
    EXPECT_LT(sentCount[TGT_MSG_TYPE__IO_WRITE_SEC_COPY], 13);
    EXPECT_FALSE(rebuildDrlClean());
    EXPECT_TRUE(waitCombStateReport(COMB_RAID_STATE__COPY_ERROR));

    // A copy aborted on its own slot ends the same way, without waiting for its limiter. (A failed
    // copy is asked for again through a degraded state: COPY on COPY_ERROR answers that it runs.)
    ASSERT_EQ(setMirrorState(pri, COMB_RAID_STATE__COPY, COMB_RAID_STATE__COPY_ERROR), MOS_RC__ALREADY_EXISTS);
    ASSERT_EQ(setMirrorState(pri, COMB_RAID_STATE__DEGRADED_REMOTE_ERROR, COMB_RAID_STATE__COPY_ERROR),
              MOS_RC__SUCCESS);
    ASSERT_EQ(setMirrorState(pri, COMB_RAID_STATE__COPY, COMB_RAID_STATE__DEGRADED_REMOTE_ERROR), MOS_RC__SUCCESS);
    ASSERT_TRUE(umtTest_WaitFor([&] { return pri.raid.pRebuild->combRaidState == COMB_RAID_STATE__COPY_STARTED; }));
    dev.run([&] { EXPECT_EQ(raidComb_AbortRebuild(&pri.raid, pri.raid.pRebuild), MOS_RC__SUCCESS); });
    ASSERT_TRUE(waitMirrorState(pri, COMB_RAID_STATE__COPY_ERROR));

    raidSyncPool_UpdateLimits(&pool, 0, 0, 0, 3);
    ASSERT_EQ(setMirrorState(pri, COMB_RAID_STATE__COPY, COMB_RAID_STATE__COPY_ERROR), MOS_RC__SUCCESS);
    ASSERT_TRUE(waitMirrorState(pri, COMB_RAID_STATE__COPY_DONE));
    ASSERT_EQ(setMirrorState(pri, COMB_RAID_STATE__NORMAL, COMB_RAID_STATE__COPY_DONE), MOS_RC__SUCCESS);
    EXPECT_TRUE(identical(pri, sec));
}

// The Ostrel may move a running copy's partnership to another state; the copy stops at its next
// range and ends without touching that state, and the process keeps running.
TEST_F(RaidResyncTest, CopyWhosePartnershipTheOstrelMovedEndsQuietly)
{
    degradeWithWrites(8);
    raidSyncPool_UpdateLimits(&pool, 2048, 2048, 0, 3);
    ASSERT_EQ(setMirrorState(pri, COMB_RAID_STATE__COPY, COMB_RAID_STATE__DEGRADED_REMOTE_ERROR), MOS_RC__SUCCESS);
    ASSERT_TRUE(umtTest_WaitFor([&] { return sentCount[TGT_MSG_TYPE__IO_WRITE_SEC_COPY] >= 1; }));
    ASSERT_EQ(setMirrorState(pri, COMB_RAID_STATE__UNKNOWN_IN_TGT, COMB_RAID_STATE__COPY_STARTED), MOS_RC__SUCCESS);
    EXPECT_TRUE(waitMirrorState(pri, COMB_RAID_STATE__UNKNOWN_IN_TGT));
    EXPECT_TRUE(umtTest_WaitFor([&] { return pool.numOfRebuildsInProg == 0; }));
    EXPECT_LT(sentCount[TGT_MSG_TYPE__IO_WRITE_SEC_COPY], 9);
}

// A comb that needs a rebuild without a degraded partner (dirty logs found at start) copies with
// the normal-rebuild reason only to a partner known to understand it.
TEST_F(RaidResyncTest, NormalRebuildReasonGoesOnlyToAPartnerThatKnowsIt)
{
    struct Case {
        UINT32 peerVer, sent;
    } cases[] = {{TGT_PEER_VER__UNKNOWN, COPY_TYPE__DEGRADED_BACK_REBUILD},
                 {0x1FFFFFF, COPY_TYPE__DEGRADED_BACK_REBUILD},
                 {0x2000000, COPY_TYPE__NORM_BACK_REBUILD}};
    for (UINT32 i = 0; i < 3; i++) {
        ASSERT_EQ(clientWrite((20 + i) * TOOTH_SIZE_LB, 8, (UINT8)i), MOS_RC__SUCCESS);
        dev.run([&] {
            (void)phyComb_SetEntireBits(&pri.raid.phyComb, PHY_DEV_DRL_TYPE__ACTIVE, TRUE);
            raidComb_LockComb(&pri.raid);
            raidComb_SetCombState(&pri.raid, pri.raid.pRebuild, COMB_RAID_STATE__NORMAL_NEED_REBUILD, FALSE);
            raidComb_UnlockComb(&pri.raid);
        });
        peerVersion = cases[i].peerVer;
        copyReasonsSent.clear();
        ASSERT_EQ(setMirrorState(pri, COMB_RAID_STATE__COPY, COMB_RAID_STATE__NORMAL_NEED_REBUILD), MOS_RC__SUCCESS);
        ASSERT_TRUE(waitMirrorState(pri, COMB_RAID_STATE__COPY_DONE));
        ASSERT_FALSE(copyReasonsSent.empty());
        for (UINT32 r : copyReasonsSent)
            EXPECT_EQ(r, cases[i].sent) << "peer version " << std::hex << cases[i].peerVer;
        ASSERT_EQ(setMirrorState(pri, COMB_RAID_STATE__NORMAL, COMB_RAID_STATE__COPY_DONE), MOS_RC__SUCCESS);
    }
    EXPECT_TRUE(identical(pri, sec));
}

// Without the partner's list the ranges it missed are not known: the rebuild must not report a
// whole copy.
TEST_F(RaidResyncTest, FailedFetchOfThePartnersListEndsWithCopyError)
{
    degradeWithWrites(2);
    failNext[TGT_MSG_TYPE__READ_COMB_FINE_DRL] = 1;
    ASSERT_EQ(setMirrorState(pri, COMB_RAID_STATE__COPY, COMB_RAID_STATE__DEGRADED_REMOTE_ERROR), MOS_RC__SUCCESS);
    ASSERT_TRUE(waitMirrorState(pri, COMB_RAID_STATE__COPY_ERROR));
    EXPECT_EQ(sentCount[TGT_MSG_TYPE__IO_WRITE_SEC_COPY], 0);
    EXPECT_FALSE(rebuildDrlClean());
    EXPECT_FALSE(identical(pri, sec));
}

// A migration copies every version to the new server while writes reach it as a third leg; END
// makes it the mirror partner, and a repeated END answers that the migration is complete.
TEST_F(RaidResyncTest, MigrationCopiesEveryToothAndEndSwapsThePartner)
{
    for (UINT32 p = 0; p < 5; p++)
        ASSERT_EQ(clientWrite(p * 3 * TOOTH_SIZE_LB, TOOTH_SIZE_LB, (UINT8)(0x30 + p)), MOS_RC__SUCCESS);
    OstrelTgtReq_StartMigrate start{};
    start.combId = kComb;
    start.primaryTgtGenNum = pri.raid.combGenNum;
    start.migrateTgtId = kNew;
    start.copyReason = COPY_TYPE__MIGRATION;
    start.tgtCombCmdGenNum = 11;
    start.copyNum = 4;
    Mos_RC rc = MOS_RC__ERROR;
    dev.run([&] { rc = raidComb_StartMigrate(&pri.raid, &start); });
    ASSERT_EQ(rc, MOS_RC__SUCCESS);
    ASSERT_EQ(clientWrite(2 * TOOTH_SIZE_LB + 4, 4, 0x77), MOS_RC__SUCCESS);
    ASSERT_TRUE(umtTest_WaitFor([&] {
        raidComb_LockComb(&pri.raid);
        bool b = pri.raid.pMigrate != nullptr && pri.raid.pMigrate->combRaidState == COMB_RAID_STATE__COPY_DONE;
        raidComb_UnlockComb(&pri.raid);
        return b;
    }));
    ASSERT_EQ(clientWrite(3 * TOOTH_SIZE_LB, 8, 0x78), MOS_RC__SUCCESS);
    EXPECT_TRUE(identical(pri, third));
    OstrelTgtReq_EndMigrate end{};
    end.combId = kComb;
    end.newSecondaryTgt = kNew;
    end.oldSecondaryTgt = kSec;
    end.primaryTgtGenNum = pri.raid.combGenNum;
    end.tgtCombCmdGenNum = 12;
    end.copyNum = 4;
    dev.run([&] { rc = raidComb_EndMigrate(&pri.raid, &end); });
    ASSERT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_EQ(pri.raid.pRebuild->remoteTgtId, kNew);
    EXPECT_EQ(pri.raid.pRebuild->combRaidState, (UINT32)COMB_RAID_STATE__NORMAL);
    end.tgtCombCmdGenNum = 13;
    dev.run([&] { rc = raidComb_EndMigrate(&pri.raid, &end); });
    EXPECT_EQ(rc, MOS_RC__MIGRATE_COMPLETED);
    ASSERT_EQ(clientWrite(0, 8, 0x79), MOS_RC__SUCCESS);
    EXPECT_TRUE(identical(pri, third));
}

// A copy that meets a version freed since its iterator found it skips it: nothing is read or
// sent, and the job goes on.
TEST_F(RaidResyncTest, CopyOfAVersionThatIsGoneIsSkipped)
{
    ASSERT_EQ(clientWrite(6 * TOOTH_SIZE_LB, TOOTH_SIZE_LB, 0x21), MOS_RC__SUCCESS);
    PhyToothIndex t = PHY_TOOTH_INDEX__INVALID;
    dev.run([&] { t = phyComb_GetToothIndex(&pri.raid.phyComb, kVto, 1, 6 * TOOTH_SIZE_LB); });
    ASSERT_NE(t, PHY_TOOTH_INDEX__INVALID);
    RaidCopyRc gone = RAID_COPY_RC__OK, there = RAID_COPY_RC__SKIPPED;
    dev.run([&] {
        RaidCopyJob job;
        ASSERT_TRUE(raidCopyJob_Init(&job, pri.cont(), &pri.raid, pri.raid.pRebuild));
        ASSERT_TRUE(raidCopyJob_Connect(&job));
        gone = raidCopyJob_CopyRange(&job, t + 3, 6 * TOOTH_SIZE_LB, TOOTH_SIZE_LB, COPY_TYPE__DEGRADED_BACK_REBUILD,
                                     COPY_TYPE__DEGRADED_BACK_REBUILD, COPY_TYPE__DEGRADED_BACK_REBUILD, FALSE, "Test");
        there = raidCopyJob_CopyRange(&job, t, 6 * TOOTH_SIZE_LB, TOOTH_SIZE_LB, COPY_TYPE__DEGRADED_BACK_REBUILD,
                                      COPY_TYPE__DEGRADED_BACK_REBUILD, COPY_TYPE__DEGRADED_BACK_REBUILD, FALSE, "Test");
        raidCopyJob_Destroy(&job);
    });
    EXPECT_EQ(gone, RAID_COPY_RC__SKIPPED);
    EXPECT_EQ(there, RAID_COPY_RC__OK);
    EXPECT_EQ(sentCount[TGT_MSG_TYPE__IO_WRITE_SEC_COPY], 1);
}

// A maintenance partner added to a comb in use is brought up to date from the primary's rebuild
// log: every tooth written since it was named reaches it.
TEST_F(RaidResyncTest, MaintenanceRebuildBringsTheThirdCopyUpToDate)
{
    ASSERT_EQ(setMaintState(COMB_RAID_STATE__UNKNOWN_IN_TGT, COMB_RAID_STATE__UNKNOWN_IN_TGT), MOS_RC__SUCCESS);
    ASSERT_NE(pri.raid.pMaintenance, nullptr);
    for (UINT32 p = 0; p < 4; p++)
        ASSERT_EQ(clientWrite(p * 2 * TOOTH_SIZE_LB, TOOTH_SIZE_LB, (UINT8)(0x50 + p)), MOS_RC__SUCCESS);
    EXPECT_EQ(sentCount[TGT_MSG_TYPE__IO_WRITE_SEC_COPY], 0);
    ASSERT_EQ(setMaintState(COMB_RAID_STATE__COPY, COMB_RAID_STATE__UNKNOWN_IN_TGT), MOS_RC__SUCCESS);
    EXPECT_EQ(pri.raid.pMaintenance->copyReason, (UINT32)COPY_TYPE__MAINT_REBUILD);
    ASSERT_TRUE(waitState(pri, pri.raid.pMaintenance, COMB_RAID_STATE__COPY_DONE));
    EXPECT_EQ(sentCount[TGT_MSG_TYPE__IO_WRITE_SEC_COPY], 4);
    EXPECT_TRUE(identical(pri, third));
}

// A command that names a new maintenance partner and asks it for a copy at once brings the
// partner in and runs the maintenance rebuild.
TEST_F(RaidResyncTest, NamingAMaintenancePartnerWithACopyRequestRunsTheRebuild)
{
    for (UINT32 p = 0; p < 2; p++)
        ASSERT_EQ(clientWrite(p * TOOTH_SIZE_LB, TOOTH_SIZE_LB, (UINT8)(0x60 + p)), MOS_RC__SUCCESS);
    dev.run([&] { ASSERT_TRUE(phyComb_SetEntireBits(&pri.raid.phyComb, PHY_DEV_DRL_TYPE__ACTIVE, TRUE)); });
    ASSERT_EQ(pri.raid.pMaintenance, nullptr);
    ASSERT_EQ(setMaintState(COMB_RAID_STATE__COPY, COMB_RAID_STATE__UNKNOWN_IN_TGT), MOS_RC__SUCCESS);
    ASSERT_NE(pri.raid.pMaintenance, nullptr);
    EXPECT_EQ(pri.raid.pMaintenance->remoteTgtId, kNew);
    EXPECT_EQ(pri.raid.pMaintenance->copyReason, (UINT32)COPY_TYPE__MAINT_REBUILD);
    ASSERT_TRUE(waitState(pri, pri.raid.pMaintenance, COMB_RAID_STATE__COPY_DONE));
    EXPECT_TRUE(identical(pri, third));
}

// The maintenance copy pulls the source's versions one by one; the source's answer names only a
// version it has written. A source that cannot write a version ends the copy with COPY_ERROR.
TEST_F(RaidResyncTest, ReverseRebuildPullsEveryVersionFromTheSource)
{
    for (UINT32 p = 0; p < 3; p++)
        ASSERT_EQ(clientWrite(p * 5 * TOOTH_SIZE_LB, TOOTH_SIZE_LB, (UINT8)(0x60 + p)), MOS_RC__SUCCESS);
    // The source names the destination as its maintenance partner; the destination pulls.
    raidCombProt_Init(&pri.raid.protState[1], &pri.raid, kNew, COMB_RAID_STATE__DEGRADED_REMOTE_ERROR,
                      RAID_PROT_TYPE__MAINTENANCE, COPY_TYPE__NONE, 0, FALSE);
    pri.raid.pMaintenance = &pri.raid.protState[1];
    auto pull = [&] {
        raidCombProt_Init(&third.raid.protState[1], &third.raid, kPri, COMB_RAID_STATE__COPY,
                          RAID_PROT_TYPE__MAINTENANCE, COPY_TYPE__REVERSE_REBUILD, 0, FALSE);
        third.raid.pMaintenance = &third.raid.protState[1];
        dev.run([&] {
            ASSERT_TRUE(raidComb_TakeCopyUnits(&third.raid, 1000));
            raidReverseRebuild_Start(third.cont(), &third.raid);
        });
        return third.raid.pMaintenance->combRaidState;
    };
    failNext[TGT_MSG_TYPE__IO_WRITE_SEC_COPY] = 1;
    EXPECT_EQ(pull(), (UINT32)COMB_RAID_STATE__COPY_ERROR);
    EXPECT_EQ(pull(), (UINT32)COMB_RAID_STATE__COPY_DONE);
    EXPECT_EQ(sentCount[TGT_MSG_TYPE__GET_NEXT_TOOTH], 1 + 4);
    EXPECT_TRUE(identical(pri, third));
}

// A request that names a version the source no longer has at that position starts the position
// over instead of following the freed tooth's links.
TEST_F(RaidResyncTest, NextToothAfterAVersionThatIsGoneStartsThePositionOver)
{
    ASSERT_EQ(clientWrite(2 * TOOTH_SIZE_LB, TOOTH_SIZE_LB, 0x71), MOS_RC__SUCCESS);
    raidCombProt_Init(&pri.raid.protState[1], &pri.raid, kNew, COMB_RAID_STATE__DEGRADED_REMOTE_ERROR,
                      RAID_PROT_TYPE__MAINTENANCE, COPY_TYPE__NONE, 0, FALSE);
    pri.raid.pMaintenance = &pri.raid.protState[1];
    PhyToothIndex first = PHY_TOOTH_INDEX__INVALID;
    dev.run([&] { first = phyComb_GetToothIndex(&pri.raid.phyComb, kVto, 1, 2 * TOOTH_SIZE_LB); });
    ASSERT_NE(first, PHY_TOOTH_INDEX__INVALID);
    TgtRsp_GetNextTooth rsp{};
    Mos_RC rc = MOS_RC__ERROR;
    dev.run([&] { rc = raidReverseRebuild_GetNextTooth(pri.cont(), &pri.raid, 2, first + 7, &rsp); });
    ASSERT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_EQ(rsp.toothInComb, 2u);
    EXPECT_EQ(rsp.toothIndex, first);
    dev.run([&] { rc = raidReverseRebuild_GetNextTooth(pri.cont(), &pri.raid, 2, first, &rsp); });
    EXPECT_EQ(rc, MOS_RC__NOT_FOUND);
}

// A block changed behind the partner's back is found by the checksum compare, reported to the
// Ostrel with 1005 and overwritten with the primary's data; with checksums off the scan reports
// nothing.
TEST_F(RaidResyncTest, ScanFindsAndFixesACorruptedPartnerBlock)
{
    for (UINT32 p = 0; p < 3; p++)
        ASSERT_EQ(clientWrite(p * TOOTH_SIZE_LB, TOOTH_SIZE_LB, (UINT8)(0x40 + p)), MOS_RC__SUCCESS);
    corrupt(sec, 1, 100, 1, 0xEE);
    ASSERT_FALSE(identical(pri, sec));
    dev.run([&] { raidScan_Start(pri.cont(), nullptr, &pri.raid, FALSE); });
    EXPECT_TRUE(compareErrors.empty());
    EXPECT_FALSE(identical(pri, sec));
    EXPECT_EQ(pd.MBsScannedCounter, 3u);

    dev.run([&] { raidScan_Start(pri.cont(), nullptr, &pri.raid, TRUE); });
    ASSERT_EQ(compareErrors.size(), 1u);
    EXPECT_EQ((UINT64)compareErrors[0].combId, kComb);
    EXPECT_EQ((UINT32)compareErrors[0].offsetInComb, 1 * TOOTH_SIZE_LB);
    EXPECT_EQ((UINT64)compareErrors[0].devId, 0xD7u);
    EXPECT_EQ(pd.scanCompareErrorsCounter, 1u);
    EXPECT_TRUE(identical(pri, sec));

    // A partner whose tree is being deleted ends the scan of the comb at its first tooth, with
    // nothing counted as an error.
    sec.bTreeDeleting = true;
    corrupt(sec, 0, 0, 1, 0xEE);
    UINT32 scanned = pd.MBsScannedCounter;
    dev.run([&] { raidScan_Start(pri.cont(), nullptr, &pri.raid, TRUE); });
    EXPECT_EQ(pd.MBsScannedCounter, scanned);
    EXPECT_EQ(compareErrors.size(), 1u);
    EXPECT_EQ(pd.scanCompareErrorsCounter, 1u);
}

// A tooth of the primary that cannot be read is rewritten from the secondary's copy and read
// back; the fix is counted on the primary's device and reaches its counters block at once.
TEST_F(RaidResyncTest, ScanRewritesAnUnreadablePrimaryToothAndCountsTheFixOnDisk)
{
    for (UINT32 p = 0; p < 3; p++)
        ASSERT_EQ(clientWrite(p * TOOTH_SIZE_LB, TOOTH_SIZE_LB, (UINT8)(0x50 + p)), MOS_RC__SUCCESS);
    PhyToothIndex t = PHY_TOOTH_INDEX__INVALID;
    dev.run([&] {
        VtoOnDev v[PHY_COMB__MAX_VERSIONS];
        ASSERT_GE(phyComb_ReadToothList(&pri.raid.phyComb, 1 * TOOTH_SIZE_LB, v, PHY_COMB__MAX_VERSIONS), 1u);
        t = phyComb_GetToothIndex(&pri.raid.phyComb, v[0].vtoId, v[0].time, 1 * TOOTH_SIZE_LB);
    });
    ASSERT_NE(t, PHY_TOOTH_INDEX__INVALID);
    UINT64 at = (pd.teethOffsetInLbs + (UINT64)t * TOOTH_SIZE_LB) * 512;
    dev.failReads(at, (UINT64)TOOTH_SIZE_LB * 512, 2); // both attempts of the scan's read
    dev.run([&] { raidScan_Start(pri.cont(), nullptr, &pri.raid, TRUE); });
    EXPECT_EQ(pd.MBsScannedCounter, 3u) << "the scan went on past the repaired tooth";
    EXPECT_EQ(pd.localDiskFixesCounter, 1u);
    EXPECT_TRUE(compareErrors.empty());
    EXPECT_TRUE(identical(pri, sec));
    EXPECT_EQ(tgtTest_ReadCounters(dev.path).localDiskFixes, 1u);
}

} // namespace
