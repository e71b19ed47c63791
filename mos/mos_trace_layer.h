// The trace layer: the trace file, the error file and the copy to standard output. It is the
// sink of the trace front (mos/mos_trace.h) from its start on.
#pragma once

#include "mos/mos_cyclic_file.h"
#include "mos/mos_rc.h"
#include "mos/mos_trace.h"
#include "mos/mos_types.h"

struct MosTrc_InitParams {
    MosCyclicFile_InitParams traceFileParams;
    MosCyclicFile_InitParams errFileParams;
    BOOL bToStdout;
    MosTraceFrequency *pcomponentFreqLevel;
};

Mos_RC mosTrcLayer_Create(const MosTrc_InitParams *pParams);
void mosTrcLayer_Destroy(void);
void mosTrcLayer_DumpToStdout(BOOL bToStdout);
// Writes out what the trace file holds in memory; waits at most millis (0: without limit).
void mosTrace_DumpNow(UINT32 millis);
// The files of the layer, for the panic path (null when not in use).
MosCyclicFile *mosTrcLayer_GetLogFile(void);
MosCyclicFile *mosTrcLayer_GetErrFile(void);

// Prints the levels of the first listSize components and the map of all of them, in colour on a
// terminal.
void mosTraceConf_PrintConfiguration(const MosTraceFrequency *pFreqs, UINT32 listSize);
