// Running code as a uthread from a plain OS thread, and waiting with a generous limit: the part of
// the uthread test helpers that programs without GoogleTest (the cluster driver) use too.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "mos/mos_assert.h"
#include "mos/umt/mos_umt.h"

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
// calling OS thread. A uthread that cannot be created means the runtime is broken.
inline void umtTest_RunAsUmt(const std::function<void()> &fn, MosUmt_Sched *pSched = nullptr,
                             MosUmt_Allocator *pAlloc = nullptr)
{
    struct Box {
        std::function<void()> fn;
    } box{fn};
    HMosUmt_UThread h = mosUmt_CreateUThreadEx([](void *p) { static_cast<Box *>(p)->fn(); }, &box, pSched, pAlloc,
                                               TRUE, MosUmtClassId{0, 0});
    MOS_ASSERT(h != nullptr);
    mosUmt_JoinSync(h);
}
