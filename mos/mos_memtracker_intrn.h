// What only the module's own files (and its tests) use: its layer record and globals.
#pragma once

#include "mos/mos_memtracker.h"

struct MosMemoryTracker_Layer {
    MosMemTrackLockedListAnchor mosMemTrackerAllocList;
    MosObj_Type memoryTrackerObjType;
    MosObj memoryTrackerObj;
    UINT64 numAllocationsSucceeded;
    UINT64 numAllocationsFreed;
    UINT64 numAllocationsFailed;
};

extern MosMemoryTracker_Layer memoryTrackerLayer_G;
