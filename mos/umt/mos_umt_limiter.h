// A uthread's wait for rate-limiter budget: the request's completion raises a semaphore on which
// the uthread sleeps, so its scheduler thread keeps running others meanwhile.
#pragma once

#include "mos/mos_limiter.h"
#include "mos/mos_timer.h"
#include "mos/umt/mos_umt_semaphore.h"

struct MosUmtLimiterWait {
    MosLimiter_Req limiterReq;
    MosUmt_Sem sem;
};

void mosUmtLimiterWait_Init(MosUmtLimiterWait *pWaiter, UINT32 usage);
void mosUmtLimiterWait_Destroy(MosUmtLimiterWait *pWaiter);
void mosUmtLimiter_ResourceAvailCK(MosAsyncObj *pObj, INT32 rc);
// Returns once the limiter has admitted `resource` units.
void mosUmtLimiter_Add(MosLimiter *pLimiter, UINT32 resource);
// Admits the oldest waiter of the limiter at once (mosLimiter_Pop).
Mos_RC mosUmtLimiter_Pop(MosLimiter *pLimiter);
