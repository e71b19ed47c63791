// Physical device: format and reopen with their codes, the size rules, the header fix that keeps
// a foreign layout, the log-mode switch, the scan counters, and log bits that outlive a reopen
// and, in shared memory, the process.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

#include "test/support/tgt_dev_fixture.h"
#include "tgt/phy/phy_dev.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

constexpr UINT64 kDevLbs = 4194304; // 2 GB
constexpr TgtId kTgt = 0x7007;

class PhyDevTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        tgtConf_SetDefaults();
        tgtInitParam_G.phyDevMinCapacityInLbs = 4194304 - 4096;
        // A death-test child of the shared-memory test runs the test again: it must name the
        // same segments as its parent.
        bool bChild = !GTEST_FLAG_GET(internal_run_death_test).empty();
        devId = 0xDE0000000ull + (UINT64)(bChild ? getppid() : getpid());
        unlinkShm();
        dev.open("dev", kDevLbs * 512 + 1000 * 512);
    }
    void TearDown() override
    {
        if (bUp)
            phyDev_Destroy(&pd);
        dev.close();
        unlinkShm();
    }
    void unlinkShm()
    {
        for (UINT32 i : {PHY_DEV__DBM_ACTIVE_INDEX, PHY_DEV__DBM_REBUILD_INDEX}) {
            char name[BIT_ARRAY__SHM_NAME_LEN + 1];
            bitArray_ShmName(name, devId, i, BIT_ARRAY__SHM_TYPE_WORKING);
            shm_unlink(name);
        }
    }
    Mos_RC init(BOOL bNew, BOOL bMemDrl = FALSE, UINT64 size = kDevLbs + 1000, TgtId tgt = kTgt)
    {
        if (bUp)
            down();
        Mos_RC rc = MOS_RC__ERROR;
        dev.run([&] { rc = phyDev_Init(&pd, nullptr, &dev.file, size, 2048, tgt, devId, bMemDrl, bNew, &progress); });
        bUp = rc == MOS_RC__SUCCESS;
        return rc;
    }
    void down()
    {
        phyDev_Destroy(&pd);
        bUp = false;
    }
    PhyDevHeader diskHeader()
    {
        UINT8 buf[128];
        int fd = ::open(dev.path.c_str(), O_RDONLY);
        EXPECT_EQ(pread(fd, buf, 128, PHY_DEV__HEADER_OFFSET * 512), 128);
        ::close(fd);
        PhyDevHeader h{};
        phyDevHeader_Decode(buf, &h);
        return h;
    }
    BOOL setDirty(UINT32 type, UINT64 off)
    {
        BOOL ok = FALSE;
        dev.run([&] { ok = phyDev_SetDirty(&pd, type, off, 8, TRUE, (UINT32)(off % 2048), TRUE); });
        return ok;
    }
    UINT64 tooth(UINT32 t) { return pd.teethOffsetInLbs + (UINT64)t * 2048; }

    TgtDevFixture dev;
    PhyDev pd;
    PhyAddDevProgress progress{};
    UINT64 devId = 0;
    bool bUp = false;
};

