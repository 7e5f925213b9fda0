// Route mode on the data path: hand-off, ARP answers and learning, next-hop
// choice and MAC rewriting, checked with hand-made frames over a
// shared-memory link (the consumer's port is one end, the "host" the other).
#include "corvo/arp.hpp"

#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "corvo/datapath.hpp"
#include "corvo/route.hpp"
#include "log_capture.hpp"
#include "netport/netport.hpp"

using namespace common;
using namespace pipes;
using namespace corvo;

using namespace netport;
using frame_bytes = std::vector<unsigned char>;
using mac_addr = std::array<unsigned char, 6>;

namespace {

std::atomic<uint64_t> fake_now{0};
uint64_t fake_clock() noexcept { return fake_now.load(std::memory_order_relaxed); }

uint32_t addr(const char* text) { return inet_addr(text); }

constexpr mac_addr port_mac = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x01};
constexpr mac_addr host_mac = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x07};
constexpr mac_addr gw_mac = {0x02, 0x00, 0x5e, 0x10, 0x00, 0xfe};
constexpr mac_addr bcast_mac = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

void put16(frame_bytes& f, size_t at, uint16_t v)
{
    f[at] = uint8_t(v >> 8);
    f[at + 1] = uint8_t(v);
}
void put_mac(frame_bytes& f, size_t at, const mac_addr& m) { std::memcpy(&f[at], m.data(), 6); }
void put_addr(frame_bytes& f, size_t at, uint32_t a) { std::memcpy(&f[at], &a, 4); }
mac_addr mac_at(const frame_bytes& f, size_t at)
{
    mac_addr m;
    std::memcpy(m.data(), &f[at], 6);
    return m;
}

// An ARP frame of 60 bytes as a host would send it.
frame_bytes arp_frame(uint16_t op, const mac_addr& sha, const char* spa, const char* tpa,
                      const mac_addr& dst = bcast_mac)
{
    frame_bytes f(60, 0);
    put_mac(f, 0, dst);
    put_mac(f, 6, sha);
    put16(f, 12, 0x0806);
    put16(f, 14, 1);
    put16(f, 16, 0x0800);
    f[18] = 6;
    f[19] = 4;
    put16(f, 20, op);
    put_mac(f, 22, sha);
    put_addr(f, 28, addr(spa));
    put_addr(f, 38, addr(tpa));
    return f;
}

// A minimal IPv4 frame (what matters here: EtherType and destination).
frame_bytes ip_frame(const char* dst, uint16_t type = 0x0800)
{
    frame_bytes f(98, 0);
    put_mac(f, 0, port_mac);
    put_mac(f, 6, host_mac);
    put16(f, 12, type);
    f[14] = 0x45;
    put_addr(f, 26, addr("10.0.9.9"));
    put_addr(f, 30, addr(dst));
    return f;
}

struct port_ptr {
    port* p;
    explicit port_ptr(port* q) : p(q) {}
    ~port_ptr() { nmport_close(p); }
    port_ptr(const port_ptr&) = delete;
    port_ptr& operator=(const port_ptr&) = delete;
};

std::vector<frame_bytes> received(port* rx)
{
    std::vector<frame_bytes> out;
    nmport_rxsync(rx);
    ring* r = nmport_rx_ring(rx);
    while (r->cur != r->tail) {
        slot& s = r->slots[r->cur];
        out.emplace_back(s.buf, s.buf + s.len);
        r->cur = (r->cur + 1) % r->num_slots;
        r->head = r->cur;
    }
    nmport_rxsync(rx);
    return out;
}

