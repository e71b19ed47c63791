// The controller's periodic work: three user-mode loops (frequent: flush bookkeeping and the
// dirty-region logs; rare: first access, comb state to the Ostrel, comb cleaning, the retry of a
// comb-array harden that a cycle's end could not finish, cache state;
// device: header validation and the copy-buffer pools) and one bound OS thread that looks for
// long in-flight device I/O even while every scheduler thread is blocked.
//
// Each loop sleeps one minute, then ticks (1 s or 10 s) and runs every job whose period has passed
// since it last ran, on a seconds counter of its own that starts at 60. The enable keys and
// bAbortAllWd are read on every tick: a disabled or aborted loop keeps ticking and does nothing.
//
// Sleeping and the jobs are one table of calls, so tests run a loop on virtual seconds with jobs
// that only record when they ran; the controller's table calls the managers.
#pragma once

#include "mos/mos_dynamic_mempool.h"
#include "mos/mos_types.h"
#include "tgt/cont/cont_wd_state.h"

struct Cont;

#define CONT_WD__START_SECS 60u
#define CONT_WD__FULL_CLEAN_SECS 300u
#define CONT_WD__COPY_POOL_IDLE_CHECKS 3u
#define CONT_WD__DEVS_PER_COPY_BLOCK 10u
#define CONT_WD__STUCK_FIRST_WAIT_MILLIS 5000u
#define CONT_WD__STUCK_PERIOD_MILLIS 1000u

enum ContWdLoopKind : UINT32 {
    CONT_WD_LOOP__FREQ = 0,
    CONT_WD_LOOP__RARE = 1,
    CONT_WD_LOOP__DEV = 2,
    CONT_WD_LOOP__NUM = 3,
};

// One copy-buffer pool's idle bookkeeping.
struct ContWdCopyPoolState {
    UINT32 idleCount;
    BOOL bUsed;
};

// What the loops keep between ticks (on the loop's stack).
struct ContWdLoopState {
    UINT64 secs;
    UINT64 lastRun[5];     // per job of the loop, the second it last ran
    UINT64 lastFullClean;  // rare loop
    UINT32 maxNumOfDevs;   // device loop: the highest device count seen
    ContWdCopyPoolState pools[2]; // receive, send
};

struct ContWdHooks {
    // Sleeps secs on the matching timer queue; FALSE ends the loop (only tests end one).
    BOOL (*sleep)(Cont *pCont, UINT32 secs);
    void (*flush)(Cont *pCont); // the frequent loop's round: flush bookkeeping, combs, logs
    void (*firstAccess)(Cont *pCont);
    void (*updateOstrel)(Cont *pCont);
    void (*cleanCombs)(Cont *pCont, ContWdLoopState *pState);
    // Writes again the comb arrays that the end of a cycle could not harden.
    void (*retryHarden)(Cont *pCont);
    void (*sendCacheState)(Cont *pCont);
    void (*validateDevHeaders)(Cont *pCont);
    void (*copyPools)(Cont *pCont, ContWdLoopState *pState);
};

const ContWdHooks *contWd_GetHooks(void);


// One loop, run on the calling uthread until the hooks' sleep answers FALSE.
void contWd_RunLoop(Cont *pCont, ContWdLoopKind kind, const ContWdHooks *pHooks);

// The device loop's copy-pool step over the given pools with the given device count: a new highest
// count of at least 10 raises both pools' minimum to count / 10 (never beyond the blocks a pool can
// have); a pool used and then idle releases its memory at its fourth idle check.
void contWd_CheckCopyPools(ContWdLoopState *pState, UINT32 numOfDevs, MosDynamicMemPool *const pPools[2]);
