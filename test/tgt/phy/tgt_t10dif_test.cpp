// Guards and obfuscation over buffer lists, and the primary's preparation of a client write.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "test/support/tgt_test_support.h"
#include "tgt/phy/tgt_t10dif.h"
#include "mos/mos_utils_scramble.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

constexpr UINT64 kKey = 0x0123456789ABCDEFull;

// Data in elements of the given block counts, guards in elements of other block counts.
struct Lists {
    Lists(std::vector<UINT32> dataLbs, std::vector<UINT32> difLbs)
    {
        NET_IOV__INIT(&data);
        NET_IOV__INIT(&dif);
        UINT32 total = 0;
        for (UINT32 n : dataLbs) {
            bufs.emplace_back((size_t)n * 512);
            for (size_t i = 0; i < bufs.back().size(); i++)
                bufs.back()[i] = (UINT8)(i * 7 + total + n);
            netIov_AddBuffer(&data, bufs.back().data(), n * 512, NET_IOV_BUF_TYPE__STATIC);
            total += n;
        }
        guards.resize(total);
        std::vector<UINT8> flat;
        for (auto &b : bufs)
            flat.insert(flat.end(), b.begin(), b.end());
        mosT10Dif_GenT10DIF(flat.data(), guards.data(), 0, 0, 0, total);
        UINT32 at = 0;
        for (UINT32 n : difLbs) {
            netIov_AddBuffer(&dif, &guards[at], n * 2, NET_IOV_BUF_TYPE__STATIC);
            at += n;
        }
    }
    ~Lists()
    {
        netIov_Destroy(&data);
        netIov_Destroy(&dif);
    }
    std::vector<std::vector<UINT8>> bufs;
    std::vector<T10Dif> guards;
    NetSmallIov data;
    NetSmallIov dif;
};

TEST(T10DifIov, VerifiesWhateverTheElementBoundaries)
{
    Lists same({8, 4}, {8, 4});
    EXPECT_EQ(tgtT10Dif_VerifyT10DIFIov(&same.data, &same.dif), MOS_RC__SUCCESS);
    Lists oneGuardElement({8, 4, 1}, {13});
    EXPECT_EQ(tgtT10Dif_VerifyT10DIFIov(&oneGuardElement.data, &oneGuardElement.dif), MOS_RC__SUCCESS);
    Lists crossing({3, 5}, {2, 6});
    EXPECT_EQ(tgtT10Dif_VerifyT10DIFIov(&crossing.data, &crossing.dif), MOS_RC__SUCCESS);
    crossing.bufs[1][700] ^= 1;
    EXPECT_EQ(tgtT10Dif_VerifyT10DIFIov(&crossing.data, &crossing.dif), MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED);
}

TEST(T10DifIov, GuardListOfTheWrongSizeIsRefused)
{
    Lists l({8}, {7}); // one guard short
    EXPECT_EQ(tgtT10Dif_VerifyT10DIFIov(&l.data, &l.dif), MOS_RC__INVALID);
    EXPECT_EQ(tgtT10Dif_EncryptIov(&l.data, &l.dif, kKey), MOS_RC__INVALID);
    std::vector<UINT8> before = l.bufs[0];
    EXPECT_EQ(l.bufs[0], before) << "nothing is converted when the lists do not match";
}

TEST(T10DifIov, KeyZeroIsANoOpAndTwiceRestores)
{
    Lists l({4, 4}, {4, 4});
    auto data0 = l.bufs;
    auto guards0 = l.guards;
    EXPECT_EQ(tgtT10Dif_EncryptIov(&l.data, &l.dif, 0), MOS_RC__SUCCESS);
    EXPECT_EQ(l.bufs, data0);
    EXPECT_EQ(memcmp(l.guards.data(), guards0.data(), guards0.size() * 2), 0);
    ASSERT_EQ(tgtT10Dif_EncryptIov(&l.data, &l.dif, kKey), MOS_RC__SUCCESS);
    EXPECT_NE(l.bufs, data0);
    EXPECT_EQ(tgtT10Dif_VerifyT10DIFIov(&l.data, &l.dif), MOS_RC__SUCCESS) << "guards follow the stored bytes";
    ASSERT_EQ(tgtT10Dif_EncryptIov(&l.data, &l.dif, kKey), MOS_RC__SUCCESS);
    EXPECT_EQ(l.bufs, data0);
    EXPECT_EQ(memcmp(l.guards.data(), guards0.data(), guards0.size() * 2), 0);
}

