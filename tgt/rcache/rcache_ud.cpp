#include "tgt/rcache/rcache_ud.h"

#include <cstdlib>
#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_blocking.h"
#include "tgt/rcache/rcache_bits.h"
#include "tgt/rcache/rcache_ud_intrn.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_contention.h"

namespace {
Rcache_UdFreeNode *nodeAt(Rcache_UdDS *pUd, UINT64 index) { return pUd->pFreeNodes + index; }
UINT64 indexOf(Rcache_UdDS *pUd, const Rcache_UdFreeNode *pNode) { return (UINT64)(pNode - pUd->pFreeNodes); }

void listInit(Rcache_UdFreeNode *pAnchor) { pAnchor->pNext = pAnchor->pPrev = pAnchor; }

void listUnlink(Rcache_UdFreeNode *pNode)
{
    pNode->pPrev->pNext = pNode->pNext;
    pNode->pNext->pPrev = pNode->pPrev;
    pNode->pNext = pNode->pPrev = nullptr;
}

// A run of numPages starting at node index goes to the head of its bucket.
void putRun(Rcache_UdDS *pUd, UINT64 index, UINT32 numPages)
{
    Rcache_UdFreeNode *pAnchor = &pUd->pBuckets[numPages - 1].dummyNode;
    Rcache_UdFreeNode *pNode = nodeAt(pUd, index);
    pNode->pNext = pAnchor->pNext;
    pNode->pPrev = pAnchor;
    pAnchor->pNext->pPrev = pNode;
    pAnchor->pNext = pNode;
}

void freeRuns(const Rcache_UdBlock &block, RcacheBits_Seq *pSeqs, UINT32 *pNum)
{
    rcacheBits_CalcSeqIn4BytesBuf(reinterpret_cast<const UINT8 *>(&block.freeBitmap), pSeqs, pNum);
}

// Buckets empty, every block free with its first page in bucket 31 (block 0 at the head). The
// counters move on from where they were, so nothing made before stays valid.
void resetBlocksLocked(Rcache_UdDS *pUd, bool bYield)
{
    for (UINT32 b = 0; b < RCACHE_UD__NUM_OF_BUCKETS; b++) {
        listInit(&pUd->pBuckets[b].dummyNode);
        pUd->pBuckets[b].sizeInLb = (UINT64)(b + 1) * RCACHE__PAGE_SIZE_IN_LB;
    }
    pUd->counters.sizeInUseInLb = 0;
    for (UINT32 n = 0; n < pUd->numOfUdBlocks; n++) {
        const UINT32 i = pUd->numOfUdBlocks - 1 - n;
        Rcache_UdBlock &block = pUd->pUdMd[i];
        __atomic_add_fetch(&block.validCounter, 1, __ATOMIC_SEQ_CST);
        block.freeBitmap = RCACHE__UD_ALL_FREE_BITMAP;
        __atomic_store_n(&block.inProgressRefCnt, 0, __ATOMIC_SEQ_CST);
        putRun(pUd, (UINT64)i * RCACHE_UD__PAGES_PER_BLOCK, RCACHE_UD__PAGES_PER_BLOCK);
        if (bYield && n % RCACHE_UD__YIELD_COUNT == RCACHE_UD__YIELD_COUNT - 1 &&
            mosUmt_GetUThreadHdlNoAssert() != nullptr) {
            mosFastlockBase_Release(&pUd->fastlock);
            mosUmt_Yield();
            mosFastlockBase_Acquire(&pUd->fastlock);
        }
    }
}

void freeRegion(Rcache_UdDS *pUd)
{
    if (pUd->pUdBlocksOrig != nullptr) {
        const UINT64 dataBytes = (UINT64)pUd->numOfUdBlocks * RCACHE_UD__BLOCK_SIZE_IN_BYTES;
        if (pUd->bExcludedFromCore)
            mos_CoreDumpExcludeInclude(pUd->pUdBlocks, dataBytes, FALSE);
        if (pUd->bLockedInMem)
            mos_UnlockBuf(pUd->pUdBlocksOrig, pUd->totalSizeAllocatedInBytes);
        free(pUd->pUdBlocksOrig);
    }
    if (pUd->pFreeNodes != nullptr)
        mos_FreePageAligned(pUd->pFreeNodes);
    pUd->pUdBlocksOrig = nullptr;
    pUd->pUdBlocks = nullptr;
    pUd->pUdMd = nullptr;
    pUd->pBuckets = nullptr;
    pUd->pFreeNodes = nullptr;
    pUd->numOfUdBlocks = 0;
    pUd->totalSizeAllocatedInBytes = 0;
    pUd->bLockedInMem = FALSE;
    pUd->bExcludedFromCore = FALSE;
}

struct CreateArgs {
    Rcache_UdDS *pUd;
    UINT64 sizeInLb;
};

int rcacheUd_CreateInternalBlocking(void *pContext)
{
    CreateArgs *pArgs = static_cast<CreateArgs *>(pContext);
    Rcache_UdDS *pUd = pArgs->pUd;
    const UINT64 blocks = pArgs->sizeInLb / RCACHE__UD_BLOCK_SIZE_IN_LB;
    if (blocks == 0)
        return MOS_RC__SUCCESS;
    // Eight more bytes than the layout needs keep the buckets' pointers 8-byte aligned.
    const UINT64 total = blocks * (RCACHE_UD__BLOCK_SIZE_IN_BYTES + sizeof(Rcache_UdBlock)) +
                         RCACHE_UD__REGION_EXTRA_BYTES + 8;
    const UINT64 nodeBytes = (blocks * RCACHE_UD__PAGES_PER_BLOCK * sizeof(Rcache_UdFreeNode) + 4095) & ~(UINT64)4095;
    pUd->pUdBlocksOrig = calloc(1, total);
    pUd->pFreeNodes = static_cast<Rcache_UdFreeNode *>(mos_AllocPageAligned(nodeBytes));
    pUd->numOfUdBlocks = (UINT32)blocks;
    pUd->totalSizeAllocatedInBytes = total;
    pUd->freeNodesBytes = nodeBytes;
    if (pUd->pUdBlocksOrig == nullptr || pUd->pFreeNodes == nullptr) {
        MOS_ERROR(MOS_COMP_TGT_RCACHE, "No memory for a cache of %lu LB", (unsigned long)pArgs->sizeInLb);
        freeRegion(pUd);
        return MOS_RC__NO_RESOURCES;
    }
    memset(pUd->pFreeNodes, 0, nodeBytes);
    if (tgtInitParam_G.bRamcacheLockInMem) {
        if (!mos_LockBuf(pUd->pUdBlocksOrig, total)) {
            MOS_ERROR(MOS_COMP_TGT_RCACHE, "Cannot lock a cache of %lu bytes in memory", (unsigned long)total);
            freeRegion(pUd);
            return MOS_RC__NO_RESOURCES;
        }
        pUd->bLockedInMem = TRUE;
    }
    const uintptr_t orig = (uintptr_t)pUd->pUdBlocksOrig;
    pUd->pUdBlocks = reinterpret_cast<UINT8 *>((orig + 4095) & ~(uintptr_t)4095);
    const UINT64 dataBytes = blocks * RCACHE_UD__BLOCK_SIZE_IN_BYTES;
    pUd->pUdMd = reinterpret_cast<Rcache_UdBlock *>(pUd->pUdBlocks + dataBytes);
    const uintptr_t buckets = ((uintptr_t)(pUd->pUdMd + blocks) + 7) & ~(uintptr_t)7;
    pUd->pBuckets = reinterpret_cast<Rcache_UdBucket *>(buckets);
    MOS_ASSERT((UINT8 *)(pUd->pBuckets + RCACHE_UD__NUM_OF_BUCKETS) <= (UINT8 *)pUd->pUdBlocksOrig + total);
    if (tgtInitParam_G.bRamcacheCoreDumpExclude) {
        mos_CoreDumpExcludeInclude(pUd->pUdBlocks, dataBytes, TRUE);
        pUd->bExcludedFromCore = TRUE;
    }
    MosFastlockGuard guard(&pUd->fastlock);
    resetBlocksLocked(pUd, false);
    return MOS_RC__SUCCESS;
}

// The shortest free run that holds numPages, its remainder put back; null when none.
void *allocFromRunsLocked(Rcache_UdDS *pUd, UINT32 numPages)
{
    for (UINT32 b = numPages - 1; b < RCACHE_UD__NUM_OF_BUCKETS; b++) {
        Rcache_UdFreeNode *pAnchor = &pUd->pBuckets[b].dummyNode;
        if (pAnchor->pNext == pAnchor)
            continue;
        Rcache_UdFreeNode *pNode = pAnchor->pNext;
        listUnlink(pNode);
        const UINT64 index = indexOf(pUd, pNode);
        if (b + 1 > numPages)
            putRun(pUd, index + numPages, b + 1 - numPages);
        Rcache_UdBlock &block = pUd->pUdMd[index / RCACHE_UD__PAGES_PER_BLOCK];
        block.freeBitmap &= ~rcacheUd_RangeMask((UINT32)(index % RCACHE_UD__PAGES_PER_BLOCK), numPages);
        __atomic_add_fetch(&block.inProgressRefCnt, 1, __ATOMIC_SEQ_CST);
        pUd->counters.sizeInUseInLb += (UINT64)numPages * RCACHE__PAGE_SIZE_IN_LB;
        return pUd->pUdBlocks + index * RCACHE_UD__PAGE_SIZE_IN_BYTES;
    }
    return nullptr;
}
} // namespace

