#include "mos/mos_trace.h"

#include <cstdarg>
#include <cstdio>

volatile MosTraceFrequency g_componentFreqLevelsArr[MOS_COMP_LAST] = {};

// Until the trace files exist, lines go to standard error.
void mosTrace_Do(MosTraceComponent comp, MosTraceFrequency freq, const char *pFormat, ...)
{
    MOS_UNUSED(comp);
    MOS_UNUSED(freq);
    va_list ap;
    va_start(ap, pFormat);
    vfprintf(stderr, pFormat, ap);
    va_end(ap);
}

void mosError_Do(MosTraceComponent comp, MosTraceFrequency freq, const char *pFormat, ...)
{
    MOS_UNUSED(comp);
    MOS_UNUSED(freq);
    MOS_UNUSED(pFormat);
}
