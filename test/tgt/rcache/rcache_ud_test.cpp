// The read cache's memory: page bit runs, free-run buckets, freeing with merges, block demotion
// against readers, and the T10-DIF area with its coalescing pool.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "mos/umt/mos_umt_sched_thrd.h"
#include "test/support/panic_expect.h"
#include "test/support/tgt_test_support.h"
#include "tgt/rcache/rcache_bits.h"
#include "tgt/rcache/rcache_dif.h"
#include "tgt/rcache/rcache_ud.h"
#include "tgt/rcache/rcache_ud_intrn.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

using Runs = std::vector<std::pair<int, int>>;

Runs calc(UINT32 bytes)
{
    RcacheBits_Seq seqs[RCACHE_BITS__MAX_SEQS];
    UINT32 n = 99;
    rcacheBits_CalcSeqIn4BytesBuf(reinterpret_cast<const UINT8 *>(&bytes), seqs, &n);
    Runs out;
    for (UINT32 i = 0; i < n; i++)
        out.emplace_back(seqs[i].start, seqs[i].length);
    return out;
}

// Page i is bit (7 - i mod 8) of byte i/8.
Runs naive(UINT32 bytes)
{
    Runs out;
    for (UINT32 p = 0; p < 32;) {
        if ((bytes & rcacheUd_PageMask(p)) == 0) {
            p++;
            continue;
        }
        const UINT32 first = p;
        while (p < 32 && (bytes & rcacheUd_PageMask(p)) != 0)
            p++;
        out.emplace_back(first, p - first);
    }
    return out;
}

UINT32 fromBytes(UINT8 b0, UINT8 b1, UINT8 b2, UINT8 b3)
{
    UINT8 b[4] = {b0, b1, b2, b3};
    UINT32 v;
    memcpy(&v, b, 4);
    return v;
}

TEST(BitRuns, RunsJoinAcrossBytesAndMatchAPlainScan)
{
    struct Case {
        UINT8 b[4];
        Runs want;
    };
    Runs alternate;
    for (int p = 0; p < 32; p += 2)
        alternate.emplace_back(p, 1);
    const Case cases[] = {
        {{0x0F, 0xFF, 0xF0, 0x00}, {{4, 16}}},
        {{0xFF, 0xFF, 0xFF, 0xFF}, {{0, 32}}},
        {{0x00, 0x00, 0x00, 0x00}, {}},
        {{0xAA, 0xAA, 0xAA, 0xAA}, alternate},
        {{0x80, 0x00, 0x00, 0x01}, {{0, 1}, {31, 1}}},
        {{0x7E, 0x01, 0x80, 0x3C}, {{1, 6}, {15, 2}, {26, 4}}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(calc(fromBytes(c.b[0], c.b[1], c.b[2], c.b[3])), c.want)
            << std::hex << (int)c.b[0] << " " << (int)c.b[1] << " " << (int)c.b[2] << " " << (int)c.b[3];
    EXPECT_EQ(setBitsSequenceInByte[0xFF][3], 0xB8);
    std::mt19937 rng(21);
    for (int i = 0; i < 20000; i++) {
        const UINT32 v = rng() & rng(); // sparser and denser patterns both
        ASSERT_EQ(calc(v), naive(v)) << std::hex << v;
    }
}

class UserData : public ::testing::Test {
  protected:
    static void countDemote(Rcache_MdDS *) { demotes_G++; }
    void SetUp() override
    {
        tgtConf_SetDefaults();
        demotes_G = 0;
        ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "ud", 1, 1, 4), MOS_RC__SUCCESS);
        rcacheUd_Init(&ud, countDemote);
    }
    void TearDown() override
    {
        rcacheUd_Destroy(&ud);
        mosUmtSchedThrd_Destroy(&sched);
    }
    Mos_RC resize(UINT64 sizeInLb)
    {
        Mos_RC rc = MOS_RC__ERROR;
        umtTest_RunAsUmt([&] { rc = rcacheUd_ChangeSize(nullptr, &ud, sizeInLb); }, &sched.base);
        return rc;
    }
    UINT8 *alloc(UINT32 sizeInLb) { return static_cast<UINT8 *>(rcacheUd_AllocBuffer(&ud, nullptr, sizeInLb)); }
    UINT32 runs(UINT32 bucket) { return rcacheUd_NumOfRunsInBucket(&ud, bucket); }
    static inline int demotes_G = 0;
    MosUmt_SchedThrd sched;
    Rcache_UdDS ud;
};

