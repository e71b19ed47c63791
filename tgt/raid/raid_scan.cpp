// Background scan of a primary comb: each tooth version is read here and checked on the partner
// (2112, with its CRC-32C when checksums are compared); a copy that cannot be read is rewritten
// from the other, and a partner whose checksum differs is reported to the Ostrel (1005) and
// overwritten with this copy.
//
// An iteration holds the tooth's extent lock shared, so client writes of the tooth wait. Only the
// repair of this copy writes it, and it takes the tooth's lock exclusively first: a shared lock
// admits other readers, and one of them must not read a tooth half rewritten.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "mos/mos_assert.h"
#include "mos/mos_crc.h"
#include "mos/mos_load.h"
#include "mos/umt/mos_umt.h"
#include "tgt/phy/phy_dev_io.h"
#include "tgt/raid/raid_resync_intrn.h"
#include "tgt/tgt_conf.h"

namespace {

BOOL scanAborted(RaidComb *pComb) { return std::atomic_ref<BOOL>(pComb->bAbortScan).load(); }

// One iteration's tooth lock, shared, made exclusive for a repair of this copy.
class ToothLock {
  public:
    ToothLock(RaidComb *pComb, UINT32 offsetInComb) : pComb_(pComb), offset_(offsetInComb)
    {
        raidComb_LockRange(pComb_, FALSE, offset_, TOOTH_SIZE_LB);
    }
    ~ToothLock() { raidComb_UnlockRange(pComb_, bWrite_, offset_, TOOTH_SIZE_LB); }
    void makeExclusive()
    {
        if (bWrite_)
            return;
        raidComb_UnlockRange(pComb_, FALSE, offset_, TOOTH_SIZE_LB);
        raidComb_LockRange(pComb_, TRUE, offset_, TOOTH_SIZE_LB);
        bWrite_ = TRUE;
    }
    ToothLock(const ToothLock &) = delete;
    ToothLock &operator=(const ToothLock &) = delete;

  private:
    RaidComb *pComb_;
    UINT32 offset_;
    BOOL bWrite_ = FALSE;
};

struct ScanCtx {
    Cont *pCont;
    RaidComb *pComb;
    TgtId remote;
    RaidCon con;
    UINT8 *pBuf; // 1 MB data, then the guards
    BOOL bT10Dif;
};

T10Dif *difOf(ScanCtx *pCtx)
{
    return pCtx->bT10Dif ? reinterpret_cast<T10Dif *>(pCtx->pBuf + RAID_COPY__BUF_DATA_BYTES) : nullptr;
}

void writeCompareData(const ScanCtx *pCtx, UINT32 offsetInComb)
{
    const char *pDir = mosLoad_GetLogDir();
    char name[64];
    snprintf(name, sizeof(name), "compare_%lx_%u_pri.log", (unsigned long)pCtx->pComb->combId, offsetInComb);
    std::string path = std::string(pDir == nullptr ? "." : pDir) + "/" + name;
    FILE *f = fopen(path.c_str(), "w");
    BOOL bOk = f != nullptr && fwrite(pCtx->pBuf, 1, RAID_COPY__BUF_DATA_BYTES, f) == RAID_COPY__BUF_DATA_BYTES;
    if (f != nullptr && fclose(f) != 0)
        bOk = FALSE;
    if (!bOk)
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Failed to write the data of the tooth to %s", path.c_str());
}

} // namespace

