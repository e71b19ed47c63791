// The foreign scheduler: runs a uthread at once, nested on whatever OS thread makes it ready,
// until the uthread's next suspension. It is the manager's default scheduler, used before and
// outside the scheduler threads.
#pragma once

#include "mos/umt/mos_umt.h"
#include "mos/usr/linux/umt/mos_umt_fiber.h"

// The current scheduler-thread entry while the foreign scheduler runs a uthread; lives on the
// stack of the placing call.
struct MosUmtSchedForeign_Thrd {
    MosUmt_Context *pBaseContext; // where the uthread's suspension returns
    // Uthreads made ready while the previous one is being finalised here: they run next, from
    // the same frame, so that a uthread that keeps yielding does not nest ever deeper.
    BOOL bFinalizing;
    MosDList_Anchor runNext;
    MosUmt_FiberSlot baseFiber;
};

void mosUmtSchedForeign_Create(MosUmt_SchedForeign *pSched);
void mosUmtSchedForeign_Destroy(MosUmt_SchedForeign *pSched);
void mosUmtSchedForeign_SchedCK(MosUmt_Sched *pSched, MosUmt *pUmt);
void mosUmtSchedForeign_SuspendCK(MosUmt_Sched *pSched);
BOOL mosUmtSchedForeign_ShouldYieldCK(void);
