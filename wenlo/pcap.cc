// Capture reader: maps the pcap file once, read-only, and scans the record
// headers to count the packets and size the replay queue.  Packet bytes are
// first touched by the producer when it copies them into the queue.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/log.hpp"
#include "wenlo/pcap_words.hpp"
#include "wenlo/replay.hpp"

namespace wenlo {

namespace {

struct magic_kind {
    uint32_t magic;
    uint32_t swap;
    uint32_t res;
};
constexpr magic_kind magic_kinds[] = {
    {0xa1b2c3d4, 0, 1000},
    {0xa1b23c4d, 0, 1},
    {0xd4c3b2a1, 1, 1000},
    {0x4d3cb2a1, 1, 1},
};

// Owns the descriptor and mapping until the scan succeeds.
struct fd_guard {
    int fd;
    ~fd_guard() {
        if (fd >= 0)
            close(fd);
    }
};

}  // namespace

bool readpcap(const char* name, replay_state& rs) {
    if (name == nullptr)
        return false;
    fd_guard f{open(name, O_RDONLY | O_CLOEXEC)};
    if (f.fd < 0) {
        log_msg("--EEE-- cannot open file %s\n", name);
        return false;
    }
    off_t end = lseek(f.fd, 0, SEEK_END);
    lseek(f.fd, 0, SEEK_SET);
    uint64_t filesize = end < 0 ? 0 : static_cast<uint64_t>(end);
    log_msg("filesize is %lu\n", static_cast<unsigned long>(filesize));
    if (filesize < pcap_global_hdr) {
        log_msg("--EEE-- file too short %s\n", name);
        return false;
    }
    // The capture is read into private memory rather than mapped: pages of
    // a mapped file that is cut short meanwhile (truncated or rewritten)
    // raise SIGBUS when touched.  A file that shrinks while it is read is
    // taken as far as it was read.
    void* map = mmap(nullptr, filesize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) {
        log_msg("--EEE-- cannot mmap file %s\n", name);
        return false;
    }
    uint64_t got = 0;
    while (got < filesize) {
        const ssize_t n = pread(f.fd, static_cast<unsigned char*>(map) + got, filesize - got,
                                static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<uint64_t>(n);
    }
    if (got < filesize) {
        log_msg("--WWW-- %s shrank to %lu bytes while it was read\n", name, static_cast<unsigned long>(got));
        const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
        const uint64_t keep = (got + page - 1) / page * page;
        munmap(static_cast<unsigned char*>(map) + keep, filesize - keep);
        if (got < pcap_global_hdr) {
            if (keep > 0)
                munmap(map, keep);
            log_msg("--EEE-- file too short %s\n", name);
            return false;
        }
        filesize = got;
    }
    mprotect(map, filesize, PROT_READ);
    auto pf = std::make_unique<pcap_file>();
    pf->fd = f.fd;
    f.fd = -1;
    pf->filesize = filesize;
    pf->data = static_cast<const unsigned char*>(map);
    pf->lim = pf->data + filesize;

    uint32_t magic;
    std::memcpy(&magic, pf->data, sizeof magic);
    log_msg("magic is 0x%x\n", magic);
    const magic_kind* kind = nullptr;
    for (const auto& k : magic_kinds)
        if (k.magic == magic)
            kind = &k;
    if (kind == nullptr) {
        log_msg("--EEE-- unknown magic 0x%x\n", magic);
        return false;
    }
    pf->swap = kind->swap;
    pf->res = kind->res;
    log_msg("swap %d res %d\n\n", static_cast<int>(pf->swap), static_cast<int>(pf->res));

    record_reader rd{pf->data, pf->lim, pf->swap != 0, pf->res};
    uint64_t count = 0, prev = 0, first = 0, last = 0, first_len = 0;
    uint64_t tot_bytes = 0, tot_mem = 0;
    uint64_t pos = pcap_global_hdr;
    while (pos < filesize) {
        record_hdr h;
        if (!rd.header_at(pos, h)) {
            log_msg("--WWW-- end of pcap file after %d packets\n\n", static_cast<int>(count));
            break;
        }
        uint64_t t = h.time_ns(pf->res);
        if (t < prev)
            log_msg("--WWW-- reordered packet %d\n\n", static_cast<int>(count));
        if (count == 0) {
            first = t;
            first_len = h.len;
        }
        last = t;
        count++;
        tot_bytes += h.len;
        tot_mem += entry_align + round_entry(h.len);
        pos += pcap_record_hdr + h.caplen;
        prev = t;
    }

    // A capture whose last record is earlier than its first lasts 0.
    uint64_t tx_time = last > first ? last - first : 0;
    log_msg("tot_pkt %lu tot_bytes %lu tx_time %.6f s first_len %lu\n",
            static_cast<unsigned long>(count), static_cast<unsigned long>(tot_bytes),
            static_cast<double>(tx_time) * 1e-9, static_cast<unsigned long>(first_len));
    uint64_t first_pkt_time;
    if (tot_bytes == first_len) {
        first_pkt_time = first_len * 8;
    } else {
        unsigned __int128 p = static_cast<unsigned __int128>(first_len) * tx_time;
        first_pkt_time = static_cast<uint64_t>(p / (tot_bytes - first_len));
    }
    log_msg("first_pkt_time %.6f s\n", static_cast<double>(first_pkt_time) * 1e-9);

    if (count == 0) {
        log_msg("--EEE-- no packets in %s\n", name);
        return false;
    }
    pf->tot_pkt = count;
    pf->tot_bytes = tot_bytes;
    pf->tot_mem = tot_mem;
    pf->tx_time = tx_time;
    pf->first_pkt_time = first_pkt_time;
    pf->first_ts = first - first_pkt_time;
    pf->cur = pf->data + pcap_global_hdr;
    rs.pcap = std::move(pf);
    return true;
}

}  // namespace wenlo
