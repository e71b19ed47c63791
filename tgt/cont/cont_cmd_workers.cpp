// The worker threads of the group commands. Each run counts its workers down on a latch of its own:
// a semaphore that other passes share (the device set's) could hand one run's completion to
// another's wait.
#include <vector>

#include "mos/mos_assert.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "tgt/cont/cont_cmd_intrn.h"
#include "tgt/tgt_umt_class.h"

namespace {

struct ContCmdWorker {
    const std::function<void(UINT32)> *pFn;
    UINT32 index;
    MosUmt_Sem *pLatch;
};

void contCmd_WorkerEntry(void *pArg)
{
    auto *pWorker = static_cast<ContCmdWorker *>(pArg);
    (*pWorker->pFn)(pWorker->index);
    mosUmtSem_IncInter(pWorker->pLatch, 1, TRUE);
}

} // namespace

void contCmd_RunOnWorkers(UINT32 n, UINT32 classType, const std::function<void(UINT32)> &fn)
{
    if (n == 0)
        return;
    MosUmt_Sem latch;
    mosUmtSem_Init(&latch);
    std::vector<ContCmdWorker> workers(n);
    for (UINT32 i = 0; i < n; i++) {
        workers[i] = {&fn, i, &latch};
        HMosUmt_UThread h = mosUmt_CreateUThreadEx(contCmd_WorkerEntry, &workers[i], nullptr, nullptr, FALSE,
                                                   tgt_GetUmtClassId(classType));
        MOS_ASSERT_WITH_DESC(h != nullptr, "a command worker thread could not be started");
    }
    MOS_ASSERT_SUCCESS(mosUmtSem_DecTimed(&latch, n, 0));
    mosUmtSem_Destroy(&latch);
}
