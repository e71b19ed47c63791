// Small process services shared by all code: allocation with size ceilings, conversions,
// the XOR scrambling of device data, restricted files and directories, page protection,
// NUMA placement, the OOM score, block-device enumeration, console output. The layer also
// holds four process-wide settings from the configuration.
#pragma once

#include <cstdio>
#include <ctime>
#include <sys/time.h>

#include "mos/mos_osthrd.h"
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

// Memory. A size above maxSize is a panic; an exhausted heap returns null only when bCanFail.
void *mos_MemMalloc(size_t size, size_t maxSize, const char *func, BOOL bCanFail);
void *mos_MemCalloc(size_t size, size_t maxSize, const char *func, BOOL bCanFail);
void *mos_MemRealloc(size_t size, size_t maxSize, void *ptr, const char *func, BOOL bCanFail);
void mos_MemFree(void *pMem);
void *mos_AllocPageAligned(size_t sizeBytes);
void *mos_AllocPageAlignedOrPanic(size_t size);
void mos_FreePageAligned(void *pMem);
void mos_MemMove(void *pDest, const void *pSrc, size_t num);
BOOL mos_LockBuf(void *pMem, size_t bufSize);
BOOL mos_UnlockBuf(void *pMem, size_t bufSize);
size_t mos_PageSize(void);
void mos_MarkPageNotAvailable(void *pMem);
void mos_MarkPageAvailable(void *pMem);
void mos_MarkRegionReadOnly(void *pMem, size_t regionSize);
void mos_MarkRegionReadWrite(void *pMem, size_t regionSize);
void mos_InitMemProperties(void);
void mos_RemoveReadImpliseExec(void);
Mos_RC mos_TryReadPtr(const void *p, void **pOut);
void mos_CoreDumpExcludeInclude(void *pMemAddr, size_t length, BOOL bExclude);
Mos_RC mos_GetNodeTotalRam(UINT64 *pTotalRam);

// Process placement.
void mos_NanoSleep(UINT64 nanos);
Mos_RC mos_SetProcessNumaAffinity(UINT32 numaNode, BOOL numaMemoryAffinity);
Mos_RC mos_GetCurThreadAffinity(MosOsThrd_CpuSet *pMask);
void mos_PrepareSetCpuMask(MosOsThrd_CpuSet *pSet);
Mos_RC mos_ConfigProcessOomKiller(void);
