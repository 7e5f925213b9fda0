// "xdp:IFNAME": a Linux interface through AF_XDP sockets.
//
// One socket per receive queue of the interface, each with its own UMEM of
// 4096-byte chunks; the socket of queue 0 also transmits.  The default
// redirect program of libxdp sends every frame of queue q to the socket in
// slot q of its socket map.  The program is attached through a BPF link held
// only by this process: it leaves the interface when the process ends, however
// it ends, and needs neither libxdp's dispatcher nor a BPF file system.
//
// The receive view points into the UMEM (no copy).  View slot v remembers the
// queue and chunk it shows; giving a slot back puts that chunk on its queue's
// fill ring.  Every receive chunk is always in exactly one place: the fill
// ring, the kernel, the rx ring, or the view, so neither the fill ring nor the
// view can overflow.  Transmit chunks cycle through a free list, the tx ring
// and the completion ring.
//
// A process opens an interface once: every port of this process on the same
// interface (of the same network namespace) shares the sockets, as corvo's
// receive-only and transmit ports of one interface do.  The program is
// attached, and frames start to arrive, only when a port receives; a port
// that only sends leaves the interface's traffic to the kernel.
#include "netport/port_impl.hpp"

#include "netport/interface.hpp"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <linux/ethtool.h>
#include <linux/if_link.h>
#include <linux/if_xdp.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <xdp/libxdp.h>
#include <xdp/xsk.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/clock.hpp"
#include "common/mapping.hpp"
#include "common/unique_fd.hpp"

using namespace common;

namespace netport {

namespace {

constexpr uint32_t chunk_bytes = XSK_UMEM__DEFAULT_FRAME_SIZE;  // 4096
// Bytes of a chunk that hold a received frame: the kernel keeps the
// XDP headroom in front of it.
constexpr uint32_t chunk_room = chunk_bytes - XDP_PACKET_HEADROOM;
// Native XDP on veth takes only frames that fit one page after its headroom
// and the kernel's skb_shared_info (320 bytes with 17 fragments, the default);
// veth refuses the program while its peer's MTU allows longer ones.
constexpr uint32_t skb_shared_info_bytes = 320;
constexpr uint32_t max_queues = 64;
constexpr uint32_t tx_chunks = 2048;        // on queue 0
constexpr uint32_t rx_chunks_total = 8192;  // shared out among the queues
constexpr uint32_t min_rx_chunks = 512;
constexpr uint32_t max_rx_chunks = 4096;
constexpr int max_tx_kicks = int(tx_chunks / 32) + 2;  // a copy-mode send moves up to 32 frames
constexpr char default_prog_file[] = "xsk_def_xdp_prog.o";

// The libraries print warnings of their own; keep the last one for the
// failure message instead.
thread_local char lib_message[256];

int keep_lib_message(const char* fmt, va_list ap)
{
    char line[sizeof lib_message];
    int n = vsnprintf(line, sizeof line, fmt, ap);
    if (n > 0) {
        size_t len = std::min(size_t(n), sizeof line - 1);
        while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == ' '))
            line[--len] = 0;
        memcpy(lib_message, line, len + 1);
    }
    return 0;
}
int keep_libbpf_message(libbpf_print_level level, const char* fmt, va_list ap)
{
    return level == LIBBPF_DEBUG ? 0 : keep_lib_message(fmt, ap);
}
int keep_libxdp_message(libxdp_print_level level, const char* fmt, va_list ap)
{
    return level == LIBXDP_DEBUG ? 0 : keep_lib_message(fmt, ap);
}

