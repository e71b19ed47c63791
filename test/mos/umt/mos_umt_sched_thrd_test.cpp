#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "mos/mos_blocking.h"
#include "mos/mos_osthrd.h"
#include "mos/umt/mos_umt_bound.h"
#include "mos/umt/mos_umt_sched_thrd_intrn.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "test/support/umt_test_support.h"

namespace {
::testing::Environment *const umtEnv_G = ::testing::AddGlobalTestEnvironment(new UmtRuntimeEnv);

const MosUmtClassId kNoClass{0, 0};

// Starts n uthreads on pSched, each recording the OS thread it first ran on, and joins them.
std::vector<UINT32> RunRecordingThreads(MosUmt_Sched *pSched, int n, MosUmtClassId classId = kNoClass)
{
    std::vector<std::atomic<UINT32>> tids(n);
    std::vector<HMosUmt_UThread> handles;
    for (int i = 0; i < n; i++) {
        handles.push_back(mosUmt_CreateUThreadEx(
            [](void *p) { static_cast<std::atomic<UINT32> *>(p)->store(mosOsThrd_GetCurThrdID()); }, &tids[i], pSched,
            nullptr, TRUE, classId));
        EXPECT_NE(handles.back(), nullptr);
    }
    for (HMosUmt_UThread h : handles)
        mosUmt_JoinSync(h);
    std::vector<UINT32> out;
    for (auto &t : tids)
        out.push_back(t.load());
    return out;
}
} // namespace

TEST(UmtSchedThrd, CreationRefusesThreadCountsOutOfRange)
{
    const struct {
        UINT32 maxThreads;
        UINT32 numThreads;
    } cases[] = {{4, 0}, {4, 5}, {1, 2}};
    for (const auto &c : cases) {
        MosUmt_SchedThrd sched;
        EXPECT_EQ(mosUmtSchedThrd_Create(&sched, "bad", c.maxThreads, c.numThreads, 0), MOS_RC__PARAMETER_OUT_OF_RANGE)
            << c.maxThreads << "/" << c.numThreads;
        EXPECT_EQ(sched.thrdNum, 0u);
        EXPECT_EQ(sched.pThrds, nullptr);
    }
}

