// The object registry under concurrency: users, adders and removers run as uthreads on a
// scheduler of four OS threads; the test thread watches the shared lock record to know when a
// waiter is parked.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>

#include "mos/umt/mos_umt_sched_thrd.h"
#include "test/support/umt_test_support.h"
#include "tgt/cont/cont_obj.h"

namespace {

::testing::Environment *const umtEnv_G = ::testing::AddGlobalTestEnvironment(new UmtRuntimeEnv);
const MosUmtClassId kNoClass{0, 0};

struct TestObj {
    ContObjLock lock;
    MosHash_Record rec;
    UINT64 id;
};

// A uthread running fn on the test's scheduler; done() says it returned.
class Actor {
  public:
    Actor(MosUmt_Sched *pSched, std::function<void()> fn) : fn_(std::move(fn))
    {
        h_ = mosUmt_CreateUThreadEx(
            [](void *p) {
                Actor *a = static_cast<Actor *>(p);
                a->fn_();
                a->done_ = true;
            },
            this, pSched, nullptr, TRUE, kNoClass);
        EXPECT_NE(h_, nullptr);
    }
    ~Actor() { join(); }
    bool done() const { return done_.load(); }
    void join()
    {
        if (h_ != nullptr)
            mosUmt_JoinSync(h_);
        h_ = nullptr;
    }

  private:
    std::function<void()> fn_;
    std::atomic<bool> done_{false};
    HMosUmt_UThread h_ = nullptr;
};

UINT32 stateOf(const TestObj &o)
{
    return __atomic_load_n((const UINT32 *)&o.lock.state, __ATOMIC_ACQUIRE);
}
UINT32 usageOf(const TestObj &o)
{
    return __atomic_load_n(&o.lock.usage, __ATOMIC_ACQUIRE);
}
UINT32 removersOf(const TestObj &o)
{
    return __atomic_load_n(&o.lock.numOfDestroy, __ATOMIC_ACQUIRE);
}

class ContObjTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(mosUmtSchedThrd_Create(&sched_, "cont obj test", 4, 4, 4), MOS_RC__SUCCESS);
        contObj_Init(&reg_, CONT_OBJ_TYPE__OSTREL, CONT_OBJ_TYPE__EXAMPLE);
    }
    void TearDown() override
    {
        contObj_Destroy(&reg_);
        mosUmtSchedThrd_Destroy(&sched_);
    }
    MosUmt_Sched *sched() { return &sched_.base; }

    // Registers o (NORMAL) from a uthread.
    void add(TestObj &o, ContObjType type = CONT_OBJ_TYPE__DEV)
    {
        Actor a(sched(), [&] {
            Mos_RC rc = MOS_RC__ERROR;
            ASSERT_EQ(contObj_AddStart(&reg_, o.id, type, &rc), nullptr);
            ASSERT_EQ(rc, MOS_RC__SUCCESS);
            contObj_AddSyncDone(&reg_, &o.lock, o.id, type, &o, &o.rec);
            contObj_AddDone(&reg_, &o.lock, o.id, type);
        });
    }

    MosUmt_SchedThrd sched_{};
    ContObj reg_{};
};

TEST_F(ContObjTest, AcquireDuringAddIsRefusedAndForcedAcquireWaitsForAddDone)
{
    TestObj o{};
    o.id = 0x1234;
    std::atomic<bool> finish{false};
    Actor adder(sched(), [&] {
        Mos_RC rc = MOS_RC__ERROR;
        ASSERT_EQ(contObj_AddStart(&reg_, o.id, CONT_OBJ_TYPE__DEV, &rc), nullptr);
        contObj_AddSyncDone(&reg_, &o.lock, o.id, CONT_OBJ_TYPE__DEV, &o, &o.rec);
        while (!finish.load())
            mosUmt_Yield();
        contObj_AddDone(&reg_, &o.lock, o.id, CONT_OBJ_TYPE__DEV);
    });
    ASSERT_TRUE(umtTest_WaitFor([&] { return stateOf(o) == CONT_OBJ_LOCK_STATE__ADD_IN_PROG; }));
    EXPECT_EQ(contObj_Acquire(&reg_, o.id, CONT_OBJ_TYPE__DEV), nullptr);

    void *pReadResult = nullptr;
    Actor reader(sched(), [&] {
        pReadResult = contObj_AcquireReadLock(&reg_, o.id, CONT_OBJ_TYPE__DEV);
        contObj_ReleaseReadLock(&reg_, o.id, CONT_OBJ_TYPE__DEV);
    });
    // The reader is counted in and parked on the object lock until the add is done.
    ASSERT_TRUE(umtTest_WaitFor([&] { return usageOf(o) == 2; }));
    EXPECT_FALSE(reader.done());
    finish = true;
    reader.join();
    adder.join();
    EXPECT_EQ(pReadResult, &o);
    EXPECT_EQ(usageOf(o), 0u);
    EXPECT_EQ(contObj_Acquire(&reg_, o.id, CONT_OBJ_TYPE__DEV), &o);
    contObj_Release(&reg_, o.id, CONT_OBJ_TYPE__DEV);
    Actor remover(sched(), [&] { EXPECT_EQ(contObj_Rem(&reg_, o.id, CONT_OBJ_TYPE__DEV), &o); });
}

