#include "net/net_mit.h"

#include <cstring>

#include "net/net_root.h"

void netMit_DefDtor(MosMit *pMit)
{
    MOS_UNUSED(pMit);
}

void netMit_InitEx(NetMit *pNetMit, MosMit_Scheduler *pSched, Net *pNet, MosMit_DtorCK pDtor, BOOL bPrivilegedSend,
                   BOOL bJoinable)
{
    Net_MitArea *pArea = &pNetMit->area;
    mosMit_Init(netMit_GetMit(pNetMit), pSched, pDtor != nullptr ? pDtor : netMit_DefDtor, pArea,
                NET_MIT__STACK_SIZE);
    memset(&pArea->extHeader, 0, sizeof(pArea->extHeader));
    memset(&pArea->sockArea, 0, sizeof(pArea->sockArea));
    pArea->pPath = nullptr;
    pArea->pIov = nullptr;
    pArea->pSample = nullptr;
    pArea->mitFlags = bPrivilegedSend ? NET_MIT_FLAGS__PRIVILEGED_SEND : 0;
    pArea->msgSendAttempts = 0;
    pArea->pNet = pNet;
    pNetMit->bImportant = FALSE;
    if (bJoinable)
        netMit_GetMit(pNetMit)->joinRef = 2;
}

void netMit_Init(NetMit *pNetMit, Net *pNet, BOOL bJoinable)
{
    netMit_InitEx(pNetMit, net_GetWorkerMitSched(pNet), pNet, nullptr, FALSE, bJoinable);
}

void netMit_SetImportance(NetMit *pNetMit, BOOL bImportant)
{
    pNetMit->bImportant = bImportant;
}

BOOL netMit_GetImportance(const NetMit *pNetMit)
{
    return pNetMit->bImportant;
}
