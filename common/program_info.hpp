// What every program answers to --help and --version.
#pragma once

#include <cstdio>

namespace common {

enum class info_request { none, help, version };

// The first --help or --version among the words getopt would read as
// options with optstring: neither an option's argument nor a word after
// "--" counts, nor, when optstring starts with '+', a word after the first
// operand.  The programs look for them before getopt, which knows only
// short options and would take "--help" for a bad option.
info_request find_info_request(int argc, char* const* argv, const char* optstring);

// The version of the build, and the git description of the tree it was
// configured from (empty when there was none).
const char* project_version();
const char* project_git_description();

// "PROGRAM VERSION (git DESCRIPTION)" on out.
void print_version(const char* program, std::FILE* out);

}  // namespace common
