// Record headers of a mapped capture, read word by word in the file's byte
// order.  A word is read only when its four bytes lie inside the mapping.
#pragma once

#include <cstdint>
#include <cstring>

namespace wenlo {

struct record_hdr {
    uint32_t ts_sec;
    uint32_t ts_frac;  // microseconds (res 1000) or nanoseconds (res 1)
    uint32_t caplen;   // bytes stored in the file
    uint32_t len;      // bytes on the wire

    // ts_frac x res is taken in 32 bits, as the format intends.
    uint64_t time_ns(uint32_t res) const
    {
        return uint64_t{ts_sec} * 1000000000u + static_cast<uint32_t>(ts_frac * res);
    }
};

struct record_reader {
    const unsigned char* data;
    const unsigned char* lim;
    bool swap;
    uint32_t res;

    // The word at offset off, or false when it runs past the end.
    bool word_at(uint64_t off, uint32_t& w) const
    {
        uint64_t size = static_cast<uint64_t>(lim - data);
        if (off > size || size - off < 4)
            return false;
        std::memcpy(&w, data + off, 4);
        if (swap)
            w = __builtin_bswap32(w);
        return true;
    }

    // All four words of the header at off; false when any does not fit.
    bool header_at(uint64_t off, record_hdr& h) const
    {
        return word_at(off, h.ts_sec) && word_at(off + 4, h.ts_frac) && word_at(off + 8, h.caplen) &&
               word_at(off + 12, h.len);
    }
};

}  // namespace wenlo
