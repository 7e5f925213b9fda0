// Lateness of sent frames (send time minus due time, ns) in a fixed-size
// log-linear histogram.
//
// One data-path thread records into a cumulative histogram with relaxed
// single-writer stores (no lock, allocation or system call); the
// statistics thread keeps a private copy of the last reading, and the
// difference of the two is the histogram of one interval.  Values below 32
// are exact; above, each power of two has 16 buckets (a bucket is at most
// 1/16 of its value wide) up to 2^40 ns; longer values share the last
// bucket.
#pragma once

#include <atomic>
#include <cstdint>

namespace common {

namespace lateness {

inline constexpr int sub_bits = 4;  // 16 buckets per power of two
inline constexpr int top_exp = 40;  // 2^40 ns, about 18 minutes
inline constexpr int n_buckets = ((top_exp - sub_bits + 1) << sub_bits) + 1;

constexpr int bucket_of(uint64_t ns) noexcept
{
    if (ns < (uint64_t(2) << sub_bits))
        return int(ns);
    const int e = 63 - __builtin_clzll(ns);
    if (e >= top_exp)
        return n_buckets - 1;
    return ((e - sub_bits + 1) << sub_bits) + int((ns >> (e - sub_bits)) & ((1u << sub_bits) - 1));
}

// Smallest value of bucket b, and its width.
constexpr uint64_t bucket_low(int b) noexcept
{
    if (b < (2 << sub_bits))
        return uint64_t(b);
    if (b >= n_buckets - 1)
        return uint64_t(1) << top_exp;
    const int e = (b >> sub_bits) + sub_bits - 1;
    return (uint64_t((1 << sub_bits) | (b & ((1 << sub_bits) - 1)))) << (e - sub_bits);
}
constexpr uint64_t bucket_width(int b) noexcept
{
    if (b < (2 << sub_bits) || b >= n_buckets - 1)
        return 1;
    return uint64_t(1) << ((b >> sub_bits) - 1);
}

static_assert(bucket_of(31) == 31 && bucket_of(32) == 32 && bucket_of(33) == 32 && bucket_of(34) == 33);
static_assert(bucket_low(bucket_of(1000000)) <= 1000000 &&
              1000000 < bucket_low(bucket_of(1000000)) + bucket_width(bucket_of(1000000)));
static_assert(bucket_of((uint64_t(1) << top_exp) - 1) == n_buckets - 2);
static_assert(bucket_of(uint64_t(1) << top_exp) == n_buckets - 1);

// Cumulative counts (written by one thread) and the largest value since
// the reader last took it.
struct histogram {
    uint64_t count[n_buckets];
    uint64_t peak;
};

// The writer's record of one value.
inline void record(histogram& h, uint64_t ns) noexcept
{
    std::atomic_ref<uint64_t> c(h.count[bucket_of(ns)]);
    c.store(c.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    std::atomic_ref<uint64_t> m(h.peak);
    if (ns > m.load(std::memory_order_relaxed))
        m.store(ns, std::memory_order_relaxed);
}

// Frames recorded, median, 99th percentile and maximum (ns), of one
// interval or of a whole run.  Percentiles are the middle of their bucket,
// never above the maximum.
struct summary {
    uint64_t frames;
    uint64_t median;
    uint64_t p99;
    uint64_t max;
};

// The summary of counts per bucket (a reader's own copy, or the writer's
// histogram read by the writer) whose largest value is max.  The maximum
// is raised to the floor of the highest bucket holding a frame when max is
// below it (a peak taken just before it was raised).
inline summary summarise(const uint64_t (&n)[n_buckets], uint64_t max) noexcept
{
    uint64_t total = 0;
    int highest = -1;
    for (int b = 0; b < n_buckets; ++b) {
        total += n[b];
        if (n[b])
            highest = b;
    }
    summary s{total, 0, 0, max};
    if (total == 0)
        return s;
    if (s.max < bucket_low(highest))
        s.max = bucket_low(highest);
    auto at = [&](uint64_t rank) {
        uint64_t seen = 0;
        for (int b = 0; b < n_buckets; ++b) {
            seen += n[b];
            if (seen >= rank) {
                const uint64_t mid = bucket_low(b) + bucket_width(b) / 2;
                return mid < s.max ? mid : s.max;
            }
        }
        return s.max;
    };
    s.median = at((total + 1) / 2);
    s.p99 = at((total * 99 + 99) / 100);
    return s;
}

// The reader: what live recorded since prev (its copy from the last call,
// updated here).  A writer that raised peak just as it was taken may carry
// it into the next interval; the maximum is never below the highest bucket
// the interval holds.
inline summary take_interval(histogram& live, histogram& prev) noexcept
{
    uint64_t n[n_buckets];
    for (int b = 0; b < n_buckets; ++b) {
        const uint64_t now = std::atomic_ref<uint64_t>(live.count[b]).load(std::memory_order_relaxed);
        n[b] = now - prev.count[b];
        prev.count[b] = now;
    }
    return summarise(n, std::atomic_ref<uint64_t>(live.peak).exchange(0, std::memory_order_relaxed));
}

}  // namespace lateness

}  // namespace common
