// What the device object's units share and do not publish.
#pragma once

#include "tgt/cont/cont_dev.h"

// The hooks in force: the registered ones, the server's own for members left null.
const ContDevMonitorHooks &contDev_Hooks(void);
const ContDevCombHooks &contDev_CombHooks(void);

// Copies an Ostrel-given path into pOut (CONT_DEV__PATH_LEN): FALSE (and pOut empty) when it holds
// no NUL within the field.
BOOL contDev_CopyBoundedPath(const CHAR_A *pPath, CHAR_A *pOut);

// fn(ContDev *) for every device under itrRwLock (read), the manager's fastlock dropped around
// each call; the list cannot change meanwhile, since every unlink takes itrRwLock for write.
template <class F> void contDevMngr_ForEachDev(ContDevMngr *pDevMngr, F fn)
{
    mosUmtRWLock_AcquireReadLock(&pDevMngr->itrRwLock);
    mosFastlockBase_Acquire(&pDevMngr->devs.fastlock);
    MosDList_Node *pNode = mosDList_First(&pDevMngr->devs.anchor);
    while (pNode != nullptr) {
        mosFastlockBase_Release(&pDevMngr->devs.fastlock);
        const bool bGoOn = fn(contMngr_ObjOfNode<ContDev>(pNode));
        mosFastlockBase_Acquire(&pDevMngr->devs.fastlock);
        if (!bGoOn)
            break;
        pNode = mosDList_Next(pNode);
    }
    mosFastlockBase_Release(&pDevMngr->devs.fastlock);
    mosUmtRWLock_ReleaseReadLock(&pDevMngr->itrRwLock);
}
