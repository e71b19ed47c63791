// The device file: real transfers on a sparse O_DIRECT file, and the rules of attempts,
// refusal, budget, simulation and type detection over a backend that fails on the test's word.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "test/support/fake_aio_backend.h"
#include "test/support/test_clock.h"
#include "test/support/tgt_test_support.h"
#include "tgt/file/file_intrn.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

constexpr UINT64 kDevBytes = 2ull << 30;
constexpr size_t kFakeDiskBytes = 64u << 20;

std::atomic<int> devErrors_G{0};
std::atomic<UINT32> devErrorFlags_G{0};
std::atomic<int> longIoOsc_G{0};
std::atomic<int> longSuccessOsc_G{0};

Mos_RC recordDevError(ContDev *, Cont *, UINT32 flags)
{
    devErrors_G++;
    devErrorFlags_G |= flags;
    return MOS_RC__SUCCESS;
}
void recordLongIo(ContDev *) { longIoOsc_G++; }
void recordLongSuccess(ContDev *) { longSuccessOsc_G++; }

ContDev *const kDev = reinterpret_cast<ContDev *>(0x1000);

struct AlignedBuf {
    explicit AlignedBuf(size_t n) : p(static_cast<UINT8 *>(aligned_alloc(4096, n))), size(n) { memset(p, 0, n); }
    ~AlignedBuf() { free(p); }
    UINT8 *p;
    size_t size;
};

class FileFixture : public ::testing::Test {
  protected:
    void SetUp() override
    {
        tgtConf_SetDefaults();
        devErrors_G = 0;
        devErrorFlags_G = 0;
        longIoOsc_G = 0;
        longSuccessOsc_G = 0;
        FileDevHooks hooks{recordDevError, recordLongSuccess, recordLongIo};
        file_SetDevHooks(&hooks);
        ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "file", 2, 2, 4), MOS_RC__SUCCESS);
        path = tgtTest_MakeSparseFile(dir, "dev", kDevBytes);
    }
    void TearDown() override
    {
        if (bInit) {
            run([&] { file_Close(&file); });
            file_Destroy(&file);
        }
        if (bAio) {
            fake.completeAll();
            EXPECT_TRUE(umtTest_WaitFor([&] { return aio.files.counter == 0; }));
            mosAsyncIO_Destroy(&aio);
        }
        mosUmtSchedThrd_Destroy(&sched);
        file_SetDevHooks(nullptr);
        file_SetUsecClockForTest(nullptr);
        tgtConf_SetDefaults();
    }
    void openWith(bool bFake)
    {
        Mos_RC rc = bFake ? mosAsyncIO_CreateWithBackend(&aio, 64, 2, TRUE, fake.ops())
                          : mosAsyncIO_Create(&aio, 64, 2, TRUE);
        ASSERT_EQ(rc, MOS_RC__SUCCESS);
        bAio = true;
        file_Init(&file, nullptr, kDev);
        bInit = true;
        run([&] { rc = file_Open(&file, path.c_str(), &aio); });
        ASSERT_EQ(rc, MOS_RC__SUCCESS);
    }
    void run(const std::function<void()> &fn) { umtTest_RunAsUmt(fn, &sched.base); }
    Mos_RC read(void *p, UINT64 lb, UINT32 n, RdIoFlags flags = RdIoFlags{0}, T10Dif *pDif = nullptr)
    {
        Mos_RC rc;
        run([&] { rc = file_Read(&file, p, pDif, lb, n, FILE_IO_TYPE__IO, TRUE, COMB_ID_INVALID, 0, flags); });
        return rc;
    }
    Mos_RC write(const void *p, UINT64 lb, UINT32 n)
    {
        Mos_RC rc;
        run([&] { rc = file_Write(&file, p, lb, n, FILE_IO_TYPE__TOOTH_MAP, COMB_ID_INVALID, 0); });
        return rc;
    }
    void failAll() { fake.setResultFunc([](const FakeAioBackend::Seen &, size_t) { return (long)-EIO; }); }
    void passAll() { fake.setResultFunc([](const FakeAioBackend::Seen &, size_t) { return FakeAioBackend::kFull; }); }

    ScratchDir dir;
    std::string path;
    MosUmt_SchedThrd sched;
    FakeAioBackend fake;
    MosAsyncIO aio;
    File file;
    bool bAio = false;
    bool bInit = false;
};

