// A bound scheduler: one OS thread that runs exactly one uthread of its own (the messaging
// layer's poll loop, the device watchdog).
#pragma once

#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_sched_thrd.h"

#define MOS_UMT_BOUND__MAX_CPUS 128u

struct MosUmt_Bound {
    MosUmt_SchedThrd sched;
    HMosUmt_UThread hUmt;
};

Mos_RC mosUmtBound_Create(MosUmt_Bound *pUmtBound, const CHAR_A *pName, MosUmt_StartFunc pStartFunc, void *pArg,
                          MosUmt_Allocator *pAlloc, MosUmtClassId classId);
Mos_RC mosUmtBound_CreateEx(MosUmt_Bound *pUmtBound, const CHAR_A *pName, MosUmt_StartFunc pStartFunc, void *pArg,
                            MosUmt_Allocator *pAlloc, BOOL bHighPrioThrds, MosUmtClassId classId);
Mos_RC mosUmtBound_BindToCpu(MosUmt_Bound *pUmtBound, UINT32 cpu);
// Joins the uthread (blocking the calling OS thread when bBlockOs, else suspending the calling
// uthread), then destroys the scheduler.
void mosUmtBound_Destroy(MosUmt_Bound *pUmtBound, BOOL bBlockOs);
