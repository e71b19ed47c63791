// Cost of the statistics hot paths on one thread: an accumulator sample, a histogram sample (even
// layout, and an automatic one past its last re-spread), a windowed rate counter event, an
// oscillation counter failure, and performance stages (a linear stage change, a nested stack
// start+stop pair). Prints nanoseconds per operation, best of three runs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "bench/bench_harness.h"
#include "mos/mos_bwc.h"
#include "mos/mos_ds_hash.h"
#include "mos/mos_histogram.h"
#include "mos/mos_obj.h"
#include "mos/mos_osc_cnt.h"
#include "mos/mos_perf.h"
#include "mos/mos_stat.h"
#include "mos/mos_ticks.h"

namespace {

template <typename F>
double nsPerOp(UINT64 ops, F &&body)
{
    return bench::nsPerOp(ops, [&] { body(ops); });
}

using bench::keep;

} // namespace

int main()
{
    mosTicks_Init(nullptr);
    mosObjLayer_Create(nullptr);
    mosHashLayer_Create(nullptr);
    MosBWC_InitParams bwcParams = {5, TRUE};
    mosBWCLayer_Init(&bwcParams);
    mosOscCntLayer_Init();
    MosPerfLayer_Init();

    constexpr UINT64 kOps = 5000000;

    MosStat stat;
    mosStat_Init(&stat);
    printf("accumulator sample:                 %8.1f ns/op\n", nsPerOp(kOps, [&](UINT64 n) {
               for (UINT64 i = 0; i < n; i++)
                   mosStat_AddValue(&stat, i & 0xFFFFF);
               keep(stat);
           }));

    MosHistogram even;
    mosHistogram_Init(&even, 32, 0, 2000000000, 20000, FALSE);
    printf("histogram sample, even layout:      %8.1f ns/op\n", nsPerOp(kOps, [&](UINT64 n) {
               for (UINT64 i = 0; i < n; i++)
                   mosHistogram_AddValue(&even, (i * 2654435761u) % 2100000000);
               keep(even);
           }));
    MosHistogram autoH;
    mosHistogram_Init(&autoH, 32, 0, 2000000000, 20000, TRUE);
    printf("histogram sample, automatic layout: %8.1f ns/op\n", nsPerOp(kOps, [&](UINT64 n) {
               for (UINT64 i = 0; i < n; i++)
                   mosHistogram_AddValue(&autoH, (i * 2654435761u) % 2100000000);
               keep(autoH);
           }));

    MosBWC_Counter bwc;
    mosBWC_Create(&bwc, 5);
    printf("rate counter event:                 %8.1f ns/op\n", nsPerOp(kOps, [&](UINT64 n) {
               for (UINT64 i = 0; i < n; i++)
                   mosBWC_EventOccurrence(&bwc, 4096, 1);
               keep(bwc);
           }));

    MosOscCnt_Counter osc;
    MosOscCnt_CounterParams oscParams;
    mosOscCnt_InitOscParamsWithDefaults(MOS_OSC_CNT_TYPE__DEVICE_LONG_IO_OPERATIONS, &oscParams);
    MosOscCnt_CounterDescriptor desc;
    memset(&desc, 0, sizeof(desc));
    desc.type = MOS_OSC_CNT_TYPE__DEVICE_LONG_IO_OPERATIONS;
    mosOscCnt_Create(&osc, &oscParams, &desc);
    printf("oscillation counter failure:        %8.1f ns/op\n", nsPerOp(kOps, [&](UINT64 n) {
               for (UINT64 i = 0; i < n; i++)
                   mosOscCnt_FailureOccurrence(&osc, 1);
               keep(osc);
           }));

    const MosPerfStage_Desc stages[] = {{0, "first"}, {1, "second"}};
    MosPerfLinear linear;
    MosPerfLinear_Init(&linear, "bench", 2, stages);
    MosPerfLinear_Sample lrun;
    MosPerfLinearSample_Init(&lrun, &linear);
    MosPerfLinearSample_Start(&lrun, 0);
    printf("linear stage change (stop+start):   %8.1f ns/op\n", nsPerOp(kOps, [&](UINT64 n) {
               for (UINT64 i = 0; i < n; i++)
                   MosPerfLinearSample_Start(&lrun, (UINT8)(i & 1));
           }));
    MosPerfLinearSample_Stop(&lrun);

    MosPerfStack stack;
    MosPerfStack_Init(&stack, "bench", 2, stages);
    MosPerfStack_Sample srun;
    MosPerfStackSample_Init(&srun, &stack);
    MosPerfStackSample_Start(&srun, 0);
    printf("nested stack stage start+stop:      %8.1f ns/op\n", nsPerOp(kOps, [&](UINT64 n) {
               for (UINT64 i = 0; i < n; i++) {
                   MosPerfStackSample_Start(&srun, 1);
                   MosPerfStackSample_Stop(&srun);
               }
           }));
    MosPerfStackSample_Stop(&srun);

    MosPerfStack_Destroy(&stack);
    MosPerfLinear_Destroy(&linear);
    mosOscCnt_Destroy(&osc);
    mosHistogram_Destroy(&autoH);
    mosHistogram_Destroy(&even);
    MosPerfLayer_Destroy();
    mosOscCntLayer_Destroy();
    return 0;
}
