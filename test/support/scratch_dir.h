// A fresh directory for one test on a disk file system (not tmpfs, so that O_DIRECT works),
// removed with its contents when the test ends.
#pragma once

#include <memory>
#include <string>

class ScratchDir {
  public:
    ScratchDir();
    // A named directory (created when missing) that stays with its contents when the object goes.
    explicit ScratchDir(std::string path);
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
    bool bKeep_ = false;
};

// A loop device over a file, detached when the object goes. attach() returns null where loop
// devices cannot be set up (no permission, no driver); callers skip their test then.
class LoopDevice {
  public:
    static std::unique_ptr<LoopDevice> attach(const std::string &backingFile, bool bScanPartitions);
    ~LoopDevice();
    LoopDevice(const LoopDevice &) = delete;
    LoopDevice &operator=(const LoopDevice &) = delete;
    const std::string &path() const { return path_; }

  private:
    explicit LoopDevice(std::string path) : path_(std::move(path)) {}
    std::string path_;
};

// Writes a DOS partition table with one partition into the first sector of the file.
void writeOnePartitionTable(const std::string &file);
