// Rebuild throughput: a comb's secondary misses N teeth of writes (the primary goes on alone), then
// the rebuild copies them over - a local read and a copy write served by the secondary's I/O
// handler, both servers in this process on one O_DIRECT device file. The anchor is fio's 1 MB
// sequential read and write at queue depth 1 on a file of the same size in the same run: a copy
// reads and then writes each MB, so the anchor's copy rate is 1 / (1/read + 1/write) MB/s.
//
// rebuild_bench [--teeth N] [--seconds S]   (N MB copied, default 512; S per fio direction)
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/bench_fio.h"
#include "bench/bench_harness.h"
#include "test/support/tgt_test_support.h"
#include "test/tgt/raid/raid_resync_fixture.h"
#include "tgt/tgt_umt_class.h"

namespace {

class RebuildBench : public ResyncFixture {
  public:
    // Seconds of one rebuild of `teeth` whole teeth; negative when it did not end COPY_DONE.
    double run(UINT32 teeth)
    {
        upNodes(teeth <= 300 ? 2 : (teeth * 2 + 1023) / 1024 + 2);
        sec.bDown = true;
        for (UINT32 p = 0; p < teeth; p++)
            if (clientWrite(p * TOOTH_SIZE_LB, TOOTH_SIZE_LB, (UINT8)(p | 1)) != MOS_RC__SUCCESS)
                return -1;
        sec.bDown = false;
        auto start = bench::Clock::now();
        if (setMirrorState(pri, COMB_RAID_STATE__COPY, COMB_RAID_STATE__DEGRADED_REMOTE_ERROR) != MOS_RC__SUCCESS ||
            !waitMirrorState(pri, COMB_RAID_STATE__COPY_DONE))
            return -1;
        double secs = bench::secondsSince(start);
        bool bSame = identical(pri, sec);
        downNodes();
        return bSame ? secs : -1;
    }
};

} // namespace

int main(int argc, char **argv)
{
    UINT32 teeth = 512;
    double seconds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--teeth") == 0)
            teeth = (UINT32)atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--seconds") == 0)
            seconds = atof(argv[i + 1]);
    }
    if (teeth == 0 || teeth > 4096) {
        fprintf(stderr, "--teeth: 1 to 4096\n");
        return 2;
    }
    // The anchor first, before the runtime takes over the process's signals.
    const bench::CopyAnchor anchor =
        bench::fioCopyAnchor("rebuild_bench_fio", (unsigned long long)teeth << 20, seconds);
    TgtRuntimeEnv env(tgt_UmtClassInit);
    env.SetUp();
    double rebuildSecs;
    {
        RebuildBench b;
        rebuildSecs = b.run(teeth);
    }
    env.TearDown();
    if (rebuildSecs < 0) {
        fprintf(stderr, "the rebuild did not complete with identical copies\n");
        return 1;
    }
    double rebuildMBs = teeth / rebuildSecs;
    printf("rebuild_bench: %u MB of one comb, both servers in process on one O_DIRECT file\n\n", teeth);
    bench::printCopyFigures("rebuild (read + copy write)", rebuildMBs, anchor);
    return 0;
}
