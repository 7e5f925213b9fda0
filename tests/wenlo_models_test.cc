// The replayer's models and cmd_apply: accepted texts, refusals with their
// exact lines, parameters inside the slots and the run functions.
#include <gtest/gtest.h>

#include <cstdlib>

#include "wenlo/replay.hpp"
#include "wenlo_testutil.hpp"

using namespace wenlo;
using wenlo_test::log_capture;

namespace {

struct applied {
    int result;
    model_spec slot;
    std::string log;
};

applied apply(const model_spec* table, const char* text)
{
    log_capture log;
    replay_state rs;
    model_spec slot = empty_slot();
    int r = cmd_apply(table, text, &rs, &slot);
    return {r, slot, log.text()};
}

bool has(const std::string& s, const std::string& needle) { return s.find(needle) != std::string::npos; }

}  // namespace

TEST(WenloModels, ConstantDelayAndItsRefusals)
{
    for (const char* t : {"10ms", "const,10ms", "constant 10ms"}) {
        applied a = apply(delay_table, t);
        EXPECT_EQ(a.result, 0) << t;
        EXPECT_EQ(a.slot.run, const_delay_run);
        EXPECT_EQ(a.slot.params.delay.delay, 10000000u);
        EXPECT_STREQ(a.slot.text, t);
    }
    EXPECT_EQ(apply(delay_table, "2").slot.params.delay.delay, 2000000000u);

    // No "none" keyword: the constant row claims it and refuses it.
    applied none = apply(delay_table, "none");
    EXPECT_EQ(none.result, 1);
    EXPECT_EQ(none.slot.run, null_run);
    EXPECT_STREQ(none.slot.text, "0");
    EXPECT_TRUE(has(none.log, "parse_gen  [")) << none.log;
    EXPECT_TRUE(has(none.log, "\tbad argument none\n"));
    EXPECT_TRUE(has(none.log, "cmd_apply  ["));
    EXPECT_TRUE(has(none.log, "\tinvalid arguments: need 'constant,delay' have 'none'\n"));
    EXPECT_TRUE(has(none.log, "\targuments none not recognised\n"));

    applied gauss = apply(delay_table, "gauss,1,2");
    EXPECT_EQ(gauss.result, 1);
    EXPECT_FALSE(has(gauss.log, "invalid arguments"));
    EXPECT_TRUE(has(gauss.log, "arguments gauss,1,2 not recognised"));
    EXPECT_EQ(apply(delay_table, "const,1,2").result, 1);
    EXPECT_EQ(apply(delay_table, "-1ms").result, 1);  // negative times are invalid
}

TEST(WenloModels, AbsentEmptyAndSeparatorOnlyTexts)
{
    applied absent = apply(delay_table, nullptr);
    EXPECT_EQ(absent.result, 1);
    EXPECT_EQ(absent.log, "");
    applied empty = apply(bw_table, "");
    EXPECT_EQ(empty.result, 1);
    EXPECT_EQ(empty.log, "");
    applied seps = apply(loss_table, " ,, ");
    EXPECT_EQ(seps.result, 1);
    EXPECT_TRUE(has(seps.log, "arguments  ,,  not recognised"));
}

TEST(WenloModels, UniformDelay)
{
    applied a = apply(delay_table, "uniform,1ms,5ms");
    ASSERT_EQ(a.result, 0);
    EXPECT_TRUE(has(a.log, " uniform_delay_parse [")) << a.log;  // tagged form, full tag
    EXPECT_TRUE(has(a.log, "] dmin 1000000 dmax 5000000\n"));
    EXPECT_EQ(a.slot.params.uniform.range, 4000000u);

    applied bad = apply(delay_table, "uniform,5ms,1ms");
    EXPECT_EQ(bad.result, 1);
    EXPECT_TRUE(has(bad.log, "need 'uniform,dmin,dmax # dmin <= dmax' have 'uniform,5ms,1ms'"));
    EXPECT_TRUE(has(bad.log, "arguments uniform,5ms,1ms not recognised"));
    EXPECT_EQ(apply(delay_table, "uniform,1ms").result, 1);

    // Draws stay in [dmin, dmax) also for a range beyond 2^40 ns.
    applied wide = apply(delay_table, "uniform,0,3000");
    ASSERT_EQ(wide.result, 0);
    replay_state rs;
    for (int i = 0; i < 1000; i++) {
        uniform_delay_run(&rs, &wide.slot);
        ASSERT_LT(rs.cur_delay, 3000000000000u);
    }
    uint64_t sum = 0;
    for (int i = 0; i < 1000; i++) {
        uniform_delay_run(&rs, &a.slot);
        ASSERT_GE(rs.cur_delay, 1000000u);
        ASSERT_LT(rs.cur_delay, 5000000u);
        sum += rs.cur_delay;
    }
    EXPECT_NEAR(static_cast<double>(sum) / 1000, 3000000.0, 200000.0);
}

