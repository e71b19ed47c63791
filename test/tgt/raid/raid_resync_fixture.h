// Servers of one comb in process: each node is a comb's mirroring object with its own I/O handler
// and extent locks on a shared sparse device; what one node sends another is served by the other's
// I/O handler as the receive path would hand it over. The Ostrel is played here (comb-state and
// compare-error reports recorded, degrade permits granted), and the resync pool runs the copies.
#pragma once

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "test/support/tgt_comb_fixture.h"
#include "test/support/umt_test_support.h"
#include "tgt/ioh/ioh.h"
#include "tgt/raid/raid_io.h"
#include "tgt/raid/raid_comb_intrn.h"
#include "tgt/raid/raid_resync.h"

struct ResyncNode {
    TgtId id = 0;
    UINT32 devAddr = 0;
    RaidComb raid{};
    Elock elock{};
    ElockComb ecomb{};
    Ioh ioh{};
    IohComb iohComb{};
    bool bDown = false;         // a stopped server: nothing reaches it
    bool bTreeDeleting = false; // its volume tree is being deleted
    bool bUp = false;
    Cont *cont() { return reinterpret_cast<Cont *>(this); }
};

struct ResyncVol {
    Vtree *pVtree;
    VtoId vtoId;
};

class ResyncFixture : public CombFixture {
  public:
    static constexpr TgtId kPri = 0x1000000011ull;
    static constexpr TgtId kSec = 0x2000000022ull;
    static constexpr TgtId kNew = 0x3000000033ull;
    static constexpr VTreeId kTree = 0x61;
    static constexpr VtoId kVto = 3;
    static constexpr UINT64 kVol = 7;

    // Primary and secondary in NORMAL (and a third node that holds nothing yet).
    void upNodes(UINT32 devGb = 2)
    {
        up(devGb);
        tgtInitParam_G.elockNumberOfLocksInTooth = 256;
        tree = addTree(kTree, FALSE, {{kVto, 1}}, 1);
        own(0, 1023, kTree);
        vol = ResyncVol{tree, kVto};
        pCur_ = this;
        buildHooks();
        raid_Init(&raidLayer, nullptr, &kRaidHooks);
        raidResync_SetHooks(&kResyncHooks);
        upNode(pri, kPri, kSec, 2, COMB_STATE__PRIMARY);
        upNode(sec, kSec, kPri, 3, COMB_STATE__SECONDARY);
        upNode(third, kNew, kPri, 4, COMB_STATE__SECONDARY);
        dev.run([&] { raidSyncPool_Init(&pool, 4); });
        bNodesUp = true;
    }
    void downNodes()
    {
        if (!bNodesUp)
            return;
        dev.run([&] { raidSyncPool_Destroy(&pool); });
        for (ResyncNode *n : {&pri, &sec, &third})
            downNode(*n);
        raidResync_SetHooks(nullptr);
        raid_Destroy(&raidLayer);
        pCur_ = nullptr;
        bNodesUp = false;
        down();
    }
    ~ResyncFixture() { downNodes(); }

    // A client write of n LB of fill at off (2103 to the primary's handler); the code.
    Mos_RC clientWrite(UINT32 off, UINT32 n, UINT8 fill)
    {
        TgtReq_IoWrite w{};
        w.combId = kComb;
        w.volId = kVol;
        w.offsetInComb = off;
        w.sizeInLbs = n;
        w.combGenNum = pri.raid.combGenNum;
        w.flags = TGT_IO_WR__T10DIF_ATTACHED;
        std::vector<UINT8> data((size_t)n * 512, fill), dif((size_t)n * 2);
        mosT10Dif_GenT10DIF(data.data(), reinterpret_cast<T10Dif *>(dif.data()), 0, 0, 0, n);
        Served s = serve(pri, TGT_MSG_TYPE__IO_WRITE_PRI, &w, sizeof(w), data.data(), (UINT32)data.size(),
                         dif.data(), (UINT32)dif.size(), nullptr, 0);
        return s.rc;
    }

