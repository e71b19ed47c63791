#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "mos/mos_diag_counters.h"
#include "mos/mos_obj.h"
#include "mos/mos_ticks.h"
#include "test/support/mos_container_support.h"
#include "test/support/test_clock.h"

namespace {

struct DiagCounters : ::testing::Test {
    ContainerLayers layers;
    TestClock clock{1000};

    void SetUp() override
    {
        ASSERT_EQ(mosDiagCounters_Init(nullptr), MOS_RC__SUCCESS);
        mosDiagCounters_ResetAll();
    }
    void TearDown() override { mosDiagCounters_Finit(); }

    // Runs an ext query with room for `capacity` entries, followed by guard entries that the
    // query must leave alone.
    Mos_RC QueryExt(UINT32 capacity, BOOL bOnlyAbove, const char *pComp, std::vector<MosDiagCounterExtEntry> &out,
                    UINT32 *pNum)
    {
        out.assign(capacity + 2, MosDiagCounterExtEntry{});
        memset(out.data(), 0xA5, out.size() * sizeof(MosDiagCounterExtEntry));
        MosDiagCountersQuery q = {};
        q.numOfElements = capacity;
        q.bOnlyAboveThreshold = bOnlyAbove;
        memcpy(q.limitToComp, pComp, strnlen(pComp, sizeof(q.limitToComp)));
        q.pExtElementsArr = out.data();
        Mos_RC rc = mosDiagCounters_QueryExt(&q, TRUE);
        *pNum = q.numOfElements;
        for (size_t i = capacity; i < out.size(); i++) {
            const auto *p = reinterpret_cast<const unsigned char *>(&out[i]);
            for (size_t b = 0; b < sizeof(MosDiagCounterExtEntry); b++)
                EXPECT_EQ(p[b], 0xA5) << "written past the caller's array at entry " << i;
        }
        return rc;
    }
};

} // namespace

TEST_F(DiagCounters, TableNamesComponentsAndThresholds)
{
    std::vector<MosDiagCounterExtEntry> all;
    UINT32 num = 0;
    ASSERT_EQ(QueryExt(MOS_DIAG_COUNTERS__NUM_OF_COUNTERS, FALSE, "", all, &num), MOS_RC__SUCCESS);
    ASSERT_EQ(num, 195u);
    EXPECT_EQ(mosDiagCounters_GetNumOfCounters(), 195u);
    struct {
        UINT32 index;
        const char *name;
        const char *comp;
        UINT32 threshold;
    } cases[] = {
        {0, "PRIO_SND_LIMIT_REACHED", "NET", 0xFFFFFFFFu},
        {4, "RPC_TIMED_OUT", "NET", 0},
        {27, "SND_ERR_NOT_CONNECTED", "NET", 0xFFFFFFFFu},
        {31, "SND_SOCK_IO_ERR", "NET", 0},
        {42, "NET_CHAN_ESTABLISH_ERROR", "NET", 0},
        {48, "NET_KA_POOL_EXTENDED", "NET", 0xFFFFFFFFu},
        {49, "IO_EXCEEDED_RETRY_QUOTA", "IO", 0},
        {50, "IO_EAGER_ZEOR_WRITTEN_MB", "IO", 0xFFFFFFFFu},
        {101, "COMMAND_FAILED", "IO", 0},
        {102, "CREATED_DEVICES", "INI_DEV", 0xFFFFFFFFu},
        {116, "ESX_RM_PENDING_DEVICE", "INI_DEV", 0},
        {117, "SECONDS_FROM_UP_TIME", "MOS", 0},
        {126, "OSC_CNT_WIN_OUT_OF_RANGE", "MOS", 0},
        {134, "MEMPOOL_CAUSED_YIELD", "MOS", 0xFFFFFFFFu},
        {136, "REP_UPGRADE_SKIPPED_PAGES", "OSTREL", 0xFFFFFFFFu},
        {145, "T10DIF_GEN_WR_PRI_TestAndSet", "T10DIF", 0xFFFFFFFFu},
        {153, "T10DIF_ENCRYPT_WR_PRI", "T10DIF", 0xFFFFFFFFu},
        {154, "T10DIF_WR_SUPPORT_ATTACH_FAIL", "T10DIF", 0},
        {158, "T10DIF_VERIFY_FAIL_IOH_READ_PRI", "T10DIF", 0},
        {179, "FAILED_TO_MAP_PHY_MEM", "T10DIF", 0},
        {190, "CMATRIX_MATRIX_FULLY_ANALYZED", "CMATRIX", 0xFFFFFFFFu},
        {192, "CMATRIX_STALE_ROW_IDENTIFIED", "CMATRIX", 0},
        {193, "NETSMALLIOV_LARGE", "NET", 0xFFFFFFFFu},
        {194, "PELLAR_IO_VERSION_UNKNOWN", "PELLAR", 0xFFFFFFFFu},
    };
    for (const auto &c : cases) {
        EXPECT_STREQ(all[c.index].name, c.name) << c.index;
        EXPECT_STREQ(all[c.index].compName, c.comp) << c.index;
        EXPECT_EQ(all[c.index].threshold, c.threshold) << c.index;
    }
    EXPECT_EQ(MOS_DIAG_COUNTER__T10DIF_GEN_WR_PRI_TestAndSet, 145);
}

