// Replay producer: queue layout, copies, due times under each kind of model.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "wenlo/replay.hpp"
#include "wenlo_testutil.hpp"

using namespace wenlo;
using namespace wenlo_test;

namespace {

struct filled {
    std::unique_ptr<replay_state> rs = std::make_unique<replay_state>();
    std::unique_ptr<temp_file> cap;
    std::string log;
    std::vector<queue_entry> entries;
    std::vector<uint64_t> offsets;

    const unsigned char* bytes(size_t i) const { return rs->queue.get() + offsets[i] + 32; }
};

struct models {
    const char* delay = nullptr;
    const char* bw = nullptr;
    const char* loss = nullptr;
};

filled fill_bytes(const std::string& pcap, models m = {})
{
    filled f;
    f.cap = std::make_unique<temp_file>(pcap);
    log_capture log;
    replay_state& rs = *f.rs;
    if (m.delay) {
        EXPECT_EQ(cmd_apply(delay_table, m.delay, &rs, &rs.delay_slot), 0);
    }
    if (m.bw) {
        EXPECT_EQ(cmd_apply(bw_table, m.bw, &rs, &rs.bw_slot), 0);
    }
    if (m.loss) {
        EXPECT_EQ(cmd_apply(loss_table, m.loss, &rs, &rs.loss_slot), 0);
    }
    EXPECT_TRUE(readpcap(f.cap->path.c_str(), rs));
    EXPECT_TRUE(pcap_prod(rs));
    f.log = log.text();
    for (uint64_t off = 0; off != rs.tail;) {
        queue_entry e = load_entry(rs.queue.get(), off);
        EXPECT_EQ(e.next, off + 32 + round_entry(e.len));
        f.entries.push_back(e);
        f.offsets.push_back(off);
        off = e.next;
    }
    return f;
}

filled fill(const std::vector<record>& recs, models m = {}) { return fill_bytes(pcap_bytes(recs), m); }

std::vector<uint64_t> tx_of(const filled& f, size_t n)
{
    std::vector<uint64_t> v;
    for (size_t i = 0; i < n && i < f.entries.size(); i++)
        v.push_back(f.entries[i].tx);
    return v;
}

int count(const std::string& s, const std::string& needle)
{
    int c = 0;
    for (size_t p = s.find(needle); p != std::string::npos; p = s.find(needle, p + 1))
        c++;
    return c;
}

}  // namespace

TEST(WenloProd, CopiesReachTenThousandPackets)
{
    EXPECT_EQ(queue_copies(1), 10001u);
    EXPECT_EQ(queue_copies(3), 3334u);
    EXPECT_EQ(queue_copies(5000), 3u);
    EXPECT_EQ(queue_copies(10000), 2u);
    EXPECT_EQ(queue_copies(10001), 1u);

    filled one = fill({rec(0, 60)});
    EXPECT_EQ(one.entries.size(), 10001u);
    EXPECT_EQ(one.rs->queue.size(), 10001u * 96 + 32);
    EXPECT_EQ(count(one.log, "--- start create 10001 packets at tail 0\n"), 1);
    EXPECT_EQ(count(one.log, "\tinsert "), 10001);
    EXPECT_EQ(count(one.log, "done q->prod_tail:960096\n"), 1);

    for (uint32_t n : {10000u, 10001u}) {
        std::vector<record> recs;
        for (uint32_t i = 0; i < n; i++)
            recs.push_back(rec(uint64_t{i} * 1000, 60, i));
        filled f = fill(recs);
        uint64_t copies = n == 10000 ? 2 : 1;
        EXPECT_EQ(f.entries.size(), n * copies);
        EXPECT_EQ(count(f.log, "\tinsert "), static_cast<int>(copies));
        EXPECT_EQ(f.rs->enqueued.load(), 2 * n * copies);
        uint32_t idx;
        std::memcpy(&idx, f.bytes(n * copies - 1), 4);
        EXPECT_EQ(idx, n - 1);
    }
}

