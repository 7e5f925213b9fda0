// "valeSW:PORT": a point-to-point link through a shared segment in /dev/shm.
//
// The segment holds a header and two rings; ring e carries the frames that
// end e receives.  Each ring has one writer (the other end) and one reader:
// the writer fills slots and publishes `tail` with a release store at txsync,
// the reader copies the slot records it trusts into a private view and gives
// slots back by publishing `head`.  Both indices count slots from the start
// and wrap at 2^32.  Slot i of a ring always uses buffer i.
//
// Open file description locks on single bytes of the file say who is
// attached: byte 0 serialises attaching and detaching, byte 1 + e is held for
// as long as end e is attached.  They vanish with the process, so a killed
// process leaves nothing that blocks the next one.
//
// The first end creates the file exclusively with mode 0600; an end that
// finds it there attaches only when it belongs to its own user with that
// mode.  The last end to leave, by nmport_close or at the process's exit,
// removes the file.
//
// Anyone allowed to write the file may cut it short under the mapping; the
// pages past its new end then raise SIGBUS.  A handler covers such a
// segment with private zero pages, so the faulting access runs again on
// them and the data path stays free of checks; the slow paths notice the
// damage (also through the file's size while idle) and say so once.
#include "netport/port_impl.hpp"

#include <fcntl.h>
#include <linux/futex.h>
#include <pwd.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "common/clock.hpp"
#include "common/mapping.hpp"
#include "common/unique_fd.hpp"

using namespace common;

namespace netport {

namespace {

constexpr char seg_magic[8] = {'N', 'P', 'V', 'A', 'L', 'E', '1', 0};
constexpr uint32_t seg_version = 2;
constexpr uint32_t ring_slots = 1024;  // slots of one ring
constexpr uint32_t buf_bytes = 2048;   // bytes of one slot buffer
constexpr uint32_t frame_slots = (max_frame_bytes + buf_bytes - 1) / buf_bytes;
constexpr uint32_t view_slots = ring_slots + 1;  // a view never fills all its slots
constexpr size_t name_bytes = 32;
constexpr size_t header_bytes = 4096;
constexpr uint64_t probe_interval_ns = 10'000'000;  // peer liveness probes when a ring is full
constexpr uint64_t size_check_ns = 20'000'000;      // file size checks of an idle receiver
constexpr mode_t seg_mode = 0600;

struct seg_header {
    char magic[8];
    uint32_t version;
    uint32_t num_slots;
    uint32_t buf_size;
    uint32_t max_frame;
    uint64_t ring_bytes;   // bytes of one ring, header and buffers
    uint64_t total_bytes;  // bytes of the whole segment
    char names[2][name_bytes];
    // Nonzero while end e is attached: the generation of its attachment, so
    // that a writer notices a receiver that left and came back.  The end's
    // lock tells for sure whether it is alive.
    alignas(64) uint32_t attached[2];
    uint32_t generation[2];  // last generation handed out per end
};
static_assert(offsetof(seg_header, version) == 8);
static_assert(offsetof(seg_header, ring_bytes) == 24);
static_assert(offsetof(seg_header, names) == 40);
static_assert(offsetof(seg_header, attached) == 128);
static_assert(offsetof(seg_header, generation) == 136);
static_assert(sizeof(seg_header) <= header_bytes);

struct ring_hdr {
    alignas(128) uint32_t tail;  // slots published by the writer
    // Nonzero while the reader sleeps on `tail` (a futex): the writer's
    // txsync then wakes it.
    alignas(64) uint32_t reader_waiting;
    alignas(128) uint32_t head;  // slots given back by the reader
};
static_assert(offsetof(ring_hdr, reader_waiting) == 64);
static_assert(offsetof(ring_hdr, head) == 128);
static_assert(sizeof(ring_hdr) == 256);

struct shm_slot {
    uint32_t len;
    uint32_t flags;  // NS_MOREFRAG
    // CLOCK_REALTIME ns at which the writer published the slot: the time the
    // frame was on the link, whenever the reader gets round to looking.
    uint64_t stamp;
};
static_assert(sizeof(shm_slot) == 16);
static_assert(offsetof(shm_slot, stamp) == 8);

constexpr uint64_t round_up(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }
constexpr uint64_t slots_offset = sizeof(ring_hdr);
constexpr uint64_t bufs_offset = round_up(slots_offset + uint64_t{ring_slots} * sizeof(shm_slot), 4096);
constexpr uint64_t ring_bytes = bufs_offset + uint64_t{ring_slots} * buf_bytes;
constexpr uint64_t total_bytes = header_bytes + 2 * ring_bytes;

// The ring words live in a file mapping shared between processes: the
// futex calls must not be the process-private kind.
long futex(uint32_t* word, int op, uint32_t val, const timespec* timeout)
{
    return syscall(SYS_futex, word, op, val, timeout, nullptr, 0);
}

int lock_byte(int fd, int cmd, short type, off_t byte)
{
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    return fcntl(fd, cmd, &fl);
}

// True when another open file description (any process) holds the byte.
bool held_elsewhere(int fd, off_t byte)
{
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    if (fcntl(fd, F_OFD_GETLK, &fl) != 0)
        return true;  // assume the worst
    return fl.l_type != F_UNLCK;
}

}  // namespace

// One attached end of a link in this process, shared by every port of this
// process opened with the same name.
struct vale_attach {
    std::string path;
    std::string port_name;
    int refs = 0;
    int fd = -1;
    unsigned char* base = nullptr;
    int end = 0;
    seg_header* hdr = nullptr;
    ring_hdr* rx_hdr = nullptr;
    shm_slot* rx_slots = nullptr;
    unsigned char* rx_bufs = nullptr;
    ring_hdr* tx_hdr = nullptr;
    shm_slot* tx_slots = nullptr;
    unsigned char* tx_bufs = nullptr;
    pid_t owner = 0;  // a forked child does not share its parent's attachment
    std::atomic<bool> damaged{false};
    std::atomic<bool> cut{false};   // the file was cut short under the mapping
    std::atomic<bool> said{false};  // the damage has been reported
    int watch = -1;                 // entry in the SIGBUS watch list

