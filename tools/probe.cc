// probe: sends numbered, time-stamped Ethernet/IPv4/UDP frames through a port
// and measures what arrives on another (loss, order, duplicates, delay, gaps).
#include "common/program_info.hpp"
#include "common/intarg.hpp"
#include "common/clock.hpp"
#include "common/std_fds.hpp"
#include "netport/netport.hpp"

#include <arpa/inet.h>
#include <getopt.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace common;

using namespace netport;

namespace {

constexpr size_t min_size = 60, max_size = 9200;
constexpr size_t eth_len = 14, ip_len = 20, udp_len = 8;
constexpr size_t hdr_len = eth_len + ip_len + udp_len;  // 42
constexpr size_t payload_fixed = 16;                    // sequence number, send time
constexpr uint64_t ns_per_s = 1'000'000'000;

volatile sig_atomic_t stop_flag = 0;
void on_signal(int) { stop_flag = 1; }

const char usage_text[] =
    "usage: probe send -i PORT [-s SIZES] [-r PPS] [-n COUNT] [-t SECONDS] [-b BURST]\n"
    "                  [-W SECONDS] [--src-mac MAC] [--dst-mac MAC] [--src-ip IP]\n"
    "                  [--dst-ip IP] [--sport N] [--dport N] [--start FILE]\n"
    "       probe recv -i PORT [-n COUNT] [-t SECONDS] [-w SECONDS] [--ready FILE]\n"
    "                  [--dport N]\n"
    "       probe duplex -i PORT [send options] [-w SECONDS] [--ready FILE]\n"
    "\n"
    "send: Ethernet/IPv4/UDP frames carrying a sequence number (from 0) and the\n"
    "  CLOCK_REALTIME send time, with a valid UDP checksum over the whole frame.\n"
    "  -s SIZES   frame bytes without FCS, 60 to 9200: N, MIN-MAX (uniform, fixed\n"
    "             seed) or A,B,C (in turn); default 60\n"
    "  -r PPS     frames per second; 0 (default) is as fast as possible\n"
    "  -n COUNT   frames to send (default 1000 unless -t is given)\n"
    "  -t SECONDS stop after this time\n"
    "  -b BURST   frames per transmit synchronisation (default 32)\n"
    "  -W SECONDS wait up to this long for the other end of a vale link\n"
    "  --start FILE  wait until FILE exists before sending (after -W)\n"
    "  defaults: 02:00:00:00:00:01 10.0.0.1:40000 -> 02:00:00:00:00:02 10.0.0.2:40001\n"
    "recv: counts the probe frames (UDP to --dport) that arrive; others are\n"
    "  counted apart.  Ends after -n COUNT frames, -t SECONDS, -w SECONDS without\n"
    "  a frame, or SIGINT/SIGTERM.  --ready FILE is created once the port is open.\n"
    "  Prints one JSON object on standard output: frames, bytes, seconds, pps, bps,\n"
    "  lost (sequence gaps), reordered, duplicates, corrupt, other, first_seq,\n"
    "  last_seq, delay_ns (min, median, p99, p999, max), gap_ns (min, median, p99,\n"
    "  max), drops.  Receive times are kernel time stamps on netmap: ports, the\n"
    "  time the receiver's rxsync saw them on xdp: ports, the time the sender\n"
    "  published them on vale ports.\n"
    "duplex: sends as send does and receives as recv does on the same port, one\n"
    "  thread each (a vale end admits one process only).  -n COUNT frames are\n"
    "  sent and expected, -t SECONDS bounds both, -w SECONDS ends the receiver\n"
    "  after that long without a frame, counted from when sending began.\n"
    "  Prints {\"send\":{...},\"recv\":{...}} with the objects of send and recv.\n"
    "probe --help prints this text, probe --version the version.\n"
    "Status: 0 done, 1 bad option or port that cannot be opened.\n";

[[noreturn, gnu::format(printf, 1, 2)]] void fail_and_exit(const char* fmt, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    fprintf(stderr, "probe: %s\n", line);
    exit(1);
}

bool parse_seconds(const char* s, double* v)
{
    char* end = nullptr;
    errno = 0;
    double x = strtod(s, &end);
    if (errno != 0 || end == s || *end != 0 || !(x >= 0) || !std::isfinite(x))
        return false;
    *v = x;
    return true;
}

bool parse_mac(const char* s, unsigned char* mac)
{
    unsigned v[6];
    char tail;
    if (sscanf(s, "%x:%x:%x:%x:%x:%x%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &tail) != 6)
        return false;
    for (int i = 0; i < 6; ++i) {
        if (v[i] > 255)
            return false;
        mac[i] = static_cast<unsigned char>(v[i]);
    }
    return true;
}

// One's complement sum of 16-bit big-endian words.
uint32_t csum_add(uint32_t sum, const unsigned char* p, size_t n)
{
    for (; n >= 2; p += 2, n -= 2)
        sum += uint32_t(p[0]) << 8 | p[1];
    if (n)
        sum += uint32_t(p[0]) << 8;
    return sum;
}
uint16_t csum_fold(uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

void put16(unsigned char* p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
uint16_t get16(const unsigned char* p) { return uint16_t(p[0] << 8 | p[1]); }
void put64(unsigned char* p, uint64_t v) { memcpy(p, &v, 8); }
uint64_t get64(const unsigned char* p)
{
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

struct frame_opts {
    unsigned char src_mac[6] = {2, 0, 0, 0, 0, 1};
    unsigned char dst_mac[6] = {2, 0, 0, 0, 0, 2};
    in_addr src_ip{htonl(0x0a000001)};
    in_addr dst_ip{htonl(0x0a000002)};
    uint16_t sport = 40000, dport = 40001;
};

// UDP checksum of a whole probe frame (pseudo header included); 0 when valid.
uint16_t udp_check(const unsigned char* f, size_t udp_bytes)
{
    uint32_t sum = csum_add(0, f + eth_len + 12, 8);  // addresses
    sum += 17 + uint32_t(udp_bytes);
    sum = csum_add(sum, f + eth_len + ip_len, udp_bytes);
    return csum_fold(sum);
}

// Builds the probe frame of `size` bytes for `seq` into f (which holds the
// fixed fill pattern after the payload's first 16 bytes).
void build_frame(unsigned char* f, size_t size, uint64_t seq, uint64_t stamp, const frame_opts& o)
{
    memcpy(f, o.dst_mac, 6);
    memcpy(f + 6, o.src_mac, 6);
    put16(f + 12, 0x0800);
    unsigned char* ip = f + eth_len;
    ip[0] = 0x45;
    ip[1] = 0;
    put16(ip + 2, uint16_t(size - eth_len));
    put16(ip + 4, uint16_t(seq));
    put16(ip + 6, 0x4000);
    ip[8] = 64;
    ip[9] = 17;
    put16(ip + 10, 0);
    memcpy(ip + 12, &o.src_ip, 4);
    memcpy(ip + 16, &o.dst_ip, 4);
    put16(ip + 10, csum_fold(csum_add(0, ip, ip_len)));
    unsigned char* udp = ip + ip_len;
    put16(udp, o.sport);
    put16(udp + 2, o.dport);
    put16(udp + 4, uint16_t(size - eth_len - ip_len));
    put16(udp + 6, 0);
    put64(udp + 8, seq);
    put64(udp + 16, stamp);
    uint16_t c = udp_check(f, size - eth_len - ip_len);
    put16(udp + 6, c == 0 ? 0xffff : c);
}

struct size_plan {
    std::vector<uint32_t> list;  // in turn
    uint32_t lo = 0, hi = 0;     // uniform range when list is empty
    uint64_t rng = 0x9e3779b97f4a7c15ull;
    uint32_t next(uint64_t seq)
    {
        if (!list.empty())
            return list[seq % list.size()];
        rng ^= rng << 13;
        rng ^= rng >> 7;
        rng ^= rng << 17;
        return lo + uint32_t(rng % (hi - lo + 1));
    }
    uint32_t largest() const { return list.empty() ? hi : *std::max_element(list.begin(), list.end()); }
};

bool parse_sizes(const char* s, size_plan* plan)
{
    std::string t = s;
    auto in_range = [](uint64_t v) { return v >= min_size && v <= max_size; };
    size_t dash = t.find('-');
    if (dash != std::string::npos) {
        uint64_t a, b;
        if (!whole_unsigned(t.substr(0, dash).c_str(), a) || !whole_unsigned(t.substr(dash + 1).c_str(), b) ||
            !in_range(a) || !in_range(b) || a > b)
            return false;
        plan->lo = uint32_t(a);
        plan->hi = uint32_t(b);
        return true;
    }
    size_t start = 0;
    while (start <= t.size()) {
        size_t comma = t.find(',', start);
        if (comma == std::string::npos)
            comma = t.size();
        uint64_t v;
        if (!whole_unsigned(t.substr(start, comma - start).c_str(), v) || !in_range(v))
            return false;
        plan->list.push_back(uint32_t(v));
        start = comma + 1;
    }
    return !plan->list.empty();
}

port* open_or_exit(const char* name, bool rx_only)
{
    port* p = nmport_prepare(name);
    if (p != nullptr && rx_only)
        *nr_flags(p) |= NR_RX_RINGS_ONLY;
    if (p == nullptr || nmport_open_desc(p) != 0) {
        nmport_close(p);
        fail_and_exit("cannot open port %s", name);
    }
    return p;
}

enum long_opt {
    opt_src_mac = 256,
    opt_dst_mac,
    opt_src_ip,
    opt_dst_ip,
    opt_sport,
    opt_dport,
    opt_ready,
    opt_start
};

const option long_options[] = {
    {"src-mac", required_argument, nullptr, opt_src_mac},
    {"dst-mac", required_argument, nullptr, opt_dst_mac},
    {"src-ip", required_argument, nullptr, opt_src_ip},
    {"dst-ip", required_argument, nullptr, opt_dst_ip},
    {"sport", required_argument, nullptr, opt_sport},
    {"dport", required_argument, nullptr, opt_dport},
    {"ready", required_argument, nullptr, opt_ready},
    {"start", required_argument, nullptr, opt_start},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

struct options {
    const char* port = nullptr;
    size_plan sizes;
    uint64_t pps = 0, count = 0, burst = 32;
    bool have_count = false;
    double seconds = 0, idle = 0, wait_peer = 0;
    const char* ready = nullptr;
    const char* start = nullptr;
    frame_opts frame;
};

uint16_t parse_port_number_or_exit(const char* s)
{
    uint64_t v;
    if (!whole_unsigned(s, v) || v == 0 || v > 65535)
        fail_and_exit("bad UDP port %s", s);
    return uint16_t(v);
}

enum class command { send, recv, duplex };

options parse_options_or_exit(int argc, char** argv, command cmd)
{
    const bool send = cmd != command::recv, recv = cmd != command::send;
    options o;
    o.sizes.list = {uint32_t(min_size)};
    const char* shortopts = cmd == command::send   ? "i:s:r:n:t:b:W:h"
                            : cmd == command::recv ? "i:n:t:w:h"
                                                   : "i:s:r:n:t:b:W:w:h";
    optind = 1;
    int c;
    while ((c = getopt_long(argc, argv, shortopts, long_options, nullptr)) != -1) {
        switch (c) {
        case 'i':
            o.port = optarg;
            break;
        case 's':
            o.sizes = size_plan{};
            if (!parse_sizes(optarg, &o.sizes))
                fail_and_exit("bad frame sizes %s (60 to 9200: N, MIN-MAX or A,B,C)", optarg);
            break;
        case 'r':
            if (!whole_unsigned(optarg, o.pps))
                fail_and_exit("bad rate %s", optarg);
            break;
        case 'n':
            if (!whole_unsigned(optarg, o.count) || o.count == 0)
                fail_and_exit("bad count %s", optarg);
            o.have_count = true;
            break;
        case 't':
            if (!parse_seconds(optarg, &o.seconds) || o.seconds == 0)
                fail_and_exit("bad duration %s", optarg);
            break;
        case 'w':
            if (!parse_seconds(optarg, &o.idle) || o.idle == 0)
                fail_and_exit("bad idle time %s", optarg);
            break;
        case 'W':
            if (!parse_seconds(optarg, &o.wait_peer))
                fail_and_exit("bad wait %s", optarg);
            break;
        case 'b':
            if (!whole_unsigned(optarg, o.burst) || o.burst == 0 || o.burst > 4096)
                fail_and_exit("bad burst %s", optarg);
            break;
        case opt_src_mac:
        case opt_dst_mac:
            if (!send || !parse_mac(optarg, c == opt_src_mac ? o.frame.src_mac : o.frame.dst_mac))
                fail_and_exit("bad MAC address %s", optarg);
            break;
        case opt_src_ip:
        case opt_dst_ip:
            if (!send || inet_pton(AF_INET, optarg, c == opt_src_ip ? &o.frame.src_ip : &o.frame.dst_ip) != 1)
                fail_and_exit("bad IPv4 address %s", optarg);
            break;
        case opt_sport:
            if (!send)
                fail_and_exit("--sport is a send option");
            o.frame.sport = parse_port_number_or_exit(optarg);
            break;
        case opt_dport:
            o.frame.dport = parse_port_number_or_exit(optarg);
            break;
        case opt_ready:
            if (!recv)
                fail_and_exit("--ready is a recv option");
            o.ready = optarg;
            break;
        case opt_start:
            if (!send)
                fail_and_exit("--start is a send option");
            o.start = optarg;
            break;
        case 'h':
            fputs(usage_text, stdout);
            exit(0);
        default:
            fputs(usage_text, stderr);
            exit(1);
        }
    }
    if (optind != argc)
        fail_and_exit("unexpected argument %s", argv[optind]);
    if (o.port == nullptr)
        fail_and_exit("missing -i PORT");
    return o;
}

[[gnu::format(printf, 1, 2)]] std::string strf(const char* fmt, ...);
std::string strf(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char buf[2048];
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return std::string(buf, n < 0 ? 0 : std::min(size_t(n), sizeof buf - 1));
}

bool frames_fit(port* p, const options& o)
{
    size_t largest = o.sizes.largest();
    if (largest <= nmport_max_frame(p))
        return true;
    fprintf(stderr, "probe: %zu-byte frames exceed the largest frame of %s (%zu bytes)\n", largest, o.port,
            nmport_max_frame(p));
    return false;
}

// Sends as the options say; `started` (when given) gets the time sending began.
// Returns the sender's JSON object and prints its summary on standard error.
std::string send_frames(port* p, const options& o, std::atomic<uint64_t>* started)
{
    if (o.wait_peer > 0) {
        uint64_t until = realtime_ns() + uint64_t(o.wait_peer * 1e9);
        while (!nmport_peer_attached(p) && realtime_ns() < until && !stop_flag)
            usleep(1000);
    }
    if (o.start != nullptr)
        while (access(o.start, F_OK) != 0 && !stop_flag)
            usleep(1000);
    uint64_t count = o.have_count ? o.count : (o.seconds > 0 ? ~uint64_t{0} : 1000);
    std::vector<unsigned char> frame(max_size);
    for (size_t i = hdr_len + payload_fixed; i < max_size; ++i)
        frame[i] = uint8_t(i * 7 + 13);

    uint64_t start = realtime_ns(), end = o.seconds > 0 ? start + uint64_t(o.seconds * 1e9) : ~uint64_t{0};
    if (started != nullptr)
        started->store(start);
    uint64_t sent = 0, dropped = 0, bytes = 0, pending = 0, now = start;
    size_plan sizes = o.sizes;
    while (sent < count && !stop_flag) {
        now = realtime_ns();
        if (now >= end)
            break;
        if (o.pps > 0) {
            uint64_t due = start + uint64_t(double(sent) * 1e9 / double(o.pps));
            if (now < due) {
                if (pending) {
                    nmport_txsync(p);
                    pending = 0;
                }
                // Sleep through the gap rather than spin: the probe shares
                // the cores with what it measures.  With a 1 ns timer slack a
                // sleep overshoots by some 10 us; the last stretch is spun.
                if (due - now > 30'000)
                    usleep(useconds_t((due - now - 20'000) / 1000));
                continue;
            }
        }
        size_t size = sizes.next(sent);
        int r;
        for (;;) {
            build_frame(frame.data(), size, sent, realtime_ns(), o.frame);
            r = nmport_inject(p, frame.data(), size);
            if (r != 0 || stop_flag)
                break;
            // Full: hand out what is pending; if that was nothing, the
            // reader is behind, and it may need this CPU to catch up.
            if (pending == 0)
                sched_yield();
            nmport_txsync(p);
            pending = 0;
        }
        ++sent;  // the sequence number goes on: the receiver counts a dropped frame lost
        if (r < 0) {
            ++dropped;  // counted by the port under its reason
            continue;
        }
        bytes += size;
        if (++pending >= o.burst) {
            nmport_txsync(p);
            pending = 0;
        }
    }
    nmport_txsync(p);
    double secs = double(realtime_ns() - start) / 1e9;
    port_drops d = nmport_drops(p);
    sent -= dropped;
    fprintf(stderr, "probe send: %llu frames, %llu bytes in %.3f s (%.0f frames/s)%s%s\n",
            (unsigned long long)sent, (unsigned long long)bytes, secs, secs > 0 ? double(sent) / secs : 0,
            d.peer_absent ? ", some dropped: no receiver attached" : "",
            d.damaged ? ", some dropped: link damaged" : "");
    return strf(
        "{\"sent\":%llu,\"bytes\":%llu,\"seconds\":%.6f,\"pps\":%.1f,\"bps\":%.1f,"
        "\"drops\":{\"peer_absent\":%llu,\"oversize\":%llu,\"damaged\":%llu}}",
        (unsigned long long)sent, (unsigned long long)bytes, secs, secs > 0 ? double(sent) / secs : 0,
        secs > 0 ? double(bytes) * 8 / secs : 0, (unsigned long long)d.peer_absent,
        (unsigned long long)d.oversize, (unsigned long long)d.damaged);
}

int run_send(const options& o)
{
    port* p = open_or_exit(o.port, false);
    if (!frames_fit(p, o)) {
        nmport_close(p);
        return 1;
    }
    printf("%s\n", send_frames(p, o, nullptr).c_str());
    usleep(50'000);  // let the interface finish what was handed to it
    nmport_close(p);
    return 0;
}

struct quantiles {
    int64_t min = 0, median = 0, p99 = 0, p999 = 0, max = 0;
};

quantiles summarize(std::vector<int64_t>& v)
{
    quantiles q;
    if (v.empty())
        return q;
    std::sort(v.begin(), v.end());
    q.min = v.front();
    q.max = v.back();
    q.median = v[(v.size() - 1) / 2];
    q.p99 = v[std::min(v.size() - 1, size_t(std::ceil(double(v.size()) * 0.99)) - 1)];
    q.p999 = v[std::min(v.size() - 1, size_t(std::ceil(double(v.size()) * 0.999)) - 1)];
    return q;
}

void touch_ready_or_exit(const options& o)
{
    if (o.ready == nullptr)
        return;
    FILE* f = fopen(o.ready, "w");
    if (f == nullptr)
        fail_and_exit("cannot create %s", o.ready);
    fclose(f);
}

// Receives as the options say.  With `idle_from` the idle time (-w) counts
// from the time it holds, and not at all while it holds 0.  Returns the
// receiver's JSON object and prints its summary on standard error.
std::string receive_frames(port* p, const options& o, const std::atomic<uint64_t>* idle_from)
{
    ring* r = nmport_rx_ring(p);
    std::vector<unsigned char> scratch(16384);
    std::vector<uint64_t> seen(1 << 18);  // bitmap of sequence numbers, grows
    std::vector<int64_t> delays, gaps;
    delays.reserve(o.have_count ? o.count : 1 << 20);
    gaps.reserve(o.have_count ? o.count : 1 << 20);

    uint64_t frames = 0, bytes = 0, other = 0, corrupt = 0, dups = 0, reordered = 0, unique = 0;
    uint64_t min_seq = ~uint64_t{0}, max_seq = 0, first_rx = 0, last_rx = 0;
    uint64_t start = realtime_ns(), last_activity = start;
    uint64_t end = o.seconds > 0 ? start + uint64_t(o.seconds * 1e9) : ~uint64_t{0};
    uint64_t idle_ns = uint64_t(o.idle * 1e9);
    bool done = false;
    while (!done && !stop_flag) {
        nmport_rxsync(p);
        if (r->cur == r->tail) {
            uint64_t now = realtime_ns();
            if (now >= end)
                break;
            if (idle_ns > 0) {
                uint64_t from = idle_from != nullptr ? idle_from->load() : last_activity;
                if (from != 0 && now >= std::max(from, last_activity) + idle_ns)
                    break;
            }
            // Receive times come from the port, so waking late costs nothing
            // and leaves the CPU to what is being measured.
            nmport_rx_wait(p, 1'000'000);
            continue;
        }
        while (r->cur != r->tail && !done) {
            uint32_t first = r->cur;
            uint64_t rx = nmport_rx_timestamp(p, first);
            const slot* s = &r->slots[first];
            const unsigned char* f = s->buf;
            size_t len = s->len;
            if (s->flags & NS_MOREFRAG) {  // gather the fragments into one buffer
                len = 0;
                for (;;) {
                    s = &r->slots[r->cur];
                    if (len + s->len <= scratch.size())
                        memcpy(scratch.data() + len, s->buf, s->len);
                    len += s->len;
                    if (!(s->flags & NS_MOREFRAG))
                        break;
                    r->cur = (r->cur + 1) % r->num_slots;
                }
                f = scratch.data();
                if (len > scratch.size())
                    len = 0;  // counted as other below
            }
            r->cur = (r->cur + 1) % r->num_slots;
            r->head = r->cur;

            bool probe_frame = len >= hdr_len + payload_fixed && get16(f + 12) == 0x0800 &&
                               f[eth_len] == 0x45 && f[eth_len + 9] == 17 &&
                               get16(f + eth_len + ip_len + 2) == o.frame.dport;
            if (!probe_frame) {
                ++other;
                continue;
            }
            last_activity = realtime_ns();
            size_t ip_total = get16(f + eth_len + 2), udp_bytes = get16(f + eth_len + ip_len + 4);
            if (ip_total != len - eth_len || udp_bytes != ip_total - ip_len ||
                csum_fold(csum_add(0, f + eth_len, ip_len)) != 0 || udp_check(f, udp_bytes) != 0) {
                ++corrupt;
                continue;
            }
            uint64_t seq = get64(f + hdr_len), sent = get64(f + hdr_len + 8);
            ++frames;
            bytes += len;
            if (first_rx == 0)
                first_rx = rx;
            if (last_rx != 0)
                gaps.push_back(int64_t(rx - last_rx));
            last_rx = rx;
            delays.push_back(int64_t(rx - sent));
            if (seq >= uint64_t(seen.size()) * 64) {
                if (seq >= (uint64_t{1} << 34)) {
                    ++corrupt;
                    continue;
                }
                seen.resize(std::max<size_t>(seen.size() * 2, size_t(seq / 64 + 1)));
            }
            uint64_t bit = uint64_t{1} << (seq % 64);
            if (seen[seq / 64] & bit) {
                ++dups;
            } else {
                seen[seq / 64] |= bit;
                ++unique;
                if (unique > 1 && seq < max_seq)
                    ++reordered;
            }
            min_seq = std::min(min_seq, seq);
            max_seq = std::max(max_seq, seq);
            if (o.have_count && frames >= o.count)
                done = true;
        }
    }
    port_drops d = nmport_drops(p);

    double secs = last_rx > first_rx ? double(last_rx - first_rx) / 1e9 : 0;
    uint64_t lost = unique ? (max_seq - min_seq + 1) - unique : 0;
    quantiles dq = summarize(delays), gq = summarize(gaps);
    fprintf(stderr,
            "probe recv: %llu frames, %llu bytes, %.0f frames/s; lost %llu, reordered %llu, "
            "duplicates %llu, corrupt %llu; delay min %.1f median %.1f p99 %.1f max %.1f us\n",
            (unsigned long long)frames, (unsigned long long)bytes, secs > 0 ? double(frames) / secs : 0,
            (unsigned long long)lost, (unsigned long long)reordered, (unsigned long long)dups,
            (unsigned long long)corrupt, double(dq.min) / 1e3, double(dq.median) / 1e3, double(dq.p99) / 1e3,
            double(dq.max) / 1e3);
    return strf(
        "{\"frames\":%llu,\"bytes\":%llu,\"seconds\":%.6f,\"pps\":%.1f,\"bps\":%.1f,"
        "\"lost\":%llu,\"reordered\":%llu,\"duplicates\":%llu,\"corrupt\":%llu,\"other\":%llu,"
        "\"first_seq\":%lld,\"last_seq\":%lld,"
        "\"delay_ns\":{\"min\":%lld,\"median\":%lld,\"p99\":%lld,\"p999\":%lld,\"max\":%lld},"
        "\"gap_ns\":{\"min\":%lld,\"median\":%lld,\"p99\":%lld,\"max\":%lld},"
        "\"drops\":{\"truncated\":%llu,\"damaged\":%llu}}",
        (unsigned long long)frames, (unsigned long long)bytes, secs, secs > 0 ? double(frames) / secs : 0,
        secs > 0 ? double(bytes) * 8 / secs : 0, (unsigned long long)lost, (unsigned long long)reordered,
        (unsigned long long)dups, (unsigned long long)corrupt, (unsigned long long)other,
        unique ? (long long)min_seq : -1LL, unique ? (long long)max_seq : -1LL, (long long)dq.min,
        (long long)dq.median, (long long)dq.p99, (long long)dq.p999, (long long)dq.max, (long long)gq.min,
        (long long)gq.median, (long long)gq.p99, (long long)gq.max, (unsigned long long)d.truncated,
        (unsigned long long)d.damaged);
}

int run_recv(const options& o)
{
    port* p = open_or_exit(o.port, true);
    touch_ready_or_exit(o);
    std::string json = receive_frames(p, o, nullptr);
    nmport_close(p);
    printf("%s\n", json.c_str());
    return 0;
}

// One port handle per thread: both share the port's attachment.
int run_duplex(const options& o)
{
    port* rx = open_or_exit(o.port, true);
    port* tx = open_or_exit(o.port, false);
    if (!frames_fit(tx, o)) {
        nmport_close(tx);
        nmport_close(rx);
        return 1;
    }
    touch_ready_or_exit(o);
    std::atomic<uint64_t> started{0};
    std::string rx_json;
    std::thread receiver([&] { rx_json = receive_frames(rx, o, &started); });
    std::string tx_json = send_frames(tx, o, &started);
    receiver.join();
    printf("{\"send\":%s,\"recv\":%s}\n", tx_json.c_str(), rx_json.c_str());
    usleep(50'000);  // let the interface finish what was handed to it
    nmport_close(tx);
    nmport_close(rx);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!std_fds_open())
        return 1;
    if (argc < 2 || strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0) {
        fputs(usage_text, argc < 2 ? stderr : stdout);
        return argc < 2 ? 1 : 0;
    }
    if (strcmp(argv[1], "--version") == 0) {
        print_version("probe", stdout);
        return fflush(stdout) == 0 ? 0 : 1;
    }
    command cmd;
    if (strcmp(argv[1], "send") == 0)
        cmd = command::send;
    else if (strcmp(argv[1], "recv") == 0)
        cmd = command::recv;
    else if (strcmp(argv[1], "duplex") == 0)
        cmd = command::duplex;
    else
        fail_and_exit("unknown command %s (send, recv or duplex)", argv[1]);
    options o = parse_options_or_exit(argc - 1, argv + 1, cmd);
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);  // short sleeps last about as asked
    nmctx_set_threadsafe();
    switch (cmd) {
    case command::send:
        return run_send(o);
    case command::recv:
        return run_recv(o);
    case command::duplex:
        return run_duplex(o);
    }
    return 1;
}
