#include "common/log.hpp"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

int verbose = 1;

namespace {

std::atomic<log_style> style{log_style::corvo};
std::atomic<int> out_fd{2};

struct wall_time {
    int64_t sec;
    long usec;
};

wall_time wall_now()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return {static_cast<int64_t>(ts.tv_sec), ts.tv_nsec / 1000};
}

// Appends the message to the prefix already in buf[0..n) and writes the
// whole line with one call.
[[gnu::format(printf, 3, 0)]]
void finish(char (&buf)[1024], int n, const char* fmt, va_list ap)
{
    if (n < 0 || n >= static_cast<int>(sizeof buf))
        return;
    va_list ap2;
    va_copy(ap2, ap);
    int m = std::vsnprintf(buf + n, sizeof buf - static_cast<size_t>(n), fmt, ap);
    if (m < 0) {
        va_end(ap2);
        return;
    }
    size_t total = static_cast<size_t>(n) + static_cast<size_t>(m);
    if (total < sizeof buf) {
        va_end(ap2);
        [[maybe_unused]] ssize_t r = ::write(out_fd.load(std::memory_order_relaxed), buf, total);
        return;
    }
    // A long line (start-up only): format it again into a buffer of its size.
    std::vector<char> big(total + 1);
    std::memcpy(big.data(), buf, static_cast<size_t>(n));
    std::vsnprintf(big.data() + n, big.size() - static_cast<size_t>(n), fmt, ap2);
    va_end(ap2);
    [[maybe_unused]] ssize_t r = ::write(out_fd.load(std::memory_order_relaxed), big.data(), total);
}

}  // namespace

void set_log_style(log_style s) { style.store(s, std::memory_order_relaxed); }
log_style get_log_style() { return style.load(std::memory_order_relaxed); }
void set_log_fd(int fd) { out_fd.store(fd, std::memory_order_relaxed); }
int get_log_fd() { return out_fd.load(std::memory_order_relaxed); }

bool limiter_allow(log_limiter& lim, int limit, int64_t sec)
{
    int s = static_cast<int>(sec);
    if (lim.last_sec.load(std::memory_order_relaxed) != s) {
        lim.last_sec.store(s, std::memory_order_relaxed);
        lim.count.store(1, std::memory_order_relaxed);
        return true;
    }
    return lim.count.fetch_add(1, std::memory_order_relaxed) < limit;
}

bool limiter_allow(log_limiter& lim, int limit) { return limiter_allow(lim, limit, wall_now().sec); }

void log_write_short(const char* tag, int line, const char* fmt, ...)
{
    wall_time t = wall_now();
    va_list ap;
    va_start(ap, fmt);
    char buf[1024];
    const int sec = static_cast<int>(t.sec % 1000);
    const int msec = static_cast<int>(t.usec / 1000);
    if (get_log_style() == log_style::wenlo)
        finish(buf, std::snprintf(buf, sizeof buf, "%03d.%03d %-10.10s [%5d] \t", sec, msec, tag, line), fmt, ap);
    else if (verbose > 0)
        finish(buf, std::snprintf(buf, sizeof buf, "%03d.%03d [%5d] \t", sec, msec, line), fmt, ap);
    va_end(ap);
}

void log_write_tagged(const char* tag, int line, const char* fmt, ...)
{
    wall_time t = wall_now();
    va_list ap;
    va_start(ap, fmt);
    char buf[1024];
    const int sec = static_cast<int>(t.sec % 1000);
    finish(buf, std::snprintf(buf, sizeof buf, "%03d.%06d %s [%d] ", sec, static_cast<int>(t.usec), tag, line), fmt, ap);
    va_end(ap);
}
