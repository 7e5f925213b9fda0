// The queue buffer: room check with the queue limit, enqueue, and the hold
// buffer of the reorder model (producer thread), and the hand-over of
// published records to a sleeping consumer.
#include "corvo/queue.hpp"

#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "common/log.hpp"
#include "corvo/datapath.hpp"

using namespace common;
using namespace pipes;

namespace corvo {

namespace {

void count_drop(pipe_state& p, drop_reason why) noexcept
{
    pipes::count_drop(p.prod_stats, p.prod_rep.drops, why, p.cur_len);
}

// A record of a single-writer ring fits at t when the write position after
// it (next) neither lands on the reader's h nor crosses it.
constexpr bool ring_fits(uint64_t h, uint64_t t, uint64_t next) noexcept
{
    if (h <= t)
        return !(h == 0 && next == 0);
    return next != 0 && next < h;
}

// The packet's fragments back to back at dst.  A first fragment below 1024
// bytes and a multiple of 64 goes in 64-byte blocks.
inline void copy_packet(const pipe_state& p, unsigned char* dst) noexcept
{
    const pkt_frag& f0 = p.frags[0];
    const uint32_t len0 = f0.len;
    if (len0 < 1024 && len0 % 64 == 0) {
        for (uint32_t o = 0; o < len0; o += 64)
            std::memcpy(dst + o, p.cur_pkt + o, 64);
    } else {
        std::memcpy(dst, p.cur_pkt, len0);
    }
    dst += len0;
    for (int k = 1; k < p.n_frags; ++k) {
        std::memcpy(dst, p.frags[k].buf, p.frags[k].len);
        dst += p.frags[k].len;
    }
}

// Lazy accounting of the emulated bottleneck: counted records whose qout has
// passed leave the count.  Returns true while the limit is exceeded.
bool over_limit(pipe_state& p) noexcept
{
    if (p.qsize == 0 || p.queued_bytes <= p.qsize)
        return false;
    while (p.queued_bytes > 0 && p.acct_head != p.prod_tail) {
        const queue_record* r = record_at(p, p.acct_head);
        if (time_before(p.prod_now, r->qout))
            break;
        p.queued_bytes = r->len < p.queued_bytes ? p.queued_bytes - r->len : 0;
        p.acct_head = r->next;
    }
    if (p.queued_bytes <= p.qsize)
        return false;
    log_limited_as("no_room", 1, "too many bytes queued %llu, drop %llu\n",
                   (unsigned long long)p.queued_bytes,
                   (unsigned long long)counter_read(p.prod_stats->drop_pkts));
    return true;
}

// Bytes from the producer's write position forward to off.
inline uint64_t ahead_of_tail(const pipe_state& p, uint64_t off) noexcept
{
    return off >= p.prod_tail ? off - p.prod_tail : off + p.buf_size - p.prod_tail;
}

// Bytes free from the write position forward: up to the consumer's head,
// or to the oldest record the queue limit still counts when that comes
// first (the lazy accounting reads it).
uint64_t free_ahead(pipe_state& p) noexcept
{
    // QA2: pairs with QR2 in advance (cons.cc): the consumer has read the
    // records before head, so their bytes may be overwritten.
    p.prod_head = p.head.load(std::memory_order_acquire);
    uint64_t f = p.prod_head == p.prod_tail ? p.buf_size : ahead_of_tail(p, p.prod_head);
    if (p.qsize != 0 && p.acct_head != p.prod_tail && ahead_of_tail(p, p.acct_head) < f)
        f = ahead_of_tail(p, p.acct_head);
    return f;
}

inline uint64_t chunk_after(const pipe_state& p, uint64_t off) noexcept
{
    const uint64_t n = off - off % release_chunk + release_chunk;
    return n >= p.buf_size ? 0 : n;
}

// Releases the chunk at from when it lies wholly in the free part of the
// ring; a span the producer has entered since it was chosen starts again
// after the producer's chunk, and one that reaches records still in use
// ends.
void release_next_chunk(pipe_state& p) noexcept
{
    queue_release_state& s = p.release;
    const uint64_t to = ahead_of_tail(p, s.to);
    if (ahead_of_tail(p, s.from) >= to) {
        s.from = chunk_after(p, p.prod_tail);
        if (ahead_of_tail(p, s.from) >= to) {
            s.from = s.to;
            return;
        }
    }
    const uint64_t len = std::min(release_chunk, p.buf_size - s.from);
    if (ahead_of_tail(p, s.from) + len > free_ahead(p)) {
        s.from = s.to;
        return;
    }
    madvise(p.buf + s.from, len, MADV_DONTNEED);
    s.from = chunk_after(p, s.from);
}

// Record bytes queued so far, near enough to tell a ring that came round.
inline uint64_t written_bytes(const pipe_state& p) noexcept
{
    return counter_read(p.prod_stats->bytes) + (queue_hdr_bytes + 8) * counter_read(p.prod_stats->pkts);
}

}  // namespace

void queue_release_init(pipe_state& p) noexcept
{
    p.release = queue_release_state{};
    p.release.enabled = !p.lock_buffers && p.buf_size >= 4 * release_chunk &&
                        reinterpret_cast<uintptr_t>(p.buf) % release_chunk == 0;
    p.release.written = p.prod_stats ? written_bytes(p) : 0;
}

void queue_release(pipe_state& p) noexcept
{
    queue_release_state& s = p.release;
    if (!s.enabled)
        return;
    if (s.from != s.to) {
        release_next_chunk(p);
        return;
    }
    if (p.prod_now - s.mark_time < release_after_ns)
        return;
    // What was free at the last mark has been free for release_after_ns,
    // unless the ring came round in that time: then it is in use again.
    const uint64_t written = written_bytes(p);
    if (written - s.written < p.buf_size / 2)
        s.to = s.mark;
    else
        s.from = s.to = s.mark;
    const uint64_t end = (p.prod_tail + free_ahead(p)) % p.buf_size;
    s.mark = end - end % release_chunk;
    s.mark_time = p.prod_now;
    s.written = written;
}

uint64_t qsize_cap(uint64_t buf_size) noexcept
{
    // Counted records hold at most qsize + one packet; a record takes at
    // most 1.6 times its length (96 bytes for 60); one wrap wastes less than
    // one record, and the record being written needs one more.
    constexpr uint64_t slack = 4 * queue_max_record;
    return buf_size > slack + 2 ? (buf_size - slack) * 5 / 8 : 1;
}

int no_room(pipe_state& p) noexcept
{
    const uint64_t t = p.prod_tail;
    const uint64_t next = queue_next(t, p.cur_len, p.buf_size);
    if (over_limit(p))
        return 1;
    if (!ring_fits(p.prod_head, t, next)) {
        p.prod_head = p.head.load(std::memory_order_acquire);  // QA2: pairs with QR2 in advance
        if (!ring_fits(p.prod_head, t, next))
            return 2;
    }
    queue_record* r = record_at(p, t);
    r->next = next;
    r->len = 0;
    return 0;
}

void enqueue(pipe_state& p) noexcept
{
    run_model(p, p.loss_slot);
    if (p.drop) {
        p.drop = 0;
        count_drop(p, drop_reason::loss);
        return;
    }
    if (no_room(p)) {
        // Let the consumer drain what is written so far, then try once more.
        publish_tail(p);
        usleep(1);
        p.prod_now = pipe_clock(p);
        if (const int full = no_room(p)) {
            count_drop(p, full == 1 ? drop_reason::queue_limit : drop_reason::buffer_full);
            return;
        }
    }
    run_model(p, p.bw_slot);
    p.qt_qout += p.cur_tx;
    const int bw_drop = p.drop;
    p.drop = 0;
    if (bw_drop) {
        p.qt_qout -= p.cur_tx;
        count_drop(p, drop_reason::policer);
        return;
    }
    if (!p.pushed_back) {
        run_model(p, p.delay_slot);
        p.cur_delay = p.cur_delay > p.delay_offset ? p.cur_delay - p.delay_offset : 0;
    }
    uint64_t a = p.qt_qout + p.cur_delay;
    const uint64_t e = p.qt_tx + p.cur_tx;
    if (a < e) {
        p.pushed_back = 1;
        if (p.drop_overlap) {
            p.qt_qout -= p.cur_tx;
            count_drop(p, drop_reason::overlap);
            return;
        }
        a = e;
    } else {
        p.pushed_back = 0;
    }
    p.qt_tx = a;

    queue_record* r = record_at(p, p.prod_tail);
    copy_packet(p, record_data(r));
    r->len = p.cur_len;
    r->qout = p.qt_qout;
    r->tx = p.qt_tx - p.cur_tx;
    p.prod_tail = r->next;
    if (p.qsize)
        p.queued_bytes += p.cur_len;
    counter_add(p.prod_stats->pkts, 1);
    counter_add(p.prod_stats->bytes, p.cur_len);
}

void hold_put(pipe_state& p) noexcept
{
    const uint64_t t = p.hold_tail;
    const uint64_t next = hold_next(t, p.cur_len, p.hold_limit);
    if (!ring_fits(p.hold_head, t, next)) {
        log_limited_as("prod", 1, "hold buffer full, drop %llu\n",
                       (unsigned long long)counter_read(p.prod_stats->drop_pkts) + 1);
        count_drop(p, drop_reason::buffer_full);
        return;
    }
    uint64_t release = p.prod_now + p.cur_hold;
    if (release == 0)
        release = 1;  // 0 marks an empty hold buffer
    counter_add(p.prod_stats->hold_pkts, 1);
    counter_add(p.prod_stats->hold_bytes, p.cur_len);
    hold_record* h = hold_at(p, t);
    copy_packet(p, reinterpret_cast<unsigned char*>(h + 1));
    h->len = p.cur_len;
    if (p.hold_head != t) {
        if (time_before(release, p.hold_last))
            release = p.hold_last;  // release times never decrease
    } else {
        p.hold_first = release;
    }
    h->release = release;
    p.cur_hold = release;
    p.hold_last = release;
    p.hold_tail = next;
}

void hold_take(pipe_state& p) noexcept
{
    hold_record* h = hold_at(p, p.hold_head);
    p.cur_pkt = reinterpret_cast<unsigned char*>(h + 1);
    p.cur_len = static_cast<uint32_t>(h->len);
    p.frags[0] = {p.cur_pkt, p.cur_len};
    p.n_frags = 1;
    counter_add(p.prod_rep.unhold_pkts, 1);
    counter_add(p.prod_rep.unhold_bytes, p.cur_len);
    p.hold_head = hold_next(p.hold_head, h->len, p.hold_limit);
    p.hold_ready = 0;
    if (p.hold_head == p.hold_tail) {
        p.hold_first = 0;
    } else {
        p.hold_first = hold_at(p, p.hold_head)->release;
        if (time_before(p.hold_first, p.prod_now))
            p.hold_ready = 1;
    }
    enqueue(p);
}

// Both sides store their own word, then a full barrier, then read the
// other's: either the consumer sees the new tail and does not sleep, or the
// producer sees it asleep and wakes it.  The producer's 0 also turns a
// futex wait that has not started yet into an immediate return.
// cons_asleep orders nothing else, so its loads and stores are relaxed: the
// two fences (QF) do the ordering, and the consumer reads tail (acquire)
// again once it is awake.
void publish_tail(pipe_state& p) noexcept
{
    // QR1: every record before prod_tail is written, header and bytes;
    // pairs with QA1 in cons_pass (cons.cc) and cons_sleep_until_published.
    p.tail.store(p.prod_tail, std::memory_order_release);
    // QF: pairs with the fence in cons_sleep_until_published.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (p.cons_asleep.load(std::memory_order_relaxed) != 0) [[unlikely]] {
        p.cons_asleep.store(0, std::memory_order_relaxed);
        syscall(SYS_futex, &p.cons_asleep, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    }
}

void cons_sleep_until_published(pipe_state& p, uint64_t head, uint64_t timeout_ns) noexcept
{
    p.cons_asleep.store(1, std::memory_order_relaxed);
    // QF: pairs with the fence in publish_tail.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (p.tail.load(std::memory_order_acquire) == head) {  // QA1: pairs with QR1 in publish_tail
        const timespec ts{time_t(timeout_ns / 1000000000u), long(timeout_ns % 1000000000u)};
        syscall(SYS_futex, &p.cons_asleep, FUTEX_WAIT_PRIVATE, 1, &ts, nullptr, 0);
    }
    p.cons_asleep.store(0, std::memory_order_relaxed);
}

}  // namespace corvo
