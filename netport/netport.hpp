// Port layer: the packet I/O operations both programs use, on Linux.
//
//   "netmap:IFNAME"   a Linux network interface through AF_PACKET with
//                     memory-mapped rings (needs CAP_NET_RAW).
//   "xdp:IFNAME"      a Linux network interface through AF_XDP sockets, one
//                     per receive queue (needs root, or CAP_NET_ADMIN,
//                     CAP_NET_RAW and CAP_BPF).
//   "valeSW:PORT"     one end of a point-to-point shared-memory link in
//                     /dev/shm named after SW (no privileges needed).
//
// A receive ring is a plain view: slots from `head` up to `tail` (wrapping at
// `num_slots`) hold received frames owned by the caller; moving `head` past
// slots hands them back at the next rxsync.  A frame longer than one buffer
// spans several slots, each but the last flagged NS_MOREFRAG; rxsync makes
// only whole frames visible.  Each ring is used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace netport {

inline constexpr uint32_t NS_MOREFRAG = 0x1;          // another slot of this frame follows
inline constexpr uint32_t NR_RX_RINGS_ONLY = 0x1000;  // open flag: receive only

struct slot {
    unsigned char* buf;  // frame bytes of this slot
    uint32_t len;        // bytes of the frame in this slot
    uint32_t flags;      // NS_MOREFRAG
};

struct ring {
    uint32_t head;  // first slot owned by the caller
    uint32_t cur;   // the caller's own cursor (the layer does not read it)
    uint32_t tail;  // first slot not yet filled
    uint32_t num_slots;
    slot* slots;  // num_slots entries
};

// Frames the layer dropped inside a port (for the statistics).
struct port_drops {
    uint64_t truncated;    // cut short by the ring: never passed on
    uint64_t peer_absent;  // sent while the other end of a link was not attached
    uint64_t oversize;     // longer than nmport_max_frame(): refused by inject
    uint64_t damaged;      // dropped because the link's shared segment was found damaged
    uint64_t too_short;    // shorter than an Ethernet header (14 bytes): refused by inject
};

struct port;  // opaque

// Called once before any port exists; the layer is thread-safe per port.
void nmctx_set_threadsafe();

// Two-step open of an input port: prepare parses and checks the name, the
// caller may add NR_RX_RINGS_ONLY to *nr_flags(p), open_desc opens it.
// Failures return null / -1 and print one clear line naming the port on
// standard error; the same text is kept for nmport_errmsg().
port* nmport_prepare(const char* name);
uint32_t* nr_flags(port* p);
int nmport_open_desc(port* p);  // 0 on success, -1 on failure

// One-step open (prepare + open_desc) of a port used to send and receive.
port* nmport_open(const char* name);

// Copies one frame into a free transmit slot; returns len, or 0 when no slot
// is free now.  Nothing leaves before the next txsync.  A frame the port
// drops returns -1 and is counted once in port_drops under its reason: one
// it can never carry (empty, longer than nmport_max_frame(), or on a port
// opened receive-only: oversize; under 14 bytes on a "netmap:" port:
// too_short), or one that cannot arrive (the other end of a "vale" link not
// attached: peer_absent; the link's segment damaged: damaged).
int nmport_inject(port* p, const void* frame, size_t len);

// Hands filled transmit slots to the interface (one system call at most).
void nmport_txsync(port* p);

// Gives back the slots the caller moved head past and makes newly received
// whole frames visible (no system call when there is nothing to give back
// and nothing new).
void nmport_rxsync(port* p);

// The receive ring of an opened port (stable for the life of the port).
ring* nmport_rx_ring(port* p);

// Largest frame this port can ever carry, in bytes.
size_t nmport_max_frame(const port* p);

// Receive time of the frame in receive slot `slot` (one of head..tail), in
// CLOCK_REALTIME nanoseconds: the kernel's time stamp on "netmap:" ports, the
// time the rxsync that first showed it looked at the ring on "xdp:" ports, the
// time the sender's txsync published it on "vale" ports (the link has no
// length, so that is when the frame arrived, however late the reader looks).
uint64_t nmport_rx_timestamp(const port* p, uint32_t slot);

// True when the other end of a "vale" link is attached (always true on
// "netmap:" ports): frames injected now can arrive.
bool nmport_peer_attached(const port* p);

// Drops counted inside the layer so far.
port_drops nmport_drops(const port* p);

// A descriptor to wait on with poll() (readable when frames are waiting).
// A "vale" port has no wake-up through it: its descriptor is always
// readable; use nmport_rx_wait.  On "xdp:" ports it is the socket of the
// first receive queue only; nmport_rx_wait waits on all of them.
int nmport_fd(const port* p);

// Sleeps until frames may have arrived that the last rxsync did not show,
// or timeout_ns passed, or a signal came.  "netmap:" ports poll their
// receive descriptor (every queue's on "xdp:" ports); "vale" ports sleep until the sender's next txsync.
void nmport_rx_wait(port* p, int64_t timeout_ns);

void nmport_close(port* p);

// Text of the last failure of prepare/open in this thread.
const char* nmport_errmsg();

}  // namespace netport
