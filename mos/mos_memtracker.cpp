#include "mos/mos_memtracker_intrn.h"

#include <cstring>

#include "mos/mos_contention.h"
#include "mos/mos_assert.h"
#include "mos/mos_osc_cnt.h"
#include "mos/mos_ticks.h"
#include "mos/mos_trace.h"

MosMemoryTracker_Layer memoryTrackerLayer_G;

// Lock class of the tracker's list.

namespace {

MosMemTrackLockedListAnchor *trackerList()
{
    return &memoryTrackerLayer_G.mosMemTrackerAllocList;
}

MemTrackEntry *entryOfNode(MosDList_Node *pNode)
{
    return MOS_CONTAINER_OF(pNode, MemTrackEntry, node);
}

MemTrackEntry *entryOfUser(void *pUser)
{
    return reinterpret_cast<MemTrackEntry *>(static_cast<UINT8 *>(pUser) - MOS_MEM_TRACKER__HEADER_SIZE);
}

void *userOfEntry(MemTrackEntry *pEntry)
{
    return reinterpret_cast<UINT8 *>(pEntry) + MOS_MEM_TRACKER__HEADER_SIZE;
}

// Walks the list (lock held): number of entries and the sum of their sizes.
void trackerSum(UINT64 *pBlocks, UINT64 *pBytes)
{
    UINT64 blocks = 0, bytes = 0;
    for (MosDList_Node *p = mosDList_First(trackerList()); p != nullptr; p = mosDList_Next(p)) {
        blocks++;
        bytes += entryOfNode(p)->size;
    }
    *pBlocks = blocks;
    *pBytes = bytes;
}

} // namespace

Mos_RC mosMemTrackerLayer_Init(void)
{
    memset(&memoryTrackerLayer_G, 0, sizeof(memoryTrackerLayer_G));
    mosDList_InitAnchor(trackerList());
    mosFastlockBase_CreateWithRank(&trackerList()->lock, CONTENTION_ENUM_COMMON_CREATED__MEM_TRACKER,
                                   MOS_MEM_TRACKER__LOCK_RANK, __FILE__, __LINE__);
    return MOS_RC__SUCCESS;
}

void mosMemTrackerLayer_Destroy(void)
{
    for (MosDList_Node *p = mosDList_First(trackerList()); p != nullptr; p = mosDList_Next(p)) {
        MemTrackEntry *pEntry = entryOfNode(p);
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Memory %p leaked: allocated at %s:%u time %lu size %lu\n",
                  userOfEntry(pEntry), pEntry->fileName, pEntry->line, (unsigned long)pEntry->timestamp,
                  (unsigned long)pEntry->size);
    }
    MOS_ASSERT(trackerList()->counter == 0);
    mosFastlockBase_Destroy(&trackerList()->lock);
    mosDList_InitAnchor(trackerList());
}

Mos_RC mosMemTrackerLayer_SdbgRegister(void)
{
    mosObjType_RegObjType(&memoryTrackerLayer_G.memoryTrackerObjType, mos_TrackMemQuery, mos_TrackMemBackDoor,
                          SDBG_EXPORTS_OBJ_TYPE__MOS_MEMORY_TRACKER, sizeof(MosMemoryTracker_Query));
    mosObjType_RegObj(&memoryTrackerLayer_G.memoryTrackerObjType, &memoryTrackerLayer_G.memoryTrackerObj, nullptr);
    return MOS_RC__SUCCESS;
}

void mosMemTrackerLayer_SdbgUnregister(void)
{
    mosObjType_UnregObj(&memoryTrackerLayer_G.memoryTrackerObjType, &memoryTrackerLayer_G.memoryTrackerObj);
    mosObjType_UnregObjType(&memoryTrackerLayer_G.memoryTrackerObjType);
}

void *mos_CheckMemAllocStatus(void *pMem, UINT64 size)
{
    MOS_UNUSED(size);
    if (pMem == nullptr)
        mosOscCnt_FailureOccurrenceNotify(MOS_OSC_CNT_TYPE__MEMORY_ALLOCATION_FAILURES, 1);
    return pMem;
}

UINT32 mos_TrackMemHeadroom(UINT32 alignment)
{
    MOS_ASSERT(alignment != 0 && (alignment & (alignment - 1)) == 0);
    return (alignment + MOS_MEM_TRACKER__HEADER_SIZE - 1) & ~(alignment - 1);
}

UINT64 mos_TrackMemGetAllocSizeBytesAligned(UINT64 userSizeBytes, UINT32 alignment)
{
    return userSizeBytes + mos_TrackMemHeadroom(alignment);
}

UINT64 mos_TrackMemGetAllocSizePages(UINT64 userSizePages)
{
    // A page of headroom keeps the caller's memory page-aligned and holds the header.
    return userSizePages + 1;
}

void *mos_TrackMemGetReAllocOriginalAddress(void *pPtr, UINT32 alignment)
{
    MOS_ASSERT(pPtr != nullptr);
    return static_cast<UINT8 *>(pPtr) - mos_TrackMemHeadroom(alignment);
}

