// Second phase of corvo's main in the owner: -M limits, the session file,
// memory locking, the ports, the two direction threads, the stop signals
// and the statistics line.
#include <linux/capability.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/log.hpp"
#include "common/numarg.hpp"
#include "corvo/arp.hpp"
#include "corvo/datapath.hpp"
#include "corvo/options.hpp"
#include "corvo/session_file.hpp"
#include "models/model.hpp"
#include "netport/netport.hpp"

#define log_main(...) log_write_tagged("main", __LINE__, __VA_ARGS__)

namespace {

// True when the process may lock pages without limit: an unlimited
// RLIMIT_MEMLOCK or CAP_IPC_LOCK in the effective set.
bool may_lock_unlimited()
{
    rlimit rl{};
    if (getrlimit(RLIMIT_MEMLOCK, &rl) == 0 && rl.rlim_cur == RLIM_INFINITY)
        return true;
    __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &hdr, data) != 0)
        return false;
    return (data[CAP_TO_INDEX(CAP_IPC_LOCK)].effective & CAP_TO_MASK(CAP_IPC_LOCK)) != 0;
}

// Locks the pages mapped now, and those mapped later only when the process
// may: under a finite limit, locked future pages would make every later
// buffer mapping and thread stack fail once the limit is reached.
void lock_memory()
{
    const int flags = MCL_CURRENT | (may_lock_unlimited() ? MCL_FUTURE : 0);
    if (mlockall(flags) != 0)
        log_msg("failed to lock memory: %s\n", std::strerror(errno));
}

struct free_deleter {
    void operator()(char** p) const { std::free(p); }
};

// -M of direction p: raises its limits and, without a bandwidth model,
// installs max-bps as one.  Answers false (logged) when the text is refused.
bool apply_limits(pipe_state& p, const char* text)
{
    int n = 0;
    std::unique_ptr<char*, free_deleter> words(split_args(text, &n));
    char** w = words.get();
    if (n < 1 || n > 3) {
        log_msg("invalid parameters for -M: need max-delay[,max-bps[,max-hold-time]]]\n");
        return false;
    }
    const uint64_t max_delay = parse_count(w[0], time_units);
    if (max_delay == invalid_count) {
        log_msg("invalid max-delay: %s\n", w[0]);
        return false;
    }
    uint64_t max_bps = 0;
    if (n >= 2) {
        max_bps = parse_count(w[1], rate_units);
        if (max_bps == invalid_count) {
            log_msg("invalid max-bps: %s\n", w[1]);
            return false;
        }
        if (p.bw_slot.run == null_run) {
            // The slot keeps the text for the banner: it must outlive the words.
            const char* bw_text = strdup(w[1]);
            if (!bw_text || cmd_apply(bw_models, bw_text, p, &p.bw_slot) != 0)
                log_msg("warning: failed to set default bandwidth limitation to %s\n", w[1]);
            else
                log_msg("set maximum bandwidth to %s\n", w[1]);
        }
    }
    uint64_t max_hold = 0;
    if (n == 3) {
        max_hold = parse_count(w[2], time_units);
        if (max_hold == invalid_count) {
            log_msg("invalid max-hold-time: %s\n", w[2]);
            return false;
        }
    }
    session_area& area = *p.session;
    if (max_delay > area.max_delay)
        area.max_delay = max_delay;
    if (max_bps > area.max_bps)
        area.max_bps = max_bps;
    if (max_hold > area.max_hold)
        area.max_hold = max_hold;
    return true;
}

// Opens the input port of p (receive only) and its output port.
bool open_ports(pipe_state& p)
{
    netport::port* in = netport::nmport_prepare(p.in_name);
    if (in)
        *netport::nr_flags(in) |= netport::NR_RX_RINGS_ONLY;
    if (!in || netport::nmport_open_desc(in) != 0) {
        log_main("cannot open %s\n", p.in_name);
        return false;
    }
    // The port layer has one receive ring per port.
    p.port_in = in;
    p.rx_ring = netport::nmport_rx_ring(in);
    p.port_out = netport::nmport_open(p.out_name);
    if (!p.port_out) {
        log_main("cannot open %s\n", p.out_name);
        return false;
    }
    return true;
}

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

// The first stop signal asks for the clean end; the defaults it puts back
// let a second one end the process at once.
extern "C" void on_stop_signal(int)
{
    abort_flag.store(1, std::memory_order_relaxed);
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    for (int sig : stop_signals)
        sigaction(sig, &dfl, nullptr);
}

// Start-up steps end here, without starting what follows, once a stop
// signal has come.
bool stopped_during_start_up()
{
    if (!abort_flag.load(std::memory_order_relaxed))
        return false;
    log_msg("exiting on abort\n");
    return true;
}

struct counts {
    uint64_t pkts[4];  // by counter block: prod A, cons A, prod B, cons B
    uint64_t drops[4];
    uint64_t port_drops[4];
    uint64_t no_peer[2];  // by direction: reasons of the output port's drops
    uint64_t damaged[2];
};

