// The pure decisions of corvo-shell, kept apart from the system calls so
// that they can be tested on their own: the command line, the IPv4 subnet
// of a new shell and the resolver file its command sees.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cshell {

// ---------------------------------------------------------------------------
// Command line: corvo's own options (less those that name its ports or stop
// it), then an optional COMMAND after "--" or after the first word that is
// not an option.

struct shell_options {
    std::vector<std::string> corvo_args;  // the options for corvo, in order
    std::string session;                  // -s FILE, empty when absent
    bool has_cpus = false;                // -C given
    bool has_late = false;                // -d given
    int verbose = 0;                      // -v count less -q count
    bool help = false;                    // -h
    std::vector<std::string> command;     // empty: the user's login shell
    std::string error;                    // set when the line is refused
};

shell_options parse_options(int argc, char* const* argv);

// The getopt string of parse_options.
std::string shell_optstring();

// corvo's command line: the user's options, the defaults the shell adds
// (unplaced threads, a late limit of 100 ms, own_session when the user gave
// no -s) and the two ports; A is from the command outwards.
std::vector<std::string> corvo_command(const shell_options& o, const std::string& corvo_path,
                                       const std::string& own_session, const std::string& to_command,
                                       const std::string& to_host);

inline constexpr char shell_usage[] =
    "usage: corvo-shell [corvo options] [-- COMMAND [ARGS...]]\n"
    "  corvo options: -D -B -L -R -Q -M -O -P -d (per direction, once or twice), -C -b -w -s -v -q -H -c\n"
    "  A is the direction from COMMAND outwards, B towards it.  Without COMMAND the\n"
    "  user's login shell starts.  Run as root (or through sudo).\n";

// ---------------------------------------------------------------------------
// IPv4 prefixes and the choice of a free /30.

struct prefix4 {
    uint32_t addr = 0;  // host order, host bits cleared
    int len = 0;
    bool operator==(const prefix4&) const = default;
};

std::optional<prefix4> parse_prefix(std::string_view text);  // "a.b.c.d[/len]"
std::string to_string(uint32_t addr);
std::string to_string(const prefix4& p);
bool overlap(const prefix4& a, const prefix4& b);

// The destinations of `ip -o -4 route show table all` lines and the
// addresses of `ip -o -4 addr show` lines; the default route is left out,
// since every subnet lies inside it.
std::vector<prefix4> prefixes_in(std::string_view ip_output);

// The first /30 of 100.64.0.0/10, then of 10.0.0.0/8, 172.16.0.0/12 and
// 192.168.0.0/16, that overlaps none of `taken`.
std::optional<prefix4> pick_subnet(const std::vector<prefix4>& taken);

// ---------------------------------------------------------------------------
// Name resolution inside: the host's resolver file as the command's view
// needs it.  A nameserver on the host's loopback cannot be reached from the
// command's namespace, and neither can an IPv6 one (IPv6 is off there).

struct resolv_plan {
    std::string text;      // the file the command sees
    bool changed = false;  // differs from the host's file
    std::string warning;   // non-empty: names may not resolve inside
};

// host: the host's /etc/resolv.conf; upstream: the file of a local stub
// resolver listing its real servers (/run/systemd/resolve/resolv.conf),
// empty when there is none.
resolv_plan plan_resolv(std::string_view host, std::string_view upstream);

}  // namespace cshell