// A scheduler thread that cannot start makes creation fail with the thread layer's code; the
// threads that never started do not count as pending starts, so the clean-up does not wait for
// them (and does not panic).
TEST(UmtSchedThrd, FailedThreadStartIsReturnedNotPanicked)
{
#if PELLAR_SANITIZE
    GTEST_SKIP() << "the sanitizer's own mappings do not live with an address-space limit";
#endif
    // The child starts afresh with the C library's cache of exited threads' stacks switched off,
    // so every thread start needs a new mapping, which the limit below refuses. Other threads of
    // the process may unmap memory between measuring and limiting; then the limit does not bite
    // and the attempt is repeated.
    setenv("GLIBC_TUNABLES", "glibc.pthread.stack_cache_size=0", 1);
    EXPECT_EXIT(
        {
            Mos_RC rc = MOS_RC__SUCCESS;
            for (int attempt = 0; attempt < 50 && rc == MOS_RC__SUCCESS; attempt++) {
                long pages = 0;
                long ignored = 0;
                FILE *pStatm = fopen("/proc/self/statm", "r");
                if (pStatm == nullptr || fscanf(pStatm, "%ld %ld", &pages, &ignored) != 2)
                    _exit(3);
                fclose(pStatm);
                rlimit old;
                getrlimit(RLIMIT_AS, &old);
                rlimit tight = old;
                tight.rlim_cur = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + 256 * 1024;
                setrlimit(RLIMIT_AS, &tight);
                MosUmt_SchedThrd sched;
                rc = mosUmtSchedThrd_Create(&sched, "no room", 4, 4, 0);
                setrlimit(RLIMIT_AS, &old);
                if (rc == MOS_RC__SUCCESS)
                    mosUmtSchedThrd_Destroy(&sched);
            }
            fprintf(stderr, "rc=%s\n", MOS_RC__GET_STR(rc));
            _exit(rc == MOS_RC__NO_RESOURCES ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "rc=NO_RESOURCES");
}

TEST(UmtSchedThrd, ResizeChecksItsArgumentsAndRefusesWhileBusy)
{
    EXPECT_EQ(mosUmtSched_Resize(nullptr, 2), MOS_RC__INVALID);
    EXPECT_EQ(mosUmtSched_Resize(mosUmtMgr_GetForeignSched(), 2), MOS_RC__INVALID);
    MosUmt_SchedThrd sched;
    ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "resize", 4, 4, 0), MOS_RC__SUCCESS);
    EXPECT_EQ(mosUmtSched_Resize(&sched.base, 0), MOS_RC__PARAMETER_OUT_OF_RANGE);
    EXPECT_EQ(mosUmtSched_Resize(&sched.base, 5), MOS_RC__PARAMETER_OUT_OF_RANGE);
    ASSERT_TRUE(umtTest_WaitFor([&] { return mosUmtSched_Resize(&sched.base, 4) == MOS_RC__SUCCESS; }));

    // Hold the default blocking-call thread so that the stops of a shrink stay pending.
    std::atomic<bool> gate{false};
    MosBlocking_Req holder{};
    holder.workFunc = [](void *p) {
        while (!static_cast<std::atomic<bool> *>(p)->load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 0;
    };
    holder.pContext = &gate;
    mosBlocking_SubmitWait(nullptr, &holder);
    EXPECT_EQ(mosUmtSched_Resize(&sched.base, 2), MOS_RC__SUCCESS);
    EXPECT_EQ(sched.thrdNum, 2u);
    EXPECT_EQ(mosUmtSched_Resize(&sched.base, 3), MOS_RC__BUSY);
    // The stopping threads take no new work meanwhile.
    for (UINT32 tid : RunRecordingThreads(&sched.base, 8)) {
        EXPECT_TRUE(tid == sched.pThrds[0].osThrd.tid || tid == sched.pThrds[1].osThrd.tid);
    }
    gate = true;
    ASSERT_TRUE(umtTest_WaitFor([&] { return mosUmtSched_Resize(&sched.base, 4) == MOS_RC__SUCCESS; }));
    ASSERT_TRUE(umtTest_WaitFor([&] { return sched.curGuardThrdNum == 4; }));
    mosUmtSchedThrd_SetSchedPolicy(&sched, MOS_UMT_SCHED_THRD_POLICY__RR);
    std::set<UINT32> used;
    for (UINT32 tid : RunRecordingThreads(&sched.base, 8))
        used.insert(tid);
    EXPECT_EQ(used.size(), 4u);
    mosUmtSchedThrd_Destroy(&sched);
}

TEST(UmtSchedThrd, PoliciesPlaceAsTheySay)
{
    MosUmt_SchedThrd sched;
    ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "policies", 4, 4, 0), MOS_RC__SUCCESS);
    EXPECT_STREQ(mosUmtSchedThrd_PolicyName(sched.schedPolicy), "LEAST_Q_DEPTH");
    EXPECT_STREQ(mosUmtSchedThrd_PolicyName(7), "POLICY_UNKNOWN");

    // A uthread made ready by a thread of the same scheduler, with a short queue, stays on it.
    std::atomic<UINT32> parentTid{0}, childTid{0};
    umtTest_RunAsUmt(
        [&] {
            parentTid = mosOsThrd_GetCurThrdID();
            HMosUmt_UThread h = mosUmt_CreateUThreadEx(
                [](void *p) { static_cast<std::atomic<UINT32> *>(p)->store(mosOsThrd_GetCurThrdID()); }, &childTid,
                &sched.base, nullptr, TRUE, kNoClass);
            mosUmt_JoinUThread(h);
        },
        &sched.base);
    EXPECT_EQ(childTid.load(), parentTid.load());

    // Round robin: every thread in turn.
    mosUmtSchedThrd_SetSchedPolicy(&sched, MOS_UMT_SCHED_THRD_POLICY__RR);
    std::map<UINT32, int> perThread;
    for (UINT32 tid : RunRecordingThreads(&sched.base, 8))
        perThread[tid]++;
    EXPECT_EQ(perThread.size(), 4u);
    for (auto &entry : perThread)
        EXPECT_EQ(entry.second, 2);

    // Soft affinity: the class ordinal picks the thread.
    MosUmt_ClassAttr attr{};
    snprintf(attr.name, sizeof(attr.name), "TEST_POOL");
    MosUmtClassId classId{};
    mosUmtClassMgr_Init(&attr, 1, &classId);
    mosUmtSchedThrd_SetSchedPolicy(&sched, MOS_UMT_SCHED_THRD_POLICY__SOFT_AFFINITY);
    std::vector<UINT32> tids = RunRecordingThreads(&sched.base, 8, classId);
    std::set<UINT32> distinct(tids.begin(), tids.end());
    EXPECT_EQ(distinct.size(), 4u);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(tids[i], tids[i + 4]) << "ordinals " << i << " and " << i + 4;
    EXPECT_PANIC(mosUmtSchedThrd_SetSchedPolicy(&sched, MOS_UMT_SCHED_THRD_POLICY__LAST),
                     "policy < MOS_UMT_SCHED_THRD_POLICY__LAST");
    mosUmtSchedThrd_Destroy(&sched);
}

