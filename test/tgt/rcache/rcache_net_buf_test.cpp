// Data-path buffer pools: sizes and lookup, refusal and the network's block state, waiting
// allocations, resizing and its refusals, DIF refusals.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mos/mos_trace.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "test/support/panic_expect.h"
#include "test/support/net_support.h"
#include "test/support/tgt_test_support.h"
#include "tgt/rcache/rcache_net_buf.h"
#include "tgt/rcache/rcache_net_buf_intrn.h"

namespace {
// The server's runtime, with the timer queues driven by the messaging layer's poll loop.
class NetBufEnv : public TgtRuntimeEnv {
  public:
    void SetUp() override
    {
        TgtRuntimeEnv::SetUp();
        netEngineTest_PollDrivenTimers();
    }
};
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new NetBufEnv);

struct PairShape {
    UINT32 dataBytes, difBytes, baseBlocks;
};
constexpr PairShape kShapes[RCACHE_NET_BUF__NUM_POOLS] = {
    {16384, 64, 384}, {65536, 256, 96}, {262144, 1024, 24}, {524288, 2048, 12}, {1048576, 4096, 8}};

class NetBuf : public ::testing::Test {
  protected:
    void SetUp() override
    {
        tgtConf_SetDefaults();
        ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "netbuf", 2, 2, 4), MOS_RC__SUCCESS);
    }
    void TearDown() override
    {
        rcacheNetBuf_Destroy(&set);
        mosUmtSchedThrd_Destroy(&sched);
        tgtConf_SetDefaults();
    }
    void init(BOOL bPri = TRUE, Net *pNet = nullptr) { rcacheNetBuf_Init(&set, nullptr, pNet, bPri, "Primary"); }
    RcacheNetBufMemDifPairPool &pair(UINT32 i) { return set.cacheMemPool.memPoolPairArray[i]; }
    RcacheNetBufQuery query()
    {
        RcacheNetBufQuery q;
        memset(&q, 0xEE, sizeof(q));
        rcacheNetBuf_Query(&set.sdbgObj, nullptr, &q);
        return q;
    }
    void expectEveryPoolHas(UINT32 mult)
    {
        for (UINT32 i = 0; i < RCACHE_NET_BUF__NUM_POOLS; i++) {
            EXPECT_EQ(mosMemPool_GetSize(&pair(i).dataPool), kShapes[i].baseBlocks * mult) << "pair " << i;
            EXPECT_EQ(mosMemPool_GetSize(&pair(i).difPool), kShapes[i].baseBlocks * mult) << "pair " << i;
        }
    }
    MosUmt_SchedThrd sched;
    RcacheNetBuf set{};
};

TEST_F(NetBuf, PairsHaveTheirSizesAndRequestsTakeTheSmallestPairThatHolds)
{
    init();
    for (UINT32 i = 0; i < RCACHE_NET_BUF__NUM_POOLS; i++) {
        EXPECT_EQ(pair(i).dataPool.blockSizeInBytes, kShapes[i].dataBytes) << i;
        EXPECT_EQ(pair(i).difPool.blockSizeInBytes, kShapes[i].difBytes) << i;
        EXPECT_EQ(pair(i).index, i);
    }
    expectEveryPoolHas(2);
    RcacheNetBufQuery q = query();
    EXPECT_EQ(q.totalSizeInLbs, 2u * 65536u);
    const UINT32 perPoolTotal[] = {12288, 12288, 12288, 12288, 16384};
    for (UINT32 i = 0; i < RCACHE_NET_BUF__NUM_POOLS; i++)
        EXPECT_EQ(q.perPoolTotalSizeInLbs[i], perPoolTotal[i]);
    EXPECT_STREQ(q.poolName, "Primary");

    struct Case {
        UINT32 sizeInLbs, pair;
    };
    const Case cases[] = {{1, 0},    {32, 0},   {33, 1},    {64, 1},    {128, 1},    {129, 2},
                          {512, 2},  {513, 3},  {1024, 3},  {1025, 4},  {2048, 4}};
    for (const Case &c : cases) {
        void *pDif = nullptr;
        void *pData = rcacheNetBuf_Allocate(&set, c.sizeInLbs, FALSE, &pDif);
        ASSERT_NE(pData, nullptr) << c.sizeInLbs;
        ASSERT_NE(pDif, nullptr) << c.sizeInLbs;
        EXPECT_EQ((uintptr_t)pData % 4096, 0u);
        EXPECT_EQ(rcacheNetBuf_GetPoolPair(&set, c.sizeInLbs), &pair(c.pair)) << c.sizeInLbs;
        EXPECT_EQ(mosMemPool_GetNumOfFreeEntries(&pair(c.pair).dataPool), kShapes[c.pair].baseBlocks * 2 - 1);
        EXPECT_EQ(mosMemPool_GetNumOfFreeEntries(&pair(c.pair).difPool), kShapes[c.pair].baseBlocks * 2 - 1);
        q = query();
        EXPECT_EQ(q.numOfAllocations, 1u);
        EXPECT_EQ(q.currentAllocatedInLbs, c.sizeInLbs);
        EXPECT_EQ(q.perPoolCurrentAllocatedInLbs[c.pair], c.sizeInLbs);
        rcacheNetBuf_Free(&set, pData, pDif, c.sizeInLbs);
        EXPECT_EQ(query().currentAllocatedInLbs, 0u);
    }
    rcacheNetBuf_SelfTestMemPoolState(&set, FALSE);
}

