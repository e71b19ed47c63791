// Uthread engine figures beside Boost.Context's fcontext and plain OS threads, measured in the
// same run: a yield between two uthreads, a semaphore hand-off on one scheduler thread and across
// two polling scheduler threads, a bare context switch, an uncontended fast lock, and the latency
// from an OS thread raising a semaphore to the waiting uthread running. Prints ns per operation
// and the ratio to the anchor.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <thread>

#include "bench/bench_harness.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_load.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "mos/umt/mos_umt_semaphore.h"

#if BENCH_HAVE_FCONTEXT
#include <boost/context/detail/fcontext.hpp>
#endif

namespace {
const MosUmtClassId kNoClass{0, 0};
using Clock = std::chrono::steady_clock;

double NsSince(Clock::time_point start, UINT64 ops)
{
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / (double)ops;
}

template <typename F> double Best(F &&f)
{
    double best = 1e30;
    for (int i = 0; i < 3; i++)
        best = std::min(best, f());
    return best;
}

void Print(const char *what, double ns, double anchorNs, const char *anchorName)
{
    if (anchorNs > 0)
        printf("%-58s %8.1f ns   %-34s %8.1f ns   %5.2fx\n", what, ns, anchorName, anchorNs, ns / anchorNs);
    else
        printf("%-58s %8.1f ns   (no anchor: %s not installed)\n", what, ns, anchorName);
}

// ----------------------------------------------------------------------------------------------
// This system

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

// Two uthreads handing a unit back and forth, both on one scheduler thread or each alone on a
// scheduler thread of its own. One hand-off is one raise and the wait it ends.
double SemPingPong(UINT64 roundTrips, BOOL bOneThread, BOOL bPoll)
{
    MosUmt_SchedThrd schedA, schedB;
    mosUmtSchedThrd_CreateEx(&schedA, "bench ping", 1, 1, 8, FALSE, bPoll);
    if (!bOneThread)
        mosUmtSchedThrd_CreateEx(&schedB, "bench pong", 1, 1, 8, FALSE, bPoll);
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
        &pp, bOneThread ? &schedA.base : &schedB.base, nullptr, TRUE, kNoClass);
    mosUmt_JoinSync(ping);
    mosUmt_JoinSync(pong);
    double ns = NsSince(start, 2 * roundTrips);
    mosUmtSem_Destroy(&pp.toPing);
    mosUmtSem_Destroy(&pp.toPong);
    mosUmtSchedThrd_Destroy(&schedA);
    if (!bOneThread)
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

// The switch primitive alone: a second stack that switches straight back; two switches a round.
MosJmpBuf rawMain_G, rawPeer_G;

[[noreturn]] void RawPeer()
{
    for (;;)
        mosJmp_Switch(&rawPeer_G, &rawMain_G);
}

double RawSwitch(UINT64 n)
{
    constexpr size_t kStack = 64 * 1024;
    char *pStack = static_cast<char *>(aligned_alloc(64, kStack));
    // Entered by the switch's return: the word it returns through is 16-byte aligned, so the
    // function starts with the stack of a fresh call.
    rawPeer_G = MosJmpBuf{};
    rawPeer_G.rsp = reinterpret_cast<UINT64>(pStack + kStack - 64);
    rawPeer_G.rip = reinterpret_cast<UINT64>(&RawPeer);
    Clock::time_point start = Clock::now();
    for (UINT64 i = 0; i < n / 2; i++)
        mosJmp_Switch(&rawMain_G, &rawPeer_G);
    double ns = NsSince(start, n);
    free(pStack);
    return ns;
}

double FastlockPair(UINT64 n)
{
    MosFastlock_Base lock;
    MOS_FASTLOCK_CREATE(&lock, 1);
    Clock::time_point start = Clock::now();
    for (UINT64 i = 0; i < n; i++) {
        mosFastlockBase_Acquire(&lock);
        bench::keep(lock);
        mosFastlockBase_Release(&lock);
    }
    double ns = NsSince(start, n);
    mosFastlockBase_Destroy(&lock);
    return ns;
}

// ----------------------------------------------------------------------------------------------
// Anchors

double PthreadTrylockPair(UINT64 n)
{
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    Clock::time_point start = Clock::now();
    for (UINT64 i = 0; i < n; i++) {
        if (pthread_mutex_trylock(&m) != 0)
            abort();
        bench::keep(m);
        pthread_mutex_unlock(&m);
    }
    return NsSince(start, n);
}

// Two OS threads spinning on shared words, handing a turn back and forth.
double SpinThreadsHandOff(UINT64 roundTrips)
{
    alignas(64) std::atomic<UINT64> toPong{0};
    alignas(64) std::atomic<UINT64> toPing{0};
    Clock::time_point start = Clock::now();
    std::thread pong([&] {
        for (UINT64 i = 1; i <= roundTrips; i++) {
            while (toPong.load(std::memory_order_acquire) != i)
                __builtin_ia32_pause();
            toPing.store(i, std::memory_order_release);
        }
    });
    for (UINT64 i = 1; i <= roundTrips; i++) {
        toPong.store(i, std::memory_order_release);
        while (toPing.load(std::memory_order_acquire) != i)
            __builtin_ia32_pause();
    }
    pong.join();
    return NsSince(start, 2 * roundTrips);
}

#if BENCH_HAVE_FCONTEXT
namespace fc = boost::context::detail;
constexpr size_t kFiberStack = 64 * 1024;

struct Fiber {
    void *pStack = malloc(kFiberStack);
    ~Fiber() { free(pStack); }
    fc::fcontext_t Make(void (*fn)(fc::transfer_t)) { return fc::make_fcontext(static_cast<char *>(pStack) + kFiberStack, kFiberStack, fn); }
};

// A run queue of two fibers: each yield switches to the other one.
struct Ring {
    fc::fcontext_t ctx[2];
    fc::fcontext_t mainCtx;
    UINT64 n;
    int started;
};

void RingYield(Ring *r, int me)
{
    fc::transfer_t t = fc::jump_fcontext(r->ctx[me ^ 1], r);
    r->ctx[me ^ 1] = t.fctx;
}

void RingBody(fc::transfer_t t)
{
    Ring *r = static_cast<Ring *>(t.data);
    const int me = r->started++;
    if (me == 0)
        r->mainCtx = t.fctx;
    else
        r->ctx[0] = t.fctx;
    for (UINT64 i = 0; i < r->n; i++)
        RingYield(r, me);
    // The first to finish lets the other one finish; that one returns to the caller.
    fc::jump_fcontext(me == 0 ? r->ctx[1] : r->mainCtx, r);
}

double FcontextYield(UINT64 yieldsEach)
{
    Fiber a, b;
    Ring r{};
    r.n = yieldsEach;
    r.ctx[0] = a.Make(RingBody);
    r.ctx[1] = b.Make(RingBody);
    Clock::time_point start = Clock::now();
    fc::jump_fcontext(r.ctx[0], &r);
    return NsSince(start, 2 * yieldsEach);
}

// Two fibers on one thread and counting semaphores: a raise readies the waiter, a wait with no
// unit switches to the next ready fiber.
struct FSched {
    fc::fcontext_t ctx[2];
    fc::fcontext_t mainCtx;
    int ready[4];
    unsigned head, tail;
    int cur;
    int started;
    UINT64 n;
};
struct FSem {
    int count = 0;
    int waiter = -1;
};
FSched *fs_G;
FSem toPing_G, toPong_G;

void FSemPost(FSem *s)
{
    if (s->waiter >= 0) {
        fs_G->ready[fs_G->tail++ & 3] = s->waiter;
        s->waiter = -1;
    } else {
        s->count++;
    }
}

void FSemWait(FSem *s)
{
    if (s->count > 0) {
        s->count--;
        return;
    }
    FSched *f = fs_G;
    const int me = f->cur;
    s->waiter = me;
    const int next = f->ready[f->head++ & 3];
    f->cur = next;
    fc::transfer_t t = fc::jump_fcontext(f->ctx[next], f);
    f->ctx[next] = t.fctx;
    f->cur = me;
}

void FSemBody(fc::transfer_t t)
{
    FSched *f = static_cast<FSched *>(t.data);
    const int me = f->started++;
    f->cur = me;
    if (me == 0)
        f->mainCtx = t.fctx;
    else
        f->ctx[0] = t.fctx;
    for (UINT64 i = 0; i < f->n; i++) {
        if (me == 0) {
            FSemPost(&toPong_G);
            FSemWait(&toPing_G);
        } else {
            FSemWait(&toPong_G);
            FSemPost(&toPing_G);
        }
    }
    fc::jump_fcontext(me == 0 ? f->ctx[1] : f->mainCtx, f);
}

double FcontextSemHandOff(UINT64 roundTrips)
{
    Fiber a, b;
    FSched f{};
    f.n = roundTrips;
    f.ctx[0] = a.Make(FSemBody);
    f.ctx[1] = b.Make(FSemBody);
    // The pong fiber is ready behind the ping fiber.
    f.ready[f.tail++ & 3] = 1;
    fs_G = &f;
    toPing_G = FSem{};
    toPong_G = FSem{};
    Clock::time_point start = Clock::now();
    fc::jump_fcontext(f.ctx[0], &f);
    return NsSince(start, 2 * roundTrips);
}

// A bare switch: a fiber that jumps straight back; two switches per round.
void Bouncer(fc::transfer_t t)
{
    for (;;)
        t = fc::jump_fcontext(t.fctx, nullptr);
}

double FcontextSwitch(UINT64 n)
{
    Fiber a;
    fc::fcontext_t ctx = a.Make(Bouncer);
    Clock::time_point start = Clock::now();
    for (UINT64 i = 0; i < n / 2; i++)
        ctx = fc::jump_fcontext(ctx, nullptr).fctx;
    return NsSince(start, n);
}
#define FC_ANCHOR(expr) Best([&] { return (expr); })
#else
#define FC_ANCHOR(expr) 0.0
#endif
} // namespace

