// Producer and consumer over shared-memory links: frames go in on one link
// and the queue's records come out on another.  No privileges needed.
#include <pthread.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "corvo_dp_fixture.hpp"
#include "netport/netport.hpp"

using namespace common;
using namespace pipes;
using namespace models;
using namespace corvo;

namespace {

using namespace netport;

struct port_closer {
    port* p = nullptr;
    ~port_closer() { nmport_close(p); }
};

// Frames visible on rx now; the slots are handed back.
std::vector<std::vector<unsigned char>> drain(port* rx)
{
    std::vector<std::vector<unsigned char>> out;
    nmport_rxsync(rx);
    ring* r = nmport_rx_ring(rx);
    std::vector<unsigned char> cur;
    while (r->cur != r->tail) {
        const slot& s = r->slots[r->cur];
        cur.insert(cur.end(), s.buf, s.buf + s.len);
        if (!(s.flags & NS_MOREFRAG)) {
            out.push_back(std::move(cur));
            cur.clear();
        }
        r->cur = r->cur + 1 == r->num_slots ? 0 : r->cur + 1;
    }
    r->head = r->cur;
    nmport_rxsync(rx);
    return out;
}

std::vector<unsigned char> frame(uint32_t len, unsigned char tag)
{
    std::vector<unsigned char> f(len);
    for (uint32_t i = 0; i < len; ++i)
        f[i] = static_cast<unsigned char>(tag * 7 + i);
    f[0] = tag;
    return f;
}

// Direction under test: frames injected on `feed` arrive on port_in; what
// the consumer sends on port_out arrives on `sink`.
class path_test : public dp_fixture {
protected:
    std::string in_sw = "dpin" + std::to_string(getpid());
    std::string out_sw = "dpout" + std::to_string(getpid());
    port_closer feed, in, out, sink;

