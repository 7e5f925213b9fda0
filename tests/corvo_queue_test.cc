// The queue buffer and the hold buffer with hand-made packets and a clock
// the test sets; published instances and the start-up buffer sizes.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "common/numarg.hpp"
#include "corvo_dp_fixture.hpp"

using namespace common;
using namespace pipes;
using namespace models;
using namespace corvo;

namespace {

using queue_test = dp_fixture;

// Sends all three packets through enqueue and checks where they landed.
TEST_F(queue_test, record_sizes_and_contents)
{
    const uint32_t lens[] = {60, 61, 65, 1000};
    const uint64_t offs[] = {0, 96, 192, 296, 296 + 32 + 1000};
    for (int i = 0; i < 4; ++i) {
        set_packet(lens[i], uint8_t(i + 1), 40);  // several fragments
        enqueue(p);
        const queue_record* r = record_at(p, offs[i]);
        EXPECT_EQ(r->next, offs[i + 1]) << lens[i];
        EXPECT_EQ(r->len, lens[i]);
        EXPECT_EQ(std::memcmp(record_data(const_cast<queue_record*>(r)), pkt_bytes.data(), lens[i]), 0);
    }
    EXPECT_EQ(p.prod_tail, offs[4]);
    EXPECT_EQ(pc().pkts, 4u);
    EXPECT_EQ(pc().bytes, 60u + 61 + 65 + 1000);
    EXPECT_EQ(p.tail.load(), 0u) << "enqueue publishes tail only before its pause";
}

TEST_F(queue_test, a_consumer_asleep_on_an_empty_queue_wakes_on_publication)
{
    using clock = std::chrono::steady_clock;
    // Nothing published: the sleep ends by its timeout.
    auto t0 = clock::now();
    cons_sleep_until_published(p, p.head.load(), 20000000);
    EXPECT_GE(clock::now() - t0, std::chrono::milliseconds(15));
    EXPECT_EQ(p.cons_asleep.load(), 0u);

    // Already published but not yet seen: no sleep.
    set_packet(60, 1, 60);
    enqueue(p);
    publish_tail(p);
    t0 = clock::now();
    cons_sleep_until_published(p, 0, 10000000000);
    EXPECT_LT(clock::now() - t0, std::chrono::seconds(5));

    // Asleep with a 10 s timeout: each publication wakes it (rounds, so a
    // wake-up lost now and then would show).
    for (int round = 0; round < 20; ++round) {
        const uint64_t seen = p.tail.load();
        std::thread producer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            set_packet(60, uint8_t(round), 60);
            enqueue(p);
            publish_tail(p);
        });
        t0 = clock::now();
        while (p.tail.load() == seen && clock::now() - t0 < std::chrono::seconds(5))
            cons_sleep_until_published(p, seen, 10000000000);
        producer.join();
        EXPECT_NE(p.tail.load(), seen) << "round " << round;
        EXPECT_LT(clock::now() - t0, std::chrono::seconds(5)) << "round " << round;
    }
}

TEST_F(queue_test, wrap_rule_at_exactly_one_record_left)
{
    EXPECT_EQ(queue_next(192, 60, 288 + 9232), 288u);
    EXPECT_EQ(queue_next(192, 60, 288 + 9231), 0u);
    EXPECT_EQ(queue_next(0, 9199, 9232 + 9232), 9232u);

    // 288 + 9232 bytes: three 60-byte records, then the fourth at 288.
    set_queue(288 + 9232);
    for (int i = 0; i < 3; ++i) {
        set_packet(60, uint8_t(i));
        enqueue(p);
    }
    EXPECT_EQ(p.prod_tail, 288u);

    // One byte less: the third record wraps to 0, which is refused while
    // the consumer is still at 0 (a full buffer must not look empty).
    set_queue(288 + 9231);
    p.prod_tail = p.prod_head = 0;
    p.head.store(0);
    p.tail.store(0);
    for (int i = 0; i < 2; ++i) {
        set_packet(60, uint8_t(i));
        enqueue(p);
    }
    set_packet(60, 9);
    enqueue(p);
    EXPECT_EQ(pc().drop_pkts, 1u);
    EXPECT_EQ(pc().drop_bytes, 60u);
    EXPECT_EQ(p.prod_tail, 192u);
    EXPECT_EQ(p.tail.load(), 192u) << "tail published before the pause";
    EXPECT_EQ(cap.text(), "") << "a full buffer drops silently";

    // The consumer has sent the first record: now the record fits and the
    // next one starts at 0.
    p.head.store(96);
    enqueue(p);
    EXPECT_EQ(record_at(p, 192)->next, 0u);
    EXPECT_EQ(p.prod_tail, 0u);
    EXPECT_EQ(p.prod_head, 96u) << "head is copied only when the cached value says full";
    // Next write position may not land on head: 0 + 96 == 96.
    set_packet(60, 10);
    enqueue(p);
    EXPECT_EQ(pc().drop_pkts, 2u);
    set_packet(56, 11);  // 32 + 56 = 88 < 96
    enqueue(p);
    EXPECT_EQ(p.prod_tail, 88u);
    EXPECT_EQ(pc().pkts, 3u + 2 + 1 + 1);
}

