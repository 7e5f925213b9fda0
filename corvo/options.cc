// First phase of corvo's main: the command line, the session layout and the
// per-direction options of both directions.
#include "corvo/options.hpp"

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "common/intarg.hpp"
#include "common/log.hpp"
#include "common/numarg.hpp"
#include "corvo/route.hpp"
#include "corvo/session_file.hpp"
#include "models/model.hpp"
#include "netport/netport.hpp"

using namespace common;
using namespace pipes;
using namespace models;

namespace corvo {

// Messages of main carry the tag "main" whichever function logs them.
#define log_main(...) log_tagged_as("main", __VA_ARGS__)

void print_usage()
{
    [[maybe_unused]] ssize_t r = ::write(get_log_fd(), corvo_usage, sizeof corvo_usage - 1);
}

cpu_numbers default_cpus(long online)
{
    if (online < 1)
        return {0, 0, 0, 0};
    // Beyond the placement set every thread would land outside it.
    const long n = online > max_cpu + 1 ? max_cpu + 1 : online;
    const long h = n / 2;
    const long third = 2 * h / 3;
    return {static_cast<int>(n / 6), static_cast<int>(n / 6 + h), static_cast<int>(third),
            static_cast<int>(h + third)};
}

namespace {

constexpr const char* cpu_names[4] = {"A consumer", "A producer", "B consumer", "B producer"};

}  // namespace

bool parse_cpus(const char* text, cpu_numbers& out)
{
    const cpu_list l = parse_cpu_list(text, {.whole_words = true, .max_cpu = max_cpu});
    switch (l.error) {
    case cpu_list_error::count:
        log_msg(" -C accepts 1, 2 or 4 comma separated arguments\n");
        print_usage();
        return false;
    case cpu_list_error::word:
        log_msg("invalid CPU number '%s' in -C %s\n", l.word(l.bad), text);
        return false;
    case cpu_list_error::range:
        log_msg("-C %s puts the %s thread on CPU %lld: use -1 or 0 to %d\n", text, cpu_names[l.bad],
                l.cpu[l.bad], max_cpu);
        return false;
    case cpu_list_error::none:
        break;
    }
    for (int k = 0; k < 4; ++k)
        out[k] = static_cast<int>(l.cpu[k]);
    return true;
}

void seed_random(pipe_state& p, uint64_t seed, int d)
{
    // One splitmix64 step of seed and direction: nearby seeds give unrelated states.
    uint64_t z = seed + 0x9e3779b97f4a7c15ull * static_cast<uint64_t>(d + 1);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    p.rand_state[0] = static_cast<unsigned short>(z);
    p.rand_state[1] = static_cast<unsigned short>(z >> 16);
    p.rand_state[2] = static_cast<unsigned short>(z >> 32);
}

namespace {

// Steps before option parsing: the table copy, the records' start values
// and the default placement.
void options_init(corvo_config& cfg)
{
    std::memcpy(cfg.rows, option_table, sizeof option_table);
    netport::nmctx_set_threadsafe();
    for (pipe_state& p : cfg.pipe) {
        for (int k = 0; k < n_model_kinds; ++k)
            slot_reset(pipe_slot(p, k));
    }
    errno = 0;
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online < 1)
        log_msg("failed to get the number of online CPUs: %s\n", std::strerror(errno));
    cfg.cpus = default_cpus(online);
}

// getopt over the command line; answers go_on or the exit status.
int parse_command_line(corvo_config& cfg, int argc, char** argv)
{
    // Row of each option letter, so that a letter finds its row at once.
    signed char row_of[128];
    std::memset(row_of, -1, sizeof row_of);
    for (int r = 0; r < n_option_rows; ++r)
        row_of[static_cast<unsigned char>(cfg.rows[r].letter)] = static_cast<signed char>(r);

    // Long options take values above the letters.
    constexpr int opt_json = seed_option + 1;
    static const option long_options[] = {{"seed", required_argument, nullptr, seed_option},
                                          {"json", required_argument, nullptr, opt_json},
                                          {}};
    pipe_state& a = cfg.pipe[0];
    optind = 0;  // a full restart of getopt, also when called again in one process
    int ch;
    while ((ch = getopt_long(argc, argv, corvo_optstring.data(), long_options, nullptr)) != -1) {
        if (ch > 0 && ch < 128 && ch != '?')
            cfg.given[ch] = true;
        if (ch > 0 && ch < 128 && row_of[ch] >= 0) {
            option_row& row = cfg.rows[row_of[ch]];
            if (!row.arg[0]) {
                row.arg[0] = optarg;
            } else if (!row.arg[1]) {
                row.arg[1] = optarg;
            } else {
                log_msg("-%c too many times: %s\n", ch, optarg);
                return 1;
            }
            continue;
        }
        switch (ch) {
        case 'C':
            if (!parse_cpus(optarg, cfg.cpus))
                return 1;
            break;
        case 'H':
            cfg.lock_request = true;
            break;
        case 'a':
            cfg.stop_request = true;
            break;
        case 'b':
            a.burst = int_arg(optarg);
            break;
        case 'c':
            break;
        case 'q':
            if (verbose > 0)
                --verbose;
            break;
        case 'r':
            a.route_mode = 1;
            break;
        case 'v':
            ++verbose;
            break;
        case 'w': {
            // A pause cannot be negative.
            const int w = int_arg(optarg);
            a.wait_link = w < 0 ? 0 : w;
            break;
        }
        case opt_json:
            cfg.json_path = optarg;
            break;
        case 's':
            if (cfg.session_path) {
                log_main("option 's' duplicated\n");
                print_usage();
                return 1;
            }
            cfg.session_path = optarg;
            break;
        case seed_option:
            if (!whole_unsigned(optarg, cfg.seed)) {
                log_msg("--seed %s: need a whole number from 0 to 18446744073709551615\n", optarg);
                return 1;
            }
            cfg.seed_given = true;
            break;
        default:  // '?': unknown option or missing argument
            if (optopt > 0 && optopt < 128)
                log_msg("unknown option '-%c'\n", optopt);
            else  // a long option
                log_msg("unknown option '%s'\n", argv[optind - 1]);
            break;
        }
    }
    return go_on;
}

// The one place where the session layout and the role are obtained.
session_map obtain_session_or_exit(corvo_config& cfg)
{
    const session_map m = ec_map_or_exit(cfg.session_path);  // ends the process on failure
    cfg.layout = m.layout;
    cfg.role = m.role == session_role::client ? corvo_role::client : corvo_role::owner;
    return m;
}

// A client's one line: the file has an owner, and what of the command line
// only an owner would use.
void say_client(const corvo_config& cfg)
{
    static constexpr char owner_only[] = "idMGbwCrH";
    char ignored[3 * sizeof owner_only + 16] = "";
    size_t n = 0;
    for (const char* c = owner_only; *c; ++c) {
        if (cfg.given[static_cast<unsigned char>(*c)])
            n += static_cast<size_t>(std::snprintf(ignored + n, sizeof ignored - n, " -%c", *c));
    }
    if (cfg.json_path)
        n += static_cast<size_t>(std::snprintf(ignored + n, sizeof ignored - n, " --json"));
    log_msg("%s has a running owner: publishing to it as a client%s%s\n", cfg.session_path,
            n ? ", ignoring" : "", ignored);
}

// Checks of an owner before the per-direction step; answers go_on or 1.
int owner_validate(corvo_config& cfg)
{
    const option_row& ports = option_of(cfg, 'i');
    if (!ports.arg[0] || !ports.arg[1]) {
        log_msg("missing interface(s)\n");
        print_usage();
        return 1;
    }
    if (std::strcmp(ports.arg[0], ports.arg[1]) == 0) {
        log_msg("must specify two different interfaces %s %s\n", ports.arg[0], ports.arg[1]);
        print_usage();
        return 1;
    }
    pipe_state& a = cfg.pipe[0];
    pipe_state& b = cfg.pipe[1];
    if (a.burst < 1 || a.burst > 8192) {
        log_msg("invalid burst %d, set to 1024\n", a.burst);
        a.burst = 1024;
    }
    if (a.wait_link > 100) {
        log_msg("invalid wait_link %d, set to 4\n", a.wait_link);
        a.wait_link = 4;
    }
    if (a.route_mode) {
        const option_row& gw = option_of(cfg, 'G');
        const char* const names[2] = {ports.arg[0], ports.arg[1]};
        const char* const gateways[2] = {gw.arg[0], gw.arg[1]};
        if (route_setup(names, gateways) != 0) {
            print_usage();
            return 1;
        }
    }
    // B starts as a copy of A (std::atomic members rule out a whole copy;
    // everything else of A is still at its start value).
    b.wait_link = a.wait_link;
    b.route_mode = a.route_mode;
    b.burst = a.burst;
    if (!cfg.seed_given)
        cfg.seed = static_cast<uint64_t>(std::time(nullptr));
    seed_random(a, cfg.seed, 0);
    seed_random(b, cfg.seed, 1);
    for (int k = 0; k < n_model_kinds; ++k)
        pipe_slot(b, k) = pipe_slot(a, k);

    a.in_name = ports.arg[0];
    a.out_name = ports.arg[1];
    b.in_name = ports.arg[1];
    b.out_name = ports.arg[0];
    if (a.route_mode) {
        a.in_if = &route_configs[0];
        a.out_if = &route_configs[1];
        b.in_if = &route_configs[1];
        b.out_if = &route_configs[0];
    }
    a.cons_core = cfg.cpus[cpu_a_cons];
    a.prod_core = cfg.cpus[cpu_a_prod];
    b.cons_core = cfg.cpus[cpu_b_cons];
    b.prod_core = cfg.cpus[cpu_b_prod];
    log_msg("running on cores %d->%d %d->%d\n", a.prod_core, a.cons_core, b.prod_core, b.cons_core);
    return go_on;
}

// A time or size option as a count; invalid_count (logged) when refused.
uint64_t option_count(char letter, const char* text, const unit_entry* units)
{
    const uint64_t v = parse_count(text, units);
    if (v == invalid_count)
        log_msg("invalid -%c argument %s\n", letter, text);
    return v;
}

// Applies direction d's options to its record and the instance it writes;
// answers the number of option errors.
int apply_direction(corvo_config& cfg, int d, uint32_t instance)
{
    pipe_state& p = cfg.pipe[d];
    session_attach(p, cfg.layout, d, instance);
    session_instance& inst = cur_instance_of(p);
    // A publication replaces the whole instance: what an earlier client
    // (or one that died while writing) left in it must not survive.  A
    // client without -O or -P keeps the offset and overlap rule in force.
    const session_instance* in_force =
        cfg.role == corvo_role::client ? &p.session->instance[1 - instance] : nullptr;
    inst.delay_offset = in_force ? in_force->delay_offset : 0;
    inst.drop_overlap = in_force ? in_force->drop_overlap : 0;
    p.delay_offset = inst.delay_offset;
    p.drop_overlap = static_cast<int>(inst.drop_overlap);
    int errors = 0;

    for (int k = 0; k < n_model_kinds; ++k)
        errors +=
            cmd_apply(model_list[k].table, option_of(cfg, model_list[k].letter).arg[d], p, &pipe_slot(p, k));

    if (const char* t = option_of(cfg, 'd').arg[d]) {
        const uint64_t v = option_count('d', t, time_units);
        if (v == invalid_count)
            ++errors;
        else
            p.late_limit = v;
    }
    if (const char* t = option_of(cfg, 'P').arg[d]) {
        if ((t[0] != '0' && t[0] != '1') || t[1] != '\0') {
            log_msg("-P expects either 0 or 1\n");
            ++errors;
        } else {
            p.drop_overlap = t[0] - '0';
            inst.drop_overlap = static_cast<uint32_t>(p.drop_overlap);
        }
    }
    if (const char* t = option_of(cfg, 'O').arg[d]) {
        const uint64_t v = option_count('O', t, time_units);
        if (v == invalid_count) {
            ++errors;
        } else {
            p.delay_offset = v;
            inst.delay_offset = v;
        }
    }
    // The instance holds the queue limit in 32 bits.
    uint64_t qsize = 0;
    if (const char* t = option_of(cfg, 'Q').arg[d]) {
        qsize = option_count('Q', t, size_units);
        if (qsize == invalid_count) {
            ++errors;
            qsize = 0;
        } else if (qsize > UINT32_MAX) {
            log_msg("-Q %s is too large: the queue limit must stay below 4G\n", t);
            ++errors;
            qsize = 0;
        }
    } else if (option_of(cfg, 'B').arg[d]) {
        qsize = p.bw_slot.qsize_hint;
        log_msg("setting qsize to %lluB\n", static_cast<unsigned long long>(qsize));
    } else {
        log_msg("using unlimited qsize\n");
    }
    p.qsize = qsize;
    inst.qsize = static_cast<uint32_t>(qsize);

    p.prod_stats = &cfg.layout->header.counters[2 * d];
    p.cons_stats = &cfg.layout->header.counters[2 * d + 1];
    return errors;
}

}  // namespace

