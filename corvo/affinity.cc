// Thread placement: one CPU, raised process priority, round-robin
// real-time scheduling.  Every failure is logged and then ignored.
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>

#include "common/log.hpp"
#include "corvo/datapath.hpp"

using namespace common;
using namespace pipes;

namespace corvo {

namespace {
constexpr int cpu_set_cpus = 1024;
}

void thread_timer_slack() { prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); }

void setaffinity(int cpu)
{
    if (cpu == -1)
        return;
    if (cpu < 0 || cpu >= cpu_set_cpus) {
        // Not in the 1024-CPU set: the thread keeps its placement.
        log_msg("Unable to set affinity to cpu %d: %s\n", cpu, strerror(EINVAL));
    } else {
        cpu_set_t set;
        static_assert(sizeof(set) * 8 == cpu_set_cpus);
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        const int err = pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
        if (err != 0)
            log_msg("Unable to set affinity to cpu %d: %s\n", cpu, strerror(err));
    }
    if (setpriority(PRIO_PROCESS, 0, -10) != 0)
        log_msg("Unable to set priority: %s\n", strerror(errno));
    int prio = sched_get_priority_max(SCHED_RR);
    if (prio < 0) {
        log_msg("Unable to retrieve max RR priority, using 10\n");
        prio = 10;
    }
    sched_param sp{};
    sp.sched_priority = prio;
    if (sched_setscheduler(0, SCHED_RR, &sp) != 0)
        log_msg("Unable to set scheduler: %s\n", strerror(errno));
}

}  // namespace corvo
