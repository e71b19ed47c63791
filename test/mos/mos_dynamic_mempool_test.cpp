#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include "mos/mos_dynamic_mempool.h"
#include "test/support/mos_container_support.h"

namespace {

struct DynamicMemPool : ::testing::Test {
    ContainerLayers layers;
};

struct LoggedReq {
    MosDynamicMemPool_Req req{};
    MosDynamicMemPool_Buffer buffer{};
    int id = 0;
    static std::vector<int> *pLog;
    static void Done(MosAsyncObj *pObj, INT32 rc)
    {
        EXPECT_EQ(rc, MOS_RC__SUCCESS);
        pLog->push_back(MOS_CONTAINER_OF(pObj, LoggedReq, req.asyncObj)->id);
    }
};
std::vector<int> *LoggedReq::pLog = nullptr;

} // namespace

TEST_F(DynamicMemPool, GrowsToTheMaximumThenQueuesAndServesWithTheFreedUnit)
{
    MosDynamicMemPool pool;
    ASSERT_EQ(mosDynamicMemPool_Create(&pool, "dyn", 24, 4, 2, 1, 0), MOS_RC__SUCCESS);
    EXPECT_EQ(pool.numBlocks, 1u);

    std::vector<MosDynamicMemPool_Buffer> out(8);
    std::set<PVOID> distinct;
    for (auto &b : out) {
        ASSERT_EQ(mosDynamicMemPool_Alloc(&pool, &b), MOS_RC__SUCCESS);
        distinct.insert(b.pBuffer);
        memset(b.pBuffer, 0xEE, 24); // the whole unit is the caller's
    }
    EXPECT_EQ(distinct.size(), 8u);
    EXPECT_EQ(pool.numBlocks, 2u);
    EXPECT_EQ(out[0].handle, 0u);
    EXPECT_EQ(out[7].handle, 1u);
    EXPECT_EQ(mosDynamicMemPool_GetUsage(&pool), 8u);

    MosDynamicMemPool_Buffer none{7, (PVOID)1};
    EXPECT_EQ(mosDynamicMemPool_Alloc(&pool, &none), MOS_RC__NO_RESOURCES);
    EXPECT_EQ(none.pBuffer, nullptr);

    std::vector<int> log;
    LoggedReq::pLog = &log;
    LoggedReq waiting;
    waiting.req.asyncObj.pCK = LoggedReq::Done;
    ASSERT_EQ(mosDynamicMemPool_AllocWait(&pool, &waiting.req, &waiting.buffer), MOS_RC__PENDING);
    ASSERT_EQ(mosDynamicMemPool_Free(&pool, &out[5]), MOS_RC__SUCCESS);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(waiting.buffer.pBuffer, out[5].pBuffer);
    EXPECT_EQ(waiting.buffer.handle, out[5].handle);
    EXPECT_EQ(mosDynamicMemPool_GetUsage(&pool), 8u); // the unit went on to the waiter

    out[5] = waiting.buffer;
    for (auto &b : out)
        ASSERT_EQ(mosDynamicMemPool_Free(&pool, &b), MOS_RC__SUCCESS);
    UINT32 usage = 1, maxBlocks = 0, minBlocks = 0;
    mosDynamicMemPool_GetStats(&pool, &usage, &maxBlocks, &minBlocks);
    EXPECT_EQ(usage, 0u);
    EXPECT_EQ(maxBlocks, 2u);
    EXPECT_EQ(minBlocks, 1u);
    mosDynamicMemPool_Destroy(&pool);
}

