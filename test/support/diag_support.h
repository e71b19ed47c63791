// Helpers for tests of the trace, rotating-file, panic and service modules: a scratch directory
// on a real file system, file reading, and the runtime layers these modules stand on.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "mos/mos_cyclic_file.h"
#include "test/support/scratch_dir.h"

namespace diagtest {

using ::ScratchDir;

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

// What a child process left behind.
struct ChildResult {
    int exitCode = -1; // -1 when it did not exit normally
    int signal = 0;    // the signal that ended it, if one did
    std::string out;
    std::string err;
};

// Runs body in a forked child with standard output and error captured; the child exits 0 when
// body returns. A child still running after timeoutSec is killed (signal 9 in the result).
ChildResult runInChild(const std::function<void()> &body, int timeoutSec = 120);

// Waits (generously) until the path exists, or no longer exists.
bool waitForPath(const std::string &path, bool bExists, int timeoutSec = 60);

MosCyclicFile_InitParams fileParams(const std::string &dir, const char *pPrefix, bool bAsync, UINT32 history,
                                    UINT32 maxFileSize, UINT32 logBufSize = 0, UINT32 sleepMilli = 10000,
                                    UINT32 percent = 99);

} // namespace diagtest
