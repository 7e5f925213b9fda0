// Direction state of the link emulator.
//
// pipe_state is everything one direction (A: ifa -> ifb, B: ifb -> ifa)
// knows; it is process-private.  The models' run functions read and write
// it in the producer thread.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/lateness.hpp"
#include "pipe/model_contract.hpp"
#include "pipe/session_layout.hpp"

namespace netport {
struct port;
struct ring;
}  // namespace netport
namespace corvo {
struct arp_ring;      // route mode hand-off ring
struct route_config;  // a port's addresses and ARP table
}  // namespace corvo

namespace pipes {

struct pkt_frag {
    unsigned char* buf;
    uint32_t len;
};

inline constexpr int max_frags = 1000;

// The producer's account of the queue pages it gives back to the system.
// Chunks of [from, to) are released one per pass; mark is the chunk
// boundary up to which the queue was free at mark_time, when `written`
// record bytes had been queued.
struct queue_release_state {
    uint64_t from;
    uint64_t to;
    uint64_t mark;
    uint64_t mark_time;
    uint64_t written;
    int enabled;  // buffer large enough and not locked
};

// Why a frame was dropped, for the JSON report.  The producer drops for
// loss, policer, queue_limit, buffer_full (queue or hold buffer), overlap,
// oversize (9200 bytes or more, more than 1000 slots, or incomplete),
// not_routable (route mode: a frame too short for its headers) and short
// (under 60 bytes); the consumer for late, oversize (longer than the output
// port carries), not_routable (route mode: no route, not IPv4, broadcast,
// an IEEE 802.3 length frame) and port (refused by the output port).
enum class drop_reason : uint8_t {
    loss,
    policer,
    queue_limit,
    buffer_full,
    overlap,
    late,
    port,
    not_routable,
    oversize,
    short_frame,
};
inline constexpr int n_drop_reasons = 10;
// The report's name of each reason, by drop_reason.
inline constexpr const char* drop_reason_names[n_drop_reasons] = {
    "loss", "policer", "queue_limit",  "buffer_full", "overlap",
    "late", "port",    "not_routable", "oversize",    "short",
};

// Frames and bytes dropped by reason (one writer per block).
struct drop_counts {
    uint64_t pkts[n_drop_reasons];
    uint64_t bytes[n_drop_reasons];
};
inline void count_reason(drop_counts& c, drop_reason r, uint64_t bytes) noexcept
{
    counter_add(c.pkts[int(r)], 1);
    counter_add(c.bytes[int(r)], bytes);
}
// A dropped frame: counted by reason in c and in the session file's
// counters, refused by a port or too short in port_drop, the rest in drop.
// stats is null where there is no session file (ARP tests, fuzzers).
inline void count_drop(pipe_counters* stats, drop_counts& c, drop_reason r, uint64_t bytes) noexcept
{
    if (stats) {
        const bool at_port = r == drop_reason::port || r == drop_reason::short_frame;
        counter_add(at_port ? stats->port_drop_pkts : stats->drop_pkts, 1);
        counter_add(at_port ? stats->port_drop_bytes : stats->drop_bytes, bytes);
    }
    count_reason(c, r, bytes);
}

// The producer's part of the report: every frame it takes from the
// receive ring, what leaves the hold buffer, ARP frames route mode hands
// over, its drops, and (report_on) the most queued at the end of a pass.
struct alignas(line_bytes) prod_report {
    uint64_t rx_pkts;
    uint64_t rx_bytes;
    uint64_t unhold_pkts;  // taken out of the hold buffer into enqueue
    uint64_t unhold_bytes;
    uint64_t arp_pkts;  // ARP frames handed to the other direction
    uint64_t arp_bytes;
    drop_counts drops;
    uint64_t peak_pkts;  // raised by the producer, taken (zeroed) by main
    uint64_t peak_bytes;
};

// The consumer's part: every record it takes from the queue (sent or
// dropped), its drops, and (report_on) the lateness of the frames sent.
struct alignas(line_bytes) cons_report {
    uint64_t taken_pkts;
    uint64_t taken_bytes;
    drop_counts drops;
    alignas(line_bytes) common::lateness::histogram late;
};

// One direction.  Value-initialise it (pipe_state p{}); all times are ns
// since t0 in wrapping 64-bit arithmetic.
//
// Fields are grouped by writer, each group starting on its own line:
//   configuration  written by main before the direction's threads start,
//                  and by corvo_main before it starts the producer; read
//                  by both threads, written by neither afterwards;
//   producer       written at start-up, then only by the producer thread
//                  (prod, enqueue, the hold buffer, the models' run
//                  functions, instance switches); once the producer runs,
//                  the consumer never reads them;
//   maxima         raised by the producer, read and zeroed by main once a
//                  second;
//   consumer       written and read by the consumer thread only;
//   ring indices   tail, head and cons_asleep, each alone on its line.
struct alignas(line_bytes) pipe_state {
    // Configuration.
    int wait_link;                   // s between opening ports and starting threads
    int route_mode;                  // non-zero in route mode
    pthread_t cons_tid;              // the corvo_main thread
    pthread_t prod_tid;              // the producer thread
    int cons_core;                   // -1 = not placed
    int prod_core;                   // -1 = not placed
    netport::port* port_in;          // port this direction receives from
    netport::port* port_out;         // port it transmits on
    corvo::arp_ring* arp_cons_ring;  // drained by this direction's consumer
    corvo::arp_ring* arp_prod_ring;  // filled by this direction's producer
    corvo::route_config* out_if;     // output port's addresses and ARP table
    corvo::route_config* in_if;      // input port's addresses
    uint64_t late_limit;             // ns of lateness beyond which to drop
    uint64_t t0;                     // monotonic clock when corvo_main started
    uint64_t buf_size;               // bytes of the queue buffer
    unsigned char* buf;              // the queue buffer
    session_area* session;           // this direction's area of the layout
    uint64_t param_used[2];          // bytes used in each instance's params (start-up)
    pipe_counters* prod_stats;       // producer counters
    netport::port* rx_port;          // port whose receive ring the producer syncs
    const char* in_name;             // input port name
    netport::ring* rx_ring;          // the receive ring used
    int burst;                       // packets per pass / transmissions per txsync
    unsigned char* hold_buf;         // the hold buffer
    uint64_t hold_limit;             // hold buffer wrap point (size - 9216)
    int lock_buffers;                // -H: buffers are locked in memory, never given back
    const char* out_name;            // output port name
    pipe_counters* cons_stats;       // consumer counters
    int report_on;                   // --json: record lateness and queue peaks