TEST_F(queue_test, queue_limit_and_lazy_accounting)
{
    p.qsize = 200;
    p.bw_slot.run = scripted_bw;
    tx_script.values = {1000};
    const uint64_t t = p.prod_now;
    for (int i = 0; i < 3; ++i) {  // 100, 200 (not over), 300
        set_packet(100, uint8_t(i));
        enqueue(p);
    }
    EXPECT_EQ(p.queued_bytes, 300u);
    EXPECT_EQ(pc().pkts, 3u);

    set_packet(100, 7);
    enqueue(p);  // nothing has left the bottleneck yet: dropped
    EXPECT_EQ(pc().drop_pkts, 1u);
    EXPECT_EQ(pc().drop_bytes, 100u);
    EXPECT_NE(cap.messages().find("no_room too many bytes queued 300, drop 0\n"), std::string::npos)
        << cap.messages();

    // The first two packets have left the emulated bottleneck.
    fake_now = t + 2000;
    p.prod_now = t + 2000;
    enqueue(p);
    EXPECT_EQ(pc().pkts, 4u);
    EXPECT_EQ(p.queued_bytes, 200u);
    EXPECT_EQ(p.acct_head, 2u * (32 + 104));

    // With qsize 0 nothing is counted and leftovers never drop anything.
    p.qsize = 0;
    for (int i = 0; i < 5; ++i)
        enqueue(p);
    EXPECT_EQ(pc().pkts, 9u);
    EXPECT_EQ(pc().drop_pkts, 1u);
}

TEST_F(queue_test, push_back_reuses_the_delay_and_drop_overlap_drops)
{
    p.bw_slot.run = scripted_bw;
    p.delay_slot.run = scripted_delay;
    tx_script.values = {1000};
    delay_script.values = {10000, 5000, 20000};
    const uint64_t t = p.prod_now;

    set_packet(60, 1);
    enqueue(p);
    EXPECT_EQ(record_at(p, 0)->qout, t + 1000);
    EXPECT_EQ(record_at(p, 0)->tx, t + 10000);
    set_packet(60, 2);
    enqueue(p);  // would arrive at t + 7000: pushed back to t + 12000
    EXPECT_EQ(p.pushed_back, 1);
    EXPECT_EQ(record_at(p, 96)->tx, t + 11000);
    set_packet(60, 3);
    enqueue(p);  // no new draw: 5000 again, pushed back to t + 13000
    EXPECT_EQ(delay_script.calls, 2);
    EXPECT_EQ(record_at(p, 192)->tx, t + 12000);
    EXPECT_EQ(p.qt_tx, t + 13000);

    // Fresh state with drop_overlap: the second packet is dropped and the
    // bottleneck time is as before it.
    p.qt_qout = p.qt_tx = t;
    p.pushed_back = 0;
    p.drop_overlap = 1;
    delay_script = {};
    delay_script.values = {10000, 5000, 20000};
    set_packet(60, 4);
    enqueue(p);
    const uint64_t qout = p.qt_qout;
    set_packet(60, 5);
    enqueue(p);
    EXPECT_EQ(pc().drop_pkts, 1u);
    EXPECT_EQ(p.qt_qout, qout);
    set_packet(60, 6);
    enqueue(p);  // the delay is not drawn again after a push-back
    EXPECT_EQ(delay_script.calls, 2);
    EXPECT_EQ(pc().drop_pkts, 2u);
}

