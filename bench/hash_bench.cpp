// Hash-table lookups beside std::unordered_map::find measured in the same run: one thread with
// one record per bucket and with sixteen, then lookups per second with 1, 4 and 8 threads on one
// table, and the cost of an add+delete pair.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bench/bench_harness.h"
#include "mos/mos_ds_hash.h"

namespace {

constexpr UINT32 kBuckets = 1024;
constexpr UINT64 kLookups = 8000000;

// The same pseudo-random key walk for both tables.
inline UINT64 nextKey(UINT64 &state, UINT32 records)
{
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return (state >> 33) % records;
}

double hashLookupNs(MosHash *pHash, UINT32 records)
{
    return bench::nsPerOp(kLookups, [&] {
        UINT64 state = 1, hits = 0;
        for (UINT64 i = 0; i < kLookups; i++) {
            UINT64 data = 0;
            hits += mosHash_GetRecordByKey(pHash, nextKey(state, records), 0, &data) != nullptr;
        }
        bench::keep(hits);
    });
}

double mapLookupNs(UINT32 records)
{
    std::unordered_map<UINT64, UINT64> map;
    map.reserve(records);
    for (UINT32 i = 0; i < records; i++)
        map.emplace(i, i);
    return bench::nsPerOp(kLookups, [&] {
        UINT64 state = 1, hits = 0;
        for (UINT64 i = 0; i < kLookups; i++)
            hits += map.find(nextKey(state, records)) != map.end();
        bench::keep(hits);
    });
}

double lookupsPerSecond(MosHash *pHash, UINT32 records, int threads)
{
    constexpr UINT64 kLookupsPerThread = 4000000;
    std::atomic<UINT64> found{0};
    double best = 0;
    for (int run = 0; run < 3; run++) {
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; t++)
            workers.emplace_back([&, t] {
                UINT64 state = (UINT64)t * 7919, hits = 0;
                for (UINT64 i = 0; i < kLookupsPerThread; i++)
                    hits += mosHash_ContainsKey(pHash, nextKey(state, records)) != FALSE;
                found += hits;
            });
        for (auto &w : workers)
            w.join();
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best = std::max(best, (double)kLookupsPerThread * threads / secs);
    }
    return found.load() != 0 ? best : 0;
}

} // namespace

int main()
{
    printf("hash lookup, 1 thread (%u buckets), beside std::unordered_map::find of as many records:\n", kBuckets);
    for (UINT32 perBucket : {1u, 16u}) {
        const UINT32 records = kBuckets * perBucket;
        MosHash hash;
        mosHash_Create(&hash, kBuckets, MOS_HASHING_METHOD__MODULO, 0, nullptr, nullptr, 1);
        std::vector<MosHash_Record> recs(records);
        for (UINT32 i = 0; i < records; i++)
            mosHash_Add(&hash, &recs[i], i, i);
        const double ns = hashLookupNs(&hash, records);
        const double anchor = mapLookupNs(records);
        printf("  %2u record(s) per bucket: %6.1f ns   unordered_map::find: %6.1f ns   %5.2fx\n", perBucket, ns,
               anchor, ns / anchor);
        if (perBucket == 16) {
            for (int threads : {1, 4, 8}) {
                const double rate = lookupsPerSecond(&hash, records, threads);
                printf("  16 per bucket, %d thread(s): %6.1f M lookups/s, %6.1f ns per lookup per thread\n", threads,
                       rate / 1e6, 1e9 * threads / rate);
            }
            constexpr UINT64 kPairs = 2000000;
            MosHash_Record extra{};
            const double pairNs = bench::nsPerOp(kPairs, [&] {
                for (UINT64 i = 0; i < kPairs; i++) {
                    mosHash_Add(&hash, &extra, records + (i & 1023), 0);
                    mosHash_DeleteRecordByKeyAndPtr(&hash, records + (i & 1023), &extra);
                }
            });
            printf("  hash add+delete pair, 1 thread: %.1f ns\n", pairNs);
        }
        mosHash_Clear(&hash);
        mosHash_Delete(&hash);
    }
    return 0;
}