    // Receive side, used by the one thread that walks the ring.
    alignas(64) ring view{};
    std::unique_ptr<slot[]> vslots;
    std::unique_ptr<uint64_t[]> vstamps;
    uint32_t rx_seen = 0;      // slots copied into the view
    uint32_t rx_released = 0;  // slots given back (our last `head`)
    uint32_t view_head = 0;    // view head at the last rxsync
    uint64_t next_size_check_ns = 0;

    // Transmit side, used by the one thread that sends.
    alignas(64) uint32_t tx_tail = 0;  // slots filled, published or not
    uint32_t tx_published = 0;
    uint32_t tx_unpublished_frames = 0;
    uint32_t peer_generation = 0;  // `attached` of the peer as last seen
    uint64_t next_probe_ns = 0;
};

namespace {

std::mutex registry_lock;
std::vector<vale_attach*> registry;

void report_cut(vale_attach* a, port* p);

void mark_damaged(vale_attach* a, port* p, const char* what)
{
    a->damaged.store(true);
    if (a->cut.load(std::memory_order_relaxed))
        report_cut(a, p);  // the indices read as zeros since the file was cut
    else if (!a->said.exchange(true))
        note("netport: port %s: shared segment %s is damaged (%s); no more frames pass on this link",
             p->name.c_str(), a->path.c_str(), what);
}

// Segments mapped by this process, for the SIGBUS handler (which can take
// no lock): an entry is filled before its mapping is used and emptied
// before the mapping goes.
constexpr int max_watched = 256;
struct watched_segment {
    std::atomic<unsigned char*> base{nullptr};
    std::atomic<vale_attach*> attach{nullptr};
};
watched_segment watched[max_watched];
struct sigaction bus_previous;
bool bus_installed = false;  // under registry_lock

// Replaces the mapping by private zero pages of the same size at the same
// place: later accesses touch those and leave the file alone.
bool cover_mapping(vale_attach* a)
{
    void* m =
        mmap(a->base, total_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (m == MAP_FAILED)
        return false;
    a->cut.store(true);
    a->damaged.store(true);
    return true;
}

void on_sigbus(int sig, siginfo_t* si, void* ctx)
{
    const int saved = errno;
    const auto* at = static_cast<const unsigned char*>(si->si_addr);
    for (watched_segment& w : watched) {
        unsigned char* base = w.base.load(std::memory_order_acquire);
        if (base == nullptr || at < base || at >= base + total_bytes)
            continue;
        vale_attach* a = w.attach.load(std::memory_order_acquire);
        if (a != nullptr && cover_mapping(a)) {
            errno = saved;
            return;  // the access runs again on the zero pages
        }
    }
    // Not ours: whoever handled it before, or the default action when the
    // access runs again.
    if ((bus_previous.sa_flags & SA_SIGINFO) != 0 && bus_previous.sa_sigaction != nullptr) {
        bus_previous.sa_sigaction(sig, si, ctx);
    } else if ((bus_previous.sa_flags & SA_SIGINFO) == 0 && bus_previous.sa_handler != SIG_DFL &&
               bus_previous.sa_handler != SIG_IGN) {
        bus_previous.sa_handler(sig);
    } else {
        signal(SIGBUS, SIG_DFL);
    }
    errno = saved;
}

// Called with registry_lock held.  The handler goes in once per process:
// one installed later by someone else keeps its place, since it may pass
// faults that are not its own on to ours (as corvo's session file does);
// putting ours back over it would make each the other's previous handler,
// and a foreign fault would go round between the two.
void watch_mapping(vale_attach& a)
{
    if (!bus_installed) {
        struct sigaction sa {};
        sa.sa_sigaction = on_sigbus;
        sa.sa_flags = SA_SIGINFO | SA_NODEFER | SA_RESTART;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGBUS, &sa, &bus_previous);
        bus_installed = true;
    }
    for (int i = 0; i < max_watched; ++i)
        if (watched[i].base.load(std::memory_order_relaxed) == nullptr) {
            watched[i].attach.store(&a, std::memory_order_relaxed);
            watched[i].base.store(a.base, std::memory_order_release);
            a.watch = i;
            return;
        }
    // More segments than entries: this one goes unguarded.
}

void unwatch_mapping(vale_attach& a)
{
    if (a.watch < 0)
        return;
    watched[a.watch].base.store(nullptr, std::memory_order_release);
    watched[a.watch].attach.store(nullptr, std::memory_order_release);
    a.watch = -1;
}

// Slow paths: a file found shorter than the segment is covered as the
// handler would, before anything touches the pages past its end.
void check_size(vale_attach* a)
{
    struct stat st;
    if (!a->cut.load(std::memory_order_relaxed) && fstat(a->fd, &st) == 0 &&
        uint64_t(st.st_size) < total_bytes)
        cover_mapping(a);
}

// Reports a segment cut short, once (cold: only a damaged link gets here).
[[gnu::cold, gnu::noinline]] void report_cut(vale_attach* a, port* p)
{
    if (!a->cut.load(std::memory_order_relaxed) || a->said.exchange(true))
        return;
    struct stat st {};
    long long size = fstat(a->fd, &st) == 0 ? (long long)st.st_size : -1;
    note(
        "netport: port %s: shared segment %s was cut short under the link (%lld of %llu bytes left) "
        "by another process; no more frames pass on this link",
        p->name.c_str(), a->path.c_str(), size, (unsigned long long)total_bytes);
}

std::string owner_name(uid_t uid)
{
    passwd pw{};
    passwd* found = nullptr;
    char buf[1024];
    if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found != nullptr)
        return pw.pw_name;
    return "uid " + std::to_string(uid);
}

// Opens the segment's file without following a symbolic link: an existing
// one as it is, or a new one created exclusively with mode 0600.  An
// existing file is taken only when it is a regular file of the caller's
// own user with mode 0600 (checked before any lock is taken on it, so a
// stranger's file can neither block nor feed the caller).  Returns the
// descriptor, -1 on failure (with its message), or segment_raced when
// another end created the file between the two opens: try again.
constexpr int segment_raced = -2;
int open_segment(port* p, const std::string& path)
{
    unique_fd fd(open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid() && errno == ENOENT) {
        fd.reset(open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, seg_mode));
        if (!fd.valid() && errno == EEXIST)
            return segment_raced;
        if (fd.valid() && fchmod(fd.get(), seg_mode) != 0) {  // whatever the umask took away
            set_error("netport: port %s: cannot set the mode of %s: %s", p->name.c_str(), path.c_str(),
                      strerror(errno));
            unlink(path.c_str());
            return -1;
        }
    }
    if (!fd.valid()) {
        set_error("netport: port %s: cannot open %s: %s", p->name.c_str(), path.c_str(),
                  errno == ELOOP ? "it is a symbolic link" : strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
        set_error("netport: port %s: cannot stat %s: %s", p->name.c_str(), path.c_str(), strerror(errno));
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        set_error("netport: port %s: %s is not a regular file", p->name.c_str(), path.c_str());
        return -1;
    }
    if (st.st_uid != geteuid() || (st.st_mode & 07777) != seg_mode) {
        set_error(
            "netport: port %s: %s belongs to %s with mode %04o; a link segment must be "
            "the caller's own with mode 0600: refused (remove the file or use another "
            "switch name)",
            p->name.c_str(), path.c_str(), owner_name(st.st_uid).c_str(), unsigned(st.st_mode & 07777));
        return -1;
    }
    return fd.release();
}

// Removes the file when it is still the one this end mapped and no other
// end is attached.  Called holding byte 0.
void remove_if_last(const vale_attach& a)
{
    if (held_elsewhere(a.fd, 2 - a.end))
        return;
    struct stat mine, named;
    if (fstat(a.fd, &mine) == 0 && lstat(a.path.c_str(), &named) == 0 && mine.st_dev == named.st_dev &&
        mine.st_ino == named.st_ino)
        unlink(a.path.c_str());
}

// At the process's exit: each end of this process leaves its link (the
// mapping stays, as threads may still be running) and the last end of a
// link removes its file.
void leave_links_at_exit()
{
    std::unique_lock<std::mutex> g(registry_lock, std::try_to_lock);
    if (!g.owns_lock())
        return;  // another thread is attaching: leave it
    for (vale_attach* a : registry) {
        if (a->owner != getpid() || a->fd < 0)
            continue;
        // Attaching and detaching hold byte 0 briefly; one held longer (a
        // stopped process) must not hang the exit: the file then stays.
        int tries = 0;
        while (lock_byte(a->fd, F_OFD_SETLK, F_WRLCK, 0) != 0 && ++tries < 100) {
            const timespec ms{0, 1'000'000};
            nanosleep(&ms, nullptr);
        }
        if (tries == 100)
            continue;
        check_size(a);
        store_release(a->hdr->attached[a->end], uint32_t{0});
        lock_byte(a->fd, F_OFD_SETLK, F_UNLCK, 1 + a->end);
        remove_if_last(*a);
        lock_byte(a->fd, F_OFD_SETLK, F_UNLCK, 0);
    }
}

// Checks the header and both rings of a segment written by someone else.
const char* check_segment(const unsigned char* base, uint64_t size)
{
    if (size != total_bytes)
        return "wrong size";
    const seg_header* h = reinterpret_cast<const seg_header*>(base);
    if (memcmp(h->magic, seg_magic, sizeof seg_magic) != 0)
        return "bad magic";
    if (h->version != seg_version)
        return "unknown version";
    if (h->num_slots != ring_slots || h->buf_size != buf_bytes || h->max_frame != max_frame_bytes ||
        h->ring_bytes != ring_bytes || h->total_bytes != total_bytes)
        return "ring geometry differs";
    for (int e = 0; e < 2; ++e) {
        if (memchr(h->names[e], 0, name_bytes) == nullptr)
            return "port name not terminated";
        const ring_hdr* r = reinterpret_cast<const ring_hdr*>(base + header_bytes + e * ring_bytes);
        if (load_acquire(r->tail) - load_acquire(r->head) > ring_slots)
            return "ring indices out of range";
    }
    return nullptr;
}

void init_segment(unsigned char* base)
{
    seg_header* h = reinterpret_cast<seg_header*>(base);
    h->version = seg_version;
    h->num_slots = ring_slots;
    h->buf_size = buf_bytes;
    h->max_frame = max_frame_bytes;
    h->ring_bytes = ring_bytes;
    h->total_bytes = total_bytes;
    memcpy(h->magic, seg_magic, sizeof seg_magic);
}

// Attaches one end; fills a.  Called with registry_lock held.
int attach(port* p, vale_attach& a)
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int opened = open_segment(p, a.path);
        if (opened == segment_raced)
            continue;  // another end created it meanwhile: open that one
        unique_fd fd(opened);
        if (!fd.valid())
            return -1;
        if (lock_byte(fd.get(), F_OFD_SETLKW, F_WRLCK, 0) != 0) {
            set_error("netport: port %s: cannot lock %s: %s", p->name.c_str(), a.path.c_str(),
                      strerror(errno));
            return -1;
        }
        struct stat st;
        if (fstat(fd.get(), &st) != 0) {
            set_error("netport: port %s: cannot stat %s: %s", p->name.c_str(), a.path.c_str(),
                      strerror(errno));
            return -1;
        }
        if (st.st_nlink == 0)
            continue;  // removed by the last end leaving: open the new one
        bool live[2] = {held_elsewhere(fd.get(), 1), held_elsewhere(fd.get(), 2)};
        bool fresh = !live[0] && !live[1];
        if (fresh) {
            // Nobody is attached: whatever is there is stale, start anew.
            if (ftruncate(fd.get(), 0) != 0 || ftruncate(fd.get(), off_t(total_bytes)) != 0) {
                set_error("netport: port %s: cannot size %s: %s", p->name.c_str(), a.path.c_str(),
                          strerror(errno));
                return -1;
            }
        } else if (uint64_t(st.st_size) != total_bytes) {
            set_error("netport: port %s: shared segment %s is damaged (wrong size %lld); refused",
                      p->name.c_str(), a.path.c_str(), (long long)st.st_size);
            return -1;
        }
        mapping m(mmap(nullptr, total_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0), total_bytes);
        if (!m) {
            set_error("netport: port %s: cannot map %s: %s", p->name.c_str(), a.path.c_str(),
                      strerror(errno));
            return -1;
        }
        unsigned char* base = m.get();
        if (fresh) {
            init_segment(base);
        } else if (const char* why = check_segment(base, total_bytes)) {
            set_error("netport: port %s: shared segment %s is damaged (%s); refused", p->name.c_str(),
                      a.path.c_str(), why);
            return -1;
        }
        seg_header* h = reinterpret_cast<seg_header*>(base);
        int end = -1;
        for (int e = 0; e < 2 && end < 0; ++e)
            if (a.port_name == h->names[e]) {
                if (live[e]) {
                    set_error("netport: port %s: already attached by another process", p->name.c_str());
                    return -1;
                }
                end = e;
            }
        for (int e = 0; e < 2 && end < 0; ++e)
            if (h->names[e][0] == 0 && !live[e])
                end = e;
        for (int e = 0; e < 2 && end < 0; ++e)
            if (!live[e])
                end = e;
        if (end < 0) {
            set_error(
                "netport: port %s: vale%s already links two ports (%.31s and %.31s); a third "
                "port is refused",
                p->name.c_str(), p->switch_name.c_str(), h->names[0], h->names[1]);
            return -1;
        }
        if (lock_byte(fd.get(), F_OFD_SETLK, F_WRLCK, 1 + end) != 0) {
            set_error("netport: port %s: cannot lock its end of %s: %s", p->name.c_str(), a.path.c_str(),
                      strerror(errno));
            return -1;
        }
        memset(h->names[end], 0, name_bytes);
        memcpy(h->names[end], a.port_name.data(), a.port_name.size());

