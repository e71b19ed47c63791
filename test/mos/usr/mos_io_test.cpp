#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "mos/mos_diag_counters.h"
#include "mos/usr/mos_io.h"
#include "test/support/scratch_dir.h"
#include "mos/mos_utils_mem.h"
#include "mos/mos_utils_scramble.h"

namespace {

constexpr UINT64 kMiB = 1ull << 20;

struct FileIO : ::testing::Test {
    void SetUp() override { ASSERT_EQ(mosIOLayer_Init(nullptr), MOS_RC__SUCCESS); }
    void TearDown() override
    {
        if (io.fd >= 0)
            mosIO_close(&io);
        mosIOLayer_Destroy();
    }
    // A file of the given size whose every byte is 0xAB.
    std::string patterned(const char *pName, UINT64 size)
    {
        std::string path = dir.file(pName);
        std::ofstream out(path, std::ios::binary);
        std::vector<char> block(kMiB, (char)0xAB);
        for (UINT64 done = 0; done < size; done += block.size())
            out.write(block.data(), (std::streamsize)std::min<UINT64>(block.size(), size - done));
        return path;
    }
    struct stat statOf(const std::string &path)
    {
        struct stat st {};
        EXPECT_EQ(stat(path.c_str(), &st), 0);
        return st;
    }
    ScratchDir dir;
    MosIO io{-1, 0};
};

struct AlignedBuf {
    explicit AlignedBuf(size_t n) : size(n), p(static_cast<UINT8 *>(mos_AllocPageAlignedOrPanic(n))) {}
    ~AlignedBuf() { mos_FreePageAligned(p); }
    size_t size;
    UINT8 *p;
};

} // namespace

TEST_F(FileIO, CreateReserveAndTransferWithDirectIO)
{
    std::string path = dir.file("dev.img");
    ASSERT_EQ(mosIO_open(&io, path.c_str(), TRUE, TRUE), MOS_RC__SUCCESS);
    EXPECT_GE(io.fd, 0);
    EXPECT_EQ(mosIO_GetSize(&io), 0u);
    EXPECT_EQ(statOf(path).st_mode & 07777, 0600u);
    EXPECT_NE(fcntl(io.fd, F_GETFL) & O_DIRECT, 0);

    ASSERT_EQ(mosIO_ExtendAndReserveFile(&io, 4 * kMiB), MOS_RC__SUCCESS);
    EXPECT_EQ(mosIO_GetSize(&io), 4 * kMiB);
    EXPECT_EQ(mosIO_GetSizeLb(&io), 8192u);
    struct stat st = statOf(path);
    EXPECT_EQ((UINT64)st.st_size, 4 * kMiB);
    EXPECT_GE((UINT64)st.st_blocks * 512, 4 * kMiB); // reserved, not sparse

    AlignedBuf out(8192), in(8192);
    for (size_t i = 0; i < out.size; i++)
        out.p[i] = (UINT8)(i * 7);
    ASSERT_EQ(mosIO_write(&io, out.p, out.size, 3 * kMiB), MOS_RC__SUCCESS);
    ASSERT_EQ(mosIO_flush(&io), MOS_RC__SUCCESS);
    ASSERT_EQ(mosIO_read(&io, in.p, in.size, 3 * kMiB), MOS_RC__SUCCESS);
    EXPECT_EQ(memcmp(in.p, out.p, out.size), 0);

    mosIO_close(&io);
    EXPECT_EQ(io.fd, -1);
    EXPECT_EQ(mosIO_GetSize(&io), 0u);
}