// One port in 10.0.0.0/24 (address .1), its direction state with one ring
// used for both the hand-off and the drain, and the host end of its link.
class route_arp : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string sw = "valearp" + std::to_string(getpid()) + "x" + std::to_string(seq_++);
        corvo_port_ = std::make_unique<port_ptr>(nmport_open((sw + ":c").c_str()));
        host_port_ = std::make_unique<port_ptr>(nmport_open((sw + ":h").c_str()));
        ASSERT_TRUE(corvo_port_->p && host_port_->p) << nmport_errmsg();

        rc_.ip = addr("10.0.0.1");
        rc_.netmask = addr("255.255.255.0");
        rc_.network = addr("10.0.0.0");
        rc_.broadcast = addr("10.0.0.255");
        std::memcpy(rc_.mac, port_mac.data(), 6);
        route_build_templates(rc_);
        table_.assign(256, arp_entry{});
        rc_.arp_table = table_.data();

        p_ = std::make_unique<pipe_state>();
        p_->route_mode = 1;
        p_->burst = 7;
        p_->in_if = p_->out_if = &rc_;
        p_->arp_prod_ring = p_->arp_cons_ring = &ring_;
        p_->port_out = corvo_port_->p;
        p_->prod_stats = &prod_stats_;
        p_->t0 = 1000;
        fake_now = 1000 + 7000000000ull;  // consumer clock 7 s
        p_->cons_now = 7000000000ull;
        set_datapath_clock(&fake_clock);
    }
    void TearDown() override { set_datapath_clock(nullptr); }

    // What the producer does with one received frame in route mode.
    bool produce(frame_bytes& f, uint32_t first_slot = 0)
    {
        p_->cur_pkt = f.data();
        p_->cur_len = uint32_t(f.size());
        p_->frags[0] = {f.data(), first_slot ? first_slot : uint32_t(f.size())};
        p_->n_frags = 1;
        return route_divert(*p_);
    }
    std::vector<frame_bytes> on_wire()
    {
        nmport_txsync(corvo_port_->p);
        return received(host_port_->p);
    }

    static inline int seq_ = 0;
    std::unique_ptr<port_ptr> corvo_port_, host_port_;
    route_config rc_{};
    std::vector<arp_entry> table_;
    arp_ring ring_{};
    pipe_counters prod_stats_{};
    std::unique_ptr<pipe_state> p_;
};

TEST_F(route_arp, request_from_the_subnet_is_answered_with_the_exact_reply)
{
    frame_bytes req = arp_frame(1, host_mac, "10.0.0.7", "10.0.0.1");
    EXPECT_TRUE(produce(req));
    EXPECT_EQ(ring_.prod_idx, 1u);
    EXPECT_EQ(arp_drain(*p_), 7) << "a reply adds burst to the pending injections";
    EXPECT_EQ(ring_.cons_idx, 1u);
    EXPECT_EQ(ring_.free_idx, 1u);
    EXPECT_EQ(ring_.entries[0].state, arp_free);

    // Built here byte by byte, not from the templates.
    const unsigned char expect[60] = {
        0x02, 0x00, 0x5e, 0x10, 0x00, 0x07,  // to the requester
        0x02, 0x00, 0x5e, 0x10, 0x00, 0x01,  // from the port
        0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 6,  4, 0x00, 0x02,
        0x02, 0x00, 0x5e, 0x10, 0x00, 0x01, 10, 0, 0,    1,  // sender: the port
        0x02, 0x00, 0x5e, 0x10, 0x00, 0x07, 10, 0, 0,    7,  // target: the requester
    };
    auto wire = on_wire();
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(wire[0], frame_bytes(expect, expect + 60));
    EXPECT_EQ(prod_stats_.pkts + prod_stats_.drop_pkts, 0u) << "ARP frames are not counted";

    // The next requester gets its own addresses, none of the first one's.
    mac_addr other = {0x02, 0, 0, 0, 0, 0x42};
    frame_bytes req2 = arp_frame(1, other, "10.0.0.66", "10.0.0.1");
    produce(req2);
    EXPECT_EQ(arp_drain(*p_), 7);
    wire = on_wire();
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(mac_at(wire[0], 0), other);
    EXPECT_EQ(mac_at(wire[0], 32), other);
    EXPECT_EQ(std::memcmp(&wire[0][38], "\x0a\x00\x00\x42", 4), 0);
}