    // SET_COMB_STATE on a node with one mirror entry.
    Mos_RC setMirrorState(ResyncNode &n, UINT32 newRaidState, UINT32 curMask)
    {
        RaidComb_SetStateReq r{};
        r.combId = kComb;
        r.newState = n.raid.combState;
        r.curState = n.raid.combState;
        r.primaryTgtGenNum = n.raid.combGenNum;
        r.tgtCombCmdGenNum = (UINT16)(n.raid.tgtCombCmdGenNum + 1);
        r.protState[0] = RaidComb_SetProtStateReq{n.raid.pRebuild->remoteTgtId, newRaidState, curMask,
                                                  RAID_PROT_TYPE__SECONDARY};
        OstrelTgtRsp_SetCombState rsp{};
        Mos_RC rc = MOS_RC__ERROR;
        dev.run([&] { rc = raidComb_SetState(&n.raid, &r, &rsp); });
        return rc;
    }
    // SET_COMB_STATE on the primary: its mirror partnership stays NORMAL, the maintenance entry asks
    // for newMaint on the third node.
    Mos_RC setMaintState(UINT32 newMaint, UINT32 curMask)
    {
        RaidComb_SetStateReq r{};
        r.combId = kComb;
        r.newState = r.curState = COMB_STATE__PRIMARY;
        r.primaryTgtGenNum = pri.raid.combGenNum;
        r.tgtCombCmdGenNum = (UINT16)(pri.raid.tgtCombCmdGenNum + 1);
        r.protState[0] = RaidComb_SetProtStateReq{kSec, COMB_RAID_STATE__NORMAL, COMB_RAID_STATE__NORMAL,
                                                  RAID_PROT_TYPE__SECONDARY};
        r.protState[1] = RaidComb_SetProtStateReq{kNew, newMaint, curMask, RAID_PROT_TYPE__MAINTENANCE};
        OstrelTgtRsp_SetCombState rsp{};
        Mos_RC rc = MOS_RC__ERROR;
        dev.run([&] { rc = raidComb_SetState(&pri.raid, &r, &rsp); });
        return rc;
    }
    bool waitState(ResyncNode &n, RaidCombProt *const &pProt, UINT32 state)
    {
        return umtTest_WaitFor([&] {
            raidComb_LockComb(&n.raid);
            bool b = pProt != nullptr && pProt->combRaidState == state && !n.raid.bRebuildRunning;
            raidComb_UnlockComb(&n.raid);
            return b;
        });
    }
    bool waitMirrorState(ResyncNode &n, UINT32 state)
    {
        return umtTest_WaitFor([&] {
            raidComb_LockComb(&n.raid);
            bool b = n.raid.pRebuild->combRaidState == state && !n.raid.bRebuildRunning;
            raidComb_UnlockComb(&n.raid);
            return b;
        });
    }

