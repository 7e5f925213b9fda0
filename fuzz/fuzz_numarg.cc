// parse_gen (both programs' variants) and split_args_or_exit on arbitrary text.
//
// Input: byte 0 picks the unit table (time, rate, size, none); the rest is
// the text.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/numarg.hpp"
#include "fuzz_util.hpp"
#include "wenlo/models.hpp"

using namespace common;

namespace {

bool separator(char c) { return c == '\0' || c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == ','; }

void check_parse(const char* text, const unit_entry* table)
{
    int err = 7;
    const double v = parse_gen(text, table, &err);
    FUZZ_CHECK(err == 0 || err == 1);
    if (err)
        FUZZ_CHECK(v == 0.0);
    const uint64_t c = to_count(v, err);
    if (err || std::isnan(v) || v < 0 || v >= 18446744073709551616.0)
        FUZZ_CHECK(c == invalid_count);
    FUZZ_CHECK(parse_count(text, table) == c);

    err = 7;
    const double w = wenlo::parse_gen(text, table, &err);
    FUZZ_CHECK(err == 0 || err == 1);
    if (err)
        FUZZ_CHECK(w == 0.0);
    (void)parse_gen(text, table, nullptr);  // no error word: must not write one
}

void check_split(const std::string& text)
{
    int count = -1;
    char** words = split_args_or_exit(text.c_str(), &count);
    FUZZ_CHECK(words != nullptr && count >= 0);
    // The words in order, each a maximal run of non-separators of the text.
    size_t at = 0;
    const size_t n = std::strlen(text.c_str());
    for (int i = 0; i < count; ++i) {
        const char* w = words[i];
        FUZZ_CHECK(w != nullptr && *w != '\0');
        while (at < n && separator(text[at]))
            ++at;
        const size_t len = std::strlen(w);
        FUZZ_CHECK(at + len <= n && std::memcmp(text.data() + at, w, len) == 0);
        at += len;
        FUZZ_CHECK(at == n || separator(text[at]));
    }
    while (at < n && separator(text[at]))
        ++at;
    FUZZ_CHECK(at == n);
    FUZZ_CHECK(words[count] == nullptr);
    std::free(words);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = (fuzz::quiet_logs(), true);
    (void)quiet;
    if (size == 0)
        return 0;
    static const unit_entry* const tables[] = {time_units, rate_units, size_units, nullptr};
    const unit_entry* table = tables[data[0] % 4];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    check_parse(text.c_str(), table);
    check_split(text);
    int none = -1;
    FUZZ_CHECK(split_args_or_exit(nullptr, &none) == nullptr);
    return 0;
}
