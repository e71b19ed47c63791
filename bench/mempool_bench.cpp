// Cost of one allocate/free pair of a memory pool, alone and with threads sharing the pool, and of
// a dynamic pool's pair, in nanoseconds, beside glibc malloc + free of the same size measured in
// the same run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "bench/bench_harness.h"
#include "mos/mos_dynamic_mempool.h"
#include "mos/mos_mempool.h"

namespace {

constexpr UINT64 kPairs = 4000000;
constexpr UINT32 kBlock = 256;

// ns per pair, all threads together (the wall time divided by every pair of every thread).
template <typename F> double onThreads(int threads, F &&pair)
{
    const UINT64 perThread = kPairs / (UINT64)threads;
    return bench::nsPerOp(perThread * (UINT64)threads, [&] {
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; t++)
            workers.emplace_back([&] {
                for (UINT64 i = 0; i < perThread; i++)
                    pair();
            });
        for (auto &w : workers)
            w.join();
    });
}

double poolPair(MosMemPool_FreeHandlingType type, int threads)
{
    MosMemPool pool;
    mosMemPool_CreateEx(&pool, "bench", nullptr, nullptr, kBlock, 1024, 64, FALSE, type);
    const double ns = onThreads(threads, [&] {
        PVOID p;
        if (mosMemPool_AllocNoWait(&pool, &p) == MOS_RC__SUCCESS)
            mosMemPool_Free(&pool, p);
    });
    mosMemPool_Destroy(&pool);
    return ns;
}

double mallocPair(int threads)
{
    return onThreads(threads, [] {
        void *p = malloc(kBlock);
        bench::keep(p);
        free(p);
    });
}

double dynamicPoolPair()
{
    MosDynamicMemPool pool;
    mosDynamicMemPool_Create(&pool, "bench", 728, 16, 64, 1, 0);
    const double ns = bench::nsPerOp(kPairs, [&] {
        for (UINT64 i = 0; i < kPairs; i++) {
            MosDynamicMemPool_Buffer b;
            if (mosDynamicMemPool_Alloc(&pool, &b) == MOS_RC__SUCCESS)
                mosDynamicMemPool_Free(&pool, &b);
        }
    });
    mosDynamicMemPool_Destroy(&pool);
    return ns;
}

} // namespace

int main()
{
    printf("allocate+free pair of %u bytes (ns per pair, all threads together), beside glibc malloc+free:\n", kBlock);
    for (int threads : {1, 4}) {
        const double anchor = mallocPair(threads);
        for (auto type : {MOS_TIMER__FREE_HANDLER_LIST, MOS_TIMER__FREE_HANDLER_STACK}) {
            const double ns = poolPair(type, threads);
            printf("  pool %-5s %d thread(s): %7.1f   malloc+free: %7.1f   %5.2fx\n",
                   type == MOS_TIMER__FREE_HANDLER_LIST ? "list" : "stack", threads, ns, anchor, ns / anchor);
        }
    }
    printf("dynamic pool allocate+free pair, 1 thread: %7.1f ns\n", dynamicPoolPair());
    return 0;
}
