// Model arithmetic that the link emulator and the replayer compute the same
// way: pure functions of their arguments, no state, no allocation.  Each
// program keeps its own tables, parameter blocks and random draws.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>

#include "common/numarg.hpp"

namespace models {

// Probabilities are thresholds against the low 24 bits of a random draw.
inline constexpr double prob_scale = 16777216.0;  // 2^24
inline constexpr uint32_t r24_mask = 0xffffff;

// (r24 * range) >> 24 with the product in 128 bits, so any 64-bit range is
// scaled exactly; the result is below range (or 0 when range is 0).
inline uint64_t scale_r24(uint32_t r24, uint64_t range) noexcept
{
    return static_cast<uint64_t>((static_cast<unsigned __int128>(r24) * range) >> 24);
}

// A probability from one word, parsed by the program's own number reader:
// a plain number (no suffix) with 0 <= p <= 1; nan fails.
using number_reader = double(const char* text, const common::unit_entry* table, int* error);
inline bool parse_prob(number_reader* read, const char* word, double& p)
{
    int err = 0;
    p = read(word, nullptr, &err);
    return !err && p >= 0.0 && p <= 1.0;
}

// p * 2^24 truncated; p is already known to lie in [0, 1].
inline uint64_t prob_threshold(double p) noexcept { return static_cast<uint64_t>(p * prob_scale); }

// Bit error table: entry n is the chance, times 2^24, that at least one of
// the 8n bits of an n-byte packet is hit, 1 - (1 - ber)^(8n), built as a
// running product of q8 = (1 - ber)^8 (three squarings) and capped at
// 2^24 - 1, so even ber = 1 lets one packet in 2^24 through.
inline void ber_table(double ber, std::span<uint32_t> entry) noexcept
{
    double q8 = 1.0 - ber;
    q8 *= q8;
    q8 *= q8;
    q8 *= q8;
    double intact = 1.0;  // chance that n bytes have no bit error
    for (uint32_t& e : entry) {
        const uint64_t v = static_cast<uint64_t>((1.0 - intact) * prob_scale);
        e = static_cast<uint32_t>(std::min<uint64_t>(v, r24_mask));
        intact *= q8;
    }
}

// Time to serialise `bytes` at `bps`: bytes * 8e9 / bps ns, truncated, with
// the product in 128 bits; 0 for a rate of 0 (an unlimited link); a quotient
// beyond 64 bits saturates.
inline uint64_t serialise_ns(uint64_t bytes, uint64_t bps) noexcept
{
    if (bps == 0)
        return 0;
    const unsigned __int128 t = static_cast<unsigned __int128>(bytes) * 8000000000u / bps;
    return t > ~uint64_t{0} ? ~uint64_t{0} : static_cast<uint64_t>(t);
}

// Queue limit in bytes the constant rate models propose (qsize_hint) where
// none is set.
inline constexpr uint64_t serialiser_qsize = 50000;

// Which logarithm an exponential table takes: the emulator's exp delay has
// mean davg - dmin in its exponential part (natural), the replayer's keeps
// its historical base-2 table.
enum class exp_base { natural, two };

// The inverse of dmin plus an exponential part of scale davg - dmin, sampled
// at entry.size() equally likely points: entry i = dmin - s * log((n - i) / n).
// False when an entry would not fit 64 bits (the table is then incomplete).
inline bool exp_table(uint64_t dmin, uint64_t davg, exp_base base, std::span<uint64_t> entry) noexcept
{
    const double d = static_cast<double>(dmin);
    const double s = static_cast<double>(davg - dmin);
    const auto n = static_cast<double>(entry.size());
    for (std::size_t i = 0; i < entry.size(); ++i) {
        const double x = (n - static_cast<double>(i)) / n;
        const uint64_t v =
            common::to_count(d - s * (base == exp_base::natural ? std::log(x) : std::log2(x)), 0);
        if (v == common::invalid_count)
            return false;
        entry[i] = v;
    }
    return true;
}

}  // namespace models
