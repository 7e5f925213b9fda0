// The session file: roles by record locks, publication, the stop command
// and the acknowledgement guard (see corvo/session_file.hpp).
#include "corvo/session_file.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/clock.hpp"
#include "common/log.hpp"
#include "common/unique_fd.hpp"

using namespace common;
using namespace pipes;

namespace corvo {

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

// The mapping of the session file, owner's or client's, for session_sigbus.
std::atomic<session_layout*> mapped_layout{nullptr};
std::atomic<bool> mapped_by_owner{false};

// Anyone may cut the file short while it is mapped (truncate, a copy over
// it); touching a page past its new end raises SIGBUS.  When the fault lies
// in the mapping, the file gets its length back, so that the access is
// retried on a page of zeros, and the owner puts the version back.  The
// counters and instances cut off are lost, nothing else.
// The SIGBUS disposition in force before watch_truncation.
struct sigaction previous_sigbus {};

void session_sigbus(int sig, siginfo_t* info, void* ctx)
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
    // Any other bus error belongs to whoever handled SIGBUS before us (the
    // port layer guards its link segments too), else to the default action.
    errno = saved;
    if (previous_sigbus.sa_flags & SA_SIGINFO) {
        if (previous_sigbus.sa_sigaction) {
            previous_sigbus.sa_sigaction(sig, info, ctx);
            return;
        }
    } else if (previous_sigbus.sa_handler != SIG_DFL && previous_sigbus.sa_handler != SIG_IGN) {
        previous_sigbus.sa_handler(sig);
        return;
    }
    signal(SIGBUS, SIG_DFL);
    raise(SIGBUS);
}

void watch_truncation(session_layout* l, bool owner)
{
    mapped_by_owner.store(owner, std::memory_order_relaxed);
    mapped_layout.store(l, std::memory_order_relaxed);
    struct sigaction sa {};
    sa.sa_sigaction = session_sigbus;
    sa.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    struct sigaction old {};
    if (sigaction(SIGBUS, &sa, &old) == 0 && old.sa_sigaction != session_sigbus)
        previous_sigbus = old;
}

}  // namespace

namespace {

// The file as it was found when opened: empty, or holding a session.
bool file_had_session = false;
// The process's role and whether its layout is the file's mapping yet.
bool owner_of_file = false;
bool layout_is_file = false;
session_layout* file_layout = nullptr;  // the address the file is (to be) mapped at

// Names a user for a message: "name (uid N)", or "uid N" without a name.
void user_name(uid_t uid, char* out, size_t n)
{
    passwd pw{};
    passwd* found = nullptr;
    char buf[1024];
    if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found)
        std::snprintf(out, n, "%s (uid %u)", found->pw_name, static_cast<unsigned>(uid));
    else
        std::snprintf(out, n, "uid %u", static_cast<unsigned>(uid));
}

// The refusal of a file that another user owns.
void refuse_foreign(const char* path, uid_t owner)
{
    char them[160], us[160];
    user_name(owner, them, sizeof them);
    user_name(geteuid(), us, sizeof us);
    log_msg("refusing %s: it belongs to %s, not to %s\n", path, them, us);
}

// Reads or writes all n bytes at off; false on any failure.
bool pread_all(int fd, void* buf, size_t n, off_t off)
{
    auto* p = static_cast<unsigned char*>(buf);
    while (n > 0) {
        const ssize_t r = pread(fd, p, n, off);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r, n -= static_cast<size_t>(r), off += r;
    }
    return true;
}

bool pwrite_all(int fd, const void* buf, size_t n, off_t off)
{
    const auto* p = static_cast<const unsigned char*>(buf);
    while (n > 0) {
        const ssize_t r = pwrite(fd, p, n, off);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r, n -= static_cast<size_t>(r), off += r;
    }
    return true;
}

// Opens path for the session without following a symbolic link, and
// refuses (logged, -1) what is not a regular file of our own user, empty
// or of the session size.  Nothing is written to the file.
int open_session_file(const char* path)
{
    unique_fd fd(open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0664));
    if (!fd.valid()) {
        const int e = errno;
        struct stat ls {};
        if (lstat(path, &ls) == 0 && S_ISLNK(ls.st_mode))
            log_msg("refusing %s: it is a symbolic link\n", path);
        else if (e == EACCES && lstat(path, &ls) == 0 && ls.st_uid != geteuid())
            refuse_foreign(path, ls.st_uid);
        else
            log_msg("cannot open %s: %s\n", path, strerror(e));
        return -1;
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) {
        log_msg("cannot stat %s: %s\n", path, strerror(errno));
    } else if (!S_ISREG(st.st_mode)) {
        log_msg("refusing %s: not a regular file\n", path);
    } else if (st.st_uid != geteuid()) {
        refuse_foreign(path, st.st_uid);
    } else if (st.st_size != 0 && st.st_size != static_cast<off_t>(session_bytes)) {
        log_msg("refusing %s: %lld bytes is not a session file (empty or %zu bytes)\n", path,
                static_cast<long long>(st.st_size), session_bytes);
    } else {
        // A regular file: the flag only kept a FIFO or a device from
        // blocking the open.
        fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
        file_had_session = st.st_size != 0;
        return fd.release();
    }
    return -1;
}

