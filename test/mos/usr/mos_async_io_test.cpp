// The asynchronous I/O engine's queueing rules, over a backend that holds every transfer until
// the test completes it.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "mos/mit/mos_mit.h"
#include "mos/mos_obj.h"
#include "mos/usr/mos_async_io.h"
#include "test/support/fake_aio_backend.h"
#include "test/support/scratch_dir.h"
#include "test/support/umt_test_support.h"

namespace {
::testing::Environment *const umtEnv_G = ::testing::AddGlobalTestEnvironment(new UmtRuntimeEnv);

alignas(4096) UINT8 ioBuf_G[64 * 1024];

struct Recorder {
    std::mutex mutex;
    std::vector<int> order;
    std::vector<INT32> rcs;
    size_t count()
    {
        std::lock_guard<std::mutex> g(mutex);
        return order.size();
    }
};

// A request that records its completion; the engine's request comes first.
struct TestReq {
    MosAsyncIO_Req req;
    int id;
    Recorder *pRec;
};

void recordCK(MosAsyncObj *pObj, INT32 rc)
{
    TestReq *pReq = reinterpret_cast<TestReq *>(pObj);
    std::lock_guard<std::mutex> g(pReq->pRec->mutex);
    pReq->pRec->order.push_back(pReq->id);
    pReq->pRec->rcs.push_back(rc);
}

std::vector<std::string> threadNames()
{
    std::vector<std::string> names;
    DIR *pDir = opendir("/proc/self/task");
    if (pDir == nullptr)
        return names;
    while (dirent *pEnt = readdir(pDir)) {
        if (pEnt->d_name[0] == '.')
            continue;
        std::ifstream comm(std::string("/proc/self/task/") + pEnt->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        names.push_back(name);
    }
    closedir(pDir);
    return names;
}

class AsyncIOFake : public ::testing::Test {
  protected:
    void SetUp() override
    {
        for (int i = 0; i < 2; i++) {
            paths[i] = dir.file("dev" + std::to_string(i));
            std::ofstream(paths[i]).close();
            ASSERT_EQ(truncate(paths[i].c_str(), 1 << 20), 0);
        }
    }
    void TearDown() override
    {
        for (auto &h : files) {
            if (h.pFile != nullptr)
                mosAsyncIO_CloseFile(&h);
        }
        if (bCreated) {
            // Files closed above finish closing on the reaper once their requests are done.
            fake.completeAll();
            EXPECT_TRUE(umtTest_WaitFor([&] { return fileCount() == 0; }));
            mosAsyncIO_Destroy(&aio);
        }
    }
    void create(UINT32 maxReq, UINT32 thrds = 1, BOOL bNative = TRUE)
    {
        ASSERT_EQ(mosAsyncIO_CreateWithBackend(&aio, maxReq, thrds, bNative, fake.ops()), MOS_RC__SUCCESS);
        bCreated = true;
    }
    void open(int i, UINT32 maxInflight, BOOL bPartial = FALSE)
    {
        ASSERT_EQ(mosAsyncIO_OpenFileEx(&aio, &files[i], paths[i].c_str(), maxInflight, FALSE, bPartial),
                  MOS_RC__SUCCESS);
    }
    TestReq &submit(int file, UINT64 offset = 0, UINT32 size = 4096, BOOL bWrite = FALSE)
    {
        reqs.push_back(TestReq{});
        TestReq &r = reqs.back();
        r.id = (int)reqs.size() - 1;
        r.pRec = &rec;
        mosAsyncIOReq_Init(&r.req, files[file].pFile, recordCK, ioBuf_G, offset, size, bWrite);
        EXPECT_EQ(mosAsyncIO_DoIO(&r.req), MOS_RC__PENDING);
        return r;
    }
    int idOf(struct iocb *p)
    {
        return reinterpret_cast<TestReq *>(p->data)->id;
    }
    std::vector<int> takenIds()
    {
        std::vector<int> ids;
        for (auto &s : fake.taken())
            ids.push_back(idOf(s.pIocb));
        return ids;
    }
    std::vector<int> heldIds()
    {
        std::vector<int> ids;
        for (auto &s : fake.held())
            ids.push_back(idOf(s.pIocb));
        return ids;
    }
    UINT32 fileCount()
    {
        MosAsyncIO_FileEnumContext ctx;
        MosAsyncIO_FileHandle h;
        UINT32 n = 0;
        mos_StartAsyncIOFileEnum(&ctx, &aio);
        while (mos_GetNextAsyncIOFile(&ctx, &h) == MOS_RC__SUCCESS)
            n++;
        mos_FinishAsyncIOFileEnum(&ctx);
        return n;
    }
    MosAsyncIO_Query query()
    {
        MosAsyncIO_Query q{};
        mosObj_Query(&aio.obj, mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__MOS_ASYNC_IO), &q);
        return q;
    }

    ScratchDir dir;
    std::string paths[2];
    FakeAioBackend fake;
    MosAsyncIO aio;
    bool bCreated = false;
    MosAsyncIO_FileHandle files[2] = {};
    std::deque<TestReq> reqs;
    Recorder rec;
};

// The file limit, with the requests submitted directly (native) and through the file's
// submitter thread: the same FIFO promotion either way.
class AsyncIOFileLimit : public AsyncIOFake, public ::testing::WithParamInterface<BOOL> {};

TEST_P(AsyncIOFileLimit, ExcessWaitsAtTheFileAndEachCompletionPromotesOne)
{
    create(64, 1, GetParam());
    open(0, 2);
    for (int i = 0; i < 5; i++)
        submit(0, (UINT64)i * 4096);
    ASSERT_TRUE(fake.waitHeld(2));
    EXPECT_EQ(heldIds(), (std::vector<int>{0, 1}));
    EXPECT_EQ(mosAsyncIOFile_WaitersNum(&files[0]), 3u);
    EXPECT_EQ(mosAsyncIOFile_InflightsNum(&files[0]), 2u);

    // Completions out of submission order: each lets exactly the next waiter in.
    fake.complete(fake.held()[1].pIocb);
    ASSERT_TRUE(fake.waitTaken(3));
    EXPECT_EQ(heldIds(), (std::vector<int>{0, 2}));
    fake.completeOldest();
    ASSERT_TRUE(fake.waitTaken(4));
    fake.completeOldest();
    ASSERT_TRUE(fake.waitTaken(5));
    EXPECT_EQ(heldIds(), (std::vector<int>{3, 4}));
    EXPECT_EQ(mosAsyncIOFile_WaitersNum(&files[0]), 0u);
    fake.complete(fake.held()[1].pIocb);
    fake.completeOldest();
    ASSERT_TRUE(umtTest_WaitFor([&] { return rec.count() == 5; }));
    EXPECT_EQ(takenIds(), (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(rec.order, (std::vector<int>{1, 0, 2, 4, 3}));
    EXPECT_EQ(mosAsyncIOFile_InflightsNum(&files[0]), 0u);
    for (INT32 rc : rec.rcs)
        EXPECT_EQ(rc, MOS_RC__SUCCESS);

    // The kernel keeps the first 15 characters of a thread's name.
    auto names = threadNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "asyncio_reaper"), 1);
    EXPECT_EQ(std::count(names.begin(), names.end(), std::string("async_io_submitter").substr(0, 15)),
              GetParam() ? 0 : 1);
}
INSTANTIATE_TEST_SUITE_P(NativeAndSubmitter, AsyncIOFileLimit, ::testing::Values(TRUE, FALSE));

TEST_F(AsyncIOFake, ContextLimitHoldsAnotherFilesRequestUntilTheReaperSubmitsIt)
{
    create(1);
    open(0, 0);
    open(1, 0);
    submit(0);
    submit(1);
    ASSERT_TRUE(fake.waitHeld(1));
    EXPECT_EQ(mosAsyncIO_WaitersNum(&aio), 1u);
    EXPECT_EQ(mosAsyncIOFile_InflightsNum(&files[1]), 1u); // admitted at its file, waiting at the context
    MosAsyncIO_Query q = query();
    EXPECT_EQ(q.inflights, 1u);
    EXPECT_EQ(q.maxInflights, 1u);
    EXPECT_EQ(q.waiters, 1u);
    EXPECT_EQ(q.thrdNum, 1u);
    EXPECT_EQ(q.bDie, 0u);

    fake.completeOldest();
    ASSERT_TRUE(fake.waitHeld(1));
    EXPECT_EQ(heldIds(), (std::vector<int>{1}));
    EXPECT_EQ(mosAsyncIO_WaitersNum(&aio), 0u);
    fake.completeOldest();
    ASSERT_TRUE(umtTest_WaitFor([&] { return rec.count() == 2; }));
    EXPECT_EQ(rec.order, (std::vector<int>{0, 1}));
}

TEST_F(AsyncIOFake, RefusedSingleSubmissionWaitsAtTheContextAndIsRetried)
{
    create(8);
    open(0, 0);
    fake.refuseSubmits(1);
    submit(0);
    EXPECT_EQ(aio.krnLowRsrc, 1u);
    EXPECT_EQ(mosAsyncIO_WaitersNum(&aio), 1u);
    EXPECT_EQ(mosAsyncIo_GetLongestPendingIo(&files[0]), 0u); // not in the kernel
    // A reaper retries it within its one-second wait.
    ASSERT_TRUE(fake.waitHeld(1));
    fake.completeOldest();
    ASSERT_TRUE(umtTest_WaitFor([&] { return rec.count() == 1; }));
    EXPECT_EQ(rec.rcs[0], MOS_RC__SUCCESS);
    EXPECT_EQ(fake.submitCallSizes(), (std::vector<long>{1, 1}));
}

TEST_F(AsyncIOFake, RefusedBatchGoesBackToTheHeadOfTheContextQueueInOrder)
{
    create(2);
    open(0, 0);
    submit(0, 0);
    submit(0, 4096);
    submit(0, 8192); // the context is full: these two wait there
    submit(0, 12288);
    ASSERT_TRUE(fake.waitHeld(2));
    EXPECT_EQ(mosAsyncIO_WaitersNum(&aio), 2u);

    // The reaper's batch of two is refused outright, then taken one at a time.
    fake.refuseSubmits(1);
    fake.acceptAtMost(1);
    fake.completeAll();
    ASSERT_TRUE(umtTest_WaitFor([&] { return fake.submitCallSizes().size() >= 3; }));
    submit(0, 16384); // queued behind the refused ones
    for (int taken = 3; taken <= 5; taken++) {
        ASSERT_TRUE(fake.waitTaken((size_t)taken));
        fake.completeAll();
    }
    ASSERT_TRUE(umtTest_WaitFor([&] { return rec.count() == 5; }));
    EXPECT_EQ(takenIds(), (std::vector<int>{0, 1, 2, 3, 4}));
    std::vector<long> calls = fake.submitCallSizes();
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(calls[2], 2);
    EXPECT_EQ(calls[3], 2); // one taken, one back to the head
    EXPECT_EQ(aio.krnLowRsrc, 1u);
}

TEST_F(AsyncIOFake, CloseWithRequestsInFlightIsFinishedByTheLastCompletion)
{
    create(8);
    open(0, 0);
    open(1, 0);
    EXPECT_EQ(fileCount(), 2u);
    EXPECT_STREQ(mosAsyncIOFile_GetPath(&files[1]), paths[1].c_str());
    MosAsyncIO_File *pFile = files[0].pFile;
    submit(0, 0);
    submit(0, 4096);
    ASSERT_TRUE(fake.waitHeld(2));
    mosAsyncIO_CloseFile(&files[0]);
    EXPECT_EQ(files[0].pFile, nullptr);
    EXPECT_EQ(fileCount(), 2u); // still open for its requests
    MosAsyncIO_FileHandle h{pFile};
    EXPECT_TRUE(mosAsyncIOFile_ShouldSkipLongIoValidation(&h));

    fake.completeOldest();
    ASSERT_TRUE(umtTest_WaitFor([&] { return rec.count() == 1; }));
    EXPECT_EQ(fileCount(), 2u);
    fake.completeOldest();
    ASSERT_TRUE(umtTest_WaitFor([&] { return fileCount() == 1; }));

    MosAsyncIO_FileEnumContext ctx;
    MosAsyncIO_FileHandle next;
    ASSERT_EQ(mos_StartAsyncIOFileEnum(&ctx, &aio), MOS_RC__SUCCESS);
    ASSERT_EQ(mos_GetNextAsyncIOFile(&ctx, &next), MOS_RC__SUCCESS);
    EXPECT_EQ(next.pFile, files[1].pFile);
    EXPECT_EQ(mos_GetNextAsyncIOFile(&ctx, &next), MOS_RC__NO_MORE_ELEMENTS);
    mos_FinishAsyncIOFileEnum(&ctx);
}

std::atomic<MosTicks_Cnt> fakeNow_G{1000};
MosTicks_Cnt fakeClock()
{
    return fakeNow_G.load();
}

TEST_F(AsyncIOFake, LongestPendingIsTheAgeOfTheOldestRequestInTheKernel)
{
    create(8);
    open(0, 0);
    EXPECT_EQ(mosAsyncIo_GetLongestPendingIo(&files[0]), 0u);
    mosTicks_SetClockForTest(fakeClock);
    submit(0, 0);
    fakeNow_G += mosTicks_MillisToTicks(1000);
    submit(0, 4096);
    fakeNow_G += mosTicks_MillisToTicks(2000);
    UINT64 oldest = mosAsyncIo_GetLongestPendingIo(&files[0]);
    fake.completeOldest();
    bool bDone = umtTest_WaitFor([&] { return rec.count() == 1; });
    UINT64 next = mosAsyncIo_GetLongestPendingIo(&files[0]);
    mosTicks_SetClockForTest(nullptr);
    ASSERT_TRUE(bDone);
    EXPECT_EQ(oldest, 3000u);
    EXPECT_EQ(next, 2000u);
}

TEST_F(AsyncIOFake, FailedAndShortTransfersAreReportedPerRequest)
{
    struct Case {
        long res;
        BOOL bPartial;
        INT32 rc;
        int osRC;
    } cases[] = {
        {FakeAioBackend::kFull, FALSE, MOS_RC__SUCCESS, 0},
        {-EIO, FALSE, MOS_RC__ERROR, EIO},
        {-EIO, TRUE, MOS_RC__ERROR, EIO},
        {512, FALSE, MOS_RC__ERROR, 0},
        {512, TRUE, MOS_RC__SUCCESS, 0},
    };
    create(8);
    open(0, 0, FALSE);
    open(1, 0, TRUE);
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "res " << c.res << " partial " << c.bPartial);
        size_t before = rec.count();
        TestReq &r = submit(c.bPartial ? 1 : 0);
        ASSERT_TRUE(fake.waitHeld(1));
        fake.completeOldest(c.res);
        ASSERT_TRUE(umtTest_WaitFor([&] { return rec.count() == before + 1; }));
        EXPECT_EQ(rec.rcs.back(), c.rc);
        EXPECT_EQ(r.req.osRC, c.osRC);
        EXPECT_EQ(mosAsyncIOReq_IsSuccess(&r.req), c.rc == MOS_RC__SUCCESS ? TRUE : FALSE);
    }
}