    // Every version of every position of a's comb is on b's with the same data (and nothing more).
    ::testing::AssertionResult identical(ResyncNode &a, ResyncNode &b)
    {
        ::testing::AssertionResult res = ::testing::AssertionSuccess();
        dev.run([&] {
            Buf ba(TOOTH_SIZE_LB, 0), bb(TOOTH_SIZE_LB, 0); // device reads need aligned buffers
            for (UINT32 p = 0; p < TEETH_IN_COMB && res; p++) {
                auto va = versions(&a.raid.phyComb, p), vb = versions(&b.raid.phyComb, p);
                if (va != vb) {
                    res = ::testing::AssertionFailure() << "position " << p << " has " << va.size() << " versions vs "
                                                        << vb.size();
                    break;
                }
                for (auto &v : va) {
                    PhyToothIndex ta = phyComb_GetToothIndex(&a.raid.phyComb, v.first, v.second, p * TOOTH_SIZE_LB);
                    PhyToothIndex tb = phyComb_GetToothIndex(&b.raid.phyComb, v.first, v.second, p * TOOTH_SIZE_LB);
                    RdIoFlags rd{};
                    rd.bLocalOnly = TRUE;
                    Mos_RC ra = phyComb_ReadTooth(&a.raid.phyComb, ba.p, nullptr, ta, 0, TOOTH_SIZE_LB, 0, rd,
                                                  p * TOOTH_SIZE_LB);
                    Mos_RC rb = phyComb_ReadTooth(&b.raid.phyComb, bb.p, nullptr, tb, 0, TOOTH_SIZE_LB, 0, rd,
                                                  p * TOOTH_SIZE_LB);
                    if (ra != MOS_RC__SUCCESS || rb != MOS_RC__SUCCESS) {
                        res = ::testing::AssertionFailure() << "position " << p << " reads " << ra << ", " << rb;
                        break;
                    }
                    size_t k = 0;
                    while (k < (size_t)TOOTH_SIZE_LB * 512 && ba.p[k] == bb.p[k])
                        k++;
                    if (k < (size_t)TOOTH_SIZE_LB * 512) {
                        res = ::testing::AssertionFailure() << "position " << p << " version (" << v.first << ", "
                                                            << v.second << ") differs at byte " << k << ": "
                                                            << (int)ba.p[k] << " vs " << (int)bb.p[k];
                        break;
                    }
                }
            }
        });
        return res;
    }

    // Writes fill over LB [inTooth, inTooth + n) of position p of a node's copy, bypassing mirroring.
    void corrupt(ResyncNode &n, UINT32 p, UINT32 inTooth, UINT32 cnt, UINT8 fill)
    {
        dev.run([&] {
            VtoOnDev v[PHY_COMB__MAX_VERSIONS];
            ASSERT_GE(phyComb_ReadToothList(&n.raid.phyComb, p * TOOTH_SIZE_LB, v, PHY_COMB__MAX_VERSIONS), 1u);
            PhyToothIndex t = phyComb_GetToothIndex(&n.raid.phyComb, v[0].vtoId, v[0].time, p * TOOTH_SIZE_LB);
            Buf b(cnt, fill);
            ASSERT_EQ(phyComb_WriteTooth(&n.raid.phyComb, b.p, nullptr, t, inTooth, cnt, WrIoFlags{.flags = 0}, 0,
                                         p * TOOTH_SIZE_LB + inTooth, 0, nullptr),
                      MOS_RC__SUCCESS);
        });
    }

    ResyncNode pri, sec, third;
    RaidSyncPool pool{};
    Raid raidLayer{};
    Vtree *tree = nullptr;
    ResyncVol vol{};
    bool bNodesUp = false;
    bool bOstrelBlocked = false;
    UINT32 peerVersion = TGT_PEER_VER__UNKNOWN;
    std::map<UINT32, int> failNext; // message type -> sends that fail on the transport
    // Filled by the copy jobs' threads while the test reads them, so each goes through a lock; a
    // comb-state report leaves after the state it reports is set, so tests wait for the report.
    class SentCounts
    {
      public:
        int operator[](UINT32 type) const
        {
            std::lock_guard<std::mutex> g(mu_);
            auto it = counts_.find(type);
            return it == counts_.end() ? 0 : it->second;
        }
        void bump(UINT32 type)
        {
            std::lock_guard<std::mutex> g(mu_);
            counts_[type]++;
        }

      private:
        mutable std::mutex mu_;
        std::map<UINT32, int> counts_;
    };
    std::mutex combStatesMu;
    std::vector<OstrelTgtReq_UpdateCombState> combStates;
    bool waitCombStateReport(UINT32 state)
    {
        return umtTest_WaitFor([&] {
            std::lock_guard<std::mutex> g(combStatesMu);
            return !combStates.empty() && (UINT32)combStates.back().raidState.state == state;
        });
    }
    std::vector<OstrelTgtReq_UpdateCompareError> compareErrors;
    SentCounts sentCount;
    std::vector<UINT32> copyReasonsSent; // of every copy write

