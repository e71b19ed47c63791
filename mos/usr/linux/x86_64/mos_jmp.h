// Register context of a user-mode thread: the eight words that a switch must carry on x86-64.
// Saving returns 0; restoring continues at the saved point, where the save returns 1. No signal
// mask and no floating-point control state travel with the context.
#pragma once

#include <cstddef>

#include "mos/mos_types.h"

struct MosJmpBuf {
    UINT64 rsp; // points at the word that receives the resume address on restore
    UINT64 rbp; // frame pointer, read by back traces of suspended uthreads
    UINT64 rip; // resume address
    UINT64 rbx;
    UINT64 r12;
    UINT64 r13;
    UINT64 r14;
    UINT64 r15;
};
static_assert(sizeof(MosJmpBuf) == 64, "eight machine words");
static_assert(offsetof(MosJmpBuf, rsp) == 0 && offsetof(MosJmpBuf, rbp) == 8 && offsetof(MosJmpBuf, rip) == 16 &&
                  offsetof(MosJmpBuf, rbx) == 24 && offsetof(MosJmpBuf, r15) == 56,
              "offsets are used by the assembly");

extern "C" {
int mosJmp_Save(MosJmpBuf *pBuf) __attribute__((returns_twice, nonnull));
[[noreturn]] void mosJmp_Restore(const MosJmpBuf *pBuf, int val) __attribute__((nonnull));
// First code on a fresh uthread stack: clears the frame chain and calls mosUmt_StartFunc with
// the record that the entry context holds in rbx.
void mosJmp_NewStackEntry(void);
}