TEST_F(PhyDevTest, FormatWritesTheHeaderLastAndReopenChecksIt)
{
    dev.logWrites(true);
    ASSERT_EQ(init(TRUE), MOS_RC__SUCCESS);
    auto log = dev.log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().offset, PHY_DEV__HEADER_OFFSET * 512ull) << "the header is the last write";
    dev.logWrites(false);
    EXPECT_EQ(pd.totalSizeInLbs, kDevLbs);
    EXPECT_EQ(pd.numOfTeeth, 1023u);
    EXPECT_EQ(pd.teethOffsetInLbs, PHY_DEV__START_USER_DATA);
    PhyDevHeader h = diskHeader();
    EXPECT_EQ(h.sigStart, PHY_DEV__SIGNATURE);
    EXPECT_EQ(h.devId, devId);
    EXPECT_NE(h.type, (UINT32)DEV_TYPE__NONE) << "the type was measured";
    EXPECT_GE(progress.numOfSteps, 5u);

    struct Case {
        const char *pWhat;
        std::function<void()> prepare;
        UINT64 size;
        TgtId tgt;
        Mos_RC rc;
    } cases[] = {
        {"ours", [] {}, kDevLbs + 1000, kTgt, MOS_RC__SUCCESS},
        {"any owner", [] {}, kDevLbs, 0, MOS_RC__SUCCESS},
        {"another owner", [] {}, kDevLbs, kTgt + 1, MOS_RC__TGT_ADD_DEVICE_VALIDATION_FAILED},
        {"size changed", [] {}, kDevLbs - 2048, kTgt, MOS_RC__TGT_ADD_DEV_SIZE_PROBLEM},
        {"another comb size", [] { combSizeInLbs_g = 8388608; }, kDevLbs, kTgt,
         MOS_RC__TGT_ADD_DEVICE_VALIDATION_FAILED},
        {"fix_header keeps a foreign layout",
         [] {
             combSizeInLbs_g = 8388608;
             tgtInitParam_G.bPhyDevFixHeader = TRUE;
         },
         kDevLbs, kTgt, MOS_RC__TGT_ADD_DEVICE_VALIDATION_FAILED},
        {"fix_header restamps its own layout", [] { tgtInitParam_G.bPhyDevFixHeader = TRUE; }, kDevLbs, kTgt,
         MOS_RC__SUCCESS},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.pWhat);
        c.prepare();
        EXPECT_EQ(init(FALSE, FALSE, c.size, c.tgt), c.rc);
        EXPECT_EQ(diskHeader().combSizeInLbs, TGT__DEFAULT_COMB_SIZE_IN_LBS) << "the header is never restamped";
        combSizeInLbs_g = TGT__DEFAULT_COMB_SIZE_IN_LBS;
        tgtInitParam_G.bPhyDevFixHeader = FALSE;
    }
    if (bUp)
        down();
    int fd = ::open(dev.path.c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, std::string(128, '\0').data(), 128, PHY_DEV__HEADER_OFFSET * 512), 128);
    ::close(fd);
    EXPECT_EQ(init(FALSE), MOS_RC__TGT_ADD_DEVICE_VALIDATION_FAILED) << "an unformatted device is not ours";
}

TEST_F(PhyDevTest, SizeRules)
{
    struct Case {
        UINT64 minLbs;
        UINT64 maxGbs;
        UINT64 size;
        Mos_RC rc;
    } cases[] = {
        {4194304 - 2048, 8704, 4194304 - 2048 + 2047, MOS_RC__SUCCESS},
        {4194304, 8704, 4194304 - 1, MOS_RC__DEV_SIZE_TOO_SMALL},
        {4194304, 1, 4194304, MOS_RC__DEV_SIZE_TOO_LARGE},
        {0, 8704, 2047, MOS_RC__DEV_SIZE_TOO_SMALL},
    };
    for (auto &c : cases) {
        tgtInitParam_G.phyDevMinCapacityInLbs = c.minLbs;
        tgtInitParam_G.phyDevMaxCapacityInGbs = c.maxGbs;
        EXPECT_EQ(init(TRUE, FALSE, c.size), c.rc) << c.size;
        if (c.rc == MOS_RC__SUCCESS) {
            EXPECT_EQ(pd.totalSizeInLbs, c.size / 2048 * 2048);
        }
    }
}

