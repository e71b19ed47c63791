// Events of uthreads. An automatic event lets exactly one wait through per set: a set wakes the
// oldest waiter, or, with none waiting, stays pending for the next wait. A manual event stays set
// until it is reset and lets every wait through meanwhile.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/mos_types.h"
#include "mos/umt/mos_umt.h"

#define MOS_UMT_EVENT__LOCK_ID 15

struct MosUmt_Event {
    MosFastlock_Base fastlock;
    MosUmt_UThreadListAnchor waitersList; // newest at the head, oldest at the tail
    BOOL bSignalled;
    BOOL bAutomatic;
};

void mosUmtEvent_Init(MosUmt_Event *pEvent, BOOL bAutomatic);
void mosUmtEvent_Destroy(MosUmt_Event *pEvent);
void mosUmtEvent_Set(MosUmt_Event *pEvent);
// Manual events only.
void mosUmtEvent_Reset(MosUmt_Event *pEvent);
void mosUmtEvent_Wait(MosUmt_Event *pEvent);
// Not provided: a call stops the process.
void mosUmtEvent_Pulse(MosUmt_Event *pEvent);
