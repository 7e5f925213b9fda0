// Replay state shared by main and the replay thread, the capture descriptor
// and the replay queue.
//
// Queue: one zero-filled buffer of tot_mem x copies + 32 bytes.  Entries lie
// back to back from offset 0, each a 32-byte header followed by the packet
// bytes and padded to a multiple of 32; the 32 spare bytes after the last
// entry stay zero (the consumer prefetches the word there at the end).
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "common/clock.hpp"
#include "common/lateness.hpp"
#include "common/mapping.hpp"
#include "common/unique_fd.hpp"
#include "netport/netport.hpp"
#include "wenlo/models.hpp"
#include "wenlo/run.hpp"

namespace wenlo {

inline constexpr uint64_t entry_align = 32;
inline constexpr uint64_t round_entry(uint64_t len) { return (len + entry_align - 1) & ~(entry_align - 1); }

// Header of one queue entry.  Entries are read and written with memcpy.
struct queue_entry {
    uint64_t next;  // offset of the following entry
    uint64_t len;   // wire length: the bytes sent
    uint64_t qout;  // running sum of cur_tt up to this packet, ns
    uint64_t tx;    // due time, ns from the start of the pass
};
static_assert(sizeof(queue_entry) == 32);
static_assert(offsetof(queue_entry, next) == 0 && offsetof(queue_entry, len) == 8);
static_assert(offsetof(queue_entry, qout) == 16 && offsetof(queue_entry, tx) == 24);
static_assert(std::is_trivially_copyable_v<queue_entry>);

inline queue_entry load_entry(const unsigned char* q, uint64_t off)
{
    queue_entry e;
    std::memcpy(&e, q + off, sizeof e);
    return e;
}

// pcap global header is 24 bytes, each record header 16.
inline constexpr uint64_t pcap_global_hdr = 24;
inline constexpr uint64_t pcap_record_hdr = 16;
// The global header's last word: the link type, 1 for Ethernet.
inline constexpr uint64_t pcap_link_type_at = 20;
inline constexpr uint32_t pcap_link_ethernet = 1;
// Largest caplen or len a record may claim: the largest snapshot length
// capture tools write.  Anything above is a damaged or forged file.
inline constexpr uint32_t max_record_bytes = 262144;

// The capture, mapped read-only as a whole, unmapped and closed when it goes.
struct pcap_file {
    common::unique_fd fd;
    common::mapping map;                  // unmapped before fd is closed
    uint64_t filesize = 0;                // map.size()
    const unsigned char* data = nullptr;  // map.get()
    uint64_t tot_pkt = 0;                 // records counted by the scan
    uint64_t tot_bytes = 0;               // sum of len
    uint64_t tot_mem = 0;                 // queue bytes for one copy
    uint32_t res = 1000;                  // ns per ts_frac unit
    uint32_t swap = 0;                    // 1 when the file's byte order is not the host's
    uint64_t first_pkt_time = 0;          // gap before the first packet of each copy, ns
    uint64_t tx_time = 0;                 // sum of the gaps between counted records, ns
                                          // (a record earlier than its predecessor adds 0)
    const unsigned char* cur = nullptr;   // next record to read
    const unsigned char* lim = nullptr;   // data + filesize
};

// Set by SIGINT and by the replay thread when it ends.
extern std::atomic<uint8_t> abort_flag;

struct replay_state {
    // Options (main, before the replay thread starts).
    pthread_t thread{};
    int core = 2;     // -1: no placement, no priority change
    int burst = 128;  // injections between two transmit syncs
    const char* pcap_name = nullptr;
    const char* ifname = nullptr;
    model_spec delay_slot = empty_slot();
    model_spec bw_slot = empty_slot();
    model_spec loss_slot = empty_slot();

    // Replay thread.
    std::unique_ptr<pcap_file> pcap;
    netport::port* port = nullptr;
    common::mapping queue;  // anonymous, zero-filled

    // Producer.
    uint64_t prod_tail = 0;  // where the next entry goes
    uint64_t tail = 0;       // end of the filled queue
    const unsigned char* cur_pkt = nullptr;
    uint32_t cur_len = 0;    // wire length of the current record
    int32_t cur_caplen = 0;  // bytes of it stored in the capture
    uint64_t cur_tt = 0;     // transmission time (capture gap preset), ns
    uint32_t drop = 0;
    uint64_t cur_delay = 0;  // ns
    uint64_t qt_qout = 0;    // running sum of cur_tt, ns
    uint64_t qt_tx = 0;      // due time of the last queued packet, ns

    // Consumer.
    uint64_t head = 0;  // where sending starts
    uint64_t t0 = 0;    // monotonic ns at which the current pass began
    uint64_t cons_head = 0;
    uint64_t cons_tail = 0;
    uint64_t cons_now = 0;  // ns since t0

    // Options beyond the models (main), the consumer's limits and counts.
    run_options run;
    run_control ctl;