TEST_F(DynamicMemPool, FreedUnitsAreReusedFirstInFirstOut)
{
    MosDynamicMemPool pool;
    ASSERT_EQ(mosDynamicMemPool_Create(&pool, "fifo", 20, 3, 1, 0, 0), MOS_RC__SUCCESS);
    MosDynamicMemPool_Buffer a, b, c, d;
    ASSERT_EQ(mosDynamicMemPool_Alloc(&pool, &a), MOS_RC__SUCCESS);
    ASSERT_EQ(mosDynamicMemPool_Alloc(&pool, &b), MOS_RC__SUCCESS);
    EXPECT_EQ((UINT8 *)b.pBuffer - (UINT8 *)a.pBuffer, 20); // odd-sized units are packed
    mosDynamicMemPool_Free(&pool, &b);
    mosDynamicMemPool_Free(&pool, &a);
    ASSERT_EQ(mosDynamicMemPool_Alloc(&pool, &c), MOS_RC__SUCCESS); // the never-used third unit
    ASSERT_EQ(mosDynamicMemPool_Alloc(&pool, &d), MOS_RC__SUCCESS);
    EXPECT_EQ(d.pBuffer, b.pBuffer);
    mosDynamicMemPool_Free(&pool, &c);
    mosDynamicMemPool_Free(&pool, &d);
    mosDynamicMemPool_Destroy(&pool);
}

TEST_F(DynamicMemPool, ReleaseMemoryKeepsBusyBlocksAndTheMinimum)
{
    MosDynamicMemPool pool;
    ASSERT_EQ(mosDynamicMemPool_Create(&pool, "release", 32, 2, 4, 1, 64), MOS_RC__SUCCESS);
    std::vector<MosDynamicMemPool_Buffer> out(8);
    for (auto &b : out) {
        ASSERT_EQ(mosDynamicMemPool_Alloc(&pool, &b), MOS_RC__SUCCESS);
        EXPECT_EQ((uintptr_t)pool.pBlocks[b.handle]->pBlockAlignedStart % 64, 0u);
    }
    // Blocks 0 and 2 idle, block 1 half busy, block 3 busy.
    for (int i : {0, 1, 2, 4, 5, 6})
        mosDynamicMemPool_Free(&pool, &out[i]);
    EXPECT_EQ(mosDynamicMemPool_ReleaseMemory(&pool, 4), MOS_RC__SUCCESS);
    EXPECT_EQ(pool.numBlocks, 2u);
    EXPECT_EQ(pool.pBlocks[0], nullptr);
    EXPECT_EQ(pool.pBlocks[2], nullptr);
    EXPECT_NE(pool.pBlocks[1], nullptr);
    EXPECT_EQ(pool.freeList.counter, 2u); // the idle halves of the busy blocks

    mosDynamicMemPool_Free(&pool, &out[3]);
    mosDynamicMemPool_Free(&pool, &out[7]);
    EXPECT_EQ(mosDynamicMemPool_ReleaseMemory(&pool, 4), MOS_RC__SUCCESS);
    EXPECT_EQ(pool.numBlocks, 1u); // the minimum stays

    // The released slot is reused by the next block.
    std::vector<MosDynamicMemPool_Buffer> again(4);
    for (auto &b : again)
        ASSERT_EQ(mosDynamicMemPool_Alloc(&pool, &b), MOS_RC__SUCCESS);
    EXPECT_EQ(pool.numBlocks, 2u);
    for (auto &b : again)
        ASSERT_EQ(mosDynamicMemPool_ScanNFree(&pool, b.pBuffer), MOS_RC__SUCCESS);
    EXPECT_EQ(mosDynamicMemPool_GetUsage(&pool), 0u);
    mosDynamicMemPool_Destroy(&pool);
}

TEST_F(DynamicMemPool, ScanNFreeRefusesForeignAddresses)
{
    MosDynamicMemPool pool;
    ASSERT_EQ(mosDynamicMemPool_Create(&pool, "scan", 32, 2, 2, 1, 0), MOS_RC__SUCCESS);
    UINT8 foreign[32];
    EXPECT_EQ(mosDynamicMemPool_ScanNFree(&pool, foreign), MOS_RC__INVALID);
    EXPECT_EQ(mosDynamicMemPool_GetUsage(&pool), 0u);
    mosDynamicMemPool_Destroy(&pool);
}

