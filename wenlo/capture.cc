// The run around the replay: loading the capture (pcap or pcapng) and
// rewriting it once, what the limits need to know of the queue, the fixed
// packet rate, and the final report.
#include <fcntl.h>
#include <time.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/log.hpp"
#include "netport/netport.hpp"
#include "wenlo/pcap_words.hpp"
#include "wenlo/replay.hpp"

using namespace common;

namespace wenlo {

namespace {

constexpr uint32_t pcapng_magic = 0x0a0d0d0a;

uint32_t first_word(const char* name)
{
    uint32_t w = 0;
    const int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (pread(fd, &w, sizeof w, 0) != static_cast<ssize_t>(sizeof w))
            w = 0;
        close(fd);
    }
    return w;
}

struct copy_args {
    unsigned char* dst;
    const unsigned char* src;
    uint64_t n;
};

bool copy_out(void* arg)
{
    const copy_args& a = *static_cast<const copy_args*>(arg);
    std::memcpy(a.dst, a.src, a.n);
    return true;
}

// Replaces a capture mapped from its file by a private copy that may be
// written.
bool make_writable(pcap_file& pf, const char* name)
{
    if (!pf.fd.valid())
        return true;  // already an anonymous image
    mapping copy = map_anonymous(pf.filesize, MAP_POPULATE);
    if (!copy) {
        log_msg_as("load_capture", "--EEE-- no memory to rewrite the %lu bytes of %s\n",
                   static_cast<unsigned long>(pf.filesize), name);
        return false;
    }
    copy_args a{copy.get(), pf.data, pf.filesize};
    if (!capture_guard(pf, copy_out, &a)) {
        log_msg_as("load_capture", "--EEE-- %s was cut short while it was read\n", name);
        return false;
    }
    // The file's mapping goes before its descriptor.
    pf.map = std::move(copy);
    pf.fd.reset();
    pf.data = pf.map.get();
    pf.lim = pf.data + pf.filesize;
    pf.cur = pf.data + pcap_global_hdr;
    return true;
}

// Rewrites every record of the (writable) capture in place.
void rewrite_records(replay_state& rs)
{
    pcap_file& pf = *rs.pcap;
    const rewrite_opts& rw = rs.run.rewrite;
    auto* data = const_cast<unsigned char*>(pf.data);
    const record_reader rd{pf.data, pf.lim, pf.swap != 0, pf.res};
    if (rw.unique_ip)
        rs.ctl.record_spots.assign(pf.tot_pkt, ip_spot{});
    uint64_t pos = pcap_global_hdr;
    for (uint64_t i = 0; i < pf.tot_pkt; i++) {
        record_hdr h;
        if (!rd.header_at(pos, h))
            break;
        const uint64_t avail = pf.filesize - (pos + pcap_record_hdr);
        const uint64_t stored = std::min({uint64_t{h.caplen}, uint64_t{h.len}, avail});
        const ip_spot s = rewrite_frame(data + pos + pcap_record_hdr, stored, h.len, rw, rs.ctl.rewrites);
        if (rw.unique_ip)
            rs.ctl.record_spots[i] = s;
        pos += pcap_record_hdr + h.caplen;
    }
    const rewrite_counts& c = rs.ctl.rewrites;
    log_msg_as("load_capture", "rewritten %lu of %lu frames, not rewritten: %lu truncated, %lu not IP\n",
               static_cast<unsigned long>(c.rewritten), static_cast<unsigned long>(pf.tot_pkt),
               static_cast<unsigned long>(c.truncated), static_cast<unsigned long>(c.not_ip));
}

// The fixed packet rate: packet n of the queue falls due round(n x period)
// after the start of the pass, so the rate holds over any length without
// accumulating rounding.  Lives in the bandwidth slot.
struct pps_param {
    double period_ns;
    uint64_t n;  // packets scheduled so far
};
static_assert(sizeof(pps_param) <= sizeof(model_params) && std::is_trivially_copyable_v<pps_param>);

int pps_run(replay_state* rs, model_spec* slot)
{
    pps_param p;
    std::memcpy(&p, slot->params.words, sizeof p);
    const auto at = [&](uint64_t k) {
        return static_cast<uint64_t>(std::llround(static_cast<double>(k) * p.period_ns));
    };
    rs->cur_tt = at(p.n + 1) - at(p.n);
    p.n++;
    std::memcpy(slot->params.words, &p, sizeof p);
    return 0;
}

uint64_t sat_add(uint64_t a, uint64_t b)
{
    uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? no_limit : r;
}

}  // namespace

model_spec pps_slot(double pps)
{
    model_spec s = empty_slot();
    s.run = pps_run;
    s.text = "pps";
    const pps_param p{1e9 / pps, 0};
    std::memcpy(s.params.words, &p, sizeof p);
    return s;
}

bool load_capture(replay_state& rs)
{
    const char* name = rs.pcap_name;
    if (name == nullptr)
        return false;
    if (first_word(name) == pcapng_magic) {
        std::unique_ptr<pcap_file> img = read_pcapng(name);
        if (img == nullptr || !scan_capture(name, std::move(img), rs))
            return false;
    } else if (!readpcap(name, rs)) {
        return false;
    }
    if (!rs.run.rewrite.any())
        return true;
    if (!make_writable(*rs.pcap, name))
        return false;
    rewrite_records(rs);
    return true;
}

