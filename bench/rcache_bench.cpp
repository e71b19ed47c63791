// A RAM read cache hit: the lookup that hands out the cached pages (no copy) and the release that
// drops their references, for 4 KB and 64 KB reads on 1 and 8 threads, as latency per hit and
// hits per second, beside a plain memcpy of the same size measured in the same run. Aim: a 4 KB
// hit under 2 us.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "bench/bench_harness.h"
#include "mos/mos_load.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "tgt/rcache/rcache.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_sdbg.h"

namespace {
constexpr UINT64 kDev = 0x0000BE7C00000001ull;
constexpr UINT32 kRanges = 1024; // cached ranges each thread walks over
constexpr UINT64 kHitsPerThread = 400000;

bool fill(Cache *pCache, UINT32 sizeInLb)
{
    for (UINT32 r = 0; r < kRanges; r++) {
        const UINT64 lba = (UINT64)r * 256;
        void *p = rcache_AllocBuffer(pCache, sizeInLb, nullptr);
        if (p == nullptr || rcache_InsertData(pCache, kDev, 1, lba, sizeInLb, p, FALSE, FALSE) != MOS_RC__SUCCESS)
            return false;
        memset(p, (int)r, (size_t)sizeInLb * 512);
        NetSmallIov iov;
        NET_IOV__INIT(&iov);
        netIov_AddBuffer(&iov, p, sizeInLb * 512, RCACHE_MD__BUF_TYPE_RCACHE);
        rcache_CompleteBufferUsage(pCache, kDev, 1, lba, sizeInLb, &iov);
        netIov_Destroy(&iov);
    }
    return true;
}

// Wall seconds (best of three) for every thread to do its hits.
template <typename F> double onThreads(int threads, F &&perThread)
{
    return bench::bestSeconds(3, [&] {
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; t++)
            workers.emplace_back([&, t] { perThread(t); });
        for (auto &w : workers)
            w.join();
    });
}

double hits(Cache *pCache, UINT32 sizeInLb, int threads, bool *pbAllHit)
{
    std::atomic<UINT64> misses{0};
    const double s = onThreads(threads, [&](int t) {
        NetSmallIov iov, dif;
        for (UINT64 i = 0; i < kHitsPerThread; i++) {
            const UINT64 lba = ((i + (UINT64)t * 131) % kRanges) * 256;
            NET_IOV__INIT(&iov);
            NET_IOV__INIT(&dif);
            BOOL bCoalesced;
            if (rcache_RetrieveData(pCache, kDev, 1, lba, sizeInLb, 0, &iov, &dif, RdIoFlags{}, &bCoalesced) ==
                MOS_RC__SUCCESS)
                rcache_CompleteBufferUsage(pCache, kDev, 1, lba, sizeInLb, &iov);
            else
                misses++;
            netIov_Destroy(&iov);
            netIov_Destroy(&dif);
        }
    });
    *pbAllHit = misses == 0;
    return s;
}

double copies(UINT32 bytes, int threads)
{
    std::vector<std::vector<UINT8>> src(threads, std::vector<UINT8>((size_t)bytes * kRanges / 16, 1));
    std::vector<std::vector<UINT8>> dst(threads, std::vector<UINT8>(bytes));
    return onThreads(threads, [&](int t) {
        const size_t n = src[t].size() / bytes;
        for (UINT64 i = 0; i < kHitsPerThread; i++) {
            memcpy(dst[t].data(), src[t].data() + (i % n) * bytes, bytes);
            bench::keep(dst[t][0]);
        }
    });
}
} // namespace

int main()
{
    if (mos_Init(nullptr) != MOS_RC__SUCCESS)
        return 1;
    mosUmtMgr_Init(nullptr);
    tgtSdbg_Register();
    tgtConf_SetDefaults();
    tgtInitParam_G.netParam.maxRcvMsg = 1000;
    MosUmt_SchedThrd sched;
    if (mosUmtSchedThrd_Create(&sched, "rcache bench", 2, 2, 4) != MOS_RC__SUCCESS)
        return 1;
    mosUmtMgr_SetDefaults(&sched.base, nullptr);
    Cache *pCache = new Cache;
    rcache_Init(pCache, nullptr);
    rcache_ChangeSize(pCache, RCACHE__MIN_CACHE_SIZE_IN_LB);
    rcache_AddDevice(pCache, kDev, FALSE);
    for (int i = 0; i < 10000 && !pCache->bCreated; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!pCache->bCreated) {
        printf("the cache was not allocated\n");
        return 1;
    }
    printf("RAM read cache hit (lookup + release, no copy), beside memcpy of the same size:\n");
    printf("%-6s %-8s %12s %14s %14s %12s\n", "size", "threads", "ns/hit", "hits/s", "memcpy ns", "memcpy/s");
    int rc = 0;
    for (UINT32 sizeInLb : {8u, 128u}) {
        if (sizeInLb != 8u && rcache_Purge(pCache) != MOS_RC__SUCCESS)
            return 1;
        for (int i = 0; i < 10000 && pCache->asyncCount != 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!fill(pCache, sizeInLb)) {
            printf("could not fill the cache\n");
            return 1;
        }
        for (int threads : {1, 8}) {
            bool bAllHit = false;
            const double s = hits(pCache, sizeInLb, threads, &bAllHit);
            const double c = copies(sizeInLb * 512, threads);
            const double ops = (double)kHitsPerThread * threads;
            printf("%-6s %-8d %12.0f %14.0f %14.0f %12.0f%s\n", sizeInLb == 8 ? "4 KB" : "64 KB", threads,
                   s * 1e9 * threads / ops, ops / s, c * 1e9 * threads / ops, ops / c, bAllHit ? "" : "  (misses!)");
            rc |= bAllHit ? 0 : 1;
        }
    }
    rcache_RemoveDevice(pCache, kDev);
    rcache_Destroy(pCache);
    delete pCache;
    mosUmtMgr_SetDefaults(mosUmtMgr_GetForeignSched(), nullptr);
    mosUmtSchedThrd_Destroy(&sched);
    tgtSdbg_Unregister();
    return rc;
}
