// A session instance of arbitrary bytes picked up by the producer's
// instance check, then a few packets through enqueue with the models it
// installed.
//
// Input: byte 0 the value published in active_instance (0 keeps the
// instance in force, 1 switches, 2 and more stop), bytes 1-2 a packet
// length; then the instance from its start (descriptors, delay_offset,
// drop_overlap, qsize, the parameter blocks); what the input lacks is zero.
//
// Direction B's instance 1 is the one published; everything of the layout
// the check may not touch (direction A, instance 0 of B, the spare tail) is
// poisoned, and every installed block must lie inside `params`.
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <new>

#include "corvo/datapath.hpp"
#include "corvo/queue.hpp"
#include "fuzz_util.hpp"
#include "models/model.hpp"
#include "pipe/pipe_state.hpp"

using namespace common;
using namespace pipes;
using namespace models;
using namespace corvo;

namespace {

uint64_t fake_now = 1000000;
uint64_t fake_clock() noexcept { return fake_now; }

constexpr uint64_t queue_bytes = 256 * 1024;
constexpr uint64_t hold_bytes = 64 * 1024;

uint32_t block_size(int kind, int row)
{
    static constexpr uint32_t sizes[n_model_kinds][7] = {
        {sizeof(delay_param), sizeof(uniform_param), sizeof(exp_param), sizeof(inter_packet_param),
         sizeof(dist_param), sizeof(dist_param), sizeof(dist_param)},
        {sizeof(tx_table), sizeof(tx_table), sizeof(avg_param), sizeof(trace_param), sizeof(cell_param), 0,
         0},
        {sizeof(plr_param), sizeof(ber_param), sizeof(ge_param), sizeof(markov_param), 0, 0, 0},
        {sizeof(reorder_param), 0, 0, 0, 0, 0, 0},
    };
    return sizes[kind][row];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static session_layout* l = [] {
        fuzz::quiet_logs();
        set_datapath_clock(fake_clock);
        return new session_layout{};
    }();
    static unsigned char* queue = new unsigned char[queue_bytes];
    static unsigned char* hold = new unsigned char[hold_bytes];
    static pipe_state* pp = new pipe_state{};
    static pipe_counters* stats = new pipe_counters[2]{};

    fuzz::input in{data, size};
    const uint64_t active = in.take<uint8_t>();
    const uint32_t len = in.take<uint16_t>();

    pp->~pipe_state();
    pipe_state& p = *new (pp) pipe_state{};
    for (int k = 0; k < n_model_kinds; ++k)
        slot_reset(pipe_slot(p, k));
    session_area& a = l->area[1];
    session_attach(p, l, 1, 0);
    p.buf = queue;
    p.buf_size = queue_bytes;
    p.hold_buf = hold;
    p.hold_limit = hold_bytes - hold_reserve;
    p.prod_stats = &stats[0];
    p.cons_stats = &stats[1];
    p.burst = 64;
    p.t0 = 0;
    prod_init(p);

    session_instance& inst = a.instance[1];
    std::memset(&inst, 0, sizeof inst);
    std::memcpy(&inst, in.data, std::min(in.size, sizeof inst));
    shared_word(a.active_instance).store(active);

    ASAN_POISON_MEMORY_REGION(&l->area[0], sizeof l->area[0]);
    ASAN_POISON_MEMORY_REGION(&a.instance[0], sizeof a.instance[0]);
    ASAN_POISON_MEMORY_REGION(l->reserved.spare, sizeof l->reserved.spare);
    instance_check(p);
    if (active >= stop_command) {
        FUZZ_CHECK(abort_flag.load() == 1);
        abort_flag.store(0);
    } else {
        FUZZ_CHECK(abort_flag.load() == 0);
        FUZZ_CHECK(p.cur_instance == active);
    }
    FUZZ_CHECK(p.qsize <= qsize_cap(p.buf_size));
    for (int k = 0; k < n_model_kinds; ++k) {
        const model_spec& s = pipe_slot(p, k);
        if (s.run == null_run) {
            FUZZ_CHECK(s.param_block == nullptr || active == 0);
            continue;
        }
        const model_desc d = inst.descs[k];
        FUZZ_CHECK(active == 1 && d.present && d.row < model_list[k].rows);
        FUZZ_CHECK(s.run == model_list[k].table[d.row].run);
        const auto* b = static_cast<const unsigned char*>(s.param_block);
        FUZZ_CHECK(b == inst.params + d.offset && d.offset % 8 == 0);
        FUZZ_CHECK(d.offset + uint64_t(block_size(k, d.row)) <= params_bytes);
    }

    // Packets through the models and the queue; the consumer keeps up.
    static unsigned char pkt[max_pkt_len];
    for (uint32_t n : {60u, len % max_pkt_len, 1514u, max_pkt_len - 1}) {
        n = std::max(n, 60u);
        p.cur_pkt = pkt;
        p.cur_len = n;
        p.frags[0] = {pkt, n};
        p.n_frags = 1;
        fake_now += 1000000;
        p.prod_now = pipe_clock(p);
        p.reorder_slot.run(p, p.reorder_slot);
        if (p.cur_hold != 0)
            hold_put(p);
        else
            enqueue(p);
        FUZZ_CHECK(p.hold_tail < p.hold_limit && p.hold_head < p.hold_limit);
        FUZZ_CHECK(p.prod_tail + queue_max_record <= p.buf_size || p.prod_tail == 0);
        p.tail.store(p.prod_tail);
        p.head.store(p.prod_tail);
    }
    // Whatever is held leaves once due, through enqueue.
    fake_now += 1ull << 40;
    p.prod_now = pipe_clock(p);
    for (int i = 0; i < 8 && p.hold_first != 0; ++i) {
        p.hold_ready = 1;
        hold_take(p);
        FUZZ_CHECK(p.prod_tail + queue_max_record <= p.buf_size || p.prod_tail == 0);
        p.tail.store(p.prod_tail);
        p.head.store(p.prod_tail);
    }
    FUZZ_CHECK(p.hold_first == 0);
    const pipe_counters& c = stats[0];
    FUZZ_CHECK(c.hold_pkts <= c.pkts + c.drop_pkts);
    ASAN_UNPOISON_MEMORY_REGION(&l->area[0], sizeof l->area[0]);
    ASAN_UNPOISON_MEMORY_REGION(&a.instance[0], sizeof a.instance[0]);
    ASAN_UNPOISON_MEMORY_REGION(l->reserved.spare, sizeof l->reserved.spare);
    return 0;
}
