// Replay producer: turns the scanned capture into the replay queue, running
// the loss, bandwidth and delay models on every packet in advance.
//
// For each packet: cur_tt = capture gap since the previous record (for the
// first packet of every copy, first_pkt_time; 0 for a record earlier than
// its predecessor, whose successor's gap is then taken from it, so a step
// back in the capture's clock costs no time); the bandwidth model may
// replace or scale it; qt_qout += cur_tt; the due time is
//   tx = max(qt_tx + cur_tt, qt_qout + cur_delay)
// so a packet never falls due before its predecessor plus its own
// transmission time.  A dropped packet leaves no entry and no gap.
#include <algorithm>
#include <cstring>

#include "common/log.hpp"
#include "wenlo/pcap_words.hpp"
#include "wenlo/replay.hpp"

using namespace common;

namespace wenlo {

uint64_t queue_copies(uint64_t tot_pkt) { return tot_pkt > 10000 ? 1 : 10000 / tot_pkt + 1; }

namespace {

struct fill_args {
    replay_state* rs;
    uint64_t packets;  // entries to write, all copies
    uint64_t q_end;    // entries end here at most
};

// Runs the models on every packet and writes the queue.  Runs under
// capture_guard: it reads the mapping and holds nothing that needs a
// destructor.
bool fill(void* arg)
{
    const fill_args& a = *static_cast<const fill_args*>(arg);
    replay_state& rs = *a.rs;
    pcap_file& pf = *rs.pcap;
    unsigned char* const q = rs.queue.get();
    const uint64_t q_end = a.q_end;
    const uint64_t packets = a.packets;
    rs.qt_qout = 0;
    uint64_t prev = 0;  // time of the previous record of the copy
    const record_reader rd{pf.data, pf.lim, pf.swap != 0, pf.res};
    uint64_t in_copy = 0;  // records read in the current copy

    for (uint64_t i = 0; i < packets && abort_flag.load(std::memory_order_relaxed) == 0; i++) {
        // Header words past the end read as 0 and leave the cursor.
        uint64_t off = static_cast<uint64_t>(pf.cur - pf.data);
        record_hdr h{};
        uint64_t hdr_bytes = 0;
        for (uint32_t* w : {&h.ts_sec, &h.ts_frac, &h.caplen, &h.len}) {
            if (!rd.word_at(off + hdr_bytes, *w))
                break;
            hdr_bytes += 4;
        }
        const uint64_t avail = static_cast<uint64_t>(pf.lim - pf.data) - (off + hdr_bytes);
        rs.cur_pkt = pf.cur + hdr_bytes;
        rs.cur_len = h.len;
        rs.cur_caplen = static_cast<int32_t>(h.caplen);
        const uint64_t t = h.time_ns(pf.res);
        rs.cur_tt = in_copy == 0 ? pf.first_pkt_time : t > prev ? t - prev : 0;
        if (in_copy == 0)
            log_msg_as("pcap_prod", "insert %5d len %lu cur_tt %.6f\n", static_cast<int>(i),
                       static_cast<unsigned long>(h.len), static_cast<double>(rs.cur_tt) * 1e-9);

        // Bytes present for this packet: never more than len, never past the end.
        const uint64_t copy_len = std::min({uint64_t{h.caplen}, uint64_t{h.len}, avail});
        const unsigned char* pkt = rs.cur_pkt;
        note_record(rs, in_copy);
        // Each copy is exactly the tot_pkt counted records.
        if (++in_copy == pf.tot_pkt || hdr_bytes == 0 || h.caplen >= avail) {
            pf.cur = pf.data + pcap_global_hdr;
            in_copy = 0;
        } else {
            pf.cur = rs.cur_pkt + h.caplen;
        }
        prev = t;

        rs.drop = 0;
        rs.loss_slot.run(&rs, &rs.loss_slot);
        if (rs.drop) {
            bump(rs.loss_pkts, 1);
            bump(rs.loss_bytes, h.len);
            continue;
        }
        rs.bw_slot.run(&rs, &rs.bw_slot);
        rs.qt_qout += rs.cur_tt;
        rs.cur_delay = 0;
        rs.delay_slot.run(&rs, &rs.delay_slot);
        const uint64_t tx = std::max(rs.qt_tx + rs.cur_tt, rs.qt_qout + rs.cur_delay);
        rs.qt_tx = tx;

        const uint64_t next = rs.prod_tail + entry_align + round_entry(h.len);
        if (next > q_end || next < rs.prod_tail) [[unlikely]] {
            // The capture changed since the scan: keep what fits.
            log_msg_as("pcap_prod", "--WWW-- queue full at packet %lu, capture changed since the scan\n",
                       static_cast<unsigned long>(i));
            break;
        }
        std::memcpy(q + rs.prod_tail + entry_align, pkt, copy_len);
        const queue_entry e{next, h.len, rs.qt_qout, tx};
        std::memcpy(q + rs.prod_tail, &e, sizeof e);
        rs.prod_tail = next;
        rs.enqueued.fetch_add(2, std::memory_order_relaxed);
    }
    return true;
}

}  // namespace

bool pcap_prod(replay_state& rs)
{
    pcap_file& pf = *rs.pcap;
    const uint64_t copies = queue_copies(pf.tot_pkt);
    uint64_t bytes = 0;
    bool overflow = __builtin_mul_overflow(pf.tot_mem, copies, &bytes) ||
                    __builtin_add_overflow(bytes, entry_align, &bytes);
    if (overflow || !(rs.queue = map_anonymous(bytes))) {
        log_tagged("alloc %lld bytes for queue failed, exiting\n",
                   static_cast<long long>(overflow ? -1 : static_cast<long long>(bytes)));
        return false;
    }

    rs.prod_tail = 0;
    pf.cur = pf.data + pcap_global_hdr;
    log_msg("--- start create %lu packets at tail %d\n", static_cast<unsigned long>(copies * pf.tot_pkt),
            static_cast<int>(rs.prod_tail));
    fill_args args{&rs, copies * pf.tot_pkt, bytes - entry_align};
    if (!capture_guard(pf, fill, &args)) {
        log_msg("--EEE-- %s was cut short while it was read\n", rs.pcap_name ? rs.pcap_name : "the capture");
        return false;
    }
    log_msg("done q->prod_tail:%d\n", static_cast<int>(rs.prod_tail));
    rs.tail = rs.prod_tail;
    return true;
}

}  // namespace wenlo
