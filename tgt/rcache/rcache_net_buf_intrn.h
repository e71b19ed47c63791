// Inside the data-path buffer pools: the size classes and the lookup from a request's size to
// its pair.
#pragma once

#include "tgt/rcache/rcache_net_buf.h"

struct RcacheNetBufPairClass {
    UINT32 blockSizeInLbs;
    UINT32 baseNumBlocks;
    const CHAR_A *pName; // in status lines
};

inline constexpr RcacheNetBufPairClass rcacheNetBufPairClasses_G[RCACHE_NET_BUF__NUM_POOLS] = {
    {32, 384, "16k"}, {128, 96, "64k"}, {512, 24, "256k"}, {1024, 12, "512k"}, {2048, 8, "1024k"},
};
static_assert(rcacheNetBufPairClasses_G[RCACHE_NET_BUF__NUM_POOLS - 1].blockSizeInLbs ==
              RCACHE_NET_BUF__MAX_SIZE_IN_LBS);

// The pair that serves sizeInLbs; a size of 0, above the comb or above 2048 LB is a broken
// invariant of the caller.
RcacheNetBufMemDifPairPool *rcacheNetBuf_GetPoolPair(RcacheNetBuf *pCache, UINT32 sizeInLbs);
