// A user-mode thread hands a call that may block its OS thread to a blocking-call service and
// sleeps until the call is done, so that the scheduler's OS thread keeps running others.
#pragma once

#include "mos/mos_blocking.h"
#include "mos/umt/mos_umt_semaphore.h"

struct MosUmtBlocking_Req {
    MosBlocking_Req blockingReq; // completion in completion, the call's result in status
    Mos_RC completion;
    MosUmt_Sem sem;
};

void mosUmtBlocking_CK(MosAsyncObj *pObj, INT32 rc);
// Runs workFunc(pContext) on an OS thread of pBlocking (null: the default service), waits for
// it and returns its result. ECANCELED when the service ended before the call could run.
int mosUmtBlocking_Submit(MosBlocking *pBlocking, int (*workFunc)(void *pContext), void *pContext);
// The hook behind mosUtils_RunBlocking: on a uthread the call goes to the default service.
BOOL mosUmtBlocking_RunFromUThread(int (*workFunc)(void *pContext), void *pContext, int *pResult);
