// Device-file transfers and bitmap group commit, each figure beside fio on the same file in the
// same run.
//
//   tgt_file_bench [FILE] [--size 1g] [--seconds 5]
//
// Transfers: 4 KB and 1 MB random reads and writes through file_Read / file_Write with 1 and 32
// user-mode threads (each one blocking transfer after the other), against
// fio --ioengine=libaio --direct=1 at queue depths 1 and 32.
// Group commit: hardened sets of random bits by 1, 8 and 64 user-mode threads; the anchor is
// fio's rate of 4 KB random writes at depth 1, what one device write per change would give.
// Without FILE a file is made in a temporary directory on a disk file system (not tmpfs).
#include <sys/statfs.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_fio.h"
#include "bench/bench_harness.h"
#include "mos/mos_load.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "tgt/bm/bitmap.h"
#include "tgt/file/file.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_sdbg.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string file;
    UINT64 size = 1ull << 30;
    double seconds = 5;
};

std::string scratchFile() { return bench::scratchFile("pellar-tgt-file-bench"); }

// Fills the file with data: reads of holes would never reach the device.
bool prepareFile(const Options &o)
{
    FILE *p = fopen(o.file.c_str(), "r+");
    if (p == nullptr)
        p = fopen(o.file.c_str(), "w+");
    if (p == nullptr)
        return false;
    std::vector<char> chunk(1 << 20, 0x5A);
    for (UINT64 done = 0; done < o.size; done += chunk.size())
        fwrite(chunk.data(), 1, chunk.size(), p);
    fflush(p);
    fsync(fileno(p));
    fclose(p);
    return true;
}

double fioIops(const Options &o, const char *rw, UINT32 bs, UINT32 qd, double seconds)
{
    return bench::fioIops(o.file, (unsigned long long)o.size, rw, bs, qd, seconds);
}

struct Shared {
    File file;
    Bitmap bm;
    UINT64 blocks; // transfers of the current size that fit
    UINT32 lbs;
    bool bWrite;
    std::atomic<bool> bStop{false};
    std::atomic<UINT64> ops{0};
    std::atomic<UINT64> errors{0};
};

struct Worker {
    Shared *pS;
    UINT8 *pBuf;
    UINT64 rng;
};

UINT64 nextRand(UINT64 &x)
{
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
}

