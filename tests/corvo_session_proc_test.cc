// The session file with the real programs: a running corvo over two
// shared-memory links takes new models from a second corvo while traffic
// flows, is stopped by corvo -a, and shows its live counters to corvo-stat
// and to anyone reading the file's bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "corvo/session_file.hpp"
#include "models/model.hpp"
#include "pipe/pipe_state.hpp"
#include "session_proc.hpp"

using namespace common;
using namespace pipes;
using namespace models;
using namespace corvo;

using namespace session_test;

namespace {

const std::string bin = TEST_BIN_DIR;
const std::string corvo_bin = bin + "/corvo";
const std::string corvo_stat = bin + "/corvo-stat";
const std::string probe = bin + "/probe";

// corvo with the session file and both ports, never pinned, plus extra.
std::vector<std::string> corvo_args(const std::string& file, const links& l, std::vector<std::string> extra)
{
    std::vector<std::string> v{corvo_bin, "-s", file, "-i", l.ifa(), "-i", l.ifb(), "-C", "-1,-1,-1,-1"};
    v.insert(v.end(), extra.begin(), extra.end());
    return v;
}

// The owner: 1 ms delay, room for 100 ms at 1 Gbit/s, late packets kept.
std::vector<std::string> owner_args(const std::string& file, const links& l,
                                    std::vector<std::string> extra = {})
{
    std::vector<std::string> v{"-M", "100ms,1G,10ms", "-d", "1s"};
    v.insert(v.end(), extra.begin(), extra.end());
    return corvo_args(file, l, v);
}

uint64_t u64_at(const std::string& file, off_t off) { return read_at<uint64_t>(file, off); }

// A field of the probe's JSON summary ("delay_ns" fields are nested: the
// first "max" after "delay_ns").
long long json_field(const std::string& json, const std::string& key, const std::string& after = "")
{
    size_t from = after.empty() ? 0 : json.find("\"" + after + "\"");
    if (from == std::string::npos)
        return -1;
    size_t k = json.find("\"" + key + "\":", from);
    if (k == std::string::npos)
        return -1;
    return std::atoll(json.c_str() + k + key.size() + 3);
}

struct session_proc_test : ::testing::Test {
    temp_dir dir;
    std::string file = dir.file("emu.session");

    // Starts an owner and waits for both directions' banners.
    void start_owner(child& owner)
    {
        ASSERT_TRUE(owner.started());
        ASSERT_TRUE(owner.wait_log("hold-buf", 2)) << owner.log();
    }
    // Stops a running owner through the session file and checks that the
    // stop request returns only once the owner has ended.
    void stop_owner(child& owner)
    {
        child stop(program({corvo_bin, "-s", file, "-a"}));
        EXPECT_EQ(stop.finish(10000), 0) << stop.log();
        EXPECT_NE(stop.log().find("exiting due to -a\n"), std::string::npos) << stop.log();
        // The owner's locks go when its process ends, a moment before the
        // process can be reaped; it spends a whole second between seeing
        // the stop and exiting, so an early return would show here.
        EXPECT_EQ(owner.finish(300), 0) << "corvo -a returned while the owner ran";
        EXPECT_NE(owner.log().find("exiting on abort"), std::string::npos) << owner.log();
    }
};

}  // namespace

