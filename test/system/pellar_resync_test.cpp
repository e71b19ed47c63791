// Copies between real pellar processes (test/peers/cluster.h): a partner that missed writes is
// rebuilt, a comb migrates to a third pellar under load, a third pellar gets a maintenance
// rebuild, and the background scan finds and repairs a block changed behind the servers' backs. Copies are compared by
// reading every written range through the other copy after a role swap.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "test/peers/cluster.h"
#include "test/peers/sim_comb_cmds.h"
#include "test/support/net_support.h"
#include "tgt/cont/cont_cmd.h"
#include "tgt/cont/cont_cmd_set_rec.h"
#include "tgt/cont/cont_dev.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new NetTestRuntimeEnv);

constexpr uint64_t kComb = 0x8000; // head 1, row 0
constexpr uint32_t kTooth = 2048;
constexpr uint32_t kCompareErrorType = 1005;
constexpr auto kLimit = std::chrono::seconds(60);

// CLUSTER_KEEP names a directory where the pellars' files stay for a look after the test.
std::string keepDir()
{
    const char *p = getenv("CLUSTER_KEEP");
    return p != nullptr ? p : "";
}

// Every written range of a list of (lb, lbs, version) reads back through pellar i.
struct Written {
    uint32_t lb, lbs, version;
};
::testing::AssertionResult readsBack(Cluster &c, int i, const std::vector<Written> &ranges)
{
    for (const Written &w : ranges)
        if (!c.CheckPattern(i, kComb, w.lb, w.lbs, w.version))
            return ::testing::AssertionFailure()
                   << "pellar " << i << ", LB " << w.lb << "+" << w.lbs << ": " << c.LastError();
    return ::testing::AssertionSuccess();
}

// Starts the cluster with the comb mirrored on pellars 0 and 1 and writes version 1 of lbs blocks
// at the start of each tooth in [firstTooth, endTooth) through pellar 0; *pRanges lists them.
::testing::AssertionResult startAndWriteTeeth(Cluster &c, uint32_t firstTooth, uint32_t endTooth, uint32_t lbs,
                                              std::vector<Written> *pRanges)
{
    if (!c.StartAll() || !c.AddMirroredComb(kComb, 0, 1))
        return ::testing::AssertionFailure() << c.LastError();
    pRanges->clear();
    for (uint32_t t = firstTooth; t < endTooth; t++) {
        pRanges->push_back({t * kTooth, lbs, 1});
        const Mos_RC rc = c.WritePattern(0, kComb, t * kTooth, lbs, 1);
        if (rc != MOS_RC__SUCCESS)
            return ::testing::AssertionFailure() << "tooth " << t << " answered " << rc << "\n" << c.Proc(0).traces();
    }
    return ::testing::AssertionSuccess();
}

// The old primary steps down first, so no write runs through both at once.
::testing::AssertionResult swapRoles(Cluster &c, int oldPrimary, int newPrimary)
{
    Mos_RC rc =
        c.SetCombState(oldPrimary, kComb, COMB_STATE__SECONDARY, COMB_RAID_STATE__NORMAL, COMB_RAID_STATE__NORMAL);
    if (rc != MOS_RC__SUCCESS)
        return ::testing::AssertionFailure() << c.LastError();
    rc = c.SetCombState(newPrimary, kComb, COMB_STATE__PRIMARY, COMB_RAID_STATE__NORMAL, COMB_RAID_STATE__NORMAL);
    if (rc != MOS_RC__SUCCESS)
        return ::testing::AssertionFailure() << c.LastError();
    return ::testing::AssertionSuccess();
}

// The copy bandwidth limits of a pellar's resync pool, MB per second (0: none).
// Kills the secondary and writes, through the primary alone, partly over an existing tooth and on
// new teeth up to lastTooth; true once the primary reports the partnership degraded.
bool degradeAndWriteAlone(Cluster &c, uint32_t lastTooth, std::vector<Written> *pAlone)
{
    c.Kill(1);
    *pAlone = {{1 * kTooth + 8, 16, 2}};
    for (uint32_t t = 10; t < lastTooth; t++)
        pAlone->push_back({t * kTooth, kTooth, 2});
    for (const Written &w : *pAlone)
        if (c.WritePattern(0, kComb, w.lb, w.lbs, w.version) != MOS_RC__SUCCESS)
            return false;
    return c.WaitRaidState(0, kComb, COMB_RAID_STATE__DEGRADED_REMOTE_ERROR, kLimit);
}

