// Shared timing loop of the benchmarks: the best (shortest) of several runs, so a noisy neighbour
// on a shared machine inflates the figure as little as possible.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline uint64_t nsSince(Clock::time_point start)
{
    return (uint64_t)std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

// Seconds of the fastest of `runs` calls of body(); setup() runs untimed before each.
template <typename S, typename F>
double bestSecondsAfter(int runs, S &&setup, F &&body)
{
    double best = 1e30;
    for (int run = 0; run < runs; run++) {
        setup();
        const auto start = Clock::now();
        body();
        best = std::min(best, secondsSince(start));
    }
    return best;
}

// Seconds of the fastest of `runs` calls of body().
template <typename F>
double bestSeconds(int runs, F &&body)
{
    return bestSecondsAfter(runs, [] {}, body);
}

// Nanoseconds per operation of body(), which performs `ops` operations, best of three runs.
template <typename F>
double nsPerOp(uint64_t ops, F &&body)
{
    return bestSeconds(3, body) * 1e9 / (double)ops;
}

// Keeps the compiler from dropping work whose result is never read.
template <typename T>
void keep(const T &value)
{
    asm volatile("" : : "g"(&value) : "memory");
}

// A size with an optional k, m or g suffix (powers of 1024), as the benchmarks' options take it.
inline uint64_t parseSize(const char *p)
{
    char *pEnd = nullptr;
    uint64_t v = strtoull(p, &pEnd, 10);
    switch (*pEnd) {
    case 'k': case 'K': return v << 10;
    case 'm': case 'M': return v << 20;
    case 'g': case 'G': return v << 30;
    default: return v;
    }
}

} // namespace bench
