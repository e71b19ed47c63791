// The messaging layer's root object, one per process, owned and filled by its controller.
//
// This header holds the engine part of the object: the configuration, the worker scheduler, the
// work group and the poll loop, the timer queues the poll drives and the source of message ids.
// The path manager, connection manager and listener join it as members of their own.
#pragma once

#include "linux/net/net_poll.h"
#include "mos/mos_timer.h"
#include "mos/umt/mos_umt.h"
#include "net/net_conf.h"
#include "net/net_root.h"
#include "net/net_work_group.h"

struct Net {
    MosUmt_Sched *pNetWorkerSched; // where the workers run (null: the default scheduler)
    MosUmt_Sched *pUmtSched;       // the scheduler the caller gave
    NetWorkGroup wrkGrp;
    NetPoll poll;
    NetConfParam confParam; // a private copy
    NetMsgSchedType netMsgSchedType;
    UINT32 nextMsgId; // incremented atomically
    BOOL bHighPrioPollThrd;
    MosTimerQ_ID startQ; // the timer queues the poll thread drives, both included
    MosTimerQ_ID endQ;
};
