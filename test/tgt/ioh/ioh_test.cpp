// The I/O handler on a real comb: the order of its checks, malformed network input, quiesce
// generations, statistics, and client I/O against a model of what each node must read.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "test/tgt/ioh/ioh_fixture.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

constexpr VTreeId kTree = 0x51;
constexpr VtoId kVolVto = 10;
constexpr UINT64 kVol = 100;

class IohTest : public ::testing::Test, public IohFixture {
  protected:
    void SetUp() override
    {
        upIoh();
        tree = addTree(kTree, TRUE, {{kVolVto, 1}}, 1);
        own(0, 1023, kTree);
        vols[kVol] = IohFakeVol{tree, kVolVto, 0};
    }
    void TearDown() override
    {
        EXPECT_EQ(volRefs, 0);
        EXPECT_EQ(combRefs, 0);
        downIoh();
    }
    Vtree *tree = nullptr;
};

// Each check of a client write comes before every later one: with failures planted from check i
// on, the answer is check i's.
TEST_F(IohTest, ChecksOfAClientWriteRunInTheirOrder)
{
    struct Check {
        const char *name;
        std::function<void(TgtReq_IoWrite &, Req *)> plant;
        Mos_RC want;
    };
    std::vector<Check> checks = {
        {"range", [](TgtReq_IoWrite &w, Req *) { w.offsetInComb = 0xFFFFF800u; }, MOS_RC__INVALID},
        {"comb", [&](TgtReq_IoWrite &, Req *) { bCombHere = false; }, MOS_RC__IO_FAULT_NO_COMB},
        {"quiesce", [&](TgtReq_IoWrite &, Req *) { ioh_UpdateQuiesce(&ioh, 1, TRUE); }, MOS_RC__IO_FAULT_IS_QUIESCED},
        {"volume", [](TgtReq_IoWrite &w, Req *) { w.volId = 999; }, MOS_RC__IO_FAULT_NO_VOL},
        {"first access", [&](TgtReq_IoWrite &, Req *) { bFirstAccessOk = false; }, MOS_RC__IO_HARD_ERROR},
        {"primary", [&](TgtReq_IoWrite &, Req *) { state.priRc = MOS_RC__IO_FAULT_NOT_PRI; }, MOS_RC__IO_FAULT_NOT_PRI},
        {"validation", [&](TgtReq_IoWrite &, Req *) { vols[kVol].validateRc = MOS_RC__IO_FAULT_WRONG_VOL_GEN; },
         MOS_RC__IO_FAULT_WRONG_VOL_GEN},
        {"dif agreement", [](TgtReq_IoWrite &w, Req *) { w.flags = 0; }, MOS_RC__DIF_ATTACH_MISSING},
        {"ostrel link", [&](TgtReq_IoWrite &, Req *) { bOstrelBlocked = true; }, MOS_RC__IO_FAULT_BLOCKED},
        {"guards", [](TgtReq_IoWrite &, Req *r) { reinterpret_cast<T10Dif *>(r->data(2))[0].guard ^= 0x55; },
         MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED},
    };
    for (size_t first = checks.size(); first-- > 0;) {
        SCOPED_TRACE(checks[first].name);
        bCombHere = bFirstAccessOk = true;
        bOstrelBlocked = false;
        state.priRc = MOS_RC__SUCCESS;
        vols[kVol].validateRc = MOS_RC__SUCCESS;
        ioh_UpdateQuiesce(&ioh, 1, FALSE);
        TgtReq_IoWrite w = writeRec(kVol, 2048 * 3 + 8, 8, TGT_IO_WR__T10DIF_ATTACHED);
        auto r = makeReq(TGT_MSG_TYPE__IO_WRITE_PRI, w, {4096, 16});
        memset(r->data(1), 0x3C, 4096);
        mosT10Dif_GenT10DIF(r->data(1), reinterpret_cast<T10Dif *>(r->data(2)), 0, 0, 0, 8);
        for (size_t i = first; i < checks.size(); i++)
            checks[i].plant(w, r.get());
        memcpy(r->rec.data(), &w, sizeof(w));
        UINT64 teethBefore = usedTeeth();
        EXPECT_EQ(serve(&r->req), checks[first].want);
        EXPECT_EQ(usedTeeth(), teethBefore) << "a failed write leaves no tooth behind";
    }
    bCombHere = bFirstAccessOk = true;
    bOstrelBlocked = false;
    state.priRc = MOS_RC__SUCCESS;
    vols[kVol].validateRc = MOS_RC__SUCCESS;
    ioh_UpdateQuiesce(&ioh, 1, FALSE);
    auto plain = makeReq(TGT_MSG_TYPE__IO_WRITE_PRI, writeRec(kVol, 2048 * 3 + 8, 8), {4096, 16});
    EXPECT_EQ(serve(&plain->req), MOS_RC__DIF_ATTACH_MISSING) << "no guards, none promised";
    peerVer = 0x1270000;
    plain = makeReq(TGT_MSG_TYPE__IO_WRITE_PRI, writeRec(kVol, 2048 * 3 + 8, 8), {4096, 16});
    EXPECT_EQ(serve(&plain->req), MOS_RC__SUCCESS) << "an old Quillet writes without guards";
}

