#include "tgt/rcache/rcache_md.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_diag_counters.h"
#include "mos/mos_trace.h"
#include "mos/umt/mos_umt.h"
#include "tgt/rcache/rcache_md_intrn.h"
#include "tgt/rcache/rcache_ud_intrn.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_contention.h"

namespace {
constexpr UINT32 kLbBytes = 512;
constexpr UINT32 kMaxRuns = RCACHE__MAX_IO_IN_LB / RCACHE__PAGE_SIZE_IN_LB;

// One run of valid pages a read found.
struct DataSeg {
    UINT8 *pData;
    UINT32 sizeInLbs;
    UINT32 offsetInLbs;
    Rcache_MdEntry *pEntry;
};

struct Walk {
    UINT64 devId;
    UINT16 devGenNum;
    UINT64 lba;
    UINT32 sizeInLb;
    BOOL bT10Dif;
    UINT64 obfuscationKey;
    DataSeg segs[kMaxRuns];
    UINT32 numSegs;
    UINT32 foundLb;
};

Walk walkOf(UINT64 devId, UINT16 devGenNum, UINT64 lba, UINT32 sizeInLb)
{
    Walk w{};
    w.devId = devId;
    w.devGenNum = devGenNum;
    w.lba = lba;
    w.sizeInLb = sizeInLb;
    return w;
}

// The buckets of a request, ascending and without repeats.
struct BucketSet {
    UINT32 slots[2];
    UINT32 num;
};

UINT32 sizeClass(UINT32 sizeInLb)
{
    UINT32 c = 0;
    while ((8u << c) < sizeInLb)
        c++;
    return c;
}

UINT32 hashOf(const Rcache_MdDS *pMd, UINT64 devId, UINT64 lba)
{
    const UINT64 n = pMd->numOfHashEntries;
    const UINT64 d = devId & 0xFFFF;
    return (UINT32)(((lba + (n / 8) * RCACHE__MD_DEVICE_BLOCK_IN_LB * d) >> RCACHE__MD_DEVICE_BLOCK_SHIFT) % n);
}

UINT32 numSplits(UINT64 lba, UINT32 sizeInLb)
{
    return (UINT32)(((lba + sizeInLb - 1) >> RCACHE__MD_DEVICE_BLOCK_SHIFT) - (lba >> RCACHE__MD_DEVICE_BLOCK_SHIFT));
}

// Sizes and offsets on the data path are whole pages of at most 256 LB (the callers' invariant).
BucketSet bucketsOf(const Rcache_MdDS *pMd, UINT64 devId, UINT64 lba, UINT32 sizeInLb)
{
    Exp(sizeInLb == 0 || sizeInLb > RCACHE__MAX_IO_IN_LB || sizeInLb % RCACHE__PAGE_SIZE_IN_LB != 0);
    Exp(lba % RCACHE__PAGE_SIZE_IN_LB != 0);
    Exp(pMd->numOfHashEntries == 0);
    BucketSet set{{hashOf(pMd, devId, lba), 0}, 1};
    if (numSplits(lba, sizeInLb) != 0) {
        const UINT32 second = hashOf(pMd, devId, lba + RCACHE__MD_DEVICE_BLOCK_IN_LB);
        if (second != set.slots[0]) {
            set.slots[1] = second;
            set.num = 2;
            if (set.slots[1] < set.slots[0])
                std::swap(set.slots[0], set.slots[1]);
        }
    }
    return set;
}

void lockBuckets(Rcache_MdDS *pMd, const BucketSet &set)
{
    for (UINT32 i = 0; i < set.num; i++)
        mosFastlockBase_Acquire(&pMd->hash[set.slots[i]].fastlock);
}

void unlockBuckets(Rcache_MdDS *pMd, const BucketSet &set)
{
    for (UINT32 i = set.num; i-- > 0;)
        mosFastlockBase_Release(&pMd->hash[set.slots[i]].fastlock);
}

Rcache_MdEntry *entryAt(Rcache_MdDS *pMd, Rcache_MdIndex index)
{
    return &pMd->hash[index.hashSlot].mdArray[index.entryIndex];
}

Rcache_MdIndex indexOf(UINT32 slot, UINT32 entry)
{
    Rcache_MdIndex i;
    i.hashSlot = slot;
    i.entryIndex = entry;
    return i;
}

Rcache_MdIndex invalidIndex()
{
    Rcache_MdIndex i;
    i.mdIndex = RCACHE__LRU_INDEX_INVALID;
    return i;
}

// The global LRU (under fastlock). A node out of the list has both links invalid.
void lruUnlink(Rcache_MdDS *pMd, Rcache_MdIndex index)
{
    Rcache_MdEntry *e = entryAt(pMd, index);
    const Rcache_MdIndex next = e->lruNode.lruNext, prev = e->lruNode.lruPrev;
    if (prev.mdIndex == RCACHE__LRU_INDEX_INVALID && pMd->lruHead.mdIndex != index.mdIndex)
        return;
    if (prev.mdIndex != RCACHE__LRU_INDEX_INVALID)
        entryAt(pMd, prev)->lruNode.lruNext = next;
    else
        pMd->lruHead = next;
    if (next.mdIndex != RCACHE__LRU_INDEX_INVALID)
        entryAt(pMd, next)->lruNode.lruPrev = prev;
    else
        pMd->lruTail = prev;
    e->lruNode.lruNext = e->lruNode.lruPrev = invalidIndex();
}

void lruPushHead(Rcache_MdDS *pMd, Rcache_MdIndex index)
{
    Rcache_MdEntry *e = entryAt(pMd, index);
    e->lruNode.lruPrev = invalidIndex();
    e->lruNode.lruNext = pMd->lruHead;
    if (pMd->lruHead.mdIndex != RCACHE__LRU_INDEX_INVALID)
        entryAt(pMd, pMd->lruHead)->lruNode.lruPrev = index;
    else
        pMd->lruTail = index;
    pMd->lruHead = index;
}

// Bucket lists end in themselves: the head is its own previous, the tail its own next.
template <UINT8 Rcache_MdEntry::*Next, UINT8 Rcache_MdEntry::*Prev> struct BucketList {
    static void unlink(Rcache_MdhashEntry *b, UINT8 i, UINT8 *pHead, UINT8 *pTail)
    {
        Rcache_MdEntry &e = b->mdArray[i];
        const UINT8 next = e.*Next, prev = e.*Prev;
        const bool bHead = prev == i, bTail = next == i;
        if (bHead && bTail) {
            *pHead = RCACHE__MD_INVALID_INDEX;
            if (pTail != nullptr)
                *pTail = RCACHE__MD_INVALID_INDEX;
        } else if (bHead) {
            b->mdArray[next].*Prev = next;
            *pHead = next;
        } else if (bTail) {
            b->mdArray[prev].*Next = prev;
            if (pTail != nullptr)
                *pTail = prev;
        } else {
            b->mdArray[prev].*Next = next;
            b->mdArray[next].*Prev = prev;
        }
    }
    // Before entry at (at is in the list), or at the head when at is the head.
    static void insertBefore(Rcache_MdhashEntry *b, UINT8 i, UINT8 at, UINT8 *pHead)
    {
        Rcache_MdEntry &e = b->mdArray[i];
        Rcache_MdEntry &a = b->mdArray[at];
        e.*Next = at;
        if (a.*Prev == at) {
            e.*Prev = i;
            *pHead = i;
        } else {
            e.*Prev = a.*Prev;
            b->mdArray[a.*Prev].*Next = i;
        }
        a.*Prev = i;
    }
    static void pushAlone(Rcache_MdhashEntry *b, UINT8 i, UINT8 *pHead, UINT8 *pTail)
    {
        b->mdArray[i].*Next = i;
        b->mdArray[i].*Prev = i;
        *pHead = i;
        if (pTail != nullptr)
            *pTail = i;
    }
    static void appendTail(Rcache_MdhashEntry *b, UINT8 i, UINT8 tail, UINT8 *pTail)
    {
        b->mdArray[tail].*Next = i;
        b->mdArray[i].*Prev = tail;
        b->mdArray[i].*Next = i;
        if (pTail != nullptr)
            *pTail = i;
    }
};
using HashLru = BucketList<&Rcache_MdEntry::hashLruNextIdx, &Rcache_MdEntry::hashLruPrevIdx>;
using HashSort = BucketList<&Rcache_MdEntry::hashSortNextIdx, &Rcache_MdEntry::hashSortPrevIdx>;

bool bucketEmpty(const Rcache_MdhashEntry *b) { return b->validMds == 0; }
Rcache_MdValid validBit(UINT32 i) { return rcacheUd_PageMask(i); }

void bucketLruToHead(Rcache_MdhashEntry *b, UINT8 i)
{
    if (b->hashLruHeadIdx == i)
        return;
    HashLru::unlink(b, i, &b->hashLruHeadIdx, &b->hashLruTailIdx);
    HashLru::insertBefore(b, i, b->hashLruHeadIdx, &b->hashLruHeadIdx);
}

// Under fastlock; an entry a demotion claims is left to it.
void freeMdEntryUnlocked(Rcache_MdDS *pMd, UINT32 slot, UINT8 i)
{
    Rcache_MdhashEntry *b = &pMd->hash[slot];
    Rcache_MdEntry &e = b->mdArray[i];
    if (e.pendingRemoval)
        return;
    lruUnlink(pMd, indexOf(slot, i));
    HashLru::unlink(b, i, &b->hashLruHeadIdx, &b->hashLruTailIdx);
    HashSort::unlink(b, i, &b->hashSortHeadIdx, nullptr);
    const UINT32 c = sizeClass(e.sizeInLb);
    Exp(pMd->counters.entryCount[c] == 0);
    pMd->counters.entryCount[c]--;
    memset(&e, 0, sizeof(e));
    b->validMds &= ~validBit(i);
}

bool isEntryValid(Rcache_MdDS *pMd, UINT32 slot, UINT8 i)
{
    Rcache_MdhashEntry *b = &pMd->hash[slot];
    if ((b->validMds & validBit(i)) == 0)
        return false;
    MosFastlockGuard guard(&pMd->fastlock);
    Rcache_MdEntry &e = b->mdArray[i];
    if (e.pendingRemoval)
        return true;
    if (e.validCounter != rcacheUd_GetValidityCounter(&pMd->ud, e.pUdEntry)) {
        freeMdEntryUnlocked(pMd, slot, i);
        return false;
    }
    return true;
}

void rcacheMd_FreeInvalidEntries(Rcache_MdDS *pMd, UINT32 slot)
{
    for (UINT8 i = 0; i < RCACHE__MD_ENTRIES_PER_BUCKET; i++)
        isEntryValid(pMd, slot, i);
}

void initMdEntry(Rcache_MdDS *pMd, UINT32 slot, UINT8 i, const Walk &w, UINT64 lba, UINT32 sizeInLb, UINT8 *pData,
                 BOOL bT10Dif, BOOL bIsObfuscated)
{
    Rcache_MdhashEntry *b = &pMd->hash[slot];
    Rcache_MdEntry &e = b->mdArray[i];
    memset(&e, 0, sizeof(e));
    e.devId = w.devId;
    e.devGenNum = w.devGenNum;
    e.deviceLba = lba;
    e.sizeInLb = sizeInLb;
    e.validCounter = rcacheUd_GetValidityCounter(&pMd->ud, pData);
    e.pUdEntry = pData;
    e.inProgressRefCnt = 1;
    pMd->counters.inProgressCountInLb += sizeInLb;
    e.validPages = rcacheUd_RangeMask(0, (sizeInLb - 1) / RCACHE__PAGE_SIZE_IN_LB + 1);
    if (bucketEmpty(b)) {
        HashLru::pushAlone(b, i, &b->hashLruHeadIdx, &b->hashLruTailIdx);
        HashSort::pushAlone(b, i, &b->hashSortHeadIdx, nullptr);
    } else {
        HashLru::insertBefore(b, i, b->hashLruHeadIdx, &b->hashLruHeadIdx);
        UINT8 at = b->hashSortHeadIdx;
        while (b->mdArray[at].deviceLba < lba && b->mdArray[at].hashSortNextIdx != at)
            at = b->mdArray[at].hashSortNextIdx;
        if (b->mdArray[at].deviceLba < lba)
            HashSort::appendTail(b, i, at, nullptr);
        else
            HashSort::insertBefore(b, i, at, &b->hashSortHeadIdx);
    }
    lruPushHead(pMd, indexOf(slot, i));
    b->validMds |= validBit(i);
    e.isObfuscated = bIsObfuscated ? 1 : 0;
    e.bT10Dif = bT10Dif ? 1 : 0;
    const UINT32 c = sizeClass(sizeInLb);
    pMd->counters.entryCount[c]++;
    pMd->counters.totalEntryCount[c]++;
}

void countEviction(Rcache_MdDS *pMd, UINT32 sizeInLb)
{
    MosFastlockGuard guard(&pMd->ud.fastlock);
    pMd->ud.counters.entryEvictionCountInLb += sizeInLb;
    pMd->ud.counters.entryEvictionCount++;
}

// Least recently used entry of the bucket that nobody holds, freed; its slot or 0xFF.
UINT8 rcacheMd_DemoteEntry(Rcache_MdDS *pMd, UINT32 slot)
{
    Rcache_MdhashEntry *b = &pMd->hash[slot];
    if (bucketEmpty(b))
        return RCACHE__MD_INVALID_INDEX;
    UINT8 i = b->hashLruTailIdx;
    for (UINT32 step = 0; step < RCACHE__MD_ENTRIES_PER_BUCKET; step++) {
        const UINT8 prev = b->mdArray[i].hashLruPrevIdx;
        if (isEntryValid(pMd, slot, i)) {
            MosFastlockGuard guard(&pMd->fastlock);
            Rcache_MdEntry &e = b->mdArray[i];
            if (e.inProgressRefCnt == 0 && !e.pendingRemoval) {
                const UINT32 size = e.sizeInLb;
                rcacheUd_FreeBuffer(&pMd->ud, e.pUdEntry, size, e.validCounter);
                freeMdEntryUnlocked(pMd, slot, i);
                pMd->counters.mdEntryEvictionCount++;
                countEviction(pMd, size);
                return i;
            }
        } else {
            return i; // it was stale: freeing it gave its slot
        }
        if (prev == i)
            break;
        i = prev;
    }
    return RCACHE__MD_INVALID_INDEX;
}

UINT8 firstFreeSlot(const Rcache_MdhashEntry *b)
{
    for (UINT8 i = 0; i < RCACHE__MD_ENTRIES_PER_BUCKET; i++)
        if ((b->validMds & validBit(i)) == 0)
            return i;
    return RCACHE__MD_INVALID_INDEX;
}

// Plain XOR of every 8-byte word with the key.
void xorWords(UINT8 *pData, UINT64 bytes, UINT64 key)
{
    for (UINT64 off = 0; off < bytes; off += 8) {
        UINT64 w;
        memcpy(&w, pData + off, 8);
        w ^= key;
        memcpy(pData + off, &w, 8);
    }
}

// The read's view of one entry: guards made when wanted, obfuscation undone in place. FALSE when
// the entry cannot be decoded now (another holder may still be sending its stored form).
bool prepareForRead(Rcache_MdDS *pMd, Rcache_MdEntry &e, const Walk &w)
{
    T10Dif *pDif = rcacheMd_GetDifPtr(pMd, e.pUdEntry);
    if (w.bT10Dif && !e.bT10Dif) {
        mosT10Dif_GenT10DIF(e.pUdEntry, pDif, 0, 0, 0, e.sizeInLb);
        MOS_DIAG_COUNT(T10DIF_GEN_READ_CACHE);
        e.bT10Dif = 1;
    }
    if (!e.isObfuscated)
        return true;
    if (e.inProgressRefCnt > 1)
        return false;
    if (e.bT10Dif) {
        const Mos_RC rc = mosT10Dif_Encrypt(e.pUdEntry, pDif, 0, 0, 0, e.sizeInLb, w.obfuscationKey);
        if (rc != MOS_RC__SUCCESS)
            MOS_DIAG_COUNT(T10DIF_VERIFY_FAIL_CACHE_DCRPT);
        MOS_ASSERT_WITH_DESC(rc == MOS_RC__SUCCESS, "T10DIF verify of a cached entry failed while decoding");
    } else {
        xorWords(e.pUdEntry, (UINT64)e.sizeInLb * kLbBytes, w.obfuscationKey);
    }
    e.isObfuscated = 0;
    return true;
}

// One run of valid pages of an entry for a read: counted only with a use of the block taken
// before its counter is compared.
void readRun(Rcache_MdDS *pMd, UINT32 slot, UINT8 i, UINT32 firstPage, UINT32 numPages, Walk *pWalk)
{
    Rcache_MdhashEntry *b = &pMd->hash[slot];
    Rcache_MdEntry &e = b->mdArray[i];
    if (!rcacheUd_IncreaseBufferUsage(&pMd->ud, e.pUdEntry))
        return;
    mosFastlockBase_Acquire(&pMd->fastlock);
    if (e.pendingRemoval || rcacheUd_GetValidityCounter(&pMd->ud, e.pUdEntry) != e.validCounter) {
        mosFastlockBase_Release(&pMd->fastlock);
        rcacheUd_CompleteBufferUsage(&pMd->ud, e.pUdEntry);
        return;
    }
    if (e.inProgressRefCnt++ == 0)
        pMd->counters.inProgressCountInLb += e.sizeInLb;
    lruUnlink(pMd, indexOf(slot, i));
    lruPushHead(pMd, indexOf(slot, i));
    bucketLruToHead(b, i);
    mosFastlockBase_Release(&pMd->fastlock);
    if (!prepareForRead(pMd, e, *pWalk)) {
        MosFastlockGuard guard(&pMd->fastlock);
        if (--e.inProgressRefCnt == 0)
            pMd->counters.inProgressCountInLb -= e.sizeInLb;
        rcacheUd_CompleteBufferUsage(&pMd->ud, e.pUdEntry);
        return;
    }
    DataSeg &seg = pWalk->segs[pWalk->numSegs++];
    seg.pData = e.pUdEntry + (UINT64)firstPage * RCACHE_UD__PAGE_SIZE_IN_BYTES;
    seg.sizeInLbs = numPages * RCACHE__PAGE_SIZE_IN_LB;
    seg.offsetInLbs = (UINT32)(e.deviceLba + firstPage * RCACHE__PAGE_SIZE_IN_LB - pWalk->lba);
    seg.pEntry = &e;
    pWalk->foundLb += seg.sizeInLbs;
}

// Under fastlock: a read's reference and block use dropped; an entry left with neither valid
// pages nor readers (invalidated while read) is freed.
void dropReference(Rcache_MdDS *pMd, UINT32 slot, UINT8 i, void *pBlockAddr)
{
    Rcache_MdEntry &e = pMd->hash[slot].mdArray[i];
    Exp(e.inProgressRefCnt == 0);
    if (--e.inProgressRefCnt == 0)
        pMd->counters.inProgressCountInLb -= e.sizeInLb;
    rcacheUd_CompleteBufferUsage(&pMd->ud, pBlockAddr);
    if (e.validPages == 0 && e.inProgressRefCnt == 0 && !e.pendingRemoval) {
        rcacheUd_FreeBuffer(&pMd->ud, e.pUdEntry, e.sizeInLb, e.validCounter);
        freeMdEntryUnlocked(pMd, slot, i);
    }
}

void invalidateRun(Rcache_MdDS *pMd, UINT32 slot, UINT8 i, UINT32 firstPage, UINT32 numPages)
{
    MosFastlockGuard guard(&pMd->fastlock);
    Rcache_MdEntry &e = pMd->hash[slot].mdArray[i];
    if (e.pendingRemoval)
        return;
    e.validPages &= ~rcacheUd_RangeMask(firstPage, numPages);
    if (e.validPages == 0 && e.inProgressRefCnt == 0) {
        rcacheUd_FreeBuffer(&pMd->ud, e.pUdEntry, e.sizeInLb, e.validCounter);
        freeMdEntryUnlocked(pMd, slot, i);
    }
}

// Every entry of the request's device that overlaps its segments, run by run of valid pages.
Mos_RC rcacheMd_LoopEntries(Rcache_MdDS *pMd, Rcache_MdAction action, Walk *pWalk)
{
    const UINT64 end = pWalk->lba + pWalk->sizeInLb;
    const UINT32 splits = numSplits(pWalk->lba, pWalk->sizeInLb);
    for (UINT32 s = 0; s <= splits; s++) {
        const UINT64 blockStart = ((pWalk->lba >> RCACHE__MD_DEVICE_BLOCK_SHIFT) + s) << RCACHE__MD_DEVICE_BLOCK_SHIFT;
        const UINT64 segStart = std::max(blockStart, pWalk->lba);
        const UINT64 segEnd = std::min(end, blockStart + RCACHE__MD_DEVICE_BLOCK_IN_LB);
        const UINT32 slot = hashOf(pMd, pWalk->devId, segStart);
        Rcache_MdhashEntry *b = &pMd->hash[slot];
        if (bucketEmpty(b))
            continue;
        for (UINT8 i = b->hashSortHeadIdx;;) {
            Rcache_MdEntry &e = b->mdArray[i];
            const UINT8 next = e.hashSortNextIdx;
            const bool bLast = next == i;
            if (e.deviceLba >= segEnd)
                break;
            if (isEntryValid(pMd, slot, i) && e.devId == pWalk->devId) {
                if (e.devGenNum != pWalk->devGenNum) {
                    MosFastlockGuard guard(&pMd->fastlock);
                    if (e.inProgressRefCnt == 0 && !e.pendingRemoval)
                        freeMdEntryUnlocked(pMd, slot, i);
                } else {
                    const UINT64 ovStart = std::max(e.deviceLba, segStart);
                    const UINT64 ovEnd = std::min(e.deviceLba + e.sizeInLb, segEnd);
                    UINT32 page = ovStart < ovEnd ? (UINT32)((ovStart - e.deviceLba) / RCACHE__PAGE_SIZE_IN_LB) : 0;
                    const UINT32 endPage =
                        ovStart < ovEnd ? (UINT32)((ovEnd - e.deviceLba + RCACHE__PAGE_SIZE_IN_LB - 1) /
                                                   RCACHE__PAGE_SIZE_IN_LB)
                                        : 0;
                    while (page < endPage) {
                        if ((e.validPages & rcacheUd_PageMask(page)) == 0) {
                            page++;
                            continue;
                        }
                        const UINT32 first = page;
                        while (page < endPage && (e.validPages & rcacheUd_PageMask(page)) != 0)
                            page++;
                        if (action == RCACHE_MD__READ)
                            readRun(pMd, slot, i, first, page - first, pWalk);
                        else
                            invalidateRun(pMd, slot, i, first, page - first);
                        if ((b->validMds & validBit(i)) == 0)
                            break;
                    }
                }
            }
            if (bLast || bucketEmpty(b))
                break;
            i = next;
        }
    }
    return pWalk->foundLb == pWalk->sizeInLb ? MOS_RC__SUCCESS : MOS_RC__NOT_FOUND;
}

// Gives back every reference a read took (its segments record them).
void readRollback(Rcache_MdDS *pMd, Walk *pWalk)
{
    MosFastlockGuard guard(&pMd->fastlock);
    for (UINT32 k = 0; k < pWalk->numSegs; k++) {
        Rcache_MdEntry *e = pWalk->segs[k].pEntry;
        Exp(e->inProgressRefCnt == 0);
        if (--e->inProgressRefCnt == 0)
            pMd->counters.inProgressCountInLb -= e->sizeInLb;
        rcacheUd_CompleteBufferUsage(&pMd->ud, e->pUdEntry);
    }
    pWalk->numSegs = 0;
    pWalk->foundLb = 0;
}

void freeHash(Rcache_MdDS *pMd)
{
    if (pMd->hashPtr == nullptr)
        return;
    for (UINT32 n = 0; n < pMd->numOfHashEntries; n++)
        mosFastlockBase_Destroy(&pMd->hash[n].fastlock);
    free(pMd->hashPtr);
    pMd->hashPtr = nullptr;
    pMd->hash = nullptr;
    pMd->numOfHashEntries = 0;
}

Mos_RC createHash(Rcache_MdDS *pMd, UINT64 sizeInLb)
{
    const UINT64 n = rcacheMd_NumOfHashEntries(sizeInLb);
    if (n == 0)
        return MOS_RC__SUCCESS;
    pMd->hashPtr = calloc(1, n * sizeof(Rcache_MdhashEntry) + 64);
    if (pMd->hashPtr == nullptr)
        return MOS_RC__NO_RESOURCES;
    pMd->hash = reinterpret_cast<Rcache_MdhashEntry *>(((uintptr_t)pMd->hashPtr + 63) & ~(uintptr_t)63);
    pMd->numOfHashEntries = (UINT32)n;
    for (UINT32 i = 0; i < n; i++)
        mosFastlockBase_Create(&pMd->hash[i].fastlock, TGT_CONTENTION__RCACHE_MD_BUCKET, __FILE__, __LINE__);
    return MOS_RC__SUCCESS;
}

void udDemoteMany(Rcache_MdDS *pMd)
{
    if (pMd != nullptr)
        rcacheMd_DemoteMany(pMd);
}
} // namespace

