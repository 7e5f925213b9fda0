// corvo: a two-port link emulator.  Everything but this file lives in the
// library corvo_state, so that the tests can reach it.
#include "common/std_fds.hpp"
#include "corvo/help.hpp"
#include "corvo/options.hpp"

using namespace common;
using namespace pipes;
using namespace corvo;

int main(int argc, char** argv)
{
    // Before anything is opened: the session file or a link segment must
    // never become standard error.
    if (!std_fds_open())
        return 1;
    if (const int r = corvo_help_or_version(argc, argv); r >= 0)
        return r;
    return corvo_run(argc, argv);
}
