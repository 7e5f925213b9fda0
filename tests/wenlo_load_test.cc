// Loading a capture for the replay: rewriting checked byte by byte against
// frames the test builds itself (its own plain checksums), the pass shift of
// --unique-ip, pcapng twins of a pcap capture, and the options refused before
// anything is loaded.
#include <gtest/gtest.h>

#include "wenlo/replay.hpp"
#include "wenlo_testutil.hpp"

using namespace common;

using namespace wenlo_test;
using wenlo::replay_state;

namespace {

using bytes = std::vector<unsigned char>;

void put16(bytes& b, size_t at, uint32_t v)
{
    b[at] = static_cast<unsigned char>(v >> 8);
    b[at + 1] = static_cast<unsigned char>(v);
}
void put32(bytes& b, size_t at, uint32_t v)
{
    put16(b, at, v >> 16);
    put16(b, at + 2, v & 0xffff);
}

// Internet checksum of a byte string, the plain way: 16-bit big-endian
// words summed, the carries folded, the complement taken.
uint16_t inet_sum(const bytes& b)
{
    uint64_t s = 0;
    for (size_t i = 0; i < b.size(); i += 2)
        s += uint32_t{b[i]} << 8 | (i + 1 < b.size() ? b[i + 1] : 0);
    while (s >> 16)
        s = (s & 0xffff) + (s >> 16);
    return static_cast<uint16_t>(~s);
}

// What one test frame carries; the builder makes it with valid checksums.
struct flow {
    enum kind_t { tcp4, udp4, udp4_nosum, icmp4, frag4, tcp6, udp6_hbh, arp } kind;
    uint32_t src, dst;  // IPv4, or the last 32 bits of an IPv6 address
    bool vlan = false;
    uint32_t stored = 0;  // bytes stored when the capture cuts it short, else 0
};

const unsigned char mac_d[6] = {0x02, 0x11, 0x11, 0x11, 0x11, 0x11};
const unsigned char mac_s[6] = {0x02, 0x22, 0x22, 0x22, 0x22, 0x22};

bytes build(const flow& f, const unsigned char* dmac = mac_d, const unsigned char* smac = mac_s)
{
    bytes b(dmac, dmac + 6);
    b.insert(b.end(), smac, smac + 6);
    if (f.vlan)
        b.insert(b.end(), {0x81, 0x00, 0x00, 0x07});
    const bool v6 = f.kind == flow::tcp6 || f.kind == flow::udp6_hbh;
    if (f.kind == flow::arp) {
        b.insert(b.end(), {0x08, 0x06});
        b.resize(b.size() + 28, 0x5a);
        return b;
    }
    b.insert(b.end(),
             {static_cast<unsigned char>(v6 ? 0x86 : 0x08), static_cast<unsigned char>(v6 ? 0xdd : 0x00)});
    const size_t l3 = b.size();
    bytes payload(23);
    for (size_t i = 0; i < payload.size(); i++)
        payload[i] = static_cast<unsigned char>(i * 13 + f.kind * 7);
    uint8_t proto = 0;
    bytes l4;
    switch (f.kind) {
    case flow::tcp4:
    case flow::tcp6:
        proto = 6;
        l4.assign(20, 0);
        put16(l4, 0, 40000), put16(l4, 2, 80), put32(l4, 4, 12345), l4[12] = 0x50, l4[13] = 0x18;
        break;
    case flow::udp4:
    case flow::udp4_nosum:
    case flow::udp6_hbh:
    case flow::frag4:
        proto = 17;
        l4.assign(8, 0);
        put16(l4, 0, 5000), put16(l4, 2, 53), put16(l4, 4, static_cast<uint32_t>(8 + payload.size()));
        break;
    case flow::icmp4:
        proto = 1;
        l4 = {8, 0, 0, 0, 0, 1, 0, 2};
        break;
    default:
        break;
    }
    l4.insert(l4.end(), payload.begin(), payload.end());
    // The pseudo-header sum for TCP and UDP (none for ICMP).
    bytes pseudo;
    if (!v6) {
        bytes h(20, 0);
        h[0] = 0x45;
        put16(h, 2, static_cast<uint32_t>(20 + l4.size()));
        put16(h, 4, 0x1234);
        if (f.kind == flow::frag4)
            put16(h, 6, 100);  // a later fragment: its bytes are no UDP header
        h[8] = 64;
        h[9] = proto;
        put32(h, 12, f.src);
        put32(h, 16, f.dst);
        put16(h, 10, inet_sum(h));
        pseudo.assign(h.begin() + 12, h.begin() + 20);
        pseudo.insert(pseudo.end(), {0, proto, static_cast<unsigned char>(l4.size() >> 8),
                                     static_cast<unsigned char>(l4.size())});
        b.insert(b.end(), h.begin(), h.end());
    } else {
        bytes ext;
        if (f.kind == flow::udp6_hbh)
            ext = {proto, 0, 1, 4, 0, 0, 0, 0};  // hop-by-hop: a PadN option
        bytes h(40, 0);
        h[0] = 0x60;
        put16(h, 4, static_cast<uint32_t>(ext.size() + l4.size()));
        h[6] = ext.empty() ? proto : 0;
        h[7] = 64;
        h[8] = 0x20, h[9] = 0x01, h[10] = 0x0d, h[11] = 0xb8;
        put32(h, 20, f.src);
        h[24] = 0x20, h[25] = 0x01, h[26] = 0x0d, h[27] = 0xb8;
        put32(h, 36, f.dst);
        pseudo.assign(h.begin() + 8, h.begin() + 40);
        pseudo.insert(pseudo.end(), {0, 0, static_cast<unsigned char>(l4.size() >> 8),
                                     static_cast<unsigned char>(l4.size()), 0, 0, 0, proto});
        b.insert(b.end(), h.begin(), h.end());
        b.insert(b.end(), ext.begin(), ext.end());
    }
    const size_t ck = proto == 6 ? 16 : proto == 17 ? 6 : 2;
    if (f.kind == flow::icmp4) {
        put16(l4, ck, inet_sum(l4));
    } else if (f.kind != flow::udp4_nosum) {
        bytes all = pseudo;
        all.insert(all.end(), l4.begin(), l4.end());
        uint16_t c = inet_sum(all);
        put16(l4, ck, proto == 17 && c == 0 ? 0xffff : c);
    }
    b.insert(b.end(), l4.begin(), l4.end());
    (void)l3;
    return b;
}

// The test's own reading of the options: 10.1.0.0/16 -> 172.16.0.0/16,
// then pass n adds n to every address.
uint32_t expect_addr(uint32_t a, uint32_t pass)
{
    if ((a & 0xffff0000) == 0x0a010000)
        a = 0xac100000 | (a & 0xffff);
    return a + pass;
}

const unsigned char new_d[6] = {0x02, 0xdd, 0, 0, 0, 0x01};
const unsigned char new_s[6] = {0x02, 0x55, 0, 0, 0, 0x02};

std::vector<flow> test_flows()
{
    return {
        {flow::tcp4, 0x0a010203, 0x0a090909},
        {flow::udp4, 0x0a090909, 0x0a010007},
        {flow::udp4_nosum, 0x0a010001, 0x0a020002},
        {flow::tcp4, 0x0a01ffff, 0x0a010001, true},
        {flow::udp6_hbh, 0x00000001, 0xfffffffe},
        {flow::tcp6, 0x0a010203, 0x00000002},
        {flow::arp, 0, 0},
        {flow::tcp4, 0x0a010203, 0x0a010204, false, 40},
        {flow::frag4, 0x0a010203, 0x0a010204},
        {flow::icmp4, 0x0a0100fe, 0x08080808},
    };
}

// The frame the options must give in pass `pass`.
bytes expected(const flow& f, uint32_t pass)
{
    if (f.stored != 0)
        return build(f);  // cut short in the capture: sent unchanged
    flow g = f;
    const bool v6 = f.kind == flow::tcp6 || f.kind == flow::udp6_hbh;
    if (f.kind != flow::arp) {
        g.src = v6 ? f.src + pass : expect_addr(f.src, pass);
        g.dst = v6 ? f.dst + pass : expect_addr(f.dst, pass);
    }
    bytes b = build(g, new_d, new_s);
    if (f.kind == flow::frag4) {
        // A later fragment: only the IP header follows the addresses; the
        // bytes after it are payload and stay as captured.
        bytes orig = build(f, new_d, new_s);
        std::copy(orig.begin() + 34, orig.end(), b.begin() + 34);
    }
    return b;
}

// The queue's entries as frames, in order.
std::vector<bytes> queue_frames(const replay_state& rs)
{
    std::vector<bytes> out;
    for (uint64_t off = 0; off != rs.tail;) {
        const wenlo::queue_entry e = wenlo::load_entry(rs.queue.get(), off);
        const unsigned char* p = rs.queue.get() + off + wenlo::entry_align;
        out.emplace_back(p, p + e.len);
        off = e.next;
    }
    return out;
}

std::string hex(const bytes& b)
{
    std::string s;
    char t[4];
    for (unsigned char c : b) {
        std::snprintf(t, sizeof t, "%02x", c);
        s += t;
    }
    return s;
}

}  // namespace