TEST_F(AsyncIOFake, ReapersAreBoundToTheSetCpusOfTheMaskInTurn)
{
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof(allowed), &allowed), 0);
    std::vector<int> cpus;
    for (int c = 0; c < CPU_SETSIZE && cpus.size() < 2; c++) {
        if (CPU_ISSET(c, &allowed))
            cpus.push_back(c);
    }
    if (cpus.size() < 2)
        GTEST_SKIP() << "needs two usable CPUs";
    create(8, 3);
    UINT8 mask[CPU_SETSIZE / 8] = {};
    for (int c : cpus)
        mask[c / 8] |= (UINT8)(1u << (c % 8));
    ASSERT_EQ(mosAsyncIO_BindToCpus(&aio, mask, CPU_SETSIZE), MOS_RC__SUCCESS);
    int expected[3] = {cpus[0], cpus[1], cpus[0]};
    for (int i = 0; i < 3; i++) {
        cpu_set_t set;
        ASSERT_EQ(pthread_getaffinity_np(aio.pReapers[i].nativeThrd, sizeof(set), &set), 0);
        EXPECT_EQ(CPU_COUNT(&set), 1);
        EXPECT_TRUE(CPU_ISSET(expected[i], &set)) << "reaper " << i;
    }
    // A mask without a set bit binds nothing.
    UINT8 empty[4] = {};
    EXPECT_EQ(mosAsyncIO_BindToCpus(&aio, empty, 32), MOS_RC__SUCCESS);
    cpu_set_t set;
    ASSERT_EQ(pthread_getaffinity_np(aio.pReapers[0].nativeThrd, sizeof(set), &set), 0);
    EXPECT_EQ(CPU_COUNT(&set), 1);
}

