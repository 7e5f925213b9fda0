// Faults from outside while corvo and wenlo run.  Every test is bounded in
// time; links are shared-memory ones, but for the interface test, which
// makes its own network namespaces and veth pairs (root only) and removes
// them even when it fails.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "netport/netport.hpp"
#include "pipe/pipe_state.hpp"
#include "session_proc.hpp"
#include "veth_net.hpp"

using namespace common;
using namespace pipes;

using namespace session_test;

namespace {

const std::string bin = TEST_BIN_DIR;
const std::string corvo_bin = bin + "/corvo";
const std::string wenlo = bin + "/wenlo";
const std::string probe = bin + "/probe";

std::vector<std::string> corvo_args(const std::string& file, const links& l, std::vector<std::string> extra)
{
    std::vector<std::string> v{corvo_bin, "-C", "-1,-1,-1,-1", "-d", "1s", "-i", l.ifa(), "-i", l.ifb()};
    if (!file.empty())
        v.insert(v.end(), {"-s", file});
    v.insert(v.end(), extra.begin(), extra.end());
    return v;
}

uint64_t u64_at(const std::string& file, off_t off) { return read_at<uint64_t>(file, off); }

long long json_field(const std::string& json, const std::string& key)
{
    const size_t k = json.find("\"" + key + "\":");
    return k == std::string::npos ? -1 : std::atoll(json.c_str() + k + key.size() + 3);
}

// Resident memory of a process in KiB (VmRSS), -1 when unknown.
long rss_kib(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

// frames at rate from l.a's sender through corvo to l.b's receiver: the
// receiver's JSON.
std::string probe_through(const temp_dir& dir, const links& l, int frames, int rate)
{
    const std::string ready = dir.file("rx.ready");
    unlink(ready.c_str());
    child rx(program({probe, "recv", "-i", l.b + ":rx", "-n", std::to_string(frames), "-t", "10", "-w", "1",
                      "--ready", ready},
                     true));
    EXPECT_TRUE(eventually([&] { return access(ready.c_str(), F_OK) == 0; }));
    child tx(program({probe, "send", "-i", l.a + ":tx", "-n", std::to_string(frames), "-r",
                      std::to_string(rate), "-W", "5"}));
    EXPECT_EQ(tx.finish(15000), 0) << tx.log();
    EXPECT_EQ(rx.finish(15000), 0) << rx.log();
    return rx.log();
}

struct fault_session : ::testing::Test {
    temp_dir dir;
    std::string file = dir.file("emu.session");

    void start_owner(child& owner)
    {
        ASSERT_TRUE(owner.started());
        ASSERT_TRUE(owner.wait_log("hold-buf", 2)) << owner.log();
    }
    void stop_owner(child& owner)
    {
        kill(owner.pid(), SIGINT);
        EXPECT_EQ(owner.finish(10000), 0) << owner.log();
    }
};

}  // namespace

// SIGTERM and SIGHUP stop corvo as SIGINT does, status 0, whether it is
// still starting (here in its -w pause before the threads) or running.
TEST(fault_signal, term_and_hangup_end_corvo_cleanly)
{
    for (int sig : {SIGTERM, SIGHUP}) {
        for (bool starting : {true, false}) {
            SCOPED_TRACE(std::string(strsignal(sig)) + (starting ? " during start-up" : " while running"));
            links l("sig");
            child owner(program(corvo_args("", l, {"-D", "1ms", "-w", starting ? "5" : "0"})));
            ASSERT_TRUE(owner.wait_log(starting ? "running on cores" : "hold-buf", starting ? 1 : 2))
                << owner.log();
            if (starting)
                usleep(300000);
            kill(owner.pid(), sig);
            EXPECT_EQ(owner.finish(4000), 0) << owner.log();
            EXPECT_NE(owner.log().find("exiting on abort"), std::string::npos) << owner.log();
            EXPECT_EQ(owner.log().find("hold-buf") == std::string::npos, starting) << owner.log();
        }
    }
}

// A client that dies while it writes the spare instance leaves it half
// written and unpublished: the owner keeps the instance in force, and the
// next client takes the client area and publishes.
TEST_F(fault_session, client_killed_while_writing_leaves_the_owner_as_it_was)
{
    links l("kill");
    child owner(program(corvo_args(file, l, {"-D", "1ms", "-M", "100ms,1G"})));
    start_owner(owner);

    // Half a client: it holds the client area lock, scribbles over both
    // spare instances and is killed before it publishes anything.
    child half([&](const child::control&) {
        const int fd = open(file.c_str(), O_RDWR);
        if (fd < 0 || lseek(fd, client_area_offset, SEEK_SET) < 0 || lockf(fd, F_LOCK, 0) != 0)
            return 1;
        std::vector<unsigned char> junk(sizeof(session_instance));
        for (size_t i = 0; i < junk.size(); ++i)
            junk[i] = static_cast<unsigned char>(i * 131 + 7);
        for (int d = 0; d < 2; ++d)
            if (pwrite(fd, junk.data(), junk.size() / 2, instance_off(d, 1)) < 0)
                return 1;
        raise(SIGKILL);
        return 0;
    });
    EXPECT_EQ(half.finish(5000), 128 + SIGKILL) << half.log();

    // Real clients killed at once or a little later, wherever they are.
    for (int i = 0; i < 8; ++i) {
        child c(program(corvo_args(file, l, {"-D", std::to_string(2 + i) + "ms"})));
        usleep(static_cast<useconds_t>(i * 1500));
        kill(c.pid(), SIGKILL);
        c.finish(5000);
    }
    ASSERT_TRUE(owner.running()) << owner.log();
    // Whatever instance is in force, both producers have taken it.
    for (int d = 0; d < 2; ++d) {
        const uint64_t active = u64_at(file, area_off(d) + 24);
        EXPECT_LT(active, 2u);
        EXPECT_TRUE(eventually([&] { return u64_at(file, ack_off(d)) == active; }));
    }

    // The next client gets the client area and its models take effect.
    child next(program(corvo_args(file, l, {"-D", "20ms"})));
    EXPECT_EQ(next.finish(10000), 0) << next.log();
    const std::string json = probe_through(dir, l, 200, 1000);
    EXPECT_EQ(json_field(json, "frames"), 200) << json;
    EXPECT_GE(json_field(json, "min"), 20000000) << json;
    EXPECT_TRUE(owner.running());
    stop_owner(owner);
}

// The session file cut to nothing, then given another version, under a
// running owner: the owner keeps forwarding and restores the file's
// length; a client refuses the wrong version and succeeds once it is right.
TEST_F(fault_session, damaged_session_file_under_a_running_owner)
{
    links l("trunc");
    child owner(program(corvo_args(file, l, {"-D", "1ms", "-M", "100ms,1G"})));
    start_owner(owner);
    const std::string ready = dir.file("rx.ready");
    child rx(program(
        {probe, "recv", "-i", l.b + ":rx", "-n", "6000", "-t", "12", "-w", "2", "--ready", ready}, true));
    ASSERT_TRUE(eventually([&] { return access(ready.c_str(), F_OK) == 0; }));
    child tx(program({probe, "send", "-i", l.a + ":tx", "-n", "6000", "-r", "2000", "-W", "5"}));
    ASSERT_TRUE(eventually([&] { return u64_at(file, 0) > 200; })) << "no traffic through A";

    ASSERT_EQ(truncate(file.c_str(), 0), 0);
    usleep(300000);
    ASSERT_TRUE(owner.running()) << "the owner died when its file was cut short\n" << owner.log();
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, static_cast<off_t>(session_bytes));
    EXPECT_EQ(read_at<uint32_t>(file, 512), session_version);
    const uint64_t after = u64_at(file, 0);
    EXPECT_TRUE(eventually([&] { return u64_at(file, 0) > after + 100; })) << "counters stopped";