TEST_F(queue_test, delay_offset_is_floored_at_zero)
{
    p.delay_slot.run = scripted_delay;
    delay_script.values = {5000, 5000};
    p.delay_offset = 7000;
    set_packet(60, 1);
    enqueue(p);
    EXPECT_EQ(p.cur_delay, 0u);
    EXPECT_EQ(record_at(p, 0)->tx, p.prod_now);
    p.delay_offset = 2000;
    set_packet(60, 2);
    enqueue(p);
    EXPECT_EQ(p.cur_delay, 3000u);
    EXPECT_EQ(record_at(p, 96)->tx, p.prod_now + 3000);
}

// Each drop path adds exactly one packet and its bytes, and leaves the
// queue and the bottleneck time as they were.
TEST_F(queue_test, every_drop_path_counts_once)
{
    p.bw_slot.run = scripted_bw;
    p.loss_slot.run = scripted_loss;
    tx_script.values = {1000};
    loss_script = {1, 0};
    bw_drop_script = {1};  // the first packet never reaches the bandwidth model
    set_packet(70, 1);
    enqueue(p);  // loss drop
    EXPECT_EQ(pc().drop_pkts, 1u);
    EXPECT_EQ(pc().drop_bytes, 70u);
    EXPECT_EQ(p.drop, 0);
    const uint64_t qout = p.qt_qout;
    enqueue(p);  // bandwidth drop
    EXPECT_EQ(pc().drop_pkts, 2u);
    EXPECT_EQ(pc().drop_bytes, 140u);
    EXPECT_EQ(p.qt_qout, qout);
    EXPECT_EQ(p.prod_tail, 0u);
    EXPECT_EQ(pc().pkts, 0u);
    enqueue(p);  // accepted
    EXPECT_EQ(pc().pkts, 1u);
    EXPECT_EQ(pc().drop_pkts, 2u);
}

TEST_F(queue_test, held_packets_leave_in_arrival_order)
{
    set_hold(64 * 1024);
    const uint64_t t = p.prod_now;
    set_packet(100, 1, 30);
    p.cur_hold = 5000000;
    hold_put(p);
    set_packet(80, 2);
    p.cur_hold = 3000000;
    hold_put(p);
    EXPECT_EQ(pc().hold_pkts, 2u);
    EXPECT_EQ(pc().hold_bytes, 180u);
    EXPECT_EQ(p.hold_first, t + 5000000);
    EXPECT_EQ(p.hold_last, t + 5000000) << "release times never decrease";
    EXPECT_EQ(hold_at(p, 116)->release, t + 5000000);

    p.prod_now = t + 5000000;
    p.hold_ready = 1;
    hold_take(p);
    EXPECT_EQ(record_at(p, 0)->len, 100u);
    EXPECT_EQ(record_data(record_at(p, 0))[0], 1);
    EXPECT_EQ(p.hold_first, t + 5000000);
    EXPECT_EQ(p.hold_ready, 0) << "due only once the clock is past it";
    p.prod_now += 1;
    p.hold_ready = 1;
    hold_take(p);
    EXPECT_EQ(record_data(record_at(p, 0 + 32 + 104))[0], 2);
    EXPECT_EQ(p.hold_first, 0u);
    EXPECT_EQ(p.hold_head, p.hold_tail);
    EXPECT_EQ(pc().pkts, 2u);
}

TEST_F(queue_test, full_hold_buffer_drops_and_counts)
{
    set_hold(hold_reserve + 300);  // wrap point at 300
    p.cur_hold = 1000;
    set_packet(200, 1);
    hold_put(p);  // at 0, next at 216
    set_packet(200, 2);
    hold_put(p);  // at 216: next would be 0 == head: refused
    EXPECT_EQ(pc().hold_pkts, 1u);
    EXPECT_EQ(pc().drop_pkts, 1u);
    EXPECT_EQ(pc().drop_bytes, 200u);
    EXPECT_NE(cap.messages().find("prod hold buffer full"), std::string::npos) << cap.messages();
    p.prod_now += 2000;
    p.hold_ready = 1;
    hold_take(p);
    EXPECT_EQ(p.hold_first, 0u);
    set_packet(200, 3);
    hold_put(p);  // empty again: fits and wraps
    EXPECT_EQ(pc().hold_pkts, 2u);
    EXPECT_EQ(p.hold_tail, 0u);
}

