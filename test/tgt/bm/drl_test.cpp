// Dirty-region logs and their fine bits: the pool and its fall-back, the threshold, merging, the
// log's arithmetic, next-dirty and run searches, and what a reset clears.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include "test/support/tgt_test_support.h"
#include "tgt/bm/drl.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

class FineBits : public ::testing::Test {
  protected:
    void SetUp() override { tgtConf_SetDefaults(); }
    void TearDown() override
    {
        if (bUp)
            fineDrl_Destroy(&f);
    }
    void init(UINT32 mb, UINT32 bits = 64)
    {
        fineDrl_init(&f, 2048, mb, 8, bits, nullptr);
        bUp = true;
    }
    ToothDirtyBitArray *obj(UINT32 key)
    {
        ToothDirtyBitArray *p = nullptr;
        fineDrl_GetToothArrayByIndex(&f, &p, key);
        return p;
    }
    FineDrl f;
    bool bUp = false;
};

TEST_F(FineBits, PoolSizeFollowsTheMemoryBudget)
{
    init(1);
    EXPECT_EQ(fineDrl_GetNumOfSupportedTeeth(&f), 10922u);
    EXPECT_EQ(f.markedTeeth.numOfBuckets, 8192u);
    EXPECT_EQ(f.numOfBytesInTooth, 32u);
    EXPECT_EQ(fineDrl_GetFreeObjects(&f), 10922u);
}

TEST_F(FineBits, PartOfARegionTakesAnObjectAndAWholeRegionFallsBack)
{
    init(1);
    fineDrl_SetDirtyInternal(&f, 5, 16, 8, 2048);
    ToothDirtyBitArray *p = obj(5);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->setBitsCounter, 1u);
    EXPECT_EQ(fineDrl_FindNextSetBit(p, 0, 256), 2u);
    EXPECT_EQ(fineDrl_GetMarkedTeethNum(&f), 1u);
    fineDrl_SetDirtyInternal(&f, 5, 0, 2048, 2048);
    EXPECT_EQ(obj(5), nullptr) << "the object went back to the pool";
    EXPECT_TRUE(fineDrl_CheckFallBackSetBit(&f, 5));
    EXPECT_EQ(fineDrl_GetFreeObjects(&f), 10922u);
    fineDrl_SetDirtyInternal(&f, 5, 16, 8, 2048);
    EXPECT_EQ(obj(5), nullptr) << "a wholly dirty region takes no object";
    // A range over three regions is split; its middle region is whole.
    fineDrl_SetDirty(&f, 7, 9, 2040, 8 + 2048 + 16, 2048);
    EXPECT_EQ(fineDrl_FindNextSetBit(obj(7), 0, 256), 255u);
    EXPECT_TRUE(fineDrl_CheckFallBackSetBit(&f, 8));
    EXPECT_EQ(obj(9)->setBitsCounter, 2u);
    EXPECT_PANIC(fineDrl_SetFallBackArrayBit(&f, 64), "bitNum >= pFDrl->numOfBitsInFallBack");
}

TEST_F(FineBits, AnEmptyPoolFallsBackAndCountsTheFailure)
{
    // A pool of one object: 96 B of budget per object.
    fineDrl_init(&f, 2048, 0, 8, 64, nullptr);
    bUp = true;
    f.numOfSupportedTeeth = 0;
    fineDrl_SetDirtyInternal(&f, 3, 0, 8, 2048);
    EXPECT_TRUE(fineDrl_CheckFallBackSetBit(&f, 3));
    EXPECT_EQ(f.failedTeethAllocs, 1u);
}

TEST_F(FineBits, ThresholdAndMerges)
{
    init(1);
    struct Case {
        UINT32 setBits;
        BOOL bAllDirty;
    } cases[] = {{9, FALSE}, {10, TRUE}, {256, TRUE}};
    UINT32 key = 0;
    for (auto &c : cases) {
        fineDrl_SetDirtyInternal(&f, key, 0, c.setBits * 8 - (c.setBits == 256 ? 8 : 0), 2048);
        if (c.setBits == 256)
            fineDrl_SetDirtyInternal(&f, key, 2040, 8, 2048);
        ASSERT_NE(obj(key), nullptr);
        EXPECT_EQ(fineDrl_IsConsideredAllDirty(&f, obj(key)), c.bAllDirty) << c.setBits;
        key++;
    }
    UINT8 src[32] = {0xF0};
    fineDrl_SetDirtyInternal(&f, 10, 0, 8, 2048);
    fineDrl_CopyBits(src, &f, 10, 256, FALSE);
    EXPECT_EQ(obj(10)->setBitsCounter, 4u) << "bits 0-3, bit 0 already set";
    fineDrl_CopyBits(src, &f, 11, 256, FALSE);
    EXPECT_EQ(obj(11)->setBitsCounter, 4u) << "a new object for the merge";
    fineDrl_CopyBits(nullptr, &f, 10, 256, TRUE);
    EXPECT_EQ(obj(10), nullptr);
    EXPECT_TRUE(fineDrl_CheckFallBackSetBit(&f, 10)) << "the partner's whole region";
}

