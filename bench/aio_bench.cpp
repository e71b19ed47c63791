// IOPS and latency percentiles of random transfers through the runtime's asynchronous I/O on an
// O_DIRECT file: the measure that fio gives with --ioengine=libaio --direct=1, so that the two
// can be compared on the same file.
//
//   aio_bench FILE --bs 4k --qd N --rw randread|randwrite --seconds S --reapers R
//             [--size 1g] [--ramp 1] [--mode async|sync] [--sched-threads T]
//
// async: N requests always outstanding; each completion (on a reaper) records the latency from
//        submission and submits the next transfer. sync: N user-mode threads, each doing one
//        blocking transfer (mosAsyncIO_DoIOSyncEx) after the other.
// A FILE smaller than --size is grown and filled with data first (reads of never-written
// blocks would not reach the device).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_harness.h"
#include "mos/mos_load.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "mos/usr/mos_async_io.h"

namespace {

using bench::Clock;

struct Options {
    std::string file;
    UINT32 bs = 4096;
    UINT32 qd = 1;
    bool bWrite = false;
    double seconds = 10;
    double ramp = 1;
    UINT32 reapers = 1;
    UINT64 size = 1ull << 30;
    bool bSync = false;
    UINT32 schedThreads = 2;
};

[[noreturn]] void usage()
{
    fprintf(stderr, "usage: aio_bench FILE --bs 4k --qd N --rw randread|randwrite --seconds S --reapers R "
                    "[--size 1g] [--ramp 1] [--mode async|sync] [--sched-threads T]\n");
    exit(2);
}

Options parse(int argc, char **argv)
{
    Options o;
    if (argc < 2)
        usage();
    o.file = argv[1];
    for (int i = 2; i < argc; i++) {
        std::string a = argv[i];
        if (i + 1 >= argc)
            usage();
        const char *v = argv[++i];
        if (a == "--bs") o.bs = (UINT32)bench::parseSize(v);
        else if (a == "--qd") o.qd = (UINT32)atoi(v);
        else if (a == "--rw") {
            if (strcmp(v, "randread") == 0) o.bWrite = false;
            else if (strcmp(v, "randwrite") == 0) o.bWrite = true;
            else usage();
        }
        else if (a == "--seconds") o.seconds = atof(v);
        else if (a == "--ramp") o.ramp = atof(v);
        else if (a == "--reapers") o.reapers = (UINT32)atoi(v);
        else if (a == "--size") o.size = bench::parseSize(v);
        else if (a == "--mode") o.bSync = strcmp(v, "sync") == 0;
        else if (a == "--sched-threads") o.schedThreads = (UINT32)atoi(v);
        else usage();
    }
    if (o.bs == 0 || o.bs % 512 != 0 || o.qd == 0 || o.reapers == 0 || o.size < o.bs)
        usage();
    return o;
}

// Latencies in a log-linear histogram: 32 buckets per power of two (about 3% wide).
class Histogram {
  public:
    void add(UINT64 ns) { counts_[index(ns)].fetch_add(1, std::memory_order_relaxed); }
    void reset()
    {
        for (auto &c : counts_)
            c.store(0, std::memory_order_relaxed);
    }
    UINT64 total() const
    {
        UINT64 t = 0;
        for (auto &c : counts_)
            t += c.load(std::memory_order_relaxed);
        return t;
    }
    double percentileUs(double p) const
    {
        UINT64 want = (UINT64)((double)total() * p / 100.0);
        UINT64 seen = 0;
        for (size_t i = 0; i < kBuckets; i++) {
            seen += counts_[i].load(std::memory_order_relaxed);
            if (seen > want)
                return (double)middle(i) / 1000.0;
        }
        return 0;
    }

