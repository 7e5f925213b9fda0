// Route mode on the data path: ARP hand-off, answers, learning and MAC
// rewriting.
//
// Frames are untagged Ethernet: EtherType at bytes 12-13, the ARP body from
// byte 14 (operation 20-21, sender MAC 22-27, sender address 28-31, target
// address 38-41), the IPv4 destination at bytes 30-33.  Addresses stay in
// network byte order throughout.
//
// Hand-off ordering, per slot of an arp_ring:
//   R1: producer stores state = arp_ready (release) after op, sha, spa.
//   A1: consumer loads state (acquire), pairs with R1, then reads the fields.
//   R2: consumer stores state = arp_free (release) when done with the slot.
//   A2: producer loads state (acquire), pairs with R2, before refilling it.
#include "corvo/arp.hpp"

#include <cstring>

#include "common/log.hpp"
#include "corvo/datapath.hpp"
#include "corvo/route.hpp"
#include "netport/netport.hpp"

using namespace common;
using namespace pipes;

namespace corvo {

arp_ring arp_rings[2];

namespace {

constexpr uint16_t ethertype_ipv4 = 0x0800;
constexpr uint16_t ethertype_arp = 0x0806;
constexpr uint32_t ether_hdr_bytes = 14;  // up to and with the EtherType
constexpr uint32_t arp_frame_min = 42;    // Ethernet header + ARP body for IPv4
constexpr uint32_t ipv4_dst_end = 34;     // end of the IPv4 destination address
constexpr uint16_t arp_op_request = 1;
constexpr uint16_t arp_op_reply = 2;

inline uint16_t get_be16(const unsigned char* b) noexcept { return uint16_t(b[0] << 8 | b[1]); }

// Four bytes as they are, i.e. an address in network byte order.
inline uint32_t get_addr(const unsigned char* b) noexcept
{
    uint32_t v;
    std::memcpy(&v, b, 4);
    return v;
}

inline std::atomic_ref<uint8_t> state_of(arp_slot& s) noexcept { return std::atomic_ref<uint8_t>(s.state); }

void count_prod_drop(pipe_state& p) noexcept
{
    count_drop(p.prod_stats, p.prod_rep.drops, drop_reason::not_routable, p.cur_len);
}

}  // namespace

bool route_divert(pipe_state& p) noexcept
{
    const unsigned char* f = p.cur_pkt;
    uint32_t first = p.n_frags > 0 ? p.frags[0].len : p.cur_len;
    if (first < ether_hdr_bytes) [[unlikely]] {
        count_prod_drop(p);
        return true;
    }
    if (get_be16(f + 12) != ethertype_arp)
        return false;
    if (first < arp_frame_min) [[unlikely]] {
        count_prod_drop(p);
        return true;
    }
    counter_add(p.prod_rep.arp_pkts, 1);
    counter_add(p.prod_rep.arp_bytes, p.cur_len);
    arp_handoff(p, f);
    return true;
}

void arp_handoff(pipe_state& p, const unsigned char* frame) noexcept
{
    const route_config& rc = *p.in_if;
    if (get_addr(frame + 38) != rc.ip)
        return;
    uint32_t spa = get_addr(frame + 28);
    if ((spa & rc.netmask) != rc.network)
        return;
    uint16_t op = get_be16(frame + 20);
    if (op != arp_op_request && op != arp_op_reply)
        return;
    arp_ring& r = *p.arp_prod_ring;
    arp_slot& e = r.entries[r.prod_idx % arp_ring_slots];
    if (state_of(e).load(std::memory_order_acquire) != arp_free)  // A2: pairs with R2 in arp_drain
        return;  // ring full: the frame is lost, the requester asks again
    e.op = uint8_t(op);
    std::memcpy(e.sha, frame + 22, 6);
    e.spa = spa;
    state_of(e).store(arp_ready, std::memory_order_release);  // R1
    r.prod_idx += 1;
}

int arp_drain(pipe_state& p) noexcept
{
    arp_ring& r = *p.arp_cons_ring;
    int n = 0;
    for (;;) {
        arp_slot& e = r.entries[r.cons_idx % arp_ring_slots];
        if (state_of(e).load(std::memory_order_acquire) != arp_ready)  // A1: pairs with R1 in arp_handoff
            break;
        state_of(e).store(arp_taken, std::memory_order_relaxed);
        r.cons_idx += 1;
        n += cons_handle_arp(p, e);
    }
    for (;;) {
        arp_slot& e = r.entries[r.free_idx % arp_ring_slots];
        if (state_of(e).load(std::memory_order_relaxed) != arp_taken)  // only we store arp_taken
            break;
        state_of(e).store(arp_free, std::memory_order_release);  // R2
        r.free_idx += 1;
    }
    return n;
}

int cons_handle_arp(pipe_state& p, const arp_slot& e) noexcept
{
    route_config& rc = *p.out_if;
    if (e.op == arp_op_reply) {
        // Only the first reply to our own request is believed: an
        // unsolicited or a second reply must not move the hop's traffic.
        arp_entry& t = rc.arp_table[route_host_index(rc, e.spa)];
        if (!t.asked)
            return 0;
        t.asked = 0;
        t.next = pipe_clock(p) + arp_refresh_ns;
        for (int i = 0; i < 6; ++i)
            t.addr[i] = static_cast<unsigned char>(~e.sha[i]);
        return 0;
    }
    if (e.op != arp_op_request)
        return 0;
    std::memcpy(rc.arp_reply, e.sha, 6);
    std::memcpy(rc.arp_reply + 32, e.sha, 6);
    std::memcpy(rc.arp_reply + 38, &e.spa, 4);
    if (netport::nmport_inject(p.port_out, rc.arp_reply, arp_frame_bytes) > 0)
        return p.burst;
    log_limited(1, "failed to inject arp reply\n");
    return 0;
}

mac_result cons_update_macs(pipe_state& p, unsigned char* frame, uint32_t len) noexcept
{
    route_config& rc = *p.out_if;
    if (len < ether_hdr_bytes) [[unlikely]]
        return {mac_verdict::drop, 0};
    if (frame[12] < 0x06)  // an IEEE 802.3 length, not a type
        return {mac_verdict::skip, 0};
    // Anything but untagged IPv4 (IPv6, VLAN tags, ...) is not routed.
    if (get_be16(frame + 12) != ethertype_ipv4 || len < ipv4_dst_end)
        return {mac_verdict::drop, 0};
    uint32_t d = get_addr(frame + 30);
    if (d == 0xffffffffu || d == rc.broadcast)
        return {mac_verdict::drop, 0};
    uint32_t hop = d;
    if ((d & rc.netmask) != rc.network) {
        hop = rc.gateway;
        if (hop == 0)
            return {mac_verdict::drop, 0};
    }
    arp_entry& t = rc.arp_table[route_host_index(rc, hop)];
    int requests = 0;
    if (int64_t(p.cons_now - t.next) > 0) {
        std::memcpy(rc.arp_request + 38, &hop, 4);
        t.next = pipe_clock(p) + arp_refresh_ns;
        if (netport::nmport_inject(p.port_out, rc.arp_request, arp_frame_bytes) > 0) {
            requests = 1;
            t.asked = 1;
        } else
            log_limited(1, "failed to inject arp request\n");
    }
    for (int i = 0; i < 6; ++i)
        frame[i] = static_cast<unsigned char>(~t.addr[i]);
    std::memcpy(frame + 6, rc.mac, 6);
    return {mac_verdict::send, requests};
}

}  // namespace corvo
