// The read cache's metadata: segments across device blocks, page-wide invalidation, device
// identity and generation, full buckets, coalesced guards, obfuscated entries and demotion.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "mos/umt/mos_umt_sched_thrd.h"
#include "test/support/tgt_test_support.h"
#include "tgt/rcache/rcache_md.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

constexpr UINT64 kDev = 0x1234567800010005ull;

class Metadata : public ::testing::Test {
  protected:
    void SetUp() override
    {
        tgtConf_SetDefaults();
        tgtInitParam_G.netParam.maxRcvMsg = 1000;
        ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "md", 1, 1, 4), MOS_RC__SUCCESS);
        rcacheMd_Init(&md);
        resize(262144); // 128 MB: 1024 buckets
    }
    void TearDown() override
    {
        EXPECT_EQ(md.counters.inProgressCountInLb, 0u) << "a reference was left behind";
        rcacheUd_SelfTest(&md.ud, TGT_RCACHE_SELF_TEST_CMD__ALL_REF_COUNT_ZERO);
        rcacheMd_Destroy(&md);
        mosUmtSchedThrd_Destroy(&sched);
        tgtConf_SetDefaults();
    }
    void resize(UINT64 sizeInLb)
    {
        Mos_RC rc = MOS_RC__ERROR;
        umtTest_RunAsUmt([&] { rc = rcacheMd_ChangeSize(nullptr, &md, sizeInLb); }, &sched.base);
        ASSERT_EQ(rc, MOS_RC__SUCCESS);
    }
    // Inserts sizeInLb at lba filled with fill; the inserter keeps its hold unless bRelease.
    Mos_RC insert(UINT64 lba, UINT32 sizeInLb, UINT8 fill, UINT64 dev = kDev, UINT16 gen = 1, bool bRelease = true,
                  BOOL bObfuscated = FALSE, UINT8 **ppBuf = nullptr)
    {
        UINT8 *p = static_cast<UINT8 *>(rcacheMd_AllocBuffer(&md, sizeInLb));
        EXPECT_NE(p, nullptr);
        if (p == nullptr)
            return MOS_RC__ERROR;
        memset(p, fill, (size_t)sizeInLb * 512);
        Mos_RC rc = rcacheMd_InsertData(&md, dev, gen, lba, sizeInLb, p, FALSE, bObfuscated);
        if (rc != MOS_RC__SUCCESS) {
            rcacheMd_FreeBuffer(&md, p, sizeInLb, TRUE);
            return rc;
        }
        if (ppBuf != nullptr)
            *ppBuf = p;
        if (bRelease)
            release(lba, sizeInLb, p, dev);
        return rc;
    }
    void release(UINT64 lba, UINT32 sizeInLb, UINT8 *p, UINT64 dev = kDev)
    {
        NetSmallIov iov;
        NET_IOV__INIT(&iov);
        netIov_AddBuffer(&iov, p, sizeInLb * 512, RCACHE_MD__BUF_TYPE_RCACHE);
        rcacheMd_CompleteBufferUsage(&md, dev, 1, lba, sizeInLb, &iov);
        netIov_Destroy(&iov);
    }
    struct Hit {
        Mos_RC rc;
        std::vector<UINT8> data;
        std::vector<UINT8> dif;
        UINT32 numBuffers;
        BOOL bCoalesced;
    };
    // Reads and gives the references back; bHold keeps them (the caller releases).
    Hit read(UINT64 lba, UINT32 sizeInLb, bool bDif = false, UINT64 dev = kDev, UINT16 gen = 1, UINT64 key = 0,
             NetSmallIov *pHeld = nullptr)
    {
        NetSmallIov iov, difIov;
        NET_IOV__INIT(&iov);
        NET_IOV__INIT(&difIov);
        RdIoFlags flags{};
        flags.bT10Dif = bDif ? 1 : 0;
        Hit h{};
        h.rc = rcacheMd_RetrieveData(&md, dev, gen, lba, sizeInLb, key, &iov, &difIov, flags, &h.bCoalesced);
        h.numBuffers = iov.numOfUsedBuffers;
        for (UINT32 k = 0; k < iov.numOfUsedBuffers; k++) {
            UINT8 *p = static_cast<UINT8 *>(iov.buf[k].iov_base);
            h.data.insert(h.data.end(), p, p + iov.buf[k].iov_len);
        }
        for (UINT32 k = 0; k < difIov.numOfUsedBuffers; k++) {
            UINT8 *p = static_cast<UINT8 *>(difIov.buf[k].iov_base);
            h.dif.insert(h.dif.end(), p, p + difIov.buf[k].iov_len);
        }
        if (h.rc == MOS_RC__SUCCESS) {
            if (h.bCoalesced)
                rcacheDif_FreeT10DifBufReadHitCoalescing(&md.dif, difIov.buf[0].iov_base);
            if (pHeld != nullptr)
                netIov_Copy(pHeld, &iov);
            else
                rcacheMd_CompleteBufferUsage(&md, dev, gen, lba, sizeInLb, &iov);
        } else {
            EXPECT_EQ(iov.numOfUsedBuffers, 0u);
        }
        netIov_Destroy(&iov);
        netIov_Destroy(&difIov);
        return h;
    }
    UINT32 entries()
    {
        UINT32 n = 0;
        for (UINT32 c : md.counters.entryCount)
            n += c;
        return n;
    }
    MosUmt_SchedThrd sched;
    Rcache_MdDS md;
};

