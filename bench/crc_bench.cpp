// Throughput of each CRC-32C and T10-DIF guard method at 512 B, 4 KB, 64 KB and 1 MB, in GB/s,
// beside ISA-L's crc32_iscsi and crc16_t10dif measured in the same run on the same buffers.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/bench_harness.h"
#include "mos/mos_cpu.h"
#include "mos/mos_crc.h"
#include "mos/mos_t10dif.h"

#if BENCH_HAVE_ISAL
#include <isa-l/crc.h>
#endif

namespace {

volatile UINT64 sink_G;
constexpr size_t kSizes[] = {512, 4096, size_t{64} << 10, size_t{1} << 20};

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

// One row: the figure at every size, and its ratio to the anchor row when one is given.
template <typename F>
void row(const char *name, F &&f, const double *pAnchor, double *pOut)
{
    printf("%-26s", name);
    for (size_t k = 0; k < std::size(kSizes); k++) {
        pOut[k] = gbPerSecond(kSizes[k], [&](size_t i) { return f(i, kSizes[k]); });
        if (pAnchor != nullptr)
            printf(" %8.2f (%4.2fx)", pOut[k], pOut[k] / pAnchor[k]);
        else
            printf(" %8.2f        ", pOut[k]);
    }
    printf("\n");
}

} // namespace

int main()
{
    mosCpuLayer_Create();
    mosCrcLayer_Create(nullptr);
    mosT10Dif_Init(nullptr);
    std::vector<UINT8> buf((size_t{1} << 20) + 64);
    srand48(1);
    for (UINT8 &b : buf)
        b = static_cast<UINT8>(lrand48());
    // Misaligned by 0..7 bytes in turn, as payloads inside larger records are.
    auto at = [&](size_t i) { return buf.data() + (i & 7); };

    printf("%-26s %15s %15s %15s %15s   (GB/s; ratio to the anchor row above)\n", "method", "512B", "4KB", "64KB",
           "1MB");
    double anchor[std::size(kSizes)] = {}, out[std::size(kSizes)] = {};
    (void)anchor;
    const double *pCrcAnchor = nullptr;
#if BENCH_HAVE_ISAL
    row("anchor ISA-L crc32_iscsi", [&](size_t i, size_t n) { return crc32_iscsi(at(i), (int)n, ~0u); }, nullptr,
        anchor);
    pCrcAnchor = anchor;
    if (crc32_iscsi(buf.data(), 4096, ~0u) != mosCrc_CalcCrc32Start(buf.data(), 4096))
        printf("  (warning: ISA-L and this CRC-32C disagree)\n");
#else
    printf("  (ISA-L not installed: no CRC-32C anchor)\n");
#endif
    row("crc32c (layer's choice)", [&](size_t i, size_t n) { return mosCrc_CalcCrc32Update(~0u, at(i), n); },
        pCrcAnchor, out);
    row("crc32c sse4.2 64-bit", [&](size_t i, size_t n) { return mosCrc_CalcCrc32Hardware64(~0u, at(i), n); },
        pCrcAnchor, out);
    row("crc32c sse4.2 32-bit", [&](size_t i, size_t n) { return mosCrc_CalcCrc32Hardware32(~0u, at(i), n); },
        pCrcAnchor, out);
    row("crc32c slicing-by-8", [&](size_t i, size_t n) { return mosCrc_CalcCrcSlicingBy8Software(~0u, at(i), n); },
        pCrcAnchor, out);

    const double *pDifAnchor = nullptr;
#if BENCH_HAVE_ISAL
    row("anchor ISA-L crc16_t10dif", [&](size_t i, size_t n) { return crc16_t10dif(0, at(i), (int)n); }, nullptr,
        anchor);
    pDifAnchor = anchor;
    if (crc16_t10dif(0, buf.data(), 4096) != mosT10Dif_CrcImpl(0, buf.data(), 4096))
        printf("  (warning: ISA-L and this T10-DIF guard disagree)\n");
#else
    printf("  (ISA-L not installed: no T10-DIF anchor)\n");
#endif
    row("t10dif (layer's choice)", [&](size_t i, size_t n) { return mosT10Dif_CrcImpl(0, at(i), n); }, pDifAnchor,
        out);
    if (crc_t10dif_pcl_IsAvailable())
        row("t10dif pclmul", [&](size_t i, size_t n) { return crc_t10dif_pcl(0, at(i), n); }, pDifAnchor, out);
    row("t10dif table", [&](size_t i, size_t n) { return mos_generic_t10dif_crc(0, at(i), n); }, pDifAnchor, out);
    return 0;
}