TEST_F(PhyDevTest, LogBitsOutliveReopenAndMoveBetweenModes)
{
    ASSERT_EQ(init(TRUE), MOS_RC__SUCCESS);
    ASSERT_TRUE(setDirty(PHY_DEV_DRL_TYPE__ACTIVE, tooth(3) + 16));
    ASSERT_TRUE(setDirty(PHY_DEV_DRL_TYPE__REBUILD, tooth(700)));
    ASSERT_EQ(init(FALSE), MOS_RC__SUCCESS);
    EXPECT_FALSE(phyDev_IsClean(&pd, PHY_DEV_DRL_TYPE__ACTIVE, tooth(3)));
    EXPECT_TRUE(phyDev_IsClean(&pd, PHY_DEV_DRL_TYPE__ACTIVE, tooth(4)));
    EXPECT_FALSE(phyDev_IsClean(&pd, PHY_DEV_DRL_TYPE__REBUILD, tooth(700)));

    // A refused write at the test block leaves the mode as it was.
    dev.failWrites(true);
    Mos_RC rc = MOS_RC__SUCCESS;
    dev.run([&] { rc = phyDev_ValidateBmWorkMode(&pd, TRUE); });
    EXPECT_EQ(rc, MOS_RC__IO_HARD_ERROR);
    dev.failWrites(false);
    dev.file.bHasIoFailed = FALSE;
    EXPECT_EQ(diskHeader().flags & PHY_DEV_HDR_FLAG__MEM_DRL, 0u);

    ASSERT_EQ(init(FALSE, TRUE), MOS_RC__SUCCESS) << "reopen in memory mode moves the logs";
    EXPECT_EQ(diskHeader().flags & PHY_DEV_HDR_FLAG__MEM_DRL, PHY_DEV_HDR_FLAG__MEM_DRL);
    EXPECT_FALSE(phyDev_IsClean(&pd, PHY_DEV_DRL_TYPE__ACTIVE, tooth(3)));
    ASSERT_TRUE(setDirty(PHY_DEV_DRL_TYPE__ACTIVE, tooth(9)));
    ASSERT_EQ(init(FALSE, TRUE), MOS_RC__SUCCESS);
    EXPECT_FALSE(phyDev_IsClean(&pd, PHY_DEV_DRL_TYPE__ACTIVE, tooth(9))) << "kept in the segment";
    ASSERT_EQ(init(FALSE, FALSE), MOS_RC__SUCCESS) << "and back to disk";
    EXPECT_EQ(diskHeader().flags & PHY_DEV_HDR_FLAG__MEM_DRL, 0u);
    ASSERT_EQ(init(FALSE, FALSE), MOS_RC__SUCCESS);
    EXPECT_FALSE(phyDev_IsClean(&pd, PHY_DEV_DRL_TYPE__ACTIVE, tooth(9))) << "flushed to the device";
    EXPECT_FALSE(phyDev_IsClean(&pd, PHY_DEV_DRL_TYPE__REBUILD, tooth(700)));
}

TEST_F(PhyDevTest, MemoryLogBitsOutliveTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(init(TRUE, TRUE), MOS_RC__SUCCESS);
    EXPECT_EXIT(
        {
            setDirty(PHY_DEV_DRL_TYPE__ACTIVE, tooth(77));
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    down();
    ASSERT_EQ(init(FALSE, TRUE), MOS_RC__SUCCESS);
    EXPECT_FALSE(phyDev_IsClean(&pd, PHY_DEV_DRL_TYPE__ACTIVE, tooth(77))) << "set by a process that is gone";
    EXPECT_TRUE(phyDev_IsClean(&pd, PHY_DEV_DRL_TYPE__ACTIVE, tooth(78)));
}

TEST_F(PhyDevTest, ScannedCounterReachesTheDiskEvery3000)
{
    ASSERT_EQ(init(TRUE), MOS_RC__SUCCESS);
    size_t before = dev.writes();
    dev.run([&] {
        for (int i = 0; i < 2999; i++)
            phyDev_IncreaseMBsScannedCounter(&pd);
    });
    EXPECT_EQ(dev.writes(), before);
    dev.run([&] { phyDev_IncreaseMBsScannedCounter(&pd); });
    EXPECT_EQ(dev.writes(), before + 1);
    dev.run([&] { phyDev_IncreaseScanCompareErrorsCounter(&pd); });
    ASSERT_EQ(init(FALSE), MOS_RC__SUCCESS);
    UINT32 errors, mbs;
    phyDev_GetScanCounters(&pd, &errors, &mbs);
    EXPECT_EQ(errors, 1u);
    EXPECT_EQ(mbs, 3000u);
}
} // namespace
