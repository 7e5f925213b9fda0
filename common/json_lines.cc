#include "common/json_lines.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/clock.hpp"

namespace common {

json_lines::~json_lines()
{
    if (f_ && owned_)
        std::fclose(f_);
}

bool json_lines::open(const char* path)
{
    if (std::strcmp(path, "-") == 0) {
        f_ = stdout;
        owned_ = false;
    } else {
        const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0)
            return false;
        f_ = fdopen(fd, "w");
        if (!f_) {
            const int e = errno;
            close(fd);
            errno = e;
            return false;
        }
        owned_ = true;
    }
    start_ns_ = monotonic_ns();
    return true;
}

json_object json_lines::envelope(const char* program, const char* kind) const
{
    // Microseconds are enough for either time and keep the numbers short.
    const auto micro = [](uint64_t ns) { return double(ns / 1000) / 1e6; };
    return {{"schema", json_schema},
            {"program", program},
            {"kind", kind},
            {"time", micro(realtime_ns())},
            {"elapsed", micro(monotonic_ns() - start_ns_)}};
}

bool json_lines::write(const json_object& object)
{
    if (!f_)
        return false;
    const std::string line = object.dump(-1, ' ', false, json_object::error_handler_t::replace) + "\n";
    return std::fwrite(line.data(), 1, line.size(), f_) == line.size() && std::fflush(f_) == 0;
}

json_object lateness_json(const lateness::summary& late)
{
    json_object o = {{"frames", late.frames}};
    if (late.frames) {
        o["median"] = late.median;
        o["p99"] = late.p99;
        o["max"] = late.max;
    } else {
        o["median"] = nullptr;
        o["p99"] = nullptr;
        o["max"] = nullptr;
    }
    return o;
}

}  // namespace common
