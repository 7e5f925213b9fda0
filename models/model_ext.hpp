// Parameter blocks and functions of the bursty loss, delay distribution,
// trace and cell models of the link emulator (rows of the tables in
// models/model.hpp).  Blocks are plain records of fixed size, as every
// parameter block is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "models/model_tables.hpp"
#include "pipe/model_contract.hpp"

namespace pipes {
struct pipe_state;  // pipe/pipe_state.hpp
struct model_spec;  // pipe/model_contract.hpp
}  // namespace pipes

namespace models {

struct ge_param {  // Gilbert-Elliott loss
    models::ge_state s;
    uint64_t pkts;   // packets examined
    uint64_t drops;  // packets dropped
};
struct markov_param {  // 4-state Markov loss
    models::markov_state s;
    uint64_t pkts;
    uint64_t drops;
};
struct dist_param {  // normal, pareto and dist delays
    // What the table was made from, for its description: normal's mean and
    // sigma (ns), pareto's min (ns) and shape, dist's number of values and 0.
    uint64_t base;
    double spread;
    uint64_t entry[models::dist_entries];  // ns, equally likely
};
struct trace_param {  // trace-driven bandwidth
    models::trace_cursor cur;
    uint8_t count[models::trace_max_ms];  // opportunities in each ms of a period
};
struct cell_param {  // cell-accounted bandwidth
    models::cell_spec c;
    uint64_t bps;
    pipes::tx_table t;  // ns to send a frame of n bytes, framing included
};

static_assert(sizeof(ge_param) == 56 && sizeof(ge_param) % 8 == 0);
static_assert(sizeof(markov_param) == 64);
static_assert(sizeof(dist_param) == 32784 && offsetof(dist_param, entry) == 16);
static_assert(sizeof(cell_param) == 36832 && offsetof(cell_param, t) == 32);
static_assert(sizeof(trace_param) == 60056 && offsetof(trace_param, count) == 56);

int ge_loss_parse(pipes::pipe_state&, pipes::model_spec&, int, const char* const*);
int ge_loss_run(pipes::pipe_state&, const pipes::model_spec&) noexcept;
int markov_loss_parse(pipes::pipe_state&, pipes::model_spec&, int, const char* const*);
int markov_loss_run(pipes::pipe_state&, const pipes::model_spec&) noexcept;
std::string ge_loss_describe(const void*);
std::string markov_loss_describe(const void*);

int normal_delay_parse(pipes::pipe_state&, pipes::model_spec&, int, const char* const*);
int pareto_delay_parse(pipes::pipe_state&, pipes::model_spec&, int, const char* const*);
int dist_delay_parse(pipes::pipe_state&, pipes::model_spec&, int, const char* const*);
int dist_delay_run(pipes::pipe_state&, const pipes::model_spec&) noexcept;  // all three
std::string normal_delay_describe(const void*);
std::string pareto_delay_describe(const void*);
std::string dist_delay_describe(const void*);

int trace_bw_parse(pipes::pipe_state&, pipes::model_spec&, int, const char* const*);
int trace_bw_run(pipes::pipe_state&, const pipes::model_spec&) noexcept;
int cell_bw_parse(pipes::pipe_state&, pipes::model_spec&, int, const char* const*);
int cell_bw_run(pipes::pipe_state&, const pipes::model_spec&) noexcept;
std::string trace_bw_describe(const void*);
std::string cell_bw_describe(const void*);

}  // namespace models
