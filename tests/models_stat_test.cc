// Bursty loss, delay distributions, trace and cell links of the emulator:
// the statistics their runs produce over many seeded draws, the rows they
// take in the tables, the refusals of bad input and repeatable seeding.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

#include "corvo/options.hpp"
#include "models_fixture.hpp"

using namespace common;
using namespace pipes;
using namespace models;
using namespace corvo;

namespace {

// A directory of files written by the test, removed with it.
class files {
public:
    files()
    {
        char tmpl[] = "/tmp/models_stat.XXXXXX";
        dir_ = mkdtemp(tmpl) ? tmpl : "/tmp";
    }
    ~files() { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string write(const std::string& name, const std::string& text)
    {
        const std::string path = dir_ + "/" + name;
        FILE* f = std::fopen(path.c_str(), "w");
        if (f) {
            std::fwrite(text.data(), 1, text.size(), f);
            std::fclose(f);
        }
        return path;
    }

private:
    std::string dir_;
};

// n lines per ms, from ms `from` to ms `to` inclusive.
std::string trace_text(int from, int to, int n)
{
    std::string s;
    for (int m = from; m <= to; ++m)
        for (int k = 0; k < n; ++k)
            s += std::to_string(m) + "\n";
    return s;
}

class stat_test : public model_test {
protected:
    files f;
};

// ---------------------------------------------------------------------------
// Loss: over 2 million seeded packets the loss ratio is the chain's long-run
// ratio and (for LB = 1, LG = 0) bursts last 1/R packets on average.

struct loss_row {
    const char* spec;
    double ratio;       // expected long-run loss
    double mean_burst;  // expected mean run of losses, 0 = not checked
};
void PrintTo(const loss_row& r, std::ostream* os) { *os << r.spec; }

class loss_stat : public stat_test, public ::testing::WithParamInterface<loss_row> {};

// Markov weights relative to state 1: 3 = P13/P31, 2 = 3 * P32/P23, 4 = P14.
constexpr double markov_ratio(double p13, double p31, double p32, double p23, double p14)
{
    const double w3 = p13 / p31, w2 = w3 * p32 / p23;
    return (w3 + p14) / (1 + w2 + w3 + p14);
}

TEST_P(loss_stat, long_run_ratio_and_bursts)
{
    const loss_row& r = GetParam();
    seed_random(pipe, 12345, 0);
    ASSERT_EQ(apply(kind_loss, r.spec), 0);
    constexpr int n = 2000000;
    uint64_t lost = 0, bursts = 0;
    int prev = 0;
    for (int i = 0; i < n; ++i) {
        run(kind_loss);
        lost += pipe.drop;
        bursts += pipe.drop && !prev;
        prev = pipe.drop;
    }
    EXPECT_NEAR(static_cast<double>(lost) / n, r.ratio, 0.03 * r.ratio);
    if (r.mean_burst > 0) {
        EXPECT_NEAR(static_cast<double>(lost) / static_cast<double>(bursts), r.mean_burst,
                    0.03 * r.mean_burst);
    }
    // The block counts what the run decided.
    const uint64_t* counters =
        static_cast<const uint64_t*>(slot(kind_loss).param_block) + (desc(kind_loss).row == 2 ? 5 : 6);
    EXPECT_EQ(counters[0], uint64_t{n});
    EXPECT_EQ(counters[1], lost);
}

INSTANTIATE_TEST_SUITE_P(
    rows, loss_stat,
    ::testing::Values(loss_row{"ge,0.01,0.25", 0.01 / 0.26, 4},
                      loss_row{"ge,0.2", 0.2, 1 / 0.8},  // R = 1 - P: independent losses
                      loss_row{"ge,0.05,0.5,0.8,0.01", (0.05 * 0.8 + 0.5 * 0.01) / 0.55, 0},
                      loss_row{"markov,0.02,0.3,0.1,0.4,0.01", markov_ratio(0.02, 0.3, 0.1, 0.4, 0.01), 0},
                      loss_row{"markov,0.05", markov_ratio(0.05, 0.95, 0, 1, 0), 0}));

// ---------------------------------------------------------------------------
// Delay: one million seeded draws have the distribution's mean, standard
// deviation and minimum, and the quantiles of a measured file.

struct quantile {
    double q;
    double ns;
};
struct delay_row {
    const char* spec;  // "@" stands for the file written from `file`
    std::string file;
    double mean, sd, min;  // ns; sd < 0 = not checked
    std::vector<quantile> quantiles;
};
void PrintTo(const delay_row& r, std::ostream* os) { *os << r.spec; }

class delay_stat : public stat_test, public ::testing::WithParamInterface<delay_row> {};

std::string shuffled_ms(int n)
{
    std::vector<int> v(n);
    std::iota(v.begin(), v.end(), 1);
    std::srand(3);
    std::random_shuffle(v.begin(), v.end(), [](int k) { return std::rand() % k; });
    std::string s = "# delays of a path\n\n";
    for (int x : v)
        s += std::to_string(x) + "ms  # one\n";
    return s;
}

TEST_P(delay_stat, moments_and_quantiles)
{
    const delay_row& r = GetParam();
    std::string spec = r.spec;
    if (const size_t at = spec.find('@'); at != std::string::npos)
        spec.replace(at, 1, f.write("delays", r.file));
    seed_random(pipe, 777, 0);
    ASSERT_EQ(apply(kind_delay, spec.c_str()), 0) << ::testing::PrintToString(log.lines());
    constexpr int n = 1000000;
    std::vector<double> d(n);
    for (double& x : d) {
        run(kind_delay);
        x = static_cast<double>(pipe.cur_delay);
    }
    const double mean = std::accumulate(d.begin(), d.end(), 0.0) / n;
    double var = 0;
    for (double x : d)
        var += (x - mean) * (x - mean);
    const double sd = std::sqrt(var / n);
    std::sort(d.begin(), d.end());
    EXPECT_NEAR(mean, r.mean, 0.01 * r.mean);
    if (r.sd >= 0) {
        EXPECT_NEAR(sd, r.sd, 0.02 * r.sd);
    }
    EXPECT_GE(d.front(), r.min);
    EXPECT_LE(d.front(), r.min * 1.001);
    // A quantile is within one table entry (1/4096) and the sampling error.
    for (const quantile& q : r.quantiles) {
        const auto lo = static_cast<size_t>(std::max(0.0, q.q - 1.0 / 2048) * n);
        const auto hi = static_cast<size_t>(std::min(1.0, q.q + 1.0 / 2048) * n) - 1;
        EXPECT_LE(d[lo], q.ns) << "quantile " << q.q;
        EXPECT_GE(d[hi], q.ns) << "quantile " << q.q;
    }
    // The table's top is the limit it sets.
    EXPECT_EQ(area().max_delay, static_cast<uint64_t>(d.back()));
}

constexpr double ms = 1e6;
// E[max(X, 0)] for X ~ N(1 ms, 2 ms): mu Phi(1/2) + sigma phi(1/2).
const double clamped_mean = 1 * ms * 0.6914624612740131 + 2 * ms * 0.3520653267642995;

INSTANTIATE_TEST_SUITE_P(
    rows, delay_stat,
    ::testing::Values(delay_row{"normal,10ms,2ms",
                                "",
                                10 * ms,
                                2 * ms,
                                10 * ms - 3.73923 * 2 * ms,
                                {{0.5, 10 * ms}, {0.9772499, 14 * ms}, {0.0227501, 6 * ms}}},
                      delay_row{"normal,1ms,2ms", "", clamped_mean, -1, 0, {{0.5, 1 * ms}}},
                      delay_row{"pareto,10ms,2.5",
                                "",
                                2.5 * 10 * ms / 1.5,
                                -1,
                                10 * ms,
                                {{0.5, 10 * ms* std::pow(2.0, 1 / 2.5)}}},
                      delay_row{"dist,@",
                                shuffled_ms(1000),
                                500.5 * ms,
                                288.675 * ms,
                                1 * ms,
                                {{0.1, 100 * ms}, {0.5, 500 * ms}, {0.99, 990 * ms}}}));

// ---------------------------------------------------------------------------
// Bandwidth.

// A saturated trace link carries its opportunities' bytes: 12 per ms are
// 144 Mbit/s, within 1 % over 3 s, whatever the frame length; a link fed
// below its rate loses the opportunities that find it idle, so each frame
// waits at most for the next millisecond that has some.
struct trace_row {
    std::string trace;
    uint32_t len;       // frame bytes
    uint64_t gap;       // ns between arrivals
    double bps;         // expected rate of the link's output
    uint64_t max_wait;  // ns, 0 = not checked
};
void PrintTo(const trace_row& r, std::ostream* os)
{
    *os << r.len << " B every " << r.gap << " ns, " << uint64_t(r.bps) << " bit/s out";
}

class trace_stat : public stat_test, public ::testing::WithParamInterface<trace_row> {};

TEST_P(trace_stat, carries_its_rate)
{
    const trace_row& r = GetParam();
    ASSERT_EQ(apply(kind_bw, ("trace," + f.write("trace", r.trace)).c_str()), 0);
    pipe.prod_now = 7000000000ull;  // the origin: any time will do
    pipe.qt_qout = pipe.prod_now;
    const uint64_t start = pipe.prod_now;
    uint64_t bytes = 0, max_wait = 0;
    pipe.cur_len = r.len;
    while (pipe.qt_qout - start < 3000000000ull) {
        if (static_cast<int64_t>(pipe.prod_now - pipe.qt_qout) > 0)
            pipe.qt_qout = pipe.prod_now;  // as a producer pass does
        run(kind_bw);
        EXPECT_EQ(pipe.drop, 0);
        max_wait = std::max(max_wait, pipe.cur_tx);
        pipe.qt_qout += pipe.cur_tx;
        bytes += r.len;
        pipe.prod_now += r.gap;
    }
    const double bps = static_cast<double>(bytes) * 8e9 / static_cast<double>(pipe.qt_qout - start);
    EXPECT_NEAR(bps, r.bps, 0.01 * r.bps);
    if (r.max_wait) {
        EXPECT_LE(max_wait, r.max_wait);
    }
}

INSTANTIATE_TEST_SUITE_P(rows, trace_stat,
                         ::testing::Values(trace_row{trace_text(1, 1000, 12), 1500, 10000, 144e6, 0},
                                           trace_row{trace_text(1, 1000, 12), 1000, 1000, 144e6, 0},
                                           trace_row{trace_text(1, 1000, 12), 9000, 10000, 144e6, 0},
                                           // 24 a ms for half of each 1 s period, then nothing
                                           trace_row{trace_text(0, 499, 24) + "1000\n", 1500, 10000,
                                                     144e6 + 12e3, 0},
                                           // 1500 bytes every 200 us: 60 Mbit/s in, each waits < 1 ms
                                           trace_row{trace_text(1, 250, 12), 1500, 200000, 60e6, 1000000}));

// A trace block another process damaged never hangs the producer nor
// reads outside the counts: it passes packets at once.
TEST_F(stat_test, damaged_trace_block_passes_packets)
{
    ASSERT_EQ(apply(kind_bw, ("trace," + f.write("t", trace_text(1, 100, 2))).c_str()), 0);
    auto& b = block<trace_param>(kind_bw);
    pipe.cur_len = 1500;
    run(kind_bw);
    EXPECT_EQ(pipe.cur_tx, 0u);  // 2 opportunities at ms 0
    for (const uint64_t period : {uint64_t{0}, uint64_t{60001}, ~uint64_t{0}}) {
        b.cur.period = period;
        pipe.cur_tx = 1;
        run(kind_bw);
        EXPECT_EQ(pipe.cur_tx, 0u) << period;
    }
    b.cur = models::trace_start(100);
    b.cur.inv += 1;  // a reciprocal that does not fit the period
    run(kind_bw);
    EXPECT_EQ(pipe.cur_tx, 0u);
    b.cur = models::trace_start(100);
    std::fill(std::begin(b.count), std::end(b.count), uint8_t{0});
    run(kind_bw);
    EXPECT_LE(pipe.cur_tx, 101000000u);  // given up after one empty period
}

// A cell link's time for a frame: (len + overhead) bytes, or that many
// cells' bytes, at the rate (8 Mbit/s: 1 us a byte).
TEST_F(stat_test, cell_accounting)
{
    struct row {
        const char* spec;
        uint32_t len;
        uint64_t ns;
    };
    for (const row& r : {row{"cell,8M,0", 1000, 1000000}, row{"cell,8M,-4", 1000, 996000},
                         row{"cell,8M,10,48,5", 100, 159000},  // 110 bytes: 3 ATM cells of 53
                         row{"cell,8M,10,48,5", 86, 106000},   // 96 bytes: 2 cells exactly
                         row{"cell,8M,-200", 100, 1000},       // never below 1 byte
                         row{"cell,1M,0,48,-47", 96, 16000}}) {
        SCOPED_TRACE(r.spec);
        session_attach(pipe, layout, 0, 0);
        ASSERT_EQ(apply(kind_bw, r.spec), 0);
        EXPECT_EQ(slot(kind_bw).qsize_hint, 50000u);
        pipe.cur_len = r.len;
        run(kind_bw);
        EXPECT_EQ(pipe.cur_tx, r.ns);
        EXPECT_EQ(pipe.drop, 0);
    }
}

// ---------------------------------------------------------------------------
// Rows, blocks and the params area.

TEST_F(stat_test, new_rows_and_their_blocks_fit_one_instance)
{
    const std::string dist = f.write("d", "1ms\n2ms\n"), trace = f.write("t", trace_text(1, 60000, 1));
    struct row {
        model_kind kind;
        std::string spec;
        int row;
        run_fn* run;
    };
    const row rows[] = {
        {kind_delay, "normal,1ms,1ms", 4, dist_delay_run}, {kind_delay, "pareto,1ms,2", 5, dist_delay_run},
        {kind_delay, "dist," + dist, 6, dist_delay_run},   {kind_bw, "cell,1M,4", 4, cell_bw_run},
        {kind_bw, "trace," + trace, 3, trace_bw_run},      {kind_loss, "markov,0.1", 3, markov_loss_run},
        {kind_loss, "ber,1e-6", 1, const_ber_run},         {kind_loss, "ge,0.1", 2, ge_loss_run},
        {kind_reorder, "0.1,1ms", 0, const_reorder_run},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.spec);
        session_attach(pipe, layout, 0, 0);
        area().max_delay = area().max_bps = 0;
        ASSERT_EQ(apply(r.kind, r.spec.c_str()), 0);
        EXPECT_EQ(desc(r.kind).row, r.row);
        EXPECT_EQ(slot(r.kind).run, r.run);
        EXPECT_EQ(slot(r.kind).text, r.spec);
    }
    // The largest block of each kind, all in one instance.
    session_attach(pipe, layout, 0, 0);
    for (const int k : {2, 4, 6, 8})
        ASSERT_EQ(apply(rows[k].kind, rows[k].spec.c_str()), 0) << rows[k].spec;
    EXPECT_EQ(block<trace_param>(kind_bw).cur.period, 60000u);
}

// Bad input: refused with a message naming what is wrong, nothing applied.
TEST_F(stat_test, refusals)
{
    std::string bin("1ms\n");
    bin += '\0';
    bin += "2ms\n";
    const std::string long_dist = [] {
        std::string s;
        for (int i = 0; i <= 1000000; ++i)
            s += "1\n";
        return s;
    }();
    struct row {
        model_kind kind;
        std::string spec;
        const char* message;
    };
    const row rows[] = {
        {kind_loss, "ge,1.5", "ge: P 1.5 is not a probability from 0 to 1"},
        {kind_loss, "ge,0.1,-0.2", "ge: R -0.2 is not a probability from 0 to 1"},
        {kind_loss, "ge,0.1,0.2,1,2", "ge: LG 2 is not a probability from 0 to 1"},
        {kind_loss, "markov,0.1,0.5,0.6", "markov: P13 + P14 and P31 + P32 may not exceed 1"},
        {kind_loss, "markov,nan", "markov: P13 nan is not a probability from 0 to 1"},
        {kind_delay, "normal,-5ms,1ms", "normal: mean -5ms is not a time of 0 or more"},
        {kind_delay, "normal,5ms,-1ms", "normal: sigma -1ms is not a time of 0 or more"},
        {kind_delay, "pareto,-1ms,2", "pareto: min -1ms is not a time of 0 or more"},
        {kind_delay, "pareto,1ms,1", "pareto: shape 1 must be a number above 1"},
        {kind_delay, "pareto,1ms,0.5", "pareto: shape 0.5 must be a number above 1"},
        {kind_delay, "dist,/nonexistent/d", "dist: cannot open /nonexistent/d: No such file or directory"},
        {kind_delay, "dist,/tmp", "dist: /tmp is not a regular file"},
        {kind_delay, "dist," + f.write("empty", ""), "holds no value"},
        {kind_delay, "dist," + f.write("comments", "# nothing\n\n"), "holds no value"},
        {kind_delay, "dist," + f.write("bin", bin), "is not a text file"},
        {kind_delay, "dist," + f.write("bad", "1ms\n2ms\nabc\n"), "line 3: 'abc' is not a time of 0 or more"},
        {kind_delay, "dist," + f.write("neg", "1ms\n-2ms\n"), "line 2: '-2ms' is not a time of 0 or more"},
        {kind_delay, "dist," + f.write("two", "1ms 2ms\n"), "line 1: '1ms 2ms' is more than one value"},
        {kind_delay, "dist," + f.write("many", long_dist), "line 1000001: '1' is one value too many"},
        {kind_bw, "trace," + f.write("back", "1\n7\n5\n"), "line 3: '5' goes back from 7 ms"},
        {kind_bw, "trace," + f.write("long", "1\n60001\n"), "a trace lasts at most 60000 ms"},
        {kind_bw, "trace," + f.write("fast", trace_text(1, 1, 256) + "2\n"),
         "256 opportunities in ms 1, the limit is 255 per ms"},
        {kind_bw, "trace," + f.write("zero", "0\n0\n"), "must be at least 1 ms"},
        {kind_bw, "trace," + f.write("frac", "1\n2.5\n"),
         "line 2: '2.5' is not a whole number of milliseconds"},
        {kind_bw, "trace," + f.write("tempty", ""), "holds no opportunity"},
        {kind_bw, "cell,8M,x", "cell: overhead x must be a whole number from -65535 to 65535"},
        {kind_bw, "cell,8M,0,-1", "cell: cell -1 must be a whole number from 0 to 65535"},
        {kind_bw, "cell,8M,0,48,-48", "cell: cell-overhead -48 must be a whole number from -47 to 65535"},
        {kind_bw, "cell,8M,0,0,5", "cell: a cell overhead needs a cell size above 0"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.spec);
        log.clear();
        EXPECT_EQ(apply(r.kind, r.spec.c_str()), 1);
        EXPECT_EQ(desc(r.kind).present, 0);
        const strings lines = log.lines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.find(r.message) != std::string::npos;
        })) << ::testing::PrintToString(lines);
    }
    EXPECT_EQ(area().max_delay, 0u);
    EXPECT_EQ(area().max_bps, 0u);
}

