// The replayer's bursty loss, delay distribution, trace and cell models:
// the rows they take, their refusals, the schedule they make and --seed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <numeric>

#include "wenlo/replay.hpp"
#include "wenlo_testutil.hpp"

using namespace wenlo;
using namespace wenlo_test;

namespace {

std::string trace_text(int from, int to, int n)
{
    std::string s;
    for (int m = from; m <= to; ++m)
        for (int k = 0; k < n; ++k)
            s += std::to_string(m) + "\n";
    return s;
}

// The queue filled from 100 records of 1000 bytes, 1 ms apart.
std::vector<queue_entry> schedule(const char* delay, const char* bw, const char* loss)
{
    std::vector<record> recs;
    for (uint32_t i = 0; i < 100; i++)
        recs.push_back(rec(uint64_t{i} * 1000000, 1000, i));
    temp_file cap(pcap_bytes(recs));
    log_capture log;
    auto rs = std::make_unique<replay_state>();
    EXPECT_EQ(cmd_apply(delay_table, delay, rs.get(), &rs->delay_slot), 0) << log.text();
    EXPECT_EQ(cmd_apply(bw_table, bw, rs.get(), &rs->bw_slot), 0) << log.text();
    EXPECT_EQ(cmd_apply(loss_table, loss, rs.get(), &rs->loss_slot), 0) << log.text();
    EXPECT_TRUE(readpcap(cap.path.c_str(), *rs));
    EXPECT_TRUE(pcap_prod(*rs));
    std::vector<queue_entry> v;
    for (uint64_t off = 0; off != rs->tail; off = v.back().next)
        v.push_back(load_entry(rs->queue.get(), off));
    return v;
}

}  // namespace

TEST(WenloImpairments, RowsAndRefusals)
{
    temp_file trace(trace_text(1, 100, 3), "wenlo_trace"), dist("5ms\n1ms\n3ms\n", "wenlo_dist");
    temp_file back("1\n3\n2\n", "wenlo_trace"), bin(std::string("1\0002\n", 4), "wenlo_dist");
    struct row {
        const model_spec* table;
        std::string spec;
        run_fn* run;  // null: refused
        const char* line;
    };
    const row rows[] = {
        {loss_table, "ge,0.01", ge_loss_run, ""},
        {loss_table, "markov,0.01,0.5,0.1,0.9,0.001", markov_loss_run, ""},
        {delay_table, "normal,5ms,1ms", dist_delay_run, ""},
        {delay_table, "pareto,1ms,3", dist_delay_run, ""},
        {delay_table, "dist," + dist.path, dist_delay_run, ""},
        {bw_table, "trace," + trace.path, trace_bw_run, "period 100 ms, peak 3 opportunities per ms"},
        {bw_table, "cell,10M,8,48,5", cell_bw_run, ""},
        {loss_table, "ge,0.1,1.1", nullptr, "ge: R 1.1 is not a probability from 0 to 1"},
        {loss_table, "markov,0.5,0.5,0,1,0.6", nullptr, "P13 + P14 and P31 + P32 may not exceed 1"},
        {delay_table, "normal,-1ms,1ms", nullptr, "normal: mean -1ms is not a time of 0 or more"},
        {delay_table, "pareto,1ms,1", nullptr, "pareto: shape 1 must be a number above 1"},
        {delay_table, "dist,/nonexistent", nullptr, "cannot open /nonexistent: No such file or directory"},
        {delay_table, "dist," + bin.path, nullptr, "is not a text file"},
        {bw_table, "trace," + back.path, nullptr, "line 3: '2' goes back from 3 ms"},
        {bw_table, "cell,10M,0,0,4", nullptr, "cell: a cell overhead needs a cell size above 0"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.spec);
        log_capture log;
        replay_state rs;
        model_spec slot = empty_slot();
        EXPECT_EQ(cmd_apply(r.table, r.spec.c_str(), &rs, &slot), r.run ? 0 : 1);
        EXPECT_EQ(slot.run, r.run ? r.run : null_run);
        EXPECT_TRUE(log.has(r.line)) << log.text();
        if (!r.run) {
            EXPECT_TRUE(log.has("\tinvalid arguments: need '")) << log.text();
        }
    }
}

// A frame's time on a cell link: 1008 bytes are 21 cells of 53 bytes at
// 10 Mbit/s; a trace of 12 opportunities a millisecond carries 144 Mbit/s.
TEST(WenloImpairments, BandwidthOfTheSchedule)
{
    const std::vector<queue_entry> cell = schedule("0", "cell,10M,8,48,5", "0");
    ASSERT_FALSE(cell.empty());
    EXPECT_EQ(cell[0].qout, 21u * 53 * 800);
    EXPECT_EQ(cell[1].qout, 2u * 21 * 53 * 800);

    temp_file trace(trace_text(1, 1000, 12), "wenlo_trace");
    const std::vector<queue_entry> t = schedule("0", ("trace," + trace.path).c_str(), "0");
    ASSERT_EQ(t.size(), 10100u);
    const double bps = 1000.0 * 8e9 * static_cast<double>(t.size()) / static_cast<double>(t.back().qout);
    EXPECT_NEAR(bps, 144e6, 0.01 * 144e6);
}

// The same seed gives the same schedule packet by packet, another seed
// another one; the losses keep the chain's long-run ratio (P/(P+R) here)
// and the delays their mean and spread.
TEST(WenloImpairments, SeededSchedulesRepeat)
{
    std::vector<std::vector<uint64_t>> runs;
    for (unsigned seed : {7u, 7u, 8u}) {
        srandom(seed);
        const std::vector<queue_entry> s = schedule("normal,5ms,1ms", "cell,100M,0", "ge,0.02,0.2");
        std::vector<uint64_t> tx;
        for (const queue_entry& e : s)
            tx.push_back(e.tx);
        runs.push_back(tx);
        const double lost = 1 - static_cast<double>(s.size()) / 10100;
        EXPECT_NEAR(lost, 0.02 / 0.22, 0.3 * 0.02 / 0.22);
    }
    EXPECT_EQ(runs[0], runs[1]);
    EXPECT_NE(runs[0], runs[2]);

    // The delay table alone: the normal's mean and standard deviation.
    replay_state rs;
    model_spec slot = empty_slot();
    ASSERT_EQ(cmd_apply(delay_table, "normal,5ms,1ms", &rs, &slot), 0);
    double sum = 0, sq = 0;
    constexpr int n = 200000;
    for (int i = 0; i < n; i++) {
        slot.run(&rs, &slot);
        const auto d = static_cast<double>(rs.cur_delay);
        sum += d;
        sq += d * d;
    }
    EXPECT_NEAR(sum / n, 5e6, 0.01 * 5e6);
    EXPECT_NEAR(std::sqrt(sq / n - (sum / n) * (sum / n)), 1e6, 0.02 * 1e6);
}

TEST(WenloImpairments, SeedOption)
{
    wenlo_proc bad({"--seed", "x", "-f", "a", "-i", "b"});
    EXPECT_EQ(bad.wait(), 1);
    EXPECT_NE(bad.err().find("--seed x: need a whole number from 0 to 4294967295"), std::string::npos)
        << bad.err();
    wenlo_proc good({"--seed", "42", "-i", "b"});
    EXPECT_EQ(good.wait(), 1);  // no capture given
    EXPECT_NE(good.err().find("\trandom seed 42\n"), std::string::npos) << good.err();
}