TEST_F(ContObjTest, RemoveWaitsForEveryUserAndRefusesNewAcquires)
{
    TestObj o{};
    o.id = 77;
    add(o);
    ASSERT_EQ(contObj_Acquire(&reg_, o.id, CONT_OBJ_TYPE__DEV), &o);
    ASSERT_EQ(contObj_Acquire(&reg_, o.id, CONT_OBJ_TYPE__DEV), &o);

    void *pRemoved = nullptr;
    Actor remover(sched(), [&] { pRemoved = contObj_Rem(&reg_, o.id, CONT_OBJ_TYPE__DEV); });
    ASSERT_TRUE(umtTest_WaitFor([&] { return removersOf(o) == 1; }));
    EXPECT_EQ(stateOf(o), CONT_OBJ_LOCK_STATE__REM_IN_PROG);
    EXPECT_EQ(contObj_Acquire(&reg_, o.id, CONT_OBJ_TYPE__DEV), nullptr);
    Actor writer(sched(), [&] { EXPECT_EQ(contObj_AcquireWriteLock(&reg_, o.id, CONT_OBJ_TYPE__DEV), nullptr); });
    writer.join();

    contObj_Release(&reg_, o.id, CONT_OBJ_TYPE__DEV);
    EXPECT_EQ(usageOf(o), 1u);
    EXPECT_FALSE(remover.done());
    contObj_Release(&reg_, o.id, CONT_OBJ_TYPE__DEV);
    remover.join();
    EXPECT_EQ(pRemoved, &o);
    EXPECT_EQ(stateOf(o), CONT_OBJ_LOCK_STATE__FREE);
    EXPECT_EQ(contObj_Acquire(&reg_, o.id, CONT_OBJ_TYPE__DEV), nullptr);
    Actor again(sched(), [&] { EXPECT_EQ(contObj_Rem(&reg_, o.id, CONT_OBJ_TYPE__DEV), nullptr); });
}

TEST_F(ContObjTest, OfTwoRemoversExactlyOneGetsTheObject)
{
    TestObj o{};
    o.id = 5;
    add(o, CONT_OBJ_TYPE__COMB);
    ASSERT_EQ(contObj_Acquire(&reg_, o.id, CONT_OBJ_TYPE__COMB), &o);
    void *results[2] = {nullptr, nullptr};
    auto r0 = std::make_unique<Actor>(sched(), [&] { results[0] = contObj_Rem(&reg_, o.id, CONT_OBJ_TYPE__COMB); });
    auto r1 = std::make_unique<Actor>(sched(), [&] { results[1] = contObj_Rem(&reg_, o.id, CONT_OBJ_TYPE__COMB); });
    ASSERT_TRUE(umtTest_WaitFor([&] { return removersOf(o) == 2; }));
    contObj_Release(&reg_, o.id, CONT_OBJ_TYPE__COMB);
    r0->join();
    r1->join();
    EXPECT_EQ((results[0] == &o) + (results[1] == &o), 1);
    EXPECT_EQ((results[0] == nullptr) + (results[1] == nullptr), 1);
    EXPECT_EQ(contObj_Acquire(&reg_, o.id, CONT_OBJ_TYPE__COMB), nullptr);
}

TEST_F(ContObjTest, RemoveDuringAddWaitsForTheAdder)
{
    TestObj o{};
    o.id = 9;
    std::atomic<bool> finish{false};
    Actor adder(sched(), [&] {
        Mos_RC rc = MOS_RC__ERROR;
        ASSERT_EQ(contObj_AddStart(&reg_, o.id, CONT_OBJ_TYPE__VOL, &rc), nullptr);
        contObj_AddSyncDone(&reg_, &o.lock, o.id, CONT_OBJ_TYPE__VOL, &o, &o.rec);
        while (!finish.load())
            mosUmt_Yield();
        contObj_AddDone(&reg_, &o.lock, o.id, CONT_OBJ_TYPE__VOL);
    });
    ASSERT_TRUE(umtTest_WaitFor([&] { return stateOf(o) == CONT_OBJ_LOCK_STATE__ADD_IN_PROG; }));
    void *pRemoved = nullptr;
    Actor remover(sched(), [&] { pRemoved = contObj_Rem(&reg_, o.id, CONT_OBJ_TYPE__VOL); });
    ASSERT_TRUE(umtTest_WaitFor([&] { return usageOf(o) == 2; }));
    EXPECT_FALSE(remover.done());
    finish = true;
    remover.join();
    EXPECT_EQ(pRemoved, &o);
}

