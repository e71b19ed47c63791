// The Ostrel's reads of the media metadata that the installation-agent poller stored in the
// device and flash-cache device objects.
#include <algorithm>
#include <vector>

#include "mos/mos_utils_mem.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_cmd_intrn.h"
#include "tgt/cont/cont_cmd_media_rec.h"
#include "tgt/cont/cont_dev.h"
#include "tgt/cont/cont_flcache_dev.h"
#include "tgt/cont/cont_yarrin.h"

Mos_RC contCmd_QueryDevMetadataCmd(ContCmdCtx *pCtx)
{
    Cont *pCont = pCtx->pCont;
    OstrelTgtRsp_QueryDevMetadata head{};
    const UINT32 room = contMngr_Count(&pCont->devMngr.devs);
    std::vector<ContDevMetadata> devs(room);
    const UINT32 numDevs = room != 0 ? contDevMngr_GetMetadata(&pCont->devMngr, devs.data(), room) : 0;
    MosMedia_RaidController *pCtrls = nullptr;
    UINT16 numCtrls = 0;
    if (contRaidCtrl_GetMetadata(&pCont->raidCtrl, &numCtrls, &pCtrls) != MOS_RC__SUCCESS ||
        (numCtrls != 0 && pCtrls == nullptr)) {
        if (pCtrls != nullptr)
            mos_MemFree(pCtrls);
        return MOS_RC__NO_RESOURCES;
    }
    std::vector<MosMedia_Metadata> fl(MAX_NUM_FLCACHE_DEV_PER_TGT);
    UINT32 numFl = 0;
    contFlcacheDevMngr_GetMetadata(&pCont->flcacheDevMngr, fl.data(), &numFl);
    numFl = std::min(numFl, MAX_NUM_FLCACHE_DEV_PER_TGT);
    head.numDevs = (UINT16)numDevs;
    head.numRaidCtrls = numCtrls;
    head.numFlcacheDevs = (UINT16)numFl;
    contCmd_AppendAnswer(pCtx->pRes, &head, sizeof(head));
    if (numDevs != 0)
        contCmd_AppendAnswer(pCtx->pRes, devs.data(), numDevs * (UINT32)sizeof(ContDevMetadata));
    if (numCtrls != 0)
        contCmd_AppendAnswer(pCtx->pRes, pCtrls, numCtrls * (UINT32)sizeof(MosMedia_RaidController));
    if (numFl != 0)
        contCmd_AppendAnswer(pCtx->pRes, fl.data(), numFl * (UINT32)sizeof(MosMedia_Metadata));
    if (pCtrls != nullptr)
        mos_MemFree(pCtrls);
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_QueryDevAdvanceMetadataCmd(ContCmdCtx *pCtx)
{
    Cont *pCont = pCtx->pCont;
    const UINT64 devId = contCmd_RecAt<OstrelTgtReq_QueryDevAdvancedMetadata>(pCtx, 0).devId;
    std::vector<UINT8> ans(sizeof(OstrelTgtRsp_QueryDevAdvancedMetadata));
    auto *pAns = reinterpret_cast<OstrelTgtRsp_QueryDevAdvancedMetadata *>(ans.data());
    pAns->devId = devId;
    if (auto *pDev = static_cast<ContDev *>(contObj_AcquireReadLock(&pCont->objs, devId, CONT_OBJ_TYPE__DEV))) {
        memcpy(&pAns->advancedMetadata, &pDev->devMetadata.frequentMetadata, sizeof(pAns->advancedMetadata));
        contObj_ReleaseReadLock(&pCont->objs, devId, CONT_OBJ_TYPE__DEV);
    } else if (ContFlcacheDev *pFl = cont_AcquireFlcacheCacheDev(pCont, devId)) {
        memcpy(&pAns->advancedMetadata, &pFl->cacheDevMetadata.frequentMetadata, sizeof(pAns->advancedMetadata));
        cont_ReleaseFlcacheCacheDev(pCont, devId);
    } else {
        return MOS_RC__TGT_DEVICE_NOT_FOUND;
    }
    contCmd_AppendAnswer(pCtx->pRes, ans.data(), (UINT32)ans.size());
    return MOS_RC__SUCCESS;
}
