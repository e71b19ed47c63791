#include "tgt/tgt_umt_class.h"

#include "mos/mos_assert.h"

namespace {
// clang-format off
constexpr MosUmt_ClassAttr kClassTable[MOS_UMT_CLASS_TYPE__LAST] = {
    {"COMMON_REPOSITORY_POOL"}, {"COMMON_OSTREL_CLUSTER_ACTOR"}, {"COMMON_OSTREL_CLUSTER_VOTER"},
    {"COMMON_OSTREL_CLUSTER_SYNCER"}, {"COMMON_OSTREL_CLUSTER_DEGRADOR"}, {"COMMON_NET_POLL"},
    {"NET_COMMON_EPOLL_WORK_GROUP"}, {"NET_RECV_GRP_COMMON_COMMANDS"}, {"NET_RECV_GRP_COMMON_NET_DEF"},
    {"NET_RECV_GRP_COMMON_ACTOR_VOTER"}, {"NET_RECV_GRP_COMMON_ACTOR_CLI"},
    {"NET_RECV_GRP_COMMON_ACTOR_COMMON_CMD"}, {"NET_RECV_GRP_COMMON_VOTER"},
    {"NET_RECV_GRP_COMMON_ACTOR_CTRL"}, {"NET_RECV_GRP_COMMON_TGT_CTRL"},
    {"NET_RECV_GRP_COMMON_TGT_CTRL_SEC"}, {"NET_RECV_GRP_COMMON_INI_IO"},
    {"NET_RECV_GRP_COMMON_TGT_IO_MAIN"}, {"NET_RECV_GRP_COMMON_TGT_IO_COPY"},
    {"NET_RECV_GRP_COMMON_TGT_KEEP_ALIVE"}, {"NET_RECV_GRP_COMMON_TGT_YARRIN"},
    {"NET_RECV_GRP_COMMON_TGT_SMS"}, {"NET_RECV_GRP_COMMON_SYNCER_RESYNC"},
    {"NET_RECV_GRP_COMMON_OSTREL_CONTROL"}, {"COMMON_SCHED_THRD_GUARD"},
    {"TGT_SERVICE_INIT"}, {"TGT_SHUTDOWN"}, {"TGT_ADD_DEVICE"}, {"TGT_ADD_COMB"},
    {"TGT_ZERO_FREE_METADATA"}, {"TGT_DISK_TEST"}, {"TGT_NET_TEST"}, {"TGT_WATCHDOG_FREQ"},
    {"TGT_WATCHDOG_RARE"}, {"TGT_WATCHDOG_DEV"}, {"TGT_WATCHDOG_STUCK"}, {"TGT_KEEP_ALIVE"},
    {"TGT_RCACHE_UPDATE_OSTREL"}, {"TGT_RCACHE_PURGE"}, {"TGT_RCACHE_CHANGE_SIZE"},
    {"TGT_RAID_SYNC_POOL"}, {"TGT_WORKER_POOL"}, {"TGT_BACKGROUND_SCAN"}, {"UTIL_TGT_TEST"},
    {"UTIL_TGT_IO_GENERATOR"}, {"TGT_FLCACHE"}, {"TGT_CON_MONITOR"}, {"TGT_UNITTEST"}, {"TGT_CFG"},
    {"TGT_SYNC_CHANNEL"}, {"TGT_METADATA_POLLER"}, {"TGT_PHY_DEV_PATH"},
    {"TGT_CONT_DEV_MNGR_VALIDATE_DEV_HEADER"}, {"TGT_REM_DEV"},
};
// clang-format on

MosUmtClassId tgtUmtClassIds_G[MOS_UMT_CLASS_TYPE__LAST];

MosUmtClassId tgt_GetCommonUmtClassId(CommonUmtClassType classType)
{
    return tgt_GetUmtClassId(classType);
}
} // namespace

void tgt_UmtClassInit(void)
{
    mosUmtClassMgr_Init(kClassTable, MOS_UMT_CLASS_TYPE__LAST, tgtUmtClassIds_G);
    common_UmtClassInit(tgt_GetCommonUmtClassId);
}

MosUmtClassId tgt_GetUmtClassId(UINT32 classType)
{
    MOS_ASSERT(classType < MOS_UMT_CLASS_TYPE__LAST);
    const MosUmtClassId &id = tgtUmtClassIds_G[classType];
    MOS_ASSERT(mosUmtClassId_IsValid(&id));
    return id;
}

const CHAR_A *tgt_GetUmtClassName(UINT32 classType)
{
    return classType < MOS_UMT_CLASS_TYPE__LAST ? kClassTable[classType].name : nullptr;
}
