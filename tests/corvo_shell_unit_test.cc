// corvo-shell's decisions without the system: its command line and the
// corvo command it makes, the /30 it picks beside the host's routes and
// other shells, and the resolver file its command sees.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "shell/netplan.hpp"

using namespace cshell;

namespace {

shell_options parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "corvo-shell");
    std::vector<char*> av;
    for (std::string& a : args)
        av.push_back(a.data());
    av.push_back(nullptr);
    return parse_options(static_cast<int>(args.size()), av.data());
}

std::string joined(const std::vector<std::string>& w)
{
    std::string s;
    for (const std::string& x : w)
        s += (s.empty() ? "" : " ") + x;
    return s;
}

struct options_row {
    std::vector<std::string> args;
    std::string corvo;    // corvo's command line, when accepted
    std::string command;  // the command, when accepted
    std::string error;    // the refusal, else empty
};

// Rows print as their words (stable, readable test names).
std::string flat(const std::string& text)
{
    std::string s = text;
    std::replace(s.begin(), s.end(), '\n', '|');
    return s;
}
void PrintTo(const options_row& r, std::ostream* os) { *os << "[" << joined(r.args) << "]"; }

class ShellOptions : public testing::TestWithParam<options_row> {};

TEST_P(ShellOptions, MakeCorvosCommandOrAreRefused)
{
    const options_row& row = GetParam();
    const shell_options o = parse(row.args);
    EXPECT_EQ(o.error, row.error);
    if (!row.error.empty())
        return;
    EXPECT_EQ(joined(corvo_command(o, "/b/corvo", "/run/corvo-shell/7/session", "to-command", "to-host")),
              row.corvo);
    EXPECT_EQ(joined(o.command), row.command);
}

const std::string ports = "-i netmap:to-command -i netmap:to-host";
const std::string own_session = "-s /run/corvo-shell/7/session ";

INSTANTIATE_TEST_SUITE_P(
    Rows, ShellOptions,
    testing::Values(
        // Defaults: unplaced threads, a 100 ms late limit, the shell's session file.
        options_row{{}, "/b/corvo -C -1,-1,-1,-1 -d 100ms " + own_session + ports, "", ""},
        options_row{{"-D", "25ms", "--", "ping", "-c", "5", "10.0.0.1"},
                    "/b/corvo -D 25ms -C -1,-1,-1,-1 -d 100ms " + own_session + ports,
                    "ping -c 5 10.0.0.1",
                    ""},
        // Per-direction options keep their order; the first word that is
        // not an option starts the command, whose options stay its own.
        options_row{{"-B", "10M", "-B", "2M", "-L", "0.01", "iperf3", "-c", "h", "-B", "x"},
                    "/b/corvo -B 10M -B 2M -L 0.01 -C -1,-1,-1,-1 -d 100ms " + own_session + ports,
                    "iperf3 -c h -B x",
                    ""},
        // -C and -d replace the defaults; -s replaces the shell's file.
        options_row{{"-C", "0,1,0,1", "-d", "1ms", "-s", "/tmp/f", "-v", "--", "sh"},
                    "/b/corvo -C 0,1,0,1 -d 1ms -v -s /tmp/f " + ports,
                    "sh",
                    ""},
        options_row{{"-i", "netmap:eth0"},
                    "",
                    "",
                    "option -i is not for corvo-shell: corvo-shell makes corvo's two ports itself"},
        options_row{{"-r"},
                    "",
                    "",
                    "option -r is not for corvo-shell: route mode does not fit: the shell's link is one "
                    "Ethernet segment"},
        options_row{{"-a"},
                    "",
                    "",
                    "option -a is not for corvo-shell: it stops a running corvo; use corvo -s FILE -a"},
        options_row{{"-s", "a", "-s", "b"}, "", "", "option -s given twice"},
        options_row{{"-x"}, "", "", "unknown option -x"},
        options_row{{"-D"}, "", "", "option -D needs a value"}));

struct subnet_row {
    std::vector<std::string> taken;
    std::string picked;
};

void PrintTo(const subnet_row& r, std::ostream* os) { *os << "[" << joined(r.taken) << "]"; }

