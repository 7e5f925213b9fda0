// The replay thread: placement, capture, queue, port, then the consumer that
// sends every entry when it falls due and replays the queue pass after pass.
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/clock.hpp"
#include "common/log.hpp"
#include "wenlo/replay.hpp"

using namespace common;

namespace wenlo {

void setaffinity(int core)
{
    cpu_set_t set;  // 1024 CPUs
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    int err = pthread_setaffinity_np(pthread_self(), sizeof set, &set);
    if (err != 0)
        log_msg("--WWW-- Unable to set affinity: %s\n", strerror(err));
    if (setpriority(PRIO_PROCESS, 0, -10) != 0)
        log_msg("--WWW-- Unable to set priority: %s\n", strerror(errno));
    sched_param sp{};
    sp.sched_priority = 10;
    if (sched_setscheduler(0, SCHED_RR, &sp) != 0)
        log_msg("--WWW-- Unable to set scheduler: %s\n", strerror(errno));
}

namespace {

// Longest single sleep before a future entry: abort_flag is still seen
// this often.
constexpr uint64_t max_nap_ns = 200000;

// How long before an entry falls due the consumer stops sleeping and waits
// on the clock.  It follows the longest recent overshoot of a sleep, since
// the late wake-ups are what make entries late, not the usual ones: a
// longer overshoot raises it at once, shorter ones lower it by 1/256 of the
// difference each, so one late wake-up counts for a few hundred sleeps.
// It starts at the cap: until sleeps have shown how long they last, gaps
// shorter than the cap are waited on the clock.  The cap keeps an idle
// consumer asleep through long gaps.
struct nap_margin {
    static constexpr uint64_t cap_ns = 1000000;
    static constexpr uint64_t spare_ns = 2000;  // added to the overshoot
    uint64_t ns = cap_ns;

    void observe(uint64_t over)
    {
        over = over < cap_ns - spare_ns ? over + spare_ns : cap_ns;
        if (over >= ns)
            ns = over;
        else
            ns -= (ns - over + 255) / 256;
    }
};

// Sleeps about `ns` and reports to `margin` how much longer it really lasted.
void nap(uint64_t ns, nap_margin& margin)
{
    const uint64_t t0 = monotonic_ns();
    const timespec ts{static_cast<time_t>(ns / 1000000000u), static_cast<long>(ns % 1000000000u)};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, nullptr);
    const uint64_t slept = monotonic_ns() - t0;
    margin.observe(slept > ns ? slept - ns : 0);
}

}  // namespace

