#include "mos/umt/mos_umt_utils.h"

#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_diag_counters.h"
#include "mos/mos_ticks.h"
#include "mos/mos_trace.h"
#include "mos/umt/mos_umt.h"

namespace {
struct MosUmtUtils_Thresholds {
    UINT64 timeoutThreshold; // milliseconds
    UINT64 sizeThreshold;    // bytes
};

MosUmtUtils_Thresholds umtUtils_G = {MOS_UMT_UTILS__DEF_TIMEOUT_THRESHOLD_MILLI,
                                     MOS_UMT_UTILS__DEF_SIZE_THRESHOLD_BYTES};
} // namespace

Mos_RC mosUmtUtilsLayer_Create(const MosUmtUtils_InitParams *pParams)
{
    umtUtils_G.timeoutThreshold = MOS_UMT_UTILS__DEF_TIMEOUT_THRESHOLD_MILLI;
    umtUtils_G.sizeThreshold = MOS_UMT_UTILS__DEF_SIZE_THRESHOLD_BYTES;
    if (pParams == nullptr)
        return MOS_RC__SUCCESS;
    umtUtils_G.timeoutThreshold = MOS_MIN(pParams->timeoutThreshold, (UINT64)MOS_UMT_UTILS__MAX_TIMEOUT_THRESHOLD_MILLI);
    umtUtils_G.sizeThreshold = MOS_MAX(pParams->sizeThreshold, (UINT64)MOS_UMT_UTILS__MIN_SIZE_THRESHOLD_BYTES);
    return MOS_RC__SUCCESS;
}

void mosUmtUtilsLayer_Destroy(void)
{
    umtUtils_G.timeoutThreshold = MOS_UMT_UTILS__DEF_TIMEOUT_THRESHOLD_MILLI;
    umtUtils_G.sizeThreshold = MOS_UMT_UTILS__DEF_SIZE_THRESHOLD_BYTES;
}

UINT64 mosUmtUtils_GetTimeoutInMilliSecondThreshold(void)
{
    return umtUtils_G.timeoutThreshold;
}

UINT64 mosUmtUtils_GetSizeInBytesThreshold(void)
{
    return umtUtils_G.sizeThreshold;
}

void mosUmtUtils_MemSet(void *pBlock, int value, UINT64 size)
{
    mosUmtUtils_MemSetGeneric(pBlock, value, size, umtUtils_G.timeoutThreshold, umtUtils_G.sizeThreshold);
}

void mosUmtUtils_MemSetGeneric(void *pBlock, int value, UINT64 size, UINT64 timeoutThreshold, UINT64 sizeThreshold)
{
    const BOOL bOnUmt = mosUmt_GetUThreadHdlNoAssert() != nullptr;
    if (!bOnUmt)
        MOS_ERROR(MOS_COMP_UTHREAD, "Illegal use of this function, not a UMT context");
    MOS_ASSERT_WITH_DESC(bOnUmt, "not a UMT context");
    if (size < sizeThreshold || sizeThreshold == 0) {
        memset(pBlock, value, size);
        return;
    }
    UINT8 *pCur = static_cast<UINT8 *>(pBlock);
    const UINT64 numSlices = size / sizeThreshold;
    const MosTicks_Cnt timeoutTicks = mosTicks_MillisToTicks(timeoutThreshold);
    MosTicks_Cnt lastYield = mosTicks_GetCurrentThreadTick();
    for (UINT64 i = 0; i < numSlices; i++) {
        memset(pCur, value, sizeThreshold);
        pCur += sizeThreshold;
        MosTicks_Cnt now = mosTicks_GetCurrentThreadTick();
        if (now - lastYield >= timeoutTicks) {
            mosDiagCounters_CountExt(MOS_DIAG_COUNTER__MALLOC_CAUSED_YIELD, (UINT64)(uintptr_t)pBlock);
            mosUmt_Yield();
            lastYield = mosTicks_GetCurrentThreadTick();
        }
    }
    memset(pCur, value, size % sizeThreshold);
}
