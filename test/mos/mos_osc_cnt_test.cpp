#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mos/mos_diag_counters.h"
#include "mos/mos_memtracker.h"
#include "mos/mos_osc_cnt.h"
#include "mos/mos_osc_cnt_intrn.h"
#include "test/support/mos_container_support.h"
#include "test/support/test_clock.h"

namespace {

constexpr MosTicks_Cnt kStart = 100000; // 1000 s at 100 ticks per second

void atSeconds(double secs)
{
    testNow_G = (MosTicks_Cnt)(secs * 100 + 0.5);
}

MosOscCnt_CounterParams params(UINT32 s0, UINT32 t0, UINT32 s1, UINT32 t1, UINT32 s2, UINT32 t2)
{
    MosOscCnt_CounterParams p;
    p.windowParams[0] = {s0, t0};
    p.windowParams[1] = {s1, t1};
    p.windowParams[2] = {s2, t2};
    return p;
}

MosOscCnt_CounterDescriptor devDesc(MosOscCnt_CounterType type, UINT64 devId)
{
    MosOscCnt_CounterDescriptor d;
    memset(&d, 0, sizeof(d));
    d.type = type;
    d.descriptorSize = 8;
    d.OSCDesc.devInfo.devId = devId;
    return d;
}

NetAddress ipv4(UINT32 hostOrder)
{
    NetAddress a;
    EXPECT_EQ(netAddress_BuildFromIpv4(&a, htonl(hostOrder), 7072), MOS_RC__SUCCESS);
    return a;
}

NetAddress ipv6(UINT8 last)
{
    UINT8 raw[16] = {0x20, 0x01, 0x0d, 0xb8};
    raw[15] = last;
    NetAddress a;
    EXPECT_EQ(netAddress_BuildFromIpv6(&a, raw, 7072), MOS_RC__SUCCESS);
    return a;
}

struct OscCnt : ::testing::Test {
    ContainerLayers layers;
    TestClock clock{kStart};

    void SetUp() override { ASSERT_EQ(mosOscCntLayer_Init(), MOS_RC__SUCCESS); }
    void TearDown() override { mosOscCntLayer_Destroy(); }
};

struct WindowState {
    UINT32 totalWeight, windowCnt, lastOscillationCount, maxFailuresCount;
    double lastOscillationSec, maxFailuresSec; // 0: never
};

void expectWindow(const MosOscCnt_Window &w, const WindowState &e, const char *pWhich)
{
    SCOPED_TRACE(pWhich);
    EXPECT_EQ(w.totalWeight, e.totalWeight);
    EXPECT_EQ(w.windowCnt, e.windowCnt);
    EXPECT_EQ(w.lastOscillationCount, e.lastOscillationCount);
    EXPECT_EQ(w.maxFailuresCount, e.maxFailuresCount);
    EXPECT_EQ(w.lastOscillationTime, (MosTicks_Cnt)(e.lastOscillationSec * 100 + 0.5));
    EXPECT_EQ(w.maxFailuresTime, (MosTicks_Cnt)(e.maxFailuresSec * 100 + 0.5));
}

} // namespace