TEST_F(DiagCounters, CountingRecordsValueDatumAndTime)
{
    EXPECT_EQ(MOS_DIAG_COUNT(RPC_TIMED_OUT), 0u);
    EXPECT_EQ(MOS_DIAG_COUNT_EXT(RPC_TIMED_OUT, 0x1234567890ull), 1u);
    EXPECT_EQ(MOS_DIAG_GET(RPC_TIMED_OUT), 2u);

    std::vector<MosDiagCounterExtEntry> all;
    UINT32 num = 0;
    testNow_G = 1050; // half a second after the last count
    ASSERT_EQ(QueryExt(195, FALSE, "", all, &num), MOS_RC__SUCCESS);
    const MosDiagCounterExtEntry &e = all[MOS_DIAG_COUNTER__RPC_TIMED_OUT];
    EXPECT_EQ(e.value, 2u);
    EXPECT_EQ(e.countExtData, 0x1234567890ull);
    EXPECT_EQ(e.lastCountTimeMilli, 500u);
    // Never counted: 0 ms and no datum.
    EXPECT_EQ(all[MOS_DIAG_COUNTER__SND_ERR].lastCountTimeMilli, 0u);

    MOS_DIAG_COUNT(SND_ERR);
    ASSERT_EQ(QueryExt(195, FALSE, "", all, &num), MOS_RC__SUCCESS);
    EXPECT_EQ(all[MOS_DIAG_COUNTER__SND_ERR].countExtData, MOS_DIAG_COUNTERS__NULL_EXT_DATA);
    // Counted within the current tick: still reported as counted.
    EXPECT_GT(all[MOS_DIAG_COUNTER__SND_ERR].lastCountTimeMilli, 0u);

    MOS_DIAG_RESET(RPC_TIMED_OUT);
    EXPECT_EQ(MOS_DIAG_GET(RPC_TIMED_OUT), 0u);
    ASSERT_EQ(QueryExt(195, FALSE, "", all, &num), MOS_RC__SUCCESS);
    EXPECT_EQ(all[MOS_DIAG_COUNTER__RPC_TIMED_OUT].lastCountTimeMilli, 0u);
    EXPECT_EQ(all[MOS_DIAG_COUNTER__RPC_TIMED_OUT].countExtData, 0u);
}

