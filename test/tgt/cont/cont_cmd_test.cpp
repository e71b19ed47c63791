#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tgt/cont/cont_cmd_intrn.h"

namespace {

// The add-manager's version rule: equal major, minor and build/10,000, or a newer sender.
TEST(ContCmd, AddManagerVersionRule)
{
    const UINT32 own = 0x02050000u | 23456u; // 2.5, build 23456 (third level 2)
    struct Case {
        UINT32 sender;
        BOOL bAccepted;
    };
    const Case cases[] = {
        {own, TRUE},
        {0x02050000u | 29999u, TRUE},  // same third level, other build
        {0x02050000u | 30000u, TRUE},  // newer third level: newer sender
        {0x02050000u | 19999u, FALSE}, // older third level
        {0x02040000u | 23456u, FALSE}, // lower minor
        {0x02060000u, TRUE},           // higher minor
        {0x01050000u | 23456u, FALSE}, // major 1
        {0x03000000u, TRUE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sender);
        EXPECT_EQ(contCmd_IsVersionAccepted(c.sender, own), c.bAccepted);
    }
}

// A repeated add-manager is stale when the server's generation is newer in 16-bit serial order.
TEST(ContCmd, StaleGenerationBySerialOrder)
{
    struct Case {
        UINT16 server, record;
        BOOL bStale;
    };
    const Case cases[] = {
        {7, 5, TRUE}, {7, 7, FALSE}, {7, 8, FALSE}, {65535, 1, FALSE}, // the record wrapped: newer
        {1, 65535, TRUE},  {0, 9, FALSE},                              // no generation yet
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.server << " vs " << c.record);
        EXPECT_EQ(contCmd_IsGenStale(c.server, c.record), c.bStale);
    }
}

// A record as long as its type's rule asks for n1 (and n2) elements, counts filled in.
std::vector<UINT8> contCmdTest_Record(const ContCmdSpec &s, UINT32 n1, UINT32 n2, INT64 delta)
{
    std::vector<UINT8> rec((size_t)((INT64)s.len.head + (INT64)n1 * s.len.stride1 + (INT64)n2 * s.len.stride2 + delta));
    auto put = [&](UINT8 off, UINT32 v) {
        if (off != 0xFF && off + 4u <= rec.size())
            memcpy(rec.data() + off, &v, 4);
    };
    put(s.len.count1Off, n1);
    put(s.len.count2Off, n2);
    return rec;
}

Mos_RC contCmdTest_Check(const ContCmdSpec &s, const std::vector<UINT8> &rec, BOOL bExact)
{
    return contCmd_CheckLen(&s, rec.data(), (UINT32)rec.size(), bExact);
}

// Every type's length rule, from the table: exact length passes; one byte short fails in both
// modes; one byte long fails only while lengths must be exact; a count that would wrap a 32-bit
// sum never passes; a required element may be left out only inside a cycle.
TEST(ContCmd, LengthRuleOfEveryType)
{
    for (const ContCmdSpec &s : contCmd_Specs()) {
        SCOPED_TRACE(s.pName);
        if (s.kind != CONT_CMD_KIND__HANDLED || s.len.bAnyLen)
            continue;
        const UINT32 n = s.len.count1Off != 0xFF ? 2 : 0, m = s.len.count2Off != 0xFF ? 1 : 0;
        EXPECT_EQ(contCmdTest_Check(s, contCmdTest_Record(s, n, m, 0), TRUE), MOS_RC__SUCCESS);
        EXPECT_EQ(contCmdTest_Check(s, contCmdTest_Record(s, n, m, 0), FALSE), MOS_RC__SUCCESS);
        if (s.len.head + n * s.len.stride1 + m * s.len.stride2 > 0) {
            EXPECT_EQ(contCmdTest_Check(s, contCmdTest_Record(s, n, m, -1), FALSE), MOS_RC__INTERFACE_ERROR);
            EXPECT_EQ(contCmdTest_Check(s, contCmdTest_Record(s, n, m, -1), TRUE), MOS_RC__INTERFACE_ERROR);
        }
        EXPECT_EQ(contCmdTest_Check(s, contCmdTest_Record(s, n, m, 1), TRUE),
                  s.len.bAtLeast ? MOS_RC__SUCCESS : MOS_RC__INTERFACE_ERROR);
        EXPECT_EQ(contCmdTest_Check(s, contCmdTest_Record(s, n, m, 1), FALSE), MOS_RC__SUCCESS);
        if (n != 0) {
            // 0x100000000 / stride elements would wrap a 32-bit sum to the head alone.
            std::vector<UINT8> rec = contCmdTest_Record(s, 0, 0, 0);
            const UINT32 wrap = s.len.stride1 > 1 ? (UINT32)((1ull << 32) / s.len.stride1) + 1 : 0xFFFFFFFFu;
            memcpy(rec.data() + s.len.count1Off, &wrap, 4);
            EXPECT_EQ(contCmdTest_Check(s, rec, FALSE), MOS_RC__INTERFACE_ERROR);
            EXPECT_EQ(contCmdTest_Check(s, rec, TRUE), MOS_RC__INTERFACE_ERROR);
        }
        if (s.len.bMinOne) {
            std::vector<UINT8> empty = contCmdTest_Record(s, 0, 0, 0);
            EXPECT_EQ(contCmdTest_Check(s, empty, TRUE), MOS_RC__INTERFACE_ERROR);
            EXPECT_EQ(contCmdTest_Check(s, empty, FALSE), MOS_RC__SUCCESS);
            if (s.flagOff != CONT_CMD__NO_OFFSET) {
                const UINT32 one = 1;
                memcpy(empty.data() + s.flagOff, &one, 4);
                EXPECT_EQ(contCmdTest_Check(s, empty, TRUE), MOS_RC__SUCCESS) << "an empty list inside a cycle";
            }
        }
    }
    // The table's examples: one volume is 70 bytes (52 and its 4-byte cache flag), 66 is not.
    const ContCmdSpec *pAddVol = contCmd_FindSpec(TGT_MSG_TYPE__ADD_VOL);
    ASSERT_NE(pAddVol, nullptr);
    EXPECT_EQ(contCmdTest_Check(*pAddVol, contCmdTest_Record(*pAddVol, 1, 0, 0), TRUE), MOS_RC__SUCCESS);
    EXPECT_EQ(contCmdTest_Record(*pAddVol, 1, 0, 0).size(), 70u);
    EXPECT_EQ(contCmdTest_Check(*pAddVol, contCmdTest_Record(*pAddVol, 1, 0, -4), TRUE), MOS_RC__INTERFACE_ERROR);
}

