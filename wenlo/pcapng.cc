// pcapng reader: turns the file's packet blocks into an anonymous capture in
// pcap form (host byte order, nanosecond time stamps, Ethernet), which the
// pcap scan and the producer then read like any capture.
//
// Sections may switch byte order; interfaces carry their own time stamp
// resolution and offset.  Enhanced, obsolete and simple packet blocks are
// read (a simple packet block has no time stamp: it takes the previous
// packet's); other blocks are skipped.  An interface whose link type is not
// Ethernet, a block whose lengths disagree, a packet longer than its block
// or naming an unknown interface are refused; a last block cut short ends
// the capture with a warning.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include "common/log.hpp"
#include "wenlo/replay.hpp"

using namespace common;

namespace wenlo {

namespace {

constexpr uint32_t shb_type = 0x0a0d0d0a;
constexpr uint32_t idb_type = 1, opb_type = 2, spb_type = 3, epb_type = 6;
constexpr uint32_t linktype_ethernet = 1;
constexpr uint32_t image_snaplen = 262144;
constexpr int max_ifaces = 1024;

struct ng_iface {
    uint32_t snaplen;
    uint8_t resol;     // if_tsresol: 10^-r, or 2^-(r & 0x7f) with the top bit set
    int64_t offset_s;  // if_tsoffset
};

struct ng_args {
    const char* name;
    const unsigned char* in;
    uint64_t in_size;
    unsigned char* out;
    uint64_t out_size;
    uint64_t used = 0;  // bytes of out written
    uint64_t packets = 0;
    bool ok = false;
    std::array<ng_iface, max_ifaces> ifaces{};
};

// A time stamp in units of the interface's resolution as ns; false when it
// does not fit.
bool to_ns(uint64_t ts, const ng_iface& f, uint64_t& ns)
{
    unsigned __int128 v;
    if (f.resol & 0x80) {
        const unsigned shift = f.resol & 0x7f;
        if (shift > 63)
            return false;
        v = (static_cast<unsigned __int128>(ts) * 1000000000u) >> shift;
    } else if (f.resol <= 9) {
        uint64_t mult = 1;
        for (unsigned i = f.resol; i < 9; i++)
            mult *= 10;
        v = static_cast<unsigned __int128>(ts) * mult;
    } else if (f.resol <= 19) {
        uint64_t div = 1;
        for (unsigned i = 9; i < f.resol; i++)
            div *= 10;
        v = ts / div;
    } else {
        return false;
    }
    const __int128 t = static_cast<__int128>(v) + static_cast<__int128>(f.offset_s) * 1000000000;
    // pcap keeps seconds in 32 bits.
    if (t < 0 || t >= static_cast<__int128>(uint64_t{1} << 32) * 1000000000)
        return false;
    ns = static_cast<uint64_t>(t);
    return true;
}

bool parse(void* arg)
{
    ng_args& a = *static_cast<ng_args*>(arg);
    const unsigned char* const in = a.in;
    bool swap = false;
    auto u32 = [&](uint64_t off) {
        uint32_t w;
        std::memcpy(&w, in + off, 4);
        return swap ? __builtin_bswap32(w) : w;
    };
    auto u16 = [&](uint64_t off) {
        uint16_t w;
        std::memcpy(&w, in + off, 2);
        return swap ? __builtin_bswap16(w) : w;
    };
    auto put = [&](uint32_t w) {
        std::memcpy(a.out + a.used, &w, 4);
        a.used += 4;
    };
    const uint32_t hdr[6] = {0xa1b23c4d, 2 | 4u << 16, 0, 0, image_snaplen, linktype_ethernet};
    std::memcpy(a.out, hdr, sizeof hdr);
    a.used = sizeof hdr;

    int n_ifaces = 0;
    bool in_section = false;
    uint64_t last_ns = 0;
    uint64_t pos = 0;
    while (pos < a.in_size) {
        if (a.in_size - pos < 12) {
            log_msg_as("read_pcapng", "--WWW-- %lu bytes after the last block ignored\n",
                       static_cast<unsigned long>(a.in_size - pos));
            break;
        }
        uint32_t type;
        std::memcpy(&type, in + pos, 4);  // the section header's type reads the same both ways
        if (type == shb_type) {
            if (a.in_size - pos < 28) {
                log_msg_as("read_pcapng", "--EEE-- section header cut short at offset %lu\n",
                           static_cast<unsigned long>(pos));
                return true;
            }
            uint32_t bom;
            std::memcpy(&bom, in + pos + 8, 4);
            if (bom != 0x1a2b3c4d && bom != 0x4d3c2b1a) {
                log_msg_as("read_pcapng", "--EEE-- bad byte-order magic 0x%x at offset %lu\n", bom,
                           static_cast<unsigned long>(pos));
                return true;
            }
            swap = bom == 0x4d3c2b1a;
        } else if (!in_section) {
            log_msg_as("read_pcapng", "--EEE-- %s does not start with a section header\n", a.name);
            return true;
        } else {
            type = u32(pos);
        }
        const uint32_t len = u32(pos + 4);
        if (len < 12 || len % 4 != 0) {
            log_msg_as("read_pcapng", "--EEE-- block of length %u at offset %lu\n", len,
                       static_cast<unsigned long>(pos));
            return true;
        }
        if (len > a.in_size - pos) {
            log_msg_as("read_pcapng", "--WWW-- end of pcapng file after %lu packets: last block cut short\n",
                       static_cast<unsigned long>(a.packets));
            break;
        }
        if (u32(pos + len - 4) != len) {
            log_msg_as("read_pcapng", "--EEE-- block at offset %lu: its two lengths differ\n",
                       static_cast<unsigned long>(pos));
            return true;
        }
        const uint64_t body = pos + 8, body_len = len - 12;
        bool packet = false;
        uint32_t iface = 0, caplen = 0, wire = 0;
        uint64_t data = 0, ts = 0;
        if (type == shb_type) {
            if (u16(body + 4) != 1) {
                log_msg_as("read_pcapng", "--EEE-- pcapng major version %u is not 1\n", u16(body + 4));
                return true;
            }
            in_section = true;
            n_ifaces = 0;
        } else if (type == idb_type) {
            if (body_len < 8) {
                log_msg_as("read_pcapng", "--EEE-- interface block of %u bytes\n", len);
                return true;
            }
            const uint32_t link = u16(body);
            if (link != linktype_ethernet) {
                log_msg_as("read_pcapng",
                           "--EEE-- interface %d has link type %u, not Ethernet (1): refused\n", n_ifaces,
                           link);
                return true;
            }
            if (n_ifaces == max_ifaces) {
                log_msg_as("read_pcapng", "--EEE-- more than %d interfaces in a section\n", max_ifaces);
                return true;
            }
            ng_iface f{u32(body + 4), 6, 0};
            for (uint64_t o = body + 8; o + 4 <= body + body_len;) {
                const uint16_t code = u16(o), olen = u16(o + 2);
                if (code == 0 || o + 4 + olen > body + body_len)
                    break;
                if (code == 9 && olen >= 1)
                    f.resol = in[o + 4];
                if (code == 14 && olen >= 8) {
                    uint64_t v = uint64_t{u32(o + 4)} | uint64_t{u32(o + 8)} << 32;
                    if (swap)
                        v = uint64_t{u32(o + 8)} | uint64_t{u32(o + 4)} << 32;
                    f.offset_s = static_cast<int64_t>(v);
                }
                o += 4 + ((olen + 3u) & ~3u);
            }
            a.ifaces[static_cast<size_t>(n_ifaces++)] = f;
        } else if (type == epb_type || type == opb_type) {
            if (body_len < 20) {
                log_msg_as("read_pcapng", "--EEE-- packet block of %u bytes at offset %lu\n", len,
                           static_cast<unsigned long>(pos));
                return true;
            }
            iface = type == epb_type ? u32(body) : u16(body);
            ts = uint64_t{u32(body + 4)} << 32 | u32(body + 8);
            caplen = u32(body + 12);
            wire = u32(body + 16);
            data = body + 20;
            if (caplen > body_len - 20) {
                log_msg_as("read_pcapng", "--EEE-- packet %lu: %u bytes captured in a block of %u\n",
                           static_cast<unsigned long>(a.packets), caplen, len);
                return true;
            }
            packet = true;
        } else if (type == spb_type) {
            if (body_len < 4) {
                log_msg_as("read_pcapng", "--EEE-- simple packet block of %u bytes\n", len);
                return true;
            }
            wire = u32(body);
            caplen = static_cast<uint32_t>(std::min<uint64_t>(wire, body_len - 4));
            if (n_ifaces > 0 && a.ifaces[0].snaplen != 0 && caplen > a.ifaces[0].snaplen)
                caplen = a.ifaces[0].snaplen;
            data = body + 4;
            packet = true;
        }
        if (packet) {
            if (iface >= static_cast<uint32_t>(n_ifaces)) {
                log_msg_as("read_pcapng", "--EEE-- packet %lu names interface %u, the section has %d\n",
                           static_cast<unsigned long>(a.packets), iface, n_ifaces);
                return true;
            }
            uint64_t ns = last_ns;
            if (type != spb_type && !to_ns(ts, a.ifaces[iface], ns)) {
                log_msg_as("read_pcapng", "--EEE-- packet %lu: time stamp out of range\n",
                           static_cast<unsigned long>(a.packets));
                return true;
            }
            last_ns = ns;
            if (a.out_size - a.used < 16 + uint64_t{caplen})
                return true;  // cannot happen: a block is never shorter than its record
            put(static_cast<uint32_t>(ns / 1000000000));
            put(static_cast<uint32_t>(ns % 1000000000));
            put(caplen);
            put(wire);
            std::memcpy(a.out + a.used, in + data, caplen);
            a.used += caplen;
            a.packets++;
        }
        pos += len;
    }
    a.ok = true;
    return true;
}

}  // namespace

std::unique_ptr<pcap_file> read_pcapng(const char* name)
{
    unique_fd f(open(name, O_RDONLY | O_CLOEXEC));
    if (!f.valid()) {
        log_msg("--EEE-- cannot open file %s\n", name);
        return nullptr;
    }
    const off_t end = lseek(f.get(), 0, SEEK_END);
    if (end <= 0) {
        log_msg("--EEE-- file too short %s\n", name);
        return nullptr;
    }
    const uint64_t size = static_cast<uint64_t>(end);
    // The source mapping, unmapped with this owner.
    pcap_file src;
    src.map = mapping(mmap(nullptr, size, PROT_READ, MAP_SHARED, f.get(), 0), size);
    if (!src.map) {
        log_msg("--EEE-- cannot mmap file %s\n", name);
        return nullptr;
    }
    src.data = src.map.get();
    src.filesize = size;

    // A record (16 bytes + data) is never longer than its block (at least
    // 32 bytes + data, 16 for a simple packet block), so the file's size
    // plus the 24-byte header bounds the image.
    const uint64_t out_size = size + pcap_global_hdr;
    auto img = std::make_unique<pcap_file>();
    img->map = map_anonymous(out_size, 0);
    if (!img->map) {
        log_msg("--EEE-- no memory for the %lu bytes of %s\n", static_cast<unsigned long>(out_size), name);
        return nullptr;
    }
    unsigned char* const out = img->map.get();
    img->data = out;
    img->filesize = out_size;

    ng_args a{name, src.data, size, out, out_size};
    if (!capture_guard(src, parse, &a)) {
        log_msg("--EEE-- %s was cut short while it was read\n", name);
        return nullptr;
    }
    if (!a.ok)
        return nullptr;
    // Give back what the image did not use.
    if (a.used < out_size && mremap(out, out_size, a.used, 0) != MAP_FAILED) {
        img->map.release();
        img->map = mapping(out, a.used);
        img->filesize = a.used;
    }
    log_msg("pcapng: %lu packets, %lu bytes in pcap form\n", static_cast<unsigned long>(a.packets),
            static_cast<unsigned long>(a.used));
    return img;
}

}  // namespace wenlo
