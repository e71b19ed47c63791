// Synchronous, bulk, timed and zero-write transfers of user-mode threads, over a backend that
// holds, fails or completes transfers on the test's word and applies them to an in-memory disk.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define AIO_TEST_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define AIO_TEST_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define AIO_TEST_POISON(p, n) ((void)0)
#define AIO_TEST_UNPOISON(p, n) ((void)0)
#endif

#include "mos/umt/mos_umt_sched_thrd.h"
#include "mos/usr/mos_async_io_intrn.h"
#include "test/support/fake_aio_backend.h"
#include "test/support/scratch_dir.h"
#include "test/support/umt_test_support.h"

namespace {
::testing::Environment *const umtEnv_G = ::testing::AddGlobalTestEnvironment(new UmtRuntimeEnv);

constexpr size_t kDiskBytes = 8u << 20;
constexpr UINT32 kMB = 1u << 20;

std::atomic<int> allocs_G{0};
std::atomic<int> frees_G{0};

void *countingAlloc(void *pPool, UINT32 sizeInLb)
{
    (void)pPool;
    allocs_G++;
    void *p = aligned_alloc(4096, ((size_t)sizeInLb * 512 + 4095) & ~(size_t)4095);
    memset(p, 0, (size_t)sizeInLb * 512);
    return p;
}

void countingFree(void *pPool, void *pMem, UINT32 sizeInLb)
{
    (void)pPool;
    (void)sizeInLb;
    frees_G++;
    free(pMem);
}

struct AlignedBuf {
    explicit AlignedBuf(size_t n, UINT8 fill) : size(n), p(static_cast<UINT8 *>(aligned_alloc(4096, n)))
    {
        memset(p, fill, n);
    }
    ~AlignedBuf() { free(p); }
    bool all(UINT8 v) const
    {
        for (size_t i = 0; i < size; i++) {
            if (p[i] != v)
                return false;
        }
        return true;
    }
    size_t size;
    UINT8 *p;
};

bool diskRangeIs(const std::vector<UINT8> &disk, size_t from, size_t to, UINT8 v)
{
    for (size_t i = from; i < to; i++) {
        if (disk[i] != v)
            return false;
    }
    return true;
}

class AsyncIOSync : public ::testing::Test {
  protected:
    void SetUp() override
    {
        path = dir.file("dev");
        std::ofstream(path).close();
        ASSERT_EQ(truncate(path.c_str(), (off_t)kDiskBytes), 0);
        ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "aio sync", 2, 2, 4), MOS_RC__SUCCESS);
        fake.setDisk(kDiskBytes, 0xFF);
        ASSERT_EQ(mosAsyncIO_CreateWithBackend(&aio, 64, 2, TRUE, fake.ops()), MOS_RC__SUCCESS);
        aio.memAllocFunc = countingAlloc;
        aio.memFreeFunc = countingFree;
        allocs_G = 0;
        frees_G = 0;
        ASSERT_EQ(mosAsyncIO_OpenFile(&aio, &file, path.c_str(), 16), MOS_RC__SUCCESS);
    }
    void TearDown() override
    {
        fake.completeAll();
        if (file.pFile != nullptr)
            mosAsyncIO_CloseFile(&file);
        EXPECT_TRUE(umtTest_WaitFor([&] { return aio.files.counter == 0; }));
        mosAsyncIO_Destroy(&aio);
        mosUmtSchedThrd_Destroy(&sched);
        EXPECT_EQ(allocs_G.load(), frees_G.load()) << "private memory of timed transfers";
    }
    // Runs fn as a uthread from a thread of its own, so that the test can drive the backend.
    std::thread startUmt(std::function<void()> fn)
    {
        return std::thread([this, fn] { umtTest_RunAsUmt(fn, &sched.base); });
    }

    ScratchDir dir;
    std::string path;
    MosUmt_SchedThrd sched;
    FakeAioBackend fake;
    MosAsyncIO aio;
    MosAsyncIO_FileHandle file{};
};