        a.end = end;
        a.base = base;
        a.hdr = h;
        auto ring_at = [&](int e) { return base + header_bytes + uint64_t(e) * ring_bytes; };
        a.rx_hdr = reinterpret_cast<ring_hdr*>(ring_at(end));
        a.rx_slots = reinterpret_cast<shm_slot*>(ring_at(end) + slots_offset);
        a.rx_bufs = ring_at(end) + bufs_offset;
        a.tx_hdr = reinterpret_cast<ring_hdr*>(ring_at(1 - end));
        a.tx_slots = reinterpret_cast<shm_slot*>(ring_at(1 - end) + slots_offset);
        a.tx_bufs = ring_at(1 - end) + bufs_offset;

        // Frames left from an earlier life of this end are not ours: start at
        // the writer's tail.  LA1 (pairs with LR1 in vale_txsync), then LR2
        // gives every slot up to it back to the writer (pairs with LA2 in
        // vale_inject).  Our own tail comes back from our earlier life.
        a.rx_seen = a.rx_released = load_acquire(a.rx_hdr->tail);
        store_release(a.rx_hdr->head, a.rx_seen);
        a.tx_tail = a.tx_published = load_acquire(a.tx_hdr->tail);

        a.vslots = std::make_unique<slot[]>(view_slots);
        a.vstamps = std::make_unique<uint64_t[]>(view_slots);
        a.view.head = a.view.cur = a.view.tail = 0;
        a.view.num_slots = view_slots;
        a.view.slots = a.vslots.get();
        a.view_head = 0;