Mos_RC setCopyLimits(Cluster &c, int i, uint32_t rebuildMb, uint32_t rebalanceMb)
{
    const OstrelTgtReq_SetNetLimit rec{1, rebuildMb, rebalanceMb, 0};
    return c.Ostrel(i).Command(TGT_MSG_TYPE__SET_NET_COPY_LIMIT, 0, simComb_Bytes(rec));
}

// The scan flavour of pellar i's device (TGT_SCAN_FLAVOR__*).
Mos_RC setScan(Cluster &c, int i, uint32_t flavor)
{
    // numDevs, devStructSize, ostrelTgtConnectionGenNum, then the entries.
    std::vector<uint8_t> rec(10, 0);
    rec[0] = 1;
    rec[4] = sizeof(OstrelTgt_DevScanConf);
    rec[8] = 1;
    const OstrelTgt_DevScanConf e{c.DevId(i), {flavor, 0}, 0, 0};
    const std::vector<uint8_t> eb = simComb_Bytes(e);
    rec.insert(rec.end(), eb.begin(), eb.end());
    return c.Ostrel(i).Command(TGT_MSG_TYPE__UPDATE_DEV_SCAN_CONF, 0, rec);
}

// The file offset of the block whose patterned head names (comb, lb, version), found among the
// data extents of a sparse device file; -1 when none holds it.
off_t findBlock(const std::string &path, uint64_t lb, uint32_t version)
{
    const std::vector<uint8_t> want = clusterPattern(kComb, (uint32_t)lb, 1, version);
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return -1;
    off_t found = -1;
    std::vector<uint8_t> buf(1 << 20);
    for (off_t at = lseek(fd, 0, SEEK_DATA); at >= 0 && found < 0; at = lseek(fd, at, SEEK_DATA)) {
        const off_t end = lseek(fd, at, SEEK_HOLE);
        for (; at < end && found < 0; at += (off_t)buf.size()) {
            const ssize_t n = pread(fd, buf.data(), buf.size(), at);
            if (n <= 0)
                break;
            for (ssize_t k = 0; k + 512 <= n; k += 512)
                if (memcmp(buf.data() + k, want.data(), 512) == 0) {
                    found = at + k;
                    break;
                }
        }
    }
    close(fd);
    return found;
}

bool overwriteBlock(const std::string &path, off_t at, uint8_t fill)
{
    int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0)
        return false;
    std::vector<uint8_t> junk(512, fill);
    bool bOk = pwrite(fd, junk.data(), junk.size(), at) == (ssize_t)junk.size() && fsync(fd) == 0;
    close(fd);
    return bOk;
}

