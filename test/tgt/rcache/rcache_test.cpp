// The read cache's top level: the size rule against node RAM, devices and deferred jobs, the skip
// rule, data-path refusals and page-wide invalidation, and state reports to the Ostrel.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "mos/mos_utils_mem.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "test/support/tgt_test_support.h"
#include "tgt/rcache/rcache.h"
#include "tgt/rcache/rcache_intrn.h"
#include "tgt/rcache/rcache_md_intrn.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

constexpr UINT64 kDev = 0x00000ABC00000007ull;
constexpr UINT64 kOtherDev = 0x00000ABD00000008ull;
constexpr UINT64 kMinLb = RCACHE__MIN_CACHE_SIZE_IN_LB;

// The Ostrel's side of the link: records every report, may hold one in flight or refuse.
struct FakeOstrel {
    struct Report {
        UINT32 msgType, grpId;
        OstrelTgtReq_UpdateTgtState req;
    };
    std::mutex mu;
    std::vector<Report> reports;
    std::atomic<bool> bHold{false};
    std::atomic<bool> bHeld{false};
    std::atomic<Mos_RC> rc{MOS_RC__SUCCESS};

    static Mos_RC send(void *pCtx, UINT32 msgType, UINT32 grpId, const void *pPayload, UINT32 len)
    {
        FakeOstrel *self = static_cast<FakeOstrel *>(pCtx);
        EXPECT_EQ(len, sizeof(OstrelTgtReq_UpdateTgtState));
        Report r{msgType, grpId, {}};
        memcpy(&r.req, pPayload, sizeof(r.req));
        {
            std::lock_guard<std::mutex> lock(self->mu);
            self->reports.push_back(r);
        }
        self->bHeld = self->bHold.load();
        while (self->bHold)
            usleep(1000);
        self->bHeld = false;
        return self->rc.load();
    }
    static UINT64 tgtId(void *) { return 0x7E57; }
    size_t count()
    {
        std::lock_guard<std::mutex> lock(mu);
        return reports.size();
    }
    UINT32 lastState()
    {
        std::lock_guard<std::mutex> lock(mu);
        return reports.empty() ? 99u : reports.back().req.cacheMemState;
    }
};

