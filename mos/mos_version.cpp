#include "mos/mos_version.h"

namespace {
constexpr const char *kVersionText = "private Kestrim R2_0.13004.110_Release Jun 11 2017";
constexpr const char *kVersionBanner = "Qel Kestrim Version: R2_0.13004.110";
constexpr UINT32 kVersionMajorHigh = 2;
constexpr UINT32 kVersionMajorLow = 0;
constexpr UINT32 kVersionMinorHigh = 13004;
constexpr UINT32 kVersionMinorLow = 110;
} // namespace

const char *mosVersion_Get(void)
{
    return kVersionText;
}

const char *mosVersion_GetBanner(void)
{
    return kVersionBanner;
}

void mosVersion_GetDetails(UINT32 *pMajorHigh, UINT32 *pMajorLow, UINT32 *pMinorHigh, UINT32 *pMinorLow)
{
    if (pMajorHigh != nullptr)
        *pMajorHigh = kVersionMajorHigh;
    if (pMajorLow != nullptr)
        *pMajorLow = kVersionMajorLow;
    if (pMinorHigh != nullptr)
        *pMinorHigh = kVersionMinorHigh;
    if (pMinorLow != nullptr)
        *pMinorLow = kVersionMinorLow;
}

BOOL mosVersion_IsDebugBuild(void)
{
    return FALSE;
}