// Name and id of the XDP program attached to ifindex, if any.
std::string attached_program(int ifindex)
{
    bpf_xdp_query_opts q{};
    q.sz = sizeof q;
    if (bpf_xdp_query(ifindex, 0, &q) != 0)
        return {};
    uint32_t id = q.prog_id       ? q.prog_id
                  : q.drv_prog_id ? q.drv_prog_id
                  : q.skb_prog_id ? q.skb_prog_id
                                  : q.hw_prog_id;
    if (id == 0)
        return {};
    std::string what = "id " + std::to_string(id);
    const unique_fd fd(bpf_prog_get_fd_by_id(id));
    if (fd.valid()) {
        bpf_prog_info info{};
        uint32_t len = sizeof info;
        if (bpf_obj_get_info_by_fd(fd.get(), &info, &len) == 0 && info.name[0] != 0)
            what += std::string(", \"") + info.name + "\"";
    }
    return what;
}

}  // namespace

struct xdp_queue {
    xsk_umem* umem = nullptr;
    xsk_socket* xsk = nullptr;
    xsk_ring_prod fill{};
    xsk_ring_cons comp{};
    xsk_ring_cons rx{};
    xsk_ring_prod tx{};
    mapping area;
    uint32_t fill_pending = 0;  // reserved on the fill ring, not yet submitted
    int fd = -1;

    ~xdp_queue() { reset(); }
    void reset()
    {
        if (xsk != nullptr)
            xsk_socket__delete(xsk);
        if (umem != nullptr)
            xsk_umem__delete(umem);
        area.reset();
        xsk = nullptr;
        umem = nullptr;
        fill = {};
        comp = {};
        rx = {};
        tx = {};
        fd = -1;
    }
};

// The sockets of one interface in this process.
struct xdp_attach {
    std::string ifname;
    int ifindex = 0;
    dev_t netns_dev = 0;
    ino_t netns_ino = 0;
    pid_t owner = 0;
    int refs = 0;
    size_t max_frame = 0;
    uint32_t nq = 0;
    uint32_t rx_chunks = 0;  // per queue: chunks 0 .. rx_chunks-1 receive; the rest (queue 0) transmit
    bool zero_copy = false;
    std::string driver;
    uint32_t native_mtu_max = 0;  // largest MTU whose frames this port takes whole
    std::unique_ptr<xdp_queue[]> q;

    // The redirect program, loaded and attached at the first receive.
    xdp_program* prog = nullptr;
    unique_fd link_fd;  // closing it detaches the program
    std::atomic<bool> rx_joined{false};

    // Receive side, used by the one thread that walks the ring.
    alignas(64) ring view{};
    std::unique_ptr<slot[]> vslots;
    std::unique_ptr<uint64_t[]> vchunk;   // UMEM offset of the chunk shown
    std::unique_ptr<uint16_t[]> vqueue;   // its queue
    std::unique_ptr<uint64_t[]> vstamps;  // when rxsync first saw the frame
    std::unique_ptr<pollfd[]> pfds;
    uint32_t view_head = 0;
    uint32_t next_q = 0;  // queue looked at first by the next rxsync

    // Transmit side (queue 0), used by the one thread that sends.
    alignas(64) std::unique_ptr<uint64_t[]> tx_free;
    uint32_t tx_free_n = 0;
    uint32_t tx_reserved = 0;  // descriptors filled, not yet submitted
    bool tx_kick = false;      // submitted descriptors the kernel may not have taken

    ~xdp_attach()
    {
        link_fd.reset();  // detaches the program before it is closed
        if (prog != nullptr)
            xdp_program__close(prog);
    }
};

