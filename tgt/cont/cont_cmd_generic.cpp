// The generic types of the messaging layer that reach the command door: trace levels, the
// diagnostic counters (plain and extended) and the answer to an authentication challenge. They
// take no lock; the add-manager and target-identifier admission applies to them as to every
// command.
#include <algorithm>
#include <cstddef>
#include <vector>

#include "mos/mos_diag_counters.h"
#include "mos/mos_trace.h"
#include "mos/usr/security/mos_auth.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_cmd_intrn.h"

namespace {

#pragma pack(push, 1)
struct OstrelTgtReq_ConfigureTraceFreqs {
    UINT8 pFreqsMap[MOS_TRACE__MAP_SIZE];
    UINT32 mapSize;
};
#pragma pack(pop)
static_assert(sizeof(OstrelTgtReq_ConfigureTraceFreqs) == 24);
static_assert(offsetof(OstrelTgtReq_ConfigureTraceFreqs, mapSize) == 20);

// The answer: the query head as the request gave it (its count set, its pointer cleared: no
// address of this process goes on the wire), then room for every counter.
Mos_RC contCmd_QueryDiagCounters(ContCmdCtx *pCtx, BOOL bExt)
{
    const UINT32 n = mosDiagCounters_GetNumOfCounters();
    const size_t entrySize = bExt ? sizeof(MosDiagCounterExtEntry) : sizeof(MosDiagCounterEntry);
    std::vector<UINT8> reply(sizeof(MosDiagCountersQuery) + entrySize * n);
    MosDiagCountersQuery q{};
    memcpy(&q, pCtx->pRec, std::min<size_t>(pCtx->recLen, sizeof(q)));
    q.numOfElements = n;
    q.pElementsArr = reinterpret_cast<MosDiagCounterEntry *>(reply.data() + sizeof(q));
    const Mos_RC rc = mosDiagCounters_QueryExt(&q, bExt);
    if (rc != MOS_RC__SUCCESS || q.numOfElements > n) {
        MOS_ERROR(MOS_COMP_TGT_CONT, "QUERY_DIAG_COUNTERS: unexpected number of elements");
        return rc != MOS_RC__SUCCESS ? rc : MOS_RC__ERROR;
    }
    q.ptrPad = 0;
    memcpy(reply.data(), &q, sizeof(q));
    contCmd_AppendAnswer(pCtx->pRes, reply.data(), (UINT32)reply.size());
    return MOS_RC__SUCCESS;
}

} // namespace

Mos_RC contCmd_ConfigureTraceFreqsCmd(ContCmdCtx *pCtx)
{
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "got a configure traces command");
    if (pCtx->recLen < sizeof(OstrelTgtReq_ConfigureTraceFreqs)) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Configure traces: a record of %u bytes holds no map", pCtx->recLen);
        return MOS_RC__INTERFACE_ERROR;
    }
    const auto rec = contCmd_RecAt<OstrelTgtReq_ConfigureTraceFreqs>(pCtx, 0);
    // A map of another size is refused (and traced) by the trace configuration itself.
    mosTraceConf_SetFromdZipped(rec.pFreqsMap, rec.mapSize);
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_QueryDiagCountersCmd(ContCmdCtx *pCtx)
{
    return contCmd_QueryDiagCounters(pCtx, FALSE);
}

Mos_RC contCmd_QueryDiagCountersExtCmd(ContCmdCtx *pCtx)
{
    return contCmd_QueryDiagCounters(pCtx, TRUE);
}

// The server answers under its own identifier, the 8 bytes of its TgtId.
Mos_RC contCmd_ChallengeResponseCmd(ContCmdCtx *pCtx)
{
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Challenge response command received");
    const TgtId id = cont_GetTgtId(pCtx->pCont);
    UINT8 *pAnswer = nullptr;
    UINT32 len = 0;
    const Mos_RC rc = mosAuth_CreateResponseMsg(reinterpret_cast<const UINT8 *>(&id), sizeof(id), pCtx->pRec,
                                                pCtx->recLen, &pAnswer, &len);
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Failed to process the challenge (%s)", mosRc_GetStr(rc));
        return rc == MOS_RC__ERROR ? MOS_RC__ERROR_LOADING_SECURITY : rc;
    }
    contCmd_AppendAnswer(pCtx->pRes, pAnswer, len);
    mosAuth_DestroyMsg(pAnswer);
    return MOS_RC__SUCCESS;
}
