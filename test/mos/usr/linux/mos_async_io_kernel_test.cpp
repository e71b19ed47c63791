// Asynchronous I/O through the kernel on real O_DIRECT files and a loop device.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "mos/mos_crc.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "mos/usr/mos_async_io.h"
#include "test/support/scratch_dir.h"
#include "test/support/umt_test_support.h"

namespace {
::testing::Environment *const umtEnv_G = ::testing::AddGlobalTestEnvironment(new UmtRuntimeEnv);

void makeFile(const std::string &path, UINT64 size)
{
    std::ofstream(path).close();
    ASSERT_EQ(truncate(path.c_str(), (off_t)size), 0);
}

// Deterministic contents of one piece of the file, different for every piece and pass.
void fillPiece(UINT8 *p, UINT32 size, UINT64 seed)
{
    UINT64 x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (UINT32 i = 0; i < size; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        memcpy(p + i, &x, 8);
    }
}

// Writes every piece of two files, then reads every piece back and checks its CRC, always with
// a fixed number of requests outstanding: each completion (on a reaper) submits the next piece.
// The files' and the context's limits are below that number, so both queues are in use.
class KernelStress {
  public:
    struct Piece {
        int file;
        UINT64 offset;
        UINT32 size;
        UINT32 crc;
    };
    struct Slot {
        MosAsyncIO_Req req; // first: the completion finds the slot from it
        KernelStress *pOwner;
        UINT32 piece;
        UINT8 *pBuf;
    };

    KernelStress(MosAsyncIO_FileHandle *pFiles, UINT64 bytesPerFile, UINT32 depth) : pFiles_(pFiles), slots_(depth)
    {
        static const UINT32 sizes[] = {4096, 32768, 131072, 65536, 8192};
        for (int f = 0; f < 2; f++) {
            UINT64 off = 0;
            for (UINT32 i = 0; off < bytesPerFile; i++) {
                UINT32 size = (UINT32)std::min<UINT64>(sizes[i % 5], bytesPerFile - off);
                pieces_.push_back(Piece{f, off, size, 0});
                off += size;
            }
        }
        std::shuffle(pieces_.begin(), pieces_.end(), std::mt19937(7));
        for (Slot &s : slots_) {
            s.pOwner = this;
            s.pBuf = static_cast<UINT8 *>(aligned_alloc(4096, 131072));
        }
    }
    ~KernelStress()
    {
        for (Slot &s : slots_)
            free(s.pBuf);
    }

    // One pass over all pieces; false when it did not finish within the limit.
    bool run(bool bWrite)
    {
        bWrite_ = bWrite;
        next_ = 0;
        done_ = 0;
        for (Slot &s : slots_)
            startNext(&s);
        return umtTest_WaitFor([&] { return done_.load() == pieces_.size(); }, std::chrono::seconds(600));
    }
    UINT64 failures() const { return failures_.load(); }
    UINT64 mismatches() const { return mismatches_.load(); }
    size_t pieces() const { return pieces_.size(); }

  private:
    void startNext(Slot *pSlot)
    {
        UINT32 i = next_.fetch_add(1);
        if (i >= pieces_.size())
            return;
        Piece &piece = pieces_[i];
        pSlot->piece = i;
        if (bWrite_) {
            fillPiece(pSlot->pBuf, piece.size, ((UINT64)piece.file << 40) | piece.offset);
            piece.crc = mosCrc_CalcCrc32Start(pSlot->pBuf, piece.size);
        } else {
            memset(pSlot->pBuf, 0, piece.size);
        }
        mosAsyncIOReq_Init(&pSlot->req, pFiles_[piece.file].pFile, completed, pSlot->pBuf, piece.offset, piece.size,
                           bWrite_ ? TRUE : FALSE);
        mosAsyncIO_DoIO(&pSlot->req);
    }
    static void completed(MosAsyncObj *pObj, INT32 rc)
    {
        Slot *pSlot = reinterpret_cast<Slot *>(pObj);
        KernelStress *self = pSlot->pOwner;
        const Piece &piece = self->pieces_[pSlot->piece];
        if (rc != MOS_RC__SUCCESS)
            self->failures_++;
        else if (!self->bWrite_ && mosCrc_CalcCrc32Start(pSlot->pBuf, piece.size) != piece.crc)
            self->mismatches_++;
        self->startNext(pSlot);
        self->done_++;
    }