TEST_F(route_arp, frames_not_for_us_are_swallowed)
{
    std::vector<frame_bytes> frames = {
        arp_frame(1, host_mac, "10.0.1.7", "10.0.0.1"),  // sender outside the subnet
        arp_frame(1, host_mac, "10.0.0.7", "10.0.0.2"),  // for another address
        arp_frame(1, host_mac, "10.0.0.7", "10.0.0.7"),  // gratuitous request
        arp_frame(2, host_mac, "10.0.0.7", "10.0.0.7"),  // gratuitous reply
        arp_frame(3, host_mac, "10.0.0.7", "10.0.0.1"),  // RARP operation
    };
    for (auto& f : frames)
        EXPECT_TRUE(produce(f)) << "ARP frames are never forwarded";
    EXPECT_EQ(ring_.prod_idx, 0u);
    EXPECT_EQ(arp_drain(*p_), 0);
    EXPECT_TRUE(on_wire().empty());
    for (const arp_entry& t : table_)
        EXPECT_EQ(t.next, 0u);
    EXPECT_EQ(prod_stats_.drop_pkts, 0u);
}

TEST_F(route_arp, replies_are_learned_inverted_and_refreshed_after_5_s)
{
    frame_bytes first = ip_frame("10.0.0.7");
    ASSERT_EQ(cons_update_macs(*p_, first.data(), uint32_t(first.size())).requests, 1);
    ASSERT_EQ(on_wire().size(), 1u);
    fake_now += 1000;  // the reply comes 1 us after the request
    frame_bytes rep = arp_frame(2, host_mac, "10.0.0.7", "10.0.0.1", port_mac);
    produce(rep);
    EXPECT_EQ(arp_drain(*p_), 0) << "learning sends nothing";
    EXPECT_TRUE(on_wire().empty());
    const arp_entry& t = table_[7];
    EXPECT_EQ(t.next, 7000001000ull + arp_refresh_ns);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(t.addr[i], uint8_t(~host_mac[i])) << i;

    // Within the 5 s: the learned MAC, no request.
    p_->cons_now = 7000001000ull + arp_refresh_ns;
    frame_bytes pkt = ip_frame("10.0.0.7");
    mac_result r = cons_update_macs(*p_, pkt.data(), uint32_t(pkt.size()));
    EXPECT_EQ(r.verdict, mac_verdict::send);
    EXPECT_EQ(r.requests, 0);
    EXPECT_EQ(mac_at(pkt, 0), host_mac);
    EXPECT_EQ(mac_at(pkt, 6), port_mac);
    EXPECT_TRUE(on_wire().empty());

    // Past them: a new request, and the packet still carries the learned MAC.
    p_->cons_now += 1;
    fake_now = 1000 + p_->cons_now;
    pkt = ip_frame("10.0.0.7");
    r = cons_update_macs(*p_, pkt.data(), uint32_t(pkt.size()));
    EXPECT_EQ(r.verdict, mac_verdict::send);
    EXPECT_EQ(r.requests, 1);
    EXPECT_EQ(mac_at(pkt, 0), host_mac);
    EXPECT_EQ(table_[7].next, p_->cons_now + arp_refresh_ns);
    auto wire = on_wire();
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(std::memcmp(&wire[0][38], "\x0a\x00\x00\x07", 4), 0);
}

