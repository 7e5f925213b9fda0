// The session file: roles by record locks, publication, the stop command
// and the acknowledgement guard (see corvo/session_file.hpp).
#include "corvo/session_file.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/log.hpp"

int session_fd = -1;

namespace {

// The layout mapped from this process's session file, for session_ack.
std::atomic<session_layout*> shared_layout{nullptr};

void sleep_ms(long ms)
{
    timespec ts{ms / 1000, (ms % 1000) * 1000000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

uint64_t monotonic_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// The mapping of the session file, owner's or client's, for session_sigbus.
std::atomic<session_layout*> mapped_layout{nullptr};
std::atomic<bool> mapped_by_owner{false};

// Anyone may cut the file short while it is mapped (truncate, a copy over
// it); touching a page past its new end raises SIGBUS.  When the fault lies
// in the mapping, the file gets its length back, so that the access is
// retried on a page of zeros, and the owner puts the version back.  The
// counters and instances cut off are lost, nothing else.
void session_sigbus(int, siginfo_t* info, void*)
{
    const int saved = errno;
    session_layout* l = mapped_layout.load(std::memory_order_relaxed);
    const auto* at = static_cast<const unsigned char*>(info->si_addr);
    const auto* base = reinterpret_cast<const unsigned char*>(l);
    if (l && session_fd >= 0 && at >= base && at < base + session_bytes &&
        ftruncate(session_fd, static_cast<off_t>(session_bytes)) == 0) {
        if (mapped_by_owner.load(std::memory_order_relaxed))
            std::atomic_ref<uint32_t>(l->header.version).store(session_version, std::memory_order_relaxed);
        log_tagged("session file cut short under the emulator: its length is restored\n");
        errno = saved;
        return;
    }
    // Any other bus error: the default action.
    signal(SIGBUS, SIG_DFL);
    raise(SIGBUS);
}

void watch_truncation(session_layout* l, bool owner)
{
    mapped_by_owner.store(owner, std::memory_order_relaxed);
    mapped_layout.store(l, std::memory_order_relaxed);
    struct sigaction sa{};
    sa.sa_sigaction = session_sigbus;
    sa.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGBUS, &sa, nullptr);
}

}  // namespace

[[gnu::cold]] session_map ec_map(const char* path)
{
    if (!path) {
        session_layout* l = session_private();
        if (!l)
            std::exit(1);
        return {l, session_role::owner};
    }

    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0664);
    if (fd < 0) {
        log_msg("cannot open %s: %s\n", path, strerror(errno));
        std::exit(1);
    }
    if (ftruncate(fd, static_cast<off_t>(session_bytes)) != 0) {
        log_msg("cannot truncate(%s, %zu): %s\n", path, session_bytes, strerror(errno));
        std::exit(1);
    }
    session_fd = fd;

    // The descriptor is fresh, so its offset is 0: the owner lock covers the
    // whole file and whatever lies beyond.
    session_role role = session_role::owner;
    if (lockf(fd, F_TLOCK, 0) != 0) {
        if (errno != EACCES && errno != EAGAIN) {
            log_msg("failed to lock %s: %s\n", path, strerror(errno));
            std::exit(1);
        }
        role = session_role::client;
        if (lseek(fd, static_cast<off_t>(client_area_offset), SEEK_SET) < 0) {
            log_msg("failed to skip the header of %s: %s\n", path, strerror(errno));
            std::exit(1);
        }
        // Waits until the owner has finished its start-up and no other
        // client is inside.
        int r;
        while ((r = lockf(fd, F_LOCK, 0)) != 0 && errno == EINTR) {
        }
        if (r != 0) {
            log_msg("failed to lock the client area of %s: %s\n", path, strerror(errno));
            std::exit(1);
        }
    }

    void* m = mmap(nullptr, session_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) {
        log_tagged("cannot mmap %s: %s\n", path, strerror(errno));
        std::exit(1);
    }
    auto* layout = static_cast<session_layout*>(m);
    watch_truncation(layout, role == session_role::owner);
    if (role == session_role::owner) {
        std::memset(m, 0, session_bytes);
        layout->header.version = session_version;
        shared_layout.store(layout, std::memory_order_release);
    } else if (layout->header.version != session_version) {
        log_msg("Expected version %d, got %d\n", static_cast<int>(session_version),
                static_cast<int>(layout->header.version));
        std::exit(1);
    }
    return {layout, role};
}

