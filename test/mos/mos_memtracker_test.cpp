#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mos/mos_memtracker.h"
#include "mos/mos_memtracker_intrn.h"
#include "mos/mos_trace.h"
#include "test/support/panic_expect.h"

namespace {

// Raw blocks obtained the way a caller of the tracker does: sized with the tracker's headroom.
struct RawBlock {
    void *pRaw = nullptr;
    void *pUser = nullptr;
};

struct MemTracker : ::testing::Test {
    std::vector<void *> raws;

    void SetUp() override { ASSERT_EQ(mosMemTrackerLayer_Init(), MOS_RC__SUCCESS); }
    void TearDown() override
    {
        mos_TrackMemReset();
        mosMemTrackerLayer_Destroy();
        for (void *p : raws)
            free(p);
    }

    RawBlock track(UINT64 size, UINT32 alignment, const char *file = "file.cpp", UINT32 line = 7)
    {
        RawBlock b;
        const size_t rawSize = mos_TrackMemGetAllocSizeBytesAligned(size, alignment);
        b.pRaw = aligned_alloc(alignment < 16 ? 16 : alignment, (rawSize + 4095) & ~size_t{4095});
        raws.push_back(b.pRaw);
        b.pUser = mos_TrackMemAlloc(b.pRaw, size, alignment, file, line);
        return b;
    }

    MosMemoryTracker_Query query()
    {
        MosMemoryTracker_Query q;
        memset(&q, 0xA5, sizeof(q));
        mos_TrackMemQuery(nullptr, nullptr, &q);
        return q;
    }
};

MemTrackEntry *header(void *pUser)
{
    return reinterpret_cast<MemTrackEntry *>(static_cast<UINT8 *>(pUser) - 128);
}

} // namespace

TEST_F(MemTracker, HeadroomAndRequestSizes)
{
    struct Case {
        UINT32 alignment;
        UINT32 headroom;
    } cases[] = {{1, 128}, {8, 128}, {64, 128}, {128, 128}, {256, 256}, {4096, 4096}};
    for (const Case &c : cases) {
        EXPECT_EQ(mos_TrackMemHeadroom(c.alignment), c.headroom) << c.alignment;
        EXPECT_EQ(mos_TrackMemGetAllocSizeBytesAligned(1000, c.alignment), 1000u + c.headroom) << c.alignment;
    }
    EXPECT_EQ(mos_TrackMemGetAllocSizePages(3), 4u);
}

TEST_F(MemTracker, HeaderSitsRightBeforeCallersMemory)
{
    const std::string longName(120, 'f');
    RawBlock b = track(5000, 4096, longName.c_str(), 321);
    ASSERT_NE(b.pUser, nullptr);
    EXPECT_EQ(static_cast<UINT8 *>(b.pUser) - static_cast<UINT8 *>(b.pRaw), 4096);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b.pUser) % 4096, 0u);
    EXPECT_EQ(mos_TrackMemGetReAllocOriginalAddress(b.pUser, 4096), b.pRaw);

    const MemTrackEntry *pEntry = header(b.pUser);
    EXPECT_EQ(pEntry->size, 5000u);
    EXPECT_EQ(pEntry->headroomSize, 4096u);
    EXPECT_EQ(pEntry->line, 321u);
    EXPECT_EQ(std::string(pEntry->fileName), longName.substr(0, 87));

    EXPECT_EQ(mos_TrackMemFree(b.pUser), b.pRaw);
    EXPECT_EQ(mos_TrackMemFree(nullptr), nullptr);
}

TEST_F(MemTracker, QueryCountsLiveBlocksThroughFreesInAnyOrder)
{
    std::vector<RawBlock> blocks;
    for (int i = 0; i < 3; i++)
        blocks.push_back(track(1 << 20, 8));
    MosMemoryTracker_Query q = query();
    EXPECT_EQ(q.numAllocatedMemoryBlocks, 3u);
    EXPECT_EQ(q.totalAllocatedMemorySizeMB, 3u);
    EXPECT_EQ(q.numAllocationsSucceeded, 3u);
    EXPECT_EQ(q.numAllocationsFreed, 0u);
    EXPECT_EQ(q.numAllocationsFailed, 0u);

    // A failed allocation is counted and yields NULL.
    EXPECT_EQ(mos_TrackMemAlloc(nullptr, 64, 8, "f", 1), nullptr);
    EXPECT_EQ(mos_CheckMemAllocStatus(nullptr, 64), nullptr);
    int x;
    EXPECT_EQ(mos_CheckMemAllocStatus(&x, sizeof(x)), &x);

    // Middle, then head, then tail: the list stays consistent (the query checks it).
    const int order[] = {1, 0, 2};
    UINT64 live = 3;
    for (int idx : order) {
        EXPECT_EQ(mos_TrackMemFree(blocks[idx].pUser), blocks[idx].pRaw);
        live--;
        q = query();
        EXPECT_EQ(q.numAllocatedMemoryBlocks, live);
        EXPECT_EQ(q.totalAllocatedMemorySizeMB, live);
        EXPECT_EQ(q.numAllocationsFreed, 3 - live);
        EXPECT_EQ(q.numAllocationsFailed, 1u);
    }
    EXPECT_EQ(memoryTrackerLayer_G.mosMemTrackerAllocList.counter, 0u);
    EXPECT_EQ(memoryTrackerLayer_G.mosMemTrackerAllocList.pFirst, nullptr);
}

