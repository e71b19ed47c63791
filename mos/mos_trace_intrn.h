// What only the module's own files (and its tests) use: its layer record and globals.
#pragma once

#include "mos/mos_trace.h"

extern BOOL bTraceAllowModify_G;