TEST(UmtSchedThrd, CpuWalkGoesByteByByteFromTheHighestCpuDown)
{
    const struct {
        std::vector<UINT32> cpus;
        std::vector<INT32> expect; // threads 0 to 3
    } cases[] = {
        {{2, 5}, {5, 2, 5, 2}},
        {{3, 9}, {3, 9, 3, 9}},
        {{0, 7, 8}, {7, 0, 8, 7}},
        {{127}, {127, 127, 127, 127}},
        {{}, {-1, -1, -1, -1}},
    };
    for (const auto &c : cases) {
        UINT8 mask[16] = {};
        for (UINT32 cpu : c.cpus)
            mask[cpu / 8] |= (UINT8)(1u << (cpu % 8));
        for (UINT32 i = 0; i < 4; i++)
            EXPECT_EQ(mosUmtSchedThrd_NthCpuInWalk(mask, 128, i), c.expect[i]) << "thread " << i;
    }
}

TEST(UmtSchedThrd, BindingPinsEachThreadToItsCpu)
{
    if (std::thread::hardware_concurrency() < 6)
        GTEST_SKIP() << "needs CPUs 2 and 5";
    MosUmt_SchedThrd sched;
    ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "binding", 4, 4, 0), MOS_RC__SUCCESS);
    UINT8 empty[16] = {};
    EXPECT_EQ(mosUmtSchedThrd_BindToCpus(&sched, empty, 128), MOS_RC__SUCCESS);
    UINT8 mask[16] = {};
    mask[0] = (1u << 2) | (1u << 5);
    EXPECT_EQ(mosUmtSchedThrd_BindToCpus(&sched, mask, 128), MOS_RC__SUCCESS);
    const int expect[] = {5, 2, 5, 2};
    for (int i = 0; i < 4; i++) {
        cpu_set_t set;
        ASSERT_EQ(pthread_getaffinity_np(sched.pThrds[i].osThrd.nativeThrd, sizeof(set), &set), 0);
        EXPECT_EQ(CPU_COUNT(&set), 1);
        EXPECT_TRUE(CPU_ISSET(expect[i], &set)) << "thread " << i;
    }
    mosUmtSchedThrd_Destroy(&sched);
}

TEST(UmtBound, OneThreadOneUthreadAndCpuLimits)
{
    MosUmt_Bound bound;
    std::atomic<UINT32> tid{0};
    ASSERT_EQ(mosUmtBound_Create(
                  &bound, "bound",
                  [](void *p) { static_cast<std::atomic<UINT32> *>(p)->store(mosOsThrd_GetCurThrdID()); }, &tid,
                  nullptr, kNoClass),
              MOS_RC__SUCCESS);
    EXPECT_EQ(bound.sched.maxNumOfThreads, 1u);
    EXPECT_EQ(bound.sched.maxIdleTicks, 0u);
    EXPECT_EQ(mosUmtBound_BindToCpu(&bound, 128), MOS_RC__INVALID);
    if (std::thread::hardware_concurrency() >= 128) {
        EXPECT_EQ(mosUmtBound_BindToCpu(&bound, 127), MOS_RC__SUCCESS);
    }
    EXPECT_EQ(mosUmtBound_BindToCpu(&bound, 0), MOS_RC__SUCCESS);
    ASSERT_TRUE(umtTest_WaitFor([&] { return tid.load() != 0; }));
    EXPECT_EQ(tid.load(), bound.sched.pThrds[0].osThrd.tid);
    mosUmtBound_Destroy(&bound, TRUE);
}

