// Uthread service and micro-task figures: an uncontended read (and write) lock/unlock pair of a
// uthread read-write lock, a nested micro-task step called and returned in place, and one
// resumed micro-task step (resume, run, wait again). Prints ns per operation.
#include <cstdio>

#include "bench/bench_harness.h"
#include "mos/mit/mos_mit.h"
#include "mos/mos_load.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_rwlock.h"

namespace {
const MosUmtClassId kNoClass{0, 0};
using bench::Clock;
constexpr UINT64 kOps = 10000000;

double NsSince(Clock::time_point start, UINT64 ops)
{
    return (double)bench::nsSince(start) / (double)ops;
}

struct RWArg {
    MosUmt_RWLock rw;
    double readNs;
    double writeNs;
};

void RWBody(void *p)
{
    RWArg *a = static_cast<RWArg *>(p);
    Clock::time_point start = Clock::now();
    for (UINT64 i = 0; i < kOps; i++) {
        mosUmtRWLock_AcquireReadLock(&a->rw);
        mosUmtRWLock_ReleaseReadLock(&a->rw);
    }
    a->readNs = NsSince(start, kOps);
    start = Clock::now();
    for (UINT64 i = 0; i < kOps; i++) {
        mosUmtRWLock_AcquireWriteLock(&a->rw);
        mosUmtRWLock_ReleaseWriteLock(&a->rw);
    }
    a->writeNs = NsSince(start, kOps);
}

// A scheduler of one slot, run by the benchmark loop itself.
struct SlotSched {
    MosMit_Scheduler sched;
    MosMit *pReady;
};

void SlotSchedCK(MosMit *pMit)
{
    reinterpret_cast<SlotSched *>(pMit->pSched)->pReady = pMit;
}

Mos_RC LeafStep_CK(MosMit *pMit, Mos_RC rc)
{
    MOS_UNUSED(rc);
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
}

// Calls a nested step that returns at once, then waits for a service that never answers at once.
Mos_RC LoopStep_CK(MosMit *pMit, Mos_RC rc)
{
    UINT64 *pCallsLeft = static_cast<UINT64 *>(pMit->pContext);
    MOS_MIT_BEGIN(pMit);
    for (;;) {
        while (*pCallsLeft != 0) {
            (*pCallsLeft)--;
            MOS_MIT_CALL(pMit, rc, LeafStep_CK);
        }
        MOS_MIT_WAIT(pMit, rc, FALSE, MOS_RC__PENDING);
        if (rc == MOS_RC__ABORTED)
            MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    }
    MOS_MIT_END(pMit);
}
} // namespace

int main()
{
    if (mos_Init(nullptr) != MOS_RC__SUCCESS)
        return 1;
    mosUmtMgr_Init(nullptr);

    RWArg rwArg{};
    mosUmtRWLock_Init(&rwArg.rw);
    HMosUmt_UThread h = mosUmt_CreateUThreadEx(RWBody, &rwArg, MOS_UMT_SCHED__FOREIGN, nullptr, TRUE, kNoClass);
    mosUmt_JoinSync(h);
    mosUmtRWLock_Destroy(&rwArg.rw);
    std::printf("rwlock uncontended read lock/unlock pair:  %.1f ns/op\n", rwArg.readNs);
    std::printf("rwlock uncontended write lock/unlock pair: %.1f ns/op\n", rwArg.writeNs);

    SlotSched slot{{SlotSchedCK, SlotSchedCK}, nullptr};
    MosMit_Storage<2> storage;
    MosMit *pMit = storage.get();
    UINT64 calls = kOps;
    mosMit_Init(pMit, &slot.sched, nullptr, &calls, 2);
    Clock::time_point start = Clock::now();
    mosMit_StartNow(pMit, LoopStep_CK); // the calls in place, then the first wait
    std::printf("micro-task nested step call and return:    %.1f ns/op\n", NsSince(start, kOps));

    start = Clock::now();
    for (UINT64 i = 0; i < kOps; i++) {
        mosMit_Resume(pMit, MOS_RC__SUCCESS);
        mosMit_Run(slot.pReady, slot.pReady->nextRC);
    }
    std::printf("micro-task step (resume, run, wait again): %.1f ns/op\n", NsSince(start, kOps));
    mosMit_Resume(pMit, MOS_RC__ABORTED);
    mosMit_Run(slot.pReady, slot.pReady->nextRC);

    mosUmtMgr_Destroy();
    mos_Destroy();
    return 0;
}
