#include "shell/netplan.hpp"

#include <arpa/inet.h>
#include <getopt.h>

#include <algorithm>
#include <sstream>

#include "corvo/options.hpp"

using namespace common;
using namespace pipes;
using namespace corvo;

namespace cshell {

namespace {

// Why corvo-shell refuses some of corvo's options.
struct refused_option {
    char letter;
    const char* why;
};
constexpr refused_option refused[] = {
    {'i', "corvo-shell makes corvo's two ports itself"},
    {'r', "route mode does not fit: the shell's link is one Ethernet segment"},
    {'G', "route mode does not fit: the shell's link is one Ethernet segment"},
    {'a', "it stops a running corvo; use corvo -s FILE -a"},
};

std::vector<std::string> words(std::string_view line)
{
    std::vector<std::string> w;
    std::istringstream in{std::string(line)};
    for (std::string s; in >> s;)
        w.push_back(s);
    return w;
}

bool loopback_or_v6(const std::string& server)
{
    if (server.find(':') != std::string::npos)
        return true;
    const auto p = parse_prefix(server);
    return !p || (p->addr >> 24) == 127;
}

}  // namespace

std::string shell_optstring()
{
    // '+': stop at the first word that is not an option (the command);
    // ':': report a missing value apart from an unknown option.
    return "+:" + std::string(corvo_optstring.data()) + "h";
}

shell_options parse_options(int argc, char* const* argv)
{
    shell_options o;
    const std::string optstring = shell_optstring();
    optind = 0;  // full restart of getopt, also on a second call
    opterr = 0;
    int ch;
    while ((ch = getopt(argc, argv, optstring.c_str())) != -1) {
        if (ch == '?') {
            o.error = "unknown option " + std::string{'-', static_cast<char>(optopt)};
            return o;
        }
        if (ch == ':') {
            o.error = "option " + std::string{'-', static_cast<char>(optopt)} + " needs a value";
            return o;
        }
        for (const refused_option& r : refused) {
            if (ch == r.letter) {
                o.error = "option " + std::string{'-', r.letter} + " is not for corvo-shell: " + r.why;
                return o;
            }
        }
        switch (ch) {
        case 'h':
            o.help = true;
            return o;
        case 's':
            if (!o.session.empty()) {
                o.error = "option -s given twice";
                return o;
            }
            if (*optarg == '\0') {
                o.error = "option -s needs a file name";
                return o;
            }
            o.session = optarg;
            continue;  // added by corvo_command
        case 'C':
            o.has_cpus = true;
            break;
        case 'd':
            o.has_late = true;
            break;
        case 'v':
            ++o.verbose;
            break;
        case 'q':
            --o.verbose;
            break;
        default:
            break;
        }
        o.corvo_args.push_back(std::string{'-', static_cast<char>(ch)});
        if (optarg)
            o.corvo_args.emplace_back(optarg);
    }
    for (int k = optind; k < argc; ++k)
        o.command.emplace_back(argv[k]);
    return o;
}

std::vector<std::string> corvo_command(const shell_options& o, const std::string& corvo_path,
                                       const std::string& own_session, const std::string& to_command,
                                       const std::string& to_host)
{
    std::vector<std::string> c{corvo_path};
    c.insert(c.end(), o.corvo_args.begin(), o.corvo_args.end());
    if (!o.has_cpus)
        c.insert(c.end(), {"-C", "-1,-1,-1,-1"});
    if (!o.has_late)
        c.insert(c.end(), {"-d", "100ms"});
    c.insert(c.end(), {"-s", o.session.empty() ? own_session : o.session, "-i", "netmap:" + to_command, "-i",
                       "netmap:" + to_host});
    return c;
}

std::optional<prefix4> parse_prefix(std::string_view text)
{
    const size_t slash = text.find('/');
    const std::string host(text.substr(0, slash));
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) != 1)
        return std::nullopt;
    int len = 32;
    if (slash != std::string_view::npos) {
        const std::string_view l = text.substr(slash + 1);
        if (l.empty() || l.size() > 2 ||
            !std::all_of(l.begin(), l.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        len = std::stoi(std::string(l));
        if (len > 32)
            return std::nullopt;
    }
    const uint32_t mask = len == 0 ? 0 : ~uint32_t{0} << (32 - len);
    return prefix4{ntohl(a.s_addr) & mask, len};
}

std::string to_string(uint32_t addr)
{
    return std::to_string(addr >> 24) + "." + std::to_string((addr >> 16) & 255) + "." +
           std::to_string((addr >> 8) & 255) + "." + std::to_string(addr & 255);
}

std::string to_string(const prefix4& p) { return to_string(p.addr) + "/" + std::to_string(p.len); }

bool overlap(const prefix4& a, const prefix4& b)
{
    const int len = std::min(a.len, b.len);
    const uint32_t mask = len == 0 ? 0 : ~uint32_t{0} << (32 - len);
    return (a.addr & mask) == (b.addr & mask);
}

std::vector<prefix4> prefixes_in(std::string_view ip_output)
{
    // Route types that may stand before the destination.
    static constexpr std::string_view types[] = {"unicast", "local",     "broadcast",   "multicast",
                                                 "anycast", "blackhole", "unreachable", "prohibit",
                                                 "throw",   "nat"};
    std::vector<prefix4> out;
    size_t pos = 0;
    while (pos < ip_output.size()) {
        size_t nl = ip_output.find('\n', pos);
        if (nl == std::string_view::npos)
            nl = ip_output.size();
        const std::vector<std::string> w = words(ip_output.substr(pos, nl - pos));
        pos = nl + 1;
        if (w.empty())
            continue;
        // An address line: "2: eth0    inet 10.0.0.5/24 brd ...".
        auto inet = std::find(w.begin(), w.end(), "inet");
        std::string dest;
        if (inet != w.end() && inet + 1 != w.end()) {
            dest = *(inet + 1);
        } else {
            size_t k = 0;
            if (std::find(std::begin(types), std::end(types), w[0]) != std::end(types))
                k = 1;
            if (k < w.size())
                dest = w[k];
        }
        if (dest == "default")
            continue;
        if (const auto p = parse_prefix(dest); p && p->len > 0)
            out.push_back(*p);
    }
    return out;
}

std::optional<prefix4> pick_subnet(const std::vector<prefix4>& taken)
{
    static constexpr const char* ranges[] = {"100.64.0.0/10", "10.0.0.0/8", "172.16.0.0/12",
                                             "192.168.0.0/16"};
    for (const char* r : ranges) {
        const prefix4 range = *parse_prefix(r);
        const uint64_t end = uint64_t{range.addr} + (uint64_t{1} << (32 - range.len));
        uint64_t at = range.addr;
        while (at < end) {
            const prefix4 cand{static_cast<uint32_t>(at), 30};
            uint64_t next = at + 4;
            bool free = true;
            for (const prefix4& t : taken) {
                if (overlap(cand, t)) {
                    free = false;
                    // Past the end of the taken prefix (when larger than /30).
                    const uint64_t t_end = uint64_t{t.addr} + (uint64_t{1} << (32 - t.len));
                    next = std::max(next, t_end);
                }
            }
            if (free)
                return cand;
            at = next;
        }
    }
    return std::nullopt;
}

resolv_plan plan_resolv(std::string_view host, std::string_view upstream)
{
    resolv_plan plan;
    std::string kept, dropped_servers;
    bool any_server = false, usable = false;
    size_t pos = 0;
    while (pos < host.size()) {
        size_t nl = host.find('\n', pos);
        if (nl == std::string_view::npos)
            nl = host.size();
        const std::string line(host.substr(pos, nl - pos));
        pos = nl + 1;
        const std::vector<std::string> w = words(line);
        if (w.size() >= 2 && w[0] == "nameserver") {
            any_server = true;
            if (loopback_or_v6(w[1])) {
                dropped_servers += (dropped_servers.empty() ? "" : ", ") + w[1];
                plan.changed = true;
                continue;
            }
            usable = true;
        }
        kept += line + "\n";
    }
    if (!any_server || usable) {
        plan.text = plan.changed ? kept : std::string(host);
        return plan;
    }
    // Only unreachable servers: those the local stub resolver forwards to.
    std::string servers;
    pos = 0;
    while (pos < upstream.size()) {
        size_t nl = upstream.find('\n', pos);
        if (nl == std::string_view::npos)
            nl = upstream.size();
        const std::vector<std::string> w = words(upstream.substr(pos, nl - pos));
        pos = nl + 1;
        if (w.size() >= 2 && w[0] == "nameserver" && !loopback_or_v6(w[1]))
            servers += "nameserver " + w[1] + "\n";
    }
    if (!servers.empty()) {
        plan.text = servers + kept;
        return plan;
    }
    plan.text = std::string(host);
    plan.changed = false;
    plan.warning = "the host's resolver (" + dropped_servers +
                   ") is on its loopback or IPv6, which the command's namespace cannot reach, and no "
                   "upstream server is known: names may not resolve inside";
    return plan;
}

}  // namespace cshell
