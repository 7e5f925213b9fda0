// Second phase of corvo's main in the owner: -M limits, memory locking (-H),
// the session file, the ports, the two direction threads and the statistics
// line.
#include <linux/capability.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "common/log.hpp"
#include "common/numarg.hpp"
#include "corvo/arp.hpp"
#include "corvo/datapath.hpp"
#include "corvo/json_report.hpp"
#include "corvo/options.hpp"
#include "corvo/session_file.hpp"
#include "models/model.hpp"
#include "netport/netport.hpp"

using namespace common;
using namespace pipes;
using namespace models;

namespace corvo {

#define log_main(...) log_tagged_as("main", __VA_ARGS__)

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

// Smallest memory limit of the process's memory cgroup and the cgroups
// above it (cgroup v2 memory.max, v1 memory.limit_in_bytes); UINT64_MAX
// when none can be read.
uint64_t cgroup_memory_limit()
{
    uint64_t limit = UINT64_MAX;
    FILE* f = std::fopen("/proc/self/cgroup", "r");
    if (!f)
        return limit;
    char line[4096];
    while (std::fgets(line, sizeof line, f)) {
        line[std::strcspn(line, "\n")] = '\0';
        char* ctl = std::strchr(line, ':');
        char* path = ctl ? std::strchr(ctl + 1, ':') : nullptr;
        if (!path || path[1] != '/')
            continue;
        *path++ = '\0';
        ++ctl;
        std::string dirs[2], file;
        if (*ctl == '\0') {
            dirs[0] = "/sys/fs/cgroup", dirs[1] = "/sys/fs/cgroup/unified", file = "/memory.max";
        } else if (std::strstr(ctl, "memory")) {
            dirs[0] = "/sys/fs/cgroup/memory", file = "/memory.limit_in_bytes";
        } else {
            continue;
        }
        for (const std::string& root : dirs) {
            if (root.empty())
                continue;
            for (std::string p = path;; p.resize(p.rfind('/'))) {
                if (FILE* m = std::fopen((root + p + file).c_str(), "r")) {
                    unsigned long long v = 0;
                    if (std::fscanf(m, "%llu", &v) == 1 && v < limit)
                        limit = v;  // "max" reads as nothing
                    std::fclose(m);
                }
                if (p.empty() || p == "/")
                    break;
            }
        }
    }
    std::fclose(f);
    return limit;
}

// Memory the process may lock, and what bounds it.
struct lock_room {
    uint64_t bytes;
    const char* bound;
};

lock_room room_to_lock()
{
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    lock_room room{pages > 0 && page > 0 ? uint64_t(pages) * uint64_t(page) : UINT64_MAX, "physical memory"};
    if (const uint64_t cg = cgroup_memory_limit(); cg < room.bytes)
        room = {cg, "the cgroup's memory limit"};
    rlimit rl{};
    if (!may_lock_unlimited() && getrlimit(RLIMIT_MEMLOCK, &rl) == 0 && rl.rlim_cur < room.bytes)
        room = {uint64_t(rl.rlim_cur), "RLIMIT_MEMLOCK"};
    return room;
}

// Bytes the process has mapped now with some access (what locking the
// current pages takes; inaccessible guard and reserve areas are not locked).
uint64_t mapped_now()
{
    uint64_t total = 0;
    FILE* f = std::fopen("/proc/self/maps", "r");
    if (!f)
        return 0;
    char line[4096];
    while (std::fgets(line, sizeof line, f)) {
        unsigned long long lo = 0, hi = 0;
        char perms[8] = "";
        if (std::sscanf(line, "%llx-%llx %7s", &lo, &hi, perms) == 3 && std::strncmp(perms, "---", 3) != 0)
            total += hi - lo;
    }
    std::fclose(f);
    return total;
}

// Queue and hold buffer bytes of both directions with the limits of their
// session areas, each bandwidth lowered to bps (0: kept) and each
// max-delay to delay, and queue limits of at least min_qsize; UINT64_MAX
// when a size cannot be had.
uint64_t buffer_bytes(const corvo_config& cfg, uint64_t bps, uint64_t delay, uint64_t min_qsize)
{
    uint64_t total = 0;
    for (const pipe_state& p : cfg.pipe) {
        const session_area& s = *p.session;
        const uint64_t b = bps && (s.max_bps == 0 || bps < s.max_bps) ? bps : s.max_bps;
        const uint64_t d = delay < s.max_delay ? delay : s.max_delay;
        uint64_t q = queue_buf_size(p.qsize > min_qsize ? p.qsize : min_qsize, d, b);
        uint64_t h = hold_buf_size(s.max_hold, b);
        if (q == invalid_count || h == invalid_count || q > UINT64_MAX / 4 || h > UINT64_MAX / 4)
            return UINT64_MAX;
        q = page_round(q);  // locked whole
        h = page_round(h);
        if (q + h > UINT64_MAX - total)
            return UINT64_MAX;
        total += q + h;
    }
    return total;
}

// The largest value in [lo, hi] for which fits holds (fits(lo) true,
// fits grows no larger as the value does).
template <class F>
uint64_t largest_fitting(uint64_t lo, uint64_t hi, F fits)
{
    while (lo < hi) {
        const uint64_t mid = lo + (hi - lo + 1) / 2;
        if (fits(mid))
            lo = mid;
        else
            hi = mid - 1;
    }
    return lo;
}

// A rate or a time rounded down to whole units of its scale, as an option
// takes it.
std::string option_rate(uint64_t bps)
{
    static constexpr struct {
        uint64_t unit;
        const char* suffix;
    } scale[] = {{1000000000, "G"}, {1000000, "M"}, {1000, "k"}, {1, ""}};
    for (const auto& s : scale) {
        if (bps >= 10 * s.unit || s.unit == 1)
            return std::to_string(bps / s.unit) + s.suffix;
    }
    return {};
}
std::string option_time(uint64_t ns)
{
    if (ns >= 1000000000 && ns % 1000000000 == 0)
        return std::to_string(ns / 1000000000) + "s";
    return ns >= 1000000 ? std::to_string(ns / 1000000) + "ms" : std::to_string(ns / 1000) + "us";
}

// The refusal of -H when the buffers cannot be locked, with the -M or -B
// that would make them fit.
void refuse_lock(const corvo_config& cfg, uint64_t need, uint64_t other, const lock_room& room)
{
    char need_s[64], room_s[64], other_s[64];
    scaled_str(need, need_s);
    scaled_str(room.bytes, room_s);
    scaled_str(other, other_s);
    std::string msg = std::string("-H: the queue and hold buffers need ") + need_s +
                      " bytes, and the program " + other_s + " bytes, but this process may lock " + room_s +
                      " bytes (" + room.bound + ")\n-H: would fit";
    const uint64_t avail = room.bytes > other ? room.bytes - other : 0;
    uint64_t max_delay = 0, max_bps = 0;
    for (const pipe_state& p : cfg.pipe) {
        max_delay = std::max(max_delay, p.session->max_delay);
        max_bps = std::max(max_bps, p.session->max_bps ? p.session->max_bps : default_bps);
    }
    // -B installs a queue limit (serialiser_qsize for constant rates)
    // where none is set: the suggestion leaves room for it.
    const auto bps_fits = [&](uint64_t b) {
        return buffer_bytes(cfg, b, UINT64_MAX, models::serialiser_qsize) <= avail;
    };
    const auto delay_fits = [&](uint64_t d) { return buffer_bytes(cfg, 0, d, 0) <= avail; };
    const bool by_bps = bps_fits(1000);
    const bool by_delay = max_delay >= 1000000 && delay_fits(1000000);
    if (by_bps) {
        const std::string r = option_rate(largest_fitting(1000, max_bps, bps_fits));
        msg += ": at max-delay " + option_time(max_delay) + " a bandwidth up to " + r + ": -M " +
               option_time(max_delay) + "," + r + " or -B " + r;
    }
    if (by_delay)
        msg += std::string(by_bps ? ";" : ":") + " at the present bandwidth delays up to " +
               option_time(largest_fitting(1000000, max_delay, delay_fits)) + " (-D, -M)";
    if (!by_bps && !by_delay)
        msg += ": no -M or -B; lower -Q or the hold time of -M";
    log_msg("%s\n", msg.c_str());
}

// -H: the buffers and the program are locked in memory, refused at start
// when they cannot all be; without it nothing is locked and the buffers
// take pages as the queues fill.  Locking pages mapped later needs an
// unlimited locked-memory limit or CAP_IPC_LOCK (under a finite limit the
// thread stacks and port mappings would count too): otherwise the pages
// mapped now and the buffers themselves are locked.
bool lock_if_asked(corvo_config& cfg)
{
    if (!cfg.lock_request)
        return true;
    const uint64_t need = buffer_bytes(cfg, 0, UINT64_MAX, 0);
    const bool future = may_lock_unlimited();
    // Thread stacks and port mappings are locked too when future pages are.
    const uint64_t other = mapped_now() + (future ? uint64_t(64) << 20 : 0);
    const lock_room room = room_to_lock();
    if (need > room.bytes || room.bytes - need < other) {
        refuse_lock(cfg, need, other, room);
        return false;
    }
    if (mlockall(MCL_CURRENT | (future ? MCL_FUTURE : 0)) != 0) {
        log_msg("-H: cannot lock memory: %s\n", std::strerror(errno));
        return false;
    }
    char need_s[64];
    scaled_str(need, need_s);
    log_msg("locking memory: %s bytes of queue and hold buffers and the program's pages\n", need_s);
    for (pipe_state& p : cfg.pipe)
        p.lock_buffers = 1;
    return true;
}

// -M of direction p: raises its limits and, without a bandwidth model,
// installs max-bps as one.  Answers false (logged) when the text is refused.
bool apply_limits(pipe_state& p, const char* text)
{
    int n = 0;
    split_words words(split_args_or_exit(text, &n));
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
            log_msg(
                "%lld -> %lld maxq %d round %lld drop %lld/%lld, %lld <- %lld maxq %d round %lld drop "
                "%lld/%lld\n",
                growth(&counts::pkts, 1), growth(&counts::pkts, 0), a.max_rxq.load(),
                static_cast<long long>(a.max_round.load()), growth(&counts::drops, 0),
                growth(&counts::drops, 1), growth(&counts::pkts, 3), growth(&counts::pkts, 2),
                b.max_rxq.load(), static_cast<long long>(b.max_round.load()), growth(&counts::drops, 2),
                growth(&counts::drops, 3));
            // Frames the ports dropped, apart from the drops above.
            if (growth(&counts::port_drops, 0) || growth(&counts::port_drops, 1) ||
                growth(&counts::port_drops, 2) || growth(&counts::port_drops, 3))
                log_msg(
                    "port drops A: short %lld out %lld (no peer %lld damaged %lld), "
                    "B: short %lld out %lld (no peer %lld damaged %lld)\n",
                    growth(&counts::port_drops, 0), growth(&counts::port_drops, 1),
                    growth(&counts::no_peer, 0), growth(&counts::damaged, 0), growth(&counts::port_drops, 2),
                    growth(&counts::port_drops, 3), growth(&counts::no_peer, 1), growth(&counts::damaged, 1));
        }
        for (pipe_state* p : {&a, &b}) {
            p->max_rxq.store(0, std::memory_order_relaxed);
            p->max_round.store(0, std::memory_order_relaxed);
        }
        report_write(cfg, "second");
    }
}

}  // namespace

int corvo_owner(corvo_config& cfg)
{
    if (cfg.json_path && !report_open(cfg, cfg.json_path))
        return 1;
    const option_row& limits = option_of(cfg, 'M');
    for (int d = 0; d < 2; ++d) {
        if (limits.arg[d] && !apply_limits(cfg.pipe[d], limits.arg[d]))
            return 1;
    }
    // -H is refused before anything is written when the buffers cannot be
    // locked.
    if (!lock_if_asked(cfg))
        return 1;
    // Every option has passed: the session file gets the layout now, and
    // is left as it was when a stop signal came first.
    if (stopped_during_start_up())
        return 0;
    if (!ec_commit())
        return 1;
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
    // The direction threads have seen the stop by now: the last object
    // holds every frame.
    report_write(cfg, "exit");
    return 0;
}

}  // namespace corvo
