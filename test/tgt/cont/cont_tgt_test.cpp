#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "test/support/umt_test_support.h"
#include "mos/mos_utils_mem.h"
#include "tgt/cont/cont.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new UmtRuntimeEnv);

// The Ostrel as the permit test scripts it: each request takes delayMs and answers the next code.
struct PermitScript {
    std::atomic<int> requests{0};
    std::atomic<int> delayMs{0};
    std::atomic<Mos_RC> answer{MOS_RC__SUCCESS};
};
PermitScript script_G;

Mos_RC permitTest_Send(Cont *, const OstrelTgtReq_DegradeCombPermit *pReq)
{
    EXPECT_EQ(pReq->priTgtId, 0x21u);
    EXPECT_EQ(pReq->secTgtId, 0x12u);
    script_G.requests++;
    if (script_G.delayMs > 0)
        mosUmt_SleepByQ(mosTimer_GetClosestQ((UINT32)script_G.delayMs));
    return script_G.answer;
}

class ContTgtPermit : public ::testing::Test {
  protected:
    void SetUp() override
    {
        static Cont cont;
        pCont_ = &cont;
        pCont_->ostrel.tgtId = 0x21;
        contTgtMngr_Init(&pCont_->tgtMngr, pCont_);
        pCont_->tgtMngr.pSendPermitCK = permitTest_Send;
        contTgtMngr_TgtInit(&pCont_->tgtMngr, &peer_, 0x12, 1, nullptr);
        script_G.requests = 0;
        script_G.delayMs = 0;
        script_G.answer = MOS_RC__SUCCESS;
    }
    void TearDown() override { contTgtMngr_TgtDestroy(&pCont_->tgtMngr, &peer_); }
    // n askers at once, each on a uthread of its own; their answers.
    std::vector<Mos_RC> AskTogether(int n)
    {
        std::vector<Mos_RC> rcs(n, MOS_RC__ILLEGAL);
        std::vector<std::thread> threads;
        for (int i = 0; i < n; i++)
            threads.emplace_back([&, i] { umtTest_RunAsUmt([&] { rcs[i] = contTgt_CheckDegradePermit(&peer_); }); });
        for (std::thread &t : threads)
            t.join();
        return rcs;
    }
    Mos_RC Ask()
    {
        return AskTogether(1)[0];
    }
    Cont *pCont_ = nullptr;
    ContTgt peer_;
};

// Asked twice within a second: one request; the answer is kept for a second, then asked again.
TEST_F(ContTgtPermit, AnAnswerIsReusedForOneSecond)
{
    EXPECT_EQ(Ask(), MOS_RC__SUCCESS);
    EXPECT_EQ(Ask(), MOS_RC__SUCCESS);
    EXPECT_EQ(script_G.requests, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    script_G.answer = MOS_RC__ABORTED;
    EXPECT_EQ(Ask(), MOS_RC__ABORTED); // refused
    EXPECT_EQ(script_G.requests, 2);
}

// Many askers at once: one request in flight; those who waited get its answer.
TEST_F(ContTgtPermit, ConcurrentAskersShareOneRequest)
{
    script_G.delayMs = 100;
    for (Mos_RC rc : AskTogether(6))
        EXPECT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_EQ(script_G.requests, 1);
}

// An Ostrel that answers anything but grant or refusal, or is silent for longer than a second.
TEST_F(ContTgtPermit, OtherAnswersAndSilenceMeanRetry)
{
    for (Mos_RC answer : {MOS_RC__RETRY, MOS_RC__TIMEOUT, MOS_RC__NOT_CONN}) {
        SCOPED_TRACE(answer);
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        script_G.answer = answer;
        EXPECT_EQ(Ask(), MOS_RC__RETRY);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    script_G.answer = MOS_RC__SUCCESS;
    script_G.delayMs = 2000; // the one request hangs past the waiters' second
    std::vector<Mos_RC> rcs = AskTogether(3);
    int retries = 0, grants = 0;
    for (Mos_RC rc : rcs) {
        retries += rc == MOS_RC__RETRY;
        grants += rc == MOS_RC__SUCCESS;
    }
    EXPECT_EQ(grants, 1);   // the asker whose request it was
    EXPECT_EQ(retries, 2);  // the waiters gave up after a second
    EXPECT_EQ(script_G.requests, 4);
}

// The network test's rules: no results before a first run, nothing to test without peers.
TEST_F(ContTgtPermit, NetworkTestNeedsPeersAndAFirstRun)
{
    OstrelTgtRsp_NetTest *pRes = nullptr;
    UINT32 count = 0;
    contTgtMngr_TgtDestroy(&pCont_->tgtMngr, &peer_);
    umtTest_RunAsUmt([&] {
        EXPECT_EQ(contTgtMngr_GetNetTest(&pCont_->tgtMngr, &pRes, &count), MOS_RC__NO_TEST);
        EXPECT_EQ(contTgtMngr_NetTest(&pCont_->tgtMngr, 4096, 4, 0), MOS_RC__NOT_FOUND);
    });
}

} // namespace