        a.peer_generation = load_acquire(h->attached[1 - end]);
        uint32_t gen = h->generation[end] + 1;
        if (gen == 0)
            gen = 1;
        h->generation[end] = gen;
        store_release(h->attached[end], gen);
        lock_byte(fd.get(), F_OFD_SETLK, F_UNLCK, 0);
        a.fd = fd.release();
        m.release();
        watch_mapping(a);
        return 0;
    }
    set_error("netport: port %s: %s keeps being replaced; giving up", p->name.c_str(), a.path.c_str());
    return -1;
}

void detach(vale_attach& a)
{
    lock_byte(a.fd, F_OFD_SETLKW, F_WRLCK, 0);
    check_size(&a);
    store_release(a.hdr->attached[a.end], uint32_t{0});
    memset(a.hdr->names[a.end], 0, name_bytes);
    remove_if_last(a);
    unwatch_mapping(a);
    munmap(a.base, total_bytes);
    close(a.fd);  // drops both locks
}

}  // namespace

namespace {

void discard_unpublished(vale_attach* a, port* p)
{
    bump(p->drops.peer_absent, a->tx_unpublished_frames);
    a->tx_tail = a->tx_published;
    a->tx_unpublished_frames = 0;
}

}  // namespace

int vale_open(port* p)
{
    std::lock_guard<std::mutex> g(registry_lock);
    std::string path = "/dev/shm/netport-vale-" + p->switch_name;
    for (vale_attach* a : registry)
        if (a->path == path && a->port_name == p->port_name && a->owner == getpid()) {
            ++a->refs;
            p->vale = a;
            return 0;
        }
    auto a = std::make_unique<vale_attach>();
    a->path = path;
    a->port_name = p->port_name;
    a->owner = getpid();
    if (attach(p, *a) != 0)
        return -1;
    static bool exit_hook = false;
    if (!exit_hook)
        exit_hook = atexit(leave_links_at_exit) == 0;
    a->refs = 1;
    p->vale = a.get();
    registry.push_back(a.release());
    return 0;
}

