// Model framework of the link emulator.
//
// A model is a row of a table: a parse function, a run function and a usage
// text.  Each option letter (-D delay, -B bandwidth, -L loss, -R reorder)
// owns one table, ended by a row whose parse is null.  A direction's slot is
// a copy of the row that accepted the user's text; its param_block points at
// the model's parameter block inside the session instance (corvo/pipe.hpp),
// and the run function reads the block there, never a copy.
//
// Parse functions answer 0 (accepted), 1 (meant for this model but invalid,
// already logged) or 2 (not for this model, try the next row).  Run functions
// always answer 0 and write exactly one output group of pipe_state:
// cur_delay (delay), cur_tx and drop (bandwidth), drop (loss), cur_hold
// (reorder).  They never divide, take a logarithm or allocate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>

#include "models/model_ext.hpp"
#include "models/model_math.hpp"

struct pipe_state;   // corvo/pipe.hpp
struct model_desc;   // corvo/pipe.hpp
struct model_spec;

using parse_fn = int(pipe_state& pipe, model_spec& candidate, int argc, const char* const* argv);
using run_fn = int(pipe_state& pipe, const model_spec& slot) noexcept;

// One table row, or one slot of a direction.
struct model_spec {
    parse_fn* parse;        // row: the parse function (null ends a table); slot: copy
    run_fn* run;            // row: the run function; slot: copy, null_run when empty
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

// Applies a specification text to one slot: 0 when applied (or nothing to
// apply: null/empty text, or "none"), 1 when refused.  A refusal by a
// session limit ends with a line naming the limit and the -M that raises it.  A null table or slot
// is a programming error and ends the process with status 1.
int cmd_apply(model_table table, const char* text, pipe_state& pipe, model_spec* slot);

// Reserves size bytes (a multiple of 8) in the params area of the instance
// being written, records size and offset in the candidate's descriptor and
// points its param_block there.  Null (with a message) when the area is full.
void* param_alloc(pipe_state& pipe, model_spec& candidate, size_t size);

// Holds value to a session limit: a limit of 0 takes the value; a value
// above the limit logs "invalid new <what> %lld (max %lld)" and fails.
bool limit_check(uint64_t& limit, uint64_t value, const char* what);

// ---------------------------------------------------------------------------
// Parameter blocks, as they lie in a session instance's params area.  Every
// block is a plain record of little-endian fixed-width fields whose size is a
// multiple of 8; param_alloc places them back to back, so each starts
// 8-aligned.

// Packet lengths covered by the per-length tables (0 to 9199 bytes).
inline constexpr uint32_t pkt_len_entries = 9200;
// Ethernet bytes a received frame lacks: preamble+SFD 8, FCS 4, gap 12.
inline constexpr uint32_t ether_overhead = 24;
// Probabilities are thresholds against 24 random bits.
using models::prob_scale;
using models::r24_mask;

struct delay_param {            // constant delay
    uint64_t delay;             // ns
};
struct uniform_param {          // uniform delay in [dmin, dmax)
    uint64_t dmin;              // ns
    uint64_t dmax;              // ns
    uint64_t range;             // dmax - dmin, ns
};
inline constexpr uint32_t exp_entries = 512;
struct exp_param {              // exponential delay, 512 equally likely values
    uint64_t entry[exp_entries];  // ns
};
struct inter_packet_param {     // gap after the previous packet while it is due
    uint64_t min_gap;           // ns
    uint64_t max_gap;           // ns
    uint64_t gap_range;         // max_gap - min_gap, ns
    uint64_t delay;             // ns, when the link is idle
};
struct tx_table {               // constant and ether bandwidth
    uint32_t entry[pkt_len_entries];  // ns to serialise a packet of n bytes
};
struct avg_param {              // token bucket policer
    uint64_t token;             // bytes added per 2^20 ns
    uint64_t level;             // bytes in the bucket
    uint64_t depth;             // bucket size, bytes
    uint64_t last;              // time of the last refill, units of 2^20 ns
};
struct plr_param {              // fixed packet loss rate
    uint64_t threshold;         // p * 2^24
    uint64_t pkts;              // packets examined
    uint64_t drops;             // packets dropped
};
struct ber_param {              // bit error rate
    uint64_t threshold;         // b * 2^24 (informative only)
    uint64_t bits;              // bits examined
    uint64_t drops;             // packets dropped
    uint32_t entry[pkt_len_entries];  // P(some bit of n bytes is hit) * 2^24
};
struct reorder_param {          // hold packets back with a fixed probability
    uint64_t threshold;         // p * 2^24
    uint64_t hold;              // ns
};

template <typename T>
concept param_record = std::is_standard_layout_v<T> && std::is_trivially_copyable_v<T> &&
                       sizeof(T) % 8 == 0 && alignof(T) <= 8;

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
inline P& params(const model_spec& slot) noexcept {
    return *static_cast<P*>(slot.param_block);
}

// ---------------------------------------------------------------------------
// The models.

int const_delay_parse(pipe_state&, model_spec&, int, const char* const*);
int uniform_delay_parse(pipe_state&, model_spec&, int, const char* const*);
int exp_delay_parse(pipe_state&, model_spec&, int, const char* const*);
int inter_packet_delay_parse(pipe_state&, model_spec&, int, const char* const*);
int const_delay_run(pipe_state&, const model_spec&) noexcept;
int uniform_delay_run(pipe_state&, const model_spec&) noexcept;
int exp_delay_run(pipe_state&, const model_spec&) noexcept;
int inter_packet_delay_run(pipe_state&, const model_spec&) noexcept;

int const_bw_parse(pipe_state&, model_spec&, int, const char* const*);
int ether_bw_parse(pipe_state&, model_spec&, int, const char* const*);
int avg_bw_parse(pipe_state&, model_spec&, int, const char* const*);
int const_bw_run(pipe_state&, const model_spec&) noexcept;
int ether_bw_run(pipe_state&, const model_spec&) noexcept;
int avg_bw_run(pipe_state&, const model_spec&) noexcept;

int const_plr_parse(pipe_state&, model_spec&, int, const char* const*);
int const_ber_parse(pipe_state&, model_spec&, int, const char* const*);
int const_plr_run(pipe_state&, const model_spec&) noexcept;
int const_ber_run(pipe_state&, const model_spec&) noexcept;

int const_reorder_parse(pipe_state&, model_spec&, int, const char* const*);
int const_reorder_run(pipe_state&, const model_spec&) noexcept;

// ---------------------------------------------------------------------------
// The tables.  Row numbers are stored in session files: never reorder rows.

inline constexpr model_spec delay_models[] = {
    {const_delay_parse, const_delay_run, "constant,delay", nullptr, nullptr, 0},
    {uniform_delay_parse, uniform_delay_run, "uniform,dmin,dmax # dmin <= dmax", nullptr, nullptr, 0},
    {exp_delay_parse, exp_delay_run, "exp,dmin,davg # dmin <= davg", nullptr, nullptr, 0},
    {inter_packet_delay_parse, inter_packet_delay_run,
     "inter-packet,min-gap,max-gap,delay # min-gap <= max-gap", nullptr, nullptr, 0},
    {normal_delay_parse, dist_delay_run, "normal,mean,sigma", nullptr, nullptr, 0},
    {pareto_delay_parse, dist_delay_run, "pareto,min,shape # shape > 1", nullptr, nullptr, 0},
    {dist_delay_parse, dist_delay_run, "dist,file # one delay per line", nullptr, nullptr, 0},
    {},
};
inline constexpr model_spec bw_models[] = {
    {const_bw_parse, const_bw_run, "constant,bps", nullptr, nullptr, 0},
    {ether_bw_parse, ether_bw_run, "ether,bps", nullptr, nullptr, 0},
    {avg_bw_parse, avg_bw_run, "avg,bps", nullptr, nullptr, 0},
    {trace_bw_parse, trace_bw_run, "trace,file # one opportunity (ms) per line", nullptr, nullptr, 0},
    {cell_bw_parse, cell_bw_run, "cell,bps,overhead[,cell[,cell-overhead]]", nullptr, nullptr, 0},
    {},
};
inline constexpr model_spec loss_models[] = {
    {const_plr_parse, const_plr_run, "plr,prob # 0 <= prob <= 1", nullptr, nullptr, 0},
    {const_ber_parse, const_ber_run, "ber,prob # 0 <= prob <= 1", nullptr, nullptr, 0},
    {ge_loss_parse, ge_loss_run, "ge,p[,r[,lb[,lg]]] # 0 <= each <= 1", nullptr, nullptr, 0},
    {markov_loss_parse, markov_loss_run, "markov,p13[,p31[,p32[,p23[,p14]]]] # 0 <= each <= 1", nullptr,
     nullptr, 0},
    {},
};
inline constexpr model_spec reorder_models[] = {
    {const_reorder_parse, const_reorder_run, "const,prob,delay # 0 <= prob <= 1", nullptr, nullptr, 0},
    {},
};

// Index of a model kind in model_list, in the session instance's descs and
// among the four slots of a pipe_state.
enum model_kind : uint8_t { kind_delay = 0, kind_bw = 1, kind_loss = 2, kind_reorder = 3 };
inline constexpr int n_model_kinds = 4;

struct model_list_entry {
    char letter;        // the option letter
    model_table table;
    int rows;           // rows before the terminator
};

// D, B, L, R: the order in which a direction's options are applied and in
// which the producer reloads the slots from a published instance.
inline constexpr model_list_entry model_list[n_model_kinds] = {
    {'D', delay_models, int(std::size(delay_models)) - 1},
    {'B', bw_models, int(std::size(bw_models)) - 1},
    {'L', loss_models, int(std::size(loss_models)) - 1},
    {'R', reorder_models, int(std::size(reorder_models)) - 1},
};