TEST(WenloProd, EntryLayoutAndStoredBytes)
{
    record shorter = rec(0, 64, 1);
    shorter.data.resize(60);  // captured 60 of 64 bytes
    record longer = rec(1000, 50, 2);
    longer.data = rec(0, 100, 2).data;  // caplen 100 > len 50: cut to len
    filled f = fill({shorter, longer, rec(2000, 33, 3)});
    ASSERT_GE(f.entries.size(), 3u);
    EXPECT_EQ(f.offsets[1], 96u);
    EXPECT_EQ(f.entries[0].len, 64u);
    EXPECT_EQ(0, std::memcmp(f.bytes(0), shorter.data.data(), 60));
    for (int i = 60; i < 64; i++)
        EXPECT_EQ(f.bytes(0)[i], 0);
    EXPECT_EQ(f.entries[1].len, 50u);
    EXPECT_EQ(f.offsets[2], 96u + 96);
    EXPECT_EQ(0, std::memcmp(f.bytes(1), longer.data.data(), 50));
    for (int i = 50; i < 64; i++)
        EXPECT_EQ(f.bytes(1)[i], 0);
    EXPECT_EQ(f.entries[2].len, 33u);
    EXPECT_EQ(f.offsets[3], 96u + 96 + 96);
    // The spare bytes after the last entry stay zero.
    uint64_t spare;
    std::memcpy(&spare, f.rs->queue.get() + f.rs->tail, 8);
    EXPECT_EQ(spare, 0u);
    EXPECT_EQ(f.rs->tail + 32, f.rs->queue.size());
}

TEST(WenloProd, LastRecordCutShortIsSentWithZeros)
{
    std::string bytes = pcap_bytes({rec(0, 64, 1), rec(1000, 200, 2)});
    bytes.resize(bytes.size() - 150);  // 50 of 200 bytes present
    filled f = fill_bytes(bytes);
    ASSERT_EQ(f.entries.size(), 10002u);
    EXPECT_EQ(f.entries[1].len, 200u);
    EXPECT_EQ(0, std::memcmp(f.bytes(1), rec(1000, 200, 2).data.data(), 50));
    for (int i = 50; i < 200; i++)
        ASSERT_EQ(f.bytes(1)[i], 0);
    EXPECT_EQ(f.entries[2].tx - f.entries[1].tx, f.entries[0].tx);  // next copy starts afresh
}

TEST(WenloProd, IncompleteLastRecordLeavesCopiesOfCountedRecords)
{
    std::string bytes = pcap_bytes({rec(0, 100, 0), rec(1000000, 100, 1), rec(3000000, 100, 2)});
    bytes += std::string(9, '\7');  // a cut record header
    filled f = fill_bytes(bytes);
    ASSERT_EQ(f.entries.size(), 3u * 3334);
    for (size_t i = 0; i < 12; i++) {
        uint32_t idx;
        std::memcpy(&idx, f.bytes(i), 4);
        EXPECT_EQ(idx, i % 3) << i;
    }
    EXPECT_EQ(count(f.log, "\tinsert "), 3334);
}

TEST(WenloProd, CaptureTimingWithoutModels)
{
    // first_pkt_time = 100 x 3 ms / 200 = 1.5 ms; a copy lasts 4.5 ms.
    filled f = fill({rec(0, 100, 0), rec(1000000, 100, 1), rec(3000000, 100, 2)});
    std::vector<uint64_t> want;
    for (uint64_t k = 0; k < 3; k++)
        for (uint64_t off : {1500000u, 2500000u, 4500000u})
            want.push_back(k * 4500000 + off);
    EXPECT_EQ(tx_of(f, 9), want);
    EXPECT_EQ(f.entries[2].qout, 4500000u);
    EXPECT_TRUE(f.log.find("insert     0 len 100 cur_tt 0.001500\n") != std::string::npos)
        << f.log.substr(0, 2000);
}

TEST(WenloProd, RealScaleHalvesTheGaps)
{
    filled f = fill({rec(0, 100, 0), rec(1000000, 100, 1), rec(3000000, 100, 2)}, {.bw = "real,2"});
    std::vector<uint64_t> want{750000, 1250000, 2250000, 3000000, 3500000, 4500000};
    EXPECT_EQ(tx_of(f, 6), want);
}

TEST(WenloProd, StepBackInTimeCostsNoTimeInEveryCopy)
{
    // 10.0 10.2 5.0 5.1 5.3 s plays as 10.0 10.2 10.2 10.3 10.5: the gaps
    // forward sum to 0.5 s, so first_pkt_time = 100 x 0.5 s / 400 = 125 ms.
    const std::vector<record> recs{rec(10000000000, 100, 0), rec(10200000000, 100, 1),
                                   rec(5000000000, 100, 2), rec(5100000000, 100, 3), rec(5300000000, 100, 4)};
    struct row {
        const char* bw;
        std::vector<uint64_t> ms10;  // due times of two copies, 0.1 ms
        uint64_t copy_ns;            // one copy's length
    } rows[] = {
        {nullptr, {1250, 3250, 3250, 4250, 6250, 7500, 9500, 9500, 10500, 12500}, 625000000},
        {"real,2", {625, 1625, 1625, 2125, 3125, 3750, 4750, 4750, 5250, 6250}, 312500000},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.bw ? r.bw : "capture timing");
        filled f = fill(recs, {.bw = r.bw});
        std::vector<uint64_t> want;
        for (uint64_t ms10 : r.ms10)
            want.push_back(ms10 * 100000);
        EXPECT_EQ(tx_of(f, 10), want);
        // Every copy in the queue lasts the same, up to the last, where the
        // next pass of the queue starts.
        ASSERT_EQ(f.entries.size(), 5u * queue_copies(5));
        EXPECT_EQ(f.entries.back().tx, queue_copies(5) * r.copy_ns);
        for (size_t i = 5; i < f.entries.size(); i++)
            ASSERT_EQ(f.entries[i].tx, f.entries[i - 5].tx + r.copy_ns) << i;
    }
}