TEST_F(AsyncIOFake, BadContextsAndFilesAreRefusedWithACode)
{
    MosAsyncIO bad;
    EXPECT_EQ(mosAsyncIO_CreateWithBackend(&bad, 0, 1, TRUE, fake.ops()), MOS_RC__INVALID_ARG);
    EXPECT_EQ(mosAsyncIO_CreateWithBackend(&bad, 8, 0, TRUE, fake.ops()), MOS_RC__INVALID_ARG);
    create(8);
    MosAsyncIO_FileHandle h{};
    EXPECT_EQ(mosAsyncIO_OpenFile(&aio, &h, dir.file("missing").c_str(), 0), MOS_RC__NOT_FOUND);
    EXPECT_EQ(h.pFile, nullptr);
    EXPECT_EQ(fileCount(), 0u);
    // Creation is allowed to make the file; the default limit applies to 0.
    ASSERT_EQ(mosAsyncIO_OpenFileEx(&aio, &files[0], dir.file("made").c_str(), 0, TRUE, FALSE), MOS_RC__SUCCESS);
    MosAsyncIOFile_Query fq{};
    mosObj_Query(&files[0].pFile->obj, mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__MOS_ASYNC_IO_FILE), &fq);
    EXPECT_EQ(fq.maxInflights, MOS_ASYNC_IO__DEFAULT_FILE_MAX_INFLIGHTS);
}

