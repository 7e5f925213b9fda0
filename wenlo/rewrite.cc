// Parsing of the rewrite options and the rewriting of one frame at load.
#include "wenlo/rewrite.hpp"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

namespace wenlo {

namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

uint16_t get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// "A.B.C.D/LEN" into address and length; false when malformed.
bool parse_prefix(const std::string& text, uint32_t& addr, uint32_t& len)
{
    const size_t slash = text.find('/');
    if (slash == std::string::npos || slash + 1 >= text.size())
        return false;
    const std::string a = text.substr(0, slash), l = text.substr(slash + 1);
    in_addr ia{};
    if (inet_pton(AF_INET, a.c_str(), &ia) != 1)
        return false;
    if (l.size() > 2 || l.find_first_not_of("0123456789") != std::string::npos)
        return false;
    len = static_cast<uint32_t>(std::atoi(l.c_str()));
    if (len > 32)
        return false;
    addr = ntohl(ia.s_addr);
    return true;
}

uint32_t mask_of(uint32_t len) { return len == 0 ? 0 : ~uint32_t{0} << (32 - len); }

uint32_t map_address(uint32_t a, const std::vector<ipv4_map>& maps)
{
    for (const ipv4_map& m : maps)
        if ((a & m.mask) == m.from)
            return m.to | (a & ~m.mask);
    return a;
}

}  // namespace

bool parse_mac(const char* text, unsigned char mac[6], std::string& err)
{
    // Six pairs of hex digits separated by ':' or '-'.
    const size_t n = std::strlen(text);
    bool ok = n == 17;
    for (size_t i = 0; ok && i < 6; i++) {
        const int hi = hex_digit(text[3 * i]), lo = hex_digit(text[3 * i + 1]);
        ok = hi >= 0 && lo >= 0 && (i == 5 || text[3 * i + 2] == ':' || text[3 * i + 2] == '-');
        if (ok)
            mac[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    if (!ok)
        err = std::string("malformed MAC address '") + text + "', use six hex pairs as 02:00:00:00:00:01";
    return ok;
}

bool parse_ipmap(const char* text, ipv4_map& m, std::string& err)
{
    const std::string t = text;
    const size_t colon = t.find(':');
    uint32_t a = 0, al = 0, b = 0, bl = 0;
    if (colon == std::string::npos || !parse_prefix(t.substr(0, colon), a, al) ||
        !parse_prefix(t.substr(colon + 1), b, bl)) {
        err = "malformed map '" + t + "', use OLD/LEN:NEW/LEN as 10.0.0.0/8:192.168.0.0/16 with the same LEN";
        return false;
    }
    if (al != bl) {
        err = "map '" + t + "': the prefix lengths differ (" + std::to_string(al) + " and " +
              std::to_string(bl) + ")";
        return false;
    }
    const uint32_t mask = mask_of(al);
    if ((a & ~mask) != 0 || (b & ~mask) != 0) {
        err = "map '" + t + "': an address has bits set past its /" + std::to_string(al);
        return false;
    }
    m = ipv4_map{a, b, mask};
    return true;
}

ip_spot find_ip(std::span<const unsigned char> frame)
{
    const unsigned char* f = frame.data();
    const size_t n = frame.size();
    ip_spot s{};
    size_t off = 12;
    if (n < 14)
        return s;
    uint16_t type = get16(f + off);
    for (int tags = 0; (type == 0x8100 || type == 0x88a8) && tags < 2; tags++) {
        off += 4;
        if (off + 2 > n)
            return s;
        type = get16(f + off);
    }
    const size_t l3 = off + 2;
    size_t l4 = 0;
    uint8_t proto = 0;
    if (type == 0x0800) {
        if (l3 + 20 > n || f[l3] >> 4 != 4)
            return s;
        const size_t ihl = size_t{f[l3] & 15u} * 4;
        const size_t total = get16(f + l3 + 2);
        if (ihl < 20 || total < ihl || l3 + total > n)
            return s;
        s.src = static_cast<uint16_t>(l3 + 12);
        s.gap = 4;
        s.ip_ck = static_cast<uint16_t>(l3 + 10);
        if ((get16(f + l3 + 6) & 0x1fff) == 0) {  // first or only fragment: the L4 header is here
            l4 = l3 + ihl;
            proto = f[l3 + 9];
        }
    } else if (type == 0x86dd) {
        if (l3 + 40 > n || f[l3] >> 4 != 6 || l3 + 40 + get16(f + l3 + 4) > n)
            return s;
        s.src = static_cast<uint16_t>(l3 + 8 + 12);
        s.gap = 16;
        proto = f[l3 + 6];
        l4 = l3 + 40;
        // Hop-by-hop, routing and destination options, then a fragment header.
        for (int h = 0; h < 8 && l4 != 0; h++) {
            if (proto == 0 || proto == 43 || proto == 60) {
                if (l4 + 2 > n)
                    return ip_spot{};
                proto = f[l4];
                l4 += (size_t{f[l4 + 1]} + 1) * 8;
            } else if (proto == 44) {
                if (l4 + 8 > n)
                    return ip_spot{};
                const bool first = (get16(f + l4 + 2) & 0xfff8) == 0;
                proto = f[l4];
                l4 = first ? l4 + 8 : 0;
            } else {
                break;
            }
        }
    } else {
        return s;
    }
    size_t ck = 0;
    if (l4 != 0 && proto == 6 && l4 + 18 <= n)
        ck = l4 + 16;
    else if (l4 != 0 && proto == 17 && l4 + 8 <= n)
        ck = l4 + 6, s.udp = 1;
    else if (l4 != 0 && proto == 58 && s.gap == 16 && l4 + 4 <= n)
        ck = l4 + 2;
    if (ck > 0xfffe)
        return ip_spot{};  // beyond what a spot can name: left alone
    s.l4_ck = static_cast<uint16_t>(ck);
    return s;
}

ip_spot rewrite_frame(unsigned char* frame, uint64_t stored, uint64_t wire, const rewrite_opts& rw,
                      rewrite_counts& counts)
{
    if (stored < wire || wire < 14) {
        counts.truncated++;
        return ip_spot{};
    }
    bool changed = false;
    if (rw.set_dmac && std::memcmp(frame, rw.dmac, 6) != 0) {
        std::memcpy(frame, rw.dmac, 6);
        changed = true;
    }
    if (rw.set_smac && std::memcmp(frame + 6, rw.smac, 6) != 0) {
        std::memcpy(frame + 6, rw.smac, 6);
        changed = true;
    }
    ip_spot s{};
    if (rw.ip()) {
        s = find_ip({frame, static_cast<size_t>(wire)});
        if (s.src == 0) {
            counts.not_ip++;
        } else if (s.gap == 4 && !rw.maps.empty()) {
            for (unsigned char* w : {frame + s.src, frame + s.src + 4}) {
                const uint32_t a = detail::get32(w), b = map_address(a, rw.maps);
                if (a != b) {
                    detail::set_word(frame, w, b, s);
                    changed = true;
                }
            }
        }
        if (!rw.unique_ip)
            s = ip_spot{};
    }
    if (changed)
        counts.rewritten++;
    return s;
}

}  // namespace wenlo
