// Inside the RAM read cache's top level: the size allowance and the state predicates.
#pragma once

#include "tgt/rcache/rcache.h"

// The largest cache the node allows, in LB: the low percentage of its RAM below
// rcache_host_memory_threshold, the high one at or above it. 64-bit throughout.
struct RcacheAllowance {
    UINT64 allowedInLb;
    UINT32 percentage;
};
RcacheAllowance rcache_AllowedSizeInLb(UINT64 nodeTotalRamKb);

// A deferred action is flagged or a job is pending or running.
inline bool rcache_IsBeingModified(const Cache *pCache)
{
    return pCache->delayedActionFlags != 0 || pCache->asyncCount != 0;
}

inline bool rcache_IsUsable(const Cache *pCache)
{
    return pCache->bEnable && pCache->bCreated && !rcache_IsBeingModified(pCache);
}

// Why the cache is not usable, as traces name it.
inline const CHAR_A *rcache_UnusableReason(const Cache *pCache)
{
    if (!pCache->bEnable)
        return "disabled";
    if (!pCache->bCreated)
        return "not allocated";
    return "being modified";
}
