// Capture reader: magics, sizes, cut files, reordered time stamps, totals.
#include <gtest/gtest.h>

#include "wenlo/replay.hpp"
#include "wenlo_testutil.hpp"

using namespace wenlo_test;
using wenlo::readpcap;
using wenlo::replay_state;

namespace {

std::vector<record> three_records()
{
    return {rec(5000000000ull + 1000, 100, 0), rec(5000000000ull + 501000, 60, 1),
            rec(5001000000ull + 2000, 1514, 2)};
}

}  // namespace

TEST(WenloPcap, EveryMagicGivesTheSameTotals)
{
    struct form {
        bool nano, swap;
        const char* line;
    } forms[] = {{false, false, "swap 0 res 1000"},
                 {true, false, "swap 0 res 1"},
                 {false, true, "swap 1 res 1000"},
                 {true, true, "swap 1 res 1"}};
    for (const auto& f : forms) {
        SCOPED_TRACE(f.line);
        temp_file cap(pcap_bytes(three_records(), f.nano, f.swap));
        log_capture log;
        replay_state rs;
        ASSERT_TRUE(readpcap(cap.path.c_str(), rs));
        EXPECT_TRUE(log.has(std::string(f.line) + "\n\n"));
        EXPECT_TRUE(log.has("readpcap   ["));  // the tag padded to 10 characters
        EXPECT_EQ(rs.pcap->tot_pkt, 3u);
        EXPECT_EQ(rs.pcap->tot_bytes, 100u + 60 + 1514);
        EXPECT_EQ(rs.pcap->tot_mem, (32u + 128) + (32 + 64) + (32 + 1536));
        EXPECT_EQ(rs.pcap->tx_time, 1001000u);
        EXPECT_EQ(rs.pcap->res, f.nano ? 1u : 1000u);
        EXPECT_EQ(rs.pcap->swap, f.swap ? 1u : 0u);
        EXPECT_EQ(rs.pcap->cur, rs.pcap->data + 24);
        EXPECT_EQ(rs.pcap->lim, rs.pcap->data + rs.pcap->filesize);
    }
}

TEST(WenloPcap, ForeignLinkTypeAndOversizeRecordsAreRefused)
{
    auto with_link = [](uint32_t link) {
        std::string b = pcap_bytes({rec(0, 64)});
        std::memcpy(b.data() + 20, &link, 4);
        return b;
    };
    // A record header claiming caplen and len, with no bytes after it.
    auto header = [](uint32_t caplen, uint32_t len) {
        const uint32_t w[4] = {1, 0, caplen, len};
        return std::string(reinterpret_cast<const char*>(w), sizeof w);
    };
    std::string gig = pcap_bytes({rec(0, 64)}) + header(1u << 30, 1u << 30);
    gig.resize(4096, '\0');
    struct row {
        std::string bytes;
        const char* message;  // after "--EEE-- PATH"; nullptr: accepted
    } rows[] = {
        {with_link(105), " has link type 105, only Ethernet (1) is replayed\n"},
        {with_link(0), " has link type 0, only Ethernet (1) is replayed\n"},
        {gig,
         ": record 2 at offset 104 claims caplen 1073741824 len 1073741824, more than the 262144 bytes a "
         "record may hold\n"},
        {pcap_bytes({}) + header(64, 262145),
         ": record 1 at offset 24 claims caplen 64 len 262145, more than the 262144 bytes a record may "
         "hold\n"},
        {pcap_bytes({}) + header(262145, 64),
         ": record 1 at offset 24 claims caplen 262145 len 64, more than the 262144 bytes a record may "
         "hold\n"},
        {pcap_bytes({}) + header(64, 262144) + std::string(64, '\0'), nullptr},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.message ? r.message : "at the limit");
        temp_file cap(r.bytes);
        log_capture log;
        replay_state rs;
        if (r.message == nullptr) {
            ASSERT_TRUE(readpcap(cap.path.c_str(), rs)) << log.text();
            EXPECT_EQ(rs.pcap->tot_mem, 32u + 262144);
            continue;
        }
        EXPECT_FALSE(readpcap(cap.path.c_str(), rs));
        EXPECT_TRUE(log.has("--EEE-- " + cap.path + r.message)) << log.text();
        EXPECT_FALSE(log.has("tot_pkt")) << "refused after the totals";
        EXPECT_EQ(rs.pcap, nullptr);
    }
}

TEST(WenloPcap, NanosecondFractionIsUsedUnscaled)
{
    temp_file cap(pcap_bytes({rec(7, 64), rec(1000000007, 64)}, true));
    log_capture log;
    replay_state rs;
    ASSERT_TRUE(readpcap(cap.path.c_str(), rs));
    EXPECT_EQ(rs.pcap->tx_time, 1000000000u);
    EXPECT_TRUE(log.has("tx_time 1.000000 s"));
}

TEST(WenloPcap, UnknownMagicAndMissingFile)
{
    std::string bytes = pcap_bytes({rec(0, 64)});
    bytes[0] = 0x11;
    temp_file cap(bytes);
    log_capture log;
    replay_state rs;
    EXPECT_FALSE(readpcap(cap.path.c_str(), rs));
    EXPECT_TRUE(log.has("--EEE-- unknown magic 0xa1b2c311\n"));
    EXPECT_FALSE(readpcap("/nonexistent/cap.pcap", rs));
    EXPECT_TRUE(log.has("--EEE-- cannot open file /nonexistent/cap.pcap\n"));
    EXPECT_EQ(rs.pcap, nullptr);
}

