// Inside the port layer: the port record and the backends.
#pragma once

#include "netport/netport.hpp"

#include <time.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string>

namespace netport {

// Largest frame any backend carries.
inline constexpr size_t max_frame_bytes = 9216;
// An Ethernet frame without its frame check sequence is never shorter.
inline constexpr uint32_t min_frame_bytes = 60;

struct vale_attach;  // shared-memory link end (vale.cc)
struct packet_port;  // AF_PACKET sockets and rings (afpacket.cc)
struct xdp_attach;   // AF_XDP sockets of one interface (xdp.cc)

enum class port_kind { none, vale, packet, xdp };

struct port {
    std::string name;
    uint32_t flags = 0;  // NR_RX_RINGS_ONLY
    port_kind kind = port_kind::none;
    bool opened = false;
    // "netmap:" and "xdp:" ports opened by nmport_open: the receive side
    // joins the interface only at the first receive-side call (a port that
    // only sends never has every frame copied into its ring).
    bool lazy_rx = false;

    // vale: parsed name
    std::string switch_name;
    std::string port_name;
    // netmap: and xdp: parsed name
    std::string ifname;

    vale_attach* vale = nullptr;
    packet_port* packet = nullptr;
    xdp_attach* xdp = nullptr;

    port_drops drops{};
};

// Records the failure text for nmport_errmsg() and prints it on stderr.
[[gnu::format(printf, 1, 2)]] void set_error(const char* fmt, ...);
// One line on stderr (not a failure).
[[gnu::format(printf, 1, 2)]] void note(const char* fmt, ...);

template <class T>
inline T load_acquire(const T& v)
{
    return std::atomic_ref<T>(const_cast<T&>(v)).load(std::memory_order_acquire);
}
template <class T>
inline void store_release(T& v, T x)
{
    std::atomic_ref<T>(v).store(x, std::memory_order_release);
}
template <class T>
inline T load_relaxed(const T& v)
{
    return std::atomic_ref<T>(const_cast<T&>(v)).load(std::memory_order_relaxed);
}
template <class T>
inline void store_relaxed(T& v, T x)
{
    std::atomic_ref<T>(v).store(x, std::memory_order_relaxed);
}

// Counter with one writing thread, read from others.
inline void bump(uint64_t& v, uint64_t by = 1) { store_relaxed(v, load_relaxed(v) + by); }

// Slots of a receive view of vn slots that the user handed back since
// view_head: as far as its head, never past its tail; a head out of range
// gives back none.
inline uint32_t view_given(const ring& v, uint32_t vn, uint32_t view_head)
{
    const uint32_t visible = (v.tail + vn - view_head) % vn;
    const uint32_t h = v.head < vn ? v.head : view_head;
    const uint32_t given = (h + vn - view_head) % vn;
    return given > visible ? visible : given;
}

// A received frame shorter than Ethernet's minimum is padded with zeros,
// as the link would carry it (its buffer has room); its length after.
inline uint32_t pad_runt(unsigned char* buf, uint32_t len)
{
    if (len < min_frame_bytes) {
        memset(buf + len, 0, min_frame_bytes - len);
        len = min_frame_bytes;
    }
    return len;
}

// vale backend
int vale_open(port* p);
void vale_close(port* p);
int vale_inject(port* p, const void* frame, size_t len);
void vale_txsync(port* p);
void vale_rxsync(port* p);
ring* vale_rx_ring(port* p);
uint64_t vale_rx_timestamp(const port* p, uint32_t slot);
void vale_rx_wait(port* p, const timespec& timeout);
bool vale_peer_attached(const port* p);
int vale_fd(const port* p);

// netmap: backend (AF_PACKET)
int packet_open(port* p);
void packet_close(port* p);
int packet_inject(port* p, const void* frame, size_t len);
void packet_txsync(port* p);
void packet_rxsync(port* p);
ring* packet_rx_ring(port* p);
uint64_t packet_rx_timestamp(const port* p, uint32_t slot);
void packet_rx_wait(port* p, const timespec& timeout);
size_t packet_max_frame(const port* p);
int packet_fd(const port* p);

// xdp: backend (AF_XDP)
int xdp_open(port* p);
void xdp_close(port* p);
int xdp_inject(port* p, const void* frame, size_t len);
void xdp_txsync(port* p);
void xdp_rxsync(port* p);
ring* xdp_rx_ring(port* p);
uint64_t xdp_rx_timestamp(const port* p, uint32_t slot);
void xdp_rx_wait(port* p, const timespec& timeout);
size_t xdp_max_frame(const port* p);
int xdp_fd(const port* p);

}  // namespace netport
