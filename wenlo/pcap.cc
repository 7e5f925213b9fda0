// Capture reader: maps the pcap file once, read-only, and scans the record
// headers to count the packets and size the replay queue.  Packet bytes are
// first touched by the producer when it copies them into the queue.  A
// capture of another link type than Ethernet, or with a record larger than
// any capture holds, is refused before the queue is sized.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csetjmp>
#include <csignal>
#include <cstring>
#include <mutex>
#include <utility>

#include "common/log.hpp"
#include "wenlo/pcap_words.hpp"
#include "wenlo/replay.hpp"

using namespace common;

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

// A mapped file cut short meanwhile (truncated or rewritten) raises SIGBUS
// on the pages past its new end.  While capture_guard runs a reader of the
// capture, SIGBUS on the mapping returns to capture_guard, which answers
// false; SIGBUS anywhere else keeps its default action.
thread_local sigjmp_buf* bus_env = nullptr;
thread_local const unsigned char* bus_lo = nullptr;
thread_local const unsigned char* bus_hi = nullptr;
struct sigaction bus_default;

void on_sigbus(int, siginfo_t* si, void*)
{
    const auto* addr = static_cast<const unsigned char*>(si->si_addr);
    if (bus_env != nullptr && addr >= bus_lo && addr < bus_hi)
        siglongjmp(*bus_env, 1);
    // Not a read of the capture: the faulting access runs again and meets
    // the default action.
    sigaction(SIGBUS, &bus_default, nullptr);
}

struct scan_args {
    const char* name;
    pcap_file* pf;
    bool ok = false;
};

// Checks the magic number and scans the record headers.  Runs under
// capture_guard: it reads the mapping and holds nothing that needs a
// destructor.  a.ok tells whether the capture is usable.
bool scan(void* arg)
{
    scan_args& a = *static_cast<scan_args*>(arg);
    const char* const name = a.name;
    pcap_file& pf = *a.pf;
    uint32_t magic;
    std::memcpy(&magic, pf.data, sizeof magic);
    log_msg_as("readpcap", "magic is 0x%x\n", magic);
    const magic_kind* kind = nullptr;
    for (const auto& k : magic_kinds)
        if (k.magic == magic)
            kind = &k;
    if (kind == nullptr) {
        log_msg_as("readpcap", "--EEE-- unknown magic 0x%x\n", magic);
        return true;  // refused: a.ok stays false
    }
    pf.swap = kind->swap;
    pf.res = kind->res;
    log_msg_as("readpcap", "swap %d res %d\n\n", static_cast<int>(pf.swap), static_cast<int>(pf.res));

    record_reader rd{pf.data, pf.lim, pf.swap != 0, pf.res};
    uint32_t link = 0;
    rd.word_at(pcap_link_type_at, link);  // the file holds the global header
    if (link != pcap_link_ethernet) {
        log_msg_as("readpcap", "--EEE-- %s has link type %u, only Ethernet (%u) is replayed\n", name, link,
                   pcap_link_ethernet);
        return true;  // refused: a.ok stays false
    }

    uint64_t count = 0, prev = 0, first_len = 0;
    uint64_t tot_bytes = 0, tot_mem = 0, tx_time = 0;
    uint64_t pos = pcap_global_hdr;
    while (pos < pf.filesize) {
        record_hdr h;
        if (!rd.header_at(pos, h)) {
            log_msg_as("readpcap", "--WWW-- end of pcap file after %d packets\n\n", static_cast<int>(count));
            break;
        }
        // Checked before anything is summed: the queue is sized from these.
        if (h.caplen > max_record_bytes || h.len > max_record_bytes) {
            log_msg_as(
                "readpcap",
                "--EEE-- %s: record %lu at offset %lu claims caplen %u len %u, more than the %u bytes a "
                "record may hold\n",
                name, static_cast<unsigned long>(count + 1), static_cast<unsigned long>(pos), h.caplen, h.len,
                max_record_bytes);
            return true;  // refused: a.ok stays false
        }
        uint64_t t = h.time_ns(pf.res);
        if (count == 0) {
            first_len = h.len;
        } else if (t < prev) {
            log_msg_as("readpcap", "--WWW-- reordered packet %d\n\n", static_cast<int>(count));
        } else if (__builtin_add_overflow(tx_time, t - prev, &tx_time)) {
            tx_time = UINT64_MAX;
        }
        count++;
        tot_bytes += h.len;
        tot_mem += entry_align + round_entry(h.len);
        pos += pcap_record_hdr + h.caplen;
        prev = t;
    }

    log_msg_as("readpcap", "tot_pkt %lu tot_bytes %lu tx_time %.6f s first_len %lu\n",
               static_cast<unsigned long>(count), static_cast<unsigned long>(tot_bytes),
               static_cast<double>(tx_time) * 1e-9, static_cast<unsigned long>(first_len));
    uint64_t first_pkt_time;
    if (tot_bytes == first_len) {
        first_pkt_time = first_len * 8;
    } else {
        unsigned __int128 p = static_cast<unsigned __int128>(first_len) * tx_time;
        p /= tot_bytes - first_len;
        first_pkt_time = p > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(p);
    }
    log_msg_as("readpcap", "first_pkt_time %.6f s\n", static_cast<double>(first_pkt_time) * 1e-9);

    if (count == 0) {
        log_msg_as("readpcap", "--EEE-- no packets in %s\n", name);
        return true;  // refused: a.ok stays false
    }
    pf.tot_pkt = count;
    pf.tot_bytes = tot_bytes;
    pf.tot_mem = tot_mem;
    pf.tx_time = tx_time;
    pf.first_pkt_time = first_pkt_time;
    pf.cur = pf.data + pcap_global_hdr;
    a.ok = true;
    return true;
}

}  // namespace