    void SetUp() override
    {
        dp_fixture::SetUp();
        feed.p = nmport_open(("vale" + in_sw + ":a").c_str());
        in.p = nmport_open(("vale" + in_sw + ":b").c_str());
        out.p = nmport_open(("vale" + out_sw + ":a").c_str());
        sink.p = nmport_open(("vale" + out_sw + ":b").c_str());
        ASSERT_TRUE(feed.p && in.p && out.p && sink.p);
        p.port_in = p.rx_port = in.p;
        p.rx_ring = nmport_rx_ring(in.p);
        p.port_out = out.p;
        p.in_name = "in";
        p.out_name = "out";
    }
    void send(const std::vector<unsigned char>& f)
    {
        ASSERT_GT(nmport_inject(feed.p, f.data(), f.size()), 0);
        nmport_txsync(feed.p);
    }
    // A due record of len bytes queued directly (tx = now).
    void queue_packet(uint32_t len, unsigned char tag)
    {
        set_packet(len, tag);
        enqueue(p);
        p.tail.store(p.prod_tail);
    }
};

TEST_F(path_test, producer_queues_frames_and_skips_short_ones)
{
    send(frame(59, 1));
    send(frame(60, 2));
    send(frame(1500, 3));
    EXPECT_EQ(prod_pass(p, false), 3);
    EXPECT_EQ(pc().pkts, 2u);
    EXPECT_EQ(pc().bytes, 1560u);
    EXPECT_EQ(p.tail.load(), p.prod_tail);
    EXPECT_EQ(record_at(p, 0)->len, 60u);
    EXPECT_EQ(std::vector<unsigned char>(record_data(record_at(p, 0)), record_data(record_at(p, 0)) + 60),
              frame(60, 2));
    EXPECT_NE(cap.messages().find("prod short packet len 59\n"), std::string::npos) << cap.messages();
    ring* r = p.rx_ring;
    EXPECT_EQ(r->head, r->tail);
    EXPECT_EQ(r->cur, r->tail);
}

TEST_F(path_test, burst_of_one_publishes_after_each_packet)
{
    p.burst = 1;
    send(frame(60, 1));
    send(frame(60, 2));
    EXPECT_EQ(prod_pass(p, false), 1);
    EXPECT_EQ(p.tail.load(), 96u);
    EXPECT_EQ(prod_pass(p, false), 1);
    EXPECT_EQ(p.tail.load(), 192u);
    EXPECT_EQ(prod_pass(p, false), 0);
}

TEST_F(path_test, multi_slot_packets_and_oversize_drops)
{
    const auto big = frame(5000, 4);   // three 2048-byte slots
    const auto most = frame(9199, 5);  // the longest packet carried
    send(big);
    send(most);
    send(frame(9200, 6));  // one byte too many for the queue
    prod_pass(p, false);
    EXPECT_EQ(pc().pkts, 2u);
    EXPECT_EQ(pc().drop_pkts, 1u);
    EXPECT_EQ(pc().drop_bytes, 9200u);
    const queue_record* r0 = record_at(p, 0);
    ASSERT_EQ(r0->len, 5000u);
    EXPECT_EQ(std::vector<unsigned char>(record_data(record_at(p, 0)), record_data(record_at(p, 0)) + 5000),
              big);
    queue_record* r1 = record_at(p, r0->next);
    ASSERT_EQ(r1->len, 9199u);
    EXPECT_EQ(std::vector<unsigned char>(record_data(r1), record_data(r1) + 9199), most);
    EXPECT_EQ(p.rx_ring->head, p.rx_ring->tail) << "every slot of every packet handed back";
    EXPECT_NE(cap.messages().find("prod dropped packet len 9200 in 5 slots"), std::string::npos)
        << cap.messages();
}

TEST_F(path_test, published_instance_switches_the_models_between_passes)
{
    send(frame(100, 1));
    prod_pass(p, false);
    EXPECT_EQ(pc().pkts, 1u);

    session_instance& i1 = p.session->instance[1];
    i1.descs[kind_loss] = {1, 0, sizeof(plr_param), 0};
    *reinterpret_cast<plr_param*>(i1.params) = {uint64_t(prob_scale), 0, 0};
    shared_word(p.session->active_instance).store(1);
    send(frame(100, 2));
    send(frame(100, 3));
    prod_pass(p, false);
    EXPECT_EQ(p.cur_instance, 1u);
    EXPECT_EQ(pc().pkts, 1u);
    EXPECT_EQ(pc().drop_pkts, 2u);

    shared_word(p.session->active_instance).store(stop_command);
    send(frame(100, 4));
    EXPECT_EQ(prod_pass(p, true), 1) << "a stop finishes the pass it is in";
    EXPECT_EQ(abort_flag.load(), 1);
}

TEST_F(path_test, held_packet_released_without_a_receive_event)
{
    set_hold(1 << 16);
    p.reorder_slot.run = scripted_hold;
    hold_script.values = {5000};
    send(frame(100, 1));
    prod_pass(p, false);
    EXPECT_EQ(pc().hold_pkts, 1u);
    EXPECT_EQ(pc().pkts, 0u);
    fake_now += 5000;
    EXPECT_EQ(prod_pass(p, true), 1);  // would wait forever for a frame
    EXPECT_EQ(pc().pkts, 1u);
    EXPECT_EQ(p.hold_first, 0u);
}

TEST_F(path_test, reorder_without_a_hold_buffer_holds_nothing)
{
    p.reorder_slot.run = scripted_hold;
    hold_script.values = {5000};
    send(frame(100, 1));
    prod_pass(p, false);
    EXPECT_EQ(pc().hold_pkts, 0u);
    EXPECT_EQ(pc().pkts, 1u);
}

TEST_F(path_test, late_limit_is_inclusive)
{
    p.late_limit = 500;
    const uint64_t due = p.prod_now;
    queue_packet(60, 1);
    queue_packet(60, 2);
    cons_loop_state st;
    cons_init(p, st);
    p.cons_now = due + 500;
    EXPECT_TRUE(cons_pass(p, st));
    p.cons_now = due + 501;
    EXPECT_TRUE(cons_pass(p, st));
    EXPECT_FALSE(cons_pass(p, st));  // empty: syncs what is pending
    const auto got = drain(sink.p);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][0], 1);
    EXPECT_EQ(cc().pkts, 1u);
    EXPECT_EQ(cc().drop_pkts, 1u);
    EXPECT_EQ(cc().drop_bytes, 60u);
    EXPECT_EQ(p.head.load(), p.tail.load());
}

TEST_F(path_test, not_yet_due_stays_queued)
{
    p.delay_slot.run = scripted_delay;
    delay_script.values = {1000};
    queue_packet(60, 1);
    cons_loop_state st;
    cons_init(p, st);
    EXPECT_FALSE(cons_pass(p, st));
    EXPECT_EQ(p.head.load(), 0u);
    fake_now += 1000;
    EXPECT_FALSE(cons_pass(p, st));  // idle pass reads the clock
    EXPECT_TRUE(cons_pass(p, st));
    EXPECT_EQ(cc().pkts, 1u);
}