TEST_F(queue_test, qsize_cap_keeps_counted_records_in_the_buffer)
{
    // The owner's own limits always lie under the cap.
    for (uint64_t q : {0ull, 50000ull, 1000000ull, 100000000ull}) {
        const uint64_t size = queue_buf_size(q, 0, 1000000);
        EXPECT_GE(qsize_cap(size), q);
        // Worst case: 60-byte packets at 96 bytes each, one more packet
        // beyond the cap, one wasted wrap and the record being written.
        const uint64_t cap_q = qsize_cap(size);
        EXPECT_LE((cap_q + max_pkt_len) * 96 / 60 + 2 * queue_max_record, size);
    }
    EXPECT_GE(qsize_cap(10), 1u) << "a cap of 0 would mean unlimited";
}

// ---------------------------------------------------------------------------
// Published instances.

class instance_test : public dp_fixture {
protected:
    session_instance& inst1() { return p.session->instance[1]; }
    void publish(uint64_t v) { shared_word(p.session->active_instance).store(v); }
};

TEST_F(instance_test, switch_clears_absent_models_and_runs_present_ones)
{
    p.delay_slot.run = scripted_delay;
    delay_script.values = {7000};
    set_packet(60, 1);
    enqueue(p);
    EXPECT_EQ(p.cur_delay, 7000u);

    session_instance& i1 = inst1();
    i1.descs[kind_delay] = {0, 0, 0, 0};
    i1.descs[kind_loss] = {1, 0, sizeof(plr_param), 64};
    auto* plr = reinterpret_cast<plr_param*>(i1.params + 64);
    *plr = {uint64_t(prob_scale), 0, 0};  // always drop
    i1.qsize = 0;
    i1.delay_offset = 123;
    i1.drop_overlap = 1;
    publish(1);
    instance_check(p);
    EXPECT_EQ(p.cur_instance, 1u);
    EXPECT_EQ(p.cur_delay, 0u);
    EXPECT_EQ(p.delay_slot.run, null_run);
    EXPECT_EQ(p.loss_slot.run, const_plr_run);
    EXPECT_STREQ(p.loss_slot.text, loss_models[0].text);
    EXPECT_EQ(p.loss_slot.param_block, i1.params + 64);
    EXPECT_EQ(p.loss_slot.slot_desc, &i1.descs[kind_loss]);
    EXPECT_EQ(p.delay_offset, 123u);
    EXPECT_EQ(p.drop_overlap, 1);
    enqueue(p);
    EXPECT_EQ(pc().drop_pkts, 1u);
    EXPECT_EQ(plr->drops, 1u);

    publish(2);
    instance_check(p);
    EXPECT_EQ(abort_flag.load(), 1);
}

TEST_F(instance_test, bad_descriptors_are_treated_as_absent)
{
    session_instance& i1 = inst1();
    i1.descs[kind_delay] = {1, 9, 8, 0};                               // no such row
    i1.descs[kind_bw] = {1, 0, 8, uint32_t(params_bytes - 8)};         // table needs 36800 bytes
    i1.descs[kind_loss] = {1, 0, sizeof(plr_param), 12};               // not 8-aligned
    i1.descs[kind_reorder] = {1, 0, 16, uint32_t(params_bytes - 16)};  // fits exactly
    publish(1);
    instance_check(p);
    EXPECT_EQ(p.delay_slot.run, null_run);
    EXPECT_EQ(p.bw_slot.run, null_run);
    EXPECT_EQ(p.loss_slot.run, null_run);
    EXPECT_EQ(p.reorder_slot.run, const_reorder_run);
    const std::string m = cap.messages();
    EXPECT_NE(m.find("prod instance 1: bad D descriptor row 9 offset 0, model not set"), std::string::npos)
        << m;
    EXPECT_NE(m.find("bad B descriptor"), std::string::npos) << m;
    EXPECT_NE(m.find("bad L descriptor"), std::string::npos) << m;
    EXPECT_EQ(m.find("bad R descriptor"), std::string::npos) << m;
}

