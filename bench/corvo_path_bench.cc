// Per-packet cost of corvo's data path: enqueue (models, room check, copy
// into the queue) plus the consumer's take-and-send on a link whose other
// end is absent, against a plain memcpy of the same bytes.  The *_sent and
// *_report pairs send to an attached other end (drained every 64 packets),
// without and with the JSON report's recording (a clock reading and the
// lateness histogram per frame sent).
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "corvo/datapath.hpp"
#include "models/model.hpp"
#include "netport/netport.hpp"

using namespace common;
using namespace pipes;
using namespace models;
using namespace corvo;

namespace {

uint64_t bench_now = 1000000000;
uint64_t bench_clock() noexcept { return bench_now; }

struct direction {
    session_layout* layout = session_private();
    std::unique_ptr<pipe_state> pp = std::make_unique<pipe_state>();
    pipe_state& p = *pp;
    netport::port* out;
    netport::port* peer = nullptr;  // the other end, when frames are to be sent
    cons_loop_state st;
    std::vector<unsigned char> pkt;

    direction(const char* delay, const char* bw, const char* loss, const char* reorder, uint32_t len,
              bool attached = false, bool report = false)
        : out(netport::nmport_open(("valebench" + std::to_string(getpid()) + ":a").c_str())), pkt(len, 0x5a)
    {
        if (attached)
            peer = netport::nmport_open(("valebench" + std::to_string(getpid()) + ":b").c_str());
        p.report_on = report;
        set_datapath_clock(bench_clock);
        for (int k = 0; k < n_model_kinds; ++k)
            slot_reset(pipe_slot(p, k));
        session_attach(p, layout, 0, 0);
        cmd_apply(delay_models, delay, p, &p.delay_slot);
        cmd_apply(bw_models, bw, p, &p.bw_slot);
        cmd_apply(loss_models, loss, p, &p.loss_slot);
        cmd_apply(reorder_models, reorder, p, &p.reorder_slot);
        p.prod_stats = &layout->header.counters[0];
        p.cons_stats = &layout->header.counters[1];
        p.burst = 64;
        p.late_limit = uint64_t(1) << 62;
        p.port_out = out;
        p.buf_size = queue_buf_size(0, 0, 0);
        p.buf = static_cast<unsigned char*>(mmap(nullptr, p.buf_size, PROT_READ | PROT_WRITE,
                                                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0));
        prod_init(p);
        cons_init(p, st);
        if (attached) {
            // The report reads the real clock: its cost is part of what is
            // measured.  The data path's times start near the bench's own.
            set_datapath_clock(nullptr);
            p.t0 = mono_ns() - bench_now;
        }
    }
    ~direction()
    {
        munmap(p.buf, p.buf_size);
        if (peer)
            netport::nmport_close(peer);
        netport::nmport_close(out);
        session_unmap(layout);
        set_datapath_clock(nullptr);
    }
    // One packet in and out; the consumer's clock runs far ahead so every
    // record is due.
    void one()
    {
        p.cur_pkt = pkt.data();
        p.cur_len = uint32_t(pkt.size());
        p.frags[0] = {pkt.data(), p.cur_len};
        p.n_frags = 1;
        run_model(p, p.reorder_slot);
        enqueue(p);
        p.tail.store(p.prod_tail, std::memory_order_release);
        p.cons_now = p.prod_now + 1000000000000ull;
        if (p.head.load(std::memory_order_relaxed) != p.prod_tail)
            cons_pass(p, st);  // a dropped packet leaves nothing to send
    }
    // The other end takes what has arrived.
    void drain()
    {
        netport::nmport_txsync(out);
        netport::nmport_rxsync(peer);
        netport::ring* r = netport::nmport_rx_ring(peer);
        r->head = r->cur = r->tail;
        netport::nmport_rxsync(peer);
    }
};

void run(benchmark::State& state, const char* delay, const char* bw, const char* loss, const char* reorder,
         bool attached = false, bool report = false)
{
    direction d(delay, bw, loss, reorder, uint32_t(state.range(0)), attached, report);
    if (!d.out || d.p.buf == MAP_FAILED || (attached && !d.peer)) {
        state.SkipWithError("no port or buffer");
        return;
    }
    uint64_t n = 0;
    for (auto _ : state) {
        d.one();
        if (++n % 64 == 0) {
            d.p.prod_now = bench_now += 64 * uint64_t(state.range(0));  // 8 Gbit/s of arrivals
            if (attached)
                d.drain();
        }
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.counters["sent"] = double(d.p.cons_stats->pkts);
    state.counters["dropped"] = double(d.p.prod_stats->drop_pkts + d.p.cons_stats->drop_pkts);
}

void BM_no_model(benchmark::State& s) { run(s, nullptr, nullptr, nullptr, nullptr); }
void BM_const_delay(benchmark::State& s) { run(s, "constant,1ms", nullptr, nullptr, nullptr); }
void BM_uniform_delay(benchmark::State& s) { run(s, "uniform,1ms,2ms", nullptr, nullptr, nullptr); }
void BM_exp_delay(benchmark::State& s) { run(s, "exp,1ms,2ms", nullptr, nullptr, nullptr); }
void BM_const_bw(benchmark::State& s) { run(s, nullptr, "constant,100G", nullptr, nullptr); }
void BM_avg_bw(benchmark::State& s) { run(s, nullptr, "avg,100G", nullptr, nullptr); }
void BM_plr(benchmark::State& s) { run(s, nullptr, nullptr, "plr,0", nullptr); }
void BM_ber(benchmark::State& s) { run(s, nullptr, nullptr, "ber,0", nullptr); }
void BM_reorder(benchmark::State& s) { run(s, nullptr, nullptr, nullptr, "const,0,1ms"); }
// Files the distribution and trace rows read, written once and removed at exit.
struct bench_file {
    std::string path;
    bench_file(const char* stem, const std::string& text)
    {
        char p[64];
        std::snprintf(p, sizeof p, "/tmp/%s_XXXXXX", stem);
        const int fd = mkstemp(p);
        if (fd >= 0) {
            [[maybe_unused]] ssize_t r = write(fd, text.data(), text.size());
            close(fd);
        }
        path = p;
    }
    ~bench_file() { unlink(path.c_str()); }
};
const bench_file dist_file("bench_dist", [] {
    std::string s;
    for (int i = 1; i <= 10000; ++i)
        s += std::to_string(i % 977) + "us\n";
    return s;
}());
const bench_file trace_file("bench_trace", [] {
    std::string s;
    for (int m = 1; m <= 1000; ++m)
        for (int k = 0; k < 83; ++k)  // about 1 Gbit/s
            s += std::to_string(m) + "\n";
    return s;
}());
const std::string dist_spec = "dist," + dist_file.path;
const std::string trace_spec = "trace," + trace_file.path;

void BM_normal_delay(benchmark::State& s) { run(s, "normal,1ms,200us", nullptr, nullptr, nullptr); }
void BM_pareto_delay(benchmark::State& s) { run(s, "pareto,1ms,2.5", nullptr, nullptr, nullptr); }
void BM_dist_delay(benchmark::State& s) { run(s, dist_spec.c_str(), nullptr, nullptr, nullptr); }
void BM_trace_bw(benchmark::State& s) { run(s, nullptr, trace_spec.c_str(), nullptr, nullptr); }
void BM_cell_bw(benchmark::State& s) { run(s, nullptr, "cell,100G,8,48,5", nullptr, nullptr); }
void BM_ge(benchmark::State& s) { run(s, nullptr, nullptr, "ge,0", nullptr); }
// Both draws on every packet: a loss chance in Good strictly between 0 and 1.
void BM_ge_two_draws(benchmark::State& s) { run(s, nullptr, nullptr, "ge,0,1,1,0.0001", nullptr); }
void BM_markov(benchmark::State& s) { run(s, nullptr, nullptr, "markov,0", nullptr); }
void BM_all(benchmark::State& s) { run(s, "uniform,1ms,2ms", "constant,100G", "plr,0", "const,0,1ms"); }
void BM_no_model_sent(benchmark::State& s) { run(s, nullptr, nullptr, nullptr, nullptr, true, false); }
void BM_no_model_report(benchmark::State& s) { run(s, nullptr, nullptr, nullptr, nullptr, true, true); }
void BM_all_sent(benchmark::State& s)
{
    run(s, "uniform,1ms,2ms", "constant,100G", "plr,0", "const,0,1ms", true, false);
}
void BM_all_report(benchmark::State& s)
{
    run(s, "uniform,1ms,2ms", "constant,100G", "plr,0", "const,0,1ms", true, true);
}

// The floor: the same bytes copied once into a large ring.
void BM_memcpy(benchmark::State& state)
{
    const size_t len = size_t(state.range(0));
    std::vector<unsigned char> src(len, 0x5a), dst(40 << 20);
    size_t off = 0;
    for (auto _ : state) {
        if (off + len + 32 > dst.size())
            off = 0;
        std::memcpy(dst.data() + off, src.data(), len);
        benchmark::DoNotOptimize(dst.data() + off);
        off += (len + 32 + 7) & ~size_t(7);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}

}  // namespace

BENCHMARK(BM_memcpy)->Arg(60)->Arg(1500);
BENCHMARK(BM_no_model)->Arg(60)->Arg(1500);
BENCHMARK(BM_const_delay)->Arg(60)->Arg(1500);
BENCHMARK(BM_uniform_delay)->Arg(60)->Arg(1500);
BENCHMARK(BM_exp_delay)->Arg(60)->Arg(1500);
BENCHMARK(BM_const_bw)->Arg(60)->Arg(1500);
BENCHMARK(BM_avg_bw)->Arg(60)->Arg(1500);
BENCHMARK(BM_plr)->Arg(60)->Arg(1500);
BENCHMARK(BM_ber)->Arg(60)->Arg(1500);
BENCHMARK(BM_reorder)->Arg(60)->Arg(1500);
BENCHMARK(BM_normal_delay)->Arg(60)->Arg(1500);
BENCHMARK(BM_pareto_delay)->Arg(60)->Arg(1500);
BENCHMARK(BM_dist_delay)->Arg(60)->Arg(1500);
BENCHMARK(BM_trace_bw)->Arg(60)->Arg(1500);
BENCHMARK(BM_cell_bw)->Arg(60)->Arg(1500);
BENCHMARK(BM_ge)->Arg(60)->Arg(1500);
BENCHMARK(BM_ge_two_draws)->Arg(60)->Arg(1500);
BENCHMARK(BM_markov)->Arg(60)->Arg(1500);
BENCHMARK(BM_all)->Arg(60)->Arg(1500);
BENCHMARK(BM_no_model_sent)->Arg(60)->Arg(1500);
BENCHMARK(BM_no_model_report)->Arg(60)->Arg(1500);
BENCHMARK(BM_all_sent)->Arg(60)->Arg(1500);
BENCHMARK(BM_all_report)->Arg(60)->Arg(1500);
BENCHMARK_MAIN();