uint32_t spare_instance(const session_area& area) noexcept
{
    uint64_t cur = shared_word(const_cast<uint64_t&>(area.active_instance)).load(std::memory_order_acquire);
    return static_cast<uint32_t>((cur + 1) % 2);
}

bool ec_wait_ack(const session_layout& layout, int timeout_ms)
{
    auto& l = const_cast<session_layout&>(layout);
    const uint64_t deadline = monotonic_ms() + static_cast<uint64_t>(timeout_ms > 0 ? timeout_ms : 0);
    for (int d = 0; d < 2; ++d) {
        // Only this client writes active_instance now (it holds the client
        // area); the owner's producer alone writes the acknowledgement.
        const uint64_t active = shared_word(l.area[d].active_instance).load(std::memory_order_relaxed);
        for (;;) {
            // A0: pairs with R0 in session_ack.  Once the producer has
            // acknowledged `active`, it no longer reads the other instance.
            const uint64_t ack = shared_word(l.reserved.instance_ack[d]).load(std::memory_order_acquire);
            if (ack == active)
                break;
            if (monotonic_ms() >= deadline) {
                if (active >= stop_command)
                    log_msg("direction %c of the emulator is stopping; nothing published\n", "AB"[d]);
                else
                    log_msg("direction %c of the emulator has not taken instance %llu within %d ms; "
                            "nothing published\n",
                            "AB"[d], static_cast<unsigned long long>(active), timeout_ms);
                return false;
            }
            sleep_ms(1);
        }
    }
    return true;
}

void ec_publish(pipe_state& a, pipe_state& b) noexcept
{
    for (pipe_state* p : {&a, &b}) {
        shared_word active(p->session->active_instance);
        if (active.load(std::memory_order_relaxed) != p->cur_instance) {
            // The instance is complete before the index names it; the
            // producer fences after it sees the new index.
            std::atomic_thread_fence(std::memory_order_seq_cst);
            active.store(p->cur_instance, std::memory_order_release);
        }
    }
}

int ec_stop(const session_map& map)
{
    for (session_area& area : map.layout->area)
        shared_word(area.active_instance).store(stop_command, std::memory_order_relaxed);
    log_msg("exiting due to -a\n");
    if (map.role == session_role::owner)
        return 0;
    return ec_wait_owner();
}

int ec_wait_owner()
{
    if (session_fd < 0)
        return 0;
    if (lseek(session_fd, 0, SEEK_SET) < 0) {
        log_msg("failed to rewind the session file: %s\n", strerror(errno));
        return 1;
    }
    // The owner keeps bytes 0..519 locked until it exits.
    int r;
    while ((r = lockf(session_fd, F_LOCK, 0)) != 0 && errno == EINTR) {
    }
    if (r != 0) {
        log_msg("failed to lock the session file %s\n", strerror(errno));
        return 1;
    }
    return 0;
}

bool ec_release_client_area()
{
    if (session_fd < 0)
        return true;
    if (lseek(session_fd, static_cast<off_t>(client_area_offset), SEEK_SET) < 0) {
        log_msg("failed to skip the header: %s\n", strerror(errno));
        return false;
    }
    if (lockf(session_fd, F_ULOCK, 0) != 0) {
        log_msg("failed to unlock the client area: %s\n", strerror(errno));
        return false;
    }
    return true;
}

void session_ack(const pipe_state& p) noexcept
{
    session_layout* l = shared_layout.load(std::memory_order_acquire);
    if (!l)
        return;
    for (int d = 0; d < 2; ++d) {
        if (p.session == &l->area[d]) {
            // R0: every read of the instance left behind happened before.
            shared_word(l->reserved.instance_ack[d]).store(p.cur_instance, std::memory_order_release);
            return;
        }
    }
}