  private:
    struct Served {
        Mos_RC rc;
        UINT32 len;
    };

    void upNode(ResyncNode &n, TgtId id, TgtId partner, UINT32 devAddr, UINT32 combState)
    {
        n.id = id;
        n.devAddr = devAddr;
        ASSERT_EQ(elock_Init(&n.elock, 1, 256), MOS_RC__SUCCESS);
        elockComb_Init(&n.ecomb);
        raidComb_Init(&n.raid, n.cont(), &n.ecomb, kComb, partner, 0, 10, FALSE);
        phyComb_Attach(&n.raid.phyComb, kComb, &pd, PhyDevAddr{.devAddr = devAddr});
        n.raid.raidCombInitState = RAID_COMB_INIT_STATE__INIT;
        n.raid.combState = combState;
        n.raid.pRebuild->combRaidState = COMB_RAID_STATE__NORMAL;
        n.raid.combGenNum = 5;
        n.raid.pContDev = reinterpret_cast<ContDev *>(&n.devAddr); // the device object, by the hooks' ids
        n.iohComb = IohComb{&n.ecomb, &n.raid};
        ioh_Init(&n.ioh, n.cont(), &iohHooks, &n.elock);
        n.bUp = true;
    }
    void downNode(ResyncNode &n)
    {
        if (!n.bUp)
            return;
        ioh_Destroy(&n.ioh);
        dev.run([&] { phyComb_RemoveAllTeeth(&n.raid.phyComb, FALSE); });
        raidComb_Destroy(&n.raid);
        elockComb_Destroy(&n.ecomb);
        elock_Destroy(&n.elock);
        n.bUp = false;
    }
    ResyncNode *nodeOf(Cont *pCont) { return reinterpret_cast<ResyncNode *>(pCont); }
    ResyncNode *nodeById(TgtId id)
    {
        for (ResyncNode *n : {&pri, &sec, &third})
            if (n->id == id)
                return n;
        return nullptr;
    }

    // The request as the receive path hands it to the node's handler; the answer's payload is
    // copied to pRsp (at most rspCap bytes).
    Served serve(ResyncNode &n, UINT32 type, const void *pRec, UINT32 recLen, const void *pData, UINT32 dataLen,
                 const void *pDif, UINT32 difLen, void *pRsp, UINT32 rspCap)
    {
        std::vector<UINT8> rec(static_cast<const UINT8 *>(pRec), static_cast<const UINT8 *>(pRec) + recLen);
        IohReq req{};
        req.msgType = type;
        req.peerVer = TGT_PEER_VER__FIRST_WITH_DIF;
        req.numOfBufs = 1;
        req.bufs[0] = {rec.data(), recLen};
        std::unique_ptr<Buf> data, dif;
        if (pData != nullptr) {
            UINT32 lbs = dataLen / 512;
            data = std::make_unique<Buf>(lbs + 1, 0);
            memcpy(data->p, pData, dataLen);
            dif = std::make_unique<Buf>(lbs / 256 + 2, 0);
            if (pDif != nullptr)
                memcpy(dif->p, pDif, MOS_MIN(difLen, lbs * 2));
            req.numOfBufs = 3;
            req.bufs[1] = {data->p, dataLen};
            req.bufs[2] = {dif->p, lbs * 2};
        }
        // Read buffers only for the types that answer with data, as the receive path's pools give them.
        BOOL bReads = type == TGT_MSG_TYPE__IO_READ_SEC || type == TGT_MSG_TYPE__CHECK_FOR_ERROR ||
                      type == TGT_MSG_TYPE__IO_READ_PRI;
        std::unique_ptr<Buf> readBuf = bReads ? std::make_unique<Buf>(TOOTH_SIZE_LB + 16, 0) : nullptr;
        auto drl = type == TGT_MSG_TYPE__READ_COMB_FINE_DRL || type == TGT_MSG_TYPE__READ_COMB_BM
                       ? std::make_unique<TgtRsp_ReadCombFineDrl>()
                       : nullptr;
        // On the heap: a reverse rebuild nests two requests on one uthread's small stack.
        auto pRes = std::make_unique<IohResp>();
        IohResp &res = *pRes;
        if (readBuf != nullptr) {
            res.pReadData = readBuf->p;
            res.pReadDif = reinterpret_cast<T10Dif *>(readBuf->p + (size_t)TOOTH_SIZE_LB * 512);
        }
        res.pDrlRsp = drl.get();
        auto go = [&] { ioh_NewRequest(&n.ioh, &req, &res); };
        if (mosUmt_GetUThreadHdlNoAssert() != nullptr)
            go();
        else
            dev.run(go);
        UINT32 len = 0;
        for (UINT32 i = 0; i < res.numOfRspBufs; i++) {
            UINT32 k = pRsp == nullptr ? 0 : MOS_MIN(res.rspBufs[i].len, rspCap - len);
            if (k > 0)
                memcpy(static_cast<UINT8 *>(pRsp) + len, res.rspBufs[i].p, k);
            len += k;
        }
        return Served{res.rc, len};
    }