TEST_F(NetBuf, SizesOutsideThePairsAreBrokenInvariants)
{
    init();
    EXPECT_PANIC(rcacheNetBuf_Allocate(&set, 0, FALSE, nullptr), "sizeInLbs == 0");
    EXPECT_PANIC(rcacheNetBuf_Allocate(&set, 2049, FALSE, nullptr), "sizeInLbs > ");
    combSizeInLbs_g = 1024;
    EXPECT_PANIC(rcacheNetBuf_Allocate(&set, 1025, FALSE, nullptr), "sizeInLbs > combSizeInLbs_g");
}

TEST_F(NetBuf, NameIsCutToNineteenCharacters)
{
    rcacheNetBuf_Init(&set, nullptr, nullptr, FALSE, "A-name-longer-than-twenty");
    EXPECT_STREQ(query().poolName, "A-name-longer-than-");
}

// A waiting allocation on an empty pair suspends until a block of the pair comes back.
TEST_F(NetBuf, WaitingAllocationTakesTheNextFreedBlock)
{
    init();
    std::vector<void *> out;
    for (UINT32 n = 0; n < 16; n++) {
        out.push_back(rcacheNetBuf_Allocate(&set, 2048, FALSE, nullptr));
        ASSERT_NE(out.back(), nullptr) << n;
    }
    std::atomic<void *> pWaited{nullptr};
    std::atomic<void *> pWaitedDif{nullptr};
    std::thread waiter([&] {
        umtTest_RunAsUmt(
            [&] {
                void *pDif = nullptr;
                pWaited = rcacheNetBuf_Allocate(&set, 1500, TRUE, &pDif);
                pWaitedDif = pDif;
            },
            &sched.base);
    });
    ASSERT_TRUE(umtTest_WaitFor([&] { return pair(4).dataPool.waiters.counter == 1; }));
    EXPECT_EQ(pWaited.load(), nullptr);
    void *pFreed = out.back();
    out.pop_back();
    rcacheNetBuf_Free(&set, pFreed, nullptr, 2048);
    waiter.join();
    EXPECT_EQ(pWaited.load(), pFreed);
    EXPECT_NE(pWaitedDif.load(), nullptr);
    EXPECT_EQ(query().numOfFailedReq, 0u) << "waiting is not a refusal";
    rcacheNetBuf_Free(&set, pWaited.load(), pWaitedDif.load(), 1500);
    for (void *p : out)
        rcacheNetBuf_Free(&set, p, nullptr, 2048);
    rcacheNetBuf_SelfTestMemPoolState(&set, FALSE);
}

// The resize lines, in the order they were written.
std::vector<std::string> resizeLines(const std::string &out)
{
    std::vector<std::string> lines;
    std::istringstream in(out);
    const std::regex kLine(".*(Resized +(data|dif)Pool of memPoolIndex (\\d) to contains (\\d+) blocks.*)");
    std::smatch m;
    for (std::string line; std::getline(in, line);)
        if (std::regex_match(line, m, kLine))
            lines.push_back(m[2].str() + m[3].str() + ":" + m[4].str());
    return lines;
}

