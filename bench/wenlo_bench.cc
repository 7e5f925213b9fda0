// Replayer figures: filling rate of pcap_prod, replay rate at full speed
// (-B 0) over a shared-memory link and (as root) over a veth pair, and the
// timing error at the capture's own timing (received gap minus scheduled
// gap, median and 99th percentile of its size).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.hpp"
#include "common/log.hpp"
#include "netport/netport.hpp"
#include "wenlo/replay.hpp"

using namespace common;

using namespace wenlo;

namespace {

// A capture of n packets of len bytes, gap ns apart, in a temporary file
// removed with the object.  fill(i, frame) writes packet i into the frame
// buffer, which keeps what the previous call left there; by default a
// broadcast frame of EtherType 0x88b5 carrying i after the header.  ok is
// false when the file could not be made or written.
using frame_fill = std::function<void(uint32_t i, std::span<unsigned char> frame)>;

void numbered_frame(uint32_t i, std::span<unsigned char> frame)
{
    const unsigned char eth[14] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 2, 0, 0, 0, 0, 1, 0x88, 0xb5};
    std::memcpy(frame.data(), eth, std::min(sizeof eth, frame.size()));
    if (frame.size() >= 18)
        std::memcpy(frame.data() + 14, &i, 4);
}

struct capture {
    std::string path;
    bool ok = false;
    capture(uint32_t n, uint32_t len, uint64_t gap, const frame_fill& fill = numbered_frame)
    {
        char tmpl[] = "/tmp/wenlo_bench_XXXXXX";
        const int fd = mkstemp(tmpl);
        if (fd < 0)
            return;
        path = tmpl;
        std::string b;
        b.reserve(24 + size_t{n} * (16 + len));
        auto put = [&](uint32_t w) { b.append(reinterpret_cast<const char*>(&w), 4); };
        put(0xa1b23c4d);
        b.append(16, '\0');
        put(1);  // link type: Ethernet
        std::vector<unsigned char> data(len, 0);
        for (uint32_t i = 0; i < n; i++) {
            uint64_t t = uint64_t{i} * gap;
            put(static_cast<uint32_t>(t / 1000000000));
            put(static_cast<uint32_t>(t % 1000000000));
            put(len);
            put(len);
            fill(i, data);
            b.append(reinterpret_cast<const char*>(data.data()), len);
        }
        size_t done = 0;
        while (done < b.size()) {
            const ssize_t w = write(fd, b.data() + done, b.size() - done);
            if (w <= 0)
                break;
            done += static_cast<size_t>(w);
        }
        ok = done == b.size();
        close(fd);
    }
    ~capture()
    {
        if (!path.empty())
            unlink(path.c_str());
    }
    capture(const capture&) = delete;
    capture& operator=(const capture&) = delete;
};

struct quiet_log {
    int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    quiet_log()
    {
        set_log_style(log_style::wenlo);
        set_log_fd(fd);
    }
    ~quiet_log()
    {
        set_log_fd(2);
        close(fd);
    }
};

uint64_t mono() { return monotonic_ns(); }

void BM_pcap_prod(benchmark::State& state)
{
    quiet_log q;
    capture cap(10001, static_cast<uint32_t>(state.range(0)), 10000);
    uint64_t packets = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto rs = std::make_unique<replay_state>();
        readpcap(cap.path.c_str(), *rs);
        state.ResumeTiming();
        pcap_prod(*rs);
        packets += rs->enqueued.load() / 2;
        state.PauseTiming();
        rs.reset();
        state.ResumeTiming();
    }
    state.counters["packets_per_s"] =
        benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_pcap_prod)->Arg(64)->Arg(1500)->Unit(benchmark::kMillisecond);

