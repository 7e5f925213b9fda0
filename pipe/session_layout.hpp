// The session layout: a 525184-byte block of plain fixed-width fields,
// either a shared file that other corvo processes map, or private memory of
// the same layout.  It holds the four counter blocks, and per direction the
// limits, the index of the instance in force and two parameter instances.
// Nothing in it is a pointer or an std::atomic: words shared between threads
// or processes are reached through std::atomic_ref at the point of access.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "pipe/model_contract.hpp"

namespace pipes {

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

// Counters of one thread: one writer, read by main and by other processes.
struct pipe_counters {
    uint64_t pkts;  // producer: enqueued; consumer: sent
    uint64_t bytes;
    uint64_t drop_pkts;  // producer: dropped by enqueue; consumer: late/undeliverable
    uint64_t drop_bytes;
    uint64_t hold_pkts;  // producer: put into the hold buffer
    uint64_t hold_bytes;
    // Frames dropped at a port, apart from drop_pkts.  Producer: received
    // shorter than 60 bytes (a shared-memory link carries them), skipped;
    // consumer: dropped by the output port (no peer attached, link damaged).
    uint64_t port_drop_pkts;
    uint64_t port_drop_bytes;
    uint64_t spare[8];  // always 0
};

// The single writer of a counter adds to it (no read-modify-write needed).
inline void counter_add(uint64_t& c, uint64_t n) noexcept
{
    shared_word w(c);
    w.store(w.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}
inline uint64_t counter_read(const uint64_t& c) noexcept
{
    return shared_word(const_cast<uint64_t&>(c)).load(std::memory_order_relaxed);
}

// Descriptor of one model inside an instance.
struct model_desc {
    uint8_t present;  // 1 = the model is set
    uint8_t row;      // row of the option's model table
    uint16_t size;    // bytes of the parameter block
    uint32_t offset;  // offset of the block within params
};

inline constexpr std::size_t params_bytes = 131072;

// One complete set of a direction's parameters.
struct session_instance {
    model_desc descs[n_model_kinds];     // delay, bandwidth, loss, reorder
    uint64_t delay_offset;               // ns (-O)
    uint32_t drop_overlap;               // 0 or 1 (-P)
    uint32_t qsize;                      // bytes, 0 = unlimited (-Q)
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
    session_area area[2];  // A (A->B), B (B->A)
    session_tail reserved;
};

inline constexpr std::size_t session_bytes = 525184;
inline constexpr std::size_t client_area_offset = 520;

static_assert(layout_record<pipe_counters> && sizeof(pipe_counters) == 128);
static_assert(offsetof(pipe_counters, drop_pkts) == 16 && offsetof(pipe_counters, hold_bytes) == 40);
static_assert(offsetof(pipe_counters, port_drop_pkts) == 48 &&
              offsetof(pipe_counters, port_drop_bytes) == 56);
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

}  // namespace pipes
