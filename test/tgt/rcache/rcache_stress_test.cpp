// Many uthreads read, write and invalidate random ranges of two devices through the read cache
// for ten seconds while a purge comes now and then and device generations move; every read must
// return the last acknowledged write. The cache is the smallest there is (128 MB) and the hot
// ranges (hot ones that fit, warm ones that do not) are larger, so demotion of entries and whole blocks runs all the time.
//
// The devices are stand-ins of this test: an LB's content is generated from the device, the LB
// and the number of the write that last covered it, so 1 GB devices cost 8 MB of sequence
// numbers. Reads and writes go through the cache the way the device layer's cached read and
// write-through insert do: widen to pages, look up, on a miss read into a cache buffer and
// insert; a write invalidates its range and, when aligned, inserts its cache buffer. Like the
// I/O handler's extent locks, a per-256-LB lock keeps a read and a write of one range apart.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <vector>

#include "mos/umt/mos_umt_rwlock.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "test/support/tgt_test_support.h"
#include "tgt/rcache/rcache.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

constexpr UINT64 kDevLb = 1ull << 21;   // 1 GB
constexpr UINT64 kHotLb = 16ull * 2048;  // most traffic: two 16 MB ranges fit the cache
constexpr UINT64 kWarmLb = 96ull * 2048; // much of the rest: two 96 MB ranges do not
constexpr UINT32 kRegionShift = 8;
constexpr UINT32 kWorkers = 16;
constexpr auto kRunFor = std::chrono::seconds(10);
constexpr auto kPurgeEvery = std::chrono::milliseconds(2500);
constexpr auto kBumpEvery = std::chrono::milliseconds(700);
constexpr UINT32 kPrefillReads = 80; // 16 x 80 x 128 KB = 160 MB, more than the cache

struct StandInDevice {
    UINT64 id;
    UINT32 index;
    std::vector<UINT32> seq; // the write that last covered each LB (0: never written)
    std::atomic<UINT16> gen{1};
    MosUmt_RWLockArr regions;
};

UINT64 wordOf(UINT32 dev, UINT64 lba, UINT32 seq, UINT32 w)
{
    return ((UINT64)dev << 62) ^ (lba << 30) ^ ((UINT64)seq << 7) ^ w;
}

void fillLb(UINT8 *p, UINT32 dev, UINT64 lba, UINT32 seq)
{
    for (UINT32 w = 0; w < 64; w++) {
        const UINT64 v = wordOf(dev, lba, seq, w);
        memcpy(p + w * 8, &v, 8);
    }
}

struct Stress {
    Cache cache;
    MosUmt_SchedThrd sched;
    StandInDevice devs[2];
    MosUmt_RWLock genLock; // a generation moves with every range of its device held
    std::atomic<UINT32> nextSeq{1};
    std::atomic<UINT64> reads{0}, hits{0}, writes{0}, inserts{0}, invalidates{0}, bumps{0}, purges{0};
    std::atomic<UINT32> mismatches{0};

    void expectLb(const UINT8 *p, StandInDevice &d, UINT64 lba, const char *what)
    {
        UINT8 want[512];
        fillLb(want, d.index, lba, d.seq[lba]);
        if (memcmp(p, want, 512) != 0 && mismatches.fetch_add(1) < 5)
            ADD_FAILURE() << what << ": device " << d.index << " LB " << lba << " is not write " << d.seq[lba];
    }

    // The per-256-LB locks of [start, end), taken in ascending order.
    void regions(StandInDevice &d, UINT64 start, UINT64 end, bool bWrite, bool bTake)
    {
        const UINT32 first = (UINT32)(start >> kRegionShift), num = (UINT32)(((end - 1) >> kRegionShift) - first + 1);
        auto *op = bTake ? (bWrite ? mosUmtRWLockArr_AcquireWriteLock : mosUmtRWLockArr_AcquireReadLock)
                         : (bWrite ? mosUmtRWLockArr_ReleaseWriteLock : mosUmtRWLockArr_ReleaseReadLock);
        op(&d.regions, first, num);
    }
    void lockRegions(StandInDevice &d, UINT64 start, UINT64 end, bool bWrite) { regions(d, start, end, bWrite, true); }
    void unlockRegions(StandInDevice &d, UINT64 start, UINT64 end, bool bWrite) { regions(d, start, end, bWrite, false); }