void note_record(replay_state& rs, uint64_t rec)
{
    run_control& c = rs.ctl;
    if (c.copy_start.empty())
        return;
    const uint64_t e = rs.enqueued.load(std::memory_order_relaxed) / 2;
    if (rec == 0 && c.copies_seen < c.copies)
        c.copy_start[c.copies_seen++] = e;
    if (e < c.entry_spots.size() && rec < c.record_spots.size())
        c.entry_spots[e] = c.record_spots[rec];
}

bool build_queue(replay_state& rs)
{
    run_control& c = rs.ctl;
    const uint64_t tot = rs.pcap->tot_pkt;
    c.copies = queue_copies(tot);
    c.copy_start.assign(c.copies + 1, 0);
    c.copies_seen = 0;
    if (rs.run.rewrite.unique_ip)
        c.entry_spots.assign(c.copies * tot, ip_spot{});
    const uint64_t before = rs.enqueued.load(std::memory_order_relaxed) / 2;
    if (!pcap_prod(rs))
        return false;
    c.entries = rs.enqueued.load(std::memory_order_relaxed) / 2 - before;
    for (uint64_t k = c.copies_seen; k <= c.copies; k++)
        c.copy_start[k] = c.entries;
    if (rs.run.rewrite.unique_ip) {
        // Copy k of the queue is pass k of the capture.
        unsigned char* const q = rs.queue.get();
        uint64_t k = 0, idx = 0;
        for (uint64_t off = 0; off != rs.tail && idx < c.entries; idx++) {
            while (k + 1 < c.copies && idx >= c.copy_start[k + 1])
                k++;
            const queue_entry e = load_entry(q, off);
            shift_ip(q + off + entry_align, c.entry_spots[idx], static_cast<uint32_t>(k));
            off = e.next;
        }
    }
    return true;
}

void start_run(replay_state& rs)
{
    run_control& c = rs.ctl;
    const run_options& o = rs.run;
    c.start = rs.t0;
    c.limit = o.limit;
    if (o.loops != 0) {
        // Whole passes of the queue, then the first copies of one more.
        const uint64_t full = o.loops / c.copies, rem = o.loops % c.copies;
        uint64_t n;
        c.loop_entries =
            __builtin_mul_overflow(full, c.entries, &n) ? no_limit : sat_add(n, c.copy_start[rem]);
    }
    c.deadline = o.duration == no_limit ? no_limit : sat_add(rs.t0, o.duration);
    if (o.rewrite.unique_ip) {
        c.spots = c.entry_spots.data();
        c.step = static_cast<uint32_t>(c.copies);
    }
}

uint64_t run_control::passes() const
{
    uint64_t whole = 0;
    for (uint64_t k = 1; k <= copies; k++)
        if (copy_start[k] <= in_pass)
            whole = k;
    if (entries == 0)
        return 0;
    return queue_passes * copies + whole;
}

run_report finish_run(replay_state& rs, const char* end)
{
    const run_control& c = rs.ctl;
    run_report r;
    r.end = end;
    r.packets = c.sent;
    r.bytes = c.bytes;
    r.passes = c.passes();
    r.skipped = c.skipped;
    const uint64_t now = monotonic_ns();
    r.elapsed_s = now > c.start ? static_cast<double>(now - c.start) * 1e-9 : 0.0;
    if (r.elapsed_s > 0) {
        r.pps = static_cast<double>(r.packets) / r.elapsed_s;
        r.bps = static_cast<double>(r.bytes) * 8 / r.elapsed_s;
    }
    // Read by the thread that records into it: the counts are still.
    const lateness::summary late = lateness::summarise(rs.late.count, c.late_max);
    r.late_median_ns = late.median;
    r.late_p99_ns = late.p99;
    r.late_max_ns = late.max;
    r.rewritten = c.rewrites.rewritten;
    r.not_rewritten_truncated = c.rewrites.truncated;
    r.not_rewritten_not_ip = c.rewrites.not_ip;
    return r;
}

const char* end_run(replay_state& rs, bool stopped)
{
    netport::nmport_txsync(rs.port);  // what was injected leaves now
    const run_control& c = rs.ctl;
    if (!stopped)
        return "interrupt";
    if (c.sent >= c.limit)
        return "limit";
    if (c.done >= c.loop_entries)
        return "loop";
    // The next packet falls due after --duration: the run lasts that long.
    for (uint64_t now = monotonic_ns(); now < c.deadline && abort_flag.load() == 0; now = monotonic_ns()) {
        const uint64_t ns = std::min<uint64_t>(c.deadline - now, 100000000);
        const timespec ts{0, static_cast<long>(ns)};
        nanosleep(&ts, nullptr);
    }
    return "duration";
}

void print_report(const run_report& r)
{
    r.each([](const char* name, auto v) {
        using T = decltype(v);
        if constexpr (std::is_same_v<T, const char*>)
            log_msg_as("report", "report %s %s\n", name, v);
        else if constexpr (std::is_same_v<T, double>)
            log_msg_as("report", "report %s %.6f\n", name, v);
        else
            log_msg_as("report", "report %s %lu\n", name, static_cast<unsigned long>(v));
    });
}

void report_run(replay_state& rs, bool stopped)
{
    const char* end = end_run(rs, stopped);
    rs.final_report = finish_run(rs, end);
    rs.final_valid = true;
    print_report(rs.final_report);
    rs.ctl.end = end;
}

}  // namespace wenlo