class CacheTop : public ::testing::Test {
  protected:
    void SetUp() override
    {
        tgtConf_SetDefaults();
        tgtInitParam_G.netParam.maxRcvMsg = 1000;
        ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "rcache", 4, 4, 4), MOS_RC__SUCCESS);
        mosUmtMgr_SetDefaults(&sched.base, nullptr); // the cache's jobs run here
        rcache_Init(&cache, nullptr);
        Rcache_ContHooks hooks{};
        hooks.pSendRequest = FakeOstrel::send;
        hooks.pGetTgtId = FakeOstrel::tgtId;
        hooks.pCtx = &ostrel;
        rcache_SetContHooks(&cache, &hooks);
    }
    void TearDown() override
    {
        ostrel.bHold = false;
        idle();
        EXPECT_EQ(cache.inProgCount, 0u);
        rcache_SelfTest(&cache, TGT_RCACHE_SELF_TEST_CMD__ALL_REF_COUNT_ZERO);
        rcache_Destroy(&cache);
        mosUmtMgr_SetDefaults(mosUmtMgr_GetForeignSched(), nullptr);
        mosUmtSchedThrd_Destroy(&sched);
        tgtConf_SetDefaults();
    }
    // No job or report running. A job is uncounted before it starts its report, so its thread must
    // have returned too; that is read first, so no report it starts can follow a zero report count.
    void idle()
    {
        ASSERT_TRUE(umtTest_WaitFor([&] {
            MosFastlockGuard guard(&cache.fastlock);
            return std::atomic_ref<UINT32>(cache.liveJobThreads).load() == 0 && cache.asyncCount == 0 &&
                   std::atomic_ref<UINT32>(cache.updateOstrelCount).load() == 0;
        }));
    }
    // A created cache of 128 MB with kDev on it.
    void created()
    {
        ASSERT_EQ(rcache_ChangeSize(&cache, kMinLb), MOS_RC__SUCCESS);
        rcache_AddDevice(&cache, kDev, FALSE);
        idle();
        ASSERT_TRUE(cache.bCreated);
    }
    template <typename F> void asUmt(F fn) { umtTest_RunAsUmt(fn, &sched.base); }

    // Inserts sizeInLb at lba filled with fill and releases it; returns the insert's code.
    Mos_RC insert(UINT64 lba, UINT32 sizeInLb, UINT8 fill, UINT64 dev = kDev, UINT16 gen = 1)
    {
        void *p = rcache_AllocBuffer(&cache, sizeInLb, nullptr);
        if (p == nullptr)
            return MOS_RC__NO_RESOURCES;
        memset(p, fill, (size_t)sizeInLb * 512);
        const Mos_RC rc = rcache_InsertData(&cache, dev, gen, lba, sizeInLb, p, FALSE, FALSE);
        if (rc != MOS_RC__SUCCESS) {
            rcache_FreeBuffer(&cache, p, sizeInLb, TRUE);
            return rc;
        }
        release(lba, sizeInLb, p, dev, gen);
        return rc;
    }
    void release(UINT64 lba, UINT32 sizeInLb, void *p, UINT64 dev = kDev, UINT16 gen = 1)
    {
        NetSmallIov iov;
        NET_IOV__INIT(&iov);
        netIov_AddBuffer(&iov, p, sizeInLb * 512, RCACHE_MD__BUF_TYPE_RCACHE);
        rcache_CompleteBufferUsage(&cache, dev, gen, lba, sizeInLb, &iov);
        netIov_Destroy(&iov);
    }
    // Retrieves; on a hit the references are kept in pHeld or released at once.
    Mos_RC retrieve(UINT64 lba, UINT32 sizeInLb, UINT64 dev = kDev, NetSmallIov *pHeld = nullptr, UINT16 gen = 1)
    {
        NetSmallIov iov, dif;
        NET_IOV__INIT(&iov);
        NET_IOV__INIT(&dif);
        BOOL bCoalesced = FALSE;
        const Mos_RC rc =
            rcache_RetrieveData(&cache, dev, gen, lba, sizeInLb, 0, &iov, &dif, RdIoFlags{}, &bCoalesced);
        if (rc == MOS_RC__SUCCESS) {
            if (pHeld != nullptr)
                netIov_Copy(pHeld, &iov);
            else
                rcache_CompleteBufferUsage(&cache, dev, gen, lba, sizeInLb, &iov);
        }
        netIov_Destroy(&iov);
        netIov_Destroy(&dif);
        return rc;
    }
    UINT64 nodeAllowanceLb()
    {
        UINT64 ramKb = 0;
        EXPECT_EQ(mos_GetNodeTotalRam(&ramKb), MOS_RC__SUCCESS);
        return rcache_AllowedSizeInLb(ramKb).allowedInLb;
    }

    MosUmt_SchedThrd sched;
    Cache cache;
    FakeOstrel ostrel;
};

TEST(CacheSizing, AllowanceIsAShareOfNodeRamByTheThreshold)
{
    tgtConf_SetDefaults();
    struct Case {
        UINT64 ramKb;
        UINT64 thresholdKb;
        UINT32 wantPct;
        UINT64 wantLb;
    };
    const UINT64 gb = 1048576; // KB
    const Case cases[] = {
        {16 * gb, 32 * gb, 50, 16 * gb},       // 16 GB node: half its RAM, 8 GB
        {32 * gb - 1, 32 * gb, 50, 32 * gb - 1}, // just below the threshold
        {32 * gb, 32 * gb, 75, 48 * gb},       // at the threshold the high share applies
        {1024 * gb, 32 * gb, 75, 1536 * gb},   // 1 TB node, well past 32 bits of LB
        {16 * gb, 8 * gb, 75, 24 * gb},        // a lower threshold puts 16 GB among the large nodes
    };
    for (const Case &c : cases) {
        tgtInitParam_G.ramcacheHostMemoryThershold = c.thresholdKb;
        const RcacheAllowance a = rcache_AllowedSizeInLb(c.ramKb);
        EXPECT_EQ(a.percentage, c.wantPct) << c.ramKb;
        EXPECT_EQ(a.allowedInLb, c.wantLb) << c.ramKb;
    }
    tgtConf_SetDefaults();
}