    void releaseIov(StandInDevice &d, UINT16 gen, UINT64 start, UINT32 size, void *p)
    {
        NetSmallIov iov;
        NET_IOV__INIT(&iov);
        netIov_AddBuffer(&iov, p, size * 512, RCACHE_MD__BUF_TYPE_RCACHE);
        rcache_CompleteBufferUsage(&cache, d.id, gen, start, size, &iov);
        netIov_Destroy(&iov);
    }

    // A hit is checked LB by LB (and its guards); a miss reads into cache memory and inserts.
    void cachedRead(StandInDevice &d, UINT64 start, UINT32 size, bool bDif)
    {
        const UINT16 gen = d.gen.load();
        NetSmallIov iov, dif;
        NET_IOV__INIT(&iov);
        NET_IOV__INIT(&dif);
        BOOL bCoalesced = FALSE;
        RdIoFlags flags{};
        flags.bT10Dif = bDif ? 1 : 0;
        if (rcache_RetrieveData(&cache, d.id, gen, start, size, 0, &iov, &dif, flags, &bCoalesced) == MOS_RC__SUCCESS) {
            hits++;
            std::vector<UINT8> data;
            for (UINT32 k = 0; k < iov.numOfUsedBuffers; k++) {
                const UINT8 *p = static_cast<const UINT8 *>(iov.buf[k].iov_base);
                data.insert(data.end(), p, p + iov.buf[k].iov_len);
            }
            EXPECT_EQ(data.size(), (size_t)size * 512);
            for (UINT32 i = 0; i < size && data.size() == (size_t)size * 512; i++)
                expectLb(data.data() + (size_t)i * 512, d, start + i, "hit");
            if (bDif) {
                std::vector<UINT8> guards, want((size_t)size * 2);
                for (UINT32 k = 0; k < dif.numOfUsedBuffers; k++) {
                    const UINT8 *p = static_cast<const UINT8 *>(dif.buf[k].iov_base);
                    guards.insert(guards.end(), p, p + dif.buf[k].iov_len);
                }
                mosT10Dif_GenT10DIF(data.data(), reinterpret_cast<T10Dif *>(want.data()), 0, 0, 0, size);
                if (guards != want && mismatches.fetch_add(1) < 5)
                    ADD_FAILURE() << "guards of a hit at " << start << " differ from its data";
                if (bCoalesced)
                    rcache_FreeT10DifCoalesceBuffer(&cache, dif.buf[0].iov_base);
            }
            rcache_CompleteBufferUsage(&cache, d.id, gen, start, size, &iov);
        } else {
            T10Dif *pDif = nullptr;
            UINT8 *p = static_cast<UINT8 *>(rcache_AllocBuffer(&cache, size, &pDif));
            if (p != nullptr) {
                for (UINT32 i = 0; i < size; i++)
                    fillLb(p + (size_t)i * 512, d.index, start + i, d.seq[start + i]);
                mosT10Dif_GenT10DIF(p, pDif, 0, 0, 0, size);
                if (rcache_InsertData(&cache, d.id, gen, start, size, p, TRUE, FALSE) == MOS_RC__SUCCESS) {
                    inserts++;
                    releaseIov(d, gen, start, size, p);
                } else {
                    rcache_FreeBuffer(&cache, p, size, TRUE);
                }
            }
        }
        netIov_Destroy(&iov);
        netIov_Destroy(&dif);
    }

    void read(StandInDevice &d, UINT64 lba, UINT32 size, bool bDif)
    {
        reads++;
        const UINT64 start = lba & ~7ull, end = (lba + size + 7) & ~7ull;
        lockRegions(d, start, end, false);
        if (!rcache_IsCacheSkip(&cache, size, lba, 0))
            cachedRead(d, start, (UINT32)(end - start), bDif);
        unlockRegions(d, start, end, false);
    }

