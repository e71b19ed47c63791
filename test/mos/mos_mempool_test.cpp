#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "mos/mos_mempool.h"
#include "test/support/mos_container_support.h"

namespace {

struct MemPool : ::testing::Test {
    ContainerLayers layers;
};

// A request whose completion is recorded in order of arrival.
struct OrderedReq {
    MosMemPool_Req req{};
    int id = 0;
    static std::vector<std::pair<int, PVOID>> *pLog;
    static void Done(MosAsyncObj *pObj, INT32 rc)
    {
        EXPECT_EQ(rc, MOS_RC__SUCCESS);
        auto *pSelf = MOS_CONTAINER_OF(pObj, OrderedReq, req.asyncObj);
        pLog->push_back({pSelf->id, pSelf->req.pMem});
    }
};
std::vector<std::pair<int, PVOID>> *OrderedReq::pLog = nullptr;

} // namespace

TEST_F(MemPool, FirstAllocationsFollowFreeOrderAndFreedBlockComesBackFirst)
{
    struct Case {
        MosMemPool_FreeHandlingType type;
        bool bAscending;
    };
    for (const Case &c : {Case{MOS_TIMER__FREE_HANDLER_LIST, true}, Case{MOS_TIMER__FREE_HANDLER_STACK, false}}) {
        SCOPED_TRACE(c.type);
        MosMemPool pool;
        mosMemPool_CreateEx(&pool, "order", nullptr, nullptr, 64, 4, 64, FALSE, c.type);
        PVOID p[4];
        for (auto &pBlock : p)
            ASSERT_EQ(mosMemPool_AllocNoWait(&pool, &pBlock), MOS_RC__SUCCESS);
        for (int i = 1; i < 4; i++)
            EXPECT_EQ(p[i] > p[i - 1], c.bAscending);
        EXPECT_EQ((uintptr_t)pool.pMemAlignedStart % 64, 0u);
        EXPECT_EQ(mosMemPool_IndexFromMem(&pool, (UINT8 *)p[2] + 63), mosMemPool_IndexFromMem(&pool, p[2]));
        EXPECT_EQ(mosMemPool_MemByIndex(&pool, mosMemPool_IndexFromMem(&pool, p[1])), p[1]);

        mosMemPool_Free(&pool, p[0]);
        mosMemPool_Free(&pool, p[3]);
        PVOID pAgain = nullptr;
        ASSERT_EQ(mosMemPool_AllocNoWait(&pool, &pAgain), MOS_RC__SUCCESS);
        EXPECT_EQ(pAgain, p[3]);
        mosMemPool_AssertValid(&pool);
        mosMemPool_Free(&pool, pAgain);
        mosMemPool_Free(&pool, p[1]);
        mosMemPool_Free(&pool, p[2]);
        EXPECT_EQ(mosMemPool_GetNumOfFreeEntries(&pool), 4u);
        mosMemPool_Destroy(&pool);
    }
}

// Every byte of every block maps to that block's index, for strides of every shape (powers of
// two, odd sizes, guard pages between blocks), and the index maps back to the block's start.
TEST_F(MemPool, IndexOfEveryBlockAndByteForManyStrides)
{
    struct Shape {
        UINT32 blockSize;
        UINT32 numBlocks;
        BOOL bGuardPage;
    } shapes[] = {{8, 300, FALSE}, {24, 257, FALSE}, {256, 64, FALSE}, {728, 100, FALSE},
                  {4096, 9, FALSE}, {4104, 7, FALSE}, {65544, 3, FALSE}, {4096, 5, TRUE}};
    for (const Shape &shape : shapes) {
        MosMemPool pool;
        mosMemPool_CreateEx(&pool, "strides", nullptr, nullptr, shape.blockSize, shape.numBlocks, 64,
                            shape.bGuardPage, MOS_TIMER__FREE_HANDLER_LIST);
        std::vector<PVOID> blocks;
        PVOID p;
        while (mosMemPool_AllocNoWait(&pool, &p) == MOS_RC__SUCCESS)
            blocks.push_back(p);
        ASSERT_EQ(blocks.size(), shape.numBlocks);
        for (PVOID block : blocks) {
            const UINT32 index = mosMemPool_IndexFromMem(&pool, block);
            ASSERT_EQ(mosMemPool_MemByIndex(&pool, index), block) << shape.blockSize;
            for (UINT32 off : {1u, shape.blockSize / 2, shape.blockSize - 1})
                ASSERT_EQ(mosMemPool_IndexFromMem(&pool, (UINT8 *)block + off), index) << shape.blockSize;
        }
        for (PVOID block : blocks)
            mosMemPool_Free(&pool, block);
        mosMemPool_Destroy(&pool);
    }
}

