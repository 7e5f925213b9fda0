// Runs of the replayer that end by themselves, over a shared-memory link
// with a receive loop in the test: --loop, --limit and --duration counts, a
// pcapng capture next to its pcap twin, and the --pps rate.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <atomic>
#include <map>
#include <thread>

#include "netport/netport.hpp"
#include "wenlo_testutil.hpp"

using namespace wenlo_test;

namespace {

std::string link_name(const std::string& end) { return "valert" + std::to_string(getpid()) + ":" + end; }

struct frame_in {
    uint64_t t_ns;  // publish time of the sender's txsync
    std::vector<unsigned char> bytes;
};

// Receives on one end of the link in a thread until stop() (the ring is
// drained while wenlo runs: a full ring would hold it back).
struct receiver {
    netport::port* p;
    std::vector<frame_in> got;
    std::atomic<bool> done{false};
    std::thread th;
    explicit receiver(const std::string& name) : p(netport::nmport_open(name.c_str()))
    {
        if (p == nullptr)
            return;
        th = std::thread([this] {
            prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
            netport::ring* r = netport::nmport_rx_ring(p);
            for (;;) {
                const bool last = done.load();
                netport::nmport_rxsync(p);
                while (r->head != r->tail) {
                    const netport::slot& s = r->slots[r->head];
                    got.push_back({netport::nmport_rx_timestamp(p, r->head), {s.buf, s.buf + s.len}});
                    r->head = r->head + 1 == r->num_slots ? 0 : r->head + 1;
                }
                if (last)
                    break;
                netport::nmport_rx_wait(p, 20000000);
            }
        });
    }
    std::vector<frame_in>& stop()
    {
        done.store(true);
        if (th.joinable())
            th.join();
        return got;
    }
    ~receiver()
    {
        stop();
        if (p)
            netport::nmport_close(p);
    }
};

// "report NAME VALUE" lines of the final report.
std::map<std::string, std::string> report_of(const std::string& err)
{
    std::map<std::string, std::string> m;
    for (size_t at = err.find("\treport "); at != std::string::npos; at = err.find("\treport ", at + 1)) {
        const size_t name = at + 8, sp = err.find(' ', name), nl = err.find('\n', name);
        if (sp < nl)
            m[err.substr(name, sp - name)] = err.substr(sp + 1, nl - sp - 1);
    }
    return m;
}

// 20 frames of 100 bytes, 100 us apart, each carrying its index.
std::vector<record> twenty()
{
    std::vector<record> recs;
    for (uint32_t i = 0; i < 20; i++)
        recs.push_back(rec(1000000000ull + uint64_t{i} * 100000, 100, i));
    return recs;
}

// The same frames in pcapng form (one little-endian section, microseconds).
std::string pcapng_of(const std::vector<record>& recs)
{
    std::string out;
    auto w32 = [](std::string& s, uint32_t v) { s.append(reinterpret_cast<const char*>(&v), 4); };
    auto block = [&](uint32_t type, std::string body) {
        body.append((4 - body.size() % 4) % 4, '\0');
        w32(out, type);
        w32(out, static_cast<uint32_t>(body.size() + 12));
        out += body;
        w32(out, static_cast<uint32_t>(body.size() + 12));
    };
    std::string shb;
    w32(shb, 0x1a2b3c4d);
    w32(shb, 1);
    shb.append(8, '\xff');
    block(0x0a0d0d0a, shb);
    std::string idb;
    w32(idb, 1);
    w32(idb, 0);
    block(1, idb);
    for (const record& r : recs) {
        const uint64_t us = r.t_ns / 1000;
        std::string epb;
        w32(epb, 0);
        w32(epb, static_cast<uint32_t>(us >> 32));
        w32(epb, static_cast<uint32_t>(us));
        w32(epb, static_cast<uint32_t>(r.data.size()));
        w32(epb, r.len);
        epb.append(reinterpret_cast<const char*>(r.data.data()), r.data.size());
        block(6, epb);
    }
    return out;
}

}  // namespace

