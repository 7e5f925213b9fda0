// corvo end to end: two hosts in network namespaces joined through a third
// namespace where corvo forwards between two veth pairs (one subnet, frames
// forwarded as they are).  Root only; every namespace is made and removed
// here, and traffic stays on those veth pairs.  Threads are never placed.
#include <gtest/gtest.h>
#include <gmock/gmock.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "corvo_proc.hpp"
#include "veth_net.hpp"

using corvo_test::child;
using corvo_test::messages;
using testing::HasSubstr;

namespace {

const std::string corvo_bin = corvo_test::bin_dir + "/corvo";
const std::string probe_bin = corvo_test::bin_dir + "/probe";
constexpr int wait_ms = 15000;

using veth_test::sh;

struct testnet : veth_test::veth_net {
    testnet() : veth_net("cve", true) {}
};

class corvo_e2e : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (geteuid() == 0)
            net = new testnet;
    }
    static void TearDownTestSuite()
    {
        delete net;
        net = nullptr;
    }
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to make network namespaces and veth pairs";
        ASSERT_TRUE(net && net->ok) << "could not build the test network";
    }

    // corvo in the middle namespace, its two banners printed.  Its four
    // unplaced polling threads share two cores with everything else, so a
    // late limit of 1 s keeps scheduling delays from turning into drops.
    std::unique_ptr<child> start(std::vector<std::string> args)
    {
        std::vector<std::string> cmd = {corvo_bin,
                                        "-C",
                                        "-1,-1,-1,-1",
                                        "-d",
                                        "1",
                                        "-i",
                                        "netmap:" + net->mid1,
                                        "-i",
                                        "netmap:" + net->mid2};
        cmd.insert(cmd.end(), args.begin(), args.end());
        auto c = std::make_unique<child>(net->in(net->mid, cmd));
        // Banners, then the first statistics line: main handles SIGINT.
        EXPECT_TRUE(c->wait_for("hold-buf", 2, wait_ms) && c->wait_for(" <- ", 1, wait_ms)) << c->err();
        return c;
    }
    // SIGINT ends it with status 0 after "exiting on abort".
    static void stop(child& c)
    {
        c.signal(SIGINT);
        EXPECT_EQ(c.finish(wait_ms), 0) << c.err();
        EXPECT_THAT(messages(c.err()), HasSubstr("\nexiting on abort\n"));
    }
    // Round-trip times in ms of ping from h1 to h2, sorted, after one
    // warm-up exchange that resolves the address.
    static std::vector<double> ping_rtts(int count)
    {
        child warm(net->in(net->h1, {"ping", "-c", "1", "-W", "2", "10.77.0.2"}));
        warm.finish(wait_ms);
        child c(
            net->in(net->h1, {"ping", "-c", std::to_string(count), "-i", "0.05", "-W", "2", "10.77.0.2"}));
        EXPECT_EQ(c.finish(wait_ms), 0) << c.out() << c.err();
        std::vector<double> rtt;
        for (size_t at = c.out().find(" time="); at != std::string::npos; at = c.out().find(" time=", at + 1))
            rtt.push_back(std::atof(c.out().c_str() + at + 6));
        EXPECT_EQ(rtt.size(), static_cast<size_t>(count)) << c.out();
        std::sort(rtt.begin(), rtt.end());
        return rtt;
    }
    static long long json_num(const std::string& json, const std::string& key)
    {
        const size_t at = json.find("\"" + key + "\":");
        return at == std::string::npos ? -1 : std::atoll(json.c_str() + at + key.size() + 3);
    }
    // probe from one host to the other: the receiver's JSON.
    struct flow {
        std::unique_ptr<child> recv, send;
    };
    static flow probe_flow(bool a_to_b, int frames, int rate)
    {
        const std::string& tx_ns = a_to_b ? net->h1 : net->h2;
        const std::string& rx_ns = a_to_b ? net->h2 : net->h1;
        const std::string& tx_dev = a_to_b ? net->dev1 : net->dev2;
        const std::string& rx_dev = a_to_b ? net->dev2 : net->dev1;
        const std::string ready = "/tmp/" + net->p + (a_to_b ? "ab" : "ba") + ".ready";
        std::remove(ready.c_str());
        flow f;
        f.recv = std::make_unique<child>(
            net->in(rx_ns, {probe_bin, "recv", "-i", "netmap:" + rx_dev, "-n", std::to_string(frames), "-t",
                            "8", "-w", "2", "--ready", ready}));
        for (int i = 0; i < 200 && access(ready.c_str(), F_OK) != 0; ++i)
            usleep(10000);
        std::remove(ready.c_str());
        f.send = std::make_unique<child>(
            net->in(tx_ns, {probe_bin, "send", "-i", "netmap:" + tx_dev, "-n", std::to_string(frames), "-r",
                            std::to_string(rate), "--src-ip", a_to_b ? "10.77.0.1" : "10.77.0.2", "--dst-ip",
                            a_to_b ? "10.77.0.2" : "10.77.0.1"}));
        return f;
    }
    static std::string finish(flow& f)
    {
        EXPECT_EQ(f.send->finish(wait_ms), 0) << f.send->err();
        f.recv->finish(wait_ms);
        return f.recv->out();
    }

    static testnet* net;
};
testnet* corvo_e2e::net = nullptr;