TEST_F(MemPool, AllocatedBlockStartsWithAZeroWordInBothOrders)
{
    for (MosMemPool_FreeHandlingType type : {MOS_TIMER__FREE_HANDLER_LIST, MOS_TIMER__FREE_HANDLER_STACK}) {
        SCOPED_TRACE(type);
        MosMemPool pool;
        mosMemPool_CreateEx(&pool, "zero word", nullptr, nullptr, 32, 2, 0, FALSE, type);
        PVOID pBlock = nullptr;
        ASSERT_EQ(mosMemPool_AllocNoWait(&pool, &pBlock), MOS_RC__SUCCESS);
        memset(pBlock, 0xAB, 32);
        mosMemPool_Free(&pool, pBlock);
        PVOID pAgain = nullptr;
        ASSERT_EQ(mosMemPool_AllocNoWait(&pool, &pAgain), MOS_RC__SUCCESS);
        ASSERT_EQ(pAgain, pBlock);
        UINT64 firstWord = ~0ull;
        memcpy(&firstWord, pAgain, sizeof(firstWord));
        EXPECT_EQ(firstWord, 0u);
        mosMemPool_Free(&pool, pAgain);
        mosMemPool_Destroy(&pool);
    }
}

TEST_F(MemPool, ExhaustedPoolRefusesOrQueuesFirstComeFirstServed)
{
    MosMemPool pool;
    mosMemPool_Create(&pool, 32, 2, 0);
    PVOID a, b, c = nullptr;
    ASSERT_EQ(mosMemPool_AllocNoWait(&pool, &a), MOS_RC__SUCCESS);
    ASSERT_EQ(mosMemPool_AllocNoWait(&pool, &b), MOS_RC__SUCCESS);
    EXPECT_TRUE(mosMemPool_IsFullyAllocated(&pool));
    EXPECT_EQ(mosMemPool_AllocNoWait(&pool, &c), MOS_RC__NO_RESOURCES);
    EXPECT_EQ(c, nullptr);

    std::vector<std::pair<int, PVOID>> log;
    OrderedReq::pLog = &log;
    OrderedReq reqs[3];
    for (int i = 0; i < 3; i++) {
        reqs[i].id = i;
        reqs[i].req.asyncObj.pCK = OrderedReq::Done;
        EXPECT_EQ(mosMemPool_Alloc(&pool, nullptr, &reqs[i].req, TRUE), MOS_RC__PENDING);
    }
    MosMemPool_Query query;
    mosMemPool_Query(&pool.obj, "q", &query);
    EXPECT_EQ(query.waiters, 3u);

    // Each freed block goes to the oldest request and never shows up as free.
    mosMemPool_Free(&pool, b);
    EXPECT_EQ(mosMemPool_GetNumOfFreeEntries(&pool), 0u);
    mosMemPool_Free(&pool, a);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], std::make_pair(0, b));
    EXPECT_EQ(log[1], std::make_pair(1, a));
    mosMemPool_Free(&pool, log[0].second);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[2], std::make_pair(2, b));
    mosMemPool_Free(&pool, log[1].second);
    mosMemPool_Free(&pool, log[2].second);
    EXPECT_EQ(mosMemPool_GetNumOfFreeEntries(&pool), 2u);
    mosMemPool_Destroy(&pool);
}

