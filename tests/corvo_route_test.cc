// route_setup: the checks of the port names, and the addresses read from
// interfaces made in a network namespace of the test's own (root only).
#include "corvo/route.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "corvo/arp.hpp"
#include "log_capture.hpp"

using namespace common;
using namespace pipes;
using namespace corvo;

namespace {

uint32_t addr(const char* text) { return inet_addr(text); }

TEST(route_names, refused_before_any_lookup)
{
    struct {
        const char* name;
        const char* expect;
    } cases[] = {
        {"vale0:1", "route mode not supported for VALE port vale0:1\n"},
        {"valeX:a", "route mode not supported for VALE port valeX:a\n"},
        {"em0", "missing netmap: prefix in em0\n"},
        {"netmap", "missing netmap: prefix in netmap\n"},
        {"netmap:abcdefghijklmnop", "name too long: abcdefghijklmnop\n"},
        // 15 characters pass on to the lookup, which finds nothing here.
        {"netmap:abcdefghijklmno",
         "trying to get configuration for abcdefghijklmno\n"
         "failed to get MAC address for abcdefghijklmno: No such file or directory\n"},
        {"netmap:",
         "trying to get configuration for \n"
         "failed to get MAC address for : No such file or directory\n"},
    };
    for (auto& c : cases) {
        route_config rc{};
        log_capture cap;
        EXPECT_EQ(route_port_setup(rc, c.name, nullptr, nullptr, -1), 1) << c.name;
        EXPECT_EQ(cap.messages(), c.expect);
        EXPECT_EQ(rc.arp_table, nullptr);
    }
}

TEST(route_names, refusal_ends_corvo_with_the_usage_and_status_1)
{
    std::string cmd = std::string(TEST_BIN_DIR) + "/corvo -r -C -1,-1,-1,-1 -i vale0:1 -i vale0:2 2>&1";
    FILE* f = popen(cmd.c_str(), "r");
    ASSERT_NE(f, nullptr);
    std::string out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    int st = pclose(f);
    ASSERT_TRUE(WIFEXITED(st)) << out;
    EXPECT_EQ(WEXITSTATUS(st), 1) << out;
    EXPECT_NE(out.find("\troute mode not supported for VALE port vale0:1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("usage: corvo [-v] [-D delay] [-B bps] [-L loss] [-Q qsize] \n"
                       "\t[-b burst] [-w wait_time] [-G gateway] -i ifa -i ifb\n"),
              std::string::npos)
        << out;
}

// Moves this thread (and the commands it runs) into a fresh network
// namespace and back; the namespace and its interfaces vanish with it.
class netns_scope {
public:
    netns_scope()
    {
        if (geteuid() != 0) {
            why_ = "needs root for a network namespace";
            return;
        }
        orig_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        if (orig_ < 0 || unshare(CLONE_NEWNET) != 0) {
            why_ = std::string("cannot make a network namespace: ") + strerror(errno);
            return;
        }
        ok_ = true;
    }
    ~netns_scope()
    {
        if (orig_ >= 0) {
            if (ok_ && setns(orig_, CLONE_NEWNET) != 0)
                std::abort();  // later tests must not run in here
            close(orig_);
        }
    }
    netns_scope(const netns_scope&) = delete;
    netns_scope& operator=(const netns_scope&) = delete;
    bool ok() const { return ok_; }
    const std::string& why() const { return why_; }

