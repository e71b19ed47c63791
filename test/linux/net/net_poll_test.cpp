#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "test/support/net_test_env.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new NetRuntimeEnv);

// A registration block that records what the poll called, and whether anything came after the
// removal was confirmed.
struct Recorder {
    NetPoll_RegFd reg;
    std::atomic<int> reads{0};
    std::atomic<int> errors{0};
    std::atomic<bool> unregDone{false};
    std::atomic<int> afterUnreg{0};
    std::string order; // poll thread only
};

Recorder *RecorderOf(NetPoll_RegFd *pReg)
{
    return MOS_CONTAINER_OF(pReg, Recorder, reg);
}

void RecRead(NetPoll_RegFd *pReg)
{
    Recorder *p = RecorderOf(pReg);
    if (p->unregDone)
        p->afterUnreg++;
    p->reads++;
    p->order += 'R';
}

void RecError(NetPoll_RegFd *pReg)
{
    Recorder *p = RecorderOf(pReg);
    if (p->unregDone)
        p->afterUnreg++;
    p->errors++;
    p->order += 'E';
}

void RecUnreg(NetPoll_RegFd *pReg)
{
    RecorderOf(pReg)->unregDone = true;
}

class NetPollTest : public ::testing::Test {
  protected:
    void SetUp() override { netEngineTest_Start(&engine_, 2, 1); }
    void TearDown() override { netEngineTest_Stop(&engine_); }
    NetPoll *poll() { return &engine_.net.poll; }
    NetEngineForTest engine_;
};
} // namespace

// Events keep coming from another thread while the socket is removed: once its pUnregDoneCK ran,
// no callback of the block runs again.
TEST_F(NetPollTest, NoEventAfterRemovalIsConfirmed)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    Recorder rec;
    netPollRegFD_Init(&rec.reg, sv[0], RecUnreg, RecRead, nullptr, RecError);
    netPoll_AddSocket(poll(), &rec.reg);
    netPollRegFd_SetTriggers(poll(), &rec.reg, TRUE, FALSE, TRUE);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        char c = 'x';
        while (!stop) {
            if (write(sv[1], &c, 1) != 1)
                usleep(100);
            char drain[4096];
            while (read(sv[0], drain, sizeof(drain)) > 0) {
            }
        }
    });
    ASSERT_TRUE(umtTest_WaitFor([&] { return rec.reads > 20; }));
    EXPECT_EQ(netPoll_RemSocket(poll(), &rec.reg), MOS_RC__PENDING);
    ASSERT_TRUE(umtTest_WaitFor([&] { return rec.unregDone.load(); }));
    EXPECT_EQ(rec.reg.magic, 0u);
    const int readsAtUnreg = rec.reads;
    usleep(50000);
    stop = true;
    writer.join();
    EXPECT_EQ(rec.afterUnreg, 0);
    EXPECT_EQ(rec.reads, readsAtUnreg);
    close(sv[0]);
    close(sv[1]);
}

// One event that carries both a hang-up and data calls the error callback before the read one.
TEST_F(NetPollTest, ErrorCallbackRunsBeforeReadOfTheSameEvent)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    ASSERT_EQ(write(sv[1], "abc", 3), 3);
    close(sv[1]);
    Recorder rec;
    netPollRegFD_Init(&rec.reg, sv[0], RecUnreg, RecRead, nullptr, RecError);
    netPoll_AddSocket(poll(), &rec.reg);
    netPollRegFd_SetTriggers(poll(), &rec.reg, TRUE, FALSE, TRUE);
    ASSERT_TRUE(umtTest_WaitFor([&] { return rec.reads > 0; }));
    netPoll_RemSocket(poll(), &rec.reg);
    ASSERT_TRUE(umtTest_WaitFor([&] { return rec.unregDone.load(); }));
    // The registration itself may report the hang-up alone before reads are enabled; every event
    // after that carries both, so each read callback follows an error callback.
    ASSERT_NE(rec.order.find('R'), std::string::npos);
    for (size_t i = 0; i < rec.order.size(); i++) {
        if (rec.order[i] == 'R') {
            EXPECT_TRUE(i > 0 && rec.order[i - 1] == 'E') << rec.order;
        }
    }
    close(sv[0]);
}

namespace {
struct PollTaskRecord {
    MosMit_Storage<2> mit;
    NetPoll *pPoll;
    UINT32 iteration;
    std::atomic<bool> ran{false};
};

Mos_RC RecordIteration(MosMit *pMit, Mos_RC rc)
{
    MOS_UNUSED(rc);
    PollTaskRecord *p = static_cast<PollTaskRecord *>(pMit->pContext);
    p->iteration = p->pPoll->dbgQuery.numOfGoodWakeup + p->pPoll->dbgQuery.numOfDummyWakeup;
    p->ran = true;
    return mosMit_Return(pMit, MOS_RC__SUCCESS);
}
} // namespace

// Tasks handed to the poll run on its thread, one per loop iteration.
TEST_F(NetPollTest, QueuedTasksRunOnePerIteration)
{
    PollTaskRecord recs[3];
    for (auto &r : recs) {
        r.pPoll = poll();
        mosMit_Init(r.mit.get(), &poll()->sched, nullptr, &r, 2);
    }
    for (auto &r : recs)
        mosMit_Start(r.mit.get(), RecordIteration);
    ASSERT_TRUE(umtTest_WaitFor([&] { return recs[2].ran.load(); }));
    EXPECT_LT(recs[0].iteration, recs[1].iteration);
    EXPECT_LT(recs[1].iteration, recs[2].iteration);
}

// The loop's interval follows the first polled timer queue when that is shorter than the
// configured time-out, so a 100 ms timer fires on time although the time-out is 250 ms.
TEST_F(NetPollTest, DrivesTheTimerQueues)
{
    struct Fired {
        MosTimer_Req req;
        std::atomic<bool> fired{false};
    } f;
    mosTimerReq_Init(&f.req, [](MosAsyncObj *pObj, INT32) {
        MOS_CONTAINER_OF(pObj, Fired, req.asyncObj)->fired = true;
    });
    EXPECT_EQ(mosTimerReq_Add(&f.req, 100), MOS_RC__PENDING);
    EXPECT_TRUE(umtTest_WaitFor([&] { return f.fired.load(); }, std::chrono::seconds(10)));
    mosTimerReq_Destroy(&f.req);
}

TEST_F(NetPollTest, AddingARegisteredBlockTwicePanics)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    Recorder rec;
    netPollRegFD_Init(&rec.reg, sv[0], RecUnreg, RecRead, nullptr, RecError);
    netPoll_AddSocket(poll(), &rec.reg);
    EXPECT_PANIC(netPoll_AddSocket(poll(), &rec.reg), "pReg->magic == 0");
    netPoll_RemSocket(poll(), &rec.reg);
    ASSERT_TRUE(umtTest_WaitFor([&] { return rec.unregDone.load(); }));
    close(sv[0]);
    close(sv[1]);
}
