// Loss and reorder models: thresholds, tables, counters and run functions.
#include <algorithm>
#include <cstdlib>

#include "models_fixture.hpp"

using namespace common;
using namespace pipes;
using namespace models;

namespace {

using loss_test = model_test;

TEST_F(loss_test, plr_threshold)
{
    for (const char* text : {"plr,0.01", "0.01"}) {
        SCOPED_TRACE(text);
        ASSERT_EQ(apply(kind_loss, text), 0);
        EXPECT_EQ(block<plr_param>(kind_loss).threshold, 167772u);
    }
    ASSERT_EQ(apply(kind_loss, "plr,1"), 0);
    EXPECT_EQ(block<plr_param>(kind_loss).threshold, 16777216u);
    EXPECT_EQ(log.lines(), strings{});
}

TEST_F(loss_test, plr_rounding_warning)
{
    ASSERT_EQ(apply(kind_loss, "plr,1e-8"), 0);
    EXPECT_EQ(log.lines(), strings{"WWW warning,  rounding 1.000000e-08 down to 0"});
    EXPECT_EQ(block<plr_param>(kind_loss).threshold, 0u);
    log.clear();
    ASSERT_EQ(apply(kind_loss, "plr,0"), 0);
    EXPECT_EQ(log.lines(), strings{});
}

TEST_F(loss_test, plr_refusals)
{
    for (const char* text : {"plr,1.5", "plr,-0.1", "plr,nan", "plr,0.1,0.2", "x"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(apply(kind_loss, text), 1);
    }
    log.clear();
    EXPECT_EQ(apply(kind_loss, "plr,0.5%"), 1);
    EXPECT_EQ(log.lines().at(0), "bad suffix %");
    log.clear();
    EXPECT_EQ(apply(kind_loss, "gilbert,0.1"), 1);
    EXPECT_EQ(log.lines(), strings{"arguments gilbert,0.1 not recognised"});
}

TEST_F(loss_test, plr_run)
{
    ASSERT_EQ(apply(kind_loss, "plr,0.01"), 0);
    const auto& b = block<plr_param>(kind_loss);
    run_draw(kind_loss, 0x7f000000 | 167771);
    EXPECT_EQ(pipe.drop, 1);
    run_draw(kind_loss, 167772);
    EXPECT_EQ(pipe.drop, 0);
    EXPECT_EQ(b.pkts, 2u);
    EXPECT_EQ(b.drops, 1u);
    ASSERT_EQ(apply(kind_loss, "1"), 0);
    run_draw(kind_loss, 0xffffff);
    EXPECT_EQ(pipe.drop, 1);
}

TEST_F(loss_test, ber_table)
{
    ASSERT_EQ(apply(kind_loss, "ber,1e-6"), 0);
    const auto& b = block<ber_param>(kind_loss);
    EXPECT_EQ(b.threshold, 16u);
    EXPECT_EQ(b.entry[0], 0u);
    EXPECT_EQ(b.entry[1], 134u);
    EXPECT_EQ(b.entry[64], 8587u);
    EXPECT_EQ(b.entry[1500], 200123u);
    EXPECT_EQ(b.entry[9199], 1190332u);
    EXPECT_TRUE(std::is_sorted(std::begin(b.entry), std::end(b.entry)));
}

TEST_F(loss_test, ber_of_one_caps_below_certainty)
{
    ASSERT_EQ(apply(kind_loss, "ber,1"), 0);
    const auto& b = block<ber_param>(kind_loss);
    EXPECT_EQ(b.entry[0], 0u);
    EXPECT_TRUE(
        std::all_of(std::begin(b.entry) + 1, std::end(b.entry), [](uint32_t e) { return e == 16777215u; }));
    pipe.cur_len = 1000;
    run_draw(kind_loss, 0xffffff);
    EXPECT_EQ(pipe.drop, 0);
    run_draw(kind_loss, 0xfffffe);
    EXPECT_EQ(pipe.drop, 1);
}

TEST_F(loss_test, ber_forms)
{
    for (const char* text : {"ber", "ber,0.1,2", "ber,2", "ber,nan"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(apply(kind_loss, text), 1);
    }
}

TEST_F(loss_test, ber_run_trims_long_packets)
{
    ASSERT_EQ(apply(kind_loss, "ber,1e-6"), 0);
    const auto& b = block<ber_param>(kind_loss);
    pipe.cur_len = 1500;
    run_draw(kind_loss, 200122);
    EXPECT_EQ(pipe.drop, 1);
    run_draw(kind_loss, 200123);
    EXPECT_EQ(pipe.drop, 0);
    EXPECT_EQ(b.bits, 24000u);
    pipe.cur_len = 9300;
    run_draw(kind_loss, 1190331);
    EXPECT_EQ(pipe.drop, 1);
    EXPECT_EQ(b.bits, 24000u + 73592u);
    EXPECT_EQ(b.drops, 2u);
    EXPECT_EQ(log.lines(), strings{"const_ber_run|pkt len 9300 too large, trim to 9199"});
}

using reorder_test = model_test;

TEST_F(reorder_test, forms)
{
    for (const char* text : {"0.1,5ms", "const,0.1,5ms", "const 0.1 5ms"}) {
        SCOPED_TRACE(text);
        ASSERT_EQ(apply(kind_reorder, text), 0);
        EXPECT_EQ(block<reorder_param>(kind_reorder).threshold, 1677721u);
        EXPECT_EQ(block<reorder_param>(kind_reorder).hold, 5000000u);
    }
    for (const char* text : {"const", "const,0.1,5ms,1", "const,1.1,5ms", "const,0.1,-5ms", "nan,5ms"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(apply(kind_reorder, text), 1);
    }
    log.clear();
    EXPECT_EQ(apply(kind_reorder, "rand,0.1,5ms"), 1);
    EXPECT_EQ(log.lines(), strings{"arguments rand,0.1,5ms not recognised"});
}

TEST_F(reorder_test, block_is_reserved_before_the_values)
{
    EXPECT_EQ(apply(kind_reorder, "const,2,5ms"), 1);
    EXPECT_EQ(pipe.param_used[0], 16u);
    EXPECT_EQ(desc(kind_reorder).present, 0);
}

TEST_F(reorder_test, warning_and_run)
{
    ASSERT_EQ(apply(kind_reorder, "const,1e-9,1ms"), 0);
    EXPECT_EQ(log.lines(), strings{"WWW warning,  rounding 1.000000e-09 down to 0"});
    ASSERT_EQ(apply(kind_reorder, "0.1,1ms"), 0);
    run_draw(kind_reorder, 1677720);
    EXPECT_EQ(pipe.cur_hold, 1000000u);
    run_draw(kind_reorder, 1677721);
    EXPECT_EQ(pipe.cur_hold, 0u);
}

}  // namespace
