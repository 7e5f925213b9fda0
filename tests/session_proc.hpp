// Helpers of the session file tests: forked children with their log lines
// captured, signalled through pipes, every wait bounded.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/log.hpp"
#include "pipe/pipe_state.hpp"

namespace session_test {

// A temporary directory, removed with its files.
class temp_dir {
public:
    temp_dir()
    {
        char tmpl[] = "/tmp/corvo_session.XXXXXX";
        const char* p = mkdtemp(tmpl);
        path_ = p ? p : "";
    }
    ~temp_dir()
    {
        if (!path_.empty())
            std::system(("rm -rf '" + path_ + "'").c_str());
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const char* name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Reads all that is available on fd before the deadline, or until EOF.
inline std::string drain(int fd, int timeout_ms)
{
    std::string out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                .count());
        if (left < 0)
            left = 0;
        pollfd pf{fd, POLLIN, 0};
        if (poll(&pf, 1, left) <= 0)
            break;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// A forked child running fn(ctl), where ctl lets it wait for the parent's
// signals and send its own.  The child's log lines go to a pipe.
class child {
public:
    struct control {
        int from_parent;
        int to_parent;
        // Waits for one signal byte from the parent (false after 10 s).
        bool wait_go() const
        {
            pollfd pf{from_parent, POLLIN, 0};
            char c;
            return poll(&pf, 1, 10000) == 1 && read(from_parent, &c, 1) == 1;
        }
        // True when the parent has sent a signal byte (does not wait).
        bool poll_go() const
        {
            pollfd pf{from_parent, POLLIN, 0};
            char c;
            return poll(&pf, 1, 0) == 1 && read(from_parent, &c, 1) == 1;
        }
        void tell(char c = 'r') const { [[maybe_unused]] ssize_t n = write(to_parent, &c, 1); }
    };

    explicit child(const std::function<int(const control&)>& fn)
    {
        int log_pipe[2], down[2], up[2];
        if (pipe(log_pipe) != 0 || pipe(down) != 0 || pipe(up) != 0)
            return;
        std::fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            close(log_pipe[0]);
            close(down[1]);
            close(up[0]);
            common::set_log_fd(log_pipe[1]);
            dup2(log_pipe[1], 2);
            control ctl{down[0], up[1]};
            _exit(fn(ctl));
        }
        close(log_pipe[1]);
        close(down[0]);
        close(up[1]);
        log_ = log_pipe[0];
        to_ = down[1];
        from_ = up[0];
    }
    ~child()
    {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {log_, to_, from_})
            if (fd >= 0)
                close(fd);
    }
    child(const child&) = delete;
    child& operator=(const child&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    void go(char c = 'g') const { [[maybe_unused]] ssize_t n = write(to_, &c, 1); }
    // Waits for the child's signal byte; 0 after timeout_ms.
    char wait_signal(int timeout_ms = 10000) const
    {
        pollfd pf{from_, POLLIN, 0};
        char c = 0;
        if (poll(&pf, 1, timeout_ms) == 1 && read(from_, &c, 1) == 1)
            return c;
        return 0;
    }
    // Skips signals until c arrives; false after timeout_ms.
    bool wait_for(char c, int timeout_ms = 10000) const
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < end) {
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                    .count());
            char got = wait_signal(left > 0 ? left : 1);
            if (got == c)
                return true;
            if (got == 0)
                return false;
        }
        return false;
    }
    // True while the child has not ended.
    bool running()
    {
        if (status_ >= 0)
            return false;
        int st;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return false;
        }
        return true;
    }
    // The exit status (128 + signal when killed); -1 and a kill when the
    // child has not ended within timeout_ms.
    int finish(int timeout_ms = 10000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (running()) {
            if (std::chrono::steady_clock::now() > end) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                status_ = -1;
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return status_;
    }
    // What the child has logged (call after finish).
    std::string log()
    {
        log_text_ += drain(log_, 200);
        return log_text_;
    }
    // Waits until the child's log holds needle at least `times` times.
    bool wait_log(const std::string& needle, int times = 1, int timeout_ms = 10000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            log_text_ += drain(log_, 0);
            int n = 0;
            for (size_t pos = log_text_.find(needle); pos != std::string::npos;
                 pos = log_text_.find(needle, pos + 1))
                ++n;
            if (n >= times)
                return true;
            if (std::chrono::steady_clock::now() > end || !running())
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    int log_ = -1, to_ = -1, from_ = -1;
    std::string log_text_;
};

// Runs a program in a child: its standard error (and, with out_too, its
// standard output) goes to the child's log.
inline std::function<int(const child::control&)> program(std::vector<std::string> args, bool out_too = false)
{
    return [args = std::move(args), out_too](const child::control&) {
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (out_too)
            dup2(2, 1);
        execv(argv[0], argv.data());
        std::perror("execv");
        return 127;
    };
}

// A read-write view of a session file from the test process.  It takes no
// lock, as an outside reader would.
class file_view {
public:
    explicit file_view(const std::string& path)
    {
        int fd = open(path.c_str(), O_RDWR);
        if (fd < 0)
            return;
        void* m = mmap(nullptr, pipes::session_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        if (m != MAP_FAILED)
            layout_ = static_cast<pipes::session_layout*>(m);
    }
    ~file_view()
    {
        if (layout_)
            munmap(layout_, pipes::session_bytes);
    }
    file_view(const file_view&) = delete;
    file_view& operator=(const file_view&) = delete;
    pipes::session_layout* operator->() const { return layout_; }
    pipes::session_layout* get() const { return layout_; }
    explicit operator bool() const { return layout_ != nullptr; }

private:
    pipes::session_layout* layout_ = nullptr;
};

// Offsets of the session layout, as a script reading the file uses them.
constexpr off_t area_off(int d) { return 520 + d * 262272; }
constexpr off_t instance_off(int d, int i) { return area_off(d) + 32 + i * 131120; }
constexpr off_t ack_off(int d) { return 525064 + 8 * d; }

// Polls until pred holds; false after timeout_ms.
template <typename F>
bool eventually(F pred, int timeout_ms = 5000)
{
    for (int t = 0; t < timeout_ms; t += 2) {
        if (pred())
            return true;
        usleep(2000);
    }
    return pred();
}

// The bytes of a file at an offset, read with pread (no mapping).
template <typename T>
T read_at(const std::string& path, off_t off)
{
    T v{};
    int fd = open(path.c_str(), O_RDONLY);
    if (fd >= 0) {
        if (pread(fd, &v, sizeof v, off) != static_cast<ssize_t>(sizeof v))
            v = T{};
        close(fd);
    }
    return v;
}

// The two shared-memory links of one test, named after the test and the
// process: probe <-> ifa, ifb <-> probe.
struct links {
    std::string a, b;
    explicit links(const char* tag)
    {
        const std::string base = std::string("vale") + tag + std::to_string(getpid());
        a = base + "a";
        b = base + "b";
    }
    std::string ifa() const { return a + ":emu"; }
    std::string ifb() const { return b + ":emu"; }
    std::string sender() const { return a + ":tx"; }
    std::string receiver() const { return b + ":rx"; }
    ~links()
    {
        for (const auto& sw : {a, b})
            unlink(("/dev/shm/netport-vale-" + sw.substr(4)).c_str());
    }
};

}  // namespace session_test
