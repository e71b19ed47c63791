// A comb's mirroring object on a real comb of a sparse device, with the controller, the Ostrel and
// the partner server played in process: the partner keeps what it was sent per LB and answers
// each message type with a scripted code, the Ostrel records every comb-state notification and
// answers the degrade permit as told.
#pragma once

#include <cstring>
#include <deque>
#include <map>
#include <vector>

#include "test/support/tgt_comb_fixture.h"
#include "tgt/ioh/ioh_msg.h"
#include "tgt/raid/raid_comb.h"
#include "tgt/raid/raid_io.h"
#include "tgt/raid/raid_resync.h"

struct FakeSent {
    UINT32 msgType;
    UINT32 grpId;
    std::vector<UINT8> rec;
    UINT32 dataLen;
    TgtId peer;
};

class FakePartner {
  public:
    static constexpr TgtId kSelf = 0x1000000011ull;
    static constexpr TgtId kPeer = 0x2000000022ull;
    static constexpr TgtId kPeer2 = 0x3000000033ull;

    // Scripted answers per message type, used first to last; then the default.
    std::map<UINT32, std::deque<Mos_RC>> rspRcs;      // the partner's code
    std::map<UINT32, std::deque<Mos_RC>> transportRcs; // a send/wait failure instead of an answer
    std::map<UINT32, std::vector<UINT8>> rspPayload;   // answer payload of a type
    Mos_RC conRc = MOS_RC__SUCCESS;
    bool bUnreachable = false;
    std::deque<Mos_RC> permits; // degrade permit answers (then permitDefault)
    Mos_RC permitDefault = MOS_RC__SUCCESS;
    std::deque<Mos_RC> ostrelRcs;
    std::vector<FakeSent> sent;
    std::vector<OstrelTgtReq_UpdateCombState> notifs;
    std::vector<TgtId> permitAsks;
    std::map<UINT64, std::vector<UINT8>> lbs; // (combId-free) offsetInComb LB -> data written to the partner
    int cons = 0;
    int devWriteErrors = 0, devReadErrors = 0;
    std::vector<UINT32> events; // message types and 1002/1008 in the order they happened

    FakePartner()
    {
        pCur_ = this;
        raid_Init(&raid, reinterpret_cast<Cont *>(this), &kHooks);
    }
    ~FakePartner()
    {
        raid_Destroy(&raid);
        pCur_ = nullptr;
    }
    Raid raid{};

    std::vector<FakeSent> sentOf(UINT32 type) const
    {
        std::vector<FakeSent> out;
        for (auto &s : sent)
            if (s.msgType == type)
                out.push_back(s);
        return out;
    }

  private:
    static Mos_RC pop(std::map<UINT32, std::deque<Mos_RC>> &m, UINT32 type, Mos_RC dflt)
    {
        auto it = m.find(type);
        if (it == m.end() || it->second.empty())
            return dflt;
        Mos_RC rc = it->second.front();
        it->second.pop_front();
        return rc;
    }
    static Mos_RC onSend(const RaidCon *pCon, RaidRpc *p)
    {
        FakePartner *f = pCur_;
        FakeSent s{p->msgType, p->grpId, {}, p->dataLen, (TgtId)(uintptr_t)pCon->pPeer};
        s.rec.assign(static_cast<const UINT8 *>(p->pRec), static_cast<const UINT8 *>(p->pRec) + p->recLen);
        f->sent.push_back(s);
        f->events.push_back(p->msgType);
        Mos_RC t = pop(f->transportRcs, p->msgType, MOS_RC__SUCCESS);
        p->pPriv[0] = reinterpret_cast<void *>((uintptr_t)t);
        if (t != MOS_RC__SUCCESS)
            return MOS_RC__SUCCESS; // fails at the wait
        p->rspRc = pop(f->rspRcs, p->msgType, MOS_RC__SUCCESS);
        if (p->rspRc == MOS_RC__SUCCESS && (p->msgType == TGT_MSG_TYPE__IO_WRITE_SEC ||
                                            p->msgType == TGT_MSG_TYPE__IO_WRITE_SEC_ZERO)) {
            TgtReq_IoWriteSec w;
            memcpy(&w, p->pRec, sizeof(w));
            for (UINT32 i = 0; i < w.sizeInLbs; i++) {
                std::vector<UINT8> lb(512, 0);
                if (p->msgType == TGT_MSG_TYPE__IO_WRITE_SEC)
                    memcpy(lb.data(), static_cast<const UINT8 *>(p->pData) + (size_t)i * 512, 512);
                f->lbs[w.offsetInComb + i] = lb;
            }
        }
        p->rspLen = 0;
        auto it = f->rspPayload.find(p->msgType);
        if (it != f->rspPayload.end() && p->pRsp != nullptr) {
            UINT32 n = (UINT32)std::min<size_t>(it->second.size(), p->rspCap);
            memcpy(p->pRsp, it->second.data(), n);
            p->rspLen = n;
        } else if (p->msgType == TGT_MSG_TYPE__IO_READ_SEC && p->pRsp != nullptr && p->rspRc == MOS_RC__SUCCESS) {
            TgtReq_IoReadSec r;
            memcpy(&r, p->pRec, sizeof(r));
            UINT8 *out = static_cast<UINT8 *>(p->pRsp);
            for (UINT32 i = 0; i < r.sizeInLbs && (i + 1) * 512 <= p->rspCap; i++) {
                auto lb = f->lbs.find(r.offsetInComb + i);
                if (lb != f->lbs.end())
                    memcpy(out + (size_t)i * 512, lb->second.data(), 512);
                else
                    memset(out + (size_t)i * 512, 0, 512);
            }
            p->rspLen = r.sizeInLbs * 512;
        }
        return MOS_RC__SUCCESS;
    }

