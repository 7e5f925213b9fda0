// The replayer's model framework: tables of rows, three slots in the replay
// state, and cmd_apply that installs a specification text into a slot.
//
// A row and a slot are the same record.  Unlike the link emulator, the
// replayer has no session file, so a slot carries its model's parameters in
// its own 22-word area (`params`), written by the parse function into the
// candidate copy and copied into the slot with it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <type_traits>

#include "common/numarg.hpp"
#include "wenlo/models_ext.hpp"

namespace wenlo {

struct replay_state;
struct model_spec;

// Parse results: 0 accepted, 1 claimed but invalid, 2 not this model.
using parse_fn = int(replay_state* rs, model_spec* cand, int argc, char** argv);
// Run functions read cur_len (and cur_tt) and write one output group.
using run_fn = int(replay_state* rs, model_spec* slot);

// Parameter blocks kept inside a slot.
struct delay_param {
    uint64_t delay;  // ns
};
struct uniform_param {
    uint64_t dmin, dmax, range;  // ns; range = dmax - dmin
};
inline constexpr int exp_entries = 512;
struct exp_param {
    uint64_t* table;  // exp_entries delays, ns (own allocation, never freed)
    uint64_t size;    // bytes of the table
};
struct bw_param {
    uint64_t bps;  // bits per second; 0 means no serialisation time
};
struct real_param {
    double scale;  // capture gaps are divided by it
};
// Counters of the loss models are written by the replay thread and read by
// the monitor of main: they are only touched through std::atomic_ref.
struct plr_param {
    uint64_t threshold;  // probability x 2^24
    uint64_t pkts;       // packets examined
    uint64_t drops;      // packets dropped
};
inline constexpr int ber_entries = 9200;
struct ber_param {
    uint32_t* table;     // ber_entries thresholds x 2^24, entry n for n bytes
    uint64_t size;       // bytes of the table
    uint64_t threshold;  // bit error rate x 2^24
    uint64_t bits;       // bits examined
    uint64_t drops;      // packets dropped
};

inline constexpr int param_words = 22;

union model_params {
    uint64_t words[param_words];
    delay_param delay;
    uniform_param uniform;
    exp_param exp;
    bw_param bw;
    real_param real;
    plr_param plr;
    ber_param ber;
    ge_param ge;
    markov_param markov;
    dist_param dist;
    trace_param trace;
    cell_param cell;
};
static_assert(sizeof(model_params) == param_words * 8);

struct model_spec {
    parse_fn* parse;  // null ends a table
    run_fn* run;
    const char* text;     // usage text in a row; the user's text in a slot
    model_params params;  // zero in a row
};
static_assert(std::is_trivially_copyable_v<model_spec>);
static_assert(offsetof(model_spec, params) == 24 && sizeof(model_spec) == 24 + 176);

int null_run(replay_state* rs, model_spec* slot);

// A fresh slot: null_run, text "0", zero parameters.
model_spec empty_slot();

extern const model_spec delay_table[];
extern const model_spec bw_table[];
extern const model_spec loss_table[];

// 0 when a model was installed; 1 when the text is absent, empty or refused.
int cmd_apply(const model_spec* table, const char* text, replay_state* rs, model_spec* slot);

// The replayer's variant of parse_gen: with no table a number followed by
// anything else fails without a message.
double parse_gen(const char* text, const common::unit_entry* table, int* error);

// 24 random bits, from random(): every model's draw.
inline uint32_t draw24() { return static_cast<uint32_t>(random()) & 0xffffffu; }

// Adds to a model counter that the monitor of main reads while the replay
// thread writes it.
inline void bump(uint64_t& counter, uint64_t by)
{
    std::atomic_ref<uint64_t> c(counter);
    c.store(c.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

// Tables of the exp, ber, dist and trace models live as long as the
// process: slots are plain copies and never own them.  n zeroed entries of
// size bytes; null when memory is short.
void* kept_table(size_t n, size_t size);
template <typename T>
T* kept(size_t n)
{
    return static_cast<T*>(kept_table(n, sizeof(T)));
}

// Counters of a loss slot as the monitor shows them.
struct loss_counts {
    uint64_t threshold;  // probability (plr) or bit error rate (ber) x 2^24
    uint64_t trials;     // packets (plr) or bits (ber) examined
    uint64_t drops;
};
loss_counts read_loss_counts(const model_spec& slot);

// Model functions, named after the model and its kind.
int const_delay_parse(replay_state*, model_spec*, int, char**);
int const_delay_run(replay_state*, model_spec*);
int uniform_delay_parse(replay_state*, model_spec*, int, char**);
int uniform_delay_run(replay_state*, model_spec*);
int exp_delay_parse(replay_state*, model_spec*, int, char**);
int exp_delay_run(replay_state*, model_spec*);
int const_bw_parse(replay_state*, model_spec*, int, char**);
int const_bw_run(replay_state*, model_spec*);
int ether_bw_parse(replay_state*, model_spec*, int, char**);
int ether_bw_run(replay_state*, model_spec*);
int real_bw_parse(replay_state*, model_spec*, int, char**);
int real_bw_run(replay_state*, model_spec*);
int const_plr_parse(replay_state*, model_spec*, int, char**);
int const_plr_run(replay_state*, model_spec*);
int const_ber_parse(replay_state*, model_spec*, int, char**);
int const_ber_run(replay_state*, model_spec*);

}  // namespace wenlo
