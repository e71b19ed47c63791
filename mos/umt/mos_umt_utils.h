// Yielding fill: a large block is set in slices, and between slices the uthread gives its
// scheduler thread up once it has held it for the time threshold, so that a big memset does not
// stall the uthreads queued behind it.
#pragma once

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

#define MOS_UMT_UTILS__DEF_TIMEOUT_THRESHOLD_MILLI 10u
#define MOS_UMT_UTILS__MAX_TIMEOUT_THRESHOLD_MILLI 1000u
#define MOS_UMT_UTILS__DEF_SIZE_THRESHOLD_BYTES (8u * 1024u * 1024u)
#define MOS_UMT_UTILS__MIN_SIZE_THRESHOLD_BYTES 1024u

// Null keeps the defaults; the time-out is capped at 1000 ms and the size raised to 1024 bytes.
// Start-up parameters of the yielding fill.
struct MosUmtUtils_InitParams {
    UINT64 timeoutThreshold; // milliseconds
    UINT64 sizeThreshold;    // bytes
};

Mos_RC mosUmtUtilsLayer_Create(const MosUmtUtils_InitParams *pParams);
void mosUmtUtilsLayer_Destroy(void);
UINT64 mosUmtUtils_GetTimeoutInMilliSecondThreshold(void);
UINT64 mosUmtUtils_GetSizeInBytesThreshold(void);

// Only from a running uthread.
void mosUmtUtils_MemSet(void *pBlock, int value, UINT64 size);
void mosUmtUtils_MemSetGeneric(void *pBlock, int value, UINT64 size, UINT64 timeoutThreshold, UINT64 sizeThreshold);