TEST_F(FileFixture, RealFileReadsBackWhatWasWrittenAndCountsByKind)
{
    openWith(false);
    run([&] { EXPECT_EQ(file_GetSize(&file), kDevBytes / 512); });
    AlignedBuf out(8 * 512), in(8 * 512);
    for (size_t i = 0; i < out.size; i++)
        out.p[i] = (UINT8)(i * 13);
    ASSERT_EQ(write(out.p, 0x100000, 8), MOS_RC__SUCCESS);
    RdIoFlags t10{0};
    t10.bT10Dif = 1;
    std::vector<T10Dif> dif(8);
    ASSERT_EQ(read(in.p, 0x100000, 8, t10, dif.data()), MOS_RC__SUCCESS);
    EXPECT_EQ(memcmp(in.p, out.p, out.size), 0);
    EXPECT_EQ(mosT10Dif_VerifyT10DIFBuffer(in.p, dif.data(), 0, 0, 0, 8), MOS_RC__SUCCESS);
    const FileIoCounters &tm = file.dbg.ioCounters[FILE_IO_TYPE__TOOTH_MAP];
    const FileIoCounters &io = file.dbg.ioCounters[FILE_IO_TYPE__IO];
    EXPECT_EQ(tm.writes, 1u);
    EXPECT_EQ(tm.writeDataInLbs, 8u);
    EXPECT_EQ(io.reads, 1u);
    EXPECT_EQ(io.readDataInLbs, 8u);
    EXPECT_EQ(io.readErrors + tm.writeErrors, 0u);
    FileQuery q;
    file_Query(&file.sdbgObj, nullptr, &q);
    EXPECT_EQ(q.raw.ioCounters[FILE_IO_TYPE__TOOTH_MAP].writes, 1u);
    EXPECT_STREQ(q.raw.name, path.c_str());
}

TEST_F(FileFixture, TransferPastTheEndIsRefusedAndReportedWithoutStopping)
{
    openWith(false);
    AlignedBuf buf(8 * 512);
    EXPECT_EQ(write(buf.p, kDevBytes / 512 - 4, 8), MOS_RC__PARAMETER_OUT_OF_RANGE);
    EXPECT_EQ(devErrors_G.load(), 1);
    EXPECT_EQ(devErrorFlags_G.load(), FILE__DEV_ERROR_WRITE);
    EXPECT_EQ(read(buf.p, kDevBytes / 512, 1), MOS_RC__PARAMETER_OUT_OF_RANGE);
    EXPECT_EQ(devErrorFlags_G.load(), FILE__DEV_ERROR_WRITE | FILE__DEV_ERROR_READ);
    EXPECT_EQ(file.dbg.ioCounters[FILE_IO_TYPE__TOOTH_MAP].writeErrors, 1u);
    EXPECT_FALSE(file.bHasIoFailed) << "the device did nothing wrong";
    EXPECT_EQ(write(buf.p, kDevBytes / 512 - 8, 8), MOS_RC__SUCCESS);
}