TEST_F(instance_test, limit_from_zero_restarts_accounting_and_is_capped)
{
    p.qsize = 0;
    for (int i = 0; i < 3; ++i) {
        set_packet(100, uint8_t(i));
        enqueue(p);
    }
    p.queued_bytes = 777;  // stale count from an earlier limited period
    session_instance& i1 = inst1();
    i1.qsize = 150;
    i1.descs[kind_bw] = {1, 0, sizeof(tx_table), 0};
    auto* tx = reinterpret_cast<tx_table*>(i1.params);
    for (auto& e : tx->entry)
        e = 1000;
    publish(1);
    instance_check(p);
    EXPECT_EQ(p.qsize, 150u);
    EXPECT_EQ(p.acct_head, p.prod_tail);
    EXPECT_EQ(p.queued_bytes, 0u);
    set_packet(100, 9);
    enqueue(p);
    enqueue(p);
    enqueue(p);  // 200 > 150 with nothing past its qout: dropped
    EXPECT_EQ(pc().pkts, 5u);
    EXPECT_EQ(pc().drop_pkts, 1u);

    // A limit larger than the buffer can honour is cut to the cap; the
    // owner's value in the instance stays.
    p.session->instance[0].qsize = 0xffffffffu;
    publish(0);
    instance_check(p);
    EXPECT_EQ(p.qsize, qsize_cap(p.buf_size));
    EXPECT_EQ(p.session->instance[0].qsize, 0xffffffffu);
}

// ---------------------------------------------------------------------------
// Start-up sizes and buffers.

TEST(buffer_sizes, from_the_session_limits)
{
    EXPECT_EQ(queue_buf_size(50000, 10000000, 1000000000), 2360475u);
    EXPECT_EQ(hold_buf_size(5000000, 1000000000), 1069200u);
    EXPECT_EQ(hold_buf_size(5000000, 1000000000) - hold_reserve, 1059984u);
    EXPECT_EQ(queue_buf_size(0, 0, 0), 40669850u);
    EXPECT_EQ(hold_buf_size(0, 0), 0u);
    EXPECT_EQ(queue_buf_size(0, ~uint64_t{0}, 0), invalid_count);
}

TEST_F(queue_test, prepare_maps_buffers_and_logs_the_banner)
{
    p.in_name = "valeX:a";
    p.out_name = "valeY:b";
    p.qsize = 50000;
    p.session->max_bps = 1000000000;
    p.session->max_delay = 10000000;
    p.session->max_hold = 5000000;
    p.buf = nullptr;
    ASSERT_TRUE(cons_prepare(p));
    EXPECT_EQ(p.buf_size, 2360475u);
    EXPECT_EQ(p.hold_limit, 1059984u);
    p.buf[p.buf_size - 1] = 1;
    p.hold_buf[p.hold_limit + hold_reserve - 1] = 1;
    const std::string m = cap.text();
    EXPECT_NE(
        m.find("] \t----\n\tvaleX:a -> valeY:b :  bps 1000000000 delay 0 loss 0 reorder 0 queue 50000 bytes\n"
               "\tbuffer   2.360 M bytes\n\thold-buf 1.069 M bytes\n"),
        std::string::npos)
        << m;
    munmap(p.buf, p.buf_size);
    munmap(p.hold_buf, p.hold_limit + hold_reserve);
}

TEST_F(queue_test, prepare_fails_when_the_queue_cannot_be_mapped)
{
    p.session->max_delay = uint64_t(1) << 62;  // far beyond any address space
    p.buf = nullptr;
    EXPECT_FALSE(cons_prepare(p));
    EXPECT_EQ(p.buf, nullptr);
    EXPECT_NE(cap.messages().find("for queue failed, exiting"), std::string::npos) << cap.messages();
}

// A ring written slowly through a buffer far larger than its traffic: the
// producer gives the consumed chunks back, so the resident pages (mincore)
// stay near what is queued, and every record read after its chunk was
// released and written again is intact.  With a queue limit the lazy
// accounting reads consumed records that it still counts: they are kept
// (a zeroed one would stall the accounting, and packets would be dropped).
class release_test : public dp_fixture, public ::testing::WithParamInterface<uint64_t> {};

