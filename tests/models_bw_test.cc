// Bandwidth models: serialising tables, the token bucket and their forms.
#include <algorithm>

#include "models_fixture.hpp"

using namespace common;
using namespace pipes;
using namespace models;

namespace {

using bw_test = model_test;

TEST_F(bw_test, constant_table)
{
    for (const char* text : {"constant,10M", "10M", "const 10m", "10000000"}) {
        SCOPED_TRACE(text);
        pipe.param_used[0] = 0;
        ASSERT_EQ(apply(kind_bw, text), 0);
        const auto& t = block<tx_table>(kind_bw);
        EXPECT_EQ(t.entry[0], 0u);
        EXPECT_EQ(t.entry[1], 800u);
        EXPECT_EQ(t.entry[1500], 1200000u);
        EXPECT_EQ(t.entry[9199], 7359200u);
        EXPECT_EQ(slot(kind_bw).qsize_hint, 50000u);
    }
}

TEST_F(bw_test, ether_table_adds_framing)
{
    ASSERT_EQ(apply(kind_bw, "ether,10M"), 0);
    const auto& t = block<tx_table>(kind_bw);
    EXPECT_EQ(t.entry[0], 19200u);
    EXPECT_EQ(t.entry[1514], 1230400u);
    EXPECT_EQ(slot(kind_bw).qsize_hint, 50000u);
}

TEST_F(bw_test, zero_rate_is_an_unlimited_link)
{
    area().max_bps = 1000;
    for (const char* text : {"constant,0", "ether,0"}) {
        SCOPED_TRACE(text);
        ASSERT_EQ(apply(kind_bw, text), 0);
        const auto& t = block<tx_table>(kind_bw);
        EXPECT_TRUE(std::all_of(std::begin(t.entry), std::end(t.entry), [](uint32_t e) { return e == 0; }));
    }
}

TEST_F(bw_test, slow_rates_saturate)
{
    ASSERT_EQ(apply(kind_bw, "constant,1000"), 0);  // 8 ms per byte
    const auto& t = block<tx_table>(kind_bw);
    EXPECT_EQ(t.entry[1], 8000000u);
    EXPECT_EQ(t.entry[536], 4288000000u);
    EXPECT_EQ(t.entry[537], 4294967295u);
    EXPECT_EQ(t.entry[9199], 4294967295u);
}

TEST_F(bw_test, forms_and_results)
{
    // A lone word that is no rate is passed on by the constant row.
    EXPECT_EQ(apply(kind_bw, "avg"), 1);
    EXPECT_EQ(log.lines(), (strings{"bad argument avg", "invalid arguments: need 'avg,bps' have 'avg'",
                                    "arguments avg not recognised"}));
    log.clear();
    EXPECT_EQ(apply(kind_bw, "-10M"), 1);
    EXPECT_EQ(log.lines(), strings{"arguments -10M not recognised"});
    log.clear();
    EXPECT_EQ(apply(kind_bw, "constant,10M,5"), 1);
    EXPECT_EQ(log.lines().at(0), "invalid arguments: need 'constant,bps' have 'constant,10M,5'");
    for (const char* text :
         {"const,x", "const,-1", "ether", "ether,10M,1", "ether,-1M", "avg,1,2", "avg,nan"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(apply(kind_bw, text), 1);
    }
    EXPECT_EQ(apply(kind_bw, "cbr,10M"), 1);
    EXPECT_EQ(log.lines().back(), "arguments cbr,10M not recognised");
}

TEST_F(bw_test, serialiser_run)
{
    ASSERT_EQ(apply(kind_bw, "ether,10M"), 0);
    pipe.drop = 1;
    pipe.cur_len = 1514;
    run(kind_bw);
    EXPECT_EQ(pipe.cur_tx, 1230400u);
    EXPECT_EQ(pipe.drop, 0);
    // Beyond the table a packet costs as much as the longest entry.
    pipe.cur_len = 65535;
    run(kind_bw);
    EXPECT_EQ(pipe.cur_tx, block<tx_table>(kind_bw).entry[9199]);
}

TEST_F(bw_test, avg_bucket_size)
{
    ASSERT_EQ(apply(kind_bw, "avg,10M"), 0);
    EXPECT_EQ(log.lines(), strings{"avg_bw_parse|token 1310B/1.05ms depth 18400"});
    EXPECT_EQ(block<avg_param>(kind_bw).token, 1310u);
    EXPECT_EQ(block<avg_param>(kind_bw).depth, 18400u);
    EXPECT_EQ(slot(kind_bw).qsize_hint, 0u);
    area().max_bps = 0;
    ASSERT_EQ(apply(kind_bw, "avg,1G"), 0);
    EXPECT_EQ(block<avg_param>(kind_bw).token, 131072u);
    EXPECT_EQ(block<avg_param>(kind_bw).depth, 524288u);
}

TEST_F(bw_test, avg_refuses_a_rate_whose_token_is_zero)
{
    EXPECT_EQ(apply(kind_bw, "avg,7629"), 1);
    EXPECT_EQ(pipe.param_used[0], 0u);
    ASSERT_EQ(apply(kind_bw, "avg,7630"), 0);
    EXPECT_EQ(block<avg_param>(kind_bw).token, 1u);
}

TEST_F(bw_test, avg_pass_and_drop)
{
    ASSERT_EQ(apply(kind_bw, "avg,10M"), 0);
    auto& b = block<avg_param>(kind_bw);
    pipe.prod_now = uint64_t{7} << 20;
    b.last = 7;
    b.level = 1523;
    pipe.cur_len = 1500;
    pipe.cur_tx = 9;
    run(kind_bw);
    EXPECT_EQ(pipe.drop, 1);
    EXPECT_EQ(b.level, 1523u);
    EXPECT_EQ(pipe.cur_tx, 0u);
    b.level = 1524;
    run(kind_bw);
    EXPECT_EQ(pipe.drop, 0);
    EXPECT_EQ(b.level, 0u);
}

TEST_F(bw_test, avg_refill)
{
    ASSERT_EQ(apply(kind_bw, "avg,10M"), 0);
    auto& b = block<avg_param>(kind_bw);
    pipe.cur_len = 100;
    // Within the first 2^20 ns after the time base the bucket is empty.
    pipe.prod_now = (uint64_t{1} << 20) - 1;
    run(kind_bw);
    EXPECT_EQ(pipe.drop, 1);
    pipe.prod_now = uint64_t{3} << 20;
    run(kind_bw);
    EXPECT_EQ(pipe.drop, 0);
    EXPECT_EQ(b.level, 3 * 1310u - 124);
    EXPECT_EQ(b.last, 3u);
    pipe.prod_now = uint64_t{100} << 20;
    run(kind_bw);
    EXPECT_EQ(b.level, 18400u - 124);
    // A gap whose refill would pass 2^64 fills the bucket, it does not wrap.
    area().max_bps = 0;
    ASSERT_EQ(apply(kind_bw, "avg,1G"), 0);
    auto& big = block<avg_param>(kind_bw);
    pipe.prod_now = uint64_t{1} << 63;
    run(kind_bw);
    EXPECT_EQ(pipe.drop, 0);
    EXPECT_EQ(big.level, 524288u - 124);
}

TEST_F(bw_test, avg_zero_drops_everything)
{
    ASSERT_EQ(apply(kind_bw, "avg,0"), 0);
    pipe.cur_len = 0;
    for (uint64_t t : {uint64_t{1} << 20, uint64_t{1} << 40}) {
        pipe.prod_now = t;
        run(kind_bw);
        EXPECT_EQ(pipe.drop, 1);
    }
}

}  // namespace