    // Read by the monitor of main.
    std::atomic<uint64_t> enqueued{0};  // grows by 2 per queued packet
    std::atomic<uint64_t> sent{0};      // packets accepted by the port
    std::atomic<uint64_t> skipped{0};   // packets longer than the port can carry
    // Packets the port dropped, by reason (copies of the port's counters).
    std::atomic<uint64_t> port_no_peer{0};    // other end of a vale link not attached
    std::atomic<uint64_t> port_too_short{0};  // under 14 bytes on an interface
    std::atomic<uint64_t> port_damaged{0};    // vale link's segment damaged
    std::atomic<bool> failed{false};          // the replay ended on a failure
    std::atomic<bool> ended{false};           // last store of the replay thread
    // The final report, written by the replay thread before ended (release)
    // and read by main after it (acquire); final_valid when there is one.
    run_report final_report;
    bool final_valid = false;
    int32_t maxq = 0;    // printed only; stays 0
    uint64_t round = 0;  // printed only; stays 0

    // The JSON report (--json).  report_on is set before the replay thread
    // starts; the rest is written by the replay thread with relaxed
    // single-writer stores and read by main.
    bool report_on = false;  // record the drift
    std::atomic<uint64_t> sent_bytes{0};
    std::atomic<uint64_t> pass{0};  // the pass being sent, from 1
    // Left out of the queue by the loss model when it was filled: every
    // pass misses the same packets.
    std::atomic<uint64_t> loss_pkts{0};
    std::atomic<uint64_t> loss_bytes{0};
    // Bytes of the packets counted in skipped and in the port's reasons.
    std::atomic<uint64_t> skipped_bytes{0};
    std::atomic<uint64_t> no_peer_bytes{0};
    std::atomic<uint64_t> too_short_bytes{0};
    std::atomic<uint64_t> damaged_bytes{0};
    // Send time minus due time of the packets sent (recorded on every send:
    // the final report summarises it too), and of the last one (how far
    // behind its schedule the replay is: the schedule is never moved to
    // catch up).
    common::lateness::histogram late{};
    std::atomic<int64_t> drift{0};
};

// A single writer adds to a counter that another thread reads.
inline void bump(std::atomic<uint64_t>& c, uint64_t n)
{
    c.store(c.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

// Loads and scans the capture; on success attaches rs.pcap.
bool readpcap(const char* name, replay_state& rs);

// Scans a capture in pcap form already in memory (data, filesize set); on
// success attaches it to rs.pcap.
bool scan_capture(const char* name, std::unique_ptr<pcap_file> pf, replay_state& rs);

// The capture of rs.pcap_name, pcap or pcapng, rewritten as rs.run asks;
// on success attaches rs.pcap.
bool load_capture(replay_state& rs);

// A pcapng file as an anonymous capture in pcap form (host byte order,
// nanosecond time stamps); null with a message when it is refused.
std::unique_ptr<pcap_file> read_pcapng(const char* name);

// pcap_prod, then what the run's limits and the pass shift need to know of
// the queue.
bool build_queue(replay_state& rs);

// Called by the producer for every record it reads, before its entry (if
// any) is written; rec is the record's index in the capture.
void note_record(replay_state& rs, uint64_t rec);

// Turns rs.run into the consumer's limits; t0 is the start of the first pass.
void start_run(replay_state& rs);

// After the consumer stopped: the final report, filled once.
run_report finish_run(replay_state& rs, const char* end);
void print_report(const run_report& r);

// A bandwidth slot that sends `pps` packets per second (pps > 0).
model_spec pps_slot(double pps);

// Ends the consumer's run: sends what is still in the ring, waits out
// --duration, and names why it ended.
const char* end_run(replay_state& rs, bool stopped);

// end_run, then the final report printed; rs.ctl.end names the end.
void report_run(replay_state& rs, bool stopped);

// Runs read(arg), a reader of the mapped capture that holds nothing needing
// a destructor.  False when the capture was cut short under the mapping
// (SIGBUS on its pages) or when read answers false.
bool capture_guard(const pcap_file& pf, bool (*read)(void*), void* arg);

// Copies of the capture in the queue: at least 10 000 packets.
uint64_t queue_copies(uint64_t tot_pkt);

// Fills the whole queue; false when the queue cannot be allocated.
bool pcap_prod(replay_state& rs);

// Places the calling thread on core with real-time priority (warnings only).
void setaffinity(int core);

// Sends the queue in passes until abort_flag is set or a limit of the run
// is reached (then true).
bool cons(replay_state& rs);

// Body of the replay thread; arg is the replay_state.
void* wenlo_main(void* arg);

// -C: 1, 2 or 4 core numbers into the four cores; exits with the usage text
// on a wrong count or a core other than -1 outside 0..1023.
void parse_cores_or_exit(const char* arg, int cores[4]);

// The whole program but for main(): options, replay thread, monitor.
int wenlo_run(int argc, char** argv);

}  // namespace wenlo
