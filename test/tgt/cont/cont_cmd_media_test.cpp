// Media metadata queries through the command door of an in-process controller without devices.
#include <gtest/gtest.h>

#include "test/support/cont_cmd_rig.h"
#include "tgt/cont/cont_cmd_intrn.h"
#include "tgt/cont/cont_cmd_media_rec.h"

namespace {

class ContCmdRuntimeEnv : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_TRUE(ContCmdRig::initRuntime()); }
};
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new ContCmdRuntimeEnv);

TEST(ContCmdMedia, WithoutDevicesOnlyTheHeadAndUnknownIdsAreNotFound)
{
    ContCmdRig::buildController();
    ContCmdRig::adopt(2, FALSE);
    std::vector<UINT8> ans;
    ASSERT_EQ(ContCmdRig::send(TGT_MSG_TYPE__QUERY_DEV_METADATA, 0, {}, &ans), MOS_RC__SUCCESS);
    EXPECT_EQ(ans, std::vector<UINT8>(70, 0));

    OstrelTgtReq_QueryDevAdvancedMetadata req{};
    req.ostrelTgtConnectionGenNum = 2;
    req.devId = 0x3131;
    std::vector<UINT8> rec(sizeof(req));
    memcpy(rec.data(), &req, sizeof(req));
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__QUERY_DEV_ADVANCED_METADATA, 0, rec, &ans),
              MOS_RC__TGT_DEVICE_NOT_FOUND);
    EXPECT_TRUE(ans.empty());
}

} // namespace
