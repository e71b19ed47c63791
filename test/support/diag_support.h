// Helpers for tests of the trace, rotating-file, panic and service modules: a scratch directory
// on a real file system, file reading, and the runtime layers these modules stand on.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "mos/mos_cyclic_file.h"
#include "test/support/child_process.h"
#include "test/support/runtime_layers.h"
#include "test/support/scratch_dir.h"

namespace diagtest {

using ::ChildResult;
using ::runInChild;
using ::ScratchDir;

bool fileExists(const std::string &path);
std::string readFile(const std::string &path);
std::vector<std::string> splitLines(const std::string &text);
void removeTree(const std::string &path);

// Ticks, OS threads and the rotating-file layer, created for one test and destroyed after it.
class RuntimeBase : public RuntimeLayers {
  public:
    RuntimeBase() : RuntimeLayers({"mosTicks_Init", "mosOsThrdLayer_Create", "mosCyclicFileLayer_Create"}) {}
};

// Waits (generously) until the path exists, or no longer exists.
bool waitForPath(const std::string &path, bool bExists, int timeoutSec = 60);

MosCyclicFile_InitParams fileParams(const std::string &dir, const char *pPrefix, bool bAsync, UINT32 history,
                                    UINT32 maxFileSize, UINT32 logBufSize = 0, UINT32 sleepMilli = 10000,
                                    UINT32 percent = 99);

} // namespace diagtest
