// corvo's top-level run: the options, then the owner's start-up.
#include <csignal>

#include "common/log.hpp"
#include "corvo/options.hpp"

using namespace common;
using namespace pipes;

namespace corvo {

int corvo_run(int argc, char** argv)
{
    // Shared with the threads until the process ends: never destroyed
    // before them (its destructor is trivial).
    static corvo_config cfg{};
    // A standard error whose reader is gone fails a write (a lost log line)
    // instead of ending the emulator.
    std::signal(SIGPIPE, SIG_IGN);
    const int r = corvo_options(cfg, argc, argv);
    if (r != go_on)
        return r;
    // From here on no thread waits on standard error but the log's writer.
    log_start_writer();
    return corvo_owner(cfg);
}

}  // namespace corvo
