// Add-manager and clean-up: how an Ostrel adopts this server and lets it go again.
//
// Every value of the add-manager record that the adoption would take on trust is tested before
// anything changes: an id or generation of 0, and a comb size that is 0, not a whole number of
// teeth, or a second change of a size that every device header already records, are refused
// with MOS_RC__INVALID and a trace line.
#include <cstring>

#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "net/net.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_dev.h"
#include "tgt/cont/cont_cmd_intrn.h"
#include "tgt/raid/raid_resync.h"
#include "tgt/tgt_conf.h"

namespace {

constexpr UINT32 kLbsInTooth = 2048; // also LB in one MB
constexpr UINT32 kCopySlotMultiplier = 3;

// A limit in MB as LB, when it fits the copy limiter's 32 bits.
BOOL contCmd_FitsInLbs(UINT32 mb)
{
    return (UINT64)mb * kLbsInTooth <= UINT32_MAX;
}

BOOL contCmd_IsAdoptionApplied(Mos_RC rc)
{
    return rc == MOS_RC__SUCCESS || rc == MOS_RC__ALREADY_EXISTS || rc == MOS_RC__TGT_ACTIVE_ATTACH_TO_THIS_OSTREL ||
           rc == MOS_RC__TGT_ALREADY_ATTACH_TO_THIS_OSTREL;
}

// 65 when the record may be adopted as it is, else MOS_RC__INVALID (traced).
Mos_RC contCmd_ValidateAddOstrel(const OstrelTgtReq_AddOstrel &rec)
{
    const char *pWhy = nullptr;
    if (rec.tgtId == 0)
        pWhy = "no server id";
    else if (rec.ostrelTgtConnectionGenNum == 0)
        pWhy = "no connection generation";
    else if (rec.combSizeInLbs != combSizeInLbs_g &&
             (rec.combSizeInLbs == 0 || rec.combSizeInLbs % kLbsInTooth != 0))
        pWhy = "a comb size that is not a whole number of teeth";
    else if (rec.combSizeInLbs != combSizeInLbs_g && combSizeInLbs_g != TGT__DEFAULT_COMB_SIZE_IN_LBS)
        pWhy = "a second change of the comb size";
    else if (!contCmd_FitsInLbs(rec.rebuildLimitInMBs) || !contCmd_FitsInLbs(rec.rebalanceLimitInMBs) ||
             !contCmd_FitsInLbs(rec.ioLimitInMBs))
        pWhy = "a copy limit beyond 32 bits of LB";
    if (pWhy == nullptr)
        return MOS_RC__SUCCESS;
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Ostrel refused (%s): tgtId %lx, generation %u, comb size %u (%u)",
              pWhy, (unsigned long)rec.tgtId, (unsigned)rec.ostrelTgtConnectionGenNum, rec.combSizeInLbs,
              combSizeInLbs_g);
    return MOS_RC__INVALID;
}

Mos_RC contCmd_AddOstrelIntrn(Cont *pCont, const OstrelTgtReq_AddOstrel &rec, HNetCon hCon)
{
    UINT64 knownTgtId = 0, knownOstrelId = 0;
    Mos_RC rc = contOstrel_ValidateOstrel(pCont, &pCont->ostrel, rec.tgtId, rec.ostrelId, &knownTgtId, &knownOstrelId);
    switch (rc) {
    case MOS_RC__ALREADY_EXISTS:
    case MOS_RC__TGT_ACTIVE_ATTACH_TO_THIS_OSTREL:
        kalive_Update(&pCont->ostrel.kalive, rec.tgtId, rec.keepaliveTimeoutMs);
        tgtPerfInitParam_G.keepaliveTimeMs = rec.keepaliveTimeoutMs;
        cmonitor_Update(&pCont->ostrel.conMonitor, rec.tgtId);
        return rc;
    case MOS_RC__TGT_ACTIVE_ATTACH_TO_OTHER_OSTREL:
        return rc;
    case MOS_RC__TGT_ALREADY_ATTACH_TO_THIS_OSTREL:
    case MOS_RC__TGT_ALREADY_ATTACH_TO_OTHER_OSTREL:
        if (!rec.bForceClean)
            return rc;
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Call cleanup, rc is %s", mosRc_GetStr(rc));
        MOS_ASSERT(contCmd_CleanUp(pCont) == MOS_RC__SUCCESS);
        [[fallthrough]];
    case MOS_RC__SUCCESS:
        // The link's first keep-alive and vector go out as the adoption starts them: they must
        // find the adopting Ostrel's connection already in place.
        cont_UpdateOstrelCon(pCont, hCon);
        return contOstrel_AddOstrel(&pCont->ostrel, pCont, rec.tgtId, rec.ostrelId, rec.keepaliveTimeoutMs,
                                    rec.bNew, knownTgtId, knownOstrelId);
    default:
        MOS_UNREACHABLE("unexpected validation result");
    }
}