TEST_F(session_proc_test, running_emulator_takes_new_models_without_stopping)
{
    links l("run");
    child owner(program(owner_args(file, l, {"-D", "1ms"})));
    start_owner(owner);

    // 2000 frames a second for 4 s; the first client comes after about 1 s.
    const std::string ready = dir.file("rx.ready");
    child rx(program(
        {probe, "recv", "-i", l.receiver(), "-n", "8000", "-t", "15", "-w", "1", "--ready", ready}, true));
    ASSERT_TRUE(eventually([&] { return access(ready.c_str(), F_OK) == 0; }));
    child tx(program({probe, "send", "-i", l.sender(), "-n", "8000", "-r", "2000", "-W", "5"}));
    ASSERT_TRUE(eventually([&] { return u64_at(file, 0) > 1000; })) << "no traffic through A";

    // Live counters, read at their offsets while traffic flows: A's
    // producer and consumer packets and bytes grow.
    const uint64_t prod0 = u64_at(file, 0), cons0 = u64_at(file, 128), bytes0 = u64_at(file, 8);
    usleep(300000);
    EXPECT_GT(u64_at(file, 0), prod0);
    EXPECT_GT(u64_at(file, 128), cons0);
    EXPECT_GT(u64_at(file, 8), bytes0);
    EXPECT_EQ(u64_at(file, 8) % 60, 0u);  // 60-byte frames
    EXPECT_EQ(read_at<uint32_t>(file, 512), 1u);

    // corvo-stat shows the same blocks, twice, a second apart.
    child stat(program({corvo_stat, "-n", "2", file}, true));
    ASSERT_EQ(stat.finish(5000), 0) << stat.log();
    {
        std::regex line(
            R"(A->B prod pkts (\d+) bytes (\d+) drop_pkts \d+ drop_bytes \d+ hold_pkts 0 hold_bytes 0)");
        const std::string out = stat.log();
        std::vector<unsigned long long> pkts;
        for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it)
            pkts.push_back(std::stoull((*it)[1]));
        ASSERT_EQ(pkts.size(), 2u) << out;
        EXPECT_GT(pkts[0], 0u);
        EXPECT_GT(pkts[1], pkts[0]);
        EXPECT_NE(
            out.find(
                "B->A cons pkts 0 bytes 0 drop_pkts 0 drop_bytes 0 port_drop_pkts 0 port_drop_bytes 0\n"),
            std::string::npos)
            << out;
    }

    // The client of the issue: new delay and loss, within one producer pass.
    child c1(program(corvo_args(file, l, {"-D", "50ms", "-L", "0.01"})));
    EXPECT_EQ(c1.finish(10000), 0) << c1.log();
    EXPECT_TRUE(owner.running());
    for (int d = 0; d < 2; ++d) {
        EXPECT_EQ(u64_at(file, area_off(d) + 24), 1u);  // active_instance
        const off_t i1 = instance_off(d, 1);
        const auto delay = read_at<model_desc>(file, i1 + 0);
        const auto bw = read_at<model_desc>(file, i1 + 8);
        const auto loss = read_at<model_desc>(file, i1 + 16);
        const auto reorder = read_at<model_desc>(file, i1 + 24);
        EXPECT_EQ(delay.present, 1);
        EXPECT_EQ(delay.row, 0);
        EXPECT_EQ(bw.present, 0);  // the owner's bandwidth model goes away
        EXPECT_EQ(loss.present, 1);
        EXPECT_EQ(loss.row, 0);
        EXPECT_EQ(reorder.present, 0);
        EXPECT_EQ(read_at<uint32_t>(file, i1 + 44), 0u);  // qsize: unlimited
        EXPECT_EQ(u64_at(file, i1 + 48 + delay.offset), 50000000u);
        EXPECT_EQ(u64_at(file, i1 + 48 + loss.offset), 167772u);  // 0.01 * 2^24
    }
    // Both producers acknowledge the switch.
    ASSERT_TRUE(eventually([&] { return u64_at(file, ack_off(0)) == 1 && u64_at(file, ack_off(1)) == 1; }));
    // The loss model of A runs in place in instance 1: its own counters grow.
    const off_t loss_block =
        instance_off(0, 1) + 48 + read_at<model_desc>(file, instance_off(0, 1) + 16).offset;
    ASSERT_TRUE(eventually([&] { return u64_at(file, loss_block + 16) > 0; }, 4000))
        << "no packet lost at 1% (pkts " << u64_at(file, loss_block + 8) << ")";

    // A second client writes instance 0 back.
    child c2(program(corvo_args(file, l, {"-D", "20ms"})));
    EXPECT_EQ(c2.finish(10000), 0) << c2.log();
    for (int d = 0; d < 2; ++d) {
        EXPECT_EQ(u64_at(file, area_off(d) + 24), 0u);
        const auto delay = read_at<model_desc>(file, instance_off(d, 0));
        EXPECT_EQ(delay.present, 1);
        EXPECT_EQ(u64_at(file, instance_off(d, 0) + 48 + delay.offset), 20000000u);
        EXPECT_EQ(read_at<model_desc>(file, instance_off(d, 0) + 16).present, 0);
    }
    ASSERT_TRUE(eventually([&] { return u64_at(file, ack_off(0)) == 0 && u64_at(file, ack_off(1)) == 0; }));

    EXPECT_EQ(tx.finish(15000), 0) << tx.log();
    EXPECT_EQ(rx.finish(15000), 0) << rx.log();
    const std::string json = rx.log();
    // Frames kept flowing through all three configurations: the first ones
    // took about 1 ms, later ones 50 ms.
    EXPECT_GT(json_field(json, "frames"), 4000) << json;
    EXPECT_LT(json_field(json, "min", "delay_ns"), 40000000) << json;
    EXPECT_GE(json_field(json, "max", "delay_ns"), 50000000) << json;

    stop_owner(owner);
}

