// Producer of a direction: takes packets from the input port's receive
// ring, runs the reorder model, parks packets in the hold buffer or hands
// them to enqueue, and switches to parameter instances other processes
// publish in the session area.
#include <unistd.h>

#include <atomic>
#include <climits>

#include "common/log.hpp"
#include "corvo/arp.hpp"
#include "corvo/datapath.hpp"
#include "corvo/session_file.hpp"
#include "models/model.hpp"
#include "netport/netport.hpp"

using namespace common;
using namespace pipes;
using namespace models;

namespace corvo {

// Rate-limited lines of the producer's steps carry the thread's tag.
#define prod_log(limit, ...) log_limited_as("prod", limit, __VA_ARGS__)

namespace {

// The output field of a model kind, cleared when the model is absent.
void clear_output(pipe_state& p, int kind) noexcept
{
    switch (kind) {
    case kind_delay:
        p.cur_delay = 0;
        break;
    case kind_bw:
        p.cur_tx = 0;
        break;
    case kind_loss:
        p.drop = 0;
        break;
    default:
        p.cur_hold = 0;
        break;
    }
}

// Longest wait of an idle producer: session changes and aborts are still
// seen this often.
constexpr int64_t idle_wait_ns = 1000000;

// Idle producer: sleeps until a frame arrives on the input port, at most
// idle_wait_ns and never past the first held packet's due time.
void idle_wait(pipe_state& p) noexcept
{
    int64_t ns = idle_wait_ns;
    if (p.hold_first != 0) {
        const int64_t until = int64_t(p.hold_first - pipe_clock(p));
        if (until < ns)
            ns = until > 0 ? until : 0;
    }
    netport::nmport_rx_wait(p.rx_port, ns);
}

inline uint32_t ring_next(const netport::ring& r, uint32_t i) noexcept
{
    return i + 1 == r.num_slots ? 0 : i + 1;
}

// Gathers the packet starting at the ring's cur into frags.  Leaves cur on
// its last slot (never beyond tail).  False when the packet cannot be
// queued: more than max_frags slots, max_pkt_len bytes or more, or still
// continuing at tail; it is then counted as a drop.
bool gather(pipe_state& p, netport::ring& r) noexcept
{
    uint32_t i = r.cur;
    uint64_t total = 0;
    int k = 0;
    bool cut = false;
    for (;;) {
        const netport::slot& s = r.slots[i];
        if (k < max_frags)
            p.frags[k] = {s.buf, s.len};
        ++k;
        total += s.len;
        if (!(s.flags & netport::NS_MOREFRAG))
            break;
        const uint32_t n = ring_next(r, i);
        if (n == r.tail) {
            cut = true;
            break;
        }
        i = n;
    }
    r.cur = i;
    r.head = i;
    p.cur_pkt = p.frags[0].buf;
    p.n_frags = k < max_frags ? k : max_frags;
    p.cur_len = total < UINT32_MAX ? uint32_t(total) : UINT32_MAX;
    __builtin_prefetch(p.cur_pkt);
    __builtin_prefetch(&r.slots[ring_next(r, i)]);
    counter_add(p.prod_rep.rx_pkts, 1);
    counter_add(p.prod_rep.rx_bytes, total);
    if (!cut && k <= max_frags && total < max_pkt_len)
        return true;
    prod_log(5, "dropped packet len %llu in %d slots%s\n", (unsigned long long)total, k,
             cut ? ", incomplete" : "");
    count_drop(p.prod_stats, p.prod_rep.drops, drop_reason::oversize, total);
    return false;
}

// One packet gathered and accepted: reorder model, then hold or queue.
inline void forward(pipe_state& p) noexcept
{
    run_model(p, p.reorder_slot);
    // Without a hold buffer (no hold limit at start-up) nothing is held.
    if (p.cur_hold != 0 && p.hold_buf)
        hold_put(p);
    else
        enqueue(p);
}

// Frames and bytes in the queue and the hold buffer now, kept as the
// peak when above it.  The end of a pass is when the queue is fullest.
void note_queue_peak(pipe_state& p) noexcept
{
    const queued_amount q = queued_now(p);
    const prod_report& r = p.prod_rep;
    if (q.pkts > counter_read(r.peak_pkts))
        shared_word(p.prod_rep.peak_pkts).store(q.pkts, std::memory_order_relaxed);
    if (q.bytes > counter_read(r.peak_bytes))
        shared_word(p.prod_rep.peak_bytes).store(q.bytes, std::memory_order_relaxed);
}

}  // namespace

void apply_instance(pipe_state& p, uint32_t i) noexcept
{
    p.cur_instance = i;
    session_instance& inst = p.session->instance[i];
    for (int k = 0; k < n_model_kinds; ++k) {
        model_desc& where = inst.descs[k];
        const model_desc d = where;  // read once: the writer is another process
        model_spec& slot = pipe_slot(p, k);
        if (d.present && desc_valid(k, d)) {
            slot = model_list[k].table[d.row];
            slot.param_block = inst.params + d.offset;
        } else {
            if (d.present)
                prod_log(5, "instance %u: bad %c descriptor row %u offset %u, model not set\n", i,
                         model_list[k].letter, unsigned(d.row), unsigned(d.offset));
            slot.run = null_run;
            slot.param_block = nullptr;
            clear_output(p, k);
        }
        slot.slot_desc = &where;
    }
    p.drop_overlap = int(inst.drop_overlap);
    p.delay_offset = inst.delay_offset;
    uint64_t q = inst.qsize;
    if (p.buf_size && q > qsize_cap(p.buf_size))
        q = qsize_cap(p.buf_size);
    if (q != 0 && p.qsize == 0) {
        // Records queued while unlimited were never counted.
        p.acct_head = p.prod_tail;
        p.queued_bytes = 0;
    }
    p.qsize = q;
}

void instance_check(pipe_state& p) noexcept
{
    const uint64_t a = shared_word(p.session->active_instance).load(std::memory_order_acquire);
    if (a >= stop_command) {
        abort_flag.store(1);
        return;
    }
    if (a != p.cur_instance) {
        std::atomic_thread_fence(std::memory_order_seq_cst);
        apply_instance(p, uint32_t(a));
        session_ack(p);
    }
}

void prod_init(pipe_state& p) noexcept
{
    p.prod_now = pipe_clock(p);
    p.qt_tx = p.prod_now;
    p.qt_qout = p.prod_now;
}

int prod_pass(pipe_state& p, bool wait) noexcept
{
    netport::ring& r = *p.rx_ring;
    uint64_t prev = p.prod_now;
    netport::nmport_rxsync(p.rx_port);
    instance_check(p);
    if (!abort_flag.load(std::memory_order_relaxed)) {
        for (;;) {
            if (p.hold_ready)
                break;
            if (p.hold_first != 0 && !time_before(p.prod_now, p.hold_first)) {
                p.hold_ready = 1;
                break;
            }
            int n = int(r.tail) - int(r.head);
            if (n < 0)
                n += int(r.num_slots);
            if (n > p.max_rxq.load(std::memory_order_relaxed))
                p.max_rxq.store(n, std::memory_order_relaxed);
            if (n > 0)
                break;
            idle_wait(p);
            netport::nmport_rxsync(p.rx_port);
            instance_check(p);
            p.prod_now = pipe_clock(p);
            prev = 0;
            if (abort_flag.load(std::memory_order_relaxed) || !wait)
                break;
        }
    }
    p.prod_now = pipe_clock(p);
    if (time_before(p.qt_qout, p.prod_now))
        p.qt_qout = p.prod_now;  // the emulated link has been idle
    if (prev != 0 && p.prod_now - prev > p.max_round.load(std::memory_order_relaxed))
        p.max_round.store(p.prod_now - prev, std::memory_order_relaxed);

    int i = 0;
    while (i < p.burst && p.hold_ready) {
        hold_take(p);
        ++i;
    }
    while (i < p.burst && r.cur != r.tail) {
        if (gather(p, r)) {
            if (p.cur_len < 60) {
                prod_log(5, "short packet len %d\n", int(p.cur_len));
                count_drop(p.prod_stats, p.prod_rep.drops, drop_reason::short_frame, p.cur_len);
            } else if (p.route_mode && route_divert(p)) {
                // ARP frames go to the other direction's consumer.
            } else {
                forward(p);
            }
        }
        r.cur = ring_next(r, r.cur);
        r.head = r.cur;
        ++i;
    }
    publish_tail(p);  // QR1 (queue.cc): this pass's records to the consumer
    queue_release(p);
    if (p.report_on && i > 0)  // an idle pass queued nothing new
        note_queue_peak(p);
    return i;
}

void* prod(void* arg)
{
    pipe_state& p = *static_cast<pipe_state*>(arg);
    log_never_wait();
    thread_timer_slack();
    setaffinity(p.prod_core);
    prod_init(p);
    for (;;) {
        if (abort_flag.load(std::memory_order_relaxed)) {
            log_tagged("exiting on abort\n");
            return nullptr;
        }
        prod_pass(p);
    }
}

}  // namespace corvo