    void buildHooks()
    {
        iohHooks = IohHooks{};
        iohHooks.acquireIohComb = [](Cont *c, CombId id) -> IohComb * {
            ResyncNode *n = pCur_->nodeOf(c);
            return id == kComb && n->bUp ? &n->iohComb : nullptr;
        };
        iohHooks.releaseIohComb = [](Cont *, CombId) {};
        iohHooks.acquireVol = [](Cont *, UINT64 id) -> IohVol * {
            return id == kVol ? reinterpret_cast<IohVol *>(&pCur_->vol) : nullptr;
        };
        iohHooks.releaseVol = [](Cont *, IohVol *) {};
        iohHooks.getVolVtree = [](IohVol *p, VtoId *pVto, UINT64 *pKey) -> Vtree * {
            auto *v = reinterpret_cast<ResyncVol *>(p);
            *pVto = v->vtoId;
            *pKey = 0;
            return v->pVtree;
        };
        iohHooks.validateVol = [](IohVol *, UINT64, UINT64, UINT64, UINT64 *) -> Mos_RC { return MOS_RC__SUCCESS; };
        iohHooks.isVolQuiesced = [](IohVol *) -> BOOL { return FALSE; };
        iohHooks.hangDelayResponse = [](Cont *, UINT64, IohResp *) -> BOOL { return FALSE; };
        iohHooks.isOstrelBlocked = [](Cont *) -> BOOL { return FALSE; };
        iohHooks.acquireVtreeFromHead = [](Cont *c, CombId, UINT32, BOOL *pbDel) -> Vtree * {
            *pbDel = pCur_->nodeOf(c)->bTreeDeleting;
            return pCur_->tree;
        };
        iohHooks.releaseVtree = [](Cont *, Vtree *) {};
        iohHooks.readRemoteToothList = [](RaidComb *, UINT32) -> Mos_RC { return MOS_RC__SUCCESS; };
        iohHooks.cleanRemoteTooth = [](RaidComb *, UINT32) -> Mos_RC { return MOS_RC__SUCCESS; };
        iohHooks.getCombNextTooth = nullptr;
        iohHooks.cacheSkipRule = [](Cont *, UINT32, UINT32, BOOL) -> BOOL { return TRUE; };
        iohHooks.isVolCached = [](IohVol *) -> BOOL { return FALSE; };
        iohHooks.isCombCached = [](RaidComb *, BOOL) -> BOOL { return FALSE; };
        iohHooks.updateIoBwc = [](RaidComb *, UINT32, UINT32, BOOL) {};
        iohHooks.addToIoLimiter = [](Cont *, UINT32) {};
        raid_FillIohHooks(&iohHooks);
        raidResync_FillIohHooks(&iohHooks);
    }

