// The capture reader and pcap_prod on arbitrary files.
//
// The input is the file.  After readpcap accepts it, pcap_prod fills the
// replay queue, and the queue is walked: every entry lies inside it and
// chains to the next, the 32 bytes after the last entry stay zero, and each
// entry's bytes are the record's bytes from the file (within the file),
// then zeros, exactly as a reference walk of the file finds them.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "fuzz_util.hpp"
#include "wenlo/pcap_words.hpp"
#include "wenlo/replay.hpp"

using namespace wenlo;

namespace {

// Largest queue the target fills (the programs fill any size).
constexpr uint64_t max_queue = 64ull << 20;

struct ref_record {
    uint64_t time;     // ns
    uint64_t off;      // of the packet bytes in the file
    uint64_t len;      // wire length
    uint64_t present;  // bytes of it in the file
};

// The counted records, as the reader documents them: a header needs its 16
// bytes, a record cut short keeps the bytes present.
std::vector<ref_record> reference(const uint8_t* data, size_t size, bool swap, uint32_t res)
{
    std::vector<ref_record> out;
    uint64_t pos = pcap_global_hdr;
    auto word = [&](uint64_t at) {
        uint32_t w;
        std::memcpy(&w, data + at, 4);
        return swap ? __builtin_bswap32(w) : w;
    };
    while (pos + pcap_record_hdr <= size) {
        const uint64_t caplen = word(pos + 8), len = word(pos + 12);
        const record_hdr h{word(pos), word(pos + 4), uint32_t(caplen), uint32_t(len)};
        const uint64_t body = pos + pcap_record_hdr;
        const uint64_t avail = size - body;
        out.push_back({h.time_ns(res), body, len, std::min({caplen, len, avail})});
        pos = body + caplen;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const int fd = [] {
        fuzz::quiet_logs();
        return memfd_create("fuzz-pcap", MFD_CLOEXEC);
    }();
    static char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    FUZZ_CHECK(ftruncate(fd, 0) == 0);
    FUZZ_CHECK(pwrite(fd, data, size, 0) == ssize_t(size));

    auto rs = std::make_unique<replay_state>();
    const bool ok = readpcap(path, *rs);
    if (!ok) {
        FUZZ_CHECK(rs->pcap == nullptr);
        return 0;
    }
    pcap_file& pf = *rs->pcap;
    FUZZ_CHECK(pf.filesize == size && pf.tot_pkt > 0);
    const auto ref = reference(data, size, pf.swap != 0, pf.res);
    FUZZ_CHECK(pf.tot_pkt == ref.size());
    uint64_t tot_bytes = 0;
    for (const auto& r : ref)
        tot_bytes += r.len;
    FUZZ_CHECK(pf.tot_bytes == tot_bytes);

    const uint64_t copies = queue_copies(pf.tot_pkt);
    if (pf.tot_mem > max_queue / copies)
        return 0;
    FUZZ_CHECK(pcap_prod(*rs));
    const unsigned char* q = rs->queue.get();
    const uint64_t qsize = rs->queue.size();
    FUZZ_CHECK(qsize == pf.tot_mem * copies + entry_align);
    FUZZ_CHECK(rs->tail <= qsize - entry_align);
    for (uint64_t i = qsize - entry_align; i < qsize; ++i)
        FUZZ_CHECK(q[i] == 0);

    // A record earlier than its predecessor is a gap of 0 and every gap
    // forward is below 2^62 ns (the time stamps are), so with a first gap
    // the consumer's signed comparison takes as a wait, due times never step
    // back, whatever order the time stamps come in.
    const bool in_order = pf.first_pkt_time < (1ull << 62);

    // No loss model: every record of every copy is in the queue, in order.
    uint64_t off = 0, n = 0, prev_tx = 0;
    while (off < rs->tail) {
        const queue_entry e = load_entry(q, off);
        const ref_record& r = ref[n % ref.size()];
        FUZZ_CHECK(e.len == r.len);
        FUZZ_CHECK(e.next == off + entry_align + round_entry(e.len) && e.next <= rs->tail);
        if (in_order)
            FUZZ_CHECK(int64_t(e.tx - prev_tx) >= 0);
        prev_tx = e.tx;
        const unsigned char* b = q + off + entry_align;
        FUZZ_CHECK(std::memcmp(b, data + r.off, r.present) == 0);
        // Bytes not in the file are zeros (first copy, first page: the
        // later copies are written the same way).
        const uint64_t rest = n < ref.size() ? std::min<uint64_t>(e.len - r.present, 4096) : 0;
        for (uint64_t k = 0; k < rest; ++k)
            FUZZ_CHECK(b[r.present + k] == 0);
        off = e.next;
        ++n;
    }
    FUZZ_CHECK(off == rs->tail);
    FUZZ_CHECK(n == copies * pf.tot_pkt);
    return 0;
}
