// What only the uthreads' own files (the uthread core, its schedulers and its allocators)
// share: the per-OS-thread record, the switch, and creation with every option.
#pragma once

#include "mos/umt/mos_umt.h"

// What this OS thread runs: reached only through mosUmt_GetTls().
struct MosUmt_Tls {
    MosUmt *pUmt;         // the uthread whose context runs here, or the one that just switched away
    MosUmt_Sched *pSched; // the scheduler this OS thread serves now
    void *pSchedThrd;     // that scheduler's per-thread record
    MosUmt_Context *pTrampolineCtxt;
    // Where the next switch saves the context that leaves (null: it ends for good). Set by the
    // leaving side right before it hands the processor on, taken by the switch.
    MosUmt_Context *pLeavingCtxt;
};

// Per-OS-thread state (never inlined: the caller may have moved to another OS thread).
MosUmt_Tls *mosUmt_GetTls(void);
HMosUmt_UThread mosUmt_SetCurUmt(HMosUmt_UThread pUmt);
MosUmt_Sched *mosUmt_GetCurSched(void);
MosUmt_Sched *mosUmt_SetCurSched(MosUmt_Sched *pSched);
void *mosUmt_GetCurSchedThrd(void);
void *mosUmt_SetCurSchedThrd(void *pSchedThrd);

Mos_RC mosUmt_CreateIntrn(MosUmt_StartFunc pStartFunc, void *pArg, MosUmt_Sched *pSched,
                          MosUmt_Allocator *pAllocator, HMosUmt_UThread *ppUmt, BOOL bJoinable,
                          MosUmtClassId classId, BOOL bInheritUserContext);

// Switches from the context announced in pLeavingCtxt to pUmt; returns when that context is
// continued.
void mosUmt_JumpTo(HMosUmt_UThread pUmt);
// The same to a scheduler's base context on the given stack.
void mosUmt_SwitchToContext(const MosUmt_Context *pTo, const void *pStackBottom, size_t stackSize);
void mosUmt_FinalizeSuspend(void);
void mosUmt_Sched(HMosUmt_UThread pUmt);
extern "C" [[noreturn]] void mosUmt_StartFunc(MosUmt *pUmt);
void mosUmt_DeleteDone(HMosUmt_UThread pUmt);
// Stack-context hooks of the switch; nothing to do on this platform.
void mosUmt_SetThrdStackCtxt(void *pCtxt);
void *mosUmt_GetThrdStackCtxt(void);
void mosUmt_SetThrdStackCtxtFromUmt(HMosUmt_UThread pUmt);