TEST_F(UserData, FreshCacheHasEveryBlockInTheLastBucketAndSplitsTheFirstRun)
{
    ASSERT_EQ(resize(262144), MOS_RC__SUCCESS); // 128 MB
    EXPECT_EQ(ud.numOfUdBlocks, 1024u);
    EXPECT_EQ(runs(31), 1024u);
    UINT8 *p = alloc(8);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ((uintptr_t)p % 4096, 0u);
    EXPECT_EQ((p - ud.pUdBlocks) % RCACHE_UD__BLOCK_SIZE_IN_BYTES, 0) << "the run's first page";
    EXPECT_EQ(runs(31), 1023u);
    EXPECT_EQ(runs(30), 1u);
    EXPECT_EQ(ud.counters.sizeInUseInLb, 8u);
    EXPECT_EQ(ud.counters.noEvictionCount, 1u);
    p[0] = 1; // the memory is ours
    EXPECT_EQ(resize(0), MOS_RC__SUCCESS);
    EXPECT_EQ(ud.pUdBlocks, nullptr);
}

TEST_F(UserData, FreeingMergesNeighbourRunsAndAStaleCounterChangesNothing)
{
    ASSERT_EQ(resize(256), MOS_RC__SUCCESS); // one block
    UINT8 *a = alloc(64);                     // pages 0-7
    UINT8 *b = alloc(8);                      // page 8
    UINT8 *c = alloc(128);                    // pages 9-24
    UINT8 *d = alloc(56);                     // pages 25-31
    ASSERT_TRUE(a && b && c && d);
    EXPECT_EQ(b - a, 8 * 4096);
    EXPECT_EQ(c - a, 9 * 4096);
    EXPECT_EQ(d - a, 25 * 4096);
    EXPECT_EQ(alloc(8), nullptr) << "the block is in use";
    EXPECT_EQ(ud.counters.skipCountCacheAllBusy, 1u);
    EXPECT_EQ(demotes_G, 1) << "the metadata's demotion ran first";
    const UINT32 counter = rcacheUd_GetValidityCounter(&ud, a);

    ASSERT_EQ(rcacheUd_FreeBuffer(&ud, a, 64, counter), MOS_RC__SUCCESS);
    ASSERT_EQ(rcacheUd_FreeBuffer(&ud, c, 128, counter), MOS_RC__SUCCESS);
    EXPECT_EQ(runs(7), 1u);
    EXPECT_EQ(runs(15), 1u);
    EXPECT_EQ(rcacheUd_FreeBuffer(&ud, b, 8, counter + 1), MOS_RC__NOT_FOUND);
    EXPECT_EQ(rcacheUd_FreeBuffer(&ud, a, 64, counter), MOS_RC__NOT_FOUND) << "already free";
    EXPECT_EQ(ud.counters.sizeInUseInLb, 64u);
    EXPECT_EQ(runs(7), 1u);
    EXPECT_EQ(runs(15), 1u);

    ASSERT_EQ(rcacheUd_FreeBuffer(&ud, b, 8, counter), MOS_RC__SUCCESS);
    EXPECT_EQ(runs(7), 0u);
    EXPECT_EQ(runs(15), 0u);
    EXPECT_EQ(runs(24), 1u);
    EXPECT_EQ(ud.pUdMd[0].freeBitmap, rcacheUd_RangeMask(0, 25));
    EXPECT_EQ(alloc(200), a) << "the merged run serves 25 pages";
}

// A block is demoted only while nobody uses it, and a reader cannot take a use of a block that
// a demotion holds, so no reader is ever served a recycled block.
TEST_F(UserData, BlockDemotionSkipsHeldBlocksAndTurnsReadersAway)
{
    ASSERT_EQ(resize(512), MOS_RC__SUCCESS); // two blocks
    UINT8 *b0 = alloc(256);
    UINT8 *b1 = alloc(256);
    ASSERT_TRUE(b0 && b1);
    UINT8 *held = b0 < b1 ? b0 : b1;
    UINT8 *other = b0 < b1 ? b1 : b0;
    rcacheUd_CompleteBufferUsage(&ud, other); // only the reader's use of "held" is left
    const UINT32 heldCounter = rcacheUd_GetValidityCounter(&ud, held);
    const UINT32 otherCounter = rcacheUd_GetValidityCounter(&ud, other);
    for (int round = 0; round < 8; round++) {
        UINT8 *p = alloc(64);
        ASSERT_EQ(p, other) << "round " << round;
        EXPECT_EQ(rcacheUd_GetValidityCounter(&ud, held), heldCounter);
        EXPECT_EQ(rcacheUd_GetValidityCounter(&ud, other), otherCounter + 1 + round);
        // The remainder of the demoted block is free; take it so the next round must demote.
        ASSERT_NE(alloc(192), nullptr);
        rcacheUd_CompleteBufferUsage(&ud, p);
        rcacheUd_CompleteBufferUsage(&ud, p + 8 * 4096);
    }
    EXPECT_EQ(ud.counters.bigBlockEvictionCount, 8u);
    EXPECT_EQ(ud.counters.entryEvictionCountInLb, 8u * 256u);
    EXPECT_EQ(ud.counters.sizeInUseInLb, 512u);

    ud.pUdMd[(other - ud.pUdBlocks) / RCACHE_UD__BLOCK_SIZE_IN_BYTES].inProgressRefCnt = RCACHE_UD__DEMOTING_REF;
    EXPECT_FALSE(rcacheUd_IncreaseBufferUsage(&ud, other + 4096));
    EXPECT_EQ(ud.pUdMd[(other - ud.pUdBlocks) / RCACHE_UD__BLOCK_SIZE_IN_BYTES].inProgressRefCnt,
              RCACHE_UD__DEMOTING_REF);
    ud.pUdMd[(other - ud.pUdBlocks) / RCACHE_UD__BLOCK_SIZE_IN_BYTES].inProgressRefCnt = 0;
    EXPECT_TRUE(rcacheUd_IncreaseBufferUsage(&ud, held));
    rcacheUd_CompleteBufferUsage(&ud, held);
    rcacheUd_CompleteBufferUsage(&ud, held);
    rcacheUd_SelfTest(&ud, TGT_RCACHE_SELF_TEST_CMD__ALL_REF_COUNT_ZERO);
    EXPECT_PANIC(rcacheUd_CompleteBufferUsage(&ud, held), "before & ~");
}