// The slot part of an entry's index is 24 bits: no cache size may give more buckets.
TEST(CacheSizing, BucketCountIsHeldToTheSlotIndex)
{
    tgtConf_SetDefaults();
    struct Case {
        UINT64 sizeInLb;
        UINT64 mult;
        UINT32 want;
    };
    const Case cases[] = {
        {262144, 1, 1024},
        {262144, 10, 10240},
        {1ull << 32, 1, 1u << 24},  // 2 TB: exactly the limit
        {1ull << 32, 10, 1u << 24}, // would be ten times past it
        {1ull << 62, 10, 1u << 24}, // a product that wraps 64 bits
        {255, 1, 0},
    };
    for (const Case &c : cases) {
        tgtInitParam_G.ramcacheHashSizeMultiply = c.mult;
        EXPECT_EQ(rcacheMd_NumOfHashEntries(c.sizeInLb), c.want) << c.sizeInLb << " x" << c.mult;
    }
    tgtConf_SetDefaults();
}

TEST_F(CacheTop, SizeRuleRaisesSmallSizesAndRefusesWhatTheNodeCannotGive)
{
    EXPECT_EQ(rcache_ChangeSize(&cache, 100 * 2048), MOS_RC__SUCCESS); // 100 MB
    EXPECT_EQ(cache.reqSizeInLb, kMinLb);
    const UINT64 allowed = nodeAllowanceLb();
    EXPECT_EQ(rcache_ChangeSize(&cache, allowed + 8), MOS_RC__NO_RESOURCES);
    EXPECT_EQ(cache.reqSizeInLb, kMinLb) << "a refused size leaves the request as it was";
    EXPECT_EQ(cache.bCreated, FALSE) << "no device: only the request was recorded";
}

TEST_F(CacheTop, FirstDeviceAllocatesTheRecordedSizeAndTheLastOneFreesIt)
{
    ASSERT_EQ(rcache_ChangeSize(&cache, 2 * kMinLb), MOS_RC__SUCCESS);
    EXPECT_EQ(cache.bCreated, FALSE);
    rcache_AddDevice(&cache, kDev, FALSE);
    idle();
    EXPECT_TRUE(cache.bCreated);
    EXPECT_EQ(cache.sizeInLb, 2 * kMinLb);
    EXPECT_EQ(cache.memAllocState, TGT_CACHE_MEMORY_ALLOCATION_STATE__SUCCESSFUL);
    ASSERT_EQ(ostrel.count(), 1u);
    EXPECT_EQ(ostrel.lastState(), (UINT32)TGT_CACHE_MEMORY_ALLOCATION_STATE__SUCCESSFUL);
    EXPECT_EQ(ostrel.reports.back().msgType, OSTREL_MSG_TYPE__UPDATE_TGT_STATE);
    EXPECT_EQ(ostrel.reports.back().grpId, CONT_NET__RECV_GROUP__OSTREL_CONTROL);
    EXPECT_EQ(ostrel.reports.back().req.tgtId, 0x7E57u);

    rcache_AddDevice(&cache, kOtherDev, FALSE);
    rcache_RemoveDevice(&cache, kDev);
    idle();
    EXPECT_TRUE(cache.bCreated) << "a device is left";
    rcache_RemoveDevice(&cache, kOtherDev);
    idle();
    EXPECT_FALSE(cache.bCreated);
    EXPECT_EQ(cache.sizeInLb, 0u);
    EXPECT_EQ(cache.memAllocState, TGT_CACHE_MEMORY_ALLOCATION_STATE__PENDING);
    EXPECT_EQ(ostrel.lastState(), (UINT32)TGT_CACHE_MEMORY_ALLOCATION_STATE__PENDING);

    // During a reconfiguration the first device waits for its end.
    rcache_AddDevice(&cache, kDev, TRUE);
    idle();
    EXPECT_FALSE(cache.bCreated);
    rcache_ReconfDone(&cache);
    idle();
    EXPECT_EQ(cache.sizeInLb, 2 * kMinLb);
}

