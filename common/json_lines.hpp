// Reports as JSON lines: one object per line on a file or standard output,
// written by the statistics thread only (never by a data-path thread).
//
// Every object starts with the same envelope:
//   {"schema": 1, "program": NAME, "kind": "second"|"exit",
//    "time": wall-clock seconds since 1970, "elapsed": seconds since start}
#pragma once

#include <cstdint>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "common/lateness.hpp"

namespace common {

inline constexpr int json_schema = 1;

// Fields keep the order in which they are added.
using json_object = nlohmann::ordered_json;

// A lateness summary as reports write it: {"frames", "median", "p99",
// "max"}, the last three null when no frame was sent.
json_object lateness_json(const lateness::summary& late);

class json_lines {
public:
    json_lines() = default;
    json_lines(const json_lines&) = delete;
    json_lines& operator=(const json_lines&) = delete;
    ~json_lines();

    // path "-" is standard output; any other is created or truncated.
    // False (with errno) when it cannot be opened.  Starts the clock of
    // "elapsed".
    bool open(const char* path);
    bool is_open() const { return f_ != nullptr; }

    // The envelope of an object of this program.
    json_object envelope(const char* program, const char* kind) const;

    // One line, flushed.  False once a write has failed (reported once on
    // standard error by the caller's log).
    bool write(const json_object& object);

private:
    std::FILE* f_ = nullptr;
    bool owned_ = false;
    uint64_t start_ns_ = 0;  // monotonic clock at open
};

}  // namespace common