UINT64 rcacheUd_PageIndex(Rcache_UdDS *pUd, const void *pBuffer)
{
    const UINT8 *p = static_cast<const UINT8 *>(pBuffer);
    MOS_ASSERT(pUd->pUdBlocks != nullptr && p >= pUd->pUdBlocks);
    const UINT64 offset = (UINT64)(p - pUd->pUdBlocks);
    MOS_ASSERT(offset < (UINT64)pUd->numOfUdBlocks * RCACHE_UD__BLOCK_SIZE_IN_BYTES);
    return offset / RCACHE_UD__PAGE_SIZE_IN_BYTES;
}

void rcacheUd_Init(Rcache_UdDS *pUd, RcacheUd_DemoteManyFunc pDemoteMany)
{
    memset(pUd, 0, sizeof(*pUd));
    pUd->numOfBuckets = RCACHE_UD__NUM_OF_BUCKETS;
    pUd->pDemoteMany = pDemoteMany;
    mosFastlockBase_Create(&pUd->fastlock, TGT_CONTENTION__RCACHE_UD, __FILE__, __LINE__);
}

void rcacheUd_Destroy(Rcache_UdDS *pUd)
{
    freeRegion(pUd);
    mosFastlockBase_Destroy(&pUd->fastlock);
}

Mos_RC rcacheUd_ChangeSize(MosBlocking *pBlocking, Rcache_UdDS *pUd, UINT64 sizeInLb)
{
    if (sizeInLb / RCACHE__UD_BLOCK_SIZE_IN_LB > UINT32_MAX) {
        MOS_ERROR(MOS_COMP_TGT_RCACHE, "Cache size %lu LB refused", (unsigned long)sizeInLb);
        return MOS_RC__INVALID_ARG;
    }
    const RcacheUd_DemoteManyFunc pDemoteMany = pUd->pDemoteMany;
    rcacheUd_Destroy(pUd);
    rcacheUd_Init(pUd, pDemoteMany);
    CreateArgs args{pUd, sizeInLb};
    return (Mos_RC)mosUmtBlocking_Submit(pBlocking, rcacheUd_CreateInternalBlocking, &args);
}

