// xdp: ports end to end (root only): corvo forwarding between two xdp: ports
// of a middle namespace, the probe sending and receiving through xdp: ports
// on the outer ends; a runt padded on receive; the refusals; and no XDP
// program left on any interface once a process has ended, however it ended.
// Every namespace and veth pair is made and removed here.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "corvo_proc.hpp"
#include "netport/netport.hpp"
#include "veth_net.hpp"

using corvo_test::child;
using testing::HasSubstr;
using veth_test::sh;

namespace {

const std::string corvo_bin = corvo_test::bin_dir + "/corvo";
const std::string probe_bin = corvo_test::bin_dir + "/probe";
constexpr int wait_ms = 15000;
// Native XDP on veth takes frames of one page less its headroom and the
// kernel's fragment table: an MTU of 3506, frames of up to 3520 bytes.
constexpr int mtu = 3506;
constexpr int largest = mtu + 14;

long long json_num(const std::string& json, const std::string& key)
{
    const size_t at = json.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : std::atoll(json.c_str() + at + key.size() + 3);
}

struct testnet : veth_test::veth_net {
    testnet() : veth_net("xs", false)
    {
        for (const auto& [ns, dev] : {std::pair{h1, dev1}, {h2, dev2}, {mid, mid1}, {mid, mid2}})
            ok = ok && sh("ip -n " + ns + " link set " + dev + " mtu " + std::to_string(mtu)) == 0;
    }
};

// Moves this thread into a namespace for as long as it lives.
struct in_netns {
    int home = -1;
    bool ok = false;
    explicit in_netns(const std::string& ns)
    {
        home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        ok = home >= 0 && fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0)
            close(fd);
    }
    ~in_netns()
    {
        if (home >= 0) {
            if (setns(home, CLONE_NEWNET) != 0)
                abort();
            close(home);
        }
    }
};

class netport_xdp : public testing::Test {
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
            GTEST_SKIP() << "needs root to make network namespaces, veth pairs and XDP programs";
        ASSERT_TRUE(net && net->ok) << "could not build the test network";
    }

    // `ip link show` of dev in ns: what it says about XDP.
    static std::string xdp_on(const std::string& ns, const std::string& dev)
    {
        child c(net->in(ns, {"ip", "link", "show", "dev", dev}));
        c.finish(wait_ms);
        return c.out().find("prog/xdp") == std::string::npos ? "" : c.out();
    }
    static void expect_nothing_attached()
    {
        for (const auto& [ns, dev] : {std::pair{net->h1, net->dev1},
                                      {net->h2, net->dev2},
                                      {net->mid, net->mid1},
                                      {net->mid, net->mid2}})
            EXPECT_EQ(xdp_on(ns, dev), "") << dev << " still has an XDP program";
    }

    // corvo between xdp: ports in the middle namespace, both ports open.
    static std::unique_ptr<child> start_corvo()
    {
        auto c = std::make_unique<child>(net->in(net->mid, {corvo_bin, "-C", "-1,-1,-1,-1", "-d", "1", "-i",
                                                            "xdp:" + net->mid1, "-i", "xdp:" + net->mid2}));
        EXPECT_TRUE(c->wait_for("hold-buf", 2, wait_ms) && c->wait_for(" <- ", 1, wait_ms)) << c->err();
        return c;
    }

    static testnet* net;
};
testnet* netport_xdp::net = nullptr;

TEST_F(netport_xdp, frames_of_every_size_cross_corvo_unchanged_both_ways)
{
    auto corvo = start_corvo();
    EXPECT_EQ(child::count(corvo->err(), "native XDP"), 2) << corvo->err();
    EXPECT_NE(xdp_on(net->mid, net->mid1), "");
    EXPECT_NE(xdp_on(net->mid, net->mid2), "");

    const int each = 100;  // frames of each size
    const std::string sizes = "60,61,1514," + std::to_string(largest);
    for (bool a_to_b : {true, false}) {
        SCOPED_TRACE(a_to_b ? "h1 -> h2" : "h2 -> h1");
        const std::string& tx_ns = a_to_b ? net->h1 : net->h2;
        const std::string& rx_ns = a_to_b ? net->h2 : net->h1;
        const std::string tx = "xdp:" + (a_to_b ? net->dev1 : net->dev2);
        const std::string rx = "xdp:" + (a_to_b ? net->dev2 : net->dev1);
        const std::string ready = "/tmp/" + net->p + ".ready";
        std::remove(ready.c_str());
        child recv(net->in(rx_ns, {probe_bin, "recv", "-i", rx, "-n", std::to_string(4 * each), "-t", "10",
                                   "-w", "3", "--ready", ready}));
        for (int i = 0; i < 500 && access(ready.c_str(), F_OK) != 0; ++i)
            usleep(10000);
        child send(net->in(
            tx_ns, {probe_bin, "send", "-i", tx, "-n", std::to_string(4 * each), "-s", sizes, "-r", "5000"}));
        EXPECT_EQ(send.finish(wait_ms), 0) << send.err();
        EXPECT_EQ(recv.finish(wait_ms), 0) << recv.err();
        const std::string& j = recv.out();
        EXPECT_EQ(json_num(j, "frames"), 4 * each) << j << recv.err() << corvo->err();
        EXPECT_EQ(json_num(j, "bytes"), each * (60 + 61 + 1514 + largest)) << j;
        EXPECT_EQ(json_num(j, "lost"), 0) << j;
        EXPECT_EQ(json_num(j, "corrupt"), 0) << j;
        EXPECT_EQ(json_num(j, "reordered"), 0) << j;
        std::remove(ready.c_str());
    }
    corvo->signal(SIGINT);
    EXPECT_EQ(corvo->finish(wait_ms), 0) << corvo->err();
    expect_nothing_attached();
}

