#include "common/std_fds.hpp"
#include "wenlo/help.hpp"
#include "wenlo/replay.hpp"

using namespace common;

int main(int argc, char** argv)
{
    // Before the capture or a port is opened, so that neither can take the
    // place of standard error.
    if (!std_fds_open())
        return 1;
    if (const int r = wenlo::help_or_version(argc, argv); r >= 0)
        return r;
    return wenlo::wenlo_run(argc, argv);
}