// A cycle's comb group uses several workers only when the list is long enough for them to pay.
TEST(ContCmd, CombWorkersByListLength)
{
    EXPECT_EQ(contCmd_CombWorkers(9, 4), 1u);
    EXPECT_EQ(contCmd_CombWorkers(10, 4), 3u);
    EXPECT_EQ(contCmd_CombWorkers(0, 4), 0u);
    EXPECT_EQ(contCmd_CombWorkers(2, 4), 1u);
    EXPECT_EQ(contCmd_CombWorkers(100, 1), 1u) << "one OS thread counts as two";
    EXPECT_EQ(contCmd_CombWorkers(1801, 32), 1u);
    EXPECT_EQ(contCmd_CombWorkers(1802, 32), 31u);
}

TEST(ContCmd, TableFindsListedTypesOnly)
{
    EXPECT_EQ(contCmd_FindSpec(2100), nullptr);
    EXPECT_EQ(contCmd_FindSpec(2002), nullptr);
    ASSERT_NE(contCmd_FindSpec(2003), nullptr);
    EXPECT_EQ(contCmd_FindSpec(2003)->kind, CONT_CMD_KIND__DEPRECATED);
    for (const ContCmdSpec &s : contCmd_Specs())
        EXPECT_EQ(contCmd_FindSpec(s.type), &s) << s.pName;
}

Tgt_PerformanceParamsV200 contCmdTest_PerfDefaults()
{
    Tgt_PerformanceParamsV200 p{};
    p.numOfSocketsPerIpPellarToPellar = 1;
    p.keepaliveTimeMs = 5000;
    p.numNetWorkerThreads = 4;
    p.maxReqPerAsyncFile = 8;
    p.threadIniIo = 100;
    p.threadTgtIoMain = 100;
    p.threadTgtIoCopy = 164;
    p.threadCopyIo = 164;
    p.umtOsThrds = 4;
    p.numIoBuffs = 2;
    p.netAllocRcvBufferWaitMillis = 1000;
    return p;
}

