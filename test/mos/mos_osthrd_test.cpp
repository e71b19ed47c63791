#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <latch>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "mos/mos_obj.h"
#include "mos/mos_osthrd.h"
#include "mos/mos_utils.h"
#include "mos/mos_utils_mem.h"
#include "test/support/panic_expect.h"

namespace {

struct OsThrdLayer : ::testing::Test {
    void SetUp() override
    {
        ASSERT_EQ(mosObjLayer_Create(nullptr), MOS_RC__SUCCESS);
        ASSERT_EQ(mosOsThrdLayer_Create(nullptr), MOS_RC__SUCCESS);
    }
    void TearDown() override
    {
        mosOsThrdLayer_Destroy();
        mosObjLayer_Destroy();
        mosUtilsLayer_Init(nullptr);
    }
};

// What a thread saw of itself, and a gate that keeps it running until the test has looked.
struct Probe {
    MosOsThrd *pSelf = nullptr;
    UINT32 tid = 0;
    BOOL bRuntime = FALSE;
    BOOL bEqualCurr = FALSE;
    size_t stackSize = 0;
    stack_t altStack{};
    char name[16] = {};
    std::latch started{1};
    std::latch release{1};
};

void probeThread(void *pArg)
{
    Probe *pProbe = static_cast<Probe *>(pArg);
    pProbe->pSelf = mosOsThrd_GetCurrent();
    pProbe->tid = (UINT32)syscall(SYS_gettid);
    pProbe->bRuntime = mosOsThrd_IsRuntimeThread();
    pProbe->bEqualCurr = mosOsThrd_EqualCurr(pProbe->pSelf);
    pthread_attr_t attr;
    pthread_getattr_np(pthread_self(), &attr);
    pthread_attr_getstacksize(&attr, &pProbe->stackSize);
    pthread_attr_destroy(&attr);
    sigaltstack(nullptr, &pProbe->altStack);
    pthread_getname_np(pthread_self(), pProbe->name, sizeof(pProbe->name));
    pProbe->started.count_down();
    pProbe->release.wait();
}

BOOL isActive(UINT32 tid)
{
    UINT32 *pIds = nullptr;
    UINT32 num = 0;
    EXPECT_EQ(mosOsThrdLayer_GetActiveThrdIDs(&pIds, &num), MOS_RC__SUCCESS);
    BOOL bFound = FALSE;
    for (UINT32 i = 0; i < num; i++)
        bFound |= pIds[i] == tid;
    free(pIds);
    return bFound;
}

} // namespace

TEST_F(OsThrdLayer, ThreadIsRegisteredWhileItRunsAndGoneAfterJoin)
{
    Probe probe;
    MosOsThrd thrd;
    ASSERT_EQ(mosOsThrd_Create(&thrd, probeThread, &probe), MOS_RC__SUCCESS);
    probe.started.wait();

    EXPECT_EQ(probe.pSelf, &thrd);
    EXPECT_EQ(thrd.tid, probe.tid);
    EXPECT_TRUE(probe.bRuntime);
    EXPECT_TRUE(probe.bEqualCurr);
    EXPECT_FALSE(mosOsThrd_EqualCurr(&thrd));
    EXPECT_GE(probe.stackSize, (size_t)MOS_OS_THRD__STACK_SIZE);
    EXPECT_LT(probe.stackSize, (size_t)MOS_OS_THRD__STACK_SIZE + 65536);
    EXPECT_EQ(probe.altStack.ss_flags & SS_DISABLE, 0);
    EXPECT_EQ(probe.altStack.ss_size, (size_t)MOS_OS_THRD__ALT_STACK_SIZE);
    EXPECT_TRUE(isActive(probe.tid));
    EXPECT_EQ(mosOsThrdLayer_GetNumActive(), 1u);

    probe.release.count_down();
    mosOsThrd_Destroy(&thrd);
    EXPECT_FALSE(isActive(probe.tid));
    EXPECT_EQ(mosOsThrdLayer_GetNumActive(), 0u);
    EXPECT_EQ(mosObjType_GetObjNum(mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__MOS_OS_THRD)), 0u);
    // The test's own thread was not created by the runtime.
    EXPECT_FALSE(mosOsThrd_IsRuntimeThread());
}