// Malformed input from the network is answered, never a stop of the process.
TEST_F(IohTest, MalformedRequestsAreRefused)
{
    auto read = [&](UINT32 off, UINT32 size) {
        auto r = makeReq(TGT_MSG_TYPE__IO_READ_PRI, readRec(kVol, off, size), {});
        return serve(&r->req);
    };
    EXPECT_EQ(read(0xFFFFF800u, 2048), MOS_RC__INVALID);
    EXPECT_EQ(read(1, 0xFFFFFFFFu), MOS_RC__INVALID);
    EXPECT_EQ(read(2040, 16), MOS_RC__INVALID) << "crosses a tooth";
    EXPECT_EQ(read(combSizeInLbs_g - 8, 8), MOS_RC__IO_ZERO_BUF) << "the comb's last 4 KB";

    TgtReq_Trim trim{};
    trim.combId = kIohComb;
    trim.volId = kVol;
    for (UINT32 off : {8u, combSizeInLbs_g, 0xFFFFF800u}) {
        trim.offsetInComb = off;
        auto r = makeReq(TGT_MSG_TYPE__TRIM_PRI, trim, {});
        EXPECT_EQ(serve(&r->req), MOS_RC__INVALID) << off;
    }

    state.bSecondary = TRUE;
    struct SecCase {
        UINT32 type, copyReason, time;
        Mos_RC want;
    };
    for (const SecCase &c : {SecCase{2105, 0, 1, MOS_RC__INVALID}, SecCase{2105, 8, 1, MOS_RC__INVALID},
                             SecCase{2105, 2, 0, MOS_RC__INVALID}, SecCase{2104, 0, 0, MOS_RC__INVALID},
                             SecCase{2108, 0, 0, MOS_RC__INVALID}, SecCase{2104, 3, 1, MOS_RC__INVALID},
                             SecCase{2105, 2, 1, MOS_RC__SUCCESS}}) {
        SCOPED_TRACE(testing::Message() << c.type << " reason " << c.copyReason << " time " << c.time);
        TgtReq_IoWriteSec ws{};
        ws.combId = kIohComb;
        ws.offsetInComb = 4096;
        ws.sizeInLbs = 8;
        ws.copyReason = c.copyReason;
        ws.devVto = {kVolVto, c.time};
        auto r = makeReq(c.type, ws, {4096, 16});
        IohResp res{};
        EXPECT_EQ(serve(&r->req, &res), c.want);
        if (c.want == MOS_RC__SUCCESS) {
            EXPECT_EQ(res.numOfRspBufs, 1u) << "a copy write answers with its limits";
            EXPECT_EQ(res.rspBufs[0].len, sizeof(TgtRes_WriteSecCopy));
        }
    }

    TgtReq_GetNextTooth nt{};
    nt.combId = kIohComb;
    nt.toothInComb = 8192;
    auto rn = makeReq(TGT_MSG_TYPE__GET_NEXT_TOOTH, nt, {});
    EXPECT_EQ(serve(&rn->req), MOS_RC__INVALID);

    TgtReq_CleanToothList cl{};
    cl.combId = kIohComb;
    cl.numOfTeeth = 33;
    auto rc = makeReq(TGT_MSG_TYPE__CLEAN_REMOTE_TOOTH_LIST, cl, {});
    EXPECT_EQ(serve(&rc->req), MOS_RC__INVALID);
    cl.numOfTeeth = 0;
    cl.offsetInComb = 7;
    rc = makeReq(TGT_MSG_TYPE__CLEAN_REMOTE_TOOTH_LIST, cl, {});
    EXPECT_EQ(serve(&rc->req), MOS_RC__INVALID) << "not tooth-aligned";

    TgtReq_ReadCombDrl dq{};
    dq.combId = kIohComb;
    dq.bAllTeeth = 1;
    auto rd = makeReq(TGT_MSG_TYPE__READ_COMB_FINE_DRL, dq, {});
    EXPECT_EQ(serve(&rd->req), MOS_RC__IO_HARD_ERROR);

    // Wrong buffer lengths and unknown types.
    auto bad = makeReq(TGT_MSG_TYPE__IO_WRITE_PRI, writeRec(kVol, 0, 8), {4096, 14});
    EXPECT_EQ(serve(&bad->req), MOS_RC__INVALID);
    auto cmd = makeReq(2020, readRec(kVol, 0, 8), {});
    IohResp res{};
    EXPECT_EQ(serve(&cmd->req, &res), MOS_RC__UNKNOWN_MSG);
    EXPECT_EQ(res.numOfRspBufs, 0u);
}

TEST_F(IohTest, PeerServicesAnswerWithTheirRecords)
{
    state.bSecondary = TRUE;
    ASSERT_EQ(clientWrite(kVol, 2048 * 2, 8, 7), MOS_RC__SUCCESS);
    TgtReq_GetToothList gq{};
    gq.combId = kIohComb;
    gq.offsetInComb = 2048 * 2;
    auto r = makeReq(TGT_MSG_TYPE__READ_TOOTH_LIST, gq, {});
    IohResp res{};
    ASSERT_EQ(serve(&r->req, &res), MOS_RC__SUCCESS);
    ASSERT_EQ(res.numOfRspBufs, 1u);
    EXPECT_EQ(res.rspBufs[0].len, 300u);
    EXPECT_EQ(res.rspToothList.numOfTeeth, 1u);

    TgtReq_ReadCombDrl dq{};
    dq.combId = kIohComb;
    for (UINT32 type : {TGT_MSG_TYPE__READ_COMB_FINE_DRL, TGT_MSG_TYPE__READ_COMB_BM}) {
        auto rd = makeReq(type, dq, {});
        IohResp dres{};
        ASSERT_EQ(serve(&rd->req, &dres), MOS_RC__SUCCESS);
        EXPECT_EQ(dres.rspBufs[0].len, type == TGT_MSG_TYPE__READ_COMB_BM ? 8u + 12 : 8u + 45);
    }
    state.bSecondary = FALSE;
    auto rd = makeReq(TGT_MSG_TYPE__READ_COMB_FINE_DRL, dq, {});
    EXPECT_EQ(serve(&rd->req), MOS_RC__IO_HARD_ERROR);
    EXPECT_EQ(serve(&r->req), MOS_RC__IO_FAULT_NOT_SEC);
}

