// What the scheduler threads and their guard share.
#pragma once

#include "mos/umt/mos_umt_sched_thrd.h"

extern MosUmtSchedThrd_Layer schedThrdLayer_G;

// Fields that other threads read or write without the owner's lock.
template <typename T> inline T mosAtomicLoad(const T *p)
{
    return __atomic_load_n(p, __ATOMIC_RELAXED);
}

template <typename T> inline void mosAtomicStore(T *p, T v)
{
    __atomic_store_n(p, v, __ATOMIC_RELAXED);
}

// The guard's thread and state, started and stopped with the layer.
void schedThrdGuard_Init(MosSchedGuard *pGuard);
void schedThrdGuard_Destroy(MosSchedGuard *pGuard);