TEST_F(OsThrdLayer, NamedThreadCarriesItsNameToTheKernel)
{
    Probe probe;
    MosOsThrd thrd;
    ASSERT_EQ(mosOsThrd_CreateNamed(&thrd, probeThread, &probe, "schedThrd guard and more"), MOS_RC__SUCCESS);
    probe.started.wait();
    EXPECT_STREQ(probe.name, "schedThrd guard");
    MosObj_Type *pType = mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__MOS_OS_THRD);
    ASSERT_NE(pType, nullptr);
    EXPECT_EQ(mosObjType_GetObjNum(pType), 1u);
    MosObj *pObj = mosObjType_GetNthObj(pType, 0);
    ASSERT_EQ(pObj, &thrd.obj);
    EXPECT_STREQ(pObj->pName, "schedThrd guard and more");
    mosObjType_ReleaseNthObj(pType);
    probe.release.count_down();
    mosOsThrd_Destroy(&thrd);
}

TEST_F(OsThrdLayer, ExitingEarlyStillUnregisters)
{
    std::atomic<bool> bAfterExit{false};
    MosOsThrd thrd;
    ASSERT_EQ(mosOsThrd_Create(
                  &thrd,
                  [](void *pArg) {
                      mosOsThrd_ExitCurThrd();
                      static_cast<std::atomic<bool> *>(pArg)->store(true);
                  },
                  &bAfterExit),
              MOS_RC__SUCCESS);
    mosOsThrd_Destroy(&thrd);
    EXPECT_FALSE(bAfterExit.load());
    EXPECT_EQ(mosOsThrdLayer_GetNumActive(), 0u);
}

TEST_F(OsThrdLayer, ManyThreadsAllListedThenAllGone)
{
    constexpr int kThreads = 16;
    Probe probes[kThreads];
    MosOsThrd thrds[kThreads];
    for (int i = 0; i < kThreads; i++)
        ASSERT_EQ(mosOsThrd_Create(&thrds[i], probeThread, &probes[i]), MOS_RC__SUCCESS);
    for (auto &probe : probes)
        probe.started.wait();
    UINT32 *pIds = nullptr;
    UINT32 num = 0;
    ASSERT_EQ(mosOsThrdLayer_GetActiveThrdIDs(&pIds, &num), MOS_RC__SUCCESS);
    EXPECT_EQ(num, (UINT32)kThreads);
    for (auto &probe : probes)
        EXPECT_NE(std::find(pIds, pIds + num, probe.tid), pIds + num);
    free(pIds);
    for (int i = 0; i < kThreads; i++) {
        probes[i].release.count_down();
        mosOsThrd_Destroy(&thrds[i]);
    }
    EXPECT_EQ(mosOsThrdLayer_GetNumActive(), 0u);
}

TEST_F(OsThrdLayer, BindToCpu)
{
    Probe probe;
    MosOsThrd thrd;
    ASSERT_EQ(mosOsThrd_Create(&thrd, probeThread, &probe), MOS_RC__SUCCESS);
    probe.started.wait();
    // A CPU number past the mask gives an empty mask, which the kernel refuses.
    EXPECT_EQ(mosOsThrd_BindToCpu(&thrd, 1024), MOS_RC__ERROR);
    ASSERT_EQ(mosOsThrd_BindToCpu(&thrd, 0), MOS_RC__SUCCESS);
    cpu_set_t set;
    ASSERT_EQ(pthread_getaffinity_np(thrd.nativeThrd, sizeof(set), &set), 0);
    EXPECT_EQ(CPU_COUNT(&set), 1);
    EXPECT_TRUE(CPU_ISSET(0, &set));
    probe.release.count_down();
    mosOsThrd_Destroy(&thrd);
}

