// Route mode: ARP answers, next-hop resolution and MAC rewriting.
//
// A direction's producer receives ARP frames on its input port, but the
// answers must leave through that same port, which only the other
// direction's consumer transmits on.  So the producer checks the frame and
// hands it over through an arp_ring (arp_handoff); that consumer answers
// requests and learns from replies (arp_drain, cons_handle_arp).  Before
// sending a forwarded packet each consumer picks its next hop, asks for the
// hop's MAC with an ARP request when due, and rewrites the Ethernet
// addresses (cons_update_macs).
//
// Ring X (arp_rings[0]) is filled by A's producer (receives on ifa) and
// drained by B's consumer (transmits on ifa); ring Y (arp_rings[1]) is
// filled by B's producer and drained by A's consumer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pipe/pipe_state.hpp"

namespace corvo {

// One handed-over ARP frame.  The producer writes op, sha and spa only while
// state is arp_free and publishes them by storing arp_ready last (release);
// the consumer loads state (acquire) before the other fields and gives the
// slot back by storing arp_taken, then arp_free.
struct arp_slot {
    unsigned char sha[6];  // sender hardware address
    uint8_t state;         // arp_free, arp_ready or arp_taken
    uint8_t op;            // 1 request, 2 reply
    uint32_t spa;          // sender protocol address, network byte order
};

inline constexpr uint8_t arp_free = 0;   // the producer may fill it
inline constexpr uint8_t arp_ready = 1;  // handed over by the producer
inline constexpr uint8_t arp_taken = 2;  // taken by the consumer

inline constexpr uint64_t arp_ring_slots = 16;

// Single-producer single-consumer hand-off ring.  Slot i serves the index
// values i, i + 16, i + 32...  Each index is private to its writer; the
// slots' state bytes carry the handshake.
struct alignas(pipes::line_bytes) arp_ring {
    arp_slot entries[arp_ring_slots];
    unsigned char pad0[3 * pipes::line_bytes - sizeof(arp_slot) * arp_ring_slots];
    alignas(pipes::line_bytes) uint64_t cons_idx;  // consumer: slots taken so far
    uint64_t free_idx;                             // consumer: slots given back so far
    alignas(pipes::line_bytes) uint64_t prod_idx;  // producer: slots handed over so far
};

// An element of a port's ARP table, indexed by the host part of an address.
// Only the consumer that transmits on the port reads or writes it.
struct arp_entry {
    uint64_t next;          // consumer clock (ns): no new request before this
    unsigned char addr[6];  // the MAC with every bit inverted (0 = unknown = broadcast)
    uint8_t asked;          // 1 from our request until its first reply, else 0
    unsigned char pad;
};

static_assert(pipes::layout_record<arp_slot> && sizeof(arp_slot) == 12);
static_assert(offsetof(arp_slot, state) == 6 && offsetof(arp_slot, op) == 7);
static_assert(offsetof(arp_slot, spa) == 8);
static_assert(std::atomic_ref<uint8_t>::is_always_lock_free);
static_assert(std::is_standard_layout_v<arp_ring> && sizeof(arp_ring) == 5 * pipes::line_bytes);
static_assert(offsetof(arp_ring, cons_idx) == 3 * pipes::line_bytes);
static_assert(offsetof(arp_ring, free_idx) == 3 * pipes::line_bytes + 8);
static_assert(offsetof(arp_ring, prod_idx) == 4 * pipes::line_bytes);
static_assert(pipes::layout_record<arp_entry> && sizeof(arp_entry) == 16);
static_assert(offsetof(arp_entry, next) == 0 && offsetof(arp_entry, addr) == 8);
static_assert(offsetof(arp_entry, asked) == 14);

// Ring X and ring Y, zero at start, for the whole run.
extern arp_ring arp_rings[2];

// Producer, route mode: looks at the packet just gathered (cur_pkt, first
// slot frags[0]) before the models.  Returns true when the packet is done
// with here: an ARP frame (handed over or swallowed, never forwarded or
// counted), or a frame whose first slot is too short to read the fields
// needed (dropped and counted in prod_stats).  False: forward it.
bool route_divert(pipes::pipe_state& p) noexcept;

// Producer: checks an ARP frame received on in_if (at least 42 bytes) and
// hands a request or reply for in_if's address from in_if's subnet to the
// other direction's consumer.  A full ring loses the frame.
void arp_handoff(pipes::pipe_state& p, const unsigned char* frame) noexcept;

// Consumer, once per loop iteration: answers or learns from every frame
// handed over in arp_cons_ring and gives the slots back.  Returns what to
// add to the count of injections pending a transmit sync.
int arp_drain(pipes::pipe_state& p) noexcept;

// Consumer: a reply for out_if's address is learned (refreshed for 5 s)
// only when it answers a request of ours still waiting for its first
// reply; any other reply changes nothing.  A request is answered on
// port_out.  Returns burst after sending a reply,
// otherwise 0.
int cons_handle_arp(pipes::pipe_state& p, const arp_slot& e) noexcept;

enum class mac_verdict : uint8_t {
    send,  // frame rewritten, inject it
    drop,  // not routable: count it as a drop
    skip,  // IEEE 802.3 length frame: discard without counting
};

struct mac_result {
    mac_verdict verdict;
    int requests;  // ARP requests injected before the frame (0 or 1)
};

// Consumer, for each queued frame about to be sent in route mode: chooses
// the next hop on out_if, sends an ARP request for it when due (at most one
// per hop every 5 s; a request sent opens the hop's entry to one reply), and
// rewrites the frame's Ethernet addresses in place.
mac_result cons_update_macs(pipes::pipe_state& p, unsigned char* frame, uint32_t len) noexcept;

// ARP table entries are refreshed this long after a reply or a request.
inline constexpr uint64_t arp_refresh_ns = 5000000000ull;

}  // namespace corvo