TEST_F(corvo_e2e, delay_in_each_direction_adds_up_in_the_round_trip)
{
    auto c = start({"-D", "10ms", "-B", "1G"});
    const std::vector<double> rtt = ping_rtts(40);
    ASSERT_FALSE(rtt.empty());
    // Never faster than the two delays.  The polling threads share two
    // cores with the rest of the machine, so scheduling adds to many
    // samples: the fastest one shows the link itself.
    EXPECT_GE(rtt.front(), 20.0);
    EXPECT_LE(rtt.front(), 24.0);
    stop(*c);
}

TEST_F(corvo_e2e, two_delays_make_an_asymmetric_link)
{
    auto c = start({"-D", "10ms", "-D", "30ms", "-B", "1G"});
    flow ab = probe_flow(true, 200, 400);
    flow ba = probe_flow(false, 200, 400);
    const std::string one = finish(ab), other = finish(ba);
    // One-way delay: kernel receive time minus send time, same clock.  The
    // least delay shows the link; later samples may carry scheduling delay.
    const size_t at1 = one.find("\"delay_ns\":"), at2 = other.find("\"delay_ns\":");
    ASSERT_NE(at1, std::string::npos) << one;
    ASSERT_NE(at2, std::string::npos) << other;
    const long long ab_min = json_num(one.substr(at1), "min");
    const long long ba_min = json_num(other.substr(at2), "min");
    EXPECT_GE(ab_min, 10000000);
    EXPECT_LE(ab_min, 12000000);
    EXPECT_GE(ba_min, 30000000);
    EXPECT_LE(ba_min, 32000000);
    EXPECT_EQ(json_num(one, "frames"), 200);
    EXPECT_EQ(json_num(other, "frames"), 200);
    stop(*c);
}

TEST_F(corvo_e2e, loss_rate_applies_to_each_direction)
{
    auto c = start({"-L", "0.3", "-B", "1G"});
    constexpr int frames = 3000;
    flow ab = probe_flow(true, frames, 5000);
    flow ba = probe_flow(false, frames, 5000);
    const std::string one = finish(ab), other = finish(ba);
    // 3000 draws of p = 0.3: the standard deviation of the rate is 0.84 %.
    for (const std::string& json : {one, other}) {
        const double lost = 1.0 - static_cast<double>(json_num(json, "frames")) / frames;
        EXPECT_GE(lost, 0.26) << json;
        EXPECT_LE(lost, 0.34) << json;
    }
    stop(*c);
}

TEST_F(corvo_e2e, bulk_transfer_runs_at_the_bandwidth)
{
    auto c = start({"-B", "10M"});
    child server(net->in(net->h2, {"iperf3", "-s", "-1", "-B", "10.77.0.2", "--forceflush"}));
    ASSERT_TRUE(server.wait_for_out("listening", 5000)) << server.out() << server.err();
    child client(net->in(net->h1, {"iperf3", "-c", "10.77.0.2", "-t", "4", "-O", "1", "-J"}));
    ASSERT_EQ(client.finish(wait_ms), 0) << client.out() << client.err();
    server.finish(wait_ms);
    const size_t at = client.out().find("\"sum_received\"");
    ASSERT_NE(at, std::string::npos) << client.out();
    const size_t bps_at = client.out().find("\"bits_per_second\":", at);
    ASSERT_NE(bps_at, std::string::npos);
    const double bps = std::atof(client.out().c_str() + bps_at + 18);
    // TCP payload of 10 Mbit/s of frames is about 9.6 Mbit/s (the first
    // second, slow start, is left out).
    EXPECT_GE(bps, 9.0e6);
    EXPECT_LE(bps, 11.0e6);
    stop(*c);
}

}  // namespace
