// What the connection module's files share that is not their API.
#pragma once

#include "mos/mos_trace.h"
#include "net/net_root.h"
#include "net/net_con.h"

#define NET_CON_TRACE(pCon, freq, format, ...)                                                                    \
    MOS_TRACE(MOS_COMP_NET, freq, " :: %s %s con %p conId(%lx) hCon %lx ownerType %s " format,                    \
              netCon_StateStr((pCon)->conState), netCon_TypeStr((pCon)->conType), (void *)(pCon),                 \
              (unsigned long)(pCon)->conId, (unsigned long)(pCon)->hCon, NET_OWNER_TYPE__GET_STR((pCon)->ownerType), \
              ##__VA_ARGS__)

HNetCon netCon_Init(NetCon *pCon, Net *pNet, ConId conId, NetOwnerType ownerType, const NetConCallback *pCB,
                    ConState conState, ConType conType);
void netCon_Destroy(NetCon *pCon);
Mos_RC netCon_ClientRemovePortalByIdxLocked(NetCon *pCon, UINT32 portalIdx);
Mos_RC netCon_ClientRemovePortalLocked(NetCon *pCon, const NetAddress *pAddr);
// Removes the connection's id from the table when it is registered with this very handle.
BOOL netConManager_DeleteCon(NetConManger *pMgr, NetCon *pCon);
