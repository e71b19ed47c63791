// Reads, writes, compare-and-writes, zero writes and trims of a comb range on the primary and the
// secondary, and the peer services about a comb's teeth and dirty-region log.
//
// Extent locks: an I/O locks its own range; it widens to its whole tooth (exclusively) when it
// must choose or allocate the tooth, and narrows back when the tooth turned out to exist. The
// range held at the end is what is unlocked (IohLocked tracks it).
//
// A new tooth for part of a tooth is written whole: the source tooth's content (a write that splits
// a tooth shared with a snapshot) or zeros, with the write's data laid in at its offset, so that
// the rest of the new tooth never shows what the device held there before. Every failure after
// the allocation gives the tooth back.
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_diag_counters.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "mos/mos_utils_scramble.h"
#include "tgt/ioh/ioh_intrn.h"
#include "tgt/phy/phy_dev.h"
#include "tgt/phy/tgt_t10dif.h"
#include "tgt/tgt_conf.h"

namespace {

constexpr UINT32 kToothLbs = IOH__MAX_IO_SIZE_IN_LBS;
constexpr PhyToothIndex kNoTooth = PHY_TOOTH_INDEX__INVALID;

UINT32 toothOffsetOf(UINT32 offsetInComb) { return offsetInComb & ~(kToothLbs - 1); }

// The comb, held from the registry for the life of one request.
class IohCombRef {
  public:
    IohCombRef(Ioh *pIoh, CombId combId) : pIoh_(pIoh), combId_(combId)
    {
        pIohComb_ = pIoh->pHooks->acquireIohComb(pIoh->pCont, combId);
        if (pIohComb_ != nullptr) {
            pRaid = pIohComb_->pRaid;
            pElock = pIohComb_->pElock;
            pPhy = pIoh->pHooks->getPhyComb(pRaid);
        }
    }
    ~IohCombRef()
    {
        if (pIohComb_ != nullptr)
            pIoh_->pHooks->releaseIohComb(pIoh_->pCont, combId_);
    }
    IohCombRef(const IohCombRef &) = delete;
    IohCombRef &operator=(const IohCombRef &) = delete;
    bool found() const { return pIohComb_ != nullptr; }
    IohRaidState state()
    {
        IohRaidState st{};
        pIoh_->pHooks->getState(pRaid, &st);
        return st;
    }
    RaidComb *pRaid = nullptr;
    ElockComb *pElock = nullptr;
    PhyComb *pPhy = nullptr;
    GenNum reqCombGenNum = 0; // the request's comb generation, handed on with its writes

  private:
    Ioh *pIoh_;
    CombId combId_;
    IohComb *pIohComb_ = nullptr;
};

// The range an I/O holds locked, unlocked exactly once.
class IohLocked {
  public:
    IohLocked(Ioh *pIoh, ElockComb *pComb) : pIoh_(pIoh), pComb_(pComb) {}
    ~IohLocked() { unlock(); }
    IohLocked(const IohLocked &) = delete;
    IohLocked &operator=(const IohLocked &) = delete;
    void lock(BOOL bWrite, UINT32 offsetInComb, UINT32 sizeInLbs)
    {
        MOS_ASSERT(!bHeld_);
        elockComb_Lock(pComb_, pIoh_->pElock, bWrite, offsetInComb, sizeInLbs);
        set(bWrite, offsetInComb, sizeInLbs);
    }
    // Records a lock the caller already holds (a zero-read translation inside a read's lock).
    void set(BOOL bWrite, UINT32 offsetInComb, UINT32 sizeInLbs)
    {
        bHeld_ = TRUE;
        bWrite_ = bWrite;
        off_ = offsetInComb;
        size_ = sizeInLbs;
    }
    void forget() { bHeld_ = FALSE; }
    void unlock()
    {
        if (bHeld_)
            elockComb_Unlock(pComb_, pIoh_->pElock, bWrite_, off_, size_);
        bHeld_ = FALSE;
    }
    // The whole tooth of the range, in mode bWrite.
    void widen(BOOL bWrite)
    {
        UINT32 tooth = toothOffsetOf(off_);
        unlock();
        lock(bWrite, tooth, kToothLbs);
    }
    void narrow(UINT32 offsetInComb, UINT32 sizeInLbs)
    {
        MOS_ASSERT(bHeld_ && size_ == kToothLbs);
        elockComb_UnlockAllXcluding(pComb_, pIoh_->pElock, bWrite_, offsetInComb, sizeInLbs);
        off_ = offsetInComb;
        size_ = sizeInLbs;
    }
    BOOL bWrite() const { return bWrite_; }
    BOOL wholeTooth() const { return bHeld_ && size_ == kToothLbs; }

  private:
    Ioh *pIoh_;
    ElockComb *pComb_;
    BOOL bHeld_ = FALSE;
    BOOL bWrite_ = FALSE;
    UINT32 off_ = 0, size_ = 0;
};

// The volume, held for one request.
class IohVolRef {
  public:
    IohVolRef(Ioh *pIoh, UINT64 volId) : pIoh_(pIoh) { pVol = pIoh->pHooks->acquireVol(pIoh->pCont, volId); }
    ~IohVolRef()
    {
        if (pVol != nullptr)
            pIoh_->pHooks->releaseVol(pIoh_->pCont, pVol);
    }
    IohVolRef(const IohVolRef &) = delete;
    IohVolRef &operator=(const IohVolRef &) = delete;
    IohVol *pVol;

  private:
    Ioh *pIoh_;
};

class IohVtreeRef {
  public:
    IohVtreeRef(Ioh *pIoh, CombId combId, UINT32 offsetInComb) : pIoh_(pIoh)
    {
        pVtree = pIoh->pHooks->acquireVtreeFromHead(pIoh->pCont, combId, offsetInComb, &bDeleting);
    }
    ~IohVtreeRef()
    {
        if (pVtree != nullptr)
            pIoh_->pHooks->releaseVtree(pIoh_->pCont, pVtree);
    }
    IohVtreeRef(const IohVtreeRef &) = delete;
    IohVtreeRef &operator=(const IohVtreeRef &) = delete;
    Vtree *pVtree;
    BOOL bDeleting = FALSE;