size_t resident_pages(const unsigned char* buf, uint64_t size)
{
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> in((size + page - 1) / page);
    EXPECT_EQ(mincore(const_cast<unsigned char*>(buf), size, in.data()), 0);
    size_t n = 0;
    for (unsigned char c : in)
        n += c & 1;
    return n;
}

TEST_P(release_test, a_slow_ring_keeps_few_pages_and_intact_records)
{
    p.session->max_bps = 1000000000;
    p.session->max_delay = 500000000;  // 102 MB of address space
    p.qsize = GetParam();
    p.buf = nullptr;
    ASSERT_TRUE(cons_prepare(p));
    const uint64_t size = p.buf_size;
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    EXPECT_TRUE(p.release.enabled);
    EXPECT_EQ(resident_pages(p.buf, size), 0u) << "nothing is faulted in at start";

    constexpr uint32_t len = 9000;
    constexpr uint64_t record = queue_hdr_bytes + len;
    constexpr int per_pass = 100;              // 0.9 MB a pass, a pass each 10 ms
    constexpr uint64_t queued_max = 8u << 20;  // what the consumer leaves queued
    uint64_t sent = 0, seen = 0, written = 0;
    size_t most = 0;
    // The packet with tag k, as set_packet makes it.
    std::vector<std::vector<unsigned char>> pkts(256);
    for (int k = 0; k < 256; ++k) {
        set_packet(len, uint8_t(k));
        pkts[k] = pkt_bytes;
    }
    while (written < 2 * size + queued_max) {
        for (int i = 0; i < per_pass; ++i, ++sent) {
            p.cur_pkt = pkts[sent % 256].data();
            p.frags[0] = {p.cur_pkt, len};
            enqueue(p);
        }
        written += per_pass * record;
        publish_tail(p);
        // Consumer: reads and checks records down to queued_max.
        uint64_t h = p.head.load();
        while ((sent - seen) * record > queued_max) {
            queue_record* r = record_at(p, h);
            ASSERT_EQ(r->len, len) << "record " << seen;
            ASSERT_EQ(std::memcmp(record_data(r), pkts[seen % 256].data(), len), 0) << "record " << seen;
            h = r->next;
            ++seen;
        }
        p.head.store(h);
        fake_now += 10000000;
        p.prod_now = pipe_clock(p);
        queue_release(p);
        if (sent % (20 * per_pass) == 0)
            most = std::max(most, resident_pages(p.buf, size));
    }
    EXPECT_EQ(pc().drop_pkts, 0u);
    // Queued 8 MB (or counted up to the limit), consumed in the last
    // 200 ms (18 MB), chunk rounding.
    EXPECT_GE(most * page, queued_max);
    EXPECT_LE(most * page, std::max(queued_max, p.qsize) + (uint64_t(24) << 20))
        << "of " << size << " bytes written over twice";
    munmap(p.buf, size);
}

INSTANTIATE_TEST_SUITE_P(queue_limit, release_test, ::testing::Values(0, 40u << 20));

TEST(placement, minus_one_does_nothing)
{
    log_capture cap;
    setaffinity(-1);
    EXPECT_EQ(cap.text(), "");
}

// Every reason is counted by reason; in the session counters a frame a
// port refused or one too short is a port drop, the rest are drops; with
// no session counters only the reason is counted.
TEST(count_drop, reasons_split_between_drop_and_port_drop)
{
    for (int r = 0; r < n_drop_reasons; ++r) {
        const auto why = drop_reason(r);
        const bool at_port = why == drop_reason::port || why == drop_reason::short_frame;
        pipe_counters c{};
        drop_counts d{};
        count_drop(&c, d, why, 100);
        count_drop(nullptr, d, why, 20);
        EXPECT_EQ(d.pkts[r], 2u) << drop_reason_names[r];
        EXPECT_EQ(d.bytes[r], 120u) << drop_reason_names[r];
        EXPECT_EQ(c.drop_pkts, at_port ? 0u : 1u) << drop_reason_names[r];
        EXPECT_EQ(c.drop_bytes, at_port ? 0u : 100u) << drop_reason_names[r];
        EXPECT_EQ(c.port_drop_pkts, at_port ? 1u : 0u) << drop_reason_names[r];
        EXPECT_EQ(c.port_drop_bytes, at_port ? 100u : 0u) << drop_reason_names[r];
    }
}

}  // namespace