TEST_F(MemTracker, UntrackedOrResetBlocksArePassedOver)
{
    // A block that was never tracked: a header with its headroom and no links.
    alignas(16) UINT8 raw[256] = {};
    reinterpret_cast<MemTrackEntry *>(raw)->headroomSize = 128;
    EXPECT_EQ(mos_TrackMemFree(raw + 128), raw);
    MosMemoryTracker_Query q = query();
    EXPECT_EQ(q.numAllocationsFreed, 0u);

    RawBlock kept = track(100, 8);
    RawBlock dropped = track(100, 8);
    mos_TrackMemReset();
    q = query();
    EXPECT_EQ(q.numAllocatedMemoryBlocks, 0u);
    EXPECT_EQ(q.numAllocationsSucceeded, 0u);
    EXPECT_EQ(mos_TrackMemFree(dropped.pUser), dropped.pRaw);
    EXPECT_EQ(query().numAllocationsFreed, 0u);

    // Tracking starts afresh after a reset.
    RawBlock again = track(2 << 20, 64);
    q = query();
    EXPECT_EQ(q.numAllocatedMemoryBlocks, 1u);
    EXPECT_EQ(q.totalAllocatedMemorySizeMB, 2u);
    MOS_UNUSED(kept);
    MOS_UNUSED(again);
}

TEST_F(MemTracker, DumpAndDebugObject)
{
    ASSERT_EQ(mosObjLayer_Create(nullptr), MOS_RC__SUCCESS);
    ASSERT_EQ(mosMemTrackerLayer_SdbgRegister(), MOS_RC__SUCCESS);
    MosObj_Type *pType = mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__MOS_MEMORY_TRACKER);
    ASSERT_EQ(pType, &memoryTrackerLayer_G.memoryTrackerObjType);
    EXPECT_EQ(mosObjType_GetObjNum(pType), 1u);
    EXPECT_EQ(mosObjType_SizeAssociated(pType), 40u);

    track(3 << 20, 8);
    MosMemoryTracker_Query q{};
    mosObj_Query(&memoryTrackerLayer_G.memoryTrackerObj, pType, &q);
    EXPECT_EQ(q.numAllocatedMemoryBlocks, 1u);
    EXPECT_EQ(q.totalAllocatedMemorySizeMB, 3u);

    // The dump walks the list with tracing on (where the lines go is the trace layer's business);
    // other backdoor operations do nothing.
    const MosTraceFrequency before = g_componentFreqLevelsArr[MOS_COMP_MOS];
    g_componentFreqLevelsArr[MOS_COMP_MOS] = MOS_FREQ_LOW;
    mosObj_Backdoor(&memoryTrackerLayer_G.memoryTrackerObj, pType, MOS_MEM_TRACKER__BACKDOOR_DUMP, 0, nullptr);
    mosObj_Backdoor(&memoryTrackerLayer_G.memoryTrackerObj, pType, 2, 0, nullptr);
    g_componentFreqLevelsArr[MOS_COMP_MOS] = before;
    mosObj_Query(&memoryTrackerLayer_G.memoryTrackerObj, pType, &q);
    EXPECT_EQ(q.numAllocatedMemoryBlocks, 1u);

    mosMemTrackerLayer_SdbgUnregister();
    EXPECT_EQ(mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__MOS_MEMORY_TRACKER), nullptr);
    mosObjLayer_Destroy();
}

TEST_F(MemTracker, BrokenInvariantsPanic)
{
    // A block still tracked when the layer goes is a leak.
    EXPECT_PANIC({
            track(10, 8);
            mosMemTrackerLayer_Destroy();
        }, "");
    EXPECT_PANIC({
            alignas(16) UINT8 raw[256] = {};
            reinterpret_cast<MemTrackEntry *>(raw)->headroomSize = 64;
            mos_TrackMemFree(raw + 128);
        }, "");
    EXPECT_PANIC(mos_TrackMemGetReAllocOriginalAddress(nullptr, 8), "");
    EXPECT_PANIC(mos_TrackMemHeadroom(24), "");
}
