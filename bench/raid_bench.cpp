// Client I/O through real pellar processes: one QuilletSim client over loopback against one pellar
// holding a comb alone and against a mirrored pair, 4 KB and 1 MB writes and 4 KB reads at queue
// depth 1 and 32 (that many client threads, each with one request in flight). Beside them, in the
// same run and on the same device file once the pellars are stopped: fio on the file itself, and
// nbdkit serving the file with fio's nbd engine (a rows' anchor is left out when the tool is
// missing).
//
//   raid_bench [--seconds S]
//
// The last column counts client requests that failed or went unanswered within the client's
// 10-second time-out (the figures count only answered requests).
//
// Requests go to random 4 KB-aligned places in the first 64 teeth of each comb (whole teeth for
// 1 MB writes), all written and read once before the measurements: the pellars run with a RAM
// read cache (device and volume use it), the anchors' counterpart of nbdkit's page cache.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_fio.h"
#include "bench/bench_process.h"
#include "test/peers/cluster.h"
#include "test/support/net_root.h"
#include "test/support/pellar_process.h"

namespace {

constexpr uint64_t kSingleComb = 0x8000, kMirrorComb = 0x10000; // heads 1 and 2
constexpr uint32_t kToothLbs = 2048, kTeeth = 64;
constexpr int kPrimary = 0, kSecondary = 1;

struct Workload {
    const char *name;
    const char *fioRw;
    uint32_t lbs;
    bool bWrite;
};
constexpr Workload kWorkloads[] = {
    {"4K write", "randwrite", 8, true},
    {"1M write", "randwrite", kToothLbs, true},
    {"4K read", "randread", 8, false},
};
constexpr uint32_t kDepths[] = {1, 32};

// Requests per second of qd client threads for the given time (failed requests not counted);
// the failures in *pFailed.
double raidBench_Run(Cluster &c, uint64_t combId, const Workload &w, uint32_t qd, double seconds, uint64_t *pFailed)
{
    (void)c.Quillet(kPrimary); // connected before the threads share it
    std::atomic<uint64_t> done{0}, failed{0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < qd; t++) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(0xbe4c + t);
            const std::vector<uint8_t> data = clusterPattern(combId, 0, w.lbs, t + 1);
            while (std::chrono::steady_clock::now() < deadline) {
                const uint32_t slots = kToothLbs / w.lbs;
                const uint32_t lb = (uint32_t)(rng() % kTeeth) * kToothLbs + (uint32_t)(rng() % slots) * w.lbs;
                const QuilletSim::Io io = c.IoOf(combId, lb, w.lbs);
                const Mos_RC rc = w.bWrite ? c.Quillet(kPrimary).WriteData(io, data)
                                           : c.Quillet(kPrimary).ReadData(io, nullptr);
                (rc == MOS_RC__SUCCESS ? done : failed)++;
            }
        });
    }
    for (std::thread &th : threads)
        th.join();
    *pFailed += failed;
    return (double)done / seconds;
}

// Every tooth the reads may touch holds data, and the RAM read cache holds the pages (read in the
// cache's largest pieces), as a file server's page cache would after a first pass.
bool raidBench_Fill(Cluster &c, uint64_t combId)
{
    constexpr uint32_t kCachedLbs = 256;
    for (uint32_t t = 0; t < kTeeth; t++) {
        if (c.WritePattern(kPrimary, combId, t * kToothLbs, kToothLbs, 1) != MOS_RC__SUCCESS)
            return false;
        for (uint32_t lb = 0; lb < kToothLbs; lb += kCachedLbs)
            if (c.Quillet(kPrimary).ReadData(c.IoOf(combId, t * kToothLbs + lb, kCachedLbs), nullptr) !=
                MOS_RC__SUCCESS)
                return false;
    }
    return true;
}

struct Row {
    const Workload *w;
    uint32_t qd;
    double single = -1, mirrored = -1, fio = -1, nbd = -1;
    uint64_t failed = 0; // client requests of the two pellar rows that failed or timed out
};

