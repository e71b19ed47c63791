// The I/O handler on a comb of a sparse device file, with the controller and the comb's mirroring
// object played by the test: volumes by id, the comb's state, and the local half of the comb's
// reads, writes and trims (no partner). Requests are built as the receive path delivers them.
#pragma once

#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "test/support/tgt_comb_fixture.h"
#include "test/support/ioh_rig.h"
#include "tgt/ioh/ioh.h"

struct IohFakeVol {
    Vtree *pVtree;
    VtoId vtoId;
    UINT64 key;
    Mos_RC validateRc = MOS_RC__SUCCESS;
    UINT64 curScsiGen = 0;
};

class IohFixture : public CombFixture {
  public:
    static constexpr CombId kIohComb = CombFixture::kComb;

    void upIoh(UINT64 locksInTooth = 256)
    {
        up();
        tgtInitParam_G.elockNumberOfLocksInTooth = locksInTooth;
        ASSERT_EQ(elock_Init(&elock, 1, 256), MOS_RC__SUCCESS);
        elockComb_Init(&ecomb);
        iohComb = IohComb{&ecomb, reinterpret_cast<RaidComb *>(this)};
        pCur_ = this;
        pPhy_ = &comb;
        ioh_Init(&ioh, cont.cont(), &kHooks, &elock);
        state.priRc = MOS_RC__SUCCESS;
        bIohUp = true;
    }
    void downIoh()
    {
        if (!bIohUp)
            return;
        ioh_Destroy(&ioh);
        EXPECT_TRUE(elockComb_IsIdle(&ecomb));
        elockComb_Destroy(&ecomb);
        elock_Destroy(&elock);
        pCur_ = nullptr;
        bIohUp = false;
        down();
    }

    // A request of type with record rec and buffers of the given sizes (data filled by the caller).
    struct Req {
        std::vector<UINT8> rec;
        std::vector<std::unique_ptr<CombFixture::Buf>> bufs;
        IohReq req{};
        UINT8 *data(UINT32 i) { return bufs[i - 1]->p; }
    };
    template <typename T> std::unique_ptr<Req> makeReq(UINT32 type, const T &rec, std::vector<UINT32> bufBytes)
    {
        auto r = std::make_unique<Req>();
        r->rec.resize(sizeof(T));
        memcpy(r->rec.data(), &rec, sizeof(T));
        r->req.msgType = type;
        r->req.peerVer = peerVer;
        r->req.numOfBufs = 1 + (UINT32)bufBytes.size();
        r->req.bufs[0] = {r->rec.data(), (UINT32)sizeof(T)};
        for (size_t i = 0; i < bufBytes.size(); i++) {
            r->bufs.push_back(std::make_unique<CombFixture::Buf>((bufBytes[i] + 511) / 512 + 1, 0));
            r->req.bufs[i + 1] = {r->bufs.back()->p, bufBytes[i]};
        }
        return r;
    }
    TgtReq_IoWrite writeRec(UINT64 volId, UINT32 off, UINT32 size, UINT32 flags = 0)
    {
        TgtReq_IoWrite w{};
        w.combId = kIohComb;
        w.volId = volId;
        w.offsetInComb = off;
        w.sizeInLbs = size;
        w.flags = flags;
        return w;
    }
    TgtReq_IoRead readRec(UINT64 volId, UINT32 off, UINT32 size)
    {
        TgtReq_IoRead r{};
        r.combId = kIohComb;
        r.volId = volId;
        r.offsetInComb = off;
        r.sizeInLbs = size;
        return r;
    }

