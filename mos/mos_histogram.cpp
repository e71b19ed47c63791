#include "mos/mos_histogram.h"

#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "mos/mos_utils_text.h"

namespace {

constexpr UINT64 kMaxValue = ~(UINT64)0;

UINT64 satAdd(UINT64 a, UINT64 b)
{
    UINT64 r;
    return __builtin_add_overflow(a, b, &r) ? kMaxValue : r;
}

UINT64 satMul(UINT64 a, UINT64 b)
{
    UINT64 r;
    return __builtin_mul_overflow(a, b, &r) ? kMaxValue : r;
}

// Width of the buckets between the two edges. At least 1, so that a span narrower than the
// number of buckets leaves the surplus buckets empty instead of dividing by zero.
UINT64 middleWidth(UINT64 low, UINT64 high, UINT32 numMiddle)
{
    const UINT64 width = (high - low) / numMiddle;
    return width != 0 ? width : 1;
}

// The even layout, shared by set-up, re-spreading and lookup so that they always agree: bucket
// 0 is [0, low), the last bucket [high, largest value], and the buckets between split
// [low, high) contiguously, the last of them reaching high. Every value lies in exactly one
// bucket. Two buckets need low == high; one bucket is [0, largest value].
void buildEvenLayout(MosHistogram_Bucket *pBuckets, UINT32 numBuckets, UINT64 low, UINT64 high)
{
    memset(pBuckets, 0, numBuckets * sizeof(*pBuckets));
    if (numBuckets == 1) {
        pBuckets[0].range = {0, kMaxValue};
        return;
    }
    MOS_ASSERT(low <= high);
    MOS_ASSERT(numBuckets > 2 || low == high);
    pBuckets[0].range = {0, low};
    pBuckets[numBuckets - 1].range = {high, kMaxValue};
    const UINT32 numMiddle = numBuckets - 2;
    if (numMiddle == 0)
        return;
    const UINT64 width = middleWidth(low, high, numMiddle);
    for (UINT32 k = 1; k <= numMiddle; k++) {
        const UINT64 lo = MOS_MIN(satAdd(low, satMul(k - 1, width)), high);
        const UINT64 hi = k == numMiddle ? high : MOS_MIN(satAdd(low, satMul(k, width)), high);
        pBuckets[k].range = {lo, hi};
    }
}

UINT32 evenIndex(const MosHistogram *pHgram, UINT64 value)
{
    const MosHistogram_Bucket *pBuckets = pHgram->pBuckets;
    const UINT32 last = pHgram->numBuckets - 1;
    const UINT64 low = pBuckets[0].range.maxValue;
    const UINT64 high = pBuckets[last].range.minValue;
    if (value < low)
        return 0;
    if (value >= high)
        return last;
    // low <= value < high: there is at least one bucket between the edges.
    const UINT32 numMiddle = pHgram->numBuckets - 2;
    UINT64 index = (value - low) / middleWidth(low, high, numMiddle);
    if (index > numMiddle - 1)
        index = numMiddle - 1;
    return (UINT32)index + 1;
}

BOOL bucketHolds(const MosHistogram *pHgram, UINT32 index, UINT64 value)
{
    const MosHistogram_Range &r = pHgram->pBuckets[index].range;
    if (value < r.minValue)
        return FALSE;
    return value < r.maxValue || (index == pHgram->numBuckets - 1 && r.maxValue == kMaxValue);
}

void rebalance(MosHistogram *pHgram)
{
    const UINT64 numSamples = pHgram->numValidSamples;
    const UINT32 numBuckets = pHgram->numBuckets;
    MosHistogram_Bucket *pBuckets = pHgram->pBuckets;

    if (numSamples >= MOS_HISTOGRAM_MAX_REBALANCE_SAMPLES ||
        numSamples - pHgram->numValidSamplesOnRebalance < MOS_HISTOGRAM_REBALANCE_NUM_NEW_SAMPLES)
        return;

    const UINT64 edgeLimit = numSamples / MOS_HISTOGRAM_EDGE_SAMPLES_RATIO;
    const UINT64 lowEdgeSamples = pBuckets[0].numSamples;
    const UINT64 highEdgeSamples = pBuckets[numBuckets - 1].numSamples;
    if (lowEdgeSamples > edgeLimit || highEdgeSamples > edgeLimit)
        pHgram->bNoRebalance = FALSE;
    else if (pHgram->bNoRebalance)
        return;

    pHgram->numValidSamplesOnRebalance = numSamples;
    UINT64 lower = pHgram->minSample;
    UINT64 upper = pHgram->maxSample;
    if (lowEdgeSamples <= edgeLimit)
        lower = MOS_MAX(lower, pHgram->expectedMinValue);
    if (highEdgeSamples <= edgeLimit)
        upper = MOS_MIN(upper, pHgram->expectedMaxValue);

    // A bucket that holds nearly everything becomes the new range, spread finer.
    for (UINT32 i = 0; i < numBuckets; i++) {
        if (numSamples / MOS_HISTOGRAM_MINORITY_SAMPLES_RATIO >= numSamples - pBuckets[i].numSamples) {
            pHgram->bNoRebalance = TRUE;
            lower = pBuckets[i].range.minValue;
            upper = pBuckets[i].range.maxValue;
        }
    }

    if (lower >= upper || numBuckets <= 2)
        return;
    UINT64 width = (upper - lower) / (numBuckets - 2);
    if (width == 0)
        return;
    if (width < pHgram->minBucketSize)
        width = pHgram->minBucketSize;

    const UINT64 high = satAdd(lower, satMul(numBuckets - 2, width));
    MosHistogram_Bucket newBuckets[MOS_HISTOGRAM_MAX_NUM_BUCKETS];
    buildEvenLayout(newBuckets, numBuckets, lower, high);
    // Each old bucket's samples move to the new bucket that holds its lower end, clamped into
    // the new middle range; the edges start empty.
    for (UINT32 k = 1; k + 1 < numBuckets; k++) {
        UINT64 sum = 0;
        for (UINT32 j = 0; j < numBuckets; j++) {
            const UINT64 oldMin = pBuckets[j].range.minValue;
            const UINT64 clamped = MOS_MIN(MOS_MAX(oldMin, lower), high);
            if (clamped >= newBuckets[k].range.minValue && clamped < newBuckets[k].range.maxValue)
                sum += pBuckets[j].numSamples;
            if (oldMin > newBuckets[k].range.maxValue)
                break;
        }
        newBuckets[k].numSamples = sum;
    }
    memcpy(pBuckets, newBuckets, numBuckets * sizeof(*pBuckets));
}

Mos_RC allocBuckets(MosHistogram *pHgram, UINT32 numBuckets)
{
    pHgram->pBuckets = static_cast<MosHistogram_Bucket *>(
        mos_MemCalloc(numBuckets * sizeof(MosHistogram_Bucket), MOS_HISTOGRAM_MAX_NUM_BUCKETS * sizeof(MosHistogram_Bucket),
                      __func__, TRUE));
    if (pHgram->pBuckets == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to allocate histogram buckets\n");
        return MOS_RC__NO_RESOURCES;
    }
    pHgram->numBuckets = numBuckets;
    return MOS_RC__SUCCESS;
}

void resetCounts(MosHistogram *pHgram)
{
    for (UINT32 i = 0; i < pHgram->numBuckets; i++)
        pHgram->pBuckets[i].numSamples = 0;
    pHgram->numValidSamples = 0;
    pHgram->numDiscardedSamples = 0;
    pHgram->numValidSamplesOnRebalance = 0;
    pHgram->bNoRebalance = FALSE;
    pHgram->maxSample = 0;
    pHgram->minSample = kMaxValue;
}

} // namespace