TEST(WenloProd, ConstantRateIgnoresCaptureGaps)
{
    std::vector<record> recs;
    for (uint32_t i = 0; i < 5; i++)
        recs.push_back(rec(uint64_t{i} * 5000000 + (i == 3 ? 777 : 0), 125, i));
    filled f = fill(recs, {.bw = "constant,1000000"});
    for (size_t i = 0; i < 20; i++) {
        EXPECT_EQ(f.entries[i].tx, (i + 1) * 1000000) << i;
        EXPECT_EQ(f.entries[i].qout, (i + 1) * 1000000) << i;
    }
}

TEST(WenloProd, DelayNeverOvertakesThePredecessor)
{
    filled c = fill({rec(0, 100, 0), rec(1000000, 100, 1), rec(3000000, 100, 2)}, {.delay = "10ms"});
    for (size_t i = 0; i < 30; i++)
        EXPECT_EQ(c.entries[i].tx, c.entries[i].qout + 10000000) << i;

    std::vector<record> recs;
    for (uint32_t i = 0; i < 50; i++)
        recs.push_back(rec(uint64_t{i} * 100000, 100, i));
    filled u = fill(recs, {.delay = "uniform,0,5ms", .bw = "constant,10M"});
    uint64_t prev = 0;
    for (const auto& e : u.entries) {
        ASSERT_GE(e.tx, prev + 80000);  // predecessor + own 80 us
        ASSERT_GE(e.tx, e.qout);
        ASSERT_LT(e.tx, std::max(prev + 80000, e.qout + 5000000));
        prev = e.tx;
    }
}

TEST(WenloProd, LossRemovesEntriesAndTheirGaps)
{
    filled all = fill({rec(0, 100), rec(1000, 100)}, {.loss = "plr,1"});
    EXPECT_EQ(all.rs->prod_tail, 0u);
    EXPECT_EQ(all.rs->tail, 0u);
    EXPECT_EQ(all.rs->enqueued.load(), 0u);

    std::vector<record> recs;
    for (uint32_t i = 0; i < 100; i++)
        recs.push_back(rec(uint64_t{i} * 1000000, 100, i));
    std::vector<std::vector<uint64_t>> runs;
    for (int run = 0; run < 2; run++) {
        srandom(1);  // the state a process starts with
        filled f = fill(recs, {.loss = "plr,0.3"});
        EXPECT_EQ(f.rs->enqueued.load(), 2 * f.entries.size());
        EXPECT_GT(f.entries.size(), 6000u);
        EXPECT_LT(f.entries.size(), 8000u);
        // A packet's due time is its capture time: dropped gaps leave no hole.
        for (size_t i = 0; i < 100 && i < f.entries.size(); i++) {
            uint32_t idx;
            std::memcpy(&idx, f.bytes(i), 4);
            if (f.entries[i].tx >= 10000000)
                break;
            EXPECT_EQ(f.entries[i].tx, f.entries[i].qout);
        }
        runs.push_back(tx_of(f, 10000));
    }
    EXPECT_EQ(runs[0], runs[1]);
}

TEST(WenloProd, CaptureCutShortAfterTheScanIsRefusedNotASignal)
{
    // Enough records that the mapping spans many pages; the file loses all
    // but its first page between the scan and the fill.
    std::vector<record> recs;
    for (uint32_t i = 0; i < 2000; i++)
        recs.push_back(rec(i * 1000ull, 200, i));
    temp_file cap(pcap_bytes(recs));
    log_capture log;
    replay_state rs;
    ASSERT_TRUE(readpcap(cap.path.c_str(), rs));
    ASSERT_EQ(truncate(cap.path.c_str(), 4096), 0);
    EXPECT_FALSE(pcap_prod(rs));
    EXPECT_TRUE(log.has("was cut short while it was read")) << log.text();
    // A guarded read of an intact mapping still runs to its end.
    int calls = 0;
    EXPECT_TRUE(capture_guard(
        *rs.pcap,
        [](void* c) {
            ++*static_cast<int*>(c);
            return true;
        },
        &calls));
    EXPECT_EQ(calls, 1);
}