    // Serves a request on a uthread; the answer's code.
    Mos_RC serve(IohReq *pReq, IohResp *pRes = nullptr)
    {
        IohResp local{};
        if (pRes == nullptr)
            pRes = &local;
        if (pRes->pReadData == nullptr) {
            pRes->pReadData = readBuf.p;
            pRes->pReadDif = reinterpret_cast<T10Dif *>(readDif.p);
            pRes->pDrlRsp = drl.get();
        }
        dev.run([&] { ioh_NewRequest(&ioh, pReq, pRes); });
        return pRes->rc;
    }
    // Writes n LB of fill at off of a volume (2103); the code.
    Mos_RC clientWrite(UINT64 volId, UINT32 off, UINT32 n, UINT8 fill)
    {
        auto r = makeReq(TGT_MSG_TYPE__IO_WRITE_PRI, writeRec(volId, off, n, TGT_IO_WR__T10DIF_ATTACHED),
                         {n * 512, n * 2});
        memset(r->data(1), fill, (size_t)n * 512);
        mosT10Dif_GenT10DIF(r->data(1), reinterpret_cast<T10Dif *>(r->data(2)), 0, 0, 0, n);
        return serve(&r->req);
    }
    // The first byte of each LB read (2101); zeros for 21.
    std::vector<UINT8> clientRead(UINT64 volId, UINT32 off, UINT32 n, Mos_RC *pRc = nullptr)
    {
        auto r = makeReq(TGT_MSG_TYPE__IO_READ_PRI, readRec(volId, off, n), {});
        memset(readBuf.p, 0xEE, (size_t)n * 512);
        Mos_RC rc = serve(&r->req);
        if (pRc != nullptr)
            *pRc = rc;
        std::vector<UINT8> out(n, 0xEE);
        for (UINT32 i = 0; i < n; i++)
            out[i] = rc == MOS_RC__IO_ZERO_BUF ? 0 : readBuf.p[(size_t)i * 512];
        return out;
    }

    Elock elock{};
    ElockComb ecomb{};
    IohComb iohComb{};
    Ioh ioh{};
    IohRaidState state{};
    std::map<UINT64, IohFakeVol> vols;
    bool bCombHere = true;
    bool bFirstAccessOk = true;
    bool bOstrelBlocked = false;
    bool bCorruptReadGuards = false;
    UINT32 cacheMaxLbs = 256;
    bool bVolCached = true, bDevCached = true, bCombWritesCached = true;
    UINT32 peerVer = TGT_PEER_VER__FIRST_WITH_DIF;
    int volRefs = 0, combRefs = 0, cleanRemoteCalls = 0;
    bool bVolQuiesced = false;
    std::vector<UINT64> hungVols; // answers handed to a quiesced volume
    std::set<UINT32> rebuildTeeth; // teeth in comb whose copy needs rebuild
    std::vector<IohCombWrite> writes; // what reached the comb
    bool bReadsFromCache = false; // the comb's reads say the RAM read cache served them
    std::vector<bool> cacheReads; // per comb read: whether the handler let it through the RAM read cache
    struct Throttle {
        bool bStart;
        UINT32 sizeInLbs, copyReason;
        bool bNoLockHeld;
        bool operator==(const Throttle &) const = default;
    };
    std::vector<Throttle> throttles;
    std::map<std::pair<UINT32, bool>, UINT64> bwc; // LB per (counter kind, write)
    std::vector<UINT32> ioLimiterCharges;          // LB charged to the client-I/O limiter
    bool bLockHeldAtCharge = false;                // a charge came with a lock or reference held
    CombFixture::Buf readBuf{2048, 0};
    CombFixture::Buf readDif{8, 0};
    std::unique_ptr<TgtRsp_ReadCombFineDrl> drl = std::make_unique<TgtRsp_ReadCombFineDrl>();
    bool bIohUp = false;