    // One shell command in the namespace; true when it succeeded.
    static bool run(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }
    // An interface (one end of a veth pair), up.
    static bool add_if(const std::string& name)
    {
        return run("ip link add '" + name + "' type veth peer name '" + name + "p'") &&
               run("ip link set '" + name + "' up");
    }

private:
    int orig_ = -1;
    bool ok_ = false;
    std::string why_;
};

#define ENTER_NETNS(ns)                                  \
    netns_scope ns;                                      \
    if (!ns.ok()) {                                      \
        GTEST_SKIP() << ns.why();                        \
    }                                                    \
    if (!netns_scope::add_if("rt-probe0")) {             \
        GTEST_SKIP() << "cannot create veth interfaces"; \
    }

void release_tables()
{
    for (route_config& rc : route_configs) {
        if (rc.arp_table)
            munmap(rc.arp_table, (std::size_t{ntohl(~rc.netmask)} + 1) * sizeof(arp_entry));
        rc = route_config{};
    }
}

TEST(route_setup_netns, reads_both_ports_from_the_system)
{
    ENTER_NETNS(ns);
    // Names with characters beyond letters and digits; the second address
    // has no broadcast, which Linux reports as 0.0.0.0.
    ASSERT_TRUE(netns_scope::add_if("rt-a.1") && netns_scope::add_if("rt_b"));
    ASSERT_TRUE(netns_scope::run("ip link set rt-a.1 address 02:11:22:33:44:55") &&
                netns_scope::run("ip link set rt_b address 02:66:77:88:99:aa") &&
                netns_scope::run("ip addr add 10.1.2.3/24 brd + dev rt-a.1") &&
                netns_scope::run("ip addr add 10.9.0.1/16 dev rt_b"));

    const char* const names[2] = {"netmap:rt-a.1", "netmap:rt_b"};
    const char* const gws[2] = {"10.1.2.254", nullptr};
    log_capture cap;
    ASSERT_EQ(route_setup(names, gws), 0) << cap.messages();
    EXPECT_EQ(cap.messages(),
              "trying to get configuration for rt-a.1\n"
              "rt-a.1: ip 10.1.2.3/255.255.255.0 bcast 10.1.2.255 gw 10.1.2.254 mac 02:11:22:33:44:55\n"
              "allocating 4096 bytes for arp table\n"
              "trying to get configuration for rt_b\n"
              "rt_b: ip 10.9.0.1/255.255.0.0 bcast 10.9.255.255 gw 0.0.0.0 mac 02:66:77:88:99:aa\n"
              "allocating 1048576 bytes for arp table\n");

    const route_config& a = route_configs[0];
    EXPECT_STREQ(a.ifname, "rt-a.1");
    EXPECT_EQ(a.ip, addr("10.1.2.3"));
    EXPECT_EQ(a.netmask, addr("255.255.255.0"));
    EXPECT_EQ(a.network, addr("10.1.2.0"));
    EXPECT_EQ(a.broadcast, addr("10.1.2.255"));
    EXPECT_EQ(a.gateway, addr("10.1.2.254"));
    EXPECT_EQ(std::memcmp(a.mac, "\x02\x11\x22\x33\x44\x55", 6), 0);
    const route_config& b = route_configs[1];
    EXPECT_EQ(b.network, addr("10.9.0.0"));
    EXPECT_EQ(b.broadcast, addr("10.9.255.255"));
    EXPECT_EQ(b.gateway, 0u);

    // The templates of the first port, byte by byte.
    const unsigned char reply[60] = {0,    0,    0,    0,    0,    0,    0x02, 0x11, 0x22, 0x33, 0x44,
                                     0x55, 0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 6,    4,    0x00, 0x02,
                                     0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 10,   1,    2,    3};
    unsigned char request[60];
    std::memcpy(request, reply, 60);
    std::memset(request, 0xff, 6);
    request[21] = 1;
    EXPECT_EQ(std::memcmp(a.arp_reply, reply, 60), 0);
    EXPECT_EQ(std::memcmp(a.arp_request, request, 60), 0);

    // Tables are zero (every next hop unresolved) and span the subnet.
    ASSERT_NE(a.arp_table, nullptr);
    EXPECT_EQ(a.arp_table[255].next, 0u);
    b.arp_table[65535].next = 1;
    release_tables();
}

TEST(route_setup_netns, refusals_name_the_cause)
{
    struct {
        const char* addr_cmd;  // for rt-c, or null for none
        const char* name;
        const char* gateway;
        const char* last;  // the last message
    } cases[] = {
        {"10.1.2.3/24", "netmap:rt-c", "10.1.3.1", "gateway 10.1.3.1 unreachable\n"},
        {"10.1.2.3/24", "netmap:rt-c", "10.1.2.x", "not a valid IP address: 10.1.2.x\n"},
        {nullptr, "netmap:rt-c", nullptr,
         "failed to get IPv4 address for rt-c: Cannot assign requested address\n"},
        {"10.1.2.3/0", "netmap:rt-c", nullptr,
         "subnet 0.0.0.0 of rt-c is wider than /16: not supported in route mode\n"},
        {"10.1.2.3/15", "netmap:rt-c", nullptr,
         "subnet 255.254.0.0 of rt-c is wider than /16: not supported in route mode\n"},
        {"10.1.2.3/24", "netmap:rt-none", nullptr,
         "failed to get MAC address for rt-none: No such file or directory\n"},
    };
    for (auto& c : cases) {
        ENTER_NETNS(ns);
        ASSERT_TRUE(netns_scope::add_if("rt-c") && netns_scope::add_if("rt-d") &&
                    netns_scope::run("ip addr add 10.5.0.1/24 dev rt-d"));
        if (c.addr_cmd) {
            ASSERT_TRUE(netns_scope::run(std::string("ip addr add ") + c.addr_cmd + " dev rt-c"));
        }
        // The faulty port second: the first is read before it.
        const char* const names[2] = {"netmap:rt-d", c.name};
        const char* const gws[2] = {nullptr, c.gateway};
        log_capture cap;
        EXPECT_EQ(route_setup(names, gws), 1) << c.last;
        std::string msgs = cap.messages();
        ASSERT_GE(msgs.size(), std::strlen(c.last));
        EXPECT_EQ(msgs.substr(msgs.size() - std::strlen(c.last)), c.last) << msgs;
        EXPECT_NE(msgs.find("rt-d: ip 10.5.0.1/255.255.255.0 bcast 10.5.0.255"), std::string::npos);
        release_tables();
    }
}

}  // namespace
