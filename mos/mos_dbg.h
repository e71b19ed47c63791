// Panics: a broken internal invariant stops the process in one fixed, reported way. The first
// thread that panics (or takes a fatal signal) writes the report to the exception file: the
// failed expression and where it failed, back traces of its own stack, of every uthread and of
// every runtime OS thread; then the trace queues are flushed, a core is written when configured
// and the disk has room, and the process exits (255 after a panic or a signal, 254 after a
// planned crash). Any other thread that panics meanwhile waits for that report.
#pragma once

#include "mos/mos_assert.h"
#include "mos/mos_cyclic_file.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"

// Exit statuses of the process.
#define MOS_DBG__PANIC_EXIT_CODE 255
#define MOS_DBG__PLANNED_CRASH_EXIT_CODE 254

// Frames followed in one thread's back trace.
#define MOS_DBG__MAX_BACKTRACE_DEPTH 10u
// The alternate signal stack: the report runs on it after a fatal signal.
#define MOS_DBG__ALT_STACK_SIZE 65536u
// The 3-second alarm that ends a hung collection of back traces.
#define MOS_DBG__BACKTRACE_ALARM_SEC 3u

enum MosDbgCore_Type : UINT32 {
    MOS_DBG_CORE__NONE = 0,
    MOS_DBG_CORE__SMALL = 1,
    MOS_DBG_CORE__MEDIUM = 2,
    MOS_DBG_CORE__FULL = 3,
};

struct MosDbg_InitParams {
    UINT64 coreMinDiskSpaceBytes;
    MosCyclicFile_InitParams fileInfo; // the exception file
    UINT32 milliToDumpTraces;
    BOOL bEnableDump;
    BOOL bEnableBacktrace;
    BOOL bDumpTraces;
    UINT32 coreType; // MosDbgCore_Type
    UINT32 doubleExpWaitSec;
    BOOL bPlannedCrashPanic;
};

// Planned crashes: exit status 254 and no back traces.
[[noreturn]] void mosDbg_PlannedCrashModuleWithDesc(const char *desc);
[[noreturn]] void mosDbg_CrashModule(const char *pFile, const char *pFunc, UINT32 counter, int lineNum);

// When active, a counter that has reached the crash count crashes the process; otherwise it
// is incremented.
#define MOS_DBG_INC_OR_CRASH(counter, bActive, crashCount)                                          \
    do {                                                                                            \
        if ((bActive) && (counter) >= (crashCount))                                                 \
            mosDbg_CrashModule(__FILE__, __func__, (UINT32)(counter), __LINE__);                    \
        (counter)++;                                                                                \
    } while (0)

Mos_RC mosDbgLayer_Create(const MosDbg_InitParams *pParams);
void mosDbgLayer_Destroy(void);
// Signal set-up of the calling thread; threads created later inherit its mask.
Mos_RC mosDbg_PrepareForExceptions(BOOL bDump);

BOOL mosDbg_DumpEnabled(void);
BOOL mosDbg_BacktraceEnabled(void);
BOOL mosDbg_IsInit(void);
MosCyclicFile *mosDbg_GetExpFile(void);
const char *mosDbg_DumpFileInfo(MosDbgCore_Type *pCoreType);
Mos_RC mosDbg_GetCoreDumpDirectory(char *coreDirBuf, UINT32 bufSize);

// Back traces. The frame lines carry no time stamp.
void mosDbg_BackTrace(BOOL bStderr);
void mosDbg_BackTraceByEbp(const char *pTitleStr, void *startBp);
// The return addresses from startBp, as text (one allocation: free(*ppSymbols)); depth in and out.
void mosDbg_BackTraceByEbpToStrArr(void *startBp, char ***ppSymbols, UINT32 *pDepth);
void mosDbg_PrintStackToTraces(void);
void mosDbg_BackTraceAllOsThreads(void);
void mosDbg_TotalBackTrace(void);

// Writes the back traces of all uthreads that are not running (after pausing the schedulers);
// registered by the uthread module. Called only on the panic path.
typedef void (*MosDbg_UmtBackTraceHook)(void);
void mosDbg_SetUmtBackTraceHook(MosDbg_UmtBackTraceHook pHook);
// Flushes the event log's queue on the panic path; registered by the event log when it runs.
typedef void (*MosDbg_EventlogDumpHook)(void);
void mosDbg_SetEventlogDumpHook(MosDbg_EventlogDumpHook pHook);

// A line of the report: to the exception file (with a time stamp when bWriteTime), or to
// standard output when the exception file is not open.
void mosDbg_ExpWrite(BOOL bWriteTime, const char *pFormat, ...) __attribute__((format(printf, 2, 3)));

void mosDbg_PurgeQueues(void);
void mosDbg_SetIgnoredExceptionCode(UINT32 expCode);
[[noreturn]] void mosDbg_Dump(void);