// With an argument, only the figures whose title contains it (for profiling one of them).
int main(int argc, char **argv)
{
    if (mos_Init(nullptr) != MOS_RC__SUCCESS) {
        fprintf(stderr, "runtime start failed\n");
        return 1;
    }
    mosUmtMgr_Init(nullptr);
    auto want = [&](const char *title) { return argc < 2 || strstr(title, argv[1]) != nullptr; };
    if (want("yield"))
        Print("yield between 2 uthreads, one scheduler thread", Best([] { return YieldSwitch(2000000); }),
              FC_ANCHOR(FcontextYield(2000000)), "fcontext run queue of 2");
    if (want("hand-off one"))
        Print("semaphore hand-off one scheduler thread, 2 uthreads",
              Best([] { return SemPingPong(1000000, TRUE, FALSE); }), FC_ANCHOR(FcontextSemHandOff(1000000)),
              "fcontext + counter semaphore");
    if (want("hand-off polling"))
        Print("semaphore hand-off polling, 2 scheduler threads",
              Best([] { return SemPingPong(1000000, FALSE, TRUE); }), Best([] { return SpinThreadsHandOff(1000000); }),
              "2 spinning OS threads");
    if (want("switch"))
        Print("context switch", Best([] { return RawSwitch(20000000); }), FC_ANCHOR(FcontextSwitch(20000000)),
              "fcontext switch");
    if (want("lock"))
        Print("fast lock acquire + release, uncontended", Best([] { return FastlockPair(20000000); }),
              Best([] { return PthreadTrylockPair(20000000); }), "pthread trylock + unlock");
    if (want("sleeping"))
        printf("semaphore hand-off sleeping, 2 scheduler threads:            %8.1f ns\n",
               Best([] { return SemPingPong(200000, FALSE, FALSE); }));
    if (want("raise")) {
        printf("OS thread raise to waiting uthread running, sleeping:      %8.1f ns\n", OsRaiseLatency(100000, FALSE));
        printf("OS thread raise to waiting uthread running, polling:       %8.1f ns\n", OsRaiseLatency(500000, TRUE));
    }
    mosUmtMgr_Destroy();
    mos_Destroy();
    return 0;
}