TEST_F(Metadata, ReadAcrossTwoDeviceBlocksHitsOnlyWhenBothSegmentsAreCached)
{
    ASSERT_EQ(insert(248, 16, 0x5A), MOS_RC__SUCCESS);
    EXPECT_EQ(entries(), 2u) << "one entry per 256-LB device block";
    EXPECT_EQ(md.counters.entryCount[0], 2u);
    Hit h = read(248, 16, true);
    ASSERT_EQ(h.rc, MOS_RC__SUCCESS);
    EXPECT_EQ(h.numBuffers, 2u);
    EXPECT_EQ(h.data, std::vector<UINT8>(16 * 512, 0x5A));
    EXPECT_TRUE(h.bCoalesced);
    std::vector<T10Dif> want(16);
    mosT10Dif_GenT10DIF(h.data.data(), want.data(), 0, 0, 0, 16);
    ASSERT_EQ(h.dif.size(), 32u);
    EXPECT_EQ(memcmp(h.dif.data(), want.data(), 32), 0);
    EXPECT_EQ(rcacheDif_IsT10DifCoalesceUsed(&md.dif), FALSE);
    Hit one = read(256, 8, true);
    EXPECT_EQ(one.rc, MOS_RC__SUCCESS);
    EXPECT_FALSE(one.bCoalesced);
    EXPECT_EQ(one.dif.size(), 16u);

    rcacheMd_Invalidate(&md, kDev, 1, 256, 8);
    EXPECT_EQ(read(248, 16).rc, MOS_RC__NOT_FOUND);
    EXPECT_EQ(read(248, 8).rc, MOS_RC__SUCCESS);
}

TEST_F(Metadata, InvalidatedMiddlePageSplitsWhatStillHits)
{
    ASSERT_EQ(insert(0, 32, 0x11), MOS_RC__SUCCESS);
    rcacheMd_Invalidate(&md, kDev, 1, 8, 8);
    EXPECT_EQ(read(0, 8).rc, MOS_RC__SUCCESS);
    EXPECT_EQ(read(16, 16).rc, MOS_RC__SUCCESS);
    EXPECT_EQ(read(0, 32).rc, MOS_RC__NOT_FOUND);
    rcacheMd_Invalidate(&md, kDev, 1, 0, 32);
    EXPECT_EQ(entries(), 0u) << "no valid page left and nobody holds it";
}

// Matching is on the whole device identity and its generation.
TEST_F(Metadata, OtherDevicesAndOldGenerationsAreNeverServed)
{
    const UINT64 sameHighHalf = 0x1234567800020005ull; // same bucket, same high 32 bits
    ASSERT_EQ(insert(64, 8, 0xAB), MOS_RC__SUCCESS);
    EXPECT_EQ(read(64, 8, false, sameHighHalf).rc, MOS_RC__NOT_FOUND);
    EXPECT_EQ(read(64, 8).rc, MOS_RC__SUCCESS);
    EXPECT_EQ(read(64, 8, false, kDev, 2).rc, MOS_RC__NOT_FOUND);
    EXPECT_EQ(entries(), 0u) << "the old generation's entry is freed when met";
}

TEST_F(Metadata, NewerInsertDropsOverlappedPagesAndHeldEntriesLiveUntilReleased)
{
    ASSERT_EQ(insert(16, 8, 0x01), MOS_RC__SUCCESS);
    ASSERT_EQ(insert(0, 32, 0x02), MOS_RC__SUCCESS);
    EXPECT_EQ(entries(), 1u);
    Hit h = read(16, 8);
    ASSERT_EQ(h.rc, MOS_RC__SUCCESS);
    EXPECT_EQ(h.data[0], 0x02);

    NetSmallIov held;
    NET_IOV__INIT(&held);
    ASSERT_EQ(read(0, 32, false, kDev, 1, 0, &held).rc, MOS_RC__SUCCESS);
    rcacheMd_Invalidate(&md, kDev, 1, 0, 32);
    EXPECT_EQ(entries(), 1u) << "a reader holds it";
    EXPECT_EQ(read(0, 8).rc, MOS_RC__NOT_FOUND);
    rcacheMd_CompleteBufferUsage(&md, kDev, 1, 0, 32, &held);
    netIov_Destroy(&held);
    EXPECT_EQ(entries(), 0u) << "the release freed it";
}