// A trace's peak and a distribution's top are held to the session limits.
TEST_F(stat_test, peaks_meet_the_session_limits)
{
    area().max_bps = 100000000;
    area().max_delay = 20000000;
    const std::string t12 = f.write("t12", trace_text(1, 10, 12)), t8 = f.write("t8", trace_text(1, 10, 8));
    EXPECT_EQ(apply(kind_bw, ("trace," + t12).c_str()), 1);
    EXPECT_EQ(apply(kind_bw, ("trace," + t8).c_str()), 0);  // 96 Mbit/s
    EXPECT_EQ(apply(kind_delay, "pareto,1ms,1.5"), 1);      // top 1.5 * 3 * 4096^(2/3) ms
    EXPECT_EQ(apply(kind_delay, "normal,10ms,2ms"), 0);     // top 17.2 ms
    EXPECT_EQ(apply(kind_delay, ("dist," + f.write("d", "1ms\n21ms\n")).c_str()), 1);
    const strings lines = log.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "invalid new bandwidth 144000000 (max 100000000)"),
              lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "invalid new delay 21000000 (max 20000000)"),
              lines.end());
}

// The same seed makes the same decisions packet by packet; the other
// direction draws another sequence.
TEST_F(stat_test, seeded_runs_repeat)
{
    auto drops = [&](uint64_t seed, int d) {
        seed_random(pipe, seed, d);
        session_attach(pipe, layout, 0, 0);
        EXPECT_EQ(apply(kind_loss, "ge,0.05,0.3,0.9,0.01"), 0);
        std::vector<int> v;
        for (int i = 0; i < 20000; ++i) {
            run(kind_loss);
            v.push_back(pipe.drop);
        }
        return v;
    };
    const std::vector<int> a = drops(99, 0);
    EXPECT_EQ(drops(99, 0), a);
    EXPECT_NE(drops(99, 1), a);
    EXPECT_NE(drops(100, 0), a);
}

}  // namespace