TEST(WenloLoad, RewritesByteByByteAndShiftsEachPass)
{
    std::vector<record> recs;
    const std::vector<flow> flows = test_flows();
    for (size_t i = 0; i < flows.size(); i++) {
        bytes b = build(flows[i]);
        const uint32_t len = static_cast<uint32_t>(b.size());
        if (flows[i].stored != 0)
            b.resize(flows[i].stored);
        recs.push_back(record{uint64_t{i} * 1000000, len, b});
    }
    temp_file cap(pcap_bytes(recs));
    log_capture log;
    replay_state rs;
    rs.pcap_name = cap.path.c_str();
    std::string err;
    ASSERT_TRUE(wenlo::parse_mac("02:dd:00:00:00:01", rs.run.rewrite.dmac, err));
    ASSERT_TRUE(wenlo::parse_mac("02-55-00-00-00-02", rs.run.rewrite.smac, err));
    rs.run.rewrite.set_dmac = rs.run.rewrite.set_smac = true;
    wenlo::ipv4_map m{};
    ASSERT_TRUE(wenlo::parse_ipmap("10.1.0.0/16:172.16.0.0/16", m, err)) << err;
    rs.run.rewrite.maps.push_back(m);
    rs.run.rewrite.unique_ip = true;
    ASSERT_TRUE(wenlo::load_capture(rs)) << log.text();
    ASSERT_TRUE(wenlo::build_queue(rs)) << log.text();
    EXPECT_EQ(rs.ctl.rewrites.rewritten, 9u);
    EXPECT_EQ(rs.ctl.rewrites.truncated, 1u);
    EXPECT_EQ(rs.ctl.rewrites.not_ip, 1u);  // the ARP frame

    const size_t n = flows.size();
    const uint64_t copies = wenlo::queue_copies(n);
    std::vector<bytes> q = queue_frames(rs);
    ASSERT_EQ(q.size(), copies * n);
    auto check = [&](uint64_t first_pass) {
        for (uint64_t k : {uint64_t{0}, uint64_t{1}, copies - 1})
            for (size_t i = 0; i < n; i++) {
                bytes want = expected(flows[i], static_cast<uint32_t>(first_pass + k));
                if (flows[i].stored != 0)
                    std::fill(want.begin() + flows[i].stored, want.end(), 0);  // zeros after the stored bytes
                ASSERT_EQ(hex(q[k * n + i]), hex(want)) << "copy " << k << " frame " << i;
            }
    };
    check(0);

    // The consumer's step after sending each entry makes the queue the next
    // pass: copy k then holds pass copies + k.
    rs.t0 = monotonic_ns();
    wenlo::start_run(rs);
    std::vector<unsigned char*> at;
    for (uint64_t off = 0; off != rs.tail; off = wenlo::load_entry(rs.queue.get(), off).next)
        at.push_back(rs.queue.get() + off + wenlo::entry_align);
    for (int pass = 1; pass <= 2; pass++) {
        rs.ctl.new_pass(monotonic_ns());
        for (unsigned char* f : at)
            rs.ctl.on_passed(f);
        q = queue_frames(rs);
        check(pass * copies);
    }
}