TEST_F(Metadata, BucketOfHeldEntriesRefusesAnInsertUntilOneIsReleased)
{
    const UINT64 stride = (UINT64)md.numOfHashEntries * 256; // the same bucket again
    std::vector<UINT8 *> bufs(32);
    for (UINT32 j = 0; j < 32; j++)
        ASSERT_EQ(insert(j * stride, 8, (UINT8)j, kDev, 1, false, FALSE, &bufs[j]), MOS_RC__SUCCESS) << j;
    const UINT64 inUse = md.ud.counters.sizeInUseInLb;
    EXPECT_EQ(insert(32 * stride, 8, 0xEE), MOS_RC__NOT_FOUND);
    EXPECT_EQ(md.ud.counters.sizeInUseInLb, inUse) << "the refused buffer went back";
    release(5 * stride, 8, bufs[5]);
    EXPECT_EQ(insert(32 * stride, 8, 0xEE), MOS_RC__SUCCESS);
    EXPECT_EQ(md.counters.mdEntryEvictionCount, 1u);
    EXPECT_EQ(read(5 * stride, 8).rc, MOS_RC__NOT_FOUND) << "the released entry made room";
    for (UINT32 j = 0; j < 32; j++)
        if (j != 5)
            release(j * stride, 8, bufs[j]);
}

// A hit of several pieces with no coalescing buffer left is a miss, so the read goes to the
// device; it keeps no reference.
TEST_F(Metadata, NoCoalescingBufferTurnsAHitIntoAMiss)
{
    ASSERT_EQ(insert(248, 16, 0x33), MOS_RC__SUCCESS);
    std::vector<void *> taken;
    for (void *p; (p = rcacheDif_AllocT10DifBufForReadHitCoalescing(&md.dif)) != nullptr;)
        taken.push_back(p);
    EXPECT_EQ(read(248, 16, true).rc, MOS_RC__NOT_FOUND);
    EXPECT_EQ(read(248, 16, false).rc, MOS_RC__SUCCESS) << "without guards nothing is coalesced";
    for (void *p : taken)
        rcacheDif_FreeT10DifBufReadHitCoalescing(&md.dif, p);
    EXPECT_EQ(read(248, 16, true).rc, MOS_RC__SUCCESS);
}

TEST_F(Metadata, ObfuscatedEntryIsDecodedOnItsFirstHitOnlyWhenNobodyElseHoldsIt)
{
    const UINT64 key = 0x0102030405060708ull;
    UINT8 *p = nullptr;
    ASSERT_EQ(insert(512, 8, 0x00, kDev, 1, false, TRUE, &p), MOS_RC__SUCCESS);
    // Stored form: zeros XOR key.
    for (UINT32 off = 0; off < 8 * 512; off += 8)
        memcpy(p + off, &key, 8);
    EXPECT_EQ(read(512, 8, false, kDev, 1, key).rc, MOS_RC__NOT_FOUND) << "the inserter still holds the stored form";
    release(512, 8, p);
    Hit h = read(512, 8, true, kDev, 1, key);
    ASSERT_EQ(h.rc, MOS_RC__SUCCESS);
    EXPECT_EQ(h.data, std::vector<UINT8>(8 * 512, 0));
    std::vector<T10Dif> want(8);
    mosT10Dif_GenT10DIF(h.data.data(), want.data(), 0, 0, 0, 8);
    EXPECT_EQ(memcmp(h.dif.data(), want.data(), 16), 0) << "guards follow the decoded data";
    EXPECT_EQ(read(512, 8, false, kDev, 1, key).data, std::vector<UINT8>(8 * 512, 0)) << "decoded once";
}

// A demotion frees the least recently used entries that nobody holds, up to 512 LB.
TEST_F(Metadata, FullMemoryDemotesLeastRecentlyUsedEntries)
{
    resize(1024); // four blocks of memory
    for (UINT32 j = 0; j < 16; j++)
        ASSERT_EQ(insert(j * 64, 64, (UINT8)j), MOS_RC__SUCCESS) << j;
    EXPECT_EQ(md.ud.counters.sizeInUseInLb, 1024u);
    ASSERT_EQ(read(0, 64).rc, MOS_RC__SUCCESS); // entry 0 becomes the most recent
    ASSERT_EQ(insert(4096, 64, 0x77), MOS_RC__SUCCESS);
    EXPECT_EQ(md.ud.counters.entryEvictionCount, 8u);
    EXPECT_EQ(md.ud.counters.entryEvictionCountInLb, 512u);
    EXPECT_EQ(read(0, 64).rc, MOS_RC__SUCCESS) << "recently read, kept";
    for (UINT32 j = 1; j <= 8; j++)
        EXPECT_EQ(read(j * 64, 64).rc, MOS_RC__NOT_FOUND) << j;
    for (UINT32 j = 9; j < 16; j++)
        EXPECT_EQ(read(j * 64, 64).data, std::vector<UINT8>(64 * 512, (UINT8)j)) << j;
    EXPECT_EQ(read(4096, 64).data, std::vector<UINT8>(64 * 512, 0x77));
}
} // namespace
