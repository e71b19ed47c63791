// Zero-buffer pools: page-aligned buffers that are all zeros, for padding partial tooth writes.
// A free buffer's first 8 bytes link it into the free list, so the link word is cleared when a
// buffer is handed out, and a user must return it as it got it (all zeros): a non-zero link word
// on return is a broken invariant, since the next user would write its data to the device.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/mos_obj.h"
#include "mos/umt/mos_umt_semaphore.h"

// Buffers of one tooth plus 8 LB.
#define ZMP__BUFFER_SIZE_IN_LBS 2056u

struct ZmpQuery {
    UINT32 numOfAllocations; // outstanding
    UINT32 numOfAllocated;   // ever
    UINT32 sizeOfBuffer;     // LB
    UINT32 totalSizeOfBuffers; // buffers
};
static_assert(sizeof(ZmpQuery) == 16);

struct Zmp {
    MosFastlock_Base fastlock; // guards the list and the counters
    ZmpQuery dbgQuery;
    void *pFreeList;
    void *pMem;
    MosUmt_Sem freeWaitSem; // one unit per free buffer
    MosObj sdbgObj;
};

void zmp_Init(Zmp *pZmp, UINT32 bufferSizeInLbs, UINT32 numOfBuffers);
void zmp_Destroy(Zmp *pZmp);
// Null when none is free and bWait is off; waiting suspends the user-mode thread.
void *zmp_Allocate(Zmp *pZmp, UINT32 bufferSizeInLbs, BOOL bWait);
void zmp_Free(Zmp *pZmp, void *pBuf);
void zmp_Query(MosObj *pObj, const CHAR_A *pName, void *pData);
