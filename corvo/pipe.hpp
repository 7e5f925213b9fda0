// Direction state and session layout of the link emulator.
//
// pipe_state is everything one direction (A: ifa -> ifb, B: ifb -> ifa)
// knows; it is process-private.  The session layout is a 525184-byte block
// of plain fixed-width fields, either a shared file that other corvo
// processes map, or private memory of the same layout.  It holds the four
// counter blocks, and per direction the limits, the index of the instance in
// force and two parameter instances.  Nothing in it is a pointer or an
// std::atomic: words shared between threads or processes are reached through
// std::atomic_ref at the point of access.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "common/lateness.hpp"
#include "models/model.hpp"

namespace netport {
struct port;
struct ring;
}  // namespace netport
struct arp_ring;      // route mode hand-off ring
struct route_config;  // a port's addresses and ARP table

// Two 64-byte cache lines: the adjacent-line prefetcher pulls lines in
// pairs, so words of different writers must be 128 bytes apart.
inline constexpr std::size_t line_bytes = 128;

template <typename T>
concept layout_record = std::is_standard_layout_v<T> && std::is_trivially_copyable_v<T>;

// A 64-bit word of the session layout shared between threads or processes.
using shared_word = std::atomic_ref<uint64_t>;
static_assert(shared_word::is_always_lock_free);
static_assert(shared_word::required_alignment <= alignof(uint64_t));
static_assert(std::atomic_ref<uint32_t>::is_always_lock_free);

// ---------------------------------------------------------------------------
// Session layout.

// Counters of one thread: one writer, read by main and by other processes.
struct pipe_counters {
    uint64_t pkts;        // producer: enqueued; consumer: sent
    uint64_t bytes;
    uint64_t drop_pkts;   // producer: dropped by enqueue; consumer: late/undeliverable
    uint64_t drop_bytes;
    uint64_t hold_pkts;   // producer: put into the hold buffer
    uint64_t hold_bytes;
    // Frames dropped at a port, apart from drop_pkts.  Producer: received
    // shorter than 60 bytes (a shared-memory link carries them), skipped;
    // consumer: dropped by the output port (no peer attached, link damaged).
    uint64_t port_drop_pkts;
    uint64_t port_drop_bytes;
    uint64_t spare[8];    // always 0
};

