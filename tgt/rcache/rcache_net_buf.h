// Data-path buffer pools: the I/O buffers of client and peer writes, of reads that bypass the RAM
// read cache, and the T10-DIF guards that travel with them. The controller owns two sets of the
// same shape, the primary one and the secondary one (I/O that arrives from peer servers). A set
// is five pairs of fixed-size pools, one pair per buffer size, each a data pool and a DIF pool of
// the same block count:
//
//   pair  block    data    DIF     base blocks  status name
//   0     32 LB    16 KB   64 B    384          "16k"
//   1     128 LB   64 KB   256 B   96           "64k"
//   2     512 LB   256 KB  1 KB    24           "256k"
//   3     1024 LB  512 KB  2 KB    12           "512k"
//   4     2048 LB  1 MB    4 KB    8            "1024k"
//
// Each pool holds base x multiplier blocks (the performance parameter numIoBuffs, 2 at start).
// A request takes the smallest pair whose block holds it.
//
// Running dry is not an error: a non-waiting allocation returns null and pauses the network's
// reception (net_SetBlockState) until a block of that pair comes back. The pause is taken under
// the set's lock after a last look at the pool, and a free returns its blocks before it looks
// whether the pair paused reception, so a pause can never outlive the last outstanding block.
// A waiting allocation suspends the user-mode thread instead and never fails.
//
// A pair's data and DIF pools always have the same size: a resize first makes sure that every
// pool can take it (the runtime refuses to resize a pool with guard pages or one whose previous
// memory still has blocks out), and refuses the whole change otherwise, keeping every size.
// Even so, a DIF pool that is found empty is a refusal like an empty data pool, never a stop.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/mos_mempool.h"
#include "mos/mos_obj.h"
#include "mos/mos_rc.h"

struct Cont;
struct Net;

#define RCACHE_NET_BUF__NUM_POOLS 5u
#define RCACHE_NET_BUF__NUM_SIZE_CLASSES 7u // 32, 64, .., 2048 LB
#define RCACHE_NET_BUF__MIN_CLASS_IN_LBS 32u
#define RCACHE_NET_BUF__MAX_SIZE_IN_LBS 2048u
#define RCACHE_NET_BUF__INITIAL_MULT 2u // numIoBuffs' default; later sizes come through a resize
#define RCACHE_NET_BUF__POOL_NAME_SIZE 20u
#define RCACHE_NET_BUF__DATA_ALIGNMENT 4096u
#define RCACHE_NET_BUF__DIF_ALIGNMENT 2u
#define RCACHE_NET_BUF__DIF_BYTES_PER_LB 2u

enum RcacheNetBuf_PrintReason : UINT32 {
    RCACHE_NET_BUF_PRINT_REASON_ABOUT_TO_BLOCK = 0,
    RCACHE_NET_BUF_PRINT_REASON_ABOUT_TO_FREE = 1,
    RCACHE_NET_BUF_PRINT_REASON_QUIESCED = 2,
    RCACHE_NET_BUF_PRINT_REASON_LAST = 3,
};

struct RcacheNetBufMemDifPairPool {
    MosMemPool dataPool;
    MosMemPool difPool;
    UINT32 index;           // 0..4
    BOOL bAllocationFailed; // refused an allocation and paused reception; cleared by a free
};

struct RcacheNetBufPool {
    RcacheNetBufMemDifPairPool *allocSizeToMemPool[RCACHE_NET_BUF__NUM_SIZE_CLASSES];
    RcacheNetBufMemDifPairPool memPoolPairArray[RCACHE_NET_BUF__NUM_POOLS];
};

// The debug query's answer: the totals, the same per pair, and the set's name.
struct RcacheNetBufQuery {
    UINT32 numOfAllocations;      // outstanding (counted with tgt_sdbg__extra)
    UINT32 currentAllocatedInLbs; // outstanding (counted with tgt_sdbg__extra)
    UINT32 totalSizeInLbs;
    UINT32 numOfCacheFull; // first refusals of a pair since it last had blocks
    UINT32 numOfFailedReq; // every refusal
    UINT32 perPoolNumOfAllocations[RCACHE_NET_BUF__NUM_POOLS];
    UINT32 perPoolCurrentAllocatedInLbs[RCACHE_NET_BUF__NUM_POOLS];
    UINT32 perPoolTotalSizeInLbs[RCACHE_NET_BUF__NUM_POOLS];
    UINT32 perPoolNumOfCacheFull[RCACHE_NET_BUF__NUM_POOLS];
    UINT32 perPoolNumOfFailedReq[RCACHE_NET_BUF__NUM_POOLS];
    CHAR_A poolName[RCACHE_NET_BUF__POOL_NAME_SIZE];
};
static_assert(sizeof(RcacheNetBufQuery) == 140);
static_assert(offsetof(RcacheNetBufQuery, perPoolNumOfAllocations) == 20);
static_assert(offsetof(RcacheNetBufQuery, poolName) == 120);