UINT32 rcacheMd_NumOfHashEntries(UINT64 sizeInLb)
{
    const UINT64 blocks = sizeInLb >> RCACHE__MD_DEVICE_BLOCK_SHIFT;
    const UINT64 mult = tgtInitParam_G.ramcacheHashSizeMultiply == 0 ? 1 : tgtInitParam_G.ramcacheHashSizeMultiply;
    if (blocks > RCACHE__MD_MAX_HASH_ENTRIES / mult) {
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Hash of %lu x %lu buckets held to %u", (unsigned long)blocks,
                  (unsigned long)mult, RCACHE__MD_MAX_HASH_ENTRIES);
        return RCACHE__MD_MAX_HASH_ENTRIES;
    }
    return (UINT32)(blocks * mult);
}

void rcacheMd_Init(Rcache_MdDS *pMd)
{
    memset(pMd, 0, sizeof(*pMd));
    rcacheUd_Init(&pMd->ud, udDemoteMany);
    rcacheDif_Init(&pMd->dif);
    pMd->lruHead = pMd->lruTail = invalidIndex();
    mosFastlockBase_Create(&pMd->fastlock, TGT_CONTENTION__RCACHE_MD, __FILE__, __LINE__);
}

void rcacheMd_Destroy(Rcache_MdDS *pMd)
{
    freeHash(pMd);
    mosFastlockBase_Destroy(&pMd->fastlock);
    rcacheDif_Finit(&pMd->dif);
    rcacheUd_Destroy(&pMd->ud);
}

