#include <gtest/gtest.h>

#include <vector>

#include "mos/mos_histogram.h"

namespace {

constexpr UINT64 kMax = ~(UINT64)0;

std::vector<MosHistogram_Range> ranges(const MosHistogram &h)
{
    std::vector<MosHistogram_Range> out;
    for (UINT32 i = 0; i < h.numBuckets; i++)
        out.push_back(h.pBuckets[i].range);
    return out;
}

bool holds(const MosHistogram &h, UINT32 i, UINT64 v)
{
    const MosHistogram_Range &r = h.pBuckets[i].range;
    return v >= r.minValue && (v < r.maxValue || (i == h.numBuckets - 1 && r.maxValue == kMax));
}

// An even layout covers [0, largest value] with contiguous buckets.
void expectContiguous(const MosHistogram &h)
{
    ASSERT_GT(h.numBuckets, 0u);
    EXPECT_EQ(h.pBuckets[0].range.minValue, 0u);
    for (UINT32 i = 0; i + 1 < h.numBuckets; i++) {
        EXPECT_LE(h.pBuckets[i].range.minValue, h.pBuckets[i].range.maxValue) << "bucket " << i;
        EXPECT_EQ(h.pBuckets[i].range.maxValue, h.pBuckets[i + 1].range.minValue) << "after bucket " << i;
    }
    EXPECT_EQ(h.pBuckets[h.numBuckets - 1].range.maxValue, kMax);
}

bool sameRanges(const std::vector<MosHistogram_Range> &a, const std::vector<MosHistogram_Range> &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (a[i].minValue != b[i].minValue || a[i].maxValue != b[i].maxValue)
            return false;
    return true;
}

// Adds the value and checks that exactly one bucket counted it, one that holds it. When the
// value made an automatic layout re-spread, the counts moved, and only the layout is checked.
void expectLandsInItsBucket(MosHistogram &h, UINT64 v)
{
    std::vector<UINT64> before;
    for (UINT32 i = 0; i < h.numBuckets; i++)
        before.push_back(h.pBuckets[i].numSamples);
    const auto rangesBefore = ranges(h);
    const UINT64 validBefore = h.numValidSamples;
    mosHistogram_AddValue(&h, v);
    EXPECT_EQ(h.numValidSamples, validBefore + 1) << "value " << v;
    if (!sameRanges(rangesBefore, ranges(h))) {
        expectContiguous(h);
        return;
    }
    UINT32 changed = 0;
    for (UINT32 i = 0; i < h.numBuckets; i++) {
        if (h.pBuckets[i].numSamples != before[i]) {
            changed++;
            EXPECT_EQ(h.pBuckets[i].numSamples, before[i] + 1);
            EXPECT_TRUE(holds(h, i, v)) << "value " << v << " counted in bucket " << i << " ["
                                        << h.pBuckets[i].range.minValue << ", " << h.pBuckets[i].range.maxValue << ")";
        }
    }
    EXPECT_EQ(changed, 1u) << "value " << v;
}

std::vector<UINT64> probes(UINT64 emin, UINT64 emax)
{
    std::vector<UINT64> v = {0, 1, 2, emin, emax, kMax - 1, kMax, emin + (emax - emin) / 2};
    for (UINT64 d = 1; d <= 3; d++) {
        if (emin >= d)
            v.push_back(emin - d);
        if (emax >= d)
            v.push_back(emax - d);
        if (emin <= kMax - d)
            v.push_back(emin + d);
        if (emax <= kMax - d)
            v.push_back(emax + d);
    }
    if (emax - emin <= 64)
        for (UINT64 x = emin; x < emax; x++)
            v.push_back(x);
    return v;
}

} // namespace

