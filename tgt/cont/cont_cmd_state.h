// The command module's own state, which the root controller object holds by value and builds with
// contCmd_Init. Apart from the module's header so that the root includes only this and the module
// may include the root.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/umt/mos_umt_semaphore.h"

// The thread-count update of the performance parameters that runs after its command answered.
struct ContCmdUmtPerfCtx {
    BOOL bActive;
    void *hUmt;
};

struct ContCmd {
    MosFastlock_Base fastLock; // guards updateUmtPerfParamCtx
    ContCmdUmtPerfCtx updateUmtPerfParamCtx;
    MosUmt_Sem addRemDevSem; // count 1: device adds and removals never overlap
    // The comb arrays of the last cycle's end are not all on disk yet: the rare watchdog loop
    // writes them again until they are (read and written atomically).
    BOOL bHardenPending;
};

void contCmd_Init(ContCmd *pContCmd);