void *mos_TrackMemAlloc(void *pMem, UINT64 size, UINT32 alignment, const CHAR_A *pFileName, UINT32 line)
{
    if (mos_CheckMemAllocStatus(pMem, size) == nullptr) {
        MosFastlockGuard guard(&trackerList()->lock);
        memoryTrackerLayer_G.numAllocationsFailed++;
        return nullptr;
    }

    const UINT32 headroom = mos_TrackMemHeadroom(alignment);
    void *pUser = static_cast<UINT8 *>(pMem) + headroom;
    MemTrackEntry *pEntry = entryOfUser(pUser);
    memset(pEntry, 0, sizeof(*pEntry));
    pEntry->headroomSize = headroom;
    pEntry->size = size;
    pEntry->line = line;
    pEntry->timestamp = mosTicks_GetCurrentTick();
    if (pFileName != nullptr)
        strncpy(pEntry->fileName, pFileName, sizeof(pEntry->fileName) - 1);

    MosFastlockGuard guard(&trackerList()->lock);
    MOS_ASSERT(pEntry->node.pPrev == nullptr);
    const BOOL bWasEmpty = trackerList()->counter == 0;
    mosDList_InsertTail(trackerList(), &pEntry->node);
    if (bWasEmpty)
        MOS_ASSERT(trackerList()->counter == 1);
    memoryTrackerLayer_G.numAllocationsSucceeded++;
    return pUser;
}

void *mos_TrackMemFree(void *pMem)
{
    if (pMem == nullptr)
        return nullptr;
    MemTrackEntry *pEntry = entryOfUser(pMem);
    MOS_ASSERT(pEntry->headroomSize >= MOS_MEM_TRACKER__HEADER_SIZE);
    {
        MosFastlockGuard guard(&trackerList()->lock);
        // A block that was never tracked (or was dropped by a reset) is passed over.
        if (pEntry->node.pPrev != nullptr) {
            MOS_ASSERT(pEntry->node.pNext != nullptr);
            mosDList_Remove(trackerList(), &pEntry->node);
            memoryTrackerLayer_G.numAllocationsFreed++;
        }
    }
    return static_cast<UINT8 *>(pMem) - pEntry->headroomSize;
}

void mos_TrackMemQuery(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MOS_UNUSED(pObj);
    MOS_UNUSED(pName);
    MosMemoryTracker_Query *pQuery = static_cast<MosMemoryTracker_Query *>(pData);
    memset(pQuery, 0, sizeof(*pQuery));
    MosFastlockGuard guard(&trackerList()->lock);
    UINT64 numAllocatedMemoryBlocks = 0, bytes = 0;
    trackerSum(&numAllocatedMemoryBlocks, &bytes);
    MOS_ASSERT(numAllocatedMemoryBlocks ==
               memoryTrackerLayer_G.numAllocationsSucceeded - memoryTrackerLayer_G.numAllocationsFreed);
    pQuery->numAllocatedMemoryBlocks = numAllocatedMemoryBlocks;
    pQuery->totalAllocatedMemorySizeMB = bytes >> 20;
    pQuery->numAllocationsSucceeded = memoryTrackerLayer_G.numAllocationsSucceeded;
    pQuery->numAllocationsFreed = memoryTrackerLayer_G.numAllocationsFreed;
    pQuery->numAllocationsFailed = memoryTrackerLayer_G.numAllocationsFailed;
}

void mos_TrackMemBackDoor(MosObj *pObj, UINT32 backdoorOp, UINT32 argCount, PSdbgConfStr argVec)
{
    MOS_UNUSED(pObj);
    MOS_UNUSED(argCount);
    MOS_UNUSED(argVec);
    if (backdoorOp == MOS_MEM_TRACKER__BACKDOOR_DUMP)
        mos_TrackMemDump();
}

void mos_TrackMemDump(void)
{
    {
        MosFastlockGuard guard(&trackerList()->lock);
        UINT64 blocks = 0, bytes = 0;
        trackerSum(&blocks, &bytes);
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW,
                  "Dumping memory tracker contents - allocated blocks %lu, allocated memory %luMB\n total num "
                  "success allocations %lu, total num freed allocations %lu, total num failed allocations %lu\n",
                  (unsigned long)blocks, (unsigned long)(bytes >> 20),
                  (unsigned long)memoryTrackerLayer_G.numAllocationsSucceeded,
                  (unsigned long)memoryTrackerLayer_G.numAllocationsFreed,
                  (unsigned long)memoryTrackerLayer_G.numAllocationsFailed);
        for (MosDList_Node *p = mosDList_First(trackerList()); p != nullptr; p = mosDList_Next(p)) {
            MemTrackEntry *pEntry = entryOfNode(p);
            MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Memory %p: allocated at %s:%u time %lu size %lu bytes\n",
                      userOfEntry(pEntry), pEntry->fileName, pEntry->line, (unsigned long)pEntry->timestamp,
                      (unsigned long)pEntry->size);
        }
    }
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Finished dumping memory tracker contents\n");
}

void mos_TrackMemReset(void)
{
    {
        MosFastlockGuard guard(&trackerList()->lock);
        while (mosDList_RemoveHead(trackerList()) != nullptr) {
        }
        mosDList_InitAnchor(trackerList());
        memoryTrackerLayer_G.numAllocationsSucceeded = 0;
        memoryTrackerLayer_G.numAllocationsFreed = 0;
        memoryTrackerLayer_G.numAllocationsFailed = 0;
    }
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Finished reset memory tracker contents\n");
}
