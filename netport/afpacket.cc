// "netmap:IFNAME": a Linux interface through AF_PACKET sockets with
// memory-mapped TPACKET_V2 rings, one socket to receive and one to send.
//
// The receive view points into the kernel's ring frames (no copy).  View slot
// v remembers which kernel frame it shows; giving a slot back stores
// TP_STATUS_KERNEL into that frame, so rxsync never needs a system call.
#include "netport/port_impl.hpp"

#include "netport/interface.hpp"

#include <arpa/inet.h>
#include <linux/ethtool.h>
#include <linux/if_packet.h>
#include <linux/sockios.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "common/mapping.hpp"
#include "common/unique_fd.hpp"

using namespace common;

namespace netport {

namespace {

constexpr uint32_t rx_block_bytes = 1u << 17;
constexpr uint32_t tx_data_offset = TPACKET2_HDRLEN - sizeof(sockaddr_ll);
// Offset of the frame in a receive ring frame for a 14-byte link header.
constexpr uint32_t rx_mac_offset = TPACKET_ALIGN(TPACKET2_HDRLEN + 16) - 14;

static_assert(sizeof(tpacket2_hdr) == 32);
static_assert(tx_data_offset == 32);

uint32_t frame_size_for(uint32_t bytes)
{
    uint32_t f = 2048;
    while (f < bytes && f < 16384)
        f *= 2;
    return f;
}

}  // namespace

struct packet_port {
    unique_fd rx_sock;
    unique_fd tx_sock;
    mapping rx_map;
    mapping tx_map;
    int ifindex = 0;
    uint32_t mtu = 0;
    size_t max_frame = 0;

    // Receive side.
    uint32_t rx_frames = 0;
    uint32_t rx_frame_size = 0;
    alignas(64) ring view{};
    std::unique_ptr<slot[]> vslots;
    std::unique_ptr<uint32_t[]> vframe;   // kernel frame shown by each view slot
    std::unique_ptr<uint64_t[]> vstamps;  // kernel receive time stamps
    uint32_t view_head = 0;
    uint32_t next_frame = 0;  // next kernel frame to be filled
    bool rx_joined = false;   // bound to the interface and promiscuous
    bool warned_csum = false;
    bool warned_truncated = false;

    // Transmit side.
    alignas(64) uint32_t tx_frames = 0;
    uint32_t tx_frame_size = 0;
    uint32_t tx_next = 0;
    uint32_t tx_pending = 0;