TEST_F(FileFixture, TwoFailedAttemptsReportOneErrorAndMarkTheFileFailed)
{
    fake.setDisk(kFakeDiskBytes, 0);
    fake.setAutoComplete(true);
    openWith(true);
    failAll();
    AlignedBuf buf(4096);
    EXPECT_EQ(read(buf.p, 0, 8), MOS_RC__IO_HARD_ERROR);
    EXPECT_EQ(fake.taken().size(), 2u);
    EXPECT_EQ(devErrors_G.load(), 1);
    EXPECT_EQ(file.dbg.ioCounters[FILE_IO_TYPE__IO].readErrors, 2u);
    EXPECT_EQ(file.fileState.ioReadErrorCount, 2u);
    EXPECT_TRUE(file.bHasIoFailed);

    passAll();
    EXPECT_EQ(write(buf.p, 0, 8), MOS_RC__IO_HARD_ERROR) << "a failed file refuses writes";
    EXPECT_EQ(fake.taken().size(), 2u) << "without touching the device";
    EXPECT_EQ(read(buf.p, 0, 8), MOS_RC__IO_HARD_ERROR);
    RdIoFlags probe{0};
    probe.bIgnorePrevIoErr = 1;
    EXPECT_EQ(read(buf.p, 0, 8, probe), MOS_RC__SUCCESS);
    EXPECT_FALSE(file.bHasIoFailed);
    EXPECT_EQ(write(buf.p, 0, 8), MOS_RC__SUCCESS);
}

TEST_F(FileFixture, LongFailuresAreNotRetriedAndTwoOfThemRefuseAllIo)
{
    fake.setDisk(kFakeDiskBytes, 0);
    openWith(true);
    TestClock clock(100000);
    AlignedBuf buf(4096);
    RdIoFlags probe{0};
    probe.bIgnorePrevIoErr = 1; // the first failure marks the file failed
    for (int i = 0; i < 2; i++) {
        Mos_RC rc = MOS_RC__ILLEGAL;
        std::thread t([&] { rc = read(buf.p, 0, 8, probe); });
        ASSERT_TRUE(fake.waitHeld(1));
        testNow_G += 2600; // 26 s at 100 ticks a second
        fake.completeOldest(-EIO);
        t.join();
        EXPECT_EQ(rc, MOS_RC__IO_HARD_ERROR);
        EXPECT_EQ(fake.taken().size(), (size_t)(i + 1)) << "an attempt of 25 s or more is not repeated";
        EXPECT_EQ(file.fileState.longIoReadErrorCount, (UINT32)(i + 1));
    }
    EXPECT_EQ(longIoOsc_G.load(), 2);
    fake.setAutoComplete(true);
    passAll();
    file.bHasIoFailed = FALSE; // only the long-I/O count is left to refuse
    EXPECT_EQ(write(buf.p, 0, 8), MOS_RC__IO_HARD_ERROR);
    EXPECT_EQ(read(buf.p, 0, 8), MOS_RC__IO_HARD_ERROR);
    EXPECT_EQ(fake.taken().size(), 2u);
    EXPECT_EQ(read(buf.p, 0, 8, probe), MOS_RC__SUCCESS);
    EXPECT_EQ(file.fileState.longIoReadErrorCount, 0u);
    EXPECT_EQ(write(buf.p, 0, 8), MOS_RC__SUCCESS);
}

TEST_F(FileFixture, ExhaustedTimeBudgetIsNotADeviceError)
{
    fake.setDisk(kFakeDiskBytes, 0);
    fake.setAutoComplete(true);
    openWith(true);
    AlignedBuf buf(4096);
    Mos_RC rcRead, rcWrite, rcZero;
    run([&] {
        mosUmt_SetTimeLimitTick(1); // long past
        rcRead = file_Read(&file, buf.p, nullptr, 0, 8, FILE_IO_TYPE__IO, TRUE, COMB_ID_INVALID, 0, RdIoFlags{0});
        rcWrite = file_Write(&file, buf.p, 0, 8, FILE_IO_TYPE__IO, COMB_ID_INVALID, 0);
        rcZero = file_WriteZero(&file, 0, 8, FILE_IO_TYPE__IO, WrZeIoFlags{0});
        mosUmt_SetTimeLimitTick(0);
    });
    EXPECT_EQ(rcRead, MOS_RC__TIMEOUT);
    EXPECT_EQ(rcWrite, MOS_RC__TIMEOUT);
    EXPECT_EQ(rcZero, MOS_RC__TIMEOUT);
    EXPECT_TRUE(fake.taken().empty());
    EXPECT_FALSE(file.bHasIoFailed);
    EXPECT_EQ(devErrors_G.load(), 0);
    EXPECT_EQ(read(buf.p, 0, 8), MOS_RC__SUCCESS);
}

