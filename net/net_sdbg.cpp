#include "net/net_sdbg.h"

#include <cstring>

#include "linux/net/net_poll.h"
#include "mos/mos_dbg.h"
#include "mos/sdbg/sdbg_exports.h"
#include "net/net.h"
#include "net/net_con.h"
#include "net/net_path.h"
#include "net/net_path_mgr.h"
#include "net/net_work_group.h"

namespace {
NetSdbg netSdbg_G;
BOOL netSdbg_bRegistered_G = FALSE;
} // namespace

void netSdbg_Register(void)
{
    MOS_ASSERT(!netSdbg_bRegistered_G);
    memset(static_cast<void *>(&netSdbg_G), 0, sizeof(netSdbg_G));
    mosObjType_RegObjType(&netSdbg_G.pathType, netPath_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__NET_PATH,
                          sizeof(NetPath_Query));
    mosObjType_RegObjType(&netSdbg_G.pathMgrType, netPathMgr_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__NET_PATH_MGR,
                          sizeof(NetPathMgr_Query));
    mosObjType_RegObjType(&netSdbg_G.conType, netCon_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__NET_CON,
                          sizeof(NetCon_Query));
    mosObjType_RegObjType(&netSdbg_G.conMngType, netConManager_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__NET_CON_MNG,
                          sizeof(NetConManagerQuery));
    mosObjType_RegObjType(&netSdbg_G.workGrpType, netWorkGroup_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__NET_WORK_GRP,
                          sizeof(NetWorkGroupQuery));
    mosObjType_RegObjType(&netSdbg_G.pollType, netPoll_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__NET_POLL,
                          sizeof(NetPollQuery));
    netSdbg_bRegistered_G = TRUE;
}

void netSdbg_Unregister(void)
{
    if (!netSdbg_bRegistered_G)
        return;
    netSdbg_bRegistered_G = FALSE;
    mosObjType_UnregObjType(&netSdbg_G.pollType);
    mosObjType_UnregObjType(&netSdbg_G.workGrpType);
    mosObjType_UnregObjType(&netSdbg_G.conMngType);
    mosObjType_UnregObjType(&netSdbg_G.conType);
    mosObjType_UnregObjType(&netSdbg_G.pathMgrType);
    mosObjType_UnregObjType(&netSdbg_G.pathType);
}

void net_GlobalInit(void)
{
    netSdbg_Register();
}

void net_GlobalDestroy(void)
{
    netSdbg_Unregister();
}
