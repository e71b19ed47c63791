// The mirrored write on a real comb with an in-process partner: legs, the permit before an
// unreachable partner, degraded partnerships, retries and the clearing of dirty marks.
#include <gtest/gtest.h>

#include "test/support/test_ram_cache.h"
#include "test/tgt/raid/raid_fixture.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

constexpr VTreeId kTree = 0x61;
constexpr VtoId kVto = 3;
constexpr UINT32 kOff = 2048 * 4 + 16;

class RaidWriteTest : public ::testing::Test, public RaidFixture {
  protected:
    void SetUp() override
    {
        upRaid();
        tree = addTree(kTree, FALSE, {{kVto, 1}}, 1);
        own(0, 1023, kTree);
        ASSERT_EQ(write(&raid.phyComb, tree, kVto, kOff, 8, 0x11), MOS_RC__SUCCESS);
        dev.run([&] {
            tooth = phyComb_GetToothIndexWithVtree(&raid.phyComb, tree, kVto, kOff, FALSE, FALSE, 0, nullptr,
                                                   nullptr);
        });
        ASSERT_NE(tooth, PHY_TOOTH_INDEX__INVALID);
    }
    void TearDown() override { downRaid(); }

    Mos_RC mirroredWrite(UINT8 fill)
    {
        Buf b(8, fill);
        IohCombWrite w{};
        w.pPhyComb = &raid.phyComb;
        w.pVtree = tree;
        w.tooth.dstToothIndex = tooth;
        w.tooth.srcToothIndex = PHY_TOOTH_INDEX__INVALID;
        w.tooth.vtoId = 1;
        w.tooth.time = 1;
        w.offsetInComb = kOff;
        w.sizeInLbs = 8;
        w.pData = b.p;
        w.wrIoFlags.bPrimary = TRUE;
        Mos_RC rc = MOS_RC__ERROR;
        dev.run([&] { rc = raidComb_Write(&raid, &w, raid.combGenNum); });
        return rc;
    }
    UINT8 localFirstByte() { return read(&raid.phyComb, tree, kVto, kOff, 1)[0]; }
    bool activeClean()
    {
        bool b = false;
        dev.run([&] { b = phyComb_IsRangeClean(&raid.phyComb, tooth, PHY_DEV_DRL_TYPE__ACTIVE, kOff % 2048, 8); });
        return b;
    }

    Vtree *tree = nullptr;
    PhyToothIndex tooth = PHY_TOOTH_INDEX__INVALID;
};

TEST_F(RaidWriteTest, MirroredWriteReachesThePartnerAndTheLastWriteClearsTheDirtyMarks)
{
    ASSERT_EQ(mirroredWrite(0x22), MOS_RC__SUCCESS);
    auto legs = peer.sentOf(TGT_MSG_TYPE__IO_WRITE_SEC);
    ASSERT_EQ(legs.size(), 1u);
    EXPECT_EQ(legs[0].grpId, RAID__RECV_GROUP__TGT_IO_MAIN);
    EXPECT_EQ(legs[0].peer, FakePartner::kPeer);
    TgtReq_IoWriteSec rec;
    memcpy(&rec, legs[0].rec.data(), sizeof(rec));
    EXPECT_EQ(rec.offsetInComb, kOff);
    EXPECT_EQ(rec.sizeInLbs, 8u);
    EXPECT_EQ(rec.combGenNum, raid.combGenNum);
    EXPECT_EQ(peer.lbs[kOff][0], 0x22);
    EXPECT_EQ(localFirstByte(), 0x22);
    EXPECT_TRUE(activeClean());
    EXPECT_EQ(raid.inFlightWrites, 0u);
    EXPECT_EQ(peer.cons, 0);
}