namespace {

// pcapng bytes of the records: one section of the given byte order, an
// unused interface first when two_ifaces, time stamps in units of 10^-r
// (or 2^-(r & 0x7f)), a block the reader must skip.
std::string pcapng_bytes(const std::vector<record>& recs, uint8_t resol, bool big, bool two_ifaces)
{
    std::string out;
    auto w32 = [&](std::string& s, uint32_t v) {
        if (big)
            v = __builtin_bswap32(v);
        s.append(reinterpret_cast<const char*>(&v), 4);
    };
    auto w16 = [&](std::string& s, uint16_t v) {
        if (big)
            v = __builtin_bswap16(v);
        s.append(reinterpret_cast<const char*>(&v), 2);
    };
    auto block = [&](uint32_t type, const std::string& body) {
        std::string b = body;
        b.append((4 - b.size() % 4) % 4, '\0');
        w32(out, type);
        w32(out, static_cast<uint32_t>(b.size() + 12));
        out += b;
        w32(out, static_cast<uint32_t>(b.size() + 12));
    };
    std::string shb;
    w32(shb, 0x1a2b3c4d);
    w16(shb, 1), w16(shb, 0);
    shb.append(8, '\xff');  // section length unknown
    block(0x0a0d0d0a, shb);
    for (int i = 0; i < (two_ifaces ? 2 : 1); i++) {
        std::string idb;
        w16(idb, 1), w16(idb, 0), w32(idb, 0);
        w16(idb, 9), w16(idb, 1);
        idb += static_cast<char>(resol);
        idb.append(3, '\0');
        w16(idb, 0), w16(idb, 0);
        block(1, idb);
    }
    block(5, std::string(20, '\0'));  // statistics: skipped
    for (const record& r : recs) {
        uint64_t ts;
        if (resol & 0x80)
            ts = static_cast<uint64_t>(
                ((static_cast<unsigned __int128>(r.t_ns) << (resol & 0x7f)) + 999999999u) /
                1000000000u);  // the unit the time falls in, rounded up
        else
            ts = r.t_ns / (resol == 6 ? 1000 : 1);
        std::string epb;
        w32(epb, two_ifaces ? 1 : 0);
        w32(epb, static_cast<uint32_t>(ts >> 32));
        w32(epb, static_cast<uint32_t>(ts));
        w32(epb, static_cast<uint32_t>(r.data.size()));
        w32(epb, r.len);
        epb.append(reinterpret_cast<const char*>(r.data.data()), r.data.size());
        block(6, epb);
    }
    return out;
}

}  // namespace

