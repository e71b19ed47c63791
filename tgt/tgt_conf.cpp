#include "tgt/tgt_conf.h"

namespace {
constexpr TgtConfParam kConfDefaults = {
    .phyDevDirtyGranularityInLbs = 2048,
    .phyDevSimulatedDevSizeInGb = 512,
    .stmpMemorySizeInLbs = 262144,
    .zmpMemorySizeInbuffers = 8,
    .guardPageEnableMask = 0,
    .bmWriteSizeInLbs = 8,
    .bSdbgExtraInfo = TRUE,
    .bDit = FALSE,
    .bDitExtra = FALSE,
    .bDetailedDump = FALSE,
    .bPhyDevIoEnabled = TRUE,
    .bPhyDevIoEnabledMd = TRUE,
    .devInflightLongIosLowThreas = 10000,
    .devInflightLongIosHighThreas = 45000,
    .devLongSuccessfulIosTimeMs = 3000,
    .devLongSuccessfulGapToNotify = 3,
    .bTreatLongIoAsGap = TRUE,
    .devLongIoToGapThreshold = 20000,
    .bT10DifRestartWhenVerifyFail = FALSE,
    .phyToothRemainder = 100,
    .bAllowFineDrl = TRUE,
    .phyDevFineDrlSizeOfMemoryMb = 2,
    .phyDevDirtyFineGranularityInLbs = 8,
    .fineDrlToothTooDirtyThreshold = 10,
    .phyDevMinCapacityInLbs = 188743680,
    .phyDevMaxCapacityInGbs = 8704,
    .bPhyDevFixHeader = FALSE,
    .netMaxRcvMsg = 10000,
    .bRamcacheCoreDumpExclude = TRUE,
    .bRamcacheLockInMem = FALSE,
    .ramcacheHashSizeMultiply = 1,
    .bVtreeCnt = FALSE,
    .phyCombAllocationSize = 8,
    .bPhyCombAllowFirstAccessFailure = FALSE,
    .rcacheHostMemoryThresholdKb = 33554432,
    .rcacheAllowedHighMemoryPct = 75,
    .rcacheAllowedLowMemoryPct = 50,
};
constexpr TgtPerfParam kPerfDefaults = {.maxReqPerAsyncFile = 8, .numIoBuffs = 2};
} // namespace

TgtConfParam tgtInitParam_G = kConfDefaults;
TgtPerfParam tgtPerfInitParam_G = kPerfDefaults;
UINT32 combSizeInLbs_g = TGT__DEFAULT_COMB_SIZE_IN_LBS;
UINT32 teethInComb_g = TGT__DEFAULT_COMB_SIZE_IN_LBS / 2048;

void tgtConf_SetDefaults(void)
{
    tgtInitParam_G = kConfDefaults;
    tgtPerfInitParam_G = kPerfDefaults;
    combSizeInLbs_g = TGT__DEFAULT_COMB_SIZE_IN_LBS;
    teethInComb_g = TGT__DEFAULT_COMB_SIZE_IN_LBS / 2048;
}
