// Integer and CPU-list arguments of both programs and the probe.
//
// One overflow rule: a number is never wrapped.  A whole-word reading
// refuses a number beyond its type; an atoi-like reading saturates to the
// nearest end of the int range; sums of CPU numbers saturate.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace common {

// The leading integer of text as atoi reads it (leading blanks, a sign,
// digits; anything after ignored; no digits give 0), saturated to the int
// range.
int int_arg(const char* text);

// A whole word as a signed decimal integer (the leading blanks and sign
// strtoll takes, nothing after the digits).  False when it is not one or
// lies beyond the long long range.
bool whole_integer(const char* text, long long& v);

// A whole word as an unsigned decimal integer: false for a null or empty
// text, one that does not start with a digit (a blank or a sign), anything
// after the digits, or a number beyond the uint64_t range.
bool whole_unsigned(const char* text, uint64_t& v);

// How a CPU list (-C) reads its numbers: the programs differ.
struct cpu_list_rules {
    // True: each word must be a whole integer (whole_integer), and the
    // range is checked on the four CPUs the words expand to.  False: each
    // word gives its leading integer (int_arg, never refused), and the range
    // is checked on each number as given.
    bool whole_words;
    int max_cpu;  // a CPU is -1 (not placed) or 0 to max_cpu
};

enum class cpu_list_error {
    none,
    count,  // not 1, 2 or 4 words
    word,   // word `bad` is not an integer
    range,  // word `bad` (numbers read atoi-like) or CPU `bad` (whole words) is out of range
};

struct cpu_list {
    struct words_free {
        void operator()(char** p) const { std::free(p); }
    };

    cpu_list_error error = cpu_list_error::none;
    int bad = -1;
    // One CPU per thread: 1 word v gives v, v+1, v+2, v+3; 2 words a,b give
    // a, a+1, b, b+1; 4 words are taken as they are.
    long long cpu[4] = {};
    std::unique_ptr<char*, words_free> words;  // from split_args_or_exit, for messages

    const char* word(int k) const { return words.get()[k]; }
};

// Splits text as split_args_or_exit does and reads 1, 2 or 4 CPU numbers.  Logs
// nothing: the caller says what was wrong in its own words.
cpu_list parse_cpu_list(const char* text, const cpu_list_rules& rules);

}  // namespace common