Mos_RC rcacheMd_ChangeSize(MosBlocking *pBlocking, Rcache_MdDS *pMd, UINT64 sizeInLb)
{
    memset(&pMd->counters, 0, sizeof(pMd->counters));
    pMd->lruHead = pMd->lruTail = invalidIndex();
    freeHash(pMd);
    Mos_RC rc = rcacheUd_ChangeSize(pBlocking, &pMd->ud, sizeInLb);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    rc = rcacheDif_ChangeSize(&pMd->dif, sizeInLb);
    if (rc == MOS_RC__SUCCESS)
        rc = createHash(pMd, sizeInLb);
    if (rc != MOS_RC__SUCCESS) {
        rcacheDif_ChangeSize(&pMd->dif, 0);
        rcacheUd_ChangeSize(pBlocking, &pMd->ud, 0);
    }
    return rc;
}

void rcacheMd_Purge(Rcache_MdDS *pMd)
{
    rcacheUd_Purge(&pMd->ud);
    MosFastlockGuard guard(&pMd->fastlock);
    memset(pMd->counters.entryCount, 0, sizeof(pMd->counters.entryCount));
    for (UINT32 n = 0; n < pMd->numOfHashEntries; n++) {
        Rcache_MdhashEntry *b = &pMd->hash[n];
        memset(b->mdArray, 0, sizeof(b->mdArray));
        b->validMds = 0;
        b->hashLruHeadIdx = b->hashLruTailIdx = b->hashSortHeadIdx = 0;
    }
    pMd->lruHead = pMd->lruTail = invalidIndex();
}

