// The long options of the replayer: rates, limits and rewriting.  Each is
// checked whole when it is read; a bad one ends the program before anything
// is loaded or sent.
#include "wenlo/run_opts.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/intarg.hpp"
#include "common/numarg.hpp"

using namespace common;

namespace wenlo {

const option long_options[] = {
    {"pps", required_argument, nullptr, opt_pps},
    {"multiplier", required_argument, nullptr, opt_multiplier},
    {"loop", required_argument, nullptr, opt_loop},
    {"limit", required_argument, nullptr, opt_limit},
    {"duration", required_argument, nullptr, opt_duration},
    {"dmac", required_argument, nullptr, opt_dmac},
    {"smac", required_argument, nullptr, opt_smac},
    {"ipmap", required_argument, nullptr, opt_ipmap},
    {"unique-ip", no_argument, nullptr, opt_unique_ip},
    {"seed", required_argument, nullptr, opt_seed},
    {"json", required_argument, nullptr, opt_json},
    {nullptr, 0, nullptr, 0},
};

namespace {

// A whole decimal count; false when malformed, "overflow" set when it is
// all digits but does not fit 64 bits.
bool parse_u64(const char* s, uint64_t& v, bool& overflow)
{
    overflow = false;
    if (whole_unsigned(s, v))
        return true;
    overflow = *s != '\0' && std::strspn(s, "0123456789") == std::strlen(s);
    return false;
}

// A positive finite number, all of the text (a k, M or G suffix when
// `units`); 0 when it is not one.
double parse_positive(const char* s, bool units)
{
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(s, &end);
    if (end == s || errno == ERANGE)
        return 0;
    if (units && *end != '\0' && end[1] == '\0') {
        switch (*end) {
        case 'k':
        case 'K':
            v *= 1e3;
            end++;
            break;
        case 'm':
        case 'M':
            v *= 1e6;
            end++;
            break;
        case 'g':
        case 'G':
            v *= 1e9;
            end++;
            break;
        default:
            break;
        }
    }
    if (*end != '\0' || !std::isfinite(v) || !(v > 0))
        return 0;
    return v;
}

}  // namespace

bool run_option(int code, const char* arg, run_args& ra, std::string& err)
{
    run_options& ro = ra.opts;
    const std::string a = arg != nullptr ? arg : "";
    uint64_t n = 0;
    bool overflow = false;
    switch (code) {
    case opt_pps: {
        const double v = parse_positive(arg, true);
        if (v == 0 || v > 1e9) {
            err = "--pps " + a + ": give a packet rate above 0 and at most 1G per second";
            return false;
        }
        if (ro.pps != 0) {
            err = "--pps given twice";
            return false;
        }
        ro.pps = v;
        return true;
    }
    case opt_multiplier: {
        const double v = parse_positive(arg, false);
        if (v == 0 || v > 1000) {
            err = "--multiplier " + a + ": give a speed-up above 0 and at most 1000";
            return false;
        }
        if (!ra.multiplier.empty()) {
            err = "--multiplier given twice";
            return false;
        }
        ra.multiplier = "real," + a;
        return true;
    }
    case opt_loop:
        if (!parse_u64(arg, n, overflow)) {
            err =
                "--loop " + a + (overflow ? ": too many passes" : ": give a count of passes, 0 for endless");
            return false;
        }
        ro.loops = n;
        return true;
    case opt_limit:
        if (!parse_u64(arg, n, overflow) || n == 0 || n == no_limit) {
            err = "--limit " + a +
                  (overflow || n == no_limit ? ": too many packets" : ": give a count of packets above 0");
            return false;
        }
        ro.limit = n;
        return true;
    case opt_duration: {
        // Seconds, or a number with a unit: s, ms, us, ns.
        char* end = nullptr;
        errno = 0;
        const double v = std::strtod(arg, &end);
        double mult = 0;
        for (const auto& [suffix, m] :
             {std::pair{"", 1e9}, {"s", 1e9}, {"ms", 1e6}, {"us", 1e3}, {"ns", 1.0}})
            if (end != arg && std::strcmp(end, suffix) == 0)
                mult = m;
        if (mult == 0 || errno == ERANGE || !std::isfinite(v)) {
            err = "--duration " + a + ": give a time as 10 (seconds), 1.5s, 500ms, 100us or 1000ns";
            return false;
        }
        const uint64_t ns = to_count(v * mult, 0);
        if (!(v > 0) || ns == 0) {
            err = "--duration " + a + ": the time must be above 0";
            return false;
        }
        if (ns == invalid_count || ns > (uint64_t{1} << 62)) {
            err = "--duration " + a + ": too long";
            return false;
        }
        ro.duration = ns;
        return true;
    }
    case opt_dmac:
    case opt_smac: {
        const bool d = code == opt_dmac;
        if (d ? ro.rewrite.set_dmac : ro.rewrite.set_smac) {
            err = std::string(d ? "--dmac" : "--smac") + " given twice";
            return false;
        }
        if (!parse_mac(arg, d ? ro.rewrite.dmac : ro.rewrite.smac, err))
            return false;
        (d ? ro.rewrite.set_dmac : ro.rewrite.set_smac) = true;
        return true;
    }
    case opt_ipmap: {
        ipv4_map m{};
        if (!parse_ipmap(arg, m, err))
            return false;
        ro.rewrite.maps.push_back(m);
        return true;
    }
    case opt_unique_ip:
        ro.rewrite.unique_ip = true;
        return true;
    default:
        err = "unknown option";
        return false;
    }
}

}  // namespace wenlo