struct RcacheNetBuf {
    MosFastlock_Base fastlock; // guards the counters and every pair's bAllocationFailed
    RcacheNetBufPool cacheMemPool;
    Cont *pCont;
    Net *pNet; // whose reception a refusal pauses (null: no network, as in tools)
    MosObj sdbgObj;
    UINT32 numOfAllocations;
    UINT32 currentAllocatedInLbs;
    UINT32 totalSizeInLbs; // multiplier x sum of block size x base count
    UINT32 numOfCacheFull;
    UINT32 numOfFailedReq;
    UINT32 perPoolNumOfAllocations[RCACHE_NET_BUF__NUM_POOLS];
    UINT32 perPoolCurrentAllocatedInLbs[RCACHE_NET_BUF__NUM_POOLS];
    UINT32 perPoolTotalSizeInLbs[RCACHE_NET_BUF__NUM_POOLS]; // block size x base count
    UINT32 perPoolNumOfCacheFull[RCACHE_NET_BUF__NUM_POOLS];
    UINT32 perPoolNumOfFailedReq[RCACHE_NET_BUF__NUM_POOLS];
    CHAR_A poolName[RCACHE_NET_BUF__POOL_NAME_SIZE];
};

// Builds the ten pools (data pools get guard pages when tgt_mem__guard_page_enable_mask has bit 0
// for the primary set, bit 1 for the secondary) and registers the set's debug object; the debug
// types must be registered. The name is cut to 19 characters.
void rcacheNetBuf_Init(RcacheNetBuf *pCache, Cont *pCont, Net *pNet, BOOL bPri, const CHAR_A *poolName);
// Every block must be back.
void rcacheNetBuf_Destroy(RcacheNetBuf *pCache);

// A data block for sizeInLbs (1..2048, at most the comb size; anything else is a broken
// invariant of the caller) and, when ppDIF is given, a DIF block of the same pair. With bWait it
// suspends the user-mode thread until both are free. Without, null when either pool of the pair
// is empty: the refusal is counted and the network's reception paused until a free of the pair.
void *rcacheNetBuf_Allocate(RcacheNetBuf *pCache, UINT32 sizeInLbs, BOOL bWait, void **ppDIF);
// Returns a data block and, when given, its DIF block; resumes reception if the pair refused.
void rcacheNetBuf_Free(RcacheNetBuf *pCache, void *pData, void *pDif, UINT32 sizeInLbs);
// Returns a DIF block alone. MOS_RC__INVALID_ARG, with an error line, for a null block.
Mos_RC rcacheNetBuf_FreeDIF(RcacheNetBuf *pCache, void *pDif, UINT32 sizeInLbs);

// Gives every pool base x cacheSizeMult blocks, pair by pair: growing a pair grows its DIF pool
// before its data pool, shrinking shrinks the data pool first, so a pair never offers more data
// blocks than DIF blocks. Call before the new multiplier is stored, one resize at a time.
// MOS_RC__INVALID_ARG for a multiplier of 0 or one that overflows a pool; MOS_RC__INVALID when a
// pool that must change has guard pages and MOS_RC__BUSY while one still drains its previous
// memory (nothing changed); MOS_RC__NO_RESOURCES when memory runs out part-way (the failing pair
// is put back; pairs before it keep the new size).
Mos_RC rcacheNetBuf_Resize(RcacheNetBuf *pCache, UINT32 cacheSizeMult, BOOL bPri);

// One trace line with every pair's outstanding allocations, at the low level with
// tgt_dit__enabled and at the high level otherwise.
void rcacheNetBuf_PrintNumAllocStatus(RcacheNetBuf *pCache, RcacheNetBuf_PrintReason printReason);
// With bIsEmpty every pool must have a free block; without it every block must be free. A
// violation is a broken invariant (the controller's self-test runs it while I/O is idle).
void rcacheNetBuf_SelfTestMemPoolState(RcacheNetBuf *pCache, BOOL bIsEmpty);
// The same check answered instead of asserted (FALSE, with an error line per pool that differs), for
// a request from outside the process.
BOOL rcacheNetBuf_IsMemPoolState(RcacheNetBuf *pCache, BOOL bIsEmpty);
void rcacheNetBuf_AssertValid(RcacheNetBuf *pCache);
void rcacheNetBuf_Query(MosObj *pObj, const CHAR_A *pName, void *pData);
