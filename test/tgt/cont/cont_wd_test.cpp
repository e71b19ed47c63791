// The watchdog loops on virtual seconds: the sleep advances a clock of the test and the jobs only
// record the second they ran at.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "test/support/cont_cmd_rig.h"
#include "tgt/cont/cont_wd.h"

namespace {

class ContWdRuntimeEnv : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_TRUE(ContCmdRig::initRuntime()); }
};
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new ContWdRuntimeEnv);

enum Job { FLUSH, FIRST_ACCESS, UPDATE_OSTREL, CLEAN, HARDEN, CACHE_STATE, DEV_HEADERS, COPY_POOLS };

struct VirtualClock {
    static inline UINT64 now = 0;
    static inline UINT64 endAt = 0;
    static inline UINT32 sleeps = 0;
    static inline std::vector<std::pair<UINT64, Job>> runs;

    static void note(Job j) { runs.emplace_back(now, j); }
    static std::vector<UINT64> at(Job j)
    {
        std::vector<UINT64> v;
        for (auto &r : runs)
            if (r.second == j)
                v.push_back(r.first);
        return v;
    }
    static void run(ContWdLoopKind kind, UINT64 seconds)
    {
        now = 0, endAt = seconds, sleeps = 0;
        runs.clear();
        ContCmdRig::run([&] { contWd_RunLoop(nullptr, kind, &kHooks); });
    }
    static inline const ContWdHooks kHooks = {
        [](Cont *, UINT32 secs) -> BOOL {
            sleeps++;
            now += secs;
            return now <= endAt;
        },
        [](Cont *) { note(FLUSH); },
        [](Cont *) { note(FIRST_ACCESS); },
        [](Cont *) { note(UPDATE_OSTREL); },
        [](Cont *, ContWdLoopState *) { note(CLEAN); },
        [](Cont *) { note(HARDEN); },
        [](Cont *) { note(CACHE_STATE); },
        [](Cont *) { note(DEV_HEADERS); },
        [](Cont *, ContWdLoopState *) { note(COPY_POOLS); },
    };
};

using V = std::vector<UINT64>;

// Nothing runs in the first minute; then each job at its period on the loop's own tick.
TEST(ContWd, JobsRunAtTheirPeriodsAfterTheFirstMinute)
{
    VirtualClock::run(CONT_WD_LOOP__FREQ, 185);
    EXPECT_EQ(VirtualClock::at(FLUSH), (V{61, 121, 181}));
    EXPECT_EQ(VirtualClock::runs.size(), 3u);

    VirtualClock::run(CONT_WD_LOOP__RARE, 135);
    EXPECT_EQ(VirtualClock::at(FIRST_ACCESS), (V{70, 130}));
    EXPECT_EQ(VirtualClock::at(UPDATE_OSTREL), (V{70, 130}));
    EXPECT_EQ(VirtualClock::at(CACHE_STATE), (V{70, 130}));
    EXPECT_EQ(VirtualClock::at(CLEAN), (V{70, 80, 90, 100, 110, 120, 130}));
    EXPECT_EQ(VirtualClock::at(HARDEN), (V{70, 80, 90, 100, 110, 120, 130}));
    // Within a tick the jobs keep their order.
    ASSERT_GE(VirtualClock::runs.size(), 4u);
    EXPECT_EQ(VirtualClock::runs[0].second, FIRST_ACCESS);
    EXPECT_EQ(VirtualClock::runs[2].second, CLEAN);

    VirtualClock::run(CONT_WD_LOOP__DEV, 75);
    EXPECT_EQ(VirtualClock::at(DEV_HEADERS), (V{70}));
    EXPECT_EQ(VirtualClock::at(COPY_POOLS), (V{70}));
    for (auto &r : VirtualClock::runs)
        EXPECT_GT(r.first, 60u);
}

// A disabled loop, or every loop after the abort, keeps ticking and runs nothing; the first-access
// job alone has its own switch.
TEST(ContWd, SwitchesStopTheWorkNotTheLoop)
{
    TgtConfParam &c = tgtInitParam_G;
    c.bAbortAllWd = TRUE;
    VirtualClock::run(CONT_WD_LOOP__RARE, 400);
    EXPECT_TRUE(VirtualClock::runs.empty());
    EXPECT_GT(VirtualClock::sleeps, 30u);
    c.bAbortAllWd = FALSE;

    c.bFreqWdEnabled = FALSE;
    VirtualClock::run(CONT_WD_LOOP__FREQ, 200);
    EXPECT_TRUE(VirtualClock::runs.empty());
    c.bFreqWdEnabled = TRUE;

    c.bWdFirstAccessEnabled = FALSE;
    VirtualClock::run(CONT_WD_LOOP__RARE, 135);
    EXPECT_TRUE(VirtualClock::at(FIRST_ACCESS).empty());
    EXPECT_EQ(VirtualClock::at(UPDATE_OSTREL), (V{70, 130}));
    c.bWdFirstAccessEnabled = TRUE;
}

class ContWdPools : public ::testing::Test {
  protected:
    MosDynamicMemPool pools[2];
    MosDynamicMemPool *const pPools[2] = {&pools[0], &pools[1]};
    void SetUp() override
    {
        for (auto &p : pools)
            ASSERT_EQ(mosDynamicMemPool_Create(&p, "wd test", 4096, 1, 20, 0, 4096), MOS_RC__SUCCESS);
    }
    void TearDown() override
    {
        for (auto &p : pools)
            mosDynamicMemPool_Destroy(&p);
    }
    UINT32 minBlocks(UINT32 p)
    {
        UINT32 m = 0;
        mosDynamicMemPool_GetStats(&pools[p], nullptr, nullptr, &m);
        return m;
    }
};

// The minimum follows the highest device count seen (tenths), never falls, and never goes beyond the
// blocks a pool can have.
TEST_F(ContWdPools, MinimumFollowsTheHighestDeviceCount)
{
    ContWdLoopState st{};
    const std::pair<UINT32, UINT32> steps[] = {{9, 0}, {25, 2}, {12, 2}, {40, 4}, {39, 4}, {1000, 20}};
    for (auto [devs, want] : steps) {
        contWd_CheckCopyPools(&st, devs, pPools);
        EXPECT_EQ(minBlocks(0), want) << devs;
        EXPECT_EQ(minBlocks(1), want) << devs;
    }
}

// A pool used once frees its memory at the fourth idle check after its last use; the other pool,
// never used, keeps what it has.
TEST_F(ContWdPools, UsedPoolReleasesAtTheFourthIdleCheck)
{
    ContWdLoopState st{};
    MosDynamicMemPool_Buffer buf{};
    ContCmdRig::run([&] { ASSERT_EQ(mosDynamicMemPool_Alloc(&pools[0], &buf), MOS_RC__SUCCESS); });
    contWd_CheckCopyPools(&st, 0, pPools);
    EXPECT_TRUE(st.pools[0].bUsed);
    ASSERT_EQ(mosDynamicMemPool_Free(&pools[0], &buf), MOS_RC__SUCCESS);
    const UINT32 held = pools[0].numBlocks;
    ASSERT_GT(held, 0u);
    for (int check = 1; check <= 3; check++) {
        contWd_CheckCopyPools(&st, 0, pPools);
        EXPECT_EQ(pools[0].numBlocks, held) << check;
    }
    contWd_CheckCopyPools(&st, 0, pPools);
    EXPECT_EQ(pools[0].numBlocks, 0u);
    EXPECT_FALSE(st.pools[0].bUsed);
    EXPECT_FALSE(st.pools[1].bUsed);
}

} // namespace
