// Table builders and file readers of the distribution and trace models.
#include "models/model_tables.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/intarg.hpp"
#include "common/log.hpp"
#include "common/numarg.hpp"

using namespace common;

namespace models {

namespace {

constexpr double inv_sqrt_2pi = 0.39894228040143267794;

double std_pdf(double z) { return std::isinf(z) ? 0.0 : inv_sqrt_2pi * std::exp(-0.5 * z * z); }
double std_cdf(double z) { return 0.5 * std::erfc(-z * 0.70710678118654752440); }

// The standard normal quantile of u in (0, 1), by bisection.
double std_quantile(double u)
{
    double lo = -40, hi = 40;
    for (int k = 0; k < 200 && hi - lo > 1e-15; ++k) {
        const double mid = 0.5 * (lo + hi);
        (std_cdf(mid) < u ? lo : hi) = mid;
    }
    return 0.5 * (lo + hi);
}

double probability(uint64_t threshold) { return static_cast<double>(threshold) / prob_scale; }

// The word as a message shows it: quoted, cut after 40 characters.
std::string quoted(std::string_view s)
{
    std::string q(1, '\'');
    q.append(s.substr(0, 40));
    q.append(s.size() > 40 ? "...'" : "'");
    return q;
}

// The whole file as text: false (err set) when it cannot be opened or read,
// is not a regular file, is empty, longer than max_file_bytes, or holds a
// byte no text file has (NUL, other control characters than tab, CR, LF).
bool read_text(const char* path, std::string& text, std::string& err)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        err = std::string("cannot open ") + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = false;
    if (fstat(fd, &st) != 0) {
        err = std::string("cannot stat ") + path + ": " + std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        err = std::string(path) + " is not a regular file";
    } else if (static_cast<uint64_t>(st.st_size) > max_file_bytes) {
        err = std::string(path) + " is too long: " + std::to_string(st.st_size) + " bytes, the limit is " +
              std::to_string(max_file_bytes);
    } else {
        text.resize(static_cast<size_t>(st.st_size));
        size_t got = 0;
        ok = true;
        while (got < text.size()) {
            const ssize_t r = read(fd, text.data() + got, text.size() - got);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0) {
                err =
                    std::string("cannot read ") + path + ": " + (r < 0 ? std::strerror(errno) : "cut short");
                ok = false;
                break;
            }
            got += static_cast<size_t>(r);
        }
    }
    close(fd);
    if (!ok)
        return false;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7f) {
            err = std::string(path) + " is not a text file";
            return false;
        }
    }
    return true;
}

// Calls fn(line_number, word) for each line that holds something besides a
// comment; false (err set) at a line of more than one word or when fn fails.
template <typename Fn>
bool for_each_value(const char* path, const std::string& text, std::string& err, Fn&& fn)
{
    std::string_view rest(text);
    for (uint64_t line = 1; !rest.empty(); ++line) {
        const size_t nl = rest.find('\n');
        std::string_view l = rest.substr(0, nl);
        rest = nl == std::string_view::npos ? std::string_view{} : rest.substr(nl + 1);
        l = l.substr(0, l.find('#'));
        const size_t b = l.find_first_not_of(" \t\r");
        if (b == std::string_view::npos)
            continue;
        l = l.substr(b, l.find_last_not_of(" \t\r") + 1 - b);
        if (l.find_first_of(" \t\r") != std::string_view::npos) {
            err = std::string(path) + " line " + std::to_string(line) + ": " + quoted(l) +
                  " is more than one value";
            return false;
        }
        const std::string word(l);
        std::string why;
        if (!fn(word, why)) {
            err = std::string(path) + " line " + std::to_string(line) + ": " + quoted(l) + " " + why;
            return false;
        }
    }
    return true;
}

}  // namespace

double ge_loss_ratio(const ge_state& s) noexcept
{
    const double p = probability(s.p_gb), r = probability(s.p_bg);
    if (p + r == 0)
        return probability(s.loss_good);
    return std::min(1.0, (p * probability(s.loss_bad) + r * probability(s.loss_good)) / (p + r));
}