// A uthread that runs without yielding for longer than the guard interval is reported, and the
// report clears once the thread moves again.
TEST(UmtSchedGuard, ReportsABusyThreadAndThenClears)
{
    mosUmtSchedThrd_SetDefaultSchedGuardValues(200, 1);
    EXPECT_EQ(mosUmtSchedThrdLayer_Get()->guard.deadGuardPanicRatio, 2u);
    mosUmtSchedThrd_SetDefaultSchedGuardValues(500, 3);
    MosUmt_SchedThrd sched;
    ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "guarded", 2, 2, 0), MOS_RC__SUCCESS);
    mosUmtSchedThrd_SetDefaultSchedGuardValues(0, 3);
    EXPECT_FALSE(mosUmtSchedThrd_IsStuck());
    std::atomic<bool> bStop{false};
    HMosUmt_UThread h = mosUmt_CreateUThreadEx(
        [](void *p) {
            while (!static_cast<std::atomic<bool> *>(p)->load()) {
            }
        },
        &bStop, &sched.base, nullptr, TRUE, kNoClass);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(umtTest_WaitFor([] { return mosUmtSchedThrd_IsStuck() == TRUE; }));
    EXPECT_TRUE(sched.bIsSomeThreadStuck);
    bStop = true;
    mosUmt_JoinSync(h);
    EXPECT_TRUE(umtTest_WaitFor([] { return mosUmtSchedThrd_IsStuck() == FALSE; }));
    mosUmtSchedThrd_Destroy(&sched);
}

// A scheduler whose guarding is switched off while it is reported stuck no longer counts as
// stuck, even though its uthread still runs: nobody watches it any more.
TEST(UmtSchedGuard, SwitchingTheGuardOffWithdrawsItsReport)
{
    mosUmtSchedThrd_SetDefaultSchedGuardValues(500, 3);
    MosUmt_SchedThrd sched;
    ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "unguarded later", 2, 2, 0), MOS_RC__SUCCESS);
    mosUmtSchedThrd_SetDefaultSchedGuardValues(0, 3);
    std::atomic<bool> bStop{false};
    HMosUmt_UThread h = mosUmt_CreateUThreadEx(
        [](void *p) {
            while (!static_cast<std::atomic<bool> *>(p)->load()) {
            }
        },
        &bStop, &sched.base, nullptr, TRUE, kNoClass);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(umtTest_WaitFor([] { return mosUmtSchedThrd_IsStuck() == TRUE; }));
    mosUmtSchedThrd_SetLivnessThreshold(&sched, 0);
    EXPECT_TRUE(umtTest_WaitFor([] { return mosUmtSchedThrd_IsStuck() == FALSE; }, std::chrono::seconds(20)));
    EXPECT_FALSE(sched.bIsSomeThreadStuck);
    bStop = true;
    mosUmt_JoinSync(h);
    mosUmtSchedThrd_Destroy(&sched);
}

// The clock of the dead-guard test: the real tick count, but the guard thread reads it 50 ms
// ahead, as a guard on another CPU may read a later tick than a scheduler thread at the same
// moment.
MosTicks_Cnt guardAheadClock()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const MosTicks_Cnt freq = (MosTicks_Cnt)mosTicks_GetOsFreq();
    MosTicks_Cnt now = (MosTicks_Cnt)ts.tv_sec * freq + (MosTicks_Cnt)ts.tv_nsec * freq / 1000000000ull;
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    return strcmp(name, "schedThrd guard") == 0 ? now + freq / 20 : now;
}

// A sample that the guard stored after a scheduler thread read the clock is fresh: a live guard
// is never declared dead because the difference of the two ticks is negative.
TEST(UmtSchedGuard, ASampleNewerThanTheThreadsReadingIsFresh)
{
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            mosTicks_SetClockForTest(guardAheadClock);
            // A dead-guard limit of 1.5 s: on a loaded machine the guard may be late by far more
            // than the clock's lead, which is what this test is about.
            mosUmtSchedThrd_SetDefaultSchedGuardValues(500, 3);
            MosUmt_SchedThrd sched;
            if (mosUmtSchedThrd_Create(&sched, "busy", 4, 4, 0) != MOS_RC__SUCCESS)
                _exit(2);
            std::atomic<bool> bStop{false};
            std::vector<HMosUmt_UThread> handles;
            for (int i = 0; i < 4; i++)
                handles.push_back(mosUmt_CreateUThreadEx(
                    [](void *p) {
                        while (!static_cast<std::atomic<bool> *>(p)->load())
                            mosUmt_Yield();
                    },
                    &bStop, &sched.base, nullptr, TRUE, kNoClass));
            // Every sample is followed by picks on all four threads within the 50 ms in which
            // the sample lies after their readings.
            for (int samples = 0; samples < 4; samples++) {
                MosTicks_Cnt last = __atomic_load_n(&sched.lastSamplingTick, __ATOMIC_ACQUIRE);
                if (!umtTest_WaitFor([&] { return __atomic_load_n(&sched.lastSamplingTick, __ATOMIC_ACQUIRE) != last; }))
                    _exit(3);
            }
            bStop = true;
            for (HMosUmt_UThread h : handles)
                mosUmt_JoinSync(h);
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// An interval so short that the guard, which looks every 100 ms, could not sample within the
// interval times the panic ratio is raised to one it can keep up with.
TEST(UmtSchedGuard, IntervalsTooShortForTheGuardAreRaised)
{
    const struct {
        UINT32 askedMillis;
        UINT64 ratio;
        UINT32 usedMillis;
    } cases[] = {{20, 3, 100}, {150, 2, 200}, {40, 5, 50}, {150, 3, 150}, {0, 3, 0}};
    for (const auto &c : cases) {
        mosUmtSchedThrd_SetDefaultSchedGuardValues(c.askedMillis, c.ratio);
        EXPECT_EQ(mosTicks_TicksToMillis(mosUmtSchedThrdLayer_Get()->guard.defaultIdleTicks), c.usedMillis)
            << c.askedMillis << " ms, ratio " << c.ratio;
    }
    mosUmtSchedThrd_SetDefaultSchedGuardValues(0, 3);
    MosUmt_SchedThrd sched;
    ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "short interval", 1, 1, 0), MOS_RC__SUCCESS);
    mosUmtSchedThrd_SetLivnessThreshold(&sched, 10);
    EXPECT_EQ(mosTicks_TicksToMillis(sched.maxIdleTicks), 100u);
    mosUmtSchedThrd_SetLivnessThreshold(&sched, 0);
    mosUmtSchedThrd_Destroy(&sched);
}