TEST_F(OscCnt, TypeTableAndDefaults)
{
    struct {
        MosOscCnt_CounterType type;
        const char *name;
        const char *shortDesc;
        MosOscCnt_ComponentType comp;
        MosOscCnt_VisibilityType visibility;
        BOOL bNet;
        UINT32 thresholds[3];
    } cases[] = {
        {MOS_OSC_CNT_TYPE__OSTREL_PELLAR_NETWORK_DISCONNECTIONS, "OSTREL_PELLAR_NETWORK_DISCONNECTIONS",
         "disconnections", MOS_OSC_CNT_COMP_TYPE__OSTREL_PELLAR_NET, MOS_OSC_CNT_VISIBILITY_TYPE__EXTERNAL, TRUE,
         {300, 500, 700}},
        {MOS_OSC_CNT_TYPE__QUILLET_PELLAR_NETWORK_DISCONNECTIONS, "QUILLET_PELLAR_NETWORK_DISCONNECTIONS",
         "disconnections", MOS_OSC_CNT_COMP_TYPE__QUILLET_PELLAR_NET, MOS_OSC_CNT_VISIBILITY_TYPE__EXTERNAL, TRUE,
         {800, 4000, 20000}},
        {MOS_OSC_CNT_TYPE__QUILLET_LONG_OPERATIONS, "QUILLET_LONG_OPERATIONS", "long IO operations",
         MOS_OSC_CNT_COMP_TYPE__QUILLET_PELLAR_NET, MOS_OSC_CNT_VISIBILITY_TYPE__EXTERNAL, TRUE, {10000, 100000, 1000000}},
        {MOS_OSC_CNT_TYPE__DEVICE_LONG_IO_OPERATIONS, "DEVICE_LONG_IO_OPERATIONS", "long IO operations",
         MOS_OSC_CNT_COMP_TYPE__DEV, MOS_OSC_CNT_VISIBILITY_TYPE__INTERNAL, FALSE, {300, 500, 700}},
        {MOS_OSC_CNT_TYPE__PELLAR_RECEIVE_BUFFER_ALLOCATION_FAILURES, "PELLAR_RECEIVE_BUFFER_ALLOCATION_FAILURES",
         "receive buffer allocation failures", MOS_OSC_CNT_COMP_TYPE__PELLAR, MOS_OSC_CNT_VISIBILITY_TYPE__EXTERNAL,
         FALSE, {20000, 200000, 2000000}},
        {MOS_OSC_CNT_TYPE__PELLAR_NET_PAUSE_TOGGLE, "PELLAR_NET_PAUSE_TOGGLE", "net pause toggles",
         MOS_OSC_CNT_COMP_TYPE__PELLAR, MOS_OSC_CNT_VISIBILITY_TYPE__INTERNAL, FALSE, {10000, 100000, 1000000}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_STREQ(MOS_OSC_CNT_TYPE_STRINGS[c.type], c.name);
        EXPECT_STREQ(MOS_OSC_CNT_SHORT_DESC_STRINGS[c.type], c.shortDesc);
        EXPECT_EQ(mosOscCnt_GetCounterComponentType(c.type), c.comp);
        EXPECT_EQ(mosOscCnt_GetCounterVisibilityType(c.type), c.visibility);
        EXPECT_EQ(mosOscCnt_IsNetCounter(c.type), c.bNet);
        MosOscCnt_CounterParams p;
        mosOscCnt_InitOscParamsWithDefaults(c.type, &p);
        const UINT32 sizes[3] = {60, 3600, 86400};
        for (int w = 0; w < 3; w++) {
            EXPECT_EQ(p.windowParams[w].sizeInSec, sizes[w]);
            EXPECT_EQ(p.windowParams[w].threshold, c.thresholds[w]);
        }
    }
    EXPECT_STREQ(MOS_OSC_CNT_DESC_STRINGS[MOS_OSC_CNT_TYPE__QUILLET_OSTREL_RCV_KEEP_ALIVE_CAUSED_DISCONNECTION],
                 "disconnections due to failure receiving keep-alive messages from Ostrel");
    for (const auto *table : {MOS_OSC_CNT_TYPE_STRINGS, MOS_OSC_CNT_DESC_STRINGS, MOS_OSC_CNT_SHORT_DESC_STRINGS})
        EXPECT_STREQ(table[0], "INVALID");
    MosOscCnt_CounterParams p;
    mosOscCnt_InitOscParamsWithDefaults(MOS_OSC_CNT_TYPE__INVALID, &p);
    EXPECT_EQ(p.windowParams[0].threshold + p.windowParams[1].threshold + p.windowParams[2].threshold, 0u);

    EXPECT_FALSE(mosOscCnt_IsNetCounter(MOS_OSC_CNT_TYPE__INVALID));
    EXPECT_TRUE(mosOscCnt_IsNetCounter((MosOscCnt_CounterType)24));
    EXPECT_FALSE(mosOscCnt_IsNetCounter((MosOscCnt_CounterType)26));
    EXPECT_FALSE(mosOscCnt_IsNetCounter(MOS_OSC_CNT_TYPE__LAST));
    EXPECT_PANIC(mosOscCnt_GetCounterComponentType(MOS_OSC_CNT_TYPE__LAST), "MOS_OSC_CNT_TYPE__LAST > cntType");
    EXPECT_PANIC(mosOscCnt_GetCounterVisibilityType(MOS_OSC_CNT_TYPE__INVALID), "MOS_OSC_CNT_TYPE__INVALID < cntType");
}

// A short window of 10 s with threshold 3, a medium one of 60 s with threshold 5 and a disabled
// long one, fed failure by failure.
TEST_F(OscCnt, TumblingWindowsThresholdsAndPeaks)
{
    MosOscCnt_Counter c;
    const MosOscCnt_CounterParams p = params(10, 3, 60, 5, 0, 9);
    const MosOscCnt_CounterDescriptor d = devDesc(MOS_OSC_CNT_TYPE__DEVICE_LONG_IO_OPERATIONS, 42);
    mosOscCnt_Create(&c, &p, &d);

    struct {
        double at;
        UINT32 weight;
        WindowState shortWin, mediumWin;
    } steps[] = {
        {1000, 1, {1, 1, 0, 0, 0, 0}, {1, 1, 0, 0, 0, 0}},
        {1001, 1, {2, 1, 0, 0, 0, 0}, {2, 1, 0, 0, 0, 0}},
        {1002, 1, {3, 1, 3, 3, 1002, 1002}, {3, 1, 0, 0, 0, 0}},
        {1005, 2, {5, 1, 5, 5, 1005, 1005}, {5, 1, 5, 5, 1005, 1005}},
        // Exactly one window after its start the window still runs.
        {1010, 1, {6, 1, 6, 6, 1010, 1010}, {6, 1, 6, 6, 1010, 1010}},
        // Later, the next failure begins a new window and the weight starts again.
        {1010.01, 1, {1, 2, 6, 6, 1010, 1010}, {7, 1, 7, 7, 1010.01, 1010.01}},
        {1013, 2, {3, 2, 3, 6, 1013, 1010}, {9, 1, 9, 9, 1013, 1013}},
        // A long quiet gap: one new window, not one per window that passed.
        {1200, 4, {4, 3, 4, 6, 1200, 1010}, {4, 2, 9, 9, 1013, 1013}},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(::testing::Message() << "failure at " << s.at);
        atSeconds(s.at);
        ASSERT_EQ(mosOscCnt_FailureOccurrence(&c, s.weight), MOS_RC__SUCCESS);
        expectWindow(c.windows[0], s.shortWin, "short");
        expectWindow(c.windows[1], s.mediumWin, "medium");
        expectWindow(c.windows[2], {0, 0, 0, 0, 0, 0}, "long (disabled)");
    }

    // Threshold 0: every failure is an oscillation of the running weight.
    MosOscCnt_Counter z;
    const MosOscCnt_CounterParams p0 = params(10, 0, 0, 0, 0, 0);
    mosOscCnt_Create(&z, &p0, &d);
    for (UINT32 i = 1; i <= 3; i++) {
        ASSERT_EQ(mosOscCnt_FailureOccurrence(&z, 2), MOS_RC__SUCCESS);
        EXPECT_EQ(z.windows[0].lastOscillationCount, 2 * i);
        EXPECT_EQ(z.windows[0].maxFailuresCount, 2 * i);
    }
    mosOscCnt_Destroy(&z);
    mosOscCnt_Destroy(&c);
}

TEST_F(OscCnt, QueryRecordAndAges)
{
    MosOscCnt_Counter c;
    const MosOscCnt_CounterParams p = params(10, 2, 0, 5, 3600, 100);
    const MosOscCnt_CounterDescriptor d = devDesc(MOS_OSC_CNT_TYPE__DEVICE_LONG_SUCCESSFUL_IO_OPERATIONS, 77);
    mosOscCnt_Create(&c, &p, &d);
    atSeconds(1000);
    mosOscCnt_FailureOccurrence(&c, 1);
    atSeconds(1001);
    mosOscCnt_FailureOccurrence(&c, 1);
    atSeconds(1004);

    MosOscCnt_QueryCounter q;
    memset(&q, 0xA5, sizeof(q));
    ASSERT_EQ(mosOscCnt_GetCounter(&c, &q), MOS_RC__SUCCESS);
    MosOscCnt_CounterDescriptor qd;
    memcpy(&qd, &q, sizeof(qd));
    EXPECT_EQ(qd.type, MOS_OSC_CNT_TYPE__DEVICE_LONG_SUCCESSFUL_IO_OPERATIONS);
    EXPECT_EQ(qd.OSCDesc.devInfo.devId, 77u);

    const MosOscCnt_QueryWindow s = q.window[0];
    EXPECT_EQ(s.windowSizeInSec, 10u);
    EXPECT_EQ(s.threshold, 2u);
    EXPECT_EQ(s.lastOscillationCount, 2u);
    EXPECT_EQ(s.lastOscillationTime, 1001000u);
    EXPECT_EQ(s.lastOscillationTimeDeltaMillis, 3000u);
    EXPECT_EQ(s.maxFailuresCount, 2u);
    EXPECT_EQ(s.maxFailuresTimeDeltaMillis, 3000u);
    EXPECT_EQ(s.windowCnt, 1u);
    // A disabled window reports nothing at all, not even its threshold.
    const unsigned char *pMedium = reinterpret_cast<const unsigned char *>(&q.window[1]);
    for (size_t i = 0; i < sizeof(MosOscCnt_QueryWindow); i++)
        EXPECT_EQ(pMedium[i], 0) << "byte " << i;
    const MosOscCnt_QueryWindow l = q.window[2];
    EXPECT_EQ(l.windowSizeInSec, 3600u);
    EXPECT_EQ(l.threshold, 100u);
    EXPECT_EQ(l.lastOscillationCount, 0u);
    EXPECT_EQ(l.lastOscillationTimeDeltaMillis, 0u) << "no age without an oscillation";
    EXPECT_EQ(l.windowCnt, 1u);
    EXPECT_TRUE(mosOscCnt_IsNonZeroCounter(&q));

    // Another process with another clock turns the ages back into its own times.
    atSeconds(5000);
    mosOscCnt_ReCalcTimesFromDeltas(&q);
    EXPECT_EQ(q.window[0].lastOscillationTime, 4997000u);
    EXPECT_EQ(q.window[0].maxFailuresTime, 4997000u);
    EXPECT_EQ(q.window[1].lastOscillationTime, 0u);
    atSeconds(1);
    mosOscCnt_ReCalcTimesFromDeltas(&q);
    EXPECT_EQ(q.window[0].lastOscillationTime, 0u) << "an age older than the clock does not wrap";

    MosOscCnt_QueryCounter below = {};
    below.window[0].windowSizeInSec = 10;
    below.window[0].threshold = 3;
    below.window[0].lastOscillationCount = 2;
    EXPECT_FALSE(mosOscCnt_IsNonZeroCounter(&below));
    below.window[0].threshold = 0;
    below.window[0].lastOscillationCount = 5;
    EXPECT_FALSE(mosOscCnt_IsNonZeroCounter(&below)) << "threshold 0 never counts as non-zero";
    mosOscCnt_Destroy(&c);
}

TEST_F(OscCnt, WindowChangesResetsAndTheChangedQuestion)
{
    MosOscCnt_Counter c;
    const MosOscCnt_CounterParams p = params(10, 1, 60, 1, 0, 0);
    const MosOscCnt_CounterDescriptor d = devDesc(MOS_OSC_CNT_TYPE__DEVICE_LONG_IO_OPERATIONS, 1);
    mosOscCnt_Create(&c, &p, &d);
    EXPECT_FALSE(mosOscCnt_HasCounterChanged(&c, 0));
    atSeconds(1000);
    mosOscCnt_FailureOccurrence(&c, 1);

    atSeconds(1030);
    EXPECT_TRUE(mosOscCnt_HasCounterChanged(&c, 0)) << "delta 0: ever oscillated";
    EXPECT_TRUE(mosOscCnt_HasCounterChanged(&c, 31000));
    EXPECT_FALSE(mosOscCnt_HasCounterChanged(&c, 29000));

    // Same size, new threshold: statistics stay.
    MosOscCnt_WindowParams same = {10, 7};
    ASSERT_EQ(mosOscCnt_SetWindowParams(&c, 0, &same), MOS_RC__SUCCESS);
    EXPECT_EQ(c.windows[0].threshold, 7u);
    EXPECT_EQ(c.windows[0].lastOscillationCount, 1u);
    EXPECT_FALSE(mosOscCnt_HasCounterChanged(&c, 1000));

    // Another size clears the window and is reported once.
    MosOscCnt_WindowParams other = {20, 7};
    ASSERT_EQ(mosOscCnt_SetWindowParams(&c, 0, &other), MOS_RC__SUCCESS);
    EXPECT_EQ(c.windows[0].winSizeTicks, 2000u);
    EXPECT_EQ(c.windows[0].lastOscillationCount, 0u);
    EXPECT_EQ(c.windows[0].totalWeight, 0u);
    EXPECT_EQ(c.windows[0].windowCnt, 1u) << "the count of windows begun stays";
    EXPECT_EQ(c.windows[1].lastOscillationCount, 1u) << "other windows are untouched";
    EXPECT_TRUE(mosOscCnt_HasCounterChanged(&c, 1000));
    EXPECT_FALSE(mosOscCnt_HasCounterChanged(&c, 1000));

    // A reset of a counter with something recorded is reported once; of an empty one, never.
    mosOscCnt_ResetCounter(&c);
    EXPECT_EQ(c.windows[1].lastOscillationCount, 0u);
    EXPECT_EQ(c.windows[1].winSizeTicks, 6000u);
    EXPECT_TRUE(mosOscCnt_HasCounterChanged(&c, 1));
    EXPECT_FALSE(mosOscCnt_HasCounterChanged(&c, 0));
    mosOscCnt_ResetCounter(&c);
    EXPECT_FALSE(mosOscCnt_HasCounterChanged(&c, 0));

    // Refusals: a window index above 2, and the current size when it lies outside 1 s to a day.
    const UINT32 outOfRangeBefore = MOS_DIAG_GET(OSC_CNT_WIN_OUT_OF_RANGE);
    EXPECT_EQ(mosOscCnt_SetWindowParams(&c, 3, &same), MOS_RC__PARAMETER_OUT_OF_RANGE);
    MosOscCnt_WindowParams huge = {100000, 1};
    ASSERT_EQ(mosOscCnt_SetWindowParams(&c, 2, &huge), MOS_RC__SUCCESS) << "a new size is taken as it is";
    huge.threshold = 5;
    EXPECT_EQ(mosOscCnt_SetWindowParams(&c, 2, &huge), MOS_RC__PARAMETER_OUT_OF_RANGE);
    EXPECT_EQ(c.windows[2].threshold, 1u);
    EXPECT_EQ(MOS_DIAG_GET(OSC_CNT_WIN_OUT_OF_RANGE), outOfRangeBefore + 2);

    // Setting all three stops at the first refusal.
    const MosOscCnt_CounterParams all = params(30, 2, 120, 2, 100000, 9);
    EXPECT_EQ(mosOscCnt_SetParams(&c, &all), MOS_RC__PARAMETER_OUT_OF_RANGE);
    EXPECT_EQ(c.windows[0].winSizeTicks, 3000u);
    EXPECT_EQ(c.windows[1].winSizeTicks, 12000u);
    EXPECT_EQ(c.windows[2].threshold, 1u);

    // Size 0 disables a window.
    MosOscCnt_WindowParams off = {0, 1};
    ASSERT_EQ(mosOscCnt_SetWindowParams(&c, 0, &off), MOS_RC__SUCCESS);
    mosOscCnt_FailureOccurrence(&c, 1);
    EXPECT_EQ(c.windows[0].totalWeight, 0u);
    EXPECT_EQ(c.windows[1].totalWeight, 1u);
    mosOscCnt_Destroy(&c);
}

TEST_F(OscCnt, ChangedQuestionReachingBackPastTheClockStart)
{
    // The clock stands at 1000 s; a delta of an hour reaches back before it.
    MosOscCnt_Counter quiet;
    MosOscCnt_Counter busy;
    const MosOscCnt_CounterParams p = params(10, 1, 60, 1, 0, 0);
    const MosOscCnt_CounterDescriptor d = devDesc(MOS_OSC_CNT_TYPE__DEVICE_LONG_IO_OPERATIONS, 1);
    mosOscCnt_Create(&quiet, &p, &d);
    mosOscCnt_Create(&busy, &p, &d);
    atSeconds(1000);
    mosOscCnt_FailureOccurrence(&busy, 1);
    atSeconds(1001);
    EXPECT_FALSE(mosOscCnt_HasCounterChanged(&quiet, 3600000)) << "never oscillated";
    EXPECT_TRUE(mosOscCnt_HasCounterChanged(&busy, 3600000));
    mosOscCnt_Destroy(&busy);
    mosOscCnt_Destroy(&quiet);
}

// No tick value means "never": a window that begins or oscillates at tick 0, in the upper half of
// the clock's range, or across its wrap behaves as it does anywhere else.
TEST_F(OscCnt, TicksAnywhereInTheClocksRange)
{
    const MosTicks_Cnt half = MosTicks_Cnt{1} << 63;
    for (const MosTicks_Cnt start : {MosTicks_Cnt{0}, half - 100, half, ~MosTicks_Cnt{0} - 499}) {
        SCOPED_TRACE(::testing::Message() << "first failure at tick " << start);
        testNow_G = start;
        MosOscCnt_Counter quiet;
        MosOscCnt_Counter busy;
        const MosOscCnt_CounterParams p = params(10, 1, 0, 0, 0, 0);
        const MosOscCnt_CounterDescriptor d = devDesc(MOS_OSC_CNT_TYPE__DEVICE_LONG_IO_OPERATIONS, 1);
        mosOscCnt_Create(&quiet, &p, &d);
        mosOscCnt_Create(&busy, &p, &d);

        mosOscCnt_FailureOccurrence(&busy, 1);
        testNow_G = start + 1;
        mosOscCnt_FailureOccurrence(&busy, 1);
        EXPECT_EQ(busy.windows[0].windowCnt, 1u) << "the second failure is in the first window";
        EXPECT_EQ(busy.windows[0].totalWeight, 2u);
        EXPECT_EQ(busy.windows[0].lastOscillationTime, start + 1);

        testNow_G = start + 500;
        for (MosOscCnt_Counter *pCounter : {&quiet, &busy}) {
            const bool bBusy = pCounter == &busy;
            EXPECT_EQ(mosOscCnt_HasCounterChanged(pCounter, 0), bBusy) << "ever oscillated";
            EXPECT_EQ(mosOscCnt_HasCounterChanged(pCounter, 6000), bBusy) << "within the last 6 s";
            EXPECT_FALSE(mosOscCnt_HasCounterChanged(pCounter, 4000)) << "within the last 4 s";
        }

        testNow_G = start + 1002;
        mosOscCnt_FailureOccurrence(&busy, 1);
        EXPECT_EQ(busy.windows[0].windowCnt, 2u) << "a failure after the window ended begins the next one";
        EXPECT_EQ(busy.windows[0].totalWeight, 1u);

        mosOscCnt_ResetCounter(&busy);
        EXPECT_TRUE(mosOscCnt_HasCounterChanged(&busy, 0)) << "the reset is reported once";
        EXPECT_FALSE(mosOscCnt_HasCounterChanged(&busy, 0));
        mosOscCnt_FailureOccurrence(&busy, 1);
        EXPECT_EQ(busy.windows[0].windowCnt, 3u) << "after a reset the next failure begins a window";
        EXPECT_EQ(busy.windows[0].totalWeight, 1u);
        mosOscCnt_Destroy(&busy);
        mosOscCnt_Destroy(&quiet);
    }
}

TEST_F(OscCnt, InvalidTypeLeavesADisabledCounter)
{
    const MosOscCnt_CounterParams p = params(10, 1, 60, 1, 600, 1);
    for (UINT32 type : {0u, 35u, 1000u}) {
        SCOPED_TRACE(type);
        MosOscCnt_Counter c;
        memset(&c, 0x5A, sizeof(c));
        MosOscCnt_CounterDescriptor d = devDesc((MosOscCnt_CounterType)type, 3);
        mosOscCnt_Create(&c, &p, &d);
        EXPECT_EQ(c.desc.type, MOS_OSC_CNT_TYPE__INVALID);
        EXPECT_FALSE(c.wasReset);
        EXPECT_FALSE(mosObj_IsRegistered(&c.sdbgObj));
        ASSERT_EQ(mosOscCnt_FailureOccurrence(&c, 5), MOS_RC__SUCCESS);
        for (const MosOscCnt_Window &w : c.windows) {
            EXPECT_EQ(w.winSizeTicks, 0u);
            EXPECT_EQ(w.totalWeight, 0u);
            EXPECT_EQ(w.lastOscillationCount, 0u);
        }
        EXPECT_FALSE(mosOscCnt_HasCounterChanged(&c, 0));
        MosOscCnt_QueryCounter q;
        mosOscCnt_GetCounter(&c, &q);
        EXPECT_FALSE(mosOscCnt_IsNonZeroCounter(&q));
        EXPECT_EQ(q.window[2].windowSizeInSec, 0u);
        mosOscCnt_Destroy(&c);
    }
    mosOscCnt_Destroy(nullptr);
}

TEST_F(OscCnt, CountersAreDebugObjectsOfTheirType)
{
    MosObj_Type *pType = mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__OSC_CNT_PELLAR_PELLAR_NETWORK_FAILURES);
    ASSERT_NE(pType, nullptr);
    EXPECT_EQ(pType->queryDataSize, 240u);
    EXPECT_EQ(mosObjType_GetObjNum(pType), 0u);

    MosOscCnt_Counter c;
    MosOscCnt_CounterDescriptor d = {};
    d.type = MOS_OSC_CNT_TYPE__PELLAR_PELLAR_NETWORK_FAILURES;
    d.descriptorSize = 32;
    d.OSCDesc.netInfo.addr = ipv4(0x0a000105);
    d.OSCDesc.netInfo.remoteObjId = 0x1234;
    const MosOscCnt_CounterParams p = params(10, 2, 60, 9, 600, 9);
    mosOscCnt_Create(&c, &p, &d);
    EXPECT_EQ(mosObjType_GetObjNum(pType), 1u);
    atSeconds(1000);
    mosOscCnt_FailureOccurrence(&c, 3);

    MosObj *pObj = mosObjType_GetNthObj(pType, 0);
    ASSERT_EQ(pObj, &c.sdbgObj);
    EXPECT_STREQ(pObj->pName, "PELLAR_PELLAR_NETWORK_FAILURES");
    MosOscCntEntry e;
    memset(&e, 0xA5, sizeof(e));
    mosObj_Query(pObj, pType, &e);
    mosObjType_ReleaseNthObj(pType);
    EXPECT_STREQ(e.addrStr, "10.0.1.5");
    EXPECT_EQ(e.remoteObjId, 0x1234u);
    EXPECT_EQ(e.shortWindowCurrentCount, 3u);
    EXPECT_EQ(e.mediumWindowCurrentCount, 3u);
    const MosOscCnt_QueryWindow s = e.shortWindow;
    EXPECT_EQ(s.windowSizeInSec, 10u);
    EXPECT_EQ(s.lastOscillationCount, 3u);
    const MosOscCnt_QueryWindow m = e.mediumWindow;
    EXPECT_EQ(m.lastOscillationCount, 0u);

    mosOscCnt_Destroy(&c);
    EXPECT_EQ(mosObjType_GetObjNum(pType), 0u);
}

