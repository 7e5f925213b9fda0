// The shared-memory link and the port names of the port layer.
#include "netport/netport.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace netport;

namespace {

// The segment's file format: header page, then ring 0 (received by the
// first end), then ring 1.
constexpr size_t header_bytes = 4096;
constexpr size_t ring_bytes = 20480 + 1024 * 2048;
constexpr size_t tail_off = 0, head_off = 128, slots_off = 256;

std::string sw_name(const char* tag) { return std::string(tag) + std::to_string(getpid()); }
std::string seg_path(const std::string& sw) { return "/dev/shm/netport-vale-" + sw; }

struct port_ptr {
    port* p = nullptr;
    explicit port_ptr(port* q) : p(q) {}
    port_ptr(port_ptr&& o) noexcept : p(std::exchange(o.p, nullptr)) {}
    port_ptr& operator=(port_ptr&& o) noexcept
    {
        std::swap(p, o.p);
        return *this;
    }
    ~port_ptr() { nmport_close(p); }
    port* get() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

port_ptr open_port(const std::string& name) { return port_ptr(nmport_open(name.c_str())); }

std::vector<unsigned char> make_frame(size_t len, uint32_t seq)
{
    std::vector<unsigned char> f(len);
    for (size_t i = 0; i < len; ++i)
        f[i] = static_cast<unsigned char>(seq * 31 + i * 7 + (i >> 8));
    return f;
}

// Gathers the frames visible on rx, handing the slots back as it goes.
std::vector<std::vector<unsigned char>> drain(port* rx, size_t max_frames = ~size_t{0})
{
    std::vector<std::vector<unsigned char>> out;
    nmport_rxsync(rx);
    ring* r = nmport_rx_ring(rx);
    std::vector<unsigned char> cur;
    while (r->cur != r->tail && out.size() < max_frames) {
        slot& s = r->slots[r->cur];
        cur.insert(cur.end(), s.buf, s.buf + s.len);
        bool more = (s.flags & NS_MOREFRAG) != 0;
        r->cur = (r->cur + 1) % r->num_slots;
        if (!more) {
            out.push_back(std::move(cur));
            cur.clear();
            r->head = r->cur;
        }
    }
    EXPECT_TRUE(cur.empty()) << "a frame ended without its last slot";
    nmport_rxsync(rx);
    return out;
}

uint32_t visible(port* rx)
{
    ring* r = nmport_rx_ring(rx);
    return (r->tail + r->num_slots - r->head) % r->num_slots;
}

struct segment_map {
    unsigned char* base = nullptr;
    size_t size = 0;
    explicit segment_map(const std::string& path)
    {
        int fd = open(path.c_str(), O_RDWR);
        if (fd < 0)
            return;
        size = header_bytes + 2 * ring_bytes;
        void* m = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        if (m != MAP_FAILED)
            base = static_cast<unsigned char*>(m);
    }
    ~segment_map()
    {
        if (base)
            munmap(base, size);
    }
    uint32_t& word(size_t off) { return *reinterpret_cast<uint32_t*>(base + off); }
    uint32_t& ring_word(int r, size_t off) { return word(header_bytes + r * ring_bytes + off); }
};

}  // namespace

TEST(netport_names, refused_with_a_message_naming_the_port)
{
    struct {
        const char* name;
        const char* expect;
    } cases[] = {
        {"eth0", "unknown port name"},
        {"pipe:x", "unknown port name"},
        {"netmap:", "missing interface name"},
        {"netmap:eth0^", "suffix \"^\" is not supported"},
        {"netmap:eth0-1/R", "suffix \"/R\""},
        {"netmap:eth0@conf", "suffix \"@conf\""},
        {"netmap:averyveryverylongname0", "longer than"},
        {"netmap:np-no-such-if0", "no interface"},
        {"vale0", "expected valeSW:PORT"},
        {"vale0:", "missing port name"},
        {"vale0:a{1", "suffix \"{1\""},
        {"vale../x:a", "switch name"},
    };
    for (auto& c : cases) {
        port* p = nmport_open(c.name);
        EXPECT_EQ(p, nullptr) << c.name;
        nmport_close(p);
        std::string msg = nmport_errmsg();
        EXPECT_NE(msg.find(c.name), std::string::npos) << msg;
        EXPECT_NE(msg.find(c.expect), std::string::npos) << c.name << ": " << msg;
    }
}

TEST(netport_vale, frames_cross_in_order_through_many_wraps)
{
    std::string sw = sw_name("wrap");
    port_ptr a = open_port("vale" + sw + ":a"), b = open_port("vale" + sw + ":b");
    ASSERT_TRUE(a && b) << nmport_errmsg();
    EXPECT_EQ(nmport_max_frame(a.get()), 9216u);
    EXPECT_TRUE(nmport_peer_attached(a.get()));
    uint32_t seq = 0, got = 0;
    // Batches that do not divide the ring size move the wrap point around.
    for (int round = 0; round < 40; ++round) {
        for (int i = 0; i < 333; ++i, ++seq) {
            auto f = make_frame(60 + (seq % 1400), seq);
            ASSERT_EQ(nmport_inject(a.get(), f.data(), f.size()), int(f.size()));
        }
        nmport_txsync(a.get());
        auto frames = drain(b.get());
        for (auto& f : frames) {
            EXPECT_EQ(f, make_frame(60 + (got % 1400), got)) << "frame " << got;
            ++got;
        }
        ASSERT_EQ(got, seq);
    }
    // The receive time is when the sender published the frame, not when the
    // receiver happened to look.
    auto wall = [] {
        return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count());
    };
    auto f = make_frame(100, 0);
    nmport_inject(b.get(), f.data(), f.size());
    const uint64_t before = wall();
    nmport_txsync(b.get());
    const uint64_t after = wall();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    nmport_rxsync(a.get());
    ring* r = nmport_rx_ring(a.get());
    ASSERT_EQ(visible(a.get()), 1u);
    uint64_t ts = nmport_rx_timestamp(a.get(), r->head);
    EXPECT_GE(ts, before);
    EXPECT_LE(ts, after);
    port_drops d = nmport_drops(a.get());
    EXPECT_EQ(d.peer_absent + d.truncated + d.oversize + d.damaged, 0u);
}

