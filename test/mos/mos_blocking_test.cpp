#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "mos/mos_blocking.h"
#include "test/support/umt_test_support.h"

namespace {
::testing::Environment *const umtEnv_G = ::testing::AddGlobalTestEnvironment(new UmtRuntimeEnv);

// A call that records its turn and can be held back until the test lets it go.
struct Call {
    MosBlocking_Req req{};
    int id = 0;
    std::vector<int> *pOrder = nullptr;
    std::mutex *pMutex = nullptr;
    std::atomic<bool> *pGate = nullptr;
    std::atomic<int> completions{0};
    std::atomic<INT32> completionRc{-1};

    void Prepare(int callId, std::vector<int> *order, std::mutex *m, std::atomic<bool> *gate, bool bWithCallback)
    {
        id = callId;
        pOrder = order;
        pMutex = m;
        pGate = gate;
        req.workFunc = [](void *p) {
            Call *pCall = static_cast<Call *>(p);
            while (pCall->pGate != nullptr && !pCall->pGate->load())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::lock_guard<std::mutex> g(*pCall->pMutex);
            pCall->pOrder->push_back(pCall->id);
            return pCall->id * 10;
        };
        req.pContext = this;
        MosAsyncObj_CK pCK = [](MosAsyncObj *pObj, INT32 rc) {
            Call *pCall = MOS_CONTAINER_OF(pObj, Call, req.asyncObj);
            pCall->completionRc = rc;
            pCall->completions++;
        };
        req.asyncObj.pCK = bWithCallback ? pCK : nullptr;
    }
};
} // namespace

TEST(Blocking, OneThreadRunsCallsInSubmissionOrder)
{
    MosBlocking blocking;
    ASSERT_EQ(mosBlocking_Create(&blocking, "order test", 1), MOS_RC__SUCCESS);
    std::vector<int> order;
    std::mutex m;
    std::atomic<bool> gate{false};
    Call calls[3];
    for (int i = 0; i < 3; i++) {
        calls[i].Prepare(i + 1, &order, &m, &gate, i != 1);
        EXPECT_EQ(mosBlocking_SubmitWait(&blocking, &calls[i].req), MOS_RC__PENDING);
    }
    EXPECT_GE(mosBlocking_GetNumWaiters(&blocking), 2u);
    gate = true;
    ASSERT_TRUE(umtTest_WaitFor([&] { return calls[2].completions.load() == 1; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(calls[0].completionRc.load(), MOS_RC__SUCCESS);
    // No callback: nobody is told, and the result is in the request.
    EXPECT_EQ(calls[1].completions.load(), 0);
    EXPECT_EQ(calls[1].req.status, 20);
    EXPECT_EQ(calls[2].req.status, 30);
    mosBlocking_Destroy(&blocking);
}

TEST(Blocking, DefaultServiceCountsItsQueue)
{
    std::vector<int> order;
    std::mutex m;
    std::atomic<bool> gate{false};
    Call calls[3];
    for (int i = 0; i < 3; i++) {
        calls[i].Prepare(i, &order, &m, &gate, true);
        mosBlocking_SubmitWait(nullptr, &calls[i].req);
    }
    // One runs (held at the gate), two wait.
    ASSERT_TRUE(umtTest_WaitFor([] { return mosBlocking_GetNumWaiters(nullptr) == 2; }));
    gate = true;
    ASSERT_TRUE(umtTest_WaitFor([&] { return calls[2].completions.load() == 1; }));
    EXPECT_EQ(mosBlocking_GetNumWaiters(nullptr), 0u);
}

// Destroying a service ends its threads after the calls that are running; the queued calls
// never run and are completed as aborted, so that no submitter waits for ever.
TEST(Blocking, DestroyAbortsTheCallsStillQueued)
{
    MosBlocking blocking;
    ASSERT_EQ(mosBlocking_Create(&blocking, "destroy test", 1), MOS_RC__SUCCESS);
    std::vector<int> order;
    std::mutex m;
    std::atomic<bool> gate{false};
    Call calls[3];
    for (int i = 0; i < 3; i++) {
        calls[i].Prepare(i, &order, &m, &gate, true);
        mosBlocking_SubmitWait(&blocking, &calls[i].req);
    }
    ASSERT_TRUE(umtTest_WaitFor([&] { return mosBlocking_GetNumWaiters(&blocking) == 2; }));
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        gate = true;
    });
    mosBlocking_Destroy(&blocking);
    opener.join();
    EXPECT_EQ(order, (std::vector<int>{0}));
    EXPECT_EQ(calls[0].completionRc.load(), MOS_RC__SUCCESS);
    for (int i = 1; i < 3; i++) {
        EXPECT_EQ(calls[i].completions.load(), 1);
        EXPECT_EQ(calls[i].completionRc.load(), MOS_RC__ABORTED);
    }
}
