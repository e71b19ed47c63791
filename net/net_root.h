// What the engine's parts (work group, poll loop, sockets, tasks, descriptors) read of the root
// object. They reach it only through these calls, so that the root object can hold them as
// members without an include circle.
#pragma once

#include "mos/mit/mos_mit_core.h"
#include "mos/mos_timer.h"
#include "mos/umt/mos_umt.h"
#include "net/net_conf.h"

struct Net;
struct NetPoll;

const NetConfParam *net_GetConf(const Net *pNet);
// Where workers run: null for the default scheduler.
MosUmt_Sched *net_GetWorkerSched(const Net *pNet);
BOOL net_HasSeparateWorkerSched(const Net *pNet);
MosTimerQ_ID net_GetPollStartQ(const Net *pNet);
MosTimerQ_ID net_GetPollEndQ(const Net *pNet);
NetPoll *net_GetPoll(Net *pNet);
// The work group's task scheduler.
MosMit_Scheduler *net_GetWorkerMitSched(Net *pNet);
// A unique message id: the previous value of the counter.
UINT32 net_UniqId(Net *pNet);

struct NetPathMgr;
NetPathMgr *net_GetPathMgr(Net *pNet);
// The generation of the socket-buffer sizes; a path applies them again when it changed.
UINT8 net_GetConfGeneration(Net *pNet);
struct NetConManger;
struct NetListen;
NetConManger *net_GetConManager(Net *pNet);
NetListen *net_GetListen(Net *pNet);
// Paths count themselves in and out, so that teardown can wait for the last.
void net_PathCreated(Net *pNet);
void net_PathDestroyed(Net *pNet);