// A read of no blocks succeeds with no payload at all: an empty buffer in the answer's list would
// leave the reader waiting for bytes that never come.
TEST_F(IohTest, AReadOfNoBlocksIsAnsweredWithoutPayload)
{
    ASSERT_EQ(clientWrite(kVol, 2048 * 2, 8, 7), MOS_RC__SUCCESS);
    auto pri = makeReq(TGT_MSG_TYPE__IO_READ_PRI, readRec(kVol, 2048 * 2, 0), {});
    IohResp res{};
    EXPECT_EQ(serve(&pri->req, &res), MOS_RC__SUCCESS);
    EXPECT_EQ(res.numOfRspBufs, 0u);

    state.bSecondary = TRUE;
    TgtReq_IoReadSec rs{};
    rs.combId = kIohComb;
    rs.offsetInComb = 2048 * 2;
    rs.devVto = {kVolVto, 1};
    auto sec = makeReq(TGT_MSG_TYPE__IO_READ_SEC, rs, {});
    IohResp secRes{};
    EXPECT_EQ(serve(&sec->req, &secRes), MOS_RC__SUCCESS);
    EXPECT_EQ(secRes.numOfRspBufs, 0u);
    state.bSecondary = FALSE;
}

TEST_F(IohTest, QuiesceGenerationsCompareAcrossTheWrap)
{
    EXPECT_EQ(ioh_StartQuiesce(&ioh, 0), MOS_RC__WRONG_QUIESCE_GEN) << "current generation, not quiesced";
    EXPECT_EQ(ioh_StartQuiesce(&ioh, 1), MOS_RC__SUCCESS);
    EXPECT_EQ(ioh_StartQuiesce(&ioh, 1), MOS_RC__SUCCESS) << "again, already quiesced";
    EXPECT_EQ(clientWrite(kVol, 0, 8, 1), MOS_RC__IO_FAULT_IS_QUIESCED);
    EXPECT_EQ(ioh_StopQuiesce(&ioh, 0), MOS_RC__WRONG_QUIESCE_GEN);
    EXPECT_TRUE(ioh_IsQuiesced(&ioh));
    EXPECT_EQ(ioh_StopQuiesce(&ioh, 1), MOS_RC__SUCCESS);
    EXPECT_FALSE(ioh_IsQuiesced(&ioh));
    ioh_UpdateQuiesce(&ioh, 0xFFFFFFFFu, FALSE);
    EXPECT_EQ(ioh_StartQuiesce(&ioh, 0xFFFFFFFEu), MOS_RC__WRONG_QUIESCE_GEN) << "older";
    EXPECT_EQ(ioh_StartQuiesce(&ioh, 1), MOS_RC__SUCCESS) << "1 after 0xFFFFFFFF is newer";
    EXPECT_EQ(ioh_GetQuiesceGenNum(&ioh), 1u);
}

TEST_F(IohTest, FlushTrackerAndStatistics)
{
    ioh_UpdateFlushInfoStartFlush(&ioh);
    ioh_UpdateFlushInfoEndFlush(&ioh);
    EXPECT_TRUE(ioh_QueryIsQuietAndFlushed(&ioh));
    ioh_UpdateFlushInfoStartQuery(&ioh);
    ioh_UpdateFlushInfoStartFlush(&ioh);
    ioh_UpdateFlushInfoEndFlush(&ioh);
    EXPECT_FALSE(ioh_QueryIsQuietAndFlushed(&ioh)) << "an I/O in flight";
    ioh_UpdateFlushInfoEndQuery(&ioh);
    EXPECT_TRUE(ioh_QueryIsQuietAndFlushed(&ioh)) << "a flush that started after the I/O covers it";
    ioh_UpdateFlushInfoStartFlush(&ioh);
    ioh_UpdateFlushInfoStartQuery(&ioh);
    ioh_UpdateFlushInfoEndQuery(&ioh);
    ioh_UpdateFlushInfoEndFlush(&ioh);
    EXPECT_FALSE(ioh_QueryIsQuietAndFlushed(&ioh)) << "an I/O ran since the flush started";
    ioh_UpdateFlushInfoStartFlush(&ioh);
    ioh_UpdateFlushInfoEndFlush(&ioh);
    EXPECT_TRUE(ioh_QueryIsQuietAndFlushed(&ioh));

    for (auto [lat, bucket] : std::vector<std::pair<UINT64, UINT32>>{
             {1, 0}, {127, 0}, {128, 1}, {255, 1}, {256, 2}, {131071, 10}, {131072, 11}, {1ull << 40, 11}})
        EXPECT_EQ(ioh_LatBucket(lat), bucket) << lat;
    memset(&ioh.query, 0, sizeof(ioh.query));
    ioh_UpdateStats(&ioh, 1, TGT_MSG_TYPE__IO_WRITE_PRI, TRUE, TRUE, 0);
    EXPECT_EQ(ioh.query.smallIosCount, 1u);
    EXPECT_EQ(ioh.query.totalInLbs, 1u);
    EXPECT_EQ(ioh.query.writeCountPri, 0u);
    ioh_UpdateStats(&ioh, 8, TGT_MSG_TYPE__IO_WRITE_PRI, TRUE, TRUE, 0);
    ioh_UpdateStats(&ioh, 2048, TGT_MSG_TYPE__IO_READ_SEC, FALSE, FALSE, 0);
    ioh_UpdateStats(&ioh, 8, TGT_MSG_TYPE__IO_WRITE_PRI, TRUE, TRUE, 500);
    EXPECT_EQ(ioh.query.ioCount[0], 1u);
    EXPECT_EQ(ioh.query.ioCount[8], 1u);
    EXPECT_EQ(ioh.query.writeCountPri, 1u);
    EXPECT_EQ(ioh.query.readCountSec, 1u);
    EXPECT_EQ(ioh.query.ioLatWrite[2], 1u);
    // The debug query answers the whole record.
    IohQuery q{};
    mosObj_Query(&ioh.sdbgObj, &pTgtSdbg_g->iohType, &q);
    EXPECT_EQ(memcmp(&q, &ioh.query, sizeof(q)), 0);
}

