// The add and remove of one comb as the commands run them, on a device held by the controller (a
// sparse file behind a pass-through I/O seam): placement, the lists it joins, the answers for an
// existing comb, a comb the device has no room for rolled back, and the removal.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "test/support/cont_dev_rig.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_comb.h"
#include "tgt/cont/cont_dev.h"
#include "tgt/cont/cont_raid_state.h"
#include "tgt/phy/phy_layout.h"
#include "tgt/phy/phy_map.h"
#include "tgt/raid/raid_comb.h"
#include "tgt/tgt_umt_class.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv(tgt_UmtClassInit));

constexpr UINT64 kDevId = 0xD1;
constexpr TgtId kPartner = 0x7002;

class CombOnDevTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        cont_ = std::make_unique<Cont>();
        contDevTest_Build(cont_.get(), &fake_, 0x7001, [](const FakeAioBackend::Seen &) { return FakeAioBackend::kFull; });
        contCombMngr_Init(&cont_->combMngr, cont_.get());
        const std::string path = tgtTest_MakeSparseFile(dir_, "dev", 2 * GB_IN_LBS * 512 + (1ull << 20));
        ContDevAddArgs a = contDevTest_AddArgs(kDevId, path.c_str(), TRUE);
        Mos_RC rc = MOS_RC__ERROR;
        UINT64 teeth = 0;
        BOOL bZero = FALSE;
        run([&] { rc = contDev_AddOne(cont_.get(), &a, &maxCombs_, &teeth, &bZero); });
        ASSERT_EQ(rc, MOS_RC__SUCCESS);
        contMngr_ForEach(&cont_->devMngr.devs, [&](ContDev *d) { pDev_ = d; });
    }
    void TearDown() override
    {
        for (CombId id : added_)
            EXPECT_EQ(rem(id), MOS_RC__SUCCESS);
        run([&] { EXPECT_EQ(contDev_RemById(cont_.get(), kDevId, FALSE, TRUE), MOS_RC__SUCCESS); });
        contCombMngr_Destroy(&cont_->combMngr);
        contDevTest_Destroy(cont_.get());
    }
    static void run(const std::function<void()> &fn) { umtTest_RunAsUmt(fn); }

    Mos_RC add(CombId id, TgtId partner = kPartner, BOOL bReadOnly = FALSE, UINT64 devId = kDevId)
    {
        ContCombAddArgs a{};
        a.combId = id;
        a.devId = devId;
        a.raidTgtId = partner;
        a.tgtCombCmdGenNum = 1;
        a.bReadOnly = bReadOnly;
        a.bLock = TRUE;
        a.bNew = TRUE;
        Mos_RC rc = MOS_RC__ERROR;
        run([&] { rc = contComb_AddOne(cont_.get(), &a); });
        if (rc == MOS_RC__SUCCESS)
            added_.push_back(id);
        return rc;
    }
    Mos_RC rem(CombId id)
    {
        Mos_RC rc = MOS_RC__ERROR;
        run([&] { rc = contComb_RemById(cont_.get(), id, FALSE, TRUE); });
        return rc;
    }
    bool registered(CombId id)
    {
        bool b = false;
        run([&] {
            b = contObj_Acquire(&cont_->objs, id, CONT_OBJ_TYPE__COMB) != nullptr;
            if (b)
                contObj_Release(&cont_->objs, id, CONT_OBJ_TYPE__COMB);
        });
        return b;
    }

    ScratchDir dir_;
    FakeAioBackend fake_;
    std::unique_ptr<Cont> cont_;
    ContDev *pDev_ = nullptr;
    UINT32 maxCombs_ = 0;
    std::vector<CombId> added_;
};

TEST_F(CombOnDevTest, AddPlacesTheCombAndRemoveTakesItAway)
{
    ASSERT_NE(pDev_, nullptr);
    const CombId first = 0x8000;
    ASSERT_EQ(add(first), MOS_RC__SUCCESS);
    EXPECT_TRUE(registered(first));
    EXPECT_EQ(cont_->combMngr.combAnchor.counter, 1u);
    EXPECT_EQ(cont_->combMngr.combFirstAccessAnchor.counter, 1u);
    EXPECT_EQ(pDev_->combAnchor.counter, 1u);

    // An existing comb is checked against the command instead of added again.
    EXPECT_EQ(add(first), MOS_RC__ALREADY_EXISTS);
    EXPECT_EQ(add(first, kPartner + 1, TRUE), MOS_RC__NEED_WRITE_ACCESS);
    EXPECT_EQ(add(0x10000, kPartner, FALSE, 0xBAD), MOS_RC__INVALID_DEV_ID);

    // Fill the device: the comb it has no room for is rolled back without a trace in any list.
    CombId id = first;
    for (UINT32 i = 1; i < maxCombs_; i++)
        ASSERT_EQ(add(id += 0x8000), MOS_RC__SUCCESS) << i;
    EXPECT_EQ(add(id + 0x8000), MOS_RC__ERROR);
    EXPECT_FALSE(registered(id + 0x8000));
    EXPECT_EQ(cont_->combMngr.combAnchor.counter, maxCombs_);
    EXPECT_EQ(pDev_->combAnchor.counter, maxCombs_);

    EXPECT_EQ(rem(first), MOS_RC__SUCCESS);
    added_.erase(added_.begin());
    EXPECT_FALSE(registered(first));
    EXPECT_EQ(pDev_->combAnchor.counter, maxCombs_ - 1);
    EXPECT_EQ(rem(first), MOS_RC__NOT_FOUND);
    EXPECT_EQ(add(id + 0x8000), MOS_RC__SUCCESS) << "the removed comb's room is free again";
}
// A new comb's slot is reserved when the comb is placed and names the comb once its first access
// completes the placement: a slot still reserved when the array reaches the disk reads as free at
// the next start, and the comb's teeth with everything written to them would be freed.
TEST_F(CombOnDevTest, FirstAccessOfANewCombNamesItInTheDeviceCombArray)
{
    ASSERT_NE(pDev_, nullptr);
    const CombId id = 0x8000;
    ASSERT_EQ(add(id), MOS_RC__SUCCESS);
    const PhyDevComb &arr = pDev_->pPhyDev->devComb;
    auto slotsNaming = [&](CombId v) {
        UINT32 n = 0;
        for (UINT32 i = 0; i < arr.maxNumOfCombs; i++)
            n += arr.pCombArr[i].combId == v ? 1 : 0;
        return n;
    };
    EXPECT_EQ(slotsNaming(PHY_DEV_COMB_ARR__RESERVED), 1u);
    raid_Init(&cont_->raid, cont_.get(), contRaid_GetHooks()); // no head: the comb keeps its teeth as they are
    BOOL bOk = FALSE;
    UINT64 changeNumber = 0;
    run([&] {
        auto *pComb = static_cast<ContComb *>(contObj_Acquire(&cont_->objs, id, CONT_OBJ_TYPE__COMB));
        ASSERT_NE(pComb, nullptr);
        bOk = raidComb_FirstAccess(&pComb->raidComb);
        changeNumber = pComb->raidComb.phyComb.combChangeNumber;
        contObj_Release(&cont_->objs, id, CONT_OBJ_TYPE__COMB);
    });
    raid_Destroy(&cont_->raid);
    ASSERT_TRUE(bOk);
    EXPECT_EQ(slotsNaming(id), 1u);
    EXPECT_EQ(slotsNaming(PHY_DEV_COMB_ARR__RESERVED), 0u);
    EXPECT_NE(changeNumber, 0u) << "the comb's first tooth I/O hardens the array";
}
} // namespace
