// Hash lookups per second with 1, 4 and 8 threads on one table (1024 buckets, 16384 records),
// and the cost of an add+delete pair.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "mos/mos_ds_hash.h"

namespace {

constexpr UINT32 kBuckets = 1024;
constexpr UINT32 kRecords = 16384;

double lookupsPerSecond(MosHash *pHash, int threads)
{
    constexpr UINT64 kLookupsPerThread = 4000000;
    std::atomic<UINT64> found{0};
    double best = 0;
    for (int run = 0; run < 3; run++) {
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; t++)
            workers.emplace_back([&, t] {
                UINT64 key = (UINT64)t * 7919, hits = 0;
                for (UINT64 i = 0; i < kLookupsPerThread; i++) {
                    key = (key * 6364136223846793005ull + 1442695040888963407ull);
                    hits += mosHash_ContainsKey(pHash, (key >> 33) % kRecords) != FALSE;
                }
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
    MosHash hash;
    mosHash_Create(&hash, kBuckets, MOS_HASHING_METHOD__MODULO, 0, nullptr, nullptr, 1);
    std::vector<MosHash_Record> records(kRecords);
    for (UINT32 i = 0; i < kRecords; i++)
        mosHash_Add(&hash, &records[i], i, i);

    printf("hash lookup (%u buckets, %u records):\n", kBuckets, kRecords);
    for (int threads : {1, 4, 8}) {
        const double rate = lookupsPerSecond(&hash, threads);
        printf("  %d thread(s): %6.1f M lookups/s, %6.1f ns per lookup per thread\n", threads, rate / 1e6,
               1e9 * threads / rate);
    }

    constexpr UINT64 kPairs = 2000000;
    MosHash_Record extra{};
    const auto start = std::chrono::steady_clock::now();
    for (UINT64 i = 0; i < kPairs; i++) {
        mosHash_Add(&hash, &extra, kRecords + (i & 1023), 0);
        mosHash_DeleteRecordByKeyAndPtr(&hash, kRecords + (i & 1023), &extra);
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("hash add+delete pair, 1 thread: %.1f ns\n", secs * 1e9 / kPairs);

    mosHash_Clear(&hash);
    mosHash_Delete(&hash);
    return 0;
}
