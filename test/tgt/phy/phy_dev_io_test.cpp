// Device reads and writes: padded writes of part of a tooth (every pad block with its own zero
// guard, none left over from an earlier pad, obfuscated pads), read codes (a guard failure stays
// 411), reads through the RAM read cache (widened pages, hit after a miss, invalidation by a
// write, de-obfuscation), the concurrency limits of copies, and the disk test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "mos/mos_utils_scramble.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "test/support/tgt_dev_fixture.h"
#include "tgt/phy/phy_dev_io.h"
#include "tgt/phy/zmp.h"
#include "tgt/rcache/rcache.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

constexpr UINT64 kDevLbs = 4194304; // 2 GB
constexpr TgtId kTgt = 0x7007;
constexpr TgtDevId kDevId = 0xD0D0;
constexpr UINT64 kKey = 0x0123456789ABCDEFull;

struct Blocks {
    explicit Blocks(UINT32 lbs, UINT8 fill) : data((size_t)lbs * 512, fill), dif(lbs)
    {
        mosT10Dif_GenT10DIF(data.data(), dif.data(), 0, 0, 0, lbs);
    }
    std::vector<UINT8> data;
    std::vector<T10Dif> dif;
};

class PhyDevIoTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        tgtConf_SetDefaults();
        tgtInitParam_G.phyDevMinCapacityInLbs = kDevLbs - 4096;
        dev.open("dev", kDevLbs * 512);
        zmp_Init(&zmp, ZMP__BUFFER_SIZE_IN_LBS, 1); // one buffer: every pad reuses it
        Mos_RC rc = MOS_RC__ERROR;
        dev.run([&] {
            rc = phyDev_Init(&pd, nullptr, &dev.file, kDevLbs, 2048, kTgt, kDevId, FALSE, TRUE, nullptr, FALSE, TRUE,
                             FALSE, nullptr, nullptr, nullptr, FALSE, 0, 0);
        });
        ASSERT_EQ(rc, MOS_RC__SUCCESS);
    }
    void TearDown() override
    {
        phyDev_Destroy(&pd);
        zmp_Destroy(&zmp);
        dev.close();
    }
    UINT64 tooth(UINT32 t) { return pd.teethOffsetInLbs + (UINT64)t * 2048; }
    std::vector<UINT8> onDisk(UINT64 lba, UINT32 lbs)
    {
        std::vector<UINT8> out((size_t)lbs * 512);
        int fd = ::open(dev.path.c_str(), O_RDONLY);
        EXPECT_EQ(pread(fd, out.data(), out.size(), (off_t)(lba * 512)), (ssize_t)out.size());
        ::close(fd);
        return out;
    }
    void poke(UINT64 lba, const std::vector<UINT8> &data)
    {
        int fd = ::open(dev.path.c_str(), O_WRONLY);
        EXPECT_EQ(pwrite(fd, data.data(), data.size(), (off_t)(lba * 512)), (ssize_t)data.size());
        ::close(fd);
    }
    Mos_RC padWrite(UINT64 lba, Blocks &b, UINT64 key, bool bWithDif, bool bVerify)
    {
        WrIoFlags f{.flags = 0};
        f.bZeroPad = 1;
        f.bT10Dif = bVerify ? 1 : 0;
        Mos_RC rc = MOS_RC__ERROR;
        dev.run([&] {
            rc = phyDev_WriteWithZeroPad(&pd, b.data.data(), bWithDif ? b.dif.data() : nullptr, lba,
                                         (UINT32)(b.data.size() / 512), f, COPY_TYPE__NONE, 0, 0, key, &zmp);
        });
        return rc;
    }

    TgtDevFixture dev;
    PhyDev pd{};
    Zmp zmp{};
};

