// The tick layer's factors, set once by mosTicks_Init; only the layer and its tests read them.
#pragma once

#include "mos/mos_ticks.h"

struct MosTicks_Global {
    UINT64 mult;       // milliseconds per tick
    BOOL bMultShifted; // always FALSE on this platform
    PMosTicks_GetTicksFunc pGetTicksThreadFunc;
};

extern MosTicks_Global mosTicks_G;
