// A user-mode thread hands a call that may block its OS thread to a blocking-call service and
// sleeps until the call is done, so that the scheduler's OS thread keeps running others.
#pragma once

#include "mos/mos_blocking.h"

// Runs workFunc(pContext) on an OS thread of pBlocking (null: the default service), waits for
// it and returns its result. ECANCELED when the service ended before the call could run.
int mosUmtBlocking_Submit(MosBlocking *pBlocking, int (*workFunc)(void *pContext), void *pContext);
