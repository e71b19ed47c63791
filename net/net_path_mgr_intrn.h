// What the path manager's own files and the paths share that is not the manager's API.
#pragma once

#include "net/net_path_mgr.h"
#include "net/net_root.h"

UINT32 netPathMgr_KaUnitSize(void);
// Ends the keep-alive task (if it runs) and waits until it has stopped.
void netPathMgr_StopKa(NetPathMgr *pMgr);

inline NetPathMgr *netPathMgr_OfMit(MosMit *pMit)
{
    return net_GetPathMgr(netMit_GetArea(pMit)->pNet);
}

// One walk of the registry by the keep-alive task (a step of that task).
Mos_RC netPathMgr_KaWalk_CK(MosMit *pMit, Mos_RC rc);

