// A tick clock that tests drive, and the polled timer queues on top of it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>

#include "mos/mos_ticks.h"
#include "mos/mos_timer.h"
#include "test/support/mos_container_support.h"

// The current tick of the test clock; tests move it by assignment.
inline std::atomic<MosTicks_Cnt> testNow_G{0};

// 100 ticks per second on testNow_G, for the life of the object; the real clock afterwards.
class TestClock {
  public:
    explicit TestClock(MosTicks_Cnt start)
    {
        testNow_G = start;
        mosTicks_SetOsFreqForTest(100);
        EXPECT_EQ(mosTicks_Init(nullptr), MOS_RC__SUCCESS);
        mosTicks_SetClockForTest([] { return testNow_G.load(); });
    }
    ~TestClock()
    {
        mosTicks_SetClockForTest(nullptr);
        mosTicks_SetOsFreqForTest(0);
        mosTicks_Init(nullptr);
    }
    TestClock(const TestClock &) = delete;
    TestClock &operator=(const TestClock &) = delete;
};

// Timer queues without threads, driven by the test clock and polled by the test.
class PolledTimerLayer {
  public:
    explicit PolledTimerLayer(MosTicks_Cnt start) : clock_(start)
    {
        BOOL bDontUseThrds = TRUE;
        EXPECT_EQ(mosTimer_Init(&bDontUseThrds), MOS_RC__SUCCESS);
    }
    ~PolledTimerLayer() { mosTimer_Delete(); }
    PolledTimerLayer(const PolledTimerLayer &) = delete;
    PolledTimerLayer &operator=(const PolledTimerLayer &) = delete;

  private:
    ContainerLayers layers_;
    TestClock clock_;
};
