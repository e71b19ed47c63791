// Memory: allocation with size ceilings (counted per OS thread), page-aligned blocks, page
// protection, core-dump inclusion and the machine's memory size.
#pragma once

#include <cstddef>
#include "mos/mos_rc.h"
#include "mos/mos_types.h"

// A size above maxSize is a panic; an exhausted heap returns null only when bCanFail.
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
