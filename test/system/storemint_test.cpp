#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "test/support/scratch_dir.h"
#include "test/support/child_process.h"

namespace {

const std::string kUsage = "Usage:\n--create_file\nCreates a new file\n   Mandatory parameter:\n"
                           "       --size_gb <SIZE_IN_GB> The file size in gigabyte\n"
                           "       --file_name <FILE_NAME> The name of the file to be created\n";
constexpr unsigned long long kGiB = 1ull << 30;

struct RunResult {
    int exitCode = -1;
    std::string out;
};

struct RunLimits {
    rlim_t maxFileSize = RLIM_INFINITY;
};

std::string storemintPath()
{
    const char *pDir = getenv("PELLAR_BUILD_DIR");
    return std::string(pDir != nullptr ? pDir : ".") + "/storemint";
}

// Runs storemint with the arguments; standard output is what it reports.
RunResult runStoremint(const std::vector<std::string> &args, RunLimits limits = {})
{
    ChildResult c = runProgram(storemintPath(), args, [&] {
        if (limits.maxFileSize != RLIM_INFINITY) {
            // Past the limit the kernel refuses the allocation (and would send SIGXFSZ).
            signal(SIGXFSZ, SIG_IGN);
            rlimit lim{limits.maxFileSize, limits.maxFileSize};
            setrlimit(RLIMIT_FSIZE, &lim);
        }
    });
    RunResult r;
    r.exitCode = shellStatus(c);
    r.out = c.out;
    return r;
}

struct Storemint : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(std::filesystem::exists(storemintPath())) << storemintPath(); }
    ScratchDir dir;
};

} // namespace

TEST_F(Storemint, RefusalsPrintTheirLineAndTheUsage)
{
    const std::string f = dir.file("f.img");
    struct {
        std::vector<std::string> args;
        std::string firstLine; // empty: the usage alone
    } cases[] = {
        {{}, "Error: No main command given\n"},
        {{"--size_gb", "1", "--file_name", f}, "Error: No main command given\n"},
        {{"--create_file", "--file_name", f}, "Error: No file size given\n"},
        {{"--create_file", "--size_gb", "0", "--file_name", f}, "Error: Size cannot be zero\n"},
        {{"--create_file", "--size_gb", "-1", "--file_name", f}, "Error: Size cannot be negative\n"},
        {{"--create_file", "--size_gb", "-2147483648", "--file_name", f}, "Error: Size cannot be negative\n"},
        {{"--create_file", "--size_gb", "1"}, "Error: File name not given\n"},
        // The checks run in a fixed order whatever the order of the options.
        {{"--size_gb", "0"}, "Error: No main command given\n"},
        {{"--create_file", "--size_gb", "0"}, "Error: Size cannot be zero\n"},
        {{"--create_file", "--size_gb", "1x", "--file_name", f}, "Error: Invalid file size 1x\n"},
        {{"--create_file", "--size_gb", "4294967296", "--file_name", f}, "Error: Invalid file size 4294967296\n"},
        {{"--create_file", "--bogus", "--file_name", f}, ""},
        {{"-c"}, ""},
        {{"--create_file", "--file_name", f, "--size_gb"}, ""},
        // An unknown option ends parsing before a later --help.
        {{"--bogus", "--help"}, ""},
    };
    for (auto &c : cases) {
        std::string joined;
        for (auto &a : c.args)
            joined += a + " ";
        SCOPED_TRACE(joined);
        RunResult r = runStoremint(c.args);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, c.firstLine + kUsage);
        EXPECT_FALSE(std::filesystem::exists(f));
    }
}

TEST_F(Storemint, HelpWinsWhereItStands)
{
    const std::string f = dir.file("f.img");
    for (auto args : std::vector<std::vector<std::string>>{
             {"--help"},
             {"--create_file", "--size_gb", "1", "--file_name", f, "--help"},
             {"--size_gb", "0", "--help"}}) {
        RunResult r = runStoremint(args);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, kUsage);
        EXPECT_FALSE(std::filesystem::exists(f));
    }
}

