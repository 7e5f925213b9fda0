// Parameters and functions of the replayer's bursty loss, delay
// distribution, trace and cell models (rows of the tables in
// wenlo/models.cc).  Chains, tables and arithmetic are the link emulator's
// (models/model_tables.hpp); large tables are allocated once at parse and
// kept for the life of the process, as exp's and ber's are.
#pragma once

#include <cstdint>

#include "models/model_tables.hpp"

namespace wenlo {

struct replay_state;
struct model_spec;

struct ge_param {
    models::ge_state s;
    uint64_t pkts;   // packets examined
    uint64_t drops;  // packets dropped
};
struct markov_param {
    models::markov_state s;
    uint64_t pkts;
    uint64_t drops;
};
struct dist_param {   // normal, pareto and dist delays
    uint64_t* table;  // models::dist_entries delays, ns (own allocation, never freed)
};
struct trace_param {
    uint8_t* count;  // opportunities in each ms of a period (own allocation, never freed)
    models::trace_cursor cur;
};
struct cell_param {
    uint64_t bps;
    models::cell_spec c;
};

int ge_loss_parse(replay_state*, model_spec*, int, char**);
int ge_loss_run(replay_state*, model_spec*);
int markov_loss_parse(replay_state*, model_spec*, int, char**);
int markov_loss_run(replay_state*, model_spec*);
int normal_delay_parse(replay_state*, model_spec*, int, char**);
int pareto_delay_parse(replay_state*, model_spec*, int, char**);
int dist_delay_parse(replay_state*, model_spec*, int, char**);
int dist_delay_run(replay_state*, model_spec*);
int trace_bw_parse(replay_state*, model_spec*, int, char**);
int trace_bw_run(replay_state*, model_spec*);
int cell_bw_parse(replay_state*, model_spec*, int, char**);
int cell_bw_run(replay_state*, model_spec*);

}  // namespace wenlo
