// Register context of a user-mode thread: the eight words that a switch must carry on x86-64.
// A switch saves the leaving context and continues the entered one, which returns from the
// switch that saved it. No signal mask and no floating-point control state travel with the
// context.
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
// Saves the caller into pFrom (unless null: then it never continues) and continues pTo; returns
// when another switch continues pFrom.
void mosJmp_Switch(MosJmpBuf *pFrom, const MosJmpBuf *pTo) __attribute__((nonnull(2)));
// First code on a fresh uthread stack: clears the frame chain and calls mosUmt_StartFunc with
// the record that the entry context holds in rbx.
void mosJmp_NewStackEntry(void);
}