// The single writer of a counter adds to it (no read-modify-write needed).
inline void counter_add(uint64_t& c, uint64_t n) noexcept {
    shared_word w(c);
    w.store(w.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}
inline uint64_t counter_read(const uint64_t& c) noexcept {
    return shared_word(const_cast<uint64_t&>(c)).load(std::memory_order_relaxed);
}

// Descriptor of one model inside an instance.
struct model_desc {
    uint8_t present;   // 1 = the model is set
    uint8_t row;       // row of the option's model table
    uint16_t size;     // bytes of the parameter block
    uint32_t offset;   // offset of the block within params
};

inline constexpr std::size_t params_bytes = 131072;

// One complete set of a direction's parameters.
struct session_instance {
    model_desc descs[n_model_kinds];  // delay, bandwidth, loss, reorder
    uint64_t delay_offset;            // ns (-O)
    uint32_t drop_overlap;            // 0 or 1 (-P)
    uint32_t qsize;                   // bytes, 0 = unlimited (-Q)
    unsigned char params[params_bytes];  // parameter blocks, packed by param_alloc
};

// Value of active_instance that asks the owner to stop (any value >= 2).
inline constexpr uint64_t stop_command = 2;

// One direction's part of the layout.
struct session_area {
    uint64_t max_bps;          // bit/s, 0 = not yet set
    uint64_t max_delay;        // ns, 0 = not yet set
    uint64_t max_hold;         // ns, 0 = not yet set
    uint64_t active_instance;  // 0 or 1 = in force; >= 2 = stop command
    session_instance instance[2];
};

// The first 520 bytes; locked apart from the client area that follows.
struct session_header {
    pipe_counters counters[4];  // producer A, consumer A, producer B, consumer B
    uint32_t version;           // session_version
    uint32_t reserved;
};

inline constexpr uint32_t session_version = 1;

// The layout's last 120 bytes.  instance_ack[d] is the instance that
// direction d's producer has switched to (written by the owner's producer
// after the switch, release; read by a client before it writes, acquire):
// a client writes the spare instance only once no producer reads it.
struct session_tail {
    uint64_t instance_ack[2];
    unsigned char spare[104];
};

struct session_layout {
    session_header header;
    session_area area[2];        // A (A->B), B (B->A)
    session_tail reserved;
};

inline constexpr std::size_t session_bytes = 525184;
inline constexpr std::size_t client_area_offset = 520;

static_assert(layout_record<pipe_counters> && sizeof(pipe_counters) == 128);
static_assert(offsetof(pipe_counters, drop_pkts) == 16 && offsetof(pipe_counters, hold_bytes) == 40);
static_assert(offsetof(pipe_counters, port_drop_pkts) == 48 && offsetof(pipe_counters, port_drop_bytes) == 56);
static_assert(layout_record<model_desc> && sizeof(model_desc) == 8);
static_assert(offsetof(model_desc, present) == 0 && offsetof(model_desc, row) == 1);
static_assert(offsetof(model_desc, size) == 2 && offsetof(model_desc, offset) == 4);
static_assert(layout_record<session_instance> && sizeof(session_instance) == 131120);
static_assert(offsetof(session_instance, descs) == 0);
static_assert(offsetof(session_instance, delay_offset) == 32);
static_assert(offsetof(session_instance, drop_overlap) == 40);
static_assert(offsetof(session_instance, qsize) == 44);
static_assert(offsetof(session_instance, params) == 48);
static_assert(layout_record<session_area> && sizeof(session_area) == 262272);
static_assert(offsetof(session_area, max_bps) == 0 && offsetof(session_area, max_delay) == 8);
static_assert(offsetof(session_area, max_hold) == 16 && offsetof(session_area, active_instance) == 24);
static_assert(offsetof(session_area, instance) == 32);
static_assert(offsetof(session_area, instance[1]) == 131152);
static_assert(layout_record<session_header> && sizeof(session_header) == client_area_offset);
static_assert(offsetof(session_header, counters[1]) == 128);
static_assert(offsetof(session_header, counters[2]) == 256);
static_assert(offsetof(session_header, counters[3]) == 384);
static_assert(offsetof(session_header, version) == 512 && offsetof(session_header, reserved) == 516);
static_assert(layout_record<session_layout> && sizeof(session_layout) == session_bytes);
static_assert(offsetof(session_layout, area) == 520);
static_assert(offsetof(session_layout, area[1]) == 262792);
static_assert(offsetof(session_layout, area[1].instance[1]) == 393944);
static_assert(offsetof(session_layout, area[1].instance[1].params) == 393992);
static_assert(offsetof(session_layout, reserved) == 525064);
static_assert(layout_record<session_tail> && sizeof(session_tail) == 120);
static_assert(offsetof(session_layout, reserved.instance_ack[1]) == 525072);

// ---------------------------------------------------------------------------
// Direction state.

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
    loss, policer, queue_limit, buffer_full, overlap, late, port, not_routable, oversize, short_frame,
};
inline constexpr int n_drop_reasons = 10;
// The report's name of each reason, by drop_reason.
inline constexpr const char* drop_reason_names[n_drop_reasons] = {
    "loss", "policer", "queue_limit", "buffer_full", "overlap", "late", "port", "not_routable", "oversize", "short",
};

// Frames and bytes dropped by reason (one writer per block).
struct drop_counts {
    uint64_t pkts[n_drop_reasons];
    uint64_t bytes[n_drop_reasons];
};
inline void count_reason(drop_counts& c, drop_reason r, uint64_t bytes) noexcept {
    counter_add(c.pkts[int(r)], 1);
    counter_add(c.bytes[int(r)], bytes);
}

// The producer's part of the report: every frame it takes from the
// receive ring, what leaves the hold buffer, ARP frames route mode hands
// over, its drops, and (report_on) the most queued at the end of a pass.
struct alignas(line_bytes) prod_report {
    uint64_t rx_pkts;
    uint64_t rx_bytes;
    uint64_t unhold_pkts;   // taken out of the hold buffer into enqueue
    uint64_t unhold_bytes;
    uint64_t arp_pkts;      // ARP frames handed to the other direction
    uint64_t arp_bytes;
    drop_counts drops;
    uint64_t peak_pkts;     // raised by the producer, taken (zeroed) by main
    uint64_t peak_bytes;
};

// The consumer's part: every record it takes from the queue (sent or
// dropped), its drops, and (report_on) the lateness of the frames sent.
struct alignas(line_bytes) cons_report {
    uint64_t taken_pkts;
    uint64_t taken_bytes;
    drop_counts drops;
    alignas(line_bytes) lateness::histogram late;
};

