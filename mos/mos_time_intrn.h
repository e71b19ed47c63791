// What only the module's own files (and its tests) use: its layer record and globals.
#pragma once

#include "mos/mos_time.h"

extern MosTime startUpTime_G;

extern MosTicks_Cnt startUpTick_G;

extern timeval startUpTimeVal_G;
