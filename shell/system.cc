#include "shell/system.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace cshell {

namespace fs = std::filesystem;

namespace {

// Child side before exec or fn: default signal handling, nothing blocked.
void child_signals()
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGPIPE})
        signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

void put(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t n = write(fd, text.data(), text.size());
        if (n <= 0)
            return;
        text.remove_prefix(static_cast<size_t>(n));
    }
}

// Reads fd to its end (at most until `end`) and reaps pid.
ran collect(pid_t pid, int fd, std::chrono::steady_clock::time_point end)
{
    ran r;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            r.output += "(no answer within 20 s)";
            break;
        }
        pollfd p{fd, POLLIN, 0};
        const int n = poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            continue;
        char buf[4096];
        const ssize_t got = read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        r.output.append(buf, static_cast<size_t>(got));
    }
    close(fd);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    while (!r.output.empty() && (r.output.back() == '\n' || r.output.back() == ' '))
        r.output.pop_back();
    return r;
}

std::string errno_text(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

std::string find_program(const std::string& name)
{
    std::string dirs = std::getenv("PATH") ? std::getenv("PATH") : "";
    dirs += ":/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
    std::istringstream in(dirs);
    for (std::string d; std::getline(in, d, ':');) {
        if (d.empty())
            continue;
        const std::string p = d + "/" + name;
        if (access(p.c_str(), X_OK) == 0)
            return p;
    }
    return {};
}

std::string command_line(const std::vector<std::string>& argv)
{
    std::string s;
    for (size_t k = 0; k < argv.size(); ++k) {
        s += k == 0 ? fs::path(argv[k]).filename().string() : argv[k];
        if (k + 1 < argv.size())
            s += ' ';
    }
    return s;
}

ran run(const std::vector<std::string>& argv, int netns_fd)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return {-1, errno_text("pipe")};
    const pid_t pid = fork();
    if (pid < 0) {
        close(out[0]);
        close(out[1]);
        return {-1, errno_text("fork")};
    }
    if (pid == 0) {
        child_signals();
        setpgid(0, 0);
        const int null = open("/dev/null", O_RDONLY);
        if (null >= 0)
            dup2(null, 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        if (netns_fd >= 0 && setns(netns_fd, CLONE_NEWNET) != 0) {
            put(2, errno_text("joining the namespace"));
            _exit(126);
        }
        std::vector<char*> av;
        for (const std::string& a : argv)
            av.push_back(const_cast<char*>(a.c_str()));
        av.push_back(nullptr);
        execv(av[0], av.data());
        put(2, errno_text(argv[0]));
        _exit(127);
    }
    close(out[1]);
    return collect(pid, out[0], std::chrono::steady_clock::now() + std::chrono::seconds(20));
}

std::string in_netns(int netns_fd, const std::function<std::string()>& fn)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return errno_text("pipe");
    const pid_t pid = fork();
    if (pid < 0) {
        close(out[0]);
        close(out[1]);
        return errno_text("fork");
    }
    if (pid == 0) {
        child_signals();
        if (setns(netns_fd, CLONE_NEWNET) != 0) {
            put(out[1], errno_text("joining the namespace"));
            _exit(1);
        }
        put(out[1], fn());
        _exit(0);
    }
    close(out[1]);
    ran r = collect(pid, out[0], std::chrono::steady_clock::now() + std::chrono::seconds(20));
    if (r.output.empty() && r.status != 0)
        r.output = "failed with status " + std::to_string(r.status);
    return r.output;
}

std::string write_sysctl(const std::string& path, const std::string& value)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return errno_text(path);
    const ssize_t n = write(fd, value.data(), value.size());
    const int e = errno;
    close(fd);
    if (n != static_cast<ssize_t>(value.size())) {
        errno = n < 0 ? e : EIO;
        return errno_text(path);
    }
    return {};
}

