// Device layout arithmetic, identifiers and the header record.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "mos/mos_load.h"
#include "tgt/phy/phy_layout.h"
#include "tgt/tgt_conf.h"
#include "test/support/umt_test_support.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new UmtRuntimeEnv);

struct LayoutCase {
    const char *name;
    UINT64 sizeInLbs;
    UINT32 w;
    UINT64 rebuildBm, freeSpace, teeth, numOfTeeth, maxNumOfCombs;
};

// The worked examples, plus one whose DRLs push the teeth past the first gigabyte and one that
// fills the comb array to its upper clamp.
constexpr LayoutCase kCases[] = {
    {"1TB", 2147483648ull, 8, 410112, 410624, 2097152, 1047551, 16256},
    {"90GB", 188743680ull, 8, 409648, 409696, 2097152, 91135, 5120},
    {"90GB-plus-odd-LBs", 188743680ull + 2047, 8, 409648, 409696, 2097152, 91135, 5120},
    {"1TB-w32", 2147483648ull, 32, 410112, 410624, 2097152, 1047551, 16256},
    {"8PB", 8ull << 41, 8, 409600 + 4194304, 409600 + 2 * 4194304, 5 * 2097152ull, ((8ull << 41) - 5 * 2097152ull - 128) >> 11,
     0x7E800},
};

class LayoutTable : public ::testing::TestWithParam<LayoutCase> {
  protected:
    void SetUp() override { tgtConf_SetDefaults(); }
};