TEST_F(AsyncIOSync, BulkWhoseSecondElementFailsReportsOnlyAfterAllCompleted)
{
    AlignedBuf a(4096, 1), b(4096, 2), c(4096, 3);
    MosAsyncIO_BulkReq bulk[3] = {};
    AlignedBuf *bufs[3] = {&a, &b, &c};
    for (int i = 0; i < 3; i++) {
        bulk[i].pFile = file.pFile;
        bulk[i].offset = (UINT64)i * 4096;
        bulk[i].pBuf = bufs[i]->p;
        bulk[i].size = 4096;
        bulk[i].bWrite = TRUE;
    }
    std::atomic<bool> bDone{false};
    Mos_RC rc = MOS_RC__ILLEGAL;
    size_t heldAtReturn = 99;
    std::thread t = startUmt([&] {
        rc = mosAsyncIO_DoIOSyncBulk(bulk, 3);
        heldAtReturn = fake.heldCount();
        bDone = true;
    });
    ASSERT_TRUE(fake.waitHeld(3));
    auto held = fake.held();
    fake.complete(held[1].pIocb, -EIO);
    fake.complete(held[0].pIocb);
    ASSERT_TRUE(umtTest_WaitFor([&] { return mosAsyncIOFile_InflightsNum(&file) == 1; }));
    EXPECT_FALSE(bDone.load());
    fake.complete(held[2].pIocb);
    t.join();
    EXPECT_EQ(rc, MOS_RC__ERROR);
    EXPECT_EQ(heldAtReturn, 0u);
    EXPECT_EQ(bulk[1].syncReq.req.osRC, EIO);
}

TEST_F(AsyncIOSync, TransfersMoveTheDataAndTheBulkSucceedsWhenAllDo)
{
    fake.setAutoComplete(true);
    AlignedBuf out(8192, 0x42), in(8192, 0);
    Mos_RC wrc = MOS_RC__ILLEGAL, rrc = MOS_RC__ILLEGAL, brc = MOS_RC__ILLEGAL, trc = MOS_RC__ILLEGAL;
    MosTicks_Cnt ticks = ~(MosTicks_Cnt)0;
    AlignedBuf timedIn(8192, 0);
    startUmt([&] {
        wrc = mosAsyncIO_DoIOSyncEx(&file, 65536, out.p, 8192, TRUE, &ticks);
        rrc = mosAsyncIO_DoIOSync(&file, 65536, in.p, 8192, FALSE);
        MosAsyncIO_BulkReq bulk[2] = {};
        for (int i = 0; i < 2; i++) {
            bulk[i].pFile = file.pFile;
            bulk[i].offset = 65536 + (UINT64)i * 4096;
            bulk[i].pBuf = in.p + i * 4096;
            bulk[i].size = 4096;
        }
        brc = mosAsyncIO_DoIOSyncBulk(bulk, 2);
        trc = mosAsyncIO_DoIOTimedSync(&file, 65536, timedIn.p, 8192, FALSE, 60000, nullptr);
    }).join();
    EXPECT_EQ(wrc, MOS_RC__SUCCESS);
    EXPECT_EQ(rrc, MOS_RC__SUCCESS);
    EXPECT_EQ(brc, MOS_RC__SUCCESS);
    EXPECT_EQ(trc, MOS_RC__SUCCESS);
    EXPECT_LT(ticks, mosTicks_MillisToTicks(60000));
    EXPECT_TRUE(in.all(0x42));
    EXPECT_TRUE(timedIn.all(0x42));
    EXPECT_TRUE(diskRangeIs(fake.disk(), 65536, 65536 + 8192, 0x42));
}