TEST(Histogram, EvenLayoutPlacesEveryValueInExactlyOneBucket)
{
    struct {
        UINT32 numBuckets;
        UINT64 emin, emax;
        UINT32 expectBuckets;
    } cases[] = {
        {4, 100, 500, 6},         // both edges
        {10, 100, 105, 12},       // span smaller than the bucket count
        {10, 0, 5, 11},           // the same without a low edge
        {30, 7, 7, 32},           // empty span
        {1, 0, kMax, 1},          // one bucket: everything
        {2, 0, kMax, 2},          // two buckets, no edges
        {1, 0, 20, 2},            // one bucket and a high edge
        {1, 10, kMax, 2},         // one bucket and a low edge
        {1, 10, 20, 3},           // one bucket between two edges
        {40, 1000, 2000, 32},     // cut to 32
        {3, 0, 1000, 4},          // remainder of the span
        {5, 5, kMax, 6},          // no high edge
        {7, 0, kMax, 7},          // no edges at all
        {32, 0, 2000000000, 32},  // the layout of a performance stage
        {31, kMax - 10, kMax - 1, 32},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.numBuckets << " buckets over [" << c.emin << ", " << c.emax << ")");
        for (BOOL bAuto : {FALSE, TRUE}) {
            MosHistogram h;
            ASSERT_EQ(mosHistogram_Init(&h, c.numBuckets, c.emin, c.emax, 1, bAuto), MOS_RC__SUCCESS);
            EXPECT_EQ(h.type, bAuto ? MOS_HGRAM_AUTO_UNIFORM : MOS_HGRAM_UNIFORM);
            EXPECT_EQ(h.numBuckets, c.expectBuckets);
            expectContiguous(h);
            for (UINT64 v : probes(c.emin, c.emax))
                expectLandsInItsBucket(h, v);
            mosHistogram_Destroy(&h);
        }
    }
}

TEST(Histogram, EvenLayoutSplitsTheSpanBetweenEdgeBuckets)
{
    MosHistogram h;
    ASSERT_EQ(mosHistogram_Init(&h, 4, 100, 500, 1, FALSE), MOS_RC__SUCCESS);
    const std::vector<std::pair<UINT64, UINT64>> expected = {
        {0, 100}, {100, 200}, {200, 300}, {300, 400}, {400, 500}, {500, kMax}};
    ASSERT_EQ(h.numBuckets, expected.size());
    for (UINT32 i = 0; i < h.numBuckets; i++) {
        EXPECT_EQ(h.pBuckets[i].range.minValue, expected[i].first) << i;
        EXPECT_EQ(h.pBuckets[i].range.maxValue, expected[i].second) << i;
    }
    EXPECT_EQ(h.expectedMinValue, 100u);
    EXPECT_EQ(h.expectedMaxValue, 500u);
    mosHistogram_Destroy(&h);
}

TEST(Histogram, ExpectedMinimumAboveMaximumIsRefused)
{
    MosHistogram h;
    EXPECT_EQ(mosHistogram_Init(&h, 4, 500, 100, 1, FALSE), MOS_RC__INVALID);
    EXPECT_EQ(h.pBuckets, nullptr);
    mosHistogram_AddValue(&h, 7); // a histogram that was never set up counts nothing in buckets
    EXPECT_EQ(h.numValidSamples, 0u);
    EXPECT_EQ(h.numDiscardedSamples, 1u);
    mosHistogram_Destroy(&h);
}

