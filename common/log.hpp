// Log lines on standard error.
//
// Every line starts with a wall-clock time stamp.
//   log_msg(fmt, ...)          short form; corvo prints it only while verbose > 0
//   log_tagged(fmt, ...)       tagged form, always printed
//   log_limited(L, fmt, ...)   tagged form, at most L lines a second per call site
// The tag is the name of the calling function, the line that of the statement.
// The _as forms (log_msg_as, log_tagged_as, log_limited_as) take the tag
// instead: a helper that does part of another function's or thread's work
// logs in its name.
// Formats carry only the message text, ending with its own "\n".
//
// Until log_start_writer() each line is one write(2) by the thread that
// logs it.  From then on every line, from any thread, goes in order through
// a fixed ring of line slots (no allocation or lock per line) that a writer
// thread empties into the descriptor, so only that thread ever waits on a
// slow or unread standard error.  When the ring is full, a thread marked
// with log_never_wait() (the data path) drops its line; any other thread
// waits for room, unless the writer has been stuck in one write(2) for a
// second, and then it drops the line too.  Dropped lines, and lines a write
// fails on (EPIPE once the reader is gone), are counted, and the count is
// printed as soon as a write succeeds again:
//   "sss.uuuuuu log_writer [line] N log lines lost"
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace common {

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

// Starts the writer thread (once; again after log_stop_writer) and makes
// log_flush run at exit.  False, with lines still written directly, when
// the thread cannot start.
bool log_start_writer();
// Waits until every line queued before the call is written or lost, or
// until the writer has been stuck in one write(2) for a second.
void log_flush();
// Flushes, then ends the writer and goes back to direct writes.  Only for a
// writer that is not stuck and lines that no longer come from other threads.
void log_stop_writer();
// Marks the calling thread: its lines never wait for room in the ring.
void log_never_wait();
// Lines lost and not yet reported.
uint64_t log_lines_lost();

// One limiter pair per call site.
struct log_limiter {
    std::atomic<int> last_sec{0};
    std::atomic<int> count{0};
};

// True when a line of a call site may print in wall-clock second `sec`.
bool limiter_allow(log_limiter& lim, int limit, int64_t sec);
// Same, reading the wall clock.
bool limiter_allow(log_limiter& lim, int limit);

[[gnu::format(printf, 3, 4)]] void log_write_short(const char* tag, int line, const char* fmt, ...);
[[gnu::format(printf, 3, 4)]] void log_write_tagged(const char* tag, int line, const char* fmt, ...);

// A line already formatted (n bytes, ending with its "\n"), handed on as is.
void log_line(const char* text, size_t n);

#define log_msg(...) ::common::log_write_short(__func__, __LINE__, __VA_ARGS__)
#define log_tagged(...) ::common::log_write_tagged(__func__, __LINE__, __VA_ARGS__)
#define log_limited(limit, ...) log_limited_as(__func__, limit, __VA_ARGS__)
#define log_msg_as(tag, ...) ::common::log_write_short(tag, __LINE__, __VA_ARGS__)
#define log_tagged_as(tag, ...) ::common::log_write_tagged(tag, __LINE__, __VA_ARGS__)
#define log_limited_as(tag, limit, ...)                             \
    do {                                                            \
        static ::common::log_limiter log_lim_;                      \
        if (::common::limiter_allow(log_lim_, (limit)))             \
            ::common::log_write_tagged(tag, __LINE__, __VA_ARGS__); \
    } while (0)

}  // namespace common
