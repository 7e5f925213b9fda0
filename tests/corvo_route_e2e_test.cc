// Route mode end to end: two hosts in different subnets, each with a default
// route via corvo's port on its side, reach each other through
// `corvo -r -D 5ms`.  Three network namespaces of the test's own (host A,
// host B, the emulator) joined by veth pairs; root only.  The emulator's
// kernel neither forwards nor answers ARP there, so every ARP answer and
// every forwarded packet comes from corvo.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

// Runs a shell command (bounded by `timeout`); its status and output.
struct cmd_result {
    int status;
    std::string out;
};
cmd_result sh(const std::string& cmd, int seconds = 20)
{
    std::string full = "timeout " + std::to_string(seconds) + " sh -c '" + cmd + "' 2>&1";
    FILE* f = popen(full.c_str(), "r");
    cmd_result r{-1, {}};
    if (!f)
        return r;
    char buf[1024];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        r.out.append(buf, n);
    int st = pclose(f);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A process started in the background with its output in a file.
struct bg_proc {
    pid_t pid = -1;
    bool start(const std::vector<std::string>& argv, const std::string& out_path)
    {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0)
            pid = -1;
        return rc == 0;
    }
    // Signals it and waits at most `seconds`, then kills it; the exit status
    // or -1.
    int stop(int sig = SIGINT, int seconds = 3)
    {
        if (pid < 0)
            return -1;
        kill(pid, sig);
        int st = 0;
        for (int i = 0; i < seconds * 20; ++i) {
            if (waitpid(pid, &st, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
        pid = -1;
        return -1;
    }
    ~bg_proc() { stop(SIGKILL, 1); }
};

class route_e2e : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to make network namespaces";
        if (access((std::string(TEST_BIN_DIR) + "/corvo").c_str(), X_OK) != 0)
            GTEST_SKIP() << "corvo is not built";
        const std::string tag = std::to_string(getpid());
        ns_a_ = "rtA" + tag, ns_b_ = "rtB" + tag, ns_e_ = "rtE" + tag;
        ha_ = "rha" + tag, hb_ = "rhb" + tag, ea_ = "rea" + tag, eb_ = "reb" + tag;
        dir_ = "/tmp/corvo-route-e2e-" + tag;
        sh("mkdir -p " + dir_);
        made_ = true;
        for (const std::string& ns : {ns_a_, ns_b_, ns_e_}) {
            ASSERT_EQ(sh("ip netns add " + ns).status, 0) << "cannot make namespace " << ns;
            // No IPv6 chatter; the kernel of the emulator never forwards.
            sh(in(ns) +
               "sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 "
               "net.ipv4.ip_forward=0; " +
               in(ns) + "ip link set lo up");
        }
        ASSERT_EQ(must("ip link add " + ha_ + " netns " + ns_a_ + " type veth peer name " + ea_ + " netns " +
                       ns_e_),
                  0);
        ASSERT_EQ(must("ip link add " + hb_ + " netns " + ns_b_ + " type veth peer name " + eb_ + " netns " +
                       ns_e_),
                  0);
        const std::string offloads = " tso off gso off gro off tx off rx off";
        struct {
            const std::string& ns;
            const std::string& dev;
            const char* addr;
            const char* via;  // default route, or null
        } ifs[] = {
            {ns_e_, ea_, "10.77.1.1/24", nullptr},
            {ns_e_, eb_, "10.77.2.1/24", nullptr},
            {ns_a_, ha_, "10.77.1.2/24", "10.77.1.1"},
            {ns_b_, hb_, "10.77.2.2/24", "10.77.2.1"},
        };
        for (auto& i : ifs) {
            ASSERT_EQ(must(in(i.ns) + "ip addr add " + i.addr + " dev " + i.dev), 0);
            ASSERT_EQ(must(in(i.ns) + "ip link set " + i.dev + " up"), 0);
            ASSERT_EQ(must(in(i.ns) + "ethtool -K " + i.dev + offloads), 0);
            if (i.via)
                ASSERT_EQ(must(in(i.ns) + "ip route add default via " + i.via), 0);
            else  // corvo answers ARP for the port's address, not the kernel
                ASSERT_EQ(must(in(i.ns) + "ip link set " + i.dev + " arp off"), 0);
        }
        mac_ea_ = mac_of(ns_e_, ea_);
        mac_eb_ = mac_of(ns_e_, eb_);
        ASSERT_EQ(mac_ea_.size(), 17u);
        ASSERT_EQ(mac_eb_.size(), 17u);
    }

    void TearDown() override
    {
        corvo_.stop(SIGKILL, 1);
        tcpdump_.stop(SIGKILL, 1);
        iperf_.stop(SIGKILL, 1);
        if (!made_)
            return;
        for (const std::string& ns : {ns_a_, ns_b_, ns_e_})
            sh("ip netns del " + ns);
        sh("rm -rf " + dir_);
    }

    std::string in(const std::string& ns) const { return "ip netns exec " + ns + " "; }
    static int must(const std::string& cmd)
    {
        cmd_result r = sh(cmd);
        if (r.status != 0)
            ADD_FAILURE() << cmd << ": " << r.out;
        return r.status;
    }
    std::string mac_of(const std::string& ns, const std::string& dev)
    {
        std::string m = sh(in(ns) + "cat /sys/class/net/" + dev + "/address").out;
        while (!m.empty() && (m.back() == '\n' || m.back() == ' '))
            m.pop_back();
        return m;
    }
    bool wait_for(const std::string& path, const std::string& text, int ms)
    {
        for (int t = 0; t < ms; t += 50) {
            if (slurp(path).find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    bool made_ = false;
    std::string ns_a_, ns_b_, ns_e_, ha_, hb_, ea_, eb_, dir_, mac_ea_, mac_eb_;
    bg_proc corvo_, tcpdump_, iperf_;
};

TEST_F(route_e2e, hosts_in_two_subnets_reach_each_other_through_corvo)
{
    const std::string corvo_log = dir_ + "/corvo.log", cap = dir_ + "/arp.pcap",
                      cap_log = dir_ + "/tcpdump.log";
    // ARP on host B's wire, from the start.
    ASSERT_TRUE(tcpdump_.start({"ip", "netns", "exec", ns_b_, "tcpdump", "-i", hb_, "-nn", "-U",
                                "--immediate-mode", "-w", cap, "arp"},
                               cap_log));
    ASSERT_TRUE(wait_for(cap_log, "listening on", 5000)) << slurp(cap_log);

    ASSERT_TRUE(corvo_.start(
        {"ip", "netns", "exec", ns_e_, std::string(TEST_BIN_DIR) + "/corvo", "-r", "-i", "netmap:" + ea_,
         "-i", "netmap:" + eb_, "-D", "5ms", "-d", "100ms", "-C", "-1,-1,-1,-1"},
        corvo_log));
    // Both directions print their banner once they run.
    ASSERT_TRUE(wait_for(corvo_log, "netmap:" + eb_ + " -> netmap:" + ea_, 5000)) << slurp(corvo_log);
    EXPECT_NE(slurp(corvo_log).find(ea_ + ": ip 10.77.1.1/255.255.255.0 bcast 10.77.1.255 gw 0.0.0.0 mac " +
                                    mac_ea_),
              std::string::npos)
        << slurp(corvo_log);

    // Ping: both directions, 5 ms each way.  (-d 100ms above: four polling
    // threads share two cores here, so a consumer may wake up well after a
    // packet fell due; the default 100 us late limit would drop it.)
    cmd_result ping = sh(in(ns_a_) + "ping -c 4 -i 0.2 -W 3 10.77.2.2", 20);
    ASSERT_EQ(ping.status, 0) << ping.out << slurp(corvo_log);
    double rtt_min = 0;
    size_t eq = ping.out.find("rtt min/avg/max/mdev = ");
    ASSERT_NE(eq, std::string::npos) << ping.out;
    rtt_min = std::stod(ping.out.substr(eq + 23));
    EXPECT_GE(rtt_min, 10.0) << "the delay of both directions applies: " << ping.out;

    // A short TCP transfer.
    ASSERT_TRUE(iperf_.start({"ip", "netns", "exec", ns_b_, "iperf3", "-s", "-1", "--forceflush"},
                             dir_ + "/iperf-s.log"));
    ASSERT_TRUE(wait_for(dir_ + "/iperf-s.log", "listening", 5000)) << slurp(dir_ + "/iperf-s.log");
    cmd_result tcp = sh(in(ns_a_) + "iperf3 -c 10.77.2.2 -n 512K --connect-timeout 5000", 25);
    EXPECT_EQ(tcp.status, 0) << tcp.out << slurp(corvo_log);
    EXPECT_NE(tcp.out.find("receiver"), std::string::npos) << tcp.out;

    // The hosts resolved their gateway to corvo's port MACs...
    cmd_result neigh_a = sh(in(ns_a_) + "ip neigh show 10.77.1.1 dev " + ha_);
    EXPECT_NE(neigh_a.out.find("lladdr " + mac_ea_), std::string::npos) << neigh_a.out;
    cmd_result neigh_b = sh(in(ns_b_) + "ip neigh show 10.77.2.1 dev " + hb_);
    EXPECT_NE(neigh_b.out.find("lladdr " + mac_eb_), std::string::npos) << neigh_b.out;

    // ...and corvo asked for host B with a broadcast request of its own.
    tcpdump_.stop(SIGINT);
    cmd_result wire = sh("tcpdump -r " + cap + " -nn -e");
    EXPECT_NE(wire.out.find(mac_eb_ + " > ff:ff:ff:ff:ff:ff"), std::string::npos) << wire.out;
    EXPECT_NE(wire.out.find("Request who-has 10.77.2.2 tell 10.77.2.1"), std::string::npos) << wire.out;

    EXPECT_EQ(corvo_.stop(SIGINT, 5), 0) << slurp(corvo_log);
}

}  // namespace