std::string ns_id(const std::string& path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return {};
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

std::string find_net_ns(const std::string& id)
{
    if (id.empty())
        return {};
    if (ns_id("/proc/self/ns/net") == id)
        return "/proc/self/ns/net";
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/run/netns", ec)) {
        if (ns_id(e.path()) == id)
            return e.path();
    }
    const std::vector<pid_t> pids = pids_in_net_ns(id);
    return pids.empty() ? std::string() : "/proc/" + std::to_string(pids.front()) + "/ns/net";
}

std::vector<pid_t> pids_in_net_ns(const std::string& id)
{
    std::vector<pid_t> pids;
    if (id.empty())
        return pids;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc", ec)) {
        const std::string name = e.path().filename();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        if (ns_id(e.path() / "ns/net") == id)
            pids.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return pids;
}

unsigned long long start_time(pid_t pid)
{
    const auto stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    if (!stat)
        return 0;
    // The command name may hold spaces and parentheses: count from the last ')'.
    const size_t close_paren = stat->rfind(')');
    if (close_paren == std::string::npos)
        return 0;
    std::istringstream in(stat->substr(close_paren + 2));
    std::string field;
    for (int k = 3; k <= 22 && in >> field; ++k) {
        // A zombie has ended: only its parent's wait is missing.
        if (k == 3 && (field == "Z" || field == "X"))
            return 0;
        if (k == 22)
            return std::strtoull(field.c_str(), nullptr, 10);
    }
    return 0;
}

std::optional<std::string> read_file(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        return std::nullopt;
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool write_file(const std::string& path, std::string_view text)
{
    const std::string tmp = path + ".new";
    {
        std::ofstream out(tmp, std::ios::trunc);
        if (!out)
            return false;
        out << text;
        if (!out.flush())
            return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

std::string format_record(const shell_record& r)
{
    std::ostringstream o;
    o << "pid " << r.pid << "\nstart " << r.start << "\nhost_ns " << r.host_ns << "\nsubnet " << r.subnet
      << "\nhost_if " << r.host_if << "\nnft_table " << r.nft_table << "\nforward_orig " << r.forward_orig
      << "\nemu_ns " << r.emu_ns << "\ncommand_ns " << r.command_ns << "\ncorvo_pid " << r.corvo_pid
      << "\ncorvo_start " << r.corvo_start << "\n";
    return o.str();
}

shell_record parse_record(std::string_view text)
{
    shell_record r;
    std::istringstream in{std::string(text)};
    for (std::string line; std::getline(in, line);) {
        const size_t sp = line.find(' ');
        const std::string key = line.substr(0, sp);
        const std::string value = sp == std::string::npos ? "" : line.substr(sp + 1);
        if (key == "pid")
            r.pid = std::strtol(value.c_str(), nullptr, 10);
        else if (key == "start")
            r.start = std::strtoull(value.c_str(), nullptr, 10);
        else if (key == "host_ns")
            r.host_ns = value;
        else if (key == "subnet")
            r.subnet = value;
        else if (key == "host_if")
            r.host_if = value;
        else if (key == "nft_table")
            r.nft_table = value;
        else if (key == "forward_orig")
            r.forward_orig = value;
        else if (key == "emu_ns")
            r.emu_ns = value;
        else if (key == "command_ns")
            r.command_ns = value;
        else if (key == "corvo_pid")
            r.corvo_pid = std::strtol(value.c_str(), nullptr, 10);
        else if (key == "corvo_start")
            r.corvo_start = std::strtoull(value.c_str(), nullptr, 10);
    }
    return r;
}

std::vector<shell_record> all_records()
{
    std::vector<shell_record> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(state_root, ec)) {
        const std::string name = e.path().filename();
        if (!e.is_directory(ec) || name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        shell_record r;
        if (const auto text = read_file(e.path() / "state"))
            r = parse_record(*text);
        // The directory's name is the pid even when the record is missing
        // (a shell killed before it wrote one).
        r.pid = std::strtol(name.c_str(), nullptr, 10);
        out.push_back(r);
    }
    return out;
}

}  // namespace cshell
