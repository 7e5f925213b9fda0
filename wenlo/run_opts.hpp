// The long options of the replayer (rates, limits, rewriting) and their
// parsing, used by wenlo_run with getopt_long.
#pragma once

#include <getopt.h>

#include <string>

#include "wenlo/run.hpp"

namespace wenlo {

enum run_opt_code : int {
    opt_pps = 256,
    opt_multiplier,
    opt_loop,
    opt_limit,
    opt_duration,
    opt_dmac,
    opt_smac,
    opt_ipmap,
    opt_unique_ip,
    opt_seed,  // read by wenlo_run itself
    opt_json,  // read by wenlo_run itself
};

// wenlo's short options, for getopt_long and for telling an option's
// argument from a --help word.
inline constexpr char wenlo_optstring[] = "B:C:D:L:b:f:i:vw:";

extern const option long_options[];

// What the long options set: the run's options and the bandwidth text that
// --multiplier stands for.
struct run_args {
    run_options opts;
    std::string multiplier;  // "real,X", empty when not given
};

// Reads one long option; false with a message in err when it is refused.
bool run_option(int code, const char* arg, run_args& ra, std::string& err);

}  // namespace wenlo
