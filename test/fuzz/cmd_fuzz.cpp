// The Ostrel's command door fed with any request: the controller runs in process without its
// network, and each input becomes one command as the control group delivers it, after which one
// empty reconfiguration cycle clears whatever the command added. No input may stop the process,
// leak, or read past its payload.
//
// Layout of an input: [1: type: an index into the command table, or with bit 7 set the low bits
// plus 2000 as a raw type][1: flags][2: the server's generation][rest: the payload (the addressed
// id, then the record)]. Flags: bit 0 adopted, bit 1 a cycle open, bit 2 lengths exact, bit 3 the
// payload's first 8 bytes replaced by 0 (this server).
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>

#include "test/support/cont_cmd_rig.h"
#include "tgt/cont/cont_cmd_intrn.h"

namespace {

void fuzz_Setup()
{
    static bool bReady = false;
    if (bReady)
        return;
    // The runtime takes over the fatal signals and SIGALRM for its own reports; the fuzzer needs
    // them back, or its periodic time-out alarm ends the run and a crash leaves no input behind.
    constexpr int kSignals[] = {SIGALRM, SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL, SIGINT, SIGTERM};
    struct sigaction saved[std::size(kSignals)];
    for (size_t i = 0; i < std::size(kSignals); i++)
        sigaction(kSignals[i], nullptr, &saved[i]);
    if (!ContCmdRig::initRuntime())
        abort();
    ContCmdRig::buildController();
    for (size_t i = 0; i < std::size(kSignals); i++)
        sigaction(kSignals[i], &saved[i], nullptr);
    bReady = true;
}

// Types whose handlers reach outside the controller's objects: the adoption writes the repository
// file and starts keep-alive, the performance parameters resize the scheduler, and a device add
// would open and format whatever path the input names.
bool fuzz_IsExcluded(UINT32 type)
{
    return type == TGT_MSG_TYPE__ADD_OSTREL || type == TGT_MSG_TYPE__UPDATE_PERF_PARAMS ||
           type == TGT_MSG_TYPE__ADD_DEV;
}

// The security commands write the key pair and its request into the working directory (no
// configuration directory is set): they run in a directory of the run's own, removed at its end.
// Only they move there, so relative corpus paths on the command line keep working.
class FuzzSecDir {
  public:
    explicit FuzzSecDir(UINT32 type) : bMove_(type >= TGT_MSG_TYPE__CONFIG_SECURITY && type <= TGT_MSG_TYPE__UPDATE_CERTIFICATE)
    {
        if (!bMove_)
            return;
        static std::string dir;
        if (dir.empty()) {
            dir = std::filesystem::temp_directory_path().string() + "/cmd-fuzz-XXXXXX";
            if (mkdtemp(dir.data()) == nullptr)
                abort();
            atexit([] {
                std::error_code ec;
                std::filesystem::remove_all(dir, ec);
            });
        }
        back_ = std::filesystem::current_path();
        std::filesystem::current_path(dir);
    }
    ~FuzzSecDir()
    {
        if (bMove_)
            std::filesystem::current_path(back_);
    }

  private:
    bool bMove_;
    std::filesystem::path back_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t size)
{
    fuzz_Setup();
    if (size < 4)
        return 0;
    const auto specs = contCmd_Specs();
    const UINT32 type = (pData[0] & 0x80) != 0 ? 2000u + (pData[0] & 0x7F) : specs[pData[0] % specs.size()].type;
    if (fuzz_IsExcluded(type))
        return 0;
    const UINT8 flags = pData[1];
    UINT16 gen;
    memcpy(&gen, pData + 2, sizeof(gen));
    std::vector<UINT8> payload(pData + 4, pData + size);
    if ((flags & 0x8) != 0 && payload.size() >= 8)
        memset(payload.data(), 0, 8);

    ContCmdRig::adopt(gen, (flags & 0x2) != 0);
    cont_g.bRecvAddOstrel = (flags & 0x1) != 0;
    tgtInitParam_G.bAllowDifferentRequestLen = (flags & 0x4) == 0;
    {
        FuzzSecDir secDir(type);
        (void)ContCmdRig::sendRaw(type, payload);
    }

    // Clean-up's cycle: every object the command added goes, under the command lock.
    ContCmdRig::run([] {
        mosUmtRWLock_AcquireWriteLock(&cont_g.rwLock);
        (void)contCmd_CleanUp(&cont_g);
        mosUmtRWLock_ReleaseWriteLock(&cont_g.rwLock);
    });
    return 0;
}
