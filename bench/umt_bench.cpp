// Uthread engine figures: the cost of a switch between two uthreads, of a semaphore hand-off
// between uthreads on different scheduler threads, and the latency from an OS thread raising a
// semaphore to the waiting uthread running. Prints ns per operation.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "mos/mos_load.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "mos/umt/mos_umt_semaphore.h"

namespace {
const MosUmtClassId kNoClass{0, 0};
using Clock = std::chrono::steady_clock;

double NsSince(Clock::time_point start, UINT64 ops)
{
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / (double)ops;
}

// Two uthreads on one scheduler thread yielding to each other: every yield is one switch.
double YieldSwitch(UINT64 yieldsEach)
{
    MosUmt_SchedThrd sched;
    mosUmtSchedThrd_Create(&sched, "bench yield", 1, 1, 8);
    struct Arg {
        UINT64 n;
    } arg{yieldsEach};
    auto body = [](void *p) {
        UINT64 n = static_cast<Arg *>(p)->n;
        for (UINT64 i = 0; i < n; i++)
            mosUmt_Yield();
    };
    Clock::time_point start = Clock::now();
    HMosUmt_UThread a = mosUmt_CreateUThreadEx(body, &arg, &sched.base, nullptr, TRUE, kNoClass);
    HMosUmt_UThread b = mosUmt_CreateUThreadEx(body, &arg, &sched.base, nullptr, TRUE, kNoClass);
    mosUmt_JoinSync(a);
    mosUmt_JoinSync(b);
    double ns = NsSince(start, 2 * yieldsEach);
    mosUmtSchedThrd_Destroy(&sched);
    return ns;
}

struct PingPong {
    MosUmt_Sem toPing;
    MosUmt_Sem toPong;
    UINT64 n;
};

// Two uthreads, each alone on its own scheduler thread, handing a unit back and forth.
double SemPingPong(UINT64 roundTrips, BOOL bPoll)
{
    MosUmt_SchedThrd schedA, schedB;
    mosUmtSchedThrd_CreateEx(&schedA, "bench ping", 1, 1, 0, FALSE, bPoll);
    mosUmtSchedThrd_CreateEx(&schedB, "bench pong", 1, 1, 0, FALSE, bPoll);
    PingPong pp;
    mosUmtSem_Init(&pp.toPing);
    mosUmtSem_Init(&pp.toPong);
    pp.n = roundTrips;
    Clock::time_point start = Clock::now();
    HMosUmt_UThread ping = mosUmt_CreateUThreadEx(
        [](void *p) {
            PingPong *pp = static_cast<PingPong *>(p);
            for (UINT64 i = 0; i < pp->n; i++) {
                mosUmtSem_IncInter(&pp->toPong, 1, TRUE);
                mosUmtSem_DecTimed(&pp->toPing, 1, 0);
            }
        },
        &pp, &schedA.base, nullptr, TRUE, kNoClass);
    HMosUmt_UThread pong = mosUmt_CreateUThreadEx(
        [](void *p) {
            PingPong *pp = static_cast<PingPong *>(p);
            for (UINT64 i = 0; i < pp->n; i++) {
                mosUmtSem_DecTimed(&pp->toPong, 1, 0);
                mosUmtSem_IncInter(&pp->toPing, 1, TRUE);
            }
        },
        &pp, &schedB.base, nullptr, TRUE, kNoClass);
    mosUmt_JoinSync(ping);
    mosUmt_JoinSync(pong);
    double ns = NsSince(start, 2 * roundTrips);
    mosUmtSem_Destroy(&pp.toPing);
    mosUmtSem_Destroy(&pp.toPong);
    mosUmtSchedThrd_Destroy(&schedA);
    mosUmtSchedThrd_Destroy(&schedB);
    return ns;
}

struct Wake {
    MosUmt_Sem sem;
    std::atomic<UINT64> woken{0};
    UINT64 n;
};

// An OS thread raises a semaphore and waits until the uthread it woke has run.
double OsRaiseLatency(UINT64 rounds, BOOL bPoll)
{
    MosUmt_SchedThrd sched;
    mosUmtSchedThrd_CreateEx(&sched, "bench wake", 1, 1, 0, FALSE, bPoll);
    Wake w;
    mosUmtSem_Init(&w.sem);
    w.n = rounds;
    HMosUmt_UThread h = mosUmt_CreateUThreadEx(
        [](void *p) {
            Wake *pw = static_cast<Wake *>(p);
            for (UINT64 i = 0; i < pw->n; i++) {
                mosUmtSem_DecTimed(&pw->sem, 1, 0);
                pw->woken.store(i + 1, std::memory_order_release);
            }
        },
        &w, &sched.base, nullptr, TRUE, kNoClass);
    // Let the uthread reach its first wait.
    while (mosUmtSem_Waiters(&w.sem) == 0)
        std::this_thread::yield();
    Clock::time_point start = Clock::now();
    for (UINT64 i = 0; i < rounds; i++) {
        mosUmtSem_IncInter(&w.sem, 1, TRUE);
        while (w.woken.load(std::memory_order_acquire) != i + 1) {
        }
        // Wait until it is back in its wait, so that every raise wakes a sleeper.
        while (i + 1 < rounds && mosUmtSem_Waiters(&w.sem) == 0) {
        }
    }
    double ns = NsSince(start, rounds);
    mosUmt_JoinSync(h);
    mosUmtSem_Destroy(&w.sem);
    mosUmtSchedThrd_Destroy(&sched);
    return ns;
}
} // namespace

int main()
{
    if (mos_Init(nullptr) != MOS_RC__SUCCESS) {
        fprintf(stderr, "runtime start failed\n");
        return 1;
    }
    mosUmtMgr_Init(nullptr);
    printf("uthread switch (yield ping-pong, one scheduler thread): %.1f ns/op\n", YieldSwitch(2000000));
    printf("semaphore hand-off, two scheduler threads, sleeping when idle: %.1f ns/op\n", SemPingPong(200000, FALSE));
    printf("semaphore hand-off, two scheduler threads, polling: %.1f ns/op\n", SemPingPong(1000000, TRUE));
    printf("OS thread raise to waiting uthread running, sleeping scheduler: %.1f ns/op\n", OsRaiseLatency(100000, FALSE));
    printf("OS thread raise to waiting uthread running, polling scheduler: %.1f ns/op\n", OsRaiseLatency(500000, TRUE));
    mosUmtMgr_Destroy();
    mos_Destroy();
    return 0;
}
