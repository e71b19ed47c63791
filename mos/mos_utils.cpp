#include "mos/mos_utils.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <numa.h>
#include <sys/mman.h>
#include <sys/personality.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"

namespace {
MosUtils_InitParams utilsLayer_G;
std::atomic<MosUtils_RunBlockingHook> runBlockingHook_G{nullptr};
} // namespace

Mos_RC mosUtilsLayer_Init(const MosUtils_InitParams *pInitParams)
{
    memset(&utilsLayer_G, 0, sizeof(utilsLayer_G));
    if (pInitParams != nullptr) {
        utilsLayer_G = *pInitParams;
        utilsLayer_G.bCrashOnIntrViolation = pInitParams->bCrashOnIntrViolation ? 1 : 0;
    }
    return MOS_RC__SUCCESS;
}

void mosUtilsLayer_Destroy(void) {}

UINT64 mosUtilsLayer_GetMaxIntrUsec(void)
{
    return utilsLayer_G.maxCkTimeUsec;
}

BOOL mosUtilsLayer_GetCrashOnIntrViolation(void)
{
    return utilsLayer_G.bCrashOnIntrViolation;
}

UINT32 mosUtilsLayer_GetPollLoopTimeFactor(void)
{
    return utilsLayer_G.pollLoopTimeFactor;
}

UINT32 mosUtilsLayer_GetPollLoopMaxOvershootFactor(void)
{
    return utilsLayer_G.pollLoopMaxOvershootFactor;
}

Mos_RC mosUtilsLayer_InitOS(void)
{
    return MOS_RC__SUCCESS;
}

void mosUtilsLayer_DestroyOS(void) {}

int mosUtils_RunBlocking(int (*pFunc)(void *pContext), void *pContext)
{
    MosUtils_RunBlockingHook pHook = runBlockingHook_G.load(std::memory_order_acquire);
    int result = 0;
    if (pHook != nullptr && pHook(pFunc, pContext, &result))
        return result;
    return pFunc(pContext);
}

void mosUtils_SetRunBlockingHook(MosUtils_RunBlockingHook pHook)
{
    runBlockingHook_G.store(pHook, std::memory_order_release);
}
