// The version of the software, as the trace files' first line and the start-up banner give it.
#pragma once

#include "mos/mos_types.h"

const char *mosVersion_Get(void);
// The start-up banner ("--version" prints it).
const char *mosVersion_GetBanner(void);
void mosVersion_GetDetails(UINT32 *pMajorHigh, UINT32 *pMajorLow, UINT32 *pMinorHigh, UINT32 *pMinorLow);
BOOL mosVersion_IsDebugBuild(void);
