// Rewriting of the capture's frames: MAC addresses, IPv4 prefixes and the
// shift of the IP addresses from pass to pass (--unique-ip).
//
// Everything but the shift is done once, on the loaded capture, before the
// queue is built.  Checksums are fixed incrementally (a ones' complement
// update from the old and new address words): a checksum that was right
// stays right, one that was wrong in the capture stays wrong by the same
// amount, and no payload needs to be read.
//
// --unique-ip: in pass n of the capture (counted from 0, the first pass as
// captured) every IPv4 address, source and destination, is the captured one
// plus n as a 32-bit number (modulo 2^32); for IPv6 the last 32 bits of each
// address are.  The queue holds C copies of the capture; copy k is shifted
// by k when the queue is built, and after an entry is sent it is shifted by
// C more, ready for the next pass of the queue: one add per address and a
// checksum update, in place, no system call and no allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace wenlo {

// An IPv4 prefix mapped onto another of the same length (host byte order).
struct ipv4_map {
    uint32_t from;
    uint32_t to;
    uint32_t mask;
};

struct rewrite_opts {
    bool set_dmac = false;
    bool set_smac = false;
    unsigned char dmac[6] = {};
    unsigned char smac[6] = {};
    std::vector<ipv4_map> maps;  // the first that matches an address applies
    bool unique_ip = false;

    bool any() const { return set_dmac || set_smac || !maps.empty() || unique_ip; }
    bool ip() const { return !maps.empty() || unique_ip; }
};

// Frames of the capture that could not be rewritten (counted once, at load).
struct rewrite_counts {
    uint64_t rewritten = 0;  // frames changed in any way
    uint64_t truncated = 0;  // fewer bytes stored than the wire length: sent unchanged
    uint64_t not_ip = 0;     // an IP rewrite was asked but the frame is no whole IPv4/IPv6 packet
};

// Where the addresses and checksums of an IP frame lie.  src == 0: nothing
// to shift.  The shifted word of the destination is `gap` bytes after the
// source's (4 for IPv4, 16 for IPv6, where src is the last word of the
// source address).
struct ip_spot {
    uint16_t src = 0;
    uint16_t ip_ck = 0;  // IPv4 header checksum, 0: none
    uint16_t l4_ck = 0;  // TCP, UDP or ICMPv6 checksum, 0: none
    uint8_t gap = 0;
    uint8_t udp = 0;  // a UDP checksum of 0 means none; a computed 0 is sent as 0xffff
};
static_assert(sizeof(ip_spot) == 8);

// Parsers of the command-line forms; false with a message in err.
bool parse_mac(const char* text, unsigned char mac[6], std::string& err);
bool parse_ipmap(const char* text, ipv4_map& m, std::string& err);

// Where the IP addresses of a whole frame of n bytes lie (VLAN tags
// skipped); src stays 0 when it is no well-formed IPv4 or IPv6 packet.
ip_spot find_ip(std::span<const unsigned char> frame);

// Rewrites one frame as rw asks.  stored: bytes present, wire: its
// length on the wire.  Returns the spot for the pass shift (src 0 when
// there is none) and counts the frame.
ip_spot rewrite_frame(unsigned char* frame, uint64_t stored, uint64_t wire, const rewrite_opts& rw,
                      rewrite_counts& counts);

namespace detail {

inline uint32_t get32(const unsigned char* p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
inline void put32(unsigned char* p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// The checksum at p after a 32-bit word it covers went from old_w to new_w:
// HC' = ~(~HC + ~m + m') over 16-bit words.
inline void fix_checksum(unsigned char* p, uint32_t old_w, uint32_t new_w, bool udp)
{
    const uint32_t hc = uint32_t{p[0]} << 8 | p[1];
    if (udp && hc == 0)
        return;  // UDP sent without a checksum
    uint32_t sum =
        (~hc & 0xffff) + (~old_w >> 16 & 0xffff) + (~old_w & 0xffff) + (new_w >> 16) + (new_w & 0xffff);
    sum = (sum & 0xffff) + (sum >> 16);
    sum = (sum & 0xffff) + (sum >> 16);
    uint32_t out = ~sum & 0xffff;
    if (udp && out == 0)
        out = 0xffff;
    p[0] = static_cast<unsigned char>(out >> 8);
    p[1] = static_cast<unsigned char>(out);
}

// Sets the 32-bit word at w to v, fixing the checksums the spot names.
inline void set_word(unsigned char* frame, unsigned char* w, uint32_t v, const ip_spot& s)
{
    const uint32_t old_w = get32(w);
    put32(w, v);
    if (s.ip_ck != 0)
        fix_checksum(frame + s.ip_ck, old_w, v, false);
    if (s.l4_ck != 0)
        fix_checksum(frame + s.l4_ck, old_w, v, s.udp != 0);
}

}  // namespace detail

// Adds delta to both shifted address words of the frame.
inline void shift_ip(unsigned char* frame, const ip_spot& s, uint32_t delta)
{
    if (s.src == 0)
        return;
    unsigned char* a = frame + s.src;
    unsigned char* b = a + s.gap;
    detail::set_word(frame, a, detail::get32(a) + delta, s);
    detail::set_word(frame, b, detail::get32(b) + delta, s);
}

}  // namespace wenlo