TEST_F(IohTest, CacheBypassDecision)
{
    struct Case {
        const char *name;
        UINT64 vol;
        UINT32 size;
        BOOL bWrite;
        bool volCached, devCached, combWritesCached, combHere;
        BOOL want;
    };
    const Case cases[] = {
        {"cached read", kVol, 8, FALSE, true, true, true, true, FALSE},
        {"cached write", kVol, 8, TRUE, true, true, true, true, FALSE},
        {"cache's own rule", kVol, 512, FALSE, true, true, true, true, TRUE},
        {"no volume", 999, 8, FALSE, true, true, true, true, TRUE},
        {"volume not cached", kVol, 8, FALSE, false, true, true, true, TRUE},
        {"no comb", kVol, 8, FALSE, true, true, true, false, TRUE},
        {"device not cached", kVol, 8, FALSE, true, false, true, true, TRUE},
        {"writes not cached: read", kVol, 8, FALSE, true, true, false, true, FALSE},
        {"writes not cached: write", kVol, 8, TRUE, true, true, false, true, TRUE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        bVolCached = c.volCached;
        bDevCached = c.devCached;
        bCombWritesCached = c.combWritesCached;
        bCombHere = c.combHere;
        EXPECT_EQ(ioh_IsCacheSkip(&ioh, c.vol, kIohComb, c.size, 0, c.bWrite), c.want);
    }
    bCombHere = true;

    // A client read of the primary goes through the cache exactly when the rule lets it; a
    // partner's read never does.
    ASSERT_EQ(clientWrite(kVol, 2048 * 3, 256, 0x61), MOS_RC__SUCCESS);
    for (const Case &c : cases) {
        if (c.bWrite || c.vol != kVol || !c.combHere)
            continue;
        SCOPED_TRACE(c.name);
        bVolCached = c.volCached;
        bDevCached = c.devCached;
        bCombWritesCached = c.combWritesCached;
        cacheReads.clear();
        Mos_RC rc = MOS_RC__ERROR;
        clientRead(kVol, 2048 * 3, c.size, &rc);
        ASSERT_EQ(rc, MOS_RC__SUCCESS);
        EXPECT_EQ(cacheReads, std::vector<bool>{!c.want});
    }
    bVolCached = bDevCached = bCombWritesCached = true;
    state.bSecondary = TRUE;
    cacheReads.clear();
    TgtReq_IoReadSec rs{};
    rs.combId = kIohComb;
    rs.offsetInComb = 2048 * 3;
    rs.sizeInLbs = 8;
    rs.devVto = {kVolVto, 1};
    auto r = makeReq(TGT_MSG_TYPE__IO_READ_SEC, rs, {});
    EXPECT_EQ(serve(&r->req), MOS_RC__SUCCESS);
    EXPECT_EQ(cacheReads, std::vector<bool>{false});
    state.bSecondary = FALSE;
}

// A 4 KB write to a missing tooth writes the whole new tooth with zeros around its data; a 1 MB
// one writes without padding.
TEST_F(IohTest, WritesToAMissingToothPadWithZeros)
{
    ASSERT_EQ(clientWrite(kVol, 2048 * 4 + 16, 8, 0xAB), MOS_RC__SUCCESS);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].offsetInComb, 2048u * 4);
    EXPECT_EQ(writes[0].sizeInLbs, 2048u);
    EXPECT_TRUE(writes[0].wrIoFlags.bZeroPad);
    EXPECT_TRUE(writes[0].wrIoFlags.bNewTooth);
    auto got = clientRead(kVol, 2048 * 4, 2048);
    for (UINT32 i = 0; i < 2048; i++)
        ASSERT_EQ(got[i], i >= 16 && i < 24 ? 0xAB : 0) << i;
    ASSERT_EQ(clientWrite(kVol, 2048 * 5, 2048, 0xCD), MOS_RC__SUCCESS);
    EXPECT_FALSE(writes[1].wrIoFlags.bZeroPad);
    EXPECT_TRUE(writes[1].wrIoFlags.bNewTooth);
    // In place now: just the range.
    ASSERT_EQ(clientWrite(kVol, 2048 * 4 + 16, 8, 0xAC), MOS_RC__SUCCESS);
    EXPECT_EQ(writes[2].sizeInLbs, 8u);
    EXPECT_FALSE(writes[2].wrIoFlags.bNewTooth);
}

