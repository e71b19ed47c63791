#include "mos/mos_trace_layer.h"

#include <unistd.h>

#include <cstdarg>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_utils_console.h"
#include "mos/mos_version.h"

namespace {
constexpr MosColor kFreqColors[MOS_FREQ_LAST] = {COLOR_DEFAULT, COLOR_GREEN, COLOR_BLUE, COLOR_RED};
constexpr const char kRule[] = "==========================================================================";
static_assert(sizeof(kRule) - 1 == 74);

// The trace file, the error file and the copy to standard output.
struct MosTrcLayer {
    MosCyclicFile logFile;
    MosCyclicFile errFile;
    BOOL bUseErrFile;
    BOOL bInit;
    BOOL bToStdout;
};

MosTrcLayer mosTrcLayer_G;

void mosTrcLayer_Sink(MosTrace_LineKind kind, const char *pFormat, va_list *pAp)
{
    if (kind == MOS_TRACE_LINE__ERROR) {
        if (mosTrcLayer_G.bUseErrFile)
            mosCyclicFile_WriteFormatted(&mosTrcLayer_G.errFile, TRUE, TRUE, TRUE, pAp, pFormat);
        return;
    }
    if (mosTrcLayer_G.bInit) {
        va_list cp;
        va_copy(cp, *pAp);
        if (kind == MOS_TRACE_LINE__THROUGH)
            mosCyclicFile_WriteFormattedThrough(&mosTrcLayer_G.logFile, TRUE, pFormat, &cp);
        else
            mosCyclicFile_WriteFormatted(&mosTrcLayer_G.logFile, TRUE, TRUE, TRUE, &cp, pFormat);
        va_end(cp);
    }
    if (mosTrcLayer_G.bToStdout)
        vprintf(pFormat, *pAp);
}
} // namespace

void mosTrace_DumpNow(UINT32 millis)
{
    if (!mosTrcLayer_G.bInit)
        return;
    mosCyclicFile_DumpAllNow(&mosTrcLayer_G.logFile, millis);
    // Error lines are the first thing an operator reads after a crash: do not leave them in memory.
    if (mosTrcLayer_G.bUseErrFile)
        mosCyclicFile_DumpAllNow(&mosTrcLayer_G.errFile, millis);
}

MosCyclicFile *mosTrcLayer_GetLogFile(void)
{
    return mosTrcLayer_G.bInit ? &mosTrcLayer_G.logFile : nullptr;
}

MosCyclicFile *mosTrcLayer_GetErrFile(void)
{
    return mosTrcLayer_G.bUseErrFile ? &mosTrcLayer_G.errFile : nullptr;
}

Mos_RC mosTrcLayer_Create(const MosTrc_InitParams *pParams)
{
    // Lines go through this layer from now on: they are dropped until its files are open.
    mosTrace_SetSink(mosTrcLayer_Sink);
    mosTrcLayer_G.bInit = FALSE;
    mosTrcLayer_G.bUseErrFile = FALSE;
    mosTrcLayer_G.bToStdout = FALSE;
    memset(&mosTrcLayer_G.logFile, 0, sizeof(mosTrcLayer_G.logFile));
    memset(&mosTrcLayer_G.errFile, 0, sizeof(mosTrcLayer_G.errFile));
    if (pParams == nullptr)
        return MOS_RC__SUCCESS;
    mosTrcLayer_G.bToStdout = pParams->bToStdout ? TRUE : FALSE;
    if (!pParams->traceFileParams.bUseFile || pParams->traceFileParams.pDir == nullptr)
        return MOS_RC__SUCCESS;
    if (mosCyclicFile_Create(&mosTrcLayer_G.logFile, &pParams->traceFileParams) != MOS_RC__SUCCESS)
        return MOS_RC__SUCCESS;
    mosTrcLayer_G.bInit = TRUE;
    if (pParams->errFileParams.bUseFile) {
        // A bad error-file setting (an over-long prefix, say) must not stop the process: it runs
        // on without the error file and says so in the trace.
        Mos_RC rc = mosCyclicFile_Create(&mosTrcLayer_G.errFile, &pParams->errFileParams);
        if (rc == MOS_RC__SUCCESS)
            mosTrcLayer_G.bUseErrFile = TRUE;
        else
            mosTrace_Do(MOS_COMP_MOS, MOS_FREQ_LOW, "ERROR: Failed to create the error file with prefix %s: %s\n",
                        pParams->errFileParams.pPrefix ? pParams->errFileParams.pPrefix : "",
                        MOS_RC__GET_STR(rc));
    }
    mosCyclicFile_WriteFormatted(&mosTrcLayer_G.logFile, TRUE, TRUE, FALSE, nullptr,
                                 "---------- Process started. Version %s. PID %d ----------\n", mosVersion_Get(),
                                 (int)getpid());
    if (mosTrcLayer_G.bUseErrFile)
        mosCyclicFile_WriteFormatted(&mosTrcLayer_G.errFile, TRUE, TRUE, FALSE, nullptr,
                                     "---------- Process started. Version %s. PID %d ----------\n",
                                     mosVersion_Get(), (int)getpid());
    return MOS_RC__SUCCESS;
}

void mosTrcLayer_Destroy(void)
{
    if (!mosTrcLayer_G.bInit)
        return;
    mosTrcLayer_G.bInit = FALSE;
    mosCyclicFile_Destroy(&mosTrcLayer_G.logFile);
    // The error file goes too: an asynchronous file left registered would make the rotating-file
    // layer's teardown fail.
    if (mosTrcLayer_G.bUseErrFile) {
        mosTrcLayer_G.bUseErrFile = FALSE;
        mosCyclicFile_Destroy(&mosTrcLayer_G.errFile);
    }
}

void mosTrcLayer_DumpToStdout(BOOL bToStdout)
{
    mosTrace_SetSink(mosTrcLayer_Sink);
    mosTrcLayer_G.bToStdout = bToStdout ? TRUE : FALSE;
}

void mosTraceConf_PrintConfiguration(const MosTraceFrequency *pFreqs, UINT32 listSize)
{
    MOS_ASSERT(listSize <= MOS_COMP_LAST);
    printf("Trace Configuration:\n%s\n", kRule);
    printf("| Component                   | Frequency                                |\n%s", kRule);
    for (UINT32 c = 0; c < listSize; c++) {
        MosTraceFrequency f = pFreqs[c] < MOS_FREQ_LAST ? pFreqs[c] : MOS_FREQ_NONE;
        printf("\n| ");
        mos_PrettyPrint(kFreqColors[f], "%-28s", mosTraceConf_GetCompName((MosTraceComponent)c));
        printf("| ");
        mos_PrettyPrint(kFreqColors[f], "%-41s", mosTraceConf_GetFreqName(f));
        printf("|");
    }
    MosTraceFrequency levels[MOS_COMP_LAST];
    for (UINT32 c = 0; c < MOS_COMP_LAST; c++)
        levels[c] = c < listSize ? pFreqs[c] : g_componentFreqLevelsArr[c];
    UINT8 map[MOS_TRACE__MAP_SIZE];
    mosTraceConf_Zip(map, levels, sizeof(map), MOS_COMP_LAST);
    char mapStr[MOS_TRACE__COMPONENTS_MAP_STRING_SIZE];
    mosTraceConf_MapToString(mapStr, sizeof(mapStr), map, sizeof(map));
    printf("\n%s", kRule);
    printf("\n| %-28s| %-41s|", "Configuration map:", mapStr);
    printf("\n%s\n", kRule);
    fflush(stdout);
}
