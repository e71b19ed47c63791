// A whole messaging root object for tests: net_Init and net_Start on a worker scheduler of the
// test's own, with the timer queues driven by the poll loop as the server runs them, and
// net_Destroy at the end. Needs the runtime and the uthread manager up.
#pragma once

#include <memory>

#include "net/net.h"
#include "test/support/net_engine_support.h"

struct NetForTest {
    MosUmt_SchedThrd sched;
    Net net;
};

inline std::unique_ptr<NetForTest> netTest_Create(const NetConfParam *pConf = nullptr,
                                                  const NetCallback *pCallback = nullptr, ConId myConId = 0x10,
                                                  NetOwnerType ownerType = NET_OWNER_TYPE__TGT)
{
    auto p = std::make_unique<NetForTest>();
    NetConfParam conf;
    if (pConf != nullptr)
        conf = *pConf;
    else
        netConfParam_SetDefaults(&conf);
    conf.bPollTimers = !mosTimer_G.bThrdsUsed;
    common_UmtClassInit(netEngineTest_NoClass);
    MOS_ASSERT_SUCCESS(mosUmtSchedThrd_Create(&p->sched, "net test workers", 2, 2, 0));
    net_Init(&p->net, &p->sched.base, pCallback, 28, myConId, ownerType, &conf);
    net_SetPollTimerQs(&p->net, MOS_TIMER_QUEUE_ID__100MILLI, MOS_TIMER_QUEUE_ID__5MIN);
    return p;
}

inline void netTest_Destroy(std::unique_ptr<NetForTest> &p)
{
    net_Destroy(&p->net);
    mosUmtSchedThrd_Destroy(&p->sched);
    p.reset();
}
