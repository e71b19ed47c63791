// Cost of the timer and counter hot paths: a timer add+abort pair (one thread, and four threads
// on one queue) with the queues driven by a poll loop, and the same pair with the timer threads
// running beside it; a diagnostic count (one thread, and eight threads on one counter), and an
// admission by the rate limiter. Prints nanoseconds per operation, best of three runs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "bench/bench_harness.h"
#include "mos/mos_diag_counters.h"
#include "mos/mos_ds_hash.h"
#include "mos/mos_obj.h"
#include "mos/mos_osthrd.h"
#include "mos/mos_ticks.h"
#include "mos/mos_limiter.h"
#include "mos/mos_timer.h"

namespace {

void noopCK(MosAsyncObj *, INT32) {}

template <typename F>
double nsPerOp(int threads, UINT64 opsPerThread, F &&body)
{
    return bench::bestSeconds(3,
                              [&] {
                                  std::vector<std::thread> workers;
                                  for (int t = 0; t < threads; t++)
                                      workers.emplace_back([&, t] { body(t, opsPerThread); });
                                  for (auto &w : workers)
                                      w.join();
                              }) *
           1e9 / (double)opsPerThread;
}

void timerPairs(int, UINT64 n)
{
    MosTimer_Req req;
    mosTimerReq_Init(&req, noopCK);
    for (UINT64 i = 0; i < n; i++) {
        mosTimerReq_AddByQ(&req, MOS_TIMER_QUEUE_ID__5SEC);
        mosTimerReq_Abort(&req);
    }
    mosTimerReq_Destroy(&req);
}

} // namespace

int main()
{
    mosTicks_Init(nullptr);
    mosOsThrdLayer_Create(nullptr);
    mosObjLayer_Create(nullptr);
    mosHashLayer_Create(nullptr);
    BOOL bDontUseThrds = TRUE;
    mosTimer_Init(&bDontUseThrds);
    mosDiagCounters_Init(nullptr);

    constexpr UINT64 kOps = 2000000;
    const double noThreads = nsPerOp(1, kOps, timerPairs);
    printf("timer add+abort pair, 1 thread:          %8.1f ns/pair\n", noThreads);
    printf("timer add+abort pair, 4 threads, 1 queue: %8.1f ns/pair (per thread)\n",
           nsPerOp(4, kOps / 4, timerPairs));
    // The same pair while every queue has its own thread waiting for the next expiry.
    mosTimer_Delete();
    BOOL bUseThrds = FALSE;
    mosTimer_Init(&bUseThrds);
    const double withThreads = nsPerOp(1, kOps, timerPairs);
    printf("timer add+abort pair, timer threads running: %8.1f ns/pair   without them: %8.1f ns   %5.2fx\n",
           withThreads, noThreads, withThreads / noThreads);

    auto count = [](int, UINT64 n) {
        for (UINT64 i = 0; i < n; i++)
            MOS_DIAG_COUNT_EXT(IO_PROCESSED, i);
    };
    printf("diagnostic count, 1 thread:              %8.1f ns/count\n", nsPerOp(1, kOps, count));
    printf("diagnostic count, 8 threads, 1 counter:  %8.1f ns/count (per thread)\n", nsPerOp(8, kOps / 8, count));

    MosLimiter lim;
    mosLimiter_Init(&lim, 0xFFFFFFF0u, 0);
    auto admit = [&lim](int, UINT64 n) {
        MosLimiter_Req req = {};
        req.usage = 1;
        for (UINT64 i = 0; i < n; i++)
            mosLimiter_Add(&lim, &req);
    };
    printf("limiter admission, 1 thread:             %8.1f ns/add\n", nsPerOp(1, kOps, admit));
    mosLimiter_Destroy(&lim);

    mosDiagCounters_Finit();
    mosTimer_Delete();
    mosHashLayer_Destroy();
    mosObjLayer_Destroy();
    mosOsThrdLayer_Destroy();
    return 0;
}