void vale_close(port* p)
{
    vale_attach* a = p->vale;
    vale_txsync(p);
    std::lock_guard<std::mutex> g(registry_lock);
    if (--a->refs > 0)
        return;
    std::erase(registry, a);
    detach(*a);
    delete a;
}

int vale_inject(port* p, const void* frame, size_t len)
{
    vale_attach* a = p->vale;
    if (len == 0 || len > max_frame_bytes) {
        bump(p->drops.oversize);
        return -1;
    }
    if (a->damaged.load(std::memory_order_relaxed)) {
        report_cut(a, p);
        bump(p->drops.damaged);
        return -1;
    }
    uint32_t peer = uint32_t(1 - a->end);
    uint32_t gen = load_acquire(a->hdr->attached[peer]);
    if (gen != a->peer_generation) {
        // The receiver left or came back: what it has not been given yet
        // belongs to its earlier life.
        discard_unpublished(a, p);
        a->peer_generation = gen;
    }
    if (gen == 0) {
        if (a->damaged.load(std::memory_order_relaxed)) {
            // The word reads 0 once the segment was cut short under it.
            report_cut(a, p);
            bump(p->drops.damaged);
        } else {
            bump(p->drops.peer_absent);
        }
        return -1;
    }
    uint32_t need = uint32_t((len + buf_bytes - 1) / buf_bytes);
    // LA2: pairs with LR2 in vale_rxsync: the reader is done with the slots
    // before head, so their records and buffers may be written again.
    uint32_t used = a->tx_tail - load_acquire(a->tx_hdr->head);
    if (used > ring_slots) {
        mark_damaged(a, p, "receiver's head out of range");
        bump(p->drops.damaged);
        return -1;
    }
    if (ring_slots - used < need) {
        // Full: a receiver that died leaves its ring full for ever.  Look at
        // its lock now and then; a dead receiver turns the frame into a drop.
        uint64_t now = monotonic_ns();
        if (now >= a->next_probe_ns) {
            a->next_probe_ns = now + probe_interval_ns;
            if (!held_elsewhere(a->fd, 1 + peer)) {
                store_release(a->hdr->attached[peer], uint32_t{0});
                a->peer_generation = 0;
                discard_unpublished(a, p);
                bump(p->drops.peer_absent);
                return -1;
            }
        }
        return 0;
    }
    const unsigned char* src = static_cast<const unsigned char*>(frame);
    size_t left = len;
    uint32_t t = a->tx_tail;
    while (left > 0) {
        uint32_t i = t % ring_slots;
        uint32_t n = left > buf_bytes ? buf_bytes : uint32_t(left);
        memcpy(a->tx_bufs + uint64_t(i) * buf_bytes, src, n);
        left -= n;
        src += n;
        store_relaxed(a->tx_slots[i].len, n);
        store_relaxed(a->tx_slots[i].flags, left > 0 ? NS_MOREFRAG : 0u);
        ++t;
    }
    a->tx_tail = t;
    ++a->tx_unpublished_frames;
    return int(len);
}