namespace {
std::vector<std::pair<UINT32, UINT32>> notified_G;
void recordNotify(MosOscCnt_CounterType type, UINT32 weight)
{
    notified_G.emplace_back(type, weight);
}
void otherNotify(MosOscCnt_CounterType, UINT32) {}
} // namespace

TEST_F(OscCnt, FailureNotifyCallbacks)
{
    notified_G.clear();
    const auto type = MOS_OSC_CNT_TYPE__MEMORY_ALLOCATION_FAILURES;
    EXPECT_EQ(mosOscCnt_RegisterFailureNotifyCallback(MOS_OSC_CNT_TYPE__LAST, recordNotify), MOS_RC__INVALID);
    mosOscCnt_FailureOccurrenceNotify(type, 1); // nobody listens: nothing happens
    ASSERT_EQ(mosOscCnt_RegisterFailureNotifyCallback(type, recordNotify), MOS_RC__SUCCESS);
    EXPECT_EQ(mosOscCnt_RegisterFailureNotifyCallback(type, otherNotify), MOS_RC__ALREADY_EXISTS);

    mosOscCnt_FailureOccurrenceNotify(type, 4);
    // A failed allocation reaches the callback through the allocation check.
    EXPECT_EQ(mos_CheckMemAllocStatus(nullptr, 64), nullptr);
    mosOscCnt_FailureOccurrenceNotify(MOS_OSC_CNT_TYPE__PELLAR_DECOUPLED, 9);
    ASSERT_EQ(notified_G.size(), 2u);
    EXPECT_EQ(notified_G[0], std::make_pair((UINT32)type, 4u));
    EXPECT_EQ(notified_G[1], std::make_pair((UINT32)type, 1u));

    EXPECT_PANIC(mosOscCnt_UnregisterFailureNotifyCallback(type, otherNotify),
                 "notifyCK == oscCntLayer_G.mosOscCntFailureNotifyCKs\\[type\\]");
    EXPECT_PANIC(mosOscCnt_FailureOccurrenceNotify(MOS_OSC_CNT_TYPE__LAST, 1), "type < MOS_OSC_CNT_TYPE__LAST");
    EXPECT_PANIC(mosOscCntLayer_Destroy(), "mosOscCntFailureNotifyCKs\\[index\\] == ");

    mosOscCnt_UnregisterFailureNotifyCallback(type, recordNotify);
    mosOscCnt_FailureOccurrenceNotify(type, 4);
    EXPECT_EQ(notified_G.size(), 2u);
}