  private:
    static constexpr size_t kBuckets = 64 * 32;
    static size_t index(UINT64 ns)
    {
        if (ns < 32)
            return ns;
        unsigned msb = 63 - __builtin_clzll(ns);
        return (size_t)(msb - 4) * 32 + ((ns >> (msb - 5)) & 31);
    }
    static UINT64 middle(size_t i)
    {
        if (i < 32)
            return i;
        unsigned msb = (unsigned)(i / 32) + 4;
        UINT64 low = (1ull << msb) | ((UINT64)(i % 32) << (msb - 5));
        return low + (1ull << (msb - 5)) / 2;
    }
    std::atomic<UINT64> counts_[kBuckets] = {};
};

struct Bench;

struct Slot {
    MosAsyncIO_Req req; // first: the completion finds the slot from it
    Bench *pBench;
    UINT8 *pBuf;
    UINT64 rng;
    Clock::time_point start;
};

struct Bench {
    Options opt;
    MosAsyncIO aio;
    MosAsyncIO_FileHandle file{};
    UINT64 blocks = 0;
    Histogram hist;
    std::atomic<bool> bStop{false};
    std::atomic<UINT32> outstanding{0};
    std::atomic<UINT64> errors{0};
};

UINT64 nextOffset(UINT64 &rng, UINT64 blocks, UINT32 bs)
{
    rng ^= rng << 13;
    rng ^= rng >> 7;
    rng ^= rng << 17;
    return (rng % blocks) * bs;
}

void submit(Slot *pSlot)
{
    Bench *b = pSlot->pBench;
    UINT64 offset = nextOffset(pSlot->rng, b->blocks, b->opt.bs);
    mosAsyncIOReq_Init(&pSlot->req, b->file.pFile, nullptr, pSlot->pBuf, offset, b->opt.bs, b->opt.bWrite);
    pSlot->req.callerCK.pCK = [](MosAsyncObj *pObj, INT32 rc) {
        Slot *s = reinterpret_cast<Slot *>(pObj);
        Bench *pB = s->pBench;
        pB->hist.add((UINT64)bench::nsSince(s->start));
        if (rc != MOS_RC__SUCCESS)
            pB->errors++;
        if (pB->bStop.load(std::memory_order_relaxed))
            pB->outstanding--;
        else
            submit(s);
    };
    pSlot->start = Clock::now();
    mosAsyncIO_DoIO(&pSlot->req);
}

// Sequential writes of non-zero data over the whole file, 1 MB at a time, 8 at once.
bool fill(Bench &b)
{
    const UINT32 chunk = 1u << 20;
    const UINT32 depth = 8;
    struct FillSlot {
        MosAsyncIO_Req req;
        std::atomic<int> *pDone;
        UINT8 *pBuf;
    };
    std::vector<FillSlot> slots(depth);
    std::atomic<int> done{0};
    std::atomic<UINT64> failed{0};
    for (auto &s : slots) {
        s.pDone = &done;
        s.pBuf = static_cast<UINT8 *>(aligned_alloc(4096, chunk));
        for (UINT32 i = 0; i < chunk; i++)
            s.pBuf[i] = (UINT8)(i * 131 + 7);
    }
    UINT64 offset = 0;
    while (offset < b.opt.size) {
        done = 0;
        UINT32 n = 0;
        for (; n < depth && offset < b.opt.size; n++) {
            UINT32 size = (UINT32)std::min<UINT64>(chunk, b.opt.size - offset);
            mosAsyncIOReq_Init(&slots[n].req, b.file.pFile,
                               [](MosAsyncObj *pObj, INT32 rc) {
                                   FillSlot *s = reinterpret_cast<FillSlot *>(pObj);
                                   if (rc == MOS_RC__SUCCESS)
                                       (*s->pDone)++;
                                   else
                                       (*s->pDone) += 1000;
                               },
                               slots[n].pBuf, offset, size, TRUE);
            mosAsyncIO_DoIO(&slots[n].req);
            offset += size;
        }
        while (done.load() < (int)n)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (done.load() != (int)n)
            failed++;
    }
    for (auto &s : slots)
        free(s.pBuf);
    return failed.load() == 0 && mosAsyncIO_Flush(&b.file) == MOS_RC__SUCCESS;
}

void report(Bench &b, UINT64 ops, double secs)
{
    printf("aio_bench %s bs=%u qd=%u reapers=%u mode=%s: %.0f IOPS, %.1f MB/s, lat p50 %.1f us, p99 %.1f us, "
           "p99.9 %.1f us (%llu ops in %.1f s, %llu errors)\n",
           b.opt.bWrite ? "randwrite" : "randread", b.opt.bs, b.opt.qd, b.opt.reapers, b.opt.bSync ? "sync" : "async",
           (double)ops / secs, (double)ops * b.opt.bs / secs / 1e6, b.hist.percentileUs(50), b.hist.percentileUs(99),
           b.hist.percentileUs(99.9), (unsigned long long)ops, secs, (unsigned long long)b.errors.load());
}

void runAsync(Bench &b)
{
    std::vector<Slot> slots(b.opt.qd);
    UINT64 seed = 0x9E3779B97F4A7C15ull;
    for (auto &s : slots) {
        s.pBench = &b;
        s.pBuf = static_cast<UINT8 *>(aligned_alloc(4096, b.opt.bs));
        memset(s.pBuf, 0x5A, b.opt.bs);
        s.rng = (seed += 0x632BE59BD9B4E019ull);
    }
    b.outstanding = b.opt.qd;
    for (auto &s : slots)
        submit(&s);
    std::this_thread::sleep_for(std::chrono::duration<double>(b.opt.ramp));
    b.hist.reset();
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(b.opt.seconds));
    UINT64 ops = b.hist.total();
    double secs = bench::secondsSince(start);
    b.bStop = true;
    while (b.outstanding.load() != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    report(b, ops, secs);
    for (auto &s : slots)
        free(s.pBuf);
}

struct SyncWorker {
    Bench *pBench;
    UINT8 *pBuf;
    UINT64 rng;
};

void runSync(Bench &b)
{
    mosUmtMgr_Init(nullptr);
    MosUmt_SchedThrd sched;
    if (mosUmtSchedThrd_Create(&sched, "aio bench", b.opt.schedThreads, b.opt.schedThreads, 4) != MOS_RC__SUCCESS) {
        fprintf(stderr, "cannot start the scheduler\n");
        exit(1);
    }
    std::vector<SyncWorker> workers(b.opt.qd);
    std::vector<HMosUmt_UThread> umts;
    UINT64 seed = 0x9E3779B97F4A7C15ull;
    for (auto &w : workers) {
        w.pBench = &b;
        w.pBuf = static_cast<UINT8 *>(aligned_alloc(4096, b.opt.bs));
        memset(w.pBuf, 0x5A, b.opt.bs);
        w.rng = (seed += 0x632BE59BD9B4E019ull);
        umts.push_back(mosUmt_CreateUThreadEx(
            [](void *p) {
                SyncWorker *pW = static_cast<SyncWorker *>(p);
                Bench *pB = pW->pBench;
                while (!pB->bStop.load(std::memory_order_relaxed)) {
                    UINT64 offset = nextOffset(pW->rng, pB->blocks, pB->opt.bs);
                    auto t0 = Clock::now();
                    if (mosAsyncIO_DoIOSyncEx(&pB->file, offset, pW->pBuf, pB->opt.bs, pB->opt.bWrite, nullptr) !=
                        MOS_RC__SUCCESS)
                        pB->errors++;
                    pB->hist.add(
                        (UINT64)bench::nsSince(t0));
                }
            },
            &w, &sched.base, nullptr, TRUE, MosUmtClassId{0, 0}));
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(b.opt.ramp));
    b.hist.reset();
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(b.opt.seconds));
    UINT64 ops = b.hist.total();
    double secs = bench::secondsSince(start);
    b.bStop = true;
    for (HMosUmt_UThread h : umts)
        mosUmt_JoinSync(h);
    report(b, ops, secs);
    for (auto &w : workers)
        free(w.pBuf);
    mosUmtSchedThrd_Destroy(&sched);
    mosUmtMgr_Destroy();
}

} // namespace

