// Command line and owner start-up of the link emulator.
//
// main runs in two phases.  corvo_options reads the command line, obtains
// the session layout (private memory, or a session file that also decides
// whether this process owns the emulator or is a client of a running one)
// and applies the per-direction options to the two pipe_state records.
// corvo_owner then does the owner's start-up: -M limits, memory locking,
// the ports, one corvo_main thread per direction and the statistics line
// printed once a second until abort_flag is set (by SIGINT, SIGTERM or
// SIGHUP, taken from the moment the process knows it is the owner).
//
// Directions: A receives on the first -i port (ifa) and sends on the second
// (ifb); B the reverse.  A per-direction option given once applies to both
// directions, given twice the first is A's and the second B's.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "pipe/pipe_state.hpp"

namespace corvo {

// Written verbatim to standard error with the refusals that call for it.
inline constexpr char corvo_usage[] =
    "usage: corvo [-v] [-D delay] [-B bps] [-L loss] [-Q qsize] \n"
    "\t[-b burst] [-w wait_time] [-G gateway] -i ifa -i ifb\n";
void print_usage();

// ---------------------------------------------------------------------------
// Option table: the options that may occur at most twice.

inline constexpr int opt_both = 1;  // flags: one occurrence applies to both directions

struct option_row {
    char letter;         // option character; 0 ends the table
    int flags;           // opt_both
    const char* arg[2];  // first and second occurrence, null while absent
};

inline constexpr int n_option_rows = 11;
inline constexpr option_row option_table[n_option_rows + 1] = {
    {'B', opt_both, {}},  // bandwidth model of A, of B
    {'D', opt_both, {}},  // delay model
    {'Q', opt_both, {}},  // queue limit
    {'L', opt_both, {}},  // loss model
    {'R', opt_both, {}},  // reorder model
    {'G', 0, {}},         // gateway of ifa, of ifb (route mode)
    {'M', opt_both, {}},  // limits: max-delay[,max-bps[,max-hold-time]]
    {'P', opt_both, {}},  // drop_overlap
    {'i', 0, {}},         // port ifa, port ifb
    {'O', opt_both, {}},  // delay_offset
    {'d', opt_both, {}},  // late_limit
    {},
};

// The getopt string: every table letter with an argument, then the rest.
inline constexpr std::string_view other_options = "C:b:cvw:rHs:qa";
consteval auto make_optstring()
{
    std::array<char, 2 * n_option_rows + other_options.size() + 1> s{};
    std::size_t n = 0;
    for (int r = 0; r < n_option_rows; ++r) {
        s[n++] = option_table[r].letter;
        s[n++] = ':';
    }
    for (char c : other_options)
        s[n++] = c;
    s[n] = '\0';
    return s;
}
inline constexpr auto corvo_optstring = make_optstring();
static_assert(std::string_view(corvo_optstring.data()) == "B:D:Q:L:R:G:M:P:i:O:d:C:b:cvw:rHs:qa");

// ---------------------------------------------------------------------------
// CPU numbers of the four threads.

enum cpu_index { cpu_a_cons = 0, cpu_a_prod = 1, cpu_b_cons = 2, cpu_b_prod = 3 };
using cpu_numbers = std::array<int, 4>;  // by cpu_index; -1 = not placed
inline constexpr int max_cpu = 1023;     // thread placement uses a set of 1024 CPUs

// Default placement for `online` processors: consumers in the lower half,
// each producer half the processor count above its consumer.  online < 1
// gives all 0.
cpu_numbers default_cpus(long online);

// The argument of -C: 1 word v (v, v+1, v+2, v+3), 2 words a,b (a, a+1, b,
// b+1) or 4 words.  Every number must be an integer and every resulting
// CPU -1 or 0 to max_cpu.  Refusals are logged and answer false.
bool parse_cpus(const char* text, cpu_numbers& out);

// --seed N: the long option's getopt value (beyond every option letter).
inline constexpr int seed_option = 256;

// Direction d's random state from seed: the same seed gives the same draws,
// and the two directions draw different sequences.
void seed_random(pipes::pipe_state& p, uint64_t seed, int d);

// ---------------------------------------------------------------------------
// Run-wide state of main.

enum class corvo_role : uint8_t { owner, client };

struct corvo_config {
    option_row rows[n_option_rows + 1];  // modifiable copy of option_table
    const char* session_path;            // -s, null without
    const char* json_path;               // --json, null without
    bool stop_request;                   // -a
    bool lock_request;                   // -H: lock the buffers and the program in memory
    cpu_numbers cpus;
    corvo_role role;
    int errors;  // option errors of the per-direction step
    pipes::session_layout* layout;
    bool given[128];            // option letters seen on the command line
    bool seed_given;            // --seed
    uint64_t seed;              // --seed N, else picked from the clock
    pipes::pipe_state pipe[2];  // A, B
};

// The occurrences of a table letter (both null when absent).
inline option_row& option_of(corvo_config& cfg, char letter)
{
    int r = 0;
    while (cfg.rows[r].letter && cfg.rows[r].letter != letter)
        ++r;
    return cfg.rows[r];
}

// Returned by corvo_options when the owner's start-up is to follow.
inline constexpr int go_on = -1;

// First phase; cfg must be value-initialised.  Answers go_on for an owner
// that is to start, otherwise the exit status of the process (a client that
// published, a stop request, or 1 for a refusal, already logged).
int corvo_options(corvo_config& cfg, int argc, char** argv);

// SIGINT, SIGTERM and SIGHUP set abort_flag, which ends the owner cleanly
// whether it is still starting or already running; a second one of them
// ends the process at once (stop_signals.cc).
void install_stop_signals();

// Second phase of an owner: runs until abort_flag is set and answers the
// exit status (0 after a normal stop, 1 when start-up fails) (startup.cc).
int corvo_owner(corvo_config& cfg);

// Both phases; what main returns.  The records live until the process ends
// (run.cc).
int corvo_run(int argc, char** argv);

}  // namespace corvo