// The anchors on the stopped pellar's device file: fio locally, then through nbdkit.
void raidBench_Anchors(const std::string &file, std::vector<Row> *pRows, double seconds)
{
    const unsigned long long size = (unsigned long long)kTeeth << 20;
    const std::string offset = "--offset=1g"; // where the device's teeth begin
    for (Row &r : *pRows)
        r.fio = bench::fioIopsOf("--filename=" + file + " --ioengine=libaio --direct=1", size, r.w->fioRw,
                                 r.w->lbs * 512, r.qd, seconds, offset);
    if (system("command -v nbdkit >/dev/null 2>&1") != 0) {
        fprintf(stderr, "nbdkit is not installed: its rows stay empty\n");
        return;
    }
    const int port = freePort();
    const pid_t nbd = bench::spawn({"nbdkit", "-f", "-p", std::to_string(port), "file", file});
    for (Row &r : *pRows)
        r.nbd = bench::fioIopsOf("--ioengine=nbd --uri=nbd://127.0.0.1:" + std::to_string(port), size, r.w->fioRw,
                                 r.w->lbs * 512, r.qd, seconds, offset);
    kill(nbd, SIGTERM);
    waitpid(nbd, nullptr, 0);
}

void raidBench_Print(const std::vector<Row> &rows)
{
    auto cell = [](double iops, uint32_t lbs) {
        char b[32];
        if (iops < 0)
            snprintf(b, sizeof(b), "%12s", "-");
        else if (lbs >= kToothLbs)
            snprintf(b, sizeof(b), "%9.0f MB/s", iops * lbs * 512 / 1e6);
        else
            snprintf(b, sizeof(b), "%8.0f IOPS", iops);
        return std::string(b);
    };
    printf("%-9s %3s %14s %14s %7s %14s %14s %12s %7s\n", "workload", "QD", "single copy", "mirrored", "mir/1",
           "fio on file", "nbdkit", "single/nbd", "failed");
    for (const Row &r : rows) {
        const double ratio = r.single > 0 && r.mirrored > 0 ? r.mirrored / r.single : -1;
        const double vsNbd = r.single > 0 && r.nbd > 0 ? r.single / r.nbd : -1;
        printf("%-9s %3u %14s %14s %7.2f %14s %14s %12.2f %7lu\n", r.w->name, r.qd, cell(r.single, r.w->lbs).c_str(),
               cell(r.mirrored, r.w->lbs).c_str(), ratio, cell(r.fio, r.w->lbs).c_str(), cell(r.nbd, r.w->lbs).c_str(),
               vsNbd, (unsigned long)r.failed);
    }
}

} // namespace

int main(int argc, char **argv)
{
    double seconds = 3;
    for (int i = 1; i + 1 < argc; i += 2)
        if (strcmp(argv[i], "--seconds") == 0)
            seconds = atof(argv[i + 1]);
    if (getenv("PELLAR_BUILD_DIR") == nullptr)
        setenv("PELLAR_BUILD_DIR", std::filesystem::canonical("/proc/self/exe").parent_path().parent_path().c_str(), 1);
    if (netTest_RuntimeStart() != MOS_RC__SUCCESS) {
        fprintf(stderr, "the runtime did not start\n");
        return 1;
    }
    const std::string root = bench::scratchFile("raid_bench");
    std::vector<Row> rows;
    for (const Workload &w : kWorkloads)
        for (uint32_t qd : kDepths)
            rows.push_back(Row{&w, qd});
    int rc = 0;
    {
        ClusterOptions o;
        o.ramCacheMb = 512; // both combs' regions fit
        Cluster c(root, o);
        if (!c.StartAll() || !c.AddSingleComb(kSingleComb, kPrimary) ||
            !c.AddMirroredComb(kMirrorComb, kPrimary, kSecondary) || !raidBench_Fill(c, kSingleComb) ||
            !raidBench_Fill(c, kMirrorComb)) {
            fprintf(stderr, "cluster: %s\n", c.LastError().c_str());
            rc = 1;
        } else {
            for (Row &r : rows) {
                r.single = raidBench_Run(c, kSingleComb, *r.w, r.qd, seconds, &r.failed);
                r.mirrored = raidBench_Run(c, kMirrorComb, *r.w, r.qd, seconds, &r.failed);
            }
            for (int i = 0; i < c.Size(); i++)
                (void)c.Stop(i);
            raidBench_Anchors(c.DevPath(kPrimary), &rows, seconds);
        }
    }
    std::filesystem::remove_all(root);
    printf("raid_bench: one QuilletSim client over loopback, %.0f s a figure; anchors on the primary's "
           "device file\n",
           seconds);
    raidBench_Print(rows);
    return rc;
}