// A reply is believed only as the first answer to a request of ours: an
// unsolicited one, a second one in the same round and one for another
// address leave the table as it was; the next round's answer is learned.
TEST_F(route_arp, only_the_first_reply_to_our_own_request_is_learned)
{
    const mac_addr fake_mac = {0x02, 0xba, 0xd0, 0xba, 0xd0, 0x66};
    auto reply = [&](const mac_addr& sha, const char* spa) {
        frame_bytes f = arp_frame(2, sha, spa, "10.0.0.1", port_mac);
        EXPECT_TRUE(produce(f));
        EXPECT_EQ(arp_drain(*p_), 0);
    };
    auto next_hop_mac = [&](const char* dst) {
        frame_bytes pkt = ip_frame(dst);
        EXPECT_EQ(cons_update_macs(*p_, pkt.data(), uint32_t(pkt.size())).verdict, mac_verdict::send);
        return mac_at(pkt, 0);
    };
    const std::vector<arp_entry> before = table_;
    reply(fake_mac, "10.0.0.7");  // nobody asked
    EXPECT_EQ(std::memcmp(table_.data(), before.data(), table_.size() * sizeof(arp_entry)), 0);

    EXPECT_EQ(next_hop_mac("10.0.0.7"), bcast_mac) << "asks for .7";
    EXPECT_EQ(on_wire().size(), 1u);
    reply(fake_mac, "10.0.0.8");  // not the address asked for
    EXPECT_EQ(table_[8].next, 0u);
    reply(host_mac, "10.0.0.7");  // the answer
    reply(fake_mac, "10.0.0.7");  // heard from already in this round
    EXPECT_EQ(next_hop_mac("10.0.0.7"), host_mac);
    EXPECT_EQ(next_hop_mac("10.0.0.8"), bcast_mac);

    // Past the 5 s the next request opens the entry to one answer again.
    p_->cons_now += arp_refresh_ns + 1;
    fake_now = 1000 + p_->cons_now;
    EXPECT_EQ(next_hop_mac("10.0.0.7"), host_mac) << "the old MAC until the answer";
    reply(gw_mac, "10.0.0.7");
    reply(fake_mac, "10.0.0.7");
    EXPECT_EQ(next_hop_mac("10.0.0.7"), gw_mac);
    auto wire = on_wire();  // the requests for .8 and for .7's new round
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(wire[0][41], 8);
    EXPECT_EQ(wire[1][41], 7);
}

TEST_F(route_arp, first_packet_to_a_new_hop_is_broadcast_after_a_request)
{
    frame_bytes pkt = ip_frame("10.0.0.9");
    mac_result r = cons_update_macs(*p_, pkt.data(), uint32_t(pkt.size()));
    EXPECT_EQ(r.verdict, mac_verdict::send);
    EXPECT_EQ(r.requests, 1);
    EXPECT_EQ(mac_at(pkt, 0), bcast_mac);
    EXPECT_EQ(mac_at(pkt, 6), port_mac);
    EXPECT_EQ(std::memcmp(&pkt[12], "\x08\x00\x45", 3), 0) << "only the addresses change";

    const unsigned char expect[60] = {
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0x00, 0x5e, 0x10, 0x00, 0x01, 0x08, 0x06,
        0x00, 0x01, 0x08, 0x00, 6,    4,    0x00, 0x01, 0x02, 0x00, 0x5e, 0x10, 0x00, 0x01,
        10,   0,    0,    1,    0,    0,    0,    0,    0,    0,    10,   0,    0,    9,
    };
    auto wire = on_wire();
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(wire[0], frame_bytes(expect, expect + 60));

    // One request per hop every 5 s, however many packets follow.
    for (int i = 0; i < 3; ++i) {
        pkt = ip_frame("10.0.0.9");
        EXPECT_EQ(cons_update_macs(*p_, pkt.data(), uint32_t(pkt.size())).requests, 0);
    }
    EXPECT_TRUE(on_wire().empty());
}

TEST_F(route_arp, outside_the_subnet_goes_to_the_gateway_or_is_dropped)
{
    frame_bytes pkt = ip_frame("192.168.5.5");
    EXPECT_EQ(cons_update_macs(*p_, pkt.data(), uint32_t(pkt.size())).verdict, mac_verdict::drop);
    EXPECT_TRUE(on_wire().empty());

    // The request asks for the gateway, not the destination.
    rc_.gateway = addr("10.0.0.254");
    pkt = ip_frame("172.16.0.1");
    EXPECT_EQ(cons_update_macs(*p_, pkt.data(), uint32_t(pkt.size())).requests, 1);
    auto wire = on_wire();
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(std::memcmp(&wire[0][38], "\x0a\x00\x00\xfe", 4), 0);

    frame_bytes rep = arp_frame(2, gw_mac, "10.0.0.254", "10.0.0.1", port_mac);
    produce(rep);
    arp_drain(*p_);
    p_->cons_now += 1;
    pkt = ip_frame("192.168.5.5");
    mac_result r = cons_update_macs(*p_, pkt.data(), uint32_t(pkt.size()));
    EXPECT_EQ(r.verdict, mac_verdict::send);
    EXPECT_EQ(r.requests, 0);
    EXPECT_EQ(mac_at(pkt, 0), gw_mac);
    EXPECT_EQ(std::memcmp(&pkt[30], "\xc0\xa8\x05\x05", 4), 0) << "the IP destination stays";
}