// A compare-and-write whose compare half differs writes nothing and keeps no tooth; one that
// matches writes its second half.
TEST_F(IohTest, CompareAndWrite)
{
    peerVer = 0x1270000; // no guards
    auto caw = [&](UINT32 off, UINT8 cmp, UINT8 data) {
        auto r = makeReq(TGT_MSG_TYPE__IO_WRITE_TEST_A_SET, writeRec(kVol, off, 8), {8192, 32, 4096, 16});
        memset(r->data(1), cmp, 4096);
        memset(r->data(1) + 4096, data, 4096);
        return serve(&r->req);
    };
    UINT64 teeth = usedTeeth();
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(caw(2048 * 6, 0x11, 0x22), MOS_RC__IO_FAULT_TEST_FAILED);
    EXPECT_EQ(usedTeeth(), teeth) << "no tooth leaks from failed comparisons";
    EXPECT_TRUE(writes.empty());
    EXPECT_EQ(caw(2048 * 6, 0, 0x22), MOS_RC__SUCCESS) << "a missing tooth compares as zeros";
    EXPECT_EQ(clientRead(kVol, 2048 * 6, 8), std::vector<UINT8>(8, 0x22));
    EXPECT_EQ(caw(2048 * 6, 0x21, 0x33), MOS_RC__IO_FAULT_TEST_FAILED);
    EXPECT_EQ(clientRead(kVol, 2048 * 6, 8), std::vector<UINT8>(8, 0x22));
    EXPECT_EQ(caw(2048 * 6, 0x22, 0x33), MOS_RC__SUCCESS);
    EXPECT_EQ(clientRead(kVol, 2048 * 6, 8), std::vector<UINT8>(8, 0x33));
}

// Obfuscated data reads back as written; a guard failure on the way out answers 20 and the
// server goes on.
TEST_F(IohTest, ObfuscationAndReadGuardFailure)
{
    vols[kVol].key = 0x5A5AA5A5DEADBEEFull;
    state.bT10DifInMemOnly = TRUE;
    auto r = makeReq(TGT_MSG_TYPE__IO_WRITE_PRI, writeRec(kVol, 64, 8, TGT_IO_WR__T10DIF_ATTACHED), {4096, 16});
    memset(r->data(1), 0x42, 4096);
    mosT10Dif_GenT10DIF(r->data(1), reinterpret_cast<T10Dif *>(r->data(2)), 0, 0, 0, 8);
    ASSERT_EQ(serve(&r->req), MOS_RC__SUCCESS);
    EXPECT_EQ(clientRead(kVol, 64, 8), std::vector<UINT8>(8, 0x42));
    bCorruptReadGuards = true;
    Mos_RC rc;
    clientRead(kVol, 64, 8, &rc);
    EXPECT_EQ(rc, MOS_RC__IO_HARD_ERROR);
    bCorruptReadGuards = false;
    EXPECT_EQ(clientRead(kVol, 64, 8), std::vector<UINT8>(8, 0x42));

    // Without a key the guards pass through: checked when the Quillet asks, or cannot take them.
    vols[kVol].key = 0;
    ASSERT_EQ(clientWrite(kVol, 128, 8, 0x43), MOS_RC__SUCCESS);
    bCorruptReadGuards = true;
    auto strict = readRec(kVol, 128, 8);
    strict.flags = TGT_IO_RD__T10DIF_STRICT_VERIFY;
    auto r1 = makeReq(TGT_MSG_TYPE__IO_READ_PRI, strict, {});
    IohResp res{};
    EXPECT_EQ(serve(&r1->req, &res), MOS_RC__IO_HARD_ERROR);
    EXPECT_EQ(res.numOfRspBufs, 0u);
    peerVer = 0x1270000;
    clientRead(kVol, 128, 8, &rc);
    EXPECT_EQ(rc, MOS_RC__IO_HARD_ERROR);
    peerVer = TGT_PEER_VER__FIRST_WITH_DIF;
    clientRead(kVol, 128, 8, &rc);
    EXPECT_EQ(rc, MOS_RC__SUCCESS) << "handed on with the guards: the Quillet checks them";
}

// A volume whose node is not in its tree (a tree that has no node yet, a node the tree never had,
// or vtoId 1 where no node has that id) is refused as unknown for reads, writes and trims, and
// takes no tooth: a write would otherwise be acknowledged and never read back. Once the node
// arrives, what the volume writes reads back.
TEST_F(IohTest, AVolumeWhoseNodeIsNotInItsTreeIsRefused)
{
    constexpr VTreeId kBare = 0x52;
    Vtree *bare = addTree(kBare, TRUE, {}, 3);
    own(5, 5, kBare); // teeth 40 to 47
    vols[200] = IohFakeVol{bare, VTREE__BASE_VTO_ID, 0};
    vols[201] = IohFakeVol{tree, 77, 0};
    vols[202] = IohFakeVol{tree, VTREE__BASE_VTO_ID, 0};
    vols[203] = IohFakeVol{bare, 7, 0};
    ASSERT_EQ(clientWrite(kVol, 2048 * 48, 8, 0x11), MOS_RC__SUCCESS);
    struct Case {
        UINT64 vol;
        UINT32 tooth;
    };
    auto refused = [&](const Case &c) {
        SCOPED_TRACE(c.vol);
        const UINT64 before = usedTeeth();
        EXPECT_EQ(clientWrite(c.vol, 2048 * c.tooth + 8, 8, 0x5A), MOS_RC__IO_FAULT_NO_VOL);
        EXPECT_EQ(usedTeeth(), before) << "a refused write takes no tooth";
        Mos_RC rc = MOS_RC__SUCCESS;
        clientRead(c.vol, 2048 * c.tooth, 8, &rc);
        EXPECT_EQ(rc, MOS_RC__IO_FAULT_NO_VOL);
        TgtReq_Trim trim{};
        trim.combId = kIohComb;
        trim.volId = c.vol;
        trim.offsetInComb = 2048 * c.tooth;
        auto r = makeReq(TGT_MSG_TYPE__TRIM_PRI, trim, {});
        EXPECT_EQ(serve(&r->req), MOS_RC__IO_FAULT_NO_VOL);
    };
    for (const Case &c : {Case{200, 40}, Case{201, 48}, Case{202, 48}, Case{203, 41}})
        refused(c);
    EXPECT_EQ(clientRead(kVol, 2048 * 48, 8), std::vector<UINT8>(8, 0x11)) << "the tree's own volume is served";

    updateTree(bare, {{7, 3}});
    refused(Case{200, 40});
    ASSERT_EQ(clientWrite(203, 2048 * 41, 8, 0x5A), MOS_RC__SUCCESS);
    ASSERT_EQ(clientWrite(203, 2048 * 41 + 8, 8, 0x5B), MOS_RC__SUCCESS);
    EXPECT_EQ(clientRead(203, 2048 * 41, 16),
              std::vector<UINT8>({0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5B, 0x5B, 0x5B, 0x5B, 0x5B, 0x5B,
                                  0x5B, 0x5B}));
}