Mos_RC mosHistogram_Init(MosHistogram *pHgram, UINT32 numBuckets, UINT64 expectedMinValue, UINT64 expectedMaxValue,
                         UINT64 minBucketSize, BOOL bAutoRebalance)
{
    MOS_ASSERT(pHgram != ((void *)0));
    MOS_ASSERT(numBuckets != 0);
    memset(pHgram, 0, sizeof(*pHgram));
    if (expectedMinValue > expectedMaxValue) {
        MOS_ERROR(MOS_COMP_MOS, "Expected minimum %lu is above expected maximum %lu", (unsigned long)expectedMinValue,
                  (unsigned long)expectedMaxValue);
        return MOS_RC__INVALID;
    }
    pHgram->type = bAutoRebalance ? MOS_HGRAM_AUTO_UNIFORM : MOS_HGRAM_UNIFORM;
    pHgram->expectedMinValue = expectedMinValue;
    pHgram->expectedMaxValue = expectedMaxValue;
    pHgram->minBucketSize = minBucketSize;
    pHgram->minSample = kMaxValue;

    const UINT32 lowEdge = expectedMinValue != 0 ? 1 : 0;
    const UINT32 highEdge = expectedMaxValue != kMaxValue ? 1 : 0;
    const UINT32 total = (UINT32)MOS_MIN((UINT64)numBuckets + lowEdge + highEdge, (UINT64)MOS_HISTOGRAM_MAX_NUM_BUCKETS);
    const UINT32 numSpread = total - lowEdge - highEdge; // at least 1

    Mos_RC rc = allocBuckets(pHgram, total);
    if (rc != MOS_RC__SUCCESS)
        return rc;

    // Boundaries of the even split of [expectedMinValue, expectedMaxValue). Without a low edge
    // the first of those buckets is bucket 0, without a high edge the last one is the last
    // bucket; the lookup takes the buckets between bucket 0 and the last one as the even part.
    const UINT64 width = middleWidth(expectedMinValue, expectedMaxValue, numSpread);
    auto boundary = [&](UINT32 k) -> UINT64 {
        return k >= numSpread ? expectedMaxValue : MOS_MIN(satAdd(expectedMinValue, satMul(k, width)), expectedMaxValue);
    };
    const UINT64 low = lowEdge != 0 ? expectedMinValue : boundary(1);
    const UINT64 high = highEdge != 0 ? expectedMaxValue : boundary(numSpread - 1);
    buildEvenLayout(pHgram->pBuckets, total, low, high);
    return MOS_RC__SUCCESS;
}

