// net_peer: a peer process on the project's own messaging layer, for tests that start, kill, stop
// and restart a peer. It opens a client connection to a server on 127.0.0.1 .. 127.0.0.n, with
// each path's source address bound to its portal's address (so the server sees one portal per
// address), prints "IDENTITY <timeStamp> <magic>" and then "READY" once every path is up and
// validated, and runs until it is killed.
//
//   net_peer <port> <myConId> <serverConId> <portals> <pathsPerPortal>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mos/mos_load.h"
#include "mos/mos_timer.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "net/net.h"
#include "net/net_common_umt_class.h"
#include "test/support/net_root.h"

extern "C" int __real_connect(int fd, const struct sockaddr *pAddr, socklen_t len);

// Every connect of this program leaves from the address it goes to (127.0.0.x to 127.0.0.x).
extern "C" int __wrap_connect(int fd, const struct sockaddr *pAddr, socklen_t len)
{
    if (pAddr->sa_family == AF_INET) {
        sockaddr_in src = *reinterpret_cast<const sockaddr_in *>(pAddr);
        src.sin_port = 0;
        (void)bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof(src));
    }
    return __real_connect(fd, pAddr, len);
}

namespace {
void OnEvent(void *, HNetCon, ConId, NetOwnerType, NetConChannelData *)
{
}

MosUmtClassId NoClass(CommonUmtClassType)
{
    return MosUmtClassId{0, 0};
}
} // namespace

int main(int argc, char **argv)
{
    if (argc != 6) {
        fprintf(stderr, "usage: net_peer <port> <myConId> <serverConId> <portals> <pathsPerPortal>\n");
        return 1;
    }
    const Port port = (Port)strtoul(argv[1], nullptr, 0);
    const ConId myId = strtoull(argv[2], nullptr, 0);
    const ConId serverId = strtoull(argv[3], nullptr, 0);
    const UINT32 portals = (UINT32)strtoul(argv[4], nullptr, 0);
    const UINT32 paths = (UINT32)strtoul(argv[5], nullptr, 0);
    if (portals == 0 || portals > NET_CON__MAX_NUM_OF_IP_PER_HOST || paths == 0 ||
        paths > NET_CON__MAX_NUM_OF_SOCKETS_PER_IP) {
        fprintf(stderr, "net_peer: 1 to 8 portals of 1 to 8 paths\n");
        return 1;
    }
    srand48(getpid() ^ (long)time(nullptr));
    if (mos_Init(nullptr) != MOS_RC__SUCCESS)
        return 1;
    mosUmtMgr_Init(nullptr);
    mosTimer_Delete();
    BOOL bDontUseThrds = TRUE;
    if (mosTimer_Init(&bDontUseThrds) != MOS_RC__SUCCESS)
        return 1;
    common_UmtClassInit(NoClass);

    static MosUmt_SchedThrd sched;
    if (mosUmtSchedThrd_Create(&sched, "net peer", 2, 2, 0) != MOS_RC__SUCCESS)
        return 1;
    static Net net;
    NetConfParam conf;
    netConfParam_SetDefaults(&conf);
    NetCallback cb;
    net_InitEmptyNetCallback(&cb);
    net_Init(&net, &sched.base, &cb, 28, myId, NET_OWNER_TYPE__TGT, &conf);
    net_SetPollTimerQs(&net, MOS_TIMER_QUEUE_ID__100MILLI, MOS_TIMER_QUEUE_ID__5MIN);
    net_Start(&net, 0);
    const NetIdentifier *pId = net_GetNetIdentifier(&net);
    printf("IDENTITY %u %u\n", pId->timeStamp, pId->magicNumber);
    fflush(stdout);

    static NetConCallback conCB = {OnEvent, OnEvent, nullptr, nullptr, nullptr, &net};
    NetCon_RemoteHosts hosts = netTest_LoopbackHosts(portals, port, paths);
    const HNetCon hCon = net_AllocClientConList(&net, serverId, NET_OWNER_TYPE__TGT, &conCB, &hosts);
    if (hCon == 0 || !net_Connect(&net, hCon, FALSE))
        return 1;
    while (!net_IsFullyValidated(&net, hCon, FALSE) || !net_IsFullyConnected(&net, hCon))
        usleep(10000);
    printf("READY\n");
    fflush(stdout);
    for (;;)
        pause();
}