  private:
    Ioh *pIoh_;
};

// A whole tooth of data and guards, page-aligned for the device.
class IohToothBuf {
  public:
    IohToothBuf()
    {
        pData = static_cast<UINT8 *>(mos_AllocPageAlignedOrPanic((size_t)kToothLbs * 512));
        pDif = static_cast<T10Dif *>(mos_AllocPageAlignedOrPanic((size_t)kToothLbs * sizeof(T10Dif)));
    }
    ~IohToothBuf()
    {
        mos_FreePageAligned(pDif);
        mos_FreePageAligned(pData);
    }
    IohToothBuf(const IohToothBuf &) = delete;
    IohToothBuf &operator=(const IohToothBuf &) = delete;
    UINT8 *pData;
    T10Dif *pDif;
};

BOOL ioh_RangeIsZero(const UINT8 *p, size_t bytes)
{
    for (size_t i = 0; i < bytes; i++)
        if (p[i] != 0)
            return FALSE;
    return TRUE;
}

// The tooth of a primary I/O, with its extent lock (iohComb_TakeElocks).
struct IohToothChoice {
    PhyToothIndex toothIndex = kNoTooth; // the tooth to read, or to write in place
    PhyCombTooth newTooth{kNoTooth, kNoTooth, 0, 0};
    BOOL bNewTooth = FALSE;
    BOOL bRewriteTooth = FALSE; // the tooth needs rebuild: the write rewrites it whole, in place
};

Mos_RC iohComb_TakeElocks(Ioh *pIoh, IohCombRef *pComb, Vtree *pVtree, UINT32 offsetInComb, UINT32 sizeInLbs,
                          VtoId vtoId, BOOL bWrite, BOOL bTakeEntireToothOnRead, BOOL bSkipElock, IohLocked *pLocked,
                          IohToothChoice *pChoice)
{
    const IohHooks *h = pIoh->pHooks;
    if (!bSkipElock)
        pLocked->lock(bWrite, offsetInComb, sizeInLbs);
    IohRaidState st = pComb->state();
    if (st.priRc != MOS_RC__SUCCESS) {
        if (st.priRc == MOS_RC__IO_HARD_ERROR)
            MOS_ERROR(MOS_COMP_TGT_IOH, "comb %lx offset %u size %u -  MM_DEGRADED state - IO not allowed",
                      (unsigned long)pComb->pPhy->combId, offsetInComb, sizeInLbs);
        return st.priRc;
    }
    BOOL bRebuildish = st.bRebuildDerived || st.bReverseRebuild || st.bMaintNormal || st.bMaintRebuild;
    if (!bSkipElock && ((st.bReverseRebuild && !bWrite) || (sizeInLbs < kToothLbs && bRebuildish))) {
        pLocked->widen(st.bReverseRebuild ? TRUE : pLocked->bWrite());
        if (!h->firstAccess(pComb->pRaid)) {
            MOS_ERROR(MOS_COMP_TGT_IOH, "comb %lx offset %u size %u -  failed switching to full tooth elock (1)",
                      (unsigned long)pComb->pPhy->combId, offsetInComb, sizeInLbs);
            return MOS_RC__IO_HARD_ERROR;
        }
    }
    if (st.bReverseRebuild) {
        Mos_RC rc = h->readRemoteToothList(pComb->pRaid, offsetInComb);
        if (rc != MOS_RC__SUCCESS) {
            MOS_ERROR(MOS_COMP_TGT_IOH, "%s - Comb %lx, offset %u Failed to read T-Pellar tooth list (rc=%s) - failing IO",
                      bWrite ? "Write" : "Read", (unsigned long)pComb->pPhy->combId, offsetInComb, MOS_RC__GET_STR(rc));
            return MOS_RC__IO_HARD_ERROR;
        }
    }
    PhyComb *pPhy = pComb->pPhy;
    if (bWrite)
        pChoice->toothIndex = phyComb_GetToothIndexWithVtree(pPhy, pVtree, vtoId, offsetInComb, TRUE, FALSE,
                                                             pVtree->time, &pChoice->newTooth, nullptr);
    else
        pChoice->toothIndex =
            phyComb_GetToothIndexWithVtree(pPhy, pVtree, vtoId, offsetInComb, FALSE, FALSE, 0, nullptr, nullptr);
    if (pChoice->toothIndex == kNoTooth) {
        // A write finds no tooth to write in place also when its version is shared with a
        // snapshot; only a tooth that is really missing is cleaned from the partner's list.
        if (st.bRebuildDerived && (!bWrite || phyComb_GetToothIndexWithVtree(pPhy, pVtree, vtoId, offsetInComb, FALSE,
                                                                             FALSE, 0, nullptr, nullptr) == kNoTooth)) {
            Mos_RC rc = h->cleanRemoteTooth(pComb->pRaid, offsetInComb);
            if (rc == MOS_RC__SUCCESS)
                MOS_TRACE(MOS_COMP_TGT_IOH, MOS_FREQ_LOW,
                          "Successfully cleaned tooth (Comb: %lx , offset: %u) in secondary which was missing in the primary",
                          (unsigned long)pPhy->combId, offsetInComb);
            else if (rc != MOS_RC__BUSY && rc != MOS_RC__IO_FAULT_NO_COMB) {
                MOS_ERROR(MOS_COMP_TGT_IOH, "Failed to clean remote tooth list %lx offset: %u, rc - %s",
                          (unsigned long)pPhy->combId, offsetInComb, MOS_RC__GET_STR(rc));
                return rc;
            }
        }
        if (bWrite) {
            if (!bSkipElock && !pLocked->wholeTooth())
                pLocked->widen(TRUE);
            pChoice->toothIndex = phyComb_GetToothIndexWithVtree(pPhy, pVtree, vtoId, offsetInComb, TRUE, TRUE,
                                                                 pVtree->time, &pChoice->newTooth, nullptr);
            if (pChoice->toothIndex == kNoTooth)
                return MOS_RC__IO_FAULT_NO_SPACE;
            if (pChoice->newTooth.dstToothIndex == kNoTooth) {
                if (!bSkipElock)
                    pLocked->narrow(offsetInComb, sizeInLbs);
            } else {
                pChoice->bNewTooth = TRUE;
            }
        } else {
            if (!bTakeEntireToothOnRead || bSkipElock) {
                MOS_TRACE(MOS_COMP_TGT_IOH, MOS_FREQ_HIGH, "%s - Tooth not found Comb %lx, offset %u, size %u, vtoId %u",
                          "Read", (unsigned long)pPhy->combId, offsetInComb, sizeInLbs, vtoId);
                return MOS_RC__IO_ZERO_BUF;
            }
            if (!pLocked->wholeTooth() || !pLocked->bWrite())
                pLocked->widen(TRUE);
            pChoice->toothIndex =
                phyComb_GetToothIndexWithVtree(pPhy, pVtree, vtoId, offsetInComb, FALSE, FALSE, 0, nullptr, nullptr);
            if (pChoice->toothIndex == kNoTooth)
                return MOS_RC__IO_ZERO_BUF;
            pLocked->narrow(offsetInComb, sizeInLbs);
        }
    }
    // A part of a tooth that needs rebuild cannot be written alone: the whole tooth goes, to a new
    // tooth when the lookup now chooses one, else rewritten in place.
    if (bWrite && !pChoice->bNewTooth && pChoice->toothIndex != kNoTooth && sizeInLbs < kToothLbs &&
        h->toothNeedsRebuild(pComb->pRaid, offsetInComb)) {
        if (!bSkipElock && !(pLocked->wholeTooth() && pLocked->bWrite()))
            pLocked->widen(TRUE);
        pChoice->toothIndex = phyComb_GetToothIndexWithVtree(pPhy, pVtree, vtoId, offsetInComb, TRUE, TRUE,
                                                             pVtree->time, &pChoice->newTooth, nullptr);
        if (pChoice->toothIndex == kNoTooth)
            return MOS_RC__IO_FAULT_NO_SPACE;
        if (pChoice->newTooth.dstToothIndex != kNoTooth) {
            pChoice->bNewTooth = TRUE;
        } else if (h->toothNeedsRebuild(pComb->pRaid, offsetInComb)) {
            pChoice->bRewriteTooth = TRUE;
            MOS_TRACE(MOS_COMP_TGT_IOH, MOS_FREQ_MED, "Switch to entire tooth. Comb %lx, offset %u, size %u, tooth index %u",
                      (unsigned long)pPhy->combId, offsetInComb, sizeInLbs, pChoice->toothIndex);
        } else if (!bSkipElock) {
            pLocked->narrow(offsetInComb, sizeInLbs);
        }
    }
    // The role may have changed while the lock was awaited.
    st = pComb->state();
    return st.priRc;
}

// Hands a write of the comb's copy to the mirroring object. A new tooth for part of a tooth is
// written whole: the source's content or zeros around the data.
Mos_RC iohComb_WriteTooth(Ioh *pIoh, IohCombRef *pComb, Vtree *pVtree, const IohToothChoice *pChoice,
                          UINT32 offsetInComb, UINT32 sizeInLbs, const void *pData, T10Dif *pDif, WrIoFlags wrIoFlags,
                          UINT32 copyReason, UINT64 key, UINT32 *pRebuildLimit, UINT32 *pRebalanceLimit)
{
    IohCombWrite w{};
    w.pPhyComb = pComb->pPhy;
    w.pVtree = pVtree;
    w.tooth = pChoice->newTooth;
    w.tooth.srcToothIndex = kNoTooth;
    w.tooth.dstToothIndex = pChoice->bNewTooth ? pChoice->newTooth.dstToothIndex : pChoice->toothIndex;
    w.copyReason = copyReason;
    w.combGenNum = pComb->reqCombGenNum;
    w.obfuscationKey = key;
    w.pLbsPerRebuildJobLimit = pRebuildLimit;
    w.pLbsPerRebalanceJobLimit = pRebalanceLimit;
    wrIoFlags.bNewTooth = pChoice->bNewTooth;
    BOOL bWhole = (pChoice->bNewTooth || pChoice->bRewriteTooth) && sizeInLbs < kToothLbs;
    if (!bWhole) {
        wrIoFlags.bZeroPad = FALSE;
        w.offsetInComb = offsetInComb;
        w.sizeInLbs = sizeInLbs;
        w.pData = pData;
        w.pDif = pDif;
        w.wrIoFlags = wrIoFlags;
        ioh_UpdateFlushInfoStartQuery(pIoh);
        Mos_RC rc = pIoh->pHooks->write(pComb->pRaid, &w);
        ioh_UpdateFlushInfoEndQuery(pIoh);
        return rc;
    }
    IohToothBuf whole;
    UINT32 toothOffset = toothOffsetOf(offsetInComb), inTooth = offsetInComb - toothOffset;
    PhyToothIndex src = pChoice->bRewriteTooth ? pChoice->toothIndex : pChoice->newTooth.srcToothIndex;
    if (src != kNoTooth) {
        RdIoFlags rd{};
        rd.bLocalOnly = TRUE;
        rd.bT10Dif = pDif != nullptr;
        Mos_RC rc = pIoh->pHooks->read(pComb->pRaid, src, toothOffset, kToothLbs, whole.pData,
                                       pDif != nullptr ? whole.pDif : nullptr, rd, copyReason, nullptr);
        MOS_ASSERT(rc != MOS_RC__IO_ZERO_BUF);
        if (rc != MOS_RC__SUCCESS)
            return rc;
        MOS_TRACE(MOS_COMP_TGT_IOH, MOS_FREQ_MED, "Breaking tooth sharing: comb %lx offset %u tooth %u to tooth %u",
                  (unsigned long)pComb->pPhy->combId, offsetInComb, src, w.tooth.dstToothIndex);
    } else {
        memset(whole.pData, 0, (size_t)kToothLbs * 512);
        if (key != 0)
            mos_Encrypt(whole.pData, kToothLbs, key);
        if (pDif != nullptr)
            mosT10Dif_GenT10DIF(whole.pData, whole.pDif, 0, 0, 0, kToothLbs);
    }
    memcpy(whole.pData + (size_t)inTooth * 512, pData, (size_t)sizeInLbs * 512);
    if (pDif != nullptr)
        memcpy(whole.pDif + inTooth, pDif, (size_t)sizeInLbs * sizeof(T10Dif));
    wrIoFlags.bZeroPad = pChoice->bNewTooth;
    w.offsetInComb = toothOffset;
    w.sizeInLbs = kToothLbs;
    w.pData = whole.pData;
    w.pDif = pDif != nullptr ? whole.pDif : nullptr;
    w.wrIoFlags = wrIoFlags;
    ioh_UpdateFlushInfoStartQuery(pIoh);
    Mos_RC rc = pIoh->pHooks->write(pComb->pRaid, &w);
    ioh_UpdateFlushInfoEndQuery(pIoh);
    return rc;
}

// Reads a tooth version into the caller's buffers (raw: still obfuscated).
Mos_RC iohComb_ReadTooth(Ioh *pIoh, IohCombRef *pComb, PhyToothIndex toothIndex, UINT32 offsetInComb,
                         UINT32 sizeInLbs, void *pData, T10Dif *pDif, BOOL bPrimary, UINT32 copyReason,
                         IohCacheRead *pCache = nullptr)
{
    RdIoFlags rd{};
    rd.bPrimary = bPrimary;
    rd.bT10Dif = pDif != nullptr;
    ioh_UpdateFlushInfoStartQuery(pIoh);
    Mos_RC rc = pIoh->pHooks->read(pComb->pRaid, toothIndex, offsetInComb, sizeInLbs, pData, pDif, rd, copyReason,
                                   pCache);
    ioh_UpdateFlushInfoEndQuery(pIoh);
    return rc;
}

// A client read that ended with 65 or 21 is counted on the comb's device: in PRI_IO or SEC_IO, and
// when it was served (65) also by where its data came from.
void iohComb_CountClientRead(Ioh *pIoh, IohCombRef *pComb, BOOL bPrimary, Mos_RC rc, BOOL bFromCache,
                             UINT32 sizeInLbs)
{
    if (rc != MOS_RC__SUCCESS && rc != MOS_RC__IO_ZERO_BUF)
        return;
    const IohHooks *h = pIoh->pHooks;
    h->updateIoBwc(pComb->pRaid, bPrimary ? CONT_BWC_IO_COUNTER__PRI_IO : CONT_BWC_IO_COUNTER__SEC_IO, sizeInLbs,
                   FALSE);
    if (rc != MOS_RC__SUCCESS)
        return;
    UINT32 from = bPrimary ? (bFromCache ? CONT_BWC_IO_COUNTER__PRI_IO_FROM_RAMCACHE : CONT_BWC_IO_COUNTER__PRI_IO_FROM_DEV)
                           : (bFromCache ? CONT_BWC_IO_COUNTER__SEC_IO_FROM_RAMCACHE : CONT_BWC_IO_COUNTER__SEC_IO_FROM_DEV);
    h->updateIoBwc(pComb->pRaid, from, sizeInLbs, FALSE);
}

// Copies of a rebuild or migration are held back by the receiving device while client I/O runs;
// the hold is taken before any extent lock and given back after the locks are gone (declared
// before the locks, so destroyed after them).
class IohCopyThrottle {
  public:
    IohCopyThrottle(Ioh *pIoh, IohCombRef *pComb, UINT32 sizeInLbs, UINT32 copyReason)
        : pIoh_(pIoh), pComb_(pComb), size_(sizeInLbs), reason_(copyReason)
    {
        bOn_ = reason_ == COPY_TYPE__MIGRATION || reason_ == COPY_TYPE__FWD_REBUILD ||
               reason_ == COPY_TYPE__DEGRADED_BACK_REBUILD || reason_ == COPY_TYPE__REVERSE_REBUILD ||
               reason_ == COPY_TYPE__NORM_BACK_REBUILD;
        if (bOn_)
            pIoh_->pHooks->startThrottling(pComb_->pRaid, size_, reason_);
    }
    ~IohCopyThrottle()
    {
        if (bOn_)
            pIoh_->pHooks->endThrottling(pComb_->pRaid, size_, reason_);
    }
    IohCopyThrottle(const IohCopyThrottle &) = delete;
    IohCopyThrottle &operator=(const IohCopyThrottle &) = delete;

