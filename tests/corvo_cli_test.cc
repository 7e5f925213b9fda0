// corvo's command line and owner start-up, through the program itself:
// exact messages and exit statuses.  Ports are shared-memory links (vale),
// so nothing here needs privileges; every run that starts forwarding is
// ended with SIGINT, and no thread is placed on a CPU (-C -1,-1,-1,-1).
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <sys/resource.h>

#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "common/numarg.hpp"
#include "corvo/options.hpp"
#include "corvo_proc.hpp"
#include "log_capture.hpp"

using namespace common;
using namespace pipes;
using namespace corvo;

using corvo_test::child;
using corvo_test::messages;
using testing::HasSubstr;
using testing::Not;

namespace {

const std::string corvo_bin = corvo_test::bin_dir + "/corvo";
const std::string usage = corvo_usage;
constexpr int run_ms = 15000;

struct outcome {
    int status;
    std::string msgs;  // messages() of standard error
};

std::vector<std::string> with_bin(std::vector<std::string> args)
{
    args.insert(args.begin(), corvo_bin);
    return args;
}

// Runs corvo to its end (no forwarding expected).
outcome corvo(const std::vector<std::string>& args)
{
    child c(with_bin(args));
    const int st = c.finish(run_ms);
    return {st, messages(c.err())};
}

// A fresh pair of link ends for one run: "valeSW:c" of two links, with the
// other ends ("...:p") free for the probe.  The links' shared segments
// outlive the programs (corvo closes no port when it stops): removed here.
struct ports {
    std::string a, b, peer_a, peer_b;
    std::string sw[2];
    ports()
    {
        static int n = 0;
        const std::string base = "cli" + std::to_string(getpid()) + "t" +
                                 std::to_string(time(nullptr) % 100000) + "x" + std::to_string(n++);
        sw[0] = base + "a";
        sw[1] = base + "b";
        a = "vale" + sw[0] + ":c", b = "vale" + sw[1] + ":c";
        peer_a = "vale" + sw[0] + ":p", peer_b = "vale" + sw[1] + ":p";
    }
    ~ports()
    {
        for (const std::string& s : sw)
            unlink(("/dev/shm/netport-vale-" + s).c_str());
    }
    ports(const ports&) = delete;
    ports& operator=(const ports&) = delete;
};

// Starts a forwarding corvo and waits for both directions' banners.
struct running {
    child proc;
    explicit running(const std::vector<std::string>& args) : proc(with_bin(args)) {}
    // Both banners, then the first statistics line: main has installed its
    // SIGINT handler by then (an earlier interrupt ends it at once).
    bool ready() { return proc.wait_for("hold-buf", 2, run_ms) && proc.wait_for(" <- ", 1, run_ms); }
    // SIGINT, then the rest of the output and the status.
    outcome stop()
    {
        proc.signal(SIGINT);
        const int st = proc.finish(run_ms);
        return {st, messages(proc.err())};
    }
};

const std::string no_cpus = "-1,-1,-1,-1";

// ---------------------------------------------------------------------------
// Refusals that end the program before the ports are opened.

TEST(corvo_cli, ports_missing_or_equal_end_with_usage)
{
    outcome r = corvo({"-C", no_cpus});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.msgs, "missing interface(s)\n" + usage);

