// Inside the read cache's metadata: how many buckets a cache of a given size gets.
#pragma once

#include "tgt/rcache/rcache_md.h"

// One bucket per 128 KB of cache times rcache_hash_size_multiply, held to 2^24 (the slot part of
// an index); 64-bit throughout, so no size wraps round to a small table.
UINT32 rcacheMd_NumOfHashEntries(UINT64 sizeInLb);
