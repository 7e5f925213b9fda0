// The model contract: what a model provides and what the per-direction
// state and the session layout hold of it.
//
// A model is a row of a table: a parse function, a run function, the size of
// its parameter block, a describe function and a usage text.  Each option letter (-D delay, -B bandwidth, -L loss, -R reorder)
// owns one table, ended by a row whose parse is null.  A direction's slot is
// a copy of the row that accepted the user's text; its param_block points at
// the model's parameter block inside the session instance
// (pipe/session_layout.hpp), and the run function reads the block there,
// never a copy.
//
// Parse functions answer 0 (accepted), 1 (meant for this model but invalid,
// already logged) or 2 (not for this model, try the next row).  Run functions
// always answer 0 and write exactly one output group of pipe_state:
// cur_delay (delay), cur_tx and drop (bandwidth), drop (loss), cur_hold
// (reorder).  They never divide, take a logarithm or allocate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

namespace pipes {

struct pipe_state;  // pipe/pipe_state.hpp
struct model_desc;  // pipe/session_layout.hpp
struct model_spec;

using parse_fn = int(pipe_state& pipe, model_spec& candidate, int argc, const char* const* argv);
using run_fn = int(pipe_state& pipe, const model_spec& slot) noexcept;
// The specification text of a parameter block the row's parse wrote (e.g.
// "constant,10ms"), for reports; never called per packet.
using describe_fn = std::string(const void* block);

// One table row, or one slot of a direction.
struct model_spec {
    parse_fn* parse;        // row: the parse function (null ends a table); slot: copy
    run_fn* run;            // row: the run function; slot: copy, null_run when empty
    uint32_t block_bytes;   // row: bytes of its parameter block (the largest it
                            // takes, when that varies); a published descriptor
                            // is checked against it; slot: copy
    describe_fn* describe;  // row: describes a block of this row; slot: copy
    const char* text;       // row: usage text; slot: the user's text, or the row's
                            // usage text after a reload, "0" at start-up
    void* param_block;      // slot: the model's block in a session instance
    model_desc* slot_desc;  // slot: its descriptor in the instance in force
    uint64_t qsize_hint;    // bytes; queue limit proposed by a bandwidth model
};

// A table is its first row; rows follow until the one whose parse is null.
using model_table = const model_spec*;

// Does nothing: an empty slot leaves the model's output at 0.
int null_run(pipe_state& pipe, const model_spec& slot) noexcept;

// ---------------------------------------------------------------------------
// Parameter blocks, as they lie in a session instance's params area.  Every
// block is a plain record of little-endian fixed-width fields whose size is a
// multiple of 8; param_alloc places them back to back, so each starts
// 8-aligned.

// Packet lengths covered by the per-length tables (0 to 9199 bytes).
inline constexpr uint32_t pkt_len_entries = 9200;
// Ethernet bytes a received frame lacks: preamble+SFD 8, FCS 4, gap 12.
inline constexpr uint32_t ether_overhead = 24;

struct delay_param {  // constant delay
    uint64_t delay;   // ns
};
struct uniform_param {  // uniform delay in [dmin, dmax)
    uint64_t dmin;      // ns
    uint64_t dmax;      // ns
    uint64_t range;     // dmax - dmin, ns
};
inline constexpr uint32_t exp_entries = 512;
struct exp_param {                // exponential delay, 512 equally likely values
    uint64_t entry[exp_entries];  // ns
};
struct inter_packet_param {  // gap after the previous packet while it is due
    uint64_t min_gap;        // ns
    uint64_t max_gap;        // ns
    uint64_t gap_range;      // max_gap - min_gap, ns
    uint64_t delay;          // ns, when the link is idle
};
struct tx_table {                     // constant and ether bandwidth
    uint32_t entry[pkt_len_entries];  // ns to serialise a packet of n bytes
};
struct avg_param {   // token bucket policer
    uint64_t token;  // bytes added per 2^20 ns
    uint64_t level;  // bytes in the bucket
    uint64_t depth;  // bucket size, bytes
    uint64_t last;   // time of the last refill, units of 2^20 ns
};
struct plr_param {       // fixed packet loss rate
    uint64_t threshold;  // p * 2^24
    uint64_t pkts;       // packets examined
    uint64_t drops;      // packets dropped
};
struct ber_param {                    // bit error rate
    uint64_t threshold;               // b * 2^24 (informative only)
    uint64_t bits;                    // bits examined
    uint64_t drops;                   // packets dropped
    uint32_t entry[pkt_len_entries];  // P(some bit of n bytes is hit) * 2^24
};
struct reorder_param {   // hold packets back with a fixed probability
    uint64_t threshold;  // p * 2^24
    uint64_t hold;       // ns
};

template <typename T>
concept param_record = std::is_standard_layout_v<T> && std::is_trivially_copyable_v<T> && sizeof(T) % 8 ==
                           0 &&
                       alignof(T) <= 8;

static_assert(param_record<delay_param> && sizeof(delay_param) == 8);
static_assert(param_record<uniform_param> && sizeof(uniform_param) == 24);
static_assert(param_record<exp_param> && sizeof(exp_param) == 4096);
static_assert(param_record<inter_packet_param> && sizeof(inter_packet_param) == 32);
static_assert(param_record<tx_table> && sizeof(tx_table) == 36800);
static_assert(param_record<avg_param> && sizeof(avg_param) == 32);
static_assert(param_record<plr_param> && sizeof(plr_param) == 24);
static_assert(param_record<ber_param> && sizeof(ber_param) == 36824);
static_assert(offsetof(ber_param, entry) == 24);
static_assert(param_record<reorder_param> && sizeof(reorder_param) == 16);

// The parameter block of a slot (blocks are always 8-aligned).
template <param_record P>
inline P& params(const model_spec& slot) noexcept
{
    return *static_cast<P*>(slot.param_block);
}

// ---------------------------------------------------------------------------
// Model kinds.

// Index of a model kind in model_list, in the session instance's descs and
// among the four slots of a pipe_state.
enum model_kind : uint8_t { kind_delay = 0, kind_bw = 1, kind_loss = 2, kind_reorder = 3 };
inline constexpr int n_model_kinds = 4;

}  // namespace pipes
