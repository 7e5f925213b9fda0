// Helpers shared by the fuzz targets: a reader that takes fields from the
// front of the input, quiet logs and a check that aborts with a message.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log.hpp"

namespace fuzz {

// Takes fixed-size fields from the input; past its end they read as 0.
struct input {
    const uint8_t* data;
    size_t size;

    template <typename T>
    T take()
    {
        T v{};
        const size_t n = size < sizeof v ? size : sizeof v;
        std::memcpy(&v, data, n);
        data += n;
        size -= n;
        return v;
    }
};

// Log lines go to /dev/null: the targets run millions of inputs.
inline void quiet_logs()
{
    static const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    common::set_log_fd(fd);
}

[[noreturn]] inline void fail(const char* what, const char* file, int line)
{
    std::fprintf(stderr, "fuzz check failed at %s:%d: %s\n", file, line, what);
    std::abort();
}

}  // namespace fuzz

#define FUZZ_CHECK(cond)                             \
    do {                                             \
        if (!(cond))                                 \
            ::fuzz::fail(#cond, __FILE__, __LINE__); \
    } while (0)