TEST_F(OsThrdLayer, CountersAreSummedOverRunningThreads)
{
    struct Ctx {
        std::latch counted{2};
        std::latch release{1};
    } ctx;
    auto body = [](void *pArg) {
        Ctx *pCtx = static_cast<Ctx *>(pArg);
        mosOsThrd_UpdateLockStats(5, 2);
        mosOsThrd_UpdateUmtWaits(MOS_OS_THRD__UMT_WAIT_TYPE__COND, TRUE);
        mosOsThrd_UpdateUmtWaits(MOS_OS_THRD__UMT_WAIT_TYPE__WRITER, TRUE);
        mosOsThrd_UpdateUmtWaits(MOS_OS_THRD__UMT_WAIT_TYPE__WRITER, TRUE);
        mosOsThrd_UpdateUmtWaits(MOS_OS_THRD__UMT_WAIT_TYPE__WRITER, FALSE);
        void *p = mos_MemMalloc(16, 16, __func__, FALSE);
        void *q = mos_MemMalloc(16, 16, __func__, FALSE);
        mos_MemFree(q);
        MosOsThrd_Query query;
        mosOsThrd_Query(&mosOsThrd_GetCurrent()->obj, nullptr, &query);
        EXPECT_EQ(query.numLocksAcquires, 5u);
        EXPECT_EQ(query.numLocksContentions, 2u);
        EXPECT_EQ(query.numMallocs, 1u);
        EXPECT_EQ(query.umtWaitsCond, 1u);
        pCtx->counted.count_down();
        pCtx->release.wait();
        mos_MemFree(p);
    };
    MosOsThrd a, b;
    ASSERT_EQ(mosOsThrd_Create(&a, body, &ctx), MOS_RC__SUCCESS);
    ASSERT_EQ(mosOsThrd_Create(&b, body, &ctx), MOS_RC__SUCCESS);
    ctx.counted.wait();
    // Read the way the debug object server reads it: through the layer's registry entry.
    MosObj_Type *pLayerType = mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__MOS_OS_THRD_LAYER);
    ASSERT_NE(pLayerType, nullptr);
    ASSERT_EQ(mosObjType_SizeAssociated(pLayerType), sizeof(MosOsThrdLayer_Query));
    MosObj *pLayerObj = mosObjType_GetNthObj(pLayerType, 0);
    ASSERT_NE(pLayerObj, nullptr);
    MosOsThrdLayer_Query sum;
    mosObj_Query(pLayerObj, pLayerType, &sum);
    mosObjType_ReleaseNthObj(pLayerType);
    EXPECT_EQ(sum.numThreads, 2u);
    EXPECT_EQ(sum.numLocksAcquires, 10u);
    EXPECT_EQ(sum.numLocksContentions, 4u);
    EXPECT_EQ(sum.numMallocs, 2u);
    EXPECT_EQ(sum.umtWaitsCond, 2u);
    EXPECT_EQ(sum.umtWaitsReader, 0u);
    EXPECT_EQ(sum.umtWaitsWriter, 2u);
    ctx.release.count_down();
    mosOsThrd_Destroy(&a);
    mosOsThrd_Destroy(&b);
}

TEST_F(OsThrdLayer, InterruptContextNestsAndViolatesOnlyWhenCrashIsSet)
{
    EXPECT_FALSE(mosOsThrd_GetIsInIntrContext());
    mosOsThrd_SetIsInIntrContext(TRUE);
    mosOsThrd_SetIsInIntrContext(TRUE);
    mosOsThrd_SetIsInIntrContext(FALSE);
    EXPECT_TRUE(mosOsThrd_GetIsInIntrContext());
    EXPECT_TRUE(mosOsThrd_NoIntrViolation());

    MosUtils_InitParams params{};
    params.bCrashOnIntrViolation = 7;
    mosUtilsLayer_Init(&params);
    EXPECT_EQ(mosUtilsLayer_GetCrashOnIntrViolation(), 1);
    EXPECT_FALSE(mosOsThrd_NoIntrViolation());
    mosOsThrd_SetIsInIntrContext(FALSE);
    EXPECT_FALSE(mosOsThrd_GetIsInIntrContext());
    EXPECT_TRUE(mosOsThrd_NoIntrViolation());
}

TEST_F(OsThrdLayer, NewThreadsTakeTheCreatorsMask)
{
    cpu_set_t own;
    ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof(own), &own), 0);
    EXPECT_TRUE(CPU_EQUAL(&own, mosOsThrdLayer_GetDefaultMask()));
    cpu_set_t all;
    mosOsThrd_PrepareSetCpuMask(&all);
    EXPECT_EQ(CPU_COUNT(&all), (int)sysconf(_SC_NPROCESSORS_ONLN));
}

TEST(OsThrdDeath, CreatingWithoutTheLayerPanics)
{
    MosOsThrd thrd;
    EXPECT_PANIC(mosOsThrd_Create(&thrd, [](void *) {}, nullptr), "");
}