// Load time of a capture of 1 000 000 IPv4/UDP frames of 100 bytes: map,
// scan and queue build (pcap_prod), without rewriting (0), with --dmac,
// --smac and --ipmap (1), and with --unique-ip besides (2).
void BM_load_1m(benchmark::State& state)
{
    quiet_log q;
    constexpr uint32_t n = 1000000, len = 100;
    const capture cap(n, len, 1000, [](uint32_t i, std::span<unsigned char> f) {
        if (i == 0) {
            // Ethernet 02:00:00:00:00:01 -> 02:00:00:00:00:02, IPv4 10.1.0.1 ->
            // 10.2.0.2, UDP 5000 -> 53.
            const unsigned char hdr[] = {0x02, 0,    0,    0,    0,  2, 0x02,     0,    0,   0, 0,
                                         1,    0x08, 0x00, 0x45, 0,  0, len - 14, 0,    0,   0, 0,
                                         64,   17,   0,    0,    10, 1, 0,        1,    10,  2, 0,
                                         2,    0x13, 0x88, 0,    53, 0, len - 34, 0x12, 0x34};
            std::memcpy(f.data(), hdr, sizeof hdr);
        }
        f[29] = static_cast<unsigned char>(i);  // a different source address now and then
    });
    if (!cap.ok) {
        state.SkipWithError("cannot write the capture");
        for (auto _ : state) {
        }
        return;
    }
    for (auto _ : state) {
        auto rs = std::make_unique<replay_state>();
        rs->pcap_name = cap.path.c_str();
        if (state.range(0) >= 1) {
            std::string err;
            rs->run.rewrite.set_dmac = parse_mac("02:00:00:00:00:09", rs->run.rewrite.dmac, err);
            rs->run.rewrite.set_smac = parse_mac("02:00:00:00:00:0a", rs->run.rewrite.smac, err);
            ipv4_map m{};
            parse_ipmap("10.1.0.0/16:172.16.0.0/16", m, err);
            rs->run.rewrite.maps.push_back(m);
        }
        rs->run.rewrite.unique_ip = state.range(0) == 2;
        const bool ok = load_capture(*rs) && build_queue(*rs);
        if (!ok) {
            // Nothing may pause the timer after an error: the loop ends here.
            state.SkipWithError("load failed");
            break;
        }
        state.PauseTiming();
        rs.reset();
        state.ResumeTiming();
    }
    state.counters["packets"] = n;
}
BENCHMARK(BM_load_1m)->Arg(0)->Arg(1)->Arg(2)->Iterations(3)->Unit(benchmark::kMillisecond);

// A veth pair wa/wb in a namespace of its own (root only).
struct veth_ns {
    std::string name = "wenlo_bench_" + std::to_string(getpid());
    bool ok;
    static bool sh(const std::string& c) { return std::system((c + " >/dev/null 2>&1").c_str()) == 0; }
    veth_ns()
    {
        ok = geteuid() == 0 && sh("ip netns add " + name) &&
             sh("ip -n " + name + " link add wa type veth peer name wb") &&
             sh("ip netns exec " + name + " sysctl -qw net.ipv6.conf.all.disable_ipv6=1") &&
             sh("ip -n " + name + " link set wa up") && sh("ip -n " + name + " link set wb up");
    }
    ~veth_ns() { sh("ip netns del " + name); }
    bool enter() const
    {
        int fd = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        bool r = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0)
            close(fd);
        return r;
    }
};

struct replay_result {
    uint64_t received = 0;
    uint64_t sent = 0;
    double seconds = 0;
    std::vector<double> gap_error;  // received gap - scheduled gap, ns
};

// Runs the replay thread on tx_name and receives on rx_name for `seconds`
// (or until `want` frames) in the calling thread.
replay_result replay(const std::string& cap, const char* bw, const std::string& tx_name,
                     const std::string& rx_name, double seconds, size_t want, uint64_t gap)
{
    replay_result res;
    auto rs = std::make_unique<replay_state>();
    rs->core = -1;
    rs->pcap_name = cap.c_str();
    rs->ifname = tx_name.c_str();
    if (bw != nullptr)
        cmd_apply(bw_table, bw, rs.get(), &rs->bw_slot);
    netport::port* rx = netport::nmport_open(rx_name.c_str());
    if (rx == nullptr)
        return res;
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    abort_flag.store(0);
    std::thread th([&] { wenlo_main(rs.get()); });
    netport::ring* r = netport::nmport_rx_ring(rx);
    uint64_t start = 0, end = mono() + static_cast<uint64_t>(30e9), last_t = 0;
    uint32_t last_idx = 0;
    while (mono() < end && res.received < want) {
        netport::nmport_rxsync(rx);
        uint64_t now = mono();
        if (r->head == r->tail) {
            if (gap != 0)
                usleep(20);
            continue;
        }
        for (; r->head != r->tail; r->head = r->head + 1 == r->num_slots ? 0 : r->head + 1) {
            const netport::slot& s = r->slots[r->head];
            if (s.len < 18)
                continue;
            uint32_t idx;
            std::memcpy(&idx, s.buf + 14, 4);
            if (res.received == 0) {
                start = now;
                end = now + static_cast<uint64_t>(seconds * 1e9);
            } else if (gap != 0 && idx == last_idx + 1) {
                res.gap_error.push_back(static_cast<double>(now - last_t) - static_cast<double>(gap));
            }
            last_t = now;
            last_idx = idx;
            res.received++;
        }
    }
    res.seconds = static_cast<double>(mono() - start) * 1e-9;
    res.sent = rs->sent.load();
    abort_flag.store(1);
    th.join();
    abort_flag.store(0);
    netport::nmport_close(rs->port);  // the program leaves it to the end of the process
    netport::nmport_close(rx);
    return res;
}