// A frozen cache takes no inserts; resizing it is refused with a code, not a stop, so an
// add-manager command that asks for a frozen cache is still served.
TEST_F(CacheTop, SizeChangeWhileFrozenIsRefused)
{
    created();
    ASSERT_EQ(rcache_FreezeUnfreeze(&cache, TRUE), MOS_RC__SUCCESS);
    EXPECT_EQ(rcache_ChangeSize(&cache, 2 * kMinLb), MOS_RC__RAMCACHE_WRONG_STATE);
    EXPECT_EQ(cache.reqSizeInLb, kMinLb);
    EXPECT_EQ(rcache_UpdateState(&cache, TRUE, TRUE, 2 * kMinLb), MOS_RC__SUCCESS);
    idle();
    EXPECT_EQ(cache.sizeInLb, kMinLb);
    EXPECT_EQ(rcache_UpdateState(&cache, FALSE, TRUE, kMinLb), MOS_RC__INVALID_ARG);
    EXPECT_TRUE(cache.bEnable) << "a refused update changes nothing";
    EXPECT_EQ(rcache_UpdateState(&cache, TRUE, FALSE, 2 * kMinLb), MOS_RC__SUCCESS);
    idle();
    EXPECT_EQ(cache.sizeInLb, 2 * kMinLb);
}

TEST_F(CacheTop, SkipRuleTable)
{
    created();
    struct Case {
        UINT32 size;
        UINT64 offset;
        UINT32 bWrite;
        BOOL want;
        UINT32 large, unaligned; // counters after the case
    };
    const Case cases[] = {
        {8, 4, 1, TRUE, 0, 1},    // client write of 8 LB at 4: unaligned
        {16, 8, 1, FALSE, 0, 1},  // aligned write is cached
        {12, 8, 1, TRUE, 0, 2},   // size not whole pages
        {257, 0, 1, TRUE, 1, 2},  // too large, whatever the alignment
        {256, 4, 0, TRUE, 2, 2},  // read spanning 33 pages
        {252, 4, 0, FALSE, 2, 2}, // read spanning 32 pages
        {256, 0, 0, FALSE, 2, 2},
        {3, 13, 0, FALSE, 2, 2},  // a read of part of two pages
        {8, 4, 2, FALSE, 2, 2},   // a write that follows the read rule
        {256, 4, 2, TRUE, 3, 2},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(rcache_IsCacheSkip(&cache, c.size, c.offset, c.bWrite), c.want)
            << c.size << "@" << c.offset << " w" << c.bWrite;
        EXPECT_EQ(cache.counters.skipCountLargeIo, c.large) << c.size << "@" << c.offset;
        EXPECT_EQ(cache.counters.skipCountUnaligned4kbIo, c.unaligned) << c.size << "@" << c.offset;
    }
    ASSERT_EQ(rcache_FreezeUnfreeze(&cache, TRUE), MOS_RC__SUCCESS);
    EXPECT_TRUE(rcache_IsCacheSkip(&cache, 8, 0, 1)) << "writes bypass a frozen cache";
    EXPECT_TRUE(rcache_IsCacheSkip(&cache, 8, 0, 2));
    EXPECT_FALSE(rcache_IsCacheSkip(&cache, 8, 0, 0)) << "reads still use it";
    ASSERT_EQ(rcache_EnableDisable(&cache, FALSE), MOS_RC__SUCCESS);
    idle();
    EXPECT_TRUE(rcache_IsCacheSkip(&cache, 8, 0, 0)) << "disabled";
    OstrelTgtRsp_RAMCacheCounters counters;
    rcache_GetCounters(&cache, &counters);
    EXPECT_EQ(counters.skipCountLargeIo, 3u);
    EXPECT_EQ(counters.skipCountUnaligned4kbIo, 2u);
    EXPECT_EQ(counters.totalSizeInKB, 131072u); // the requested 128 MB
}