// Zero writes go in pieces of at most 1 MB, in ascending offsets, and stop at the first failure.
TEST_F(AsyncIOSync, ZeroWritesGoInPiecesAndStopAtTheFirstFailure)
{
    struct Case {
        bool bTimed;
        long failIndex; // -1: none
    } cases[] = {{false, -1}, {false, 1}, {true, -1}, {true, 1}};
    fake.setAutoComplete(true);
    const UINT64 size = 3ull * kMB + 512;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "timed " << c.bTimed << " failing piece " << c.failIndex);
        fake.setDisk(kDiskBytes, 0xFF);
        size_t before = fake.taken().size();
        fake.setResultFunc([&](const FakeAioBackend::Seen &, size_t index) {
            return (long)(index - before) == c.failIndex ? -EIO : FakeAioBackend::kFull;
        });
        Mos_RC rc = MOS_RC__ILLEGAL;
        startUmt([&] {
            rc = c.bTimed ? mosAsyncIO_WriteZeroTimedSync(&file, kMB, size, 60000, nullptr)
                          : mosAsyncIO_WriteZeroSync(&file, kMB, size, nullptr);
        }).join();
        auto taken = fake.taken();
        std::vector<std::pair<UINT64, UINT64>> pieces;
        for (size_t i = before; i < taken.size(); i++) {
            EXPECT_TRUE(taken[i].bWrite);
            pieces.emplace_back(taken[i].offset, taken[i].size);
        }
        auto disk = fake.disk();
        if (c.failIndex < 0) {
            EXPECT_EQ(rc, MOS_RC__SUCCESS);
            EXPECT_EQ(pieces, (std::vector<std::pair<UINT64, UINT64>>{
                                  {kMB, kMB}, {2ull * kMB, kMB}, {3ull * kMB, kMB}, {4ull * kMB, 512}}));
            EXPECT_TRUE(diskRangeIs(disk, kMB, kMB + size, 0));
        } else {
            EXPECT_EQ(rc, MOS_RC__ERROR);
            EXPECT_EQ(pieces, (std::vector<std::pair<UINT64, UINT64>>{{kMB, kMB}, {2ull * kMB, kMB}}));
            EXPECT_TRUE(diskRangeIs(disk, kMB, 2ull * kMB, 0));
            EXPECT_TRUE(diskRangeIs(disk, 2ull * kMB, kMB + size, 0xFF));
        }
        EXPECT_TRUE(diskRangeIs(disk, 0, kMB, 0xFF));
        EXPECT_TRUE(diskRangeIs(disk, kMB + size, kDiskBytes, 0xFF));
    }
}

TEST_F(AsyncIOSync, TimedZeroWriteWithoutBudgetWritesNothingAndAllOnesMeansNoLimit)
{
    fake.setAutoComplete(true);
    Mos_RC none = MOS_RC__ILLEGAL, unlimited = MOS_RC__ILLEGAL;
    startUmt([&] {
        none = mosAsyncIO_WriteZeroTimedSync(&file, 0, kMB, 0, nullptr);
        unlimited = mosAsyncIO_WriteZeroTimedSync(&file, 0, 4096, MOS_ASYNC_IO__NO_TIME_LIMIT, nullptr);
    }).join();
    EXPECT_EQ(none, MOS_RC__TIMEOUT);
    EXPECT_EQ(unlimited, MOS_RC__SUCCESS);
    EXPECT_EQ(fake.taken().size(), 1u);
    EXPECT_EQ(allocs_G.load(), 0); // the plain form needs no private memory
}

TEST_F(AsyncIOSync, BadArgumentsAreRefusedWithoutIo)
{
    AlignedBuf buf(4096, 0);
    Mos_RC rcs[3];
    startUmt([&] {
        rcs[0] = mosAsyncIO_DoIOSync(&file, 1ull << 63, buf.p, 4096, FALSE);
        rcs[1] = mosAsyncIO_DoIOTimedSync(&file, ~0ull - 100, buf.p, 4096, TRUE, 1000, nullptr);
        rcs[2] = mosAsyncIO_DoIOTimedSync(&file, 0, buf.p, 0, FALSE, 1000, nullptr);
    }).join();
    for (Mos_RC rc : rcs)
        EXPECT_EQ(rc, MOS_RC__INVALID_ARG);
    EXPECT_TRUE(fake.taken().empty());
}