counts read_counts(const corvo_config& cfg)
{
    counts c{};
    for (int k = 0; k < 4; ++k) {
        c.pkts[k] = counter_read(cfg.layout->header.counters[k].pkts);
        c.drops[k] = counter_read(cfg.layout->header.counters[k].drop_pkts);
        c.port_drops[k] = counter_read(cfg.layout->header.counters[k].port_drop_pkts);
    }
    for (int d = 0; d < 2; ++d) {
        if (cfg.pipe[d].port_out) {
            const netport::port_drops pd = netport::nmport_drops(cfg.pipe[d].port_out);
            c.no_peer[d] = pd.peer_absent;
            c.damaged[d] = pd.damaged;
        }
    }
    return c;
}

void stats_loop(corvo_config& cfg)
{
    pipe_state& a = cfg.pipe[0];
    pipe_state& b = cfg.pipe[1];
    // Each line's end reading starts the next line, so that the lines add
    // up to every packet counted while the loop runs.
    counts after = read_counts(cfg);
    while (!abort_flag.load(std::memory_order_relaxed)) {
        const counts before = after;
        sleep(1);
        after = read_counts(cfg);
        auto growth = [&](const auto counts::*field, int k) {
            return static_cast<long long>((after.*field)[k] - (before.*field)[k]);
        };
        if (verbose >= 1) {
            log_msg("%lld -> %lld maxq %d round %lld drop %lld/%lld, %lld <- %lld maxq %d round %lld drop %lld/%lld\n",
                    growth(&counts::pkts, 1), growth(&counts::pkts, 0), a.max_rxq.load(),
                    static_cast<long long>(a.max_round.load()), growth(&counts::drops, 0),
                    growth(&counts::drops, 1), growth(&counts::pkts, 3), growth(&counts::pkts, 2),
                    b.max_rxq.load(), static_cast<long long>(b.max_round.load()), growth(&counts::drops, 2),
                    growth(&counts::drops, 3));
            // Frames the ports dropped, apart from the drops above.
            if (growth(&counts::port_drops, 0) || growth(&counts::port_drops, 1) ||
                growth(&counts::port_drops, 2) || growth(&counts::port_drops, 3))
                log_msg("port drops A: short %lld out %lld (no peer %lld damaged %lld), "
                        "B: short %lld out %lld (no peer %lld damaged %lld)\n",
                        growth(&counts::port_drops, 0), growth(&counts::port_drops, 1),
                        growth(&counts::no_peer, 0), growth(&counts::damaged, 0),
                        growth(&counts::port_drops, 2), growth(&counts::port_drops, 3),
                        growth(&counts::no_peer, 1), growth(&counts::damaged, 1));
        }
        for (pipe_state* p : {&a, &b}) {
            p->max_rxq.store(0, std::memory_order_relaxed);
            p->max_round.store(0, std::memory_order_relaxed);
        }
    }
}

}  // namespace

void install_stop_signals()
{
    struct sigaction sa{};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : stop_signals)
        sigaddset(&sa.sa_mask, sig);
    for (int sig : stop_signals)
        sigaction(sig, &sa, nullptr);
}

int corvo_owner(corvo_config& cfg)
{
    const option_row& limits = option_of(cfg, 'M');
    for (int d = 0; d < 2; ++d) {
        if (limits.arg[d] && !apply_limits(cfg.pipe[d], limits.arg[d]))
            return 1;
    }
    // Every option has passed: the session file gets the layout now, and
    // is left as it was when a stop signal came first.
    if (stopped_during_start_up())
        return 0;
    if (!ec_commit())
        return 1;
    lock_memory();
    if (!ec_release_client_area())
        return 1;
    for (pipe_state& p : cfg.pipe) {
        if (p.late_limit == 0)
            p.late_limit = 100000;
    }
    // What A's producer hands over on ifa is answered by B's consumer,
    // which transmits on ifa, and the reverse.
    cfg.pipe[0].arp_prod_ring = &arp_rings[0];
    cfg.pipe[1].arp_cons_ring = &arp_rings[0];
    cfg.pipe[1].arp_prod_ring = &arp_rings[1];
    cfg.pipe[0].arp_cons_ring = &arp_rings[1];
    if (cfg.hugepages)
        log_msg("using hugepages\n");

    for (pipe_state& p : cfg.pipe) {
        if (!open_ports(p))
            return 1;
    }
    if (cfg.pipe[0].wait_link > 0 && !abort_flag.load(std::memory_order_relaxed))
        sleep(static_cast<unsigned>(cfg.pipe[0].wait_link));  // a signal cuts it short
    if (stopped_during_start_up())
        return 0;

    static constexpr const char* direction_names[2] = {"A", "B"};
    for (int d = 0; d < 2; ++d) {
        if (int e = pthread_create(&cfg.pipe[d].cons_tid, nullptr, corvo_main, &cfg.pipe[d]); e != 0) {
            log_main("cannot start the thread of direction %s: %s\n", direction_names[d], std::strerror(e));
            abort_flag.store(1);
            return 1;
        }
    }
    sleep(1);
    stats_loop(cfg);
    log_msg("exiting on abort\n");
    sleep(1);
    return 0;
}