int corvo_options(corvo_config& cfg, int argc, char** argv)
{
    options_init(cfg);
    if (int r = parse_command_line(cfg, argc, argv); r != go_on)
        return r;

    const session_map map = obtain_session_or_exit(cfg);
    if (cfg.stop_request)
        return ec_stop(map);

    if (cfg.role == corvo_role::owner) {
        // From here on a stop signal ends the start-up cleanly.
        install_stop_signals();
        if (int r = owner_validate(cfg); r != go_on)
            return r;
    } else {
        say_client(cfg);
        // While the owner still reads the spare instance, write nothing.
        if (!ec_wait_ack(*cfg.layout) || !ec_stage())
            return 1;
    }
    for (option_row* row = cfg.rows; row->letter; ++row) {
        if ((row->flags & opt_both) && !row->arg[1])
            row->arg[1] = row->arg[0];
    }

    cfg.errors = 0;
    for (int d = 0; d < 2; ++d) {
        const uint32_t instance = cfg.role == corvo_role::owner ? 0 : spare_instance(cfg.layout->area[d]);
        cfg.errors += apply_direction(cfg, d, instance);
    }
    if (cfg.errors != 0) {
        log_msg("exiting due to %d error(s)\n", cfg.errors);
        return 1;
    }
    if (cfg.role == corvo_role::client) {
        if (!ec_commit())
            return 1;
        ec_publish(cfg.pipe[0], cfg.pipe[1]);
        return 0;
    }
    log_msg("random seed %llu%s\n", static_cast<unsigned long long>(cfg.seed),
            cfg.seed_given ? "" : " (from the clock; --seed repeats the run)");
    return go_on;
}

}  // namespace corvo
