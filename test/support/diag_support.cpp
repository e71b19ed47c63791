#include "test/support/diag_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <csignal>
#include <thread>
#include <chrono>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <filesystem>
#include <stdexcept>

#include "mos/mos_osthrd.h"
#include "mos/mos_ticks.h"

namespace diagtest {

void removeTree(const std::string &path)
{
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

bool fileExists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<std::string> splitLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::string::size_type pos = 0;
    while (pos < text.size()) {
        std::string::size_type nl = text.find('\n', pos);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(pos));
            break;
        }
        lines.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return lines;
}

bool waitForPath(const std::string &path, bool bExists, int timeoutSec)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec);
    while (fileExists(path) != bExists) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

MosCyclicFile_InitParams fileParams(const std::string &dir, const char *pPrefix, bool bAsync, UINT32 history,
                                    UINT32 maxFileSize, UINT32 logBufSize, UINT32 sleepMilli, UINT32 percent)
{
    MosCyclicFile_InitParams p{};
    p.bUseFile = TRUE;
    p.bAsync = bAsync ? TRUE : FALSE;
    p.pDir = dir.c_str();
    p.pPrefix = pPrefix;
    p.history = history;
    p.maxFileSize = maxFileSize;
    p.dumpOnPercent = percent;
    p.thrdSleepMilli = sleepMilli;
    p.logBufSize = logBufSize;
    return p;
}

} // namespace diagtest
