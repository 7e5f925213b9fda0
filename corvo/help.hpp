// corvo --help and --version.
#pragma once

#include <cstdio>

namespace corvo {

// The full help: the short usage, every option with its default, and the
// syntax of every model, read from the model tables.
void print_corvo_help(std::FILE* out);

// --help or --version on corvo's command line: printed on standard output,
// and the answer is the exit status (0); -1 when neither is there.
int corvo_help_or_version(int argc, char** argv);

}  // namespace corvo