TEST_F(DiagCounters, ConcurrentCountsAreNotLost)
{
    constexpr int kThreads = 8;
    constexpr int kCounts = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([] {
            for (int i = 0; i < kCounts; i++)
                MOS_DIAG_COUNT_EXT(IO_PROCESSED, (UINT64)i);
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(MOS_DIAG_GET(IO_PROCESSED), (UINT32)(kThreads * kCounts));
}

TEST_F(DiagCounters, QueryFilters)
{
    std::vector<MosDiagCounterExtEntry> out;
    UINT32 num = 0;

    // Only above threshold: a counter without threshold never shows, a threshold-0 counter shows
    // once counted. SECONDS_FROM_UP_TIME (threshold 0) shows once the process is up a second.
    MOS_DIAG_COUNT(DROPPED_REQUESTS);
    MOS_DIAG_COUNT(SOCKET_DOWN);
    ASSERT_EQ(QueryExt(195, TRUE, "", out, &num), MOS_RC__SUCCESS);
    ASSERT_EQ(num, 1u);
    EXPECT_STREQ(out[0].name, "SOCKET_DOWN");

    ASSERT_EQ(QueryExt(195, FALSE, "IO", out, &num), MOS_RC__SUCCESS);
    EXPECT_EQ(num, 53u);
    for (UINT32 i = 0; i < num; i++)
        EXPECT_STREQ(out[i].compName, "IO");

    ASSERT_EQ(QueryExt(195, FALSE, "NET", out, &num), MOS_RC__SUCCESS);
    EXPECT_EQ(num, 50u); // 49 in the first block and NETSMALLIOV_LARGE
    EXPECT_STREQ(out[49].name, "NETSMALLIOV_LARGE");

    ASSERT_EQ(QueryExt(195, TRUE, "NET", out, &num), MOS_RC__SUCCESS);
    EXPECT_EQ(num, 1u);
}

TEST_F(DiagCounters, ArrayCapacity)
{
    std::vector<MosDiagCounterExtEntry> out;
    UINT32 num = 0;
    ASSERT_EQ(QueryExt(53, FALSE, "IO", out, &num), MOS_RC__SUCCESS);
    EXPECT_EQ(num, 53u);
    // One entry short: 67, the table size as the hint, and the entries that fit stay filled.
    EXPECT_EQ(QueryExt(52, FALSE, "IO", out, &num), MOS_RC__NO_RESOURCES);
    EXPECT_EQ(num, 195u);
    EXPECT_STREQ(out[51].name, "COMMAND_ABORTED");
    // No room at all and nothing qualifies: success with no entries.
    EXPECT_EQ(QueryExt(0, TRUE, "OSTREL", out, &num), MOS_RC__SUCCESS);
    EXPECT_EQ(num, 0u);
}

TEST_F(DiagCounters, BasicQueryWritesFortyEightByteEntries)
{
    MOS_DIAG_COUNT_EXT(PHY_IO_ERROR, 7);
    MosDiagCounterEntry entries[3];
    memset(entries, 0xA5, sizeof(entries));
    MosDiagCountersQuery q = {};
    q.numOfElements = 2;
    q.bOnlyAboveThreshold = TRUE;
    memcpy(q.limitToComp, "MOS", 3);
    q.pElementsArr = entries;
    testNow_G = 1000 + 3 * 100;
    ASSERT_EQ(mosDiagCounters_Query(&q), MOS_RC__SUCCESS);
    ASSERT_EQ(q.numOfElements, 2u);
    EXPECT_STREQ(entries[0].name, "SECONDS_FROM_UP_TIME");
    EXPECT_EQ(entries[0].value, 3u);
    EXPECT_STREQ(entries[1].name, "PHY_IO_ERROR");
    EXPECT_EQ(entries[1].value, 1u);
    const auto *p = reinterpret_cast<const unsigned char *>(&entries[2]);
    for (size_t b = 0; b < sizeof(MosDiagCounterEntry); b++)
        ASSERT_EQ(p[b], 0xA5);
    // The up-time counter is refreshed by every query.
    testNow_G = 1000 + 42 * 100 + 99;
    q.numOfElements = 2;
    ASSERT_EQ(mosDiagCounters_Query(&q), MOS_RC__SUCCESS);
    EXPECT_EQ(MOS_DIAG_GET(SECONDS_FROM_UP_TIME), 42u);
}

TEST_F(DiagCounters, BadInput)
{
    EXPECT_EQ(mosDiagCounters_QueryExt(nullptr, TRUE), MOS_RC__INVALID);
    MosDiagCountersQuery q = {};
    q.numOfElements = 4;
    EXPECT_EQ(mosDiagCounters_Query(&q), MOS_RC__INVALID);
    // A counter number outside the table is a broken invariant.
    EXPECT_PANIC(mosDiagCounters_Count(MOS_DIAG_COUNTER__LAST), "counter < MOS_DIAG_COUNTER__LAST");
    EXPECT_PANIC(mosDiagCounters_Reset((MosDiagCounterType)1000), "counter < MOS_DIAG_COUNTER__LAST");
    MosObj stranger = {};
    MosDiagCounterExtEntry entry;
    EXPECT_PANIC(mosDiagCounters_SdbgQueryFunc(&stranger, "x", &entry), "index < mosDiagCounters_GetNumOfCounters");
}

// Every counter is a debug object under its component's type, answering the ext entry.
TEST_F(DiagCounters, RegistryObjects)
{
    struct {
        UINT32 typeID;
        UINT32 numObjs;
        const char *firstName;
    } cases[] = {
        {93, 50, "PRIO_SND_LIMIT_REACHED"}, {92, 53, "IO_EXCEEDED_RETRY_QUOTA"}, {91, 18, "SECONDS_FROM_UP_TIME"},
        {95, 15, "CREATED_DEVICES"},        {94, 3, "REP_UPGRADE_SKIPPED_WRITES"}, {96, 42, "T10DIF_WR_PRI_WITH_DIF"},
        {97, 13, "CMATRIX_VECTOR_NOT_SENT"}, {98, 1, "PELLAR_IO_VERSION_UNKNOWN"},
    };
    MOS_DIAG_COUNT_EXT(PELLAR_IO_VERSION_UNKNOWN, 99);
    testNow_G += 20;
    for (const auto &c : cases) {
        MosObj_Type *pType = mosObjType_GetPtrByID(c.typeID);
        ASSERT_NE(pType, nullptr) << c.typeID;
        EXPECT_EQ(mosObjType_GetObjNum(pType), c.numObjs) << c.typeID;
        EXPECT_EQ(mosObjType_SizeAssociated(pType), 64u);
        MosObj *pObj = mosObjType_GetNthObj(pType, 0);
        ASSERT_NE(pObj, nullptr);
        EXPECT_STREQ(pObj->pName, c.firstName);
        MosDiagCounterExtEntry e = {};
        mosObj_Query(pObj, pType, &e);
        mosObjType_ReleaseNthObj(pType);
        EXPECT_STREQ(e.name, c.firstName);
        if (c.typeID == 98) {
            EXPECT_EQ(e.value, 1u);
            EXPECT_EQ(e.countExtData, 99u);
            EXPECT_EQ(e.lastCountTimeMilli, 200u);
        }
    }
    // The last NET object is the one outside the first block.
    MosObj_Type *pNet = mosObjType_GetPtrByID(93);
    MosObj *pLast = mosObjType_GetNthObj(pNet, 49);
    ASSERT_NE(pLast, nullptr);
    EXPECT_STREQ(pLast->pName, "NETSMALLIOV_LARGE");
    mosObjType_ReleaseNthObj(pNet);
}

TEST_F(DiagCounters, PrintShowsCountersAboveThreshold)
{
    MOS_DIAG_COUNT_EXT(SCHEDULER_STUCK, 0xabc);
    MOS_DIAG_COUNT(IO_PROCESSED); // no threshold: not shown
    ::testing::internal::CaptureStdout();
    mosDiagCounters_PrintAll();
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Component"), std::string::npos);
    EXPECT_NE(out.find("Last Counted(Ms)"), std::string::npos);
    EXPECT_NE(out.find("SCHEDULER_STUCK"), std::string::npos);
    EXPECT_NE(out.find("0xabc"), std::string::npos);
    EXPECT_EQ(out.find("IO_PROCESSED"), std::string::npos);
}