// While the comb rebuilds, a write of a missing tooth has the partner drop it from its list first;
// a write that splits a tooth shared with a snapshot does not.
TEST_F(IohTest, RebuildCleansOnlyTeethThatAreMissing)
{
    ASSERT_EQ(clientWrite(kVol, 2048 * 9, 8, 1), MOS_RC__SUCCESS);
    updateTree(tree, {{20, tree->time + 1, SNAP_DEL_STATE__NORMAL, kVolVto}});
    vols[1020] = IohFakeVol{tree, 20, 0};
    state.bRebuildDerived = TRUE;
    ASSERT_EQ(clientWrite(kVol, 2048 * 9 + 8, 8, 2), MOS_RC__SUCCESS);
    EXPECT_EQ(cleanRemoteCalls, 0);
    EXPECT_EQ(clientRead(1020, 2048 * 9, 16), std::vector<UINT8>({1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(clientWrite(kVol, 2048 * 10, 8, 3), MOS_RC__SUCCESS);
    EXPECT_EQ(cleanRemoteCalls, 1);
}

// An I/O of a volume quiesced from its start to its end is answered when the quiesce ends.
TEST_F(IohTest, AnswersOfAQuiescedVolumeWait)
{
    bVolQuiesced = true;
    IohResp res{};
    auto r = makeReq(TGT_MSG_TYPE__IO_READ_PRI, readRec(kVol, 0, 8), {});
    EXPECT_EQ(serve(&r->req, &res), MOS_RC__IO_ZERO_BUF);
    EXPECT_TRUE(res.bDelayResp);
    EXPECT_EQ(hungVols, std::vector<UINT64>{kVol});
    EXPECT_EQ(clientWrite(kVol, 0, 8, 1), MOS_RC__SUCCESS);
    EXPECT_EQ(hungVols.size(), 2u);
    bVolQuiesced = false;
    IohResp res2{};
    EXPECT_EQ(serve(&r->req, &res2), MOS_RC__SUCCESS);
    EXPECT_FALSE(res2.bDelayResp);
    EXPECT_EQ(hungVols.size(), 2u);
}

// A 4 KB write into a tooth that needs rebuild rewrites the whole tooth in place, keeping the rest
// of its content.
TEST_F(IohTest, AWriteIntoAToothThatNeedsRebuildRewritesItWhole)
{
    ASSERT_EQ(clientWrite(kVol, 2048 * 11, 2048, 4), MOS_RC__SUCCESS);
    rebuildTeeth.insert(11);
    writes.clear();
    UINT64 teeth = usedTeeth();
    ASSERT_EQ(clientWrite(kVol, 2048 * 11 + 64, 8, 5), MOS_RC__SUCCESS);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].offsetInComb, 2048u * 11);
    EXPECT_EQ(writes[0].sizeInLbs, 2048u);
    EXPECT_FALSE(writes[0].wrIoFlags.bNewTooth);
    EXPECT_FALSE(writes[0].wrIoFlags.bZeroPad);
    EXPECT_EQ(usedTeeth(), teeth);
    auto got = clientRead(kVol, 2048 * 11, 2048);
    for (UINT32 i = 0; i < 2048; i++)
        ASSERT_EQ(got[i], i >= 64 && i < 72 ? 5 : 4) << i;
}

// Random client I/O on a volume, then with two snapshots, on the device file; every read equals
// the model of what the node must see.
TEST_F(IohTest, ClientIoAgainstAModel)
{
    peerVer = 0x1270000;
    constexpr UINT32 kTeeth = 4, kSlots = kTeeth * 256; // 8-LB slots
    std::map<VtoId, std::vector<UINT8>> model{{kVolVto, std::vector<UINT8>(kSlots, 0)}};
    std::map<VtoId, UINT64> volOf{{kVolVto, kVol}};
    std::mt19937 rng(7);
    UINT8 fill = 1;
    auto check = [&](const char *when) {
        for (auto &[vto, img] : model)
            for (int k = 0; k < 8; k++) {
                UINT32 slot = rng() % kSlots, n = 1 + rng() % std::min<UINT32>(8, 256 - slot % 256);
                auto got = clientRead(volOf[vto], slot * 8, n * 8);
                for (UINT32 j = 0; j < n; j++)
                    ASSERT_EQ(got[j * 8], img[slot + j]) << when << " node " << vto << " slot " << slot + j;
            }
    };
    for (int phase = 0; phase < 2; phase++) {
        for (int step = 0; step < 120; step++) {
            UINT32 op = rng() % 10;
            UINT32 slot = rng() % kSlots, n = 1 + rng() % std::min<UINT32>(16, 256 - slot % 256);
            auto &img = model[kVolVto];
            if (op < 5) {
                ASSERT_EQ(clientWrite(kVol, slot * 8, n * 8, fill), MOS_RC__SUCCESS);
                std::fill(img.begin() + slot, img.begin() + slot + n, fill);
            } else if (op == 5) {
                auto r = makeReq(TGT_MSG_TYPE__IO_WRITE_PRI_ZERO, writeRec(kVol, slot * 8, n * 8), {n * 4096, n * 16});
                memset(r->data(1), 0x77, (size_t)n * 4096);
                ASSERT_EQ(serve(&r->req), MOS_RC__SUCCESS);
                std::fill(img.begin() + slot, img.begin() + slot + n, 0);
            } else if (op == 6) {
                auto r = makeReq(TGT_MSG_TYPE__IO_WRITE_TEST_A_SET, writeRec(kVol, slot * 8, 8), {8192, 32, 4096, 16});
                bool bMatch = rng() % 2;
                UINT8 cmp = bMatch ? img[slot] : (UINT8)(img[slot] + 1);
                memset(r->data(1), cmp, 4096);
                memset(r->data(1) + 4096, fill, 4096);
                ASSERT_EQ(serve(&r->req), bMatch ? MOS_RC__SUCCESS : MOS_RC__IO_FAULT_TEST_FAILED);
                if (bMatch)
                    img[slot] = fill;
            } else if (op == 7) {
                TgtReq_Trim t{};
                t.combId = kIohComb;
                t.volId = kVol;
                t.offsetInComb = (slot / 256) * 2048;
                auto r = makeReq(TGT_MSG_TYPE__TRIM_PRI, t, {});
                Mos_RC rc = serve(&r->req);
                if (phase == 0) {
                    ASSERT_EQ(rc, MOS_RC__SUCCESS);
                    std::fill(img.begin() + (slot / 256) * 256, img.begin() + (slot / 256) * 256 + 256, 0);
                } else {
                    ASSERT_EQ(rc, MOS_RC__IO_FAULT_VOL_HAS_SNAPSHOTS);
                }
            } else {
                check("step");
            }
            fill = fill == 255 ? 1 : fill + 1;
        }
        check("phase end");
        if (phase == 0) {
            for (VtoId snap : {20u, 21u}) {
                VtoTime time = tree->time + 1;
                updateTree(tree, {{snap, time, SNAP_DEL_STATE__NORMAL, kVolVto}});
                model[snap] = model[kVolVto];
                vols[snap + 1000] = IohFakeVol{tree, snap, 0};
                volOf[snap] = snap + 1000;
                for (int w = 0; w < 20; w++) {
                    UINT32 slot = rng() % kSlots;
                    ASSERT_EQ(clientWrite(kVol, slot * 8, 8, fill), MOS_RC__SUCCESS);
                    model[kVolVto][slot] = fill;
                    fill = fill == 255 ? 1 : fill + 1;
                }
                check("snapshot");
            }
        }
    }
}
} // namespace