struct MitRead {
    MosAsyncIOReq_Mit req;
    MosAsyncIO_File *pFile;
    std::atomic<int> result{0};
    std::atomic<UINT32> tid{0};
    std::atomic<bool> bEnded{false};
};

Mos_RC mitReadStep(MosMit *pMit, Mos_RC rc)
{
    MitRead *pRead = static_cast<MitRead *>(pMit->pContext);
    MOS_MIT_BEGIN(pMit);
    MOS_MIT_WAIT(pMit, rc, FALSE,
                 (mosAsyncIO_InitMitReq(pMit, &pRead->req, pRead->pFile, ioBuf_G, 0, 4096, FALSE),
                  mosAsyncIO_DoIO(&pRead->req.req)));
    pRead->tid = mosOsThrd_GetCurThrdID();
    pRead->result = rc;
    MOS_MIT_RETURN(pMit, rc);
    MOS_MIT_END(pMit);
}

// A micro-task waits for its transfer without a stack; the completion resumes it, here through
// a scheduler that runs it at once on the reaper.
TEST_F(AsyncIOFake, MicroTaskIsResumedWithTheResultOfItsTransfer)
{
    static MosMit_Scheduler runHere = {[](MosMit *pMit) { mosMit_Run(pMit, pMit->nextRC); },
                                       [](MosMit *pMit) { mosMit_Run(pMit, pMit->nextRC); }};
    create(8);
    open(0, 0);
    for (long res : {FakeAioBackend::kFull, (long)-EIO}) {
        MitRead read;
        read.pFile = files[0].pFile;
        MosMit_Storage<2> storage;
        mosMit_Init(
            storage.get(), &runHere, [](MosMit *pMit) { static_cast<MitRead *>(pMit->pContext)->bEnded = true; },
            &read, 2);
        mosMit_StartNow(storage.get(), mitReadStep);
        ASSERT_TRUE(fake.waitHeld(1));
        EXPECT_EQ(read.result.load(), 0);
        fake.completeOldest(res);
        ASSERT_TRUE(umtTest_WaitFor([&] { return read.bEnded.load(); }));
        EXPECT_EQ(read.result.load(), res > 0 || res == FakeAioBackend::kFull ? MOS_RC__SUCCESS : MOS_RC__ERROR);
        EXPECT_NE(read.tid.load(), mosOsThrd_GetCurThrdID());
    }
}

