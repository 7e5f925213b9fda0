#include "common/std_fds.hpp"
#include "wenlo/replay.hpp"

int main(int argc, char** argv) {
    // Before the capture or a port is opened, so that neither can take the
    // place of standard error.
    if (!std_fds_open())
        return 1;
    return wenlo::wenlo_run(argc, argv);
}