TEST_F(AsyncIOSync, TimedReadPastItsBudgetFailsAndNeverWritesTheCallersBuffer)
{
    fake.setDisk(kDiskBytes, 0x5A);
    AlignedBuf buf(8192, 0xEE);
    Mos_RC rc = MOS_RC__ILLEGAL;
    MosTicks_Cnt ticks = 0;
    std::thread t = startUmt([&] {
        rc = mosAsyncIO_DoIOTimedSync(&file, 0, buf.p, 8192, FALSE, 50, &ticks);
        // From here on nothing may touch the buffer: the sanitizer build reports any access.
        AIO_TEST_POISON(buf.p, buf.size);
    });
    ASSERT_TRUE(fake.waitHeld(1));
    EXPECT_NE(fake.held()[0].pIocb->u.c.buf, (void *)buf.p);
    t.join();
    EXPECT_EQ(rc, MOS_RC__ERROR);
    EXPECT_EQ(ticks, mosTicks_MillisToTicks(50));
    EXPECT_EQ(mosAsyncIOFile_LateIosNum(&file), 1u);
    EXPECT_EQ(allocs_G.load() - frees_G.load(), 2); // record and private buffer, owned by the completion

    // The device answers late, filling the private buffer; the completion frees it.
    fake.completeOldest();
    ASSERT_TRUE(umtTest_WaitFor([&] { return frees_G.load() == allocs_G.load(); }));
    EXPECT_EQ(mosAsyncIOFile_LateIosNum(&file), 0u);
    EXPECT_EQ(mosAsyncIOFile_LateIosTotal(&file), 1u);
    AIO_TEST_UNPOISON(buf.p, buf.size);
    EXPECT_TRUE(buf.all(0xEE));
}

// A write given up on is still in the device's hands. Its range stays fenced until it lands, so
// that the caller's retry (and anything queued behind the retry) cannot be overtaken by it.
TEST_F(AsyncIOSync, GivenUpWriteKeepsItsRangeFencedUntilItHasLanded)
{
    fake.setDisk(kDiskBytes, 0);
    AlignedBuf stale(4096, 0x11), retry(8192, 0x22), behind(4096, 0x33), elsewhere(4096, 0x44);
    Mos_RC timedRc = MOS_RC__ILLEGAL;
    std::thread t = startUmt([&] { timedRc = mosAsyncIO_DoIOTimedSync(&file, 0, stale.p, 4096, TRUE, 50, nullptr); });
    ASSERT_TRUE(fake.waitHeld(1));
    t.join();
    ASSERT_EQ(timedRc, MOS_RC__ERROR);
    EXPECT_EQ(mosAsyncIOFile_LateIosNum(&file), 1u);

    // The retry covers the stale write's range; a later write overlaps only the retry; another
    // write is elsewhere.
    Mos_RC retryRc = MOS_RC__ILLEGAL;
    std::thread r = startUmt([&] { retryRc = mosAsyncIO_DoIOSync(&file, 0, retry.p, 8192, TRUE); });
    ASSERT_TRUE(umtTest_WaitFor([&] { return mosAsyncIOFile_WaitersNum(&file) == 1; }));
    struct Counted {
        MosAsyncIO_Req req;
        std::atomic<int> *pDone;
    };
    std::atomic<int> asyncDone{0};
    Counted b{}, e{};
    b.pDone = e.pDone = &asyncDone;
    MosAsyncObj_CK countCK = [](MosAsyncObj *pObj, INT32 rc) {
        if (rc == MOS_RC__SUCCESS)
            (*reinterpret_cast<Counted *>(pObj)->pDone)++;
    };
    mosAsyncIOReq_Init(&b.req, file.pFile, countCK, behind.p, 4096, 4096, TRUE);
    mosAsyncIOReq_Init(&e.req, file.pFile, countCK, elsewhere.p, 65536, 4096, TRUE);
    mosAsyncIO_DoIO(&b.req);
    mosAsyncIO_DoIO(&e.req);
    ASSERT_TRUE(fake.waitTaken(2));
    EXPECT_EQ(mosAsyncIOFile_WaitersNum(&file), 2u);
    EXPECT_EQ(fake.heldCount(), 2u);

    // The late write lands; the held-back requests follow in their order.
    fake.completeOldest();
    ASSERT_TRUE(fake.waitTaken(4));
    auto taken = fake.taken();
    EXPECT_EQ(taken[0].offset, 0u);
    EXPECT_EQ(taken[1].offset, 65536u);
    EXPECT_EQ(taken[2].offset, 0u);
    EXPECT_EQ(taken[2].size, 8192u);
    EXPECT_EQ(taken[3].offset, 4096u);
    fake.completeOldest();
    fake.completeOldest();
    fake.completeOldest();
    r.join();
    ASSERT_TRUE(umtTest_WaitFor([&] { return asyncDone.load() == 2; }));
    EXPECT_EQ(retryRc, MOS_RC__SUCCESS);
    EXPECT_EQ(mosAsyncIOFile_LateIosNum(&file), 0u);
    auto disk = fake.disk();
    EXPECT_TRUE(diskRangeIs(disk, 0, 4096, 0x22));
    EXPECT_TRUE(diskRangeIs(disk, 4096, 8192, 0x33));
    EXPECT_TRUE(diskRangeIs(disk, 65536, 65536 + 4096, 0x44));
}

