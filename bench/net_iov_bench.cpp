// Cost of the scatter-gather list hot paths: building a 38-buffer list (which moves once from the
// inline slots to a pooled block) and destroying it, slicing a byte range out of such a list, and
// building a 5-buffer list that stays inline. Prints nanoseconds per operation, best of three runs.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "bench/bench_harness.h"
#include "mos/env/mos_net_iov.h"
#include "mos/mos_ds_hash.h"
#include "mos/mos_mempool.h"
#include "mos/mos_obj.h"

namespace {

char bytes_G[38 * 4096];
volatile UINT32 sink_G;

template <typename F>
double nsPerOp(F &&f)
{
    constexpr int kReps = 200000;
    return bench::nsPerOp(kReps, [&] {
        for (int i = 0; i < kReps; i++)
            f(i);
    });
}

void build(NetSmallIov *pIov, int count)
{
    NET_IOV__INIT(pIov);
    for (int b = 0; b < count; b++)
        netIov_AddBuffer(pIov, bytes_G + b * 4096, 4096, NET_IOV_BUF_TYPE__STATIC);
}

} // namespace

int main()
{
    mosObjLayer_Create(nullptr);
    mosHashLayer_Create(nullptr);
    mosMemPoolLayer_Init(nullptr);
    MosNetSmallIov_InitParams params = {TRUE, 64};
    netIovInfo_Init(&params);

    NetSmallIov iov, slice;
    const double buildNs = nsPerOp([&](int) {
        build(&iov, 38);
        sink_G = NET_IOV__GET_SIZE(&iov);
        netIov_Destroy(&iov);
    });
    const double inlineNs = nsPerOp([&](int) {
        build(&iov, 5);
        sink_G = NET_IOV__GET_SIZE(&iov);
        netIov_Destroy(&iov);
    });

    build(&iov, 38);
    NET_IOV__INIT(&slice);
    // A 64 KB window that starts mid-buffer and slides across the list: 17 pieces each.
    const double sliceNs = nsPerOp([&](int i) {
        netIov_PrepareNewIov(&slice, &iov, (UINT32)(i % 64) * 1000 + 123, 64 * 1024);
        sink_G = NET_IOV__GET_SIZE(&slice);
    });
    const double copyNs = nsPerOp([&](int) {
        NetSmallIov copy;
        NET_IOV__INIT(&copy);
        netIov_Copy(&copy, &iov);
        sink_G = NET_IOV__GET_SIZE(&copy);
        netIov_Destroy(&copy);
    });
    netIov_Destroy(&slice);
    netIov_Destroy(&iov);

    printf("netIov build+destroy, 38 buffers (pooled block): %8.1f ns/list\n", buildNs);
    printf("netIov build+destroy, 5 buffers (inline):        %8.1f ns/list\n", inlineNs);
    printf("netIov slice 64 KB out of 38 buffers:            %8.1f ns/slice\n", sliceNs);
    printf("netIov copy of 38 buffers:                       %8.1f ns/copy\n", copyNs);

    netIovInfo_Destroy();
    mosMemPoolLayer_Destroy();
    mosHashLayer_Destroy();
    mosObjLayer_Destroy();
    return 0;
}