void *rcacheMd_AllocBuffer(Rcache_MdDS *pMd, UINT32 sizeInLb)
{
    return rcacheUd_AllocBuffer(&pMd->ud, pMd, sizeInLb);
}

void rcacheMd_FreeBuffer(Rcache_MdDS *pMd, void *pBuffer, UINT32 sizeInLb, BOOL bEntireBuffer)
{
    rcacheUd_FreeBuffer(&pMd->ud, pBuffer, sizeInLb, rcacheUd_GetValidityCounter(&pMd->ud, pBuffer));
    if (bEntireBuffer)
        rcacheUd_CompleteBufferUsage(&pMd->ud, pBuffer);
}

Mos_RC rcacheMd_InsertData(Rcache_MdDS *pMd, UINT64 devId, UINT16 devGenNum, UINT64 lba, UINT32 sizeInLb,
                           void *pBuffer, BOOL bT10Dif, BOOL bIsObfuscated)
{
    Walk w = walkOf(devId, devGenNum, lba, sizeInLb);
    const BucketSet set = bucketsOf(pMd, devId, lba, sizeInLb);
    const UINT32 splits = numSplits(lba, sizeInLb);
    struct Made {
        UINT32 slot;
        UINT8 index;
    } made[2];
    lockBuckets(pMd, set);
    rcacheMd_LoopEntries(pMd, RCACHE_MD__INVALIDATE, &w);
    for (UINT32 s = 0; s <= splits; s++) {
        const UINT64 blockStart = ((lba >> RCACHE__MD_DEVICE_BLOCK_SHIFT) + s) << RCACHE__MD_DEVICE_BLOCK_SHIFT;
        const UINT64 segStart = std::max(blockStart, lba);
        const UINT64 segEnd = std::min(lba + sizeInLb, blockStart + RCACHE__MD_DEVICE_BLOCK_IN_LB);
        const UINT32 slot = hashOf(pMd, devId, segStart);
        Rcache_MdhashEntry *b = &pMd->hash[slot];
        UINT8 i = firstFreeSlot(b);
        if (i == RCACHE__MD_INVALID_INDEX) {
            rcacheMd_FreeInvalidEntries(pMd, slot);
            i = firstFreeSlot(b);
        }
        if (i == RCACHE__MD_INVALID_INDEX)
            i = rcacheMd_DemoteEntry(pMd, slot);
        if (i == RCACHE__MD_INVALID_INDEX) {
            MosFastlockGuard guard(&pMd->fastlock);
            for (UINT32 k = 0; k < s; k++) {
                Rcache_MdEntry &e = pMd->hash[made[k].slot].mdArray[made[k].index];
                e.inProgressRefCnt = 0;
                pMd->counters.inProgressCountInLb -= e.sizeInLb;
                rcacheUd_CompleteBufferUsage(&pMd->ud, e.pUdEntry);
                freeMdEntryUnlocked(pMd, made[k].slot, made[k].index);
            }
            unlockBuckets(pMd, set);
            return MOS_RC__NOT_FOUND;
        }
        UINT8 *pData = static_cast<UINT8 *>(pBuffer) + (segStart - lba) * kLbBytes;
        {
            MosFastlockGuard guard(&pMd->fastlock);
            initMdEntry(pMd, slot, i, w, segStart, (UINT32)(segEnd - segStart), pData, bT10Dif, bIsObfuscated);
        }
        // The allocation holds a use of the block, so no demotion can have claimed it.
        MOS_ASSERT(rcacheUd_IncreaseBufferUsage(&pMd->ud, pData));
        made[s] = {slot, i};
    }
    unlockBuckets(pMd, set);
    rcacheUd_CompleteBufferUsage(&pMd->ud, pBuffer);
    return MOS_RC__SUCCESS;
}