  private:
    Ioh *pIoh_;
    IohCombRef *pComb_;
    UINT32 size_, reason_;
    BOOL bOn_ = FALSE;
};

void ioh_RollbackNewTooth(IohCombRef *pComb, const IohToothChoice *pChoice, UINT32 offsetInComb, Mos_RC rc)
{
    if (!pChoice->bNewTooth)
        return;
    MOS_TRACE(MOS_COMP_TGT_IOH, MOS_FREQ_MED, "Write failed (%s): tooth %u of comb %lx offset %u given back",
              MOS_RC__GET_STR(rc), pChoice->newTooth.dstToothIndex, (unsigned long)pComb->pPhy->combId, offsetInComb);
    phyComb_RollbackAllocTooth(pComb->pPhy, offsetInComb, pChoice->newTooth.dstToothIndex);
}

// A volume is served only while its tree holds its node. Without it the version walk finds no
// node to see any version (vtoId 1 labels the first node's versions but names no node itself): a
// write would take a new tooth that no read finds and the next write frees or collides with, and
// a read of a written position would stop the process. Such I/O is refused as if the volume were
// not here, and consumes no tooth.
Mos_RC ioh_CheckVolNode(Vtree *pVtree, UINT64 volId, VtoId vtoId, const char *pWhat)
{
    vtree_Lock(pVtree);
    const BOOL bKnown = vtree_GetTreeNode(pVtree, vtoId) != nullptr;
    vtree_Unlock(pVtree);
    if (bKnown)
        return MOS_RC__SUCCESS;
    MOS_ERROR(MOS_COMP_TGT_IOH, "%s - volume %lx: node %u is not in vtree %lx - IO not allowed", pWhat,
              (unsigned long)volId, vtoId, (unsigned long)pVtree->vtreeId);
    return MOS_RC__IO_FAULT_NO_VOL;
}

BOOL ioh_VtreeHasSnapshots(Vtree *pVtree)
{
    vtree_Lock(pVtree);
    UINT32 n = 0;
    for (VtreeNode *p = vtree_FirstNode(pVtree); p != nullptr; p = vtree_NextNode(p))
        n++;
    vtree_Unlock(pVtree);
    return n > 1;
}

// The primary write after its locks: guards, comparison, data to the tooth.
struct IohPriWrite {
    UINT32 msgType;
    UINT32 offsetInComb, sizeInLbs;
    UINT8 *pData;
    T10Dif *pDif;
    UINT32 reqFlags;
    UINT8 *pScratch;      // compare-and-write: current content
    T10Dif *pScratchDif;
};

} // namespace

