// Device reads and writes through the device set: phyDev_Read and phyDev_Write of 4 KB and 64 KB
// at random offsets of a prefilled region of 256 teeth on an O_DIRECT device file, at queue
// depth 1 (one uthread) and 32 (32 uthreads), over the set's one asynchronous-I/O context. The
// anchor is fio (libaio, direct) on the same file, same block size and depth, in the same run.
//
//   phy_dev_bench [FILE] [--seconds 3] [--reapers N (tgt_asyncio_thrds, default 1)]
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_fio.h"
#include "bench/bench_harness.h"
#include "mos/mos_load.h"
#include "mos/mos_utils_mem.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "tgt/file/file.h"
#include "tgt/phy/phy_dev_io.h"
#include "tgt/phy/phy_devset.h"
#include "tgt/phy/stmp.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_sdbg.h"
#include "tgt/tgt_umt_class.h"

namespace {

constexpr UINT64 kDevLbs = 2 * GB_IN_LBS + 1000;
constexpr UINT32 kTeeth = 256;

MosUmt_SchedThrd sched_G;

void runAsUmt(void (*fn)(void *), void *pArg)
{
    HMosUmt_UThread h = mosUmt_CreateUThreadEx(fn, pArg, &sched_G.base, nullptr, TRUE, MosUmtClassId{0, 0});
    mosUmt_JoinSync(h);
}

struct Job {
    PhyDev *pDev;
    bool bWrite;
    UINT32 lbs, seed;
    double seconds;
    bench::Clock::time_point t0;
    std::atomic<UINT64> *pOps, *pFailures;
};

void issue(void *p)
{
    Job *j = static_cast<Job *>(p);
    auto *pBuf = static_cast<UINT8 *>(mos_AllocPageAlignedOrPanic((size_t)j->lbs * 512));
    memset(pBuf, 0x5A, (size_t)j->lbs * 512);
    UINT64 x = 0x9E3779B97F4A7C15ull * j->seed;
    const UINT32 slots = TOOTH_SIZE_LB / j->lbs;
    const UINT64 base = j->pDev->teethOffsetInLbs;
    // The clock is read once every 64 I/Os: it is not part of the device path.
    for (UINT64 n = 0; (n & 63) != 0 || bench::secondsSince(j->t0) < j->seconds; n++) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        UINT64 lba = base + (x % kTeeth) * TOOTH_SIZE_LB + ((x >> 20) % slots) * j->lbs;
        Mos_RC rc = j->bWrite ? phyDev_Write(j->pDev, pBuf, nullptr, lba, j->lbs, WrIoFlags{.flags = 0},
                                             COPY_TYPE__NONE, 0, 0, 0)
                              : phyDev_Read(j->pDev, pBuf, nullptr, lba, j->lbs, COPY_TYPE__NONE, 0, 0,
                                            RdIoFlags{.flags = 0});
        if (rc != MOS_RC__SUCCESS)
            (*j->pFailures)++;
        (*j->pOps)++;
    }
    mos_FreePageAligned(pBuf);
}

double deviceIops(PhyDev *pDev, bool bWrite, UINT32 lbs, UINT32 qd, double seconds)
{
    std::atomic<UINT64> ops{0}, failures{0};
    auto t0 = bench::Clock::now();
    std::vector<Job> jobs(qd);
    std::vector<HMosUmt_UThread> handles;
    for (UINT32 i = 0; i < qd; i++) {
        jobs[i] = Job{pDev, bWrite, lbs, i + 1, seconds, t0, &ops, &failures};
        handles.push_back(mosUmt_CreateUThreadEx(issue, &jobs[i], &sched_G.base, nullptr, TRUE, MosUmtClassId{0, 0}));
    }
    for (HMosUmt_UThread h : handles)
        mosUmt_JoinSync(h);
    double elapsed = bench::secondsSince(t0);
    if (failures != 0)
        fprintf(stderr, "%llu I/Os failed\n", (unsigned long long)failures.load());
    return (double)ops.load() / elapsed;
}

struct Setup {
    Phy phy;
    File file;
    PhyDev *pDev;
    std::string path;
    Mos_RC rc;
};

} // namespace

