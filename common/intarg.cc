#include "common/intarg.hpp"

#include <cerrno>
#include <climits>

#include "common/numarg.hpp"

namespace common {

int int_arg(const char* text)
{
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, 10);  // saturates on overflow
    if (v < INT_MIN)
        return INT_MIN;
    if (v > INT_MAX)
        return INT_MAX;
    return static_cast<int>(v);
}

bool whole_integer(const char* text, long long& v)
{
    char* end = nullptr;
    errno = 0;
    v = std::strtoll(text, &end, 10);
    return end != text && *end == '\0' && errno == 0;
}

bool whole_unsigned(const char* text, uint64_t& v)
{
    // strtoull would take blanks and a sign, and wrap " -5".
    if (text == nullptr || *text < '0' || *text > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long x = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != 0)
        return false;
    v = x;
    return true;
}

cpu_list parse_cpu_list(const char* text, const cpu_list_rules& rules)
{
    cpu_list out;
    int n = 0;
    out.words.reset(split_args_or_exit(text, &n));
    if (n != 1 && n != 2 && n != 4) {
        out.error = cpu_list_error::count;
        return out;
    }
    const auto in_range = [&](long long c) { return c == -1 || (c >= 0 && c <= rules.max_cpu); };
    long long v[4];
    for (int k = 0; k < n; ++k) {
        if (!rules.whole_words) {
            v[k] = int_arg(out.word(k));
            if (!in_range(v[k])) {
                out.error = cpu_list_error::range;
                out.bad = k;
                return out;
            }
        } else if (!whole_integer(out.word(k), v[k])) {
            out.error = cpu_list_error::word;
            out.bad = k;
            return out;
        }
    }
    const auto plus = [](long long a, long long b) { return a > LLONG_MAX - b ? LLONG_MAX : a + b; };
    long long* c = out.cpu;
    if (n == 1) {
        c[0] = v[0], c[1] = plus(v[0], 1), c[2] = plus(v[0], 2), c[3] = plus(v[0], 3);
    } else if (n == 2) {
        c[0] = v[0], c[1] = plus(v[0], 1), c[2] = v[1], c[3] = plus(v[1], 1);
    } else {
        c[0] = v[0], c[1] = v[1], c[2] = v[2], c[3] = v[3];
    }
    if (rules.whole_words) {
        for (int k = 0; k < 4; ++k) {
            if (!in_range(c[k])) {
                out.error = cpu_list_error::range;
                out.bad = k;
                return out;
            }
        }
    }
    return out;
}

}  // namespace common