namespace {

std::mutex registry_lock;
std::vector<xdp_attach*> registry;

bool netns_id(dev_t* dev, ino_t* ino)
{
    struct stat st;
    if (stat("/proc/thread-self/ns/net", &st) != 0)
        return false;
    *dev = st.st_dev;
    *ino = st.st_ino;
    return true;
}

const char* privilege_hint(int err)
{
    return err == EPERM || err == EACCES ? " (needs root, or CAP_NET_ADMIN, CAP_NET_RAW and CAP_BPF)" : "";
}

// Reads the MTU, driver and queue count; refuses what this backend cannot
// receive whole.
int probe_interface(port* p, xdp_attach& a)
{
    ctl_socket ctl;
    uint32_t mtu = 0;
    if (!interface_mtu(p, ctl, &mtu))
        return -1;
    ethtool_drvinfo drv{};
    drv.cmd = ETHTOOL_GDRVINFO;
    if (ctl.ethtool(a.ifname, drv))
        a.driver = drv.driver;
    ethtool_channels ch{};
    ch.cmd = ETHTOOL_GCHANNELS;
    a.nq = ctl.ethtool(a.ifname, ch) ? ch.rx_count + ch.combined_count : 1;
    if (a.nq == 0)
        a.nq = 1;
    if (a.nq > max_queues) {
        set_error(
            "netport: port %s: %s has %u receive queues, more than the %u this port serves; give "
            "it one with: ethtool -L %s combined 1",
            p->name.c_str(), a.ifname.c_str(), a.nq, max_queues, a.ifname.c_str());
        return -1;
    }
    a.rx_chunks = std::bit_floor(std::clamp(rx_chunks_total / a.nq, min_rx_chunks, max_rx_chunks));
    uint32_t limit = chunk_room;
    const char* why = "one AF_XDP buffer";
    if (a.driver == "veth") {
        uint32_t page = uint32_t(sysconf(_SC_PAGESIZE));
        limit = std::min(limit, page - XDP_PACKET_HEADROOM - skb_shared_info_bytes);
        why = "native XDP on veth";
    }
    const uint32_t frame = mtu + uint32_t(sizeof(ether_header));
    const uint32_t mtu_max = limit - uint32_t(sizeof(ether_header));
    a.native_mtu_max = mtu_max;
    if (frame > limit) {
        set_error(
            "netport: port %s: MTU %u of %s gives frames of %u bytes, longer than %s takes (%u "
            "bytes): set the MTU to at most %u (ip link set dev %s mtu %u; on veth also its peer) "
            "or use netmap:%s",
            p->name.c_str(), mtu, a.ifname.c_str(), frame, why, limit, mtu_max, a.ifname.c_str(), mtu_max,
            a.ifname.c_str());
        return -1;
    }
    a.max_frame = std::min<size_t>(frame, max_frame_bytes);
    return 0;
}

// Creates the UMEM and socket of queue qi; zero-copy when `zc`.
int open_queue(xdp_attach& a, uint32_t qi, bool zc, std::string* why)
{
    xdp_queue& q = a.q[qi];
    const bool with_tx = qi == 0;
    const size_t area_bytes = size_t(a.rx_chunks + (with_tx ? tx_chunks : 0)) * chunk_bytes;
    q.area = map_anonymous(area_bytes, MAP_POPULATE);
    if (!q.area) {
        *why = std::string("cannot map its buffers: ") + strerror(errno);
        return -errno;
    }

    xsk_umem_config uc{};
    uc.fill_size = a.rx_chunks;
    uc.comp_size = with_tx ? tx_chunks : 64;
    uc.frame_size = chunk_bytes;
    uc.frame_headroom = 0;
    uc.flags = 0;
    int err = xsk_umem__create(&q.umem, q.area.get(), q.area.size(), &q.fill, &q.comp, &uc);
    if (err != 0) {
        q.umem = nullptr;
        *why = std::string("cannot register its buffers: ") + strerror(-err) + privilege_hint(-err) +
               (-err == ENOMEM || -err == ENOBUFS ? " (raise the locked-memory limit: ulimit -l)" : "");
        return err;
    }
    xsk_socket_config sc{};
    sc.rx_size = a.rx_chunks;
    sc.tx_size = with_tx ? tx_chunks : 0;
    sc.libxdp_flags = XSK_LIBXDP_FLAGS__INHIBIT_PROG_LOAD;
    sc.xdp_flags = 0;
    sc.bind_flags = uint16_t((zc ? XDP_ZEROCOPY : XDP_COPY) | XDP_USE_NEED_WAKEUP);
    // The kernel frees the queue of a socket that was just closed a little
    // later, in a work item: a queue still busy is tried again for a second.
    for (int attempt = 0; attempt < 50; ++attempt) {
        err = xsk_socket__create(&q.xsk, a.ifname.c_str(), qi, q.umem, &q.rx, with_tx ? &q.tx : nullptr, &sc);
        if (err != -EBUSY)
            break;
        usleep(20'000);
    }
    if (err != 0) {
        q.xsk = nullptr;
        if (-err == EBUSY)
            *why = "queue " + std::to_string(qi) + " of " + a.ifname +
                   " is already served by another AF_XDP socket (another program on this interface?)";
        else
            *why = std::string("cannot bind an AF_XDP socket to queue ") + std::to_string(qi) + ": " +
                   strerror(-err) + privilege_hint(-err) +
                   (-err == EAFNOSUPPORT ? " (this kernel has no AF_XDP sockets)" : "");
        return err;
    }
    q.fd = xsk_socket__fd(q.xsk);
    if (with_tx) {
        // A copy-mode send holds every frame in flight against the socket's
        // send buffer.
        int bytes = 8 << 20;
        if (setsockopt(q.fd, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) != 0)
            setsockopt(q.fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    }
    // Every receive chunk starts on the fill ring.
    uint32_t idx = 0;
    if (xsk_ring_prod__reserve(&q.fill, a.rx_chunks, &idx) != a.rx_chunks) {
        *why = "cannot fill its receive ring";
        return -ENOSPC;
    }
    for (uint32_t c = 0; c < a.rx_chunks; ++c)
        *xsk_ring_prod__fill_addr(&q.fill, idx + c) = uint64_t(c) * chunk_bytes;
    xsk_ring_prod__submit(&q.fill, a.rx_chunks);
    return 0;
}

int open_queues(port* p, xdp_attach& a)
{
    a.q = std::make_unique<xdp_queue[]>(a.nq);
    std::string why;
    // Zero-copy where the driver has it; copy mode otherwise.
    int err = open_queue(a, 0, true, &why);
    a.zero_copy = err == 0;
    if (err != 0 && -err != EPERM && -err != EAFNOSUPPORT && -err != EBUSY) {
        a.q[0].reset();
        err = open_queue(a, 0, false, &why);
    }
    for (uint32_t qi = 1; qi < a.nq && err == 0; ++qi)
        err = open_queue(a, qi, a.zero_copy, &why);
    if (err != 0) {
        set_error("netport: port %s: %s", p->name.c_str(), why.c_str());
        return -1;
    }
    const uint32_t vn = a.rx_chunks * a.nq + 1;
    a.vslots = std::make_unique<slot[]>(vn);
    a.vchunk = std::make_unique<uint64_t[]>(vn);
    a.vqueue = std::make_unique<uint16_t[]>(vn);
    a.vstamps = std::make_unique<uint64_t[]>(vn);
    a.view.num_slots = vn;
    a.view.slots = a.vslots.get();
    a.pfds = std::make_unique<pollfd[]>(a.nq);
    for (uint32_t qi = 0; qi < a.nq; ++qi)
        a.pfds[qi] = pollfd{a.q[qi].fd, POLLIN, 0};
    a.tx_free = std::make_unique<uint64_t[]>(tx_chunks);
    for (uint32_t c = 0; c < tx_chunks; ++c)
        a.tx_free[c] = uint64_t(a.rx_chunks + c) * chunk_bytes;
    a.tx_free_n = tx_chunks;
    return 0;
}

// Refuses an interface where another XDP program is attached.
int check_no_program(port* p, int ifindex)
{
    std::string other = attached_program(ifindex);
    if (other.empty())
        return 0;
    set_error(
        "netport: port %s: another XDP program (%s) is attached to %s; remove it (ip link set dev %s "
        "xdp off) or use netmap:%s",
        p->name.c_str(), other.c_str(), p->ifname.c_str(), p->ifname.c_str(), p->ifname.c_str());
    return -1;
}

// Loads the redirect program, puts every socket in its map and attaches it
// (native XDP, or generic where the driver has none).  Frames start to arrive.
// `checked`: check_no_program has just passed.
int join_rx(port* p, xdp_attach& a, bool checked)
{
    a.rx_joined = true;
    if (!checked && check_no_program(p, a.ifindex) != 0)
        return -1;
    lib_message[0] = 0;
    xdp_program* prog = xdp_program__find_file(default_prog_file, "xdp", nullptr);
    if (libxdp_get_error(prog) != 0) {
        set_error("netport: port %s: cannot open libxdp's redirect program %s (package libxdp1): %s",
                  p->name.c_str(), default_prog_file, lib_message);
        return -1;
    }
    a.prog = prog;
    bpf_object* obj = xdp_program__bpf_obj(prog);
    bpf_map* map = obj ? bpf_object__find_map_by_name(obj, "xsks_map") : nullptr;
    if (map == nullptr || bpf_map__set_max_entries(map, a.nq) != 0) {
        set_error("netport: port %s: libxdp's redirect program %s has no socket map", p->name.c_str(),
                  default_prog_file);
        return -1;
    }
    if (int err = bpf_object__load(obj); err != 0) {
        set_error("netport: port %s: cannot load the redirect program: %s%s", p->name.c_str(), strerror(-err),
                  privilege_hint(-err));
        return -1;
    }
    const int map_fd = bpf_map__fd(map);
    for (uint32_t qi = 0; qi < a.nq; ++qi)
        if (int err = xsk_socket__update_xskmap(a.q[qi].xsk, map_fd); err != 0) {
            set_error("netport: port %s: cannot enter the socket of queue %u in the map: %s", p->name.c_str(),
                      qi, strerror(-err));
            return -1;
        }
    // Loaded here through libbpf, not by libxdp: the program's descriptor
    // is libbpf's.
    bpf_program* bp = bpf_object__next_program(obj, nullptr);
    const int prog_fd = bp != nullptr ? bpf_program__fd(bp) : -1;
    bpf_link_create_opts lo{};
    lo.sz = sizeof lo;
    lo.flags = XDP_FLAGS_DRV_MODE;
    bool native = true;
    a.link_fd.reset(bpf_link_create(prog_fd, a.ifindex, BPF_XDP, &lo));
    int native_err = a.link_fd.valid() ? 0 : errno;
    if (!a.link_fd.valid() && native_err != EPERM && native_err != EBUSY && native_err != EEXIST) {
        lo.flags = XDP_FLAGS_SKB_MODE;
        native = false;
        a.link_fd.reset(bpf_link_create(prog_fd, a.ifindex, BPF_XDP, &lo));
    }
    if (!a.link_fd.valid()) {
        const int err = errno;
        if ((err == EBUSY || err == EEXIST) && check_no_program(p, a.ifindex) != 0) {
            // said so
        } else {
            set_error("netport: port %s: cannot attach the XDP program to %s: %s%s", p->name.c_str(),
                      a.ifname.c_str(), strerror(err), privilege_hint(err));
        }
        return -1;
    }
    std::string mode = native ? "native XDP" : "generic XDP (slower: ";
    if (!native) {
        mode += native_err == EOPNOTSUPP ? "the driver has no native XDP"
                                         : std::string("native refused: ") + strerror(native_err);
        if (native_err == ERANGE && a.driver == "veth")
            mode += ", the MTU of the veth peer is above " + std::to_string(a.native_mtu_max);
        mode += ")";
    }
    note(
        "netport: port %s: %s, %s, %u receive queue%s, driver %s; program attached through a BPF link that "
        "ends with this process",
        p->name.c_str(), mode.c_str(), a.zero_copy ? "zero-copy" : "copy mode (no zero-copy in the driver)",
        a.nq, a.nq == 1 ? "" : "s", a.driver.empty() ? "unknown" : a.driver.c_str());
    return 0;
}

// First receive-side use of a port opened lazily.  A failure has printed
// its line; the ring then stays empty.
void join_late(port* p)
{
    std::lock_guard<std::mutex> g(registry_lock);
    if (!p->xdp->rx_joined)
        join_rx(p, *p->xdp, false);
}

// Takes the chunks of sent frames back from the completion ring.
void reclaim(xdp_attach& a)
{
    xdp_queue& q = a.q[0];
    uint32_t idx = 0;
    const uint32_t n = xsk_ring_cons__peek(&q.comp, tx_chunks, &idx);
    for (uint32_t k = 0; k < n; ++k)
        a.tx_free[a.tx_free_n++] = *xsk_ring_cons__comp_addr(&q.comp, idx + k);
    if (n > 0)
        xsk_ring_cons__release(&q.comp, n);
}

}  // namespace

int xdp_open(port* p)
{
    static std::once_flag print_once;
    std::call_once(print_once, [] {
        libbpf_set_print(keep_libbpf_message);
        libxdp_set_print(keep_libxdp_message);
    });
    const int ifindex = interface_index(p);
    if (ifindex == 0)
        return -1;
    dev_t dev = 0;
    ino_t ino = 0;
    netns_id(&dev, &ino);
    std::lock_guard<std::mutex> g(registry_lock);
    for (xdp_attach* a : registry)
        if (a->ifindex == ifindex && a->netns_dev == dev && a->netns_ino == ino && a->owner == getpid()) {
            if (!p->lazy_rx && !a->rx_joined && join_rx(p, *a, false) != 0)
                return -1;
            ++a->refs;
            p->xdp = a;
            return 0;
        }
    // A port that will receive is refused before it takes any queue.
    if (!p->lazy_rx && check_no_program(p, ifindex) != 0)
        return -1;
    auto a = std::make_unique<xdp_attach>();
    a->ifname = p->ifname;
    a->ifindex = ifindex;
    a->netns_dev = dev;
    a->netns_ino = ino;
    a->owner = getpid();
    if (probe_interface(p, *a) != 0 || open_queues(p, *a) != 0)
        return -1;
    if (!p->lazy_rx && join_rx(p, *a, true) != 0)
        return -1;
    note_if_down(p, ctl_socket{});
    a->refs = 1;
    p->xdp = a.get();
    registry.push_back(a.release());
    return 0;
}

void xdp_close(port* p)
{
    xdp_attach* a = p->xdp;
    if ((p->flags & NR_RX_RINGS_ONLY) == 0)
        xdp_txsync(p);
    std::lock_guard<std::mutex> g(registry_lock);
    p->xdp = nullptr;
    if (--a->refs > 0)
        return;
    std::erase(registry, a);
    delete a;
}

int xdp_inject(port* p, const void* frame, size_t len)
{
    xdp_attach& a = *p->xdp;
    if (len == 0 || len > a.max_frame || (p->flags & NR_RX_RINGS_ONLY) != 0) {
        bump(p->drops.oversize);
        return -1;
    }
    if (a.tx_free_n == 0) {
        reclaim(a);
        if (a.tx_free_n == 0)
            return 0;
    }
    xdp_queue& q = a.q[0];
    uint32_t idx = 0;
    if (xsk_ring_prod__reserve(&q.tx, 1, &idx) != 1)
        return 0;
    const uint64_t addr = a.tx_free[--a.tx_free_n];
    memcpy(xsk_umem__get_data(q.area.get(), addr), frame, len);
    xdp_desc* d = xsk_ring_prod__tx_desc(&q.tx, idx);
    d->addr = addr;
    d->len = uint32_t(len);
    d->options = 0;
    ++a.tx_reserved;
    return int(len);
}

void xdp_txsync(port* p)
{
    xdp_attach& a = *p->xdp;
    xdp_queue& q = a.q[0];
    if (a.tx_reserved > 0) {
        xsk_ring_prod__submit(&q.tx, a.tx_reserved);
        a.tx_reserved = 0;
        a.tx_kick = true;
    }
    if (a.tx_kick) {
        if (a.zero_copy) {
            // The driver takes the descriptors itself; it asks to be woken.
            if (xsk_ring_prod__needs_wakeup(&q.tx))
                sendto(q.fd, nullptr, 0, MSG_DONTWAIT, nullptr, 0);
            a.tx_kick = false;
        } else {
            // Copy mode sends in the system call, a bounded batch each.
            for (int k = 0; k < max_tx_kicks; ++k) {
                const long r = sendto(q.fd, nullptr, 0, MSG_DONTWAIT, nullptr, 0);
                if (load_acquire(*q.tx.consumer) == load_relaxed(*q.tx.producer)) {
                    a.tx_kick = false;
                    break;
                }
                if (r < 0 && errno != EAGAIN && errno != EINTR)
                    break;  // busy: the next txsync again
            }
        }
    }
    reclaim(a);
}

void xdp_rxsync(port* p)
{
    xdp_attach& a = *p->xdp;
    if (!a.rx_joined) [[unlikely]]
        join_late(p);
    ring& v = a.view;
    const uint32_t vn = v.num_slots;
    const uint32_t given = view_given(v, vn, a.view_head);
    if (given > 0) {
        for (uint32_t k = 0; k < given; ++k) {
            xdp_queue& q = a.q[a.vqueue[a.view_head]];
            uint32_t idx = 0;
            xsk_ring_prod__reserve(&q.fill, 1, &idx);  // never full: see the top of the file
            *xsk_ring_prod__fill_addr(&q.fill, idx) = a.vchunk[a.view_head];
            ++q.fill_pending;
            a.view_head = a.view_head + 1 == vn ? 0 : a.view_head + 1;
        }
        for (uint32_t qi = 0; qi < a.nq; ++qi) {
            xdp_queue& q = a.q[qi];
            if (q.fill_pending == 0)
                continue;
            xsk_ring_prod__submit(&q.fill, q.fill_pending);
            q.fill_pending = 0;
            if (xsk_ring_prod__needs_wakeup(&q.fill))
                recvfrom(q.fd, nullptr, 0, MSG_DONTWAIT, nullptr, nullptr);
        }
    }

    uint32_t vt = v.tail;
    for (uint32_t n = 0; n < a.nq; ++n) {
        const uint32_t qi = (a.next_q + n) % a.nq;
        xdp_queue& q = a.q[qi];
        uint32_t idx = 0;
        const uint32_t got = xsk_ring_cons__peek(&q.rx, a.rx_chunks, &idx);
        if (got == 0)
            continue;
        const uint64_t now = realtime_ns();  // after the peek: never before the frame arrived
        for (uint32_t k = 0; k < got; ++k) {
            const xdp_desc* d = xsk_ring_cons__rx_desc(&q.rx, idx + k);
            const uint64_t addr = xsk_umem__add_offset_to_addr(d->addr);
            unsigned char* buf = static_cast<unsigned char*>(xsk_umem__get_data(q.area.get(), addr));
            const uint32_t len = pad_runt(buf, d->len);
            a.vslots[vt] = slot{buf, len, 0};
            a.vchunk[vt] = addr & ~uint64_t(chunk_bytes - 1);
            a.vqueue[vt] = uint16_t(qi);
            a.vstamps[vt] = now;
            vt = vt + 1 == vn ? 0 : vt + 1;
        }
        xsk_ring_cons__release(&q.rx, got);
    }
    a.next_q = a.next_q + 1 == a.nq ? 0 : a.next_q + 1;
    v.tail = vt;
}

ring* xdp_rx_ring(port* p)
{
    if (!p->xdp->rx_joined)
        join_late(p);
    return &p->xdp->view;
}

uint64_t xdp_rx_timestamp(const port* p, uint32_t slot)
{
    return p->xdp->vstamps[slot % p->xdp->view.num_slots];
}

size_t xdp_max_frame(const port* p) { return p->xdp->max_frame; }

int xdp_fd(const port* p)
{
    if (!p->xdp->rx_joined)
        join_late(const_cast<port*>(p));
    return p->xdp->q[0].fd;
}

void xdp_rx_wait(port* p, const timespec& timeout)
{
    xdp_attach& a = *p->xdp;
    if (!a.rx_joined)
        join_late(p);
    ppoll(a.pfds.get(), a.nq, &timeout, nullptr);
}

}  // namespace netport
