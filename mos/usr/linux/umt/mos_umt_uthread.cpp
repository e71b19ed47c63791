// Platform part of the uthreads: the first entry onto a fresh stack and the sanitizer's view of
// stack switches.
#include "mos/usr/linux/umt/mos_umt_fiber.h"
#include "mos/mos_tls.h"

#include <pthread.h>

#include "mos/mos_assert.h"
#include "mos/umt/mos_umt_intrn.h"

#if PELLAR_SANITIZE
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

// The entry context of a fresh block: the stack word that receives the resume address lies
// 8 bytes below a 16-byte boundary under the record, so the start wrapper is called with the
// alignment the ABI requires and with no frame chain above it. A reused block re-enters here.
void mosUmtPlat_PrepareEntry(MosUmt *pUmt)
{
    uintptr_t top = reinterpret_cast<uintptr_t>(pUmt) & ~static_cast<uintptr_t>(15);
    pUmt->umtEntry = MosUmt_Context{};
    pUmt->umtEntry.rsp = top - 16 - 8;
    pUmt->umtEntry.rbp = 0;
    pUmt->umtEntry.rip = reinterpret_cast<UINT64>(&mosJmp_NewStackEntry);
    pUmt->umtEntry.rbx = reinterpret_cast<UINT64>(pUmt);
}

#if PELLAR_SANITIZE
namespace {
struct MosUmt_FiberTls {
    MosUmt_FiberSlot *pLeaving;
    BOOL bLeavingForGood;
    MosUmt_StackBounds cur;
};
thread_local MosUmt_FiberTls fiberTls_G;

MOS_TLS_ACCESSOR(MosUmt_FiberTls, mosUmtFiber_Tls, fiberTls_G)

MosUmt_StackBounds mosUmtFiber_CurStack(MosUmt_FiberTls *pTls)
{
    if (pTls->cur.pBottom == nullptr) {
        // Not on a uthread stack yet: the OS thread's own stack.
        pthread_attr_t attr;
        void *pAddr = nullptr;
        size_t size = 0;
        MOS_ASSERT(pthread_getattr_np(pthread_self(), &attr) == 0);
        MOS_ASSERT(pthread_attr_getstack(&attr, &pAddr, &size) == 0);
        pthread_attr_destroy(&attr);
        pTls->cur.pBottom = pAddr;
        pTls->cur.size = size;
    }
    return pTls->cur;
}
} // namespace

MosUmt_FiberLeaving mosUmtFiber_TakeLeaving(void)
{
    MosUmt_FiberTls *pTls = mosUmtFiber_Tls();
    MosUmt_FiberLeaving leaving{pTls->pLeaving, pTls->bLeavingForGood};
    pTls->pLeaving = nullptr;
    pTls->bLeavingForGood = FALSE;
    return leaving;
}

void mosUmtFiber_PutLeaving(MosUmt_FiberLeaving leaving)
{
    MosUmt_FiberTls *pTls = mosUmtFiber_Tls();
    pTls->pLeaving = leaving.pSlot;
    pTls->bLeavingForGood = leaving.bForGood;
}

void mosUmtFiber_SetLeaving(MosUmt_FiberSlot *pSlot)
{
    MosUmt_FiberTls *pTls = mosUmtFiber_Tls();
    pTls->pLeaving = pSlot;
    pTls->bLeavingForGood = FALSE;
}

void mosUmtFiber_SetLeavingForGood(void)
{
    MosUmt_FiberTls *pTls = mosUmtFiber_Tls();
    pTls->pLeaving = nullptr;
    pTls->bLeavingForGood = TRUE;
}

void mosUmtFiber_Leave(const void *pTargetBottom, size_t targetSize)
{
    MosUmt_FiberTls *pTls = mosUmtFiber_Tls();
    MosUmt_FiberSlot *pSlot = pTls->pLeaving;
    if (pSlot != nullptr) {
        pSlot->ownStack = mosUmtFiber_CurStack(pTls);
        __sanitizer_start_switch_fiber(&pSlot->pFakeStack, pTargetBottom, targetSize);
    } else {
        MOS_ASSERT(pTls->bLeavingForGood);
        __sanitizer_start_switch_fiber(nullptr, pTargetBottom, targetSize);
    }
    pTls->pLeaving = nullptr;
    pTls->bLeavingForGood = FALSE;
}

void mosUmtFiber_Arrive(MosUmt_FiberSlot *pSlot)
{
    __sanitizer_finish_switch_fiber(pSlot->pFakeStack, nullptr, nullptr);
    mosUmtFiber_Tls()->cur = pSlot->ownStack;
}

void mosUmtFiber_ArriveFresh(const void *pBottom, size_t size)
{
    __sanitizer_finish_switch_fiber(nullptr, nullptr, nullptr);
    MosUmt_FiberTls *pTls = mosUmtFiber_Tls();
    pTls->cur.pBottom = pBottom;
    pTls->cur.size = size;
}

void mosUmtFiber_CleanStack(const void *pBottom, size_t size)
{
    __asan_unpoison_memory_region(pBottom, size);
}
#endif