TEST_F(MemPool, ResizeWhileBlocksAreOut)
{
    MosMemPool pool;
    mosMemPool_CreateEx(&pool, "resize", nullptr, nullptr, 16, 10, 0, FALSE, MOS_TIMER__FREE_HANDLER_STACK);
    PVOID out[3];
    for (auto &p : out)
        ASSERT_EQ(mosMemPool_AllocNoWait(&pool, &p), MOS_RC__SUCCESS);

    EXPECT_EQ(mosMemPool_Resize(&pool, 10), MOS_RC__SUCCESS);
    EXPECT_EQ(mosMemPool_GetNumOfFreeEntries(&pool), 7u);
    EXPECT_EQ(pool.pOldMem, nullptr);

    ASSERT_EQ(mosMemPool_Resize(&pool, 5), MOS_RC__SUCCESS);
    EXPECT_EQ(mosMemPool_GetSize(&pool), 5u);
    EXPECT_EQ(mosMemPool_GetNumOfFreeEntries(&pool), 5u);
    EXPECT_EQ(pool.oldNumAllocatedBlocks, 3u);
    EXPECT_EQ(mosMemPool_Resize(&pool, 8), MOS_RC__BUSY);

    mosMemPool_Free(&pool, out[0]);
    mosMemPool_Free(&pool, out[1]);
    EXPECT_NE(pool.pOldMem, nullptr);
    mosMemPool_Free(&pool, out[2]);
    EXPECT_EQ(pool.pOldMem, nullptr);
    EXPECT_EQ(mosMemPool_GetNumOfFreeEntries(&pool), 5u);
    mosMemPool_AssertValid(&pool);
    EXPECT_EQ(mosMemPool_Resize(&pool, 8), MOS_RC__SUCCESS);
    EXPECT_EQ(mosMemPool_GetNumOfFreeEntries(&pool), 8u);
    mosMemPool_Destroy(&pool);
}

TEST_F(MemPool, GrowingResizeServesWaiters)
{
    MosMemPool pool;
    mosMemPool_Create(&pool, 16, 1, 0);
    PVOID a;
    ASSERT_EQ(mosMemPool_AllocNoWait(&pool, &a), MOS_RC__SUCCESS);
    std::vector<std::pair<int, PVOID>> log;
    OrderedReq::pLog = &log;
    OrderedReq reqs[2];
    for (int i = 0; i < 2; i++) {
        reqs[i].id = i;
        reqs[i].req.asyncObj.pCK = OrderedReq::Done;
        ASSERT_EQ(mosMemPool_Alloc(&pool, nullptr, &reqs[i].req, TRUE), MOS_RC__PENDING);
    }
    ASSERT_EQ(mosMemPool_Resize(&pool, 3), MOS_RC__SUCCESS);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].first, 0);
    EXPECT_EQ(log[1].first, 1);
    EXPECT_EQ(mosMemPool_GetNumOfFreeEntries(&pool), 1u);
    mosMemPool_Free(&pool, a); // the old memory goes with its last block
    EXPECT_EQ(pool.pOldMem, nullptr);
    mosMemPool_Free(&pool, log[0].second);
    mosMemPool_Free(&pool, log[1].second);
    mosMemPool_Destroy(&pool);
}

TEST_F(MemPool, GuardPagesRefuseResizeAndStopOverruns)
{
    const UINT32 page = (UINT32)sysconf(_SC_PAGESIZE);
    MosMemPool pool;
    mosMemPool_CreateEx(&pool, "guarded", nullptr, nullptr, page, 3, 0, TRUE, MOS_TIMER__FREE_HANDLER_LIST);
    EXPECT_EQ(mosMemPool_Resize(&pool, 3), MOS_RC__SUCCESS);
    EXPECT_EQ(mosMemPool_Resize(&pool, 4), MOS_RC__INVALID);
    PVOID p;
    ASSERT_EQ(mosMemPool_AllocNoWait(&pool, &p), MOS_RC__SUCCESS);
    EXPECT_EQ((uintptr_t)p % page, 0u);
    memset(p, 0xA5, page); // the whole block is usable
    EXPECT_DEATH(((volatile UINT8 *)p)[page] = 1, "");
    EXPECT_DEATH(((volatile UINT8 *)p)[-1] = 1, "");
    mosMemPool_Free(&pool, p);
    mosMemPool_Destroy(&pool);
    // Destruction made the pages accessible again before the memory went back to the heap.
    std::vector<UINT8> scratch(4 * page, 1);
    EXPECT_EQ(scratch[0], 1);
}

