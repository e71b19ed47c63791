// User-mode-thread classes of the shared code. The messaging layer (and other code shared by the
// product's programs) never owns class identifiers: it names a class type and asks the program,
// which installs its lookup routine at start-up before any messaging object is created.
#pragma once

#include "mos/umt/mos_umt_class.h"

enum CommonUmtClassType : UINT32 {
    MOS_UMT_CLASS_TYPE__COMMON_REPOSITORY_POOL = 0,
    MOS_UMT_CLASS_TYPE__COMMON_OSTREL_CLUSTER_ACTOR = 1,
    MOS_UMT_CLASS_TYPE__COMMON_OSTREL_CLUSTER_VOTER = 2,
    MOS_UMT_CLASS_TYPE__COMMON_OSTREL_CLUSTER_SYNCER = 3,
    MOS_UMT_CLASS_TYPE__COMMON_OSTREL_CLUSTER_DEGRADOR = 4,
    MOS_UMT_CLASS_TYPE__COMMON_NET_POLL = 5,
    MOS_UMT_CLASS_TYPE__NET_COMMON_EPOLL_WORK_GROUP = 6,
    MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_COMMANDS = 7,
    MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_NET_DEF = 8,
    MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_ACTOR_VOTER = 9,
    MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_ACTOR_CLI = 10,
    MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_ACTOR_COMMON_CMD = 11,
    MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_VOTER = 12,
    MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_ACTOR_CTRL = 13,
    MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_TGT_CTRL = 14,
    MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_TGT_CTRL_SEC = 15,
    MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_INI_IO = 16,
    MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_TGT_IO_MAIN = 17,
    MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_TGT_IO_COPY = 18,
    MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_TGT_KEEP_ALIVE = 19,
    MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_TGT_YARRIN = 20,
    MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_TGT_SMS = 21,
    MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_SYNCER_RESYNC = 22,
    MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_OSTREL_CONTROL = 23,
    MOS_UMT_CLASS_TYPE__COMMON_SCHED_THRD_GUARD = 24,
    COMMON_UMT_CLASS_TYPE__LAST = 25,
};

typedef MosUmtClassId (*Common_GetUmtClassIdRoutine)(CommonUmtClassType classType);

// Installs the program's routine (null uninstalls it, for tests).
void common_UmtClassInit(Common_GetUmtClassIdRoutine pRoutine);
// What the installed routine answers; asking before one is installed is a panic.
MosUmtClassId common_GetUmtClassId(CommonUmtClassType classType);