double markov_loss_ratio(const markov_state& s) noexcept
{
    const double p13 = probability(s.p13), p14 = probability(s.p13_14) - p13;
    const double p31 = probability(s.p31), p32 = probability(s.p31_32) - p31;
    const double p23 = probability(s.p23);
    if (p13 == 0)
        return p14 / (1 + p14);  // 1 and 4 only
    if (p31 == 0) {              // 1 is left for good: the class {2, 3}
        if (p32 == 0)
            return 1;
        return p23 == 0 ? 0 : p23 / (p23 + p32);
    }
    if (p32 != 0 && p23 == 0)
        return 0;  // 2 absorbs
    // Weights relative to state 1: 3 = p13/p31, 2 = 3 * p32/p23, 4 = p14.
    const double w3 = p13 / p31, w2 = p32 == 0 ? 0 : w3 * p32 / p23, w4 = p14;
    return (w3 + w4) / (1 + w2 + w3 + w4);
}

bool normal_table(uint64_t mean, uint64_t sigma, std::span<uint64_t> entry) noexcept
{
    const auto n = static_cast<double>(entry.size());
    const auto mu = static_cast<double>(mean), sd = static_cast<double>(sigma);
    // Below z0 a draw is negative and counts as 0.
    const double z0 = sigma == 0 ? 0 : -mu / sd;
    const double u0 = std_cdf(z0);
    double a = -INFINITY;
    for (size_t i = 0; i < entry.size(); ++i) {
        const double ub = static_cast<double>(i + 1) / n;
        const double b = i + 1 == entry.size() ? INFINITY : std_quantile(ub);
        double v;
        if (sigma == 0) {
            v = mu;
        } else if (b <= z0) {
            v = 0;
        } else {
            const double ua = std::max(static_cast<double>(i) / n, u0);
            const double a0 = std::max(a, z0);
            v = n * (mu * (ub - ua) + sd * (std_pdf(a0) - std_pdf(b)));
        }
        const uint64_t c = to_count(std::max(v, 0.0), 0);
        if (c == invalid_count)
            return false;
        entry[i] = c;
        a = b;
    }
    return true;
}

bool pareto_table(uint64_t min, double shape, std::span<uint64_t> entry) noexcept
{
    const auto n = static_cast<double>(entry.size());
    const double e = (shape - 1) / shape;
    const double k = static_cast<double>(min) * shape / (shape - 1) * n;
    for (size_t i = 0; i < entry.size(); ++i) {
        const double hi = std::pow(1 - static_cast<double>(i) / n, e);
        const double lo = i + 1 == entry.size() ? 0.0 : std::pow(1 - static_cast<double>(i + 1) / n, e);
        const uint64_t c = to_count(std::max(k * (hi - lo), static_cast<double>(min)), 0);
        if (c == invalid_count)
            return false;
        entry[i] = c;
    }
    return true;
}

void empirical_table(std::vector<uint64_t>& samples, std::span<uint64_t> entry)
{
    std::sort(samples.begin(), samples.end());
    const uint64_t n = samples.size(), m = entry.size();
    for (uint64_t i = 0; i < m; ++i)
        entry[i] = samples[(2 * i + 1) * n / (2 * m)];
}

bool read_dist_file(const char* path, number_reader* read, std::vector<uint64_t>& values, std::string& err)
{
    std::string text;
    if (!read_text(path, text, err))
        return false;
    values.clear();
    const bool ok = for_each_value(path, text, err, [&](const std::string& w, std::string& why) {
        if (values.size() == max_dist_values) {
            why = "is one value too many: the limit is " + std::to_string(max_dist_values);
            return false;
        }
        char* end = nullptr;
        (void)std::strtod(w.c_str(), &end);
        int e = 0;
        const uint64_t v = end == w.c_str() ? invalid_count : to_count(read(w.c_str(), time_units, &e), e);
        if (v == invalid_count) {
            why = "is not a time of 0 or more";
            return false;
        }
        values.push_back(v);
        return true;
    });
    if (ok && values.empty()) {
        err = std::string(path) + " holds no value";
        return false;
    }
    return ok;
}

