// The RAM read cache's memory: one region cut into 128 KB blocks of 32 pages of 4 KB. Runs of
// free pages are kept in 32 buckets by length (bucket b holds runs of b+1 pages, newest at the
// head); an allocation takes the shortest run that is long enough and puts its remainder back.
// Each block has a validity counter: demoting a block bumps it, which makes every metadata entry
// that pointed into the block stale.
//
// Readers take a use of a block (its inProgressRefCnt) without the lock and only then read its
// counter. A block demotion claims a block by swapping its use count from 0 to a marker; a
// reader whose increment meets the marker gives the use back and treats the block as gone. So a
// block is demoted only while no reader holds it, and a reader that got its use in either sees
// the counter before the demotion began (and holds the block against it) or the bumped one.
//
// Lock order: the metadata layer's locks, then this layer's fastlock.
#pragma once

#include "mos/mos_blocking.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_rc.h"

#define RCACHE__PAGE_SIZE_IN_LB 8u
#define RCACHE__UD_BLOCK_SIZE_IN_LB 256u
#define RCACHE_UD__PAGES_PER_BLOCK 32u
#define RCACHE_UD__PAGE_SIZE_IN_BYTES 4096u
#define RCACHE_UD__BLOCK_SIZE_IN_BYTES 131072u
#define RCACHE__UD_ALL_FREE_BITMAP 0xFFFFFFFFu
#define RCACHE_UD__NUM_OF_BUCKETS 32u
#define RCACHE_UD__YIELD_COUNT 200u
// Extra bytes of the region: alignment to a page and the buckets.
#define RCACHE_UD__REGION_EXTRA_BYTES 4864u
// The use count of a block that a demotion has claimed.
#define RCACHE_UD__DEMOTING_REF 0x80000000u

enum : UINT32 {
    TGT_RCACHE_SELF_TEST_CMD__ALL_REF_COUNT_ZERO = 0,
    TGT_RCACHE_SELF_TEST_CMD__LAST = 1,
};

// Page i is free (or valid) when bit (7 - i mod 8) of byte i/8 is set.
typedef UINT32 Rcache_UdBlockBitmap;

struct Rcache_UdBlock {
    UINT32 validCounter; // read without the lock by readers that hold a use
    Rcache_UdBlockBitmap freeBitmap;
    UINT32 inProgressRefCnt; // atomic
};
static_assert(sizeof(Rcache_UdBlock) == 12);

struct Rcache_UdFreeNode {
    Rcache_UdFreeNode *pNext;
    Rcache_UdFreeNode *pPrev;
};
static_assert(sizeof(Rcache_UdFreeNode) == 16);

struct Rcache_UdBucket {
    Rcache_UdFreeNode dummyNode;
    UINT64 sizeInLb;
};
static_assert(sizeof(Rcache_UdBucket) == 24);

struct Rcache_UdCounters {
    UINT64 sizeInUseInLb;
    UINT64 entryEvictionCountInLb;
    UINT32 entryEvictionCount;
    UINT64 bigBlockEvictionCountInLb;
    UINT32 bigBlockEvictionCount;
    UINT32 noEvictionCount;
    UINT32 skipCountCacheAllBusy;
};

struct Rcache_MdDS;
// The metadata layer's demotion of least recently used entries, run when memory runs out.
typedef void (*RcacheUd_DemoteManyFunc)(Rcache_MdDS *pMd);

struct Rcache_UdDS {
    UINT8 *pUdBlocks;   // first block, page-aligned
    void *pUdBlocksOrig; // the allocation
    Rcache_UdBlock *pUdMd;
    Rcache_UdBucket *pBuckets;
    Rcache_UdFreeNode *pFreeNodes;
    UINT64 totalSizeAllocatedInBytes;
    UINT32 numOfUdBlocks;
    UINT32 numOfBuckets;
    MosFastlock_Base fastlock; // buckets, bitmaps, counters
    Rcache_UdCounters counters;
    UINT32 demoteFlag; // atomic: a demotion is running
    UINT64 freeNodesBytes;
    BOOL bLockedInMem;
    BOOL bExcludedFromCore;
    RcacheUd_DemoteManyFunc pDemoteMany;
};

void rcacheUd_Init(Rcache_UdDS *pUd, RcacheUd_DemoteManyFunc pDemoteMany);
void rcacheUd_Destroy(Rcache_UdDS *pUd);
// Replaces the memory by a region of sizeInLb (0: none), built on pBlocking's thread (null: the
// default blocking-call service) so that a scheduler thread does not stall on gigabytes; call
// from a user-mode thread with no allocation out. MOS_RC__NO_RESOURCES when memory (or locking
// it) fails, MOS_RC__INVALID_ARG for a size whose blocks do not fit 32 bits.
Mos_RC rcacheUd_ChangeSize(MosBlocking *pBlocking, Rcache_UdDS *pUd, UINT64 sizeInLb);
// Every page free again; blocks' counters move on so nothing that pointed into them stays valid.
void rcacheUd_Purge(Rcache_UdDS *pUd);

// A page-aligned run of sizeInLb (8..256, multiple of 8), demoting when memory runs out; null
// when another thread is demoting or nothing could be freed. Holds a use of its block.
void *rcacheUd_AllocBuffer(Rcache_UdDS *pUd, Rcache_MdDS *pMd, UINT32 sizeInLb);
// MOS_RC__NOT_FOUND, changing nothing, when the block's counter is not validCounter or every
// page of the range is free already.
Mos_RC rcacheUd_FreeBuffer(Rcache_UdDS *pUd, void *pBuffer, UINT32 sizeInLb, UINT32 validCounter);
// FALSE, taking nothing, when a demotion holds the block.
BOOL rcacheUd_IncreaseBufferUsage(Rcache_UdDS *pUd, void *pBuffer);
void rcacheUd_CompleteBufferUsage(Rcache_UdDS *pUd, void *pBuffer);
UINT32 rcacheUd_GetValidityCounter(Rcache_UdDS *pUd, void *pBuffer);
void rcacheUd_SelfTest(Rcache_UdDS *pUd, UINT32 cmd);
// Whether no block is in use, answered instead of asserted.
BOOL rcacheUd_AllRefCountsZero(Rcache_UdDS *pUd);
