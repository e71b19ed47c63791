// Who this server is (GET_VER, GET_TGT_PROP) and the commands that stop and resume client I/O:
// snapshot quiesce of listed volumes and the cluster-wide quiesce in the I/O handler.
#include <cstdio>

#include "mos/mos_trace.h"
#include "mos/mos_version.h"
#include "net/net.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_cmd_ident_rec.h"
#include "tgt/cont/cont_cmd_intrn.h"
#include "tgt/cont/cont_dev.h"
#include "tgt/cont/cont_volume.h"

namespace {

// Marks each listed volume; an unknown one is traced and skipped, so a snapshot of the others
// still goes ahead.
void contCmd_MarkVolsQuiesced(ContCmdCtx *pCtx, UINT32 arrOff, BOOL bQuiesced)
{
    Cont *pCont = pCtx->pCont;
    const UINT32 n = contCmd_RecAt<UINT32>(pCtx, 0);
    for (UINT32 i = 0; i < n; i++) {
        const UINT64 volId = contCmd_RecAt<UINT64>(pCtx, arrOff + (UINT64)i * sizeof(UINT64));
        auto *pVol = static_cast<ContVol *>(contObj_Acquire(&pCont->objs, volId, CONT_OBJ_TYPE__VOL));
        if (pVol == nullptr) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Quiesce of vol %lx: %s", (unsigned long)volId,
                      mosRc_GetStr(MOS_RC__NOT_FOUND));
            continue;
        }
        if (!bQuiesced)
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "VolId %lx VtreeId %lx", (unsigned long)volId,
                      (unsigned long)pVol->vtreeId);
        contVol_UpdateQuiesced(pVol, bQuiesced);
        contObj_Release(&pCont->objs, volId, CONT_OBJ_TYPE__VOL);
    }
}

Mos_RC contCmd_Quiesce(ContCmdCtx *pCtx, Mos_RC (*pFn)(Ioh *, UINT32))
{
    const auto rec = contCmd_RecAt<OstrelTgtReq_Quiesce>(pCtx, 0);
    const Mos_RC rc = pFn(&pCtx->pCont->ioh, rec.quiesceGeneration);
    if (rc == MOS_RC__SUCCESS)
        contDevMngr_UpdateDrlModeOnAll(&pCtx->pCont->devMngr, rec.bMemDRL != 0);
    return rc;
}

} // namespace

Mos_RC contCmd_GetVerCmd(ContCmdCtx *pCtx)
{
    OstrelTgtRsp_GetVer ans{};
    ans.version = net_GetMyNumericVersion();
    ans.maxVersionLen = sizeof(ans.verString);
    snprintf(ans.verString, sizeof(ans.verString), "%s", mosVersion_GetBanner());
    contCmd_AppendAnswer(pCtx->pRes, &ans, sizeof(ans));
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_GetTgtPropCmd(ContCmdCtx *pCtx)
{
    Cont *pCont = pCtx->pCont;
    OstrelTgtRsp_GetTgtProp ans{pCont->ostrel.ostrelId, pCont->ostrel.tgtId};
    if (ans.ostrelId == 0 && ans.tgtId == 0) {
        // Not adopted since start: what a previous life recorded. A file that cannot be read
        // leaves zeros, which is the truth as far as this server knows.
        UINT64 tgtId = 0, ostrelId = 0;
        if (contOstrel_ReadValuesFromRepository(pCont, &tgtId, &ostrelId) == MOS_RC__SUCCESS) {
            ans.tgtId = tgtId;
            ans.ostrelId = ostrelId;
        }
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Fetched values from repository file: tgtId=%lx, ostrelId=%lx",
                  (unsigned long)ans.tgtId, (unsigned long)ans.ostrelId);
    }
    contCmd_AppendAnswer(pCtx->pRes, &ans, sizeof(ans));
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_QuiescedVolumesCmd(ContCmdCtx *pCtx)
{
    contCmd_MarkVolsQuiesced(pCtx, sizeof(OstrelTgtReq_CreateSnapshotStart), TRUE);
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_UnquiescedVolumesCmd(ContCmdCtx *pCtx)
{
    contCmd_MarkVolsQuiesced(pCtx, sizeof(OstrelTgtReq_CreateSnapshotEnd), FALSE);
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_StartQuiesceCmd(ContCmdCtx *pCtx)
{
    return contCmd_Quiesce(pCtx, ioh_StartQuiesce);
}

Mos_RC contCmd_StopQuiesceCmd(ContCmdCtx *pCtx)
{
    return contCmd_Quiesce(pCtx, ioh_StopQuiesce);
}

Mos_RC contCmd_QueryIsQuietAndFlushedCmd(ContCmdCtx *pCtx)
{
    Ioh *pIoh = &pCtx->pCont->ioh;
    const OstrelTgtRsp_QueryIsQuietAndFlushed ans{ioh_GetQuiesceGenNum(pIoh), ioh_QueryIsQuietAndFlushed(pIoh) ? 1u : 0u};
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "QueryIsQuietAndFlushed: return value is %s",
              ans.bIsQuietAndFlushed != 0 ? "TRUE" : "FALSE");
    contCmd_AppendAnswer(pCtx->pRes, &ans, sizeof(ans));
    return MOS_RC__SUCCESS;
}