// Without the Ostrel's leave, a partner that cannot be reached fails the write before any data
// moves; the comb stays as it was.
TEST_F(RaidWriteTest, UnreachablePartnerWithoutThePermitFailsBeforeWriting)
{
    peer.bUnreachable = true;
    peer.permits = {MOS_RC__RETRY};
    EXPECT_EQ(mirroredWrite(0x33), MOS_RC__IO_HARD_ERROR);
    EXPECT_TRUE(peer.sent.empty());
    EXPECT_EQ(peer.permitAsks.size(), 1u);
    EXPECT_EQ(localFirstByte(), 0x11);
    EXPECT_EQ(raid.pRebuild->combRaidState, COMB_RAID_STATE__NORMAL);
    EXPECT_EQ(raid.inFlightWrites, 0u);

    // With the leave the write lands locally, the partnership degrades and the Ostrel hears of it
    // after it granted the permit.
    peer.permits = {MOS_RC__SUCCESS, MOS_RC__SUCCESS};
    peer.events.clear();
    EXPECT_EQ(mirroredWrite(0x44), MOS_RC__SUCCESS);
    EXPECT_EQ(localFirstByte(), 0x44);
    EXPECT_EQ(raid.pRebuild->combRaidState, COMB_RAID_STATE__DEGRADED_REMOTE_ERROR);
    ASSERT_FALSE(peer.notifs.empty());
    EXPECT_EQ(peer.notifs.back().raidState.state, (UINT32)COMB_RAID_STATE__DEGRADED_REMOTE_ERROR);
    ASSERT_GE(peer.events.size(), 2u);
    EXPECT_EQ(peer.events.front(), 1008u);
    EXPECT_EQ(peer.events.back(), 1002u);
    EXPECT_FALSE(activeClean()); // the partner misses this range
}

TEST_F(RaidWriteTest, DegradedPartnerGetsNoLegAndTheWriteSucceedsLocally)
{
    raid.pRebuild->combRaidState = COMB_RAID_STATE__DEGRADED_REMOTE_ERROR;
    EXPECT_EQ(mirroredWrite(0x55), MOS_RC__SUCCESS);
    EXPECT_TRUE(peer.sent.empty());
    EXPECT_EQ(localFirstByte(), 0x55);
    EXPECT_FALSE(activeClean());
}

// A partner whose device failed is not retried; it is dropped only with the permit.
TEST_F(RaidWriteTest, PartnerDeviceErrorIsNotRetriedAndNeedsThePermit)
{
    peer.rspRcs[TGT_MSG_TYPE__IO_WRITE_SEC] = {MOS_RC__IO_FAULT_DEVICE_ERROR};
    peer.permits = {MOS_RC__RETRY};
    EXPECT_EQ(mirroredWrite(0x66), MOS_RC__IO_HARD_ERROR);
    EXPECT_EQ(peer.sentOf(TGT_MSG_TYPE__IO_WRITE_SEC).size(), 1u);
    EXPECT_EQ(peer.permitAsks.size(), 1u);
    EXPECT_EQ(raid.pRebuild->combRaidState, COMB_RAID_STATE__NORMAL_NEED_REBUILD);
    EXPECT_FALSE(activeClean());
}

// A leg that failed on the network is tried again, a second apart, and the write then succeeds.
TEST_F(RaidWriteTest, FailedLegIsRetriedAndThenSucceeds)
{
    peer.transportRcs[TGT_MSG_TYPE__IO_WRITE_SEC] = {MOS_RC__TIMEOUT};
    EXPECT_EQ(mirroredWrite(0x77), MOS_RC__SUCCESS);
    EXPECT_EQ(peer.sentOf(TGT_MSG_TYPE__IO_WRITE_SEC).size(), 2u);
    EXPECT_TRUE(peer.permitAsks.empty());
    EXPECT_EQ(peer.lbs[kOff][0], 0x77);
    EXPECT_EQ(raid.pRebuild->combRaidState, COMB_RAID_STATE__NORMAL);
}

} // namespace