TEST_F(route_arp, unroutable_frames_are_dropped_and_length_frames_skipped)
{
    rc_.gateway = addr("10.0.0.254");  // even with a gateway
    struct {
        frame_bytes f;
        mac_verdict v;
        const char* what;
    } cases[] = {
        {ip_frame("10.0.0.255"), mac_verdict::drop, "subnet broadcast"},
        {ip_frame("255.255.255.255"), mac_verdict::drop, "limited broadcast"},
        {ip_frame("10.0.0.7", 0x86dd), mac_verdict::drop, "IPv6"},
        {ip_frame("10.0.0.7", 0x8100), mac_verdict::drop, "VLAN tag"},
        {ip_frame("10.0.0.7", 0x0806), mac_verdict::drop, "ARP queued anyway"},
        {ip_frame("10.0.0.7", 0x05dc), mac_verdict::skip, "802.3 length 1500"},
        {ip_frame("10.0.0.7", 0x002e), mac_verdict::skip, "802.3 length 46"},
    };
    for (auto& c : cases) {
        frame_bytes before = c.f;
        mac_result r = cons_update_macs(*p_, c.f.data(), uint32_t(c.f.size()));
        EXPECT_EQ(r.verdict, c.v) << c.what;
        EXPECT_EQ(r.requests, 0) << c.what;
        EXPECT_EQ(c.f, before) << c.what << ": not rewritten";
    }
    frame_bytes stub = ip_frame("10.0.0.7");
    EXPECT_EQ(cons_update_macs(*p_, stub.data(), 20).verdict, mac_verdict::drop) << "too short for IPv4";
    EXPECT_EQ(cons_update_macs(*p_, stub.data(), 12).verdict, mac_verdict::drop) << "no EtherType";
    EXPECT_TRUE(on_wire().empty());
}

TEST_F(route_arp, short_first_slot_is_dropped_and_counted_not_read)
{
    frame_bytes f = ip_frame("10.0.0.7");
    EXPECT_TRUE(produce(f, 13));
    EXPECT_EQ(prod_stats_.drop_pkts, 1u);
    EXPECT_EQ(prod_stats_.drop_bytes, f.size());
    frame_bytes a = arp_frame(1, host_mac, "10.0.0.7", "10.0.0.1");
    EXPECT_TRUE(produce(a, 41));
    EXPECT_EQ(prod_stats_.drop_pkts, 2u);
    EXPECT_EQ(ring_.prod_idx, 0u) << "a cut ARP body is not handed over";
    EXPECT_TRUE(produce(a, 42));
    EXPECT_EQ(ring_.prod_idx, 1u);
    EXPECT_FALSE(produce(f, 14)) << "IPv4 with its EtherType in the first slot goes on";
    EXPECT_EQ(prod_stats_.drop_pkts, 2u);
}

TEST_F(route_arp, a_full_hand_off_ring_loses_the_frame)
{
    std::vector<frame_bytes> reqs;
    for (int i = 0; i < 17; ++i)
        reqs.push_back(arp_frame(1, mac_addr{2, 0, 0, 0, 0, uint8_t(i + 10)},
                                 ("10.0.0." + std::to_string(i + 10)).c_str(), "10.0.0.1"));
    for (auto& f : reqs)
        EXPECT_TRUE(produce(f));
    EXPECT_EQ(ring_.prod_idx, 16u) << "the 17th found its slot busy";
    EXPECT_EQ(arp_drain(*p_), 16 * 7);
    auto wire = on_wire();
    ASSERT_EQ(wire.size(), 16u);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(wire[i][41], i + 10) << "replies in the order handed over";
    // The ring is usable again, across its wrap.
    EXPECT_TRUE(produce(reqs[16]));
    EXPECT_EQ(ring_.prod_idx, 17u);
    EXPECT_EQ(arp_drain(*p_), 7);
    wire = on_wire();
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(wire[0][41], 26);
}

