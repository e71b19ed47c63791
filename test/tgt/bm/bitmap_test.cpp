// Persistent bitmaps: group commit over a backend that holds writes on the test's word, the
// undo of a failed write, the order of queued changes, and the shared-memory segments.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "mos/umt/mos_umt_sched_thrd.h"
#include "test/support/fake_aio_backend.h"
#include "test/support/tgt_test_support.h"
#include "tgt/bm/bitmap.h"
#include "tgt/file/file.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

constexpr size_t kDiskBytes = 16u << 20;
constexpr UINT64 kBmOffset = 1024; // LB
constexpr UINT32 kBits = 100000;   // 4 units of 8 LB

class DiskBitmap : public ::testing::Test {
  protected:
    void SetUp() override
    {
        tgtConf_SetDefaults();
        ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "bm", 4, 4, 8), MOS_RC__SUCCESS);
        path = tgtTest_MakeSparseFile(dir, "dev", kDiskBytes);
        fake.setDisk(kDiskBytes, 0);
        fake.setAutoComplete(true);
        ASSERT_EQ(mosAsyncIO_CreateWithBackend(&aio, 64, 2, TRUE, fake.ops()), MOS_RC__SUCCESS);
        file_Init(&file, nullptr, nullptr);
        Mos_RC rc;
        run([&] { rc = file_Open(&file, path.c_str(), &aio); });
        ASSERT_EQ(rc, MOS_RC__SUCCESS);
        tgtBwc_Init(&writes);
        tgtBwc_Init(&unified);
        run([&] { rc = bitmap_Init(&bm, kBits, kBmOffset, &file, &writes, &unified, TRUE, FALSE, 1, 1); });
        ASSERT_EQ(rc, MOS_RC__SUCCESS);
        fake.setAutoComplete(false);
        baseWrites = fake.taken().size();
    }
    void TearDown() override
    {
        fake.setAutoComplete(true);
        fake.completeAll();
        bitmap_Destroy(&bm);
        run([&] { file_Close(&file); });
        file_Destroy(&file);
        EXPECT_TRUE(umtTest_WaitFor([&] { return aio.files.counter == 0; }));
        mosAsyncIO_Destroy(&aio);
        tgtBwc_Destroy(&writes);
        tgtBwc_Destroy(&unified);
        mosUmtSchedThrd_Destroy(&sched);
    }
    void run(const std::function<void()> &fn) { umtTest_RunAsUmt(fn, &sched.base); }
    std::thread change(UINT32 bit, BOOL bSet, BOOL *pOk)
    {
        return std::thread([=, this] { run([=, this] { *pOk = bitmap_ChangeBits(&bm, bit, 1, bSet, TRUE, TRUE); }); });
    }
    size_t writesSinceInit() { return fake.taken().size() - baseWrites; }
    bool diskBit(UINT32 bit)
    {
        std::vector<UINT8> d = fake.disk();
        return (d[kBmOffset * 512 + bit / 8] & (0x80 >> (bit % 8))) != 0;
    }
    // Holds the leader's write until `queued` more changes wait behind it.
    void waitQueued(UINT32 queued)
    {
        ASSERT_TRUE(umtTest_WaitFor([&] {
            mosFastlockBase_Acquire(&bm.condFastLock);
            UINT32 n = bm.pendListAnchor.counter;
            mosFastlockBase_Release(&bm.condFastLock);
            return n == queued;
        }));
    }

    ScratchDir dir;
    std::string path;
    MosUmt_SchedThrd sched;
    FakeAioBackend fake;
    MosAsyncIO aio;
    File file;
    TgtBwc writes, unified;
    Bitmap bm;
    size_t baseWrites = 0;
};

TEST_F(DiskBitmap, ChangesQueuedBehindAWriteShareOneWrite)
{
    BOOL okA = FALSE, okB = FALSE, okC = FALSE;
    std::thread a = change(10, TRUE, &okA);
    ASSERT_TRUE(fake.waitHeld(1));
    std::thread b = change(20, TRUE, &okB);
    std::thread c = change(30, TRUE, &okC);
    waitQueued(2);
    EXPECT_FALSE(bitmap_IsBitSet(&bm, 10)) << "not on the device yet";
    fake.completeOldest();
    a.join();
    ASSERT_TRUE(fake.waitHeld(1));
    fake.completeOldest();
    b.join();
    c.join();
    EXPECT_TRUE(okA && okB && okC);
    EXPECT_EQ(writesSinceInit(), 2u) << "the two queued changes went out in one write";
    for (UINT32 bit : {10u, 20u, 30u}) {
        EXPECT_TRUE(bitmap_IsBitSet(&bm, bit));
        EXPECT_TRUE(diskBit(bit));
    }
    auto last = fake.taken().back();
    EXPECT_EQ(last.offset, kBmOffset * 512);
    EXPECT_EQ(last.size, 8u * 512) << "one write unit";

    // What the device holds reads back into a new bitmap.
    Bitmap again;
    fake.setAutoComplete(true);
    Mos_RC rc;
    run([&] { rc = bitmap_Init(&again, kBits, kBmOffset, &file, nullptr, nullptr, FALSE, FALSE, 1, 1); });
    ASSERT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_TRUE(bitmap_IsBitSet(&again, 20));
    EXPECT_EQ(bitmap_FindNextSetBit(&again, 11, 1000), 20u);
    EXPECT_EQ(bitmap_FindLastSetBit(&again, 0, kBits), 30u);
    bitmap_Destroy(&again);
}