Mos_RC raidScan_CheckSecondaryAndPrimary(Cont *pCont, RaidComb *pComb, const RaidCon *pCon, UINT32 offsetInComb,
                                         UINT32 sizeInLbs, PhyToothIndex toothIndex, VtoOnDev devVto,
                                         BOOL bCompareChecksums, void *pData, T10Dif *pDif, UINT32 *pSecChecksum,
                                         RdIoFlags rdIoFlags, Mos_RC *pRcPri, Mos_RC *pRcSec)
{
    const RaidHooks *h = raid_Hooks();
    TgtReq_CheckForError req{};
    req.combId = pComb->combId;
    req.sizeInLbs = sizeInLbs;
    req.offsetInComb = offsetInComb;
    req.combGenNum = raidComb_GetCombGenNum(pComb);
    req.devVto = devVto;
    req.bReturnChecksum = bCompareChecksums ? 1 : 0;
    RaidRpc rpc{};
    rpc.msgType = TGT_MSG_TYPE__CHECK_FOR_ERROR;
    rpc.grpId = RAID__RECV_GROUP__TGT_IO_MAIN;
    rpc.pRec = &req;
    rpc.recLen = sizeof(req);
    rpc.pRsp = pSecChecksum;
    rpc.rspCap = sizeof(*pSecChecksum);
    rpc.rspRc = MOS_RC__ERROR;
    // The partner reads its copy while this one is read here.
    Mos_RC sendRc = h->sendRpc(pCont, pCon, &rpc);
    *pRcPri = phyComb_ReadTooth(&pComb->phyComb, pData, pDif, toothIndex, offsetInComb % TOOTH_SIZE_LB, sizeInLbs,
                                COPY_TYPE__SCAN, rdIoFlags, offsetInComb);
    if (sendRc == MOS_RC__SUCCESS)
        sendRc = h->waitRpc(pCont, &rpc);
    *pRcSec = sendRc == MOS_RC__SUCCESS ? rpc.rspRc : sendRc;
    if (*pRcSec == MOS_RC__SUCCESS && bCompareChecksums && rpc.rspLen < sizeof(*pSecChecksum))
        *pRcSec = MOS_RC__INVALID; // a checksum was asked for and none came
    return *pRcPri;
}

Mos_RC raidScan_FixSecondaryByPrimary(Cont *pCont, RaidComb *pComb, const RaidCon *pCon, UINT32 offsetInComb,
                                      VtoOnDev devVto, const void *pBuffer, BOOL bIncLocalFixesCounter, BOOL bT10Dif)
{
    TgtReq_IoWriteSec req{};
    req.combId = pComb->combId;
    req.sizeInLbs = TOOTH_SIZE_LB;
    req.offsetInComb = offsetInComb;
    req.combGenNum = raidComb_GetCombGenNum(pComb);
    req.copyReason = COPY_TYPE__SCAN;
    req.bScanIncLocalFixesCounter = bIncLocalFixesCounter ? 1 : 0;
    req.devVto = devVto;
    req.randId = raidCopy_RandId();
    req.flags = bT10Dif ? TGT_IO_WR__T10DIF_ATTACHED : 0;
    RaidRpc rpc{};
    rpc.pData = pBuffer;
    rpc.dataLen = (UINT32)RAID_COPY__BUF_DATA_BYTES;
    if (bT10Dif) {
        rpc.pDif = static_cast<const UINT8 *>(pBuffer) + RAID_COPY__BUF_DATA_BYTES;
        rpc.difLen = TOOTH_SIZE_LB * (UINT32)sizeof(T10Dif);
    }
    TgtRes_WriteSecCopy res{};
    Mos_RC rc = raidRpc_Call(pCont, pCon, &rpc, TGT_MSG_TYPE__IO_WRITE_SEC_COPY, RAID__RECV_GROUP__TGT_IO_COPY, &req,
                             sizeof(req), &res, sizeof(res));
    if (rc != MOS_RC__SUCCESS && raid_IsNetworkRelatedError(rc))
        raid_Hooks()->logNetHiccup(pCont, raidComb_GetRaidTgtId(pComb));
    return rc == MOS_RC__SUCCESS ? rpc.rspRc : rc;
}