TEST(T10DifIov, GenerateFillsEachGuardElement)
{
    Lists l({2, 3}, {2, 3});
    std::vector<T10Dif> expected = l.guards;
    memset(l.guards.data(), 0xAB, l.guards.size() * 2);
    tgtT10Dif_GenT10DIFIov(&l.data, &l.dif, 2);
    EXPECT_EQ(memcmp(l.guards.data(), expected.data(), expected.size() * 2), 0);
    EXPECT_PANIC(tgtT10Dif_GenT10DIFIov(&l.data, &l.dif, 1), "numOfUsedBuffers != numOfElements");
}

TEST(T10DifWritePri, EachCaseOfTheClientWrite)
{
    std::vector<UINT8> data(4 * 512, 0x5A);
    std::vector<T10Dif> dif(4);
    auto fresh = [&] {
        std::fill(data.begin(), data.end(), 0x5A);
        mosT10Dif_GenT10DIF(data.data(), dif.data(), 0, 0, 0, 4);
    };
    WrIoFlags noDif{0};
    WrIoFlags withDif{0};
    withDif.bT10Dif = 1;

    fresh();
    ASSERT_EQ(tgtT10Dif_HandleWritePri(data.data(), dif.data(), 4, kKey, noDif, 0), MOS_RC__SUCCESS);
    std::vector<UINT8> once(data);
    mos_Encrypt(once.data(), 4, kKey);
    EXPECT_EQ(once, std::vector<UINT8>(4 * 512, 0x5A)) << "obfuscated without guards";

    fresh();
    memset(dif.data(), 0, 8);
    ASSERT_EQ(tgtT10Dif_HandleWritePri(data.data(), dif.data(), 4, kKey, withDif, 0), MOS_RC__SUCCESS);
    EXPECT_EQ(mosT10Dif_VerifyT10DIFBuffer(data.data(), dif.data(), 0, 0, 0, 4), MOS_RC__SUCCESS)
        << "guards generated over the obfuscated data";

    fresh();
    ASSERT_EQ(tgtT10Dif_HandleWritePri(data.data(), dif.data(), 4, kKey, withDif, TGT_IO_WR__T10DIF_ATTACHED),
              MOS_RC__SUCCESS);
    EXPECT_NE(data[0], 0x5A);
    EXPECT_EQ(mosT10Dif_VerifyT10DIFBuffer(data.data(), dif.data(), 0, 0, 0, 4), MOS_RC__SUCCESS);

    fresh();
    dif[2].guard ^= 1;
    EXPECT_EQ(tgtT10Dif_HandleWritePri(data.data(), dif.data(), 4, kKey, withDif, TGT_IO_WR__T10DIF_ATTACHED),
              MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED);
    EXPECT_EQ(data[0], 0x5A) << "a bad client guard leaves the data as it came";
}

TEST(T10DifFailure, CountsOrStopsByPolicy)
{
    tgtConf_SetDefaults();
    tgtT10Dif_VerifyFailure(MOS_DIAG_COUNTER__T10DIF_WR_SEC_DIF_MISSING);
    tgtInitParam_G.bT10DifRestartWhenVerifyFail = TRUE;
    EXPECT_PANIC(tgtT10Dif_VerifyFailure(MOS_DIAG_COUNTER__T10DIF_WR_SEC_DIF_MISSING), "!\\(1\\)");
    tgtConf_SetDefaults();
}
} // namespace