TEST(WenloPcap, ShortFilesAndEmptyCapture)
{
    std::string header = pcap_bytes({});
    ASSERT_EQ(header.size(), 24u);
    {
        temp_file cap(header.substr(0, 23));
        log_capture log;
        replay_state rs;
        EXPECT_FALSE(readpcap(cap.path.c_str(), rs));
        EXPECT_TRUE(log.has("filesize is 23\n"));
        EXPECT_TRUE(log.has("--EEE-- file too short " + cap.path + "\n"));
    }
    {
        // Global header only: scanned to zero records, then refused.
        temp_file cap(header);
        log_capture log;
        replay_state rs;
        EXPECT_FALSE(readpcap(cap.path.c_str(), rs));
        EXPECT_FALSE(log.has("too short"));
        EXPECT_TRUE(log.has("tot_pkt 0 tot_bytes 0 tx_time 0.000000 s first_len 0\n"));
        EXPECT_TRUE(log.has("first_pkt_time 0.000000 s\n"));
        EXPECT_TRUE(log.has("--EEE-- no packets in " + cap.path + "\n"));
        EXPECT_EQ(rs.pcap, nullptr);
    }
    {
        // The first record header cut short: no complete record either.
        temp_file cap(header + std::string(10, '\1'));
        log_capture log;
        replay_state rs;
        EXPECT_FALSE(readpcap(cap.path.c_str(), rs));
        EXPECT_TRUE(log.has("--WWW-- end of pcap file after 0 packets\n\n"));
        EXPECT_TRUE(log.has("no packets"));
    }
}

TEST(WenloPcap, CutHeaderEndsTheScanAfterTheCompleteRecords)
{
    std::string bytes = pcap_bytes({rec(0, 64), rec(1000, 64)}) + std::string(15, '\0');
    temp_file cap(bytes);
    log_capture log;
    replay_state rs;
    ASSERT_TRUE(readpcap(cap.path.c_str(), rs));
    EXPECT_TRUE(log.has("--WWW-- end of pcap file after 2 packets\n\n"));
    EXPECT_EQ(rs.pcap->tot_pkt, 2u);
}

TEST(WenloPcap, RecordWithDataPastTheEndIsCountedAndEndsTheScan)
{
    std::string bytes = pcap_bytes({rec(0, 64), rec(1000, 200)});
    bytes.resize(bytes.size() - 150);
    temp_file cap(bytes);
    log_capture log;
    replay_state rs;
    ASSERT_TRUE(readpcap(cap.path.c_str(), rs));
    EXPECT_FALSE(log.has("end of pcap file"));
    EXPECT_EQ(rs.pcap->tot_pkt, 2u);
    EXPECT_EQ(rs.pcap->tot_bytes, 264u);
}

TEST(WenloPcap, ReorderedTimeStampsWarnWithTheLaterIndex)
{
    temp_file cap(
        pcap_bytes({rec(0, 64), rec(2000000, 64), rec(1000000, 64), rec(3000000, 64), rec(2500000, 64)}));
    log_capture log;
    replay_state rs;
    ASSERT_TRUE(readpcap(cap.path.c_str(), rs));
    EXPECT_EQ(log.count("--WWW-- reordered packet"), 2);
    EXPECT_TRUE(log.has("--WWW-- reordered packet 2\n\n"));
    EXPECT_TRUE(log.has("--WWW-- reordered packet 4\n\n"));
    EXPECT_EQ(rs.pcap->tot_pkt, 5u);
    EXPECT_EQ(rs.pcap->tx_time, 4000000u);  // the gaps forward: 2 + 0 + 2 + 0 ms
}

TEST(WenloPcap, TotalsAndFirstPacketTime)
{
    {
        temp_file cap(pcap_bytes({rec(0, 100), rec(1000000, 300)}));
        log_capture log;
        replay_state rs;
        ASSERT_TRUE(readpcap(cap.path.c_str(), rs));
        EXPECT_TRUE(log.has("tot_pkt 2 tot_bytes 400 tx_time 0.001000 s first_len 100\n"));
        EXPECT_EQ(rs.pcap->first_pkt_time, 333333u);
        EXPECT_TRUE(log.has("first_pkt_time 0.000333 s\n"));
        EXPECT_EQ(rs.pcap->tot_mem, 512u);
    }
    {
        temp_file cap(pcap_bytes({rec(42000, 100)}));
        log_capture log;
        replay_state rs;
        ASSERT_TRUE(readpcap(cap.path.c_str(), rs));
        EXPECT_EQ(rs.pcap->tx_time, 0u);
        EXPECT_EQ(rs.pcap->first_pkt_time, 800u);
    }
}

TEST(WenloPcap, LastRecordEarlierThanFirstLastsNothing)
{
    // Without the guard the negative duration would make a first gap of years.
    temp_file cap(pcap_bytes({rec(10000000000ull, 1500), rec(5000000000ull, 100), rec(4000000000ull, 100)}));
    log_capture log;
    replay_state rs;
    ASSERT_TRUE(readpcap(cap.path.c_str(), rs));
    EXPECT_EQ(rs.pcap->tx_time, 0u);
    EXPECT_EQ(rs.pcap->first_pkt_time, 0u);
}

TEST(WenloPcap, FirstPacketTimeDoesNotOverflow)
{
    // 9000-byte first packet, a capture of a day: the product needs 128 bits.
    const uint64_t day = 86400ull * 1000000000ull;
    temp_file cap(pcap_bytes({rec(0, 9000), rec(day, 100)}));
    log_capture log;
    replay_state rs;
    ASSERT_TRUE(readpcap(cap.path.c_str(), rs));
    EXPECT_EQ(rs.pcap->first_pkt_time,
              static_cast<uint64_t>((static_cast<unsigned __int128>(9000) * day) / 100));
}