bool read_trace_file(const char* path, std::span<uint8_t> count, uint32_t& period_ms, uint32_t& peak_per_ms,
                     std::string& err)
{
    std::string text;
    if (!read_text(path, text, err))
        return false;
    std::vector<uint32_t> per_ms(trace_max_ms + 1, 0);
    uint64_t last = 0, lines = 0;
    const bool ok = for_each_value(path, text, err, [&](const std::string& w, std::string& why) {
        if (w.size() > 10 || w.find_first_not_of("0123456789") != std::string::npos) {
            why = "is not a whole number of milliseconds";
            return false;
        }
        const uint64_t t = std::strtoull(w.c_str(), nullptr, 10);
        if (t < last) {
            why = "goes back from " + std::to_string(last) + " ms";
            return false;
        }
        if (t > trace_max_ms) {
            why = "is beyond the limit: a trace lasts at most " + std::to_string(trace_max_ms) + " ms";
            return false;
        }
        last = t;
        ++per_ms[t];
        ++lines;
        return true;
    });
    if (!ok)
        return false;
    if (lines == 0) {
        err = std::string(path) + " holds no opportunity";
        return false;
    }
    if (last == 0) {
        err = std::string(path) + ": the last timestamp, the period of the trace, must be at least 1 ms";
        return false;
    }
    per_ms[0] += per_ms[last];  // the end of one period is the start of the next
    peak_per_ms = 0;
    std::fill(count.begin(), count.end(), uint8_t{0});
    for (uint64_t m = 0; m < last; ++m) {
        if (per_ms[m] > trace_max_per_ms) {
            err = std::string(path) + ": " + std::to_string(per_ms[m]) + " opportunities in ms " +
                  std::to_string(m) + ", the limit is " + std::to_string(trace_max_per_ms) +
                  " per ms (3.06 Gbit/s)";
            return false;
        }
        count[m] = static_cast<uint8_t>(per_ms[m]);
        peak_per_ms = std::max(peak_per_ms, per_ms[m]);
    }
    period_ms = static_cast<uint32_t>(last);
    return true;
}

trace_cursor trace_start(uint32_t period_ms) noexcept
{
    trace_cursor c{};
    c.period = period_ms;
    c.inv = ~uint64_t{0} / period_ms;
    return c;
}

bool pareto_args(const char* const* argv, uint64_t min, double shape, int err, std::span<uint64_t> entry)
{
    if (err || !(shape > 1) || std::isinf(shape)) {
        log_msg("pareto: shape %s must be a number above 1\n", argv[2]);
        return false;
    }
    if (!pareto_table(min, shape, entry)) {
        log_msg("pareto: min %s shape %s reach beyond 64-bit ns\n", argv[1], argv[2]);
        return false;
    }
    return true;
}

namespace {

bool cell_int_arg(const char* name, const char* word, long long lo, long long hi, long long& v)
{
    if (whole_integer(word, v) && v >= lo && v <= hi)
        return true;
    log_msg("cell: %s %s must be a whole number from %lld to %lld\n", name, word, lo, hi);
    return false;
}

}  // namespace

bool cell_args(int argc, const char* const* argv, cell_spec& c)
{
    constexpr long long max_ovh = cell_max_overhead;
    long long overhead = 0, cell = 0, cell_overhead = 0;
    if (!cell_int_arg("overhead", argv[2], -max_ovh, max_ovh, overhead) ||
        (argc > 3 && !cell_int_arg("cell", argv[3], 0, cell_max_cell, cell)) ||
        (argc > 4 && !cell_int_arg("cell-overhead", argv[4], 1 - cell, max_ovh, cell_overhead)))
        return false;
    if (cell == 0 && cell_overhead != 0) {
        log_msg("cell: a cell overhead needs a cell size above 0\n");
        return false;
    }
    c = cell_spec{overhead, static_cast<uint64_t>(cell), cell_overhead};
    return true;
}

}  // namespace models
