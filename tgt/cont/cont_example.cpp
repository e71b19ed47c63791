#include "tgt/cont/cont_example.h"

#include <cstring>

void contExampleMngr_Init(ContExampleMngr *pMngr)
{
    memset(static_cast<void *>(pMngr), 0, sizeof(*pMngr));
    contMngr_Init(pMngr);
}

void contExampleMngr_Destroy(ContExampleMngr *pMngr)
{
    contMngr_Destroy(pMngr);
}

void contExampleMngr_ObjInit(ContExampleMngr *pMngr, Cont *pCont, ContExample *pExm, UINT64 objId, UINT32 data)
{
    memset(static_cast<void *>(pExm), 0, sizeof(*pExm));
    pExm->pCont = pCont;
    pExm->objId = objId;
    pExm->data = data;
    MOS_FASTLOCK_CREATE(&pExm->fastLock, TGT_CONTENTION__CONT_MNGR_OBJ);
    contMngr_Append(pMngr, pExm);
}

void contExampleMngr_ObjDestroy(ContExampleMngr *pMngr, ContExample *pExm)
{
    contMngr_Unlink(pMngr, pExm);
    mosFastlockBase_Destroy(&pExm->fastLock);
    memset(static_cast<void *>(pExm), 0, sizeof(*pExm));
}

void contExample_Update(ContExample *pExm, UINT32 data)
{
    MosFastlockGuard g(&pExm->fastLock);
    pExm->data = data;
}

void contExampleMngr_MarkAllObjs(ContExampleMngr *pMngr)
{
    contMngr_MarkAll(pMngr);
}

ContExample *contExampleMngr_GetFirstMarkedNode(ContExampleMngr *pMngr)
{
    return contMngr_GetFirstMarkedNode(pMngr);
}

void contExample_Query(ContExample *pExm, ContExampleQuery *pQuery)
{
    MosFastlockGuard g(&pExm->fastLock);
    pQuery->objId = pExm->objId;
    pQuery->data = pExm->data;
}
