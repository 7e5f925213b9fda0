// The shared segment of a "vale" link as a file in /dev/shm that other
// users and processes can reach: who may attach to it, what a segment cut
// short under a running program does, and when the file goes away.
#include "netport/netport.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "session_proc.hpp"

using namespace common;
using namespace pipes;

using namespace netport;

namespace {

std::string sw_name(const std::string& tag) { return "ls" + tag + std::to_string(getpid()); }
std::string seg_path(const std::string& sw) { return "/dev/shm/netport-vale-" + sw; }
bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

struct port_ptr {
    port* p = nullptr;
    explicit port_ptr(port* q = nullptr) : p(q) {}
    port_ptr(const port_ptr&) = delete;
    port_ptr& operator=(const port_ptr&) = delete;
    ~port_ptr() { reset(); }
    void reset()
    {
        nmport_close(p);
        p = nullptr;
    }
    port* get() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

port* open_port(const std::string& name) { return nmport_open(name.c_str()); }

// Sends n frames of len bytes on p and hands them over; the frames that
// the port took.
int send_frames(port* p, int n, size_t len)
{
    std::vector<unsigned char> f(len, 0x5a);
    int took = 0;
    for (int i = 0; i < n; ++i)
        took += nmport_inject(p, f.data(), f.size()) > 0;
    nmport_txsync(p);
    return took;
}

// Frames that arrive on p within timeout_ms, handing the slots back.
int receive_frames(port* p, int want, int timeout_ms)
{
    int got = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (got < want && std::chrono::steady_clock::now() < end) {
        nmport_rx_wait(p, 5'000'000);
        nmport_rxsync(p);
        ring* r = nmport_rx_ring(p);
        while (r->head != r->tail) {
            if ((r->slots[r->head].flags & NS_MOREFRAG) == 0)
                ++got;
            r->head = r->cur = (r->head + 1) % r->num_slots;
        }
    }
    nmport_rxsync(p);
    return got;
}

size_t count_of(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1))
        ++n;
    return n;
}

// Standard error of this process goes to a file while it lives.
class stderr_capture {
public:
    stderr_capture()
    {
        char tmpl[] = "/tmp/link_segment_err.XXXXXX";
        fd_ = mkstemp(tmpl);
        unlink(tmpl);
        saved_ = dup(2);
        dup2(fd_, 2);
    }
    ~stderr_capture()
    {
        dup2(saved_, 2);
        close(saved_);
        close(fd_);
    }
    std::string text() const
    {
        std::string out;
        char buf[4096];
        ssize_t n;
        for (off_t off = 0; (n = pread(fd_, buf, sizeof buf, off)) > 0; off += n)
            out.append(buf, size_t(n));
        return out;
    }

private:
    int fd_ = -1, saved_ = -1;
};

}  // namespace