namespace {

// A read whose local copy fails is answered from the mirror partner, and the local tooth is
// rewritten with what the partner had.
TEST_F(RaidWriteTest, FailedLocalReadIsRepairedFromThePartner)
{
    ASSERT_EQ(mirroredWrite(0x5A), MOS_RC__SUCCESS);
    UINT64 badByte = 0;
    dev.run([&] { badByte = phyComb_ToothLb(&raid.phyComb, tooth, kOff % 2048, 8) * 512; });
    std::atomic<int> failuresLeft{2}; // both attempts of the first read
    dev.fake.setResultFunc([&](const FakeAioBackend::Seen &s, size_t) -> long {
        if (!s.bWrite && s.offset <= badByte && badByte < s.offset + s.size && failuresLeft.fetch_sub(1) > 0)
            return -EIO;
        return FakeAioBackend::kFull;
    });
    // The partner holds different bytes than the broken local copy: the answer must be the partner's.
    for (UINT32 i = 0; i < 8; i++)
        peer.lbs[kOff + i] = std::vector<UINT8>(512, 0xA5);
    Buf out(8, 0);
    Mos_RC rc = MOS_RC__ERROR;
    RdIoFlags rd{};
    rd.bPrimary = TRUE;
    auto readOnce = [&] {
        dev.run([&] { rc = raidComb_Read(&raid, tooth, kOff, 8, out.p, nullptr, rd, 0); });
    };
    readOnce();
    failuresLeft = 0;
    EXPECT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_EQ(out.p[0], 0xA5);
    EXPECT_EQ(peer.sentOf(TGT_MSG_TYPE__IO_READ_SEC).size(), 1u);
    EXPECT_EQ(localFirstByte(), 0xA5); // rewritten from the partner
}

// A read through the RAM read cache hands back the stored (obfuscated) form with its guards, as a
// read from the device does; the second read is a hit, and a mirrored write is seen by the next.
TEST_F(RaidWriteTest, ReadsThroughTheRamCacheGiveTheStoredFormAndSeeLaterWrites)
{
    TestRamCache ram;
    ASSERT_TRUE(ram.on(&pd, &dev.sched.base));
    constexpr UINT64 kKey = 0x1234567890ABCDEFull;
    struct Got {
        std::vector<UINT8> data;
        std::vector<T10Dif> dif;
    };
    auto readOnce = [&](IohCacheRead *pCache, bool bDif) {
        Buf out(8, 0);
        std::vector<T10Dif> dif(bDif ? 8 : 0);
        RdIoFlags rd{};
        rd.bPrimary = TRUE;
        rd.bT10Dif = bDif;
        Mos_RC rc = MOS_RC__ERROR;
        dev.run([&] { rc = raidComb_Read(&raid, tooth, kOff, 8, out.p, bDif ? dif.data() : nullptr, rd, 0, pCache); });
        EXPECT_EQ(rc, MOS_RC__SUCCESS);
        return Got{std::vector<UINT8>(out.p, out.p + 8 * 512), dif};
    };
    // Each pass writes first: the second pass's first read is a miss that finds the new data, so the
    // write dropped the pages the first pass left in the cache.
    for (bool bDif : {false, true}) {
        SCOPED_TRACE(bDif ? "with guards" : "without guards");
        const UINT8 fill = bDif ? 0x23 : 0x22;
        ASSERT_EQ(mirroredWrite(fill), MOS_RC__SUCCESS);
        const Got stored = readOnce(nullptr, bDif);
        EXPECT_EQ(stored.data[0], fill);
        for (bool bHit : {false, true}) {
            IohCacheRead cache{TRUE, kKey, FALSE};
            const Got got = readOnce(&cache, bDif);
            EXPECT_EQ(got.data, stored.data);
            EXPECT_TRUE(std::equal(got.dif.begin(), got.dif.end(), stored.dif.begin(), stored.dif.end()));
            EXPECT_EQ(cache.bFromCache, bHit ? TRUE : FALSE);
        }
    }
}

} // namespace

