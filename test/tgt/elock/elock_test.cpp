// Extent locks: which locks a range takes, who excludes whom, waiting for a free lock array with
// the comb's fast lock let go, and many uthreads on random ranges checked for overlap.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "test/support/tgt_test_support.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "tgt/elock/elock.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

// The scheduler the tests' uthreads run on: four OS threads.
MosUmt_Sched *sched_G = nullptr;

// A uthread running fn, joined from the test's OS thread.
struct Umt {
    explicit Umt(std::function<void()> f) : fn(std::move(f))
    {
        h = mosUmt_CreateUThreadEx([](void *p) { static_cast<Umt *>(p)->fn(); }, this, sched_G, nullptr, TRUE,
                                   MosUmtClassId{0, 0});
        EXPECT_NE(h, nullptr);
    }
    ~Umt() { join(); }
    void join()
    {
        if (h != nullptr)
            mosUmt_JoinSync(h);
        h = nullptr;
    }
    std::function<void()> fn;
    HMosUmt_UThread h = nullptr;
};

// Waits inside a uthread: yields, so that the scheduler's OS thread keeps running others.
void umtWaitFlag(const std::atomic<bool> &flag)
{
    while (!flag.load())
        mosUmt_Yield();
}

// Whether flag stays false for a while (a negative check: it can only miss, never fail wrongly).
bool staysFalse(const std::atomic<bool> &flag)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return !flag.load();
}

class ElockTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        tgtConf_SetDefaults();
        ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "elock test", 4, 4, 4), MOS_RC__SUCCESS);
        sched_G = &sched.base;
    }
    void TearDown() override
    {
        mosUmtSchedThrd_Destroy(&sched);
        sched_G = nullptr;
        if (bComb) {
            EXPECT_TRUE(elockComb_IsIdle(&comb));
            elockComb_Destroy(&comb);
        }
        elock_Destroy(&elock);
        tgtConf_SetDefaults();
    }
    void build(UINT64 locksInTooth, UINT32 blocks)
    {
        tgtInitParam_G.elockNumberOfLocksInTooth = locksInTooth;
        ASSERT_EQ(elock_Init(&elock, 1, blocks), MOS_RC__SUCCESS);
        elockComb_Init(&comb);
        bComb = true;
    }
    MosUmt_SchedThrd sched;
    Elock elock{};
    ElockComb comb{};
    bool bComb = false;
};

TEST_F(ElockTest, LockCountsThatAreNotAPowerOfTwoAreRefused)
{
    for (UINT64 bad : {0ull, 6ull, 12ull, 96ull, 512ull}) {
        tgtInitParam_G.elockNumberOfLocksInTooth = bad;
        EXPECT_EQ(elock_Init(&elock, 1, 4), MOS_RC__PARAMETER_OUT_OF_RANGE) << bad;
        EXPECT_FALSE(elock.bInitialized);
    }
    for (UINT64 good : {1ull, 2ull, 8ull, 256ull})
        EXPECT_TRUE(elock_IsValidLocksInTooth(good)) << good;
}

TEST_F(ElockTest, ARangeTakesTheLocksThatCoverItInItsTooth)
{
    struct Case {
        UINT64 locks;
        UINT32 offsetInComb, size;
        ElockRange want;
    };
    const Case cases[] = {
        {256, 7, 9, {0, 0, 1}},                 // LB 7-15 with 8 LB per lock
        {256, 8, 8, {0, 1, 1}},                 // 4 KB at LB 8
        {256, 2048 * 3 + 2040, 8, {3, 255, 255}},
        {256, 2048 * 5, 2048, {5, 0, 255}},
        {8, 7, 9, {0, 0, 0}},                   // 256 LB per lock
        {8, 250, 9, {0, 0, 1}},
        {1, 2048 * 8191 + 100, 1948, {8191, 0, 0}},
        {256, 2048 * 9, 0, {0, 0, 0}},           // size 0: lock 0 of tooth 0
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.locks << " locks, " << c.size << " LB at " << c.offsetInComb);
        elock_Destroy(&elock);
        tgtInitParam_G.elockNumberOfLocksInTooth = c.locks;
        ASSERT_EQ(elock_Init(&elock, 1, 1), MOS_RC__SUCCESS);
        ElockRange r = elock_GetRange(&elock, c.offsetInComb, c.size);
        EXPECT_EQ(r.toothInComb, c.want.toothInComb);
        EXPECT_EQ(r.firstLock, c.want.firstLock);
        EXPECT_EQ(r.lastLock, c.want.lastLock);
    }
}

