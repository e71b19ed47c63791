// Memory allocation tracker: a debugging aid that keeps live heap blocks on one list, each with
// a 128-byte header in front of the caller's memory (size, source file, line, tick), so that
// leaks can be listed and counted. The caller obtains the raw block itself, sized with
// mos_TrackMemGetAllocSizeBytesAligned, and releases what mos_TrackMemFree returns.
#pragma once

#include <cstddef>

#include "mos/mos_dlist.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_obj.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"

#define MOS_MEM_TRACKER__HEADER_SIZE 128u
#define MOS_MEM_TRACKER__FILE_NAME_SIZE 88u // at most 87 characters and the terminator
#define MOS_MEM_TRACKER__LOCK_RANK 81u
#define MOS_MEM_TRACKER__BACKDOOR_DUMP 1u

struct MemTrackEntry {
    MosDList_Node node;   // pNext -1 at the end, pPrev -1 for the first, 0 when not listed
    UINT64 size;          // the caller's size
    UINT32 headroomSize;  // raw block to caller's memory, at least 128
    UINT32 line;
    UINT64 timestamp;     // tick of the allocation
    CHAR_A fileName[MOS_MEM_TRACKER__FILE_NAME_SIZE];
};
static_assert(sizeof(MemTrackEntry) == MOS_MEM_TRACKER__HEADER_SIZE);
static_assert(offsetof(MemTrackEntry, size) == 16);
static_assert(offsetof(MemTrackEntry, headroomSize) == 24);
static_assert(offsetof(MemTrackEntry, line) == 28);
static_assert(offsetof(MemTrackEntry, timestamp) == 32);
static_assert(offsetof(MemTrackEntry, fileName) == 40);

// pFirst, pLast and counter, guarded by lock.
struct MosMemTrackLockedListAnchor : MosDList_Anchor {
    MosFastlock_Base lock;
};

struct MosMemoryTracker_Query {
    UINT64 numAllocatedMemoryBlocks;
    UINT64 totalAllocatedMemorySizeMB;
    UINT64 numAllocationsSucceeded;
    UINT64 numAllocationsFreed;
    UINT64 numAllocationsFailed;
};
static_assert(sizeof(MosMemoryTracker_Query) == 40);

Mos_RC mosMemTrackerLayer_Init(void);
void mosMemTrackerLayer_Destroy(void);
Mos_RC mosMemTrackerLayer_SdbgRegister(void);
void mosMemTrackerLayer_SdbgUnregister(void);

// Returns pMem; a NULL block is reported to the memory-allocation failure notification.
void *mos_CheckMemAllocStatus(void *pMem, UINT64 size);

// Headroom in front of the caller's memory for a power-of-two alignment: 128 rounded up to it.
UINT32 mos_TrackMemHeadroom(UINT32 alignment);
void *mos_TrackMemAlloc(void *pMem, UINT64 size, UINT32 alignment, const CHAR_A *pFileName, UINT32 line);
void *mos_TrackMemFree(void *pMem);
UINT64 mos_TrackMemGetAllocSizeBytesAligned(UINT64 userSizeBytes, UINT32 alignment);
UINT64 mos_TrackMemGetAllocSizePages(UINT64 userSizePages);
void *mos_TrackMemGetReAllocOriginalAddress(void *pPtr, UINT32 alignment);

void mos_TrackMemQuery(MosObj *pObj, const CHAR_A *pName, void *pData);
void mos_TrackMemBackDoor(MosObj *pObj, UINT32 backdoorOp, UINT32 argCount, PSdbgConfStr argVec);
void mos_TrackMemDump(void);
void mos_TrackMemReset(void);