    // Producer.
    alignas(line_bytes) uint32_t cur_instance;  // instance being written / in force
    uint64_t qsize;                             // queue limit in bytes, 0 = unlimited
    model_spec delay_slot;
    model_spec bw_slot;
    model_spec loss_slot;
    model_spec reorder_slot;
    uint64_t acct_head;            // queue offset of the oldest counted record
    uint64_t queued_bytes;         // bytes in the emulated bottleneck queue
    uint64_t prod_head;            // producer's copy of head
    uint64_t prod_tail;            // queue offset of the next record
    uint64_t prod_now;             // producer clock
    unsigned short rand_state[3];  // nrand48 state of every random model
    uint64_t qt_qout;              // bottleneck has sent the last accepted packet
    uint64_t qt_tx;                // arrival time of the last accepted packet
    unsigned char* cur_pkt;        // first buffer of the current packet
    uint32_t cur_len;              // bytes of the current packet
    pkt_frag frags[max_frags];     // buffers of the current packet
    int n_frags;                   // entries used in frags
    int drop;                      // loss and bandwidth models: 1 = drop
    uint64_t cur_tx;               // serialisation time (bandwidth model)
    uint64_t cur_delay;            // delay (delay model)
    int drop_overlap;              // drop instead of pushing a packet back
    int pushed_back;               // previous packet was pushed back
    uint64_t delay_offset;         // subtracted from each new delay
    uint64_t cur_hold;             // hold time (reorder model), then release time
    uint64_t hold_tail;            // write offset in the hold buffer
    uint64_t hold_head;            // read offset in the hold buffer
    uint64_t hold_first;           // release time of the oldest held packet, 0 = empty
    uint64_t hold_last;            // release time of the newest held packet
    int hold_ready;                // oldest held packet is due
    queue_release_state release;   // consumed queue pages given back (started by corvo_main)
    // The producer's part of the JSON report (--json), read by main, which
    // also takes (zeroes) the queue peaks.
    prod_report prod_rep;