    tpacket2_hdr* rx_hdr(uint32_t k)
    {
        return reinterpret_cast<tpacket2_hdr*>(rx_map.get() + uint64_t(k) * rx_frame_size);
    }
    tpacket2_hdr* tx_hdr(uint32_t k)
    {
        return reinterpret_cast<tpacket2_hdr*>(tx_map.get() + uint64_t(k) * tx_frame_size);
    }
};

namespace {

int sock_opt(int fd, int opt, int value) { return setsockopt(fd, SOL_PACKET, opt, &value, sizeof value); }

bool ethtool_get(int fd, const char* ifname, uint32_t cmd, uint32_t* value)
{
    ethtool_value ev{};
    ev.cmd = cmd;
    ifreq ifr{};
    strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
    ifr.ifr_data = reinterpret_cast<char*>(&ev);
    if (ioctl(fd, SIOCETHTOOL, &ifr) != 0)
        return false;
    *value = ev.data;
    return true;
}

// One line when offloads can hand us frames above the MTU or with checksums
// still to be filled in.
void report_offloads(port* p, int fd)
{
    struct feature {
        uint32_t cmd;
        uint32_t mask;
        const char* name;
    };
    static constexpr feature features[] = {
        {ETHTOOL_GTSO, ~0u, "tso"},   {ETHTOOL_GGSO, ~0u, "gso"},
        {ETHTOOL_GGRO, ~0u, "gro"},   {ETHTOOL_GFLAGS, ETH_FLAG_LRO, "lro"},
        {ETHTOOL_GTXCSUM, ~0u, "tx"}, {ETHTOOL_GRXCSUM, ~0u, "rx"},
    };
    std::string on, cmd;
    for (const feature& f : features) {
        uint32_t v = 0;
        if (ethtool_get(fd, p->ifname.c_str(), f.cmd, &v) && (v & f.mask) != 0) {
            on += on.empty() ? "" : " ";
            on += f.name;
            cmd += " ";
            cmd += f.name;
            cmd += " off";
        }
    }
    if (!on.empty())
        note(
            "netport: port %s: offloads on (%s): frames may arrive larger than the MTU or with "
            "unfinished checksums; turn them off with: ethtool -K %s%s",
            p->name.c_str(), on.c_str(), p->ifname.c_str(), cmd.c_str());
}

int open_rx(port* p, packet_port& pp, uint32_t cap)
{
    int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);  // nothing arrives before bind
    if (fd < 0) {
        set_error("netport: port %s: cannot open a packet socket: %s%s", p->name.c_str(), strerror(errno),
                  errno == EPERM ? " (needs root or CAP_NET_RAW)" : "");
        return -1;
    }
    pp.rx_sock.reset(fd);
    if (sock_opt(fd, PACKET_VERSION, TPACKET_V2) != 0) {
        set_error("netport: port %s: TPACKET_V2 not available: %s", p->name.c_str(), strerror(errno));
        return -1;
    }
    if (sock_opt(fd, PACKET_IGNORE_OUTGOING, 1) != 0) {
        set_error(
            "netport: port %s: PACKET_IGNORE_OUTGOING not available (needs Linux 4.20 or "
            "later): %s",
            p->name.c_str(), strerror(errno));
        return -1;
    }
    pp.rx_frame_size = frame_size_for(rx_mac_offset + cap);
    uint32_t ring_bytes = pp.rx_frame_size <= 2048 ? (8u << 20) : (16u << 20);
    tpacket_req req{};
    req.tp_block_size = rx_block_bytes;
    req.tp_block_nr = ring_bytes / rx_block_bytes;
    req.tp_frame_size = pp.rx_frame_size;
    req.tp_frame_nr = ring_bytes / pp.rx_frame_size;
    if (setsockopt(fd, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) != 0) {
        set_error("netport: port %s: cannot set up the receive ring: %s", p->name.c_str(), strerror(errno));
        return -1;
    }
    void* m = mmap(nullptr, ring_bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_LOCKED, fd, 0);
    if (m == MAP_FAILED)
        m = mmap(nullptr, ring_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) {
        set_error("netport: port %s: cannot map the receive ring: %s", p->name.c_str(), strerror(errno));
        return -1;
    }
    pp.rx_map = mapping(m, ring_bytes);
    pp.rx_frames = req.tp_frame_nr;

    uint32_t vn = pp.rx_frames + 1;
    pp.vslots = std::make_unique<slot[]>(vn);
    pp.vframe = std::make_unique<uint32_t[]>(vn);
    pp.vstamps = std::make_unique<uint64_t[]>(vn);
    pp.view.num_slots = vn;
    pp.view.slots = pp.vslots.get();

