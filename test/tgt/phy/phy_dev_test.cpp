// Physical device: format and reopen with their codes, the size rules, the header fix that keeps
// a foreign layout, the log-mode switch, the scan counters, and log bits that outlive a reopen
// and, in shared memory, the process.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

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
        dev.run([&] { rc = phyDev_Init(&pd, nullptr, &dev.file, size, 2048, tgt, devId, bMemDrl, bNew, &throttling, FALSE,
                                          FALSE, FALSE, nullptr, nullptr, &progress, FALSE, 0, scanKb); });
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
    PhyDevThrottlingInfo throttling{};
    UINT32 scanKb = 0;
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
            // The child formatted a device of its own; _exit runs no destructor to remove it.
            std::error_code ec;
            std::filesystem::remove_all(dev.dir.path(), ec);
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
    dev.run([&] { phyDev_IncreaseLocalDiskFixesCounter(&pd); });
    EXPECT_EQ(dev.writes(), before + 3) << "a compare error and a local fix reach the disk at once";
    ASSERT_EQ(init(FALSE), MOS_RC__SUCCESS);
    UINT32 errors, mbs;
    phyDev_GetScanCounters(&pd, &errors, &mbs);
    EXPECT_EQ(errors, 1u);
    EXPECT_EQ(mbs, 3000u);
    EXPECT_EQ(pd.localDiskFixesCounter, 1u);
}

TEST_F(PhyDevTest, ThrottlingLimitsComeFromTheAddedDevice)
{
    struct Case {
        const char *pWhat;
        PhyDevThrottlingInfo info;
        UINT32 rebuild, rebalance, lowPrio, rebuildMaxLbs, rebalanceMaxLbs;
        BOOL bRebuildWindow, bRebalanceWindow;
    } cases[] = {
        {"zero limits mean 1000", {}, 1000, 1000, 1000, 0, 0, FALSE, FALSE},
        {"the larger limit bounds low priority", {.rebuildConcurrentIOLimit = 7, .rebalanceConcurrentIOLimit = 12,
          .rebuildBWLimitKB = 100, .rebalanceBWLimitKB = 50, .rebalanceQuietPeriodMs = 200,
          .rebalanceAppIopsPerDeviceThreshold = 5, .rebalanceAppBwPerDeviceThresholdKB = 64},
         7, 12, 12, 200, 100, FALSE, TRUE},
        {"a zero limit beside a set one", {.rebuildConcurrentIOLimit = 3, .rebuildQuietPeriodMs = 100}, 3, 1000,
         1000, 0, 0, TRUE, FALSE},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.pWhat);
        throttling = c.info;
        scanKb = 500;
        ASSERT_EQ(init(TRUE), MOS_RC__SUCCESS);
        EXPECT_EQ(pd.rebuildLimit, c.rebuild);
        EXPECT_EQ(pd.rebalanceLimit, c.rebalance);
        EXPECT_EQ(mosUmtSem_GetCount(&pd.parallelRebuildToDev), c.rebuild);
        EXPECT_EQ(mosUmtSem_GetCount(&pd.parallelRebalanceToDev), c.rebalance);
        EXPECT_EQ(mosUmtSem_GetCount(&pd.parallelLowPrioOperationsToDev), c.lowPrio);
        EXPECT_EQ(pd.rebuildLimiter.maxLbsDuringHighPrio, c.rebuildMaxLbs);
        EXPECT_EQ(pd.rebalanceLimiter.maxLbsDuringHighPrio, c.rebalanceMaxLbs);
        EXPECT_EQ(mosLimiter_GetMaxRsrcInSec(&pd.rebuildLimiter.limiter), (UINT64)c.rebuildMaxLbs);
        EXPECT_EQ(mosLimiter_GetMaxRsrcInSec(&pd.scanLimiter), 1000u) << "scan KB become LB";
        EXPECT_EQ(pd.rebuildLimiter.bSlidingWindowIsUsed, c.bRebuildWindow);
        EXPECT_EQ(pd.rebalanceLimiter.bSlidingWindowIsUsed, c.bRebalanceWindow);
    }
    // A failed add leaves nothing behind (the windows were made before the size check).
    throttling = cases[1].info;
    EXPECT_EQ(init(TRUE, FALSE, 1000), MOS_RC__DEV_SIZE_TOO_SMALL);
    EXPECT_FALSE(pd.rebalanceLimiter.bSlidingWindowInit);
}

TEST_F(PhyDevTest, ReadDevIdTellsOursFromForeignAndMissing)
{
    ASSERT_EQ(init(TRUE), MOS_RC__SUCCESS);
    down();
    TgtDevId id = 0;
    TgtId tgt = 0;
    Mos_RC rc = MOS_RC__ERROR;
    dev.run([&] { rc = phyDev_ReadDevId(dev.path.c_str(), &dev.aio, &id, &tgt); });
    ASSERT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_EQ(id, devId);
    EXPECT_EQ(tgt, kTgt);

    int fd = ::open(dev.path.c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, "garbage!", 8, PHY_DEV__HEADER_OFFSET * 512), 8);
    ::close(fd);
    id = 0;
    dev.run([&] { rc = phyDev_ReadDevId(dev.path.c_str(), &dev.aio, &id, &tgt); });
    EXPECT_EQ(rc, MOS_RC__INVALID_DEVICE_HEADER_SIGNATURE);
    EXPECT_EQ(id, 0u) << "no ids from a foreign header";

    std::string missing = dev.path + ".missing";
    dev.run([&] { rc = phyDev_ReadDevId(missing.c_str(), &dev.aio, &id, &tgt); });
    EXPECT_NE(rc, MOS_RC__SUCCESS);
    EXPECT_NE(rc, MOS_RC__INVALID_DEVICE_HEADER_SIGNATURE);
}