// Waits for a lock from the descriptor's offset onwards, after one line
// naming the process that holds it when it is not free at once.
int wait_lock(int fd, const char* what, const char* path)
{
    if (lockf(fd, F_TLOCK, 0) == 0)
        return 0;
    if (errno != EACCES && errno != EAGAIN)
        return -1;
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_CUR;
    if (fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK) {
        char comm[64] = "?";
        char proc[64];
        std::snprintf(proc, sizeof proc, "/proc/%d/comm", static_cast<int>(fl.l_pid));
        if (FILE* f = std::fopen(proc, "re")) {
            if (std::fgets(comm, sizeof comm, f))
                comm[std::strcspn(comm, "\n")] = '\0';
            std::fclose(f);
        }
        log_msg("waiting for %s of %s: process %d (%s) holds it\n", what, path, static_cast<int>(fl.l_pid),
                comm);
    }
    int r;
    while ((r = lockf(fd, F_LOCK, 0)) != 0 && errno == EINTR) {
    }
    return r;
}

}  // namespace

[[gnu::cold]] session_map ec_map_or_exit(const char* path)
{
    if (!path) {
        session_layout* l = session_private();
        if (!l)
            std::exit(1);
        return {l, session_role::owner};
    }

    const int fd = open_session_file(path);
    if (fd < 0)
        std::exit(1);
    session_fd = fd;

    // The descriptor is fresh, so its offset is 0: the owner lock covers the
    // whole file and whatever lies beyond.
    if (lockf(fd, F_TLOCK, 0) == 0) {
        // A session file an earlier owner left is reset, but only once every
        // option has been checked: until ec_commit the owner's layout is
        // private memory.
        uint32_t version = session_version;
        if (file_had_session &&
            (!pread_all(fd, &version, sizeof version, offsetof(session_header, version)) ||
             version != session_version)) {
            log_msg("refusing %s: not a session file (version %u, expected %u)\n", path, version,
                    static_cast<unsigned>(session_version));
            std::exit(1);
        }
        session_layout* l = session_private();
        if (!l)
            std::exit(1);
        owner_of_file = true;
        file_layout = l;
        shared_layout.store(l, std::memory_order_release);
        return {l, session_role::owner};
    }
    if (errno != EACCES && errno != EAGAIN) {
        log_msg("failed to lock %s: %s\n", path, strerror(errno));
        std::exit(1);
    }
    if (lseek(fd, static_cast<off_t>(client_area_offset), SEEK_SET) < 0) {
        log_msg("failed to skip the header of %s: %s\n", path, strerror(errno));
        std::exit(1);
    }
    // Waits until the owner has finished its start-up and no other client
    // is inside.
    if (wait_lock(fd, "the client area", path) != 0) {
        log_msg("failed to lock the client area of %s: %s\n", path, strerror(errno));
        std::exit(1);
    }
    // The owner has written the file by now; anything else is not ours to use.
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size != static_cast<off_t>(session_bytes)) {
        log_msg("refusing %s: no emulator has written a session into it\n", path);
        std::exit(1);
    }

    void* m = mmap(nullptr, session_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) {
        log_tagged_as("ec_map", "cannot mmap %s: %s\n", path,
                      strerror(errno));  // the tag the line is known by
        std::exit(1);
    }
    auto* layout = static_cast<session_layout*>(m);
    watch_truncation(layout, false);
    if (layout->header.version != session_version) {
        log_msg("Expected version %d, got %d\n", static_cast<int>(session_version),
                static_cast<int>(layout->header.version));
        std::exit(1);
    }
    file_layout = layout;
    layout_is_file = true;
    return {layout, session_role::client};
}

