// Process-wide state of the replayer.
#include "wenlo/replay.hpp"

namespace wenlo {

std::atomic<uint8_t> abort_flag{0};
static_assert(std::atomic<uint8_t>::is_always_lock_free);  // stored by the SIGINT handler

}  // namespace wenlo