TEST_F(MemPool, InitCallbackRunsForEveryBlockAndQueryReportsUsage)
{
    static int initCalls;
    static int yieldCalls;
    initCalls = yieldCalls = 0;
    MosMemPool pool;
    mosMemPool_CreateEx(
        &pool, "a-pool-name-that-is-longer-than-32-characters", [](MosMemPool *, BOOL) { yieldCalls++; },
        [](PVOID pBlock, UINT32 size) {
            memset(pBlock, 0, size);
            initCalls++;
        },
        24, 5, 8, FALSE, MOS_TIMER__FREE_HANDLER_LIST);
    EXPECT_EQ(initCalls, 5);
    EXPECT_EQ(yieldCalls, 5);

    MosObj_Type *pType = mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__MOS_MEMPOOL);
    ASSERT_NE(pType, nullptr);
    EXPECT_EQ(mosObjType_SizeAssociated(pType), 56u);
    MosObj *pObj = mosObjType_GetNthObj(pType, 0);
    ASSERT_EQ(pObj, &pool.obj);
    PVOID p;
    ASSERT_EQ(mosMemPool_AllocNoWait(&pool, &p), MOS_RC__SUCCESS);
    MosMemPool_Query query;
    mosObj_Query(pObj, pType, &query);
    mosObjType_ReleaseNthObj(pType);
    EXPECT_EQ(std::string(query.name, sizeof(query.name)), "a-pool-name-that-is-longer-than-");
    EXPECT_EQ(query.objSize, 24u);
    EXPECT_EQ(query.objNum, 5u);
    EXPECT_EQ(query.objFree, 4u);
    EXPECT_EQ(query.objAcquired, 1u);
    EXPECT_EQ(query.waiters, 0u);
    EXPECT_EQ(query.bGuardPage, FALSE);

    static std::vector<PVOID> destroyed;
    destroyed.clear();
    mosMemPool_Free(&pool, p);
    mosMemPool_DestroyEx(&pool, [](PVOID pBlock) { destroyed.push_back(pBlock); });
    EXPECT_EQ(destroyed.size(), 5u);
    EXPECT_EQ(destroyed[0], p);
    EXPECT_EQ(mosObjType_GetObjNum(pType), 0u);
}

