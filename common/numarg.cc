#include "common/numarg.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log.hpp"

namespace common {

const unit_entry time_units[] = {
    {"", 1e9}, {"n", 1}, {"u", 1e3}, {"m", 1e6}, {"s", 1e9}, {nullptr, 0},
};
const unit_entry rate_units[] = {
    {"", 1}, {"kK", 1e3}, {"mM", 1e6}, {"gG", 1e9}, {nullptr, 0},
};
const unit_entry size_units[] = {
    {"", 1}, {"kK", 1024.0}, {"mM", 1048576.0}, {"gG", 1073741824.0}, {nullptr, 0},
};

double parse_gen(const char* text, const unit_entry* table, int* error)
{
    if (error)
        *error = 0;
    if (!text) {
        if (error)
            *error = 1;
        return 0;
    }
    char* end = nullptr;
    double v = std::strtod(text, &end);
    if (end == text) {
        log_msg("bad argument %s\n", text);
        if (error)
            *error = 1;
        return 0;
    }
    if (!table) {
        if (*end != '\0') {
            log_msg("bad suffix %s\n", end);
            if (error)
                *error = 1;
            return 0;
        }
        return v;
    }
    // Only the first character after the number picks the row; the
    // terminating NUL belongs to every row's set, so it takes the first row.
    const char c = *end;
    for (const unit_entry* row = table; row->chars; ++row) {
        if (c == '\0' || std::strchr(row->chars, c))
            return v * row->mult;
    }
    if (error)
        *error = 1;
    return 0;
}

uint64_t to_count(double value, int error)
{
    // !(value >= 0) also catches nan.
    if (error || !(value >= 0.0) || value >= 18446744073709551616.0)
        return invalid_count;
    return static_cast<uint64_t>(value);
}

uint64_t parse_count(const char* text, const unit_entry* table)
{
    int err = 0;
    double v = parse_gen(text, table, &err);
    return to_count(v, err);
}

namespace {

bool is_separator(unsigned char c)
{
    return c == '\0' || c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == ',';
}

}  // namespace

char** split_args_or_exit(const char* text, int* count)
{
    if (!text) {
        if (count)
            *count = 0;
        return nullptr;
    }
    const size_t len = std::strlen(text);
    int words = 0;
    bool in_word = false;
    for (size_t i = 0; i < len; ++i) {
        bool sep = is_separator(static_cast<unsigned char>(text[i]));
        if (!sep && !in_word)
            ++words;
        in_word = !sep;
    }
    const size_t ptr_bytes = (static_cast<size_t>(words) + 2) * sizeof(char*);
    void* block = std::calloc(1, ptr_bytes + len + 1);
    if (!block) {
        log_tagged_as("split_args", "out of memory splitting '%s'\n", text);  // the tag the line is known by
        std::exit(1);
    }
    char** av = static_cast<char**>(block);
    char* copy = static_cast<char*>(block) + ptr_bytes;
    std::memcpy(copy, text, len + 1);
    int k = 0;
    in_word = false;
    for (size_t i = 0; i < len; ++i) {
        bool sep = is_separator(static_cast<unsigned char>(copy[i]));
        if (!sep && !in_word)
            av[k++] = copy + i;
        if (sep && in_word)
            copy[i] = '\0';
        in_word = !sep;
    }
    av[words] = nullptr;
    av[words + 1] = copy;
    if (verbose >= 3) {
        for (int i = 0; i < words; ++i) {
            char line[512];
            int n = std::snprintf(line, sizeof line, "%d: <%s>\n", i, av[i]);
            if (n > 0) {
                size_t w = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
                log_line(line, w);
            }
        }
    }
    if (count)
        *count = words;
    return av;
}

char* scaled_str(uint64_t value, char* buf)
{
    static constexpr const char* units[] = {"", "K", "M", "G", "T"};
    double v = static_cast<double>(value);
    int u = 0;
    if (value >= 1000) {
        v /= 1000.0;
        u = 1;
        while (v >= 1000.0 && u < 4) {
            v /= 1000.0;
            ++u;
        }
    }
    std::snprintf(buf, 32, "%.3f %s", v, units[u]);
    return buf;
}

}  // namespace common
