// Runs an external program (a RAID-controller tool, an installation script) under a hard time
// limit. The calling OS thread blocks until the program ends or is killed.
#pragma once

#include <sys/types.h>

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

#define MOS_PROCESS__RUN_TIME_LIMIT_SECONDS 60u
#define MOS_PROCESS__TEMP_FILE_TEMPLATE "/tmp/KVX-XXXXXX"

// Runs argumentsVector[0] (no path search, no shell) with the NULL-terminated vector, its
// standard output captured in an unlinked temporary file. MOS_RC__SUCCESS only when the program
// exited normally with status 0; then *pOutput (when given) is an open descriptor of the output,
// positioned at its start, which the caller reads and closes. MOS_RC__TIMEOUT when the time
// limit passed first; MOS_RC__ERROR otherwise. The program runs in a process group of its own,
// which is killed when the run ends, however it ends: nothing it started outlives it.
Mos_RC mosProcess_RunWithPipe(char *const argumentsVector[], int *pOutput, BOOL bPrintErr);

// Runs the program under a limit of timeoutSeconds; returns the process id reaped by the
// second wait (the watchdog's when the program ended first, else the program's), or -1 when a
// child could not be started.
pid_t mos_CreateProcessWithTimeout(char *const argumentsVector[], UINT32 timeoutSeconds);

// Time limit of mosProcess_RunWithPipe in milliseconds; tests shorten it. 0 restores the default.
void mosProcess_SetRunTimeLimitMillis(UINT32 millis);
UINT32 mosProcess_GetRunTimeLimitMillis(void);