TEST(WenloModels, ExpDelayTableUsesBase2)
{
    applied a = apply(delay_table, "exp,1ms,5ms");
    ASSERT_EQ(a.result, 0);
    const exp_param& p = a.slot.params.exp;
    EXPECT_EQ(p.size, 4096u);
    EXPECT_EQ(p.table[0], 1000000u);
    EXPECT_EQ(p.table[511], 37000000u);
    EXPECT_EQ(p.table[256], 5000000u);  // log2(1/2) = -1: dmin + (davg - dmin)
    EXPECT_EQ(apply(delay_table, "exp,5ms,1ms").result, 1);

    log_capture log;
    replay_state rs;
    model_spec slot = a.slot;
    for (int i = 0; i < 20; i++)
        exp_delay_run(&rs, &slot);
    EXPECT_LE(log.count("] delay "), 5);  // limited to 5 lines a second
    EXPECT_GE(log.count("] delay "), 1);
}

TEST(WenloModels, BandwidthModels)
{
    replay_state rs;
    rs.cur_len = 125;
    rs.cur_tt = 777;

    applied zero = apply(bw_table, "0");
    ASSERT_EQ(zero.result, 0);
    EXPECT_EQ(zero.slot.run, const_bw_run);
    const_bw_run(&rs, &zero.slot);
    EXPECT_EQ(rs.cur_tt, 0u);

    applied c = apply(bw_table, "constant,1000000");
    ASSERT_EQ(c.result, 0);
    const_bw_run(&rs, &c.slot);
    EXPECT_EQ(rs.cur_tt, 1000000u);

    applied e = apply(bw_table, "ether,10M");
    ASSERT_EQ(e.result, 0);
    rs.cur_len = 1514;
    ether_bw_run(&rs, &e.slot);
    EXPECT_EQ(rs.cur_tt, 1230400u);

    applied m = apply(bw_table, "100M");
    ASSERT_EQ(m.result, 0);
    EXPECT_EQ(m.slot.params.bw.bps, 100000000u);

    // One word that is not a rate: only the last line.
    applied x = apply(bw_table, "100x");
    EXPECT_EQ(x.result, 1);
    EXPECT_FALSE(has(x.log, "invalid arguments"));
    EXPECT_TRUE(has(x.log, "arguments 100x not recognised"));
    EXPECT_EQ(apply(bw_table, "constant,10M,5").result, 1);
    EXPECT_EQ(apply(bw_table, "ether").result, 1);
}

TEST(WenloModels, RealScale)
{
    applied one = apply(bw_table, "real");
    ASSERT_EQ(one.result, 0);
    EXPECT_TRUE(has(one.log, "real_bw_pa [")) << one.log;
    EXPECT_TRUE(has(one.log, "\treal -> scale is 1.000000\n"));
    replay_state rs;
    rs.cur_tt = 1000001;
    real_bw_run(&rs, &one.slot);
    EXPECT_EQ(rs.cur_tt, 1000001u);

    applied two = apply(bw_table, "real,2");
    ASSERT_EQ(two.result, 0);
    rs.cur_tt = 1000001;
    real_bw_run(&rs, &two.slot);
    EXPECT_EQ(rs.cur_tt, 500000u);

    for (const char* t : {"real,0", "real,1001", "real,-1", "real,nan", "real,2,3", "real,2x"}) {
        applied r = apply(bw_table, t);
        EXPECT_EQ(r.result, 1) << t;
        EXPECT_TRUE(has(r.log, std::string("need 'real,scale' have '") + t + "'")) << t;
    }
    EXPECT_EQ(apply(bw_table, "real,1000").result, 0);
}

