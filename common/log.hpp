// Log lines on standard error.
//
// Every line is one write(2) that starts with a wall-clock time stamp.
//   log_msg(fmt, ...)          short form; corvo prints it only while verbose > 0
//   log_tagged(fmt, ...)       tagged form, always printed
//   log_limited(L, fmt, ...)   tagged form, at most L lines a second per call site
// The tag is the name of the calling function, the line that of the statement.
// Formats carry only the message text, ending with its own "\n".
#pragma once

#include <atomic>
#include <cstdint>

enum class log_style {
    corvo,  // "%03d.%03d [%5d] \t" short form, gated by verbose
    wenlo,  // "%03d.%03d %-10.10s [%5d] \t" short form, never gated
};

// Process-wide verbosity of corvo: -v adds 1, -q takes 1 (never below 0).
// Written only while the options are parsed, before any thread starts.
extern int verbose;

void set_log_style(log_style s);
log_style get_log_style();

// Where the lines go (standard error unless a test redirects them).
void set_log_fd(int fd);
int get_log_fd();

// One limiter pair per call site.
struct log_limiter {
    std::atomic<int> last_sec{0};
    std::atomic<int> count{0};
};

// True when a line of a call site may print in wall-clock second `sec`.
bool limiter_allow(log_limiter& lim, int limit, int64_t sec);
// Same, reading the wall clock.
bool limiter_allow(log_limiter& lim, int limit);

[[gnu::format(printf, 3, 4)]]
void log_write_short(const char* tag, int line, const char* fmt, ...);
[[gnu::format(printf, 3, 4)]]
void log_write_tagged(const char* tag, int line, const char* fmt, ...);

#define log_msg(...) log_write_short(__func__, __LINE__, __VA_ARGS__)
#define log_tagged(...) log_write_tagged(__func__, __LINE__, __VA_ARGS__)
// The short form under the tag of another function (for a helper that does
// part of that function's work and logs in its name).
#define log_msg_as(tag, ...) log_write_short(tag, __LINE__, __VA_ARGS__)
#define log_limited(limit, ...)                                   \
    do {                                                          \
        static log_limiter log_lim_;                              \
        if (limiter_allow(log_lim_, (limit)))                     \
            log_write_tagged(__func__, __LINE__, __VA_ARGS__);    \
    } while (0)