TEST_F(DiskBitmap, ResetQueuedBeforeASetOfTheSameBitEndsSet)
{
    BOOL ok = FALSE;
    fake.setAutoComplete(true);
    run([&] { ok = bitmap_ChangeBits(&bm, 77, 1, TRUE, TRUE, TRUE); });
    ASSERT_TRUE(ok);
    fake.setAutoComplete(false);
    BOOL okA = FALSE, okReset = FALSE, okSet = FALSE;
    std::thread a = change(5000, TRUE, &okA);
    ASSERT_TRUE(fake.waitHeld(1));
    std::thread r = change(77, FALSE, &okReset);
    waitQueued(1);
    std::thread s = change(77, TRUE, &okSet);
    waitQueued(2);
    fake.completeOldest();
    a.join();
    ASSERT_TRUE(fake.waitHeld(1));
    fake.completeOldest();
    r.join();
    s.join();
    EXPECT_TRUE(okA && okReset && okSet);
    EXPECT_TRUE(bitmap_IsBitSet(&bm, 77)) << "the newer set wins";
    EXPECT_TRUE(diskBit(77));
}

TEST_F(DiskBitmap, FailedWriteIsUndoneInTheWorkingImage)
{
    fake.setAutoComplete(true);
    fake.setResultFunc([](const FakeAioBackend::Seen &, size_t) { return (long)-EIO; });
    BOOL ok = TRUE;
    run([&] { ok = bitmap_ChangeBits(&bm, 42, 8, TRUE, TRUE, TRUE); });
    EXPECT_FALSE(ok);
    EXPECT_FALSE(bitmap_IsBitSet(&bm, 42));
    EXPECT_FALSE(bitArray_IsBitSet(&bm.bitArrayPend, 42)) << "the working image is restored";
    EXPECT_FALSE(diskBit(42));
}

TEST_F(DiskBitmap, UnhardenedChangesStayInMemoryAndFlushWritesAll)
{
    BOOL ok = FALSE;
    run([&] { ok = bitmap_ChangeBits(&bm, 99999, 1, TRUE, FALSE, TRUE); });
    EXPECT_TRUE(ok);
    EXPECT_TRUE(bitmap_IsBitSet(&bm, 99999));
    EXPECT_EQ(writesSinceInit(), 0u);
    fake.setAutoComplete(true);
    run([&] { ok = bitmap_Flush(&bm, TRUE); });
    EXPECT_TRUE(ok);
    EXPECT_EQ(fake.taken().back().size, (size_t)bitmap_CalcDataSize(kBits) * 512);
    EXPECT_TRUE(diskBit(99999));
    UINT8 src[2] = {0x81, 0x01};
    run([&] { ok = bitmap_SetBits(&bm, 64, 16, src); });
    EXPECT_TRUE(ok);
    EXPECT_TRUE(bitmap_IsBitSet(&bm, 64));
    EXPECT_TRUE(bitmap_IsBitSet(&bm, 79));
    EXPECT_TRUE(diskBit(71));
}