TEST_F(Storemint, CreatesAReservedOwnerOnlyFile)
{
    const std::string f = dir.file("dev.img");
    mode_t oldMask = umask(0);
    RunResult r = runStoremint({"--create_file", "--size_gb", "1", "--file_name", f});
    umask(oldMask);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Creating file " + f + " with size 1 GB\nSuccessfully created file " + f + " with size 1 GB\n");
    struct stat st;
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ((unsigned long long)st.st_size, kGiB);
    EXPECT_GE((unsigned long long)st.st_blocks * 512, kGiB); // the blocks are allocated
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(Storemint, ExistingFileOfTheRightSizeIsLeftAlone)
{
    const std::string f = dir.file("dev.img");
    {
        std::ofstream out(f, std::ios::binary);
        out << "precious header";
    }
    std::filesystem::resize_file(f, kGiB);
    struct stat before;
    ASSERT_EQ(stat(f.c_str(), &before), 0);

    RunResult r = runStoremint({"--create_file", "--size_gb", "1", "--file_name", f});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("Successfully created file " + f + " with size 1 GB\n"), std::string::npos);
    struct stat after;
    ASSERT_EQ(stat(f.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_blocks, before.st_blocks); // still sparse: nothing was allocated
    std::ifstream in(f, std::ios::binary);
    std::string head(15, '\0');
    in.read(head.data(), 15);
    EXPECT_EQ(head, "precious header");
}

TEST_F(Storemint, OpenFailureLeavesNothing)
{
    const std::string f = dir.file("no/such/dir/dev.img");
    RunResult r = runStoremint({"--create_file", "--size_gb", "1", "--file_name", f});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "Creating file " + f + " with size 1 GB\nError ERROR(1) create file " + f + "\n");
}

TEST_F(Storemint, FailedAllocationRemovesTheNewFile)
{
    // The kernel refuses to reserve past the process's file size limit, much as past the free
    // space, without filling the shared disk.
    const std::string f = dir.file("dev.img");
    RunResult r = runStoremint({"--create_file", "--size_gb", "2", "--file_name", f}, RunLimits{kGiB});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "Creating file " + f + " with size 2 GB\nError IO_HARD_ERROR(20) allocating storage on disk\n");
    EXPECT_FALSE(std::filesystem::exists(f));
}

TEST_F(Storemint, FailedAllocationGivesAnExistingFileBackItsLength)
{
    const std::string f = dir.file("dev.img");
    {
        std::ofstream out(f, std::ios::binary);
        out << "keep me";
    }
    RunResult r = runStoremint({"--create_file", "--size_gb", "2", "--file_name", f}, RunLimits{kGiB});
    EXPECT_EQ(r.exitCode, 1);
    ASSERT_TRUE(std::filesystem::exists(f));
    EXPECT_EQ(std::filesystem::file_size(f), 7u);
}

// A path that was there before and is no regular file (a named pipe, a device node) is not
// storemint's to delete when the allocation on it fails.
TEST_F(Storemint, FailedAllocationLeavesAnExistingNonFileInPlace)
{
    const std::string f = dir.file("pipe");
    ASSERT_EQ(mkfifo(f.c_str(), 0600), 0);
    RunResult r = runStoremint({"--create_file", "--size_gb", "1", "--file_name", f});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("allocating storage on disk\n"), std::string::npos) << r.out;
    EXPECT_TRUE(std::filesystem::is_fifo(f));
}

TEST_F(Storemint, SizeLargerThanTheFreeSpace)
{
    // A small file system of its own, so that running out of space hurts nobody else.
    const std::string target = dir.file("small");
    ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
    if (mount("tmpfs", target.c_str(), "tmpfs", 0, "size=16m") != 0)
        GTEST_SKIP() << "mounting a small file system is not allowed here";
    const std::string f = target + "/dev.img";
    RunResult r = runStoremint({"--create_file", "--size_gb", "1", "--file_name", f});
    struct statvfs info;
    statvfs(target.c_str(), &info);
    const bool bExists = std::filesystem::exists(f);
    umount(target.c_str());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("allocating storage on disk\n"), std::string::npos) << r.out;
    EXPECT_FALSE(bExists);
    EXPECT_EQ(info.f_bfree, info.f_blocks); // nothing left behind
}
