// The mirrored write, trim and read of a comb.
#include "tgt/raid/raid_io.h"

#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "tgt/raid/raid_comb_intrn.h"

Mos_RC raidRpc_Call(Cont *pCont, const RaidCon *pCon, RaidRpc *pRpc, UINT32 msgType, UINT32 grpId, const void *pRec,
                    UINT32 recLen, void *pRsp, UINT32 rspCap)
{
    const RaidHooks *h = raid_Hooks();
    pRpc->msgType = msgType;
    pRpc->grpId = grpId;
    pRpc->pRec = pRec;
    pRpc->recLen = recLen;
    pRpc->pRsp = pRsp;
    pRpc->rspCap = rspCap;
    pRpc->rspRc = MOS_RC__ERROR;
    pRpc->rspLen = 0;
    Mos_RC rc = h->sendRpc(pCont, pCon, pRpc);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    return h->waitRpc(pCont, pRpc);
}