  private:
    static inline IohFixture *pCur_ = nullptr;
    static inline PhyComb *pPhy_ = nullptr;
    static inline const IohHooks kHooks = {
        [](Cont *, CombId id) -> IohComb * {
            if (!pCur_->bCombHere || id != kIohComb)
                return nullptr;
            pCur_->combRefs++;
            return &pCur_->iohComb;
        },
        [](Cont *, CombId) { pCur_->combRefs--; },
        [](Cont *, UINT64 volId) -> IohVol * {
            auto it = pCur_->vols.find(volId);
            if (it == pCur_->vols.end())
                return nullptr;
            pCur_->volRefs++;
            return reinterpret_cast<IohVol *>(&it->second);
        },
        [](Cont *, IohVol *) { pCur_->volRefs--; },
        [](IohVol *p, VtoId *pVto, UINT64 *pKey) -> Vtree * {
            auto *v = reinterpret_cast<IohFakeVol *>(p);
            *pVto = v->vtoId;
            *pKey = v->key;
            return v->pVtree;
        },
        [](IohVol *p, UINT64, UINT64, UINT64, UINT64 *pCur) -> Mos_RC {
            auto *v = reinterpret_cast<IohFakeVol *>(p);
            *pCur = v->curScsiGen;
            return v->validateRc;
        },
        [](IohVol *) -> BOOL { return pCur_->bVolQuiesced; },
        [](Cont *, UINT64 volId, IohResp *) -> BOOL {
            pCur_->hungVols.push_back(volId);
            return pCur_->vols.count(volId) ? TRUE : FALSE;
        },
        [](Cont *) -> BOOL { return pCur_->bOstrelBlocked; },
        [](Cont *, CombId, UINT32, BOOL *pbDel) -> Vtree * {
            *pbDel = FALSE;
            return pCur_->vols.empty() ? nullptr : pCur_->vols.begin()->second.pVtree;
        },
        [](Cont *, Vtree *) {},
        [](RaidComb *, IohRaidState *p) { *p = pCur_->state; },
        [](RaidComb *) -> PhyComb * { return pPhy_; },
        [](RaidComb *) -> BOOL { return pCur_->bFirstAccessOk; },
        [](RaidComb *, const IohCombWrite *w) -> Mos_RC {
            pCur_->writes.push_back(*w);
            return iohRig_LocalWrite(w);
        },
        [](RaidComb *, PhyToothIndex t, UINT32 off, UINT32 n, void *pData, T10Dif *pDif, RdIoFlags rd,
           UINT32 reason, IohCacheRead *pCache) -> Mos_RC {
            Mos_RC rc = iohRig_LocalRead(pPhy_, t, off, n, pData, pDif, rd, reason, pCache);
            if (pCache != nullptr)
                pCur_->cacheReads.push_back(pCache->bUseCache ? true : false);
            if (rc == MOS_RC__SUCCESS && pCache != nullptr)
                pCache->bFromCache = pCur_->bReadsFromCache;
            if (rc == MOS_RC__SUCCESS && pDif != nullptr && pCur_->bCorruptReadGuards)
                pDif[0].guard ^= 1;
            return rc;
        },
        [](RaidComb *, Vtree *pVtree, UINT32 off, PhyToothIndex, BOOL) -> Mos_RC {
            return phyComb_FreeEntireTooth(pPhy_, off / 2048, pVtree, TRUE) ? MOS_RC__SUCCESS
                                                                                   : MOS_RC__IO_HARD_ERROR;
        },
        [](RaidComb *, UINT32) -> Mos_RC { return MOS_RC__SUCCESS; },
        [](RaidComb *, UINT32 off) -> BOOL { return pCur_->rebuildTeeth.count(off / 2048) ? TRUE : FALSE; },
        [](RaidComb *, UINT32) -> Mos_RC {
            pCur_->cleanRemoteCalls++;
            return MOS_RC__SUCCESS;
        },
        [](RaidComb *, TgtRsp_ReadCombFineDrl *p) -> BOOL {
            p->numOfBits = 1;
            p->readCombDrlDataSize = 45;
            p->drlBuf[0].data.toothInComb = 5;
            return TRUE;
        },
        [](RaidComb *) -> BOOL { return TRUE; },
        [](RaidComb *, const TgtReq_GetNextTooth *q, TgtRsp_GetNextTooth *r) -> Mos_RC {
            r->toothInComb = q->toothInComb + 1;
            return MOS_RC__SUCCESS;
        },
        [](Cont *, UINT32 n, UINT32, BOOL) -> BOOL { return n > pCur_->cacheMaxLbs; },
        [](IohVol *) -> BOOL { return pCur_->bVolCached; },
        [](RaidComb *, BOOL bWrite) -> BOOL { return pCur_->bDevCached && (!bWrite || pCur_->bCombWritesCached); },
        [](RaidComb *, UINT32 n, UINT32 reason) {
            pCur_->throttles.push_back({true, n, reason, elockComb_IsIdle(&pCur_->ecomb) ? true : false});
        },
        [](RaidComb *, UINT32 n, UINT32 reason) {
            pCur_->throttles.push_back({false, n, reason, elockComb_IsIdle(&pCur_->ecomb) ? true : false});
        },
        [](RaidComb *, UINT32 counter, UINT32 n, BOOL bWrite) { pCur_->bwc[{counter, bWrite ? true : false}] += n; },
        [](Cont *, UINT32 n) {
            pCur_->ioLimiterCharges.push_back(n);
            pCur_->bLockHeldAtCharge |= !elockComb_IsIdle(&pCur_->ecomb) || pCur_->combRefs != 0 || pCur_->volRefs != 0;
        },
    };
};