// One direction.  Value-initialise it (pipe_state p{}); all times are ns
// since t0 in wrapping 64-bit arithmetic.
struct alignas(line_bytes) pipe_state {
    int wait_link;                  // s between opening ports and starting threads
    int route_mode;                 // non-zero in route mode
    pthread_t cons_tid;             // the corvo_main thread
    pthread_t prod_tid;             // the producer thread
    int cons_core;                  // -1 = not placed
    int prod_core;                  // -1 = not placed
    netport::port* port_in;         // port this direction receives from
    netport::port* port_out;        // port it transmits on
    arp_ring* arp_cons_ring;        // drained by this direction's consumer
    arp_ring* arp_prod_ring;        // filled by this direction's producer
    route_config* out_if;           // output port's addresses and ARP table
    route_config* in_if;            // input port's addresses
    uint64_t late_limit;            // ns of lateness beyond which to drop
    uint64_t t0;                    // realtime clock when corvo_main started
    uint64_t buf_size;              // bytes of the queue buffer
    unsigned char* buf;             // the queue buffer
    session_area* session;          // this direction's area of the layout
    uint32_t cur_instance;          // instance being written / in force
    uint64_t param_used[2];         // bytes used in each instance's params
    uint64_t qsize;                 // queue limit in bytes, 0 = unlimited
    model_spec delay_slot;
    model_spec bw_slot;
    model_spec loss_slot;
    model_spec reorder_slot;
    uint64_t acct_head;             // queue offset of the oldest counted record
    uint64_t queued_bytes;          // bytes in the emulated bottleneck queue
    uint64_t prod_head;             // producer's copy of head
    uint64_t prod_tail;             // queue offset of the next record
    uint64_t prod_now;              // producer clock
    std::atomic<uint64_t> max_round;  // ns; producer raises it, main reads and zeroes it
    unsigned short rand_state[3];   // nrand48 state of every random model
    pipe_counters* prod_stats;      // producer counters
    netport::port* rx_port;         // port whose receive ring the producer syncs
    const char* in_name;            // input port name
    netport::ring* rx_ring;         // the receive ring used
    int burst;                      // packets per pass / transmissions per txsync
    std::atomic<int> max_rxq;       // producer raises it, main reads and zeroes it
    uint64_t qt_qout;               // bottleneck has sent the last accepted packet
    uint64_t qt_tx;                 // arrival time of the last accepted packet
    unsigned char* cur_pkt;         // first buffer of the current packet
    uint32_t cur_len;               // bytes of the current packet
    pkt_frag frags[max_frags];      // buffers of the current packet
    int n_frags;                    // entries used in frags
    int drop;                       // loss and bandwidth models: 1 = drop
    uint64_t cur_tx;                // serialisation time (bandwidth model)
    uint64_t cur_delay;             // delay (delay model)
    int drop_overlap;               // drop instead of pushing a packet back
    int pushed_back;                // previous packet was pushed back
    uint64_t delay_offset;          // subtracted from each new delay
    uint64_t cur_hold;              // hold time (reorder model), then release time
    uint64_t hold_tail;             // write offset in the hold buffer
    uint64_t hold_head;             // read offset in the hold buffer
    unsigned char* hold_buf;        // the hold buffer
    uint64_t hold_limit;            // hold buffer wrap point (size - 9216)
    uint64_t hold_first;            // release time of the oldest held packet, 0 = empty
    uint64_t hold_last;             // release time of the newest held packet
    int hold_ready;                 // oldest held packet is due
    queue_release_state release;    // producer: consumed queue pages given back
    int lock_buffers;               // -H: buffers are locked in memory, never given back
    uint64_t cons_now;              // consumer clock
    const char* out_name;           // output port name
    pipe_counters* cons_stats;      // consumer counters
    // The JSON report (--json).  report_on is set before the threads
    // start; prod_rep is written by the producer, cons_rep by the
    // consumer, both read by main (and peaks and lateness peak zeroed by it).
    int report_on;                  // record lateness and queue peaks
    prod_report prod_rep;
    cons_report cons_rep;
    // Ring indices, each alone on its line.  tail: written by the producer
    // (release), read by the consumer (acquire); head: the reverse.
    alignas(line_bytes) std::atomic<uint64_t> tail;
    alignas(line_bytes) std::atomic<uint64_t> head;
    // 1 while the consumer sleeps on an empty queue (a futex word): the
    // producer wakes it when it publishes tail.
    alignas(line_bytes) std::atomic<uint32_t> cons_asleep;
};

static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(alignof(pipe_state) == line_bytes && sizeof(pipe_state) % line_bytes == 0);
static_assert(offsetof(pipe_state, tail) % line_bytes == 0);
static_assert(offsetof(pipe_state, head) == offsetof(pipe_state, tail) + line_bytes);
static_assert(offsetof(pipe_state, cons_asleep) == offsetof(pipe_state, head) + line_bytes);
static_assert(sizeof(pipe_state) == offsetof(pipe_state, cons_asleep) + line_bytes);
static_assert(std::atomic<uint32_t>::is_always_lock_free && sizeof(std::atomic<uint32_t>) == 4);

// The four slots of a direction, by model_kind (the order of model_list).
inline model_spec& pipe_slot(pipe_state& p, int kind) noexcept {
    static constexpr model_spec pipe_state::* slots[n_model_kinds] = {
        &pipe_state::delay_slot, &pipe_state::bw_slot, &pipe_state::loss_slot,
        &pipe_state::reorder_slot};
    return p.*slots[kind];
}

// The instance a direction writes (at start-up) or has in force.
inline session_instance& cur_instance_of(pipe_state& p) noexcept {
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
