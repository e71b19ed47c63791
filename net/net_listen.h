// The listener: accepts TCP connections on the net's port and makes each accepted socket a server
// path. It tries IPv6 first (a dual-stack socket that also takes IPv4) and falls back to IPv4 on
// a host without IPv6. A socket that cannot be set up on either family stops the process; a
// failed accept is traced and accepting goes on.
//
// Each start runs its own accept task with its own listening socket, so a stop (which only marks
// the running one to end) followed at once by a start never waits for the old task.
#pragma once

#include "net/net_mit.h"
#include "net/net_socket.h"

#define NET_LISTEN__ACCEPTS_PER_ROUND 9u

struct NetListenRun {
    NetMit mit;
    NetSocket listenSocket;
    Net *pNet;
    BOOL bStop;
    UINT32 acceptsInRound;
};

struct NetListen {
    NetMit mit; // unused: each run has its own task
    NetSocket listenSocket;
    Net *pNet;
    NetListenRun *pRun;  // the running accept task, if any
    UINT32 activeRuns;   // runs whose task has not ended yet
};

void netListen_Init(NetListen *pListen, Net *pNet);
void netListen_Start(NetListen *pListen, Port port);
void netListen_Stop(NetListen *pListen);
// Waits until every accept task has ended (teardown only, from an OS thread).
void netListen_WaitStopped(NetListen *pListen);
// The port actually listened on (the kernel's pick when started with a port it chose).
Port netListen_GetPort(NetListen *pListen);
