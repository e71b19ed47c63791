// What only the module's own files (and its tests) use: its layer record and globals.
#pragma once

#include "mos/mos_perf.h"

struct MosPerf_Layer {
    MosObj_Type objType;
    MosFastlock_Base lock;
    MosPerfStack defStack;
    MosPerfLinear defLinear;
    BOOL bDefStackInitialized;
    BOOL bDefLinearInitialized;
};

extern MosPerf_Layer mosPerfLayer_G;