    MosAsyncIO_FileHandle *pFiles_;
    std::vector<Piece> pieces_;
    std::vector<Slot> slots_;
    bool bWrite_ = true;
    std::atomic<UINT32> next_{0};
    std::atomic<size_t> done_{0};
    std::atomic<UINT64> failures_{0};
    std::atomic<UINT64> mismatches_{0};
};

TEST(AsyncIOKernel, WriteReadBackAndCrcCheckAtQueueDepth64WithFourReapers)
{
    const UINT64 bytesPerFile = 512ull << 20; // 1 GB in all
    ScratchDir dir;
    MosAsyncIO aio;
    ASSERT_EQ(mosAsyncIO_Create(&aio, 48, 4, TRUE), MOS_RC__SUCCESS);
    MosAsyncIO_FileHandle files[2] = {};
    for (int f = 0; f < 2; f++) {
        std::string path = dir.file("stress" + std::to_string(f));
        ASSERT_EQ(mosAsyncIO_OpenFileEx(&aio, &files[f], path.c_str(), 32, TRUE, FALSE), MOS_RC__SUCCESS);
        ASSERT_EQ(mosAsyncIO_ExtendAndReserveFile(&files[f], bytesPerFile), MOS_RC__SUCCESS);
    }
    {
        KernelStress stress(files, bytesPerFile, 64);
        ASSERT_TRUE(stress.run(true));
        EXPECT_EQ(stress.failures(), 0u);
        ASSERT_TRUE(stress.run(false));
        EXPECT_EQ(stress.failures(), 0u);
        EXPECT_EQ(stress.mismatches(), 0u) << "of " << stress.pieces() << " pieces";
    }
    EXPECT_EQ(mosAsyncIO_WaitersNum(&aio), 0u);
    for (auto &f : files) {
        EXPECT_EQ(mosAsyncIOFile_InflightsNum(&f), 0u);
        mosAsyncIO_CloseFile(&f);
    }
    mosAsyncIO_Destroy(&aio);
}

// A request for a range that no file position can hold never reaches the kernel, which would
// refuse it at submission: the read, zero-write and generic forms complete it at once with
// MOS_RC__INVALID_ARG, and the file goes on serving good requests.
TEST(AsyncIOKernel, RangesBeyondAnyFileCompleteWithInvalidArg)
{
    struct Req {
        MosAsyncIO_Req req; // first: the completion finds the record from it
        std::atomic<INT32> rc{0};
    };
    const MosAsyncObj_CK ck = [](MosAsyncObj *pObj, INT32 rc) { reinterpret_cast<Req *>(pObj)->rc = rc; };
    ScratchDir dir;
    std::string path = dir.file("far");
    makeFile(path, 1u << 20);
    UINT8 *pBuf = static_cast<UINT8 *>(aligned_alloc(4096, 4096));
    for (BOOL bNative : {TRUE, FALSE}) {
        SCOPED_TRACE(bNative);
        MosAsyncIO aio;
        ASSERT_EQ(mosAsyncIO_Create(&aio, 8, 1, bNative), MOS_RC__SUCCESS);
        MosAsyncIO_FileHandle file{};
        ASSERT_EQ(mosAsyncIO_OpenFile(&aio, &file, path.c_str(), 4), MOS_RC__SUCCESS);
        Req reqs[3];
        EXPECT_EQ(mosAsyncIO_ReadAsync(&reqs[0].req, &file, ck, 1ull << 63, pBuf, 4096), MOS_RC__PENDING);
        EXPECT_EQ(mosAsyncIO_WriteZeroAsync(&reqs[1].req, &file, ck, ~0ull - 4095, 4096), MOS_RC__PENDING);
        mosAsyncIOReq_Init(&reqs[2].req, file.pFile, ck, pBuf, (1ull << 63) - 2048, 4096, TRUE);
        EXPECT_EQ(mosAsyncIO_DoIO(&reqs[2].req), MOS_RC__PENDING);
        for (Req &r : reqs) {
            EXPECT_EQ(r.rc.load(), MOS_RC__INVALID_ARG);
            EXPECT_EQ(r.req.osRC, EINVAL);
            EXPECT_FALSE(mosAsyncIOReq_IsSuccess(&r.req));
        }
        Req good;
        EXPECT_EQ(mosAsyncIO_ReadAsync(&good.req, &file, ck, 4096, pBuf, 4096), MOS_RC__PENDING);
        ASSERT_TRUE(umtTest_WaitFor([&] { return good.rc.load() != 0; }));
        EXPECT_EQ(good.rc.load(), MOS_RC__SUCCESS);
        EXPECT_EQ(mosAsyncIOFile_InflightsNum(&file), 0u);
        mosAsyncIO_CloseFile(&file);
        mosAsyncIO_Destroy(&aio);
    }
    free(pBuf);
}

// Blocking transfers of uthreads through the kernel, checked with plain reads of the file.
TEST(AsyncIOKernel, SyncTimedAndZeroWritesOfUserModeThreads)
{
    ScratchDir dir;
    std::string path = dir.file("sync");
    makeFile(path, 4u << 20);
    MosUmt_SchedThrd sched;
    ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "aio kernel", 2, 2, 4), MOS_RC__SUCCESS);
    MosAsyncIO aio;
    ASSERT_EQ(mosAsyncIO_Create(&aio, 64, 2, FALSE), MOS_RC__SUCCESS); // with submitter threads
    MosAsyncIO_FileHandle file{};
    ASSERT_EQ(mosAsyncIO_OpenFile(&aio, &file, path.c_str(), 8), MOS_RC__SUCCESS);

    UINT8 *pOut = static_cast<UINT8 *>(aligned_alloc(4096, 65536));
    UINT8 *pIn = static_cast<UINT8 *>(aligned_alloc(4096, 65536));
    fillPiece(pOut, 65536, 3);
    std::vector<UINT8> written(pOut, pOut + 65536);
    Mos_RC rcs[5];
    MosTicks_Cnt ticks = 0;
    umtTest_RunAsUmt(
        [&] {
            rcs[0] = mosAsyncIO_DoIOSyncEx(&file, 1u << 20, pOut, 65536, TRUE, &ticks);
            rcs[1] = mosAsyncIO_DoIOTimedSync(&file, 1u << 20, pIn, 65536, FALSE, 60000, nullptr);
            rcs[2] = mosAsyncIO_WriteZeroSync(&file, (1u << 20) + 4096, 8192, nullptr);
            rcs[3] = mosAsyncIO_WriteZeroTimedSync(&file, 2u << 20, 1u << 20, 60000, nullptr);
            // Reading past the end of the file is a short transfer: a failure here.
            rcs[4] = mosAsyncIO_DoIOSync(&file, (4u << 20) - 4096, pOut, 8192, FALSE);
        },
        &sched.base);
    for (Mos_RC rc : {rcs[0], rcs[1], rcs[2], rcs[3]})
        EXPECT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_EQ(rcs[4], MOS_RC__ERROR);
    EXPECT_EQ(memcmp(pIn, written.data(), 65536), 0) << "the timed read's data reached the caller";

    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::vector<UINT8> back(65536);
    ASSERT_EQ(pread(fd, back.data(), back.size(), 1 << 20), 65536);
    std::vector<UINT8> expected = written;
    std::fill(expected.begin() + 4096, expected.begin() + 12288, 0);
    EXPECT_EQ(back, expected);
    std::vector<UINT8> zeros(1u << 20);
    ASSERT_EQ(pread(fd, zeros.data(), zeros.size(), 2 << 20), (ssize_t)zeros.size());
    EXPECT_TRUE(std::all_of(zeros.begin(), zeros.end(), [](UINT8 v) { return v == 0; }));
    close(fd);

    free(pOut);
    free(pIn);
    mosAsyncIO_CloseFile(&file);
    mosAsyncIO_Destroy(&aio);
    mosUmtSchedThrd_Destroy(&sched);
}