TEST(WenloLoad, PcapngTwinGivesTheSameQueue)
{
    struct form {
        uint8_t resol;
        bool big, two;
    } forms[] = {{6, false, false}, {9, true, true}, {0x80 | 20, false, true}};
    for (const form& f : forms) {
        SCOPED_TRACE(testing::Message() << "resol " << int{f.resol} << " big " << f.big);
        // Times the pcapng form holds exactly: whole units of its resolution.
        std::vector<record> recs;
        uint64_t t = 1700000000ull * 1000000000;
        for (uint32_t i = 0; i < 40; i++) {
            uint64_t ns = t;
            if (f.resol == 6)
                ns = ns / 1000 * 1000;
            if (f.resol & 0x80) {
                const auto units =
                    static_cast<uint64_t>((static_cast<unsigned __int128>(ns) << 20) / 1000000000u);
                ns = static_cast<uint64_t>((static_cast<unsigned __int128>(units) * 1000000000u) >> 20);
            }
            record r = rec(ns, 60 + i * 37 % 1400, i);
            if (i == 5)
                r.data.resize(50);  // cut short by the snap length
            recs.push_back(r);
            t += 1000 + uint64_t{i} * 977331;
        }
        temp_file pcap(pcap_bytes(recs, true));
        temp_file ng(pcapng_bytes(recs, f.resol, f.big, f.two));
        log_capture log;
        replay_state a, b;
        a.pcap_name = pcap.path.c_str();
        b.pcap_name = ng.path.c_str();
        ASSERT_TRUE(wenlo::load_capture(a) && wenlo::build_queue(a)) << log.text();
        ASSERT_TRUE(wenlo::load_capture(b) && wenlo::build_queue(b)) << log.text();
        EXPECT_EQ(b.pcap->tot_pkt, 40u);
        ASSERT_EQ(a.tail, b.tail);
        EXPECT_EQ(std::memcmp(a.queue.get(), b.queue.get(), a.tail), 0);
    }
}