// With burst 1 every second injection is followed by a sync; an idle pass
// syncs what is pending at once and sleeps only when nothing is.
TEST_F(path_test, transmit_syncs_follow_the_burst)
{
    p.burst = 1;
    for (int i = 0; i < 5; ++i)
        queue_packet(60, uint8_t(i));
    cons_loop_state st;
    cons_init(p, st);
    const size_t expect_visible[] = {0, 2, 0, 2, 0};
    for (size_t v : expect_visible) {
        EXPECT_TRUE(cons_pass(p, st));
        EXPECT_EQ(drain(sink.p).size(), v);
    }
    EXPECT_EQ(st.pending, 1);
    EXPECT_FALSE(cons_pass(p, st));
    EXPECT_EQ(st.pending, 0);
    EXPECT_EQ(drain(sink.p).size(), 1u);
    EXPECT_EQ(cc().pkts, 5u);
}

TEST_F(path_test, full_transmit_ring_retries_then_drops_as_late)
{
    p.late_limit = 1000;
    p.burst = 4096;
    const size_t n = 1100;  // more than the link's ring holds
    for (size_t i = 0; i < n; ++i)
        queue_packet(60, uint8_t(i));
    cons_loop_state st;
    cons_init(p, st);
    size_t sent = 0;
    while (cons_pass(p, st))
        ++sent;
    EXPECT_LT(sent, n);
    EXPECT_EQ(st.retry, 1);
    const uint64_t h = p.head.load();
    fake_now += 100;  // still in time: tried again, ring still full
    EXPECT_FALSE(cons_pass(p, st));
    EXPECT_EQ(p.head.load(), h);
    fake_now += 1000;
    EXPECT_FALSE(cons_pass(p, st));  // the failed try reads the clock: now late
    EXPECT_TRUE(cons_pass(p, st));
    EXPECT_EQ(cc().drop_pkts, 1u);
    EXPECT_EQ(st.retry, 0);
    EXPECT_EQ(drain(sink.p).size(), sent);
}

TEST_F(path_test, frame_beyond_the_port_limit_is_dropped_before_injection)
{
    queue_packet(200, 1);
    queue_packet(60, 2);
    cons_loop_state st;
    cons_init(p, st);
    EXPECT_EQ(st.max_frame, nmport_max_frame(out.p));
    st.max_frame = 100;
    EXPECT_TRUE(cons_pass(p, st));
    EXPECT_TRUE(cons_pass(p, st));
    EXPECT_FALSE(cons_pass(p, st));
    EXPECT_EQ(cc().drop_pkts, 1u);
    EXPECT_EQ(cc().drop_bytes, 200u);
    EXPECT_EQ(drain(sink.p).size(), 1u);
}

// The whole direction on its own threads, on the real clock.
TEST_F(path_test, threads_forward_until_abort)
{
    set_datapath_clock(nullptr);
    p.buf = nullptr;
    p.buf_size = 0;
    p.late_limit = 1000000000;
    p.session->max_delay = 1000000;
    p.session->max_bps = 1000000000;
    p.delay_slot.run = scripted_delay;
    delay_script.values = {200000};  // 200 us
    pthread_t cons_tid;
    ASSERT_EQ(pthread_create(&cons_tid, nullptr, corvo_main, &p), 0);
    const int n = 50;
    for (int i = 0; i < n; ++i)
        send(frame(60 + i, uint8_t(i)));
    std::vector<std::vector<unsigned char>> got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (got.size() < size_t(n) && std::chrono::steady_clock::now() < end) {
        for (auto& f : drain(sink.p))
            got.push_back(std::move(f));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    abort_flag.store(1);
    pthread_join(cons_tid, nullptr);
    pthread_join(p.prod_tid, nullptr);
    ASSERT_EQ(got.size(), size_t(n));
    for (int i = 0; i < n; ++i)
        EXPECT_EQ(got[i], frame(60 + i, uint8_t(i))) << i;
    EXPECT_EQ(cc().pkts, uint64_t(n));
    const std::string m = cap.messages();
    // The consumer logs under both its tags, in this order; the producer's
    // line may fall anywhere among them.
    const size_t cons_line = m.find("cons exiting on abort\n");
    const size_t main_line = m.find("corvo_main exiting on abort\n");
    EXPECT_NE(cons_line, std::string::npos) << m;
    EXPECT_NE(main_line, std::string::npos) << m;
    EXPECT_LT(cons_line, main_line) << m;
    EXPECT_NE(m.find("prod exiting on abort\n"), std::string::npos) << m;
    munmap(p.buf, p.buf_size);
}

}  // namespace
