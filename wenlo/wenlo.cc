// Start-up of the replayer: options, models, the replay thread, and the
// monitor that prints the replay's progress once a second.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/intarg.hpp"
#include "common/log.hpp"
#include "wenlo/replay.hpp"
#include "wenlo/run_opts.hpp"
#include "wenlo/report.hpp"

using namespace common;

// Lines of the main thread carry the tag "main".
#define main_msg(...) log_msg_as("main", __VA_ARGS__)
#define main_tagged(...) log_tagged_as("main", __VA_ARGS__)

namespace wenlo {

namespace {

const char usage_text[] =
    "usage: wenlo [-v] [-D delay] [-B {[constant,]bps|ether,bps|real,speedup}] [-L loss]\n"
    "\t[-b burst] -f pcap-file -i <netmap:ifname|valeSSS:PPP>\n"
    "\t[--pps N | --multiplier X] [--loop N] [--limit N] [--duration T]\n"
    "\t[--dmac MAC] [--smac MAC] [--ipmap OLD/LEN:NEW/LEN]... [--unique-ip]\n";

[[noreturn]] void usage_exit()
{
    ssize_t r = write(get_log_fd(), usage_text, sizeof usage_text - 1);
    (void)r;
    std::exit(1);
}

// Stores an option that may be given once; a repeat ends the program.
void add_once_or_exit(const char** dst, const char* arg, const char* msg)
{
    if (*dst != nullptr) {
        log_msg_as("add_to", "%s %s\n", msg, arg);  // the tag the refusal line is known by
        std::exit(1);
    }
    *dst = arg;
}

}  // namespace

// -C: 1, 2 or 4 core numbers, each -1 or 0..1023.
void parse_cores_or_exit(const char* arg, int cores[4])
{
    {
        const cpu_list l = parse_cpu_list(arg, {.whole_words = false, .max_cpu = 1023});
        if (l.error == cpu_list_error::none) {
            for (int i = 0; i < 4; i++)
                cores[i] = static_cast<int>(l.cpu[i]);
            return;
        }
        if (l.error == cpu_list_error::count)
            main_msg(" -C accepts 1, 2 or 4 comma separated arguments\n");
        else
            main_msg("--EEE-- invalid core %s, use -1 or 0 to 1023\n", l.word(l.bad));
    }  // the words are freed before the process ends
    usage_exit();
}

// The replay state of the program, kept reachable until the process ends.
replay_state* the_state = nullptr;

namespace {

void on_sigint(int)
{
    abort_flag.store(1);
    std::signal(SIGINT, SIG_DFL);
}

// Packets dropped instead of sent, by reason: longer than the port
// carries, no peer attached, under 14 bytes, link damaged.
struct drop_counts {
    uint64_t n[4];
    bool any() const { return n[0] || n[1] || n[2] || n[3]; }
    drop_counts operator-(const drop_counts& o) const
    {
        return {{n[0] - o.n[0], n[1] - o.n[1], n[2] - o.n[2], n[3] - o.n[3]}};
    }
};

drop_counts read_drops(const replay_state& rs)
{
    return {{rs.skipped.load(std::memory_order_relaxed), rs.port_no_peer.load(std::memory_order_relaxed),
             rs.port_too_short.load(std::memory_order_relaxed),
             rs.port_damaged.load(std::memory_order_relaxed)}};
}

}  // namespace

int wenlo_run(int argc, char** argv)
{
    set_log_style(log_style::wenlo);
    // A standard error whose reader is gone fails a write (a lost log line)
    // instead of ending the replayer.
    std::signal(SIGPIPE, SIG_IGN);
    // Never freed: the replay thread uses it until the process ends.
    replay_state& rs = *(the_state = new replay_state);
    int cores[4] = {2, 8, 4, 10};
    int wait_link = 0;
    int verbosity = 0;
    const char *delay_arg = nullptr, *bw_arg = nullptr, *loss_arg = nullptr;
    const char *pcap_name = nullptr, *ifname = nullptr, *json_path = nullptr;
    run_args ra;

    // Long options take values above the letters.
    int ch;
    while ((ch = getopt_long(argc, argv, wenlo_optstring, long_options, nullptr)) != -1) {
        if (ch >= opt_pps && ch != opt_seed && ch != opt_json) {
            if (std::string err; !run_option(ch, optarg, ra, err)) {
                main_msg("--EEE-- %s\n", err.c_str());
                std::exit(1);
            }
            continue;
        }
        switch (ch) {
        // --seed N: every model draw comes from random() seeded with N.
        case opt_seed: {
            uint64_t seed = 0;
            if (!whole_unsigned(optarg, seed) || seed > UINT_MAX) {
                main_msg("--seed %s: need a whole number from 0 to %u\n", optarg, UINT_MAX);
                usage_exit();
            }
            srandom(static_cast<unsigned>(seed));
            main_msg("random seed %llu\n", static_cast<unsigned long long>(seed));
            break;
        }
        case opt_json:
            add_once_or_exit(&json_path, optarg, "--json too many times");
            break;
        case 'B':
            add_once_or_exit(&bw_arg, optarg, "-B too many times");
            break;
        case 'C':
            parse_cores_or_exit(optarg, cores);
            break;
        case 'D':
            add_once_or_exit(&delay_arg, optarg, "-D too many times");
            break;
        case 'L':
            add_once_or_exit(&loss_arg, optarg, "-L too many times");
            break;
        case 'b':
            rs.burst = int_arg(optarg);
            break;
        case 'f':
            add_once_or_exit(&pcap_name, optarg, "-f too many times");
            break;
        case 'i':
            add_once_or_exit(&ifname, optarg, "-i too many times");
            break;
        case 'v':
            verbosity++;  // counted; nothing reads it
            break;
        case 'w':
            wait_link = int_arg(optarg);
            break;
        default:
            main_tagged("bad option %c %s\n", ch, optarg != nullptr ? optarg : "(null)");
            usage_exit();
        }
    }
    (void)verbosity;
    if (pcap_name == nullptr) {
        main_msg("missing pcap file\n");
        usage_exit();
    }
    if (ifname == nullptr) {
        main_msg("missing interface\n");
        usage_exit();
    }
    if (rs.burst < 1 || rs.burst > 8192) {
        main_msg("--WWW-- invalid burst %d, set to 1024\n", rs.burst);
        rs.burst = 1024;
    }
    if (wait_link > 100) {
        main_msg("invalid wait_link %d, set to 4\n", wait_link);
        wait_link = 4;
    }
    const char* conflict = nullptr;
    if (ra.opts.pps != 0 && !ra.multiplier.empty())
        conflict = "--pps and --multiplier";
    else if (bw_arg != nullptr && ra.opts.pps != 0)
        conflict = "-B and --pps";
    else if (bw_arg != nullptr && !ra.multiplier.empty())
        conflict = "-B and --multiplier";
    if (conflict != nullptr) {
        main_msg("--EEE-- %s both set the timing: give one\n", conflict);
        std::exit(1);
    }
    if (!ra.multiplier.empty())
        bw_arg = strdup(ra.multiplier.c_str());  // the slot keeps the text
    rs.run = std::move(ra.opts);
    rs.pcap_name = pcap_name;
    rs.ifname = ifname;
    rs.core = cores[0];
    main_msg("running on cores %d %d %d %d\n", cores[0], cores[1], cores[2], cores[3]);

    // Absent or refused models count in the status; a run ended by one of
    // its limits counts only the refused ones.
    const int delay_st = cmd_apply(delay_table, delay_arg, &rs, &rs.delay_slot);
    int bw_st = 0;
    if (rs.run.pps != 0)
        rs.bw_slot = pps_slot(rs.run.pps);
    else
        bw_st = cmd_apply(bw_table, bw_arg, &rs, &rs.bw_slot);
    const int loss_st = cmd_apply(loss_table, loss_arg, &rs, &rs.loss_slot);
    int status = delay_st + bw_st + loss_st;
    const int refused = (delay_arg != nullptr ? delay_st : 0) + (bw_arg != nullptr ? bw_st : 0) +
                        (loss_arg != nullptr ? loss_st : 0);

    // Never freed, like the replay state.
    json_lines& report = *new json_lines;
    lateness::histogram& late_seen = *new lateness::histogram{};
    if (json_path) {
        if (!report.open(json_path)) {
            main_msg("--json: cannot open %s: %s\n", json_path, strerror(errno));
            return 1;
        }
        rs.report_on = true;
    }
    bool report_ok = true;
    const auto write_report = [&](const json_object& o) {
        if (report_ok && report.is_open() && !report.write(o)) {
            report_ok = false;
            main_msg("--json: cannot write the report: %s\n", strerror(errno));
        }
    };

    // From here on no thread waits on standard error but the log's writer.
    log_start_writer();
    int err = pthread_create(&rs.thread, nullptr, wenlo_main, &rs);
    if (err != 0) {
        main_msg("--EEE-- cannot create the replay thread: %s\n", strerror(err));
        return 1;
    }
    pthread_detach(rs.thread);  // never joined: it ends with the process
    std::signal(SIGINT, on_sigint);
    sleep(1);
    if (abort_flag.load() == 0) {
        for (;;) {
            uint64_t sent = rs.sent.load(std::memory_order_relaxed);
            uint64_t enq = rs.enqueued.load(std::memory_order_relaxed);
            const drop_counts drops_before = read_drops(rs);
            sleep(1);
            main_msg("%lld -> %lld maxq %d round %lld\n",
                     static_cast<long long>(rs.sent.load(std::memory_order_relaxed) - sent),
                     static_cast<long long>(rs.enqueued.load(std::memory_order_relaxed) - enq), rs.maxq,
                     static_cast<long long>(rs.round));
            if (const drop_counts d = read_drops(rs) - drops_before; d.any())
                main_msg("dropped %lld too long, %lld no peer, %lld too short, %lld link damaged\n",
                         static_cast<long long>(d.n[0]), static_cast<long long>(d.n[1]),
                         static_cast<long long>(d.n[2]), static_cast<long long>(d.n[3]));
            loss_counts lc = read_loss_counts(rs.loss_slot);
            double nominal = static_cast<double>(lc.threshold) * (1.0 / 16777216.0);
            double actual =
                lc.trials == 0 ? 0.0 : static_cast<double>(lc.drops) / static_cast<double>(lc.trials);
            main_msg("plr nominal %le actual %le\n", nominal, actual);
            rs.maxq = static_cast<int32_t>(static_cast<uint32_t>(rs.maxq) * 7u / 8u);
            rs.round = rs.round * 7 / 8;
            if (report.is_open())
                write_report(report_object(report, rs, "second", late_seen));
            if (abort_flag.load() != 0)
                break;
        }
    }
    main_tagged("exiting on abort\n");
    sleep(1);
    // Pairs with the replay thread's last store: what it did before is
    // then ordered before the end of the process.
    for (int i = 0; i < 100 && !rs.ended.load(std::memory_order_acquire); i++)
        usleep(50000);
    if (rs.ended.load(std::memory_order_acquire) && rs.ctl.end != nullptr &&
        std::strcmp(rs.ctl.end, "interrupt") != 0)
        status = refused;
    if (rs.failed.load() && status == 0)
        status = 1;
    if (report.is_open()) {
        json_object last = report_object(report, rs, "exit", late_seen);
        // The final report's fields, as its "report NAME VALUE" lines name them.
        if (rs.ended.load(std::memory_order_acquire) && rs.final_valid) {
            json_object r = json_object::object();
            rs.final_report.each([&r](const char* name, auto v) { r[name] = v; });
            last["report"] = std::move(r);
        }
        write_report(last);
    }
    return status;
}

}  // namespace wenlo
