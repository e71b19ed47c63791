// The poll loop: one user-mode thread, "net_poll", alone on its own scheduler OS thread, per Net.
//
// It waits on one edge-triggered epoll set for every socket of the process, hands readiness to
// the callbacks each registered socket supplied, drives the timer queues (which have no threads
// of their own unless timer_use_threads is set), and runs micro-tasks handed to it, at most one
// per iteration. Socket work itself never runs here: callbacks only count and wake the tasks that
// wait on a socket direction, and those run on the work group.
//
// Removal of a socket is asynchronous and belongs to the poll thread: netPoll_RemSocket queues
// the block and wakes the loop, which takes the descriptor out of the set before its next wait
// and then calls the block's pUnregDoneCK. Since that happens between two waits, no event is
// ever delivered for a block after its pUnregDoneCK ran; the owner may close the descriptor and
// free the block from then on.
//
// Locks: `lock` guards mitWaiters, os.pollFastlock guards the removal list; neither is held while
// a callback or a task runs. Callbacks run on the poll thread and may only take a socket
// direction's lock briefly and signal.
#pragma once

#include "mos/mit/mos_mit.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_obj.h"
#include "mos/umt/mos_umt_bound.h"
#include "mos/umt/mos_umt_event.h"
#include "mos/usr/linux/mos_net.h"
#include "net/net_conf.h"

#define NET_POLL__MAGIC 0x123410cafa104321ull
#define NET_POLL__SOCKET_ARRAY__SIZE 128u
#define NET_POLL_OVERHEAD_TICKS 1u

struct Net;
struct NetPoll_RegFd;
typedef void (*PNetPoll_EventCK)(NetPoll_RegFd *pReg);
typedef MosDList_Node NetPollRegFd_Node;
typedef MosDList_Anchor NetPollRegFd_Anchor;

// Embedded in each registered socket.
struct NetPoll_RegFd {
    PNetPoll_EventCK pReadReadyCK;
    PNetPoll_EventCK pWriteReadyCK;
    PNetPoll_EventCK pErrorCK;
    PNetPoll_EventCK pUnregDoneCK;
    NetPollRegFd_Node node; // on the removal list
    SOCKET sock;
    UINT64 magic; // NET_POLL__MAGIC while registered
};

struct NetPoll_OS {
    MosFastlock_Base pollFastlock; // remSocketList
    NetPoll_RegFd evtReg;          // the wake-up event's registration
    MosNet_IoEvt epollEvt;
    OsNet_EpollFdArr epollSet;
    NetPollRegFd_Anchor remSocketList;
};

// The debug query record (SDBG_EXPORTS_OBJ_TYPE__NET_POLL).
struct NetPollQuery {
    UINT32 numOfDummyWakeup;
    UINT32 numOfGoodWakeup;
    UINT32 numOfFdSet;
    UINT32 numOfWakeup;
    UINT32 numOfDelay;
    UINT32 numOfSockets;
    UINT32 numOfSocketsInArray;
};
static_assert(sizeof(NetPollQuery) == 28);

struct NetPoll {
    MosUmt_Bound umtBound;
    MosObj sdbgObj;
    Net *pNet;
    NetConfParam *pConfParam;
    NetPollQuery dbgQuery;
    MosMit_Scheduler sched; // tasks that run on the poll thread
    MosMit_Anchor mitWaiters;
    NetPoll_OS os;
    MosFastlock_Base lock; // mitWaiters
    MosUmt_Event pauseEvent; // set: running
    BOOL bStop;              // the loop ends at the top of its next iteration
    BOOL bStarted;
};

void netPoll_Init(NetPoll *pPoll, Net *pNet, NetConfParam *pConfParam);
void netPoll_InitIntrn(NetPoll *pPoll);
void netPoll_Start(NetPoll *pPoll, BOOL bHighPrio);
// Ends the loop and joins it (from an OS thread that is not the poll thread), then releases what
// netPoll_Init created. Every socket must have been removed before.
void netPoll_Destroy(NetPoll *pPoll);
void netPoll_Pause(NetPoll *pPoll, BOOL bPause);
void netPoll_Query(MosObj *pObj, const CHAR_A *pName, void *pData);

void netPollRegFD_Init(NetPoll_RegFd *pReg, SOCKET sock, PNetPoll_EventCK pUnregDoneCK, PNetPoll_EventCK pReadReadyCK,
                       PNetPoll_EventCK pWriteReadyCK, PNetPoll_EventCK pErrorCK);
void netPoll_AddSocket(NetPoll *pPoll, NetPoll_RegFd *pReg);
void netPollRegFd_SetTriggers(NetPoll *pPoll, NetPoll_RegFd *pReg, BOOL bRead, BOOL bWrite, BOOL bError);
void netPollRegFd_ModWriteCK(NetPoll_RegFd *pReg, PNetPoll_EventCK pWriteReadyCK);
// Always MOS_RC__PENDING: pUnregDoneCK follows on the poll thread.
Mos_RC netPoll_RemSocket(NetPoll *pPoll, NetPoll_RegFd *pReg);
void netPoll_Wakeup(NetPoll *pPoll);
// The poll's task scheduler: the task runs after the current or next wait ends (no wake-up).
void netPoll_SingleShotMitScheduler(MosMit *pMit);
void netPollEvt_Nop(NetPoll_RegFd *pReg);
