// The stop signals of an owner: SIGINT, SIGTERM and SIGHUP set abort_flag.
#include <csignal>

#include "corvo/options.hpp"

using namespace common;
using namespace pipes;

namespace corvo {

namespace {

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

// The first stop signal asks for the clean end; the defaults it puts back
// let a second one end the process at once.
extern "C" void on_stop_signal(int)
{
    abort_flag.store(1, std::memory_order_relaxed);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig : stop_signals)
        sigaction(sig, &dfl, nullptr);
}

}  // namespace

void install_stop_signals()
{
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : stop_signals)
        sigaddset(&sa.sa_mask, sig);
    for (int sig : stop_signals)
        sigaction(sig, &sa, nullptr);
}

}  // namespace corvo
