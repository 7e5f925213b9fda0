// Queued lines, ordering per slot of the ring:
//   R1: a writing thread stores seq = ticket + 1 (release) after the text.
//   A1: the writer loads seq (acquire), pairs with R1, then copies the text.
//   R2: the writer stores seq = ticket + ring_slots (release) once copied.
//   A2: a writing thread loads seq (acquire), pairs with R2, before claiming.
// A line of k slots claims k consecutive tickets with one compare-exchange on
// next_ticket, after checking that the last of them is free: the writer
// frees slots in ticket order, so the others are free too.
#include "common/log.hpp"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "common/clock.hpp"

namespace common {

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
    const uint64_t ns = realtime_ns();
    return {static_cast<int64_t>(ns / 1000000000), static_cast<long>(ns % 1000000000 / 1000)};
}

void nap_ms(long ms)
{
    const timespec ts{0, ms * 1000000};
    nanosleep(&ts, nullptr);
}

constexpr uint64_t ring_slots = 512;
constexpr size_t slot_text = 240;
constexpr int64_t stuck_ns = 1000000000;  // one write(2) this long: stuck

struct alignas(256) line_slot {
    std::atomic<uint64_t> seq;  // ticket + 1 when filled, ticket when free for it
    uint32_t len;               // bytes of text used
    uint32_t first;             // 1 on the first slot of a line
    char text[slot_text];
};
static_assert(sizeof(line_slot) == 256);
static_assert(std::atomic<uint64_t>::is_always_lock_free);

line_slot ring[ring_slots];
std::atomic<uint64_t> next_ticket{0};
std::atomic<uint64_t> done_ticket{0};  // tickets below it are written or lost
std::atomic<bool> queued{false};       // lines go through the ring
std::atomic<bool> stop_writer{false};
std::atomic<int64_t> write_since{0};  // start of the writer's write(2), 0 outside one
std::atomic<uint64_t> lost{0};
bool ring_ready = false;  // seq numbers set (the first start)
bool flush_at_exit = false;
pthread_t writer_tid;
thread_local bool never_wait = false;

bool writer_stuck()
{
    const int64_t since = write_since.load(std::memory_order_acquire);
    return since != 0 && int64_t(monotonic_ns()) - since > stuck_ns;
}

// "sss.uuuuuu log_writer [line] N log lines lost\n" into buf.
size_t format_lost(char (&buf)[128], uint64_t n, int line)
{
    const wall_time t = wall_now();
    const int m = std::snprintf(buf, sizeof buf, "%03d.%06d log_writer [%d] %llu log lines lost\n",
                                static_cast<int>(t.sec % 1000), static_cast<int>(t.usec), line,
                                static_cast<unsigned long long>(n));
    return m > 0 ? static_cast<size_t>(m) : 0;
}