TEST_F(FileIO, ExistingFileKeepsItsSizeUntilAskedForMore)
{
    std::string path = patterned("existing.img", 2 * kMiB);
    UINT64 size = 0;
    EXPECT_TRUE(mosIO_IsFile(path.c_str(), &size));
    EXPECT_EQ(size, 2 * kMiB);
    EXPECT_FALSE(mosIO_IsFile(dir.path().c_str(), &size));
    EXPECT_FALSE(mosIO_IsFile(dir.file("none").c_str(), &size));

    ASSERT_EQ(mosIO_open(&io, path.c_str(), FALSE, TRUE), MOS_RC__SUCCESS);
    EXPECT_EQ(mosIO_GetSize(&io), 2 * kMiB);
    ASSERT_EQ(mosIO_ExtendAndReserveFile(&io, kMiB), MOS_RC__SUCCESS);
    EXPECT_EQ(mosIO_GetSize(&io), 2 * kMiB);
    EXPECT_EQ((UINT64)statOf(path).st_size, 2 * kMiB);
    ASSERT_EQ(mosIO_ExtendAndReserveFile(&io, 3 * kMiB), MOS_RC__SUCCESS);
    EXPECT_EQ(mosIO_GetSize(&io), 3 * kMiB);
    EXPECT_EQ((UINT64)statOf(path).st_size, 3 * kMiB);
    // The old content stays where it was.
    AlignedBuf in(4096);
    ASSERT_EQ(mosIO_read(&io, in.p, in.size, kMiB), MOS_RC__SUCCESS);
    EXPECT_EQ(in.p[0], 0xAB);
    EXPECT_EQ(in.p[4095], 0xAB);
    mosIO_close(&io);

    // Opened with create, an existing file keeps its length and, when long enough, is left alone.
    ASSERT_EQ(mosIO_open(&io, path.c_str(), TRUE, FALSE), MOS_RC__SUCCESS);
    EXPECT_EQ(mosIO_GetSize(&io), 3 * kMiB);
    ASSERT_EQ(mosIO_ExtendAndReserveFile(&io, 3 * kMiB), MOS_RC__SUCCESS);
    EXPECT_EQ((UINT64)statOf(path).st_size, 3 * kMiB);
    EXPECT_EQ(mosIO_GetSize(&io), 3 * kMiB);
}

TEST_F(FileIO, ZeroWritesCoverExactlyTheirRange)
{
    std::string path = patterned("zero.img", 4 * kMiB);
    UINT32 zeroSize = 0;
    const UINT8 *pZero = static_cast<const UINT8 *>(mosIOLayer_ZeroBufDetails(&zeroSize));
    ASSERT_EQ(zeroSize, 0x100000u);
    EXPECT_EQ((uintptr_t)pZero % mos_PageSize(), 0u);
    EXPECT_TRUE(mos_IsZeroBufLbs(pZero, zeroSize / 512));

    ASSERT_EQ(mosIO_open(&io, path.c_str(), FALSE, TRUE), MOS_RC__SUCCESS);
    // 2.5 MB: two whole pieces of the zero buffer and half of one.
    const UINT64 start = 4096, length = 5 * kMiB / 2;
    ASSERT_EQ(mosIO_writeZero(&io, length, start), MOS_RC__SUCCESS);
    mosIO_close(&io);

    std::ifstream in(path, std::ios::binary);
    std::vector<char> all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(all.size(), 4 * kMiB);
    for (UINT64 i = 0; i < all.size(); i++) {
        char expected = (i >= start && i < start + length) ? 0 : (char)0xAB;
        ASSERT_EQ(all[i], expected) << "byte " << i;
    }
}

TEST_F(FileIO, FailuresAreReturnCodes)
{
    // Not there and not to be created: the mount check finds nothing.
    EXPECT_EQ(mosIO_open(&io, dir.file("missing").c_str(), FALSE, FALSE), MOS_RC__NOT_FOUND);
    EXPECT_EQ(io.fd, -1);
    EXPECT_EQ(mosIO_open(&io, dir.file("no/dir/file").c_str(), TRUE, FALSE), MOS_RC__ERROR);
    EXPECT_EQ(io.fd, -1);
    // A directory is neither a file nor a device.
    EXPECT_EQ(mosIO_open(&io, dir.path().c_str(), FALSE, FALSE), MOS_RC__ERROR);
    EXPECT_EQ(io.fd, -1);

    std::string path = patterned("short.img", 4096);
    ASSERT_EQ(mosIO_open(&io, path.c_str(), FALSE, FALSE), MOS_RC__SUCCESS);
    UINT32 sectorSize = 0;
    EXPECT_EQ(mosIO_GetSectorSizeInBytes(&io, &sectorSize), MOS_RC__ERROR);
    UINT32 errorsBefore = mosDiagCounters_Get(MOS_DIAG_COUNTER__PHY_IO_ERROR);
    std::vector<UINT8> buf(8192);
    // Reading past the end of the file is not a silent short read.
    EXPECT_EQ(mosIO_read(&io, buf.data(), buf.size(), 0), MOS_RC__ERROR);
    EXPECT_EQ(mosDiagCounters_Get(MOS_DIAG_COUNTER__PHY_IO_ERROR), errorsBefore + 1);
    mosIO_close(&io);
    MosIO closed{-1, 0};
    EXPECT_EQ(mosIO_write(&closed, buf.data(), 512, 0), MOS_RC__ERROR);
    EXPECT_EQ(mosDiagCounters_Get(MOS_DIAG_COUNTER__PHY_IO_ERROR), errorsBefore + 2);
    EXPECT_EQ(mosIO_flush(&closed), MOS_RC__ERROR);
}