    return 0;
}

// Binds the receive socket to the interface for every EtherType (frames
// start to arrive) and makes the interface promiscuous.
int join_rx(port* p, packet_port& pp)
{
    pp.rx_joined = true;
    const int fd = pp.rx_sock.get();
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = pp.ifindex;
    if (bind(fd, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0) {
        set_error("netport: port %s: cannot bind to %s: %s", p->name.c_str(), p->ifname.c_str(),
                  strerror(errno));
        return -1;
    }
    packet_mreq mr{};
    mr.mr_ifindex = pp.ifindex;
    mr.mr_type = PACKET_MR_PROMISC;
    if (setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mr, sizeof mr) != 0) {
        set_error("netport: port %s: cannot make %s promiscuous: %s", p->name.c_str(), p->ifname.c_str(),
                  strerror(errno));
        return -1;
    }
    return 0;
}

int open_tx(port* p, packet_port& pp)
{
    int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);  // protocol 0: receives nothing
    if (fd < 0) {
        set_error("netport: port %s: cannot open a packet socket: %s%s", p->name.c_str(), strerror(errno),
                  errno == EPERM ? " (needs root or CAP_NET_RAW)" : "");
        return -1;
    }
    pp.tx_sock.reset(fd);
    if (sock_opt(fd, PACKET_VERSION, TPACKET_V2) != 0 || sock_opt(fd, PACKET_QDISC_BYPASS, 1) != 0 ||
        sock_opt(fd, PACKET_LOSS, 1) != 0) {
        set_error("netport: port %s: cannot set up the transmit socket: %s", p->name.c_str(),
                  strerror(errno));
        return -1;
    }
    pp.tx_frame_size = frame_size_for(tx_data_offset + uint32_t(pp.max_frame));
    uint32_t ring_bytes = pp.tx_frame_size <= 2048 ? (1u << 20) : (4u << 20);
    tpacket_req req{};
    req.tp_block_size = rx_block_bytes;
    req.tp_block_nr = ring_bytes / rx_block_bytes;
    req.tp_frame_size = pp.tx_frame_size;
    req.tp_frame_nr = ring_bytes / pp.tx_frame_size;
    if (setsockopt(fd, SOL_PACKET, PACKET_TX_RING, &req, sizeof req) != 0) {
        set_error("netport: port %s: cannot set up the transmit ring: %s", p->name.c_str(), strerror(errno));
        return -1;
    }
    void* m = mmap(nullptr, ring_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) {
        set_error("netport: port %s: cannot map the transmit ring: %s", p->name.c_str(), strerror(errno));
        return -1;
    }
    pp.tx_map = mapping(m, ring_bytes);
    pp.tx_frames = req.tp_frame_nr;
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = 0;
    sll.sll_ifindex = pp.ifindex;
    if (bind(fd, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0) {
        set_error("netport: port %s: cannot bind to %s: %s", p->name.c_str(), p->ifname.c_str(),
                  strerror(errno));
        return -1;
    }
    return 0;
}

}  // namespace

int packet_open(port* p)
{
    auto pp = std::make_unique<packet_port>();
    pp->ifindex = interface_index(p);
    if (pp->ifindex == 0)
        return -1;
    ctl_socket ctl;
    if (!interface_mtu(p, ctl, &pp->mtu))
        return -1;
    pp->max_frame = std::min<size_t>(pp->mtu + sizeof(ether_header), max_frame_bytes);
    // Room for a VLAN tag the kernel takes off and we put back.
    uint32_t rx_cap = std::max<uint32_t>(uint32_t(pp->max_frame) + 8, min_frame_bytes);
    if (open_rx(p, *pp, rx_cap) != 0)
        return -1;
    if (!p->lazy_rx && join_rx(p, *pp) != 0)
        return -1;
    if ((p->flags & NR_RX_RINGS_ONLY) == 0 && open_tx(p, *pp) != 0)
        return -1;
    note_if_down(p, ctl);
    report_offloads(p, ctl.fd.get());
    p->packet = pp.release();
    return 0;
}

void packet_close(port* p)
{
    packet_txsync(p);
    delete p->packet;
    p->packet = nullptr;
}

int packet_inject(port* p, const void* frame, size_t len)
{
    packet_port& pp = *p->packet;
    if (len == 0 || len > pp.max_frame || pp.tx_frames == 0) {
        bump(p->drops.oversize);
        return -1;
    }
    if (len < sizeof(ether_header)) {
        // The kernel would drop it without a word.
        bump(p->drops.too_short);
        return -1;
    }
    tpacket2_hdr* h = pp.tx_hdr(pp.tx_next);
    uint32_t st = load_acquire(h->tp_status);
    if (st != TP_STATUS_AVAILABLE && st != TP_STATUS_WRONG_FORMAT)
        return 0;
    memcpy(reinterpret_cast<unsigned char*>(h) + tx_data_offset, frame, len);
    h->tp_len = uint32_t(len);
    store_release(h->tp_status, uint32_t{TP_STATUS_SEND_REQUEST});
    pp.tx_next = pp.tx_next + 1 == pp.tx_frames ? 0 : pp.tx_next + 1;
    ++pp.tx_pending;
    return int(len);
}

void packet_txsync(port* p)
{
    packet_port& pp = *p->packet;
    if (pp.tx_pending == 0)
        return;
    if (sendto(pp.tx_sock.get(), nullptr, 0, MSG_DONTWAIT, nullptr, 0) >= 0)
        pp.tx_pending = 0;
}