TEST_F(PhyDevIoTest, APaddedWriteFillsItsToothWithZerosAndFreshGuards)
{
    struct Case {
        const char *pWhat;
        UINT32 lbInTooth, lbs;
        UINT64 key;
        bool bWithDif;
    } cases[] = {
        {"1 LB at the start of a tooth", 0, 1, 0, true},
        {"in the middle, guards made here", 100, 8, 0, false},
        {"at the end: no right pad", 2040, 8, 0, true},
        {"1 LB short of the tooth: no left pad", 1, 2047, 0, true},
        {"obfuscated pads", 500, 16, kKey, true},
    };
    UINT32 t = 0;
    for (auto &c : cases) {
        SCOPED_TRACE(c.pWhat);
        const UINT64 first = tooth(t++);
        poke(first, std::vector<UINT8>(2048 * 512, 0x5A)); // an earlier owner's data
        Blocks b(c.lbs, 0xC3);
        const UINT64 padsBefore = pd.zeroCount;
        // The whole tooth is verified before it is written: a stale guard anywhere would fail it.
        ASSERT_EQ(padWrite(first + c.lbInTooth, b, c.key, c.bWithDif, true), MOS_RC__SUCCESS);
        EXPECT_EQ(pd.zeroCount, padsBefore + 1);
        std::vector<UINT8> disk = onDisk(first, 2048);
        const size_t mid = (size_t)c.lbInTooth * 512, end = mid + (size_t)c.lbs * 512;
        EXPECT_TRUE(std::equal(b.data.begin(), b.data.end(), disk.begin() + (long)mid));
        for (auto [from, to] : {std::pair<size_t, size_t>{0, mid}, {end, disk.size()}}) {
            if (from == to)
                continue;
            const UINT64 lbs = (to - from) / 512;
            if (c.key == 0)
                EXPECT_TRUE(mos_IsZeroBufLbs(disk.data() + from, lbs));
            else
                EXPECT_TRUE(mos_IsZeroEncrypt(disk.data() + from, lbs, c.key));
        }
    }
    // The pool's buffer came back all zeros (its data part).
    void *pBuf = zmp_Allocate(&zmp, ZMP__BUFFER_SIZE_IN_LBS, FALSE);
    ASSERT_NE(pBuf, nullptr);
    EXPECT_TRUE(mos_IsZeroBufLbs(pBuf, 2048));
    zmp_Free(&zmp, pBuf);

    // A full tooth is never padded: the caller's (aligned) buffer goes to the device as it is.
    Blocks whole(2048, 0x11);
    void *pAligned = std::aligned_alloc(4096, whole.data.size());
    memcpy(pAligned, whole.data.data(), whole.data.size());
    const UINT64 padsBefore = pd.zeroCount;
    WrIoFlags f{.flags = 0};
    f.bZeroPad = 1;
    f.bT10Dif = 1;
    Mos_RC rc = MOS_RC__ERROR;
    dev.run([&] {
        rc = phyDev_WriteWithZeroPad(&pd, pAligned, whole.dif.data(), tooth(t), 2048, f, COPY_TYPE__NONE, 0, 0, 0,
                                     &zmp);
    });
    std::free(pAligned);
    ASSERT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_EQ(pd.zeroCount, padsBefore);
    EXPECT_EQ(onDisk(tooth(t), 2048), whole.data);
}

TEST_F(PhyDevIoTest, GuardFailuresKeep411AndOtherReadFailuresAreHardErrors)
{
    struct {
        Mos_RC file, expected;
    } codes[] = {
        {MOS_RC__SUCCESS, MOS_RC__SUCCESS},
        {MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED, MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED},
        {MOS_RC__IO_HARD_ERROR, MOS_RC__IO_HARD_ERROR},
        {MOS_RC__ERROR, MOS_RC__IO_HARD_ERROR},
        {MOS_RC__TIMEOUT, MOS_RC__IO_HARD_ERROR},
        {MOS_RC__PARAMETER_OUT_OF_RANGE, MOS_RC__IO_HARD_ERROR},
    };
    for (auto &c : codes)
        EXPECT_EQ(phyDev_ReadResult(c.file), c.expected) << mosRc_GetStr(c.file);

    // A write whose guards do not match its data is refused with 411 before it reaches the device.
    Blocks b(8, 0x42);
    b.dif[3].guard ^= 1;
    const size_t writes = dev.writes();
    WrIoFlags f{.flags = 0};
    f.bT10Dif = 1;
    Mos_RC rc = MOS_RC__ERROR;
    dev.run([&] { rc = phyDev_Write(&pd, b.data.data(), b.dif.data(), tooth(0), 8, f, COPY_TYPE__NONE, 0, 0, 0); });
    EXPECT_EQ(rc, MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED);
    EXPECT_EQ(dev.writes(), writes);
    EXPECT_EQ(padWrite(tooth(0) + 8, b, 0, true, true), MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED)
        << "a padded write checks the caller's guards too";
    EXPECT_EQ(pd.curHighPrioOps, 0u);

    // A read the device fails is a hard error, and client I/O is counted out again.
    dev.fake.setResultFunc([](const FakeAioBackend::Seen &s, size_t) { return s.bWrite ? FakeAioBackend::kFull : -EIO; });
    std::vector<UINT8> buf(8 * 512);
    RdIoFlags rd{.flags = 0};
    rd.bIgnorePrevIoErr = 1;
    dev.run([&] { rc = phyDev_Read(&pd, buf.data(), nullptr, tooth(0), 8, COPY_TYPE__NONE, 0, 0, rd); });
    EXPECT_EQ(rc, MOS_RC__IO_HARD_ERROR);
    EXPECT_EQ(pd.curHighPrioOps, 0u);
    dev.file.bHasIoFailed = FALSE;
}

