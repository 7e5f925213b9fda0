// Clock reads in ns: the monotonic clock for intervals, deadlines and the
// data paths' time bases, the realtime clock for stamps that leave the
// process (frames on a link, log lines, probe payloads).
#pragma once

#include <time.h>

#include <cstdint>

namespace common {

inline uint64_t clock_ns(clockid_t id) noexcept
{
    timespec ts;
    clock_gettime(id, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

inline uint64_t monotonic_ns() noexcept { return clock_ns(CLOCK_MONOTONIC); }
inline uint64_t realtime_ns() noexcept { return clock_ns(CLOCK_REALTIME); }

}  // namespace common
