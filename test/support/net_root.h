// A messaging root object of its own for a test peer, without GoogleTest: its worker scheduler,
// net_Init with the timer queues driven by the poll loop as the server runs them, and
// net_Destroy at the end. Needs the runtime and the uthread manager up (netTest_RuntimeStart
// in a program of its own, NetTestRuntimeEnv in a test program).
#pragma once

#include <cstdio>
#include <memory>

#include "mos/mos_assert.h"
#include "mos/mos_load.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "net/net.h"
#include "test/support/net_engine_support.h"

// The runtime, the uthread manager, poll-driven timers and the messaging layer's globals.
inline Mos_RC netTest_RuntimeStart(void (*classInit)(void) = nullptr)
{
    const Mos_RC rc = mos_Init(nullptr);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    mosUmtMgr_Init(classInit);
    netEngineTest_PollDrivenTimers();
    net_GlobalInit();
    return MOS_RC__SUCCESS;
}

inline void netTest_RuntimeStop(void)
{
    net_GlobalDestroy();
    mosUmtMgr_Destroy();
    mos_Destroy();
}

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

// Remote hosts 127.0.0.1 .. 127.0.0.n on port, paths per portal.
inline NetCon_RemoteHosts netTest_LoopbackHosts(UINT32 n, Port port, UINT32 paths)
{
    NetCon_RemoteHosts hosts{};
    hosts.numOfSocketPerIp = paths;
    hosts.hostsCount = n;
    hosts.port = port;
    hosts.maxNumHosts = NET_CON__MAX_NUM_OF_IP_PER_HOST;
    for (UINT32 i = 0; i < n; i++)
        snprintf(hosts.hosts[i], sizeof(hosts.hosts[i]), "127.0.0.%u", i + 1);
    return hosts;
}