void rcacheUd_Purge(Rcache_UdDS *pUd)
{
    if (pUd->pUdBlocks == nullptr)
        return;
    MosFastlockGuard guard(&pUd->fastlock);
    resetBlocksLocked(pUd, true);
}

void *rcacheUd_AllocBuffer(Rcache_UdDS *pUd, Rcache_MdDS *pMd, UINT32 sizeInLb)
{
    Exp(sizeInLb == 0 || sizeInLb % RCACHE__PAGE_SIZE_IN_LB != 0 || sizeInLb > RCACHE__UD_BLOCK_SIZE_IN_LB);
    if (pUd->pUdBlocks == nullptr)
        return nullptr;
    const UINT32 numPages = sizeInLb / RCACHE__PAGE_SIZE_IN_LB;
    {
        MosFastlockGuard guard(&pUd->fastlock);
        void *pBuf = allocFromRunsLocked(pUd, numPages);
        if (pBuf != nullptr) {
            pUd->counters.noEvictionCount++;
            return pBuf;
        }
    }
    // One demoter at a time; the others let their read go to the device instead of waiting.
    if (__atomic_fetch_add(&pUd->demoteFlag, 1, __ATOMIC_SEQ_CST) != 0) {
        __atomic_sub_fetch(&pUd->demoteFlag, 1, __ATOMIC_SEQ_CST);
        return nullptr;
    }
    if (pUd->pDemoteMany != nullptr)
        pUd->pDemoteMany(pMd);
    __atomic_sub_fetch(&pUd->demoteFlag, 1, __ATOMIC_SEQ_CST);
    MosFastlockGuard guard(&pUd->fastlock);
    void *pBuf = allocFromRunsLocked(pUd, numPages);
    if (pBuf == nullptr)
        pBuf = rcacheUd_DemoteBlockAndAllocate(pUd, sizeInLb);
    if (pBuf == nullptr)
        pUd->counters.skipCountCacheAllBusy++;
    return pBuf;
}

