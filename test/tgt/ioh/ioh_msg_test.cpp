// Data-path records on the wire: the bytes each record puts there, the shape rules of every type,
// and the two forms of a dirty-region-log answer.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "test/support/tgt_test_support.h"
#include "tgt/ioh/ioh_msg.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

// Bytes laid down by hand, little-endian, at the offsets peers read: independent of the structs.
struct Golden {
    explicit Golden(size_t n) : bytes(n, 0) {}
    Golden &put(size_t off, UINT64 v, size_t width)
    {
        for (size_t i = 0; i < width; i++)
            bytes.at(off + i) = (UINT8)(v >> (8 * i));
        return *this;
    }
    std::vector<UINT8> bytes;
};

template <typename T> std::vector<UINT8> bytesOf(const T &rec)
{
    std::vector<UINT8> out(sizeof(T));
    memcpy(out.data(), &rec, sizeof(T));
    return out;
}

TEST(IohMsgRecords, EachRecordPutsItsFieldsWherePeersReadThem)
{
    TgtReq_IoRead rd{};
    rd.combId = 0x1122334455667788ull;
    rd.sizeInLbs = 0x10;
    rd.offsetInComb = 0x800;
    rd.combGenNum = 3;
    rd.volId = 0xAB;
    rd.volGenNum = 4;
    rd.scsiGenNum = 5;
    rd.regKey = 0xFEEDull << 40;
    rd.flags = TGT_IO_RD__T10DIF_STRICT_VERIFY;
    EXPECT_EQ(bytesOf(rd), Golden(100)
                               .put(0, 0x1122334455667788ull, 8)
                               .put(8, 0x10, 4)
                               .put(12, 0x800, 4)
                               .put(16, 3, 8)
                               .put(24, 0xAB, 8)
                               .put(32, 4, 8)
                               .put(40, 5, 8)
                               .put(48, 0xFEEDull << 40, 8)
                               .put(56, 0x10, 4)
                               .bytes);

    TgtReq_IoWriteSec ws{};
    ws.combId = 7;
    ws.sizeInLbs = 8;
    ws.offsetInComb = 9;
    ws.combGenNum = 10;
    ws.copyReason = COPY_TYPE__SCAN;
    ws.devVto = {0x55, 0x66};
    ws.flags = TGT_IO_WR__SEC_DO_OBFUSCATE | TGT_IO_WR__T10DIF_ATTACHED;
    ws.volId = 0x77;
    ws.bScanIncLocalFixesCounter = 1;
    ws.randId = 0xCAFE;
    EXPECT_EQ(bytesOf(ws), Golden(100)
                               .put(0, 7, 8)
                               .put(8, 8, 4)
                               .put(12, 9, 4)
                               .put(16, 10, 8)
                               .put(24, 4, 4)
                               .put(28, 0x55, 4)
                               .put(32, 0x66, 4)
                               .put(36, 5, 4)
                               .put(40, 0x77, 8)
                               .put(48, 1, 4)
                               .put(52, 0xCAFE, 4)
                               .bytes);

    TgtReq_IoReadSec rs{};
    rs.combId = 1;
    rs.sizeInLbs = 2;
    rs.offsetInComb = 3;
    rs.combGenNum = 4;
    rs.devVto = {5, 6};
    rs.copyReason = COPY_TYPE__MAINT_REBUILD;
    EXPECT_EQ(bytesOf(rs),
              Golden(100).put(0, 1, 8).put(8, 2, 4).put(12, 3, 4).put(16, 4, 8).put(24, 5, 4).put(28, 6, 4).put(32, 7, 4).bytes);

    TgtReq_Trim tr{};
    tr.combId = 1;
    tr.offsetInComb = 2048;
    tr.combGenNum = 2;
    tr.volId = 3;
    tr.volGenNum = 4;
    tr.scsiGenNum = 5;
    tr.regKey = 6;
    EXPECT_EQ(bytesOf(tr), Golden(100)
                               .put(0, 1, 8)
                               .put(12, 2048, 4)
                               .put(16, 2, 8)
                               .put(24, 3, 8)
                               .put(32, 4, 8)
                               .put(40, 5, 8)
                               .put(48, 6, 8)
                               .bytes);

    TgtReq_TrimSec ts{};
    ts.combId = 1;
    ts.combGenNum = 2;
    ts.devVto = {3, 4};
    ts.offsetInComb = 4096;
    ts.randId = 9;
    EXPECT_EQ(bytesOf(ts),
              Golden(100).put(0, 1, 8).put(8, 2, 8).put(16, 3, 4).put(20, 4, 4).put(24, 4096, 4).put(28, 9, 4).bytes);

    TgtReq_CheckForError ce{};
    ce.combId = 1;
    ce.sizeInLbs = 2;
    ce.offsetInComb = 3;
    ce.combGenNum = 4;
    ce.devVto = {5, 6};
    ce.bReturnChecksum = 1;
    EXPECT_EQ(bytesOf(ce),
              Golden(100).put(0, 1, 8).put(8, 2, 4).put(12, 3, 4).put(16, 4, 8).put(24, 5, 4).put(28, 6, 4).put(32, 1, 4).bytes);

    TgtReq_CleanToothList cl{};
    cl.combId = 1;
    cl.offsetInComb = 2048;
    cl.numOfTeeth = 2;
    cl.vtoBuf[0] = {7, 8};
    cl.vtoBuf[31] = {9, 10};
    cl.combGenNum = 11;
    cl.randId = 12;
    EXPECT_EQ(bytesOf(cl), Golden(300)
                               .put(0, 1, 8)
                               .put(8, 2048, 4)
                               .put(12, 2, 4)
                               .put(16, 7, 4)
                               .put(20, 8, 4)
                               .put(16 + 31 * 8, 9, 4)
                               .put(20 + 31 * 8, 10, 4)
                               .put(272, 11, 8)
                               .put(280, 12, 4)
                               .bytes);

    TgtRsp_GetToothList gl{};
    gl.numOfTeeth = 1;
    gl.vtoBuf[0] = {3, 4};
    EXPECT_EQ(bytesOf(gl), Golden(300).put(0, 1, 4).put(4, 3, 4).put(8, 4, 4).bytes);

    TgtReq_GetToothList gq{};
    gq.combId = 1;
    gq.combGenNum = 2;
    gq.offsetInComb = 3;
    EXPECT_EQ(bytesOf(gq), Golden(100).put(0, 1, 8).put(8, 2, 8).put(16, 3, 4).bytes);

    TgtReq_GetNextTooth nq{};
    nq.combId = 1;
    nq.combGenNum = 2;
    nq.toothInComb = 3;
    nq.toothIndex = 4;
    EXPECT_EQ(bytesOf(nq), Golden(100).put(0, 1, 8).put(8, 2, 8).put(16, 3, 4).put(20, 4, 4).bytes);
    TgtRsp_GetNextTooth nr{};
    nr.toothInComb = 1;
    nr.toothIndex = 2;
    nr.lbsPerRebuildJobLimit = 3;
    EXPECT_EQ(bytesOf(nr), Golden(100).put(0, 1, 4).put(4, 2, 4).put(8, 3, 4).bytes);

    TgtReq_ResetCombDrl rr{};
    rr.combId = 1;
    rr.combGenNum = 2;
    EXPECT_EQ(bytesOf(rr), Golden(100).put(0, 1, 8).put(8, 2, 8).bytes);
    TgtReq_ReadCombDrl dq{};
    dq.combId = 1;
    dq.combGenNum = 2;
    dq.bAllTeeth = 1;
    EXPECT_EQ(bytesOf(dq), Golden(100).put(0, 1, 8).put(8, 2, 8).put(16, 1, 4).bytes);

    TgtRes_IoRW rw{};
    rw.scsiGenNum = 0x99;
    EXPECT_EQ(bytesOf(rw), Golden(100).put(0, 0x99, 8).bytes);
    TgtRes_WriteSecCopy wc{};
    wc.lbsPerRebuildJobLimit = 1;
    wc.lbsPerRebalanceJobLimit = 2;
    EXPECT_EQ(bytesOf(wc), Golden(100).put(0, 1, 4).put(4, 2, 4).bytes);
}

