// Loading with every rewrite on: arbitrary files (pcap or pcapng) through
// load_capture and build_queue with --dmac, --ipmap and --unique-ip.  Every
// place a rewrite touches must lie inside its frame, and two passes of the
// consumer's shift must stay inside too.
#include <sys/mman.h>

#include <memory>

#include "fuzz/fuzz_util.hpp"
#include "wenlo/replay.hpp"

using namespace common;
using namespace wenlo;

namespace {

// Queues beyond this are not built: the fuzzer would spend its time in memset.
constexpr uint64_t max_queue = 64u << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const int fd = [] {
        fuzz::quiet_logs();
        return memfd_create("fuzz-capture", MFD_CLOEXEC);
    }();
    static char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    FUZZ_CHECK(ftruncate(fd, 0) == 0);
    FUZZ_CHECK(pwrite(fd, data, size, 0) == ssize_t(size));

    auto rs = std::make_unique<replay_state>();
    rs->pcap_name = path;
    rewrite_opts& rw = rs->run.rewrite;
    rw.set_dmac = rw.set_smac = true;
    rw.dmac[0] = 2;
    rw.maps.push_back(ipv4_map{0x0a000000, 0x0b000000, 0xff000000});
    rw.unique_ip = true;
    if (!load_capture(*rs)) {
        FUZZ_CHECK(rs->pcap == nullptr);
        return 0;
    }
    const pcap_file& pf = *rs->pcap;
    FUZZ_CHECK(pf.tot_pkt > 0 && rs->ctl.record_spots.size() == pf.tot_pkt);
    const rewrite_counts& c = rs->ctl.rewrites;
    FUZZ_CHECK(c.rewritten + c.truncated <= pf.tot_pkt && c.not_ip <= pf.tot_pkt);
    if (pf.tot_mem > max_queue / queue_copies(pf.tot_pkt))
        return 0;
    FUZZ_CHECK(build_queue(*rs));

    unsigned char* const q = rs->queue.get();
    std::vector<unsigned char*> frames;
    uint64_t idx = 0;
    for (uint64_t off = 0; off != rs->tail; idx++) {
        const queue_entry e = load_entry(q, off);
        const ip_spot& s = rs->ctl.entry_spots[idx];
        if (s.src != 0) {
            FUZZ_CHECK(s.gap == 4 || s.gap == 16);
            FUZZ_CHECK(uint64_t{s.src} + s.gap + 4 <= e.len);
            FUZZ_CHECK(uint64_t{s.ip_ck} + 2 <= e.len && uint64_t{s.l4_ck} + 2 <= e.len);
            FUZZ_CHECK(s.ip_ck == 0 || s.gap == 4);
        }
        frames.push_back(q + off + entry_align);
        off = e.next;
    }
    FUZZ_CHECK(idx == rs->ctl.entries);
    rs->t0 = monotonic_ns();
    start_run(*rs);
    for (int pass = 0; pass < 2; pass++) {
        rs->ctl.new_pass(rs->t0);
        for (unsigned char* f : frames)
            rs->ctl.on_passed(f);
    }
    return 0;
}
