// The read cache's metadata: which device ranges are cached where. Ranges are cut at 256-LB
// blocks of the device; a request is worked as one segment per block it touches. Entries live in
// buckets of 32, hashed by device and block, each bucket with its own lock, an LRU list and a
// list sorted by device LB; a global LRU list spans all buckets.
//
// An entry matches a request only on the whole 64-bit device identity and the device's cache
// generation. A hit needs every LB of the request in valid pages of current entries (no partial
// hits). A reader takes a use of the memory block before it compares the block's validity
// counter with the entry's, so a block that was demoted and reused is never served.
//
// Locks: bucket locks in ascending bucket order (a request has at most two), then the metadata
// fastlock, then the memory layer's lock. A demotion that must take a bucket lock first releases
// fastlock and marks its victim pendingRemoval, which every other path leaves alone.
#pragma once

#include "mos/env/mos_net_iov.h"
#include "mos/mos_fastlock.h"
#include "tgt/phy/phy_io_flags.h"
#include "tgt/rcache/rcache_dif.h"
#include "tgt/rcache/rcache_ud.h"

#define RCACHE__MD_DEVICE_BLOCK_IN_LB 256u
#define RCACHE__MD_DEVICE_BLOCK_SHIFT 8u
#define RCACHE__MD_ENTRIES_PER_BUCKET 32u
#define RCACHE__MD_INVALID_INDEX 0xFFu
#define RCACHE__LRU_INDEX_INVALID 0xFFFFFFFFu
// The slot part of an index is 24 bits: the bucket count is held to this.
#define RCACHE__MD_MAX_HASH_ENTRIES (1u << 24)
#define RCACHE__MAX_SIZE_IN_LB_TO_DEMOTE 512u
#define RCACHE__MAX_ENTRIES_TO_DEMOTE 30u
#define RCACHE__MD_NUM_SIZE_CLASSES 6u // 4, 8, .., 128 KB
#define RCACHE__MAX_IO_IN_LB 256u

// Buffer types of the network glue for what a hit hands out.
#define RCACHE_MD__BUF_TYPE_RCACHE 8u
#define RCACHE_MD__BUF_TYPE_RCACHE_T10DIF_COALESCE 9u
#define RCACHE_MD__BUF_TYPE_RCACHE_DIF 14u

enum Rcache_MdAction : UINT32 {
    RCACHE_MD__READ = 0,
    RCACHE_MD__READ_ROLLBACK = 1,
    RCACHE_MD__INVALIDATE = 2,
};

union Rcache_MdIndex {
    UINT32 mdIndex;
    struct {
        UINT32 hashSlot : 24;
        UINT32 entryIndex : 8;
    };
};
static_assert(sizeof(Rcache_MdIndex) == 4);

struct Rcache_MdLruNode {
    Rcache_MdIndex lruNext;
    Rcache_MdIndex lruPrev;
};

typedef UINT32 Rcache_MdValid;

struct Rcache_MdEntry {
    UINT8 *pUdEntry;
    Rcache_MdLruNode lruNode;
    UINT64 deviceLba;
    UINT64 devId; // the whole device identity
    UINT32 validCounter;
    Rcache_UdBlockBitmap validPages;
    UINT32 inProgressRefCnt;
    UINT32 sizeInLb;
    UINT16 devGenNum;
    UINT8 hashLruNextIdx;
    UINT8 hashLruPrevIdx;
    UINT8 hashSortNextIdx;
    UINT8 hashSortPrevIdx;
    UINT8 isObfuscated : 1;
    UINT8 bT10Dif : 1;
    UINT8 pendingRemoval : 1;
    UINT8 reserved[9];
};
static_assert(sizeof(Rcache_MdEntry) == 64);

struct alignas(64) Rcache_MdhashEntry {
    Rcache_MdEntry mdArray[RCACHE__MD_ENTRIES_PER_BUCKET];
    MosFastlock_Base fastlock;
    Rcache_MdValid validMds;
    UINT8 hashLruHeadIdx;
    UINT8 hashLruTailIdx;
    UINT8 hashSortHeadIdx;
};
static_assert(sizeof(Rcache_MdhashEntry) == 2176);

struct Rcache_MdCounters {
    UINT32 entryCount[RCACHE__MD_NUM_SIZE_CLASSES];
    UINT32 totalEntryCount[RCACHE__MD_NUM_SIZE_CLASSES];
    UINT32 mdEntryEvictionCount;
    UINT64 inProgressCountInLb;
};

struct Rcache_MdDS {
    Rcache_MdhashEntry *hash;
    void *hashPtr;
    UINT32 numOfHashEntries;
    Rcache_MdIndex lruHead; // most recently used
    Rcache_MdIndex lruTail;
    MosFastlock_Base fastlock;
    Rcache_UdDS ud;
    CacheDif dif;
    Rcache_MdCounters counters;
    UINT32 demoteBudgetLb; // shared by the demotions running at the same time
    UINT32 demoteBudgetEntries;
    UINT32 demoteCallers;
};

void rcacheMd_Init(Rcache_MdDS *pMd);
void rcacheMd_Destroy(Rcache_MdDS *pMd);
// Drops every entry and remakes memory, guard area and hash for sizeInLb (no operation may be in
// progress). The bucket count is held to 2^24. On a failure the cache is left with no memory.
Mos_RC rcacheMd_ChangeSize(MosBlocking *pBlocking, Rcache_MdDS *pMd, UINT64 sizeInLb);
void rcacheMd_Purge(Rcache_MdDS *pMd);

void *rcacheMd_AllocBuffer(Rcache_MdDS *pMd, UINT32 sizeInLb);
void rcacheMd_FreeBuffer(Rcache_MdDS *pMd, void *pBuffer, UINT32 sizeInLb, BOOL bEntireBuffer);
// MOS_RC__NOT_FOUND when a bucket has no entry to give (nothing of the range is then cached).
Mos_RC rcacheMd_InsertData(Rcache_MdDS *pMd, UINT64 devId, UINT16 devGenNum, UINT64 lba, UINT32 sizeInLb,
                           void *pBuffer, BOOL bT10Dif, BOOL bIsObfuscated);
// MOS_RC__SUCCESS with the pages (and guards) appended, or MOS_RC__NOT_FOUND with nothing held:
// also when the guards of a hit of several pieces find no coalescing buffer (read the device).
Mos_RC rcacheMd_RetrieveData(Rcache_MdDS *pMd, UINT64 devId, UINT16 devGenNum, UINT64 lba, UINT32 sizeInLb,
                             UINT64 obfuscationKey, NetSmallIov *pIov, NetSmallIov *pIovDif, RdIoFlags rdIoFlags,
                             BOOL *pbIsCoalesced);
void rcacheMd_CompleteBufferUsage(Rcache_MdDS *pMd, UINT64 devId, UINT16 devGenNum, UINT64 lba, UINT32 sizeInLb,
                                  const NetSmallIov *pIov);
void rcacheMd_Invalidate(Rcache_MdDS *pMd, UINT64 devId, UINT16 devGenNum, UINT64 lba, UINT32 sizeInLb);
T10Dif *rcacheMd_GetDifPtr(Rcache_MdDS *pMd, const void *pData);
void rcacheMd_DemoteMany(Rcache_MdDS *pMd);