// ---- primary read ----

Mos_RC iohComb_ReadPrimary(Ioh *pIoh, const IohMsgCtx *pCtx, const TgtReq_IoRead *pRec, IohResp *pIoRes,
                           BOOL *pbT10Dif)
{
    const IohHooks *h = pIoh->pHooks;
    Mos_RC rc = ioh_CheckRange(pRec->offsetInComb, pRec->sizeInLbs);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    iohStats_Start(pIoh, pRec->sizeInLbs, pCtx->msgType, FALSE, TRUE);
    IohCombRef comb(pIoh, pRec->combId);
    comb.reqCombGenNum = pRec->combGenNum;
    if (!comb.found())
        return MOS_RC__IO_FAULT_NO_COMB;
    IohRaidState st = comb.state();
    BOOL bT10Dif = st.bT10DifInMemOnly;
    if (ioh_IsQuiesced(pIoh))
        return MOS_RC__IO_FAULT_IS_QUIESCED;
    IohVolRef vol(pIoh, pRec->volId);
    if (vol.pVol == nullptr)
        return MOS_RC__IO_FAULT_NO_VOL;
    VtoId vtoId = 0;
    UINT64 key = 0;
    Vtree *pVtree = h->getVolVtree(vol.pVol, &vtoId, &key);
    rc = ioh_CheckVolNode(pVtree, pRec->volId, vtoId, "Read");
    if (rc != MOS_RC__SUCCESS)
        return rc;
    if (!h->firstAccess(comb.pRaid)) {
        MOS_ERROR(MOS_COMP_TGT_IOH, "Read - First access failed Comb %lx, offset %u, size %u, vtoId %u, time %u",
                  (unsigned long)pRec->combId, pRec->offsetInComb, pRec->sizeInLbs, vtoId, 0u);
        return MOS_RC__IO_HARD_ERROR;
    }
    if (pRec->sizeInLbs == 0)
        return MOS_RC__SUCCESS;
    IohLocked locked(pIoh, comb.pElock);
    IohToothChoice choice;
    rc = iohComb_TakeElocks(pIoh, &comb, pVtree, pRec->offsetInComb, pRec->sizeInLbs, vtoId, FALSE,
                            st.bTranslateZeroRead, FALSE, &locked, &choice);
    if (rc == MOS_RC__SUCCESS || rc == MOS_RC__IO_ZERO_BUF) {
        Mos_RC vrc = h->validateVol(vol.pVol, pRec->volGenNum, pRec->scsiGenNum, pRec->regKey,
                                    &pIoRes->resIoRW.scsiGenNum);
        if (vrc != MOS_RC__SUCCESS) {
            MOS_ERROR(MOS_COMP_TGT_IOH,
                      "Read of size %u - Validation error. Received: volume gen %lx scsi gen %lx regKey: %lx (%s)",
                      pRec->sizeInLbs, (unsigned long)pRec->volGenNum, (unsigned long)pRec->scsiGenNum,
                      (unsigned long)pRec->regKey, MOS_RC__GET_STR(vrc));
            return vrc;
        }
    }
    BOOL bVolQuiesced = h->isVolQuiesced(vol.pVol);
    IohCacheRead cache{};
    if (rc == MOS_RC__IO_ZERO_BUF && st.bTranslateZeroRead && locked.wholeTooth() && locked.bWrite()) {
        // The tooth is locked whole and exclusively: write it with zeros, then answer 21.
        MOS_TRACE(MOS_COMP_TGT_IOH, MOS_FREQ_MED, "Translated read zero buf to write zero on comb %lx, offset %u",
                  (unsigned long)pRec->combId, pRec->offsetInComb);
        IohToothChoice zc;
        UINT32 toothOffset = toothOffsetOf(pRec->offsetInComb);
        Mos_RC zrc = iohComb_TakeElocks(pIoh, &comb, pVtree, toothOffset, kToothLbs, vtoId, TRUE, FALSE, TRUE,
                                        &locked, &zc);
        if (zrc == MOS_RC__SUCCESS) {
            IohToothBuf zeros;
            memset(zeros.pData, 0, (size_t)kToothLbs * 512);
            if (key != 0)
                mos_Encrypt(zeros.pData, kToothLbs, key);
            WrIoFlags wr{};
            wr.bPrimary = TRUE;
            wr.bZeroWrite = TRUE;
            zrc = iohComb_WriteTooth(pIoh, &comb, pVtree, &zc, toothOffset, kToothLbs, zeros.pData, nullptr, wr,
                                     COPY_TYPE__NONE, key, nullptr, nullptr);
        }
        if (zrc != MOS_RC__SUCCESS)
            ioh_RollbackNewTooth(&comb, &zc, toothOffset, zrc);
        rc = zrc == MOS_RC__SUCCESS ? MOS_RC__IO_ZERO_BUF : zrc;
    } else if (rc == MOS_RC__SUCCESS) {
        if (h->isOstrelBlocked(pIoh->pCont))
            return MOS_RC__IO_FAULT_BLOCKED;
        if (ioh_IsTimeExceededUpToElock(pCtx->startTick, pRec->combId, pRec->offsetInComb))
            return MOS_RC__IO_HARD_ERROR;
        cache.bUseCache = !ioh_IsHeldCacheSkip(pIoh, vol.pVol, comb.pRaid, pRec->sizeInLbs, pRec->offsetInComb, FALSE);
        cache.obfuscationKey = key;
        rc = iohComb_ReadTooth(pIoh, &comb, choice.toothIndex, pRec->offsetInComb, pRec->sizeInLbs,
                               pIoRes->pReadData, bT10Dif ? pIoRes->pReadDif : nullptr, TRUE, COPY_TYPE__NONE,
                               &cache);
        if (rc == MOS_RC__SUCCESS && key != 0) {
            if (bT10Dif) {
                Mos_RC drc = mosT10Dif_Encrypt(pIoRes->pReadData, pIoRes->pReadDif, 0, 0, 0, pRec->sizeInLbs, key);
                if (drc != MOS_RC__SUCCESS) {
                    // The partner's copy repairs this one; the process keeps serving.
                    MOS_ERROR(MOS_COMP_TGT_IOH, "(T10DIF) T10 DIF Decrypt failure. rc=%u. comb %lx offset %u",
                              (unsigned)drc, (unsigned long)pRec->combId, pRec->offsetInComb);
                    MOS_DIAG_COUNT(IO_ZERO_BUF_FAILURE);
                    rc = MOS_RC__IO_HARD_ERROR;
                }
            } else {
                mos_Encrypt(pIoRes->pReadData, pRec->sizeInLbs, key);
            }
        } else if (rc == MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED && ioh_PeerHasDif(pCtx->peerVer)) {
            MOS_ERROR(MOS_COMP_TGT_IOH, "(T10DIF) read guard failure comb %lx offset %u size %u",
                      (unsigned long)pRec->combId, pRec->offsetInComb, pRec->sizeInLbs);
            rc = MOS_RC__IO_HARD_ERROR;
        }
    }
    if (bVolQuiesced && h->isVolQuiesced(vol.pVol))
        pIoRes->bDelayResp = TRUE;
    *pbT10Dif = bT10Dif;
    iohComb_CountClientRead(pIoh, &comb, TRUE, rc, cache.bFromCache, pRec->sizeInLbs);
    iohStats_End(pIoh, pCtx, pRec->sizeInLbs, pCtx->msgType, FALSE, TRUE);
    return rc;
}

