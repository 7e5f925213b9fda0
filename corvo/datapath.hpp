// The data path of one direction: its consumer thread (corvo_main, which
// also prepares the direction and starts the producer), its producer thread
// (prod) and thread placement.
//
// Times on the data path are ns of CLOCK_MONOTONIC since the direction's
// t0, in wrapping 64-bit arithmetic.  Log stamps stay on the wall clock.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/clock.hpp"
#include "corvo/queue.hpp"
#include "pipe/pipe_state.hpp"

namespace corvo {

// Thread entry of a direction; arg is its pipe_state*.  Places the thread on
// cons_core, sets t0, allocates the queue (and hold) buffer, logs the
// banner, starts prod and runs the consumer loop until abort_flag is set.
// A buffer or thread failure logs, sets abort_flag and ends the process
// with status 1.
void* corvo_main(void* arg);

// Producer thread entry; arg is the pipe_state*.  Started by corvo_main.
void* prod(void* arg);

// Binds the calling thread to cpu and raises it to SCHED_RR at the highest
// priority; -1 leaves everything as it is.  Failures are logged and ignored.
void setaffinity(int cpu);

// Every worker thread calls this first: timer slack of 1 ns, so that the
// short sleeps of the polling loops stay short.
void thread_timer_slack();

// ---------------------------------------------------------------------------
// Clock.

// The source of mono_ns: monotonic_ns unless a test replaces it.
using clock_fn = uint64_t() noexcept;
inline std::atomic<clock_fn*> datapath_clock{common::monotonic_ns};

// Monotonic ns (the source of t0 and of every data-path reading).
inline uint64_t mono_ns() noexcept { return datapath_clock.load(std::memory_order_relaxed)(); }
// Tests replace the source; null restores CLOCK_MONOTONIC.
inline void set_datapath_clock(clock_fn* fn) noexcept
{
    datapath_clock.store(fn ? fn : common::monotonic_ns, std::memory_order_relaxed);
}
// mono_ns() - t0.
inline uint64_t pipe_clock(const pipes::pipe_state& p) noexcept { return mono_ns() - p.t0; }

// Frames and bytes in the queue and the hold buffer now: queued plus held,
// less what left the hold buffer and what the consumer took.  The consumer
// counts a record taken only after the producer counted it, so reading the
// consumer first never gives a negative amount.
struct queued_amount {
    uint64_t pkts;
    uint64_t bytes;
};
inline queued_amount queued_now(const pipes::pipe_state& p) noexcept
{
    const uint64_t taken_pkts = pipes::counter_read(p.cons_rep.taken_pkts);
    const uint64_t taken_bytes = pipes::counter_read(p.cons_rep.taken_bytes);
    const pipes::pipe_counters& c = *p.prod_stats;
    const pipes::prod_report& r = p.prod_rep;
    return {pipes::counter_read(c.pkts) + pipes::counter_read(c.hold_pkts) - pipes::counter_read(r.unhold_pkts) -
                taken_pkts,
            pipes::counter_read(c.bytes) + pipes::counter_read(c.hold_bytes) -
                pipes::counter_read(r.unhold_bytes) - taken_bytes};
}

// ---------------------------------------------------------------------------
// Steps of start-up, also used by tests.

// Rate in bit/s the buffers are sized for when a direction has no max_bps.
inline constexpr uint64_t default_bps = 200000000000;

// bytes rounded up to whole pages.
uint64_t page_round(uint64_t bytes) noexcept;

// Buffer sizes from the direction's session limits (bw 0 = default_bps).
uint64_t queue_buf_size(uint64_t qsize, uint64_t max_delay, uint64_t max_bps) noexcept;
uint64_t hold_buf_size(uint64_t max_hold, uint64_t max_bps) noexcept;  // 0 when max_hold is 0

// Reserves the queue buffer and, when max_hold is set, the hold buffer as
// address space whose pages come in as they are written (locked at once
// with lock_buffers); sets buf, buf_size, hold_buf, hold_limit and starts
// the release account.  false (logged) when a mapping or lock fails.  Then
// logs the banner.
bool cons_prepare(pipes::pipe_state& p);

// ---------------------------------------------------------------------------
// Producer.

// Reads active_instance: a stop command sets abort_flag; a new instance is
// validated and its four models, drop_overlap, delay_offset and qsize
// are loaded.
void instance_check(pipes::pipe_state& p) noexcept;

// Loads instance i into the four slots and the direction's parameters.
void apply_instance(pipes::pipe_state& p, uint32_t i) noexcept;

// Producer start: prod_now, qt_tx and qt_qout from the clock.
void prod_init(pipes::pipe_state& p) noexcept;

// One pass of the producer: receive sync and instance check, wait for work
// (only when wait is true: otherwise the wait ends after one idle round),
// then up to burst packets, then publish tail and give back consumed
// queue pages (queue_release).  Returns the packets taken
// from the ring or the hold buffer.
int prod_pass(pipes::pipe_state& p, bool wait = true) noexcept;

// ---------------------------------------------------------------------------
// Consumer.

// Most frames sent between two transmit syncs: a burst (at most 8192)
// and the one that reaches it.
inline constexpr uint32_t max_unsynced = 8193;

struct cons_loop_state {
    int pending = 0;     // injections since the last transmit sync
    uint32_t n_due = 0;  // report_on: frames sent since the last sync, and their due times
    uint64_t due[max_unsynced];
    int retry = 0;               // the record at head is being tried again
    uint64_t max_frame = 0;      // largest frame port_out carries
    uint64_t oversleep = 30000;  // how much longer than asked a sleep lasts (ns, tracked)
    uint64_t idle_nap = 0;       // next nap while the queue is empty (ns)
};

// Prepares the loop state (cons_now from the clock, the port's frame limit).
void cons_init(pipes::pipe_state& p, cons_loop_state& st) noexcept;

// One iteration of the consumer loop.  Returns true when it sent or
// dropped a record, false when it went idle.
bool cons_pass(pipes::pipe_state& p, cons_loop_state& st) noexcept;

}  // namespace corvo