void vale_txsync(port* p)
{
    vale_attach* a = p->vale;
    if (a->tx_tail != a->tx_published) {
        const uint64_t now = realtime_ns();
        for (uint32_t s = a->tx_published; s != a->tx_tail; ++s)
            store_relaxed(a->tx_slots[s % ring_slots].stamp, now);
        a->tx_published = a->tx_tail;
        a->tx_unpublished_frames = 0;
        // LR1: the slot records (len, flags, stamp) and buffers before tail
        // are written; pairs with LA1 in vale_rxsync.
        store_release(a->tx_hdr->tail, a->tx_tail);
        // LF: pairs with the fence in vale_rx_wait: either the reader sees
        // the new tail before it sleeps, or this sees it waiting.
        // reader_waiting orders nothing else, so it is read relaxed.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (load_relaxed(a->tx_hdr->reader_waiting) != 0)
            futex(&a->tx_hdr->tail, FUTEX_WAKE, INT_MAX, nullptr);
    }
}

void vale_rx_wait(port* p, const timespec& timeout)
{
    vale_attach* a = p->vale;
    if (const uint64_t now = monotonic_ns(); now >= a->next_size_check_ns) {
        a->next_size_check_ns = now + size_check_ns;
        check_size(a);
    }
    if (a->damaged.load(std::memory_order_relaxed)) {
        report_cut(a, p);
        clock_nanosleep(CLOCK_MONOTONIC, 0, &timeout, nullptr);
        return;
    }
    store_relaxed(a->rx_hdr->reader_waiting, uint32_t{1});
    // LF: pairs with the fence in vale_txsync.  Relaxed reads suffice here:
    // vale_rxsync reads tail again (LA1) before it touches a slot.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    const uint32_t t = load_relaxed(a->rx_hdr->tail);
    // Returns at once when the tail has moved since the check (EAGAIN).
    if (t == a->rx_seen)
        futex(&a->rx_hdr->tail, FUTEX_WAIT, t, &timeout);
    store_relaxed(a->rx_hdr->reader_waiting, uint32_t{0});
}