// ---- secondary read ----

Mos_RC iohComb_ReadSecondary(Ioh *pIoh, const IohMsgCtx *pCtx, CombId combId, UINT32 offsetInComb, UINT32 sizeInLbs,
                             GenNum combGenNum, VtoOnDev devVto, UINT32 copyReason, void *pData, T10Dif *pDif,
                             BOOL *pbT10Dif)
{
    const IohHooks *h = pIoh->pHooks;
    Mos_RC rc = ioh_CheckRange(offsetInComb, sizeInLbs);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    if (copyReason >= COPY_TYPE__COUNT) {
        MOS_ERROR(MOS_COMP_TGT_IOH, "Read sec of comb %lx with copy reason %u refused", (unsigned long)combId,
                  copyReason);
        return MOS_RC__INVALID;
    }
    UINT32 statType = copyReason == COPY_TYPE__NONE ? (UINT32)TGT_MSG_TYPE__IO_READ_SEC : 0;
    if (statType != 0)
        iohStats_Start(pIoh, sizeInLbs, statType, FALSE, FALSE);
    IohCombRef comb(pIoh, combId);
    if (!comb.found())
        return MOS_RC__IO_FAULT_NO_COMB;
    IohRaidState st = comb.state();
    if (st.bDevInError)
        return MOS_RC__IO_FAULT_DEVICE_ERROR;
    BOOL bT10Dif = st.bT10DifInMemOnly;
    IohLocked locked(pIoh, comb.pElock);
    locked.lock(FALSE, offsetInComb, sizeInLbs);
    st = comb.state();
    if (!st.bSecondary)
        return MOS_RC__IO_FAULT_NOT_SEC;
    IohVtreeRef tree(pIoh, combId, offsetInComb);
    if (tree.pVtree != nullptr && tree.bDeleting) {
        MOS_ERROR(MOS_COMP_TGT_IOH, "Trying to read from a vtree which is during deletion, combId: %lx offsetInComb: %u",
                  (unsigned long)combId, offsetInComb);
        return MOS_RC__IO_FAULT_NO_VOL;
    }
    if (st.bTPellar && combGenNum < st.combGenNum) {
        MOS_ERROR(MOS_COMP_TGT_IOH, "read sec at T-Pellar-received request from old comb generation combId %lx combGen:%lu cmdGen:%lu",
                  (unsigned long)combId, (unsigned long)st.combGenNum, (unsigned long)combGenNum);
        return MOS_RC__IO_FAULT_WRONG_COMB_GEN;
    }
    PhyToothIndex tooth = phyComb_GetToothIndex(comb.pPhy, devVto.vtoId, devVto.time, offsetInComb);
    if (tooth == kNoTooth) {
        if (statType != 0)
            iohComb_CountClientRead(pIoh, &comb, FALSE, MOS_RC__IO_ZERO_BUF, FALSE, sizeInLbs);
        return MOS_RC__IO_ZERO_BUF;
    }
    if (h->isOstrelBlocked(pIoh->pCont))
        return MOS_RC__IO_FAULT_BLOCKED;
    if (ioh_IsTimeExceededUpToElock(pCtx->startTick, combId, offsetInComb))
        return MOS_RC__IO_HARD_ERROR;
    if (sizeInLbs == 0)
        return MOS_RC__SUCCESS;
    IohCacheRead cache{}; // a partner's read lands in a buffer of the secondary pool, past the cache
    rc = iohComb_ReadTooth(pIoh, &comb, tooth, offsetInComb, sizeInLbs, pData, bT10Dif ? pDif : nullptr, FALSE,
                           copyReason, &cache);
    if (rc == MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED)
        rc = MOS_RC__IO_HARD_ERROR;
    *pbT10Dif = bT10Dif;
    if (statType != 0) {
        iohComb_CountClientRead(pIoh, &comb, FALSE, rc, cache.bFromCache, sizeInLbs);
        iohStats_End(pIoh, pCtx, sizeInLbs, statType, FALSE, FALSE);
    }
    return rc;
}

// ---- primary write ----

