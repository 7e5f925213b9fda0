// Descriptors 0, 1 and 2 before a program opens anything.
//
// A program started with one of them closed (`2>&-`) would otherwise get
// that number for the first file it opens, and its log lines or a stray
// read would go to that file.
#pragma once

namespace common {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed.  False
// when one of them cannot be filled; the program should then end at once,
// with nowhere to say why.
[[nodiscard]] bool std_fds_open() noexcept;

}  // namespace common
