// The controller's data path on a real comb: the I/O handler asks the controller whether the
// Ostrel's link is blocked, and the keep-alive's rule decides.
#include <gtest/gtest.h>

#include "test/tgt/ioh/ioh_fixture.h"
#include "tgt/cont/cont.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

constexpr VTreeId kTree = 0x51;
constexpr VtoId kVolVto = 10;
constexpr UINT64 kVol = 100;

class ContIoBlocked : public ::testing::Test, public IohFixture {
  protected:
    void SetUp() override
    {
        upIoh();
        vols[kVol] = IohFakeVol{addTree(kTree, TRUE, {{kVolVto, 1}}, 1), kVolVto, 0};
        own(0, 1023, kTree);
        // The fixture plays every object but the link, which is the controller's own.
        hooks_ = *ioh.pHooks;
        hooks_.isOstrelBlocked = contIo_GetIohHooks()->isOstrelBlocked;
        ioh.pHooks = &hooks_;
        static Cont cont;
        ioh.pCont = &cont;
        pAlive_ = &cont.ostrel.kalive;
        kalive_Init(pAlive_, &cont);
        // Attached with a 5-second time-out, as kalive_Start leaves it (without its sending loop).
        pAlive_->bStop = FALSE;
        pAlive_->bBlocked = FALSE;
        pAlive_->keepaliveTimeoutMs = 5000;
    }
    void TearDown() override
    {
        mosObjType_UnregObj(&pTgtSdbg_g->kaliveType, &pAlive_->sdbgObj);
        downIoh();
    }
    // The newest echo carried the send time of ms ago.
    void EchoedAgo(UINT64 ms) { pAlive_->lastGoodTime = mosTicks_GetCurrentTick() - mosTicks_MillisToTicks(ms); }
    IohHooks hooks_{};
    Kalive *pAlive_ = nullptr;
};

// Writes and reads go on while echoes come, are refused 5 s after the last answered keep-alive
// was sent, and go on again with the next echo.
TEST_F(ContIoBlocked, IoIsRefusedFiveSecondsAfterTheLastEchoedKeepAliveAndResumes)
{
    Mos_RC rc = MOS_RC__ILLEGAL;
    EchoedAgo(3000); // the exact bound is the keep-alive's own test; here a loaded machine needs room
    EXPECT_EQ(clientWrite(kVol, 0, 8, 0x5A), MOS_RC__SUCCESS);
    EchoedAgo(5000);
    EXPECT_EQ(clientWrite(kVol, 8, 8, 0x5B), MOS_RC__IO_FAULT_BLOCKED);
    clientRead(kVol, 0, 8, &rc);
    EXPECT_EQ(rc, MOS_RC__IO_FAULT_BLOCKED);

    kalive_KeepAlive(pAlive_, mosTicks_GetCurrentTick()); // the Ostrel answers again
    EXPECT_EQ(clientRead(kVol, 0, 8, &rc), std::vector<UINT8>(8, 0x5A));
    EXPECT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_EQ(clientWrite(kVol, 8, 8, 0x5B), MOS_RC__SUCCESS);

    kalive_Pause(pAlive_, TRUE); // a hung device silences the link
    EXPECT_EQ(clientWrite(kVol, 8, 8, 0x5C), MOS_RC__IO_FAULT_BLOCKED);
}

// The controller's side and the comb's side together leave no hook of the handler empty: an
// empty one would stop the process at the first request that reached it.
TEST(ContIo, EveryHookOfTheHandlerIsSet)
{
    using Fn = void (*)();
    static_assert(sizeof(IohHooks) % sizeof(Fn) == 0);
    Fn slots[sizeof(IohHooks) / sizeof(Fn)];
    memcpy(slots, contIo_GetIohHooks(), sizeof(slots));
    for (size_t i = 0; i < sizeof(slots) / sizeof(slots[0]); i++)
        EXPECT_NE(slots[i], nullptr) << "hook " << i;
}

} // namespace