Mos_RC rcacheMd_RetrieveData(Rcache_MdDS *pMd, UINT64 devId, UINT16 devGenNum, UINT64 lba, UINT32 sizeInLb,
                             UINT64 obfuscationKey, NetSmallIov *pIov, NetSmallIov *pIovDif, RdIoFlags rdIoFlags,
                             BOOL *pbIsCoalesced)
{
    Walk w = walkOf(devId, devGenNum, lba, sizeInLb);
    w.bT10Dif = rdIoFlags.bT10Dif;
    w.obfuscationKey = obfuscationKey;
    *pbIsCoalesced = FALSE;
    const BucketSet set = bucketsOf(pMd, devId, lba, sizeInLb);
    lockBuckets(pMd, set);
    Mos_RC rc = rcacheMd_LoopEntries(pMd, RCACHE_MD__READ, &w);
    UINT8 *pCoalesce = nullptr;
    if (rc == MOS_RC__SUCCESS && w.bT10Dif && w.numSegs > 1) {
        pCoalesce = static_cast<UINT8 *>(rcacheDif_AllocT10DifBufForReadHitCoalescing(&pMd->dif));
        if (pCoalesce == nullptr)
            rc = MOS_RC__NOT_FOUND;
    }
    if (rc != MOS_RC__SUCCESS) {
        readRollback(pMd, &w);
        unlockBuckets(pMd, set);
        return MOS_RC__NOT_FOUND;
    }
    unlockBuckets(pMd, set);
    std::sort(w.segs, w.segs + w.numSegs,
              [](const DataSeg &a, const DataSeg &b) { return a.offsetInLbs < b.offsetInLbs; });
    UINT32 difOffset = 0;
    for (UINT32 k = 0; k < w.numSegs; k++) {
        const DataSeg &seg = w.segs[k];
        netIov_AddBuffer(pIov, seg.pData, seg.sizeInLbs * kLbBytes, RCACHE_MD__BUF_TYPE_RCACHE);
        if (!w.bT10Dif)
            continue;
        T10Dif *pDif = rcacheMd_GetDifPtr(pMd, seg.pData);
        const UINT32 difBytes = seg.sizeInLbs * RCACHE_DIF__BYTES_PER_LB;
        if (pCoalesce != nullptr) {
            memcpy(pCoalesce + difOffset, pDif, difBytes);
            difOffset += difBytes;
        } else {
            netIov_AddBuffer(pIovDif, pDif, difBytes, RCACHE_MD__BUF_TYPE_RCACHE_DIF);
        }
    }
    if (pCoalesce != nullptr) {
        netIov_AddBuffer(pIovDif, pCoalesce, sizeInLb * RCACHE_DIF__BYTES_PER_LB,
                         RCACHE_MD__BUF_TYPE_RCACHE_T10DIF_COALESCE);
        *pbIsCoalesced = TRUE;
    }
    return MOS_RC__SUCCESS;
}

