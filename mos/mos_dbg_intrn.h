// What only the module's own files (and its tests) use: its layer record and globals.
#pragma once

#include "mos/mos_dbg.h"

struct MosDbgLayer {
    UINT64 coreMinDiskSpaceBytes;
    MosCyclicFile expFile;
    char coreFileName[256];
    UINT32 panicThrd; // kernel id of the first panicking thread
    BOOL bInit;       // the exception file is open
    BOOL bDump;
    BOOL bBacktrace;
    MosDbgCore_Type coreType;
    BOOL bDumpTraces;
    UINT32 milliToDumpTraces;
    UINT32 panicNum;
    UINT32 doubleExpWaitMillis;
    BOOL bPlannedCrashPanic;
};

extern MosDbgLayer mosDbgLayer_G;