Mos_RC iohComb_WritePrimary(Ioh *pIoh, const IohMsgCtx *pCtx, const IohReqView *pView, IohResp *pIoRes)
{
    const IohHooks *h = pIoh->pHooks;
    TgtReq_IoWrite rec = iohReqView_Record<TgtReq_IoWrite>(pView);
    const IohReq *pReq = pView->pReq;
    BOOL bZeroWrite = pCtx->msgType == TGT_MSG_TYPE__IO_WRITE_PRI_ZERO;
    BOOL bTestAndSet = pCtx->msgType == TGT_MSG_TYPE__IO_WRITE_TEST_A_SET;
    Mos_RC rc = ioh_CheckRange(rec.offsetInComb, rec.sizeInLbs);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    UINT32 size = rec.sizeInLbs;
    iohStats_Start(pIoh, size, pCtx->msgType, TRUE, TRUE);
    IohCombRef comb(pIoh, rec.combId);
    comb.reqCombGenNum = rec.combGenNum;
    if (!comb.found())
        return MOS_RC__IO_FAULT_NO_COMB;
    IohRaidState st = comb.state();
    WrIoFlags wr{};
    wr.bPrimary = TRUE;
    wr.bZeroWrite = bZeroWrite;
    wr.bTestAndSet = bTestAndSet;
    wr.bT10Dif = st.bT10DifInMemOnly;
    if (ioh_IsQuiesced(pIoh))
        return MOS_RC__IO_FAULT_IS_QUIESCED;
    IohVolRef vol(pIoh, rec.volId);
    if (vol.pVol == nullptr)
        return MOS_RC__IO_FAULT_NO_VOL;
    VtoId vtoId = 0;
    UINT64 key = 0;
    Vtree *pVtree = h->getVolVtree(vol.pVol, &vtoId, &key);
    rc = ioh_CheckVolNode(pVtree, rec.volId, vtoId, "Write");
    if (rc != MOS_RC__SUCCESS)
        return rc;
    if (!h->firstAccess(comb.pRaid))
        return MOS_RC__IO_HARD_ERROR;
    if (size == 0)
        return MOS_RC__SUCCESS;
    IohLocked locked(pIoh, comb.pElock);
    IohToothChoice choice;
    // From here on a tooth allocated for this write is given back on every failure.
    auto fail = [&](Mos_RC frc) {
        ioh_RollbackNewTooth(&comb, &choice, rec.offsetInComb, frc);
        return frc;
    };
    rc = iohComb_TakeElocks(pIoh, &comb, pVtree, rec.offsetInComb, size, vtoId, TRUE, FALSE, FALSE, &locked, &choice);
    if (rc != MOS_RC__SUCCESS)
        return fail(rc);
    rc = h->validateVol(vol.pVol, rec.volGenNum, rec.scsiGenNum, rec.regKey, &pIoRes->resIoRW.scsiGenNum);
    if (rc != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_TGT_IOH,
                  "Write primary of size %u - Validation error. Received: volume gen %lx scsi gen %lx regKey: %lx (%s)",
                  size, (unsigned long)rec.volGenNum, (unsigned long)rec.scsiGenNum, (unsigned long)rec.regKey,
                  MOS_RC__GET_STR(rc));
        return fail(rc);
    }
    BOOL bVolQuiesced = h->isVolQuiesced(vol.pVol);
    UINT8 *pData = static_cast<UINT8 *>(pReq->bufs[1].p);
    T10Dif *pDif = static_cast<T10Dif *>(pReq->bufs[2].p);
    UINT32 reqFlags = rec.flags;
    if (ioh_PeerHasDif(pCtx->peerVer))
        wr.bT10Dif = TRUE;
    if (bZeroWrite) {
        // A zero write's data is zeros, whatever its buffer holds.
        memset(pData, 0, (size_t)size * 512);
        if (wr.bT10Dif) {
            memset(pDif, 0, (size_t)size * sizeof(T10Dif));
            reqFlags |= TGT_IO_WR__T10DIF_ATTACHED;
        }
    }
    if (wr.bT10Dif) {
        if ((reqFlags & (TGT_IO_WR__T10DIF_ATTACHED | TGT_IO_WR__T10DIF_ATTACH_FAIL)) == TGT_IO_WR__T10DIF_ATTACH_FAIL)
            MOS_DIAG_COUNT(T10DIF_WR_SUPPORT_ATTACH_FAIL);
        else if ((reqFlags & (TGT_IO_WR__T10DIF_ATTACHED | TGT_IO_WR__T10DIF_ATTACH_FAIL)) == 0) {
            MOS_ERROR(MOS_COMP_TGT_IOH, "(T10DIF) Failing IO due to mismatch in T10DIF config:reqFlags=%x, peerVer=%x",
                      reqFlags, pCtx->peerVer);
            return fail(MOS_RC__DIF_ATTACH_MISSING);
        }
    }
    if (h->isOstrelBlocked(pIoh->pCont))
        return fail(MOS_RC__IO_FAULT_BLOCKED);
    UINT8 *pWriteData = bTestAndSet ? pData + (size_t)size * 512 : pData;
    T10Dif *pWriteDif = bTestAndSet ? pDif + size : pDif;
    BOOL bGuards = wr.bT10Dif && (reqFlags & TGT_IO_WR__T10DIF_ATTACHED) != 0 && !bZeroWrite;
    if (bGuards) {
        // Guards that came with the data are checked before anything is stored.
        rc = mosT10Dif_VerifyT10DIFBuffer(pData, pDif, 0, 0, 0, bTestAndSet ? 2 * size : size);
        if (rc != MOS_RC__SUCCESS) {
            MOS_ERROR(MOS_COMP_TGT_IOH, "(T10DIF) T10DIF Write IO failed. skip restart !!!");
            return fail(MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED);
        }
    }
    if (ioh_IsTimeExceededUpToElock(pCtx->startTick, rec.combId, rec.offsetInComb))
        return fail(MOS_RC__IO_HARD_ERROR);
    if (bTestAndSet) {
        UINT8 *pScratch = static_cast<UINT8 *>(pReq->bufs[3].p);
        T10Dif *pScratchDif = static_cast<T10Dif *>(pReq->bufs[4].p);
        Mos_RC rrc = MOS_RC__IO_ZERO_BUF;
        PhyToothIndex cur = choice.bNewTooth ? choice.newTooth.srcToothIndex : choice.toothIndex;
        if (cur != kNoTooth)
            rrc = iohComb_ReadTooth(pIoh, &comb, cur, rec.offsetInComb, size, pScratch, nullptr, TRUE,
                                    COPY_TYPE__NONE);
        if (rrc == MOS_RC__IO_ZERO_BUF) {
            if (!ioh_RangeIsZero(pData, (size_t)size * 512))
                return fail(MOS_RC__IO_FAULT_TEST_FAILED);
        } else if (rrc == MOS_RC__SUCCESS) {
            if (key != 0)
                mos_Encrypt(pScratch, size, key);
            if (memcmp(pScratch, pData, (size_t)size * 512) != 0)
                return fail(MOS_RC__IO_FAULT_TEST_FAILED);
            (void)pScratchDif;
        } else {
            MOS_ERROR(MOS_COMP_TGT_IOH, "Test&Set failed to read block(s) for comparison. rc=%u", (unsigned)rrc);
            return fail(rrc);
        }
    }
    rc = tgtT10Dif_HandleWritePri(pWriteData, pWriteDif, size, key, wr, reqFlags);
    if (rc != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_TGT_IOH, "(T10DIF) T10 DIF Encrypt failure. rc=%u", (unsigned)rc);
        return fail(MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED);
    }
    rc = iohComb_WriteTooth(pIoh, &comb, pVtree, &choice, rec.offsetInComb, size, pWriteData,
                            wr.bT10Dif ? pWriteDif : nullptr, wr, COPY_TYPE__NONE, key, nullptr, nullptr);
    if (rc != MOS_RC__SUCCESS)
        return fail(rc);
    if (bVolQuiesced && h->isVolQuiesced(vol.pVol))
        pIoRes->bDelayResp = TRUE;
    h->updateIoBwc(comb.pRaid, CONT_BWC_IO_COUNTER__PRI_IO, size, TRUE);
    iohStats_End(pIoh, pCtx, size, pCtx->msgType, TRUE, TRUE);
    return MOS_RC__SUCCESS;
}

// ---- secondary write ----

