// Cost of one allocate/free pair of a memory pool, alone and with threads sharing the pool, and of
// a dynamic pool's pair, in nanoseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "bench/bench_harness.h"
#include "mos/mos_dynamic_mempool.h"
#include "mos/mos_mempool.h"

namespace {

template <typename F> double nsPerOp(UINT64 ops, F &&f)
{
    return bench::nsPerOp(ops, f);
}

double poolPair(MosMemPool_FreeHandlingType type, int threads)
{
    constexpr UINT64 kPairs = 2000000;
    MosMemPool pool;
    mosMemPool_CreateEx(&pool, "bench", nullptr, nullptr, 256, 1024, 64, FALSE, type);
    const UINT64 perThread = kPairs / (UINT64)threads;
    const double ns = nsPerOp(perThread * (UINT64)threads, [&] {
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; t++)
            workers.emplace_back([&] {
                for (UINT64 i = 0; i < perThread; i++) {
                    PVOID p;
                    if (mosMemPool_AllocNoWait(&pool, &p) == MOS_RC__SUCCESS)
                        mosMemPool_Free(&pool, p);
                }
            });
        for (auto &w : workers)
            w.join();
    });
    mosMemPool_Destroy(&pool);
    return ns;
}

double dynamicPoolPair()
{
    constexpr UINT64 kPairs = 2000000;
    MosDynamicMemPool pool;
    mosDynamicMemPool_Create(&pool, "bench", 728, 16, 64, 1, 0);
    const double ns = nsPerOp(kPairs, [&] {
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
    printf("memory pool allocate+free pair (ns per pair, all threads together):\n");
    for (auto type : {MOS_TIMER__FREE_HANDLER_LIST, MOS_TIMER__FREE_HANDLER_STACK})
        for (int threads : {1, 4})
            printf("  %-5s %d thread(s): %7.1f\n", type == MOS_TIMER__FREE_HANDLER_LIST ? "list" : "stack", threads,
                   poolPair(type, threads));
    printf("dynamic pool allocate+free pair, 1 thread: %7.1f ns\n", dynamicPoolPair());
    return 0;
}
