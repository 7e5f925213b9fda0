// What corvo does with a session file path it must not trust, and with
// standard descriptors it finds closed: refusals leave every byte as it was,
// and log lines never land in a file.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/std_fds.hpp"
#include "pipe/pipe_state.hpp"
#include "session_proc.hpp"

using namespace common;
using namespace pipes;

using namespace session_test;

namespace {

const std::string bin = TEST_BIN_DIR;
const std::string corvo_bin = bin + "/corvo";

std::string contents(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A session file as an earlier owner left it: version 1, counters and
// limits set, A's instance 1 in force.
std::string finished_session(uint32_t version = session_version)
{
    std::string s(session_bytes, '\0');
    auto* l = reinterpret_cast<session_layout*>(s.data());
    l->header.counters[0].pkts = 1234;
    l->header.counters[3].drop_pkts = 7;
    l->header.version = version;
    l->area[0].max_delay = 100000000;
    l->area[0].active_instance = 1;
    return s;
}

// One refusal: what the target holds, what `make` does to it, the command
// line after the path, and the line expected.  `target` is the file whose
// bytes must not change; -s names it, or the link or FIFO `make` creates
// beside it.
struct refusal {
    const char* name;
    std::string (*target_bytes)();                                     // initial contents of the target
    void (*make)(const std::string& target, const std::string& path);  // null: nothing to make
    std::vector<std::string> args;
    const char* message;
    bool root_only;
};
void PrintTo(const refusal& r, std::ostream* os) { *os << r.name; }

std::string keep() { return "keep\n"; }
std::string empty() { return ""; }
std::string session() { return finished_session(); }

const std::vector<std::string> same_ports{"-i", "valefs9:a", "-i", "valefs9:a"};
const std::vector<std::string> stop{"-a"};

void link_to(const std::string& target, const std::string& path)
{
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
}
void fifo(const std::string&, const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }
void other_user(const std::string& target, const std::string&)
{
    ASSERT_EQ(chown(target.c_str(), 12345, 12345), 0);
}

const refusal refusals[] = {
    {"link_then_bad_options", keep, link_to, same_ports, "refusing PATH: it is a symbolic link\n", false},
    {"link_then_stop", keep, link_to, stop, "refusing PATH: it is a symbolic link\n", false},
    {"link_to_a_session", session, link_to, stop, "refusing PATH: it is a symbolic link\n", false},
    {"fifo", empty, fifo, stop, "refusing PATH: not a regular file\n", false},
    {"text_file", keep, nullptr, same_ports,
     "refusing PATH: 5 bytes is not a session file (empty or 525184 bytes)\n", false},
    {"other_version", [] { return finished_session(7); }, nullptr, stop,
     "refusing PATH: not a session file (version 7, expected 1)\n", false},
    {"other_users_session", session, other_user, stop, "refusing PATH: it belongs to uid 12345, not to ",
     true},
    {"other_users_empty_file", empty, other_user, same_ports,
     "refusing PATH: it belongs to uid 12345, not to ", true},
    // Options refused by a would-be owner: the session stays as it ended.
    {"finished_session_ports_missing", session, nullptr, {"-D", "10ms"}, "missing interface(s)\n", false},
    {"finished_session_same_ports", session, nullptr, same_ports, "must specify two different interfaces",
     false},
    {"finished_session_model_error",
     session,
     nullptr,
     {"-i", "valefs9:a", "-i", "valefs9:b", "-C", "-1", "-D", "bogus"},
     "exiting due to 2 error(s)\n",
     false},
    {"finished_session_limit_error",
     session,
     nullptr,
     {"-i", "valefs9:a", "-i", "valefs9:b", "-C", "-1", "-M", "bogus"},
     "invalid max-delay: bogus\n",
     false},
    {"empty_file_model_error",
     empty,
     nullptr,
     {"-i", "valefs9:a", "-i", "valefs9:b", "-C", "-1", "-L", "2"},
     "exiting due to 2 error(s)\n",
     false},
};

struct file_refusal : ::testing::TestWithParam<refusal> {};

}  // namespace

TEST_P(file_refusal, ends_with_a_message_and_writes_nothing)
{
    const refusal& r = GetParam();
    if (r.root_only && geteuid() != 0)
        GTEST_SKIP() << "needs root to give a file to another user";
    temp_dir dir;
    const std::string target = dir.file("target");
    const std::string path = r.make && r.make != other_user ? dir.file("named") : target;
    const std::string before = r.target_bytes();
    write_file(target, before);
    if (r.make)
        r.make(target, path);

    std::vector<std::string> argv{corvo_bin, "-s", path};
    argv.insert(argv.end(), r.args.begin(), r.args.end());
    child c(program(argv));
    EXPECT_EQ(c.finish(10000), 1) << c.log();
    std::string message = r.message;
    if (const size_t at = message.find("PATH"); at != std::string::npos)
        message.replace(at, 4, path);
    EXPECT_NE(c.log().find(message), std::string::npos) << c.log();
    EXPECT_TRUE(contents(target) == before) << "the target was written";
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    if (r.make == link_to) {
        EXPECT_TRUE(S_ISLNK(st.st_mode));
    }
}

INSTANTIATE_TEST_SUITE_P(rows, file_refusal, ::testing::ValuesIn(refusals),
                         [](const ::testing::TestParamInfo<refusal>& i) {
                             return std::string(i.param.name);
                         });

// With nobody running, -a on a finished session keeps its counters and
// adds the stop words; an empty file (as mktemp makes) becomes a session.
TEST(file_safety, stop_without_owner_keeps_a_finished_session)
{
    temp_dir dir;
    const std::string file = dir.file("done.session");
    std::string expected = finished_session();
    write_file(file, expected);
    child c(program({corvo_bin, "-s", file, "-a"}));
    EXPECT_EQ(c.finish(10000), 0) << c.log();
    auto* l = reinterpret_cast<session_layout*>(expected.data());
    l->area[0].active_instance = stop_command;
    l->area[1].active_instance = stop_command;
    EXPECT_TRUE(contents(file) == expected) << "more than the stop words changed";

    const std::string fresh = dir.file("fresh.session");
    write_file(fresh, "");
    child f(program({corvo_bin, "-s", fresh, "-a"}));
    EXPECT_EQ(f.finish(10000), 0) << f.log();
    EXPECT_EQ(contents(fresh).size(), session_bytes);
    EXPECT_EQ(read_at<uint32_t>(fresh, 512), session_version);
    EXPECT_EQ(read_at<uint64_t>(fresh, area_off(1) + 24), stop_command);
}

// The helper every program calls first: closed descriptors 0 to 2 become
// /dev/null, open ones stay, and the next file opened gets 3 or above.
TEST(file_safety, closed_standard_descriptors_become_dev_null)
{
    child c([](const child::control&) {
        struct stat null_st {};
        if (stat("/dev/null", &null_st) != 0)
            return 10;
        const int keep_out = dup(1);
        close(0);
        close(2);
        if (!std_fds_open())
            return 11;
        for (int fd : {0, 2}) {
            struct stat st {};
            if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || st.st_rdev != null_st.st_rdev)
                return 12 + fd;
        }
        struct stat out_st {
        }, kept_st{};
        if (fstat(1, &out_st) != 0 || fstat(keep_out, &kept_st) != 0 || out_st.st_ino != kept_st.st_ino)
            return 15;
        const int next = open("/dev/null", O_RDONLY);
        return next >= 3 ? 0 : 16;
    });
    EXPECT_EQ(c.finish(), 0);
}

