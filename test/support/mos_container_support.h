// Test helpers for the runtime's containers: the registry layers they register with, an OS-thread
// event for completions of waiting requests, and a death-test check that sees the panic text.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include "mos/mos_dynamic_array.h"
#include "mos/mos_dynamic_mempool.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_mempool.h"
#include "mos/mos_ds_hash.h"
#include "mos/mos_obj.h"
#include "mos/usr/linux/mos_condvar.h"
#include "test/support/panic_expect.h"
#include "test/support/runtime_layers.h"

// The registry and the container layers, up for the life of the object.
class ContainerLayers : public RuntimeLayers {
  public:
    ContainerLayers()
        : RuntimeLayers({"mosObjLayer_Create", "mosHashLayer_Create", "mosMemPoolLayer_Init",
                         "mosDynamicArrayLayer_Init", "mosDynamicMemPoolLayer_Init"})
    {
    }
};

// A one-shot event that a completion callback raises and an OS thread waits for.
class OsEvent {
  public:
    OsEvent()
    {
        MOS_FASTLOCK_CREATE_ADAPTIVE(&lock_, 1);
        mosOSWCond_Init(&cond_);
    }
    ~OsEvent()
    {
        mosOSWCond_Destroy(&cond_);
        mosFastlockBase_Destroy(&lock_);
    }
    OsEvent(const OsEvent &) = delete;
    OsEvent &operator=(const OsEvent &) = delete;

    void Raise()
    {
        MosFastlockGuard guard(&lock_);
        bRaised_ = TRUE;
        mosOSWCond_Broadcast(&cond_);
    }
    // FALSE when the event was not raised within the time-out.
    BOOL Wait(UINT64 timeoutMillis = 60000)
    {
        MosFastlockGuard guard(&lock_);
        while (!bRaised_)
            if (mosOSWCond_TimedWait(&cond_, &lock_, timeoutMillis) == MOS_RC__TIMEOUT && !bRaised_)
                return FALSE;
        bRaised_ = FALSE;
        return TRUE;
    }

  private:
    MosFastlock_Base lock_;
    MosOsw_CondVar cond_;
    BOOL bRaised_ = FALSE;
};
