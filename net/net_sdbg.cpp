#include "net/net_sdbg.h"

#include <cstring>

#include "linux/net/net_poll.h"
#include "mos/mos_dbg.h"
#include "mos/sdbg/sdbg_exports.h"
#include "net/net.h"
#include "net/net_con.h"
#include "net/net_path.h"
#include "net/net_path_mgr.h"
#include "net/net_rcv_group.h"
#include "net/net_work_group.h"

namespace {
NetSdbg netSdbg_G;
BOOL netSdbg_bRegistered_G = FALSE;

struct NetSdbg_TypeEntry {
    MosObj_Type NetSdbg::*pType;
    PMosObj_QueryFunc pQuery;
    UINT32 typeID;
    UINT32 querySize;
};
// Registered in this order, unregistered in the reverse one.
const NetSdbg_TypeEntry netSdbg_Types_G[] = {
    {&NetSdbg::pathType, netPath_Query, SDBG_EXPORTS_OBJ_TYPE__NET_PATH, sizeof(NetPath_Query)},
    {&NetSdbg::pathMgrType, netPathMgr_Query, SDBG_EXPORTS_OBJ_TYPE__NET_PATH_MGR, sizeof(NetPathMgr_Query)},
    {&NetSdbg::conType, netCon_Query, SDBG_EXPORTS_OBJ_TYPE__NET_CON, sizeof(NetCon_Query)},
    {&NetSdbg::conMngType, netConManager_Query, SDBG_EXPORTS_OBJ_TYPE__NET_CON_MNG, sizeof(NetConManagerQuery)},
    {&NetSdbg::recvGrpType, netRecvGroup_Query, SDBG_EXPORTS_OBJ_TYPE__NET_RECV_GRP, sizeof(NetRecvGroupQuery)},
    {&NetSdbg::workGrpType, netWorkGroup_Query, SDBG_EXPORTS_OBJ_TYPE__NET_WORK_GRP, sizeof(NetWorkGroupQuery)},
    {&NetSdbg::pollType, netPoll_Query, SDBG_EXPORTS_OBJ_TYPE__NET_POLL, sizeof(NetPollQuery)},
};
} // namespace

void netSdbg_Register(void)
{
    MOS_ASSERT(!netSdbg_bRegistered_G);
    memset(static_cast<void *>(&netSdbg_G), 0, sizeof(netSdbg_G));
    for (const NetSdbg_TypeEntry &e : netSdbg_Types_G)
        mosObjType_RegObjType(&(netSdbg_G.*e.pType), e.pQuery, nullptr, e.typeID, e.querySize);
    netSdbg_bRegistered_G = TRUE;
}

void netSdbg_Unregister(void)
{
    if (!netSdbg_bRegistered_G)
        return;
    netSdbg_bRegistered_G = FALSE;
    for (size_t i = MOS_ARRAY_SIZE(netSdbg_Types_G); i-- > 0;)
        mosObjType_UnregObjType(&(netSdbg_G.*netSdbg_Types_G[i].pType));
}

void net_GlobalInit(void)
{
    netSdbg_Register();
}

void net_GlobalDestroy(void)
{
    netSdbg_Unregister();
}