TEST_F(session_proc_test, client_with_only_a_delay_turns_the_other_models_off)
{
    links l("only");
    child owner(
        program(owner_args(file, l, {"-D", "1ms", "-B", "100M", "-L", "0.5", "-R", "0.1,1ms", "-Q", "64k"})));
    start_owner(owner);
    child tx1(program({probe, "send", "-i", l.sender(), "-n", "400", "-r", "1000", "-W", "5"}));
    EXPECT_EQ(tx1.finish(10000), 0);
    ASSERT_TRUE(eventually([&] { return u64_at(file, 16) > 0; })) << "loss 0.5 dropped nothing";

    child c(program(corvo_args(file, l, {"-D", "5ms"})));
    EXPECT_EQ(c.finish(10000), 0) << c.log();
    EXPECT_NE(c.log().find("using unlimited qsize"), std::string::npos) << c.log();
    ASSERT_TRUE(eventually([&] { return u64_at(file, ack_off(0)) == 1 && u64_at(file, ack_off(1)) == 1; }));
    for (int d = 0; d < 2; ++d) {
        const off_t i1 = instance_off(d, 1);
        EXPECT_EQ(read_at<model_desc>(file, i1).present, 1);
        for (int k = 1; k < 4; ++k)
            EXPECT_EQ(read_at<model_desc>(file, i1 + 8 * k).present, 0) << "model " << k;
        EXPECT_EQ(read_at<uint32_t>(file, i1 + 44), 0u);
    }

    // From now on nothing is lost, held or limited.
    usleep(100000);
    const uint64_t pkts = u64_at(file, 0), drops = u64_at(file, 16), held = u64_at(file, 32);
    child tx2(program({probe, "send", "-i", l.sender(), "-n", "400", "-r", "1000", "-W", "5"}));
    EXPECT_EQ(tx2.finish(10000), 0);
    ASSERT_TRUE(eventually([&] { return u64_at(file, 0) >= pkts + 400; }));
    EXPECT_EQ(u64_at(file, 0), pkts + 400);
    EXPECT_EQ(u64_at(file, 16), drops);
    EXPECT_EQ(u64_at(file, 32), held);

    stop_owner(owner);
}

TEST_F(session_proc_test, client_over_the_delay_limit_publishes_nothing)
{
    links l("max");
    child owner(program(owner_args(file, l, {"-D", "1ms"})));
    start_owner(owner);
    child c(program(corvo_args(file, l, {"-D", "200ms"})));
    EXPECT_EQ(c.finish(10000), 1);
    const std::string log = c.log();
    EXPECT_NE(log.find("invalid new delay 200000000 (max 100000000)\n"), std::string::npos) << log;
    EXPECT_NE(
        log.find("refused by the session's delay limit (max-delay 100ms), set when its owner started, by "
                 "its -M or else its own models: to allow 200ms, start the owner with -M 200ms\n"),
        std::string::npos)
        << log;
    EXPECT_NE(log.find("exiting due to 2 error(s)\n"), std::string::npos) << log;
    EXPECT_NE(log.find(file + " has a running owner: publishing to it as a client, ignoring -i -C\n"),
              std::string::npos)
        << log;
    for (int d = 0; d < 2; ++d) {
        EXPECT_EQ(u64_at(file, area_off(d) + 24), 0u);
        EXPECT_EQ(u64_at(file, area_off(d) + 8), 100000000u);  // max_delay unchanged
    }
    EXPECT_TRUE(owner.running());
    stop_owner(owner);
}