    r = corvo({"-i", "vale1:a", "-C", no_cpus});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.msgs, "missing interface(s)\n" + usage);

    r = corvo({"-i", "vale1:a", "-i", "vale1:a"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.msgs, "must specify two different interfaces vale1:a vale1:a\n" + usage);

    r = corvo({"-i", "vale1:a", "-i", "vale1:b", "-i", "vale1:c"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.msgs, "-i too many times: vale1:c\n");
}

TEST(corvo_cli, table_options_at_most_twice_and_one_session_file)
{
    outcome r = corvo({"-D", "10ms", "-D", "20ms", "-D", "30ms", "-i", "vale1:a", "-i", "vale1:b"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.msgs, "-D too many times: 30ms\n");

    r = corvo({"-s", "/nonexistent/a", "-s", "/nonexistent/b"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.msgs, "main option 's' duplicated\n" + usage);
}

TEST(corvo_cli, cpu_list_counts_and_ranges)
{
    outcome r = corvo({"-C", "1,2,3", "-i", "vale1:a", "-i", "vale1:b"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.msgs, " -C accepts 1, 2 or 4 comma separated arguments\n" + usage);

    // v + 3 leaves the placement set; so does a number beyond int.
    r = corvo({"-C", "1021", "-i", "vale1:a", "-i", "vale1:b"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.msgs, "-C 1021 puts the B producer thread on CPU 1024: use -1 or 0 to 1023\n");
    r = corvo({"-C", "2147483647", "-i", "vale1:a", "-i", "vale1:b"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.msgs, HasSubstr("on CPU 2147483647: use -1 or 0 to 1023"));
    r = corvo({"-C", "-1,-1,-2,-1", "-i", "vale1:a", "-i", "vale1:b"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.msgs, "-C -1,-1,-2,-1 puts the B consumer thread on CPU -2: use -1 or 0 to 1023\n");
    r = corvo({"-C", "3x", "-i", "vale1:a", "-i", "vale1:b"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.msgs, "invalid CPU number '3x' in -C 3x\n");

    // Accepted lists show in the cores line (producer->consumer); -P 2 then
    // ends the run before the ports.
    r = corvo({"-C", "3", "-P", "2", "-i", "vale1:a", "-i", "vale1:b"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.msgs, HasSubstr("\nrunning on cores 4->3 6->5\n"));
    r = corvo({"-C", "1,5", "-P", "2", "-i", "vale1:a", "-i", "vale1:b"});
    EXPECT_THAT(r.msgs, HasSubstr("\nrunning on cores 2->1 6->5\n"));
    // The last -C wins; 1023 is the highest CPU accepted.
    r = corvo({"-C", "7", "-C", "0,1023,1022,-1", "-P", "2", "-i", "vale1:a", "-i", "vale1:b"});
    EXPECT_THAT(r.msgs, HasSubstr("\nrunning on cores 1023->0 -1->1022\n"));
}

TEST(corvo_cli, burst_and_wait_link_are_checked)
{
    auto run = [](std::vector<std::string> extra) {
        std::vector<std::string> args = {"-C", no_cpus, "-P", "2", "-i", "vale1:a", "-i", "vale1:b"};
        args.insert(args.end(), extra.begin(), extra.end());
        return corvo(args);
    };
    // Without -b the unset burst 0 is reported and replaced.
    outcome r = run({});
    EXPECT_EQ(r.msgs,
              "invalid burst 0, set to 1024\n"
              "running on cores -1->-1 -1->-1\n"
              "-P expects either 0 or 1\n"
              "using unlimited qsize\n"
              "-P expects either 0 or 1\n"
              "using unlimited qsize\n"
              "exiting due to 2 error(s)\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(run({"-b", "8192"}).msgs, Not(HasSubstr("invalid burst")));
    EXPECT_THAT(run({"-b", "1"}).msgs, Not(HasSubstr("invalid burst")));
    EXPECT_THAT(run({"-b", "8193"}).msgs, HasSubstr("invalid burst 8193, set to 1024\n"));
    EXPECT_THAT(run({"-b", "0"}).msgs, HasSubstr("invalid burst 0, set to 1024\n"));
    EXPECT_THAT(run({"-b", "-3"}).msgs, HasSubstr("invalid burst -3, set to 1024\n"));
    // Beyond int: saturated, not wrapped into the valid range.
    EXPECT_THAT(run({"-b", "4294967297"}).msgs, HasSubstr("invalid burst 2147483647, set to 1024\n"));
    EXPECT_THAT(run({"-b", "5", "-b", "9000"}).msgs, HasSubstr("invalid burst 9000, set to 1024\n"));

    EXPECT_THAT(run({"-w", "100"}).msgs, Not(HasSubstr("wait_link")));
    EXPECT_THAT(run({"-w", "-5"}).msgs, Not(HasSubstr("wait_link")));
    EXPECT_THAT(run({"-w", "101"}).msgs, HasSubstr("invalid wait_link 101, set to 4\n"));
    EXPECT_THAT(run({"-w", "4294967396"}).msgs, HasSubstr("invalid wait_link 2147483647, set to 4\n"));
}

TEST(corvo_cli, option_errors_of_both_directions_are_counted_together)
{
    auto run = [](std::vector<std::string> extra) {
        std::vector<std::string> args = {"-q", "-C", no_cpus, "-i", "vale1:a", "-i", "vale1:b"};
        args.insert(args.end(), extra.begin(), extra.end());
        return corvo(args);
    };
    // -q: only the tagged lines would show, and there are none.
    outcome r = run({"-P", "01"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.msgs, "");

    auto errors = [](const std::string& msgs) {
        size_t at = msgs.find("exiting due to ");
        return at == std::string::npos ? -1 : std::atoi(msgs.c_str() + at + 15);
    };
    auto verbose_run = [](std::vector<std::string> extra) {
        std::vector<std::string> args = {"-C", no_cpus, "-i", "vale1:a", "-i", "vale1:b"};
        args.insert(args.end(), extra.begin(), extra.end());
        return corvo(args);
    };
    // Given once, an option is wrong for both directions.
    r = verbose_run({"-P", "01"});
    EXPECT_EQ(errors(r.msgs), 2);
    EXPECT_EQ(corvo_test::child::count(r.msgs, "-P expects either 0 or 1\n"), 2);
    EXPECT_EQ(errors(verbose_run({"-P", ""}).msgs), 2);
    EXPECT_EQ(errors(verbose_run({"-P", "1", "-P", "2"}).msgs), 1);
    EXPECT_EQ(errors(verbose_run({"-D", "10ms", "-D", "gauss,1,2"}).msgs), 1);
    // Model, time and size errors together over both directions.
    r = verbose_run({"-D", "exp", "-d", "-1", "-O", "1x", "-Q", "4G"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(errors(r.msgs), 8);
    EXPECT_THAT(r.msgs, HasSubstr("invalid arguments: need 'constant,delay' have 'exp'\n"));
    EXPECT_THAT(r.msgs, HasSubstr("invalid -d argument -1\n"));
    EXPECT_THAT(r.msgs, HasSubstr("invalid -O argument 1x\n"));
    EXPECT_THAT(r.msgs, HasSubstr("-Q 4G is too large: the queue limit must stay below 4G\n"));
    // A mistyped size is refused, not read as another size.
    EXPECT_EQ(errors(verbose_run({"-Q", "64q", "-P", "2"}).msgs), 4);
    EXPECT_EQ(errors(verbose_run({"-Q", "4194303k", "-P", "2"}).msgs), 2);
    // Queue limit messages per direction.
    r = verbose_run({"-B", "10M", "-B", "none", "-P", "2"});
    EXPECT_THAT(r.msgs, HasSubstr("setting qsize to 50000B\n"));
    r = verbose_run({"-Q", "0", "-B", "10M", "-P", "2"});
    EXPECT_THAT(r.msgs, Not(HasSubstr("qsize")));
}

TEST(corvo_cli, unknown_options_are_reported_and_skipped)
{
    outcome r = corvo({"-x", "-C", no_cpus, "-P", "2", "-i", "vale1:a", "-i", "vale1:b", "-c", "-D"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.msgs, HasSubstr("unknown option '-x'\n"));
    EXPECT_THAT(r.msgs, HasSubstr("unknown option '-D'\n"));  // missing argument
    EXPECT_THAT(r.msgs, HasSubstr("exiting due to 2 error(s)\n"));
}

TEST(corvo_cli, limits_are_checked_before_the_ports)
{
    auto run = [](const std::string& m) {
        return corvo({"-C", no_cpus, "-M", m, "-i", "bad-a", "-i", "bad-b"});
    };
    outcome r = run("1,2,3,4");
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.msgs,
                HasSubstr("\ninvalid parameters for -M: need max-delay[,max-bps[,max-hold-time]]]\n"));
    EXPECT_THAT(run("x").msgs, HasSubstr("\ninvalid max-delay: x\n"));
    EXPECT_THAT(run("1ms,-5").msgs, HasSubstr("\ninvalid max-bps: -5\n"));
    EXPECT_THAT(run("1ms,1G,zz").msgs, HasSubstr("\ninvalid max-hold-time: zz\n"));
    // Valid limits: the ports come next, and these names are no ports.
    r = run("1ms,1G,2ms");
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.msgs, HasSubstr("set maximum bandwidth to 1G\n"));
    EXPECT_THAT(r.msgs, HasSubstr("main cannot open bad-a\n"));
}

TEST(corvo_cli, route_mode_refuses_shared_memory_ports)
{
    outcome r = corvo({"-r", "-C", no_cpus, "-i", "vale1:a", "-i", "vale1:b"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.msgs, HasSubstr("route mode not supported for VALE port vale1:a\n" + usage));
}

// ---------------------------------------------------------------------------
// Runs that forward.

TEST(corvo_cli, per_direction_models_reach_their_direction)
{
    const ports p;
    running c({"-C", no_cpus, "-D", "10ms", "-D", "20ms", "-B", "1G", "-L", "0.1", "-Q", "64k", "-d", "0",
               "-i", p.a, "-i", p.b});
    ASSERT_TRUE(c.ready()) << c.proc.err();
    outcome r = c.stop();
    EXPECT_EQ(r.status, 0);
    EXPECT_THAT(r.msgs, HasSubstr("\t" + p.a + " -> " + p.b +
                                  " :  bps 1000000000 delay 10ms loss 0.1 reorder 0 queue 65536 bytes\n"));
    EXPECT_THAT(r.msgs, HasSubstr("\t" + p.b + " -> " + p.a +
                                  " :  bps 1000000000 delay 20ms loss 0.1 reorder 0 queue 65536 bytes\n"));
    EXPECT_THAT(r.msgs, Not(HasSubstr("qsize")));
    EXPECT_THAT(r.msgs, HasSubstr("\nexiting on abort\n"));
}

TEST(corvo_cli, limits_install_a_bandwidth_without_changing_the_queue)
{
    const ports p;
    // -M 10ms,1G without -B: a 1 Gbit/s model, the unlimited queue stays;
    // -B 10M with -M: the limit is raised, the model is -B's.
    running c(
        {"-C", no_cpus, "-M", "10ms,1G", "-M", "20ms,2G", "-B", "none", "-B", "10M", "-i", p.a, "-i", p.b});
    ASSERT_TRUE(c.ready()) << c.proc.err();
    outcome r = c.stop();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(corvo_test::child::count(r.msgs, "set maximum bandwidth to"), 1);
    EXPECT_THAT(r.msgs, HasSubstr("setting qsize to 0B\nsetting qsize to 50000B\n"));
    EXPECT_THAT(r.msgs, HasSubstr("set maximum bandwidth to 1G\n"));
    EXPECT_THAT(r.msgs,
                HasSubstr(p.a + " -> " + p.b + " :  bps 1000000000 delay 0 loss 0 reorder 0 queue 0 bytes"));
    EXPECT_THAT(r.msgs, HasSubstr(p.b + " -> " + p.a +
                                  " :  bps 2000000000 delay 0 loss 0 reorder 0 queue 50000 bytes"));
}

TEST(corvo_cli, statistics_count_each_direction_and_sigint_stops)
{
    const ports p;
    running c({"-C", no_cpus, "-d", "1", "-i", p.a, "-i", p.b});
    child recv({corvo_test::bin_dir + "/probe", "recv", "-i", p.peer_b, "-n", "300", "-t", "10"});
    // Traffic starts once the statistics loop has taken its first reading.
    ASSERT_TRUE(c.ready()) << c.proc.err();
    child send(
        {corvo_test::bin_dir + "/probe", "send", "-i", p.peer_a, "-n", "300", "-r", "1000", "-W", "5"});
    ASSERT_EQ(send.finish(run_ms), 0) << send.err();
    ASSERT_EQ(recv.finish(run_ms), 0) << recv.err();
    EXPECT_THAT(recv.out(), HasSubstr("\"frames\":300,"));
    // Every packet falls into a whole second's line before the interrupt.
    const int lines_before_stop = corvo_test::child::count(c.proc.err(), " <- ") + 2;
    ASSERT_TRUE(c.proc.wait_for(" <- ", lines_before_stop, 4000));
    outcome r = c.stop();
    EXPECT_EQ(r.status, 0);
    long long a_cons = 0, a_prod = 0, b_cons = 0, b_prod = 0;
    int lines = 0;
    for (size_t at = r.msgs.find(" maxq "); at != std::string::npos; at = r.msgs.find(" maxq ", at + 1)) {
        size_t start = r.msgs.rfind('\n', at) + 1;
        long long v[4];
        int q1, q2;
        long long r1, r2, d1, d2, d3, d4;
        if (std::sscanf(r.msgs.c_str() + start,
                        "%lld -> %lld maxq %d round %lld drop %lld/%lld, %lld <- %lld maxq %d round %lld "
                        "drop %lld/%lld",
                        &v[0], &v[1], &q1, &r1, &d1, &d2, &v[2], &v[3], &q2, &r2, &d3, &d4) == 12) {
            a_cons += v[0], a_prod += v[1], b_cons += v[2], b_prod += v[3];
            ++lines;
            EXPECT_EQ(d1 + d2 + d3 + d4, 0);
        }
        at = r.msgs.find('\n', at);
        if (at == std::string::npos)
            break;
    }
    EXPECT_GE(lines, lines_before_stop);
    EXPECT_EQ(a_cons, 300);
    EXPECT_EQ(a_prod, 300);
    EXPECT_EQ(b_cons, 0);
    EXPECT_EQ(b_prod, 0);
    EXPECT_THAT(r.msgs, HasSubstr("\nexiting on abort\n"));
    EXPECT_THAT(r.msgs, HasSubstr("cons exiting on abort\n"));
}

TEST(corvo_cli, quiet_run_prints_only_tagged_lines_and_a_second_sigint_ends_at_once)
{
    const ports p;
    running c({"-q", "-C", no_cpus, "-i", p.a, "-i", p.b});
    // Nothing short-form prints; wait until the statistics loop runs.
    usleep(2500000);
    c.proc.signal(SIGINT);
    ASSERT_TRUE(c.proc.wait_for("corvo_main [", 2, 3000)) << c.proc.err();
    c.proc.signal(SIGINT);  // during main's last second
    const int st = c.proc.finish(run_ms);
    EXPECT_EQ(st, 128 + SIGINT);
    const std::string msgs = messages(c.proc.err());
    EXPECT_THAT(msgs, Not(HasSubstr(" -> ")));
    EXPECT_THAT(msgs, Not(HasSubstr("running on cores")));
    EXPECT_THAT(msgs, HasSubstr("corvo_main exiting on abort\n"));
}

// A user id of its own for each test process: process limits count every
// process of a user, so tests running side by side must not share one.
std::string lone_uid() { return std::to_string(60000 + getpid() % 5000); }

TEST(corvo_cli, owner_without_lock_rights_still_maps_its_buffers)
{
    // Under a locked-memory limit that holds the pages mapped at start-up
    // but not the 40 MB queue buffers, and without CAP_IPC_LOCK, locking
    // future pages would make those buffers fail to map.
    const ports p;
    rlimit rl{};
    getrlimit(RLIMIT_MEMLOCK, &rl);
    const rlim_t want = rlim_t{64} << 20;
    const rlim_t limit = rl.rlim_max < want ? rl.rlim_max : want;
    std::vector<std::string> cmd = {"prlimit",
                                    "--memlock=" + std::to_string(limit) + ":" + std::to_string(limit)};
    if (geteuid() == 0)
        cmd.insert(cmd.end(), {"setpriv", "--reuid", lone_uid(), "--regid", lone_uid(), "--clear-groups"});
    const std::vector<std::string> args = with_bin({"-C", no_cpus, "-i", p.a, "-i", p.b});
    cmd.insert(cmd.end(), args.begin(), args.end());
    child c(cmd);
    ASSERT_TRUE(c.wait_for("hold-buf", 2, run_ms) && c.wait_for(" <- ", 1, run_ms)) << c.err();
    c.signal(SIGINT);
    EXPECT_EQ(c.finish(run_ms), 0) << c.err();
    EXPECT_THAT(messages(c.err()), Not(HasSubstr("failed, exiting")));
}

// A /proc/PID/status field in kB, -1 when absent.
long status_kb(pid_t pid, const std::string& field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

TEST(corvo_cli, buffers_are_locked_only_with_minus_h_and_refused_when_they_cannot_be)
{
    // Without -H: 2 x 81 GB of queue buffer reserved, nothing faulted in or
    // locked.
    {
        const ports p;
        running c({"-C", no_cpus, "-D", "2s", "-i", p.a, "-i", p.b});
        ASSERT_TRUE(c.ready()) << c.proc.err();
        EXPECT_EQ(status_kb(c.proc.pid(), "VmLck"), 0);
        EXPECT_LT(status_kb(c.proc.pid(), "VmRSS"), 1000000);
        const outcome r = c.stop();
        EXPECT_EQ(r.status, 0);
        EXPECT_THAT(r.msgs, HasSubstr("\tbuffer   81.291 G bytes\n"));
        EXPECT_THAT(r.msgs, Not(HasSubstr("locking memory")));
    }
    // With -H under a locked-memory limit of at most 64 MiB (the program
    // itself maps about 16 MiB with its libraries) and without
    // CAP_IPC_LOCK: 2 x 447 MB cannot be locked; the bandwidth it names
    // then fits.
    rlimit rl{};
    getrlimit(RLIMIT_MEMLOCK, &rl);
    const rlim_t want = rlim_t{64} << 20;
    const rlim_t limit = rl.rlim_max < want ? rl.rlim_max : want;
    char limit_text[64];
    scaled_str(limit, limit_text);
    const auto limited = [limit](std::vector<std::string> args) {
        std::vector<std::string> cmd = {"prlimit",
                                        "--memlock=" + std::to_string(limit) + ":" + std::to_string(limit)};
        if (geteuid() == 0)
            cmd.insert(cmd.end(),
                       {"setpriv", "--reuid", lone_uid(), "--regid", lone_uid(), "--clear-groups"});
        args = with_bin(args);
        cmd.insert(cmd.end(), args.begin(), args.end());
        return cmd;
    };
    const ports p;
    child refused(limited({"-H", "-C", no_cpus, "-D", "10ms", "-i", p.a, "-i", p.b}));
    EXPECT_EQ(refused.finish(run_ms), 1);
    const std::string m = messages(refused.err());
    // 2 x 446 919 850 bytes, each rounded up to whole pages.
    EXPECT_THAT(m, HasSubstr("-H: the queue and hold buffers need 893.8"));
    EXPECT_THAT(m, HasSubstr(std::string(" bytes, but this process may lock ") + limit_text +
                             " bytes (RLIMIT_MEMLOCK)\n"
                             "-H: would fit: "));
    EXPECT_THAT(m, Not(HasSubstr("cannot open")));
    const size_t at = m.find(" or -B ");
    if (at == std::string::npos) {
        // A hard limit below what the program itself maps leaves no bandwidth
        // that fits (seen where even root cannot raise it): say so instead.
        EXPECT_THAT(m, HasSubstr("-H: would fit: no -M or -B;")) << m;
        GTEST_SKIP() << "locked-memory hard limit " << limit_text << " is below the program's own pages";
    }
    EXPECT_THAT(m, HasSubstr("-H: would fit: at max-delay 10ms a bandwidth up to "));
    const std::string bps = m.substr(at + 7, m.find_first_of(";\n", at) - at - 7);
    EXPECT_THAT(m, HasSubstr(": -M 10ms," + bps + " or -B " + bps));

    child fits(limited({"-H", "-C", no_cpus, "-D", "10ms", "-B", bps, "-i", p.a, "-i", p.b}));
    ASSERT_TRUE(fits.wait_for("hold-buf", 2, run_ms) && fits.wait_for(" <- ", 1, run_ms)) << fits.err();
    fits.signal(SIGINT);
    EXPECT_EQ(fits.finish(run_ms), 0) << fits.err();
    EXPECT_THAT(messages(fits.err()), HasSubstr("\nlocking memory: "));
}

TEST(corvo_cli, a_thread_that_cannot_start_ends_the_owner)
{
    // One process allowed for the user: the first thread cannot be made.
    const ports p;
    std::vector<std::string> cmd = {"prlimit", "--nproc=1:1"};
    if (geteuid() == 0)  // root is not held to the limit
        cmd.insert(cmd.end(), {"setpriv", "--reuid", lone_uid(), "--regid", lone_uid(), "--clear-groups"});
    const std::vector<std::string> args = with_bin({"-C", no_cpus, "-i", p.a, "-i", p.b});
    cmd.insert(cmd.end(), args.begin(), args.end());
    child c(cmd);
    EXPECT_EQ(c.finish(run_ms), 1) << c.err();
    EXPECT_THAT(messages(c.err()), HasSubstr("\nmain cannot start the thread of direction A: "));
}

TEST(corvo_cli, ports_that_cannot_open_end_the_owner)
{
    const ports p;
    // A link end held by another process cannot be attached again.
    running first({"-C", no_cpus, "-i", p.a, "-i", p.b});
    ASSERT_TRUE(first.ready()) << first.proc.err();
    outcome r = corvo({"-C", no_cpus, "-i", p.b, "-i", p.a + "x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.msgs, HasSubstr("main cannot open " + p.b + "\n"));
    EXPECT_EQ(first.stop().status, 0);
}

// ---------------------------------------------------------------------------
// Placement defaults and -C words, in process.

TEST(corvo_cpus, defaults_for_processor_counts)
{
    struct row {
        long n;
        cpu_numbers cpus;  // A consumer, A producer, B consumer, B producer
    };
    const row rows[] = {
        {-1, {0, 0, 0, 0}},
        {0, {0, 0, 0, 0}},
        {1, {0, 0, 0, 0}},
        {2, {0, 1, 0, 1}},
        {3, {0, 1, 0, 1}},
        {4, {0, 2, 1, 3}},
        {8, {1, 5, 2, 6}},
        {12, {2, 8, 4, 10}},
        {16, {2, 10, 5, 13}},
        {64, {10, 42, 21, 53}},
        // More processors than the placement set: placed as for 1024.
        {4096, {170, 682, 341, 853}},
    };
    for (const row& r : rows)
        EXPECT_EQ(default_cpus(r.n), r.cpus) << "n = " << r.n;
}

TEST(corvo_cpus, words_of_minus_c)
{
    cpu_numbers c{9, 9, 9, 9};
    ASSERT_TRUE(parse_cpus("3", c));
    EXPECT_EQ(c, (cpu_numbers{3, 4, 5, 6}));
    ASSERT_TRUE(parse_cpus("1,5", c));
    EXPECT_EQ(c, (cpu_numbers{1, 2, 5, 6}));
    ASSERT_TRUE(parse_cpus("-1,-1,-1,-1", c));
    EXPECT_EQ(c, (cpu_numbers{-1, -1, -1, -1}));
    ASSERT_TRUE(parse_cpus("1020", c));
    EXPECT_EQ(c, (cpu_numbers{1020, 1021, 1022, 1023}));

    // A refusal leaves the numbers as they were.
    log_capture cap;
    const cpu_numbers before = c;
    EXPECT_FALSE(parse_cpus("1021", c));
    EXPECT_FALSE(parse_cpus("-2", c));  // -2, then -1, 0, 1: -2 is out
    EXPECT_FALSE(parse_cpus("1,1023", c));
    EXPECT_FALSE(parse_cpus("9223372036854775807", c));
    EXPECT_FALSE(parse_cpus("99999999999999999999", c));
    EXPECT_FALSE(parse_cpus("1,2,3", c));
    EXPECT_FALSE(parse_cpus("", c));
    EXPECT_FALSE(parse_cpus("1,2,3,4,5", c));
    EXPECT_EQ(c, before);
    EXPECT_EQ(corvo_test::child::count(cap.text(), "use -1 or 0 to 1023\n"), 4);
    EXPECT_EQ(corvo_test::child::count(cap.text(), usage), 3);
}

}  // namespace