TEST(FineBitsRun, EndOfARunOverBothLogs)
{
    UINT8 r[32] = {0xC0}, a[32] = {0x30};
    ToothDirtyBitArray rebuild{r, 2, 0, nullptr, {}}, active{a, 2, 0, nullptr, {}};
    EXPECT_EQ(fineDrl_FindLastConsSetBit(&rebuild, &active, 0, 255), 3u);
    EXPECT_EQ(fineDrl_FindLastConsSetBit(&rebuild, nullptr, 0, 255), 1u);
    EXPECT_EQ(fineDrl_FindLastConsSetBit(&rebuild, &active, 0, 2), 2u) << "stops at the range's end";
}

constexpr UINT64 kP = 1048576;
constexpr UINT64 kArea = 64 * 2048;

class DirtyLog : public ::testing::Test {
  protected:
    void SetUp() override
    {
        tgtConf_SetDefaults();
        devId = 0xD71000000ull + (UINT64)getpid();
        for (UINT32 i = 0; i < 2; i++) {
            unlinkShm(i);
            ASSERT_EQ(drl_Init(&drls[i], kArea, kP, 0, 2048, nullptr, nullptr, nullptr, TRUE, FALSE, devId, i + 1),
                      MOS_RC__SUCCESS);
        }
    }
    void TearDown() override
    {
        for (UINT32 i = 0; i < 2; i++) {
            drl_Destroy(&drls[i]);
            unlinkShm(i);
        }
    }
    void unlinkShm(UINT32 i)
    {
        char name[BIT_ARRAY__SHM_NAME_LEN + 1];
        bitArray_ShmName(name, devId, i + 1, BIT_ARRAY__SHM_TYPE_WORKING);
        shm_unlink(name);
    }
    BOOL set(Drl *p, UINT64 off, UINT64 n, BOOL bFine = TRUE)
    {
        BOOL ok = FALSE;
        umtTest_RunAsUmt([&] { ok = drl_SetDirty(p, off, n, TRUE, (UINT32)((off - kP) % 2048), bFine); });
        return ok;
    }
    BOOL reset(Drl *p, UINT64 off, UINT64 n = 2048)
    {
        BOOL ok = FALSE;
        umtTest_RunAsUmt([&] { ok = drl_ResetDirty(p, off, n, TRUE, TRUE); });
        return ok;
    }
    UINT64 devId;
    Drl drls[2];
};

TEST_F(DirtyLog, Arithmetic)
{
    Drl *d = &drls[0];
    UINT32 first, last;
    drl_calcFirstLastBits(d, kP + 4000, 200, &first, &last);
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(last, 2u);
    EXPECT_EQ(drl_CalcOverlappedBits(d, kP + 4000, 200), 2u);
    drl_calcFirstLastFineBits(d, kP + 2048 + 16, 100, &first, &last);
    EXPECT_EQ(first, 2u);
    EXPECT_EQ(last, 14u);
    EXPECT_EQ(drl_GetLbaFromBit(d, 3, 5), kP + 3 * 2048 + 40);
    EXPECT_EQ(drl_GetFineDrlNumBits(d), 256u);
    EXPECT_EQ(drl_GetFirstLb(d, 5000), 4096u);
    EXPECT_EQ(drl_GetLastLb(d, 5000), 6143u);
    EXPECT_EQ(drl_GetNextFirstLb(d, 5000), 6144u);
    EXPECT_STREQ(drl_TypeName(PHY_DEV_DRL_TYPE__REBUILD), "REBUILD");
    EXPECT_STREQ(drl_TypeName(7), "UNKNOWN");
    UINT32 bits, lbs;
    drl_CalcDataSize(kArea, 2048, &bits, &lbs);
    EXPECT_EQ(bits, 64u);
    EXPECT_EQ(lbs, 8u);
    EXPECT_PANIC(drl_IsClean(d, kP - 1), "!\\(offsetInLbs < pDrl->protectedOffsetInLbs\\)");
    EXPECT_PANIC(reset(d, kP, 1024), "!\\(sizeInLbs != normalGrn\\)");
}

