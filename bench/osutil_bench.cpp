// Costs of the runtime's small hot-path services: reading the tick clock, the wrap-safe tick
// comparison, XOR scrambling and zero detection of device data (GB/s), and a zero write of
// 1 MB through the file layer (page cache, no flush).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "bench/bench_harness.h"
#include "mos/mos_ticks.h"
#include "mos/usr/mos_io.h"
#include "mos/mos_utils_mem.h"
#include "mos/mos_utils_scramble.h"

namespace {

volatile UINT64 sink_G;

template <typename F>
double nsPerOp(size_t reps, F &&f)
{
    return bench::nsPerOp(reps, [&] {
        UINT64 acc = 0;
        for (size_t i = 0; i < reps; i++)
            acc += f(i);
        sink_G = acc;
    });
}

} // namespace

int main()
{
    mosTicks_Init(nullptr);
    printf("mosTicks_GetCurrentTick: %.1f ns/op\n", nsPerOp(10000000, [](size_t) { return mosTicks_GetCurrentTick(); }));
    printf("mosTicks_IsFirstBigger: %.2f ns/op\n",
           nsPerOp(100000000, [](size_t i) { return (UINT64)mosTicks_IsFirstBigger(i, i * 3); }));

    const UINT64 lbs = 2048; // 1 MB
    UINT64 *pData = static_cast<UINT64 *>(mos_AllocPageAlignedOrPanic(lbs * 512));
    mos_InitEncryptedZero(pData, lbs, 0);
    const double scrambleNs = nsPerOp(2000, [&](size_t) {
        mos_Encrypt(pData, lbs, 0x5bd1e995deadbeefull);
        return pData[7];
    });
    printf("mos_Encrypt (1 MB): %.2f GB/s\n", (double)(lbs * 512) / scrambleNs);
    mos_InitEncryptedZero(pData, lbs, 0);
    const double zeroNs = nsPerOp(2000, [&](size_t) { return (UINT64)mos_IsZeroBufLbs(pData, lbs); });
    printf("mos_IsZeroBufLbs (1 MB): %.2f GB/s\n", (double)(lbs * 512) / zeroNs);
    mos_FreePageAligned(pData);

    if (mosIOLayer_Init(nullptr) == MOS_RC__SUCCESS) {
        std::string path = "/var/tmp/osutil-bench-" + std::to_string(getpid());
        MosIO io;
        if (mosIO_open(&io, path.c_str(), TRUE, FALSE) == MOS_RC__SUCCESS &&
            mosIO_ExtendAndReserveFile(&io, 64ull << 20) == MOS_RC__SUCCESS) {
            const double writeNs =
                nsPerOp(64, [&](size_t i) { return (UINT64)mosIO_writeZero(&io, 1ull << 20, (i % 64) << 20); });
            printf("mosIO_writeZero (1 MB, page cache): %.2f GB/s\n", (double)(1ull << 20) / writeNs);
            mosIO_close(&io);
        }
        unlink(path.c_str());
        mosIOLayer_Destroy();
    }
    return 0;
}
