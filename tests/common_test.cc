#include <fcntl.h>
#include <sys/mman.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <future>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/intarg.hpp"
#include "common/lateness.hpp"
#include "common/log.hpp"
#include "common/mapping.hpp"
#include "common/numarg.hpp"
#include "common/unique_fd.hpp"
#include "log_capture.hpp"

using namespace common;

namespace {

struct verbosity {
    explicit verbosity(int v) : saved(verbose) { verbose = v; }
    ~verbosity() { verbose = saved; }
    int saved;
};

double parse(const char* text, const unit_entry* table, int* err) { return parse_gen(text, table, err); }

TEST(WholeUnsigned, RefusesWhatWouldWrapOrLeaveText)
{
    struct row {
        const char* text;
        bool ok;
        uint64_t v;
    } rows[] = {
        {"0", true, 0},
        {"18446744073709551615", true, UINT64_MAX},
        {" 7", false, 0},
        {"+7", false, 0},
        {"18446744073709551616", false, 0},
        {"-1", false, 0},
        {" -5", false, 0},
        {"\t-0", false, 0},
        {"", false, 0},
        {" ", false, 0},
        {"5x", false, 0},
        {nullptr, false, 0},
    };
    for (const row& r : rows) {
        uint64_t v = 99;
        EXPECT_EQ(whole_unsigned(r.text, v), r.ok) << (r.text ? r.text : "null");
        EXPECT_EQ(v, r.ok ? r.v : 99u) << (r.text ? r.text : "null");
    }
}

TEST(ParseGen, TimeUnits)
{
    int err = -1;
    EXPECT_EQ(parse("10ms", time_units, &err), 10e6);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(parse("10", time_units, &err), 10e9);
    EXPECT_EQ(parse("1.5m", time_units, &err), 1.5e6);
    EXPECT_EQ(parse("250u", time_units, &err), 250e3);
    EXPECT_EQ(parse("3n", time_units, &err), 3);
    EXPECT_EQ(parse("2s", time_units, &err), 2e9);
    // Only the first character after the number counts.
    EXPECT_EQ(parse("10min", time_units, &err), 10e6);
    EXPECT_EQ(err, 0);
    // Time suffixes are lower case only.
    EXPECT_EQ(parse("10M", time_units, &err), 0);
    EXPECT_EQ(err, 1);
}

TEST(ParseGen, RateAndSizeUnits)
{
    int err = -1;
    EXPECT_EQ(parse("10M", rate_units, &err), 10e6);
    EXPECT_EQ(parse("10m", rate_units, &err), 10e6);
    EXPECT_EQ(parse("1.5g", rate_units, &err), 1.5e9);
    EXPECT_EQ(parse("100", rate_units, &err), 100);
    EXPECT_EQ(parse("2k", rate_units, &err), 2000);
    EXPECT_EQ(parse("64K", size_units, &err), 65536);
    EXPECT_EQ(parse("1m", size_units, &err), 1048576);
    EXPECT_EQ(parse("1G", size_units, &err), 1073741824.0);
    EXPECT_EQ(err, 0);
}

TEST(ParseGen, FailuresAndTheirMessages)
{
    verbosity v(1);
    log_capture cap;
    int err = 0;
    EXPECT_EQ(parse("5x", time_units, &err), 0);  // unknown suffix: silent
    EXPECT_EQ(err, 1);
    EXPECT_EQ(cap.text(), "");

    EXPECT_EQ(parse("ms", time_units, &err), 0);
    EXPECT_EQ(err, 1);
    EXPECT_EQ(cap.messages(), "bad argument ms\n");
    cap.clear();

    EXPECT_EQ(parse("0.25", nullptr, &err), 0.25);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(parse("0.25%", nullptr, &err), 0);
    EXPECT_EQ(err, 1);
    EXPECT_EQ(cap.messages(), "bad suffix %\n");
    cap.clear();

    EXPECT_EQ(parse(nullptr, time_units, &err), 0);
    EXPECT_EQ(err, 1);
    EXPECT_EQ(cap.text(), "");
    // A null error pointer is allowed.
    EXPECT_EQ(parse("7", nullptr, nullptr), 7);
}

TEST(ParseGen, ShortFormIsGatedByVerbose)
{
    verbosity v(0);
    log_capture cap;
    int err = 0;
    parse("junk", time_units, &err);
    EXPECT_EQ(err, 1);
    EXPECT_EQ(cap.text(), "");
}

TEST(ParseGen, StrtodForms)
{
    int err = 0;
    EXPECT_EQ(parse("  0x10", nullptr, &err), 16);
    EXPECT_EQ(parse("1e3", nullptr, &err), 1000);
    EXPECT_EQ(parse("-2", nullptr, &err), -2);
    EXPECT_TRUE(std::isinf(parse("inf", nullptr, &err)));
    EXPECT_TRUE(std::isnan(parse("nan", nullptr, &err)));
    EXPECT_EQ(err, 0);
}

TEST(ToCount, RefusesWhatIsNotACount)
{
    EXPECT_EQ(to_count(10.9, 0), 10u);
    EXPECT_EQ(to_count(0.0, 0), 0u);
    EXPECT_EQ(to_count(5.0, 1), invalid_count);
    EXPECT_EQ(to_count(-1.0, 0), invalid_count);
    EXPECT_EQ(to_count(-0.5, 0), invalid_count);
    EXPECT_EQ(to_count(INFINITY, 0), invalid_count);
    EXPECT_EQ(to_count(NAN, 0), invalid_count);
    EXPECT_EQ(to_count(18446744073709551616.0, 0), invalid_count);
    EXPECT_EQ(to_count(9223372036854775808.0, 0), 9223372036854775808ull);
    EXPECT_EQ(parse_count("inf", rate_units), invalid_count);
    EXPECT_EQ(parse_count("-1ms", time_units), invalid_count);
    EXPECT_EQ(parse_count("1ms", time_units), 1000000u);
}

TEST(SplitArgs, Words)
{
    int n = -1;
    char** av = split_args_or_exit("uniform,1ms,5ms", &n);
    ASSERT_NE(av, nullptr);
    ASSERT_EQ(n, 3);
    EXPECT_STREQ(av[0], "uniform");
    EXPECT_STREQ(av[1], "1ms");
    EXPECT_STREQ(av[2], "5ms");
    EXPECT_EQ(av[3], nullptr);
    EXPECT_EQ(av[4], av[0]);  // the private copy starts with the first word
    std::free(av);

    av = split_args_or_exit(" a ,, b\t", &n);
    ASSERT_EQ(n, 2);
    EXPECT_STREQ(av[0], "a");
    EXPECT_STREQ(av[1], "b");
    EXPECT_EQ(av[2], nullptr);
    std::free(av);

    for (const char* empty : {",,,", "   ", "", "\r\n\t"}) {
        av = split_args_or_exit(empty, &n);
        ASSERT_NE(av, nullptr);
        EXPECT_EQ(n, 0) << empty;
        EXPECT_EQ(av[0], nullptr);
        EXPECT_NE(av[1], nullptr);
        std::free(av);
    }
    EXPECT_EQ(split_args_or_exit(nullptr, &n), nullptr);

    // Characters of code 64 and above never separate words.
    av = split_args_or_exit(
        "a\xe9"
        "b;c|d",
        &n);
    EXPECT_EQ(n, 1);
    std::free(av);
}

TEST(SplitArgs, DumpsWordsAtVerbose3)
{
    log_capture cap;
    {
        verbosity v(3);
        char** av = split_args_or_exit("exp,1ms,5ms", nullptr);
        std::free(av);
    }
    EXPECT_EQ(cap.text(), "0: <exp>\n1: <1ms>\n2: <5ms>\n");
    cap.clear();
    {
        verbosity v(2);
        int n;
        std::free(split_args_or_exit("exp,1ms", &n));
    }
    EXPECT_EQ(cap.text(), "");
}

TEST(ScaledStr, Examples)
{
    char buf[32];
    EXPECT_STREQ(scaled_str(999, buf), "999.000 ");
    EXPECT_STREQ(scaled_str(0, buf), "0.000 ");
    EXPECT_STREQ(scaled_str(1000, buf), "1.000 K");
    EXPECT_STREQ(scaled_str(26843545, buf), "26.844 M");
    EXPECT_STREQ(scaled_str(5000000000000000ull, buf), "5000.000 T");
    EXPECT_STREQ(scaled_str(2500000000ull, buf), "2.500 G");
}

bool fd_open(int fd) { return fcntl(fd, F_GETFD) != -1; }
bool mapped(void* p)
{
    unsigned char in_core;
    return mincore(p, 1, &in_core) == 0;  // ENOMEM once unmapped
}

// An owner closes or unmaps exactly once: when the last owner goes, never
// after release(), and a move hands the resource on.
TEST(Owners, DescriptorAndMappingGoWithTheirLastOwner)
{
    int kept = -1;
    int fd = -1;
    {
        unique_fd a(open("/dev/null", O_RDONLY | O_CLOEXEC));
        fd = a.get();
        ASSERT_TRUE(a.valid());
        unique_fd b(std::move(a));
        EXPECT_FALSE(a.valid());
        EXPECT_EQ(b.get(), fd);
        unique_fd c(open("/dev/null", O_RDONLY | O_CLOEXEC));
        kept = c.release();
        EXPECT_FALSE(c.valid());
        unique_fd d(open("/dev/null", O_RDONLY | O_CLOEXEC));
        const int replaced = d.get();
        d = std::move(b);  // closes what d held
        EXPECT_FALSE(fd_open(replaced));
        EXPECT_TRUE(fd_open(fd));
    }
    EXPECT_FALSE(fd_open(fd));
    EXPECT_TRUE(fd_open(kept));
    close(kept);

    unsigned char* base = nullptr;
    unsigned char* released = nullptr;
    {
        mapping m = map_anonymous(8192);
        ASSERT_TRUE(m);
        base = m.get();
        EXPECT_EQ(m.size(), 8192u);
        EXPECT_EQ(base[8191], 0);
        mapping n(std::move(m));
        EXPECT_FALSE(m);
        EXPECT_EQ(n.get(), base);
        mapping r = map_anonymous(4096);
        released = r.release();
        EXPECT_EQ(r.size(), 0u);
        EXPECT_FALSE(mapping(MAP_FAILED, 4096));
    }
    EXPECT_FALSE(mapped(base));
    EXPECT_TRUE(mapped(released));
    munmap(released, 4096);
}

// A summary of cumulative counts: percentiles are bucket middles (exact
// below 32 ns) never above the maximum, and a maximum beyond the last
// bucket stays exact when the caller knows it.
TEST(Lateness, SummaryOfCountsTakesBucketMiddlesAndTheGivenMax)
{
    const uint64_t far = (uint64_t(1) << 41) + 5;
    struct row {
        const char* what;
        std::vector<std::pair<uint64_t, int>> values;  // value, times
        lateness::summary want;
    } rows[] = {
        {"nothing recorded", {}, {0, 0, 0, 0}},
        {"exact below 32", {{5, 1}, {7, 1}, {9, 1}}, {3, 7, 9, 9}},
        {"middle clamped to the max", {{1000, 1}}, {1, 1000, 1000, 1000}},
        {"p99 in the middle of the top value's bucket",
         {{1000, 49}, {1000000, 1}},
         {50, 1008, 999424, 1000000}},
        {"beyond the last bucket", {{1000, 1}, {far, 1}}, {2, 1008, uint64_t(1) << 40, far}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        auto h = std::make_unique<lateness::histogram>();
        uint64_t max = 0;
        for (const auto& [v, times] : r.values)
            for (int i = 0; i < times; ++i) {
                lateness::record(*h, v);
                max = std::max(max, v);
            }
        const lateness::summary s = lateness::summarise(h->count, max);
        EXPECT_EQ(s.frames, r.want.frames);
        EXPECT_EQ(s.median, r.want.median);
        EXPECT_EQ(s.p99, r.want.p99);
        EXPECT_EQ(s.max, r.want.max);
    }
}

// The intervals a reader takes hold only their own frames; the cumulative
// counts summarise the whole run, even after the reader took the peak.
TEST(Lateness, IntervalsAndTheWholeRunFromOneHistogram)
{
    auto live = std::make_unique<lateness::histogram>();
    auto prev = std::make_unique<lateness::histogram>();
    for (int i = 0; i < 10; ++i)
        lateness::record(*live, 20);
    const lateness::summary first = lateness::take_interval(*live, *prev);
    for (int i = 0; i < 30; ++i)
        lateness::record(*live, 3000);
    const lateness::summary second = lateness::take_interval(*live, *prev);
    EXPECT_EQ(first.frames, 10u);
    EXPECT_EQ(first.p99, 20u);
    EXPECT_EQ(first.max, 20u);
    EXPECT_EQ(second.frames, 30u);
    EXPECT_EQ(second.median, 3000u);  // bucket [2944, 3072): middle 3008 above the max
    EXPECT_EQ(second.max, 3000u);
    const lateness::summary run = lateness::summarise(live->count, 3000);
    EXPECT_EQ(run.frames, 40u);
    EXPECT_EQ(run.median, 3000u);
    EXPECT_EQ(run.p99, 3000u);
    // The reader took the peak: without the writer's own maximum only the
    // floor of the highest bucket is left.
    EXPECT_EQ(lateness::summarise(live->count, live->peak).max, 2944u);
    EXPECT_EQ(lateness::take_interval(*live, *prev).frames, 0u);
}

TEST(Limiter, OnePerSecond)
{
    log_limiter lim;
    EXPECT_TRUE(limiter_allow(lim, 1, 100));
    for (int i = 0; i < 50; ++i)
        EXPECT_FALSE(limiter_allow(lim, 1, 100));
    EXPECT_TRUE(limiter_allow(lim, 1, 101));
    EXPECT_FALSE(limiter_allow(lim, 1, 101));
}

TEST(Limiter, FivePerSecond)
{
    log_limiter lim;
    int printed = 0;
    for (int i = 0; i < 20; ++i)
        printed += limiter_allow(lim, 5, 7);
    EXPECT_EQ(printed, 5);
    printed = 0;
    for (int i = 0; i < 20; ++i)
        printed += limiter_allow(lim, 5, 8);
    EXPECT_EQ(printed, 5);
}

void limited_twice()
{
    for (int i = 0; i < 10; ++i)
        log_limited(1, "short packet len %d\n", i);
}

TEST(LogLines, Formats)
{
    log_capture cap;
    {
        verbosity v(1);
        log_msg("hello %d\n", 42);
        log_tagged("tagged %s\n", "x");
    }
    std::string t = cap.text();
    std::regex re(
        "[0-9]{3}\\.[0-9]{3} \\[ *[0-9]+\\] \thello 42\n"
        "[0-9]{3}\\.[0-9]{6} TestBody \\[[0-9]+\\] tagged x\n");
    EXPECT_TRUE(std::regex_match(t, re)) << t;
    // The short form pads the line number to five places.
    EXPECT_EQ(t.find(" ["), 7u);
    EXPECT_EQ(t.find("] \t"), 14u);
}

TEST(LogLines, TaggedIgnoresVerboseAndLimiterHolds)
{
    log_capture cap;
    verbosity v(0);
    log_msg("gated\n");
    limited_twice();
    std::string m = cap.messages();
    // Within one second only the first of the ten lines prints (two when the
    // second changed in the middle of the loop).
    EXPECT_EQ(m.find("gated"), std::string::npos);
    EXPECT_EQ(m.rfind("limited_twice short packet len 0\n", 0), 0u) << m;
    size_t lines = 0;
    for (char c : m)
        lines += c == '\n';
    EXPECT_GE(lines, 1u);
    EXPECT_LE(lines, 2u);
}

TEST(LogLines, WenloShortForm)
{
    log_capture cap;
    set_log_style(log_style::wenlo);
    {
        verbosity v(0);  // the replayer prints every line
        log_msg("--WWW-- warn\n");
    }
    set_log_style(log_style::corvo);
    std::regex re("[0-9]{3}\\.[0-9]{3} TestBody   \\[ *[0-9]+\\] \t--WWW-- warn\n");
    EXPECT_TRUE(std::regex_match(cap.text(), re)) << cap.text();
}

void flood(int lines)
{
    log_never_wait();
    for (int i = 0; i < lines; ++i)
        log_limited(1000000, "line %d\n", i);
}

// Standard error as a full pipe that nobody reads: a data-path thread
// logging thousands of lines never waits; what does not fit is counted and
// the count shows up, in order, once the pipe is read.  Then, with the
// reader gone, lines fail with EPIPE and are counted as lost.
TEST(LogWriter, UnreadPipeNeverBlocksTheDataPathAndLostLinesAreCounted)
{
    using namespace std::chrono_literals;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    struct restore {
        int fds[2], fd = get_log_fd();
        void (*pipe_action)(int) = std::signal(SIGPIPE, SIG_IGN);
        ~restore()
        {
            log_stop_writer();
            set_log_fd(fd);
            std::signal(SIGPIPE, pipe_action);
            ::close(fds[1]);
            if (fds[0] >= 0)
                ::close(fds[0]);
        }
    } guard{{fds[0], fds[1]}};
    ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
    const int room = ::fcntl(fds[1], F_GETPIPE_SZ);
    ASSERT_GT(room, 0);
    const std::string filler(static_cast<size_t>(room), 'x');
    ASSERT_EQ(::write(fds[1], filler.data(), filler.size()), room);
    set_log_fd(fds[1]);
    ASSERT_TRUE(log_start_writer());

    // The writer takes this line and stays stuck in write(2) from now on.
    const auto start = std::chrono::steady_clock::now();
    log_tagged("first\n");  // goes out ahead of everything logged after it
    constexpr int lines = 5000;
    auto done = std::async(std::launch::async, flood, lines);
    const bool finished_unread = done.wait_for(10s) == std::future_status::ready;
    // A thread that waited for room would wait until the writer had been
    // stuck for a second.
    const auto took = std::chrono::steady_clock::now() - start;

    // Read until every line is either received or counted as lost.
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    const std::regex line_re("[0-9]{3}\\.[0-9]{6} flood \\[[0-9]+\\] line ([0-9]+)");
    const std::regex lost_re("[0-9]{3}\\.[0-9]{6} log_writer \\[[0-9]+\\] ([0-9]+) log lines lost");
    std::string text;
    size_t pos = filler.size();
    int received = 0, reports = 0, out_of_order = 0, last = -1;
    long long lost_reported = 0;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (received + lost_reported < lines && std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{fds[0], POLLIN, 0};
        ::poll(&pfd, 1, 100);
        char buf[65536];
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n > 0)
            text.append(buf, static_cast<size_t>(n));
        for (size_t nl; (nl = text.find('\n', pos)) != std::string::npos; pos = nl + 1) {
            const std::string line = text.substr(pos, nl - pos);
            std::smatch m;
            if (std::regex_match(line, m, line_re)) {
                // Lines lost leave gaps; those that arrive keep their order.
                const int k = std::stoi(m[1]);
                out_of_order += k <= last;
                last = k;
                ++received;
            } else if (std::regex_match(line, m, lost_re))
                lost_reported += std::stoll(m[1]), ++reports;
        }
    }
    EXPECT_TRUE(finished_unread) << "a data-path thread waited on standard error";
    EXPECT_LT(took, 1s) << "a data-path thread waited for room";
    done.wait();
    EXPECT_EQ(text.compare(0, filler.size(), filler), 0);
    EXPECT_NE(text.find(" first\n", filler.size()), std::string::npos);
    EXPECT_LT(text.find(" first\n"), text.find(" line 0\n"));
    EXPECT_GT(received, 0);
    EXPECT_GT(lost_reported, 0) << "a ring that never fills proves nothing";
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(out_of_order, 0);
    EXPECT_EQ(received + lost_reported, lines) << text.substr(text.size() > 300 ? text.size() - 300 : 0);
    EXPECT_EQ(log_lines_lost(), 0u);

    // The reader is gone: each line fails and counts, and nothing dies.
    ::close(fds[0]);
    guard.fds[0] = -1;
    std::async(std::launch::async, flood, 10).wait();
    log_flush();
    auto lost_settles = [](uint64_t n) {
        // The writer takes the count out while it tries to print it.
        for (int i = 0; i < 2000 && log_lines_lost() != n; ++i)
            std::this_thread::sleep_for(1ms);
        return log_lines_lost();
    };
    EXPECT_EQ(lost_settles(10), 10u);

    // Output flows again elsewhere: the count goes out there.
    log_capture cap;
    for (int i = 0; i < 2000 && cap.text().find('\n') == std::string::npos; ++i)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(cap.messages(), "log_writer 10 log lines lost\n");
    EXPECT_EQ(log_lines_lost(), 0u);
}

}  // namespace