TEST_F(DirtyLog, NextDirtySearchesCoarseAndFine)
{
    Drl *d = &drls[0];
    BOOL bFine = TRUE, bAll = FALSE;
    EXPECT_EQ(drl_FindNextDirtyLb(d, kP, kArea, FALSE, &bFine, &bAll), DRL__NOT_FOUND);
    ASSERT_TRUE(set(d, kP + 2 * 2048, 2048)); // wholly dirty, no fine state
    bFine = TRUE;
    EXPECT_EQ(drl_FindNextDirtyLb(d, kP + 2 * 2048 + 700, 100, FALSE, &bFine, &bAll), kP + 2 * 2048)
        << "the region's first LB";
    EXPECT_FALSE(bFine);
    ASSERT_TRUE(set(d, kP + 5 * 2048 + 24, 8));
    ASSERT_TRUE(set(d, kP + 5 * 2048 + 40, 8));
    bFine = TRUE;
    EXPECT_EQ(drl_FindNextDirtyLb(d, kP + 5 * 2048, 2048, FALSE, &bFine, &bAll), kP + 5 * 2048 + 24);
    EXPECT_TRUE(bFine);
    EXPECT_FALSE(bAll);
    EXPECT_EQ(drl_FindLastDirtyLb(d, kP + 5 * 2048, 2048), kP + 5 * 2048 + 40);
    EXPECT_EQ(drl_FindLastDirtyLb(d, kP, kArea), kP + 5 * 2048 + 40);
    tgtInitParam_G.fineDrlToothTooDirtyThreshold = 2;
    bFine = TRUE;
    EXPECT_EQ(drl_FindNextDirtyLb(d, kP + 5 * 2048 + 8, 2040, TRUE, &bFine, &bAll), kP + 5 * 2048 + 8)
        << "too dirty: the search start";
    EXPECT_TRUE(bAll);
    // A fine reset clears units only; a reset clears the region.
    EXPECT_TRUE(drl_ResetFineDirty(d, kP + 5 * 2048 + 24, 8, 24));
    bFine = TRUE;
    EXPECT_EQ(drl_FindNextDirtyLb(d, kP + 5 * 2048, 2048, FALSE, &bFine, &bAll), kP + 5 * 2048 + 40);
    EXPECT_FALSE(drl_IsClean(d, kP + 5 * 2048));
    ASSERT_TRUE(reset(d, kP + 5 * 2048));
    ASSERT_TRUE(reset(d, kP + 2 * 2048));
    EXPECT_TRUE(drl_IsAllClean(d, kP, kArea));
    EXPECT_FALSE(fineDrl_CheckFallBackSetBit(&d->FineGranularityDrl, 2));
    EXPECT_EQ(fineDrl_GetMarkedTeethNum(&d->FineGranularityDrl), 0u);
}

TEST_F(DirtyLog, RunsOverBothLogsAndCopiedFineState)
{
    Drl *active = &drls[0], *rebuild = &drls[1];
    ASSERT_TRUE(set(rebuild, kP + 3 * 2048, 16));
    ASSERT_TRUE(set(active, kP + 3 * 2048 + 16, 16));
    EXPECT_EQ(drl_FindLastConsecutiveDirtyLb(rebuild, active, TRUE, kP + 3 * 2048, 2048), kP + 3 * 2048 + 24);
    EXPECT_EQ(drl_FindLastConsecutiveDirtyLb(rebuild, active, FALSE, kP + 3 * 2048, 2048), kP + 3 * 2048 + 8);
    EXPECT_EQ(drl_FindLastConsecutiveDirtyLb(rebuild, active, TRUE, kP + 9 * 2048, 2048), kP + 9 * 2048)
        << "no fine state: the offset";
    drl_CopyFineBits(active, rebuild, 3, 256);
    EXPECT_EQ(drl_FindLastConsecutiveDirtyLb(rebuild, active, FALSE, kP + 3 * 2048, 2048), kP + 3 * 2048 + 24);
    ASSERT_TRUE(set(active, kP + 4 * 2048, 2048));
    drl_CopyFineBits(active, rebuild, 4, 256);
    EXPECT_TRUE(fineDrl_CheckFallBackSetBit(&rebuild->FineGranularityDrl, 4)) << "wholly dirty goes over whole";
}
} // namespace