int main(int argc, char **argv)
{
    static Bench b;
    b.opt = parse(argc, argv);
    if (mos_Init(nullptr) != MOS_RC__SUCCESS) {
        fprintf(stderr, "runtime start failed\n");
        return 1;
    }
    UINT32 maxReq = std::max<UINT32>(2 * b.opt.qd, 64);
    if (mosAsyncIO_Create(&b.aio, maxReq, b.opt.reapers, TRUE) != MOS_RC__SUCCESS) {
        fprintf(stderr, "cannot create the asynchronous I/O context\n");
        return 1;
    }
    if (mosAsyncIO_OpenFileEx(&b.aio, &b.file, b.opt.file.c_str(), std::max<UINT32>(b.opt.qd, 8), TRUE, FALSE) !=
        MOS_RC__SUCCESS) {
        fprintf(stderr, "cannot open %s\n", b.opt.file.c_str());
        return 1;
    }
    UINT64 have = b.file.pFile->fd.fileSizeInBytes;
    if (have < b.opt.size) {
        printf("filling %s with %llu MB\n", b.opt.file.c_str(), (unsigned long long)(b.opt.size >> 20));
        if (mosAsyncIO_ExtendAndReserveFile(&b.file, b.opt.size) != MOS_RC__SUCCESS || !fill(b)) {
            fprintf(stderr, "cannot prepare %s\n", b.opt.file.c_str());
            return 1;
        }
    }
    b.blocks = b.opt.size / b.opt.bs;
    if (b.opt.bSync)
        runSync(b);
    else
        runAsync(b);
    mosAsyncIO_CloseFile(&b.file);
    mosAsyncIO_Destroy(&b.aio);
    mos_Destroy();
    return 0;
}