TEST(WenloLoad, PcapngRefusals)
{
    std::vector<record> recs{rec(1000, 64, 0), rec(2000, 64, 1)};
    const std::string good = pcapng_bytes(recs, 6, false, false);
    // Offsets: section header 0..27, interface block 28..59, statistics
    // 60..91, the first packet block from 92.
    struct c {
        const char* what;
        std::string bytes;
        const char* line;
    } cases[] = {
        {"raw IP interface",
         [&] {
             std::string s = good;
             s[28 + 8] = 101;
             return s;
         }(),
         "interface 0 has link type 101, not Ethernet (1): refused"},
        {"lengths differ",
         [&] {
             std::string s = good;
             s[56] = 0x1c;
             return s;
         }(),
         "block at offset 28: its two lengths differ"},
        {"unknown interface",
         [&] {
             std::string s = good;
             s[100] = 3;
             return s;
         }(),
         "packet 0 names interface 3, the section has 1"},
        {"interface id past int",
         [&] {
             std::string s = good;
             s[103] = '\x97';
             return s;
         }(),
         "packet 0 names interface 2533359616, the section has 1"},
        {"caplen past the block",
         [&] {
             std::string s = good;
             s[112] = 100;
             return s;
         }(),
         "packet 0: 100 bytes captured in a block of"},
    };
    for (const auto& k : cases) {
        temp_file f(k.bytes);
        log_capture log;
        replay_state rs;
        rs.pcap_name = f.path.c_str();
        EXPECT_FALSE(wenlo::load_capture(rs)) << k.what;
        EXPECT_TRUE(log.has(k.line)) << k.what << "\n" << log.text();
    }
}

TEST(WenloLoad, BadRunOptionsAreRefusedBeforeAnythingIsLoaded)
{
    temp_file cap(pcap_bytes({rec(0, 64), rec(1000, 64)}));
    struct c {
        std::vector<std::string> args;
        const char* line;
    } cases[] = {
        {{"--pps", "0"}, "--pps 0: give a packet rate above 0"},
        {{"--pps", "-5"}, "--pps -5: give a packet rate above 0"},
        {{"--pps", "2G"}, "at most 1G per second"},
        {{"--pps", "10x"}, "--pps 10x: give"},
        {{"--multiplier", "0"}, "--multiplier 0: give a speed-up above 0 and at most 1000"},
        {{"--multiplier", "nan"}, "--multiplier nan: give"},
        {{"--loop", "-1"}, "--loop -1: give a count of passes, 0 for endless"},
        {{"--loop", "99999999999999999999"}, "--loop 99999999999999999999: too many passes"},
        {{"--limit", "0"}, "--limit 0: give a count of packets above 0"},
        {{"--limit", "18446744073709551616"}, "too many packets"},
        {{"--duration", "0"}, "--duration 0: the time must be above 0"},
        {{"--duration", "-2s"}, "the time must be above 0"},
        {{"--duration", "10x"}, "--duration 10x: give a time as"},
        {{"--duration", "1e30"}, "--duration 1e30: too long"},
        {{"--dmac", "02:00:00:00:00"}, "malformed MAC address '02:00:00:00:00'"},
        {{"--smac", "02:00:00:00:00:0g"}, "malformed MAC address"},
        {{"--dmac", "02:00:00:00:00:01", "--dmac", "02:00:00:00:00:02"}, "--dmac given twice"},
        {{"--ipmap", "10.0.0.0/8:192.168.0.0/16"}, "the prefix lengths differ (8 and 16)"},
        {{"--ipmap", "10.0.0.0/33:10.0.0.0/33"}, "malformed map"},
        {{"--ipmap", "10.0.0/8:11.0.0.0/8"}, "malformed map"},
        {{"--ipmap", "10.0.0.1/8:11.0.0.0/8"}, "has bits set past its /8"},
        {{"-B", "1M", "--pps", "10"}, "-B and --pps both set the timing"},
        {{"--pps", "1", "--multiplier", "2"}, "--pps and --multiplier both set the timing"},
        {{"--multiplier", "2", "-B", "real"}, "-B and --multiplier both set the timing"},
    };
    for (const auto& k : cases) {
        std::vector<std::string> args{"-C",     "-1", "-f",
                                      cap.path, "-i", "valenone" + std::to_string(getpid()) + ":a"};
        args.insert(args.end(), k.args.begin(), k.args.end());
        wenlo_proc w(args);
        EXPECT_EQ(w.wait(10), 1) << k.line;
        EXPECT_TRUE(w.err_has("--EEE-- ")) << w.err();
        EXPECT_TRUE(w.err_has(k.line)) << w.err();
        EXPECT_FALSE(w.err_has("readpcap")) << w.err();  // nothing loaded, nothing sent
    }
}