TEST_F(CacheTop, DataPathRefusalsAreCodes)
{
    void *p = nullptr;
    EXPECT_EQ(rcache_AllocBuffer(&cache, 8, nullptr), nullptr) << "not allocated";
    rcache_AddDevice(&cache, kDev, FALSE);
    EXPECT_EQ(retrieve(0, 8), MOS_RC__NOT_READY);
    EXPECT_EQ(rcache_Invalidate(&cache, kDev, 1, 0, 8), MOS_RC__NOT_READY);
    rcache_RemoveDevice(&cache, kDev);
    idle();
    created();
    EXPECT_EQ(retrieve(0, 8, kOtherDev), MOS_RC__TGT_DEVICE_NOT_FOUND);
    EXPECT_EQ(rcache_Invalidate(&cache, kOtherDev, 1, 0, 8), MOS_RC__TGT_DEVICE_NOT_FOUND);
    EXPECT_EQ(insert(0, 8, 1, kOtherDev), MOS_RC__TGT_DEVICE_NOT_FOUND);
    p = rcache_AllocBuffer(&cache, 8, nullptr);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(rcache_FreezeUnfreeze(&cache, TRUE), MOS_RC__SUCCESS);
    EXPECT_EQ(rcache_InsertData(&cache, kDev, 1, 0, 8, p, FALSE, FALSE), MOS_RC__NOT_READY);
    rcache_FreeBuffer(&cache, p, 8, TRUE);
    EXPECT_EQ(cache.inProgCount, 0u);
    EXPECT_EQ(cache.md.ud.counters.sizeInUseInLb, 0u);
    ASSERT_EQ(rcache_FreezeUnfreeze(&cache, FALSE), MOS_RC__SUCCESS);
    EXPECT_EQ(retrieve(0, 8), MOS_RC__NOT_FOUND);
    EXPECT_EQ(cache.inProgCount, 0u) << "a miss holds nothing";
}

// Invalidation covers whole pages and any length a device write may have (up to a tooth).
TEST_F(CacheTop, InvalidationWidensToPagesAndCoversWholeWrites)
{
    created();
    struct Case {
        UINT64 lba;
        UINT32 size;
        std::vector<std::pair<UINT64, bool>> pagesHit; // page start LB, still cached
    };
    const Case cases[] = {
        {5, 2, {{0, false}, {8, true}}},                      // LB 5..6 drops page 0..7
        {7, 2, {{0, false}, {8, false}, {16, true}}},         // straddles two pages
        {250, 12, {{240, true}, {248, false}, {256, false}, {264, true}}}, // two device blocks
        {3, 2048, {{0, false}, {1024, false}, {2048, false}, {2056, true}}}, // a whole tooth, unaligned
    };
    for (const Case &c : cases) {
        for (const auto &ph : c.pagesHit)
            ASSERT_EQ(insert(ph.first, 8, 0x42), MOS_RC__SUCCESS);
        ASSERT_EQ(rcache_Invalidate(&cache, kDev, 1, c.lba, c.size), MOS_RC__SUCCESS);
        for (const auto &ph : c.pagesHit)
            EXPECT_EQ(retrieve(ph.first, 8), ph.second ? MOS_RC__SUCCESS : MOS_RC__NOT_FOUND)
                << c.lba << "+" << c.size << " page " << ph.first;
        rcache_Invalidate(&cache, kDev, 1, 0, 4096);
    }
    // Only the whole identity and the generation match.
    ASSERT_EQ(insert(64, 8, 0x43), MOS_RC__SUCCESS);
    EXPECT_EQ(retrieve(64, 8, kDev, nullptr, 2), MOS_RC__NOT_FOUND);
    EXPECT_EQ(retrieve(64, 8), MOS_RC__NOT_FOUND) << "the old generation's entry went when met";
}