// corvo started with standard error closed (2>&-): its log lines must not
// go into the session file it opens, and it still stops on -a.
TEST(file_safety, closed_standard_error_keeps_log_lines_out_of_the_session_file)
{
    temp_dir dir;
    const std::string file = dir.file("emu.session");
    links l("fd");
    child owner([&](const child::control&) {
        close(2);
        return program({corvo_bin, "-s", file, "-i", l.ifa(), "-i", l.ifb(), "-C", "-1,-1,-1,-1", "-D",
                        "1ms"})(child::control{});
    });
    ASSERT_TRUE(eventually([&] { return read_at<uint32_t>(file, 512) == session_version; }, 10000));
    usleep(1500000);  // start-up done: both banners and a statistics line are out
    const std::string bytes = contents(file);
    ASSERT_EQ(bytes.size(), session_bytes);
    EXPECT_EQ(bytes.find("hold-buf"), std::string::npos) << "log text in the session file";
    EXPECT_EQ(bytes.find("running on cores"), std::string::npos) << "log text in the session file";
    EXPECT_EQ(bytes.substr(0, 512), std::string(512, '\0')) << "counters written without traffic";
    EXPECT_TRUE(owner.running());
    child stopper(program({corvo_bin, "-s", file, "-a"}));
    EXPECT_EQ(stopper.finish(10000), 0) << stopper.log();
    EXPECT_EQ(owner.finish(10000), 0);
}