TEST_F(PhyDevIoTest, ConcurrencyLimitsOfCopiesFollowTheManagementSide)
{
    struct {
        UINT32 rebuild, rebalance;
        UINT32 expRebuild, expRebalance, expLow;
    } steps[] = {
        {0, 0, 1000, 1000, 1000}, {1500, 20, 1500, 20, 1500}, {10, 30, 10, 30, 30}, {0, 5, 1000, 5, 1000},
    };
    for (auto &s : steps) {
        PhyDevThrottlingInfo t{};
        t.rebuildConcurrentIOLimit = s.rebuild;
        t.rebalanceConcurrentIOLimit = s.rebalance;
        dev.run([&] { phyDev_UpdateDevThrottlingConf(&pd, &t); });
        EXPECT_EQ(t.rebuildConcurrentIOLimit, s.expRebuild) << "0 is written back as 1000";
        EXPECT_EQ(mosUmtSem_GetCount(&pd.parallelRebuildToDev), s.expRebuild);
        EXPECT_EQ(mosUmtSem_GetCount(&pd.parallelRebalanceToDev), s.expRebalance);
        EXPECT_EQ(mosUmtSem_GetCount(&pd.parallelLowPrioOperationsToDev), s.expLow);
    }
    // A copy holds one unit of its kind and one low-priority unit while it runs.
    UINT32 rebuildWaiting = 9, rebalanceWaiting = 9;
    dev.run([&] {
        phyDev_StartThrottling(&pd, 2048, COPY_TYPE__MIGRATION, FALSE);
        EXPECT_EQ(mosUmtSem_GetCount(&pd.parallelRebalanceToDev), 4u);
        EXPECT_EQ(mosUmtSem_GetCount(&pd.parallelLowPrioOperationsToDev), 999u);
        phyDev_GetDevThrottlingInfo(&pd, &rebuildWaiting, &rebalanceWaiting);
        phyDev_EndThrottling(&pd, 2048, COPY_TYPE__MIGRATION);
    });
    EXPECT_EQ(rebuildWaiting + rebalanceWaiting, 0u);
    EXPECT_EQ(mosUmtSem_GetCount(&pd.parallelRebalanceToDev), 5u);
    EXPECT_EQ(mosUmtSem_GetCount(&pd.parallelLowPrioOperationsToDev), 1000u);
}

