// Histogram: counts samples in up to 32 buckets, either evenly spread between an expected minimum
// and maximum (optionally re-spread automatically around the samples actually seen) or given
// explicitly. No lock: the owner serialises access. Only set-up allocates.
#pragma once

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

#define MOS_HISTOGRAM_MAX_NUM_BUCKETS 32u
// An automatic histogram re-spreads at most every this many new samples...
#define MOS_HISTOGRAM_REBALANCE_NUM_NEW_SAMPLES 100u
// ...and only while it holds fewer samples than this.
#define MOS_HISTOGRAM_MAX_REBALANCE_SAMPLES 1000u
// An edge bucket may hold 1/50 (2 %) of the samples before the range is widened to cover them.
#define MOS_HISTOGRAM_EDGE_SAMPLES_RATIO 50u
// A bucket holding all but 1/10 of the samples narrows the range to itself.
#define MOS_HISTOGRAM_MINORITY_SAMPLES_RATIO 10u

enum MosHistogramType : UINT32 {
    MOS_HGRAM_AUTO_UNIFORM = 0, // even buckets, re-spread automatically
    MOS_HGRAM_UNIFORM = 1,      // even buckets, fixed
    MOS_HGRAM_MANUAL = 2,       // ranges given by the caller
};

// minValue <= v < maxValue; the last bucket of an even layout also holds the largest value.
struct MosHistogram_Range {
    UINT64 minValue;
    UINT64 maxValue;
};

struct MosHistogram_Bucket {
    MosHistogram_Range range;
    UINT64 numSamples;
};

struct MosHistogram {
    MosHistogramType type;
    UINT32 numBuckets;
    MosHistogram_Bucket *pBuckets; // owned
    UINT64 numValidSamples;
    UINT64 numDiscardedSamples;
    UINT64 minSample; // the largest value until a sample comes
    UINT64 maxSample;
    UINT64 expectedMinValue;
    UINT64 expectedMaxValue;
    UINT64 numValidSamplesOnRebalance;
    BOOL bNoRebalance;
    UINT64 minBucketSize;
};

struct MosHistogram_Query {
    UINT32 numBuckets;
    UINT64 numValidSamples;
    UINT64 minSample;
    UINT64 maxSample;
    UINT64 expectedMinValue;
    UINT64 expectedMaxValue;
    UINT64 numDiscardedSamples;
    MosHistogram_Bucket buckets[MOS_HISTOGRAM_MAX_NUM_BUCKETS];
};

static_assert(sizeof(MosHistogram_Bucket) == 24);
static_assert(sizeof(MosHistogram_Query) == 824);
static_assert(offsetof(MosHistogram_Query, numValidSamples) == 8);
static_assert(offsetof(MosHistogram_Query, buckets) == 56);

// Even buckets between the expected values, with an edge bucket below expectedMinValue (when it
// is not 0) and one from expectedMaxValue up (when it is not the largest value); at most 32 in
// all. MOS_RC__INVALID when expectedMinValue is above expectedMaxValue; MOS_RC__NO_RESOURCES
// when the buckets cannot be allocated.
Mos_RC mosHistogram_Init(MosHistogram *pHgram, UINT32 numBuckets, UINT64 expectedMinValue, UINT64 expectedMaxValue,
                         UINT64 minBucketSize, BOOL bAutoRebalance);
// The caller's ranges, in the order given; a value in none of them is discarded.
Mos_RC mosHistogram_InitEx(MosHistogram *pHgram, UINT32 numBuckets, const MosHistogram_Range *pBucketRanges);
void mosHistogram_AddValue(MosHistogram *pHgram, UINT64 value);
void mosHistogram_Reset(MosHistogram *pHgram);
void mosHistogram_Query(const MosHistogram *pHgram, MosHistogram_Query *pQuery);
void mosHistogram_Destroy(MosHistogram *pHgram);
