// Model framework of the link emulator: applying a text to a slot, the
// steps every parse function shares, the models and their tables.  The
// contract every model follows (the row, the run and parse signatures, the
// parameter records) is pipe/model_contract.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "models/model_ext.hpp"
#include "models/model_math.hpp"
#include "models/model_text.hpp"
#include "pipe/model_contract.hpp"
#include "pipe/session_layout.hpp"

namespace models {

// Applies a specification text to one slot: 0 when applied (or nothing to
// apply: null/empty text, or "none"), 1 when refused.  A refusal by a
// session limit ends with a line naming the limit and the -M that raises it.  A null table or slot
// is a programming error and ends the process with status 1.
int cmd_apply(pipes::model_table table, const char* text, pipes::pipe_state& pipe, pipes::model_spec* slot);

// Reserves size bytes (a multiple of 8) in the params area of the instance
// being written, records size and offset in the candidate's descriptor and
// points its param_block there.  Null (with a message) when the area is full.
void* param_alloc(pipes::pipe_state& pipe, pipes::model_spec& candidate, size_t size);

// Holds value to a session limit: a limit of 0 takes the value; a value
// above the limit logs "invalid new <what> %lld (max %lld)" and fails.
bool limit_check(uint64_t& limit, uint64_t value, const char* what);

// Probabilities are thresholds against 24 random bits (prob_scale and
// r24_mask, models/model_math.hpp).

// ---------------------------------------------------------------------------
// The models.

int const_delay_parse(pipes::pipe_state&, pipes::model_spec&, int, const char* const*);
int uniform_delay_parse(pipes::pipe_state&, pipes::model_spec&, int, const char* const*);
int exp_delay_parse(pipes::pipe_state&, pipes::model_spec&, int, const char* const*);
int inter_packet_delay_parse(pipes::pipe_state&, pipes::model_spec&, int, const char* const*);
int const_delay_run(pipes::pipe_state&, const pipes::model_spec&) noexcept;
int uniform_delay_run(pipes::pipe_state&, const pipes::model_spec&) noexcept;
int exp_delay_run(pipes::pipe_state&, const pipes::model_spec&) noexcept;
int inter_packet_delay_run(pipes::pipe_state&, const pipes::model_spec&) noexcept;
std::string const_delay_describe(const void*);
std::string uniform_delay_describe(const void*);
std::string exp_delay_describe(const void*);
std::string inter_packet_delay_describe(const void*);

int const_bw_parse(pipes::pipe_state&, pipes::model_spec&, int, const char* const*);
int ether_bw_parse(pipes::pipe_state&, pipes::model_spec&, int, const char* const*);
int avg_bw_parse(pipes::pipe_state&, pipes::model_spec&, int, const char* const*);
int const_bw_run(pipes::pipe_state&, const pipes::model_spec&) noexcept;
int ether_bw_run(pipes::pipe_state&, const pipes::model_spec&) noexcept;
int avg_bw_run(pipes::pipe_state&, const pipes::model_spec&) noexcept;
std::string const_bw_describe(const void*);
std::string ether_bw_describe(const void*);
std::string avg_bw_describe(const void*);

int const_plr_parse(pipes::pipe_state&, pipes::model_spec&, int, const char* const*);
int const_ber_parse(pipes::pipe_state&, pipes::model_spec&, int, const char* const*);
int const_plr_run(pipes::pipe_state&, const pipes::model_spec&) noexcept;
int const_ber_run(pipes::pipe_state&, const pipes::model_spec&) noexcept;
std::string const_plr_describe(const void*);
std::string const_ber_describe(const void*);

int const_reorder_parse(pipes::pipe_state&, pipes::model_spec&, int, const char* const*);
int const_reorder_run(pipes::pipe_state&, const pipes::model_spec&) noexcept;
std::string const_reorder_describe(const void*);

// ---------------------------------------------------------------------------
// The tables.  Row numbers are stored in session files: never reorder rows.
// A row is {parse, run, block_bytes, describe, usage text, then nullptr,
// nullptr, 0}.

inline constexpr pipes::model_spec delay_models[] = {
    {const_delay_parse, const_delay_run, sizeof(pipes::delay_param), const_delay_describe, "constant,delay",
     nullptr, nullptr, 0},
    {uniform_delay_parse, uniform_delay_run, sizeof(pipes::uniform_param), uniform_delay_describe,
     "uniform,dmin,dmax # dmin <= dmax", nullptr, nullptr, 0},
    {exp_delay_parse, exp_delay_run, sizeof(pipes::exp_param), exp_delay_describe,
     "exp,dmin,davg # dmin <= davg", nullptr, nullptr, 0},
    {inter_packet_delay_parse, inter_packet_delay_run, sizeof(pipes::inter_packet_param),
     inter_packet_delay_describe, "inter-packet,min-gap,max-gap,delay # min-gap <= max-gap", nullptr, nullptr,
     0},
    {normal_delay_parse, dist_delay_run, sizeof(dist_param), normal_delay_describe, "normal,mean,sigma",
     nullptr, nullptr, 0},
    {pareto_delay_parse, dist_delay_run, sizeof(dist_param), pareto_delay_describe,
     "pareto,min,shape # shape > 1", nullptr, nullptr, 0},
    {dist_delay_parse, dist_delay_run, sizeof(dist_param), dist_delay_describe,
     "dist,file # one delay per line", nullptr, nullptr, 0},
    {},
};
inline constexpr pipes::model_spec bw_models[] = {
    {const_bw_parse, const_bw_run, sizeof(pipes::tx_table), const_bw_describe, "constant,bps", nullptr,
     nullptr, 0},
    {ether_bw_parse, ether_bw_run, sizeof(pipes::tx_table), ether_bw_describe, "ether,bps", nullptr, nullptr,
     0},
    {avg_bw_parse, avg_bw_run, sizeof(pipes::avg_param), avg_bw_describe, "avg,bps", nullptr, nullptr, 0},
    {trace_bw_parse, trace_bw_run, sizeof(trace_param), trace_bw_describe,
     "trace,file # one opportunity (ms) per line", nullptr, nullptr, 0},
    {cell_bw_parse, cell_bw_run, sizeof(cell_param), cell_bw_describe,
     "cell,bps,overhead[,cell[,cell-overhead]]", nullptr, nullptr, 0},
    {},
};
inline constexpr pipes::model_spec loss_models[] = {
    {const_plr_parse, const_plr_run, sizeof(pipes::plr_param), const_plr_describe,
     "plr,prob # 0 <= prob <= 1", nullptr, nullptr, 0},
    {const_ber_parse, const_ber_run, sizeof(pipes::ber_param), const_ber_describe,
     "ber,prob # 0 <= prob <= 1", nullptr, nullptr, 0},
    {ge_loss_parse, ge_loss_run, sizeof(ge_param), ge_loss_describe, "ge,p[,r[,lb[,lg]]] # 0 <= each <= 1",
     nullptr, nullptr, 0},
    {markov_loss_parse, markov_loss_run, sizeof(markov_param), markov_loss_describe,
     "markov,p13[,p31[,p32[,p23[,p14]]]] # 0 <= each <= 1", nullptr, nullptr, 0},
    {},
};
inline constexpr pipes::model_spec reorder_models[] = {
    {const_reorder_parse, const_reorder_run, sizeof(pipes::reorder_param), const_reorder_describe,
     "const,prob,delay # 0 <= prob <= 1", nullptr, nullptr, 0},
    {},
};

struct model_list_entry {
    char letter;  // the option letter
    pipes::model_table table;
    int rows;  // rows before the terminator
};

// D, B, L, R: the order in which a direction's options are applied and in
// which the producer reloads the slots from a published instance.
inline constexpr model_list_entry model_list[pipes::n_model_kinds] = {
    {'D', delay_models, int(std::size(delay_models)) - 1},
    {'B', bw_models, int(std::size(bw_models)) - 1},
    {'L', loss_models, int(std::size(loss_models)) - 1},
    {'R', reorder_models, int(std::size(reorder_models)) - 1},
};

// Every row names a parameter block that fits the params area.
consteval bool rows_have_blocks()
{
    for (const model_list_entry& e : model_list) {
        for (int r = 0; r < e.rows; ++r) {
            const uint32_t b = e.table[r].block_bytes;
            if (b == 0 || b % 8 != 0 || b >= pipes::params_bytes)
                return false;
        }
    }
    return true;
}
static_assert(rows_have_blocks());

// A published descriptor the producer may follow: its row exists in the
// kind's table and the row's block (its block_bytes, never a size the
// descriptor's writer stored) lies inside the params area.
inline bool desc_valid(int kind, const pipes::model_desc& d) noexcept
{
    if (kind < 0 || kind >= pipes::n_model_kinds || d.row >= model_list[kind].rows)
        return false;
    const uint64_t size = model_list[kind].table[d.row].block_bytes;
    return d.offset % 8 == 0 && d.offset <= pipes::params_bytes && pipes::params_bytes - d.offset >= size;
}

}  // namespace models
