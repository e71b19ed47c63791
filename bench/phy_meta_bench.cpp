// Device metadata on an O_DIRECT file, each figure beside fio on the same file in the same run.
//
//   phy_meta_bench [FILE] [--seconds 3]
//
// Tooth-map harden: the latency of one HardenAll with 1, 64 and 4096 dirty 4 KB pieces (one
// contiguous write of that many pieces); the anchor is fio's latency (1 / IOPS) of writes of the
// same size at depth 1.
// Dirty-region log: hardened set-dirty calls per second by 1 and 32 user-mode threads on random
// regions; the anchors are fio's 4 KB random-write IOPS at depths 1 and 32.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_fio.h"
#include "bench/bench_harness.h"
#include "mos/mos_load.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "tgt/bm/bit_array.h"
#include "tgt/bm/drl.h"
#include "tgt/file/file.h"
#include "tgt/phy/phy_tooth_map.h"
#include "tgt/phy/stmp.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_sdbg.h"

namespace {

constexpr UINT32 kTeeth = 4096u * PHY_TOOTH_MAP__ENTRIES_PER_PIECE;
constexpr UINT64 kMapOffset = PHY_DEV__TEETH_MAP_OFFSET;
constexpr UINT64 kDrlOffset = PHY_DEV__BM_OFFSET;
constexpr UINT64 kDrlArea = 1ull << 30; // LB: 512 GB of teeth, 262144 regions
constexpr UINT64 kFileBytes = 512ull << 20;

struct Ctx {
    MosUmt_SchedThrd sched;
    MosAsyncIO aio;
    File file;
    PhyToothMap map;
    Drl drl;
    std::atomic<bool> bStop{false};
    std::atomic<UINT64> ops{0};
};

void runUmt(Ctx &c, const std::function<void()> &fn)
{
    struct Box {
        const std::function<void()> *pFn;
    } box{&fn};
    HMosUmt_UThread h = mosUmt_CreateUThreadEx([](void *p) { (*static_cast<Box *>(p)->pFn)(); }, &box,
                                               &c.sched.base, nullptr, TRUE, MosUmtClassId{0, 0});
    mosUmt_JoinSync(h);
}

void benchHarden(Ctx &c, const std::string &file, double seconds)
{
    printf("%-14s %14s %14s %8s\n", "dirty pieces", "harden usec", "fio usec", "ratio");
    for (UINT32 pieces : {1u, 64u, 4096u}) {
        const int reps = pieces == 4096 ? 20 : 200;
        double best = bench::bestSeconds(3, [&] {
            for (int r = 0; r < reps; r++) {
                // Dirty exactly the pieces to write, as updates spread over them would.
                bits_ChangeBits(c.map.memDirtyArray, 0, pieces, TRUE);
                c.map.bNeedHarden = TRUE;
                runUmt(c, [&] { phyToothMap_HardenAll(&c.map, 0); });
            }
        });
        double usec = best * 1e6 / reps;
        double fio = bench::fioIops(file, kFileBytes, "randwrite", pieces * 4096, 1, seconds);
        double fioUsec = fio > 0 ? 1e6 / fio : 0;
        printf("%-14u %14.1f %14.1f %8.2f\n", pieces, usec, fioUsec, fioUsec > 0 ? usec / fioUsec : 0.0);
        fflush(stdout);
    }
}

double setRate(Ctx &c, UINT32 writers, double seconds)
{
    c.bStop = false;
    c.ops = 0;
    std::vector<std::thread> threads;
    for (UINT32 i = 0; i < writers; i++) {
        threads.emplace_back([&c, i] {
            runUmt(c, [&c, i] {
                UINT64 x = 0x9E3779B97F4A7C15ull * (i + 1);
                while (!c.bStop.load(std::memory_order_relaxed)) {
                    x ^= x << 13;
                    x ^= x >> 7;
                    x ^= x << 17;
                    UINT64 region = x % (kDrlArea / TOOTH_SIZE_LB);
                    UINT32 off = (UINT32)((x >> 32) % 256) * 8;
                    if (drl_SetDirty(&c.drl, kDrlOffset + region * TOOTH_SIZE_LB + off, 8, TRUE, off, TRUE))
                        c.ops.fetch_add(1, std::memory_order_relaxed);
                }
            });
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    UINT64 start = c.ops.load();
    auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    UINT64 end = c.ops.load();
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    c.bStop = true;
    for (auto &t : threads)
        t.join();
    return (double)(end - start) / elapsed;
}

void benchDrl(Ctx &c, const std::string &file, double seconds)
{
    printf("\n%-8s %16s %16s %8s\n", "writers", "sets/s", "fio 4k IOPS", "ratio");
    for (UINT32 writers : {1u, 32u}) {
        double ours = setRate(c, writers, seconds);
        double fio = bench::fioIops(file, kFileBytes, "randwrite", 4096, writers, seconds);
        printf("%-8u %16.0f %16.0f %8.2f\n", writers, ours, fio, fio > 0 ? ours / fio : 0.0);
        fflush(stdout);
    }
}

} // namespace

int main(int argc, char **argv)
{
    const bench::FileBenchArgs args = bench::fileBenchArgs(argc, argv, "pellar-phy-meta-bench");
    const std::string &file = args.file;
    const double seconds = args.seconds;
    const bool bOwnFile = args.bOwnFile;
    if (!bench::sizeFile(file, kFileBytes))
        return 1;
    if (mos_Init(nullptr) != MOS_RC__SUCCESS)
        return 1;
    mosUmtMgr_Init(nullptr);
    tgtSdbg_Register();
    tgtPerfInitParam_G.maxReqPerAsyncFile = 64;
    static Ctx c;
    if (mosUmtSchedThrd_Create(&c.sched, "phy meta bench", 2, 2, 4) != MOS_RC__SUCCESS ||
        mosAsyncIO_Create(&c.aio, 128, 1, TRUE) != MOS_RC__SUCCESS)
        return 1;
    stmp_Init(&stmp_g, (UINT32)tgtInitParam_G.stmpMemorySizeInLbs);
    file_Init(&c.file, nullptr, nullptr);
    Mos_RC rc = MOS_RC__ERROR;
    runUmt(c, [&] {
        rc = file_Open(&c.file, file.c_str(), &c.aio);
        if (rc == MOS_RC__SUCCESS)
            rc = phyToothMap_Init(&c.map, nullptr, kTeeth, kMapOffset, &c.file, TRUE);
        if (rc == MOS_RC__SUCCESS)
            rc = drl_Init(&c.drl, kDrlArea, kDrlOffset, kDrlOffset, TOOTH_SIZE_LB, &c.file, nullptr, nullptr, TRUE,
                          FALSE, 1, PHY_DEV__DBM_ACTIVE_INDEX);
    });
    if (rc != MOS_RC__SUCCESS) {
        fprintf(stderr, "setup failed: %d\n", (int)rc);
        return 1;
    }
    printf("phy_meta_bench on %s (O_DIRECT, kernel AIO), %.0f s per fio anchor\n\n", file.c_str(), seconds);
    benchHarden(c, file, seconds);
    benchDrl(c, file, seconds);
    drl_Destroy(&c.drl);
    phyToothMap_Destroy(&c.map);
    runUmt(c, [&] { file_Close(&c.file); });
    if (bOwnFile)
        unlink(file.c_str());
    return 0;
}