// A client publishes a trace-driven link to a running emulator, keeping
// the delay offset and overlap rule in force: the owner's, then a later
// client's, never what an earlier publication left in the spare instance.
TEST_F(session_proc_test, client_publishes_a_trace_and_keeps_the_offset_in_force)
{
    links l("trace");
    const std::string trace = dir.file("link.trace");
    {
        std::string s;
        for (int m = 1; m <= 1000; ++m)
            s += std::to_string(m) + "\n";  // one 1500-byte opportunity a ms: 12 Mbit/s
        FILE* f = std::fopen(trace.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(s.c_str(), f);
        std::fclose(f);
    }
    child owner(program(owner_args(file, l, {"-D", "2ms", "-O", "500us", "-P", "1"})));
    start_owner(owner);
    auto offset_and_overlap = [&](int d, uint32_t i) {
        return std::make_pair(u64_at(file, instance_off(d, i) + 32),
                              read_at<uint32_t>(file, instance_off(d, i) + 40));
    };
    const auto owner_rule = std::make_pair(uint64_t{500000}, uint32_t{1});

    child c1(program(corvo_args(file, l, {"-B", "trace," + trace})));
    EXPECT_EQ(c1.finish(10000), 0) << c1.log();
    EXPECT_NE(c1.log().find("period 1000 ms, peak 1 opportunities per ms"), std::string::npos) << c1.log();
    ASSERT_TRUE(eventually([&] { return u64_at(file, ack_off(0)) == 1 && u64_at(file, ack_off(1)) == 1; }));
    for (int d = 0; d < 2; ++d) {
        const auto bw = read_at<model_desc>(file, instance_off(d, 1) + 8);
        EXPECT_EQ(bw.present, 1);
        EXPECT_EQ(bw.row, 3);
        EXPECT_EQ(bw.size, sizeof(trace_param));
        EXPECT_EQ(read_at<uint32_t>(file, instance_off(d, 1) + 44), 50000u);  // the trace's queue limit
        EXPECT_EQ(offset_and_overlap(d, 1), owner_rule);
    }

    // On the wire: 1000-byte frames offered at 16 Mbit/s leave at 12.
    const std::string ready = dir.file("rx.ready");
    child rx(program(
        {probe, "recv", "-i", l.receiver(), "-n", "6000", "-t", "10", "-w", "1", "--ready", ready}, true));
    ASSERT_TRUE(eventually([&] { return access(ready.c_str(), F_OK) == 0; }));
    child tx(program({probe, "send", "-i", l.sender(), "-s", "1000", "-n", "6000", "-r", "2000", "-W", "5"}));
    EXPECT_EQ(tx.finish(15000), 0) << tx.log();
    EXPECT_EQ(rx.finish(15000), 0) << rx.log();
    const long long bps = json_field(rx.log(), "bps");
    EXPECT_NEAR(static_cast<double>(bps), 12e6, 0.03 * 12e6) << rx.log();

    // A client's new offset, then one without: the second keeps 3 ms.
    child c2(program(corvo_args(file, l, {"-O", "3ms"})));
    EXPECT_EQ(c2.finish(10000), 0) << c2.log();
    ASSERT_TRUE(eventually([&] { return u64_at(file, ack_off(0)) == 0 && u64_at(file, ack_off(1)) == 0; }));
    child c3(program(corvo_args(file, l, {"-D", "1ms"})));
    EXPECT_EQ(c3.finish(10000), 0) << c3.log();
    for (int d = 0; d < 2; ++d) {
        EXPECT_EQ(offset_and_overlap(d, 0), std::make_pair(uint64_t{3000000}, uint32_t{1}));
        EXPECT_EQ(offset_and_overlap(d, 1), std::make_pair(uint64_t{3000000}, uint32_t{1}));
    }
    stop_owner(owner);
}

// The same seed drops the same frames: two runs of the emulator over
// shared-memory links with bursty loss deliver the same sequence numbers.
TEST_F(session_proc_test, seeded_runs_drop_the_same_frames)
{
    std::vector<std::string> results;
    for (int run = 0; run < 2; ++run) {
        links l(run ? "seed1" : "seed0");
        const std::string f = dir.file(run ? "s1.session" : "s0.session");
        child owner(program(owner_args(f, l, {"--seed", "4242", "-L", "ge,0.05,0.3"})));
        ASSERT_TRUE(owner.started());
        ASSERT_TRUE(owner.wait_log("hold-buf", 2)) << owner.log();
        EXPECT_NE(owner.log().find("random seed 4242\n"), std::string::npos) << owner.log();
        const std::string ready = dir.file(run ? "r1.ready" : "r0.ready");
        child rx(program({probe, "recv", "-i", l.receiver(), "-t", "10", "-w", "1", "--ready", ready}, true));
        ASSERT_TRUE(eventually([&] { return access(ready.c_str(), F_OK) == 0; }));
        child tx(program({probe, "send", "-i", l.sender(), "-n", "3000", "-r", "5000", "-W", "5"}));
        EXPECT_EQ(tx.finish(15000), 0) << tx.log();
        EXPECT_EQ(rx.finish(15000), 0) << rx.log();
        const std::string json = rx.log();
        // Losses come in bursts of 1/0.3 frames, 14 % of them in the long run.
        const auto drops = static_cast<long long>(u64_at(f, 16));
        EXPECT_GT(drops, 250) << json;
        EXPECT_LT(drops, 600) << json;
        EXPECT_EQ(json_field(json, "frames") + drops, 3000) << json;
        results.push_back(std::to_string(json_field(json, "frames")) + " frames, lost " +
                          std::to_string(json_field(json, "lost")) + ", last " +
                          std::to_string(json_field(json, "last_seq")) + ", drop_pkts " +
                          std::to_string(u64_at(f, 16)));
        child stop(program({corvo_bin, "-s", f, "-a"}));
        EXPECT_EQ(stop.finish(10000), 0) << stop.log();
        EXPECT_EQ(owner.finish(5000), 0);
    }
    EXPECT_EQ(results[0], results[1]);
}

// An owner that is not corvo: it holds the file, runs `during` before it
// lets clients in, and never switches instances.
int fake_owner(const std::string& file, int startup_ms, uint32_t version, const child::control& ctl)
{
    session_map m = ec_map_or_exit(file.c_str());
    if (m.role != session_role::owner)
        return 10;
    for (auto& a : m.layout->area)
        a.max_delay = 100000000;
    m.layout->header.version = version;
    ctl.tell('o');
    usleep(static_cast<useconds_t>(startup_ms) * 1000);
    if (!ec_release_client_area())
        return 12;
    ctl.tell('r');
    ctl.wait_go();
    return 0;
}

TEST_F(session_proc_test, client_waits_for_the_start_up_then_the_guard_stops_the_next_one)
{
    links l("wait");
    child owner([&](const child::control& ctl) { return fake_owner(file, 500, 1, ctl); });
    ASSERT_TRUE(owner.wait_for('o'));
    child c1(program(corvo_args(file, l, {"-D", "10ms"})));
    usleep(250000);
    EXPECT_TRUE(c1.running()) << "the client did not wait for the owner's start-up";
    EXPECT_EQ(c1.finish(10000), 0) << c1.log();
    EXPECT_EQ(u64_at(file, area_off(0) + 24), 1u);
    EXPECT_EQ(u64_at(file, area_off(1) + 24), 1u);

    // Nobody has taken instance 1, so instance 0 may still be read.
    child c2(program(corvo_args(file, l, {"-D", "20ms"})));
    EXPECT_EQ(c2.finish(10000), 1);
    EXPECT_NE(c2.log().find("direction A of the emulator has not taken instance 1 within 2000 ms; "
                            "nothing published\n"),
              std::string::npos)
        << c2.log();
    EXPECT_EQ(u64_at(file, area_off(0) + 24), 1u);
    EXPECT_EQ(read_at<model_desc>(file, instance_off(0, 0)).present, 0);
    owner.go();
    EXPECT_EQ(owner.finish(), 0);
}

TEST_F(session_proc_test, client_refuses_another_layout_version)
{
    links l("ver");
    child owner([&](const child::control& ctl) { return fake_owner(file, 0, 2, ctl); });
    ASSERT_TRUE(owner.wait_for('r'));
    child c(program(corvo_args(file, l, {"-D", "10ms"})));
    EXPECT_EQ(c.finish(10000), 1);
    EXPECT_NE(c.log().find("Expected version 1, got 2\n"), std::string::npos) << c.log();
    EXPECT_EQ(u64_at(file, area_off(0) + 24), 0u);
    owner.go();
    EXPECT_EQ(owner.finish(), 0);
}

TEST_F(session_proc_test, stop_request_without_an_owner_ends_at_once)
{
    child stop(program({corvo_bin, "-s", file, "-a"}));
    EXPECT_EQ(stop.finish(5000), 0) << stop.log();
    EXPECT_NE(stop.log().find("exiting due to -a\n"), std::string::npos) << stop.log();
    EXPECT_EQ(read_at<uint32_t>(file, 512), 1u);
    EXPECT_EQ(u64_at(file, area_off(0) + 24), stop_command);
    EXPECT_EQ(u64_at(file, area_off(1) + 24), stop_command);
}

// Another program holds the file locked: a would-be owner says whom it
// waits for, and once the lock is gone refuses a file no emulator wrote.
TEST_F(session_proc_test, waiting_for_a_lock_held_by_another_program_is_said)
{
    child holder([&](const child::control& ctl) {
        const int fd = open(file.c_str(), O_RDWR | O_CREAT, 0600);
        if (fd < 0 || lockf(fd, F_LOCK, 0) != 0)
            return 10;
        ctl.tell('l');
        ctl.wait_go();
        return 0;
    });
    ASSERT_TRUE(holder.wait_for('l'));
    links l("lck");
    child c(program(corvo_args(file, l, {"-D", "1ms"})));
    const std::string line =
        "waiting for the client area of " + file + ": process " + std::to_string(holder.pid()) + " (";
    EXPECT_TRUE(c.wait_log(line)) << c.log();
    EXPECT_TRUE(c.running());
    holder.go();
    EXPECT_EQ(holder.finish(), 0);
    EXPECT_EQ(c.finish(10000), 1);
    EXPECT_NE(c.log().find("refusing " + file + ": no emulator has written a session into it\n"),
              std::string::npos)
        << c.log();
}

TEST(corvo_stat_test, refuses_what_is_not_a_session_file)
{
    temp_dir dir;
    const std::string small = dir.file("small");
    FILE* f = std::fopen(small.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("not a session\n", f);
    std::fclose(f);
    child c1(program({corvo_stat, "-n", "1", small}, true));
    EXPECT_EQ(c1.finish(5000), 1);
    EXPECT_NE(c1.log().find("is not a session file"), std::string::npos) << c1.log();
    child c2(program({corvo_stat, "-n", "1", dir.file("missing")}, true));
    EXPECT_EQ(c2.finish(5000), 1);
    EXPECT_NE(c2.log().find("cannot open"), std::string::npos) << c2.log();
    child c3(program({corvo_stat}, true));
    EXPECT_EQ(c3.finish(5000), 1);
    EXPECT_NE(c3.log().find("usage: corvo-stat"), std::string::npos) << c3.log();
}
