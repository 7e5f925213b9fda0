// Process-wide state of the replayer.
#include <time.h>
#include <unistd.h>

#include "wenlo/replay.hpp"

namespace wenlo {

std::atomic<uint8_t> abort_flag{0};
static_assert(std::atomic<uint8_t>::is_always_lock_free);  // stored by the SIGINT handler

uint64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace wenlo