// A scheduler thread takes at most three uthreads in a row from one queue before it looks at
// the other, so neither its own wake-ups nor those from other threads starve.
TEST(UmtSchedThrd, QueuesTakeTurnsThreeAtATime)
{
    MosUmt_SchedThrd sched;
    ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "turns", 1, 1, 100), MOS_RC__SUCCESS);
    struct Order {
        std::vector<std::string> ran;
        MosUmt_SchedThrd *pSched;
    } order{{}, &sched};
    struct Tagged {
        Order *pOrder;
        std::string tag;
    };
    std::vector<Tagged> locals, remotes;
    for (int i = 1; i <= 6; i++) {
        locals.push_back({&order, "L" + std::to_string(i)});
        remotes.push_back({&order, "R" + std::to_string(i)});
    }
    auto record = [](void *p) {
        Tagged *pT = static_cast<Tagged *>(p);
        pT->pOrder->ran.push_back(pT->tag);
    };
    std::vector<HMosUmt_UThread> handles;
    struct FirstArg {
        std::vector<Tagged> *pLocals;
        std::vector<HMosUmt_UThread> *pHandles;
        MosUmt_SchedThrd *pSched;
        void (*record)(void *);
    } first{&locals, &handles, &sched, record};
    HMosUmt_UThread hFirst = mosUmt_CreateUThreadEx(
        [](void *p) {
            FirstArg *pArg = static_cast<FirstArg *>(p);
            // Made ready here, these go to this thread's own queue.
            for (Tagged &t : *pArg->pLocals)
                pArg->pHandles->push_back(
                    mosUmt_CreateUThreadEx(pArg->record, &t, &pArg->pSched->base, nullptr, TRUE, MosUmtClassId{0, 0}));
            while (__atomic_load_n(&pArg->pSched->pThrds[0].remoteWaites.counter, __ATOMIC_ACQUIRE) < 6) {
            }
        },
        &first, &sched.base, nullptr, TRUE, kNoClass);
    ASSERT_TRUE(umtTest_WaitFor([&] { return sched.pThrds[0].localWaiters.counter == 6; }));
    // Made ready from outside, these go to its remote queue.
    std::vector<HMosUmt_UThread> remoteHandles;
    for (Tagged &t : remotes)
        remoteHandles.push_back(mosUmt_CreateUThreadEx(record, &t, &sched.base, nullptr, TRUE, kNoClass));
    mosUmt_JoinSync(hFirst);
    for (HMosUmt_UThread h : remoteHandles)
        mosUmt_JoinSync(h);
    for (HMosUmt_UThread h : handles)
        mosUmt_JoinSync(h);
    // The first uthread came from the remote queue, so one more remote one follows it.
    EXPECT_EQ(order.ran, (std::vector<std::string>{"R1", "R2", "L1", "L2", "L3", "R3", "R4", "R5", "L4", "L5", "L6",
                                                   "R6"}));
    mosUmtSchedThrd_Destroy(&sched);
}