TEST_F(PhyDevTest, AsyncHardenRaisesTheActionSemaphoreAndQueryCountsIt)
{
    ASSERT_EQ(init(TRUE), MOS_RC__SUCCESS);
    PhyDevQuery q{};
    phyDev_Query(&pd, &q);
    EXPECT_EQ(q.totalSizeInLbs, kDevLbs);
    EXPECT_EQ(q.maxNumOfCombs, pd.maxNumOfCombs);
    EXPECT_EQ(q.teethOffsetInLbs, pd.teethOffsetInLbs);
    EXPECT_EQ(q.maxNumOfTeeth, 1023u);
    EXPECT_EQ(q.fineDrlGranularity, 1024u);
    EXPECT_EQ(q.combArrayHardens, 0u);
    UINT32 hardensBefore = q.toothArrayHardens;

    MosUmt_Sem actionSem;
    mosUmtSem_Init(&actionSem);
    PhyDevHardenJob job{&pd, 1, &actionSem, FALSE};
    PhyToothList list;
    phyToothList_Init(&list);
    BOOL bFirst = FALSE;
    dev.run([&] {
        phyDev_AllocToothAndUpdate(&pd, 0x10, 0, 1, 1, &list, FALSE, &bFirst);
        phyDev_HardenAllCombArr_Async(&job);
    });
    EXPECT_TRUE(job.bOk);
    EXPECT_EQ(mosUmtSem_GetCount(&actionSem), 1u);
    phyDev_Query(&pd, &q);
    EXPECT_EQ(q.combArrayHardens, 1u);
    EXPECT_EQ(q.combArrayHardenInLbs, (UINT64)pd.devComb.mapSizeInLbs);
    EXPECT_GT(q.toothArrayHardens, hardensBefore);
    EXPECT_EQ(q.currBaseTeeth, 1u);

    // A device error is reported and still wakes the device set.
    dev.failWrites(true);
    phyDevComb_PartialAllocDone(&pd.devComb); // a change to write
    job.bOk = TRUE;
    dev.run([&] { phyDev_HardenAllCombArr_Async(&job); });
    dev.failWrites(false);
    dev.file.bHasIoFailed = FALSE;
    EXPECT_FALSE(job.bOk);
    EXPECT_EQ(mosUmtSem_GetCount(&actionSem), 2u);
    mosUmtSem_Destroy(&actionSem);
}

TEST_F(PhyDevTest, SettingsAndFineBitCopy)
{
    ASSERT_EQ(init(TRUE), MOS_RC__SUCCESS);
    struct {
        UINT32 mode;
        Mos_RC rc;
        BOOL bAfter;
    } t10[] = {{1, MOS_RC__SUCCESS, TRUE}, {2, MOS_RC__INVALID, TRUE}, {0, MOS_RC__SUCCESS, FALSE}};
    for (auto &c : t10) {
        EXPECT_EQ(phyDev_UpdateT10DIFNonPersistent(&pd, c.mode), c.rc) << c.mode;
        EXPECT_EQ(pd.bChecksumEnabled, c.bAfter) << c.mode;
    }
    phyDev_UpdateDevRamcacheUse(&pd, TRUE);
    EXPECT_EQ(pd.ramcacheGenNum, 0u);
    phyDev_UpdateDevRamcacheUse(&pd, FALSE);
    phyDev_UpdateDevRamcacheUse(&pd, FALSE);
    EXPECT_EQ(pd.ramcacheGenNum, 1u) << "raised once per departure";
    phyDev_SetDestBwLimits(&pd, 300, 40);
    EXPECT_EQ(phyDev_GetLbsPerRebJob(&pd, TRUE), 600u);
    EXPECT_EQ(phyDev_GetLbsPerRebJob(&pd, FALSE), 80u);

    // Fine bits of one region move from the active log to the rebuild log and nowhere else.
    ASSERT_TRUE(setDirty(PHY_DEV_DRL_TYPE__ACTIVE, tooth(5) + 16));
    Drl *pActive = &pd.drls[PHY_DEV_DRL_TYPE__ACTIVE].drl;
    Drl *pRebuild = &pd.drls[PHY_DEV_DRL_TYPE__REBUILD].drl;
    UINT32 key, last;
    drl_calcFirstLastBits(pActive, tooth(5), 1, &key, &last);
    ToothDirtyBitArray *pArr = nullptr;
    ASSERT_TRUE(fineDrl_GetToothArrayByIndex(&pActive->FineGranularityDrl, &pArr, key));
    EXPECT_FALSE(fineDrl_GetToothArrayByIndex(&pRebuild->FineGranularityDrl, &pArr, key));
    BOOL ok = FALSE;
    dev.run([&] {
        ok = phyDev_CopyBits(&pd, PHY_DEV_DRL_TYPE__ACTIVE, PHY_DEV_DRL_TYPE__REBUILD, key,
                             drl_GetFineDrlNumBits(pActive));
    });
    EXPECT_TRUE(ok);
    ASSERT_TRUE(fineDrl_GetToothArrayByIndex(&pRebuild->FineGranularityDrl, &pArr, key));
    EXPECT_EQ(pArr->setBitsCounter, 1u);
    EXPECT_FALSE(fineDrl_GetToothArrayByIndex(&pRebuild->FineGranularityDrl, &pArr, key + 1));
}
} // namespace