TEST_F(MemPool, MisuseIsAPanic)
{
    struct Case {
        const char *pName;
        void (*pRun)();
        const char *pRegex;
    };
    const Case cases[] = {
        {"block smaller than a free-list link",
         [] {
             MosMemPool pool;
             mosMemPool_Create(&pool, 4, 8, 0);
         },
         "blockSizeInBytes >= sizeof\\(MosMemPool_Block\\)"},
        {"no blocks",
         [] {
             MosMemPool pool;
             mosMemPool_Create(&pool, 8, 0, 0);
         },
         "numBlocks > 0"},
        {"stack with init callback",
         [] {
             MosMemPool pool;
             mosMemPool_CreateEx(&pool, "x", nullptr, [](PVOID, UINT32) {}, 8, 2, 0, FALSE,
                                 MOS_TIMER__FREE_HANDLER_STACK);
         },
         "pInitCK == \\(\\(void \\*\\)0\\)"},
        {"guard page with a block that is not whole pages",
         [] {
             MosMemPool pool;
             mosMemPool_CreateEx(&pool, "x", nullptr, nullptr, 100, 2, 0, TRUE, MOS_TIMER__FREE_HANDLER_LIST);
         },
         "tmpBlockSizeInBytes == 0"},
        {"waiting without a request",
         [] {
             MosMemPool pool;
             PVOID p;
             mosMemPool_Create(&pool, 8, 1, 0);
             mosMemPool_AllocNoWait(&pool, &p);
             mosMemPool_Alloc(&pool, &p, nullptr, TRUE);
         },
         "pReq != \\(\\(void \\*\\)0\\)"},
        {"freeing a foreign address",
         [] {
             MosMemPool pool;
             UINT64 foreign;
             mosMemPool_Create(&pool, 8, 1, 0);
             mosMemPool_Free(&pool, &foreign);
         },
         "Panic"},
        {"freeing the middle of a block",
         [] {
             MosMemPool pool;
             PVOID p;
             mosMemPool_Create(&pool, 64, 2, 0);
             mosMemPool_AllocNoWait(&pool, &p);
             mosMemPool_Free(&pool, (UINT8 *)p + 8);
         },
         "not the start of a block"},
        {"stack pool destroyed with a block out",
         [] {
             MosMemPool pool;
             PVOID p;
             mosMemPool_CreateEx(&pool, "x", nullptr, nullptr, 8, 2, 0, FALSE, MOS_TIMER__FREE_HANDLER_STACK);
             mosMemPool_AllocNoWait(&pool, &p);
             mosMemPool_Destroy(&pool);
         },
         "nextFreeobject == 0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pName);
        EXPECT_PANIC(c.pRun(), c.pRegex);
    }
}

TEST_F(MemPool, BlockReleasedTwiceIsCaughtInSanitizerBuild)
{
#ifndef PELLAR_SANITIZE
    GTEST_SKIP() << "tracked only in the sanitizer build";
#endif
    for (auto type : {MOS_TIMER__FREE_HANDLER_LIST, MOS_TIMER__FREE_HANDLER_STACK}) {
        EXPECT_PANIC(
            {
                MosMemPool pool;
                PVOID p;
                mosMemPool_CreateEx(&pool, "x", nullptr, nullptr, 8, 4, 0, FALSE, type);
                mosMemPool_AllocNoWait(&pool, &p);
                mosMemPool_Free(&pool, p);
                mosMemPool_Free(&pool, p);
            },
            "block released while free");
    }
    // A block of the memory before a resize, released twice.
    EXPECT_PANIC(
        {
            MosMemPool pool;
            PVOID p;
            PVOID q;
            mosMemPool_Create(&pool, 8, 4, 0);
            mosMemPool_AllocNoWait(&pool, &p);
            mosMemPool_AllocNoWait(&pool, &q);
            mosMemPool_Resize(&pool, 2);
            mosMemPool_Free(&pool, p);
            mosMemPool_Free(&pool, p);
        },
        "block released while free");
}

// Eight threads allocate with waiting from a pool smaller than their demand; every block must be
// held by one thread at a time and all must come back.
TEST_F(MemPool, ConcurrentAllocationsWithWaitersLoseNothing)
{
    constexpr UINT32 kBlocks = 5;
    constexpr int kThreads = 8;
    constexpr int kRounds = 2000;
    for (auto type : {MOS_TIMER__FREE_HANDLER_LIST, MOS_TIMER__FREE_HANDLER_STACK}) {
        MosMemPool pool;
        mosMemPool_CreateEx(&pool, "stress", nullptr, nullptr, 64, kBlocks, 0, FALSE, type);
        std::atomic<int> owner[kBlocks];
        for (auto &o : owner)
            o = -1;
        std::atomic<int> failures{0};

        struct WaitReq {
            MosMemPool_Req req{};
            OsEvent done;
        };
        auto worker = [&](int id) {
            WaitReq w;
            w.req.asyncObj.pCK = [](MosAsyncObj *pObj, INT32) {
                MOS_CONTAINER_OF(pObj, WaitReq, req.asyncObj)->done.Raise();
            };
            for (int r = 0; r < kRounds; r++) {
                PVOID p = nullptr;
                Mos_RC rc = mosMemPool_Alloc(&pool, &p, &w.req, TRUE);
                if (rc == MOS_RC__PENDING) {
                    if (!w.done.Wait()) {
                        failures++;
                        return;
                    }
                    p = w.req.pMem;
                } else if (rc != MOS_RC__SUCCESS) {
                    failures++;
                    return;
                }
                const UINT32 index = mosMemPool_IndexFromMem(&pool, p);
                int expected = -1;
                if (!owner[index].compare_exchange_strong(expected, id))
                    failures++;
                *(volatile int *)((UINT8 *)p + 8) = id;
                if (*(volatile int *)((UINT8 *)p + 8) != id)
                    failures++;
                owner[index] = -1;
                mosMemPool_Free(&pool, p);
            }
        };
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++)
            threads.emplace_back(worker, t);
        for (auto &t : threads)
            t.join();
        EXPECT_EQ(failures.load(), 0);
        EXPECT_EQ(mosMemPool_GetNumOfFreeEntries(&pool), kBlocks);
        EXPECT_EQ(pool.waiters.counter, 0u);
        mosMemPool_AssertValid(&pool);
        mosMemPool_Destroy(&pool);
    }
}
