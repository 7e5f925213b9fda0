// The JSON reports of corvo, corvo-stat and wenlo, read from real runs over
// shared-memory links with the probe at the other ends.  Nothing here
// needs privileges; threads are never placed, and every program is ended
// and its links removed.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "pipe/pipe_state.hpp"
#include "corvo_proc.hpp"
#include "wenlo_testutil.hpp"

using namespace common;
using namespace pipes;

using corvo_test::child;
using nlohmann::json;

namespace {

const std::string bin = corvo_test::bin_dir;
constexpr int run_ms = 20000;

// A temporary directory and the shared-memory links named after it.
struct scratch {
    std::string dir;
    std::string sw;
    scratch()
    {
        char tmpl[] = "/tmp/corvo_report.XXXXXX";
        dir = mkdtemp(tmpl) ? tmpl : "/tmp";
        sw = "rep" + std::to_string(getpid()) + "x" + std::to_string(time(nullptr) % 100000);
    }
    ~scratch()
    {
        for (const char* end : {"a", "b", "w"})
            unlink(("/dev/shm/netport-vale-" + sw + end).c_str());
        std::system(("rm -rf '" + dir + "'").c_str());
    }
    std::string port(const char* link, const char* end) const { return "vale" + sw + link + ":" + end; }
};

std::vector<json> read_lines(const std::string& path)
{
    std::ifstream f(path);
    std::vector<json> v;
    std::string line;
    // A line still being written ends the list.
    while (std::getline(f, line) && !f.eof())
        v.push_back(json::parse(line));
    return v;
}

uint64_t num(const json& o, const char* a, const char* b) { return o.at(a).at(b).get<uint64_t>(); }

// The fields every object carries.
void check_envelope(const json& o, const char* program)
{
    EXPECT_EQ(o.at("schema"), 1);
    EXPECT_EQ(o.at("program"), program);
    EXPECT_NEAR(o.at("time").get<double>(), double(std::time(nullptr)), 120.0);
    EXPECT_GE(o.at("elapsed").get<double>(), 0.0);
}

// Percentiles in order, or all null in an interval without a frame sent.
void check_lateness(const json& l)
{
    if (l.at("frames") == 0) {
        EXPECT_TRUE(l.at("median").is_null() && l.at("p99").is_null() && l.at("max").is_null()) << l;
        return;
    }
    EXPECT_LE(l.at("median").get<uint64_t>(), l.at("p99").get<uint64_t>()) << l;
    EXPECT_LE(l.at("p99").get<uint64_t>(), l.at("max").get<uint64_t>()) << l;
}

}  // namespace

// Direction A loses frames to its loss model and its queue limit (a
// 200 kbit/s link fed 720 kbit/s); B carries nothing.  Every object adds up
// per direction; at exit every frame received is sent, dropped for a
// reason or still queued, and each frame sent has its lateness in exactly
// one interval.  corvo-stat reads the same counters from the session file.
TEST(report, corvo_counters_add_up_by_reason_and_lateness_is_reported)
{
    const scratch s;
    const std::string out = s.dir + "/corvo.json", session = s.dir + "/emu.session";
    child corvo({bin + "/corvo",   "-C", "-1,-1,-1,-1",    "-d",     "1s",  "-L", "0.2",   "-B",
                 "200k",           "-Q", "2000",           "-D",     "2ms", "-s", session, "-i",
                 s.port("a", "c"), "-i", s.port("b", "c"), "--json", out});
    child recv({bin + "/probe", "recv", "-i", s.port("b", "p"), "-t", "12"});
    ASSERT_TRUE(corvo.wait_for("hold-buf", 2, run_ms) && corvo.wait_for(" <- ", 1, run_ms)) << corvo.err();
    child send({bin + "/probe", "send", "-i", s.port("a", "p"), "-n", "3000", "-r", "1500", "-W", "5"});
    ASSERT_EQ(send.finish(run_ms), 0) << send.err();
    // Once an object shows every frame received and none queued, the
    // session file holds the counters the exit object will show.
    const auto drained = [&] {
        const std::vector<json> v = read_lines(out);
        if (v.empty())
            return false;
        const json& a = v.back().at("directions").at("A");
        return num(a, "received", "frames") == 3000 && num(a, "queued", "frames") == 0;
    };
    for (int i = 0; i < 100 && !drained(); ++i)
        usleep(100000);
    ASSERT_TRUE(drained());
    child stat({bin + "/corvo-stat", "-n", "1", "--json", session});
    ASSERT_EQ(stat.finish(run_ms), 0) << stat.err();
    corvo.signal(SIGINT);
    ASSERT_EQ(corvo.finish(run_ms), 0) << corvo.err();

    const std::vector<json> objs = read_lines(out);
    ASSERT_GE(objs.size(), 4u);
    uint64_t late_frames = 0;
    uint64_t seconds_with_lateness = 0;
    for (size_t i = 0; i < objs.size(); ++i) {
        SCOPED_TRACE("object " + std::to_string(i));
        const json& o = objs[i];
        check_envelope(o, "corvo");
        EXPECT_EQ(o.at("kind"), i + 1 == objs.size() ? "exit" : "second");
        if (i > 0) {
            EXPECT_GT(o.at("elapsed").get<double>(), objs[i - 1].at("elapsed").get<double>());
        }
        for (const char* d : {"A", "B"}) {
            const json& dir = o.at("directions").at(d);
            EXPECT_EQ(dir.at("instance"), 0);
            const json& late = dir.at("lateness_ns");
            check_lateness(late);
            if (std::string(d) == "A") {
                late_frames += late.at("frames").get<uint64_t>();
                seconds_with_lateness += late.at("frames") != 0;
            }
            const json& q = dir.at("queued");
            EXPECT_LE(num(dir, "queued", "frames"), q.at("max_frames").get<uint64_t>());
            EXPECT_LE(num(dir, "queued", "bytes"), q.at("max_bytes").get<uint64_t>());
            // While the threads run, a frame between two counters may be
            // in flight; at exit nothing is.
            for (const char* unit : {"frames", "bytes"}) {
                uint64_t out_total =
                    num(dir, "sent", unit) + num(dir, "queued", unit) + num(dir, "arp", unit);
                for (const auto& [reason, v] : dir.at("dropped").items())
                    out_total += v.at(unit).get<uint64_t>();
                if (o.at("kind") == "exit") {
                    EXPECT_EQ(num(dir, "received", unit), out_total) << d << " " << unit << " " << dir;
                } else {
                    EXPECT_NEAR(double(num(dir, "received", unit)), double(out_total),
                                std::string(unit) == "frames" ? 2 : 2 * 1514)
                        << d << " " << unit << " " << dir;
                }
            }
        }
    }
    const json& a = objs.back().at("directions").at("A");
    EXPECT_EQ(a.at("models").at("loss"), "plr,0.2");
    EXPECT_EQ(a.at("models").at("bandwidth"), "constant,200k");
    EXPECT_EQ(a.at("models").at("delay"), "constant,2ms");
    EXPECT_EQ(a.at("models").at("queue_limit"), 2000);
    EXPECT_EQ(num(a, "received", "frames"), 3000u);
    EXPECT_GT(num(a.at("dropped"), "loss", "frames"), 300u);
    EXPECT_GT(num(a.at("dropped"), "queue_limit", "frames"), 300u);
    EXPECT_EQ(num(a, "queued", "frames"), 0u);
    EXPECT_EQ(late_frames, num(a, "sent", "frames"));
    EXPECT_GE(seconds_with_lateness, 2u);
    EXPECT_EQ(num(objs.back().at("directions").at("B"), "received", "frames"), 0u);

    // corvo-stat: the same models, and the counters of the drained queue.
    const json st = json::parse(stat.out());
    check_envelope(st, "corvo-stat");
    const json& sa = st.at("directions").at("A");
    EXPECT_EQ(sa.at("models"), a.at("models"));
    EXPECT_EQ(sa.at("sent"), a.at("sent"));
    EXPECT_EQ(num(sa.at("dropped"), "producer", "frames"),
              num(a.at("dropped"), "loss", "frames") + num(a.at("dropped"), "queue_limit", "frames"));
}

