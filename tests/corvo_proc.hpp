// Runs a program as a child process with its standard output and standard
// error captured, bounded in time; and turns corvo's log lines into their
// message texts.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <string>
#include <vector>

namespace corvo_test {

inline const std::string bin_dir = TEST_BIN_DIR;

class child {
public:
    // Starts argv[0] (a path) with the arguments; the child gets its own
    // process group so that a stray helper can be ended with it.
    explicit child(const std::vector<std::string>& argv)
    {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
            std::vector<char*> av;
            for (const std::string& a : argv)
                av.push_back(const_cast<char*>(a.c_str()));
            av.push_back(nullptr);
            execvp(av[0], av.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        out_fd_ = out[0];
        err_fd_ = err[0];
    }
    ~child()
    {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_fd_ >= 0)
            close(out_fd_);
        if (err_fd_ >= 0)
            close(err_fd_);
    }
    child(const child&) = delete;
    child& operator=(const child&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

    // Reads until standard error holds `text` at least `times` times or
    // `ms` have passed; true when it does.
    bool wait_for(const std::string& text, int times, int ms) { return wait_in(err_, text, times, ms); }
    // The same on standard output.
    bool wait_for_out(const std::string& text, int ms) { return wait_in(out_, text, 1, ms); }

    void signal(int sig) { kill(pid_, sig); }

    // Reads until both outputs end and the child exits, at most `ms`; then
    // the exit status, 128 + signal number, or -1 after a timeout (the
    // child is killed).
    int finish(int ms)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                kill(-pid_, SIGKILL);
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                reaped_ = true;
                return -1;
            }
            if (!read_some(static_cast<int>(left.count())))
                break;
        }
        int st = 0;
        while (true) {
            pid_t r = waitpid(pid_, &st, WNOHANG);
            if (r == pid_)
                break;
            if (std::chrono::steady_clock::now() >= end) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &st, 0);
                reaped_ = true;
                return -1;
            }
            usleep(10000);
        }
        reaped_ = true;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }

    static int count(const std::string& s, const std::string& t)
    {
        int n = 0;
        for (size_t at = s.find(t); at != std::string::npos; at = s.find(t, at + t.size()))
            ++n;
        return n;
    }

private:
    bool wait_in(const std::string& where, const std::string& text, int times, int ms)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (count(where, text) < times) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !read_some(static_cast<int>(left.count())))
                return count(where, text) >= times;
        }
        return true;
    }

    // One poll over both outputs; false when both have ended or the time
    // is up.
    bool read_some(int ms)
    {
        pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
        if (out_fd_ < 0 && err_fd_ < 0)
            return false;
        if (poll(fds, 2, ms) <= 0)
            return false;
        for (int k = 0; k < 2; ++k) {
            if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[4096];
            ssize_t n = read(fds[k].fd, buf, sizeof buf);
            if (n > 0) {
                (k == 0 ? out_ : err_).append(buf, static_cast<size_t>(n));
            } else {
                close(fds[k].fd);
                (k == 0 ? out_fd_ : err_fd_) = -1;
            }
        }
        return true;
    }

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    bool reaped_ = false;
    std::string out_, err_;
};

// corvo's log lines without time stamps and source lines:
//   "sss.mmm [ lll] \ttext"       -> "text"
//   "sss.uuuuuu tag [lll] text"   -> "tag text"
// Other lines (usage text, banner continuation lines, the C library's own
// diagnostics) stay as they are.
inline std::string messages(const std::string& text)
{
    std::string out;
    size_t pos = 0;
    auto digits = [](const std::string& l, size_t from, size_t n) {
        if (l.size() < from + n)
            return false;
        for (size_t i = from; i < from + n; ++i)
            if (!std::isdigit(static_cast<unsigned char>(l[i])))
                return false;
        return true;
    };
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        const size_t end = nl == std::string::npos ? text.size() : nl;
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (digits(line, 0, 3) && line.size() > 4 && line[3] == '.') {
            if (digits(line, 4, 3) && line.compare(7, 2, " [") == 0) {
                size_t tab = line.find("] \t", 9);
                if (tab != std::string::npos)
                    line = line.substr(tab + 3);
            } else if (digits(line, 4, 6) && line.size() > 10 && line[10] == ' ') {
                size_t lb = line.find(" [", 11);
                size_t rb = lb == std::string::npos ? lb : line.find("] ", lb);
                if (rb != std::string::npos)
                    line = line.substr(11, lb - 11) + " " + line.substr(rb + 2);
            }
        }
        out += line;
        out += '\n';
    }
    return out;
}

}  // namespace corvo_test
