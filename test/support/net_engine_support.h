// The messaging engine for tests and benchmarks: the root object's engine part with a worker
// scheduler of its own, the work group and the poll loop, with the timer queues driven by the
// poll loop as the server runs them. Needs the runtime and the uthread manager up.
#pragma once

#include <unistd.h>

#include <cstring>

#include "mos/mit/mos_mit.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "mos/usr/mos_net.h"
#include "net/net.h"
#include "net/net_common_umt_class.h"
#include "net/net_mit.h"
#include "net/net_socket.h"

struct NetEngineForTest {
    MosUmt_SchedThrd sched;
    Net net;
};

inline MosUmtClassId netEngineTest_NoClass(CommonUmtClassType)
{
    return MosUmtClassId{0, 0};
}

// Timer queues without threads of their own: the poll loop drives them from the 100 ms queue on.
inline void netEngineTest_PollDrivenTimers(void)
{
    mosTimer_Delete();
    BOOL bDontUseThrds = TRUE;
    MOS_ASSERT_SUCCESS(mosTimer_Init(&bDontUseThrds));
}

// bPollingSched: the workers' scheduler threads spin instead of sleeping when idle.
inline void netEngineTest_Start(NetEngineForTest *pEngine, UINT32 workers = 4, UINT32 schedThreads = 2,
                                const NetConfParam *pConf = nullptr, BOOL bPollingSched = FALSE)
{
    Net *pNet = &pEngine->net;
    memset(static_cast<void *>(pNet), 0, sizeof(*pNet));
    if (pConf != nullptr)
        pNet->confParam = *pConf;
    else
        netConfParam_SetDefaults(&pNet->confParam);
    pNet->confParam.bPollTimers = !mosTimer_G.bThrdsUsed;
    pNet->confParam.pollWorkers = workers;
    pNet->startQ = MOS_TIMER_QUEUE_ID__100MILLI;
    pNet->endQ = MOS_TIMER_QUEUE_ID__5MIN;
    pNet->nextMsgId = 1;
    pNet->netMsgSchedType = net_GetMsgSchedMethod();
    common_UmtClassInit(netEngineTest_NoClass);
    MOS_ASSERT_SUCCESS(mosUmtSchedThrd_CreateEx(&pEngine->sched, "net test workers", schedThreads, schedThreads, 0,
                                                FALSE, bPollingSched));
    pNet->pNetWorkerSched = &pEngine->sched.base;
    netPoll_Init(&pNet->poll, pNet, &pNet->confParam);
    netWorkGroup_Init(&pNet->wrkGrp, (UINT32)pNet->confParam.maxNumOfWorkers, workers,
                      pNet->confParam.bImportantUmt, pNet);
    netPoll_Start(&pNet->poll, FALSE);
}

inline void netEngineTest_Stop(NetEngineForTest *pEngine)
{
    netWorkGroup_Destroy(&pEngine->net.wrkGrp);
    netPoll_Destroy(&pEngine->net.poll);
    mosUmtSchedThrd_Destroy(&pEngine->sched);
}

// A joinable messaging task on the work group that runs ck over pSock and pIov.
struct NetTestTask {
    NetMit netMit;
    void *pUser;
};

inline MosMit *netTestTask_Start(NetTestTask *pTask, Net *pNet, NetSocket *pSock, NetSmallIov *pIov, MosMit_CK ck,
                                 void *pUser = nullptr)
{
    netMit_InitEx(&pTask->netMit, net_GetWorkerMitSched(pNet), pNet, nullptr, FALSE, TRUE);
    pTask->netMit.area.sockArea.pSock = pSock;
    pTask->netMit.area.pIov = pIov;
    pTask->pUser = pUser;
    MosMit *pMit = netMit_GetMit(&pTask->netMit);
    mosMit_Start(pMit, ck);
    return pMit;
}

inline NetTestTask *netTestTask_Of(MosMit *pMit)
{
    return MOS_CONTAINER_OF(static_cast<Net_MitArea *>(pMit->pContext), NetTestTask, netMit.area);
}

// Runs one socket step as a whole task and returns its result.
inline Mos_RC netTestTask_Run(Net *pNet, NetSocket *pSock, NetSmallIov *pIov, MosMit_CK ck)
{
    NetTestTask task;
    return mosMit_JoinSync(netTestTask_Start(&task, pNet, pSock, pIov, ck));
}

// A loopback TCP port that was free a moment ago (the kernel's pick for a probe socket).
inline Port netEngineTest_FreePort(void)
{
    SOCKET fd = MOS_NET__INVALID_SOCKET;
    MOS_ASSERT_SUCCESS(osNet_Socket(&fd, NET_SOCKET_TYPE__IPV4));
    MOS_ASSERT(osNet_Bind(fd, 0, NET_SOCKET_TYPE__IPV4));
    struct sockaddr_in sa;
    socklen_t len = sizeof(sa);
    MOS_ASSERT(getsockname(fd, reinterpret_cast<struct sockaddr *>(&sa), &len) == 0);
    osNet_Close(fd);
    return ntohs(sa.sin_port);
}

// A listener on 127.0.0.1, a client connected to it, and the accepted server side.
struct NetSocketPair {
    NetSocket listener;
    NetSocket client;
    NetSocket server;
};

inline Mos_RC netEngineTest_OpenPair(Net *pNet, NetSocketPair *pPair)
{
    NetAddress addr;
    MOS_ASSERT_SUCCESS(netAddress_BuildFromString(&addr, "127.0.0.1", netEngineTest_FreePort()));
    netSocket_Create(&pPair->listener, pNet, &addr, SOCKET_ROLE__LISTEN);
    MOS_ASSERT_SUCCESS(netSocket_SetServer(&pPair->listener));
    netSocket_Create(&pPair->client, pNet, &addr, SOCKET_ROLE__SNDRCV);
    NetTestTask accept;
    MosMit *pAccept = netTestTask_Start(&accept, pNet, &pPair->listener, nullptr, netSock_Accept_CK);
    Mos_RC rc = netTestTask_Run(pNet, &pPair->client, nullptr, netSock_Connect_CK);
    Mos_RC acceptRc = mosMit_JoinSync(pAccept);
    if (rc != MOS_RC__SUCCESS || acceptRc != MOS_RC__SUCCESS)
        return rc != MOS_RC__SUCCESS ? rc : acceptRc;
    netSocket_Create(&pPair->server, pNet, nullptr, SOCKET_ROLE__SNDRCV);
    netSocket_ConnectViaAccept(&pPair->server, accept.netMit.area.sockArea.acceptedSocket);
    return MOS_RC__SUCCESS;
}

// Disconnects and destroys the three sockets (each must be connected or in error).
inline void netEngineTest_ClosePair(Net *pNet, NetSocketPair *pPair)
{
    for (NetSocket *pSock : {&pPair->client, &pPair->server, &pPair->listener}) {
        MOS_ASSERT_SUCCESS(netTestTask_Run(pNet, pSock, nullptr, netSock_Disconnect_CK));
        netSocket_Destroy(pSock);
    }
}
