// Device, cache and limit setting commands through the command door of an in-process
// controller without devices: the record rules and the answers for unknown devices.
#include <gtest/gtest.h>

#include "test/support/cont_cmd_rig.h"
#include "tgt/cont/cont_cmd_intrn.h"
#include "tgt/cont/cont_cmd_set_rec.h"

namespace {

class ContCmdRuntimeEnv : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_TRUE(ContCmdRig::initRuntime()); }
};
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new ContCmdRuntimeEnv);

template <class T> void put(std::vector<UINT8> &b, size_t off, const T &v)
{
    if (b.size() < off + sizeof(v))
        b.resize(off + sizeof(v));
    memcpy(b.data() + off, &v, sizeof(v));
}

class ContCmdDevSet : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ContCmdRig::buildController();
        ContCmdRig::adopt(6, FALSE);
    }
};

// Each device's own code in request order; the command itself succeeds.
TEST_F(ContCmdDevSet, SnapshotReserveAnswersPerDeviceCodes)
{
    std::vector<UINT8> rec;
    put<UINT16>(rec, 0, 6);
    put<UINT32>(rec, 2, 2);
    put<UINT32>(rec, 6, 16);
    put(rec, 10, OstrelTgt_DevCapacityRsrv{0x71, 5});
    put(rec, 26, OstrelTgt_DevCapacityRsrv{0x72, 6});
    std::vector<UINT8> ans;
    ASSERT_EQ(ContCmdRig::send(TGT_MSG_TYPE__UPDATE_DEV_SNAP_CAP_LIMIT, 0, rec, &ans), MOS_RC__SUCCESS);
    ASSERT_EQ(ans.size(), 32u);
    OstrelTgtRsp_UpdateDevSnapCapLimit head;
    memcpy(&head, ans.data(), sizeof(head));
    EXPECT_EQ(head.numDevs, 2u);
    EXPECT_EQ(head.devStructSize, 12u);
    for (UINT32 i = 0; i < 2; i++) {
        OstrelTgt_DevRC r;
        memcpy(&r, ans.data() + 8 + 12 * i, sizeof(r));
        EXPECT_EQ(r.tgtDevId, 0x71u + i);
        EXPECT_EQ(r.rc, (UINT32)MOS_RC__NOT_FOUND);
    }
}

// Entries are read where the record puts them, as far apart as it says.
TEST_F(ContCmdDevSet, DestinationLimitsFollowTheRecordsStride)
{
    struct Case {
        UINT32 stride, offset, count, extra;
        Mos_RC rc;
    };
    const BOOL bAllow = tgtInitParam_G.bAllowDifferentRequestLen;
    tgtInitParam_G.bAllowDifferentRequestLen = FALSE; // the length test on
    for (const Case &c : {Case{24, 14, 2, 0, MOS_RC__NOT_FOUND}, Case{16, 20, 1, 0, MOS_RC__NOT_FOUND},
                          Case{12, 14, 1, 0, MOS_RC__INTERFACE_ERROR}, Case{16, 10, 1, 0, MOS_RC__INTERFACE_ERROR},
                          Case{16, 14, 0, 0, MOS_RC__INTERFACE_ERROR}, Case{24, 14, 2, 8, MOS_RC__INTERFACE_ERROR},
                          Case{24, 14, 3, 0, MOS_RC__INTERFACE_ERROR}}) {
        std::vector<UINT8> rec;
        put<UINT16>(rec, 0, 6);
        put(rec, 2, c.stride);
        put(rec, 6, c.offset);
        put(rec, 10, c.count);
        rec.resize(std::max<size_t>(rec.size(), c.offset + (size_t)std::min(c.count, 2u) * c.stride + c.extra));
        for (UINT32 i = 0; i < std::min(c.count, 2u) && c.stride >= 16; i++)
            put(rec, c.offset + i * c.stride, OstrelTgt_DeviceDestRebBwLimits{0x90 + i, 100, 200});
        EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__SET_REBUILD_REBALANCE_DEST_LIMITS, 0, rec), c.rc)
            << c.stride << " " << c.offset << " " << c.count;
    }
    tgtInitParam_G.bAllowDifferentRequestLen = bAllow;
}

// Values outside their range are refused before anything changes; an unknown device stops the
// scan settings with 126.
TEST_F(ContCmdDevSet, ScanAndChecksumValuesOutsideTheirRange)
{
    auto scan = [](UINT32 flavor) {
        std::vector<UINT8> rec;
        put<UINT32>(rec, 0, 1);
        put<UINT32>(rec, 4, 24);
        put<UINT16>(rec, 8, 6);
        put(rec, 10, OstrelTgt_DevScanConf{0x55, {flavor, 1000}, 0, 0});
        return rec;
    };
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__UPDATE_DEV_SCAN_CONF, 0, scan(0)), MOS_RC__INVALID);
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__UPDATE_DEV_SCAN_CONF, 0, scan(4)), MOS_RC__INVALID);
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__UPDATE_DEV_SCAN_CONF, 0, scan(2)), MOS_RC__TGT_DEVICE_NOT_FOUND);

    auto checksum = [](UINT32 b) {
        std::vector<UINT8> rec;
        put<UINT16>(rec, 0, 6);
        put(rec, 2, b);
        put<UINT32>(rec, 6, 1);
        put<UINT64>(rec, 10, 0x55);
        return rec;
    };
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__UPDATE_DEV_CHECKSUM, 0, checksum(2)), MOS_RC__INVALID);
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__UPDATE_DEV_CHECKSUM, 0, checksum(1)), MOS_RC__SUCCESS);
    // A request that names no device has nothing to set.
    std::vector<UINT8> none;
    put<UINT16>(none, 0, 6);
    put<UINT32>(none, 2, 1);
    put<UINT32>(none, 6, 0);
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__UPDATE_DEV_CHECKSUM, 0, none), MOS_RC__INVALID);
}

// A limit whose LB count would not fit in 32 bits is refused instead of wrapping.
TEST_F(ContCmdDevSet, CopyLimitsMustFitTheirLbCount)
{
    auto limits = [](UINT32 rebuild, UINT32 rebalance, UINT32 io) {
        std::vector<UINT8> rec;
        put(rec, 0, OstrelTgtReq_SetNetLimit{6, rebuild, rebalance, io});
        return rec;
    };
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__SET_NET_COPY_LIMIT, 0, limits(10, 20, 30)), MOS_RC__SUCCESS);
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__SET_NET_COPY_LIMIT, 0, limits(10, 1u << 21, 30)), MOS_RC__INVALID);
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__SET_NET_COPY_LIMIT, 0, limits((1u << 21) - 1, 20, 30)), MOS_RC__SUCCESS);
}

} // namespace