TEST(Histogram, ManualRangesFirstMatchWinsAndOthersAreDiscarded)
{
    const MosHistogram_Range r[] = {{0, 10}, {10, 20}, {15, 40}};
    MosHistogram h;
    ASSERT_EQ(mosHistogram_InitEx(&h, 3, r), MOS_RC__SUCCESS);
    EXPECT_EQ(h.type, MOS_HGRAM_MANUAL);
    EXPECT_EQ(h.expectedMinValue, 0u);
    EXPECT_EQ(h.expectedMaxValue, 40u);
    for (UINT64 v : {0, 9, 10, 17, 25, 39, 40, 1000})
        mosHistogram_AddValue(&h, v);
    EXPECT_EQ(h.pBuckets[0].numSamples, 2u);
    EXPECT_EQ(h.pBuckets[1].numSamples, 2u); // 17 lies in both: the first range takes it
    EXPECT_EQ(h.pBuckets[2].numSamples, 2u);
    EXPECT_EQ(h.numValidSamples, 6u);
    EXPECT_EQ(h.numDiscardedSamples, 2u);
    EXPECT_EQ(h.minSample, 0u);
    EXPECT_EQ(h.maxSample, 1000u);

    MosHistogram_Query q;
    mosHistogram_Query(&h, &q);
    EXPECT_EQ(q.numBuckets, 3u);
    EXPECT_EQ(q.numValidSamples, 6u);
    EXPECT_EQ(q.numDiscardedSamples, 2u);
    EXPECT_EQ(q.buckets[2].range.minValue, 15u);
    EXPECT_EQ(q.buckets[2].numSamples, 2u);
    EXPECT_EQ(q.buckets[3].numSamples, 0u);

    mosHistogram_Reset(&h);
    EXPECT_EQ(h.numValidSamples, 0u);
    EXPECT_EQ(h.numDiscardedSamples, 0u);
    EXPECT_EQ(h.minSample, kMax);
    EXPECT_EQ(h.maxSample, 0u);
    EXPECT_EQ(h.pBuckets[1].numSamples, 0u);
    EXPECT_EQ(h.pBuckets[1].range.maxValue, 20u); // ranges stay
    mosHistogram_Destroy(&h);
    EXPECT_EQ(h.pBuckets, nullptr);
    EXPECT_EQ(h.numBuckets, 0u);

    std::vector<MosHistogram_Range> many(33, MosHistogram_Range{0, 1});
    EXPECT_EQ(mosHistogram_InitEx(&h, 33, many.data()), MOS_RC__PARAMETER_OUT_OF_RANGE);
}

TEST(Histogram, AutomaticLayoutRespreadsFrom100thSampleUntil1000th)
{
    MosHistogram h;
    ASSERT_EQ(mosHistogram_Init(&h, 10, 0, 1000000, 1, TRUE), MOS_RC__SUCCESS);
    const auto initial = ranges(h);
    // All samples fall in the first bucket [0, 100000).
    for (int i = 0; i < 100; i++)
        mosHistogram_AddValue(&h, 500 + i);
    EXPECT_TRUE(sameRanges(ranges(h), initial)) << "no re-spread before 100 samples are in";

    mosHistogram_AddValue(&h, 550);
    EXPECT_FALSE(sameRanges(ranges(h), initial)) << "the crowded bucket is spread over the others";
    EXPECT_EQ(h.numValidSamplesOnRebalance, 100u);
    EXPECT_EQ(h.numValidSamples, 101u);
    expectContiguous(h);
    UINT64 inBuckets = 0;
    for (UINT32 i = 0; i < h.numBuckets; i++)
        inBuckets += h.pBuckets[i].numSamples;
    EXPECT_EQ(inBuckets, 101u) << "the old counts move into the new layout";

    // Later samples keep landing in exactly one bucket, whatever re-spreading does meanwhile.
    for (UINT64 v = 0; v < 899; v++)
        expectLandsInItsBucket(h, (v * 7919) % 3000000);
    ASSERT_EQ(h.numValidSamples, 1000u);
    const auto frozen = ranges(h);
    for (UINT64 v = 0; v < 300; v++)
        expectLandsInItsBucket(h, 5000000000ull + v);
    EXPECT_TRUE(sameRanges(ranges(h), frozen)) << "never re-spread once 1000 samples are in";
    mosHistogram_Destroy(&h);
}

TEST(Histogram, AutomaticLayoutWithTwoBucketsOrFewerNeverRespreads)
{
    for (UINT32 n : {1u, 2u}) {
        MosHistogram h;
        ASSERT_EQ(mosHistogram_Init(&h, n, 0, kMax, 1, TRUE), MOS_RC__SUCCESS);
        ASSERT_EQ(h.numBuckets, n);
        const auto initial = ranges(h);
        for (UINT64 v = 0; v < 500; v++)
            expectLandsInItsBucket(h, v % 3 == 0 ? kMax - v : v);
        const auto after = ranges(h);
        ASSERT_EQ(after.size(), initial.size());
        for (size_t i = 0; i < after.size(); i++)
            EXPECT_EQ(after[i].maxValue, initial[i].maxValue);
        mosHistogram_Destroy(&h);
    }
}
