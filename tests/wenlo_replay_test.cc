// Replays over a shared-memory link with a receive loop in the test: the
// capture's timing, passes that follow each other without a jump, the same
// drops in two runs, packets too long for the port, monitor lines and status.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "netport/netport.hpp"
#include "wenlo_testutil.hpp"

using namespace wenlo_test;

namespace {

struct arrival {
    uint64_t t_ns;
    uint32_t idx;  // first four bytes of the frame
    uint32_t len;
};

uint64_t mono_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

std::string link_name(const char* end) { return "valewt" + std::to_string(getpid()) + ":" + end; }

// The receiving end of the link, attached before wenlo starts sending.
struct receiver {
    netport::port* p;
    explicit receiver(const std::string& name) : p(netport::nmport_open(name.c_str())) {}
    ~receiver()
    {
        if (p)
            netport::nmport_close(p);
    }
    // Frames until n arrived or the time is up.
    std::vector<arrival> take(size_t n, double seconds)
    {
        std::vector<arrival> got;
        got.reserve(n);
        const uint64_t end = mono_ns() + static_cast<uint64_t>(seconds * 1e9);
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        while (got.size() < n && mono_ns() < end) {
            netport::nmport_rxsync(p);
            netport::ring* r = netport::nmport_rx_ring(p);
            if (r->head == r->tail) {
                // Leave the cores to the sender: the machine has only two.
                usleep(20);
                continue;
            }
            while (r->head != r->tail && got.size() < n) {
                const netport::slot& s = r->slots[r->head];
                // The link's stamp (realtime, when the sender published the
                // frame), not when this reader looked: on a loaded machine
                // the reader wakes at the scheduler's tick and would see
                // pairs of frames at once.
                const uint64_t stamp = netport::nmport_rx_timestamp(p, r->head);
                arrival a{stamp, 0, s.len};
                if (s.len >= 4)
                    std::memcpy(&a.idx, s.buf, 4);
                got.push_back(a);
                r->head = r->head + 1 == r->num_slots ? 0 : r->head + 1;
            }
        }
        return got;
    }
};

std::vector<std::string> wenlo_args(const std::string& cap, const std::string& port,
                                    std::vector<std::string> more = {})
{
    std::vector<std::string> a{"-C", "-1", "-f", cap, "-i", port};
    a.insert(a.end(), more.begin(), more.end());
    return a;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

TEST(WenloReplay, FollowsCaptureTimingAndReports)
{
    // 20 packets, gaps alternating 1 ms and 3 ms; the first of each copy
    // comes first_pkt_time = 100 x 38 ms / 1900 = 2 ms after the last.
    std::vector<record> recs;
    std::vector<uint64_t> gap_after(20);
    uint64_t t = 1000000000;
    for (uint32_t i = 0; i < 20; i++) {
        recs.push_back(rec(t, 100, i));
        gap_after[i] = i == 19 ? 2000000 : (i % 2 ? 3000000 : 1000000);
        t += gap_after[i];
    }
    temp_file cap(pcap_bytes(recs));
    receiver rx(link_name("rx1"));
    ASSERT_NE(rx.p, nullptr);
    wenlo_proc w(wenlo_args(cap.path, link_name("tx1")));
    std::vector<arrival> got = rx.take(60, 10);
    ASSERT_EQ(got.size(), 60u) << w.err();

    std::vector<double> err;
    for (size_t i = 0; i < got.size(); i++) {
        ASSERT_EQ(got[i].idx, (got[0].idx + i) % 20) << i;
        ASSERT_EQ(got[i].len, 100u);
        if (i > 0)
            err.push_back(static_cast<double>(got[i].t_ns - got[i - 1].t_ns) -
                          static_cast<double>(gap_after[got[i - 1].idx]));
    }
    std::vector<double> abs_err;
    for (double e : err)
        abs_err.push_back(std::abs(e));
    EXPECT_LT(median(abs_err), 500000.0);  // generous: shared machine, no real-time
    uint64_t want = 0;
    for (size_t i = 0; i + 1 < got.size(); i++)
        want += gap_after[got[i].idx];
    EXPECT_NEAR(static_cast<double>(got.back().t_ns - got.front().t_ns), static_cast<double>(want), 10e6);

    // The monitor prints its pair of lines, then SIGINT ends with status 3.
    for (int i = 0; i < 100 && !w.err_has("plr nominal"); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    w.interrupt();
    EXPECT_EQ(w.wait(10), 3);
    std::string err_text = w.err();
    EXPECT_TRUE(err_text.find("main       [") != std::string::npos) << err_text;
    EXPECT_TRUE(err_text.find(" maxq 0 round 0\n") != std::string::npos);
    EXPECT_TRUE(err_text.find("\tplr nominal 0.000000e+00 actual 0.000000e+00\n") != std::string::npos);
    EXPECT_TRUE(err_text.find("--WWW-- prepare to send packets\n") != std::string::npos);
    EXPECT_TRUE(err_text.find(" cons [") != std::string::npos);
    EXPECT_TRUE(err_text.find("wenlo_main [") != std::string::npos);
    EXPECT_TRUE(err_text.find("\t--EEE-- exiting on abort\n") != std::string::npos);
    EXPECT_TRUE(err_text.find(" main [") != std::string::npos);  // tagged "exiting on abort"
    EXPECT_EQ(err_text.find("setaffinit"), std::string::npos);   // -C -1: no placement
}

TEST(WenloReplay, EachPassStartsWhereThePreviousEnded)
{
    // 10001 packets of 100 bytes at 10 Mbit/s: 80 us each, one copy per pass.
    std::vector<record> recs;
    for (uint32_t i = 0; i < 10001; i++)
        recs.push_back(rec(uint64_t{i} * 1000, 100, i));
    temp_file cap(pcap_bytes(recs));
    receiver rx(link_name("rx2"));
    ASSERT_NE(rx.p, nullptr);
    wenlo_proc w(wenlo_args(cap.path, link_name("tx2"), {"-B", "10M"}));
    std::vector<arrival> got = rx.take(12001, 20);
    w.interrupt();
    ASSERT_EQ(got.size(), 12001u) << w.err();
    size_t wrap = 0;
    for (size_t i = 0; i < got.size(); i++) {
        ASSERT_EQ(got[i].idx, (got[0].idx + i) % 10001) << i;
        if (got[i].idx == 0 && i > 0)
            wrap = i;
    }
    ASSERT_GT(wrap, 0u);
    ASSERT_LT(wrap + 1000, got.size());
    // No pause and no burst at the wrap: the next pass keeps the rate.
    const double step = 80000;
    EXPECT_LT(static_cast<double>(got[wrap].t_ns - got[wrap - 1].t_ns), 5e6);
    double after = static_cast<double>(got[wrap + 1000].t_ns - got[wrap].t_ns);
    EXPECT_NEAR(after, 1000 * step, 0.25 * 1000 * step);
    double before = static_cast<double>(got[wrap].t_ns - got[wrap - 1000].t_ns);
    EXPECT_NEAR(before, 1000 * step, 0.25 * 1000 * step);
    EXPECT_EQ(w.wait(10), 2);  // -D and -L absent
}

TEST(WenloReplay, SameLossInTwoRuns)
{
    std::vector<record> recs;
    for (uint32_t i = 0; i < 400; i++)
        recs.push_back(rec(uint64_t{i} * 20000, 64, i));
    std::vector<std::vector<uint32_t>> runs;
    for (int run = 0; run < 2; run++) {
        temp_file cap(pcap_bytes(recs));
        std::string rxn = link_name(run ? "rx3b" : "rx3a");
        receiver rx(rxn);
        ASSERT_NE(rx.p, nullptr);
        wenlo_proc w(wenlo_args(cap.path, link_name(run ? "tx3b" : "tx3a"), {"-L", "plr,0.3"}));
        std::vector<arrival> got = rx.take(200, 10);
        w.interrupt();
        ASSERT_EQ(got.size(), 200u) << w.err();
        std::vector<uint32_t> idx;
        for (const auto& a : got)
            idx.push_back(a.idx);
        // About 30 % of the first 200 + dropped indices are missing.
        EXPECT_GT(idx.back(), 240u);
        EXPECT_LT(idx.back(), 350u);
        runs.push_back(idx);
        EXPECT_EQ(w.wait(10), 2);
    }
    EXPECT_EQ(runs[0], runs[1]);
}

TEST(WenloReplay, PacketTooLongForThePortIsSkipped)
{
    std::vector<record> recs{rec(0, 100, 0), rec(1000000, 100, 1), rec(2000000, 100, 2)};
    recs[1].len = 20000;  // 100 bytes stored, 20000 on the wire: more than the link carries
    temp_file cap(pcap_bytes(recs));
    receiver rx(link_name("rx4"));
    ASSERT_NE(rx.p, nullptr);
    wenlo_proc w(wenlo_args(cap.path, link_name("tx4"), {"-B", "real,10"}));
    std::vector<arrival> got = rx.take(20, 10);
    w.interrupt();
    ASSERT_EQ(got.size(), 20u) << w.err();
    for (const auto& a : got)
        EXPECT_NE(a.idx, 1u);
    EXPECT_EQ(w.wait(10), 2);
    std::string e = w.err();
    const std::string warning = "--WWW-- packet len 20000 does not fit the port (at most ";
    size_t first = e.find(warning);
    EXPECT_NE(first, std::string::npos) << e;
    EXPECT_EQ(e.find(warning, first + 1), std::string::npos);  // one warning
}

TEST(WenloReplay, FullRingLogsOnceASecondAndEmptyQueueSendsNothing)
{
    std::vector<record> recs{rec(0, 100, 0), rec(1000, 100, 1)};
    temp_file cap(pcap_bytes(recs));
    {
        // The receiver never takes anything: the ring fills and stays full.
        receiver rx(link_name("rx5"));
        ASSERT_NE(rx.p, nullptr);
        wenlo_proc w(wenlo_args(cap.path, link_name("tx5"), {"-B", "0"}));
        for (int i = 0; i < 100 && w.err().find("plr nominal") == std::string::npos; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        w.interrupt();
        EXPECT_EQ(w.wait(10), 2);
        std::string e = w.err();
        int lines = 0;
        for (size_t p = e.find("] inject failed len 100 now "); p != std::string::npos;
             p = e.find("] inject failed len 100 now ", p + 1))
            lines++;
        EXPECT_GE(lines, 2) << e.substr(e.size() > 3000 ? e.size() - 3000 : 0);
        EXPECT_LE(lines, 5);  // about 3 s of attempts, one line a second
        EXPECT_NE(e.find(" cons ["), std::string::npos);
    }
    {
        // Every packet dropped: the queue is empty and nothing is sent.
        receiver rx(link_name("rx6"));
        ASSERT_NE(rx.p, nullptr);
        wenlo_proc w(wenlo_args(cap.path, link_name("tx6"), {"-L", "plr,1"}));
        std::vector<arrival> got = rx.take(1, 2.5);
        w.interrupt();
        EXPECT_EQ(got.size(), 0u);
        EXPECT_EQ(w.wait(10), 2);
        std::string e = w.err();
        EXPECT_NE(e.find("done q->prod_tail:0\n"), std::string::npos) << e.substr(0, 2000);
        EXPECT_NE(e.find("\t0 -> 0 maxq 0 round 0\n"), std::string::npos)
            << e.substr(e.size() > 2000 ? e.size() - 2000 : 0);
        EXPECT_NE(e.find("\tplr nominal 1.000000e+00 actual 1.000000e+00\n"), std::string::npos);
    }
}