    // Another version: the client refuses it and publishes nothing.
    const uint32_t other = 7;
    {
        const int fd = open(file.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(pwrite(fd, &other, 4, 512), 4);
        close(fd);
    }
    child bad(program(corvo_args(file, l, {"-D", "5ms"})));
    EXPECT_EQ(bad.finish(10000), 1) << bad.log();
    EXPECT_NE(bad.log().find("Expected version 1, got 7"), std::string::npos) << bad.log();
    EXPECT_TRUE(owner.running());
    {
        const int fd = open(file.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(pwrite(fd, &session_version, 4, 512), 4);
        close(fd);
    }
    child good(program(corvo_args(file, l, {"-D", "5ms"})));
    EXPECT_EQ(good.finish(10000), 0) << good.log();

    EXPECT_EQ(tx.finish(15000), 0) << tx.log();
    rx.finish(15000);
    // Frames kept flowing across all of it.
    EXPECT_GT(json_field(rx.log(), "frames"), 5000) << rx.log();
    ASSERT_TRUE(owner.running());
    stop_owner(owner);
}

// Far more frames than the emulated link carries: the excess is dropped and
// counted, memory stays put, and traffic passes normally afterwards.
TEST_F(fault_session, flood_far_above_the_emulated_rate)
{
    links l("flood");
    child owner(program(corvo_args(file, l, {"-B", "1M", "-D", "1ms"})));
    start_owner(owner);
    // Something on the far side of B->A and A->B so nothing is lost there.
    const std::string ready = dir.file("rx.ready");
    child rx(program({probe, "recv", "-i", l.b + ":rx", "-t", "12", "-w", "3", "--ready", ready}, true));
    ASSERT_TRUE(eventually([&] { return access(ready.c_str(), F_OK) == 0; }));
    const long rss0 = rss_kib(owner.pid());

    child tx(program({probe, "send", "-i", l.a + ":tx", "-t", "3", "-s", "60-1514", "-W", "5"}, true));
    EXPECT_EQ(tx.finish(15000), 0) << tx.log();
    const long long sent = json_field(tx.log(), "sent");
    ASSERT_GT(sent, 20000) << tx.log();
    ASSERT_TRUE(owner.running()) << owner.log();
    const long rss1 = rss_kib(owner.pid());
    // What may grow: the pages of the two links' shared rings (4 MiB a link)
    // and of the small queue as they are first touched; nothing per packet.
    EXPECT_LT(rss1 - rss0, 16 * 1024) << "resident memory grew from " << rss0 << " to " << rss1 << " KiB";

    // The queue (50000 bytes at 1 Mbit/s) drains within a second.
    rx.finish(20000);
    const long long received = json_field(rx.log(), "frames");
    const uint64_t pkts = u64_at(file, 0), drops = u64_at(file, 16);
    const uint64_t cons_pkts = u64_at(file, 128), cons_drops = u64_at(file, 144);
    EXPECT_GT(drops, static_cast<uint64_t>(sent) / 2) << "the flood was not dropped";
    EXPECT_LE(pkts + drops, static_cast<uint64_t>(sent));
    EXPECT_EQ(pkts, cons_pkts + cons_drops) << "packets still queued after the flood drained";
    EXPECT_EQ(static_cast<uint64_t>(received), cons_pkts) << rx.log();

    // No stall: a gentle flow afterwards passes whole.
    const std::string json = probe_through(dir, l, 100, 50);
    EXPECT_EQ(json_field(json, "frames"), 100) << json;
    stop_owner(owner);
}

// A capture cut short while wenlo reads it at start-up: wenlo either
// replays what it found or refuses the capture, but never dies of it.
TEST(fault_wenlo, capture_cut_short_while_wenlo_starts)
{
    temp_dir dir;
    const std::string cap = dir.file("big.pcap");
    // 600 000 records of 60 bytes (about 45 MB).
    {
        std::vector<unsigned char> buf;
        const uint32_t hdr[6] = {0xa1b2c3d4, 0x00040002, 0, 0, 65535, 1};
        buf.resize(24);
        std::memcpy(buf.data(), hdr, 24);
        std::vector<unsigned char> rec(16 + 60, 0x5a);
        FILE* f = std::fopen(cap.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(buf.data(), 1, buf.size(), f);
        for (uint32_t i = 0; i < 600000; ++i) {
            const uint32_t rh[4] = {i / 1000000, i % 1000000, 60, 60};
            std::memcpy(rec.data(), rh, 16);
            std::fwrite(rec.data(), 1, rec.size(), f);
        }
        std::fclose(f);
    }
    const std::string sw = "valecut" + std::to_string(getpid());
    for (const char* when : {"filesize is", "magic is"}) {
        const std::string copy = dir.file("cut.pcap");
        ASSERT_EQ(std::system(("cp " + cap + " " + copy).c_str()), 0);
        child w(program({wenlo, "-C", "-1", "-f", copy, "-i", sw + ":w", "-B", "1M"}));
        ASSERT_TRUE(w.wait_log(when, 1, 10000)) << w.log();
        kill(w.pid(), SIGSTOP);
        ASSERT_EQ(truncate(copy.c_str(), 24 + 76 * 1000 + 30), 0);
        kill(w.pid(), SIGCONT);
        usleep(500000);
        kill(w.pid(), SIGINT);
        const int status = w.finish(10000);
        EXPECT_TRUE(status >= 0 && status < 128) << "wenlo ended by signal " << status - 128 << "\n"
                                                 << w.log();
        unlink(copy.c_str());
    }
    unlink(("/dev/shm/netport-vale-" + sw.substr(4)).c_str());
}

namespace {

using veth_test::sh;

// h1 (dev <p>a) -- <p>ma [corvo in <p>m] <p>mb -- h2 (dev <p>b), one subnet.
struct veth_net : veth_test::veth_net {
    veth_net() : veth_test::veth_net("flt", false) {}

    // frames from h1 to h2 at rate: frames received.
    long long flow(const temp_dir& dir, int frames, int rate) const
    {
        const std::string ready = dir.file("veth.ready");
        unlink(ready.c_str());
        child rx(program(in(h2, {probe, "recv", "-i", "netmap:" + dev2, "-n", std::to_string(frames), "-t",
                                 "8", "-w", "1", "--ready", ready}),
                         true));
        EXPECT_TRUE(eventually([&] { return access(ready.c_str(), F_OK) == 0; }));
        child tx(program(in(h1, {probe, "send", "-i", "netmap:" + dev1, "-n", std::to_string(frames), "-r",
                                 std::to_string(rate)})));
        EXPECT_EQ(tx.finish(15000), 0) << tx.log();
        rx.finish(15000);
        return json_field(rx.log(), "frames");
    }
};

}  // namespace

// One port's interface goes down and up while traffic flows: corvo keeps
// running and forwards again once the interface is up.
TEST(fault_veth, interface_down_and_up_while_traffic_flows)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make network namespaces and veth pairs";
    veth_net net;
    ASSERT_TRUE(net.ok) << "could not build the test network";
    temp_dir dir;
    child emu(program(net.in(net.mid, {corvo_bin, "-C", "-1,-1,-1,-1", "-d", "100ms", "-i",
                                       "netmap:" + net.mid1, "-i", "netmap:" + net.mid2, "-D", "1ms"})));
    ASSERT_TRUE(emu.wait_log("hold-buf", 2, 15000)) << emu.log();
    EXPECT_GE(net.flow(dir, 300, 1000), 290);

    // Down while a flow runs, for a second; then up again.
    const std::string ready = dir.file("mid.ready");
    child rx(program(
        net.in(net.h2, {probe, "recv", "-i", "netmap:" + net.dev2, "-t", "4", "-w", "2", "--ready", ready}),
        true));
    ASSERT_TRUE(eventually([&] { return access(ready.c_str(), F_OK) == 0; }));
    child tx(program(net.in(net.h1, {probe, "send", "-i", "netmap:" + net.dev1, "-t", "3", "-r", "1000"})));
    usleep(500000);
    for (const std::string& dev : {net.mid1, net.mid2}) {
        ASSERT_EQ(sh("ip -n " + net.mid + " link set " + dev + " down"), 0);
        usleep(700000);
        ASSERT_TRUE(emu.running()) << emu.log();
        ASSERT_EQ(sh("ip -n " + net.mid + " link set " + dev + " up"), 0);
        usleep(300000);
    }
    tx.finish(15000);
    rx.finish(15000);
    ASSERT_TRUE(emu.running()) << emu.log();

    // Up again: everything passes.
    usleep(500000);
    EXPECT_GE(net.flow(dir, 300, 1000), 290) << emu.log();
    kill(emu.pid(), SIGINT);
    EXPECT_EQ(emu.finish(10000), 0) << emu.log();
}

namespace {

// Frames a port drops instead of sending: each is counted once, as dropped
// with its reason, in the statistics lines (and corvo's session counters),
// never as sent.
struct port_drop_row {
    const char* what;
    bool wenlo;      // else corvo between two links
    bool interface;  // wenlo on a veth interface (root) instead of a link
    uint32_t len;    // bytes of each frame
    bool peer;       // the far end of the output link is attached
    int reason;      // corvo: 0 short (producer), 1 no peer (consumer);
                     // wenlo: column of its "dropped" line (1 no peer, 2 too short)
};
void PrintTo(const port_drop_row& r, std::ostream* os) { *os << r.what; }

class port_drops : public ::testing::TestWithParam<port_drop_row> {};

// A pcap capture (Ethernet) of n records of len bytes, 1 ms apart.
void write_capture(const std::string& path, int n, uint32_t len)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const uint32_t hdr[6] = {0xa1b2c3d4, 0x00040002, 0, 0, 65535, 1};
    std::fwrite(hdr, 1, sizeof hdr, f);
    std::vector<unsigned char> data(len, 0x33);
    for (int i = 0; i < n; ++i) {
        const uint32_t rh[4] = {0, uint32_t(i) * 1000, len, len};
        std::fwrite(rh, 1, sizeof rh, f);
        std::fwrite(data.data(), 1, data.size(), f);
    }
    std::fclose(f);
}

// Sums of the numbers of every line matching re, by group.
std::vector<long long> line_sums(const std::string& log, const std::string& re, size_t groups)
{
    std::vector<long long> sum(groups, 0);
    const std::regex r(re);
    for (auto it = std::sregex_iterator(log.begin(), log.end(), r); it != std::sregex_iterator(); ++it)
        for (size_t g = 0; g < groups; ++g)
            sum[g] += std::atoll((*it)[g + 1].str().c_str());
    return sum;
}

}  // namespace

TEST_P(port_drops, counted_once_with_their_reason)
{
    const port_drop_row& row = GetParam();
    temp_dir dir;
    if (row.wenlo) {
        const std::string cap = dir.file("drops.pcap");
        write_capture(cap, 20, row.len);
        std::vector<std::string> args{wenlo, "-C", "-1", "-f", cap, "-B", "1M", "-D", "0", "-L", "0"};
        struct netns {
            std::string name;
            ~netns()
            {
                if (!name.empty())
                    sh("ip netns del " + name);
            }
        } guard;
        std::string ns;
        if (row.interface) {
            if (geteuid() != 0)
                GTEST_SKIP() << "needs root to make a network namespace and a veth pair";
            ns = guard.name = "fltd" + std::to_string(getpid());
            ASSERT_EQ(sh("ip netns add " + ns), 0);
            ASSERT_EQ(sh("ip -n " + ns + " link add v0 type veth peer name v1"), 0);
            ASSERT_EQ(sh("ip -n " + ns + " link set v0 up") + sh("ip -n " + ns + " link set v1 up"), 0);
            args.insert(args.end(), {"-i", "netmap:v0"});
            args.insert(args.begin(), {"/usr/bin/env", "ip", "netns", "exec", ns});
        } else {
            args.insert(args.end(), {"-i", "valedrw" + std::to_string(getpid()) + ":w"});
        }
        child w(program(args));
        EXPECT_TRUE(w.wait_log("too long, ", 2, 10000)) << w.log();
        kill(w.pid(), SIGINT);
        EXPECT_EQ(w.finish(10000), 0) << w.log();
        const std::string log = w.log();
        const auto sent = line_sums(log, R"((\d+) -> \d+ maxq)", 1);
        const auto dropped = line_sums(
            log, R"(dropped (\d+) too long, (\d+) no peer, (\d+) too short, (\d+) link damaged)", 4);
        EXPECT_EQ(sent[0], 0) << "dropped frames counted as sent\n" << log;
        for (int k = 0; k < 4; ++k) {
            if (k == row.reason)
                EXPECT_GT(dropped[size_t(k)], 0) << log;
            else
                EXPECT_EQ(dropped[size_t(k)], 0) << "reason " << k << "\n" << log;
        }
        return;
    }

    links l("drp");
    const std::string file = dir.file("emu.session");
    child emu(program(corvo_args(file, l, {"-v"})));
    netport::port* tx = netport::nmport_open(l.sender().c_str());
    netport::port* rx = row.peer ? netport::nmport_open(l.receiver().c_str()) : nullptr;
    ASSERT_TRUE(tx != nullptr && (rx != nullptr || !row.peer)) << netport::nmport_errmsg();
    ASSERT_TRUE(emu.wait_log(" maxq ")) << emu.log();  // the statistics count from here
    ASSERT_TRUE(eventually([&] { return netport::nmport_peer_attached(tx); }));
    const int n = 30;
    std::vector<unsigned char> f(row.len, 0x44);
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(netport::nmport_inject(tx, f.data(), f.size()), int(row.len));
    netport::nmport_txsync(tx);
    const off_t block = row.reason == 0 ? 0 : 128;  // A's producer or consumer
    EXPECT_TRUE(eventually([&] { return u64_at(file, block + 48) == uint64_t(n); })) << emu.log();
    EXPECT_EQ(u64_at(file, block + 56), uint64_t(n) * row.len);
    EXPECT_EQ(u64_at(file, 128), 0u) << "dropped frames counted as sent";
    EXPECT_EQ(u64_at(file, 128 + 16), 0u) << "counted twice";
    ASSERT_TRUE(emu.wait_log("port drops")) << emu.log();
    sleep(2);  // every frame in a statistics line
    kill(emu.pid(), SIGINT);
    EXPECT_EQ(emu.finish(10000), 0) << emu.log();
    netport::nmport_close(tx);
    netport::nmport_close(rx);
    const auto sums =
        line_sums(emu.log(), R"(port drops A: short (\d+) out (\d+) \(no peer (\d+) damaged (\d+)\))", 4);
    const std::vector<long long> want =
        row.reason == 0 ? std::vector<long long>{n, 0, 0, 0} : std::vector<long long>{0, n, n, 0};
    EXPECT_EQ(sums, want) << emu.log();
}

INSTANTIATE_TEST_SUITE_P(
    rows, port_drops,
    ::testing::Values(port_drop_row{"corvo, no peer on the output link", false, false, 100, false, 1},
                      port_drop_row{"corvo, frames under 60 bytes on a link", false, false, 40, true, 0},
                      port_drop_row{"wenlo, no peer on the link", true, false, 100, false, 1},
                      port_drop_row{"wenlo, frames under 14 bytes on an interface", true, true, 10, false,
                                    2}));
