// Damage to the session file from outside, with the real programs over
// shared-memory links and no traffic: what a client leaves behind, a file
// cut short under the owner and under corvo-stat.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "pipe/pipe_state.hpp"
#include "session_proc.hpp"

using namespace common;
using namespace pipes;

using namespace session_test;

namespace {

const std::string bin = TEST_BIN_DIR;
const std::string corvo = bin + "/corvo";
const std::string corvo_stat = bin + "/corvo-stat";

struct owner_fixture : ::testing::Test {
    temp_dir dir;
    std::string file = dir.file("emu.session");
    std::string sw = "valefu" + std::to_string(getpid());
    ~owner_fixture() override
    {
        for (const char* s : {"a", "b"})
            unlink(("/dev/shm/netport-vale-" + sw.substr(4) + s).c_str());
    }
    std::vector<std::string> args(std::vector<std::string> extra) const
    {
        std::vector<std::string> v{corvo, "-C",         "-1,-1,-1,-1", "-s",        file,
                                   "-i",  sw + "a:emu", "-i",          sw + "b:emu"};
        v.insert(v.end(), extra.begin(), extra.end());
        return v;
    }
    int client(std::vector<std::string> extra) const
    {
        child c(program(args(std::move(extra))));
        return c.finish(10000);
    }
};

}  // namespace

// Instance 0 holds the owner's -O and -P; the first client sets both to 0 in
// instance 1, the second writes instance 0 again without them: it takes the
// values in force (0), never the stale ones left in the spare instance.
TEST_F(owner_fixture, a_publication_keeps_the_offset_and_overlap_in_force_not_the_spares)
{
    child owner(program(args({"-D", "1ms", "-O", "500us", "-P", "1", "-M", "100ms,1G"})));
    ASSERT_TRUE(owner.wait_log("hold-buf", 2)) << owner.log();
    EXPECT_EQ(read_at<uint64_t>(file, instance_off(0, 0) + 32), 500000u);
    EXPECT_EQ(client({"-D", "2ms", "-O", "0", "-P", "0"}), 0);  // instance 1
    EXPECT_EQ(client({"-D", "3ms"}), 0);                        // instance 0 again
    for (int d = 0; d < 2; ++d) {
        EXPECT_EQ(read_at<uint64_t>(file, area_off(d) + 24), 0u);
        EXPECT_EQ(read_at<uint64_t>(file, instance_off(d, 0) + 32), 0u) << "delay_offset of " << d;
        EXPECT_EQ(read_at<uint32_t>(file, instance_off(d, 0) + 40), 0u) << "drop_overlap of " << d;
    }
    kill(owner.pid(), SIGINT);
    EXPECT_EQ(owner.finish(10000), 0) << owner.log();
}

// Cut to nothing under a running owner: it restores the length and the
// version, keeps running, and the next client publishes.
TEST_F(owner_fixture, owner_restores_a_session_file_cut_short)
{
    child owner(program(args({"-D", "1ms", "-M", "100ms,1G"})));
    ASSERT_TRUE(owner.wait_log("hold-buf", 2)) << owner.log();
    ASSERT_EQ(truncate(file.c_str(), 0), 0);
    struct stat st {};
    EXPECT_TRUE(
        eventually([&] { return stat(file.c_str(), &st) == 0 && st.st_size == off_t(session_bytes); }));
    EXPECT_TRUE(eventually([&] { return read_at<uint32_t>(file, 512) == session_version; }));
    EXPECT_TRUE(owner.running()) << owner.log();
    EXPECT_NE(owner.log().find("its length is restored"), std::string::npos) << owner.log();
    EXPECT_EQ(client({"-D", "5ms"}), 0);
    EXPECT_TRUE(eventually([&] { return read_at<uint64_t>(file, ack_off(0)) == 1; }));
    kill(owner.pid(), SIGINT);
    EXPECT_EQ(owner.finish(10000), 0) << owner.log();
}

// Standard error's reader is gone before corvo writes a line: every line
// fails with EPIPE, and corvo runs on and ends on SIGINT with status 0.
TEST_F(owner_fixture, a_closed_standard_error_does_not_end_the_emulator)
{
    int err[2];
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    const std::vector<std::string> argv = args({"-D", "1ms"});
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(err[1], 2);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        std::vector<char*> av;
        for (const std::string& a : argv)
            av.push_back(const_cast<char*>(a.c_str()));
        av.push_back(nullptr);
        execv(av[0], av.data());
        _exit(127);
    }
    close(err[0]);
    close(err[1]);
    auto status_within = [pid](int ms) {
        int st = 0;
        for (int i = 0; i < ms / 10; ++i) {
            if (waitpid(pid, &st, WNOHANG) == pid)
                return st;
            usleep(10000);
        }
        return -1;  // still running
    };
    // Start-up, the direction banners and a statistics line or two.
    const int early = status_within(2500);
    if (early != -1)
        ADD_FAILURE() << "corvo ended: " << (WIFSIGNALED(early) ? "signal " : "status ")
                      << (WIFSIGNALED(early) ? WTERMSIG(early) : WEXITSTATUS(early));
    kill(pid, SIGINT);
    const int st = early != -1 ? early : status_within(10000);
    if (st == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    EXPECT_TRUE(st != -1 && WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
}

// With no owner to restore it, corvo-stat reports the cut and ends.
TEST(fault_stat, corvo_stat_reports_a_file_cut_short)
{
    temp_dir dir;
    const std::string file = dir.file("emu.session");
    {
        std::vector<unsigned char> bytes(session_bytes, 0);
        const uint32_t v = session_version;
        std::memcpy(bytes.data() + 512, &v, 4);
        FILE* f = std::fopen(file.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    child stat(program({corvo_stat, "-n", "20", file}, true));
    ASSERT_TRUE(stat.wait_log("B->A cons pkts 0", 1)) << stat.log();
    ASSERT_EQ(truncate(file.c_str(), 0), 0);
    EXPECT_EQ(stat.finish(10000), 1) << stat.log();
    EXPECT_NE(stat.log().find("was cut short"), std::string::npos) << stat.log();
}