TEST(WenloRun, LimitsEndTheRunWithTheReport)
{
    const std::vector<record> recs = twenty();
    temp_file pcap(pcap_bytes(recs));
    temp_file ng(pcapng_of(recs), "wenlo_ng");
    struct c {
        const char* name;
        std::vector<std::string> args;
        bool pcapng;
        size_t want;
        const char* end;
        const char* passes;
    } cases[] = {
        {"loop", {"--loop", "3"}, false, 60, "loop", "3"},
        {"limit", {"--limit", "45"}, false, 45, "limit", "2"},
        {"limit within the first pass", {"--limit", "7", "--loop", "5"}, false, 7, "limit", "0"},
        // Packet n falls due n ms after the start: 999 of them before 1 s.
        {"duration", {"--pps", "1000", "--duration", "1"}, false, 999, "duration", "49"},
        {"pcapng", {"--loop", "2", "--multiplier", "4"}, true, 40, "loop", "2"},
    };
    int row = 0;
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        const std::string rx_end = "rx" + std::to_string(row), tx_end = "tx" + std::to_string(row);
        row++;
        receiver rx(link_name(rx_end));
        ASSERT_NE(rx.p, nullptr);
        std::vector<std::string> args{
            "-C", "-1", "-f", k.pcapng ? ng.path : pcap.path, "-i", link_name(tx_end)};
        args.insert(args.end(), k.args.begin(), k.args.end());
        wenlo_proc w(args);
        const int status = w.wait(20);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::vector<frame_in>& got = rx.stop();
        EXPECT_EQ(status, 0) << w.err();
        ASSERT_EQ(got.size(), k.want) << w.err();
        for (size_t i = 0; i < got.size(); i++)
            ASSERT_EQ(got[i].bytes, recs[i % 20].data) << "frame " << i;
        std::map<std::string, std::string> r = report_of(w.err());
        EXPECT_EQ(r["end"], k.end) << w.err();
        EXPECT_EQ(r["packets"], std::to_string(k.want));
        EXPECT_EQ(r["bytes"], std::to_string(k.want * 100));
        EXPECT_EQ(r["passes"], k.passes);
        ASSERT_TRUE(r.count("late_max_ns") && r.count("late_p99_ns") && r.count("elapsed_s")) << w.err();
        EXPECT_LE(std::stoull(r["late_median_ns"]), std::stoull(r["late_p99_ns"]));
        EXPECT_LE(std::stoull(r["late_p99_ns"]), std::stoull(r["late_max_ns"]));
        if (std::string(k.end) == "duration") {
            EXPECT_NEAR(std::stod(r["elapsed_s"]), 1.0, 0.05);
        }
        EXPECT_FALSE(w.err_has("--EEE-- exiting on abort")) << w.err();  // it ended, nobody stopped it
    }
}

TEST(WenloRun, PacketRateHoldsWithinOnePercent)
{
    // 10 000 packets a second for 3 s, counted at the receiver between the
    // first and the last frame's publish time.
    std::vector<record> recs;
    for (uint32_t i = 0; i < 100; i++)
        recs.push_back(rec(uint64_t{i} * 1000000, 64, i));  // 1 ms apart in the capture
    temp_file cap(pcap_bytes(recs));
    receiver rx(link_name("rxp"));
    ASSERT_NE(rx.p, nullptr);
    wenlo_proc w({"-C", "-1", "-f", cap.path, "-i", link_name("txp"), "--pps", "10k", "--duration", "3s"});
    const int status = w.wait(20);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::vector<frame_in>& got = rx.stop();
    EXPECT_EQ(status, 0) << w.err();
    ASSERT_EQ(got.size(), 29999u) << w.err();
    const double seconds = static_cast<double>(got.back().t_ns - got.front().t_ns) * 1e-9;
    const double pps = static_cast<double>(got.size() - 1) / seconds;
    EXPECT_NEAR(pps, 10000.0, 100.0) << "over " << seconds << " s";
    std::map<std::string, std::string> r = report_of(w.err());
    EXPECT_NEAR(std::stod(r["pps"]), 10000.0, 100.0) << w.err();
    EXPECT_NEAR(std::stod(r["bps"]), 10000.0 * 64 * 8, 6400.0) << w.err();
}