namespace {

// A part of a tooth for a maintenance partner in MM_NORMAL goes as the whole local tooth with the
// range laid over it, on the copy group.
TEST_F(RaidWriteTest, PartialWriteGoesToTheMaintenancePartnerAsAWholeTooth)
{
    RaidCombProt *pMaint = &raid.protState[1];
    raidCombProt_Init(pMaint, &raid, FakePartner::kPeer2, COMB_RAID_STATE__MM_NORMAL, RAID_PROT_TYPE__MAINTENANCE,
                      COPY_TYPE__NONE, 0, FALSE);
    pMaint->bMutualOrDrls = FALSE;
    raid.pMaintenance = pMaint;
    ASSERT_EQ(mirroredWrite(0x3C), MOS_RC__SUCCESS);
    auto legs = peer.sentOf(TGT_MSG_TYPE__IO_WRITE_SEC);
    ASSERT_EQ(legs.size(), 2u);
    const FakeSent &mirror = legs[0].peer == FakePartner::kPeer ? legs[0] : legs[1];
    const FakeSent &maint = legs[0].peer == FakePartner::kPeer2 ? legs[0] : legs[1];
    TgtReq_IoWriteSec m;
    memcpy(&m, maint.rec.data(), sizeof(m));
    EXPECT_EQ(maint.grpId, RAID__RECV_GROUP__TGT_IO_COPY);
    EXPECT_EQ(m.offsetInComb, kOff - kOff % 2048);
    EXPECT_EQ(m.sizeInLbs, 2048u);
    EXPECT_EQ(maint.dataLen, 2048u * 512);
    EXPECT_EQ(mirror.grpId, RAID__RECV_GROUP__TGT_IO_MAIN);
    EXPECT_EQ(mirror.dataLen, 8u * 512);
    EXPECT_EQ(peer.lbs[kOff][0], 0x3C);
    EXPECT_EQ(peer.lbs[kOff - 1][0], 0x00); // the local tooth around the range
}

} // namespace