TEST_F(PhyDevIoTest, ARebuildCopyWaitsWhileClientIoKeepsTheWindowBusy)
{
    PhyDevThrottlingInfo t{};
    t.rebuildBWLimitKB = 1; // 2 LB a second: a copy of a tooth overdraws it at once
    t.rebuildQuietPeriodMs = 100;
    dev.run([&] { phyDev_UpdateDevThrottlingConf(&pd, &t); });
    struct Copy {
        PhyDev *pDev;
        std::atomic<bool> bAdmitted{false};
    } copies[2];
    std::vector<HMosUmt_UThread> handles;
    for (Copy &c : copies) {
        c.pDev = &pd;
        handles.push_back(mosUmt_CreateUThreadEx(
            [](void *p) {
                auto *pc = static_cast<Copy *>(p);
                phyDev_StartThrottling(pc->pDev, 2048, COPY_TYPE__FWD_REBUILD, TRUE);
                pc->bAdmitted = true;
            },
            &c, &dev.sched.base, nullptr, TRUE, MosUmtClassId{0, 0}));
    }
    auto waiting = [&] {
        UINT32 rebuild = 0, rebalance = 0;
        phyDev_GetDevThrottlingInfo(&pd, &rebuild, &rebalance);
        return rebuild;
    };
    auto admitted = [&] { return (UINT32)copies[0].bAdmitted + (UINT32)copies[1].bAdmitted; };
    ASSERT_TRUE(umtTest_WaitFor([&] { return waiting() >= 1 && waiting() + admitted() == 2; }))
        << "the budget is overdrawn: copies wait";
    const UINT32 stuck = waiting();

    // Client I/O fills the window: nothing is let through.
    std::vector<UINT8> buf(8 * 512);
    void *pAligned = std::aligned_alloc(4096, buf.size());
    dev.run([&] {
        for (int i = 0; i < 4; i++)
            phyDev_Read(&pd, pAligned, nullptr, tooth(0), 8, COPY_TYPE__NONE, 0, 0, RdIoFlags{.flags = 0});
    });
    std::free(pAligned);
    EXPECT_EQ(waiting(), stuck);

    // Once the window has been quiet for its period, the next release lets the copy through.
    EXPECT_TRUE(umtTest_WaitFor([&] {
        dev.run([&] {
            MosFastlockGuard g(&pd.limiterFastLock);
            phyDev_UpdateLimiterIODone(&pd.rebuildLimiter, 0, FALSE);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return waiting() == 0 && admitted() == 2;
    }));
    for (HMosUmt_UThread h : handles)
        mosUmt_JoinSync(h);
    dev.run([&] {
        phyDev_EndThrottling(&pd, 2048, COPY_TYPE__FWD_REBUILD);
        phyDev_EndThrottling(&pd, 2048, COPY_TYPE__FWD_REBUILD);
    });
    EXPECT_EQ(mosUmtSem_GetCount(&pd.parallelRebuildToDev), 1000u);
}

TEST_F(PhyDevIoTest, TheDiskTestRecordsItsRunsInTwoSlots)
{
    struct {
        UINT32 pattern, testNum;
        bool bFail;
        Mos_RC rc;
    } runs[] = {
        {DEV_TEST_PATTERN_TYPE__WRITE_SEQ, 1, false, MOS_RC__SUCCESS},
        {DEV_TEST_PATTERN_TYPE__READ_RAND, 2, false, MOS_RC__SUCCESS},
        {DEV_TEST_PATTERN_TYPE__WRITE_RAND, 3, true, MOS_RC__ERROR},
    };
    const UINT32 jobs = (UINT32)tgtInitParam_G.diskTestNumJobs;
    for (auto &r : runs) {
        dev.failWrites(r.bFail);
        PhyDevTest test;
        Mos_RC rc = MOS_RC__ERROR;
        dev.run([&] {
            rc = phyDev_TestStart(&pd, &test, r.pattern, 8, (UINT64)8 * 2 * jobs, 0, r.testNum);
            if (rc == MOS_RC__SUCCESS)
                phyDev_TestEnd(&pd, &test, r.pattern, 8);
        });
        dev.failWrites(false);
        dev.file.bHasIoFailed = FALSE;
        ASSERT_EQ(rc, MOS_RC__SUCCESS);
        const PhyDevTestHistory &h = pd.testHistory[pd.testHistoryIndex];
        EXPECT_EQ(h.testNum, r.testNum);
        EXPECT_EQ(h.devId, kDevId);
        EXPECT_EQ(h.numOfIos, 2u * jobs);
        EXPECT_EQ(h.totalLbs, 16u * jobs);
        EXPECT_EQ(h.rc, r.rc);
        EXPECT_GE(h.durationMs, 1u);
    }
    EXPECT_EQ(pd.testHistory[pd.testHistoryIndex ^ 1].testNum, 2u) << "the run before stays in the other slot";
    PhyDevTest test;
    Mos_RC rc = MOS_RC__SUCCESS;
    dev.run([&] { rc = phyDev_TestStart(&pd, &test, 9, 8, 64, 0, 4); });
    EXPECT_EQ(rc, MOS_RC__INVALID) << "an unknown pattern is refused";
}

class PhyDevCacheTest : public PhyDevIoTest {
  protected:
    void SetUp() override
    {
        PhyDevIoTest::SetUp();
        tgtInitParam_G.netParam.maxRcvMsg = 1000;
        mosUmtMgr_SetDefaults(&dev.sched.base, nullptr); // the cache's jobs run here
        rcache_Init(&cache, nullptr);
        ASSERT_EQ(rcache_ChangeSize(&cache, RCACHE__MIN_CACHE_SIZE_IN_LB), MOS_RC__SUCCESS);
        rcache_AddDevice(&cache, kDevId, FALSE);
        ASSERT_TRUE(umtTest_WaitFor([&] {
            MosFastlockGuard guard(&cache.fastlock);
            return cache.asyncCount == 0 && cache.bCreated;
        }));
        pd.pRcache = &cache;
        pd.bUseCache = TRUE;
    }
    void TearDown() override
    {
        rcache_Destroy(&cache);
        mosUmtMgr_SetDefaults(mosUmtMgr_GetForeignSched(), nullptr);
        PhyDevIoTest::TearDown();
    }
    // Reads through the cache; the bytes of the request itself.
    std::vector<UINT8> cachedRead(UINT64 lba, UINT32 lbs, UINT64 key, RCacheIoBuf *pIob)
    {
        rcacheIoBuf_Init(pIob, key, nullptr);
        Mos_RC rc = MOS_RC__ERROR;
        dev.run([&] { rc = phyDev_ReadWithCache(&pd, pIob, lba, lbs, COPY_TYPE__NONE, RdIoFlags{.flags = 0}, 0, 0); });
        EXPECT_EQ(rc, MOS_RC__SUCCESS);
        std::vector<UINT8> all;
        for (UINT32 i = 0; i < pIob->dataIov.numOfUsedBuffers; i++) {
            UINT32 len = 0;
            auto *p = static_cast<UINT8 *>(NET_IOV__GET(&pIob->dataIov, i, &len));
            all.insert(all.end(), p, p + len);
        }
        EXPECT_EQ(all.size(), (size_t)pIob->bufSizeInLbs * 512);
        std::vector<UINT8> out(all.begin() + (long)pIob->offsetInCacheBuffers * 512,
                               all.begin() + (long)(pIob->offsetInCacheBuffers + lbs) * 512);
        dev.run([&] { phyDev_ReleaseCacheIoBuf(&pd, pIob); });
        return out;
    }
    size_t readsSoFar()
    {
        size_t n = 0;
        for (auto &s : dev.fake.taken())
            n += !s.bWrite;
        return n;
    }

    Cache cache{};
};

TEST_F(PhyDevCacheTest, AMissFillsWholePagesAHitReadsNothingAndAWriteInvalidates)
{
    const UINT64 base = tooth(2);
    std::vector<UINT8> pattern(64 * 512);
    for (size_t i = 0; i < pattern.size(); i++)
        pattern[i] = (UINT8)(i * 7 + 3);
    poke(base, pattern);
    RCacheIoBuf iob;

    size_t reads = readsSoFar();
    auto got = cachedRead(base + 3, 2, 0, &iob);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), pattern.begin() + 3 * 512));
    auto taken = dev.fake.taken();
    ASSERT_EQ(readsSoFar(), reads + 1);
    EXPECT_EQ(taken.back().offset, base * 512) << "widened to the page";
    EXPECT_EQ(taken.back().size, 8u * 512);
    EXPECT_EQ(iob.offsetInCacheBuffers, 0u) << "released";

    reads = readsSoFar();
    got = cachedRead(base + 4, 4, 0, &iob);
    EXPECT_EQ(readsSoFar(), reads) << "a hit";
    EXPECT_TRUE(std::equal(got.begin(), got.end(), pattern.begin() + 4 * 512));

    // A padded write anywhere in the tooth drops the cached pages of the whole tooth.
    Blocks b(8, 0xEE);
    ASSERT_EQ(padWrite(base + 16, b, 0, true, false), MOS_RC__SUCCESS);
    reads = readsSoFar();
    got = cachedRead(base + 3, 2, 0, &iob);
    EXPECT_EQ(readsSoFar(), reads + 1) << "a miss after the write";
    EXPECT_TRUE(mos_IsZeroBufLbs(got.data(), 2)) << "the pad's zeros, not the old data";

    // Obfuscated data on the device is served in the clear, from the device and from the cache.
    std::vector<UINT8> clear(8 * 512, 0x6C);
    std::vector<UINT8> stored = clear;
    mos_Encrypt(stored.data(), 8, kKey);
    poke(tooth(3), stored);
    EXPECT_EQ(cachedRead(tooth(3), 8, kKey, &iob), clear);
    EXPECT_EQ(cachedRead(tooth(3), 8, kKey, &iob), clear);
}
} // namespace