Mos_RC raidScan_UpdateOstrelOnCompareError(Cont *pCont, RaidComb *pComb, UINT32 offsetInComb)
{
    OstrelTgtReq_UpdateCompareError rec{};
    rec.combId = pComb->combId;
    rec.offsetInComb = offsetInComb;
    rec.devId = raidComb_GetDevId(pComb);
    mosUmtRWLock_AcquireWriteLock(&pComb->combOstrelNotifyLock);
    Mos_RC rc = raid_Hooks()->sendOstrelRequest(pCont, OSTREL_MSG_TYPE__UPDATE_COMPARE_ERROR, &rec, sizeof(rec));
    mosUmtRWLock_ReleaseWriteLock(&pComb->combOstrelNotifyLock);
    if (rc == MOS_RC__ERROR || rc == MOS_RC__RETRY || rc == MOS_RC__TIMEOUT) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "raidScan_UpdateOstrelOnCompareError: Comb %lx, rc is %s (dit)",
                  (unsigned long)pComb->combId, raid_RcName(rc));
        return MOS_RC__TIMEOUT;
    }
    return rc;
}

namespace {

// Rewrites this copy's tooth from the partner's (the caller's lock made exclusive). TRUE when the
// tooth reads back.
BOOL fixPrimaryBySecondary(ScanCtx *pCtx, ToothLock *pLock, UINT32 offsetInComb, PhyToothIndex toothIndex,
                           VtoOnDev devVto)
{
    RaidComb *pComb = pCtx->pComb;
    pLock->makeExclusive();
    if (raidComb_ToothLabel(&pComb->phyComb, offsetInComb, toothIndex).time != devVto.time)
        return FALSE; // freed meanwhile: nothing of it is left to fix
    // The failed read left the device refusing I/O until a probe of it succeeds; a device that
    // fails the probe cannot take the partner's data either.
    if (pComb->phyComb.pDev != nullptr && !phyDev_CheckDevAfterError(pComb->phyComb.pDev)) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                  "Comb %lx, offset %u - failed to fix the primary by the secondary (write to the primary failed), ",
                  (unsigned long)pComb->combId, offsetInComb);
        return FALSE;
    }
    TgtReq_IoReadSec req{};
    req.combId = pComb->combId;
    req.sizeInLbs = TOOTH_SIZE_LB;
    req.offsetInComb = offsetInComb;
    req.combGenNum = raidComb_GetCombGenNum(pComb);
    req.devVto = devVto;
    req.copyReason = COPY_TYPE__SCAN;
    UINT32 want = (UINT32)RAID_COPY__BUF_DATA_BYTES + (pCtx->bT10Dif ? TOOTH_SIZE_LB * (UINT32)sizeof(T10Dif) : 0);
    RaidRpc rpc{};
    Mos_RC rc = raidRpc_Call(pCtx->pCont, &pCtx->con, &rpc, TGT_MSG_TYPE__IO_READ_SEC, RAID__RECV_GROUP__TGT_IO_MAIN,
                             &req, sizeof(req), pCtx->pBuf, want);
    if (rc == MOS_RC__SUCCESS)
        rc = rpc.rspRc;
    if (rc == MOS_RC__SUCCESS && rpc.rspLen != want) {
        if (pCtx->bT10Dif && rpc.rspLen == RAID_COPY__BUF_DATA_BYTES)
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                      "(T10DIF) Primary with DIF enabled Read from Sec with no DIF in response (config mismatch): "
                      "combId=%lx, offsetInComb=%u, sizeInLbs=%x, newDataSize=%x",
                      (unsigned long)pComb->combId, offsetInComb, TOOTH_SIZE_LB, rpc.rspLen);
        rc = MOS_RC__IO_HARD_ERROR;
    }
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                  "Comb %lx, offset %u - failed to fix the primary by the secondary (read from the secondary failed), ",
                  (unsigned long)pComb->combId, offsetInComb);
        return FALSE;
    }
    WrIoFlags wr{};
    wr.bPrimary = TRUE;
    wr.bT10Dif = pCtx->bT10Dif;
    rc = phyComb_WriteTooth(&pComb->phyComb, pCtx->pBuf, difOf(pCtx), toothIndex, 0, TOOTH_SIZE_LB, wr,
                            COPY_TYPE__SCAN, offsetInComb, 0, nullptr);
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                  "Comb %lx, offset %u - failed to fix the primary by the secondary (write to the primary failed), ",
                  (unsigned long)pComb->combId, offsetInComb);
        return FALSE;
    }
    RdIoFlags rd{};
    rd.bPrimary = TRUE;
    rd.bT10Dif = pCtx->bT10Dif;
    rc = phyComb_ReadTooth(&pComb->phyComb, pCtx->pBuf, difOf(pCtx), toothIndex, 0, TOOTH_SIZE_LB, COPY_TYPE__SCAN, rd,
                           offsetInComb);
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                  "Comb %lx, offset %u - failed to read from the primary after trying to fix (rc = %d) - update on a "
                  "device error",
                  (unsigned long)pComb->combId, offsetInComb, (int)rc);
        if (pComb->pContDev != nullptr)
            raid_Hooks()->devReadError(pComb->pContDev);
        return FALSE;
    }
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx, offset %u - succeeded to fix the primary by the secondary",
              (unsigned long)pComb->combId, offsetInComb);
    raidComb_IncLocalDiskFixesCounter(pComb);
    return TRUE;
}