// Each range's edges, one field at a time.
TEST(ContCmdPerf, RangesAndTheirEdges)
{
    using P = Tgt_PerformanceParamsV200;
    struct Case {
        const char *pWhat;
        void (*set)(P &);
        BOOL bValid;
    };
    const Case cases[] = {
        {"defaults", [](P &) {}, TRUE},
        {"copy threads 164", [](P &p) { p.threadTgtIoCopy = 164; }, TRUE},
        {"copy threads 165", [](P &p) { p.threadTgtIoCopy = 165; }, FALSE},
        {"copy pool 165", [](P &p) { p.threadCopyIo = 165; }, FALSE},
        {"client threads 99", [](P &p) { p.threadIniIo = 99; }, FALSE},
        {"peer threads 500", [](P &p) { p.threadTgtIoMain = 500; }, TRUE},
        {"peer threads 501", [](P &p) { p.threadTgtIoMain = 501; }, FALSE},
        {"8 net workers on 4 OS threads", [](P &p) { p.numNetWorkerThreads = 8; }, FALSE},
        {"8 net workers on 8 OS threads", [](P &p) { p.numNetWorkerThreads = 8, p.umtOsThrds = 8; }, TRUE},
        {"1 net worker", [](P &p) { p.numNetWorkerThreads = 1; }, FALSE},
        {"keep-alive 1999 ms", [](P &p) { p.keepaliveTimeMs = 1999; }, FALSE},
        {"keep-alive one hour", [](P &p) { p.keepaliveTimeMs = 3600000; }, TRUE},
        {"receive buffer 128 MB", [](P &p) { p.recvBufferInKb = 131072; }, TRUE},
        {"send buffer above 128 MB", [](P &p) { p.sendBufferInKb = 131073; }, FALSE},
        {"no sockets per peer", [](P &p) { p.numOfSocketsPerIpPellarToPellar = 0; }, FALSE},
        {"9 sockets per peer", [](P &p) { p.numOfSocketsPerIpPellarToPellar = 9; }, FALSE},
        {"2001 in flight per file", [](P &p) { p.maxReqPerAsyncFile = 2001; }, FALSE},
        {"33 OS threads", [](P &p) { p.umtOsThrds = 33; }, FALSE},
        {"11 I/O buffers", [](P &p) { p.numIoBuffs = 11; }, FALSE},
        {"buffer wait 99 ms", [](P &p) { p.netAllocRcvBufferWaitMillis = 99; }, FALSE},
        {"loop break 101", [](P &p) { p.netBreakDoIOLoop = 101; }, FALSE},
    };
    for (const Case &c : cases) {
        P p = contCmdTest_PerfDefaults();
        c.set(p);
        EXPECT_EQ(contCmd_ArePerfParamsInRange(&p), c.bValid) << c.pWhat;
    }
}

TEST(ContCmdPerf, SocketBufferCorrection)
{
    EXPECT_EQ(contCmd_FixSocketBufferKb(0), 128u);
    EXPECT_EQ(contCmd_FixSocketBufferKb(32), 64u);
    EXPECT_EQ(contCmd_FixSocketBufferKb(63), 64u);
    EXPECT_EQ(contCmd_FixSocketBufferKb(64), 64u);
    EXPECT_EQ(contCmd_FixSocketBufferKb(4096), 4096u);
}

// A rebuild limit with its concurrency, both application thresholds and a quiet period.
void contCmdTest_FullRebuild(OstrelTgtThrottlingInfo &t)
{
    t.rebuildConcurrentIOLimit = 1, t.rebuildBWLimitKB = 1, t.rebuildQuietPeriodMs = 10;
    t.rebuildAppIopsPerDeviceThreshold = 1, t.rebuildAppBwPerDeviceThresholdKB = 1;
}

TEST(ContCmdPerf, ThrottlingRules)
{
    using T = OstrelTgtThrottlingInfo;
    struct Case {
        const char *pWhat;
        void (*set)(T &);
        BOOL bValid;
    };
    const Case cases[] = {
        {"nothing set", [](T &) {}, TRUE},
        {"a limit with its concurrency", [](T &t) { t.rebuildConcurrentIOLimit = 4, t.rebuildBWLimitKB = 1000; }, TRUE},
        {"a limit without concurrency", [](T &t) { t.rebuildBWLimitKB = 1000; }, FALSE},
        {"a quiet period without a limit", [](T &t) { t.rebalanceQuietPeriodMs = 20; }, FALSE},
        {"a threshold without a limit", [](T &t) { t.rebuildAppIopsPerDeviceThreshold = 5; }, FALSE},
        {"quiet 10 ms with both thresholds", [](T &t) { contCmdTest_FullRebuild(t); }, TRUE},
        {"quiet 5 ms with both thresholds", [](T &t) { contCmdTest_FullRebuild(t), t.rebuildQuietPeriodMs = 5; }, FALSE},
        {"quiet period with one threshold", [](T &t) { contCmdTest_FullRebuild(t), t.rebuildAppBwPerDeviceThresholdKB = 0; }, FALSE},
        {"rebalance checked on its own",
         [](T &t) { contCmdTest_FullRebuild(t), t.rebalanceConcurrentIOLimit = 0, t.rebalanceBWLimitKB = 7; }, FALSE},
    };
    for (const Case &c : cases) {
        T info{};
        c.set(info);
        EXPECT_EQ(contCmd_ValidateThrottlingInfo(&info), c.bValid) << c.pWhat;
    }
}

} // namespace
