// Helpers for tests of the trace, rotating-file, panic and service modules: a scratch directory
// on a real file system, file reading, and the runtime layers these modules stand on.
#pragma once

#include <string>
#include <vector>

#include "mos/mos_cyclic_file.h"

namespace diagtest {

// A fresh directory under /var/tmp, removed with its files on destruction.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

bool fileExists(const std::string &path);
std::string readFile(const std::string &path);
std::vector<std::string> splitLines(const std::string &text);
void removeTree(const std::string &path);

// Ticks, OS threads and the rotating-file layer, created for one test and destroyed after it.
class RuntimeBase {
  public:
    RuntimeBase();
    ~RuntimeBase();
    RuntimeBase(const RuntimeBase &) = delete;
    RuntimeBase &operator=(const RuntimeBase &) = delete;
};

MosCyclicFile_InitParams fileParams(const std::string &dir, const char *pPrefix, bool bAsync, UINT32 history,
                                    UINT32 maxFileSize, UINT32 logBufSize = 0, UINT32 sleepMilli = 10000,
                                    UINT32 percent = 99);

} // namespace diagtest