void vale_rxsync(port* p)
{
    vale_attach* a = p->vale;
    ring& v = a->view;
    const uint32_t given = view_given(v, view_slots, a->view_head);
    if (given > 0) {
        a->view_head = (a->view_head + given) % view_slots;
        a->rx_released += given;
        // LR2: the slots given back are read; pairs with LA2 in vale_inject.
        store_release(a->rx_hdr->head, a->rx_released);
    }
    if (a->damaged.load(std::memory_order_relaxed)) {
        report_cut(a, p);
        return;
    }

    // LA1: pairs with LR1 in vale_txsync: the slots before tail are written.
    uint32_t t = load_acquire(a->rx_hdr->tail);
    uint32_t fresh = t - a->rx_seen;
    if (fresh == 0)
        return;
    if (fresh > ring_slots || t - a->rx_released > ring_slots) {
        mark_damaged(a, p, "writer's tail out of range");
        return;
    }
    uint32_t vt = v.tail;
    uint32_t frags = 0;
    for (uint32_t s = a->rx_seen; s != t; ++s) {
        uint32_t i = s % ring_slots;
        uint32_t len = load_relaxed(a->rx_slots[i].len);
        uint32_t flags = load_relaxed(a->rx_slots[i].flags);
        if (len > buf_bytes || (flags & ~NS_MOREFRAG) != 0) {
            mark_damaged(a, p, "slot length or flags out of range");
            return;
        }
        frags = (flags & NS_MOREFRAG) ? frags + 1 : 0;
        if (frags >= frame_slots) {
            mark_damaged(a, p, "frame spans too many slots");
            return;
        }
        a->vslots[vt] = slot{a->rx_bufs + uint64_t(i) * buf_bytes, len, flags};
        a->vstamps[vt] = load_relaxed(a->rx_slots[i].stamp);
        vt = vt + 1 == view_slots ? 0 : vt + 1;
    }
    if (frags != 0) {
        mark_damaged(a, p, "last published slot is not the end of a frame");
        return;
    }
    if (a->damaged.load(std::memory_order_relaxed)) {
        report_cut(a, p);  // cut short while the slots were read
        return;
    }
    a->rx_seen = t;
    v.tail = vt;
}

ring* vale_rx_ring(port* p) { return &p->vale->view; }

uint64_t vale_rx_timestamp(const port* p, uint32_t slot) { return p->vale->vstamps[slot % view_slots]; }

bool vale_peer_attached(const port* p)
{
    const vale_attach* a = p->vale;
    int peer = 1 - a->end;
    return load_acquire(a->hdr->attached[peer]) != 0 && held_elsewhere(a->fd, 1 + peer);
}

int vale_fd(const port* p) { return p->vale->fd; }

}  // namespace netport