TEST_F(OscCnt, CompareOrdersByTypeRemoteAndAddress)
{
    auto rec = [](MosOscCnt_CounterType type, UINT64 remote, const NetAddress &addr) {
        MosOscCnt_QueryCounter q = {};
        MosOscCnt_CounterDescriptor d = {};
        d.type = type;
        d.descriptorSize = 32;
        d.OSCDesc.netInfo.addr = addr;
        d.OSCDesc.netInfo.remoteObjId = remote;
        memcpy(&q, &d, sizeof(d));
        return q;
    };
    const auto disc = MOS_OSC_CNT_TYPE__PELLAR_PELLAR_NETWORK_DISCONNECTIONS; // 2, component PELLAR_PELLAR_NET
    const auto fail = MOS_OSC_CNT_TYPE__PELLAR_PELLAR_NETWORK_FAILURES;       // 6, same component
    const auto ostrel = MOS_OSC_CNT_TYPE__OSTREL_PELLAR_NETWORK_DISCONNECTIONS; // 1, another component
    const auto dev = MOS_OSC_CNT_TYPE__DEVICE_LONG_IO_OPERATIONS;               // 26, not a network type
    struct {
        MosOscCnt_QueryCounter a, b;
        int sign;
        const char *why;
    } cases[] = {
        {rec(dev, 1, ipv4(1)), rec(disc, 0, ipv4(1)), 1, "not a network type: by type"},
        {rec(ostrel, 9, ipv4(9)), rec(disc, 1, ipv4(1)), -1, "other component: by type"},
        {rec(fail, 1, ipv4(9)), rec(disc, 2, ipv4(1)), -1, "same component: by remote first"},
        {rec(disc, 1ull << 40, ipv4(1)), rec(fail, 5, ipv4(1)), 1, "remote ids compare in full"},
        {rec(fail, 3, ipv6(1)), rec(disc, 3, ipv4(1)), 1, "IPv4 before IPv6"},
        // 10.0.0.2 is stored 0a 00 00 02, read natively 0x0200000a; 11.0.0.1 reads 0x0100000b.
        {rec(disc, 3, ipv4(0x0a000002)), rec(fail, 3, ipv4(0x0b000001)), 1,
         "address words as stored, read natively"},
        {rec(disc, 3, ipv6(2)), rec(disc, 3, ipv6(1)), 1, "IPv6 words in order"},
        {rec(fail, 3, ipv4(7)), rec(disc, 3, ipv4(7)), 1, "equal addresses: by type"},
        {rec(disc, 3, ipv4(7)), rec(disc, 3, ipv4(7)), 0, "the same"},
    };
    for (const auto &c : cases) {
        const int r = mosOscCnt_CompareCnts(&c.a, &c.b);
        const int back = mosOscCnt_CompareCnts(&c.b, &c.a);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.why;
        EXPECT_EQ((back > 0) - (back < 0), -c.sign) << c.why;
    }
    NetAddress none = {};
    const MosOscCnt_QueryCounter a = rec(disc, 3, none), b = rec(fail, 3, ipv4(1));
    EXPECT_PANIC(mosOscCnt_CompareCnts(&a, &b), "bKnownA && bKnownB");
}