TEST_F(CacheTop, PurgeWaitsForReadersAndCommandsAreRefusedMeanwhile)
{
    created();
    ASSERT_EQ(insert(0, 32, 0x10), MOS_RC__SUCCESS);
    ASSERT_EQ(insert(512, 8, 0x11), MOS_RC__SUCCESS);
    NetSmallIov held;
    NET_IOV__INIT(&held);
    ASSERT_EQ(retrieve(0, 32, kDev, &held), MOS_RC__SUCCESS);
    EXPECT_EQ(rcache_Purge(&cache), MOS_RC__SUCCESS);
    EXPECT_EQ(cache.delayedActionFlags, RCACHE__DELAYED_ACTION__PURGE);
    EXPECT_EQ(retrieve(512, 8), MOS_RC__NOT_READY) << "being modified";
    EXPECT_TRUE(rcache_IsCacheSkip(&cache, 8, 0, 0));
    EXPECT_EQ(rcache_EnableDisable(&cache, FALSE), MOS_RC__RAMCACHE_WRONG_STATE);
    EXPECT_EQ(rcache_FreezeUnfreeze(&cache, TRUE), MOS_RC__RAMCACHE_WRONG_STATE);
    EXPECT_EQ(rcache_ChangeSize(&cache, 2 * kMinLb), MOS_RC__RAMCACHE_WRONG_STATE);
    EXPECT_EQ(rcache_Purge(&cache), MOS_RC__RAMCACHE_WRONG_STATE);
    rcache_CompleteBufferUsage(&cache, kDev, 1, 0, 32, &held);
    netIov_Destroy(&held);
    idle();
    EXPECT_EQ(cache.delayedActionFlags, 0u);
    EXPECT_EQ(retrieve(512, 8), MOS_RC__NOT_FOUND) << "purged";
    EXPECT_EQ(cache.md.ud.counters.sizeInUseInLb, 0u);

    ASSERT_EQ(rcache_FreezeUnfreeze(&cache, TRUE), MOS_RC__SUCCESS);
    EXPECT_EQ(rcache_Purge(&cache), MOS_RC__RAMCACHE_WRONG_STATE) << "frozen";
}