// Both copies read: compares them and fixes the partner when they differ.
void compareAndFix(ScanCtx *pCtx, UINT32 offsetInComb, VtoOnDev devVto, BOOL bCompareChecksums, UINT32 secChecksum)
{
    RaidComb *pComb = pCtx->pComb;
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED, "Comb %lx, offset %u - primary read succeeded, secondary read succeeded",
              (unsigned long)pComb->combId, offsetInComb);
    if (!bCompareChecksums)
        return;
    UINT32 priChecksum = mosCrc_CalcCrc32OneBuffer(pCtx->pBuf, RAID_COPY__BUF_DATA_BYTES);
    if (priChecksum == secChecksum)
        return;
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
              "Comb %lx, offset %u - primary and secondary checksums are different (pri=%u, sec=%u) ",
              (unsigned long)pComb->combId, offsetInComb, priChecksum, secChecksum);
    if (tgtInitParam_G.bPrintCompareErrorTeethData)
        writeCompareData(pCtx, offsetInComb);
    if (pComb->phyComb.pDev != nullptr)
        phyDev_IncreaseScanCompareErrorsCounter(pComb->phyComb.pDev);
    while (raidScan_UpdateOstrelOnCompareError(pCtx->pCont, pComb, offsetInComb) == MOS_RC__TIMEOUT &&
           !scanAborted(pComb))
        mosUmt_SleepByQ(MOS_TIMER_QUEUE_ID__1SEC);
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx, offset %u - Sent a message to the Ostrel on compare error",
              (unsigned long)pComb->combId, offsetInComb);
    Mos_RC rc = raidScan_FixSecondaryByPrimary(pCtx->pCont, pComb, &pCtx->con, offsetInComb, devVto, pCtx->pBuf, FALSE,
                                               pCtx->bT10Dif);
    if (rc == MOS_RC__SUCCESS)
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                  "Comb %lx, offset %u - compare error - succeeded to fix the secondary by the primary",
                  (unsigned long)pComb->combId, offsetInComb);
    else
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                  "Comb %lx, offset %u - compare error - failed to fix the secondary by the primary, rc = %u",
                  (unsigned long)pComb->combId, offsetInComb, (unsigned)rc);
}

enum class IterRc { NEXT, STOP, BOTH_FAILED };