Mos_RC iohComb_WriteSecondary(Ioh *pIoh, const IohMsgCtx *pCtx, const IohReqView *pView, IohResp *pIoRes)
{
    const IohHooks *h = pIoh->pHooks;
    TgtReq_IoWriteSec rec = iohReqView_Record<TgtReq_IoWriteSec>(pView);
    const IohReq *pReq = pView->pReq;
    BOOL bCopy = pCtx->msgType == TGT_MSG_TYPE__IO_WRITE_SEC_COPY;
    BOOL bZeroWrite = pCtx->msgType == TGT_MSG_TYPE__IO_WRITE_SEC_ZERO;
    Mos_RC rc = ioh_CheckRange(rec.offsetInComb, rec.sizeInLbs);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    if ((bCopy && (rec.copyReason == COPY_TYPE__NONE || rec.copyReason >= COPY_TYPE__COUNT)) ||
        (!bCopy && rec.copyReason != COPY_TYPE__NONE) || rec.devVto.time == 0) {
        MOS_ERROR(MOS_COMP_TGT_IOH, "Write sec %u of comb %lx refused: copy reason %u, version (%u, %u)",
                  pCtx->msgType, (unsigned long)rec.combId, rec.copyReason, rec.devVto.vtoId, rec.devVto.time);
        return MOS_RC__INVALID;
    }
    UINT32 size = rec.sizeInLbs;
    UINT32 statType = bZeroWrite ? (UINT32)TGT_MSG_TYPE__IO_WRITE_SEC_ZERO : (UINT32)TGT_MSG_TYPE__IO_WRITE_SEC;
    iohStats_Start(pIoh, size, statType, TRUE, FALSE);
    IohCombRef comb(pIoh, rec.combId);
    comb.reqCombGenNum = rec.combGenNum;
    if (!comb.found())
        return MOS_RC__IO_FAULT_NO_COMB;
    IohRaidState st = comb.state();
    if (st.bDevInError)
        return MOS_RC__IO_FAULT_DEVICE_ERROR;
    IohCopyThrottle throttle(pIoh, &comb, rec.sizeInLbs, rec.copyReason);
    WrIoFlags wr{};
    wr.bZeroWrite = bZeroWrite;
    wr.bT10Dif = st.bT10DifInMemOnly;
    if (wr.bT10Dif && !bZeroWrite && (rec.flags & TGT_IO_WR__T10DIF_ATTACHED) == 0) {
        MOS_DIAG_COUNT(T10DIF_WR_SEC_DIF_MISSING);
        MOS_ERROR(MOS_COMP_TGT_IOH,
                  "(T10DIF) WriteSec without DIF but config indicate Comb has DIF enabled: sizeInLbs=%u, combId=%lx, offsetInComb=%u",
                  size, (unsigned long)rec.combId, rec.offsetInComb);
        wr.bT10Dif = FALSE;
    }
    IohVtreeRef tree(pIoh, rec.combId, rec.offsetInComb);
    if (tree.pVtree == nullptr) {
        MOS_ERROR(MOS_COMP_TGT_IOH, "Write %u - No vtree, offset %u, Head %x, Vtree %lx", size, rec.offsetInComb,
                  (unsigned)(rec.combId >> 15), 0ul);
        return MOS_RC__IO_FAULT_NO_VOL;
    }
    if (tree.bDeleting) {
        MOS_TRACE(MOS_COMP_TGT_IOH, MOS_FREQ_MED,
                  "Migration/Rebuild trying to write vTree %lx, which is being deleted. Size=%u Offset=%u Head=%x",
                  (unsigned long)tree.pVtree->vtreeId, size, rec.offsetInComb, (unsigned)(rec.combId >> 15));
        return MOS_RC__SUCCESS;
    }
    if (!h->firstAccess(comb.pRaid))
        return MOS_RC__IO_HARD_ERROR;
    if (size == 0)
        return MOS_RC__SUCCESS;
    IohLocked locked(pIoh, comb.pElock);
    IohToothChoice choice;
    choice.newTooth.vtoId = rec.devVto.vtoId;
    choice.newTooth.time = rec.devVto.time;
    choice.toothIndex = phyComb_GetToothIndex(comb.pPhy, rec.devVto.vtoId, rec.devVto.time, rec.offsetInComb);
    if (choice.toothIndex == kNoTooth) {
        locked.lock(TRUE, toothOffsetOf(rec.offsetInComb), kToothLbs);
        choice.toothIndex = phyComb_GetToothIndex(comb.pPhy, rec.devVto.vtoId, rec.devVto.time, rec.offsetInComb);
        if (choice.toothIndex == kNoTooth) {
            PhyToothIndex t = phyComb_AllocTooth(comb.pPhy, rec.offsetInComb);
            if (t == kNoTooth) {
                MOS_ERROR(MOS_COMP_TGT_IOH, "Tooth allocation failed. combId=%lx offsetInComb=%u",
                          (unsigned long)rec.combId, rec.offsetInComb);
                return MOS_RC__IO_FAULT_NO_SPACE;
            }
            choice.newTooth.dstToothIndex = t;
            choice.bNewTooth = TRUE;
        } else {
            locked.unlock();
            locked.lock(TRUE, rec.offsetInComb, size);
        }
    } else {
        locked.lock(TRUE, rec.offsetInComb, size);
    }
    auto fail = [&](Mos_RC frc) {
        ioh_RollbackNewTooth(&comb, &choice, rec.offsetInComb, frc);
        return frc;
    };
    st = comb.state();
    if (!st.bSecondary && !(bCopy && rec.copyReason == COPY_TYPE__REVERSE_REBUILD))
        return fail(MOS_RC__IO_FAULT_NOT_SEC);
    if (st.bTPellar && rec.combGenNum < st.combGenNum) {
        MOS_ERROR(MOS_COMP_TGT_IOH, "Write sec at T-Pellar-received request from old comb generation combId %lx combGen:%lu cmdGen:%lu",
                  (unsigned long)rec.combId, (unsigned long)st.combGenNum, (unsigned long)rec.combGenNum);
        return fail(MOS_RC__IO_FAULT_WRONG_COMB_GEN);
    }
    if (h->isOstrelBlocked(pIoh->pCont))
        return fail(MOS_RC__IO_FAULT_BLOCKED);
    UINT8 *pData = static_cast<UINT8 *>(pReq->bufs[1].p);
    T10Dif *pDif = static_cast<T10Dif *>(pReq->bufs[2].p);
    if (bZeroWrite) {
        memset(pData, 0, (size_t)size * 512);
        if (wr.bT10Dif)
            memset(pDif, 0, (size_t)size * sizeof(T10Dif));
    }
    if ((rec.flags & TGT_IO_WR__SEC_DO_OBFUSCATE) != 0) {
        UINT64 key = tree.pVtree->encryption;
        if (wr.bT10Dif) {
            rc = key == 0 ? MOS_RC__SUCCESS : mosT10Dif_Encrypt(pData, pDif, 0, 0, 0, size, key);
            if (rc != MOS_RC__SUCCESS) {
                MOS_ERROR(MOS_COMP_TGT_IOH, "Write on Sec failed DIF verification over encrypt: rc=%u", (unsigned)rc);
                return fail(MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED);
            }
        } else if (key != 0) {
            mos_Encrypt(pData, size, key);
        }
    }
    if (ioh_IsTimeExceededUpToElock(pCtx->startTick, rec.combId, rec.offsetInComb))
        return fail(MOS_RC__IO_HARD_ERROR);
    memset(&pIoRes->resWriteSecCopy, 0, sizeof(pIoRes->resWriteSecCopy));
    rc = iohComb_WriteTooth(pIoh, &comb, tree.pVtree, &choice, rec.offsetInComb, size, pData,
                            wr.bT10Dif ? pDif : nullptr, wr, rec.copyReason, 0,
                            &pIoRes->resWriteSecCopy.lbsPerRebuildJobLimit,
                            &pIoRes->resWriteSecCopy.lbsPerRebalanceJobLimit);
    if (rc != MOS_RC__SUCCESS)
        return fail(rc);
    if (bCopy && rec.copyReason == COPY_TYPE__SCAN) {
        MOS_TRACE(MOS_COMP_TGT_IOH, MOS_FREQ_LOW, "Succeeded to fix comb %lx, offset %u, by its primary",
                  (unsigned long)rec.combId, rec.offsetInComb);
        if (rec.bScanIncLocalFixesCounter && comb.pPhy->pDev != nullptr)
            phyDev_IncreaseLocalDiskFixesCounter(comb.pPhy->pDev);
    }
    h->updateIoBwc(comb.pRaid, bCopy ? rec.copyReason : (UINT32)CONT_BWC_IO_COUNTER__SEC_IO, size, TRUE);
    iohStats_End(pIoh, pCtx, size, statType, TRUE, FALSE);
    return MOS_RC__SUCCESS;
}

// ---- trim ----

Mos_RC iohComb_TrimPrimary(Ioh *pIoh, const IohMsgCtx *pCtx, const TgtReq_Trim *pRec, IohResp *pIoRes)
{
    (void)pCtx;
    const IohHooks *h = pIoh->pHooks;
    Mos_RC rc = ioh_CheckTrimRange(pRec->offsetInComb);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    iohStats_Start(pIoh, kToothLbs, TGT_MSG_TYPE__TRIM_PRI, TRUE, TRUE);
    IohCombRef comb(pIoh, pRec->combId);
    if (!comb.found())
        return MOS_RC__IO_FAULT_NO_COMB;
    IohVolRef vol(pIoh, pRec->volId);
    if (vol.pVol == nullptr)
        return MOS_RC__IO_FAULT_NO_VOL;
    rc = h->validateVol(vol.pVol, pRec->volGenNum, pRec->scsiGenNum, pRec->regKey, &pIoRes->resIoRW.scsiGenNum);
    if (rc != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_TGT_IOH, "Trim primary - Validation error. Received: volume gen %lx scsi gen %lx regKey: %lx",
                  (unsigned long)pRec->volGenNum, (unsigned long)pRec->scsiGenNum, (unsigned long)pRec->regKey);
        return rc;
    }
    VtoId vtoId = 0;
    UINT64 key = 0;
    Vtree *pVtree = h->getVolVtree(vol.pVol, &vtoId, &key);
    rc = ioh_CheckVolNode(pVtree, pRec->volId, vtoId, "Trim");
    if (rc != MOS_RC__SUCCESS)
        return rc;
    if (!h->firstAccess(comb.pRaid))
        return MOS_RC__IO_HARD_ERROR;
    IohLocked locked(pIoh, comb.pElock);
    locked.lock(TRUE, pRec->offsetInComb, kToothLbs);
    if (ioh_VtreeHasSnapshots(pVtree))
        return MOS_RC__IO_FAULT_VOL_HAS_SNAPSHOTS;
    if (!pVtree->bThin)
        return MOS_RC__IO_FAULT_VOL_NOT_THIN;
    IohRaidState st = comb.state();
    if (st.bSkipTrim)
        return MOS_RC__SUCCESS;
    if (st.bReverseRebuild) {
        Mos_RC lrc = h->readRemoteToothList(comb.pRaid, pRec->offsetInComb);
        if (lrc != MOS_RC__SUCCESS) {
            MOS_ERROR(MOS_COMP_TGT_IOH, "Trim - Comb %lx, offset %u Failed to read T-Pellar tooth list (rc=%s)",
                      (unsigned long)pRec->combId, pRec->offsetInComb, MOS_RC__GET_STR(lrc));
            return MOS_RC__SUCCESS;
        }
    }
    PhyToothIndex tooth =
        phyComb_GetToothIndexWithVtree(comb.pPhy, pVtree, vtoId, pRec->offsetInComb, FALSE, FALSE, 0, nullptr, nullptr);
    if (tooth == kNoTooth)
        return MOS_RC__SUCCESS;
    if (ioh_IsTimeExceededUpToElock(pCtx->startTick, pRec->combId, pRec->offsetInComb))
        return MOS_RC__IO_HARD_ERROR;
    return h->trim(comb.pRaid, pVtree, pRec->offsetInComb, tooth, TRUE);
}