// ---- Block devices: loop devices where the machine allows them ----

namespace {
struct LoopIO : FileIO {
    void SetUp() override
    {
        FileIO::SetUp();
        image = dir.file("disk.img");
        std::ofstream{image};
        std::filesystem::resize_file(image, 64 * kMiB);
        loop = LoopDevice::attach(image, false);
        if (!loop)
            GTEST_SKIP() << "loop devices are not available here";
    }
    void TearDown() override
    {
        if (!mountPoint.empty())
            umount(mountPoint.c_str());
        if (io.fd >= 0)
            mosIO_close(&io);
        loop.reset();
        FileIO::TearDown();
    }
    std::string image;
    std::string mountPoint;
    std::unique_ptr<LoopDevice> loop;
};
} // namespace

TEST_F(LoopIO, DeviceOpensWithItsSizeAndSectorSize)
{
    BOOL bMounted = TRUE;
    ASSERT_EQ(mosIO_IsMounted(loop->path().c_str(), &bMounted), MOS_RC__SUCCESS);
    EXPECT_FALSE(bMounted);
    ASSERT_EQ(mosIO_open(&io, loop->path().c_str(), FALSE, TRUE), MOS_RC__SUCCESS);
    EXPECT_EQ(mosIO_GetSize(&io), 64 * kMiB);
    UINT32 sectorSize = 0;
    ASSERT_EQ(mosIO_GetSectorSizeInBytes(&io, &sectorSize), MOS_RC__SUCCESS);
    EXPECT_EQ(sectorSize, 512u);
    AlignedBuf out(4096), in(4096);
    memset(out.p, 0x5A, out.size);
    ASSERT_EQ(mosIO_write(&io, out.p, out.size, 32 * kMiB), MOS_RC__SUCCESS);
    ASSERT_EQ(mosIO_read(&io, in.p, in.size, 32 * kMiB), MOS_RC__SUCCESS);
    EXPECT_EQ(memcmp(in.p, out.p, in.size), 0);
    // A regular file is never reported mounted.
    ASSERT_EQ(mosIO_IsMounted(image.c_str(), &bMounted), MOS_RC__SUCCESS);
    EXPECT_FALSE(bMounted);
}

TEST_F(LoopIO, DeviceHeldByAnotherUserIsRefusedAsMounted)
{
    // What LVM, MD, swap or a mounted partition do to a disk: hold it exclusively.
    int holder = open(loop->path().c_str(), O_RDONLY | O_EXCL);
    ASSERT_GE(holder, 0);
    BOOL bMounted = FALSE;
    ASSERT_EQ(mosIO_IsMounted(loop->path().c_str(), &bMounted), MOS_RC__SUCCESS);
    EXPECT_TRUE(bMounted);
    EXPECT_EQ(mosIO_open(&io, loop->path().c_str(), FALSE, TRUE), MOS_RC__DEV_MOUNTED);
    EXPECT_EQ(io.fd, -1);
    close(holder);
    ASSERT_EQ(mosIO_IsMounted(loop->path().c_str(), &bMounted), MOS_RC__SUCCESS);
    EXPECT_FALSE(bMounted);
}

TEST_F(LoopIO, MountedDeviceIsRefused)
{
    std::string cmd = "mkfs.ext4 -q -F " + loop->path() + " >/dev/null 2>&1";
    if (system(cmd.c_str()) != 0)
        GTEST_SKIP() << "mkfs.ext4 is not available";
    std::string target = dir.file("mnt");
    ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
    if (mount(loop->path().c_str(), target.c_str(), "ext4", 0, nullptr) != 0)
        GTEST_SKIP() << "mounting is not allowed here";
    mountPoint = target;
    BOOL bMounted = FALSE;
    ASSERT_EQ(mosIO_IsMounted(loop->path().c_str(), &bMounted), MOS_RC__SUCCESS);
    EXPECT_TRUE(bMounted);
    EXPECT_EQ(mosIO_open(&io, loop->path().c_str(), FALSE, TRUE), MOS_RC__DEV_MOUNTED);
    EXPECT_EQ(io.fd, -1);
}