bool cons(replay_state& rs)
{
    log_never_wait();
    unsigned char* const q = rs.queue.get();
    netport::port* const port = rs.port;
    const uint64_t max_frame = netport::nmport_max_frame(port);
    int burst_count = 0;
    uint64_t last_tx = 0;
    bool warned_long = false;
    nap_margin margin;
    bool stopped = false;  // a limit of the run was reached

    while (abort_flag.load(std::memory_order_relaxed) == 0) {
        const uint64_t head = rs.cons_head;
        uint64_t next;
        std::memcpy(&next, q + head, sizeof next);
        __builtin_prefetch(q + next);
        if (head == rs.cons_tail) {
            // End of the queue: the next pass starts where this one ended.
            rs.t0 += last_tx;
            rs.cons_now = monotonic_ns() - rs.t0;
            rs.cons_head = 0;
            rs.ctl.new_pass(rs.t0 + rs.cons_now);
            bump(rs.pass, 1);
            continue;
        }
        const queue_entry e = load_entry(q, head);
        if (rs.ctl.ends_before(rs.t0 + e.tx)) {
            stopped = true;
            break;
        }
        last_tx = e.tx;
        if (const int64_t wait = static_cast<int64_t>(e.tx - rs.cons_now); wait > 0) {
            // Sleep until the margin before the entry falls due; nearer than
            // that, wait on the clock.
            netport::nmport_txsync(port);
            burst_count = 0;
            if (static_cast<uint64_t>(wait) > margin.ns) {
                const uint64_t ns = static_cast<uint64_t>(wait) - margin.ns;
                nap(ns < max_nap_ns ? ns : max_nap_ns, margin);
            }
            rs.cons_now = monotonic_ns() - rs.t0;
        } else if (int r =
                       e.len <= max_frame ? netport::nmport_inject(port, q + head + entry_align, e.len) : -1;
                   r > 0) {
            if (burst_count < rs.burst) {
                burst_count++;
            } else {
                netport::nmport_txsync(port);
                burst_count = 0;
            }
            rs.cons_head = e.next;
            rs.sent.fetch_add(1, std::memory_order_relaxed);
            rs.cons_now =
                rs.ctl.on_sent(q + head + entry_align, e.len, rs.t0 + e.tx, rs.t0 + rs.cons_now, rs.late) -
                rs.t0;
            bump(rs.sent_bytes, e.len);
            if (rs.report_on) {
                // The clock reading on_sent already made: no second one per packet.
                rs.drift.store(static_cast<int64_t>(rs.cons_now - e.tx), std::memory_order_relaxed);
            }
        } else if (r < 0 && e.len > max_frame) [[unlikely]] {
            // The port can never carry it: skip instead of retrying for ever.
            if (!warned_long) {
                log_msg("--WWW-- packet len %lu does not fit the port (at most %lu bytes), skipped\n",
                        static_cast<unsigned long>(e.len), static_cast<unsigned long>(max_frame));
                warned_long = true;
            }
            rs.skipped.fetch_add(1, std::memory_order_relaxed);
            bump(rs.skipped_bytes, e.len);
            rs.cons_head = e.next;
            rs.ctl.on_skipped(q + head + entry_align);
        } else if (r < 0) [[unlikely]] {
            // Dropped by the port: its reasons go to the monitor.
            const netport::port_drops d = netport::nmport_drops(port);
            // The reason whose count grew takes the packet's bytes.
            if (d.peer_absent != rs.port_no_peer.load(std::memory_order_relaxed))
                bump(rs.no_peer_bytes, e.len);
            else if (d.too_short != rs.port_too_short.load(std::memory_order_relaxed))
                bump(rs.too_short_bytes, e.len);
            else if (d.damaged != rs.port_damaged.load(std::memory_order_relaxed))
                bump(rs.damaged_bytes, e.len);
            rs.port_no_peer.store(d.peer_absent, std::memory_order_relaxed);
            rs.port_too_short.store(d.too_short, std::memory_order_relaxed);
            rs.port_damaged.store(d.damaged, std::memory_order_relaxed);
            rs.cons_head = e.next;
            rs.ctl.on_passed(q + head + entry_align);
        } else {
            log_limited(1, "inject failed len %d now %ld tx %ld h %ld t %ld next %ld\n",
                        static_cast<int>(e.len), static_cast<long>(rs.cons_now), static_cast<long>(e.tx),
                        static_cast<long>(rs.head), static_cast<long>(rs.tail), static_cast<long>(e.next));
            netport::nmport_txsync(port);
            burst_count = 0;
        }
    }
    if (!stopped)
        log_tagged("exiting on abort\n");
    return stopped;
}

void* wenlo_main(void* arg)
{
    replay_state& rs = *static_cast<replay_state*>(arg);
    // Short sleeps should last about what they ask also without real-time.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if (rs.core != -1)
        setaffinity(rs.core);
    bool ok = false;
    if (rs.pcap_name == nullptr) {
        // nothing to replay
    } else if (!load_capture(rs)) {
        log_msg("--EEE-- unable to read file %s\n", rs.pcap_name);
    } else if (!build_queue(rs)) {
        // pcap_prod has logged
    } else {
        rs.pcap.reset();
        rs.port = netport::nmport_open(rs.ifname);
        if (rs.port == nullptr) {
            log_msg("--EEE-- cannot open netmap on %s\n", rs.ifname);
        } else {
            ok = true;
            log_msg("--WWW-- prepare to send packets\n");
            usleep(1000);
            rs.t0 = monotonic_ns();
            rs.cons_now = monotonic_ns() - rs.t0;
            bump(rs.pass, 1);
            rs.cons_head = rs.head;
            rs.cons_tail = rs.tail;
            start_run(rs);
            const bool stopped = cons(rs);
            report_run(rs, stopped);
            if (!stopped)
                log_msg("--EEE-- exiting on abort\n");
        }
    }
    rs.pcap.reset();
    if (!ok)
        rs.failed.store(true);
    abort_flag.store(1);
    rs.ended.store(true, std::memory_order_release);
    return nullptr;
}

}  // namespace wenlo
