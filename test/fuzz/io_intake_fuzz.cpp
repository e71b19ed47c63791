// The I/O handler's intake fed with any request: the handler runs in process on a comb of a
// sparse device file, and each input becomes one request as the receive path delivers it. No
// input may stop the process, leak, or answer with a payload that reaches past its buffers.
//
// Layout of an input: [1: type][1: flags][1: comb state][record bytes (100, or 300 for the
// tooth-list clean; missing bytes are zero)][rest: data]. The flags choose the buffer lengths:
// bit 0 the lengths of the type's shape for the record's size when they fit in 2 MB, else
// lengths taken from the input; bit 1 an unknown peer version; bits 2-3 the comb's role.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <iterator>
#include <vector>

#include "test/support/ioh_rig.h"

namespace {

constexpr UINT32 kTypes[] = {2101, 2102, 2103, 2104, 2105, 2106, 2107, 2108, 2109, 2110, 2111,
                             2112, 2113, 2201, 2202, 2218, 2226, 2227, 2020, 2203, 0};
constexpr UINT64 kMaxBuf = 2u << 20;

IohRig *rig_G = nullptr;
UINT8 *pReadData_G = nullptr;
T10Dif *pReadDif_G = nullptr;
TgtRsp_ReadCombFineDrl *pDrl_G = nullptr;
std::vector<UINT8> bufs_G[TGT_MSG__MAX_BUFS];

[[noreturn]] void fuzz_Fail(const char *pWhat)
{
    fprintf(stderr, "intake fault: %s\n", pWhat);
    abort();
}

void fuzz_Setup()
{
    if (rig_G != nullptr)
        return;
    // The runtime takes over the fatal signals and SIGALRM for its own reports; the fuzzer needs
    // them back, or its periodic time-out alarm ends the run and a crash leaves no input behind.
    constexpr int kSignals[] = {SIGALRM, SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL, SIGINT, SIGTERM};
    struct sigaction saved[std::size(kSignals)];
    for (size_t i = 0; i < std::size(kSignals); i++)
        sigaction(kSignals[i], nullptr, &saved[i]);
    if (!IohRig::initRuntime())
        fuzz_Fail("runtime");
    for (size_t i = 0; i < std::size(kSignals); i++)
        sigaction(kSignals[i], &saved[i], nullptr);
    rig_G = new IohRig();
    std::string file = std::string(getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp") + "/io_intake_fuzz." +
                       std::to_string(getpid());
    if (!rig_G->open(file, 2 * GB_IN_LBS + 1000))
        fuzz_Fail("device");
    unlink(file.c_str());
    pReadData_G = static_cast<UINT8 *>(mos_AllocPageAlignedOrPanic(TOOTH_SIZE_LB * 512));
    pReadDif_G = static_cast<T10Dif *>(mos_AllocPageAlignedOrPanic(4096));
    pDrl_G = new TgtRsp_ReadCombFineDrl();
    for (auto &b : bufs_G)
        b.reserve(kMaxBuf);
}

// The buffer lengths of buffers 1.. for the shape of a type with this size.
UINT32 fuzz_ShapeLens(UINT32 type, UINT32 sizeInLbs, UINT64 *pLens)
{
    switch (type) {
    case 2103:
    case 2104:
    case 2105:
    case 2107:
    case 2108:
        pLens[0] = (UINT64)sizeInLbs * 512;
        pLens[1] = (UINT64)sizeInLbs * 2;
        return 2;
    case 2109:
        pLens[0] = (UINT64)sizeInLbs * 1024;
        pLens[1] = (UINT64)sizeInLbs * 4;
        pLens[2] = (UINT64)sizeInLbs * 512;
        pLens[3] = (UINT64)sizeInLbs * 2;
        return 4;
    default:
        return 0;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t size)
{
    fuzz_Setup();
    if (size < 3)
        return 0;
    UINT32 type = kTypes[pData[0] % (sizeof(kTypes) / sizeof(kTypes[0]))];
    UINT8 flags = pData[1], combState = pData[2];
    pData += 3;
    size -= 3;
    UINT32 recLen = type == 2113 ? TGT_MSG__TOOTH_LIST_RECORD_SIZE : TGT_MSG__RECORD_SIZE;
    std::vector<UINT8> rec(recLen, 0);
    size_t take = size < recLen ? size : recLen;
    memcpy(rec.data(), pData, take);
    pData += take;
    size -= take;
    // Keep most requests on the rig's comb and volume, so that they get past the first checks.
    if (!(flags & 0x10)) {
        UINT64 comb = IohRig::kComb;
        memcpy(rec.data(), &comb, 8);
    }
    IohReq req{};
    req.msgType = type;
    req.peerVer = (flags & 2) ? TGT_PEER_VER__UNKNOWN : TGT_PEER_VER__FIRST_WITH_DIF;
    req.bufs[0] = {rec.data(), recLen};
    UINT32 sizeInLbs;
    memcpy(&sizeInLbs, rec.data() + 8, 4);
    UINT64 lens[TGT_MSG__MAX_BUFS - 1] = {};
    UINT32 more = fuzz_ShapeLens(type, sizeInLbs, lens);
    bool bShape = (flags & 1) != 0;
    for (UINT32 i = 0; i < more; i++)
        if (lens[i] > kMaxBuf)
            bShape = false;
    if (!bShape) {
        more = (flags >> 5) % TGT_MSG__MAX_BUFS;
        for (UINT32 i = 0; i < more; i++)
            lens[i] = i < size ? (UINT64)pData[i] * 64 : 0;
    }
    req.numOfBufs = 1 + more;
    for (UINT32 i = 0; i < more; i++) {
        std::vector<UINT8> &b = bufs_G[i + 1];
        b.assign(lens[i], 0);
        for (size_t j = 0; j < b.size() && size > 0; j++)
            b[j] = pData[j % size];
        req.bufs[i + 1] = {b.data(), (UINT32)lens[i]};
    }
    rig_G->state = IohRaidState{};
    rig_G->state.priRc = (combState & 1) ? MOS_RC__IO_FAULT_NOT_PRI : MOS_RC__SUCCESS;
    rig_G->state.bSecondary = (combState & 2) != 0;
    rig_G->state.bTPellar = (combState & 4) != 0;
    rig_G->state.bTranslateZeroRead = (combState & 8) != 0;
    rig_G->state.bT10DifInMemOnly = (combState & 16) != 0;
    rig_G->state.combGenNum = combState >> 5;
    IohResp res{};
    res.pReadData = pReadData_G;
    res.pReadDif = pReadDif_G;
    res.pDrlRsp = pDrl_G;
    rig_G->run([&] { ioh_NewRequest(&rig_G->ioh, &req, &res); });
    if (res.numOfRspBufs > 2)
        fuzz_Fail("more than two payload buffers");
    UINT64 payload = 0;
    for (UINT32 i = 0; i < res.numOfRspBufs; i++)
        payload += res.rspBufs[i].len;
    if (res.rc != MOS_RC__SUCCESS && res.rc != MOS_RC__IO_FAULT_OLD_SCSI_GEN && payload != 0)
        fuzz_Fail("a failure with a payload");
    if (payload > (UINT64)TOOTH_SIZE_LB * 512 + 4096 + sizeof(TgtRsp_ReadCombFineDrl))
        fuzz_Fail("a payload larger than any answer");
    if (!elockComb_IsIdle(&rig_G->ecomb))
        fuzz_Fail("extent-lock memory held after the request");
    return 0;
}
