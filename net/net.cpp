#include "net/net.h"

const NetConfParam *net_GetConf(const Net *pNet)
{
    return &pNet->confParam;
}

MosUmt_Sched *net_GetWorkerSched(const Net *pNet)
{
    return pNet->pNetWorkerSched;
}

BOOL net_HasSeparateWorkerSched(const Net *pNet)
{
    return pNet->confParam.bUseSeparateSched;
}

MosTimerQ_ID net_GetPollStartQ(const Net *pNet)
{
    return pNet->startQ;
}

MosTimerQ_ID net_GetPollEndQ(const Net *pNet)
{
    return pNet->endQ;
}

NetPoll *net_GetPoll(Net *pNet)
{
    return &pNet->poll;
}

MosMit_Scheduler *net_GetWorkerMitSched(Net *pNet)
{
    return &pNet->wrkGrp.sched;
}

UINT32 net_UniqId(Net *pNet)
{
    return __atomic_fetch_add(&pNet->nextMsgId, 1, __ATOMIC_RELAXED);
}