// One tooth version: checks, compares and repairs.
IterRc scanTooth(ScanCtx *pCtx, const PhyCombItr &itr, BOOL bCompareChecksums)
{
    RaidComb *pComb = pCtx->pComb;
    UINT32 offsetInComb = itr.toothInComb * TOOTH_SIZE_LB + itr.offsetInTooth;
    ToothLock lock(pComb, offsetInComb);
    if (raidComb_IsMigrationInProgress(pComb, TRUE) || scanAborted(pComb)) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx is during migration, skipping the scan",
                  (unsigned long)pComb->combId);
        return IterRc::STOP;
    }
    {
        RaidCombLock cl(pComb);
        if (raidComb_IsDeviceInError(pComb)) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx: device is in write error", (unsigned long)pComb->combId);
            return IterRc::STOP;
        }
        if (pComb->combState != COMB_STATE__PRIMARY || pComb->pRebuild->combRaidState != COMB_RAID_STATE__NORMAL ||
            scanAborted(pComb)) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx's state is %d", (unsigned long)pComb->combId,
                      (int)pComb->pRebuild->combRaidState);
            return IterRc::STOP;
        }
        pCtx->remote = pComb->pRebuild->remoteTgtId;
    }
    VtoOnDev devVto = raidComb_ToothLabel(&pComb->phyComb, offsetInComb, itr.toothIndex);
    if (devVto.time == 0)
        return IterRc::NEXT; // freed since the iterator found it
    const RaidHooks *h = raid_Hooks();
    pCtx->con = RaidCon{};
    pCtx->con.hCon = NET_CON__INVALID_HCON;
    if (h->acquireTgtCon(pCtx->pCont, pCtx->remote, &pCtx->con) != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx: Can't acquire a TGT connection", (unsigned long)pComb->combId);
        return IterRc::STOP;
    }
    struct ConGuard {
        ScanCtx *p;
        ~ConGuard() { raid_Hooks()->releaseTgtCon(p->pCont, &p->con); }
    } conGuard{pCtx};
    if (pCtx->con.hCon == NET_CON__INVALID_HCON || scanAborted(pComb)) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx: Can't acquire a TGT connection", (unsigned long)pComb->combId);
        return IterRc::STOP;
    }
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED,
              "Comb %lx, offset %u - reading the primary, sending a validate request to the secondary",
              (unsigned long)pComb->combId, offsetInComb);
    RdIoFlags rd{};
    rd.bPrimary = TRUE;
    rd.bT10Dif = pCtx->bT10Dif;
    UINT32 secChecksum = 0;
    Mos_RC rcPri, rcSec;
    (void)raidScan_CheckSecondaryAndPrimary(pCtx->pCont, pComb, &pCtx->con, offsetInComb, TOOTH_SIZE_LB,
                                            itr.toothIndex, devVto, bCompareChecksums, pCtx->pBuf, difOf(pCtx),
                                            &secChecksum, rd, &rcPri, &rcSec);
    if (rcSec == MOS_RC__ERROR || rcSec == MOS_RC__BUSY || rcSec == MOS_RC__TIMEOUT) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx: remote TGT disconnection", (unsigned long)pComb->combId);
        return IterRc::STOP;
    }
    if (rcSec == MOS_RC__IO_FAULT_NO_VOL) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx, offset: %u: vtree is being deleted in secondary",
                  (unsigned long)pComb->combId, offsetInComb);
        return IterRc::STOP;
    }
    if (rcPri == MOS_RC__SUCCESS) {
        if (rcSec == MOS_RC__SUCCESS) {
            compareAndFix(pCtx, offsetInComb, devVto, bCompareChecksums, secChecksum);
        } else if (rcSec == MOS_RC__IO_HARD_ERROR) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                      "Comb %lx, offset %u - secondary read failed %s, trying to fix the secondary by the primary",
                      (unsigned long)pComb->combId, offsetInComb, raid_RcName(rcSec));
            Mos_RC rc = raidScan_FixSecondaryByPrimary(pCtx->pCont, pComb, &pCtx->con, offsetInComb, devVto,
                                                       pCtx->pBuf, TRUE, pCtx->bT10Dif);
            if (rc == MOS_RC__SUCCESS)
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx, offset %u - succeeded to fix the secondary by the primary",
                          (unsigned long)pComb->combId, offsetInComb);
            else
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                          "Comb %lx, offset %u - failed to fix the secondary by the primary, rc = %u",
                          (unsigned long)pComb->combId, offsetInComb, (unsigned)rc);
        } else {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx, offset %u - secondary read returned %s",
                      (unsigned long)pComb->combId, offsetInComb, raid_RcName(rcSec));
        }
        return IterRc::NEXT;
    }
    if (rcSec == MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                  "Comb %lx, offset %u - primary read failed (rc = %d), trying to fix the primary by the secondary",
                  (unsigned long)pComb->combId, offsetInComb, (int)rcPri);
        return fixPrimaryBySecondary(pCtx, &lock, offsetInComb, itr.toothIndex, devVto) ? IterRc::NEXT
                                                                                          : IterRc::BOTH_FAILED;
    }
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
              "Comb %lx, offset %u - primary and secondary reads failed (rcPrimary = %d, rcSecondary = %d)",
              (unsigned long)pComb->combId, offsetInComb, (int)rcPri, (int)rcSec);
    return IterRc::BOTH_FAILED;
}

} // namespace

