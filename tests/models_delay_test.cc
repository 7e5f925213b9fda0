// Delay models: accepted forms, parameter blocks and run functions driven
// by chosen random draws.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "models_fixture.hpp"

using namespace common;
using namespace pipes;
using namespace models;

namespace {

using delay_test = model_test;

struct delay_case {
    const char* text;
    int result;
    uint64_t delay;
};

TEST_F(delay_test, constant_forms)
{
    const delay_case cases[] = {
        {"10ms", 0, 10000000},
        {"const,10ms", 0, 10000000},
        {"constant,10ms", 0, 10000000},
        {"constantly 3ms", 0, 3000000},
        {"2", 0, 2000000000},
        {"const,1,2", 1, 0},
        {"-5ms", 1, 0},
        {"const,nan", 1, 0},
        {"inf", 1, 0},
        {"uniform", 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        area().max_delay = 0;
        pipe.cur_delay = 1;
        ASSERT_EQ(apply(kind_delay, c.text), c.result);
        if (c.result == 0) {
            run(kind_delay);
            EXPECT_EQ(pipe.cur_delay, c.delay);
        }
    }
}

TEST_F(delay_test, wrong_counts_and_values_are_refused)
{
    for (const char* text : {"uniform,1ms", "uniform,1ms,2ms,3ms", "uniform,-1ms,5ms", "uniform,5ms,1ms",
                             "exp,1,2,3", "exp,2ms,1ms", "exp,1ms,x", "inter-packet,1,2",
                             "inter-packet,2ms,1ms,3ms", "inter-packet,1ms,2ms,-3ms"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(apply(kind_delay, text), 1);
        EXPECT_EQ(desc(kind_delay).present, 0);
    }
}

TEST_F(delay_test, uniform_bounds)
{
    ASSERT_EQ(apply(kind_delay, "uniform,1ms,5ms"), 0);
    EXPECT_EQ(log.lines(), strings{"dmin 1000000 dmax 5000000"});
    const auto& b = block<uniform_param>(kind_delay);
    EXPECT_EQ(b.dmin, 1000000u);
    EXPECT_EQ(b.dmax, 5000000u);
    EXPECT_EQ(b.range, 4000000u);
    run_draw(kind_delay, 0);
    EXPECT_EQ(pipe.cur_delay, 1000000u);
    run_draw(kind_delay, 0xffffff);
    EXPECT_EQ(pipe.cur_delay, 4999999u);
    // Only the low 24 bits of the draw count.
    run_draw(kind_delay, 0x7f000000);
    EXPECT_EQ(pipe.cur_delay, 1000000u);
    run_draw(kind_delay, 0x800000);
    EXPECT_EQ(pipe.cur_delay, 3000000u);
}

TEST_F(delay_test, uniform_equal_bounds_is_constant)
{
    ASSERT_EQ(apply(kind_delay, "uniform,5ms,5ms"), 0);
    for (uint32_t r : {0u, 0x123456u, 0xffffffu}) {
        run_draw(kind_delay, r);
        EXPECT_EQ(pipe.cur_delay, 5000000u);
    }
}

TEST_F(delay_test, uniform_range_beyond_2_pow_40)
{
    // 2000 s is about 2^40.9 ns: a 64-bit product of 24 bits would wrap.
    ASSERT_EQ(apply(kind_delay, "uniform,0,2000"), 0);
    const uint64_t dmax = 2000000000000ull;
    run_draw(kind_delay, 0xffffff);
    EXPECT_LT(pipe.cur_delay, dmax);
    EXPECT_GE(pipe.cur_delay, dmax - (dmax >> 23));
    run_draw(kind_delay, 0x800000);
    EXPECT_EQ(pipe.cur_delay, dmax / 2);
}

TEST_F(delay_test, exp_table)
{
    ASSERT_EQ(apply(kind_delay, "exp,1ms,5ms"), 0);
    const auto& b = block<exp_param>(kind_delay);
    EXPECT_EQ(b.entry[0], 1000000u);
    EXPECT_EQ(b.entry[1], 1007820u);
    EXPECT_EQ(b.entry[511], 25953298u);
    double sum = 0;
    for (uint64_t e : b.entry)
        sum += static_cast<double>(e);
    EXPECT_NEAR(sum / 512, 1000000 + 0.99211 * 4000000, 100);
    // The low 9 bits of the draw pick the entry.
    run_draw(kind_delay, 0x7ffffe00 | 511);
    EXPECT_EQ(pipe.cur_delay, 25953298u);
    run_draw(kind_delay, 0x200 | 1);
    EXPECT_EQ(pipe.cur_delay, 1007820u);
}

TEST_F(delay_test, exp_from_zero)
{
    ASSERT_EQ(apply(kind_delay, "exp,0,1ms"), 0);
    EXPECT_EQ(block<exp_param>(kind_delay).entry[0], 0u);
    EXPECT_EQ(block<exp_param>(kind_delay).entry[511], 6238324u);
    EXPECT_EQ(area().max_delay, 4000000u);
}

TEST_F(delay_test, inter_packet_branches)
{
    ASSERT_EQ(apply(kind_delay, "inter-packet,1ms,2ms,10ms"), 0);
    EXPECT_EQ(log.lines(), strings{"min-gap 1000000 max-gap 2000000 delay 10000000"});
    pipe.prod_now = 5000000000ull;
    // The previous packet is due 300 us from now: one gap after it.
    pipe.qt_tx = pipe.prod_now + 300000;
    run_draw(kind_delay, 0);
    EXPECT_EQ(pipe.cur_delay, 1300000u);
    run_draw(kind_delay, 0xffffff);
    EXPECT_EQ(pipe.cur_delay, 2299999u);
    pipe.qt_tx = pipe.prod_now;  // still arriving right now
    run_draw(kind_delay, 0x800000);
    EXPECT_EQ(pipe.cur_delay, 1500000u);
    // Idle link: the fixed delay, and the draw is taken all the same.
    pipe.qt_tx = pipe.prod_now - 1;
    set_next_draw(pipe, 0x800000);
    unsigned short after[3];
    std::copy(std::begin(pipe.rand_state), std::end(pipe.rand_state), after);
    nrand48(after);
    run(kind_delay);
    EXPECT_EQ(pipe.cur_delay, 10000000u);
    EXPECT_TRUE(std::equal(std::begin(pipe.rand_state), std::end(pipe.rand_state), after));
}

TEST_F(delay_test, messages_precede_the_limit)
{
    area().max_delay = 1000000;
    EXPECT_EQ(apply(kind_delay, "uniform,1ms,5ms"), 1);
    EXPECT_EQ(apply(kind_delay, "inter-packet,1ms,2ms,10ms"), 1);
    const strings lines = log.lines();
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[0], "dmin 1000000 dmax 5000000");
    EXPECT_EQ(lines[1], "invalid new delay 5000000 (max 1000000)");
    EXPECT_EQ(lines[5], "min-gap 1000000 max-gap 2000000 delay 10000000");
    EXPECT_EQ(lines[6], "invalid new delay 10000000 (max 1000000)");
}

}  // namespace