int main(int argc, char **argv)
{
    std::string path;
    double seconds = 3;
    UINT64 reapers = 1;
    int i = 1;
    if (argc > 1 && argv[1][0] != '-')
        path = argv[i++];
    for (; i + 1 < argc; i += 2)
        if (strcmp(argv[i], "--seconds") == 0)
            seconds = atof(argv[i + 1]);
        else if (strcmp(argv[i], "--reapers") == 0)
            reapers = strtoull(argv[i + 1], nullptr, 10);
    bool bOwnFile = path.empty();
    if (bOwnFile)
        path = bench::scratchFile("pellar-phy-dev-bench");
    FILE *pf = fopen(path.c_str(), "a");
    if (pf == nullptr || ftruncate(fileno(pf), (off_t)(kDevLbs * 512)) != 0) {
        fprintf(stderr, "cannot make %s\n", path.c_str());
        return 1;
    }
    fclose(pf);
    if (mos_Init(nullptr) != MOS_RC__SUCCESS)
        return 1;
    mosUmtMgr_Init(tgt_UmtClassInit);
    tgtSdbg_Register();
    tgtConf_SetDefaults();
    tgtPerfInitParam_G.maxReqPerAsyncFile = 64;
    tgtInitParam_G.phyDevMinCapacityInLbs = 2 * GB_IN_LBS;
    tgtInitParam_G.asyncIOThrds = reapers;
    if (mosUmtSchedThrd_Create(&sched_G, "phy dev bench", 4, 4, 8) != MOS_RC__SUCCESS)
        return 1;
    stmp_Init(&stmp_g, (UINT32)tgtInitParam_G.stmpMemorySizeInLbs);

    static Setup s{};
    s.path = path;
    phy_InitEx(&s.phy, nullptr, nullptr, FALSE);
    runAsUmt(
        [](void *) {
            file_Init(&s.file, nullptr, nullptr);
            s.rc = file_Open(&s.file, s.path.c_str(), phyMultiDev_GetAsyncIO(&s.phy.mDev));
            if (s.rc == MOS_RC__SUCCESS)
                s.rc = phy_AddDev(&s.phy, nullptr, &s.file, kDevLbs, 2048, 0x7007, 0xBE4C, FALSE, 0, TRUE, nullptr,
                                  &s.pDev, nullptr);
            if (s.rc != MOS_RC__SUCCESS)
                return;
            // Every tooth of the region holds data before timing.
            auto *pTooth = static_cast<UINT8 *>(mos_AllocPageAlignedOrPanic(TOOTH_SIZE_LB * 512));
            memset(pTooth, 0xA5, TOOTH_SIZE_LB * 512);
            for (UINT32 t = 0; t < kTeeth && s.rc == MOS_RC__SUCCESS; t++)
                s.rc = phyDev_Write(s.pDev, pTooth, nullptr, s.pDev->teethOffsetInLbs + (UINT64)t * TOOTH_SIZE_LB,
                                    TOOTH_SIZE_LB, WrIoFlags{.flags = 0}, COPY_TYPE__NONE, 0, 0, 0);
            mos_FreePageAligned(pTooth);
        },
        nullptr);
    if (s.rc != MOS_RC__SUCCESS) {
        fprintf(stderr, "cannot set up the device on %s: %s\n", path.c_str(), mosRc_GetStr(s.rc));
        return 1;
    }

    printf("phy_dev_bench on %s (O_DIRECT, kernel AIO through the device set, %llu reaper thread(s)), %.0f s per "
           "figure\n\n",
           path.c_str(), (unsigned long long)reapers, seconds);
    printf("%-14s %4s %14s %14s %8s\n", "I/O", "qd", "device IOPS", "fio IOPS", "ratio");
    for (bool bWrite : {true, false})
        for (UINT32 lbs : {8u, 128u})
            for (UINT32 qd : {1u, 32u}) {
                double d = deviceIops(s.pDev, bWrite, lbs, qd, seconds);
                double f = bench::fioIops(path, 256ull << 20, bWrite ? "randwrite" : "randread", lbs * 512, qd,
                                          seconds);
                printf("%-14s %4u %14.0f %14.0f %8.2f\n",
                       (std::string(bWrite ? "write " : "read ") + std::to_string(lbs / 2) + " KB").c_str(), qd, d, f,
                       f > 0 ? d / f : 0.0);
                fflush(stdout);
            }
    runAsUmt(
        [](void *) {
            phy_RemDev(&s.phy, s.pDev);
            file_Close(&s.file);
        },
        nullptr);
    file_Destroy(&s.file);
    phy_Destroy(&s.phy);
    if (bOwnFile)
        unlink(path.c_str());
    return 0;
}
