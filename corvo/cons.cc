// Per-direction driver and consumer: prepares the direction, starts its
// producer and sends each queued packet on the output port when it is due.
#include <pthread.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/log.hpp"
#include "common/numarg.hpp"
#include "corvo/arp.hpp"
#include "corvo/datapath.hpp"
#include "netport/netport.hpp"

using namespace common;
using namespace pipes;

namespace corvo {

namespace {

// Address space for a buffer of size bytes, aligned to release_chunk so
// that whole chunks can be given back: pages come in as they are written,
// and with lock they are faulted in and locked at once.  Null (logged when
// the lock fails) when it cannot be had.
unsigned char* map_buffer(uint64_t size, const char* what, bool lock)
{
    if (size == 0 || size == invalid_count || size > UINT64_MAX / 2)
        return nullptr;
    const uint64_t span = size + release_chunk;
    void* m = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (m == MAP_FAILED)
        return nullptr;
    const uintptr_t at = reinterpret_cast<uintptr_t>(m);
    const uintptr_t start = (at + release_chunk - 1) & ~uintptr_t(release_chunk - 1);
    const uintptr_t end = start + page_round(size);
    if (start > at)
        munmap(m, start - at);
    if (at + span > end)
        munmap(reinterpret_cast<void*>(end), at + span - end);
    auto* buf = reinterpret_cast<unsigned char*>(start);
    if (lock && mlock(buf, size) != 0) {
        log_msg("cannot lock the %llu bytes of the %s: %s\n", (unsigned long long)size, what,
                strerror(errno));
        munmap(buf, size);
        return nullptr;
    }
    return buf;
}

void count_drop(pipe_state& p, const queue_record& r, drop_reason why) noexcept
{
    pipes::count_drop(p.cons_stats, p.cons_rep.drops, why, r.len);
}

// Longest single sleep while the queue holds only future records: the
// loop still looks at abort_flag and the clock this often.
constexpr uint64_t max_nap_ns = 200000;
// Route mode: naps of an empty queue start here and double while it stays
// empty, up to the smaller of empty_nap_cap and half the late limit.
constexpr uint64_t first_empty_nap = 5000;
constexpr uint64_t empty_nap_cap = 50000;
// Longest sleep on an empty queue outside route mode (a publication ends it
// sooner); abort_flag is seen this often.
constexpr uint64_t empty_wait_ns = 1000000;
// Never spin longer than this before a due time.
constexpr uint64_t max_spin_ns = 50000;

// Sleeps about `ns` and tracks how much longer sleeps really last: quick
// to rise, slow to fall, so the margin covers the late wake-ups rather
// than the typical one (at most max_spin_ns).
void nap(cons_loop_state& st, uint64_t ns) noexcept
{
    const uint64_t t0 = mono_ns();
    const timespec ts{time_t(ns / 1000000000u), long(ns % 1000000000u)};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, nullptr);
    const uint64_t slept = mono_ns() - t0;
    const uint64_t over = slept > ns ? slept - ns : 0;
    const uint64_t o = over < max_spin_ns ? over : max_spin_ns;
    if (o > st.oversleep)
        st.oversleep += (o - st.oversleep) / 2;
    else
        st.oversleep -= (st.oversleep - o) / 32;
}

// Transmit sync: what was injected leaves now, and (report_on) the
// frames sent since the last sync are as late as this moment makes them.
// One clock reading serves the whole batch and, with want_now, the caller:
// returns it, or 0 when the clock was not read.
uint64_t sync_out(pipe_state& p, cons_loop_state& st, bool want_now = false) noexcept
{
    netport::nmport_txsync(p.port_out);
    st.pending = 0;
    if (st.n_due == 0 && !want_now)
        return 0;
    const uint64_t at = pipe_clock(p);
    for (uint32_t k = 0; k < st.n_due; ++k)
        lateness::record(p.cons_rep.late, time_before(at, st.due[k]) ? 0 : at - st.due[k]);
    st.n_due = 0;
    return at;
}

// The record at head is done with.
inline void advance(pipe_state& p, cons_loop_state& st, const queue_record& r) noexcept
{
    counter_add(p.cons_rep.taken_pkts, 1);
    counter_add(p.cons_rep.taken_bytes, r.len);
    st.retry = 0;
    // QR2: the record is read (sent or dropped); pairs with QA2 in
    // free_ahead and no_room (queue.cc), after which the producer may write
    // over it.
    p.head.store(r.next, std::memory_order_release);
}

// Runs the consumer loop until abort_flag is set.
void cons(pipe_state& p)
{
    cons_loop_state st;
    cons_init(p, st);
    while (!abort_flag.load(std::memory_order_relaxed))
        cons_pass(p, st);
    // Frames counted as sent leave before the thread ends.
    if (st.pending > 0)
        sync_out(p, st);
    log_tagged("exiting on abort\n");
}

// Allocation failure or no producer: nothing of the direction can run.
[[noreturn]] void give_up_and_exit(pipe_state& p)
{
    netport::nmport_close(p.port_in);
    netport::nmport_close(p.port_out);
    abort_flag.store(1);
    _exit(1);
}

}  // namespace