Mos_RC iohComb_TrimSecondary(Ioh *pIoh, const IohMsgCtx *pCtx, const TgtReq_TrimSec *pRec)
{
    const IohHooks *h = pIoh->pHooks;
    Mos_RC rc = ioh_CheckTrimRange(pRec->offsetInComb);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    iohStats_Start(pIoh, kToothLbs, TGT_MSG_TYPE__TRIM_SEC, TRUE, FALSE);
    IohCombRef comb(pIoh, pRec->combId);
    if (!comb.found())
        return MOS_RC__IO_FAULT_NO_COMB;
    if (!h->firstAccess(comb.pRaid))
        return MOS_RC__IO_HARD_ERROR;
    IohLocked locked(pIoh, comb.pElock);
    locked.lock(TRUE, pRec->offsetInComb, kToothLbs);
    PhyToothIndex tooth = phyComb_GetToothIndex(comb.pPhy, pRec->devVto.vtoId, pRec->devVto.time, pRec->offsetInComb);
    if (tooth == kNoTooth)
        return MOS_RC__SUCCESS;
    if (ioh_IsTimeExceededUpToElock(pCtx->startTick, pRec->combId, pRec->offsetInComb))
        return MOS_RC__IO_HARD_ERROR;
    IohVtreeRef tree(pIoh, pRec->combId, pRec->offsetInComb);
    return h->trim(comb.pRaid, tree.pVtree, pRec->offsetInComb, tooth, FALSE);
}

// ---- peer services ----

BOOL ioh_ReadCombDrl(Ioh *pIoh, const TgtReq_ReadCombDrl *pReadDrlCmd, TgtRsp_ReadCombFineDrl *pReadDrlRes)
{
    if (pReadDrlCmd->bAllTeeth) {
        MOS_ERROR(MOS_COMP_TGT_IOH, "Read Drl %lx - all teeth is not served", (unsigned long)pReadDrlCmd->combId);
        return FALSE;
    }
    IohCombRef comb(pIoh, pReadDrlCmd->combId);
    if (!comb.found()) {
        MOS_TRACE(MOS_COMP_TGT_IOH, MOS_FREQ_MED, "Read Drl - No combId %lx (dit)", (unsigned long)pReadDrlCmd->combId);
        return FALSE;
    }
    if (!comb.state().bSecondary) {
        MOS_TRACE(MOS_COMP_TGT_IOH, MOS_FREQ_MED, "Read Drl %lx - Not secondary  (dit)",
                  (unsigned long)pReadDrlCmd->combId);
        return FALSE;
    }
    memset(pReadDrlRes, 0, sizeof(*pReadDrlRes));
    return pIoh->pHooks->readCombDrl(comb.pRaid, pReadDrlRes);
}

BOOL ioh_ResetCombDrl(Ioh *pIoh, const TgtReq_ResetCombDrl *pResetDrlCmd)
{
    IohCombRef comb(pIoh, pResetDrlCmd->combId);
    if (!comb.found())
        return FALSE;
    IohRaidState st = comb.state();
    if (!st.bSecondary)
        return FALSE;
    if (pResetDrlCmd->combGenNum < st.combGenNum) {
        MOS_ERROR(MOS_COMP_TGT_IOH,
                  "Reset comb DRL at %s - received request from old comb generation combId %lx combGen:%lu cmdGen:%lu",
                  st.bTPellar ? "T-Pellar" : "Secondary", (unsigned long)pResetDrlCmd->combId,
                  (unsigned long)st.combGenNum, (unsigned long)pResetDrlCmd->combGenNum);
        return FALSE;
    }
    return pIoh->pHooks->resetCombDrl(comb.pRaid);
}

Mos_RC ioh_ReadToothList(Ioh *pIoh, const TgtReq_GetToothList *pReq, TgtRsp_GetToothList *pRsp)
{
    if ((UINT64)pReq->offsetInComb >= combSizeInLbs_g)
        return MOS_RC__INVALID;
    IohCombRef comb(pIoh, pReq->combId);
    if (!comb.found())
        return MOS_RC__IO_FAULT_NO_COMB;
    if (!comb.state().bSecondary)
        return MOS_RC__IO_FAULT_NOT_SEC;
    VtoOnDev list[PHY_COMB__MAX_VERSIONS];
    UINT32 n = phyComb_ReadToothList(comb.pPhy, pReq->offsetInComb, list, PHY_COMB__MAX_VERSIONS);
    if (n > TGT_MSG__MAX_TEETH_IN_LIST) {
        MOS_ERROR(MOS_COMP_TGT_IOH, "Tooth list of comb %lx offset %u has %u versions, more than a list holds",
                  (unsigned long)pReq->combId, pReq->offsetInComb, n);
        return MOS_RC__IO_HARD_ERROR;
    }
    pRsp->numOfTeeth = n;
    memcpy(pRsp->vtoBuf, list, (size_t)n * sizeof(VtoOnDev));
    return MOS_RC__SUCCESS;
}

Mos_RC ioh_CleanToothList(Ioh *pIoh, const TgtReq_CleanToothList *pReq)
{
    if (pReq->numOfTeeth > TGT_MSG__MAX_TEETH_IN_LIST || (UINT64)pReq->offsetInComb >= combSizeInLbs_g) {
        MOS_ERROR(MOS_COMP_TGT_IOH, "Clean tooth on comb %lx refused: %u teeth at offset %u",
                  (unsigned long)pReq->combId, pReq->numOfTeeth, pReq->offsetInComb);
        return MOS_RC__INVALID;
    }
    IohCombRef comb(pIoh, pReq->combId);
    if (!comb.found())
        return MOS_RC__IO_FAULT_NO_COMB;
    IohRaidState st = comb.state();
    if (!st.bSecondary)
        return MOS_RC__IO_FAULT_NOT_SEC;
    if (pReq->offsetInComb % kToothLbs != 0) {
        MOS_ERROR(MOS_COMP_TGT_IOH, "Clean tooth on comb %lx, offset %u LBs is not at the beginning of tooth",
                  (unsigned long)pReq->combId, pReq->offsetInComb);
        return MOS_RC__INVALID;
    }
    IohLocked locked(pIoh, comb.pElock);
    locked.lock(TRUE, pReq->offsetInComb, kToothLbs);
    st = comb.state();
    if (st.bTPellar && pReq->combGenNum < st.combGenNum)
        return MOS_RC__IO_FAULT_WRONG_COMB_GEN;
    VtoOnDev list[TGT_MSG__MAX_TEETH_IN_LIST];
    memcpy(list, pReq->vtoBuf, sizeof(list));
    BOOL bHarden = FALSE;
    return phyComb_CleanToothList(comb.pPhy, pReq->offsetInComb, pReq->numOfTeeth, list, &bHarden);
}

Mos_RC ioh_GetCombNextTooth(Ioh *pIoh, const TgtReq_GetNextTooth *pReq, TgtRsp_GetNextTooth *pRsp)
{
    if (pReq->toothInComb >= teethInComb_g) {
        MOS_ERROR(MOS_COMP_TGT_IOH, "Next tooth of comb %lx refused: tooth %u", (unsigned long)pReq->combId,
                  pReq->toothInComb);
        return MOS_RC__INVALID;
    }
    IohCombRef comb(pIoh, pReq->combId);
    if (!comb.found())
        return MOS_RC__IO_FAULT_NO_COMB;
    return pIoh->pHooks->getCombNextTooth(comb.pRaid, pReq, pRsp);
}