TEST_F(OscCnt, PerAddressSet)
{
    std::vector<NetAddress> addrs;
    for (UINT32 i = 0; i < 16; i++)
        addrs.push_back(ipv4(0x0a000001 + i));
    const MosOscCnt_CounterParams p = params(10, 1, 60, 1, 600, 1);
    MosNetOscCounters set;
    mosNetOscCounters_Create(&set, MOS_OSC_CNT_TYPE__PELLAR_PELLAR_NETWORK_DISCONNECTIONS, &p, 99, addrs.data(), 16);
    EXPECT_EQ(set.defaultCntIndex, 16);
    MosObj_Type *pType = mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__OSC_CNT_PELLAR_PELLAR_NETWORK_DISCONNECTIONS);
    EXPECT_EQ(mosObjType_GetObjNum(pType), 17u);

    atSeconds(1000);
    const NetAddress unknown = ipv4(0xc0a80001);
    mosNetOscCounters_FailureOccurence(&set, &unknown, 1);
    mosNetOscCounters_FailureOccurence(&set, nullptr, 1);
    EXPECT_EQ(set.oscCounters[16].windows[0].totalWeight, 2u) << "unknown and missing addresses: the catch-all";

    MosOscCnt_QueryCounter out[16];
    UINT32 num = 77;
    EXPECT_EQ(mosNetOscCounters_GetChangedCounters(&set, 0, out, 16, &num), MOS_RC__SUCCESS);
    EXPECT_EQ(num, 0u) << "the catch-all is never reported";

    // A similar address (the IPv4-mapped form) finds its counter.
    UINT8 mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, 6};
    NetAddress sixth;
    ASSERT_EQ(netAddress_BuildFromIpv6(&sixth, mapped, 1), MOS_RC__SUCCESS);
    mosNetOscCounters_FailureOccurence(&set, &sixth, 1);
    mosNetOscCounters_FailureOccurence(&set, &addrs[9], 1);
    EXPECT_EQ(set.oscCounters[5].windows[0].totalWeight, 1u);

    // Room for one of two changed counters: the first is filled, the call says so.
    num = 77;
    EXPECT_EQ(mosNetOscCounters_GetChangedCounters(&set, 0, out, 1, &num), MOS_RC__BUF_TOO_SMALL);
    EXPECT_EQ(num, 1u);
    MosOscCnt_CounterDescriptor d;
    memcpy(&d, &out[0], sizeof(d));
    EXPECT_TRUE(netAddress_IsSimilar(&d.OSCDesc.netInfo.addr, &addrs[5]));
    EXPECT_EQ(d.OSCDesc.netInfo.remoteObjId, 99u);
    EXPECT_EQ(d.descriptorSize, 32u);
    EXPECT_EQ(mosNetOscCounters_GetChangedCounters(&set, 0, out, 16, &num), MOS_RC__SUCCESS);
    EXPECT_EQ(num, 2u);

    // A reset is reported once, also to a caller that first had no room for it.
    mosNetOscCounters_Reset(&set);
    EXPECT_EQ(mosNetOscCounters_GetChangedCounters(&set, 1000, out, 0, &num), MOS_RC__BUF_TOO_SMALL);
    EXPECT_EQ(num, 0u);
    EXPECT_EQ(mosNetOscCounters_GetChangedCounters(&set, 1000, out, 16, &num), MOS_RC__SUCCESS);
    EXPECT_EQ(num, 2u);
    EXPECT_EQ(mosNetOscCounters_GetChangedCounters(&set, 1000, out, 16, &num), MOS_RC__SUCCESS);
    EXPECT_EQ(num, 0u);

    // New addresses: a similar one keeps its history, another one starts anew, the dropped go.
    mosNetOscCounters_FailureOccurence(&set, &addrs[0], 1);
    mosNetOscCounters_FailureOccurence(&set, &addrs[1], 1);
    std::vector<NetAddress> next = {addrs[0], ipv6(1), ipv4(0x0b000001)};
    mosNetOscCounters_SetNetAddresses(&set, &p, next.data(), 3);
    EXPECT_EQ(set.numNetAddresses, 3u);
    EXPECT_EQ(set.oscCounters[0].windows[0].totalWeight, 1u);
    EXPECT_EQ(set.oscCounters[1].windows[0].totalWeight, 0u);
    EXPECT_EQ(mosObjType_GetObjNum(pType), 4u);
    mosNetOscCounters_FailureOccurence(&set, &addrs[9], 1);
    EXPECT_EQ(set.oscCounters[16].windows[0].totalWeight, 1u) << "a dropped address is unknown now";

    mosNetOscCounters_SetRemoteObjId(&set, 1234);
    EXPECT_EQ(set.oscCounters[2].desc.OSCDesc.netInfo.remoteObjId, 1234u);
    EXPECT_EQ(set.oscCounters[16].desc.OSCDesc.netInfo.remoteObjId, 1234u);
    std::vector<NetAddress> grown = next;
    grown.push_back(ipv4(0x0c000001));
    mosNetOscCounters_SetNetAddresses(&set, &p, grown.data(), 4);
    EXPECT_EQ(set.oscCounters[3].desc.OSCDesc.netInfo.remoteObjId, 1234u);

    const MosOscCnt_CounterParams wider = params(20, 4, 60, 1, 600, 1);
    mosNetOscCounters_SetParameters(&set, &wider);
    EXPECT_EQ(set.oscCounters[3].windows[0].threshold, 4u);
    EXPECT_EQ(set.oscCounters[16].windows[0].winSizeTicks, 2000u);

    EXPECT_PANIC(mosNetOscCounters_GetChangedCounters(&set, 0, out, 1, nullptr), "pNumCounters != ");
    EXPECT_PANIC(mosNetOscCounters_SetNetAddresses(&set, &p, addrs.data(), 17), "numNewNetAddresses <= \\(16\\)");
    mosNetOscCounters_Destroy(&set);
    EXPECT_EQ(mosObjType_GetObjNum(pType), 0u);

    MosNetOscCounters big;
    std::vector<NetAddress> many(17, addrs[0]);
    EXPECT_PANIC(mosNetOscCounters_Create(&big, MOS_OSC_CNT_TYPE__PELLAR_PELLAR_NETWORK_DISCONNECTIONS, &p, 1,
                                          many.data(), 17),
                 "numNetAddresses <= \\(16\\)");
}