uint64_t page_round(uint64_t bytes) noexcept
{
    const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

uint64_t queue_buf_size(uint64_t qsize, uint64_t max_delay, uint64_t max_bps) noexcept
{
    const double bw = double(max_bps ? max_bps : default_bps);
    const uint64_t span = max_delay + 1000000;
    if (span < max_delay)
        return invalid_count;
    return to_count((double(qsize) + double(span) * bw / 1000000000 * 0.125 + 27600) * 1.625, 0);
}

uint64_t hold_buf_size(uint64_t max_hold, uint64_t max_bps) noexcept
{
    if (max_hold == 0)
        return 0;
    const double bw = double(max_bps ? max_bps : default_bps);
    const uint64_t span = max_hold + 1000000;
    if (span < max_hold)
        return invalid_count;
    return to_count((double(span) * bw / 1000000000 * 0.125 + 27600) * 1.375, 0);
}

bool cons_prepare(pipe_state& p)
{
    const session_area& s = *p.session;
    char qtext[64], htext[64] = "0";

    const uint64_t qbytes = queue_buf_size(p.qsize, s.max_delay, s.max_bps);
    scaled_str(qbytes, qtext);
    p.buf = map_buffer(qbytes, "queue buffer", p.lock_buffers);
    if (!p.buf) {
        log_msg("alloc %s bytes for queue failed, exiting\n", qtext);
        return false;
    }
    p.buf_size = qbytes;
    queue_release_init(p);

    if (s.max_hold != 0) {
        const uint64_t hbytes = hold_buf_size(s.max_hold, s.max_bps);
        scaled_str(hbytes, htext);
        p.hold_buf = map_buffer(hbytes, "hold buffer", p.lock_buffers);
        if (!p.hold_buf || hbytes <= hold_reserve) {
            log_msg("alloc %s bytes for hold-buf failed, exiting\n", htext);
            return false;
        }
        p.hold_limit = hbytes - hold_reserve;
    }

    log_msg(
        "----\n\t%s -> %s :  bps %lld delay %s loss %s reorder %s queue %lld bytes\n"
        "\tbuffer   %s bytes\n\thold-buf %s bytes\n",
        p.in_name, p.out_name, (long long)s.max_bps, p.delay_slot.text, p.loss_slot.text, p.reorder_slot.text,
        (long long)p.qsize, qtext, htext);
    return true;
}

void cons_init(pipe_state& p, cons_loop_state& st) noexcept
{
    st = cons_loop_state{};
    st.max_frame = p.port_out ? netport::nmport_max_frame(p.port_out) : 0;
    p.cons_now = pipe_clock(p);
}

bool cons_pass(pipe_state& p, cons_loop_state& st) noexcept
{
    if (p.route_mode)
        st.pending += arp_drain(p);
    const uint64_t h = p.head.load(std::memory_order_relaxed);  // our own word
    uint64_t wait = 0;  // until the record at head falls due; 0: queue empty
    // QA1: pairs with QR1 in publish_tail (queue.cc): the records before
    // tail are complete.
    if (h != p.tail.load(std::memory_order_acquire)) {
        queue_record& r = *record_at(p, h);
        wait = r.tx - p.cons_now;
        st.idle_nap = 0;
        if (!time_before(p.cons_now, r.tx)) {
            if (p.cons_now - r.tx > p.late_limit || r.len > st.max_frame) {
                // Late, or longer than the port can ever carry.
                count_drop(p, r, r.len > st.max_frame ? drop_reason::oversize : drop_reason::late);
                advance(p, st, r);
                return true;
            }
            if (p.route_mode && !st.retry) {
                const mac_result m = cons_update_macs(p, record_data(&r), uint32_t(r.len));
                if (m.verdict == mac_verdict::skip) {
                    // Not counted in the drops of the session file.
                    count_reason(p.cons_rep.drops, drop_reason::not_routable, r.len);
                    advance(p, st, r);
                    return true;
                }
                if (m.verdict == mac_verdict::drop) {
                    count_drop(p, r, drop_reason::not_routable);
                    advance(p, st, r);
                    return true;
                }
                st.pending += m.requests;
            }
            const int sent = netport::nmport_inject(p.port_out, record_data(&r), r.len);
            if (sent == 0) {
                // Transmit ring full: sync and try the same record again.
                p.cons_now = sync_out(p, st, true);
                st.retry = 1;
                return false;
            }
            if (sent < 0) {
                // Dropped by the port (its reason is in the port's drops).
                count_drop(p, r, drop_reason::port);
                advance(p, st, r);
                return true;
            }
            counter_add(p.cons_stats->pkts, 1);
            counter_add(p.cons_stats->bytes, r.len);
            if (p.report_on)
                st.due[st.n_due++] = r.tx;
            if (st.pending >= p.burst)
                sync_out(p, st);
            else
                st.pending += 1;
            advance(p, st, r);
            return true;
        }
    }
    // Idle: flush pending injections at once.  A record due sooner than a
    // sleep really lasts is waited for on the clock; one due later is
    // slept for until shortly before; on an empty queue the consumer sleeps
    // until the producer publishes (route mode: naps briefly).
    if (st.pending > 0) {
        p.cons_now = sync_out(p, st, true);
        return false;
    }
    if (wait == 0 && !p.route_mode) {
        // Empty: the producer wakes us when it publishes a record.
        cons_sleep_until_published(p, h, empty_wait_ns);
    } else if (wait == 0) {
        // Route mode: ARP frames handed over by the other direction arrive
        // without a wake-up.  Every wake-up costs about as much as a short
        // sleep lasts, so a queue that stays empty is looked at less and
        // less often.
        const uint64_t cap = p.late_limit / 2 < empty_nap_cap ? p.late_limit / 2 : empty_nap_cap;
        st.idle_nap = st.idle_nap < first_empty_nap ? first_empty_nap : st.idle_nap;
        const timespec ts{0, long(st.idle_nap)};
        clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, nullptr);
        st.idle_nap = 2 * st.idle_nap < cap ? 2 * st.idle_nap : cap;
    } else if (wait > st.oversleep + 2000) {
        const uint64_t ns = wait - st.oversleep - 2000;
        nap(st, ns < max_nap_ns ? ns : max_nap_ns);
    }
    p.cons_now = pipe_clock(p);
    return false;
}

void* corvo_main(void* arg)
{
    pipe_state& p = *static_cast<pipe_state*>(arg);
    log_never_wait();
    thread_timer_slack();
    setaffinity(p.cons_core);
    p.t0 = mono_ns();
    if (!cons_prepare(p))
        give_up_and_exit(p);
    p.rx_port = p.port_in;
    const int err = pthread_create(&p.prod_tid, nullptr, prod, &p);
    if (err != 0) {
        log_tagged("cannot start the producer thread: %s\n", strerror(err));
        give_up_and_exit(p);
    }
    cons(p);
    log_tagged("exiting on abort\n");
    return nullptr;
}

}  // namespace corvo
