#include "test/support/diag_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "mos/mos_osthrd.h"
#include "mos/mos_ticks.h"

namespace diagtest {

ScratchDir::ScratchDir()
{
    char tmpl[] = "/var/tmp/pellar-diag-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

ScratchDir::~ScratchDir()
{
    removeTree(path_);
}

void removeTree(const std::string &path)
{
    DIR *pDir = opendir(path.c_str());
    if (pDir == nullptr) {
        unlink(path.c_str());
        return;
    }
    while (dirent *pEnt = readdir(pDir)) {
        std::string name = pEnt->d_name;
        if (name == "." || name == "..")
            continue;
        removeTree(path + "/" + name);
    }
    closedir(pDir);
    rmdir(path.c_str());
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

RuntimeBase::RuntimeBase()
{
    MosTicks_InitParams ticks{};
    if (mosTicks_Init(&ticks) != MOS_RC__SUCCESS || mosOsThrdLayer_Create(nullptr) != MOS_RC__SUCCESS ||
        mosCyclicFileLayer_Create() != MOS_RC__SUCCESS)
        throw std::runtime_error("runtime layers did not start");
}

RuntimeBase::~RuntimeBase()
{
    mosCyclicFileLayer_Destroy();
    mosOsThrdLayer_Destroy();
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