// Crash replay: every write of the bitmap is logged with its data; the device as it would be
// after each prefix of the log must hold every change acknowledged before the next write was
// issued, and nothing that was never asked for.
TEST_F(DiskBitmap, EveryPrefixOfTheWriteLogHoldsWhatWasAcknowledged)
{
    struct Logged {
        UINT64 offset;
        std::vector<UINT8> data;
    };
    std::mutex m;
    std::vector<Logged> log;
    std::vector<std::pair<UINT32, size_t>> acks; // bit, writes issued when it was acknowledged
    auto logWrite = [&](const FakeAioBackend::Seen &seen) {
        const UINT8 *p = static_cast<const UINT8 *>(seen.pIocb->u.c.buf);
        std::lock_guard<std::mutex> g(m);
        log.push_back({seen.offset, std::vector<UINT8>(p, p + seen.size)});
    };
    fake.setResultFunc([&](const FakeAioBackend::Seen &seen, size_t) {
        if (seen.bWrite)
            logWrite(seen);
        return FakeAioBackend::kFull;
    });
    std::set<UINT32> asked;
    std::vector<std::thread> setters;
    for (UINT32 t = 0; t < 8; t++) {
        for (UINT32 j = 0; j < 40; j++)
            asked.insert(t * 12000 + j * 97);
        setters.emplace_back([&, t] {
            run([&, t] {
                for (UINT32 j = 0; j < 40; j++) {
                    UINT32 bit = t * 12000 + j * 97;
                    ASSERT_TRUE(bitmap_ChangeBits(&bm, bit, 1, TRUE, TRUE, TRUE));
                    std::lock_guard<std::mutex> g(m);
                    acks.emplace_back(bit, log.size());
                }
            });
        });
    }
    // The first write is held until two changes wait behind it, so that however the setters
    // are scheduled, at least two changes go out together; every later write completes at once.
    const bool bQueued = fake.waitHeld(1) && umtTest_WaitFor([&] {
        mosFastlockBase_Acquire(&bm.condFastLock);
        UINT32 n = bm.pendListAnchor.counter;
        mosFastlockBase_Release(&bm.condFastLock);
        return n >= 2;
    });
    const std::vector<FakeAioBackend::Seen> first = fake.held();
    for (const FakeAioBackend::Seen &seen : first)
        logWrite(seen);
    fake.setAutoComplete(true);
    fake.completeAll();
    for (auto &th : setters)
        th.join();
    ASSERT_TRUE(bQueued);
    ASSERT_EQ(first.size(), 1u) << "the first change alone";
    ASSERT_EQ(acks.size(), 320u);
    std::vector<UINT8> image((size_t)bitmap_CalcDataSize(kBits) * 512, 0);
    for (size_t k = 0; k <= log.size(); k++) {
        if (k > 0) {
            const Logged &w = log[k - 1];
            ASSERT_GE(w.offset, kBmOffset * 512);
            ASSERT_LE(w.offset - kBmOffset * 512 + w.data.size(), image.size());
            memcpy(&image[w.offset - kBmOffset * 512], w.data.data(), w.data.size());
        }
        auto isSet = [&](UINT32 bit) { return (image[bit / 8] & (0x80 >> (bit % 8))) != 0; };
        for (auto [bit, ackedAt] : acks) {
            if (ackedAt <= k) {
                ASSERT_TRUE(isSet(bit)) << "bit " << bit << " acknowledged before write " << k;
            }
        }
        for (UINT32 bit = 0; bit < kBits; bit++) {
            if (isSet(bit)) {
                ASSERT_TRUE(asked.count(bit)) << "bit " << bit << " after write " << k;
            }
        }
    }
    EXPECT_LT(log.size(), 320u) << "changes shared writes";
}

TEST(BitArray, ShmNameAndCountsThatEndOnTheFirstBitOfAByte)
{
    char name[BIT_ARRAY__SHM_NAME_LEN + 1];
    bitArray_ShmName(name, 1, PHY_DEV__DBM_REBUILD_INDEX, BIT_ARRAY__SHM_TYPE_WORKING);
    EXPECT_STREQ(name, "/qel_0000000000000001_2_P");
    BitArray a;
    ASSERT_EQ(bitArray_Init(&a, 4096, FALSE, TRUE, FALSE, 0, 0, 0, nullptr), MOS_RC__SUCCESS);
    EXPECT_TRUE(bitArray_SetBit(&a, 8));
    EXPECT_FALSE(bitArray_SetBit(&a, 8));
    EXPECT_EQ(a.pBmBuff[1], 0x80) << "most significant bit first";
    EXPECT_EQ(bitArray_CountSetBits(&a, 0, 9), 1u);
    EXPECT_EQ(bitArray_CountResetBits(&a, 0, 9), 8u);
    EXPECT_EQ(bitArray_ChangeBits(&a, 3, 20, TRUE), 19u);
    EXPECT_TRUE(bitArray_IsAllSet(&a, 3, 20));
    EXPECT_FALSE(bitArray_IsAllSet(&a, 2, 20));
    EXPECT_TRUE(bitArray_IsAllReset(&a, 23, 4000));
    EXPECT_EQ(bitArray_FindNextSetBit(&a, 0, 100), 3u);
    EXPECT_EQ(bitArray_FindLastSetBit(&a, 0, 100), 22u);
    EXPECT_EQ(bitArray_FindNextSetBit(&a, 23, 100), BIT_ARRAY__NOT_FOUND);
    EXPECT_PANIC(bitArray_CountSetBits(&a, 4000, 97), "firstBit \\+ numOfBits - 1 >= pBitArray->numOfBits");
    EXPECT_PANIC(bitArray_IsBitSet(&a, 4096), "bit >= pBitArray->numOfBits");
    bitArray_Destroy(&a);
}