// A request of a type with the given buffer lengths; the record carries sizeInLbs at byte 8.
struct ReqBuilder {
    ReqBuilder(UINT32 type, UINT32 recLen, UINT32 sizeInLbs, std::vector<UINT32> more)
    {
        rec.assign(recLen, 0);
        if (recLen >= 12)
            memcpy(rec.data() + 8, &sizeInLbs, 4);
        req.msgType = type;
        req.peerVer = TGT_PEER_VER__FIRST_WITH_DIF;
        req.numOfBufs = 1 + (UINT32)more.size();
        req.bufs[0] = {rec.data(), recLen};
        store.reserve(more.size());
        for (size_t i = 0; i < more.size(); i++) {
            store.emplace_back(more[i] + 1);
            req.bufs[i + 1] = {store.back().data(), more[i]};
        }
    }
    std::vector<UINT8> rec;
    std::vector<std::vector<UINT8>> store;
    IohReq req{};
};

TEST(IohMsgShape, BufferCountsAndLengthsOfEveryTypeAreExact)
{
    struct Case {
        UINT32 type;
        UINT32 recLen;
        UINT32 sizeInLbs;
        std::vector<UINT32> more;
        Mos_RC want;
    };
    const Case cases[] = {
        {2101, 100, 8, {}, MOS_RC__SUCCESS},
        {2101, 99, 8, {}, MOS_RC__INVALID},
        {2101, 100, 8, {4096}, MOS_RC__INVALID},
        {2103, 100, 8, {4096, 16}, MOS_RC__SUCCESS},
        {2103, 100, 8, {4096, 14}, MOS_RC__INVALID},
        {2103, 100, 8, {4095, 16}, MOS_RC__INVALID},
        {2103, 100, 8, {4096}, MOS_RC__INVALID},
        {2107, 100, 2048, {1048576, 4096}, MOS_RC__SUCCESS},
        {2104, 100, 1, {512, 2}, MOS_RC__SUCCESS},
        {2105, 101, 1, {512, 2}, MOS_RC__INVALID},
        {2108, 100, 0, {0, 0}, MOS_RC__SUCCESS},
        {2109, 100, 8, {8192, 32, 4096, 16}, MOS_RC__SUCCESS},
        {2109, 100, 8, {4096, 16, 4096, 16}, MOS_RC__INVALID},
        {2109, 100, 8, {8192, 32, 4096}, MOS_RC__INVALID},
        // A size whose doubled byte count wraps 32 bits cannot match a real buffer.
        {2109, 100, 0x80000000u, {0, 0, 0, 0}, MOS_RC__INVALID},
        {2103, 100, 0x00800000u, {0, 0}, MOS_RC__INVALID},
        {2110, 100, 0, {}, MOS_RC__SUCCESS},
        {2113, 300, 0, {}, MOS_RC__SUCCESS},
        {2113, 100, 0, {}, MOS_RC__INVALID},
        {2226, 300, 0, {}, MOS_RC__INVALID},
        {2227, 100, 0, {}, MOS_RC__SUCCESS},
        {2106, 0, 0, {}, MOS_RC__SUCCESS},
        {2020, 100, 0, {}, MOS_RC__UNKNOWN_MSG},
        {2203, 100, 0, {}, MOS_RC__UNKNOWN_MSG},
        {2114, 100, 0, {}, MOS_RC__UNKNOWN_MSG},
        {0, 100, 0, {}, MOS_RC__UNKNOWN_MSG},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " record " << c.recLen << " size " << c.sizeInLbs);
        ReqBuilder b(c.type, c.recLen, c.sizeInLbs, c.more);
        IohReqView v{};
        EXPECT_EQ(ioh_ReqCheckShape(&b.req, &v), c.want);
    }
    // No buffers at all.
    IohReq empty{};
    empty.msgType = 2101;
    IohReqView v{};
    EXPECT_EQ(ioh_ReqCheckShape(&empty, &v), MOS_RC__INVALID);
}