Mos_RC mosHistogram_InitEx(MosHistogram *pHgram, UINT32 numBuckets, const MosHistogram_Range *pBucketRanges)
{
    MOS_ASSERT(pHgram != ((void *)0));
    MOS_ASSERT(pBucketRanges != ((void *)0));
    MOS_ASSERT(numBuckets != 0);
    memset(pHgram, 0, sizeof(*pHgram));
    if (numBuckets > MOS_HISTOGRAM_MAX_NUM_BUCKETS) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Number of buckets %u above %u", numBuckets, MOS_HISTOGRAM_MAX_NUM_BUCKETS);
        return MOS_RC__PARAMETER_OUT_OF_RANGE;
    }
    pHgram->type = MOS_HGRAM_MANUAL;
    pHgram->minSample = kMaxValue;
    Mos_RC rc = allocBuckets(pHgram, numBuckets);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    for (UINT32 i = 0; i < numBuckets; i++)
        pHgram->pBuckets[i].range = pBucketRanges[i];
    pHgram->expectedMinValue = pBucketRanges[0].minValue;
    pHgram->expectedMaxValue = pBucketRanges[numBuckets - 1].maxValue;
    return MOS_RC__SUCCESS;
}

void mosHistogram_AddValue(MosHistogram *pHgram, UINT64 value)
{
    if (value < pHgram->minSample)
        pHgram->minSample = value;
    if (value > pHgram->maxSample)
        pHgram->maxSample = value;
    if (pHgram->numBuckets == 0) {
        // Never set up, or set-up failed.
        pHgram->numDiscardedSamples++;
        return;
    }

    switch (pHgram->type) {
    case MOS_HGRAM_MANUAL:
        for (UINT32 i = 0; i < pHgram->numBuckets; i++) {
            const MosHistogram_Range &r = pHgram->pBuckets[i].range;
            if (r.minValue <= value && value < r.maxValue) {
                pHgram->pBuckets[i].numSamples++;
                pHgram->numValidSamples++;
                return;
            }
        }
        pHgram->numDiscardedSamples++;
        return;
    case MOS_HGRAM_AUTO_UNIFORM:
        rebalance(pHgram);
        [[fallthrough]];
    case MOS_HGRAM_UNIFORM: {
        const UINT32 index = evenIndex(pHgram, value);
        MOS_ASSERT(bucketHolds(pHgram, index, value));
        pHgram->pBuckets[index].numSamples++;
        pHgram->numValidSamples++;
        return;
    }
    default:
        MOS_ERROR(MOS_COMP_MOS, "Unknown histogram type %d\n", (int)pHgram->type);
        return;
    }
}

void mosHistogram_Reset(MosHistogram *pHgram)
{
    resetCounts(pHgram);
}

void mosHistogram_Query(const MosHistogram *pHgram, MosHistogram_Query *pQuery)
{
    memset(pQuery, 0, sizeof(*pQuery));
    const UINT32 numBuckets = MOS_MIN(pHgram->numBuckets, MOS_HISTOGRAM_MAX_NUM_BUCKETS);
    pQuery->numBuckets = numBuckets;
    pQuery->numValidSamples = pHgram->numValidSamples;
    pQuery->minSample = pHgram->minSample;
    pQuery->maxSample = pHgram->maxSample;
    pQuery->expectedMinValue = pHgram->expectedMinValue;
    pQuery->expectedMaxValue = pHgram->expectedMaxValue;
    pQuery->numDiscardedSamples = pHgram->numDiscardedSamples;
    if (numBuckets != 0)
        memcpy(pQuery->buckets, pHgram->pBuckets, numBuckets * sizeof(MosHistogram_Bucket));
}

void mosHistogram_Destroy(MosHistogram *pHgram)
{
    if (pHgram->pBuckets != nullptr)
        mos_MemFree(pHgram->pBuckets);
    memset(pHgram, 0, sizeof(*pHgram));
}