// The line written at once, with the count of earlier lost lines after it
// when it went through.
void write_direct(const char* data, size_t n)
{
    const int fd = out_fd.load(std::memory_order_relaxed);
    if (::write(fd, data, n) < 0) {
        lost.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (lost.load(std::memory_order_relaxed) == 0)
        return;
    if (const uint64_t k = lost.exchange(0, std::memory_order_relaxed); k != 0) {
        char buf[128];
        if (::write(fd, buf, format_lost(buf, k, __LINE__)) < 0)
            lost.fetch_add(k, std::memory_order_relaxed);
    }
}

// Claims the slots of a line and fills them; false when the line is lost.
bool enqueue(const char* data, size_t n)
{
    const uint64_t k = n == 0 ? 1 : (n + slot_text - 1) / slot_text;
    if (k > ring_slots / 2)
        return false;
    uint64_t pos = next_ticket.load(std::memory_order_relaxed);
    for (;;) {
        const uint64_t last = pos + k - 1;
        const uint64_t seq = ring[last % ring_slots].seq.load(std::memory_order_acquire);  // A2
        if (seq == last) {
            if (next_ticket.compare_exchange_weak(pos, pos + k, std::memory_order_relaxed))
                break;
        } else if (int64_t(seq - last) > 0) {
            pos = next_ticket.load(std::memory_order_relaxed);  // others moved on
        } else {
            // Full: the writer still holds the slot's line of the round before.
            if (never_wait || writer_stuck())
                return false;
            nap_ms(1);
            pos = next_ticket.load(std::memory_order_relaxed);
        }
    }
    for (uint64_t j = 0; j < k; ++j) {
        line_slot& s = ring[(pos + j) % ring_slots];
        const size_t part = n - j * slot_text < slot_text ? n - j * slot_text : slot_text;
        std::memcpy(s.text, data + j * slot_text, part);
        s.len = static_cast<uint32_t>(part);
        s.first = j == 0;
        s.seq.store(pos + j + 1, std::memory_order_release);  // R1
    }
    return true;
}

void emit(const char* data, size_t n)
{
    if (!queued.load(std::memory_order_acquire))
        write_direct(data, n);
    else if (!enqueue(data, n))
        lost.fetch_add(1, std::memory_order_relaxed);
}

// Writes the whole batch; false when a write fails for good.
bool write_all(const char* buf, size_t n)
{
    const int fd = out_fd.load(std::memory_order_relaxed);
    write_since.store(int64_t(monotonic_ns()) | 1, std::memory_order_release);
    bool ok = true;
    for (size_t off = 0; off < n;) {
        const ssize_t r = ::write(fd, buf + off, n - off);
        if (r > 0) {
            off += static_cast<size_t>(r);
        } else if (r < 0 && errno == EAGAIN) {
            // Someone made the descriptor non-blocking: wait for room here.
            pollfd pfd{fd, POLLOUT, 0};
            ::poll(&pfd, 1, 100);
        } else if (!(r < 0 && errno == EINTR)) {
            ok = false;
            break;
        }
    }
    write_since.store(0, std::memory_order_release);
    return ok;
}

extern "C" void* log_writer(void*)
{
    static char batch[16384];
    uint64_t ticket = done_ticket.load(std::memory_order_relaxed);
    for (;;) {
        size_t n = 0;
        uint64_t lines = 0;
        bool drained = false;
        char report[128];
        while (n + slot_text + sizeof report <= sizeof batch) {
            line_slot& s = ring[ticket % ring_slots];
            if (s.seq.load(std::memory_order_acquire) != ticket + 1) {  // A1
                drained = true;
                break;
            }
            std::memcpy(batch + n, s.text, s.len);
            n += s.len;
            lines += s.first;
            s.seq.store(ticket + ring_slots, std::memory_order_release);  // R2
            ++ticket;
        }
        // Lines are lost while the ring is full, so after those it holds:
        // the count follows them.
        uint64_t was_lost = 0;
        if (drained && (was_lost = lost.exchange(0, std::memory_order_relaxed)) != 0) {
            const size_t m = format_lost(report, was_lost, __LINE__);
            std::memcpy(batch + n, report, m);
            n += m;
        }
        if (n == 0) {
            done_ticket.store(ticket, std::memory_order_release);
            if (stop_writer.load(std::memory_order_acquire))
                return nullptr;
            nap_ms(5);
            continue;
        }
        const bool ok = write_all(batch, n);
        if (!ok)
            lost.fetch_add(was_lost + lines, std::memory_order_relaxed);
        done_ticket.store(ticket, std::memory_order_release);
        if (!ok) {
            // Only the count was left to write: it waits for the next start.
            if (lines == 0 && stop_writer.load(std::memory_order_acquire))
                return nullptr;
            nap_ms(10);  // a closed pipe fails at once: do not spin on it
        }
    }
}

extern "C" void flush_on_exit() { log_flush(); }

// Appends the message to the prefix already in buf[0..n) and hands the
// whole line on at once.
[[gnu::format(printf, 3, 0)]] void finish(char (&buf)[1024], int n, const char* fmt, va_list ap)
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
        emit(buf, total);
        return;
    }
    // A long line (start-up only): format it again into a buffer of its size.
    std::vector<char> big(total + 1);
    std::memcpy(big.data(), buf, static_cast<size_t>(n));
    std::vsnprintf(big.data() + n, big.size() - static_cast<size_t>(n), fmt, ap2);
    va_end(ap2);
    emit(big.data(), total);
}

}  // namespace

void set_log_style(log_style s) { style.store(s, std::memory_order_relaxed); }
log_style get_log_style() { return style.load(std::memory_order_relaxed); }
void set_log_fd(int fd) { out_fd.store(fd, std::memory_order_relaxed); }
int get_log_fd() { return out_fd.load(std::memory_order_relaxed); }

constexpr size_t writer_stack_bytes = 256 * 1024;

bool log_start_writer()
{
    if (queued.load(std::memory_order_relaxed))
        return true;
    if (!ring_ready) {
        for (uint64_t i = 0; i < ring_slots; ++i)
            ring[i].seq.store(i, std::memory_order_relaxed);
        ring_ready = true;
    }
    stop_writer.store(false, std::memory_order_relaxed);
    // The writer takes no signal: they stay with the threads that handle them.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    // A small stack: the writer only copies slots out, and a default 8 MiB
    // stack would be locked whole with the rest of the program under -H.
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, writer_stack_bytes);
    const int err = pthread_create(&writer_tid, &attr, log_writer, nullptr);
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (err != 0)
        return false;
    if (!flush_at_exit)
        flush_at_exit = std::atexit(flush_on_exit) == 0;
    queued.store(true, std::memory_order_release);
    return true;
}

void log_flush()
{
    if (!queued.load(std::memory_order_acquire))
        return;
    const uint64_t target = next_ticket.load(std::memory_order_acquire);
    while (int64_t(done_ticket.load(std::memory_order_acquire) - target) < 0 && !writer_stuck())
        nap_ms(1);
}

void log_stop_writer()
{
    if (!queued.load(std::memory_order_relaxed))
        return;
    log_flush();
    queued.store(false, std::memory_order_release);
    stop_writer.store(true, std::memory_order_release);
    pthread_join(writer_tid, nullptr);
}

void log_line(const char* text, size_t n) { emit(text, n); }

void log_never_wait() { never_wait = true; }

uint64_t log_lines_lost() { return lost.load(std::memory_order_relaxed); }

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
        finish(buf, std::snprintf(buf, sizeof buf, "%03d.%03d %-10.10s [%5d] \t", sec, msec, tag, line), fmt,
               ap);
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
    finish(buf,
           std::snprintf(buf, sizeof buf, "%03d.%06d %s [%d] ", sec, static_cast<int>(t.usec), tag, line),
           fmt, ap);
    va_end(ap);
}

}  // namespace common