// The partner is killed, the primary goes on alone (degraded with the Ostrel's leave), the partner
// comes back and the Ostrel has it rebuilt: COPY, COPY_DONE, NORMAL. A rebuild whose partner dies
// mid-copy ends COPY_ERROR, and a second run completes it. Both copies then hold every write.
TEST(PellarResync, ADegradedPartnerIsRebuiltAfterItsRestartAndBothCopiesMatch)
{
    Cluster c(keepDir());
    std::vector<Written> ranges;
    ASSERT_TRUE(startAndWriteTeeth(c, 0, 4, 64, &ranges));

    std::vector<Written> alone;
    ASSERT_TRUE(degradeAndWriteAlone(c, 18, &alone)) << c.LastError();
    EXPECT_GE(c.PermitRequests(0), 1u);

    // A slow rebuild whose partner dies mid-copy: COPY_ERROR.
    ASSERT_TRUE(c.Restart(1)) << c.LastError();
    ASSERT_EQ(setCopyLimits(c, 0, 1, 1), MOS_RC__SUCCESS);
    ASSERT_EQ(
        c.SetCombState(0, kComb, COMB_STATE__PRIMARY, COMB_RAID_STATE__COPY, COMB_RAID_STATE__DEGRADED_REMOTE_ERROR),
        MOS_RC__SUCCESS)
        << c.LastError();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    c.Kill(1);
    ASSERT_TRUE(c.WaitRaidState(0, kComb, COMB_RAID_STATE__COPY_ERROR, kLimit)) << c.LastError();

    // The second run, at full speed, completes.
    ASSERT_TRUE(c.Restart(1)) << c.LastError();
    ASSERT_EQ(setCopyLimits(c, 0, 0, 0), MOS_RC__SUCCESS);
    ASSERT_EQ(c.SetCombState(0, kComb, COMB_STATE__PRIMARY, COMB_RAID_STATE__DEGRADED_REMOTE_ERROR,
                             COMB_RAID_STATE__COPY_ERROR),
              MOS_RC__SUCCESS)
        << c.LastError();
    ASSERT_EQ(
        c.SetCombState(0, kComb, COMB_STATE__PRIMARY, COMB_RAID_STATE__COPY, COMB_RAID_STATE__DEGRADED_REMOTE_ERROR),
        MOS_RC__SUCCESS)
        << c.LastError();
    ASSERT_TRUE(c.WaitRaidState(0, kComb, COMB_RAID_STATE__COPY_DONE, kLimit)) << c.LastError() << c.Proc(0).traces();
    ASSERT_EQ(c.SetCombState(0, kComb, COMB_STATE__PRIMARY, COMB_RAID_STATE__NORMAL, COMB_RAID_STATE__COPY_DONE),
              MOS_RC__SUCCESS)
        << c.LastError();

    ranges.insert(ranges.end(), alone.begin(), alone.end());
    ranges[1] = {1 * kTooth, 8, 1}; // around the later partial write
    ranges.push_back({1 * kTooth + 24, 40, 1});
    ASSERT_TRUE(readsBack(c, 0, ranges));
    ASSERT_TRUE(swapRoles(c, 0, 1));
    EXPECT_TRUE(readsBack(c, 1, ranges));
}