TEST_F(FileFixture, WithIoOffOnlyMetadataBelowTheBoundaryIsReal)
{
    fake.setDisk(kFakeDiskBytes, 0);
    fake.setAutoComplete(true);
    openWith(true);
    tgtInitParam_G.bPhyDevIoEnabled = FALSE;
    AlignedBuf buf(4096);
    RdIoFlags t10{0};
    t10.bT10Dif = 1;
    std::vector<T10Dif> dif(1, T10Dif{0xFFFF});
    EXPECT_EQ(read(buf.p, TGT_FILE__SIM_REAL_VOL_SIZE - 1, 1), MOS_RC__SUCCESS);
    EXPECT_EQ(fake.taken().size(), 1u);
    memset(buf.p, 0xEE, 512);
    EXPECT_EQ(read(buf.p, TGT_FILE__SIM_REAL_VOL_SIZE, 1, t10, dif.data()), MOS_RC__SUCCESS);
    EXPECT_EQ(fake.taken().size(), 1u) << "simulated";
    EXPECT_EQ(buf.p[0], 0);
    EXPECT_EQ(dif[0].guard, 0);
    UINT64 simSize = 0;
    run([&] { simSize = file_GetSize(&file); });
    EXPECT_EQ(simSize, 512ull * GB_IN_LBS);
    EXPECT_EQ(write(buf.p, simSize - 1, 8), MOS_RC__PARAMETER_OUT_OF_RANGE) << "past the simulated size";
    tgtInitParam_G.bPhyDevIoEnabledMd = FALSE;
    EXPECT_EQ(read(buf.p, 0, 1), MOS_RC__SUCCESS);
    EXPECT_EQ(fake.taken().size(), 1u) << "metadata simulated too";
}

TEST_F(FileFixture, SimulatedSizeComesFromTheSimulationPath)
{
    file_Init(&file, nullptr, nullptr);
    bInit = true;
    tgtInitParam_G.bPhyDevIoEnabled = FALSE;
    tgtInitParam_G.bPhyDevIoEnabledMd = FALSE;
    Mos_RC rc;
    run([&] { rc = file_Open(&file, "/tmp/mos_sim_dev_1_2_size_30", nullptr); });
    ASSERT_EQ(rc, MOS_RC__SUCCESS);
    run([&] { EXPECT_EQ(file_GetSize(&file), 30 * GB_IN_LBS); });
    run([&] { EXPECT_EQ(file_Open(&file, FILE__QUILLET_DEV_PREFIX "0", nullptr), MOS_RC__ERROR); });
}

// Durations handed out by the clock seam: each read takes the next one. A successful read asks
// the clock four times (the type probe around it, the latency record inside it); the last
// of the four sees the read's duration.
std::deque<UINT64> readUsecs_G;
UINT64 scriptedNow_G = 0;
UINT32 scriptedCalls_G = 0;
UINT64 scriptedClock()
{
    if (scriptedCalls_G++ % 4 == 3 && !readUsecs_G.empty()) {
        scriptedNow_G += readUsecs_G.front();
        readUsecs_G.pop_front();
    }
    return scriptedNow_G;
}