TEST_F(AsyncIOFake, ReadAndZeroWriteShortcutsSubmitAtOnce)
{
    create(8);
    open(0, 0);
    reqs.resize(2);
    for (int i = 0; i < 2; i++) {
        reqs[i].id = i;
        reqs[i].pRec = &rec;
    }
    EXPECT_EQ(mosAsyncIO_ReadAsync(&reqs[0].req, &files[0], recordCK, 8192, ioBuf_G, 4096), MOS_RC__PENDING);
    EXPECT_EQ(mosAsyncIO_WriteZeroAsync(&reqs[1].req, &files[0], recordCK, 1 << 20, MOS_IO__ZERO_BUF_SIZE),
              MOS_RC__PENDING);
    ASSERT_TRUE(fake.waitHeld(2));
    auto held = fake.held();
    EXPECT_FALSE(held[0].bWrite);
    EXPECT_EQ(held[0].offset, 8192u);
    EXPECT_EQ(held[0].pIocb->u.c.buf, (void *)ioBuf_G);
    EXPECT_TRUE(held[1].bWrite);
    EXPECT_EQ(held[1].size, (UINT64)MOS_IO__ZERO_BUF_SIZE);
    EXPECT_EQ(held[1].pIocb->u.c.buf, mosIOLayer_ZeroBufDetails(nullptr));
    fake.completeAll();
    ASSERT_TRUE(umtTest_WaitFor([&] { return rec.count() == 2; }));
    // A zero write larger than the zero buffer is a caller's error.
    EXPECT_PANIC(mosAsyncIO_WriteZeroAsync(&reqs[1].req, &files[0], recordCK, 0, MOS_IO__ZERO_BUF_SIZE + 512),
                     "size <= zeroBufSize");
}