TEST_F(ElockTest, ReadersShareWritersExcludeAndTeethAreIndependent)
{
    build(1, 8);
    std::atomic<bool> reader2In{false}, writerIn{false}, otherToothIn{false};
    std::atomic<bool> release{false};
    Umt r1([&] {
        elockComb_Lock(&comb, &elock, FALSE, 10, 8);
        umtWaitFlag(release);
        elockComb_Unlock(&comb, &elock, FALSE, 10, 8);
    });
    Umt r2([&] {
        elockComb_Lock(&comb, &elock, FALSE, 2000, 48);
        reader2In = true;
        elockComb_Unlock(&comb, &elock, FALSE, 2000, 48);
    });
    ASSERT_TRUE(umtTest_WaitFor([&] { return reader2In.load(); }));
    Umt w([&] {
        elockComb_Lock(&comb, &elock, TRUE, 0, 1);
        writerIn = true;
        elockComb_Unlock(&comb, &elock, TRUE, 0, 1);
    });
    Umt w2([&] {
        elockComb_Lock(&comb, &elock, TRUE, 2048, 1);
        otherToothIn = true;
        elockComb_Unlock(&comb, &elock, TRUE, 2048, 1);
    });
    ASSERT_TRUE(umtTest_WaitFor([&] { return otherToothIn.load(); }));
    EXPECT_TRUE(staysFalse(writerIn));
    release = true;
    ASSERT_TRUE(umtTest_WaitFor([&] { return writerIn.load(); }));
}

TEST_F(ElockTest, WholeCombLocksShutOutWritersOrEveryone)
{
    build(256, 8);
    for (BOOL bWrite : {FALSE, TRUE}) {
        SCOPED_TRACE(bWrite);
        std::atomic<bool> locked{false}, release{false}, readIn{false}, writeIn{false};
        Umt all([&] {
            elockComb_LockAll(&comb, bWrite);
            locked = true;
            umtWaitFlag(release);
            elockComb_UnlockAll(&comb, bWrite);
        });
        ASSERT_TRUE(umtTest_WaitFor([&] { return locked.load(); }));
        ElockQuery q{};
        elockComb_Query(&comb, &q);
        EXPECT_TRUE(q.bAllCombLock);
        Umt rd([&] {
            elockComb_Lock(&comb, &elock, FALSE, 4096, 8);
            readIn = true;
            elockComb_Unlock(&comb, &elock, FALSE, 4096, 8);
        });
        Umt wr([&] {
            elockComb_Lock(&comb, &elock, TRUE, 8192, 8);
            writeIn = true;
            elockComb_Unlock(&comb, &elock, TRUE, 8192, 8);
        });
        if (bWrite)
            EXPECT_TRUE(staysFalse(readIn));
        else
            ASSERT_TRUE(umtTest_WaitFor([&] { return readIn.load(); }));
        EXPECT_TRUE(staysFalse(writeIn));
        release = true;
        ASSERT_TRUE(umtTest_WaitFor([&] { return readIn.load() && writeIn.load(); }));
    }
}

TEST_F(ElockTest, WideningAndNarrowingKeepOnlyTheNarrowRange)
{
    build(256, 8);
    std::atomic<bool> narrowed{false}, neighbourIn{false}, sameIn{false}, done{false};
    Umt io([&] {
        elockComb_Lock(&comb, &elock, TRUE, 2048, 2048);
        elockComb_UnlockAllXcluding(&comb, &elock, TRUE, 2048 + 16, 8);
        narrowed = true;
        umtWaitFlag(done);
        elockComb_Unlock(&comb, &elock, TRUE, 2048 + 16, 8);
    });
    ASSERT_TRUE(umtTest_WaitFor([&] { return narrowed.load(); }));
    Umt other([&] {
        elockComb_Lock(&comb, &elock, TRUE, 2048 + 24, 8);
        neighbourIn = true;
        elockComb_Unlock(&comb, &elock, TRUE, 2048 + 24, 8);
    });
    Umt same([&] {
        elockComb_Lock(&comb, &elock, FALSE, 2048 + 20, 1);
        sameIn = true;
        elockComb_Unlock(&comb, &elock, FALSE, 2048 + 20, 1);
    });
    ASSERT_TRUE(umtTest_WaitFor([&] { return neighbourIn.load(); }));
    EXPECT_TRUE(staysFalse(sameIn));
    done = true;
    ASSERT_TRUE(umtTest_WaitFor([&] { return sameIn.load(); }));
}