class SubnetPick : public testing::TestWithParam<subnet_row> {};

TEST_P(SubnetPick, FirstFreeSlash30)
{
    std::vector<prefix4> taken;
    for (const std::string& t : GetParam().taken)
        taken.push_back(parse_prefix(t).value());
    const auto p = pick_subnet(taken);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(to_string(*p), GetParam().picked);
}

INSTANTIATE_TEST_SUITE_P(Rows, SubnetPick,
                         testing::Values(subnet_row{{}, "100.64.0.0/30"},
                                         // Another shell's /30 and an address inside the next one.
                                         subnet_row{{"100.64.0.0/30", "100.64.0.6/32"}, "100.64.0.8/30"},
                                         // A wider route covering the start of the range.
                                         subnet_row{{"100.64.0.0/22"}, "100.64.4.0/30"},
                                         // The whole shared range routed elsewhere: the next range,
                                         // around what the host uses there.
                                         subnet_row{{"100.64.0.0/10", "10.0.0.0/9"}, "10.128.0.0/30"},
                                         subnet_row{{"100.64.0.0/10", "10.0.0.0/8", "172.16.0.0/12"},
                                                    "192.168.0.0/30"}));

TEST(ShellRoutes, PrefixesOfRouteAndAddressLines)
{
    const std::string text =
        "default via 198.18.0.2 dev eth0\n"
        "100.64.0.0/30 dev corvo17 proto kernel scope link src 100.64.0.1\n"
        "local 198.18.0.1 dev eth0 table local proto kernel scope host src 198.18.0.1\n"
        "broadcast 198.18.0.255 dev eth0 table local proto kernel scope link\n"
        "unreachable 10.9.0.0/16\n"
        "2: eth0    inet 198.18.0.1/24 brd 198.18.0.255 scope global eth0\\  valid_lft forever\n"
        "garbage line\n";
    const std::vector<prefix4> got = prefixes_in(text);
    std::vector<std::string> s;
    for (const prefix4& p : got)
        s.push_back(to_string(p));
    EXPECT_EQ(s, (std::vector<std::string>{"100.64.0.0/30", "198.18.0.1/32", "198.18.0.255/32", "10.9.0.0/16",
                                           "198.18.0.0/24"}));
}

struct resolv_row {
    std::string host, upstream;
    std::string text;  // what the command sees
    bool changed;
    bool warns;
};

void PrintTo(const resolv_row& r, std::ostream* os) { *os << "[" << flat(r.host) << "]"; }

class ShellResolver : public testing::TestWithParam<resolv_row> {};

TEST_P(ShellResolver, CommandSeesReachableServers)
{
    const resolv_row& row = GetParam();
    const resolv_plan plan = plan_resolv(row.host, row.upstream);
    EXPECT_EQ(plan.text, row.text);
    EXPECT_EQ(plan.changed, row.changed);
    EXPECT_EQ(!plan.warning.empty(), row.warns);
}

INSTANTIATE_TEST_SUITE_P(Rows, ShellResolver,
                         testing::Values(
                             // Reachable servers: the host's file as it is.
                             resolv_row{"search lan\nnameserver 10.1.1.1\n", "",
                                        "search lan\nnameserver 10.1.1.1\n", false, false},
                             // A local stub resolver: its upstream servers, the host's other lines.
                             resolv_row{"nameserver 127.0.0.53\noptions edns0\nsearch lan\n",
                                        "nameserver 192.0.2.1\nnameserver fe80::1\n",
                                        "nameserver 192.0.2.1\noptions edns0\nsearch lan\n", true, false},
                             // Loopback and IPv6 servers beside a reachable one are left out.
                             resolv_row{"nameserver 127.0.0.1\nnameserver 2001:db8::1\nnameserver 10.1.1.1\n",
                                        "", "nameserver 10.1.1.1\n", true, false},
                             // Only a loopback resolver and no upstream known: unchanged, with a warning.
                             resolv_row{"nameserver 127.0.0.53\n", "", "nameserver 127.0.0.53\n", false,
                                        true}));

}  // namespace
