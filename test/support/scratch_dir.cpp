#include "test/support/scratch_dir.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/statfs.h>
#include <unistd.h>

#include <filesystem>

namespace {
constexpr long kTmpfsMagic = 0x01021994;

std::string pickBase()
{
    // A test run keeps its scratch directories under one root of its own, so that its clean-up
    // never removes the directories of another run going on at the same time.
    if (const char *root = getenv("PELLAR_SCRATCH_ROOT"); root != nullptr && root[0] != '\0')
        return root;
    struct statfs info;
    if (statfs("/tmp", &info) == 0 && info.f_type != kTmpfsMagic)
        return "/tmp";
    return "/var/tmp";
}
} // namespace

ScratchDir::ScratchDir()
{
    std::string templ = pickBase() + "/pellar-test-XXXXXX";
    char *p = mkdtemp(templ.data());
    if (p == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = p;
}

ScratchDir::ScratchDir(std::string path) : path_(std::move(path)), bKeep_(true)
{
    std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir()
{
    if (bKeep_)
        return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::unique_ptr<LoopDevice> LoopDevice::attach(const std::string &backingFile, bool bScanPartitions)
{
    std::string cmd = "losetup -f --show ";
    if (bScanPartitions)
        cmd += "-P ";
    cmd += "'" + backingFile + "' 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return nullptr;
    char line[256] = {};
    bool bGot = fgets(line, sizeof(line), p) != nullptr;
    int status = pclose(p);
    if (!bGot || status != 0)
        return nullptr;
    std::string dev(line);
    while (!dev.empty() && (dev.back() == '\n' || dev.back() == ' '))
        dev.pop_back();
    if (dev.rfind("/dev/", 0) != 0)
        return nullptr;
    return std::unique_ptr<LoopDevice>(new LoopDevice(dev));
}

LoopDevice::~LoopDevice()
{
    std::string cmd = "losetup -d " + path_ + " 2>/dev/null";
    if (system(cmd.c_str()) != 0)
        fprintf(stderr, "could not detach %s\n", path_.c_str());
}

void writeOnePartitionTable(const std::string &file)
{
    unsigned char mbr[512] = {};
    unsigned char *pEntry = &mbr[446];
    pEntry[4] = 0x83; // Linux
    const unsigned start = 2048, count = 2048;
    memcpy(&pEntry[8], &start, 4);
    memcpy(&pEntry[12], &count, 4);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    int fd = open(file.c_str(), O_WRONLY);
    if (fd < 0 || pwrite(fd, mbr, sizeof(mbr), 0) != (ssize_t)sizeof(mbr))
        throw std::runtime_error("cannot write partition table");
    close(fd);
}
