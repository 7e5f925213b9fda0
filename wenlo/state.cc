// Process-wide state of the replayer and the owners of its mappings.
#include <sys/mman.h>
#include <unistd.h>

#include "wenlo/replay.hpp"

namespace wenlo {

std::atomic<uint8_t> abort_flag{0};
static_assert(std::atomic<uint8_t>::is_always_lock_free);  // stored by the SIGINT handler

pcap_file::~pcap_file() {
    if (data != nullptr)
        munmap(const_cast<unsigned char*>(data), filesize);
    if (fd >= 0)
        close(fd);
}

queue_mem::~queue_mem() {
    if (data != nullptr)
        munmap(data, size);
}

bool queue_mem::allocate(uint64_t bytes) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return false;
    data = static_cast<unsigned char*>(p);
    size = bytes;
    return true;
}

}  // namespace wenlo