TEST_F(DynamicMemPool, RaisingTheMaximumServesWaitersFromNewBlocks)
{
    MosDynamicMemPool pool;
    ASSERT_EQ(mosDynamicMemPool_Create(&pool, "grow", 24, 2, 1, 0, 0), MOS_RC__SUCCESS);
    MosDynamicMemPool_Buffer a, b;
    ASSERT_EQ(mosDynamicMemPool_Alloc(&pool, &a), MOS_RC__SUCCESS);
    ASSERT_EQ(mosDynamicMemPool_Alloc(&pool, &b), MOS_RC__SUCCESS);

    std::vector<int> log;
    LoggedReq::pLog = &log;
    LoggedReq reqs[5];
    for (int i = 0; i < 5; i++) {
        reqs[i].id = i;
        reqs[i].req.asyncObj.pCK = LoggedReq::Done;
        ASSERT_EQ(mosDynamicMemPool_AllocWait(&pool, &reqs[i].req, &reqs[i].buffer), MOS_RC__PENDING);
    }
    MosDynamicMemPool_Query query;
    mosDynamicMemPool_Query(&pool.obj, "grow", &query);
    EXPECT_EQ(query.waiters, 5u);

    // Room for two more blocks serves four of the five, oldest first; the fifth waits on.
    mosDynamicMemPool_UpdateMaxNumBlocks(&pool, 3);
    EXPECT_EQ(log, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(pool.allocedNumBlocks, 3u);
    EXPECT_EQ(pool.numBlocks, 3u);
    EXPECT_EQ(pool.waiters.counter, 1u);

    // Lowering the maximum releases nothing.
    mosDynamicMemPool_UpdateMaxNumBlocks(&pool, 1);
    EXPECT_EQ(pool.numBlocks, 3u);
    EXPECT_EQ(pool.waiters.counter, 1u);

    mosDynamicMemPool_Free(&pool, &a);
    EXPECT_EQ(log.back(), 4);
    mosDynamicMemPool_Free(&pool, &b);
    for (auto &r : reqs)
        mosDynamicMemPool_Free(&pool, &r.buffer);
    EXPECT_EQ(mosDynamicMemPool_GetUsage(&pool), 0u);
    mosDynamicMemPool_Destroy(&pool);
}

TEST_F(DynamicMemPool, QueryAndRegistration)
{
    MosDynamicMemPool pool;
    ASSERT_EQ(mosDynamicMemPool_Create(&pool, "KA-pool", 728, 16, 64, 0, 0), MOS_RC__SUCCESS);
    MosObj_Type *pType = mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__MOS_DYNAMIC_MEMPOOL);
    ASSERT_NE(pType, nullptr);
    EXPECT_EQ(mosObjType_SizeAssociated(pType), 60u);
    MosObj *pObj = mosObjType_GetNthObj(pType, 0);
    ASSERT_EQ(pObj, &pool.obj);
    MosDynamicMemPool_Query query;
    mosObj_Query(pObj, pType, &query);
    mosObjType_ReleaseNthObj(pType);
    EXPECT_STREQ(query.name, "KA-pool");
    EXPECT_EQ(query.unitSize, 728u);
    EXPECT_EQ(query.allocedNumBlocks, 64u);
    EXPECT_EQ(query.allowedNumBlocks, 64u);
    EXPECT_EQ(query.minNumBlocks, 0u);
    EXPECT_EQ(query.numBlocks, 0u);
    EXPECT_EQ(query.allocationSize, 16u);
    mosDynamicMemPool_UpdateMinNumBlocks(&pool, 2);
    EXPECT_EQ(pool.minNumBlocks, 2u);
    EXPECT_EQ(pool.numBlocks, 0u); // the minimum allocates nothing by itself
    mosDynamicMemPool_Destroy(&pool);
    EXPECT_EQ(mosObjType_GetObjNum(pType), 0u);
}