void rcacheMd_CompleteBufferUsage(Rcache_MdDS *pMd, UINT64 devId, UINT16 devGenNum, UINT64 lba, UINT32 sizeInLb,
                                  const NetSmallIov *pIov)
{
    MOS_UNUSED(devGenNum);
    const BucketSet set = bucketsOf(pMd, devId, lba, sizeInLb);
    lockBuckets(pMd, set);
    UINT64 bufLba = lba;
    for (UINT32 k = 0; k < pIov->numOfUsedBuffers; k++) {
        UINT8 *pBuf = static_cast<UINT8 *>(pIov->buf[k].iov_base);
        const UINT64 bufEnd = bufLba + pIov->buf[k].iov_len / kLbBytes;
        // A buffer may cover two entries: one part per 256-LB device block.
        for (UINT64 at = bufLba; at < bufEnd;) {
            const UINT64 blockEnd = ((at >> RCACHE__MD_DEVICE_BLOCK_SHIFT) + 1) << RCACHE__MD_DEVICE_BLOCK_SHIFT;
            UINT8 *pPart = pBuf + (at - bufLba) * kLbBytes;
            const UINT32 slot = hashOf(pMd, devId, at);
            Rcache_MdhashEntry *b = &pMd->hash[slot];
            for (UINT8 i = b->hashSortHeadIdx; !bucketEmpty(b);) {
                Rcache_MdEntry &e = b->mdArray[i];
                const UINT8 next = e.hashSortNextIdx;
                if ((b->validMds & validBit(i)) != 0 && e.devId == devId && pPart >= e.pUdEntry &&
                    pPart < e.pUdEntry + (UINT64)e.sizeInLb * kLbBytes) {
                    MosFastlockGuard guard(&pMd->fastlock);
                    dropReference(pMd, slot, i, pPart);
                    break;
                }
                if (next == i)
                    break;
                i = next;
            }
            at = std::min(bufEnd, blockEnd);
        }
        bufLba = bufEnd;
    }
    unlockBuckets(pMd, set);
}