namespace {

std::vector<UINT8> toothListRsp(std::vector<VtoOnDev> v, UINT32 count)
{
    TgtRsp_GetToothList r{};
    r.numOfTeeth = count;
    for (size_t i = 0; i < v.size() && i < TGT_MSG__MAX_TEETH_IN_LIST; i++)
        r.vtoBuf[i] = v[i];
    std::vector<UINT8> out(sizeof(r));
    memcpy(out.data(), &r, sizeof(r));
    return out;
}

// The maintenance partner's list is taken over version by version; a count beyond the list's
// room is refused before anything is allocated; a version is found by time with vtoId 1 matching
// any node.
TEST_F(RaidWriteTest, PartnerToothListsAreCheckedWholeBeforeUse)
{
    raidCombProt_Init(&raid.protState[1], &raid, FakePartner::kPeer2, COMB_RAID_STATE__MM_NORMAL,
                      RAID_PROT_TYPE__MAINTENANCE, COPY_TYPE__NONE, 0, FALSE);
    raid.pMaintenance = &raid.protState[1];
    const UINT32 pos = 9 * 2048;
    Mos_RC rc = MOS_RC__ERROR;
    peer.rspPayload[TGT_MSG_TYPE__READ_TOOTH_LIST] = toothListRsp({{1, 1}, {kVto, 7}}, 33);
    dev.run([&] { rc = raidComb_ReadRemoteToothList(cont.cont(), &raid, tree, pos, FALSE, 0, 0); });
    EXPECT_EQ(rc, MOS_RC__INVALID);
    EXPECT_TRUE(versions(&raid.phyComb, 9).empty());

    peer.rspPayload[TGT_MSG_TYPE__READ_TOOTH_LIST] = toothListRsp({{1, 1}, {kVto, 7}}, 2);
    dev.run([&] { rc = raidComb_ReadRemoteToothList(cont.cont(), &raid, tree, pos, FALSE, 0, 0); });
    EXPECT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_EQ(versions(&raid.phyComb, 9), (std::vector<std::pair<VtoId, VtoTime>>{{1, 1}, {kVto, 7}}));
    struct Row {
        VtoId vto;
        VtoTime time;
        Mos_RC rc;
    } rows[] = {{kVto, 7, MOS_RC__SUCCESS}, {8, 1, MOS_RC__SUCCESS}, {8, 7, MOS_RC__NOT_FOUND}, {kVto, 2, MOS_RC__NOT_FOUND}};
    for (const Row &r : rows) {
        dev.run([&] { rc = raidComb_DoesTHaveTooth(cont.cont(), &raid, pos, r.vto, r.time); });
        EXPECT_EQ(rc, r.rc) << r.vto << "/" << r.time;
    }
}

// The mirror partner is sent this copy's versions of the tooth (retried on a failed send); the
// receiving side drops what is not listed and hardens the tooth array.
TEST_F(RaidWriteTest, CleanToothListSendsLocalVersionsAndTheReceiverDropsTheRest)
{
    peer.transportRcs[TGT_MSG_TYPE__CLEAN_REMOTE_TOOTH_LIST] = {MOS_RC__TIMEOUT};
    Mos_RC rc = MOS_RC__ERROR, remoteRc = MOS_RC__ERROR;
    dev.run([&] { rc = raidComb_CleanRemoteToothList(cont.cont(), &raid, kOff, &remoteRc); });
    EXPECT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_EQ(remoteRc, MOS_RC__SUCCESS);
    auto sent = peer.sentOf(TGT_MSG_TYPE__CLEAN_REMOTE_TOOTH_LIST);
    ASSERT_EQ(sent.size(), 2u);
    TgtReq_CleanToothList req;
    memcpy(&req, sent[1].rec.data(), sizeof(req));
    EXPECT_EQ(req.offsetInComb, kOff - kOff % 2048);
    auto local = versions(&raid.phyComb, kOff / 2048);
    ASSERT_EQ(req.numOfTeeth, local.size());
    EXPECT_EQ(req.vtoBuf[0].vtoId, local[0].first);
    EXPECT_EQ(req.vtoBuf[0].time, local[0].second);

    const UINT32 pos = 9 * 2048;
    peer.rspPayload[TGT_MSG_TYPE__READ_TOOTH_LIST] = toothListRsp({{1, 1}, {kVto, 7}}, 2);
    raidCombProt_Init(&raid.protState[1], &raid, FakePartner::kPeer2, COMB_RAID_STATE__MM_NORMAL,
                      RAID_PROT_TYPE__MAINTENANCE, COPY_TYPE__NONE, 0, FALSE);
    raid.pMaintenance = &raid.protState[1];
    dev.run([&] { rc = raidComb_ReadRemoteToothList(cont.cont(), &raid, tree, pos, FALSE, 0, 0); });
    ASSERT_EQ(rc, MOS_RC__SUCCESS);
    VtoOnDev keep[] = {{1, 1}};
    dev.run([&] { rc = raidComb_CleanToothList(&raid, pos, 1, keep); });
    EXPECT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_EQ(versions(&raid.phyComb, 9), (std::vector<std::pair<VtoId, VtoTime>>{{1, 1}}));
}

} // namespace

namespace {

// A trim frees the local tooth only when every partner freed its own; a partner that freed it
// while this copy could not is answered 20.
TEST_F(RaidWriteTest, TrimIsAppliedLocallyOnlyAfterThePartners)
{
    Mos_RC rc = MOS_RC__ERROR;
    auto trim = [&] { dev.run([&] { rc = raidComb_Trim(&raid, tree, kOff, tooth, raid.combGenNum, TRUE); }); };
    peer.rspRcs[TGT_MSG_TYPE__TRIM_SEC] = {MOS_RC__IO_FAULT_DEVICE_ERROR};
    trim();
    EXPECT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_EQ(versions(&raid.phyComb, kOff / 2048).size(), 1u); // kept
    EXPECT_EQ(raid.pRebuild->combRaidState, COMB_RAID_STATE__NORMAL_NEED_REBUILD); // a trim never degrades

    raid.pRebuild->combRaidState = COMB_RAID_STATE__NORMAL;
    peer.sent.clear();
    dev.failWrites(true); // the local tooth array cannot be hardened
    trim();
    dev.failWrites(false);
    EXPECT_EQ(rc, MOS_RC__IO_HARD_ERROR);
    auto legs = peer.sentOf(TGT_MSG_TYPE__TRIM_SEC);
    ASSERT_FALSE(legs.empty());
    EXPECT_EQ(legs[0].grpId, RAID__RECV_GROUP__TGT_IO_MAIN);
}

} // namespace