// A disable while reads hold pages frees the memory when the last one leaves; the cache stays
// freed even when a purge was pending too and the last device left meanwhile.
TEST_F(CacheTop, DeferredJobsRunOnceTheLastOperationLeaves)
{
    struct Case {
        const char *name;
        bool bPurgeFirst;
        bool bDisable;
        bool bRemoveDevice;
        bool wantCreated;
        UINT32 wantState;
    };
    const Case cases[] = {
        {"disable", false, true, false, false, TGT_CACHE_MEMORY_ALLOCATION_STATE__RAMCACHE_DISABLED},
        {"purge then last device", true, false, true, false, TGT_CACHE_MEMORY_ALLOCATION_STATE__PENDING},
        {"purge only", true, false, false, true, TGT_CACHE_MEMORY_ALLOCATION_STATE__SUCCESSFUL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(rcache_EnableDisable(&cache, TRUE), MOS_RC__SUCCESS);
        idle();
        created();
        ASSERT_EQ(insert(0, 8, 0x20), MOS_RC__SUCCESS);
        NetSmallIov held;
        NET_IOV__INIT(&held);
        ASSERT_EQ(retrieve(0, 8, kDev, &held), MOS_RC__SUCCESS);
        if (c.bPurgeFirst) {
            ASSERT_EQ(rcache_Purge(&cache), MOS_RC__SUCCESS);
        }
        if (c.bDisable) {
            ASSERT_EQ(rcache_EnableDisable(&cache, FALSE), MOS_RC__SUCCESS);
        }
        if (c.bRemoveDevice)
            rcache_RemoveDevice(&cache, kDev);
        idle();
        EXPECT_TRUE(cache.bCreated) << "nothing runs while a read holds pages";
        rcache_CompleteBufferUsage(&cache, kDev, 1, 0, 8, &held);
        netIov_Destroy(&held);
        idle();
        EXPECT_EQ(cache.delayedActionFlags, 0u);
        EXPECT_EQ(cache.bCreated, c.wantCreated ? TRUE : FALSE);
        EXPECT_EQ((UINT32)cache.memAllocState, c.wantState);
        rcache_RemoveDevice(&cache, kDev);
        idle();
    }
}

TEST_F(CacheTop, ChangesWhileAReportIsInFlightLeadToExactlyOneMoreReport)
{
    ostrel.bHold = true;
    ASSERT_EQ(rcache_EnableDisable(&cache, FALSE), MOS_RC__SUCCESS);
    ASSERT_TRUE(umtTest_WaitFor([&] { return ostrel.bHeld.load(); }));
    ASSERT_EQ(rcache_EnableDisable(&cache, TRUE), MOS_RC__SUCCESS);
    ASSERT_EQ(rcache_EnableDisable(&cache, FALSE), MOS_RC__SUCCESS);
    ASSERT_EQ(rcache_EnableDisable(&cache, TRUE), MOS_RC__SUCCESS);
    ostrel.bHold = false;
    idle();
    ASSERT_EQ(ostrel.count(), 1u);
    EXPECT_EQ(ostrel.lastState(), (UINT32)TGT_CACHE_MEMORY_ALLOCATION_STATE__RAMCACHE_DISABLED);
    EXPECT_TRUE(cache.bNotifNeeded) << "the news came after the sample";
    asUmt([&] { rcache_SendCacheStateToOstrel(&cache); }); // the watchdog's round
    ASSERT_EQ(ostrel.count(), 2u);
    EXPECT_EQ(ostrel.lastState(), (UINT32)TGT_CACHE_MEMORY_ALLOCATION_STATE__PENDING);
    asUmt([&] { rcache_SendCacheStateToOstrel(&cache); });
    EXPECT_EQ(ostrel.count(), 2u) << "nothing owed";

    // A refused report stays owed and is retried.
    ostrel.rc = MOS_RC__TIMEOUT;
    ASSERT_EQ(rcache_EnableDisable(&cache, FALSE), MOS_RC__SUCCESS);
    idle();
    EXPECT_TRUE(cache.bNotifNeeded);
    ostrel.rc = MOS_RC__SUCCESS;
    asUmt([&] { rcache_SendCacheStateToOstrel(&cache); });
    EXPECT_FALSE(cache.bNotifNeeded);
    EXPECT_EQ(ostrel.lastState(), (UINT32)TGT_CACHE_MEMORY_ALLOCATION_STATE__RAMCACHE_DISABLED);
}

TEST(CacheNames, StatesAndSelfTestCommands)
{
    struct Case {
        UINT32 state;
        const char *name;
    };
    const Case cases[] = {
        {0, "TGT_CACHE_MEMORY_ALLOCATION_STATE__INVALID"},
        {2, "TGT_CACHE_MEMORY_ALLOCATION_STATE__SUCCESSFUL"},
        {4, "TGT_CACHE_MEMORY_ALLOCATION_STATE__RAMCACHE_DISABLED"},
        {5, "TGT_CACHE_MEMORY_ALLOCATION_STATE__UNKNOWN"},
        {0xFFFFFFFF, "TGT_CACHE_MEMORY_ALLOCATION_STATE__UNKNOWN"},
    };
    for (const Case &c : cases)
        EXPECT_STREQ(rcache_MemAllocStateName(c.state), c.name);
    EXPECT_STREQ(rcache_GetSelfTestCmdDesc(TGT_RCACHE_SELF_TEST_CMD__ALL_REF_COUNT_ZERO), "Verify all RefCount are 0");
    EXPECT_STREQ(rcache_GetSelfTestCmdDesc(TGT_RCACHE_SELF_TEST_CMD__LAST), "Last");
}
} // namespace