namespace {
// Served client I/O is counted in the comb's bandwidth counters by kind and source; refused I/O is
// not. Copy writes of rebuilds and migrations are throttled with no extent lock held.
TEST_F(IohTest, BandwidthCountersAndCopyThrottling)
{
    using Key = std::pair<UINT32, bool>;
    auto counted = [&] {
        std::map<Key, UINT64> got = bwc;
        bwc.clear();
        return got;
    };
    constexpr bool R = false, W = true;
    ASSERT_EQ(clientWrite(kVol, 2048 * 2, 8, 0x41), MOS_RC__SUCCESS);
    EXPECT_EQ(counted(), (std::map<Key, UINT64>{{{CONT_BWC_IO_COUNTER__PRI_IO, W}, 8}}));
    EXPECT_EQ(clientWrite(999, 2048 * 2, 8, 0x41), MOS_RC__IO_FAULT_NO_VOL);
    EXPECT_TRUE(counted().empty()) << "a refused write counts nothing";

    Mos_RC rc = MOS_RC__ERROR;
    clientRead(kVol, 2048 * 2, 16, &rc);
    ASSERT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_EQ(counted(), (std::map<Key, UINT64>{{{CONT_BWC_IO_COUNTER__PRI_IO, R}, 16},
                                                {{CONT_BWC_IO_COUNTER__PRI_IO_FROM_DEV, R}, 16}}));
    bReadsFromCache = true;
    clientRead(kVol, 2048 * 2, 8, &rc);
    ASSERT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_EQ(counted(), (std::map<Key, UINT64>{{{CONT_BWC_IO_COUNTER__PRI_IO, R}, 8},
                                                {{CONT_BWC_IO_COUNTER__PRI_IO_FROM_RAMCACHE, R}, 8}}));
    bReadsFromCache = false;
    clientRead(kVol, 2048 * 9, 8, &rc);
    ASSERT_EQ(rc, MOS_RC__IO_ZERO_BUF);
    EXPECT_EQ(counted(), (std::map<Key, UINT64>{{{CONT_BWC_IO_COUNTER__PRI_IO, R}, 8}})) << "no data, no source";

    // The secondary: plain and zero writes count as SEC_IO, copies by their reason; only rebuild
    // and migration copies are throttled.
    state.bSecondary = TRUE;
    struct SecCase {
        UINT32 type, copyReason;
        bool bThrottled;
    };
    for (const SecCase &c : {SecCase{TGT_MSG_TYPE__IO_WRITE_SEC, COPY_TYPE__NONE, false},
                             SecCase{TGT_MSG_TYPE__IO_WRITE_SEC_ZERO, COPY_TYPE__NONE, false},
                             SecCase{TGT_MSG_TYPE__IO_WRITE_SEC_COPY, COPY_TYPE__MIGRATION, true},
                             SecCase{TGT_MSG_TYPE__IO_WRITE_SEC_COPY, COPY_TYPE__FWD_REBUILD, true},
                             SecCase{TGT_MSG_TYPE__IO_WRITE_SEC_COPY, COPY_TYPE__DEGRADED_BACK_REBUILD, true},
                             SecCase{TGT_MSG_TYPE__IO_WRITE_SEC_COPY, COPY_TYPE__SCAN, false},
                             SecCase{TGT_MSG_TYPE__IO_WRITE_SEC_COPY, COPY_TYPE__REVERSE_REBUILD, true},
                             SecCase{TGT_MSG_TYPE__IO_WRITE_SEC_COPY, COPY_TYPE__NORM_BACK_REBUILD, true},
                             SecCase{TGT_MSG_TYPE__IO_WRITE_SEC_COPY, COPY_TYPE__MAINT_REBUILD, false}}) {
        SCOPED_TRACE(testing::Message() << c.type << " reason " << c.copyReason);
        TgtReq_IoWriteSec ws{};
        ws.combId = kIohComb;
        ws.offsetInComb = 2048 * 11 + 8;
        ws.sizeInLbs = 8;
        ws.copyReason = c.copyReason;
        ws.devVto = {kVolVto, 1};
        auto r = makeReq(c.type, ws, {4096, 16});
        throttles.clear();
        ASSERT_EQ(serve(&r->req), MOS_RC__SUCCESS);
        UINT32 kind = c.type == TGT_MSG_TYPE__IO_WRITE_SEC_COPY ? c.copyReason : (UINT32)CONT_BWC_IO_COUNTER__SEC_IO;
        EXPECT_EQ(counted(), (std::map<Key, UINT64>{{{kind, W}, 8}}));
        std::vector<Throttle> want;
        if (c.bThrottled)
            want = {{true, 8, c.copyReason, true}, {false, 8, c.copyReason, true}};
        EXPECT_EQ(throttles, want) << "started and ended once each, with no extent lock held";
    }
    TgtReq_IoReadSec rs{};
    rs.combId = kIohComb;
    rs.offsetInComb = 2048 * 11 + 8;
    rs.sizeInLbs = 8;
    rs.devVto = {kVolVto, 1};
    auto r = makeReq(TGT_MSG_TYPE__IO_READ_SEC, rs, {});
    ASSERT_EQ(serve(&r->req), MOS_RC__SUCCESS);
    EXPECT_EQ(counted(), (std::map<Key, UINT64>{{{CONT_BWC_IO_COUNTER__SEC_IO, R}, 8},
                                                {{CONT_BWC_IO_COUNTER__SEC_IO_FROM_DEV, R}, 8}}));
    rs.copyReason = COPY_TYPE__FWD_REBUILD;
    r = makeReq(TGT_MSG_TYPE__IO_READ_SEC, rs, {});
    ASSERT_EQ(serve(&r->req), MOS_RC__SUCCESS);
    EXPECT_TRUE(counted().empty()) << "a copy's read is not client I/O";
}

// A secondary rewritten by its primary's scan counts a local fix on its device, on disk at
// once, only when the scan asked for it; other copy writes count none.
TEST_F(IohTest, ScanFixOfTheSecondaryCountsALocalFixOnDisk)
{
    state.bSecondary = TRUE;
    struct Case {
        UINT32 copyReason, bInc, fixes;
    };
    for (const Case &c : {Case{COPY_TYPE__SCAN, 0, 0}, Case{COPY_TYPE__MIGRATION, 1, 0}, Case{COPY_TYPE__SCAN, 1, 1},
                          Case{COPY_TYPE__SCAN, 1, 2}}) {
        SCOPED_TRACE(testing::Message() << "reason " << c.copyReason << " inc " << c.bInc);
        TgtReq_IoWriteSec ws{};
        ws.combId = kIohComb;
        ws.offsetInComb = 2048 * 12;
        ws.sizeInLbs = 2048;
        ws.copyReason = c.copyReason;
        ws.bScanIncLocalFixesCounter = c.bInc;
        ws.devVto = {kVolVto, 1};
        auto r = makeReq(TGT_MSG_TYPE__IO_WRITE_SEC_COPY, ws, {2048 * 512, 4096});
        ASSERT_EQ(serve(&r->req), MOS_RC__SUCCESS);
        EXPECT_EQ(pd.localDiskFixesCounter, c.fixes);
        EXPECT_EQ(tgtTest_ReadCounters(dev.path).localDiskFixes, c.fixes);
    }
}

// Served client reads and writes are charged to the client-I/O limiter once nothing of the
// request is held any more; refused ones and reads of missing teeth are not charged.
TEST_F(IohTest, ServedClientIoIsChargedToTheIoLimiter)
{
    ASSERT_EQ(clientWrite(kVol, 2048 * 3, 2048, 0x61), MOS_RC__SUCCESS);
    Mos_RC rc = MOS_RC__ERROR;
    clientRead(kVol, 2048 * 3 + 8, 16, &rc);
    ASSERT_EQ(rc, MOS_RC__SUCCESS);
    clientRead(999, 2048 * 3, 8, &rc);
    EXPECT_EQ(rc, MOS_RC__IO_FAULT_NO_VOL);
    clientRead(kVol, 2048 * 40, 8, &rc);
    EXPECT_EQ(rc, MOS_RC__IO_ZERO_BUF);
    EXPECT_EQ(clientWrite(999, 2048 * 3, 8, 0x61), MOS_RC__IO_FAULT_NO_VOL);
    EXPECT_EQ(ioLimiterCharges, (std::vector<UINT32>{2048, 16}));
    EXPECT_FALSE(bLockHeldAtCharge) << "no extent lock, comb or volume is held while a charge may wait";
}
} // namespace
