#include "mos/mit/mos_mit_timer.h"

#include "mos/mos_assert.h"

static_assert(offsetof(MosMit, scratch.timer.timerReq.asyncObj) == 0, "the request is the task");

void mosMitTimer_CK(MosAsyncObj *pObj, INT32 rc)
{
    MOS_UNUSED(rc);
    MosMit *pMit = reinterpret_cast<MosMit *>(pObj);
    if (pMit->state == MOS_MIT_STATE__TIMED_SUSPENDED)
        pMit->state = MOS_MIT_STATE__SUSPENDED;
    mosMit_Resume(pMit, MOS_RC__SUCCESS);
}

Mos_RC mosMitTimer_Abort(MosMit *pMit)
{
    Mos_RC rc = mosTimerReq_Abort(&pMit->scratch.timer.timerReq);
    if (rc == MOS_RC__SUCCESS && pMit->state == MOS_MIT_STATE__TIMED_SUSPENDED)
        pMit->state = MOS_MIT_STATE__SUSPENDED;
    return rc;
}