class ShmBitmap : public ::testing::Test {
  protected:
    void SetUp() override
    {
        tgtConf_SetDefaults();
        devId = 0xABC000000ull + (UINT64)getpid();
        bitArray_ShmName(name, devId, PHY_DEV__DBM_ACTIVE_INDEX, BIT_ARRAY__SHM_TYPE_WORKING);
        shm_unlink(name);
    }
    void TearDown() override { shm_unlink(name); }
    UINT64 devId;
    char name[BIT_ARRAY__SHM_NAME_LEN + 1];
};

TEST_F(ShmBitmap, ReopenKeepsBitsAndASegmentOfAnotherSizeComesBackAllDirty)
{
    Bitmap bm;
    ASSERT_EQ(bitmap_Init(&bm, kBits, 0, nullptr, nullptr, nullptr, TRUE, FALSE, devId, PHY_DEV__DBM_ACTIVE_INDEX),
              MOS_RC__SUCCESS);
    umtTest_RunAsUmt([&] { bitmap_ChangeBits(&bm, 7, 3, TRUE, TRUE, TRUE); });
    EXPECT_TRUE(bitmap_IsBitSet(&bm, 8));
    bitmap_Destroy(&bm);

    ASSERT_EQ(bitmap_Init(&bm, kBits, 0, nullptr, nullptr, nullptr, FALSE, FALSE, devId, PHY_DEV__DBM_ACTIVE_INDEX),
              MOS_RC__SUCCESS);
    EXPECT_TRUE(bitmap_IsBitSet(&bm, 9)) << "the segment outlives the bitmap";
    EXPECT_FALSE(bitmap_IsBitSet(&bm, 10));
    bitmap_Destroy(&bm);

    int fd = shm_open(name, O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 4096), 0);
    close(fd);
    ASSERT_EQ(bitmap_Init(&bm, kBits, 0, nullptr, nullptr, nullptr, FALSE, FALSE, devId, PHY_DEV__DBM_ACTIVE_INDEX),
              MOS_RC__SUCCESS);
    EXPECT_TRUE(bitmap_IsAllSet(&bm, 0, kBits)) << "a cut segment is not trusted";
    EXPECT_EQ(bm.bitArrayPend.sharedMem.memSize, (UINT64)bitmap_CalcDataSize(kBits) * 512);
    bitmap_Destroy(&bm);
}

TEST_F(ShmBitmap, MissingSegmentStartsAsAskedAndModesMoveBothWays)
{
    Bitmap bm;
    ASSERT_EQ(bitmap_Init(&bm, kBits, 0, nullptr, nullptr, nullptr, FALSE, TRUE, devId, PHY_DEV__DBM_ACTIVE_INDEX),
              MOS_RC__SUCCESS);
    EXPECT_TRUE(bitmap_IsAllSet(&bm, 0, kBits)) << "after a reboot every region counts as dirty";
    umtTest_RunAsUmt([&] { bitmap_ChangeBits(&bm, 0, kBits, FALSE, TRUE, TRUE); });
    umtTest_RunAsUmt([&] { bitmap_ChangeBits(&bm, 500, 1, TRUE, TRUE, TRUE); });
    EXPECT_TRUE(bitmap_MoveToDisk(&bm, PHY_DEV__DBM_ACTIVE_INDEX, nullptr));
    EXPECT_TRUE(bitmap_IsBitSet(&bm, 500));
    EXPECT_FALSE(bm.bitArrayPend.bSharedMem);
    bitmap_DestroyShm(&bm);
    EXPECT_LT(shm_open(name, O_RDWR, 0600), 0) << "the segment is gone";
    EXPECT_TRUE(bitmap_MoveToSharedMem(&bm, devId, PHY_DEV__DBM_ACTIVE_INDEX));
    EXPECT_FALSE(bitmap_MoveToSharedMem(&bm, devId, PHY_DEV__DBM_ACTIVE_INDEX)) << "already shared";
    EXPECT_TRUE(bitmap_IsBitSet(&bm, 500));
    bitmap_Destroy(&bm);
    Bitmap again;
    ASSERT_EQ(bitmap_Init(&again, kBits, 0, nullptr, nullptr, nullptr, FALSE, TRUE, devId, PHY_DEV__DBM_ACTIVE_INDEX),
              MOS_RC__SUCCESS);
    EXPECT_TRUE(bitmap_IsBitSet(&again, 500));
    EXPECT_FALSE(bitmap_IsBitSet(&again, 501));
    bitmap_Destroy(&again);
}
} // namespace