// Two lock arrays for three teeth: the third I/O waits for one, and while it waits the comb's
// fast lock is free, so an I/O of a tooth that has an array still gets in.
TEST_F(ElockTest, AnIoWaitsForAFreeLockArrayWithoutHoldingTheComb)
{
    build(8, 2);
    std::atomic<bool> aIn{false}, bIn{false}, cIn{false}, dIn{false}, release{false};
    auto holder = [&](UINT32 off, std::atomic<bool> &in) {
        return [&, off] {
            elockComb_Lock(&comb, &elock, FALSE, off, 8);
            in = true;
            umtWaitFlag(release);
            elockComb_Unlock(&comb, &elock, FALSE, off, 8);
        };
    };
    Umt a(holder(0, aIn));
    Umt b(holder(2048, bIn));
    ASSERT_TRUE(umtTest_WaitFor([&] { return aIn.load() && bIn.load(); }));
    Umt c([&] {
        elockComb_Lock(&comb, &elock, TRUE, 4096, 8);
        cIn = true;
        elockComb_Unlock(&comb, &elock, TRUE, 4096, 8);
    });
    EXPECT_TRUE(staysFalse(cIn));
    Umt d([&] {
        elockComb_Lock(&comb, &elock, FALSE, 16, 8);
        dIn = true;
        elockComb_Unlock(&comb, &elock, FALSE, 16, 8);
    });
    ASSERT_TRUE(umtTest_WaitFor([&] { return dIn.load(); }));
    release = true;
    ASSERT_TRUE(umtTest_WaitFor([&] { return cIn.load(); }));
}

TEST_F(ElockTest, ManyUthreadsOnRandomRangesNeverOverlapAndLeaveNothingBehind)
{
#if defined(__SANITIZE_ADDRESS__)
    const auto kRun = std::chrono::seconds(10);
#else
    const auto kRun = std::chrono::seconds(3);
#endif
    constexpr UINT32 kThreads = 64, kTeeth = 4;
    build(256, kThreads + 1);
    // Per LB of the region: readers in it, or -1 for a writer.
    std::vector<std::atomic<int>> owner(kTeeth * 2048);
    std::atomic<bool> stop{false};
    std::atomic<UINT64> conflicts{0}, ios{0}, allLocks{0};
    std::vector<std::unique_ptr<Umt>> threads;
    for (UINT32 t = 0; t < kThreads; t++) {
        threads.push_back(std::make_unique<Umt>([&, t] {
            std::mt19937 rng(t + 1);
            while (!stop.load()) {
                if (rng() % 200 == 0) {
                    BOOL bAll = rng() % 2;
                    elockComb_LockAll(&comb, bAll);
                    allLocks++;
                    mosUmt_Yield();
                    elockComb_UnlockAll(&comb, bAll);
                    continue;
                }
                BOOL bWrite = rng() % 3 == 0;
                UINT32 tooth = rng() % kTeeth;
                UINT32 inTooth = rng() % 2048;
                UINT32 size = 1 + rng() % std::min<UINT32>(2048 - inTooth, rng() % 2 ? 16 : 2048);
                UINT32 off = tooth * 2048 + inTooth;
                elockComb_Lock(&comb, &elock, bWrite, off, size);
                for (UINT32 i = off; i < off + size; i++) {
                    if (bWrite) {
                        int zero = 0;
                        if (!owner[i].compare_exchange_strong(zero, -1))
                            conflicts++;
                    } else if (owner[i].fetch_add(1) < 0) {
                        conflicts++;
                    }
                }
                mosUmt_Yield();
                for (UINT32 i = off; i < off + size; i++) {
                    if (bWrite)
                        owner[i].store(0);
                    else
                        owner[i].fetch_sub(1);
                }
                elockComb_Unlock(&comb, &elock, bWrite, off, size);
                ios++;
            }
        }));
    }
    std::this_thread::sleep_for(kRun);
    stop = true;
    threads.clear();
    EXPECT_EQ(conflicts.load(), 0u);
    EXPECT_GT(ios.load(), 0u);
    EXPECT_TRUE(elockComb_IsIdle(&comb));
    EXPECT_EQ(mosUmtSem_GetCount(&elock.elockSegSem), kThreads + 1);
    EXPECT_EQ(mosMemPool_GetNumOfFreeEntries(&elock.teethLockArrPool), kThreads + 1);
    EXPECT_EQ(mosMemPool_GetNumOfFreeEntries(&elock.combTeethArrPtrPool), kThreads + 1);
}
} // namespace
