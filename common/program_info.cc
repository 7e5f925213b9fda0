// --help and --version: finding them on a command line, and the version the
// build was given (PROJECT_VERSION_TEXT and PROJECT_GIT_TEXT are compile
// definitions of this file only, so a new description rebuilds nothing else).
#include "common/program_info.hpp"

#include <cstring>

namespace common {

#ifndef PROJECT_VERSION_TEXT
#define PROJECT_VERSION_TEXT "unknown"
#endif
#ifndef PROJECT_GIT_TEXT
#define PROJECT_GIT_TEXT ""
#endif

info_request find_info_request(int argc, char* const* argv, const char* optstring)
{
    // A leading '+' stops getopt at the first operand; ':' only changes its
    // messages.
    const bool stop_at_operand = *optstring == '+';
    for (int k = 1; k < argc; ++k) {
        const char* w = argv[k];
        if (std::strcmp(w, "--") == 0)
            break;
        if (std::strcmp(w, "--help") == 0)
            return info_request::help;
        if (std::strcmp(w, "--version") == 0)
            return info_request::version;
        if (w[0] != '-' || w[1] == '\0') {
            if (stop_at_operand)
                break;
            continue;  // an operand, which getopt moves past, or "-"
        }
        if (w[1] == '-')
            continue;  // another long word
        // A cluster of short options: the first one taking an argument takes
        // the rest of the word, or the next word when nothing is left.
        for (const char* c = w + 1; *c; ++c) {
            const char* o = std::strchr(optstring, *c);
            if (o && *c != ':' && o[1] == ':') {
                if (c[1] == '\0')
                    ++k;
                break;
            }
        }
    }
    return info_request::none;
}

const char* project_version() { return PROJECT_VERSION_TEXT; }
const char* project_git_description() { return PROJECT_GIT_TEXT; }

void print_version(const char* program, std::FILE* out)
{
    if (*project_git_description())
        std::fprintf(out, "%s %s (git %s)\n", program, project_version(), project_git_description());
    else
        std::fprintf(out, "%s %s\n", program, project_version());
}

}  // namespace common