void contCmd_UpdateInfoOnAddOstrel(Cont *pCont, const OstrelTgtReq_AddOstrel &rec, Mos_RC rc, HNetCon hCon)
{
    if (rc == MOS_RC__SUCCESS)
        contNet_UpdateConId(&pCont->net, rec.tgtId);
    if (!contCmd_IsAdoptionApplied(rc))
        return;
    kalive_Update(&pCont->ostrel.kalive, rec.tgtId, rec.keepaliveTimeoutMs);
    tgtPerfInitParam_G.keepaliveTimeMs = rec.keepaliveTimeoutMs;
    cmonitor_Update(&pCont->ostrel.conMonitor, rec.tgtId);
    if (rec.combSizeInLbs != combSizeInLbs_g) { // validated: the first change, whole teeth
        combSizeInLbs_g = rec.combSizeInLbs;
        teethInComb_g = rec.combSizeInLbs / kLbsInTooth;
    }
    if (RaidSyncPool *pPool = raidSyncPool_Get())
        raidSyncPool_UpdateLimits(pPool, rec.rebuildLimitInMBs * kLbsInTooth, rec.rebalanceLimitInMBs * kLbsInTooth,
                                  rec.ioLimitInMBs * kLbsInTooth, kCopySlotMultiplier);
    (void)rcache_UpdateState(cont_GetCache(pCont), rec.bCacheEnabled, rec.bCacheFrozen,
                             (UINT64)rec.cacheSizeInMb * kLbsInTooth);
    cont_UpdateOstrelCon(pCont, hCon);
}

// The adoption under the write lock: the code, with the answer appended unless the record's
// generation is older than the server's.
Mos_RC contCmd_AddOstrelLocked(ContCmdCtx *pCtx, const OstrelTgtReq_AddOstrel &rec)
{
    Cont *pCont = pCtx->pCont;
    if (rec.bNew && rec.cacheSizeInMb > pCont->cacheSizeLimitInMb) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "TGT: %016lx Requested cache size %d exceeds limit %d",
                  (unsigned long)rec.tgtId, (int)rec.cacheSizeInMb, (int)pCont->cacheSizeLimitInMb);
        return MOS_RC__TGT_CACHE_EXCEEDS_LIMIT;
    }
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "%s %lx - %s rc = %s", "TgtId", (unsigned long)rec.tgtId, "Start",
              mosRc_GetStr(MOS_RC__SUCCESS));
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Ostrel ID %lx current %lx ostrelTgtConnectionGenNum %u (%u)Comb size %u",
              (unsigned long)rec.ostrelId, (unsigned long)pCont->ostrel.ostrelId,
              (unsigned)rec.ostrelTgtConnectionGenNum, (unsigned)pCont->ostrelTgtConnectionGenNum, rec.combSizeInLbs);
    if (rec.tgtId == cont_GetTgtId(pCont) &&
        contCmd_IsGenStale(pCont->ostrelTgtConnectionGenNum, rec.ostrelTgtConnectionGenNum))
        return MOS_RC__ERROR;
    if (!pCont->bRecvAddOstrel) {
        cont_InitEnd(pCont);
        pCont->bRecvAddOstrel = TRUE;
    }
    const Mos_RC rc = contCmd_AddOstrelIntrn(pCont, rec, pCtx->hCon);
    if (rc == MOS_RC__SUCCESS || rc == MOS_RC__ALREADY_EXISTS) {
        pCont->ostrelTgtConnectionGenNum = rec.ostrelTgtConnectionGenNum;
        ioh_UpdateQuiesce(&pCont->ioh, rec.quiesceGeneration, rec.bQuiesce != 0);
    }
    const OstrelTgtRsp_AddOstrel ans{(UINT32)pCont->bReconfigDoneReceived, (UINT32)pCont->bIsVmware,
                                     pCont->cacheSizeLimitInMb, (UINT32)!pCont->bRecvReconStartAtleastOnce};
    contCmd_AppendAnswer(pCtx->pRes, &ans, sizeof(ans));
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "%s %lx - %s rc = %s", "TgtId", (unsigned long)rec.tgtId, "Done",
              mosRc_GetStr(rc));
    return rc;
}

} // namespace

