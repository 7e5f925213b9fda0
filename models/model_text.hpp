// Texts of the numbers in a parameter block, as the describe functions of
// the models write them: they read back as the option words they came from.
#pragma once

#include <cstdint>
#include <string>

#include "pipe/model_contract.hpp"

namespace models {

// A number to four significant digits, without trailing zeros.
std::string sig4(double v);

// ns in the largest unit that keeps it whole, else to four digits.
std::string time_text(uint64_t ns);

// bit/s with a k, M or G suffix, to four digits.
std::string rate_text(double bps);

// A probability from its threshold against 24 random bits.
std::string prob_text(uint64_t threshold);

// The rate a serialiser's table was made for, frames of n bytes costing
// n + overhead.
std::string serialiser_rate(const pipes::tx_table& t, uint32_t overhead);

}  // namespace models