bool capture_guard(const pcap_file& pf, bool (*read)(void*), void* arg)
{
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction sa {};
        sa.sa_sigaction = on_sigbus;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGBUS, &sa, &bus_default);
    });
    sigjmp_buf env;
    if (sigsetjmp(env, 1) != 0) {
        bus_env = nullptr;
        return false;
    }
    bus_lo = pf.data;
    bus_hi = pf.data + pf.filesize;
    bus_env = &env;
    const bool ok = read(arg);
    bus_env = nullptr;
    return ok;
}

bool readpcap(const char* name, replay_state& rs)
{
    if (name == nullptr)
        return false;
    unique_fd f(open(name, O_RDONLY | O_CLOEXEC));
    if (!f.valid()) {
        log_msg("--EEE-- cannot open file %s\n", name);
        return false;
    }
    off_t end = lseek(f.get(), 0, SEEK_END);
    lseek(f.get(), 0, SEEK_SET);
    uint64_t filesize = end < 0 ? 0 : static_cast<uint64_t>(end);
    log_msg("filesize is %lu\n", static_cast<unsigned long>(filesize));
    if (filesize < pcap_global_hdr) {
        log_msg("--EEE-- file too short %s\n", name);
        return false;
    }
    mapping map(mmap(nullptr, filesize, PROT_READ, MAP_SHARED, f.get(), 0), filesize);
    if (!map) {
        log_msg("--EEE-- cannot mmap file %s\n", name);
        return false;
    }
    auto pf = std::make_unique<pcap_file>();
    pf->fd = std::move(f);
    pf->map = std::move(map);
    pf->filesize = filesize;
    pf->data = pf->map.get();
    return scan_capture(name, std::move(pf), rs);
}

bool scan_capture(const char* name, std::unique_ptr<pcap_file> pf, replay_state& rs)
{
    pf->lim = pf->data + pf->filesize;
    scan_args args{name, pf.get()};
    if (!capture_guard(*pf, scan, &args)) {
        log_msg_as("readpcap", "--EEE-- %s was cut short while it was read\n", name);
        return false;
    }
    if (!args.ok)
        return false;
    rs.pcap = std::move(pf);
    return true;
}

}  // namespace wenlo