    void write(StandInDevice &d, UINT64 lba, UINT32 size, bool bThroughCache)
    {
        writes++;
        const UINT64 start = lba & ~7ull, end = (lba + size + 7) & ~7ull;
        lockRegions(d, start, end, true);
        const UINT16 gen = d.gen.load();
        UINT8 *p = nullptr;
        if (bThroughCache && !rcache_IsCacheSkip(&cache, size, lba, 1))
            p = static_cast<UINT8 *>(rcache_AllocBuffer(&cache, size, nullptr));
        const UINT32 seq = nextSeq.fetch_add(1);
        for (UINT64 i = lba; i < lba + size; i++) // the device write
            d.seq[i] = seq;
        if (p != nullptr)
            for (UINT32 i = 0; i < size; i++)
                fillLb(p + (size_t)i * 512, d.index, lba + i, seq);
        rcache_Invalidate(&cache, d.id, gen, lba, size);
        if (p != nullptr) {
            if (rcache_InsertData(&cache, d.id, gen, lba, size, p, FALSE, FALSE) == MOS_RC__SUCCESS)
                releaseIov(d, gen, lba, size, p);
            else
                rcache_FreeBuffer(&cache, p, size, TRUE);
        }
        unlockRegions(d, start, end, true);
    }

    void invalidate(StandInDevice &d, UINT64 lba, UINT32 size)
    {
        invalidates++;
        const UINT64 start = lba & ~7ull, end = (lba + size + 7) & ~7ull;
        lockRegions(d, start, end, true);
        rcache_Invalidate(&cache, d.id, d.gen.load(), lba, size);
        unlockRegions(d, start, end, true);
    }

    void worker(UINT32 n)
    {
        std::mt19937_64 rng(1000 + n);
        auto now = std::chrono::steady_clock::now();
        const auto deadline = now + kRunFor;
        auto nextPurge = now + kPurgeEvery;
        auto nextBump = now + kBumpEvery;
        // Together the workers first read more than the cache holds, so demotion runs under
        // concurrent traffic however slowly the run goes.
        for (UINT32 i = 0; i < kPrefillReads; i++) {
            mosUmtRWLock_AcquireReadLock(&genLock);
            const UINT64 k = (UINT64)n * kPrefillReads + i; // each (device, 128 KB) once
            read(devs[k % 2], (k / 2) * 256, 256, false);
            mosUmtRWLock_ReleaseReadLock(&genLock);
        }
        while ((now = std::chrono::steady_clock::now()) < deadline) {
            // The first worker purges now and then, so deferred jobs run against live traffic.
            if (n == 0 && now >= nextPurge) {
                if (rcache_Purge(&cache) == MOS_RC__SUCCESS)
                    purges++;
                nextPurge = now + kPurgeEvery;
            }
            StandInDevice &d = devs[rng() % 2];
            const UINT32 kind = (UINT32)(rng() % 1000);
            const UINT32 where = (UINT32)(rng() % 10);
            const UINT32 size = kind < 950 ? 1 + (UINT32)(rng() % 256) : 1 + (UINT32)(rng() % 2048);
            const UINT64 span = where < 6 ? kHotLb : (where < 9 ? kWarmLb : kDevLb);
            UINT64 lba = rng() % (span - size);
            if (rng() % 2 == 0)
                lba &= ~7ull; // page-aligned traffic hits more often
            mosUmtRWLock_AcquireReadLock(&genLock);
            if (kind < 600)
                read(d, lba, size > 256 ? 256 : size, rng() % 2 == 0);
            else if (kind < 900)
                write(d, lba, size > 256 ? 256 : size, rng() % 2 == 0);
            else
                invalidate(d, lba, size);
            mosUmtRWLock_ReleaseReadLock(&genLock);
            // The second moves a device's generation now and then: its entries must go unseen.
            if (n == 1 && now >= nextBump) {
                mosUmtRWLock_AcquireWriteLock(&genLock);
                d.gen++;
                bumps++;
                mosUmtRWLock_ReleaseWriteLock(&genLock);
                nextBump = now + kBumpEvery;
            }
            mosUmt_YieldIfShould();
        }
    }

};

