// cmd_apply, param_alloc and limit_check: results, messages, descriptors.
#include <cstring>

#include "models_fixture.hpp"

using namespace common;
using namespace pipes;
using namespace models;

namespace {

using cmd_apply_test = model_test;

TEST_F(cmd_apply_test, bare_value_installs_constant_delay)
{
    const char* text = "10ms";
    EXPECT_EQ(apply(kind_delay, text), 0);
    EXPECT_EQ(slot(kind_delay).text, text);
    EXPECT_EQ(slot(kind_delay).run, &const_delay_run);
    EXPECT_EQ(slot(kind_delay).slot_desc, &desc(kind_delay));
    EXPECT_EQ(desc(kind_delay).present, 1);
    EXPECT_EQ(desc(kind_delay).row, 0);
    run(kind_delay);
    EXPECT_EQ(pipe.cur_delay, 10000000u);
    EXPECT_EQ(log.lines(), strings{});
}

TEST_F(cmd_apply_test, claimed_and_refused_logs_two_lines)
{
    desc(kind_delay).present = 1;
    EXPECT_EQ(apply(kind_delay, "exp"), 1);
    EXPECT_EQ(log.lines(), (strings{"bad argument exp", "invalid arguments: need 'constant,delay' have 'exp'",
                                    "arguments exp not recognised"}));
    EXPECT_EQ(desc(kind_delay).present, 0);
    EXPECT_EQ(slot(kind_delay).run, &null_run);
    EXPECT_STREQ(slot(kind_delay).text, "0");
}

TEST_F(cmd_apply_test, unclaimed_logs_one_line)
{
    EXPECT_EQ(apply(kind_delay, "gauss,1,2"), 1);
    EXPECT_EQ(log.lines(), strings{"arguments gauss,1,2 not recognised"});
    EXPECT_EQ(apply(kind_reorder, "rand,0.1,5ms"), 1);
    EXPECT_EQ(log.lines(),
              (strings{"arguments gauss,1,2 not recognised", "arguments rand,0.1,5ms not recognised"}));
}

TEST_F(cmd_apply_test, separators_only_is_not_recognised)
{
    desc(kind_loss).present = 1;
    EXPECT_EQ(apply(kind_loss, " ,\t,"), 1);
    EXPECT_EQ(log.lines(), strings{"arguments  ,\t, not recognised"});
    EXPECT_EQ(desc(kind_loss).present, 0);
    EXPECT_EQ(pipe.param_used[0], 0u);
}

TEST_F(cmd_apply_test, none_clears_descriptor_and_keeps_slot)
{
    ASSERT_EQ(apply(kind_delay, "10ms"), 0);
    void* block = slot(kind_delay).param_block;
    EXPECT_EQ(apply(kind_delay, "none"), 0);
    EXPECT_EQ(desc(kind_delay).present, 0);
    EXPECT_EQ(slot(kind_delay).run, &const_delay_run);
    EXPECT_EQ(slot(kind_delay).param_block, block);
    // At start-up the slot stays empty.
    EXPECT_EQ(apply(kind_bw, "none"), 0);
    EXPECT_EQ(slot(kind_bw).run, &null_run);
    EXPECT_EQ(log.lines(), strings{});
}

TEST_F(cmd_apply_test, empty_or_null_text_changes_nothing)
{
    desc(kind_delay) = model_desc{1, 3, 32, 64};
    EXPECT_EQ(apply(kind_delay, ""), 0);
    EXPECT_EQ(apply(kind_delay, nullptr), 0);
    EXPECT_EQ(desc(kind_delay).present, 1);
    EXPECT_EQ(desc(kind_delay).row, 3);
    EXPECT_EQ(desc(kind_delay).offset, 64u);
    EXPECT_EQ(slot(kind_delay).run, &null_run);
    EXPECT_EQ(log.lines(), strings{});
}

TEST_F(cmd_apply_test, refusal_keeps_the_installed_model)
{
    const char* text = "10ms";
    ASSERT_EQ(apply(kind_delay, text), 0);
    EXPECT_EQ(apply(kind_delay, "uniform,5ms,1ms"), 1);
    EXPECT_EQ(log.lines(),
              (strings{"invalid arguments: need 'uniform,dmin,dmax # dmin <= dmax' have 'uniform,5ms,1ms'",
                       "arguments uniform,5ms,1ms not recognised"}));
    EXPECT_EQ(desc(kind_delay).present, 0);
    EXPECT_EQ(slot(kind_delay).run, &const_delay_run);
    EXPECT_EQ(slot(kind_delay).text, text);
}

struct row_case {
    model_kind kind;
    const char* text;
    int row;
    run_fn* run;
    uint64_t qsize_hint;
};

TEST_F(cmd_apply_test, rows_and_slots_of_every_table)
{
    const row_case cases[] = {
        {kind_delay, "constant,1ms", 0, const_delay_run, 0},
        {kind_delay, "uniform,1ms,2ms", 1, uniform_delay_run, 0},
        {kind_delay, "exp 1ms 2ms", 2, exp_delay_run, 0},
        {kind_delay, "inter-packet,1ms,2ms,1ms", 3, inter_packet_delay_run, 0},
        {kind_bw, "10M", 0, const_bw_run, 50000},
        {kind_bw, "ether,10M", 1, ether_bw_run, 50000},
        {kind_bw, "avg,10M", 2, avg_bw_run, 0},
        {kind_loss, "0.5", 0, const_plr_run, 0},
        {kind_loss, "ber,1e-6", 1, const_ber_run, 0},
        {kind_reorder, "0.1,1ms", 0, const_reorder_run, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        area().max_delay = area().max_bps = area().max_hold = 0;
        slot(c.kind).qsize_hint = 12345;
        ASSERT_EQ(apply(c.kind, c.text), 0);
        EXPECT_EQ(desc(c.kind).present, 1);
        EXPECT_EQ(desc(c.kind).row, c.row);
        EXPECT_EQ(slot(c.kind).run, c.run);
        EXPECT_EQ(slot(c.kind).parse, model_list[c.kind].table[c.row].parse);
        EXPECT_EQ(slot(c.kind).qsize_hint, c.qsize_hint);
        EXPECT_EQ(static_cast<unsigned char*>(slot(c.kind).param_block),
                  area().instance[0].params + desc(c.kind).offset);
    }
}

TEST_F(cmd_apply_test, program_error_ends_the_process)
{
    EXPECT_EXIT(
        {
            set_log_fd(2);
            cmd_apply(nullptr, "10ms", pipe, &slot(kind_delay));
        },
        testing::ExitedWithCode(1), "program error - invalid arguments");
    EXPECT_EXIT(
        {
            set_log_fd(2);
            cmd_apply(delay_models, "10ms", pipe, nullptr);
        },
        testing::ExitedWithCode(1), "program error - invalid arguments");
}

using param_alloc_test = model_test;

TEST_F(param_alloc_test, blocks_follow_each_other)
{
    ASSERT_EQ(apply(kind_delay, "uniform,1ms,5ms"), 0);
    ASSERT_EQ(apply(kind_bw, "ether,10M"), 0);
    EXPECT_EQ(desc(kind_delay).offset, 0u);
    EXPECT_EQ(desc(kind_delay).size, 24u);
    EXPECT_EQ(desc(kind_bw).offset, 24u);
    EXPECT_EQ(desc(kind_bw).size, 36800u);
    EXPECT_EQ(pipe.param_used[0], 36824u);
    EXPECT_EQ(pipe.param_used[1], 0u);
    EXPECT_EQ(static_cast<unsigned char*>(slot(kind_bw).param_block), area().instance[0].params + 24);
}

TEST_F(param_alloc_test, block_ending_at_the_end_is_refused)
{
    pipe.param_used[0] = params_bytes - 8;
    EXPECT_EQ(apply(kind_delay, "1ms"), 1);
    EXPECT_EQ(log.lines(), (strings{"no room for 8 bytes in external config instance 0",
                                    "invalid arguments: need 'constant,delay' have '1ms'",
                                    "arguments 1ms not recognised"}));
    EXPECT_EQ(pipe.param_used[0], params_bytes - 8);
    pipe.param_used[0] = params_bytes - 16;
    EXPECT_EQ(apply(kind_delay, "1ms"), 0);
    EXPECT_EQ(desc(kind_delay).offset, params_bytes - 16);
    EXPECT_EQ(pipe.param_used[0], params_bytes - 8);
}

TEST_F(param_alloc_test, writes_the_instance_being_written)
{
    session_attach(pipe, layout, 0, 1);
    pipe.param_used[1] = params_bytes - 24;
    EXPECT_EQ(apply(kind_loss, "plr,0.1"), 1);
    EXPECT_EQ(log.lines().at(0), "no room for 24 bytes in external config instance 1");
    pipe.param_used[1] = 40;
    ASSERT_EQ(apply(kind_loss, "plr,0.1"), 0);
    EXPECT_EQ(&desc(kind_loss), &area().instance[1].descs[kind_loss]);
    EXPECT_EQ(static_cast<unsigned char*>(slot(kind_loss).param_block), area().instance[1].params + 40);
}

TEST_F(param_alloc_test, fresh_block_starts_cleared)
{
    std::memset(area().instance[0].params, 0xa5, 64);
    ASSERT_EQ(apply(kind_loss, "plr,0.1"), 0);
    EXPECT_EQ(block<plr_param>(kind_loss).pkts, 0u);
    EXPECT_EQ(block<plr_param>(kind_loss).drops, 0u);
    ASSERT_EQ(apply(kind_bw, "avg,10M"), 0);
    EXPECT_EQ(block<avg_param>(kind_bw).level, 0u);
    EXPECT_EQ(block<avg_param>(kind_bw).last, 0u);
}

using limit_check_test = model_test;

TEST_F(limit_check_test, first_value_becomes_the_limit)
{
    uint64_t limit = 0;
    EXPECT_TRUE(limit_check(limit, 700, "delay"));
    EXPECT_EQ(limit, 700u);
    EXPECT_TRUE(limit_check(limit, 700, "delay"));
    EXPECT_TRUE(limit_check(limit, 3, "delay"));
    EXPECT_EQ(limit, 700u);
    EXPECT_FALSE(limit_check(limit, 701, "delay"));
    EXPECT_EQ(limit, 700u);
    EXPECT_EQ(log.lines(), strings{"invalid new delay 701 (max 700)"});
}

TEST_F(limit_check_test, each_delay_model_holds_its_value)
{
    ASSERT_EQ(apply(kind_delay, "exp,1ms,5ms"), 0);
    EXPECT_EQ(area().max_delay, 21000000u);
    area().max_delay = 0;
    ASSERT_EQ(apply(kind_delay, "uniform,1ms,3ms"), 0);
    EXPECT_EQ(area().max_delay, 3000000u);
    area().max_delay = 0;
    ASSERT_EQ(apply(kind_delay, "inter-packet,1ms,50ms,4ms"), 0);
    EXPECT_EQ(area().max_delay, 4000000u);

    area().max_delay = 5000000;
    log.clear();
    EXPECT_EQ(apply(kind_delay, "constant,6ms"), 1);
    EXPECT_EQ(log.lines().at(0), "invalid new delay 6000000 (max 5000000)");
    EXPECT_EQ(log.lines().back(),
              "refused by the session's delay limit (max-delay 5ms), set when its owner "
              "started, by its -M or else its own models: to allow 6ms, start the owner "
              "with -M 6ms");
    EXPECT_EQ(apply(kind_delay, "uniform,1ms,5ms"), 0);
    log.clear();
    EXPECT_EQ(apply(kind_delay, "exp,1ms,2ms"), 1);
    EXPECT_EQ(log.lines().at(0), "invalid new delay 9000000 (max 5000000)");
    EXPECT_EQ(area().max_delay, 5000000u);
}

TEST_F(limit_check_test, bandwidth_and_hold_limits)
{
    area().max_bps = 100000000;
    EXPECT_EQ(apply(kind_bw, "constant,1G"), 1);
    EXPECT_EQ(log.lines().at(0), "invalid new bandwidth 1000000000 (max 100000000)");
    EXPECT_EQ(log.lines().back(),
              "refused by the session's bandwidth limit (max-bps 100M), set when its owner "
              "started, by its -M or else its own models: to allow 1G, start the owner "
              "with -M max-delay,1G");
    EXPECT_EQ(apply(kind_bw, "ether,0"), 0);
    EXPECT_EQ(apply(kind_bw, "constant,0"), 0);
    EXPECT_EQ(area().max_bps, 100000000u);

    area().max_hold = 1000000;
    log.clear();
    EXPECT_EQ(apply(kind_reorder, "const,0.1,2ms"), 1);
    EXPECT_EQ(log.lines().at(0), "invalid new hold delay 2000000 (max 1000000)");
    EXPECT_EQ(log.lines().back(),
              "refused by the session's hold delay limit (max-hold 1ms), set when its owner "
              "started, by its -M or else its own models: to allow 2ms, start the owner "
              "with -M max-delay,max-bps,2ms");
    EXPECT_EQ(apply(kind_reorder, "const,0.1,1ms"), 0);
}

TEST_F(limit_check_test, refused_value_does_not_become_the_limit)
{
    // 5000 bit/s is too low for the bucket; the limit stays unset.
    EXPECT_EQ(apply(kind_bw, "avg,5000"), 1);
    EXPECT_EQ(area().max_bps, 0u);
    // dmin + 4 x davg beyond 64 bits is invalid, not wrapped.
    EXPECT_EQ(apply(kind_delay, "exp,0,5000000000s"), 1);
    EXPECT_EQ(area().max_delay, 0u);
}

}  // namespace