TEST(netport_vale, a_sleeping_receiver_wakes_on_the_senders_txsync)
{
    std::string sw = sw_name("wake");
    port_ptr a = open_port("vale" + sw + ":a"), b = open_port("vale" + sw + ":b");
    ASSERT_TRUE(a && b) << nmport_errmsg();
    using clock = std::chrono::steady_clock;

    // Nothing arrives: the wait ends by its timeout.
    auto t0 = clock::now();
    nmport_rx_wait(a.get(), 20'000'000);
    EXPECT_GE(clock::now() - t0, std::chrono::milliseconds(15));

    // Something already published but not yet shown: no sleep at all.
    auto f = make_frame(60, 1);
    ASSERT_EQ(nmport_inject(b.get(), f.data(), f.size()), 60);
    nmport_txsync(b.get());
    t0 = clock::now();
    nmport_rx_wait(a.get(), 10'000'000'000);
    EXPECT_LT(clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(drain(a.get()).size(), 1u);

    // Asleep with a 10 s timeout: the sender's txsync wakes it (several
    // rounds, so a wake-up that is lost now and then would show).
    for (int round = 0; round < 20; ++round) {
        std::thread sender([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            auto g = make_frame(64, uint32_t(round));
            nmport_inject(b.get(), g.data(), g.size());
            nmport_txsync(b.get());
        });
        t0 = clock::now();
        size_t got = 0;
        while (got == 0 && clock::now() - t0 < std::chrono::seconds(5)) {
            nmport_rx_wait(a.get(), 10'000'000'000);
            got = drain(a.get()).size();
        }
        sender.join();
        ASSERT_EQ(got, 1u) << "round " << round;
        EXPECT_LT(clock::now() - t0, std::chrono::seconds(5)) << "round " << round;
    }
}

TEST(netport_vale, full_ring_refuses_until_slots_come_back)
{
    std::string sw = sw_name("full");
    port_ptr a = open_port("vale" + sw + ":a"), b = open_port("vale" + sw + ":b");
    ASSERT_TRUE(a && b) << nmport_errmsg();
    auto small = make_frame(60, 1);
    int sent = 0;
    while (nmport_inject(a.get(), small.data(), small.size()) > 0 && sent < 5000)
        ++sent;
    EXPECT_EQ(sent, 1024);
    EXPECT_EQ(nmport_inject(a.get(), small.data(), small.size()), 0);
    nmport_txsync(a.get());
    // Nothing comes back before the receiver moves head and syncs.
    nmport_rxsync(b.get());
    EXPECT_EQ(visible(b.get()), 1024u);
    EXPECT_EQ(nmport_inject(a.get(), small.data(), small.size()), 0);
    // One slot back is not enough for a two-slot frame, two are.
    ring* r = nmport_rx_ring(b.get());
    r->head = r->cur = (r->head + 1) % r->num_slots;
    nmport_rxsync(b.get());
    auto big = make_frame(3000, 2);
    EXPECT_EQ(nmport_inject(a.get(), big.data(), big.size()), 0);
    r->head = r->cur = (r->head + 1) % r->num_slots;
    nmport_rxsync(b.get());
    EXPECT_EQ(nmport_inject(a.get(), big.data(), big.size()), 3000);
    nmport_txsync(a.get());
    auto frames = drain(b.get());
    ASSERT_EQ(frames.size(), 1023u);
    EXPECT_EQ(frames.back(), big);
    EXPECT_EQ(nmport_drops(a.get()).peer_absent, 0u);
}

TEST(netport_vale, jumbo_frame_arrives_in_fragments_only_when_whole)
{
    std::string sw = sw_name("frag");
    port_ptr a = open_port("vale" + sw + ":a"), b = open_port("vale" + sw + ":b");
    ASSERT_TRUE(a && b) << nmport_errmsg();
    auto jumbo = make_frame(9000, 7);
    ASSERT_EQ(nmport_inject(a.get(), jumbo.data(), jumbo.size()), 9000);
    nmport_rxsync(b.get());
    EXPECT_EQ(visible(b.get()), 0u) << "visible before txsync";
    nmport_txsync(a.get());
    nmport_rxsync(b.get());
    ring* r = nmport_rx_ring(b.get());
    ASSERT_EQ(visible(b.get()), 5u);
    uint32_t total = 0;
    for (uint32_t k = 0; k < 5; ++k) {
        const slot& s = r->slots[(r->head + k) % r->num_slots];
        EXPECT_EQ(s.flags & NS_MOREFRAG, k < 4 ? NS_MOREFRAG : 0u) << "slot " << k;
        EXPECT_LE(s.len, 2048u);
        total += s.len;
    }
    EXPECT_EQ(total, 9000u);
    auto frames = drain(b.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], jumbo);

    auto too_big = make_frame(9217, 0);
    EXPECT_EQ(nmport_inject(a.get(), too_big.data(), too_big.size()), -1);
    EXPECT_EQ(nmport_inject(a.get(), too_big.data(), 0), -1);
    EXPECT_EQ(nmport_drops(a.get()).oversize, 2u);
    auto max = make_frame(9216, 3);
    EXPECT_EQ(nmport_inject(a.get(), max.data(), max.size()), 9216);
    nmport_txsync(a.get());
    frames = drain(b.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], max);
}

TEST(netport_vale, same_port_twice_in_one_process_and_absent_peer)
{
    std::string sw = sw_name("twice");
    std::string an = "vale" + sw + ":a";
    port* in = nmport_prepare(an.c_str());
    ASSERT_NE(in, nullptr);
    *nr_flags(in) |= NR_RX_RINGS_ONLY;
    ASSERT_EQ(nmport_open_desc(in), 0) << nmport_errmsg();
    port_ptr in_guard(in);
    port_ptr out = open_port(an);
    ASSERT_TRUE(out) << nmport_errmsg();

    // No peer yet: frames are dropped (-1) and counted, never blocked.
    auto f = make_frame(64, 1);
    EXPECT_FALSE(nmport_peer_attached(out.get()));
    EXPECT_EQ(nmport_inject(out.get(), f.data(), f.size()), -1);
    EXPECT_EQ(nmport_drops(out.get()).peer_absent, 1u);

    port_ptr b = open_port("vale" + sw + ":b");
    ASSERT_TRUE(b) << nmport_errmsg();
    EXPECT_TRUE(nmport_peer_attached(out.get()));
    EXPECT_EQ(nmport_inject(b.get(), f.data(), f.size()), 64);
    nmport_txsync(b.get());
    EXPECT_EQ(drain(in).size(), 1u);
    EXPECT_EQ(nmport_inject(out.get(), f.data(), f.size()), 64);
    nmport_txsync(out.get());
    EXPECT_EQ(drain(b.get()).size(), 1u);

    // Frames left unread when an end leaves are not delivered to its next life.
    for (int i = 0; i < 5; ++i)
        nmport_inject(out.get(), f.data(), f.size());
    nmport_txsync(out.get());
    nmport_close(b.p);
    b.p = nullptr;
    port_ptr b2 = open_port("vale" + sw + ":b");
    ASSERT_TRUE(b2) << nmport_errmsg();
    EXPECT_EQ(drain(b2.get()).size(), 0u);
}

TEST(netport_vale, third_port_and_second_process_refused)
{
    std::string sw = sw_name("third");
    port_ptr a = open_port("vale" + sw + ":a"), b = open_port("vale" + sw + ":b");
    ASSERT_TRUE(a && b) << nmport_errmsg();
    port_ptr c = open_port("vale" + sw + ":c");
    EXPECT_FALSE(c);
    EXPECT_NE(std::string(nmport_errmsg()).find("third port is refused"), std::string::npos)
        << nmport_errmsg();

    pid_t pid = fork();
    if (pid == 0) {
        port* q = nmport_open(("vale" + sw + ":a").c_str());
        bool refused = q == nullptr && strstr(nmport_errmsg(), "already attached") != nullptr;
        _exit(refused ? 0 : 1);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "a second process took the same end";

    nmport_close(b.p);
    b.p = nullptr;
    port_ptr c2 = open_port("vale" + sw + ":c");
    EXPECT_TRUE(c2) << "the end left by b should be free: " << nmport_errmsg();
}

TEST(netport_vale, killed_process_leaves_nothing_that_blocks)
{
    std::string sw = sw_name("kill");
    std::string an = "vale" + sw + ":a";
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t pid = fork();
    if (pid == 0) {
        port* q = nmport_open(an.c_str());
        char c = q ? 'y' : 'n';
        if (write(pipefd[1], &c, 1) != 1)
            _exit(2);
        pause();
        _exit(0);
    }
    close(pipefd[1]);
    char c = 0;
    ASSERT_EQ(read(pipefd[0], &c, 1), 1);
    close(pipefd[0]);
    ASSERT_EQ(c, 'y');

    port_ptr b = open_port("vale" + sw + ":b");
    ASSERT_TRUE(b) << nmport_errmsg();
    EXPECT_TRUE(nmport_peer_attached(b.get()));
    kill(pid, SIGKILL);
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_FALSE(nmport_peer_attached(b.get()));

    // The dead receiver's ring fills, then frames turn into counted drops.
    auto f = make_frame(200, 1);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int zero_returns = 0;
    while (nmport_drops(b.get()).peer_absent == 0 && std::chrono::steady_clock::now() < deadline) {
        if (nmport_inject(b.get(), f.data(), f.size()) == 0) {
            ++zero_returns;
            nmport_txsync(b.get());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    EXPECT_GT(nmport_drops(b.get()).peer_absent, 0u);

    // The same end opens again at once and traffic flows both ways.
    port_ptr a = open_port(an);
    ASSERT_TRUE(a) << nmport_errmsg();
    EXPECT_TRUE(nmport_peer_attached(b.get()));
    EXPECT_EQ(drain(a.get()).size(), 0u) << "frames of the dead end's life were delivered";
    ASSERT_EQ(nmport_inject(b.get(), f.data(), f.size()), 200);
    nmport_txsync(b.get());
    EXPECT_EQ(drain(a.get()).size(), 1u);
    ASSERT_EQ(nmport_inject(a.get(), f.data(), f.size()), 200);
    nmport_txsync(a.get());
    EXPECT_EQ(drain(b.get()).size(), 1u);

    // A segment whose every end died is started anew.
    pid = fork();
    if (pid == 0) {
        port* q = nmport_open(("vale" + sw + "x:a").c_str());
        if (q == nullptr)
            _exit(1);
        raise(SIGKILL);
    }
    waitpid(pid, &st, 0);
    port_ptr again = open_port("vale" + sw + "x:a");
    EXPECT_TRUE(again) << nmport_errmsg();
}

TEST(netport_vale, damaged_segment_is_refused)
{
    std::string sw = sw_name("dmg");
    port_ptr a = open_port("vale" + sw + ":a");
    ASSERT_TRUE(a) << nmport_errmsg();
    segment_map seg(seg_path(sw));
    ASSERT_NE(seg.base, nullptr);

    // Header damaged while a is attached: b is refused with a message.
    const uint32_t version = seg.word(8);
    seg.word(8) = version + 1;
    port_ptr b = open_port("vale" + sw + ":b");
    EXPECT_FALSE(b);
    EXPECT_NE(std::string(nmport_errmsg()).find("damaged"), std::string::npos) << nmport_errmsg();
    seg.word(8) = version;
    seg.ring_word(1, head_off) = seg.ring_word(1, tail_off) + 2000;
    b = open_port("vale" + sw + ":b");
    EXPECT_FALSE(b);
    seg.ring_word(1, head_off) = seg.ring_word(1, tail_off);
    b = open_port("vale" + sw + ":b");
    ASSERT_TRUE(b) << nmport_errmsg();

    // A tail out of range stops the link for a: it never shows a slot again.
    seg.ring_word(0, tail_off) += 5000;
    nmport_rxsync(a.get());
    EXPECT_EQ(visible(a.get()), 0u);
    auto f = make_frame(64, 0);
    nmport_inject(b.get(), f.data(), f.size());
    nmport_txsync(b.get());
    nmport_rxsync(a.get());
    EXPECT_EQ(visible(a.get()), 0u);
}

TEST(netport_vale, damaged_slot_records_are_never_shown)
{
    std::string sw = sw_name("slot");
    struct {
        uint32_t len, flags;
    } bad[] = {{4096, 0}, {100, 0x80}, {100, NS_MOREFRAG}};
    for (auto& x : bad) {
        // Each case on a fresh link: the damage stops the link for good.
        std::string s2 = sw_name("slot") + std::to_string(x.len) + "_" + std::to_string(x.flags);
        port_ptr rx = open_port("vale" + s2 + ":a"), tx = open_port("vale" + s2 + ":b");
        ASSERT_TRUE(rx && tx);
        segment_map m(seg_path(s2));
        ASSERT_NE(m.base, nullptr);
        // Write a slot by hand, as a broken writer would, and publish it.
        uint32_t t = m.ring_word(0, tail_off);
        m.ring_word(0, slots_off + (t % 1024) * 16) = x.len;
        m.ring_word(0, slots_off + (t % 1024) * 16 + 4) = x.flags;
        m.ring_word(0, tail_off) = t + 1;
        nmport_rxsync(rx.get());
        EXPECT_EQ(visible(rx.get()), 0u) << "len " << x.len << " flags " << x.flags;
        auto f = make_frame(64, 0);
        nmport_inject(tx.get(), f.data(), f.size());
        nmport_txsync(tx.get());
        nmport_rxsync(rx.get());
        EXPECT_EQ(visible(rx.get()), 0u);
    }
}