// A block of the secondary's device changed behind the servers' backs: the scan with checksums
// reports it to the Ostrel (1005: comb, tooth, the primary's device) and overwrites it with the
// primary's data; a scan that only reads reports nothing.
TEST(PellarResync, TheScanFindsABlockCorruptedOnTheSecondaryAndRepairsIt)
{
    Cluster c(keepDir());
    std::vector<Written> ranges;
    ASSERT_TRUE(startAndWriteTeeth(c, 0, 3, kTooth, &ranges));
    const uint32_t badLb = 1 * kTooth + 300;
    const off_t at = findBlock(c.DevPath(1), badLb, 1);
    ASSERT_GE(at, 0) << "the secondary's device holds the block";
    ASSERT_TRUE(overwriteBlock(c.DevPath(1), at, 0xEE));

    const size_t scansBefore = countOf(c.Proc(0).traces(), "Scan comb 8000 finished");
    ASSERT_EQ(setScan(c, 0, TGT_SCAN_FLAVOR__READ), MOS_RC__SUCCESS);
    auto deadline = Clock::now() + kLimit;
    while (countOf(c.Proc(0).traces(), "Scan comb 8000 finished") < scansBefore + 2 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_GE(countOf(c.Proc(0).traces(), "Scan comb 8000 finished"), scansBefore + 2) << "two read-only scans ran";
    EXPECT_TRUE(c.Ostrel(0).Reports(kCompareErrorType).empty());

    ASSERT_EQ(setScan(c, 0, TGT_SCAN_FLAVOR__READ_AND_COMPARE), MOS_RC__SUCCESS);
    ASSERT_TRUE(c.Ostrel(0).WaitReports(kCompareErrorType, 1, kLimit));
    ASSERT_EQ(setScan(c, 0, TGT_SCAN_FLAVOR__OFF), MOS_RC__SUCCESS);
    const std::vector<SimReport> reports = c.Ostrel(0).Reports(kCompareErrorType);
    ASSERT_EQ(reports[0].payload.size(), 20u);
    uint64_t combId, devId;
    uint32_t offsetInComb;
    memcpy(&combId, reports[0].payload.data(), 8);
    memcpy(&offsetInComb, reports[0].payload.data() + 8, 4);
    memcpy(&devId, reports[0].payload.data() + 12, 8);
    EXPECT_EQ(combId, kComb);
    EXPECT_EQ(offsetInComb, 1 * kTooth);
    EXPECT_EQ(devId, c.DevId(0));

    ASSERT_TRUE(swapRoles(c, 0, 1));
    EXPECT_TRUE(readsBack(c, 1, ranges)) << "the repair reached the secondary's device";
}

// A comb migrates to a third pellar while a client writes to it: the copy ends COPY_DONE, the
// Ostrel ends the migration (a repeated end answers 48) and the third pellar, made primary, reads
// back every write, those from before and those during the copy.
TEST(PellarResync, AMigrationUnderLoadMovesTheCopyToAThirdPellar)
{
    ClusterOptions opts;
    opts.numPellars = 3;
    Cluster c(keepDir(), opts);
    std::vector<Written> ranges;
    ASSERT_TRUE(startAndWriteTeeth(c, 8, 24, kTooth, &ranges));
    ASSERT_TRUE(c.AddMigrationTarget(kComb, 2)) << c.LastError();

    ClusterLoad load(c, 0, {kComb}, 2, 8, 1024);
    load.Start();
    ASSERT_EQ(setCopyLimits(c, 0, 4, 4), MOS_RC__SUCCESS) << "a copy slow enough for the load to run beside it";
    ASSERT_EQ(c.StartMigrate(kComb, 2, 1), MOS_RC__SUCCESS) << c.LastError();
    ASSERT_TRUE(c.WaitRaidState(0, kComb, COMB_RAID_STATE__COPY_DONE, kLimit, RAID_PROT_TYPE__MIGRATE))
        << c.LastError();
    load.Stop();
    EXPECT_GT(load.Acked(), 0u);
    EXPECT_EQ(load.Failed(), 0u);
    ASSERT_EQ(c.EndMigrate(kComb, 2, 1), MOS_RC__SUCCESS) << c.LastError();
    EXPECT_EQ(c.EndMigrate(kComb, 2, 1), MOS_RC__MIGRATE_COMPLETED);
    ASSERT_TRUE(swapRoles(c, 0, 2));
    EXPECT_TRUE(readsBack(c, 2, ranges));
    std::string why;
    EXPECT_TRUE(load.Verify(2, &why)) << why;
}

// The secondary is gone and the primary goes on alone; a third pellar becomes its maintenance
// partner and the maintenance rebuild brings it every range the partner missed (COPY, then
// COPY_DONE reported for the maintenance partnership). With the primary gone too, the third pellar
// alone serves those writes.
TEST(PellarResync, AMaintenanceRebuildBringsAThirdPellarTheWritesThePartnerMissed)
{
    ClusterOptions opts;
    opts.numPellars = 3;
    Cluster c(keepDir(), opts);
    ASSERT_TRUE(c.StartAll()) << c.LastError();
    ASSERT_TRUE(c.AddMirroredComb(kComb, 0, 1)) << c.LastError();
    ASSERT_EQ(c.WritePattern(0, kComb, 1 * kTooth, 64, 1), MOS_RC__SUCCESS);
    std::vector<Written> alone;
    ASSERT_TRUE(degradeAndWriteAlone(c, 14, &alone)) << c.LastError();

    ASSERT_TRUE(c.AddMigrationTarget(kComb, 2)) << c.LastError();
    ASSERT_EQ(c.SetMaintenance(kComb, 2, COMB_RAID_STATE__COPY), MOS_RC__SUCCESS) << c.LastError();
    ASSERT_TRUE(c.WaitRaidState(0, kComb, COMB_RAID_STATE__COPY_DONE, kLimit, RAID_PROT_TYPE__MAINTENANCE))
        << c.LastError() << c.Proc(0).traces();

    c.Kill(0);
    ASSERT_EQ(c.SetCombState(2, kComb, COMB_STATE__PRIMARY, COMB_RAID_STATE__DEGRADED_REMOTE_ERROR,
                             COMB_RAID_STATE__UNKNOWN_IN_TGT),
              MOS_RC__SUCCESS)
        << c.LastError();
    EXPECT_TRUE(readsBack(c, 2, alone));
}

} // namespace
