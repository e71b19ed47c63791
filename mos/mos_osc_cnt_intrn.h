// What only the module's own files (and its tests) use: its layer record and globals.
#pragma once

#include "mos/mos_osc_cnt.h"

struct MosOscCntLayer {
    BOOL bInitalized;
    MosObj_Type ObjectTypesArray[MOS_OSC_CNT_TYPE__LAST]; // type 0 has none registered
    MosOscCnt_FailureNotifyCK mosOscCntFailureNotifyCKs[MOS_OSC_CNT_TYPE__LAST];
    MosFastlock_Base mosOscCntFastLock; // guards the callback slots
};

extern MosOscCntLayer oscCntLayer_G;