void raidScan_Start(Cont *pCont, ContDev *pContDev, RaidComb *pComb, BOOL bCompareChecksums)
{
    (void)pContDev;
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Scan comb %lx started on device %s (dit)", (unsigned long)pComb->combId,
              pComb->phyComb.pDev != nullptr && pComb->phyComb.pDev->pFile != nullptr ? "dev" : "-");
    (void)raidComb_ValidateTeethInComb(pComb, TRUE);
    ScanCtx ctx{pCont, pComb, 0, {}, nullptr, raidComb_IsT10DIFNonPersistentEnabled(pComb)};
    ctx.pBuf = static_cast<UINT8 *>(aligned_alloc(4096, RAID_COPY__BUF_DATA_BYTES + RAID_COPY__BUF_DIF_BYTES));
    PhyComb *pPhy = &pComb->phyComb;
    PhyCombItr itr{PHY_TOOTH_INDEX__INVALID, 0, 0};
    {
        RaidCombLock lock(pComb);
        phyComb_StartIter(pPhy, &itr);
    }
    while (ctx.pBuf != nullptr) {
        if (raidComb_IsOstrelBlocked(pComb)) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx scan %lx failed - Tgt blocked (keep-alive)",
                      (unsigned long)pComb->combId, (unsigned long)raidComb_GetRaidTgtId(pComb));
            break;
        }
        BOOL bHave;
        {
            RaidCombLock lock(pComb);
            bHave = phyComb_FindNextLb(pPhy, &itr);
        }
        if (!bHave)
            break;
        if (!scanAborted(pComb) && pPhy->pDev != nullptr)
            phyDev_AddToScanLimiter(pPhy->pDev, TOOTH_SIZE_LB);
        IterRc irc = scanTooth(&ctx, itr, bCompareChecksums);
        if (irc == IterRc::STOP)
            break;
        if (pPhy->pDev != nullptr)
            phyDev_IncreaseMBsScannedCounter(pPhy->pDev);
        RaidSyncPool *pPool = raidSyncPool_Get();
        if (!scanAborted(pComb) && pPool != nullptr)
            (void)raidSyncPool_AddToIoLimiter(pPool, TOOTH_SIZE_LB, nullptr);
        if (irc == IterRc::BOTH_FAILED) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx: primary and secondary build failed - abort the scan",
                      (unsigned long)pComb->combId);
            break;
        }
        if (scanAborted(pComb)) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx: scan should be aborted", (unsigned long)pComb->combId);
            break;
        }
        RaidCombLock lock(pComb);
        phyComb_SkipNextLb(pPhy, &itr, TOOTH_SIZE_LB - itr.offsetInTooth);
    }
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Scan comb %lx finished (dit)", (unsigned long)pComb->combId);
    {
        RaidCombLock lock(pComb);
        phyComb_EndItr(pPhy, &itr);
    }
    free(ctx.pBuf);
}