// Runs body(worker) in n user-mode threads for the given seconds after one second of ramp;
// returns operations per second.
// *pWatched (when given) gets how much the watched counter rose per second in the same window.
template <typename Body>
double runThreads(MosUmt_SchedThrd &sched, Shared &s, UINT32 n, UINT32 bufBytes, double seconds, Body body,
                  const UINT64 *pWatch = nullptr, double *pWatched = nullptr)
{
    static Body *pBody;
    pBody = &body;
    s.bStop = false;
    s.ops = 0;
    std::vector<Worker> workers(n);
    std::vector<HMosUmt_UThread> umts;
    UINT64 seed = 0x9E3779B97F4A7C15ull;
    for (auto &w : workers) {
        w.pS = &s;
        w.pBuf = static_cast<UINT8 *>(aligned_alloc(4096, bufBytes));
        memset(w.pBuf, 0xA5, bufBytes);
        w.rng = (seed += 0x632BE59BD9B4E019ull);
        umts.push_back(mosUmt_CreateUThreadEx(
            [](void *p) {
                Worker *pW = static_cast<Worker *>(p);
                while (!pW->pS->bStop.load(std::memory_order_relaxed)) {
                    if ((*pBody)(*pW))
                        pW->pS->ops.fetch_add(1, std::memory_order_relaxed);
                    else
                        pW->pS->errors++;
                }
            },
            &w, &sched.base, nullptr, TRUE, MosUmtClassId{0, 0}));
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    UINT64 start = s.ops.load();
    UINT64 watchStart = pWatch != nullptr ? __atomic_load_n(pWatch, __ATOMIC_RELAXED) : 0;
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    UINT64 done = s.ops.load() - start;
    UINT64 watchDone = pWatch != nullptr ? __atomic_load_n(pWatch, __ATOMIC_RELAXED) - watchStart : 0;
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    if (pWatched != nullptr)
        *pWatched = (double)watchDone / secs;
    s.bStop = true;
    for (HMosUmt_UThread h : umts)
        mosUmt_JoinSync(h);
    for (auto &w : workers)
        free(w.pBuf);
    return (double)done / secs;
}

void benchTransfers(const Options &o, MosUmt_SchedThrd &sched, Shared &s)
{
    printf("%-10s %6s %3s %12s %12s %12s %7s\n", "rw", "bs", "qd", "file IOPS", "fio IOPS", "file MB/s", "ratio");
    for (UINT32 bs : {4096u, 1u << 20}) {
        for (bool bWrite : {false, true}) {
            for (UINT32 qd : {1u, 32u}) {
                s.lbs = bs / 512;
                s.blocks = o.size / bs;
                s.bWrite = bWrite;
                double ours = runThreads(sched, s, qd, bs, o.seconds, [](Worker &w) {
                    Shared *pS = w.pS;
                    UINT64 lb = (nextRand(w.rng) % pS->blocks) * pS->lbs;
                    Mos_RC rc = pS->bWrite ? file_Write(&pS->file, w.pBuf, lb, pS->lbs, FILE_IO_TYPE__IO, 0, 0)
                                           : file_Read(&pS->file, w.pBuf, nullptr, lb, pS->lbs, FILE_IO_TYPE__IO,
                                                       TRUE, 0, 0, RdIoFlags{0});
                    return rc == MOS_RC__SUCCESS;
                });
                const char *rw = bWrite ? "randwrite" : "randread";
                double fio = fioIops(o, rw, bs, qd, o.seconds);
                printf("%-10s %6s %3u %12.0f %12.0f %12.1f %7.2f\n", rw, bs == 4096 ? "4k" : "1m", qd, ours, fio,
                       ours * bs / 1e6, fio > 0 ? ours / fio : 0.0);
                fflush(stdout);
            }
        }
    }
}

void benchGroupCommit(const Options &o, MosUmt_SchedThrd &sched, Shared &s)
{
    constexpr UINT32 kBits = 1u << 20;
    double fio = fioIops(o, "randwrite", 4096, 1, o.seconds);
    printf("\n%-8s %14s %14s %12s %22s\n", "setters", "changes/s", "writes/s", "changes/write", "fio 4k write qd1 IOPS");
    for (UINT32 n : {1u, 8u, 64u}) {
        Mos_RC rc = MOS_RC__ERROR;
        std::thread([&] {
            struct Box {
                Shared *pS;
                Mos_RC *pRc;
            } box{&s, &rc};
            HMosUmt_UThread h = mosUmt_CreateUThreadEx(
                [](void *p) {
                    Box *pB = static_cast<Box *>(p);
                    *pB->pRc = bitmap_Init(&pB->pS->bm, kBits, 8192, &pB->pS->file, nullptr, nullptr, TRUE, FALSE, 1,
                                           PHY_DEV__DBM_ACTIVE_INDEX);
                },
                &box, &sched.base, nullptr, TRUE, MosUmtClassId{0, 0});
            mosUmt_JoinSync(h);
        }).join();
        if (rc != MOS_RC__SUCCESS) {
            fprintf(stderr, "bitmap init failed\n");
            return;
        }
        double writes = 0;
        double changes = runThreads(
            sched, s, n, 4096, o.seconds,
            [](Worker &w) {
                return bitmap_ChangeBits(&w.pS->bm, (UINT32)(nextRand(w.rng) % kBits), 1, TRUE, TRUE, TRUE) == TRUE;
            },
            &s.file.dbg.ioCounters[FILE_IO_TYPE__BM].writes, &writes);
        printf("%-8u %14.0f %14.0f %12.2f %22.0f\n", n, changes, writes, writes > 0 ? changes / writes : 0, fio);
        fflush(stdout);
        bitmap_Destroy(&s.bm);
    }
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    int i = 1;
    if (argc > 1 && argv[1][0] != '-')
        o.file = argv[i++];
    for (; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--size") == 0)
            o.size = bench::parseSize(argv[i + 1]);
        else if (strcmp(argv[i], "--seconds") == 0)
            o.seconds = atof(argv[i + 1]);
    }
    bool bOwnFile = o.file.empty();
    if (bOwnFile)
        o.file = scratchFile();
    if (!prepareFile(o)) {
        fprintf(stderr, "cannot prepare %s\n", o.file.c_str());
        return 1;
    }
    if (mos_Init(nullptr) != MOS_RC__SUCCESS)
        return 1;
    mosUmtMgr_Init(nullptr);
    tgtSdbg_Register();
    tgtPerfInitParam_G.maxReqPerAsyncFile = 64;
    MosUmt_SchedThrd sched;
    MosAsyncIO aio;
    if (mosUmtSchedThrd_Create(&sched, "tgt file bench", 2, 2, 4) != MOS_RC__SUCCESS ||
        mosAsyncIO_Create(&aio, 128, 1, TRUE) != MOS_RC__SUCCESS) {
        fprintf(stderr, "runtime set-up failed\n");
        return 1;
    }
    static Shared s;
    file_Init(&s.file, nullptr, nullptr);
    Mos_RC rc = MOS_RC__ERROR;
    struct OpenArgs {
        Mos_RC *pRc;
        MosAsyncIO *pAio;
        const char *pPath;
    } openArgs{&rc, &aio, o.file.c_str()};
    std::thread([&] {
        HMosUmt_UThread h = mosUmt_CreateUThreadEx(
            [](void *p) {
                auto *pA = static_cast<OpenArgs *>(p);
                *pA->pRc = file_Open(&s.file, pA->pPath, pA->pAio);
            },
            &openArgs, &sched.base, nullptr, TRUE, MosUmtClassId{0, 0});
        mosUmt_JoinSync(h);
    }).join();
    if (rc != MOS_RC__SUCCESS) {
        fprintf(stderr, "cannot open %s: %s\n", o.file.c_str(), MOS_RC__GET_STR(rc));
        return 1;
    }
    printf("tgt_file_bench on %s (%llu MB), %.0f s per figure\n", o.file.c_str(),
           (unsigned long long)(o.size >> 20), o.seconds);
    benchTransfers(o, sched, s);
    benchGroupCommit(o, sched, s);
    if (s.errors.load() != 0)
        printf("errors: %llu\n", (unsigned long long)s.errors.load());
    if (bOwnFile)
        unlink(o.file.c_str());
    _exit(0);
}