TEST_F(DynamicMemPool, UnitTooSmallForItsFreeLinkIsRefused)
{
    MosDynamicMemPool pool;
    EXPECT_EQ(mosDynamicMemPool_Create(&pool, "tiny", 19, 4, 2, 0, 0), MOS_RC__INVALID);
    ASSERT_EQ(mosDynamicMemPool_Create(&pool, "smallest", 20, 4, 2, 0, 0), MOS_RC__SUCCESS);
    mosDynamicMemPool_Destroy(&pool);
}

TEST_F(DynamicMemPool, MisuseIsAPanic)
{
    struct Case {
        const char *pName;
        void (*pRun)();
        const char *pRegex;
    };
    const Case cases[] = {
        {"minimum not below the maximum",
         [] {
             MosDynamicMemPool pool;
             mosDynamicMemPool_Create(&pool, "x", 32, 2, 2, 2, 0);
         },
         "minNumBlocks < allocedNumBlocks"},
        {"destroy with a unit out",
         [] {
             MosDynamicMemPool pool;
             MosDynamicMemPool_Buffer b;
             mosDynamicMemPool_Create(&pool, "x", 32, 2, 2, 0, 0);
             mosDynamicMemPool_Alloc(&pool, &b);
             mosDynamicMemPool_Destroy(&pool);
         },
         "numOfAllocations == 0"},
        {"maximum below the minimum",
         [] {
             MosDynamicMemPool pool;
             mosDynamicMemPool_Create(&pool, "x", 32, 2, 4, 2, 0);
             mosDynamicMemPool_UpdateMaxNumBlocks(&pool, 1);
         },
         "newMaxNumBlocks >= pMemPool->minNumBlocks"},
        {"release of zero blocks",
         [] {
             MosDynamicMemPool pool;
             mosDynamicMemPool_Create(&pool, "x", 32, 2, 4, 2, 0);
             mosDynamicMemPool_ReleaseMemory(&pool, 0);
         },
         "numOfBlocksToFree != 0"},
        {"free into the middle of a unit",
         [] {
             MosDynamicMemPool pool;
             MosDynamicMemPool_Buffer b;
             mosDynamicMemPool_Create(&pool, "x", 32, 2, 2, 0, 0);
             mosDynamicMemPool_Alloc(&pool, &b);
             b.pBuffer = (UINT8 *)b.pBuffer + 4;
             mosDynamicMemPool_Free(&pool, &b);
         },
         "not the start of a unit"},
        {"free of an idle block's unit",
         [] {
             MosDynamicMemPool pool;
             MosDynamicMemPool_Buffer b;
             mosDynamicMemPool_Create(&pool, "x", 32, 2, 2, 0, 0);
             mosDynamicMemPool_Alloc(&pool, &b);
             mosDynamicMemPool_Free(&pool, &b);
             mosDynamicMemPool_Free(&pool, &b);
         },
         "pBlock->counter != 0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pName);
        EXPECT_PANIC(c.pRun(), c.pRegex);
    }
}

TEST_F(DynamicMemPool, UnitReleasedTwiceIsCaughtInSanitizerBuild)
{
#ifndef PELLAR_SANITIZE
    GTEST_SKIP() << "checked only in the sanitizer build";
#endif
    EXPECT_PANIC(
        {
            MosDynamicMemPool pool;
            MosDynamicMemPool_Buffer a;
            MosDynamicMemPool_Buffer b;
            mosDynamicMemPool_Create(&pool, "x", 32, 4, 2, 0, 0);
            mosDynamicMemPool_Alloc(&pool, &a);
            mosDynamicMemPool_Alloc(&pool, &b);
            mosDynamicMemPool_Free(&pool, &a);
            mosDynamicMemPool_Free(&pool, &a);
        },
        "unit released while free");
}