void report(benchmark::State& state, const replay_result& r)
{
    state.counters["received_per_s"] = r.seconds > 0 ? static_cast<double>(r.received) / r.seconds : 0;
    state.counters["sent"] = static_cast<double>(r.sent);
    state.counters["received"] = static_cast<double>(r.received);
    if (!r.gap_error.empty()) {
        std::vector<double> e = r.gap_error;
        std::sort(e.begin(), e.end());
        std::vector<double> a;
        for (double x : e)
            a.push_back(std::abs(x));
        std::sort(a.begin(), a.end());
        state.counters["err_median_us"] = e[e.size() / 2] / 1000;
        state.counters["abs_err_median_us"] = a[a.size() / 2] / 1000;
        state.counters["abs_err_p99_us"] = a[a.size() * 99 / 100] / 1000;
    }
}

// A fresh link for each run.
std::string vale(const char* end)
{
    static int run = 0;
    if (end[0] == 't')
        run++;
    return "valewb" + std::to_string(getpid()) + "r" + std::to_string(run) + ":" + end;
}

void BM_replay_vale_full_speed(benchmark::State& state)
{
    quiet_log q;
    capture cap(10001, static_cast<uint32_t>(state.range(0)), 10000);
    for (auto _ : state) {
        std::string tx = vale("tx"), rx = vale("rx");
        report(state, replay(cap.path, "0", tx, rx, 2.0, ~size_t{0}, 0));
    }
}
BENCHMARK(BM_replay_vale_full_speed)->Arg(64)->Arg(1500)->Iterations(1)->Unit(benchmark::kSecond);

void BM_replay_vale_timing(benchmark::State& state)
{
    quiet_log q;
    const uint64_t gap = static_cast<uint64_t>(state.range(0)) * 1000;
    capture cap(200, 100, gap);
    for (auto _ : state) {
        std::string tx = vale("tx"), rx = vale("rx");
        report(state, replay(cap.path, nullptr, tx, rx, 30.0, 2000, gap));
    }
}
BENCHMARK(BM_replay_vale_timing)->Arg(100)->Arg(1000)->Iterations(1)->Unit(benchmark::kSecond);

// Over veth the whole run happens in a thread that entered the namespace.
void veth_run(benchmark::State& state, const char* bw, double seconds, size_t want, uint64_t gap,
              uint32_t len)
{
    quiet_log q;
    veth_ns ns;
    if (!ns.ok) {
        state.SkipWithError("needs root for a veth pair in a namespace");
        for (auto _ : state) {
        }
        return;
    }
    capture cap(gap ? 200 : 10001, len, gap ? gap : 10000);
    for (auto _ : state) {
        replay_result r;
        std::thread t([&] {
            if (ns.enter())
                r = replay(cap.path, bw, "netmap:wa", "netmap:wb", seconds, want, gap);
        });
        t.join();
        report(state, r);
    }
}

void BM_replay_veth_full_speed(benchmark::State& state)
{
    veth_run(state, "0", 2.0, ~size_t{0}, 0, static_cast<uint32_t>(state.range(0)));
}
BENCHMARK(BM_replay_veth_full_speed)->Arg(64)->Arg(1500)->Iterations(1)->Unit(benchmark::kSecond);

void BM_replay_veth_timing(benchmark::State& state)
{
    veth_run(state, nullptr, 30.0, 2000, static_cast<uint64_t>(state.range(0)) * 1000, 100);
}
BENCHMARK(BM_replay_veth_timing)->Arg(100)->Arg(1000)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
