// Command line of the replayer: the exact refusal lines, -C forms, warnings
// for burst and wait_link, and the exit status after a failed replay.
#include <gtest/gtest.h>

#include <climits>

#include "common/intarg.hpp"
#include "wenlo/replay.hpp"
#include "wenlo_testutil.hpp"

using namespace common;

using namespace wenlo_test;

namespace {

const std::string usage =
    "usage: wenlo [-v] [-D delay] [-B {[constant,]bps|ether,bps|real,speedup}] [-L loss]\n"
    "\t[-b burst] -f pcap-file -i <netmap:ifname|valeSSS:PPP>\n";

struct run_result {
    int status;
    std::string err;
    bool has(const std::string& s) const { return err.find(s) != std::string::npos; }
};

run_result run(std::vector<std::string> args, double limit = 10)
{
    wenlo_proc w(std::move(args));
    int st = w.wait(limit);
    return {st, w.err()};
}

}  // namespace

TEST(WenloOptions, RepeatedOptionEndsWithAddToLine)
{
    struct c {
        std::vector<std::string> args;
        const char* line;
    } cases[] = {
        {{"-f", "a", "-f", "b", "-i", "x"}, "\t-f too many times b\n"},
        {{"-i", "x", "-i", "y"}, "\t-i too many times y\n"},
        {{"-D", "1ms", "-D", "2ms"}, "\t-D too many times 2ms\n"},
        {{"-B", "1M", "-B", "real"}, "\t-B too many times real\n"},
        {{"-L", "0.1", "-L", "0.2"}, "\t-L too many times 0.2\n"},
    };
    for (auto& k : cases) {
        run_result r = run(k.args);
        EXPECT_EQ(r.status, 1) << k.line;
        EXPECT_TRUE(r.has(k.line)) << r.err;
        EXPECT_TRUE(r.has(" add_to     [")) << r.err;
        EXPECT_FALSE(r.has("usage:")) << r.err;
    }
}

TEST(WenloOptions, UsageErrors)
{
    run_result bad = run({"-x", "-f", "a", "-i", "b"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_TRUE(bad.has(" main [")) << bad.err;  // tagged form
    EXPECT_TRUE(bad.has("] bad option ? (null)\n")) << bad.err;
    EXPECT_TRUE(bad.has(usage));

    run_result noarg = run({"-i", "b", "-f"});
    EXPECT_EQ(noarg.status, 1);
    EXPECT_TRUE(noarg.has("] bad option ? (null)\n")) << noarg.err;

    run_result nofile = run({"-i", "x"});
    EXPECT_EQ(nofile.status, 1);
    EXPECT_TRUE(nofile.has("main       [")) << nofile.err;
    EXPECT_TRUE(nofile.has("\tmissing pcap file\n" + usage)) << nofile.err;

    run_result noif = run({"-f", "x"});
    EXPECT_EQ(noif.status, 1);
    EXPECT_TRUE(noif.has("\tmissing interface\n" + usage)) << noif.err;

    for (const char* c : {"1,2,3", "", "1,2,3,4,5"}) {
        run_result r = run({"-C", c, "-f", "x", "-i", "y"});
        EXPECT_EQ(r.status, 1) << c;
        EXPECT_TRUE(r.has("\t -C accepts 1, 2 or 4 comma separated arguments\n" + usage)) << r.err;
    }
    for (const char* c : {"1024", "-2", "0,99999999999"}) {
        run_result r = run({"-C", c, "-f", "x", "-i", "y"});
        EXPECT_EQ(r.status, 1) << c;
        EXPECT_TRUE(r.has("--EEE-- invalid core ")) << r.err;
        EXPECT_TRUE(r.has(usage));
    }
}

TEST(WenloOptions, CoreForms)
{
    struct c {
        const char* arg;
        int want[4];
    } cases[] = {
        {"3", {3, 4, 5, 6}},        {"1,5", {1, 2, 5, 6}}, {"1,,2", {1, 2, 2, 3}},
        {"0 1\t2,3", {0, 1, 2, 3}}, {"-1", {-1, 0, 1, 2}}, {"1023", {1023, 1024, 1025, 1026}},
    };
    for (auto& k : cases) {
        int cores[4] = {};
        wenlo::parse_cores_or_exit(k.arg, cores);
        EXPECT_EQ(std::vector<int>(cores, cores + 4), std::vector<int>(k.want, k.want + 4)) << k.arg;
    }
    EXPECT_EQ(int_arg("12abc"), 12);
    EXPECT_EQ(int_arg("abc"), 0);
    EXPECT_EQ(int_arg(" -7"), -7);
    EXPECT_EQ(int_arg("99999999999999999999"), INT_MAX);
    EXPECT_EQ(int_arg("-99999999999"), INT_MIN);
}

TEST(WenloOptions, WarningsAndStatusOfAFailedReplay)
{
    // Missing capture: no monitor line; status = three absent models.
    run_result r = run({"-C", "1,,2", "-C", "-1", "-b", "0", "-w", "101", "-v", "-f", "/nonexistent/x.pcap",
                        "-i", "valenone:a"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_TRUE(r.has("\t--WWW-- invalid burst 0, set to 1024\n")) << r.err;
    EXPECT_TRUE(r.has("\tinvalid wait_link 101, set to 4\n"));
    EXPECT_TRUE(r.has("\trunning on cores -1 0 1 2\n"));
    EXPECT_TRUE(r.has("readpcap   ["));
    EXPECT_TRUE(r.has("\t--EEE-- cannot open file /nonexistent/x.pcap\n"));
    EXPECT_TRUE(r.has("wenlo_main ["));
    EXPECT_TRUE(r.has("\t--EEE-- unable to read file /nonexistent/x.pcap\n"));
    EXPECT_TRUE(r.has("] exiting on abort\n"));
    EXPECT_FALSE(r.has("maxq"));
    EXPECT_FALSE(r.has("setaffinit"));

    // Three models applied, the port cannot be opened: a failure is never 0.
    temp_file cap(pcap_bytes({rec(0, 64), rec(1000, 64)}));
    run_result p = run({"-C", "-1", "-b", "8192", "-w", "-5", "-D", "10ms", "-B", "real", "-L", "0", "-f",
                        cap.path, "-i", "nosuchport"});
    EXPECT_EQ(p.status, 1) << p.err;
    EXPECT_FALSE(p.has("invalid burst"));
    EXPECT_FALSE(p.has("wait_link"));
    EXPECT_TRUE(p.has("\t--EEE-- cannot open netmap on nosuchport\n")) << p.err;

    // Out-of-range numbers saturate instead of overflowing; refused models count.
    run_result s = run({"-C", "-1", "-b", "99999999999", "-w", "99999999999", "-D", "gauss,1,2", "-B", "100x",
                        "-f", "/nonexistent/y", "-i", "valenone:a"});
    EXPECT_EQ(s.status, 3) << s.err;
    EXPECT_TRUE(s.has("\t--WWW-- invalid burst 2147483647, set to 1024\n")) << s.err;
    EXPECT_TRUE(s.has("\tinvalid wait_link 2147483647, set to 4\n"));
    EXPECT_TRUE(s.has("\targuments gauss,1,2 not recognised\n"));
    EXPECT_TRUE(s.has("\targuments 100x not recognised\n"));
}
