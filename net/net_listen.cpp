#include "net/net_listen.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/usr/mos_net.h"
#include "net/net_path_intrn.h"

namespace {
NetListenRun *netListen_RunOf(MosMit *pMit)
{
    return MOS_CONTAINER_OF(netMit_GetArea(pMit), NetListenRun, mit.area);
}

void netListen_NewSocketAccepted(Net *pNet, SOCKET sock)
{
    NetPath *pPath = static_cast<NetPath *>(malloc(sizeof(NetPath)));
    MOS_ASSERT(pPath != nullptr);
    netPath_Init(pPath, pNet);
    pPath->conType = PATH_CON_TYPE__SERVER;
    netPath_StartAsServer(pPath, sock);
}

void netListen_RunDtor(MosMit *pMit)
{
    NetListenRun *pRun = netListen_RunOf(pMit);
    NetListen *pListen = net_GetListen(pRun->pNet);
    netSocket_Destroy(&pRun->listenSocket);
    free(pRun);
    __atomic_sub_fetch(&pListen->activeRuns, 1, __ATOMIC_ACQ_REL);
}

Mos_RC netListen_Yield(MosMit *pMit)
{
    mosMit_Resume(pMit, MOS_RC__SUCCESS);
    return MOS_RC__PENDING;
}

Mos_RC netListen_Mit(MosMit *pMit, Mos_RC rc)
{
    NetListenRun *pRun = netListen_RunOf(pMit);
    MOS_MIT_BEGIN(pMit);
    for (;;) {
        for (pRun->acceptsInRound = 0; pRun->acceptsInRound < NET_LISTEN__ACCEPTS_PER_ROUND; pRun->acceptsInRound++) {
            netMit_GetArea(pMit)->sockArea.pSock = &pRun->listenSocket;
            MOS_MIT_CALL(pMit, rc, netSock_Accept_CK);
            pRun = netListen_RunOf(pMit);
            if (__atomic_load_n(&pRun->bStop, __ATOMIC_ACQUIRE)) {
                if (rc == MOS_RC__SUCCESS)
                    osNet_Close(netMit_GetArea(pMit)->sockArea.acceptedSocket);
                goto stop;
            }
            if (rc == MOS_RC__SUCCESS)
                netListen_NewSocketAccepted(pRun->pNet, netMit_GetArea(pMit)->sockArea.acceptedSocket);
            else if (rc == MOS_RC__ABORTED) {
                // The listening socket itself failed: it will accept nothing more, so end the
                // task instead of retrying it in a loop.
                MOS_ERROR(MOS_COMP_NET, "Listening socket failed, no more connections are accepted");
                goto stop;
            } else
                MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Error (%s) accepting", mosRc_GetStr(rc));
        }
        MOS_MIT_WAIT(pMit, rc, FALSE, netListen_Yield(pMit));
        pRun = netListen_RunOf(pMit);
    }
stop:
    netMit_GetArea(pMit)->sockArea.pSock = &netListen_RunOf(pMit)->listenSocket;
    MOS_MIT_CALL(pMit, rc, netSock_Disconnect_CK);
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}
} // namespace

void netListen_Init(NetListen *pListen, Net *pNet)
{
    memset(static_cast<void *>(pListen), 0, sizeof(*pListen));
    pListen->pNet = pNet;
}

void netListen_Start(NetListen *pListen, Port port)
{
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Listening on port %d", (int)port);
    NetListenRun *pRun = static_cast<NetListenRun *>(calloc(1, sizeof(NetListenRun)));
    MOS_ASSERT(pRun != nullptr);
    pRun->pNet = pListen->pNet;
    const NetAddressType families[] = {NET_ADDRESS_TYPE__IPV6, NET_ADDRESS_TYPE__IPV4};
    Mos_RC rc = MOS_RC__NOT_SUPPORTED;
    for (UINT32 i = 0; i < MOS_ARRAY_SIZE(families) && rc == MOS_RC__NOT_SUPPORTED; i++) {
        NetAddress addr;
        MOS_ASSERT_SUCCESS(netAddress_BuildAnyAddr(&addr, families[i], port));
        if (i == 0)
            netSocket_Create(&pRun->listenSocket, pListen->pNet, &addr, SOCKET_ROLE__LISTEN);
        // The wildcard is not a peer address, so the socket does not take it as one: set it.
        pRun->listenSocket.addr = addr;
        rc = netSocket_SetServer(&pRun->listenSocket);
    }
    MOS_ASSERT_SUCCESS(rc);
    __atomic_add_fetch(&pListen->activeRuns, 1, __ATOMIC_ACQ_REL);
    pListen->pRun = pRun;
    netMit_InitEx(&pRun->mit, net_GetWorkerMitSched(pListen->pNet), pListen->pNet, netListen_RunDtor, FALSE, FALSE);
    mosMit_Start(netMit_GetMit(&pRun->mit), netListen_Mit);
}

void netListen_Stop(NetListen *pListen)
{
    NetListenRun *pRun = pListen->pRun;
    if (pRun == nullptr)
        return;
    pListen->pRun = nullptr;
    __atomic_store_n(&pRun->bStop, TRUE, __ATOMIC_RELEASE);
    netSocket_MarkAsError(&pRun->listenSocket);
}

void netListen_WaitStopped(NetListen *pListen)
{
    while (__atomic_load_n(&pListen->activeRuns, __ATOMIC_ACQUIRE) != 0)
        usleep(1000);
}

Port netListen_GetPort(NetListen *pListen)
{
    if (pListen->pRun == nullptr)
        return 0;
    struct sockaddr_storage ss;
    socklen_t len = sizeof(ss);
    if (getsockname(pListen->pRun->listenSocket.socket, reinterpret_cast<struct sockaddr *>(&ss), &len) != 0)
        return 0;
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const struct sockaddr_in6 *>(&ss)->sin6_port);
    return ntohs(reinterpret_cast<const struct sockaddr_in *>(&ss)->sin_port);
}

void netListen_PathWithNoOwnerDied(NetPath *pPath)
{
    NET_PATH_TRACE(pPath, MOS_FREQ_MED, "Owner-less path died");
    netPath_Destroy(&pPath);
}