TEST_F(FileFixture, DeviceTypeByRunsOfFastOrSlowReads)
{
    fake.setDisk(kFakeDiskBytes, 0);
    fake.setAutoComplete(true);
    openWith(true);
    struct Case {
        const char *what;
        std::vector<UINT64> usecs;
        DevType expected;
    } cases[] = {
        {"fast run after middling reads", {100, 100, 100, 2000, 100, 100, 100, 100, 100, 100}, DEV_TYPE__DATA_FLASH},
        {"fast run broken by a slow read", {100, 100, 100, 100, 100, 9000, 100}, DEV_TYPE__NONE},
        {"six slow reads", {6000, 6000, 7000, 6000, 1000, 6000, 8000}, DEV_TYPE__DATA_SPINDLE},
    };
    AlignedBuf buf(64 * 512);
    for (const Case &c : cases) {
        readUsecs_G.assign(c.usecs.begin(), c.usecs.end());
        while (readUsecs_G.size() < 50)
            readUsecs_G.push_back(1000); // neither fast nor slow
        scriptedCalls_G = 0;
        file_SetUsecClockForTest(scriptedClock);
        DevType t = DEV_TYPE__FLCACHE_FLASH;
        run([&] { t = file_GetDeviceType(&file, buf.p, 8); });
        file_SetUsecClockForTest(nullptr);
        EXPECT_EQ(t, c.expected) << c.what;
    }
    failAll();
    DevType t = DEV_TYPE__FLCACHE_FLASH;
    run([&] { t = file_GetDeviceType(&file, buf.p, 8); });
    EXPECT_EQ(t, DEV_TYPE__NONE) << "a read error";
    EXPECT_PANIC(file_GetDeviceType(&file, buf.p, 65), "bufferSizeInLbs < 8 \\|\\| bufferSizeInLbs > 64");
}

TEST_F(FileFixture, SlowSuccessAfterAnIdleGapIsRecordedAndNotified)
{
    fake.setDisk(kFakeDiskBytes, 0);
    openWith(true);
    TestClock clock(200000);
    AlignedBuf buf(4096);
    Mos_RC rc = MOS_RC__ILLEGAL;
    std::thread t([&] { rc = read(buf.p, 0, 8); });
    ASSERT_TRUE(fake.waitHeld(1));
    testNow_G += 400; // 4 s, above the 3 s threshold
    fake.completeOldest();
    t.join();
    ASSERT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_EQ(longSuccessOsc_G.load(), 1);
    OstrelTgt_FileState st;
    UINT64 ms = 12345;
    EXPECT_TRUE(file_GetFileState(&file, &st, &ms));
    EXPECT_EQ(st.gapCount, 1u);
    EXPECT_EQ(st.longestGapInMillis, 4000u);
    EXPECT_EQ(st.lastIoTimeInMillis, 4000u);
    EXPECT_EQ(st.updateGenNum, 1u);
    EXPECT_EQ(ms, 0u) << "nothing is pending now";
    file_ClearDeviceStateGapCounters(&file, st.updateGenNum + 1, FALSE);
    EXPECT_EQ(file.fileState.longestGapInMillis, 4000u) << "a stale generation clears nothing";
    file_ClearDeviceStateGapCounters(&file, st.updateGenNum, FALSE);
    EXPECT_EQ(file.fileState.longestGapInMillis, 0u);
    EXPECT_FALSE(file_GetFileState(&file, &st, &ms));
}

TEST_F(FileFixture, ExtendGrowsAFileAndReopenMovesToAnotherPath)
{
    ASSERT_EQ(mosAsyncIO_Create(&aio, 64, 1, TRUE), MOS_RC__SUCCESS);
    bAio = true;
    file_Init(&file, nullptr, kDev);
    bInit = true;
    std::string fresh = dir.file("fresh");
    Mos_RC rc;
    run([&] { rc = file_OpenEx(&file, fresh.c_str(), &aio, TRUE, FALSE); });
    ASSERT_EQ(rc, MOS_RC__SUCCESS);
    run([&] { EXPECT_EQ(file_GetSize(&file), 0u); });
    run([&] { rc = file_ExtendAndReserveFile(&file, 4096); });
    ASSERT_EQ(rc, MOS_RC__SUCCESS);
    run([&] { EXPECT_EQ(file_GetSize(&file), 4096u); });
    AlignedBuf buf(4096);
    memset(buf.p, 0x3C, 4096);
    EXPECT_EQ(write(buf.p, 4088, 8), MOS_RC__SUCCESS);

    run([&] { rc = file_ReopenStart(&file, path.c_str(), &aio); });
    ASSERT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_STREQ(file_GetPath(&file), path.c_str());
    run([&] { EXPECT_EQ(file_GetSize(&file), kDevBytes / 512); });
    AlignedBuf in(4096);
    EXPECT_EQ(read(in.p, 4088, 8), MOS_RC__SUCCESS);
    EXPECT_EQ(in.p[0], 0) << "the new path's contents";
    run([&] { rc = file_ReopenStart(&file, dir.file("missing/none").c_str(), &aio); });
    EXPECT_NE(rc, MOS_RC__SUCCESS);
    EXPECT_FALSE(file.bOpen) << "a failed reopen leaves the file closed";
    EXPECT_EQ(read(in.p, 0, 8), MOS_RC__IO_HARD_ERROR);
}

