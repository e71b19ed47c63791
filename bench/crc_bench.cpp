// Throughput of each CRC-32C and T10-DIF guard method at 512 B, 4 KB and 1 MB, in GB/s.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/bench_harness.h"
#include "mos/mos_cpu.h"
#include "mos/mos_crc.h"
#include "mos/mos_t10dif.h"

namespace {

volatile UINT64 sink_G;

template <typename F>
double gbPerSecond(size_t size, F &&f)
{
    // Enough repetitions for about 256 MB per measurement.
    const size_t reps = std::max<size_t>(1, (size_t{256} << 20) / size);
    const double secs = bench::bestSeconds(3, [&] {
        UINT64 acc = 0;
        for (size_t i = 0; i < reps; i++)
            acc += f(i);
        sink_G = acc;
    });
    return static_cast<double>(size) * static_cast<double>(reps) / secs / 1e9;
}

} // namespace

int main()
{
    mosCpuLayer_Create();
    const size_t sizes[] = {512, 4096, size_t{1} << 20};
    std::vector<UINT8> buf((size_t{1} << 20) + 64);
    srand48(1);
    for (UINT8 &b : buf)
        b = static_cast<UINT8>(lrand48());

    struct Crc {
        const char *name;
        MosCrc_CalcCrc32Func f;
        bool ok;
    } crcs[] = {
        {"crc32c slicing-by-8", mosCrc_CalcCrcSlicingBy8Software, true},
        {"crc32c sse4.2 32-bit", mosCrc_CalcCrc32Hardware32, mosCrc_IsHardwareAvailable() != FALSE},
        {"crc32c sse4.2 64-bit", mosCrc_CalcCrc32Hardware64, mosCrc_IsHardwareAvailable() != FALSE},
    };
    struct Guard {
        const char *name;
        MosT10Dif_CrcFunc f;
        bool ok;
    } guards[] = {
        {"t10dif table", mos_generic_t10dif_crc, true},
        {"t10dif pclmul", crc_t10dif_pcl, crc_t10dif_pcl_IsAvailable() != FALSE},
    };

    printf("%-24s %10s %10s %10s   (GB/s)\n", "method", "512B", "4KB", "1MB");
    for (const Crc &c : crcs) {
        if (!c.ok)
            continue;
        printf("%-24s", c.name);
        for (size_t size : sizes)
            printf(" %10.2f", gbPerSecond(size, [&](size_t i) { return c.f(~0u, buf.data() + (i & 7), size); }));
        printf("\n");
    }
    for (const Guard &g : guards) {
        if (!g.ok)
            continue;
        printf("%-24s", g.name);
        for (size_t size : sizes)
            printf(" %10.2f", gbPerSecond(size, [&](size_t i) { return g.f(0, buf.data() + (i & 7), size); }));
        printf("\n");
    }
    return 0;
}