TEST(WenloModels, PacketLossRate)
{
    applied a = apply(loss_table, "0.01");
    ASSERT_EQ(a.result, 0);
    EXPECT_EQ(a.slot.params.plr.threshold, 167772u);

    applied tiny = apply(loss_table, "plr,1e-9");
    ASSERT_EQ(tiny.result, 0);
    EXPECT_EQ(tiny.slot.params.plr.threshold, 0u);
    EXPECT_TRUE(has(tiny.log, "const_plr_ [")) << tiny.log;
    EXPECT_TRUE(has(tiny.log, "\tWWW warning,  rounding 1.000000e-09 down to 0\n"));

    applied sfx = apply(loss_table, "plr,0.5x");
    EXPECT_EQ(sfx.result, 1);
    EXPECT_FALSE(has(sfx.log, "parse_gen"));  // no "bad suffix" in the replayer
    EXPECT_TRUE(has(sfx.log, "need 'plr,prob # 0 <= prob <= 1' have 'plr,0.5x'"));
    EXPECT_TRUE(has(sfx.log, "arguments plr,0.5x not recognised"));
    for (const char* t : {"plr,1.5", "plr,-0.1", "plr,nan", "plr,0.1,2"})
        EXPECT_EQ(apply(loss_table, t).result, 1) << t;

    // Counts and the same drops from the same random sequence.
    applied half = apply(loss_table, "plr,0.5");
    ASSERT_EQ(half.result, 0);
    replay_state rs;
    std::vector<uint32_t> first, second;
    for (auto* out : {&first, &second}) {
        srandom(1);
        model_spec slot = half.slot;
        for (int i = 0; i < 1000; i++) {
            const_plr_run(&rs, &slot);
            out->push_back(rs.drop);
        }
        loss_counts lc = read_loss_counts(slot);
        EXPECT_EQ(lc.trials, 1000u);
        EXPECT_EQ(lc.threshold, 8388608u);
        EXPECT_GT(lc.drops, 400u);
        EXPECT_LT(lc.drops, 600u);
    }
    EXPECT_EQ(first, second);

    applied all = apply(loss_table, "1");
    for (int i = 0; i < 100; i++) {
        const_plr_run(&rs, &all.slot);
        ASSERT_EQ(rs.drop, 1u);
    }
    EXPECT_EQ(read_loss_counts(empty_slot()).trials, 0u);
}

TEST(WenloModels, BitErrorRate)
{
    applied a = apply(loss_table, "ber,1e-6");
    ASSERT_EQ(a.result, 0);
    const ber_param& p = a.slot.params.ber;
    EXPECT_EQ(p.size, 36800u);
    EXPECT_EQ(p.threshold, 16u);
    EXPECT_EQ(p.table[0], 0u);
    EXPECT_EQ(p.table[1], 134u);
    EXPECT_EQ(p.table[64], 8587u);
    EXPECT_EQ(p.table[1500], 200123u);
    EXPECT_EQ(p.table[9199], 1190332u);

    applied one = apply(loss_table, "ber,1");
    ASSERT_EQ(one.result, 0);
    EXPECT_EQ(one.slot.params.ber.table[0], 0u);
    EXPECT_EQ(one.slot.params.ber.table[1], 16777215u);

    log_capture log;
    replay_state rs;
    rs.cur_len = 9300;
    model_spec slot = one.slot;
    const_ber_run(&rs, &slot);
    EXPECT_TRUE(log.has(" const_ber_run [")) << log.text();
    EXPECT_TRUE(log.has("] pkt len 9300 too large, trim to 9199\n"));
    loss_counts lc = read_loss_counts(slot);
    EXPECT_EQ(lc.trials, 73592u);
    EXPECT_EQ(lc.threshold, 16777216u);
    EXPECT_EQ(apply(loss_table, "ber").result, 1);
    EXPECT_EQ(apply(loss_table, "ber,2").result, 1);
}