void *rcacheUd_DemoteBlockAndAllocate(Rcache_UdDS *pUd, UINT32 sizeInLb)
{
    const UINT32 n = pUd->numOfUdBlocks;
    const UINT32 start = (UINT32)(((UINT64)n * (UINT64)lrand48()) >> 31);
    UINT32 i = 0;
    bool bFound = false;
    for (UINT32 k = 0; k < n && !bFound; k++) {
        i = (start + k) % n;
        UINT32 expected = 0;
        bFound = __atomic_compare_exchange_n(&pUd->pUdMd[i].inProgressRefCnt, &expected, RCACHE_UD__DEMOTING_REF,
                                             false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    }
    if (!bFound)
        return nullptr;
    Rcache_UdBlock &block = pUd->pUdMd[i];
    const UINT64 first = (UINT64)i * RCACHE_UD__PAGES_PER_BLOCK;
    RcacheBits_Seq runs[RCACHE_BITS__MAX_SEQS];
    UINT32 numRuns = 0;
    freeRuns(block, runs, &numRuns);
    UINT32 freeLb = 0;
    for (UINT32 r = 0; r < numRuns; r++) {
        listUnlink(nodeAt(pUd, first + runs[r].start));
        freeLb += runs[r].length * RCACHE__PAGE_SIZE_IN_LB;
    }
    Exp(freeLb > RCACHE__UD_BLOCK_SIZE_IN_LB);
    __atomic_add_fetch(&block.validCounter, 1, __ATOMIC_SEQ_CST);
    const UINT32 usedLb = RCACHE__UD_BLOCK_SIZE_IN_LB - freeLb;
    Exp(pUd->counters.sizeInUseInLb < usedLb);
    pUd->counters.sizeInUseInLb -= usedLb;
    pUd->counters.entryEvictionCountInLb += usedLb;
    pUd->counters.entryEvictionCount++;
    pUd->counters.bigBlockEvictionCountInLb += RCACHE__UD_BLOCK_SIZE_IN_LB;
    pUd->counters.bigBlockEvictionCount++;

    const UINT32 numPages = sizeInLb / RCACHE__PAGE_SIZE_IN_LB;
    if (numPages < RCACHE_UD__PAGES_PER_BLOCK)
        putRun(pUd, first + numPages, RCACHE_UD__PAGES_PER_BLOCK - numPages);
    block.freeBitmap = RCACHE__UD_ALL_FREE_BITMAP & ~rcacheUd_RangeMask(0, numPages);
    pUd->counters.sizeInUseInLb += sizeInLb;
    // The claim becomes the allocation's use; readers that met the claim took theirs back.
    __atomic_add_fetch(&block.inProgressRefCnt, 1u - RCACHE_UD__DEMOTING_REF, __ATOMIC_SEQ_CST);
    return pUd->pUdBlocks + first * RCACHE_UD__PAGE_SIZE_IN_BYTES;
}

Mos_RC rcacheUd_FreeBuffer(Rcache_UdDS *pUd, void *pBuffer, UINT32 sizeInLb, UINT32 validCounter)
{
    Exp(sizeInLb == 0 || sizeInLb % RCACHE__PAGE_SIZE_IN_LB != 0 || sizeInLb > RCACHE__UD_BLOCK_SIZE_IN_LB);
    const UINT64 index = rcacheUd_PageIndex(pUd, pBuffer);
    const UINT32 page = (UINT32)(index % RCACHE_UD__PAGES_PER_BLOCK);
    const UINT32 numPages = sizeInLb / RCACHE__PAGE_SIZE_IN_LB;
    Exp(page + numPages > RCACHE_UD__PAGES_PER_BLOCK);
    const UINT64 first = index - page;
    MosFastlockGuard guard(&pUd->fastlock);
    Rcache_UdBlock &block = pUd->pUdMd[index / RCACHE_UD__PAGES_PER_BLOCK];
    const UINT32 mask = rcacheUd_RangeMask(page, numPages);
    if (block.validCounter != validCounter || (block.freeBitmap & mask) == mask)
        return MOS_RC__NOT_FOUND;
    RcacheBits_Seq before[RCACHE_BITS__MAX_SEQS], after[RCACHE_BITS__MAX_SEQS];
    UINT32 numBefore = 0, numAfter = 0;
    freeRuns(block, before, &numBefore);
    block.freeBitmap |= mask;
    freeRuns(block, after, &numAfter);
    // Both lists are sorted by start page: runs that vanished leave, new ones join, and a run
    // that kept its start but grew moves to the bucket of its new length.
    UINT32 b = 0, a = 0;
    while (b < numBefore || a < numAfter) {
        if (a == numAfter || (b < numBefore && before[b].start < after[a].start)) {
            listUnlink(nodeAt(pUd, first + before[b++].start));
        } else if (b == numBefore || after[a].start < before[b].start) {
            putRun(pUd, first + after[a].start, after[a].length);
            a++;
        } else {
            if (before[b].length != after[a].length) {
                listUnlink(nodeAt(pUd, first + before[b].start));
                putRun(pUd, first + after[a].start, after[a].length);
            }
            a++;
            b++;
        }
    }
    Exp(pUd->counters.sizeInUseInLb < sizeInLb);
    pUd->counters.sizeInUseInLb -= sizeInLb;
    return MOS_RC__SUCCESS;
}

BOOL rcacheUd_IncreaseBufferUsage(Rcache_UdDS *pUd, void *pBuffer)
{
    Rcache_UdBlock &block = pUd->pUdMd[rcacheUd_PageIndex(pUd, pBuffer) / RCACHE_UD__PAGES_PER_BLOCK];
    if ((__atomic_add_fetch(&block.inProgressRefCnt, 1, __ATOMIC_SEQ_CST) & RCACHE_UD__DEMOTING_REF) == 0)
        return TRUE;
    __atomic_sub_fetch(&block.inProgressRefCnt, 1, __ATOMIC_SEQ_CST);
    return FALSE;
}

void rcacheUd_CompleteBufferUsage(Rcache_UdDS *pUd, void *pBuffer)
{
    Rcache_UdBlock &block = pUd->pUdMd[rcacheUd_PageIndex(pUd, pBuffer) / RCACHE_UD__PAGES_PER_BLOCK];
    const UINT32 before = __atomic_fetch_sub(&block.inProgressRefCnt, 1, __ATOMIC_SEQ_CST);
    Exp((before & ~RCACHE_UD__DEMOTING_REF) == 0);
}

UINT32 rcacheUd_GetValidityCounter(Rcache_UdDS *pUd, void *pBuffer)
{
    Rcache_UdBlock &block = pUd->pUdMd[rcacheUd_PageIndex(pUd, pBuffer) / RCACHE_UD__PAGES_PER_BLOCK];
    return __atomic_load_n(&block.validCounter, __ATOMIC_SEQ_CST);
}

BOOL rcacheUd_AllRefCountsZero(Rcache_UdDS *pUd)
{
    MosFastlockGuard guard(&pUd->fastlock);
    for (UINT32 i = 0; i < pUd->numOfUdBlocks; i++)
        if (pUd->pUdMd[i].inProgressRefCnt != 0)
            return FALSE;
    return TRUE;
}

void rcacheUd_SelfTest(Rcache_UdDS *pUd, UINT32 cmd)
{
    Exp(cmd != TGT_RCACHE_SELF_TEST_CMD__ALL_REF_COUNT_ZERO);
    MosFastlockGuard guard(&pUd->fastlock);
    for (UINT32 i = 0; i < pUd->numOfUdBlocks; i++)
        Exp(pUd->pUdMd[i].inProgressRefCnt != 0);
}

UINT32 rcacheUd_NumOfRunsInBucket(Rcache_UdDS *pUd, UINT32 bucket)
{
    MosFastlockGuard guard(&pUd->fastlock);
    UINT32 count = 0;
    const Rcache_UdFreeNode *pAnchor = &pUd->pBuckets[bucket].dummyNode;
    for (const Rcache_UdFreeNode *p = pAnchor->pNext; p != pAnchor; p = p->pNext)
        count++;
    return count;
}
