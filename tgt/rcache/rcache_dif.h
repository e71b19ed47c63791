// T10-DIF guards of the RAM read cache: a guard area with 2 bytes per LB of cache memory, in the
// memory's order, so that a read hit hands the client its guards beside its data; and a pool of
// coalescing buffers into which the guards of a hit made of several pieces are copied, so that
// they travel as one buffer.
//
// The coalescing pool has one 512-byte buffer per message the server may have in reception
// (tgt_net__max_rcv_msg), which should always cover the hits in flight; an empty pool is still
// answered with null, and the reader treats the hit as a miss and reads the device.
#pragma once

#include "mos/mos_mempool.h"
#include "mos/mos_rc.h"
#include "mos/mos_t10dif.h"

// The guards of the largest cached I/O (256 LB).
#define RCACHE_DIF__T10DIF_COALESCE_BUF_SIZE_IN_BYTES 512u
#define RCACHE_DIF__BYTES_PER_LB 2u

struct CacheDif {
    UINT8 *pDifBuf;     // the guard area (page-aligned), null when the cache has no memory
    UINT64 sizeToAlloc; // cache LB x 2, rounded up to 4096
    MosMemPool t10DifHitCoaleceBufferPool;
    BOOL bExcludedFromCore; // the area is kept out of core dumps
};

// Zeroes the record and creates the coalescing pool.
void rcacheDif_Init(CacheDif *pCacheDif);
// Frees the guard area and the pool.
void rcacheDif_Finit(CacheDif *pCacheDif);
// Frees the guard area (back into core dumps first when it was kept out).
void rcacheDif_Destroy(CacheDif *pCacheDif);
// Replaces the guard area by one for a cache of cacheSizeInLb (0: none); uninitialised.
// MOS_RC__NO_RESOURCES when the memory cannot be had (the cache then has no area).
Mos_RC rcacheDif_ChangeSize(CacheDif *pCacheDif, UINT64 cacheSizeInLb);
// The guard of LB index of cache memory; an index beyond the area is a broken invariant.
T10Dif *rcacheDif_GetDifBufIndexPtr(CacheDif *pCacheDif, UINT64 index);

// A 512-byte buffer without waiting; null, with a trace line, when every buffer is out.
void *rcacheDif_AllocT10DifBufForReadHitCoalescing(CacheDif *pCacheDif);
void rcacheDif_FreeT10DifBufReadHitCoalescing(CacheDif *pCacheDif, void *pDifBuf);
// TRUE while any coalescing buffer is out.
BOOL rcacheDif_IsT10DifCoalesceUsed(CacheDif *pCacheDif);
UINT32 rcacheDif_GetFreeCoalesceCount(CacheDif *pCacheDif);
void rcacheDif_AssertValid(CacheDif *pCacheDif);
