// Cost of one trace call: with the component's level below the call's (nothing is formatted),
// and with it on, formatted into the asynchronous trace file's ring; in ns per call, also with
// four threads tracing at once.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_harness.h"
#include "mos/mos_osthrd.h"
#include "mos/mos_ticks.h"
#include "mos/mos_trace.h"
#include "mos/mos_trace_layer.h"

namespace {

// Each run starts with an empty ring.
template <typename F>
double nsPerCall(size_t calls, F &&f)
{
    return bench::bestSecondsAfter(
               5, [] { mosTrace_DumpNow(0); },
               [&] {
                   for (size_t i = 0; i < calls; i++)
                       f(i);
               }) *
           1e9 / (double)calls;
}

double nsPerCallThreads(int threads, size_t callsEach)
{
    const auto start = bench::Clock::now();
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; t++)
        ts.emplace_back([callsEach] {
            for (size_t i = 0; i < callsEach; i++)
                MOS_TRACE(MOS_COMP_IO, MOS_FREQ_MED, "request %zu done, rc %d", i, 65);
        });
    for (std::thread &t : ts)
        t.join();
    return (double)bench::nsSince(start) / (double)(callsEach * (size_t)threads);
}

} // namespace

int main()
{
    char dirTmpl[] = "/var/tmp/pellar-trace-bench-XXXXXX";
    if (mkdtemp(dirTmpl) == nullptr)
        return 1;
    std::string dir = dirTmpl;
    MosTicks_InitParams ticks{};
    mosTicks_Init(&ticks);
    mosOsThrdLayer_Create(nullptr);
    mosCyclicFileLayer_Create();
    MosTrc_InitParams params{};
    params.traceFileParams = {TRUE, TRUE, dir.c_str(), "trc", 5, 52428800, 10, 1000, 5242880};
    mosTrcLayer_Create(&params);

    // 50000 lines of about 80 bytes fit the 5 MB ring: every call below is formatted and kept.
    const size_t calls = 50000;
    double off = nsPerCall(calls, [](size_t i) { MOS_TRACE(MOS_COMP_IO, MOS_FREQ_HIGH, "request %zu done", i); });
    double on =
        nsPerCall(calls, [](size_t i) { MOS_TRACE(MOS_COMP_IO, MOS_FREQ_MED, "request %zu done, rc %d", i, 65); });
    mosTrace_DumpNow(0);
    // Far more lines than the ring holds between dumps: most are counted as lost, not waited for.
    double onThreads = nsPerCallThreads(4, 500000);
    printf("trace call, level off:                           %8.2f ns/call\n", off);
    printf("trace call, level on, asynchronous file:         %8.1f ns/call\n", on);
    printf("trace call, level on, 4 threads, ring overflows: %8.1f ns/call (wall time per call)\n", onThreads);

    mosTrcLayer_Destroy();
    mosCyclicFileLayer_Destroy();
    mosOsThrdLayer_Destroy();
    for (int g = 0; g < 5; g++)
        unlink((dir + "/trc." + std::to_string(g)).c_str());
    rmdir(dir.c_str());
    return 0;
}