TEST_F(netport_xdp, a_killed_emulator_leaves_nothing_attached)
{
    auto corvo = start_corvo();
    EXPECT_NE(xdp_on(net->mid, net->mid1), "");
    corvo->signal(SIGKILL);
    EXPECT_EQ(corvo->finish(wait_ms), 128 + SIGKILL);
    expect_nothing_attached();
}

TEST_F(netport_xdp, a_runt_arrives_padded_to_60_bytes)
{
    netport::port* tx = nullptr;
    netport::port* rx = nullptr;
    {
        in_netns in(net->h1);
        ASSERT_TRUE(in.ok);
        tx = netport::nmport_open(("netmap:" + net->dev1).c_str());
    }
    {
        in_netns in(net->mid);
        ASSERT_TRUE(in.ok);
        rx = netport::nmport_prepare(("xdp:" + net->mid1).c_str());
        ASSERT_NE(rx, nullptr);
        *netport::nr_flags(rx) |= netport::NR_RX_RINGS_ONLY;
        ASSERT_EQ(netport::nmport_open_desc(rx), 0) << netport::nmport_errmsg();
    }
    ASSERT_NE(tx, nullptr) << netport::nmport_errmsg();
    EXPECT_EQ(netport::nmport_max_frame(rx), size_t(largest));

    unsigned char runt[42];
    for (size_t i = 0; i < sizeof runt; ++i)
        runt[i] = uint8_t(0xa0 + i);
    std::memcpy(runt + 12, "\x88\xb5", 2);  // local experimental EtherType
    ASSERT_EQ(netport::nmport_inject(tx, runt, sizeof runt), int(sizeof runt));
    netport::nmport_txsync(tx);

    netport::ring* r = netport::nmport_rx_ring(rx);
    std::vector<unsigned char> got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got.empty() && std::chrono::steady_clock::now() < end) {
        netport::nmport_rxsync(rx);
        for (; r->head != r->tail; r->head = (r->head + 1) % r->num_slots) {
            const netport::slot& s = r->slots[r->head];
            if (s.len >= 14 && std::memcmp(s.buf + 12, "\x88\xb5", 2) == 0)
                got.assign(s.buf, s.buf + s.len);
        }
        netport::nmport_rx_wait(rx, 100'000'000);
    }
    netport::nmport_close(tx);
    netport::nmport_close(rx);
    ASSERT_EQ(got.size(), 60u);
    EXPECT_EQ(std::memcmp(got.data(), runt, sizeof runt), 0);
    EXPECT_EQ(std::vector<unsigned char>(got.begin() + 42, got.end()), std::vector<unsigned char>(18, 0));
    expect_nothing_attached();
}

// Each row: what to set up in the middle namespace, the port corvo opens
// first there, and the message it must give before ending with status 1.
struct refusal {
    const char* what;
    std::string setup;  // shell command run in the middle namespace, or ""
    std::string undo;   // run after the row
    std::string port;
    std::string message;
    bool hold_first = false;  // another probe holds xdp: on the port meanwhile
};

TEST_F(netport_xdp, refusals_give_their_message_and_leave_nothing_behind)
{
    const std::string m1 = net->mid1, m2 = net->mid2;
    const std::vector<refusal> rows = {
        {"no such interface", "", "", "xdp:nosuch" + std::to_string(getpid()), "no interface nosuch"},
        {"MTU beyond the limit", "ip link set dev " + m1 + " mtu " + std::to_string(mtu + 1),
         "ip link set dev " + m1 + " mtu " + std::to_string(mtu), "xdp:" + m1,
         "set the MTU to at most " + std::to_string(mtu)},
        {"another XDP program attached", "", "", "xdp:" + m1, "another XDP program (id ", true},
        {"no privileges", "", "", "xdp:" + m1, "needs root"},
    };
    for (const refusal& row : rows) {
        SCOPED_TRACE(row.what);
        if (!row.setup.empty()) {
            ASSERT_EQ(sh("ip netns exec " + net->mid + " " + row.setup), 0);
        }
        std::unique_ptr<child> holder;
        if (row.hold_first) {
            const std::string ready = "/tmp/" + net->p + ".hold";
            std::remove(ready.c_str());
            holder = std::make_unique<child>(
                net->in(net->mid, {probe_bin, "recv", "-i", "xdp:" + m1, "-t", "20", "--ready", ready}));
            for (int i = 0; i < 500 && access(ready.c_str(), F_OK) != 0; ++i)
                usleep(10000);
            std::remove(ready.c_str());
        }
        std::vector<std::string> cmd = {corvo_bin, "-C", "-1,-1,-1,-1", "-i", row.port, "-i", "xdp:" + m2};
        if (std::string(row.what) == "no privileges")
            cmd.insert(cmd.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                     "--inh-caps=-all", "--bounding-set=-all"});
        child c(net->in(net->mid, cmd));
        EXPECT_EQ(c.finish(wait_ms), 1) << c.err();
        EXPECT_THAT(c.err(), HasSubstr(row.message));
        if (holder) {
            holder->signal(SIGINT);
            holder->finish(wait_ms);
        }
        if (!row.undo.empty()) {
            ASSERT_EQ(sh("ip netns exec " + net->mid + " " + row.undo), 0);
        }
        expect_nothing_attached();
    }
}

}  // namespace