// A retry that is itself given up on while it waits behind the earlier late write still goes to
// the device once that write has landed: its own range does not hold it back.
TEST_F(AsyncIOSync, RetryGivenUpWhileHeldBackIsSubmittedOnceTheWriteBeforeItLands)
{
    fake.setDisk(kDiskBytes, 0);
    AlignedBuf first(4096, 0x11), second(4096, 0x22);
    Mos_RC rcs[2] = {MOS_RC__ILLEGAL, MOS_RC__ILLEGAL};
    startUmt([&] {
        rcs[0] = mosAsyncIO_DoIOTimedSync(&file, 0, first.p, 4096, TRUE, 50, nullptr);
        rcs[1] = mosAsyncIO_DoIOTimedSync(&file, 0, second.p, 4096, TRUE, 50, nullptr);
    }).join();
    EXPECT_EQ(rcs[0], MOS_RC__ERROR);
    EXPECT_EQ(rcs[1], MOS_RC__ERROR);
    EXPECT_EQ(mosAsyncIOFile_LateIosNum(&file), 2u);
    EXPECT_EQ(fake.taken().size(), 1u);
    EXPECT_EQ(mosAsyncIOFile_WaitersNum(&file), 1u);

    fake.completeOldest();
    ASSERT_TRUE(fake.waitTaken(2));
    EXPECT_EQ(fake.taken()[1].offset, 0u);
    fake.completeOldest();
    ASSERT_TRUE(umtTest_WaitFor([&] { return mosAsyncIOFile_LateIosNum(&file) == 0; }));
    ASSERT_TRUE(umtTest_WaitFor([&] { return frees_G.load() == allocs_G.load(); }));
    EXPECT_TRUE(diskRangeIs(fake.disk(), 0, 4096, 0x22));
}

// After dbg_io_good_ios synchronous operations, every later one fails after
// dbg_io_timeout_millis without I/O; the count lives as long as the process, hence the child.
TEST_F(AsyncIOSync, DebugTimeoutModeFailsEveryOperationAfterTheGoodOnes)
{
    fake.setAutoComplete(true);
    auto child = [&] {
        // As the start-up layer would have it from dbg_io_timeout_enable 1, dbg_io_good_ios 2,
        // dbg_io_timeout_millis 30.
        mosAsyncIOLayer_Get()->params = MosAsyncIO_InitParams{TRUE, 2, 30};
        AlignedBuf buf(4096, 7);
        std::vector<Mos_RC> rcs;
        MosTicks_Cnt ticks = 0;
        startUmt([&] {
            for (int i = 0; i < 3; i++)
                rcs.push_back(mosAsyncIO_DoIOSync(&file, 0, buf.p, 4096, TRUE));
            rcs.push_back(mosAsyncIO_DoIOTimedSync(&file, 0, buf.p, 4096, TRUE, 1000, &ticks));
            rcs.push_back(mosAsyncIO_WriteZeroSync(&file, 0, 4096, nullptr));
        }).join();
        bool ok = rcs == std::vector<Mos_RC>{MOS_RC__SUCCESS, MOS_RC__SUCCESS, MOS_RC__TIMEOUT, MOS_RC__ERROR,
                                             MOS_RC__TIMEOUT} &&
                  fake.taken().size() == 2 && ticks == mosTicks_MillisToTicks(1000) &&
                  allocs_G.load() == frees_G.load();
        fprintf(stderr, "%s\n", ok ? "as expected" : "unexpected");
        _exit(ok ? 0 : 1);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "as expected");
}

} // namespace
