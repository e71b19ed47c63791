#include "mos/umt/mos_umt_bound.h"

#include "mos/mos_assert.h"

Mos_RC mosUmtBound_CreateEx(MosUmt_Bound *pUmtBound, const CHAR_A *pName, MosUmt_StartFunc pStartFunc, void *pArg,
                            MosUmt_Allocator *pAlloc, BOOL bHighPrioThrds, MosUmtClassId classId)
{
    Mos_RC rc = mosUmtSchedThrd_CreateEx(&pUmtBound->sched, pName, 1, 1, 0, bHighPrioThrds, FALSE);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    mosUmtSchedThrd_SetLivnessThreshold(&pUmtBound->sched, 0);
    pUmtBound->hUmt = mosUmt_CreateUThreadEx(pStartFunc, pArg, &pUmtBound->sched.base, pAlloc, TRUE, classId);
    if (pUmtBound->hUmt == nullptr) {
        mosUmtSchedThrd_Destroy(&pUmtBound->sched);
        return MOS_RC__NO_RESOURCES;
    }
    return MOS_RC__SUCCESS;
}

Mos_RC mosUmtBound_Create(MosUmt_Bound *pUmtBound, const CHAR_A *pName, MosUmt_StartFunc pStartFunc, void *pArg,
                          MosUmt_Allocator *pAlloc, MosUmtClassId classId)
{
    return mosUmtBound_CreateEx(pUmtBound, pName, pStartFunc, pArg, pAlloc, FALSE, classId);
}

Mos_RC mosUmtBound_BindToCpu(MosUmt_Bound *pUmtBound, UINT32 cpu)
{
    if (cpu >= MOS_UMT_BOUND__MAX_CPUS)
        return MOS_RC__INVALID;
    UINT8 mask[MOS_UMT_BOUND__MAX_CPUS / 8] = {};
    mask[cpu / 8] = static_cast<UINT8>(1u << (cpu % 8));
    return mosUmtSchedThrd_BindToCpus(&pUmtBound->sched, mask, MOS_UMT_BOUND__MAX_CPUS);
}

void mosUmtBound_Destroy(MosUmt_Bound *pUmtBound, BOOL bBlockOs)
{
    if (bBlockOs)
        mosUmt_JoinSync(pUmtBound->hUmt);
    else
        mosUmt_JoinUThread(pUmtBound->hUmt);
    pUmtBound->hUmt = nullptr;
    mosUmtSchedThrd_Destroy(&pUmtBound->sched);
}
