// Stack-switch annotations for AddressSanitizer. In the sanitizer build every switch between
// stacks tells the sanitizer which stack it leaves and which it enters; in the plain build all
// of this compiles to nothing.
#pragma once

#include <cstddef>

#include "mos/mos_types.h"

struct MosUmt_StackBounds {
    const void *pBottom;
    size_t size;
};

// Kept by each context that switches away and expects to be switched back to.
struct MosUmt_FiberSlot {
#if PELLAR_SANITIZE
    void *pFakeStack;
    MosUmt_StackBounds ownStack;
#endif
};

// What a context that is about to leave has announced; a uthread run nested in between (the
// foreign scheduler) keeps it aside and puts it back.
struct MosUmt_FiberLeaving {
#if PELLAR_SANITIZE
    MosUmt_FiberSlot *pSlot;
    BOOL bForGood;
#endif
};

#if PELLAR_SANITIZE
MosUmt_FiberLeaving mosUmtFiber_TakeLeaving(void);
void mosUmtFiber_PutLeaving(MosUmt_FiberLeaving leaving);
// The context that saved itself and is about to leave (null: the leaving uthread ends for good).
void mosUmtFiber_SetLeaving(MosUmt_FiberSlot *pSlot);
void mosUmtFiber_SetLeavingForGood(void);
// Called right before the restore that enters the target stack.
void mosUmtFiber_Leave(const void *pTargetBottom, size_t targetSize);
// Called first thing where a saved context continues.
void mosUmtFiber_Arrive(MosUmt_FiberSlot *pSlot);
// Called first thing on a fresh uthread stack.
void mosUmtFiber_ArriveFresh(const void *pBottom, size_t size);
// Forgets stale poison on a stack whose frames were abandoned by a switch.
void mosUmtFiber_CleanStack(const void *pBottom, size_t size);
#else
static inline MosUmt_FiberLeaving mosUmtFiber_TakeLeaving(void)
{
    return MosUmt_FiberLeaving{};
}
static inline void mosUmtFiber_PutLeaving(MosUmt_FiberLeaving) {}
static inline void mosUmtFiber_SetLeaving(MosUmt_FiberSlot *) {}
static inline void mosUmtFiber_SetLeavingForGood(void) {}
static inline void mosUmtFiber_Leave(const void *, size_t) {}
static inline void mosUmtFiber_Arrive(MosUmt_FiberSlot *) {}
static inline void mosUmtFiber_ArriveFresh(const void *, size_t) {}
static inline void mosUmtFiber_CleanStack(const void *, size_t) {}
#endif

// Stack of the base context whose slot this is (the sanitizer build knows it; elsewhere unused).
static inline const void *mosUmtFiber_SlotBottom(const MosUmt_FiberSlot *pSlot)
{
#if PELLAR_SANITIZE
    return pSlot->ownStack.pBottom;
#else
    (void)pSlot;
    return nullptr;
#endif
}

static inline size_t mosUmtFiber_SlotSize(const MosUmt_FiberSlot *pSlot)
{
#if PELLAR_SANITIZE
    return pSlot->ownStack.size;
#else
    (void)pSlot;
    return 0;
#endif
}
