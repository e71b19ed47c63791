// Accessors of per-OS-thread variables. A uthread may resume on another OS thread, so the address
// of a thread-local variable must never be cached across a call that may suspend: every use goes
// through a non-inlined function that looks the slot up afresh on the calling OS thread.
#pragma once

#define MOS_TLS_ACCESSOR(type, fnName, var)                                                         \
    __attribute__((noinline)) type *fnName(void)                                                    \
    {                                                                                               \
        type *p = &(var);                                                                           \
        asm volatile("" : "+r"(p));                                                                 \
        return p;                                                                                   \
    }
