#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

#include "test/support/scratch_dir.h"
#include "mos/mos_utils_mem.h"
#include "mos/mos_utils_text.h"
#include "mos/mos_utils_scramble.h"
#include "mos/mos_utils_file.h"
#include "mos/mos_utils_blkdev.h"
#include "mos/mos_utils_console.h"
#include "test/support/panic_expect.h"

namespace {
std::string readAll(const std::string &path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

mode_t modeOf(const std::string &path)
{
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}
} // namespace

// ---- Numbers and text ----

TEST(UtilsText, NumberToText)
{
    char buf[32];
    struct {
        UINT64 value;
        UINT32 base;
        const char *pText;
    } unsignedCases[] = {{255, 17, "00000000000000ff"}, {255, 16, "ff"}, {255, 10, "255"},
                         {~0ull, 10, "18446744073709551615"}, {0, 17, "0000000000000000"}};
    for (auto &c : unsignedCases)
        EXPECT_STREQ(mos_Uint64ToStr(c.value, buf, sizeof(buf), c.base), c.pText);
    EXPECT_STREQ(mos_Int64ToStr(-5, buf, sizeof(buf), 10), "-5");
    EXPECT_STREQ(mos_Int64ToStr(-1, buf, sizeof(buf), 16), "ffffffffffffffff");
    EXPECT_STREQ(mos_Int32ToStr(-7, buf, sizeof(buf), 10), "-7");
    EXPECT_STREQ(mos_Uint32ToStr(0xdeadbeef, buf, sizeof(buf), 17), "00000000deadbeef");
    EXPECT_STREQ(mos_Uint16ToStr(0xabcd, buf, sizeof(buf), 16), "abcd");
    EXPECT_STREQ(mos_Uint8ToStr(0x7f, buf, sizeof(buf), 10), "127");
    // The buffer bounds the text.
    EXPECT_STREQ(mos_Uint64ToStr(123456, buf, 4, 10), "123");
    EXPECT_PANIC(mos_Uint64ToStr(1, buf, sizeof(buf), 8), "");
}

TEST(UtilsText, TextToNumber)
{
    const UINT64 kAllOnes = ~0ull;
    struct {
        const char *pText;
        size_t len;
        UINT64 value;
    } cases[] = {
        {"0x1F", 4, 31},
        {"0X1f", 4, 31},
        {"-12", 3, (UINT64)-12},
        {"007", 3, 7},
        {"123456", 3, 123},       // only strLen characters count
        {"12\0 34", 6, 12},       // a NUL ends the number
        {"", 0, 0},
        {"0x", 2, kAllOnes},      // too short for a prefix: 'x' is not a digit
        {"1g", 2, kAllOnes},
        {"1a", 2, kAllOnes},      // letters are hexadecimal digits only
        {"12 ", 3, kAllOnes},
        {"18446744073709551615", 20, kAllOnes},
        {"18446744073709551614", 20, kAllOnes - 1},
        {"0xfffffffffffffffe", 18, kAllOnes - 1},
        // Too large for 64 bits: reported, never wrapped around to a small number.
        {"18446744073709551617", 20, kAllOnes},
        {"36893488147419103232", 20, kAllOnes},
        {"0x10000000000000001", 19, kAllOnes},
        {"-18446744073709551617", 21, kAllOnes},
    };
    for (auto &c : cases)
        EXPECT_EQ(mosStrToUll(c.pText, c.len), c.value) << "'" << std::string(c.pText, c.len) << "'";
}

TEST(UtilsText, SignedDivision)
{
    struct {
        INT64 x, y, quotient, remainder;
    } cases[] = {{-7, 2, -3, -1}, {7, -2, -3, 1},   {-7, -2, 3, -1},         {7, 2, 3, 1},
                 {0, 5, 0, 0},    {6, 3, 2, 0},     {LLONG_MIN, 1, LLONG_MIN, 0},
                 {LLONG_MAX, -1, -LLONG_MAX, 0},    {1000000000007LL, 1000, 1000000000, 7}};
    for (auto &c : cases) {
        INT64 rem = 99;
        EXPECT_EQ(mos_DivRem64(c.x, c.y, &rem), c.quotient) << c.x << "/" << c.y;
        EXPECT_EQ(rem, c.remainder) << c.x << "%" << c.y;
    }
    EXPECT_EQ(mos_DivRem64(9, 4, nullptr), 2);
    EXPECT_PANIC(mos_DivRem64(9, 0, nullptr), "");
}

TEST(UtilsText, SearchAndTrim)
{
    const char *pText = "key=value";
    EXPECT_EQ(mos_StrChr(pText, 9, '='), pText + 3);
    EXPECT_EQ(mos_StrChr(pText, 3, '='), nullptr);
    EXPECT_EQ(mos_StrChr("ab\0=", 4, '='), nullptr);
    EXPECT_PANIC(mos_StrChr(pText, 0, '='), "");

    char buf[] = " \t value with  spaces \n ";
    EXPECT_STREQ(mos_TrimWhitespace(buf), "value with  spaces");
    char blank[] = "   ";
    EXPECT_STREQ(mos_TrimWhitespace(blank), "");
}

TEST(UtilsText, HexDumpBothWays)
{
    const UINT8 bytes[] = {0x00, 0xAB, 0x7F};
    char text[16];
    mos_HexDump(bytes, sizeof(bytes), text, sizeof(text));
    EXPECT_STREQ(text, "00ab7f");
    mos_HexDump(bytes, sizeof(bytes), text, 5);
    EXPECT_STREQ(text, "00ab");

    UINT8 data[4] = {};
    ASSERT_EQ(mos_HexDumpToData("00aB7f", data, 3), MOS_RC__SUCCESS);
    EXPECT_EQ(memcmp(data, bytes, 3), 0);
    ASSERT_EQ(mos_HexDumpToData("abc", data, 2), MOS_RC__SUCCESS);
    EXPECT_EQ(data[0], 0xab);
    EXPECT_EQ(data[1], 0x0c);
    EXPECT_EQ(mos_HexDumpToData("zz", data, 1), MOS_RC__INVALID);
    EXPECT_EQ(mos_HexDumpToData("1z", data, 1), MOS_RC__INVALID);
    EXPECT_PANIC(mos_HexDumpToData("00ab7f", data, 2), "");
}

TEST(UtilsText, Uuid)
{
    const UINT8 expected[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                                0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    UINT8 uuid[16];
    ASSERT_EQ(mos_StrToUuidNoAssert("01234567-89ab-CDEF-0123-456789abcdef", uuid), MOS_RC__SUCCESS);
    EXPECT_EQ(memcmp(uuid, expected, 16), 0);
    const char *bad[] = {
        "0123456789ab-cdef-0123-456789abcdef-", // no dash before byte 4
        "01234567-89abcdef-0123-456789abcdef",  // no dash before byte 6
        "01234567-89ab-cdef-0123-456789abcdef0", // one character too many
        "01234567-89ab-cdef-0123-456789abcde",   // one too few
        "01234567-89ab-cdef-0123-456789abcdeg",
        "",
    };
    for (const char *pText : bad)
        EXPECT_EQ(mos_StrToUuidNoAssert(pText, uuid), MOS_RC__INVALID) << pText;
    EXPECT_PANIC(mos_StrToUuid("not-a-uuid", uuid), "failed reading GUID string");
}

TEST(UtilsText, Ipv4Text)
{
    UINT32 ip = 0;
    ASSERT_EQ(mosIpFromStr("10.1.2.3", &ip), MOS_RC__SUCCESS);
    const UINT8 *pBytes = reinterpret_cast<const UINT8 *>(&ip);
    EXPECT_EQ(pBytes[0], 10); // network order
    EXPECT_EQ(pBytes[3], 3);
    EXPECT_STREQ(mos_IpToStr(ip), "10.1.2.3");
    for (const char *pText : {"10.1.2", "256.1.1.1", "a.b.c.d", ""})
        EXPECT_EQ(mosIpFromStr(pText, &ip), MOS_RC__INVALID) << pText;
}

// ---- XOR scrambling ----

TEST(UtilsXor, ScrambleRoundTripAndZeroImages)
{
    constexpr UINT64 kLbs = 3;
    std::vector<UINT64> data(kLbs * 64), original;
    for (size_t i = 0; i < data.size(); i++)
        data[i] = i * 0x9e3779b97f4a7c15ull;
    original = data;
    mos_Encrypt(data.data(), kLbs, 0);
    EXPECT_EQ(data, original);
    mos_Encrypt(data.data(), kLbs, 0x1234);
    EXPECT_NE(data, original);
    EXPECT_EQ(data[5], original[5] ^ 0x1234);
    mos_Encrypt(data.data(), kLbs, 0x1234);
    EXPECT_EQ(data, original);

    std::vector<UINT64> zero(kLbs * 64, 0);
    EXPECT_TRUE(mos_IsZeroBufLbs(zero.data(), kLbs));
    EXPECT_TRUE(mos_IsZeroEncrypt(zero.data(), kLbs, 0));
    EXPECT_FALSE(mos_IsZeroEncrypt(zero.data(), kLbs, 0xabc));
    mos_Encrypt(zero.data(), kLbs, 0xabc);
    EXPECT_TRUE(mos_IsZeroEncrypt(zero.data(), kLbs, 0xabc));
    std::vector<UINT64> image(kLbs * 64, 1);
    mos_InitEncryptedZero(image.data(), kLbs, 0xabc);
    EXPECT_EQ(image, zero);
    // Only the given LBs are looked at.
    image[64 * 2] = 5;
    EXPECT_TRUE(mos_IsZeroEncrypt(image.data(), 2, 0xabc));
    EXPECT_FALSE(mos_IsZeroEncrypt(image.data(), 3, 0xabc));
    EXPECT_TRUE(mos_IsZeroBufLbs(image.data(), 0));
}

// ---- Memory ----

TEST(UtilsMem, CeilingsAndCopies)
{
    void *p = mos_MemCalloc(64, 64, __func__, FALSE);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(mos_IsZeroBufLbs(p, 0));
    EXPECT_EQ(static_cast<UINT8 *>(p)[63], 0);
    p = mos_MemRealloc(128, 128, p, __func__, FALSE);
    ASSERT_NE(p, nullptr);
    mos_MemFree(p);
#ifndef PELLAR_SANITIZE // the sanitizer's allocator aborts on such a size instead of failing
    EXPECT_EQ(mos_MemMalloc(1ull << 62, ~0ull, __func__, TRUE), nullptr);
    EXPECT_PANIC(mos_MemMalloc(1ull << 62, ~0ull, "myCaller", FALSE), "");
#endif

    EXPECT_PANIC(mos_MemMalloc(65, 64, "myCaller", FALSE), "");
    EXPECT_PANIC(mos_MemCalloc(65, 64, "myCaller", FALSE), "");
    EXPECT_PANIC(mos_MemRealloc(8, 64, nullptr, "myCaller", FALSE), "");

    char buf[] = "abcdefgh";
    mos_MemMove(buf + 2, buf, 4);
    EXPECT_STREQ(buf, "ababcdgh");
    mos_MemMove(buf, buf + 2, 4);
    EXPECT_STREQ(buf, "abcdcdgh");

    void *pAligned = mos_AllocPageAlignedOrPanic(100);
    EXPECT_EQ((uintptr_t)pAligned % mos_PageSize(), 0u);
    mos_FreePageAligned(pAligned);
}

TEST(UtilsMem, PageProtectionAndSafeReads)
{
    const size_t page = mos_PageSize();
    UINT8 *p = static_cast<UINT8 *>(mos_AllocPageAlignedOrPanic(2 * page));
    p[0] = 1;
    void *pValue = nullptr;
    void *pStored = p;
    memcpy(p + 8, &pStored, sizeof(pStored));
    EXPECT_EQ(mos_TryReadPtr(p + 8, &pValue), MOS_RC__SUCCESS);
    EXPECT_EQ(pValue, pStored);

    mos_MarkRegionReadOnly(p, page);
    EXPECT_DEATH(p[1] = 2, "");
    mos_MarkRegionReadWrite(p, page);
    p[1] = 2;
    mos_MarkPageNotAvailable(p);
    EXPECT_DEATH((void)*(volatile UINT8 *)p, "");
    mos_MarkPageAvailable(p);
    EXPECT_EQ(p[1], 2);
    EXPECT_PANIC(mos_MarkPageNotAvailable(p + 1), "");
    mos_FreePageAligned(p);

    // Unmapped and never-touched pages are not read.
    void *pMap = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pMap, MAP_FAILED);
    EXPECT_EQ(mos_TryReadPtr(pMap, &pValue), MOS_RC__ERROR);
    munmap(pMap, 2 * page);
    EXPECT_EQ(mos_TryReadPtr(pMap, &pValue), MOS_RC__ERROR);
    EXPECT_EQ(mos_TryReadPtr(nullptr, &pValue), MOS_RC__ERROR);
}

TEST(UtilsMem, NodeRamIsTheMachinesWhenUnbound)
{
    UINT64 totalKb = 0;
    ASSERT_EQ(mos_GetNodeTotalRam(&totalKb), MOS_RC__SUCCESS);
    long pages = sysconf(_SC_PHYS_PAGES);
    UINT64 machineKb = (UINT64)pages * (UINT64)sysconf(_SC_PAGESIZE) / 1024;
    EXPECT_GT(totalKb, 0u);
    EXPECT_LE(totalKb, machineKb + 1024);
    UINT64 coreSize = 0;
    ASSERT_EQ(mos_GetEstimatedCoreSize(&coreSize), MOS_RC__SUCCESS);
    EXPECT_GT(coreSize, 209715200ull);
}

// ---- Files and directories ----

TEST(UtilsFiles, WriteReadAndNames)
{
    ScratchDir dir;
    char fullName[MOS_MAX_FULL_FILE_NAME];
    mos_CreateFullFileName(fullName, sizeof(fullName), dir.path().c_str(), "a.txt");
    EXPECT_EQ(std::string(fullName), dir.file("a.txt"));
    char tiny[6];
    mos_CreateFullFileName(tiny, sizeof(tiny), "/var/tmp", "x");
    EXPECT_STREQ(tiny, "/var/");

    FILE *pFile = mos_FileOpen(dir.path().c_str(), "a.txt", TRUE);
    ASSERT_NE(pFile, nullptr);
    ASSERT_EQ(mos_FileWrite(pFile, "hello", 5), MOS_RC__SUCCESS);
    char name[MOS_MAX_FULL_FILE_NAME];
    ASSERT_EQ(mos_FileGetName(pFile, name, sizeof(name)), MOS_RC__SUCCESS);
    EXPECT_EQ(std::string(name), dir.file("a.txt"));
    ASSERT_EQ(mos_FileClose(pFile), MOS_RC__SUCCESS);

    pFile = mos_FullFileNameOpen(dir.file("a.txt").c_str(), FALSE);
    ASSERT_NE(pFile, nullptr);
    char buf[16] = {};
    size_t len = 3;
    ASSERT_EQ(mos_FileRead(pFile, buf, &len), MOS_RC__SUCCESS);
    EXPECT_EQ(len, 3u);
    len = sizeof(buf);
    ASSERT_EQ(mos_FileRead(pFile, buf, &len), MOS_RC__SUCCESS);
    EXPECT_EQ(std::string(buf, len), "lo");
    len = sizeof(buf);
    EXPECT_EQ(mos_FileRead(pFile, buf, &len), MOS_RC__ERROR);
    EXPECT_EQ(len, 0u);
    mos_FileRewind(pFile);
    len = sizeof(buf);
    ASSERT_EQ(mos_FileRead(pFile, buf, &len), MOS_RC__SUCCESS);
    EXPECT_EQ(std::string(buf, len), "hello");
    EXPECT_EQ(mos_FileClose(pFile), MOS_RC__SUCCESS);

    EXPECT_EQ(mos_FileOpen(dir.path().c_str(), "missing", FALSE), nullptr);
    EXPECT_TRUE(mos_FullFileNameDelete(dir.file("a.txt").c_str()));
    EXPECT_FALSE(mos_FullFileNameDelete(dir.file("a.txt").c_str()));
    EXPECT_PANIC(mos_FileWrite(nullptr, "x", 1), "");
}

TEST(UtilsFiles, RestrictedFilesAndDirectories)
{
    ScratchDir dir;
    // An existing file readable by all becomes owner-only and empty.
    { std::ofstream(dir.file("secret")) << "old content"; }
    chmod(dir.file("secret").c_str(), 0644);
    ASSERT_EQ(mos_FileCreateRestricted(dir.path().c_str(), "secret"), MOS_RC__SUCCESS);
    EXPECT_EQ(modeOf(dir.file("secret")), 0600u);
    EXPECT_EQ(readAll(dir.file("secret")), "");

    FILE *pFile = mos_FileOpenRestricted(dir.path().c_str(), "key");
    ASSERT_NE(pFile, nullptr);
    EXPECT_EQ(modeOf(dir.file("key")), 0600u);
    mos_FileWrite(pFile, "k", 1);
    mos_FileClose(pFile);
    EXPECT_EQ(readAll(dir.file("key")), "k");

    chmod(dir.file("key").c_str(), 0666);
    EXPECT_EQ(mos_FileSetRestrictedMode(dir.path().c_str(), "key"), MOS_RC__SUCCESS);
    EXPECT_EQ(modeOf(dir.file("key")), 0600u);
    EXPECT_EQ(mos_FullFileNameSetRestrictedMode(dir.file("none").c_str()), MOS_RC__ERROR);
    EXPECT_EQ(mos_FullFileNameCreateRestricted(dir.file("no/such/dir").c_str()), MOS_RC__ERROR);
    EXPECT_EQ(mos_FullFileNameOpenRestricted(dir.file("no/such/dir").c_str()), nullptr);

    ASSERT_EQ(mos_CreateDirectory(dir.file("sub").c_str()), MOS_RC__SUCCESS);
    EXPECT_EQ(modeOf(dir.file("sub")), 0700u);
    EXPECT_EQ(mos_CreateDirectory(dir.file("sub").c_str()), MOS_RC__ALREADY_EXISTS);
    EXPECT_EQ(mos_CreateDirectory(dir.file("x/y").c_str()), MOS_RC__ERROR);
    EXPECT_EQ(mos_CreateDirectoryInternal(dir.file("x/y").c_str()), ENOENT);
}

TEST(UtilsFiles, DirectoriesAndDiskSpace)
{
    ScratchDir dir;
    UINT64 avail = 0;
    ASSERT_EQ(mos_GetAvailableDiskSpace(dir.path().c_str(), &avail), MOS_RC__SUCCESS);
    struct statvfs info;
    ASSERT_EQ(statvfs(dir.path().c_str(), &info), 0);
    UINT64 expected = (UINT64)info.f_bavail * info.f_frsize;
    // Other processes write meanwhile; allow 1 GB of drift.
    EXPECT_NEAR((double)avail, (double)expected, 1e9);
    EXPECT_EQ(mos_GetAvailableDiskSpace(dir.file("none").c_str(), &avail), MOS_RC__ERROR);

    char cwd[PATH_MAX];
    ASSERT_EQ(mos_GetCurrDirectory(cwd, sizeof(cwd)), MOS_RC__SUCCESS);
    char expectedCwd[PATH_MAX];
    ASSERT_NE(getcwd(expectedCwd, sizeof(expectedCwd)), nullptr);
    EXPECT_STREQ(cwd, expectedCwd);
    EXPECT_EQ(mos_GetCurrDirectory(cwd, 1), MOS_RC__ERROR);
    char home[PATH_MAX];
    EXPECT_EQ(mos_GetHomeDirectory(home, sizeof(home)), MOS_RC__SUCCESS);
    EXPECT_GT(strlen(home), 0u);
}

// ---- Block devices ----

namespace {
std::vector<std::string> enumerate()
{
    std::vector<std::string> names;
    Mos_EnumBlkDevContext ctx;
    if (mos_StartBlkDevEnum(&ctx) != MOS_RC__SUCCESS)
        return {"<error>"};
    char name[64];
    Mos_RC rc;
    while ((rc = mos_GetNextBlkDev(&ctx, name, sizeof(name))) == MOS_RC__SUCCESS)
        names.push_back(name);
    EXPECT_EQ(rc, MOS_RC__NO_MORE_ELEMENTS);
    mos_FinishBlkDevEnum(&ctx);
    return names;
}

struct PartitionFile : ::testing::Test {
    void TearDown() override
    {
        unsetenv("PELLAR_PARTITION_FILE");
        mos_SetSysBlockDirForTest(nullptr);
    }
    ScratchDir dir;
};
} // namespace

TEST_F(PartitionFile, EnumerationSkipsIgnoredDevices)
{
    {
        std::ofstream out(dir.file("partitions"));
        out << "major minor  #blocks  name\n\n"
               "   8        0        100 sda\n"
               " 253        0        100 dm-0\n"
               "   8        1         50 sda1\n"
               "  11        0          1 sr0\n"
               "   2        0          1 fd0\n"
               " 259        9         10 " MOS_QUILLET_DEV_PREFIX "3\n"
               " 259        0         10 nvme0n1\n"
               "garbage line\n";
    }
    setenv("PELLAR_PARTITION_FILE", dir.file("partitions").c_str(), 1);
    EXPECT_EQ(enumerate(), (std::vector<std::string>{"/dev/sda", "/dev/sda1", "/dev/nvme0n1"}));

    Mos_EnumBlkDevContext ctx;
    ASSERT_EQ(mos_StartBlkDevEnum(&ctx), MOS_RC__SUCCESS);
    char small[9];
    EXPECT_EQ(mos_GetNextBlkDev(&ctx, small, sizeof(small)), MOS_RC__BUF_TOO_SMALL);
    mos_FinishBlkDevEnum(&ctx);

    setenv("PELLAR_PARTITION_FILE", dir.file("missing").c_str(), 1);
    EXPECT_EQ(mos_StartBlkDevEnum(&ctx), MOS_RC__ERROR);
    unsetenv("PELLAR_PARTITION_FILE");
    EXPECT_FALSE(enumerate().empty());
}

TEST_F(PartitionFile, PartitionsAreFoundForNamesEndingInADigit)
{
    // A kernel-style listing: disks with and without partitions.
    for (const char *pDir : {"sys/nvme0n1/nvme0n1p1", "sys/nvme0n1/queue", "sys/nvme0n1p1", "sys/sdb/queue",
                             "sys/sdc/sdc2", "sys/loop3"})
        std::filesystem::create_directories(dir.file(pDir));
    for (const char *pFile : {"sys/nvme0n1/nvme0n1p1/partition", "sys/nvme0n1p1/partition", "sys/sdc/sdc2/partition"})
        std::ofstream(dir.file(pFile)) << "1\n";
    mos_SetSysBlockDirForTest(dir.file("sys").c_str());
    struct {
        const char *pName;
        BOOL bPartitioned;
    } cases[] = {{"/dev/nvme0n1", TRUE}, {"  /dev/nvme0n1// ", TRUE}, {"nvme0n1", TRUE}, {"/dev/sdc", TRUE},
                 {"/dev/nvme0n1p1", FALSE}, {"/dev/sdb", FALSE}, {"/dev/loop3", FALSE}, {"/dev/none", FALSE},
                 {"   ", FALSE}};
    for (auto &c : cases)
        EXPECT_EQ(mos_IsDiskPartitioned(c.pName), c.bPartitioned) << "'" << c.pName << "'";
}

TEST_F(PartitionFile, LoopDeviceWithAPartitionTable)
{
    auto makeImage = [this](const char *pName) {
        std::string path = dir.file(pName);
        std::ofstream{path};
        std::filesystem::resize_file(path, 8 << 20);
        return path;
    };
    std::string image = makeImage("disk.img");
    auto plain = LoopDevice::attach(image, true);
    if (!plain)
        GTEST_SKIP() << "loop devices are not available here";
    EXPECT_FALSE(mos_IsDiskPartitioned(plain->path().c_str()));

    std::string partImage = makeImage("part.img");
    writeOnePartitionTable(partImage);
    auto partitioned = LoopDevice::attach(partImage, true);
    ASSERT_TRUE(partitioned);
    std::string partName = partitioned->path().substr(5) + "p1";
    if (readAll("/proc/partitions").find(partName) == std::string::npos)
        GTEST_SKIP() << "this kernel reads no partition tables";
    EXPECT_TRUE(mos_IsDiskPartitioned(partitioned->path().c_str()));
}

// ---- Devices and console ----

TEST(UtilsDevices, OpenAndControlCallsReportFailures)
{
    ScratchDir dir;
    EXPECT_EQ(mos_DevOpen(dir.file("none").c_str()), -1);
    { std::ofstream(dir.file("plain")) << "x"; }
    int fd = mos_DevOpen(dir.file("plain").c_str());
    ASSERT_GE(fd, 0);
    int sectorSize = 0;
    // A regular file answers no block-device request.
    EXPECT_EQ(mos_DevSendIoctl(fd, 0x1268 /* BLKSSZGET */, &sectorSize, sizeof(sectorSize)), MOS_RC__ERROR);
    mos_DevClose(fd);
    EXPECT_PANIC(mos_DevClose(-1), "");
}

TEST(UtilsConsole, ColoursOnlyOnKnownTerminals)
{
    const char *codes[] = {"\033[0m", "\033[31m", "\033[32m", "\033[33m",
                           "\033[34m", "\033[35m", "\033[36m", "\033[37m"};
    for (UINT32 c = COLOR_DEFAULT; c <= COLOR_WAIT; c++)
        EXPECT_STREQ(mos_GetAnsiColorCode((MosColor)c), codes[c]);
    EXPECT_PANIC(mos_GetAnsiColorCode((MosColor)8), "");
    // Test output is not a terminal: no colour whatever TERM says.
    if (!isatty(STDOUT_FILENO)) {
        setenv("TERM", "xterm", 1);
        EXPECT_FALSE(mos_ShouldUseColor());
        testing::internal::CaptureStdout();
        mos_PrettyPrint(COLOR_RED, "n=%d", 5);
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "n=5");
    }
}