TEST(IohMsgShape, ReadTypesAndPeerVersions)
{
    for (UINT32 t : {2101u, 2102u, 2112u, 2201u, 2218u, 2227u})
        EXPECT_TRUE(ioh_MsgTypeIsRead(t)) << t;
    for (UINT32 t : {2103u, 2104u, 2105u, 2106u, 2107u, 2108u, 2109u, 2110u, 2111u, 2113u, 2202u, 2226u, 2020u})
        EXPECT_FALSE(ioh_MsgTypeIsRead(t)) << t;
    EXPECT_EQ(ioh_PeerVersion(0xFFFFFFFFu), 0x1200000u);
    EXPECT_FALSE(ioh_PeerHasDif(0xFFFFFFFFu));
    EXPECT_FALSE(ioh_PeerHasDif(0x127FFFFu));
    EXPECT_TRUE(ioh_PeerHasDif(0x1280000u));
}

TEST(IohMsgDrl, FineAndOldFormsConvertBothWays)
{
    EXPECT_EQ(ioh_DrlRspSize(1024, TRUE), 46088u);
    EXPECT_EQ(ioh_DrlRspSize(1024, FALSE), 12296u);
    EXPECT_EQ(ioh_DrlRspSize(0xFFFFFFFFu, TRUE), 8u);

    auto fine = std::make_unique<TgtRsp_ReadCombFineDrl>();
    memset(fine.get(), 0, sizeof(*fine));
    fine->numOfBits = 3;
    fine->readCombDrlDataSize = 45;
    for (UINT32 i = 0; i < 3; i++) {
        fine->drlBuf[i].data = {{10 + i, 20 + i}, 100 + i};
        fine->drlBuf[i].bIsAllSet = 1;
        memset(fine->drlBuf[i].FineDrlArray, 0xA5, sizeof(fine->drlBuf[i].FineDrlArray));
    }
    auto old = std::make_unique<TgtRsp_ReadCombDrl>();
    ASSERT_EQ(ioh_ConvertFineDrlToOld(fine.get(), old.get()), 8u + 3 * 12);
    EXPECT_EQ(old->readCombDrlDataSize, 12u);
    Golden g(8 + 3 * 12);
    g.put(0, 3, 4).put(4, 12, 4);
    for (UINT32 i = 0; i < 3; i++)
        g.put(8 + i * 12, 10 + i, 4).put(12 + i * 12, 20 + i, 4).put(16 + i * 12, 100 + i, 4);
    std::vector<UINT8> oldBytes(reinterpret_cast<UINT8 *>(old.get()), reinterpret_cast<UINT8 *>(old.get()) + 44);
    EXPECT_EQ(oldBytes, g.bytes);

    // Back to fine: labels and teeth kept, the fine bits zero.
    auto back = std::make_unique<TgtRsp_ReadCombFineDrl>();
    ASSERT_EQ(ioh_ConvertOldDrlToFine(old.get(), 44, back.get()), MOS_RC__SUCCESS);
    EXPECT_EQ(back->numOfBits, 3u);
    EXPECT_EQ(back->readCombDrlDataSize, 45u);
    for (UINT32 i = 0; i < 3; i++) {
        EXPECT_EQ((UINT32)back->drlBuf[i].data.toothInComb, 100 + i);
        EXPECT_EQ((UINT32)back->drlBuf[i].data.devVto.vtoId, 10 + i);
        EXPECT_EQ((int)back->drlBuf[i].bIsAllSet, 0);
        EXPECT_EQ((int)back->drlBuf[i].FineDrlArray[5], 0);
    }

    // The overflow marker travels alone, in both directions.
    fine->numOfBits = 0xFFFFFFFFu;
    EXPECT_EQ(ioh_ConvertFineDrlToOld(fine.get(), old.get()), 8u);
    EXPECT_EQ(old->readCombDrlDataSize, 12u);
    EXPECT_EQ(ioh_ConvertOldDrlToFine(old.get(), 8, back.get()), MOS_RC__SUCCESS);
    EXPECT_EQ(back->numOfBits, 0xFFFFFFFFu);
    EXPECT_EQ((UINT32)back->drlBuf[0].data.toothInComb, 0u);

    // A received old list shorter than its count, or with the wrong entry size, is refused whole.
    old->numOfBits = 3;
    old->readCombDrlDataSize = 12;
    EXPECT_EQ(ioh_ConvertOldDrlToFine(old.get(), 43, back.get()), MOS_RC__INVALID);
    EXPECT_EQ(back->numOfBits, 0u);
    old->numOfBits = 1025;
    EXPECT_EQ(ioh_ConvertOldDrlToFine(old.get(), sizeof(*old), back.get()), MOS_RC__INVALID);
    old->numOfBits = 1;
    old->readCombDrlDataSize = 45;
    EXPECT_EQ(ioh_ConvertOldDrlToFine(old.get(), sizeof(*old), back.get()), MOS_RC__INVALID);
    EXPECT_EQ(ioh_ConvertOldDrlToFine(old.get(), 4, back.get()), MOS_RC__INVALID);
}
} // namespace