TEST_F(AsyncIOFake, RequestForAClosingFilePanics)
{
    EXPECT_PANIC(
        {
            create(8);
            open(0, 0);
            submit(0);
            fake.waitHeld(1);
            MosAsyncIO_File *pFile = files[0].pFile;
            mosAsyncIO_CloseFile(&files[0]);
            MosAsyncIO_Req req;
            mosAsyncIOReq_Init(&req, pFile, recordCK, ioBuf_G, 0, 4096, FALSE);
        },
        "a request for a file that is closing");
}

} // namespace

namespace {
std::atomic<bool> slowCkEntered_G{false};

// Holds the reaper inside the completion callback, before it drops its own file reference.
void slowCK(MosAsyncObj *, INT32)
{
    slowCkEntered_G = true;
    usleep(300 * 1000);
}
} // namespace

TEST_F(AsyncIOFake, DestroyRightAfterTheLastCompletionWaitsForTheReapersClose)
{
    create(8);
    open(0, 0);
    MosAsyncIO_Req req;
    mosAsyncIOReq_Init(&req, files[0].pFile, slowCK, ioBuf_G, 0, 4096, FALSE);
    ASSERT_EQ(mosAsyncIO_DoIO(&req), MOS_RC__PENDING);
    ASSERT_TRUE(fake.waitHeld(1));
    fake.completeOldest();
    ASSERT_TRUE(umtTest_WaitFor([] { return slowCkEntered_G.load(); }));
    // The owner saw its completion: it closes and tears the context down at once.
    mosAsyncIO_CloseFile(&files[0]);
    mosAsyncIO_Destroy(&aio);
    bCreated = false;
}