bool ec_stage()
{
    if (session_fd < 0 || owner_of_file || !layout_is_file)
        return true;
    void* copy = mmap(nullptr, session_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (copy == MAP_FAILED) {
        log_msg("cannot map %zu bytes for the session layout\n", session_bytes);
        return false;
    }
    // Read, not copied from the mapping: a file cut short meanwhile reads
    // as zeros instead of raising SIGBUS.
    if (pread(session_fd, copy, session_bytes, 0) < 0 ||
        mremap(copy, session_bytes, session_bytes, MREMAP_MAYMOVE | MREMAP_FIXED, file_layout) ==
            MAP_FAILED) {
        log_msg("cannot copy the session file: %s\n", strerror(errno));
        return false;
    }
    layout_is_file = false;
    return true;
}

bool ec_commit()
{
    if (session_fd < 0 || layout_is_file)
        return true;
    session_layout* l = file_layout;
    bool written;
    if (owner_of_file) {
        written = ftruncate(session_fd, static_cast<off_t>(session_bytes)) == 0 &&
                  pwrite_all(session_fd, l, session_bytes, 0);
    } else {
        // A client writes the instances it filled and the limits its
        // models set where the owner had none; the counters, the words in
        // force and the instances in force are the owner's.
        written = true;
        for (int d = 0; d < 2 && written; ++d) {
            const session_area& mine = l->area[d];
            const off_t at = static_cast<off_t>(offsetof(session_layout, area) + d * sizeof(session_area));
            const uint64_t spare = (mine.active_instance + 1) % 2;
            const off_t inst_at =
                at + static_cast<off_t>(offsetof(session_area, instance) + spare * sizeof(session_instance));
            uint64_t limits[3];  // max_bps, max_delay, max_hold as the file holds them now
            written = pwrite_all(session_fd, &mine.instance[spare], sizeof(session_instance), inst_at) &&
                      pread_all(session_fd, limits, sizeof limits, at);
            const uint64_t mine_limits[3] = {mine.max_bps, mine.max_delay, mine.max_hold};
            for (int k = 0; k < 3 && written; ++k) {
                if (limits[k] == 0 && mine_limits[k] != 0)
                    written = pwrite_all(session_fd, &mine_limits[k], sizeof(uint64_t),
                                         at + static_cast<off_t>(k * sizeof(uint64_t)));
            }
        }
    }
    if (!written) {
        log_msg("cannot write the session file: %s\n", strerror(errno));
        return false;
    }
    // The file takes the place of the private layout, at its address, so
    // that every pointer into the layout now points into the file.
    if (mmap(l, session_bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, session_fd, 0) == MAP_FAILED) {
        log_tagged("cannot mmap the session file: %s\n", strerror(errno));
        return false;
    }
    layout_is_file = true;
    watch_truncation(l, owner_of_file);
    return true;
}

uint32_t spare_instance(const session_area& area) noexcept
{
    uint64_t cur = shared_word(const_cast<uint64_t&>(area.active_instance)).load(std::memory_order_acquire);
    return static_cast<uint32_t>((cur + 1) % 2);
}

bool ec_wait_ack(const session_layout& layout, int timeout_ms)
{
    auto& l = const_cast<session_layout&>(layout);
    const uint64_t deadline =
        monotonic_ns() / 1000000 + static_cast<uint64_t>(timeout_ms > 0 ? timeout_ms : 0);
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
            if (monotonic_ns() / 1000000 >= deadline) {
                if (active >= stop_command)
                    log_msg("direction %c of the emulator is stopping; nothing published\n", "AB"[d]);
                else
                    log_msg(
                        "direction %c of the emulator has not taken instance %llu within %d ms; "
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
    if (map.role == session_role::owner && session_fd >= 0) {
        // Nobody runs: a session an earlier owner left keeps its counters
        // and gets the stop words alone; an empty file gets a whole layout.
        bool done;
        if (file_had_session) {
            done = true;
            for (int d = 0; d < 2 && done; ++d)
                done =
                    pwrite_all(session_fd, &map.layout->area[d].active_instance, sizeof(uint64_t),
                               static_cast<off_t>(offsetof(session_layout, area) + d * sizeof(session_area) +
                                                  offsetof(session_area, active_instance)));
            if (!done)
                log_msg("cannot write the session file: %s\n", strerror(errno));
        } else {
            done = ec_commit();
        }
        if (!done)
            return 1;
    }
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
    if (wait_lock(session_fd, "the end of the owner", "the session file") != 0) {
        log_msg("failed to lock the session file %s\n", strerror(errno));
        return 1;
    }
    return 0;
}

bool ec_release_client_area()
{
    if (session_fd < 0)
        return true;
    if (!ec_commit())
        return false;
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

}  // namespace corvo
