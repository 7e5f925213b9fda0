// Numbers with unit suffixes, word splitting and scaled counts.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace common {

struct unit_entry {
    const char* chars;  // accepted suffix characters; null ends the table
    double mult;
};

// Nanoseconds; a bare number is seconds; suffixes n u m s (lower case only).
extern const unit_entry time_units[];
// Bits per second, 1000-based; suffixes kK mM gG.
extern const unit_entry rate_units[];
// Bytes, 1024-based; suffixes kK mM gG.
extern const unit_entry size_units[];

// A number from the start of text with an optional unit suffix looked up in
// table (or none allowed when table is null).  On failure *error = 1 (when
// error is given) and the result is 0; error is set to 0 on entry.
double parse_gen(const char* text, const unit_entry* table, int* error);

// The all-ones count stands for "invalid".
inline constexpr uint64_t invalid_count = ~uint64_t{0};

// A parsed double as a count, truncated toward zero.  A failed parse, a
// negative value, one not below 2^64, infinity or nan give invalid_count.
uint64_t to_count(double value, int error);

// parse_gen followed by to_count.
uint64_t parse_count(const char* text, const unit_entry* table);

// Splits text into words at NUL, tab, LF, CR, blank and comma.  Returns one
// allocation (free() it): words, a null, a pointer to the private copy of the
// text.  A null text returns null.  *count gets the number of words.
char** split_args_or_exit(const char* text, int* count);

// Owner of what split_args_or_exit returns.
struct split_words_free {
    void operator()(char** words) const noexcept { std::free(words); }
};
using split_words = std::unique_ptr<char*, split_words_free>;

// "%.3f %s" with 1000-based unit letters "", K, M, G, T; returns buf.
char* scaled_str(uint64_t value, char* buf);

}  // namespace common