void rcacheMd_Invalidate(Rcache_MdDS *pMd, UINT64 devId, UINT16 devGenNum, UINT64 lba, UINT32 sizeInLb)
{
    Walk w = walkOf(devId, devGenNum, lba, sizeInLb);
    const BucketSet set = bucketsOf(pMd, devId, lba, sizeInLb);
    lockBuckets(pMd, set);
    rcacheMd_LoopEntries(pMd, RCACHE_MD__INVALIDATE, &w);
    unlockBuckets(pMd, set);
}

T10Dif *rcacheMd_GetDifPtr(Rcache_MdDS *pMd, const void *pData)
{
    Exp((uintptr_t)pData % RCACHE_UD__PAGE_SIZE_IN_BYTES != 0);
    const UINT64 page = rcacheUd_PageIndex(&pMd->ud, pData);
    return rcacheDif_GetDifBufIndexPtr(&pMd->dif, page * RCACHE__PAGE_SIZE_IN_LB);
}

void rcacheMd_DemoteMany(Rcache_MdDS *pMd)
{
    mosFastlockBase_Acquire(&pMd->fastlock);
    pMd->demoteCallers++;
    while (pMd->demoteBudgetLb < RCACHE__MAX_SIZE_IN_LB_TO_DEMOTE &&
           pMd->demoteBudgetEntries < RCACHE__MAX_ENTRIES_TO_DEMOTE) {
        Rcache_MdIndex at = pMd->lruTail;
        while (at.mdIndex != RCACHE__LRU_INDEX_INVALID &&
               (entryAt(pMd, at)->inProgressRefCnt != 0 || entryAt(pMd, at)->pendingRemoval))
            at = entryAt(pMd, at)->lruNode.lruPrev;
        if (at.mdIndex == RCACHE__LRU_INDEX_INVALID)
            break;
        Rcache_MdEntry *e = entryAt(pMd, at);
        lruUnlink(pMd, at);
        e->pendingRemoval = 1;
        mosFastlockBase_Release(&pMd->fastlock);
        Rcache_MdhashEntry *b = &pMd->hash[at.hashSlot];
        mosFastlockBase_Acquire(&b->fastlock);
        Exp(e->inProgressRefCnt != 0);
        const UINT32 size = e->sizeInLb;
        const Mos_RC rc = rcacheUd_FreeBuffer(&pMd->ud, e->pUdEntry, size, e->validCounter);
        mosFastlockBase_Acquire(&pMd->fastlock);
        if (rc == MOS_RC__SUCCESS) {
            countEviction(pMd, size);
            pMd->demoteBudgetLb += size;
        }
        pMd->demoteBudgetEntries++;
        e->pendingRemoval = 0;
        freeMdEntryUnlocked(pMd, at.hashSlot, (UINT8)at.entryIndex);
        mosFastlockBase_Release(&pMd->fastlock);
        mosFastlockBase_Release(&b->fastlock);
        if (mosUmt_GetUThreadHdlNoAssert() != nullptr)
            mosUmt_Yield();
        mosFastlockBase_Acquire(&pMd->fastlock);
    }
    if (--pMd->demoteCallers == 0)
        pMd->demoteBudgetLb = pMd->demoteBudgetEntries = 0;
    mosFastlockBase_Release(&pMd->fastlock);
}
