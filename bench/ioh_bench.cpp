// Client reads and writes through the I/O handler in process (no network): each request is built
// as the receive path delivers it and served by ioh_NewRequest on a comb of an O_DIRECT device
// file, at queue depth 1 (one uthread) and 32 (32 uthreads), 4 KB and 64 KB, random offsets in a
// prefilled region of 256 teeth. The anchor is fio (libaio, direct) on the same file, same block
// size and depth, in the same run.
//
// Cache hits: the device's RAM read cache is then turned on, a region of 32 teeth (it fits the
// cache's smallest size) is read once through the handler, and random reads of it are timed; the
// share of reads the cache served is printed beside them. Their anchors are fio on the same region
// through the page cache (memory) and direct (device). A hit's pages are copied into the request's
// buffer here, where the receive path would send them from the cache itself.
//
//   ioh_bench [FILE] [--seconds 3]
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_fio.h"
#include "bench/bench_harness.h"
#include "test/support/ioh_rig.h"

namespace {

constexpr UINT64 kDevLbs = 2 * GB_IN_LBS + 1000;
constexpr UINT32 kTeeth = 256;

// One issuer's buffers: the request record and data, guards and read buffers.
struct Issuer {
    Issuer()
    {
        pData = static_cast<UINT8 *>(mos_AllocPageAlignedOrPanic(TOOTH_SIZE_LB * 512));
        pDif = static_cast<T10Dif *>(mos_AllocPageAlignedOrPanic(4096));
        pRead = static_cast<UINT8 *>(mos_AllocPageAlignedOrPanic(TOOTH_SIZE_LB * 512));
        pReadDif = static_cast<T10Dif *>(mos_AllocPageAlignedOrPanic(4096));
        memset(pData, 0x5A, TOOTH_SIZE_LB * 512);
    }
    ~Issuer()
    {
        mos_FreePageAligned(pData);
        mos_FreePageAligned(pDif);
        mos_FreePageAligned(pRead);
        mos_FreePageAligned(pReadDif);
    }
    Mos_RC io(Ioh *pIoh, bool bWrite, UINT32 off, UINT32 lbs)
    {
        TgtReq_IoWrite rec{};
        rec.combId = IohRig::kComb;
        rec.volId = IohRig::kVol;
        rec.offsetInComb = off;
        rec.sizeInLbs = lbs;
        IohReq req{};
        req.msgType = bWrite ? TGT_MSG_TYPE__IO_WRITE_PRI : TGT_MSG_TYPE__IO_READ_PRI;
        req.peerVer = 0x1270000; // no guards either way
        req.bufs[0] = {&rec, sizeof(rec)};
        req.numOfBufs = 1;
        if (bWrite) {
            req.numOfBufs = 3;
            req.bufs[1] = {pData, lbs * 512};
            req.bufs[2] = {pDif, lbs * 2};
        }
        IohResp res{};
        res.pReadData = pRead;
        res.pReadDif = pReadDif;
        ioh_NewRequest(pIoh, &req, &res);
        return res.rc;
    }
    UINT8 *pData, *pRead;
    T10Dif *pDif, *pReadDif;
};

// Requests per second with qd uthreads issuing back to back for the given time, at random offsets
// in the first teeth teeth of the comb.
double handlerIops(IohRig &rig, bool bWrite, UINT32 lbs, UINT32 qd, double seconds, UINT32 teeth = kTeeth)
{
    std::atomic<UINT64> ops{0}, failures{0};
    auto t0 = bench::Clock::now();
    struct Job {
        IohRig *pRig;
        bool bWrite;
        UINT32 lbs, seed, teeth;
        double seconds;
        bench::Clock::time_point t0;
        std::atomic<UINT64> *pOps, *pFailures;
    };
    std::vector<Job> jobs(qd);
    std::vector<HMosUmt_UThread> handles;
    for (UINT32 i = 0; i < qd; i++) {
        jobs[i] = Job{&rig, bWrite, lbs, i + 1, teeth, seconds, t0, &ops, &failures};
        handles.push_back(mosUmt_CreateUThreadEx(
            [](void *p) {
                Job *j = static_cast<Job *>(p);
                Issuer is;
                UINT64 x = 0x9E3779B97F4A7C15ull * j->seed;
                const UINT32 slots = TOOTH_SIZE_LB / j->lbs;
                while (bench::secondsSince(j->t0) < j->seconds) {
                    x ^= x << 13;
                    x ^= x >> 7;
                    x ^= x << 17;
                    UINT32 off = (UINT32)(x % j->teeth) * TOOTH_SIZE_LB + (UINT32)((x >> 20) % slots) * j->lbs;
                    if (is.io(&j->pRig->ioh, j->bWrite, off, j->lbs) != MOS_RC__SUCCESS)
                        (*j->pFailures)++;
                    (*j->pOps)++;
                }
            },
            &jobs[i], &rig.sched.base, nullptr, TRUE, MosUmtClassId{0, 0}));
    }
    for (HMosUmt_UThread h : handles)
        mosUmt_JoinSync(h);
    double elapsed = bench::secondsSince(t0);
    if (failures != 0)
        fprintf(stderr, "%llu requests failed\n", (unsigned long long)failures.load());
    return (double)ops.load() / elapsed;
}

// Reads served by the RAM read cache, beside fio through the page cache and direct.
void cacheHitReads(IohRig &rig, const std::string &file, double seconds)
{
    constexpr UINT32 kHotTeeth = 32;
    if (!rig.cacheOn()) {
        printf("\ncache-hit reads: the RAM read cache did not come up\n");
        return;
    }
    printf("\ncache-hit reads: RAM read cache on, %u teeth read once before timing\n", kHotTeeth);
    printf("%-14s %4s %14s %8s %14s %8s %14s %8s\n", "request", "qd", "handler IOPS", "hits", "fio mem IOPS",
           "ratio", "fio dev IOPS", "ratio");
    for (UINT32 lbs : {8u, 128u}) {
        rig.run([&] {
            Issuer is;
            for (UINT32 off = 0; off < kHotTeeth * TOOTH_SIZE_LB; off += lbs)
                is.io(&rig.ioh, false, off, lbs);
        });
        for (UINT32 qd : {1u, 32u}) {
            UINT64 hits0 = rig.bwc[CONT_BWC_IO_COUNTER__PRI_IO_FROM_RAMCACHE][0];
            UINT64 dev0 = rig.bwc[CONT_BWC_IO_COUNTER__PRI_IO_FROM_DEV][0];
            double h = handlerIops(rig, false, lbs, qd, seconds, kHotTeeth);
            UINT64 hits = rig.bwc[CONT_BWC_IO_COUNTER__PRI_IO_FROM_RAMCACHE][0] - hits0;
            UINT64 devLbs = rig.bwc[CONT_BWC_IO_COUNTER__PRI_IO_FROM_DEV][0] - dev0;
            const unsigned long long bytes = (unsigned long long)kHotTeeth << 20;
            double fm = bench::fioIops(file, bytes, "randread", lbs * 512, qd, seconds, false);
            double fd = bench::fioIops(file, bytes, "randread", lbs * 512, qd, seconds);
            printf("%-14s %4u %14.0f %7.1f%% %14.0f %8.2f %14.0f %8.2f\n",
                   (std::string("read ") + std::to_string(lbs / 2) + " KB").c_str(), qd, h,
                   hits + devLbs > 0 ? 100.0 * (double)hits / (double)(hits + devLbs) : 0.0, fm,
                   fm > 0 ? h / fm : 0.0, fd, fd > 0 ? h / fd : 0.0);
            fflush(stdout);
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    const bench::FileBenchArgs args = bench::fileBenchArgs(argc, argv, "pellar-ioh-bench");
    const std::string &file = args.file;
    const double seconds = args.seconds;
    const bool bOwnFile = args.bOwnFile;
    if (!IohRig::initRuntime())
        return 1;
    tgtInitParam_G.bElockTimeCheck = FALSE;
    static IohRig rig;
    if (!rig.open(file, kDevLbs, 4)) {
        fprintf(stderr, "cannot set up the handler on %s\n", file.c_str());
        return 1;
    }
    // Every tooth of the region exists before timing: no allocation in the figures.
    rig.run([&] {
        Issuer is;
        for (UINT32 t = 0; t < kTeeth; t++)
            is.io(&rig.ioh, true, t * TOOTH_SIZE_LB, TOOTH_SIZE_LB);
    });
    printf("ioh_bench on %s (O_DIRECT, kernel AIO), %.0f s per figure, cache off\n\n", file.c_str(), seconds);
    printf("%-14s %4s %14s %14s %8s\n", "request", "qd", "handler IOPS", "fio IOPS", "ratio");
    for (bool bWrite : {true, false})
        for (UINT32 lbs : {8u, 128u})
            for (UINT32 qd : {1u, 32u}) {
                double h = handlerIops(rig, bWrite, lbs, qd, seconds);
                double f = bench::fioIops(file, 256ull << 20, bWrite ? "randwrite" : "randread", lbs * 512, qd,
                                          seconds);
                printf("%-14s %4u %14.0f %14.0f %8.2f\n",
                       (std::string(bWrite ? "write " : "read ") + std::to_string(lbs / 2) + " KB").c_str(), qd, h,
                       f, f > 0 ? h / f : 0.0);
                fflush(stdout);
            }
    cacheHitReads(rig, file, seconds);
    rig.close();
    if (bOwnFile)
        unlink(file.c_str());
    return 0;
}