TEST_P(LayoutTable, MatchesByteForByte)
{
    const LayoutCase &c = GetParam();
    PhyDevOffsets o;
    ASSERT_EQ(phyDev_CalcDevOffsets(c.sizeInLbs, c.w, 2048, &o), MOS_RC__SUCCESS);
    EXPECT_EQ(o.combsMapOffset, 96u);
    EXPECT_EQ(o.teethMapOffset, 8192u);
    EXPECT_EQ(o.activeBmOffset, 409600u);
    EXPECT_EQ(o.rebuildBmOffset, c.rebuildBm);
    EXPECT_EQ(o.freeSpaceOffset, c.freeSpace);
    EXPECT_EQ(o.teethOffset, c.teeth);
    EXPECT_EQ(o.devSizeInLbs, c.sizeInLbs - c.sizeInLbs % 2048);
    EXPECT_EQ(o.numOfTeeth, c.numOfTeeth);
    EXPECT_EQ(o.maxNumOfCombs, c.maxNumOfCombs);
    EXPECT_EQ(o.dirtyGranularity, 2048u);
    EXPECT_EQ(phyDev_ValidateOffsets(&o), MOS_RC__SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Examples, LayoutTable, ::testing::ValuesIn(kCases),
                         [](const auto &info) {
                             std::string s = info.param.name;
                             for (char &ch : s)
                                 if (!isalnum((unsigned char)ch))
                                     ch = '_';
                             return s;
                         });

TEST(Layout, DeviceWithoutRoomForOneToothIsTooSmall)
{
    tgtConf_SetDefaults();
    PhyDevOffsets o;
    EXPECT_EQ(phyDev_CalcDevOffsets(2097152 + 128 + 2047, 8, 2048, &o), MOS_RC__DEV_SIZE_TOO_SMALL);
    EXPECT_EQ(phyDev_CalcDevOffsets(2097152 + 128 + 4096, 8, 2048, &o), MOS_RC__SUCCESS);
    EXPECT_EQ(o.numOfTeeth, 1u);
}

TEST(Layout, GranularityBelowAToothIsABrokenInvariant)
{
    PhyDevOffsets o;
    EXPECT_PANIC(phyDev_CalcDevOffsets(2147483648ull, 8, 1024, &o),
                     "!\\(pOffsets->dirtyGranularity == 0 \\|\\| pOffsets->dirtyGranularity < 2048\\)");
}

TEST(Identifiers, CombIdFieldsAndToothIds)
{
    CombId id = combId_Make(0x12345678u & 0xFFFFFFFFu, 0x1F, 0x3FF);
    EXPECT_EQ(combId_GetRowIndex(id), 0x3FFu);
    EXPECT_EQ(combId_GetHeadIndex(id), 0x1Fu);
    EXPECT_EQ(combId_GetMultiHeadId(id), 0x12345678u);
    EXPECT_EQ(combId_GetHeadId(id), (HeadId)(id >> 15));
    CombTId t = combTId_Make(id, 8191);
    EXPECT_EQ(combTId_GetCombId(t), id);
    EXPECT_EQ(combTId_GetTooth(t), 8191u);
    EXPECT_EQ(t >> 47, 8191u);
}

TEST(Identifiers, CombAddressPacksIndexAndOffset)
{
    tgtConf_SetDefaults();
    PhyDevAddr a = phyDev_CombAddr(5, 3, 2097152, PHY__MAX_NUMBER_OF_DEVS);
    EXPECT_EQ(a.devAddr & 0xFFF, 5u);
    EXPECT_EQ(a.devAddr >> 12, 3ull * 16777216 + 2097152);
    EXPECT_PANIC(phyDev_CombAddr(7, 0, 2097152, 4), "devAddr.devAddrBits.devId >= maxNumOfDevs");
    EXPECT_PANIC(phyDev_CombAddr(0, 1ull << 30, 0, 4), "offset != devAddr.devAddrBits.devOffset");
}

class Header : public ::testing::Test {
  protected:
    void SetUp() override
    {
        tgtConf_SetDefaults();
        ASSERT_EQ(phyDev_CalcDevOffsets(2147483648ull, 8, 2048, &offsets), MOS_RC__SUCCESS);
        phyDev_BuildPhyDevHeader(&hdr, 0x1111, 0x2222, &offsets, PHY_DEV_HDR_FLAG__MEM_DRL, DEV_TYPE__DATA_FLASH);
    }
    PhyDevOffsets offsets;
    PhyDevHeader hdr;
};

TEST_F(Header, RoundTripsWithSignatureAtBothEndsLittleEndian)
{
    std::array<UINT8, 1024> lb{};
    ASSERT_EQ(phyDevHeader_Encode(&hdr, lb), MOS_RC__SUCCESS);
    const UINT8 sig[8] = {0xEB, 0xDF, 0xAC, 0x80, 0x46, 0x92, 0x57, 0x13};
    EXPECT_EQ(memcmp(&lb[0], sig, 8), 0);
    EXPECT_EQ(memcmp(&lb[112], sig, 8), 0);
    EXPECT_EQ(lb[8], 5);
    EXPECT_EQ(lb[16], 0x11);
    EXPECT_EQ(lb[24], 0x22);
    EXPECT_EQ(lb[32], 96);
    EXPECT_EQ(lb[72 + 2], 0x20); // teeth offset 0x200000
    EXPECT_EQ(lb[104 + 1], 0x08); // granularity 0x800
    EXPECT_EQ(lb[108 + 3], 0x01); // comb size 0x1000000
    EXPECT_EQ(lb[120], 1);
    EXPECT_EQ(lb[124], 3);
    PhyDevHeader back;
    ASSERT_EQ(phyDevHeader_Decode(lb, &back), MOS_RC__SUCCESS);
    EXPECT_EQ(memcmp(&back, &hdr, sizeof(hdr)), 0);
    EXPECT_EQ(phyDev_CheckHeader(&back, 0x1111, 0x2222), MOS_RC__SUCCESS);
    EXPECT_EQ(phyDevHeader_Decode(std::span<const UINT8>(lb.data(), 127), &back), MOS_RC__INVALID);
}

TEST_F(Header, ForeignHeadersAreRefused)
{
    struct Case {
        const char *what;
        void (*spoil)(PhyDevHeader &);
        Mos_RC reopen;
        Mos_RC discovery;
    } cases[] = {
        {"start signature", [](PhyDevHeader &h) { h.sigStart ^= 1; }, MOS_RC__ERROR,
         MOS_RC__INVALID_DEVICE_HEADER_SIGNATURE},
        {"end signature", [](PhyDevHeader &h) { h.sigEnd = 0; }, MOS_RC__ERROR, MOS_RC__INVALID_DEVICE_HEADER_SIGNATURE},
        {"version", [](PhyDevHeader &h) { h.devVersion = 4; }, MOS_RC__ERROR, MOS_RC__INVALID_DEVICE_HEADER_SIGNATURE},
        {"comb size", [](PhyDevHeader &h) { h.combSizeInLbs = 8388608; }, MOS_RC__ERROR, MOS_RC__SUCCESS},
        {"owner", [](PhyDevHeader &h) { h.tgtId = 0x9999; }, MOS_RC__ERROR, MOS_RC__SUCCESS},
        {"device", [](PhyDevHeader &h) { h.devId = 0x9999; }, MOS_RC__ERROR, MOS_RC__SUCCESS},
    };
    for (const Case &c : cases) {
        PhyDevHeader h = hdr;
        c.spoil(h);
        EXPECT_EQ(phyDev_CheckHeader(&h, 0x1111, 0x2222), c.reopen) << c.what;
        EXPECT_EQ(phyDev_CheckHeaderSignature(&h), c.discovery) << c.what;
    }
    PhyDevHeader other = hdr;
    other.tgtId = 0x9999;
    other.devId = 0x8888;
    EXPECT_EQ(phyDev_CheckHeader(&other, 0, 0), MOS_RC__SUCCESS) << "expected ids of 0 accept any owner";
    tgtInitParam_G.bPhyDevIoEnabled = FALSE;
    tgtInitParam_G.bPhyDevIoEnabledMd = FALSE;
    other.sigStart = 0;
    EXPECT_EQ(phyDev_CheckHeader(&other, 0x1111, 0x2222), MOS_RC__SUCCESS) << "with device I/O off";
}

TEST_F(Header, ForeignLayoutsAreRefused)
{
    struct Case {
        const char *what;
        void (*spoil)(PhyDevOffsets &);
    } cases[] = {
        {"comb map moved", [](PhyDevOffsets &o) { o.combsMapOffset = 100; }},
        {"tooth map moved", [](PhyDevOffsets &o) { o.teethMapOffset = 0; }},
        {"rebuild log before active", [](PhyDevOffsets &o) { o.rebuildBmOffset = o.activeBmOffset; }},
        {"logs of different sizes", [](PhyDevOffsets &o) { o.freeSpaceOffset += 8; }},
        {"teeth inside the logs", [](PhyDevOffsets &o) { o.teethOffset = 0; }},
        {"teeth off a gigabyte", [](PhyDevOffsets &o) { o.teethOffset += 2048; }},
        {"more teeth than the device holds", [](PhyDevOffsets &o) { o.numOfTeeth += 1; }},
        {"device shorter than its teeth", [](PhyDevOffsets &o) { o.devSizeInLbs = o.teethOffset; }},
        {"too many combs", [](PhyDevOffsets &o) { o.maxNumOfCombs = 0x7E801; }},
        {"too few combs", [](PhyDevOffsets &o) { o.maxNumOfCombs = 10; }},
        {"fine granularity", [](PhyDevOffsets &o) { o.dirtyGranularity = 8; }},
        {"no teeth", [](PhyDevOffsets &o) { o.numOfTeeth = 0; }},
        {"logs smaller than their bitmaps",
         [](PhyDevOffsets &o) {
             o.rebuildBmOffset = o.activeBmOffset + 1;
             o.freeSpaceOffset = o.activeBmOffset + 2;
         }},
    };
    for (const Case &c : cases) {
        PhyDevOffsets o = offsets;
        c.spoil(o);
        EXPECT_EQ(phyDev_ValidateOffsets(&o), MOS_RC__TGT_ADD_DEVICE_VALIDATION_FAILED) << c.what;
    }
}

TEST(FlcacheHeader, HeaderCarriesOnlyIdsAndType)
{
    PhyDevHeader h;
    phyDev_BuildFlcachePhyDevHeader(&h, 7, 9);
    EXPECT_EQ(phyDev_CheckHeaderSignature(&h), MOS_RC__SUCCESS);
    EXPECT_EQ(h.type, (UINT32)DEV_TYPE__FLCACHE_FLASH);
    EXPECT_EQ(h.tgtId, 7u);
    EXPECT_EQ(h.devId, 9u);
    EXPECT_EQ(h.combSizeInLbs, 0u);
    EXPECT_EQ(h.devOffsets.teethOffset, 0u);
}

TEST(Counters, RecordIsTwelveBytesAtTheStartOfItsBlock)
{
    PhyDevCounters c{1, 2, 0x01020304};
    std::array<UINT8, 512> lb{};
    ASSERT_EQ(phyDevCounters_Encode(&c, lb), MOS_RC__SUCCESS);
    EXPECT_EQ(lb[0], 1);
    EXPECT_EQ(lb[4], 2);
    EXPECT_EQ(lb[8], 4);
    EXPECT_EQ(lb[11], 1);
    PhyDevCounters back;
    ASSERT_EQ(phyDevCounters_Decode(lb, &back), MOS_RC__SUCCESS);
    EXPECT_EQ(back.MBsScanned, 0x01020304u);
}
} // namespace
