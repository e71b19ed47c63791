// Rebuild between two pellar processes on this machine (test/peers/cluster.h): a mirrored comb's
// secondary is killed, the primary alone takes N MB of 1 MB client writes, the secondary comes back
// and the Ostrel has the partnership rebuilt; the time from SET_COMB_STATE COPY to the COPY_DONE
// report gives the rebuild's MB/s over loopback (a device read, a copy write on the wire, the
// partner's device write for each MB). The anchor is fio's 1 MB sequential write and read at queue
// depth 1 on a file of the same size in the same run: a copy reads and then writes each MB, so the
// anchor's copy rate is 1 / (1/read + 1/write) MB/s.
//
// rebuild_loopback_bench [--mb N] [--seconds S]   (N MB rebuilt, default 512, at most 2048; S per
// fio direction). Run from the build directory (or with PELLAR_BUILD_DIR naming it).
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench/bench_fio.h"
#include "bench/bench_harness.h"
#include "test/peers/cluster.h"
#include "test/support/net_root.h"

namespace {

constexpr uint64_t kComb = 0x8000;
constexpr uint32_t kToothLbs = 2048;

// Seconds of the rebuild of `mb` teeth; negative (with the reason on stderr) when it failed.
double rebuildSeconds(uint32_t mb)
{
    ClusterOptions opts;
    // Teeth start 1 GB into the device: room for the comb's teeth and the layout's metadata.
    opts.devBytes = std::max<uint64_t>(opts.devBytes, ((uint64_t)mb << 20) + (1ull << 30) + (256ull << 20));
    Cluster c("", opts);
    auto fail = [&](const char *pWhat) {
        fprintf(stderr, "%s: %s\n", pWhat, c.LastError().c_str());
        return -1.0;
    };
    if (!c.StartAll())
        return fail("start");
    if (!c.AddMirroredComb(kComb, 0, 1))
        return fail("mirrored comb");
    c.Kill(1);
    for (uint32_t t = 0; t < mb; t++)
        if (c.WritePattern(0, kComb, t * kToothLbs, kToothLbs, 1) != MOS_RC__SUCCESS)
            return fail("write on the primary alone");
    if (!c.WaitRaidState(0, kComb, COMB_RAID_STATE__DEGRADED_REMOTE_ERROR, std::chrono::seconds(60)))
        return fail("degrade");
    if (!c.Restart(1))
        return fail("restart of the secondary");
    auto start = bench::Clock::now();
    if (c.SetCombState(0, kComb, COMB_STATE__PRIMARY, COMB_RAID_STATE__COPY, COMB_RAID_STATE__DEGRADED_REMOTE_ERROR) !=
        MOS_RC__SUCCESS)
        return fail("copy request");
    if (!c.WaitRaidState(0, kComb, COMB_RAID_STATE__COPY_DONE, std::chrono::seconds(600)))
        return fail("rebuild");
    const double secs = bench::secondsSince(start);
    // The figure counts only when the partner holds what was copied: its first and last MB.
    if (c.SetCombState(0, kComb, COMB_STATE__PRIMARY, COMB_RAID_STATE__NORMAL, COMB_RAID_STATE__COPY_DONE) !=
            MOS_RC__SUCCESS ||
        c.SetCombState(0, kComb, COMB_STATE__SECONDARY, COMB_RAID_STATE__NORMAL, COMB_RAID_STATE__NORMAL) !=
            MOS_RC__SUCCESS ||
        c.SetCombState(1, kComb, COMB_STATE__PRIMARY, COMB_RAID_STATE__NORMAL, COMB_RAID_STATE__NORMAL) !=
            MOS_RC__SUCCESS)
        return fail("role swap");
    if (!c.CheckPattern(1, kComb, 0, kToothLbs, 1) || !c.CheckPattern(1, kComb, (mb - 1) * kToothLbs, kToothLbs, 1))
        return fail("the rebuilt copy");
    return secs;
}

} // namespace

int main(int argc, char **argv)
{
    uint32_t mb = 512;
    double seconds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--mb") == 0)
            mb = (uint32_t)atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--seconds") == 0)
            seconds = atof(argv[i + 1]);
    }
    if (mb == 0 || mb > 2048) {
        fprintf(stderr, "--mb: 1 to 2048\n");
        return 2;
    }
    // The pellars start in directories of their own: the program's path must be absolute.
    const char *pBuild = getenv("PELLAR_BUILD_DIR");
    setenv("PELLAR_BUILD_DIR", std::filesystem::absolute(pBuild != nullptr ? pBuild : ".").c_str(), 1);
    // The anchor first, before the runtime takes over the process's signals.
    const bench::CopyAnchor anchor =
        bench::fioCopyAnchor("rebuild_loopback_bench_fio", (unsigned long long)mb << 20, seconds);
    if (netTest_RuntimeStart() != MOS_RC__SUCCESS) {
        fprintf(stderr, "the runtime did not start\n");
        return 1;
    }
    const double secs = rebuildSeconds(mb);
    if (secs < 0)
        return 1;
    const double rebuildMBs = mb / secs;
    printf("rebuild_loopback_bench: %u MB of one comb rebuilt between two pellar processes over loopback\n\n", mb);
    bench::printCopyFigures("rebuild (read + copy write)", rebuildMBs, anchor);
    return 0;
}