    // Maxima.
    alignas(line_bytes) std::atomic<uint64_t> max_round;  // ns; producer raises it, main reads and zeroes it
    std::atomic<int> max_rxq;                             // producer raises it, main reads and zeroes it

    // Consumer.
    alignas(line_bytes) uint64_t cons_now;  // consumer clock
    // The consumer's part of the JSON report, read by main.
    cons_report cons_rep;

    // Ring indices, each alone on its line.  tail: written by the producer
    // (release QR1 in publish_tail), read by the consumer (acquire QA1);
    // head: the reverse (release QR2 in advance, acquire QA2 in free_ahead
    // and no_room).
    alignas(line_bytes) std::atomic<uint64_t> tail;
    alignas(line_bytes) std::atomic<uint64_t> head;
    // 1 while the consumer sleeps on an empty queue (a futex word): the
    // producer wakes it when it publishes tail.
    alignas(line_bytes) std::atomic<uint32_t> cons_asleep;
};

static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(alignof(pipe_state) == line_bytes && sizeof(pipe_state) % line_bytes == 0);
// Each group starts a line; the maxima have one line; the consumer's clock
// has its line, followed by its report's lines.
static_assert(offsetof(pipe_state, wait_link) == 0);
static_assert(offsetof(pipe_state, cur_instance) % line_bytes == 0);
static_assert(offsetof(pipe_state, prod_rep) % line_bytes == 0);
static_assert(offsetof(pipe_state, max_round) % line_bytes == 0);
static_assert(offsetof(pipe_state, cons_now) == offsetof(pipe_state, max_round) + line_bytes);
static_assert(offsetof(pipe_state, cons_rep) == offsetof(pipe_state, cons_now) + line_bytes);
static_assert(offsetof(pipe_state, tail) == offsetof(pipe_state, cons_rep) + sizeof(cons_report));
static_assert(sizeof(cons_report) % line_bytes == 0);
static_assert(offsetof(pipe_state, head) == offsetof(pipe_state, tail) + line_bytes);
static_assert(offsetof(pipe_state, cons_asleep) == offsetof(pipe_state, head) + line_bytes);
static_assert(sizeof(pipe_state) == offsetof(pipe_state, cons_asleep) + line_bytes);
static_assert(std::atomic<uint32_t>::is_always_lock_free && sizeof(std::atomic<uint32_t>) == 4);

// The four slots of a direction, by model_kind (the order of model_list).
inline model_spec& pipe_slot(pipe_state& p, int kind) noexcept
{
    static constexpr model_spec pipe_state::*slots[n_model_kinds] = {
        &pipe_state::delay_slot, &pipe_state::bw_slot, &pipe_state::loss_slot, &pipe_state::reorder_slot};
    return p.*slots[kind];
}

// The instance a direction writes (at start-up) or has in force.
inline session_instance& cur_instance_of(pipe_state& p) noexcept
{
    return p.session->instance[p.cur_instance];
}

// Process-wide stop flag: 0 while running; any thread, the SIGINT handler or
// a stop command stores 1.  Nothing stores 0 after start-up.
extern std::atomic<uint8_t> abort_flag;
static_assert(std::atomic<uint8_t>::is_always_lock_free);

// A zero-filled private layout with version 1, or null (logged) when the
// memory cannot be mapped.  It lives until the process ends.
session_layout* session_private();
// Unmaps a layout made by session_private (tests only; corvo never does).
void session_unmap(session_layout* layout);

// Binds direction d (0 = A, 1 = B) to its area of layout and to instance i,
// which it will write: clears param_used and the four descriptors' present,
// and points the four slots' slot_desc at them.  Nothing else is cleared.
void session_attach(pipe_state& p, session_layout* layout, int d, uint32_t i);

// Start-up state of a slot: null_run, text "0", everything else zero.
void slot_reset(model_spec& slot);

}  // namespace pipes
