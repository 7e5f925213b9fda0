// The machine's own timing floor, beside which the delay and gap figures
// are read: how late a sleeping thread wakes from a timer, how long a
// futex wake takes to reach a sleeping thread, what a clock read costs.
// Prints one JSON object.  Unplaced, normal priority, timer slack 1 ns (as
// corvo's and wenlo's threads in the scenario benchmarks).
#include <linux/futex.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

uint64_t now_ns()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
}

struct quantiles {
    double median, p99, max;
};

quantiles quantiles_of(std::vector<uint64_t> v)
{
    if (v.empty())
        return {0, 0, 0};
    std::sort(v.begin(), v.end());
    return {double(v[v.size() / 2]), double(v[v.size() * 99 / 100]), double(v.back())};
}

// Sleeps of 100 us to an absolute time for `seconds`: lateness of each.
quantiles timer_lateness(double seconds)
{
    std::vector<uint64_t> late;
    const uint64_t end = now_ns() + uint64_t(seconds * 1e9);
    while (now_ns() < end) {
        const uint64_t due = now_ns() + 100000;
        const timespec ts{time_t(due / 1000000000u), long(due % 1000000000u)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
        late.push_back(now_ns() - due);
    }
    return quantiles_of(std::move(late));
}

// One thread sleeps on a futex word; the other changes it every 100 us and
// wakes it: time from the change to the sleeper running.
quantiles futex_wake(int rounds)
{
    std::atomic<uint32_t> word{0}, waiting{0};
    std::atomic<uint64_t> stamp{0};
    std::atomic<bool> done{false};
    std::vector<uint64_t> lat;
    lat.reserve(size_t(rounds));
    std::thread sleeper([&] {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        uint32_t seen = 0;
        while (!done.load()) {
            waiting.store(1);
            const uint32_t w = word.load();  // seq_cst: ordered after the store above
            if (w != seen) {
                waiting.store(0);
                lat.push_back(now_ns() - stamp.load());
                seen = w;
                continue;
            }
            const timespec ts{0, 10000000};
            syscall(SYS_futex, &word, FUTEX_WAIT_PRIVATE, w, &ts, nullptr, 0);
            waiting.store(0);
        }
    });
    for (int i = 0; i < rounds; ++i) {
        const timespec gap{0, 100000};
        nanosleep(&gap, nullptr);
        stamp.store(now_ns());
        word.fetch_add(1);
        if (waiting.load() != 0)
            syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    }
    usleep(20000);
    done.store(true);
    word.fetch_add(1);
    syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    sleeper.join();
    return quantiles_of(std::move(lat));
}

double clock_read_ns()
{
    const int n = 2000000;
    uint64_t sink = 0;
    const uint64_t t0 = now_ns();
    for (int i = 0; i < n; ++i)
        sink += now_ns();
    const uint64_t t1 = now_ns();
    return sink == 0 ? 0 : double(t1 - t0) / n;
}

}  // namespace

int main()
{
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    const quantiles t = timer_lateness(3.0);
    const quantiles f = futex_wake(5000);
    const double c = clock_read_ns();
    std::printf(
        "{\"name\":\"machine_floor\",\"timer_late_ns\":{\"median\":%.0f,\"p99\":%.0f,\"max\":%.0f},"
        "\"futex_wake_ns\":{\"median\":%.0f,\"p99\":%.0f,\"max\":%.0f},\"clock_read_ns\":%.1f}\n",
        t.median, t.p99, t.max, f.median, f.p99, f.max, c);
    return 0;
}
