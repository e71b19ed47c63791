// What the layer's parts (work group, poll loop, sockets, tasks, descriptors, paths and their
// manager, connections, sends, requests, receive groups, the listener and the secure path) read of
// the root object and ask of it. They reach it only through these calls, so that the root object
// can hold them as members without an include circle: the root's own header includes the parts,
// the parts include this one.
#pragma once

#include "mos/mit/mos_mit_core.h"
#include "mos/mos_net_address.h"
#include "mos/mos_timer.h"
#include "mos/umt/mos_umt.h"
#include "net/net_conf.h"
#include "net/net_ids.h"
#include "net/net_socket_header.h"

struct Net;
struct NetPoll;
struct NetPath;
struct NetPathMgr;
struct NetConManger;
struct NetListen;
struct NetMsgRcv;
struct NetRecvGroupOps;
enum NetMsgSchedType : UINT32;

const NetConfParam *net_GetConf(const Net *pNet);
// The security configuration inside it.
const NetSecConf *net_GetSecConf(const Net *pNet);
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
// How a connection's paths share its queued messages (fixed at net_Init).
NetMsgSchedType net_GetMsgSchedType(const Net *pNet);

NetPathMgr *net_GetPathMgr(Net *pNet);
// The generation of the socket-buffer sizes; a path applies them again when it changed.
UINT8 net_GetConfGeneration(Net *pNet);
NetConManger *net_GetConManager(Net *pNet);
NetListen *net_GetListen(Net *pNet);
// Paths count themselves in and out, so that teardown can wait for the last.
void net_PathCreated(Net *pNet);
void net_PathDestroyed(Net *pNet);

// This process's identity as NEW_CON and KEEPALIVE carry it: its connection id (which the upper
// layer may change at run time), its owner type and this incarnation's identifier.
ConId net_GetMyConId(const Net *pNet);
NetOwnerType net_GetOwnerType(const Net *pNet);
const NetIdentifier *net_GetNetIdentifier(const Net *pNet);
// This process's numeric version as NEW_CON and KEEPALIVE carry it.
UINT32 net_GetMyNumericVersion(void);
// Whether an accepted peer may stay: the whitelist is off, the peer is the local host, or listed.
BOOL net_IsPeerAllowed(Net *pNet, const NetAddress *pPeer);
// Calls the new-connection hook (mandatory when the process accepts connections), then attaches
// the path to a portal of the server connection with that id. 0 when refused.
HNetCon net_AssignPathWithServerCon(Net *pNet, ConId conId, NetOwnerType ownerType, NetPath *pPath);
// Tells the upper layer (through its hook, when it set one) that a receive found no buffers.
void net_OnRcvBufferAllocFailure(Net *pNet);

// Receive groups: the consumer registers each group under its number with the operations the
// paths need of it.
void net_AddRecvGroup(Net *pNet, UINT32 conGrpId, void *pGroup, const NetRecvGroupOps *pOps);

// Incoming-message descriptors.
NetMsgRcv *net_AllocMsgForRecv(Net *pNet);
void net_FreeRecvMsg(Net *pNet, NetMsgRcv *pMsg);
