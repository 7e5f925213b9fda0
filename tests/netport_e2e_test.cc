// The traffic probe end to end through both backends, and the interface
// backend in a network namespace with a veth pair made for the test.
#include "netport/netport.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace netport;

namespace {

const std::string probe = std::string(TEST_BIN_DIR) + "/probe";

std::string slurp(const std::string& path)
{
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Runs a shell command bounded in time; returns its exit status.
int run(const std::string& cmd)
{
    int st = system(("timeout -k 2 30 " + cmd).c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128;
}

long long json_num(const std::string& json, const std::string& key)
{
    size_t at = json.find("\"" + key + "\":");
    if (at == std::string::npos)
        return -999;
    return atoll(json.c_str() + at + key.size() + 3);
}

struct temp_dir {
    std::string path;
    temp_dir()
    {
        char tmpl[] = "/tmp/netport-e2e-XXXXXX";
        path = mkdtemp(tmpl) ? tmpl : "/tmp";
    }
    ~temp_dir() { run("rm -rf " + path); }
    std::string operator/(const std::string& n) const { return path + "/" + n; }
};

// Sends `count` mixed-size frames from tx to rx with the probe (both run
// under `prefix`) and checks that all arrive intact and in order.
void send_and_check(const std::string& prefix, const std::string& tx, const std::string& rx,
                    const std::string& sizes, const std::string& rate)
{
    temp_dir dir;
    std::string ready = dir / "ready", out = dir / "rx.json";
    std::thread receiver([&] {
        run(prefix + probe + " recv -i " + rx + " -n 10000 -t 20 -w 5 --ready " + ready + " >" + out + " 2>" +
            dir / "rx.err");
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (access(ready.c_str(), F_OK) != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    int st = run(prefix + probe + " send -i " + tx + " -n 10000 -s " + sizes + " -W 5 " + rate + " >" +
                 dir / "tx.json" + " 2>" + dir / "tx.err");
    receiver.join();
    std::string json = slurp(out);
    EXPECT_EQ(st, 0) << slurp(dir / "tx.err");
    EXPECT_EQ(json_num(slurp(dir / "tx.json"), "sent"), 10000);
    EXPECT_EQ(json_num(json, "frames"), 10000) << json << slurp(dir / "rx.err");
    EXPECT_EQ(json_num(json, "lost"), 0) << json;
    EXPECT_EQ(json_num(json, "reordered"), 0) << json;
    EXPECT_EQ(json_num(json, "duplicates"), 0) << json;
    EXPECT_EQ(json_num(json, "corrupt"), 0) << json;
    EXPECT_EQ(json_num(json, "first_seq"), 0) << json;
    EXPECT_EQ(json_num(json, "last_seq"), 9999) << json;
    EXPECT_GE(json_num(json, "min"), 0) << "delay below zero: " << json;
}

// A network namespace holding the veth pair npaPID / npbPID, removed with
// everything in it when the test ends, passed or failed.
struct veth_netns {
    std::string ns, a, b;
    bool ok = false;
    explicit veth_netns(int mtu)
    {
        std::string id = std::to_string(getpid());
        ns = "netport-" + id;
        a = "npa" + id;
        b = "npb" + id;
        run("ip netns del " + ns + " 2>/dev/null");
        ok = run("ip netns add " + ns) == 0 &&
             run("ip -n " + ns + " link add " + a + " type veth peer name " + b) == 0 &&
             run("ip -n " + ns + " link set " + a + " mtu " + std::to_string(mtu) + " up") == 0 &&
             run("ip -n " + ns + " link set " + b + " mtu " + std::to_string(mtu) + " up") == 0;
        for (const std::string& i : {a, b})
            ok = ok && run("ip netns exec " + ns + " ethtool -K " + i +
                           " tso off gso off gro off tx off rx off >/dev/null 2>&1") == 0;
    }
    ~veth_netns() { run("ip netns del " + ns); }
    std::string exec() const { return "ip netns exec " + ns + " "; }
};

// Moves this thread into a namespace for as long as it lives.
struct in_netns {
    int home = -1;
    bool ok = false;
    explicit in_netns(const std::string& ns)
    {
        home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
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

}  // namespace

TEST(probe_cli, refuses_bad_options_and_ports_with_status_1)
{
    const char* bad[] = {
        "",
        " bogus",
        " send",
        " send -i vale0:a -s 59",
        " send -i vale0:a -s 9201",
        " send -i vale0:a -s 100-60",
        " send -i vale0:a -r x",
        " send -i vale0:a --dst-mac 1:2:3",
        " send -i vale0:a --src-ip 10.0.0",
        " recv -i vale0:a -w 0",
        " recv -i vale0:a --sport 5",
        " send -i nowhere0",
        " recv -i netmap:np-none0",
        " send -i vale0:a extra",
        " duplex",
        " duplex -i vale0:a -w 0",
        " recv -i vale0:a --start go",
        " recv -i vale0:a -r 10",
    };
    for (const char* args : bad)
        EXPECT_EQ(run(probe + args + " >/dev/null 2>&1"), 1) << "probe" << args;
    temp_dir dir;
    EXPECT_EQ(run(probe + " send -i pipe:x 2>" + dir / "err"), 1);
    EXPECT_NE(slurp(dir / "err").find("pipe:x"), std::string::npos) << slurp(dir / "err");
    EXPECT_EQ(run(probe + " --help >/dev/null"), 0);
}

TEST(probe_vale, ten_thousand_mixed_frames_arrive_intact_and_in_order)
{
    std::string sw = "vale" + std::string("probe") + std::to_string(getpid());
    send_and_check("", sw + ":a", sw + ":b", "60-9200", "");
}

// Both ends of one link send and receive at once, one process per end, and
// start together once the gate file exists.  The receivers wait longer than
// -w before sending begins: their idle time counts from then, not from the open.
TEST(probe_vale, duplex_ends_exchange_frames_both_ways_from_the_gate_on)
{
    std::string sw = "vale" + std::string("duplex") + std::to_string(getpid());
    temp_dir dir;
    std::string gate = dir / "go";
    auto end = [&](const std::string& e) {
        return std::thread([&, e] {
            run(probe + " duplex -i " + sw + ":" + e + " -n 3000 -s 60-1500 -r 20000 -W 5 -w 1 --start " +
                gate + " --ready " + dir / ("ready." + e) + " >" + dir / (e + ".json") + " 2>" +
                dir / (e + ".err"));
        });
    };
    std::thread a = end("a"), b = end("b");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((access((dir / "ready.a").c_str(), F_OK) != 0 || access((dir / "ready.b").c_str(), F_OK) != 0) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::ofstream(gate).put('\n');
    a.join();
    b.join();
    for (const char* e : {"a", "b"}) {
        std::string json = slurp(dir / (std::string(e) + ".json")),
                    err = slurp(dir / (std::string(e) + ".err"));
        size_t rx = json.find("\"recv\":");
        ASSERT_NE(rx, std::string::npos) << e << ": " << json << err;
        std::string tx_part = json.substr(0, rx), rx_part = json.substr(rx);
        EXPECT_EQ(json_num(tx_part, "sent"), 3000) << e << ": " << json;
        EXPECT_EQ(json_num(tx_part, "peer_absent"), 0) << e << ": " << json;
        EXPECT_EQ(json_num(rx_part, "frames"), 3000) << e << ": " << json << err;
        EXPECT_EQ(json_num(rx_part, "lost"), 0) << json;
        EXPECT_EQ(json_num(rx_part, "reordered"), 0) << json;
        EXPECT_EQ(json_num(rx_part, "corrupt"), 0) << json;
        EXPECT_EQ(json_num(rx_part, "first_seq"), 0) << json;
        EXPECT_EQ(json_num(rx_part, "last_seq"), 2999) << json;
        EXPECT_GE(json_num(rx_part, "min"), 0) << "delay below zero: " << json;
    }
}

TEST(netport_veth, ten_thousand_mixed_frames_arrive_intact_and_in_order)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make a network namespace and a veth pair";
    veth_netns net(9000);
    ASSERT_TRUE(net.ok) << "cannot set up the namespace " << net.ns;
    send_and_check(net.exec(), "netmap:" + net.a, "netmap:" + net.b, "60-9014", "-r 40000");
}

TEST(netport_veth, runts_padded_own_output_unseen_limits_told)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make a network namespace and a veth pair";
    veth_netns net(1500);
    ASSERT_TRUE(net.ok) << "cannot set up the namespace " << net.ns;
    in_netns inside(net.ns);
    ASSERT_TRUE(inside.ok);

    port* a_in = nmport_prepare(("netmap:" + net.a).c_str());
    ASSERT_NE(a_in, nullptr) << nmport_errmsg();
    *nr_flags(a_in) |= NR_RX_RINGS_ONLY;
    ASSERT_EQ(nmport_open_desc(a_in), 0) << nmport_errmsg();
    port* a_out = nmport_open(("netmap:" + net.a).c_str());
    port* b = nmport_open(("netmap:" + net.b).c_str());
    ASSERT_TRUE(a_out && b) << nmport_errmsg();
    EXPECT_EQ(nmport_max_frame(b), 1514u);
    EXPECT_EQ(nmport_fd(b) >= 0, true);

    std::vector<unsigned char> too_big(1515, 0xab);
    EXPECT_EQ(nmport_inject(a_out, too_big.data(), too_big.size()), -1);
    EXPECT_EQ(nmport_inject(a_in, too_big.data(), 100), -1) << "receive-only port sent";

    // A 42-byte ARP request from a made-up address.
    unsigned char arp[42] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 2, 0, 0, 0, 0,  9, 0x08, 0x06,
                             0,    1,    8,    0,    6,    4,    0, 1, 2, 0, 0,  0, 0,    9,
                             10,   9,    9,    1,    0,    0,    0, 0, 0, 0, 10, 9, 9,    2};
    ASSERT_EQ(nmport_inject(a_out, arp, sizeof arp), 42);
    nmport_txsync(a_out);
    std::vector<unsigned char> got;
    uint64_t stamp = 0;
    ring* r = nmport_rx_ring(b);
    for (int i = 0; i < 2000 && got.empty(); ++i) {
        nmport_rxsync(b);
        while (r->head != r->tail) {
            slot& s = r->slots[r->head];
            if (s.len >= 14 && s.buf[12] == 0x08 && s.buf[13] == 0x06 && s.buf[11] == 9) {
                got.assign(s.buf, s.buf + s.len);
                stamp = nmport_rx_timestamp(b, r->head);
            }
            r->head = r->cur = (r->head + 1) % r->num_slots;
        }
        if (got.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(got.size(), 60u);
    EXPECT_TRUE(std::equal(arp, arp + 42, got.begin()));
    EXPECT_TRUE(std::all_of(got.begin() + 42, got.end(), [](unsigned char c) { return c == 0; }));
    EXPECT_GT(stamp, uint64_t{1'600'000'000} * 1'000'000'000);

    // The receive port of a never sees what a sent.
    nmport_rxsync(a_in);
    ring* ra = nmport_rx_ring(a_in);
    for (uint32_t i = ra->head; i != ra->tail; i = (i + 1) % ra->num_slots)
        EXPECT_FALSE(ra->slots[i].len >= 12 && ra->slots[i].buf[11] == 9) << "own output received";
    EXPECT_EQ(nmport_drops(b).truncated, 0u);
    nmport_close(a_in);
    nmport_close(a_out);
    nmport_close(b);
}
