// wenlo --help and --version.
#pragma once

#include <cstdio>

namespace wenlo {

// The full help: every option with its default and the syntax of every
// model, read from the model tables.
void print_help(std::FILE* out);

// --help or --version on wenlo's command line: printed on standard output,
// and the answer is the exit status (0); -1 when neither is there.
int help_or_version(int argc, char** argv);

}  // namespace wenlo
