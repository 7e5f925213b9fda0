// Helpers of the replayer's tests: captures written by the tests, log lines
// caught in a memory file, and running the wenlo binary.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/log.hpp"

namespace wenlo_test {

struct record {
    uint64_t t_ns;                    // time stamp
    uint32_t len;                     // wire length
    std::vector<unsigned char> data;  // stored bytes (caplen = size)
};

// A record of len bytes stored whole, each byte derived from idx.
inline record rec(uint64_t t_ns, uint32_t len, uint32_t idx = 0)
{
    record r{t_ns, len, std::vector<unsigned char>(len)};
    for (uint32_t i = 0; i < len; i++)
        r.data[i] = static_cast<unsigned char>(idx * 7 + i);
    if (len >= 4)
        std::memcpy(r.data.data(), &idx, 4);
    return r;
}

// pcap bytes: magic selects byte order (swap) and resolution (nano).
inline std::string pcap_bytes(const std::vector<record>& recs, bool nano = false, bool swap = false)
{
    std::string out;
    auto put = [&](uint32_t w) {
        if (swap)
            w = __builtin_bswap32(w);
        out.append(reinterpret_cast<const char*>(&w), 4);
    };
    put(nano ? 0xa1b23c4d : 0xa1b2c3d4);
    out.append(12, '\0');  // version, time zone, accuracy: not read
    put(262144);           // snapshot length
    put(1);                // link type: Ethernet
    for (const auto& r : recs) {
        put(static_cast<uint32_t>(r.t_ns / 1000000000));
        uint32_t frac = static_cast<uint32_t>(r.t_ns % 1000000000);
        put(nano ? frac : frac / 1000);
        put(static_cast<uint32_t>(r.data.size()));
        put(r.len);
        out.append(reinterpret_cast<const char*>(r.data.data()), r.data.size());
    }
    return out;
}

// A file removed by the destructor.
struct temp_file {
    std::string path;
    explicit temp_file(const std::string& bytes, const char* stem = "wenlo_cap")
    {
        char tmpl[128];
        std::snprintf(tmpl, sizeof tmpl, "/tmp/%s_XXXXXX", stem);
        int fd = mkstemp(tmpl);
        path = tmpl;
        size_t off = 0;
        while (off < bytes.size()) {
            ssize_t n = write(fd, bytes.data() + off, bytes.size() - off);
            if (n <= 0)
                break;
            off += static_cast<size_t>(n);
        }
        close(fd);
    }
    ~temp_file() { unlink(path.c_str()); }
};

// Log lines go to a memory file while one of these lives.
struct log_capture {
    int fd;
    int old;
    log_capture() : fd(memfd_create("wenlo_log", 0)), old(common::get_log_fd())
    {
        common::set_log_style(common::log_style::wenlo);
        common::set_log_fd(fd);
    }
    ~log_capture()
    {
        common::set_log_fd(old);
        close(fd);
    }
    std::string text() const
    {
        std::string s;
        char buf[65536];
        ssize_t n;
        off_t off = 0;
        while ((n = pread(fd, buf, sizeof buf, off)) > 0) {
            s.append(buf, static_cast<size_t>(n));
            off += n;
        }
        return s;
    }
    int count(const std::string& needle) const
    {
        std::string s = text();
        int c = 0;
        for (size_t p = s.find(needle); p != std::string::npos; p = s.find(needle, p + 1))
            c++;
        return c;
    }
    bool has(const std::string& needle) const { return text().find(needle) != std::string::npos; }
};

// The wenlo binary as a child process with its standard error in a file.
struct wenlo_proc {
    pid_t pid = -1;
    std::string err_path;
    int status = -1;

    // prefix: a command that runs wenlo (for example "ip netns exec NS").
    explicit wenlo_proc(std::vector<std::string> args, std::vector<std::string> prefix = {})
    {
        char tmpl[] = "/tmp/wenlo_err_XXXXXX";
        int fd = mkstemp(tmpl);
        err_path = tmpl;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fd, 2);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        std::string bin = std::string(TEST_BIN_DIR) + "/wenlo";
        prefix.push_back(bin);
        prefix.insert(prefix.end(), args.begin(), args.end());
        args_ = std::move(prefix);
        std::vector<char*> argv;
        for (auto& a : args_)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(fd);
    }
    wenlo_proc(const wenlo_proc&) = delete;
    ~wenlo_proc()
    {
        if (pid > 0 && status == -1) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        unlink(err_path.c_str());
    }
    void interrupt()
    {
        if (pid > 0)
            kill(pid, SIGINT);
    }
    // Exit status, or -1 when it did not end within the limit (then killed).
    int wait(double seconds = 10)
    {
        if (pid <= 0)
            return -1;
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        int st = 0;
        while (std::chrono::steady_clock::now() < end) {
            if (waitpid(pid, &st, WNOHANG) == pid) {
                status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                return status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        status = -2;
        return -1;
    }
    std::string err() const
    {
        std::ifstream f(err_path);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    bool err_has(const std::string& s) const { return err().find(s) != std::string::npos; }

private:
    std::vector<std::string> args_;
};

}  // namespace wenlo_test