TEST_F(route_arp, failed_injections_are_logged_and_a_request_still_waits_5_s)
{
    // Nobody reads the host end: fill the link until injection fails.
    frame_bytes filler(60, 0);
    int sent = 0;
    while (sent < 1000000 && nmport_inject(p_->port_out, filler.data(), filler.size()) > 0)
        if (++sent % 64 == 0)
            nmport_txsync(p_->port_out);
    ASSERT_EQ(nmport_inject(p_->port_out, filler.data(), filler.size()), 0);
    log_capture cap;

    frame_bytes req = arp_frame(1, host_mac, "10.0.0.7", "10.0.0.1");
    produce(req);
    EXPECT_EQ(arp_drain(*p_), 0);
    frame_bytes pkt = ip_frame("10.0.0.9");
    mac_result r = cons_update_macs(*p_, pkt.data(), uint32_t(pkt.size()));
    EXPECT_EQ(r.verdict, mac_verdict::send);
    EXPECT_EQ(r.requests, 0);
    EXPECT_EQ(table_[9].next, 7000000000ull + arp_refresh_ns);
    EXPECT_EQ(cap.messages(),
              "cons_handle_arp failed to inject arp reply\n"
              "cons_update_macs failed to inject arp request\n");
}

// The hand-off under two threads: every frame handed over arrives whole.
TEST(route_arp_ring, hand_off_between_two_threads_keeps_each_frame_whole)
{
    constexpr uint32_t frames = 20000, hosts = 200;
    route_config rc{};
    rc.ip = addr("10.0.0.1");
    rc.netmask = addr("255.255.255.0");
    rc.network = addr("10.0.0.0");
    std::vector<arp_entry> table(256);
    rc.arp_table = table.data();
    arp_ring ring{};
    auto prod_side = std::make_unique<pipe_state>();
    auto cons_side = std::make_unique<pipe_state>();
    prod_side->in_if = cons_side->out_if = &rc;
    prod_side->arp_prod_ring = cons_side->arp_cons_ring = &ring;

    std::atomic<bool> bad{false};
    std::thread consumer([&] {
        while (ring.cons_idx < frames) {
            // As if every host had been asked: each frame of a drain (16 at
            // most, all for different hosts) is then learned.
            for (uint32_t h = 1; h <= hosts; ++h)
                table[h].asked = 1;
            arp_drain(*cons_side);
            // Each learned MAC carries the sequence number of a frame whose
            // sender address it came with.
            for (uint32_t h = 1; h <= hosts; ++h) {
                uint32_t k = 0;
                for (int i = 2; i < 6; ++i)
                    k = k << 8 | uint8_t(~table[h].addr[i]);
                if (table[h].next != 0 && k % hosts != h - 1)
                    bad = true;
            }
        }
    });
    frame_bytes f = arp_frame(2, host_mac, "10.0.0.1", "10.0.0.1", port_mac);
    for (uint32_t k = 0; k < frames; ++k) {
        mac_addr sha = {2, 0, uint8_t(k >> 24), uint8_t(k >> 16), uint8_t(k >> 8), uint8_t(k)};
        put_mac(f, 22, sha);
        f[31] = uint8_t(k % hosts + 1);
        uint64_t before = ring.prod_idx;
        while (ring.prod_idx == before)
            arp_handoff(*prod_side, f.data());
    }
    consumer.join();
    EXPECT_FALSE(bad);
    EXPECT_EQ(ring.free_idx, frames);
    for (uint32_t h = 1; h <= hosts; ++h) {
        uint32_t last = frames - hosts + (h - 1);
        EXPECT_EQ(uint8_t(~table[h].addr[5]), uint8_t(last)) << h;
    }
}

}  // namespace
