// Test helpers for the uthreads (the runtime with the uthread manager is UmtRuntimeEnv, in
// runtime_layers.h): waits with a generous limit, and running code as a uthread from a test's OS thread.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "mos/mos_load.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "test/support/panic_expect.h"
#include "test/support/runtime_layers.h"

// Waits until pred holds; false after the limit (generous: tests run on a loaded machine).
inline bool umtTest_WaitFor(const std::function<bool()> &pred, std::chrono::seconds limit = std::chrono::seconds(60))
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs fn as a joinable uthread on pSched (null: the default scheduler) and joins it from the
// calling OS thread.
inline void umtTest_RunAsUmt(const std::function<void()> &fn, MosUmt_Sched *pSched = nullptr,
                             MosUmt_Allocator *pAlloc = nullptr)
{
    struct Box {
        std::function<void()> fn;
    } box{fn};
    HMosUmt_UThread h = mosUmt_CreateUThreadEx([](void *p) { static_cast<Box *>(p)->fn(); }, &box, pSched, pAlloc,
                                               TRUE, MosUmtClassId{0, 0});
    ASSERT_NE(h, nullptr);
    mosUmt_JoinSync(h);
}