TEST_F(UserData, OnlyOneThreadDemotesTheOthersGiveUp)
{
    ASSERT_EQ(resize(256), MOS_RC__SUCCESS);
    ASSERT_NE(alloc(256), nullptr);
    ud.demoteFlag = 1;
    EXPECT_EQ(alloc(8), nullptr);
    EXPECT_EQ(demotes_G, 0);
    EXPECT_EQ(ud.counters.skipCountCacheAllBusy, 0u);
    EXPECT_EQ(ud.demoteFlag, 1u);
    ud.demoteFlag = 0;
    EXPECT_PANIC(rcacheUd_SelfTest(&ud, TGT_RCACHE_SELF_TEST_CMD__ALL_REF_COUNT_ZERO),
                     "!\\(pUd->pUdMd\\[i\\].inProgressRefCnt != 0\\)");
}

TEST_F(UserData, PurgeFreesEveryPageAndMakesOldPointersStale)
{
    ASSERT_EQ(resize(512), MOS_RC__SUCCESS);
    UINT8 *p = alloc(16);
    const UINT32 counter = rcacheUd_GetValidityCounter(&ud, p);
    rcacheUd_Purge(&ud);
    EXPECT_EQ(ud.counters.sizeInUseInLb, 0u);
    EXPECT_EQ(runs(31), 2u);
    EXPECT_EQ(rcacheUd_FreeBuffer(&ud, p, 16, counter), MOS_RC__NOT_FOUND);
}

TEST(CacheDifArea, AreaHasTwoBytesPerLbAndTheCoalescingPoolRefusesWhenEmpty)
{
    tgtConf_SetDefaults();
    tgtInitParam_G.netParam.maxRcvMsg = 1000;
    CacheDif dif;
    rcacheDif_Init(&dif);
    ASSERT_EQ(rcacheDif_ChangeSize(&dif, 262144), MOS_RC__SUCCESS);
    EXPECT_EQ(dif.sizeToAlloc, 512u * 1024u);
    EXPECT_EQ(rcacheDif_GetDifBufIndexPtr(&dif, 262143), reinterpret_cast<T10Dif *>(dif.pDifBuf + 2 * 262143));
    EXPECT_PANIC(rcacheDif_GetDifBufIndexPtr(&dif, 262144), "index >= ");
    EXPECT_EQ(rcacheDif_ChangeSize(&dif, 100), MOS_RC__SUCCESS);
    EXPECT_EQ(dif.sizeToAlloc, 4096u) << "rounded up to a page";

    std::vector<void *> out;
    EXPECT_FALSE(rcacheDif_IsT10DifCoalesceUsed(&dif));
    for (int i = 0; i < 1000; i++) {
        out.push_back(rcacheDif_AllocT10DifBufForReadHitCoalescing(&dif));
        ASSERT_NE(out.back(), nullptr);
    }
    EXPECT_EQ(rcacheDif_AllocT10DifBufForReadHitCoalescing(&dif), nullptr);
    EXPECT_TRUE(rcacheDif_IsT10DifCoalesceUsed(&dif));
    for (void *p : out)
        rcacheDif_FreeT10DifBufReadHitCoalescing(&dif, p);
    EXPECT_FALSE(rcacheDif_IsT10DifCoalesceUsed(&dif));
    rcacheDif_Finit(&dif);
    tgtConf_SetDefaults();
}
} // namespace
