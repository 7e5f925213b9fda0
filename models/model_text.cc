#include "models/model_text.hpp"

#include <cstdio>

#include "models/model_math.hpp"

using namespace pipes;

namespace models {

std::string sig4(double v)
{
    char b[32];
    std::snprintf(b, sizeof b, "%.4g", v);
    return b;
}

std::string time_text(uint64_t ns)
{
    static constexpr struct {
        uint64_t unit;
        const char* suffix;
    } units[] = {{1000000000, "s"}, {1000000, "ms"}, {1000, "us"}, {1, "ns"}};
    if (ns == 0)
        return "0";
    for (const auto& u : units) {
        if (ns % u.unit == 0)
            return std::to_string(ns / u.unit) + u.suffix;
    }
    for (const auto& u : units) {
        if (ns >= u.unit)
            return sig4(double(ns) / double(u.unit)) + u.suffix;
    }
    return std::to_string(ns) + "ns";
}

std::string rate_text(double bps)
{
    if (bps >= 1e9)
        return sig4(bps / 1e9) + "G";
    if (bps >= 1e6)
        return sig4(bps / 1e6) + "M";
    if (bps >= 1e3)
        return sig4(bps / 1e3) + "k";
    return sig4(bps);
}

std::string prob_text(uint64_t threshold)
{
    char b[32];
    std::snprintf(b, sizeof b, "%.6g", (double(threshold) + 0.5) / double(prob_scale));
    return b;
}

// Entry n is n + overhead bytes at bps, rounded down, so bps lies just
// above (n + overhead) * 8e9 / (entry + 1).  The longest entry that did not
// saturate says it best.
std::string serialiser_rate(const tx_table& t, uint32_t overhead)
{
    uint32_t n = pkt_len_entries - 1;
    while (n > 60 && t.entry[n] == UINT32_MAX)
        n /= 2;
    if (t.entry[n] == 0)
        return "0";
    return rate_text(double(n + overhead) * 8e9 / (double(t.entry[n]) + 0.5));
}

}  // namespace models