BOOL contCmd_IsVersionAccepted(UINT32 senderVersion, UINT32 ownVersion)
{
    const BOOL bSame = (senderVersion >> 24) == (ownVersion >> 24) &&
                       ((senderVersion >> 16) & 0xFF) == ((ownVersion >> 16) & 0xFF) &&
                       (senderVersion & 0xFFFF) / 10000 == (ownVersion & 0xFFFF) / 10000;
    return bSame || senderVersion > ownVersion;
}

BOOL contCmd_IsGenStale(UINT16 serverGen, UINT16 recordGen)
{
    return serverGen != 0 && (INT16)(UINT16)(serverGen - recordGen) > 0;
}

Mos_RC contCmd_AddOstrelCmd(ContCmdCtx *pCtx)
{
    Cont *pCont = pCtx->pCont;
    const auto rec = contCmd_RecAt<OstrelTgtReq_AddOstrel>(pCtx, 0);
    const UINT32 sender = pCtx->pReq->senderVersion;
    if (!contCmd_IsVersionAccepted(sender, net_GetMyNumericVersion()))
        return (sender >> 24) <= 1 ? MOS_RC__ERROR : MOS_RC__OSTREL_TOO_OLD;
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW,
              "Processing AddOstrelCmd: tgtId=%lx, ostrelId=%lx, bCacheEnabled=%s, bCahceFrozen=%s, cacheSize=%dMB",
              (unsigned long)rec.tgtId, (unsigned long)rec.ostrelId, rec.bCacheEnabled ? "true" : "false",
              rec.bCacheFrozen ? "true" : "false", (int)rec.cacheSizeInMb);
    if (cont_IsSchedThredStuck(pCont)) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "AddOstrel failed due to busy sched thread");
        return MOS_RC__ERROR;
    }
    Mos_RC rc = contCmd_ValidateAddOstrel(rec);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    if (pCont->bRecvAddOstrel)
        contDevMngr_CheckLongInflightIos(&pCont->devMngr, FALSE);
    pCtx->lockState = contCmd_LockByType(pCont, WRITE_LOCKED);
    rc = contCmd_AddOstrelLocked(pCtx, rec);
    contCmd_UpdateInfoOnAddOstrel(pCont, rec, rc, pCtx->hCon);
    return rc;
}

Mos_RC contCmd_CleanUpCmd(ContCmdCtx *pCtx)
{
    Cont *pCont = pCtx->pCont;
    Mos_RC rc = MOS_RC__OSTREL_DOES_NOT_EXIST;
    if (pCont->bRecvAddOstrel) {
        rc = contCmd_CleanUp(pCont);
        if (rc == MOS_RC__NOT_READY)
            return rc; // the planned crash came back (a test's): nothing is forgotten
        elock_Destroy(&pCont->elock); // the next adoption builds it again
        (void)contOstrel_RemOstrel(&pCont->ostrel);
        pCont->bRecvAddOstrel = FALSE;
    }
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Cleanup command from OSTREL %s", mosRc_GetStr(rc));
    return rc;
}

Mos_RC contCmd_CleanUp(Cont *pCont)
{
    const ContCmdGroup empty{0, TRUE, nullptr, nullptr};
    auto must = [](Mos_RC rc) { MOS_ASSERT(!(rc != MOS_RC__SUCCESS)); };
    must(contCmd_ReconfStart(pCont));
    if (RaidSyncPool *pPool = raidSyncPool_Get()) {
        raidSyncPool_AbortAllMigrations(pPool);
        raidSyncPool_AbortAllRebuilds(pPool);
    }
    must(contCmd_AddVolGroup(pCont, &empty));
    must(contCmd_AddVtreeGroup(pCont, &empty));
    must(contCmd_AddCombGroup(pCont, &empty, FALSE));
    must(contCmd_AddHeadGroup(pCont, &empty));
    must(contCmd_AddTgtGroup(pCont, &empty));
    // The device group of an empty list only marks: the cycle's end removes them. A device whose
    // I/O has been in flight too long cannot be let go: the server ends and comes back clean.
    const OstrelTgtReq_AddDevArr noDevs{0, sizeof(OstrelTgtReq_AddDev), TRUE, pCont->ostrelTgtConnectionGenNum, FALSE};
    const Mos_RC devRc = contCmd_AddDevGroup(pCont, &noDevs, nullptr, nullptr);
    if (devRc == MOS_RC__NOT_READY) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "--- Pellar planned crash due to long IO on cleanup");
        contDev_PlannedCrash("Pellar planned crash due to long IO on cleanup");
        return devRc; // only where the crash is a test's
    }
    must(devRc);
    // A device the physical layer keeps stays registered and makes clean-up answer 1.
    return contCmd_ReconfDone(pCont);
}
