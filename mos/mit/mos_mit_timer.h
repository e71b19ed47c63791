// A micro-task's sleep on a timer queue. The request lives in the task's scratch area:
//
//   mosTimerReq_Init(&pMit->scratch.timer.timerReq, mosMitTimer_CK);
//   MOS_MIT_WAIT(pMit, rc, TRUE, mosTimerReq_Add(&pMit->scratch.timer.timerReq, millis));
//
// The step continues with MOS_RC__SUCCESS when the time is up.
#pragma once

#include "mos/mit/mos_mit.h"

void mosMitTimer_CK(MosAsyncObj *pObj, INT32 rc);
// Cancels the sleep. MOS_RC__SUCCESS: the timer will not fire, and the task is SUSPENDED for the
// caller to resume as it sees fit; otherwise the timer is firing or has fired and resumes the
// task itself.
Mos_RC mosMitTimer_Abort(MosMit *pMit);