// Whatever the umask, the first end creates the file as the caller's own
// with mode 0600.
TEST(link_segment, created_by_the_first_end_as_its_own_with_mode_0600)
{
    for (mode_t mask : {mode_t(0), mode_t(022), mode_t(0277)}) {
        const std::string sw = sw_name("mode" + std::to_string(mask));
        const mode_t old = umask(mask);
        port_ptr a(open_port("vale" + sw + ":a"));
        umask(old);
        ASSERT_TRUE(a) << nmport_errmsg();
        struct stat st {};
        ASSERT_EQ(stat(seg_path(sw).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << "umask " << mask;
        EXPECT_EQ(st.st_uid, geteuid());
        port_ptr b(open_port("vale" + sw + ":b"));
        EXPECT_TRUE(b) << nmport_errmsg();
    }
}

struct refused_row {
    const char* what;
    bool other_user;  // owned by nobody (65534): needs root to make
    mode_t mode;
    bool symlink;  // the path is a symbolic link to such a file
    const char* message;
};
void PrintTo(const refused_row& r, std::ostream* os) { *os << r.what; }

class link_segment_refused : public ::testing::TestWithParam<refused_row> {};

// A file found at the segment's path is attached to only when it is the
// caller's own regular file with mode 0600; otherwise the open fails with
// a message naming the file and its owner, and the file is left as it was.
TEST_P(link_segment_refused, with_a_message_and_nothing_written)
{
    const refused_row& row = GetParam();
    if (row.other_user && geteuid() != 0)
        GTEST_SKIP() << "needs root to give a file to another user";
    const std::string sw = sw_name("ref");
    const std::string path = seg_path(sw);
    const std::string file = row.symlink ? path + ".target" : path;
    {
        const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0) << file << ": " << strerror(errno);
        ASSERT_EQ(write(fd, "keep\n", 5), 5);
        ASSERT_EQ(fchmod(fd, row.mode), 0);
        if (row.other_user) {
            ASSERT_EQ(fchown(fd, 65534, 65534), 0);
        }
        close(fd);
    }
    if (row.symlink) {
        ASSERT_EQ(symlink(file.c_str(), path.c_str()), 0);
    }

    port_ptr a(open_port("vale" + sw + ":a"));
    const std::string msg = nmport_errmsg();
    EXPECT_FALSE(a) << row.what;
    EXPECT_NE(msg.find(path), std::string::npos) << msg;
    EXPECT_NE(msg.find(row.message), std::string::npos) << msg;
    if (row.other_user) {
        const passwd* pw = getpwuid(65534);
        const std::string owner = pw ? pw->pw_name : "uid 65534";
        EXPECT_NE(msg.find("belongs to " + owner), std::string::npos) << msg;
    }
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 5) << "the refused file was written";
    EXPECT_EQ(st.st_mode & 07777, row.mode);
    unlink(path.c_str());
    unlink(file.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    rows, link_segment_refused,
    ::testing::Values(refused_row{"another user's, mode 0666", true, 0666, false, "with mode 0666"},
                      refused_row{"another user's, mode 0600", true, 0600, false, "with mode 0600"},
                      refused_row{"own, mode 0666", false, 0666, false, "with mode 0666"},
                      refused_row{"own, mode 0644", false, 0644, false, "with mode 0644"},
                      refused_row{"a symbolic link", false, 0600, true, "symbolic link"}));

// The file goes with the last end: closed in order, left by a process that
// exits without closing, and (after a killed process, whose file stays)
// on the next life's close.
TEST(link_segment, removed_when_the_last_end_leaves)
{
    const std::string sw = sw_name("rm");
    const std::string path = seg_path(sw);
    {
        port_ptr a(open_port("vale" + sw + ":a")), b(open_port("vale" + sw + ":b"));
        ASSERT_TRUE(a && b) << nmport_errmsg();
        a.reset();
        EXPECT_TRUE(exists(path)) << "removed while b is attached";
    }
    EXPECT_FALSE(exists(path)) << "left after both ends closed";

    // A process that ends through exit() without closing its ports.
    auto exit_with = [&](std::vector<std::string> ends, bool killed) {
        const pid_t pid = fork();
        if (pid == 0) {
            for (const auto& e : ends)
                if (open_port("vale" + sw + ":" + e) == nullptr)
                    _exit(3);
            if (killed)
                raise(SIGKILL);
            std::exit(0);
        }
        int st = 0;
        waitpid(pid, &st, 0);
        return st;
    };
    int st = exit_with({"a", "b"}, false);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    EXPECT_FALSE(exists(path)) << "left by a process that held both ends";

    {
        port_ptr b(open_port("vale" + sw + ":b"));
        ASSERT_TRUE(b) << nmport_errmsg();
        st = exit_with({"a"}, false);
        ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
        EXPECT_TRUE(exists(path)) << "removed under an end still attached";
        EXPECT_FALSE(nmport_peer_attached(b.get()));
    }
    EXPECT_FALSE(exists(path));

    st = exit_with({"a"}, true);
    ASSERT_TRUE(WIFSIGNALED(st));
    EXPECT_TRUE(exists(path)) << "a killed process cannot remove its file";
    {
        port_ptr a(open_port("vale" + sw + ":a"));
        EXPECT_TRUE(a) << "the file of a killed process is taken again: " << nmport_errmsg();
    }
    EXPECT_FALSE(exists(path));
}

// Cut to nothing by another process, idle and then under traffic: this
// process lives on, each end says so once, the link drops (and counts)
// what is sent, and another link of the process keeps carrying frames.
TEST(link_segment, cut_short_under_idle_and_sending_ends)
{
    const std::string sw = sw_name("cut"), other = sw_name("ok");
    stderr_capture err;
    port_ptr a(open_port("vale" + sw + ":a")), b(open_port("vale" + sw + ":b"));
    port_ptr c(open_port("vale" + other + ":a")), d(open_port("vale" + other + ":b"));
    ASSERT_TRUE(a && b && c && d) << nmport_errmsg();
    ASSERT_EQ(send_frames(b.get(), 10, 100), 10);
    ASSERT_EQ(receive_frames(a.get(), 10, 2000), 10);

    // Idle: the waiting receiver finds the file cut short.
    ASSERT_EQ(truncate(seg_path(sw).c_str(), 0), 0);
    for (int i = 0; i < 5; ++i)
        nmport_rx_wait(a.get(), 30'000'000);
    EXPECT_EQ(
        count_of(err.text(), "port vale" + sw + ":a: shared segment " + seg_path(sw) + " was cut short"), 1u)
        << err.text();
    EXPECT_EQ(send_frames(b.get(), 20, 100), 0);
    EXPECT_EQ(nmport_drops(b.get()).damaged, 20u);
    EXPECT_EQ(receive_frames(a.get(), 1, 100), 0);

    // Sending: a sender and a receiver at full speed on a new life of the
    // file, cut in the middle.
    a.reset();
    b.reset();
    a.p = open_port("vale" + sw + ":a");
    b.p = open_port("vale" + sw + ":b");
    ASSERT_TRUE(a && b) << nmport_errmsg();
    std::atomic<bool> stop{false};
    std::atomic<int> received{0};
    std::thread rx([&] {
        while (!stop)
            received += receive_frames(a.get(), 1 << 30, 20);
    });
    std::thread tx([&] {
        std::vector<unsigned char> f(300, 1);
        while (!stop) {
            for (int i = 0; i < 64; ++i)
                nmport_inject(b.get(), f.data(), f.size());
            nmport_txsync(b.get());
        }
    });
    while (received < 1000)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(truncate(seg_path(sw).c_str(), 0), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop = true;
    tx.join();
    rx.join();
    EXPECT_GT(nmport_drops(b.get()).damaged, 0u);
    const std::string text = err.text();
    EXPECT_EQ(count_of(text, "port vale" + sw + ":a: shared segment"), 2u) << "one line per life\n" << text;
    EXPECT_EQ(count_of(text, "port vale" + sw + ":b: shared segment"), 2u) << text;

    // The other link.
    EXPECT_EQ(send_frames(d.get(), 30, 100), 30);
    EXPECT_EQ(receive_frames(c.get(), 30, 2000), 30);
}

namespace {

// A bus handler installed after the port layer's, that hands every fault
// on to the one it found (as corvo's session file does).
struct sigaction chained_previous;

void chaining_sigbus(int sig, siginfo_t* si, void* ctx)
{
    if ((chained_previous.sa_flags & SA_SIGINFO) != 0 && chained_previous.sa_sigaction != nullptr) {
        chained_previous.sa_sigaction(sig, si, ctx);
        return;
    }
    signal(SIGBUS, SIG_DFL);
    raise(SIGBUS);
}

// Maps a file of no length and touches it: a bus error at an address no
// handler knows.
[[noreturn]] void foreign_bus_error()
{
    char tmpl[] = "/tmp/link_segment_bus.XXXXXX";
    const int fd = mkstemp(tmpl);
    unlink(tmpl);
    auto* m = static_cast<volatile unsigned char*>(mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
    if (m != MAP_FAILED)
        (void)m[0];
    _exit(0);
}

}  // namespace

// A foreign bus error with a later handler chained over the port layer's
// (ports opened before and after it) ends the process as a bus error:
// each handler passes it on once, none takes the other's place.
TEST(link_segment, foreign_bus_error_passes_through_a_later_chained_handler)
{
    const std::string sw = sw_name("bus");
    EXPECT_EXIT(
        {
            // The chain ends in the default action, whatever a sanitizer
            // installed before main.
            signal(SIGBUS, SIG_DFL);
            port_ptr a(open_port("vale" + sw + ":a"));
            struct sigaction sa {};
            sa.sa_sigaction = chaining_sigbus;
            sa.sa_flags = SA_SIGINFO | SA_NODEFER;
            sigemptyset(&sa.sa_mask);
            sigaction(SIGBUS, &sa, &chained_previous);
            port_ptr b(open_port("vale" + sw + ":b"));
            if (!a || !b)
                _exit(3);
            foreign_bus_error();
        },
        testing::KilledBySignal(SIGBUS), "");
    unlink(seg_path(sw).c_str());  // left by the killed child
}

// corvo between two links, one cut short while it idles: it says so once,
// keeps forwarding the other direction's frames into its counters, ends
// with status 0 on SIGINT and leaves no segment behind.
TEST(link_segment, corvo_lives_on_with_a_link_cut_short_and_leaves_no_segment)
{
    using namespace session_test;
    temp_dir dir;
    const std::string file = dir.file("emu.session");
    const std::string g1 = sw_name("g1"), g2 = sw_name("g2");
    // A late limit of 1 s: a loaded machine must not turn frames into late drops.
    child corvo(program({std::string(TEST_BIN_DIR) + "/corvo", "-v", "-C", "-1,-1,-1,-1", "-d", "1s", "-s",
                         file, "-i", "vale" + g1 + ":emu", "-i", "vale" + g2 + ":emu"}));
    port_ptr t1(open_port("vale" + g1 + ":t")), t2(open_port("vale" + g2 + ":t"));
    ASSERT_TRUE(t1 && t2) << nmport_errmsg();
    // The statistics lines count from the first one on.
    ASSERT_TRUE(corvo.wait_log(" maxq ")) << corvo.log();
    ASSERT_TRUE(eventually([&] { return nmport_peer_attached(t1.get()) && nmport_peer_attached(t2.get()); }));
    ASSERT_EQ(send_frames(t1.get(), 50, 200), 50);
    EXPECT_EQ(receive_frames(t2.get(), 50, 3000), 50) << "A before the cut";

    ASSERT_EQ(truncate(seg_path(g1).c_str(), 0), 0);
    ASSERT_TRUE(corvo.wait_log("was cut short")) << corvo.log();
    ASSERT_EQ(send_frames(t2.get(), 40, 200), 40);
    file_view v(file);
    ASSERT_TRUE(v);
    const pipe_counters& prod_b = v->header.counters[2];
    const pipe_counters& cons_b = v->header.counters[3];
    EXPECT_TRUE(eventually([&] { return counter_read(cons_b.port_drop_pkts) == 40; })) << corvo.log();
    EXPECT_EQ(counter_read(prod_b.pkts), 40u);
    EXPECT_EQ(counter_read(cons_b.pkts), 0u) << "dropped frames counted as sent";
    EXPECT_EQ(counter_read(cons_b.port_drop_bytes), 40u * 200);
    ASSERT_TRUE(corvo.wait_log("port drops")) << corvo.log();
    EXPECT_TRUE(corvo.running());

    t1.reset();
    t2.reset();
    EXPECT_TRUE(exists(seg_path(g1)) && exists(seg_path(g2))) << "removed while corvo is attached";
    kill(corvo.pid(), SIGINT);
    EXPECT_EQ(corvo.finish(10000), 0) << corvo.log();
    const std::string log = corvo.log();
    EXPECT_EQ(count_of(log, "was cut short"), 1u) << log;
    std::smatch m;
    EXPECT_TRUE(std::regex_search(log, m, std::regex(R"(B: short 0 out \d+ \(no peer 0 damaged [1-9]\d*\))")))
        << log;
    EXPECT_FALSE(exists(seg_path(g1))) << "segment left after corvo's normal exit";
    EXPECT_FALSE(exists(seg_path(g2))) << "segment left after corvo's normal exit";
}