TEST_F(NetBuf, GrowingResizesEveryDifPoolFirstAndShrinkingEveryDataPoolFirst)
{
    init();
    const MosTraceFrequency saved = mosTraceConf_GetComponentFreq(MOS_COMP_TGT_RCACHE);
    mosTraceConf_SetComponentFrequency(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW);
    mosTrcLayer_DumpToStdout(TRUE);
    ::testing::internal::CaptureStdout();
    const Mos_RC growRc = rcacheNetBuf_Resize(&set, 4, TRUE);
    std::vector<std::string> grow = resizeLines(::testing::internal::GetCapturedStdout());
    expectEveryPoolHas(4);
    EXPECT_EQ(query().totalSizeInLbs, 4u * 65536u);
    ::testing::internal::CaptureStdout();
    const Mos_RC shrinkRc = rcacheNetBuf_Resize(&set, 1, TRUE);
    std::vector<std::string> shrink = resizeLines(::testing::internal::GetCapturedStdout());
    mosTrcLayer_DumpToStdout(FALSE);
    mosTraceConf_SetComponentFrequency(MOS_COMP_TGT_RCACHE, saved);

    EXPECT_EQ(growRc, MOS_RC__SUCCESS);
    EXPECT_EQ(shrinkRc, MOS_RC__SUCCESS);
    expectEveryPoolHas(1);
    EXPECT_EQ(query().totalSizeInLbs, 65536u);
    EXPECT_EQ(query().perPoolTotalSizeInLbs[0], 12288u) << "per pair: block size x base count";
    std::vector<std::string> wantGrow, wantShrink;
    for (UINT32 i = 0; i < RCACHE_NET_BUF__NUM_POOLS; i++) {
        const std::string n = std::to_string(i);
        wantGrow.push_back("dif" + n + ":" + std::to_string(kShapes[i].baseBlocks * 4));
        wantGrow.push_back("data" + n + ":" + std::to_string(kShapes[i].baseBlocks * 4));
        wantShrink.push_back("data" + n + ":" + std::to_string(kShapes[i].baseBlocks));
        wantShrink.push_back("dif" + n + ":" + std::to_string(kShapes[i].baseBlocks));
    }
    EXPECT_EQ(grow, wantGrow);
    EXPECT_EQ(shrink, wantShrink);
}

// A resize the runtime would refuse for one pool changes no pool: data and DIF pools keep the
// same size and the caller gets the code.
TEST_F(NetBuf, RefusedResizeKeepsEverySize)
{
    tgtInitParam_G.guardPageEnableMask = 1; // the primary set's data pools get guard pages
    init(TRUE);
    EXPECT_TRUE(pair(0).dataPool.bGuardPage);
    EXPECT_FALSE(pair(0).difPool.bGuardPage);
    EXPECT_EQ(rcacheNetBuf_Resize(&set, 4, TRUE), MOS_RC__INVALID);
    expectEveryPoolHas(2);
    EXPECT_EQ(rcacheNetBuf_Resize(&set, 2, TRUE), MOS_RC__SUCCESS) << "the same size needs no change";
    rcacheNetBuf_Destroy(&set);

    init(FALSE); // bit 0 concerns only the primary set
    EXPECT_FALSE(pair(4).dataPool.bGuardPage);
    void *pDif = nullptr;
    void *pData = rcacheNetBuf_Allocate(&set, 8, FALSE, &pDif);
    ASSERT_NE(pData, nullptr);
    ASSERT_EQ(rcacheNetBuf_Resize(&set, 3, FALSE), MOS_RC__SUCCESS);
    expectEveryPoolHas(3);
    // Pair 0 still drains the memory the block came from.
    EXPECT_EQ(rcacheNetBuf_Resize(&set, 4, FALSE), MOS_RC__BUSY);
    expectEveryPoolHas(3);
    rcacheNetBuf_Free(&set, pData, pDif, 8);
    EXPECT_EQ(rcacheNetBuf_Resize(&set, 4, FALSE), MOS_RC__SUCCESS);
    expectEveryPoolHas(4);

    EXPECT_EQ(rcacheNetBuf_Resize(&set, 0, FALSE), MOS_RC__INVALID_ARG);
    EXPECT_EQ(rcacheNetBuf_Resize(&set, 70000, FALSE), MOS_RC__INVALID_ARG);
    expectEveryPoolHas(4);
}
// With a real messaging object: how often reception is paused and resumed.
class NetBufWithNet : public NetBuf {
  protected:
    static void countToggle(void *pArg) { (*static_cast<int *>(pArg))++; }
    void SetUp() override
    {
        NetBuf::SetUp();
        NetCallback cb;
        net_InitEmptyNetCallback(&cb);
        cb.pOnNetPausedToggleFunc = countToggle;
        cb.pOnNetPausedToggleArg = &toggles;
        pNet = netTest_Create(nullptr, &cb);
        init(TRUE, &pNet->net);
    }
    void TearDown() override
    {
        rcacheNetBuf_Destroy(&set);
        netTest_Destroy(pNet);
        NetBuf::TearDown();
    }
    bool paused() { return net_IsPaused(&pNet->net) != FALSE; }
    std::unique_ptr<NetForTest> pNet;
    int toggles = 0;
};