// First receive-side use of a port opened lazily.  A failure has printed
// its line; the ring then stays empty.
void packet_join_late(port* p) { join_rx(p, *p->packet); }

void packet_rxsync(port* p)
{
    packet_port& pp = *p->packet;
    if (!pp.rx_joined) [[unlikely]]
        packet_join_late(p);
    ring& v = pp.view;
    const uint32_t vn = v.num_slots;
    const uint32_t given = view_given(v, vn, pp.view_head);
    for (uint32_t k = 0; k < given; ++k) {
        store_release(pp.rx_hdr(pp.vframe[pp.view_head])->tp_status, uint32_t{TP_STATUS_KERNEL});
        pp.view_head = pp.view_head + 1 == vn ? 0 : pp.view_head + 1;
    }

    uint32_t vt = v.tail;
    for (;;) {
        uint32_t next_vt = vt + 1 == vn ? 0 : vt + 1;
        if (next_vt == pp.view_head)
            break;  // view full (cannot happen: one more slot than frames)
        uint32_t k = pp.next_frame;
        tpacket2_hdr* fh = pp.rx_hdr(k);
        uint32_t st = load_acquire(fh->tp_status);
        if ((st & TP_STATUS_USER) == 0)
            break;
        pp.next_frame = k + 1 == pp.rx_frames ? 0 : k + 1;
        if (fh->tp_snaplen < fh->tp_len || fh->tp_mac + fh->tp_snaplen > pp.rx_frame_size) {
            bump(p->drops.truncated);
            if (!pp.warned_truncated) {
                pp.warned_truncated = true;
                note(
                    "netport: port %s: a %u-byte frame did not fit the receive ring (MTU %u) and was "
                    "dropped; with segmentation offloads on, turn them off: ethtool -K %s gro off lro off",
                    p->name.c_str(), fh->tp_len, pp.mtu, p->ifname.c_str());
            }
            store_release(fh->tp_status, uint32_t{TP_STATUS_KERNEL});
            continue;
        }
        if ((st & TP_STATUS_CSUMNOTREADY) != 0 && !pp.warned_csum) {
            pp.warned_csum = true;
            note(
                "netport: port %s: frames arrive with unfinished checksums; turn checksum offload off "
                "on the sending interface (ethtool -K IFNAME tx off)",
                p->name.c_str());
        }
        unsigned char* buf = reinterpret_cast<unsigned char*>(fh) + fh->tp_mac;
        uint32_t len = fh->tp_snaplen;
        if ((st & TP_STATUS_VLAN_VALID) != 0 && len >= 12) {
            // The kernel took the tag off: put it back in front of the type.
            uint16_t tpid = (st & TP_STATUS_VLAN_TPID_VALID) ? fh->tp_vlan_tpid : ETH_P_8021Q;
            buf -= 4;
            memmove(buf, buf + 4, 12);
            uint16_t be[2] = {htons(tpid), htons(fh->tp_vlan_tci)};
            memcpy(buf + 12, be, 4);
            len += 4;
        }
        len = pad_runt(buf, len);
        pp.vslots[vt] = slot{buf, len, 0};
        pp.vframe[vt] = k;
        pp.vstamps[vt] = uint64_t(fh->tp_sec) * 1'000'000'000u + fh->tp_nsec;
        vt = next_vt;
    }
    v.tail = vt;
}

ring* packet_rx_ring(port* p)
{
    if (!p->packet->rx_joined)
        packet_join_late(p);
    return &p->packet->view;
}

uint64_t packet_rx_timestamp(const port* p, uint32_t slot)
{
    return p->packet->vstamps[slot % p->packet->view.num_slots];
}

size_t packet_max_frame(const port* p) { return p->packet->max_frame; }

int packet_fd(const port* p)
{
    if (!p->packet->rx_joined)
        packet_join_late(const_cast<port*>(p));
    return p->packet->rx_sock.get();
}

void packet_rx_wait(port* p, const timespec& timeout)
{
    pollfd pfd{packet_fd(p), POLLIN, 0};
    ppoll(&pfd, 1, &timeout, nullptr);
}

}  // namespace netport