    static Mos_RC onSend(Cont *, const RaidCon *pCon, RaidRpc *p)
    {
        ResyncFixture *f = pCur_;
        f->sentCount.bump(p->msgType);
        if (p->msgType == TGT_MSG_TYPE__IO_WRITE_SEC_COPY && p->recLen == sizeof(TgtReq_IoWriteSec)) {
            TgtReq_IoWriteSec w;
            memcpy(&w, p->pRec, sizeof(w));
            f->copyReasonsSent.push_back(w.copyReason);
        }
        auto *peer = static_cast<ResyncNode *>(pCon->pPeer);
        Mos_RC t = MOS_RC__SUCCESS;
        if (peer->bDown)
            t = MOS_RC__IO_NET_ERROR;
        auto it = f->failNext.find(p->msgType);
        if (it != f->failNext.end() && it->second > 0) {
            it->second--;
            t = MOS_RC__TIMEOUT;
        }
        p->pPriv[0] = reinterpret_cast<void *>((uintptr_t)t);
        if (t != MOS_RC__SUCCESS)
            return MOS_RC__SUCCESS; // fails at the wait
        Served s = f->serve(*peer, p->msgType, p->pRec, p->recLen, p->pData, p->dataLen, p->pDif, p->difLen,
                            p->pRsp, p->rspCap);
        p->rspRc = s.rc;
        p->rspLen = s.len;
        return MOS_RC__SUCCESS;
    }

    static inline ResyncFixture *pCur_ = nullptr;
    IohHooks iohHooks{};
    static inline const RaidHooks kRaidHooks = {
        [](Cont *, TgtId id, RaidCon *pCon) -> Mos_RC {
            ResyncNode *n = pCur_->nodeById(id);
            if (n == nullptr || n->bDown)
                return MOS_RC__NOT_CONN;
            pCon->hCon = 0x77;
            pCon->bNotReachable = FALSE;
            pCon->pPeer = n;
            return MOS_RC__SUCCESS;
        },
        [](Cont *, RaidCon *) {},
        onSend,
        [](Cont *, RaidRpc *p) -> Mos_RC { return (Mos_RC)(uintptr_t)p->pPriv[0]; },
        [](Cont *, TgtId) -> Mos_RC { return MOS_RC__SUCCESS; },
        [](Cont *, UINT32 type, const void *pRec, UINT32 len) -> Mos_RC {
            if (type == OSTREL_MSG_TYPE__UPDATE_COMB_STATE && len == sizeof(OstrelTgtReq_UpdateCombState)) {
                OstrelTgtReq_UpdateCombState r;
                memcpy(&r, pRec, sizeof(r));
                std::lock_guard<std::mutex> g(pCur_->combStatesMu);
                pCur_->combStates.push_back(r);
            } else if (type == OSTREL_MSG_TYPE__UPDATE_COMPARE_ERROR &&
                       len == sizeof(OstrelTgtReq_UpdateCompareError)) {
                OstrelTgtReq_UpdateCompareError r;
                memcpy(&r, pRec, sizeof(r));
                pCur_->compareErrors.push_back(r);
            } else {
                ADD_FAILURE() << "Ostrel message " << type << " of " << len << " bytes";
            }
            return MOS_RC__SUCCESS;
        },
        [](Cont *c) -> TgtId { return pCur_->nodeOf(c)->id; },
        [](Cont *, TgtId) {},
        [](ContDev *) {},
        [](ContDev *) {},
        [](ContDev *) -> BOOL { return FALSE; },
        [](ContDev *) -> TgtDevId { return 0xD7; },
        [](Cont *, CombId, PhyCombHead *) -> BOOL { return FALSE; },
        raidSyncPool_QueueCopyJob,
        raidSyncPool_RaiseCopyPriority,
    };
    static inline const RaidResyncHooks kResyncHooks = {
        [](Cont *) -> BOOL { return pCur_->bOstrelBlocked; },
        [](Cont *, TgtId) -> UINT32 { return pCur_->peerVersion; },
        [](Cont *c) -> Elock * { return &pCur_->nodeOf(c)->elock; },
    };
};