std::atomic<int> asyncDone_G{0};
std::atomic<int> asyncRc_G{0};
void asyncCK(MosAsyncObj *, INT32 rc)
{
    asyncRc_G = rc;
    asyncDone_G++;
}

TEST_F(FileFixture, AsynchronousFormsCompleteLaterAtOnceWhenSimulatedAndAreRefusedWhenFailed)
{
    fake.setDisk(kFakeDiskBytes, 0x11);
    fake.setAutoComplete(true);
    openWith(true);
    AlignedBuf buf(4096);
    MosAsyncIO_Req req;
    asyncDone_G = 0;
    Mos_RC rc;
    run([&] { rc = file_ReadAsync(&file, &req, asyncCK, buf.p, 0, 8, TRUE, FILE_IO_TYPE__COMB_MAP); });
    EXPECT_EQ(rc, MOS_RC__PENDING);
    ASSERT_TRUE(umtTest_WaitFor([] { return asyncDone_G.load() == 1; }));
    EXPECT_EQ(asyncRc_G.load(), MOS_RC__SUCCESS);
    EXPECT_EQ(buf.p[0], 0x11);
    run([&] { rc = file_WriteZeroAsync(&file, &req, asyncCK, 0, 8, TRUE, FILE_IO_TYPE__COMB_MAP); });
    EXPECT_EQ(rc, MOS_RC__PENDING);
    ASSERT_TRUE(umtTest_WaitFor([] { return asyncDone_G.load() == 2; }));
    EXPECT_EQ(file.dbg.ioCounters[FILE_IO_TYPE__COMB_MAP].reads, 1u);
    EXPECT_EQ(file.dbg.ioCounters[FILE_IO_TYPE__COMB_MAP].writes, 1u);

    tgtInitParam_G.bPhyDevIoEnabled = FALSE;
    tgtInitParam_G.bPhyDevIoEnabledMd = FALSE;
    memset(buf.p, 0x22, 4096);
    size_t takenBefore = fake.taken().size();
    run([&] { rc = file_ReadAsync(&file, &req, asyncCK, buf.p, 0, 8, TRUE, FILE_IO_TYPE__COMB_MAP); });
    EXPECT_EQ(rc, MOS_RC__PENDING);
    EXPECT_EQ(asyncDone_G.load(), 3) << "a simulated read completes before the call returns";
    EXPECT_EQ(buf.p[0], 0);
    EXPECT_EQ(fake.taken().size(), takenBefore);
    tgtConf_SetDefaults();

    file.bHasIoFailed = TRUE;
    run([&] { rc = file_ReadAsync(&file, &req, asyncCK, buf.p, 0, 8, TRUE, FILE_IO_TYPE__COMB_MAP); });
    EXPECT_EQ(rc, MOS_RC__IO_HARD_ERROR);
    EXPECT_EQ(devErrors_G.load(), 1);
    EXPECT_EQ(devErrorFlags_G.load(), FILE__DEV_ERROR_READ);
    EXPECT_EQ(file.dbg.ioCounters[FILE_IO_TYPE__COMB_MAP].readErrors, 2u) << "both refused attempts count";
    EXPECT_EQ(fake.taken().size(), takenBefore);
}
} // namespace
