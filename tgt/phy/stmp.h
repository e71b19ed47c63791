// The temporary-buffer budget: a cap on the LB of scratch buffers of the physical layer
// (headers, counters, test buffers) that exist at once. Callers take budget before memory and
// may wait for it, so a burst of device work cannot grow the process without bound.
//
// Budget units are the units of a user-mode semaphore: a waiting allocation suspends its
// user-mode thread (so it must run on one), a non-waiting one returns null when the units are
// not free. The counters are kept under a fast lock; the debug query copies them without it.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/mos_obj.h"
#include "mos/umt/mos_umt_semaphore.h"

#define STMP__DBG_MAGIC 0x12349876u

struct StmpQuery {
    UINT32 numOfAllocations;      // outstanding
    UINT32 currentAllocatedInLbs;
    UINT32 maxAllocatedInLbs;
    UINT32 numOfAllocated;        // ever
    UINT32 numOfWaitings;         // allocations that had to wait
    UINT32 totalSizeInLbs;
};
static_assert(sizeof(StmpQuery) == 24);
static_assert(offsetof(StmpQuery, totalSizeInLbs) == 20);

struct Stmp {
    UINT32 dbgMagic;
    MosFastlock_Base fastlock;
    MosUmt_Sem freeWaitSem; // one unit per free LB
    UINT32 waitingCount;    // allocations waiting now (atomic access)
    MosObj sdbgObj;
    StmpQuery dbgQuery;
};

extern Stmp stmp_g;

// A second initialisation does nothing; the server's debug types must be registered.
void stmp_Init(Stmp *pStmp, UINT32 sizeInLbs);
void stmp_Destroy(Stmp *pStmp);
// sizeInLbs must be 1 to the comb size and not above the budget (broken invariant otherwise).
void *stmp_Allocate(Stmp *pStmp, UINT32 sizeInLbs, BOOL bWait, BOOL bAlign);
void stmp_Free(Stmp *pStmp, void *pBuf, UINT32 sizeInLbs, BOOL bAligned);
void stmp_Query(MosObj *pObj, const CHAR_A *pName, void *pData);