    static inline FakePartner *pCur_ = nullptr;
    static inline const RaidHooks kHooks = {
        [](Cont *, TgtId id, RaidCon *pCon) -> Mos_RC {
            if (pCur_->conRc != MOS_RC__SUCCESS)
                return pCur_->conRc;
            pCur_->cons++;
            pCon->hCon = 0x77;
            pCon->bNotReachable = pCur_->bUnreachable;
            pCon->pPeer = reinterpret_cast<void *>((uintptr_t)id);
            return MOS_RC__SUCCESS;
        },
        [](Cont *, RaidCon *) { pCur_->cons--; },
        [](Cont *, const RaidCon *pCon, RaidRpc *p) -> Mos_RC { return onSend(pCon, p); },
        [](Cont *, RaidRpc *p) -> Mos_RC { return (Mos_RC)(uintptr_t)p->pPriv[0]; },
        [](Cont *, TgtId peer) -> Mos_RC {
            pCur_->permitAsks.push_back(peer);
            pCur_->events.push_back(1008);
            if (pCur_->permits.empty())
                return pCur_->permitDefault;
            Mos_RC rc = pCur_->permits.front();
            pCur_->permits.pop_front();
            return rc;
        },
        [](Cont *, UINT32 type, const void *pRec, UINT32 len) -> Mos_RC {
            EXPECT_EQ(type, OSTREL_MSG_TYPE__UPDATE_COMB_STATE);
            EXPECT_EQ(len, sizeof(OstrelTgtReq_UpdateCombState));
            OstrelTgtReq_UpdateCombState r;
            memcpy(&r, pRec, sizeof(r));
            pCur_->notifs.push_back(r);
            pCur_->events.push_back(type);
            if (pCur_->ostrelRcs.empty())
                return MOS_RC__SUCCESS;
            Mos_RC rc = pCur_->ostrelRcs.front();
            pCur_->ostrelRcs.pop_front();
            return rc;
        },
        [](Cont *) -> TgtId { return kSelf; },
        [](Cont *, TgtId) {},
        [](ContDev *) { pCur_->devWriteErrors++; },
        [](ContDev *) { pCur_->devReadErrors++; },
        [](ContDev *) -> BOOL { return FALSE; },
        [](ContDev *) -> TgtDevId { return 0xD7; },
        [](Cont *, CombId, PhyCombHead *) -> BOOL { return FALSE; },
        nullptr,
        nullptr,
    };
};

// The mirroring object of the fixture's comb, with its extent locks.
class RaidFixture : public CombFixture {
  public:
    void upRaid(UINT32 combState = COMB_STATE__PRIMARY, UINT32 mirrorState = COMB_RAID_STATE__NORMAL,
                TgtId maint = 0)
    {
        up();
        elockComb_Init(&ecomb);
        raidComb_Init(&raid, cont.cont(), &ecomb, kComb, FakePartner::kPeer, maint, 10, FALSE);
        phyComb_Attach(&raid.phyComb, kComb, &pd, PhyDevAddr{.devAddr = 2});
        raid.raidCombInitState = RAID_COMB_INIT_STATE__INIT;
        raid.combState = combState;
        raid.pRebuild->combRaidState = mirrorState;
        raid.combGenNum = 5;
        bRaidUp = true;
    }
    void downRaid()
    {
        if (!bRaidUp)
            return;
        dev.run([&] { phyComb_RemoveAllTeeth(&raid.phyComb, FALSE); });
        raidComb_Destroy(&raid);
        elockComb_Destroy(&ecomb);
        bRaidUp = false;
        down();
    }
    ~RaidFixture() { downRaid(); }

    FakePartner peer;
    ElockComb ecomb{};
    RaidComb raid{};
    bool bRaidUp = false;
};