// A peer's timing can make an add meet a removal in progress: the add is answered, not a panic,
// and holds nothing, so the same stripe stays usable and the add succeeds after the removal.
TEST_F(ContObjTest, AddMeetingARemovalInProgressIsAnsweredRetry)
{
    TestObj o{};
    o.id = 0x42;
    TestObj neighbour{};
    neighbour.id = 0x42 + CONT_OBJ__NUM_STRIPES; // same stripe
    add(o);
    add(neighbour);
    ASSERT_EQ(contObj_Acquire(&reg_, o.id, CONT_OBJ_TYPE__DEV), &o);
    Actor remover(sched(), [&] { EXPECT_EQ(contObj_Rem(&reg_, o.id, CONT_OBJ_TYPE__DEV), &o); });
    ASSERT_TRUE(umtTest_WaitFor([&] { return removersOf(o) == 1; }));

    Actor adder(sched(), [&] {
        Mos_RC rc = MOS_RC__ERROR;
        EXPECT_EQ(contObj_AddStart(&reg_, o.id, CONT_OBJ_TYPE__DEV, &rc), nullptr);
        EXPECT_EQ(rc, MOS_RC__RETRY);
    });
    adder.join();
    EXPECT_EQ(contObj_Acquire(&reg_, neighbour.id, CONT_OBJ_TYPE__DEV), &neighbour);
    contObj_Release(&reg_, neighbour.id, CONT_OBJ_TYPE__DEV);

    contObj_Release(&reg_, o.id, CONT_OBJ_TYPE__DEV);
    remover.join();
    TestObj again{};
    again.id = o.id;
    add(again);
    EXPECT_EQ(contObj_Acquire(&reg_, o.id, CONT_OBJ_TYPE__DEV), &again);
    contObj_Release(&reg_, o.id, CONT_OBJ_TYPE__DEV);
    Actor cleanup(sched(), [&] {
        EXPECT_EQ(contObj_Rem(&reg_, again.id, CONT_OBJ_TYPE__DEV), &again);
        EXPECT_EQ(contObj_Rem(&reg_, neighbour.id, CONT_OBJ_TYPE__DEV), &neighbour);
    });
}

// An add of a registered id hands back the object under its write lock for an update in place.
TEST_F(ContObjTest, AddOfARegisteredIdReturnsItForUpdate)
{
    TestObj o{};
    o.id = 3;
    add(o, CONT_OBJ_TYPE__HEAD);
    Actor updater(sched(), [&] {
        Mos_RC rc = MOS_RC__ERROR;
        EXPECT_EQ(contObj_AddStart(&reg_, o.id, CONT_OBJ_TYPE__HEAD, &rc), &o);
        EXPECT_EQ(rc, MOS_RC__SUCCESS);
        EXPECT_EQ(usageOf(o), 1u);
        contObj_ReleaseWriteLock(&reg_, o.id, CONT_OBJ_TYPE__HEAD);
        EXPECT_EQ(contObj_Rem(&reg_, o.id, CONT_OBJ_TYPE__HEAD), &o);
    });
}

TEST_F(ContObjTest, BrokenInvariantsOfTheServersOwnCallsPanic)
{
    EXPECT_PANIC(contObj_Release(&reg_, 99, CONT_OBJ_TYPE__DEV), "pNode == nullptr");
    EXPECT_PANIC(contObj_Acquire(&reg_, 1, CONT_OBJ_TYPE__END), "objType > pObj->maxOfObjType");
}

TEST(GenericFilter, CallsItsFunctionWithItsContext)
{
    int threshold = 10;
    GenericFilter f;
    genericFilter_Create(
        &f, [](void *pCtx, void *pItem) -> BOOL { return *static_cast<int *>(pItem) > *static_cast<int *>(pCtx); },
        &threshold, 2);
    int small = 3, big = 30;
    EXPECT_FALSE(genericFilter_Filter(&f, &small));
    EXPECT_TRUE(genericFilter_Filter(&f, &big));
    genericFilter_SetNumOfItemsInFilter(&f, 5);
    EXPECT_EQ(genericFilter_GetNumOfItemsInFilter(&f), 5u);
}

} // namespace