TEST(AsyncIOKernel, LoopDeviceIsOpenedAsADeviceAndTransfersReachIt)
{
    ScratchDir dir;
    std::string image = dir.file("loop.img");
    makeFile(image, 32u << 20);
    auto loop = LoopDevice::attach(image, false);
    if (!loop)
        GTEST_SKIP() << "loop devices cannot be set up here";
    MosUmt_SchedThrd sched;
    ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "aio loop", 1, 1, 4), MOS_RC__SUCCESS);
    MosAsyncIO aio;
    ASSERT_EQ(mosAsyncIO_Create(&aio, 32, 1, TRUE), MOS_RC__SUCCESS);
    MosAsyncIO_FileHandle dev{};
    ASSERT_EQ(mosAsyncIO_OpenFile(&aio, &dev, loop->path().c_str(), 0), MOS_RC__SUCCESS);
    EXPECT_EQ(mosIO_GetSize(&dev.pFile->fd), 32u << 20);

    UINT8 *pOut = static_cast<UINT8 *>(aligned_alloc(4096, 131072));
    UINT8 *pIn = static_cast<UINT8 *>(aligned_alloc(4096, 131072));
    fillPiece(pOut, 131072, 9);
    memset(pIn, 0, 131072);
    Mos_RC wrc = MOS_RC__ILLEGAL, rrc = MOS_RC__ILLEGAL;
    umtTest_RunAsUmt(
        [&] {
            MosAsyncIO_BulkReq bulk[4] = {};
            for (int i = 0; i < 4; i++) {
                bulk[i].pFile = dev.pFile;
                bulk[i].offset = (30u << 20) + (UINT64)i * 32768;
                bulk[i].pBuf = pOut + i * 32768;
                bulk[i].size = 32768;
                bulk[i].bWrite = TRUE;
            }
            wrc = mosAsyncIO_DoIOSyncBulk(bulk, 4);
            rrc = mosAsyncIO_DoIOSync(&dev, 30u << 20, pIn, 131072, FALSE);
        },
        &sched.base);
    EXPECT_EQ(wrc, MOS_RC__SUCCESS);
    EXPECT_EQ(rrc, MOS_RC__SUCCESS);
    EXPECT_EQ(memcmp(pIn, pOut, 131072), 0);
    free(pOut);
    free(pIn);
    mosAsyncIO_CloseFile(&dev);
    mosAsyncIO_Destroy(&aio);
    mosUmtSchedThrd_Destroy(&sched);
}

} // namespace
