// Frames per second through the port layer: a shared-memory link, and (as
// root) a veth pair in a network namespace made for the run.
#include "netport/netport.hpp"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

using namespace netport;

namespace {

constexpr int burst = 64;

// Sends bursts on tx and takes every frame that has arrived on rx; counts
// the frames received.
void pump(benchmark::State& state, port* tx, port* rx)
{
    std::vector<unsigned char> frame(size_t(state.range(0)), 0x5a);
    ring* r = nmport_rx_ring(rx);
    uint64_t received = 0;
    for (auto _ : state) {
        for (int i = 0; i < burst; ++i)
            if (nmport_inject(tx, frame.data(), frame.size()) <= 0)
                break;
        nmport_txsync(tx);
        nmport_rxsync(rx);
        uint32_t n = (r->tail + r->num_slots - r->head) % r->num_slots;
        for (uint32_t k = 0; k < n; ++k)
            if (!(r->slots[(r->head + k) % r->num_slots].flags & NS_MOREFRAG))
                ++received;
        benchmark::DoNotOptimize(r->slots[r->head].buf);
        r->head = r->cur = r->tail;
    }
    state.counters["frames_per_s"] = benchmark::Counter(double(received), benchmark::Counter::kIsRate);
    state.counters["bytes_per_s"] =
        benchmark::Counter(double(received) * double(state.range(0)), benchmark::Counter::kIsRate);
}

void BM_vale_link(benchmark::State& state)
{
    std::string sw = "valebench" + std::to_string(getpid());
    port* a = nmport_open((sw + ":a").c_str());
    port* b = nmport_open((sw + ":b").c_str());
    if (!a || !b) {
        state.SkipWithError("cannot open the vale link");
    } else {
        pump(state, a, b);
    }
    nmport_close(a);
    nmport_close(b);
}
BENCHMARK(BM_vale_link)->Arg(64)->Arg(1500);

struct veth_setup {
    std::string ns = "netport-bench-" + std::to_string(getpid());
    std::string a = "nba" + std::to_string(getpid()), b = "nbb" + std::to_string(getpid());
    bool ok = false;
    veth_setup()
    {
        if (geteuid() != 0)
            return;
        std::string x = "ip netns exec " + ns + " ";
        ok = system(("ip netns add " + ns).c_str()) == 0 &&
             system(("ip -n " + ns + " link add " + a + " type veth peer name " + b).c_str()) == 0 &&
             system(("ip -n " + ns + " link set " + a + " up && ip -n " + ns + " link set " + b + " up")
                        .c_str()) == 0 &&
             system((x + "ethtool -K " + a + " tso off gso off gro off tx off rx off >/dev/null && " + x +
                     "ethtool -K " + b + " tso off gso off gro off tx off rx off >/dev/null")
                        .c_str()) == 0;
    }
    ~veth_setup()
    {
        if (geteuid() == 0)
            system(("ip netns del " + ns + " 2>/dev/null").c_str());
    }
};

void BM_veth_pair(benchmark::State& state)
{
    static veth_setup net;
    if (!net.ok) {
        state.SkipWithError("needs root to make a network namespace and a veth pair");
        return;
    }
    int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    int fd = open(("/run/netns/" + net.ns).c_str(), O_RDONLY | O_CLOEXEC);
    port* tx = nullptr;
    port* rx = nullptr;
    if (fd >= 0 && setns(fd, CLONE_NEWNET) == 0) {
        tx = nmport_open(("netmap:" + net.a).c_str());
        rx = nmport_open(("netmap:" + net.b).c_str());
    }
    if (!tx || !rx)
        state.SkipWithError("cannot open the veth ports");
    else
        pump(state, tx, rx);
    nmport_close(tx);
    nmport_close(rx);
    if (home >= 0 && setns(home, CLONE_NEWNET) != 0)
        abort();
    if (fd >= 0)
        close(fd);
    if (home >= 0)
        close(home);
}
BENCHMARK(BM_veth_pair)->Arg(64)->Arg(1500);

}  // namespace

BENCHMARK_MAIN();
