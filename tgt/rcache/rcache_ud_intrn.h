// Inside the cache's memory: block and page arithmetic, and block demotion.
#pragma once

#include "tgt/rcache/rcache_ud.h"

inline UINT32 rcacheUd_PageMask(UINT32 page)
{
    return 1u << (8 * (page / 8) + 7 - (page % 8));
}

// The bits of pages first .. first+numPages-1.
inline UINT32 rcacheUd_RangeMask(UINT32 firstPage, UINT32 numPages)
{
    UINT32 mask = 0;
    for (UINT32 p = firstPage; p < firstPage + numPages; p++)
        mask |= rcacheUd_PageMask(p);
    return mask;
}

// The index of the page that holds pBuffer; outside the region is a broken invariant.
UINT64 rcacheUd_PageIndex(Rcache_UdDS *pUd, const void *pBuffer);
// Under fastlock: demote a block that no one uses and allocate sizeInLb from its start.
void *rcacheUd_DemoteBlockAndAllocate(Rcache_UdDS *pUd, UINT32 sizeInLb);
// How many free runs the bucket holds (the lists are walked under fastlock).
UINT32 rcacheUd_NumOfRunsInBucket(Rcache_UdDS *pUd, UINT32 bucket);
