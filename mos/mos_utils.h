// The utilities layer: four process-wide settings from the configuration, and the one way to run
// a call that may block its OS thread. The other small process services have a header each:
// memory (mos_utils_mem.h), numbers and text (mos_utils_text.h), the scrambling of device data
// (mos_utils_scramble.h), files (mos_utils_file.h), block devices (mos_utils_blkdev.h) and the
// console (mos_utils_console.h); process placement belongs to the OS threads (mos_osthrd.h).
#pragma once

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

struct MosUtils_InitParams {
    BOOL bCrashOnIntrViolation;
    UINT64 maxCkTimeUsec;
    UINT32 pollLoopTimeFactor;
    UINT32 pollLoopMaxOvershootFactor;
};

Mos_RC mosUtilsLayer_Init(const MosUtils_InitParams *pInitParams);
void mosUtilsLayer_Destroy(void);
UINT64 mosUtilsLayer_GetMaxIntrUsec(void);
BOOL mosUtilsLayer_GetCrashOnIntrViolation(void);
UINT32 mosUtilsLayer_GetPollLoopTimeFactor(void);
UINT32 mosUtilsLayer_GetPollLoopMaxOvershootFactor(void);
Mos_RC mosUtilsLayer_InitOS(void);
void mosUtilsLayer_DestroyOS(void);

// Runs a call that may block its OS thread for long (fsync, mkdir) and returns its result. On
// a user-mode thread the call is handed to the blocking-call service, so the scheduler's OS
// thread keeps running other user-mode threads.
int mosUtils_RunBlocking(int (*pFunc)(void *pContext), void *pContext);
// How the layer above hands such a call on: TRUE with the call's result in *pResult when it did,
// FALSE when the caller is a plain OS thread that runs the call itself. The uthread module
// registers its hook when it starts (null withdraws it).
typedef BOOL (*MosUtils_RunBlockingHook)(int (*pFunc)(void *pContext), void *pContext, int *pResult);
void mosUtils_SetRunBlockingHook(MosUtils_RunBlockingHook pHook);