TEST_F(NetBufWithNet, AllocationPastTheLastBlockPausesReceptionOnceAndAFreeResumesIt)
{
    std::vector<std::pair<void *, void *>> out;
    for (UINT32 n = 0; n < 768; n++) {
        void *pDif = nullptr;
        void *pData = rcacheNetBuf_Allocate(&set, 8, FALSE, &pDif);
        ASSERT_NE(pData, nullptr) << n;
        out.emplace_back(pData, pDif);
    }
    EXPECT_FALSE(paused());
    void *pDif = (void *)1;
    EXPECT_EQ(rcacheNetBuf_Allocate(&set, 8, FALSE, &pDif), nullptr);
    EXPECT_TRUE(paused());
    EXPECT_EQ(toggles, 1);
    EXPECT_EQ(rcacheNetBuf_Allocate(&set, 32, FALSE, nullptr), nullptr);
    EXPECT_EQ(toggles, 1) << "a further refusal does not pause again";
    RcacheNetBufQuery q = query();
    EXPECT_EQ(q.numOfCacheFull, 1u);
    EXPECT_EQ(q.numOfFailedReq, 2u);
    EXPECT_EQ(q.perPoolNumOfCacheFull[0], 1u);
    EXPECT_EQ(q.perPoolNumOfFailedReq[0], 2u);
    EXPECT_EQ(q.numOfAllocations, 768u);
    EXPECT_EQ(q.currentAllocatedInLbs, 768u * 8u);

    // Another pair neither refuses nor resumes.
    void *pOther = rcacheNetBuf_Allocate(&set, 33, FALSE, nullptr);
    ASSERT_NE(pOther, nullptr);
    rcacheNetBuf_Free(&set, pOther, nullptr, 33);
    EXPECT_TRUE(paused());

    rcacheNetBuf_Free(&set, out.back().first, out.back().second, 8);
    out.pop_back();
    EXPECT_FALSE(paused());
    EXPECT_EQ(toggles, 2);
    void *pAgain = rcacheNetBuf_Allocate(&set, 8, FALSE, &pDif);
    ASSERT_NE(pAgain, nullptr);
    out.emplace_back(pAgain, pDif);
    for (auto &b : out)
        rcacheNetBuf_Free(&set, b.first, b.second, 8);
    EXPECT_EQ(toggles, 2);
    EXPECT_EQ(query().numOfAllocations, 0u);
    rcacheNetBuf_SelfTestMemPoolState(&set, FALSE);
}

// A DIF pool found empty (as one that diverged from its data pool would be) refuses like an
// empty data pool, keeps the data block, and the DIF block's return resumes reception.
TEST_F(NetBufWithNet, EmptyDifPoolIsARefusalAndItsReturnResumesReception)
{
    std::vector<void *> difs;
    for (void *p; mosMemPool_AllocNoWait(&pair(2).difPool, &p) == MOS_RC__SUCCESS;)
        difs.push_back(p);
    const UINT32 freeData = mosMemPool_GetNumOfFreeEntries(&pair(2).dataPool);
    void *pDif = nullptr;
    EXPECT_EQ(rcacheNetBuf_Allocate(&set, 300, FALSE, &pDif), nullptr);
    EXPECT_EQ(pDif, nullptr);
    EXPECT_EQ(mosMemPool_GetNumOfFreeEntries(&pair(2).dataPool), freeData) << "the data block went back";
    EXPECT_TRUE(paused());
    EXPECT_EQ(query().perPoolNumOfFailedReq[2], 1u);

    EXPECT_EQ(rcacheNetBuf_FreeDIF(&set, nullptr, 300), MOS_RC__INVALID_ARG);
    EXPECT_TRUE(paused());
    EXPECT_EQ(rcacheNetBuf_FreeDIF(&set, difs.back(), 300), MOS_RC__SUCCESS);
    difs.pop_back();
    EXPECT_FALSE(paused());
    EXPECT_EQ(toggles, 2);
    for (void *p : difs)
        mosMemPool_Free(&pair(2).difPool, p);
}
} // namespace