TEST(CacheStress, ReadsAlwaysSeeTheLastAcknowledgedWrite)
{
    tgtConf_SetDefaults();
    tgtInitParam_G.netParam.maxRcvMsg = 1000;
    Stress *s = new Stress();
    ASSERT_EQ(mosUmtSchedThrd_Create(&s->sched, "rcache_stress", 4, 4, 4), MOS_RC__SUCCESS);
    mosUmtMgr_SetDefaults(&s->sched.base, nullptr);
    rcache_Init(&s->cache, nullptr);
    mosUmtRWLock_Init(&s->genLock);
    // The two ids differ only in bits 16-31: the same high half and the same device index, so
    // their ranges share buckets and only the whole identity tells their entries apart.
    const UINT64 ids[2] = {0x0000123400000001ull, 0x0000123400070001ull};
    for (UINT32 i = 0; i < 2; i++) {
        s->devs[i].id = ids[i];
        s->devs[i].index = i;
        s->devs[i].seq.assign(kDevLb, 0);
        ASSERT_EQ(mosUmtRWLockArr_Init(&s->devs[i].regions, (UINT32)(kDevLb >> kRegionShift)), MOS_RC__SUCCESS);
    }
    ASSERT_EQ(rcache_ChangeSize(&s->cache, RCACHE__MIN_CACHE_SIZE_IN_LB), MOS_RC__SUCCESS);
    rcache_AddDevice(&s->cache, ids[0], FALSE);
    rcache_AddDevice(&s->cache, ids[1], FALSE);
    ASSERT_TRUE(umtTest_WaitFor([&] {
        MosFastlockGuard guard(&s->cache.fastlock);
        return s->cache.bCreated && s->cache.asyncCount == 0;
    }));

    struct Arg {
        Stress *s;
        UINT32 n;
    } args[kWorkers];
    std::vector<HMosUmt_UThread> threads;
    for (UINT32 n = 0; n < kWorkers; n++) {
        args[n] = {s, n};
        threads.push_back(mosUmt_CreateUThreadEx([](void *p) { static_cast<Arg *>(p)->s->worker(static_cast<Arg *>(p)->n); },
                                                 &args[n], nullptr, nullptr, TRUE, MosUmtClassId{0, 0}));
        ASSERT_NE(threads.back(), nullptr);
    }
    for (HMosUmt_UThread h : threads)
        mosUmt_JoinSync(h);
    ASSERT_TRUE(umtTest_WaitFor([&] {
        MosFastlockGuard guard(&s->cache.fastlock);
        return s->cache.asyncCount == 0 && s->cache.inProgCount == 0;
    }));

    EXPECT_EQ(s->mismatches.load(), 0u);
    RcacheQuery q;
    rcache_FillQuery(&s->cache, &q);
    printf("reads %lu (hits %lu), writes %lu, inserts %lu, invalidations %lu, generations %lu, purges %lu; "
           "evicted entries %u (md %u), blocks %u, all busy %u\n",
           (unsigned long)s->reads, (unsigned long)s->hits, (unsigned long)s->writes, (unsigned long)s->inserts,
           (unsigned long)s->invalidates, (unsigned long)s->bumps, (unsigned long)s->purges, q.entryEvictionCount,
           q.mdEntryEvictionCount, q.bigBlockEvictionCount, q.skipCountCacheAllBusy);
    EXPECT_GT(s->hits.load(), 0u);
    EXPECT_GT(s->bumps.load(), 0u);
    EXPECT_GT(q.entryEvictionCount + q.bigBlockEvictionCount, 0u) << "the small cache should have demoted";
    EXPECT_EQ(q.inProgressCountInKb, 0u);
    rcache_SelfTest(&s->cache, TGT_RCACHE_SELF_TEST_CMD__ALL_REF_COUNT_ZERO);
    EXPECT_FALSE(rcache_IsT10DifCoalesceUsed(&s->cache));

    rcache_RemoveDevice(&s->cache, ids[0]);
    rcache_RemoveDevice(&s->cache, ids[1]);
    rcache_Destroy(&s->cache);
    for (StandInDevice &d : s->devs)
        mosUmtRWLockArr_Destroy(&d.regions);
    mosUmtRWLock_Destroy(&s->genLock);
    mosUmtMgr_SetDefaults(mosUmtMgr_GetForeignSched(), nullptr);
    mosUmtSchedThrd_Destroy(&s->sched);
    delete s;
    tgtConf_SetDefaults();
}
} // namespace