// wenlo: every packet queued is sent or left out by the loss model, each
// sent one's lateness falls in exactly one interval, and the pass and the
// drift are reported.
TEST(report, wenlo_reports_sends_drops_lateness_and_drift)
{
    const scratch s;
    const std::string out = s.dir + "/wenlo.json", pcap = s.dir + "/t.pcap";
    std::vector<wenlo_test::record> recs;
    for (uint32_t i = 0; i < 200; ++i)
        recs.push_back(wenlo_test::rec(uint64_t(i) * 500000, 100, i));
    {
        std::ofstream f(pcap, std::ios::binary);
        f << wenlo_test::pcap_bytes(recs);
    }
    child recv({bin + "/probe", "recv", "-i", s.port("w", "p"), "-t", "12"});
    usleep(200000);
    child wenlo({bin + "/wenlo", "-C", "-1", "-L", "0.1", "-f", pcap, "-i", s.port("w", "w"), "--json", out});
    ASSERT_TRUE(wenlo.wait_for(" -> ", 3, run_ms)) << wenlo.err();
    wenlo.signal(SIGINT);
    wenlo.finish(run_ms);

    const std::vector<json> objs = read_lines(out);
    ASSERT_GE(objs.size(), 3u);
    uint64_t late_frames = 0;
    for (size_t i = 0; i < objs.size(); ++i) {
        SCOPED_TRACE("object " + std::to_string(i));
        const json& o = objs[i];
        check_envelope(o, "wenlo");
        EXPECT_EQ(o.at("kind"), i + 1 == objs.size() ? "exit" : "second");
        check_lateness(o.at("lateness_ns"));
        late_frames += o.at("lateness_ns").at("frames").get<uint64_t>();
        EXPECT_GE(o.at("pass").get<uint64_t>(), 1u);
        EXPECT_TRUE(o.at("drift_ns").is_number_integer());
    }
    const json& last = objs.back();
    EXPECT_EQ(last.at("models").at("loss"), "0.1");
    EXPECT_EQ(last.at("models").at("delay"), "none");
    // 10 000 packets queued (50 copies of 200): about 1000 left out.
    const json& loss = last.at("dropped").at("loss");
    EXPECT_GT(loss.at("frames").get<uint64_t>(), 700u);
    EXPECT_LT(loss.at("frames").get<uint64_t>(), 1300u);
    EXPECT_EQ(loss.at("bytes").get<uint64_t>(), 100 * loss.at("frames").get<uint64_t>());
    EXPECT_GT(num(last, "sent", "frames"), 1000u);
    EXPECT_EQ(num(last, "sent", "bytes"), 100 * num(last, "sent", "frames"));
    EXPECT_EQ(late_frames, num(last, "sent", "frames"));
    // The final report rides on the exit object, with the same counts.
    const json& r = last.at("report");
    EXPECT_EQ(r.at("end"), "interrupt");
    EXPECT_EQ(r.at("packets").get<uint64_t>(), num(last, "sent", "frames"));
    for (const char* k :
         {"late_median_ns", "late_p99_ns", "late_max_ns", "passes", "elapsed_s", "pps", "bps"})
        EXPECT_TRUE(r.contains(k)) << k;
}
