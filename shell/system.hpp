// What corvo-shell asks of the system: helper programs run in a chosen
// network namespace with their answers captured, namespace identities,
// processes and the records of running shells.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cshell {

// Helper programs run with an empty signal mask, in a process group of
// their own (a Ctrl-C during set-up reaches only corvo-shell, which stops
// between steps), standard input from /dev/null.
struct ran {
    int status = -1;     // exit status, 128 + signal, or -1 when it did not start
    std::string output;  // standard output and standard error together
};

// The full path of a program: PATH, then the system directories (sudo's
// PATH may lack /usr/sbin).  Empty when not found.
std::string find_program(const std::string& name);

// Runs argv (argv[0] a full path) inside the network namespace open at
// netns_fd (-1: this one), at most 20 s.
ran run(const std::vector<std::string>& argv, int netns_fd = -1);
// "ip link add ..." for messages.
std::string command_line(const std::vector<std::string>& argv);

// Runs fn in a child process that has joined the network namespace at
// netns_fd; fn answers an error text, empty on success.
std::string in_netns(int netns_fd, const std::function<std::string()>& fn);

// "/proc/sys/net/..." = value; an error text, empty on success.
std::string write_sysctl(const std::string& path, const std::string& value);

// "dev:inode" of a namespace file (/proc/PID/ns/net, /run/netns/NAME), or
// empty.
std::string ns_id(const std::string& path);
// A path that opens the network namespace with identity id: this
// process's own, a named one or one a process is in; empty when it is gone.
std::string find_net_ns(const std::string& id);
// Processes in the network namespace with identity id.
std::vector<pid_t> pids_in_net_ns(const std::string& id);

// Start time of a process in clock ticks since boot (field 22 of
// /proc/PID/stat); 0 when there is no such process or it has ended.
unsigned long long start_time(pid_t pid);

std::optional<std::string> read_file(const std::string& path);
// Writes through a temporary file and rename, so a reader never sees half.
bool write_file(const std::string& path, std::string_view text);

// ---------------------------------------------------------------------------
// The record of a running shell, /run/corvo-shell/PID/state: what it made,
// written before each thing is made, so that whoever removes the state of
// a shell that died finds everything it may have left.

inline constexpr char state_root[] = "/run/corvo-shell";

struct shell_record {
    long pid = 0;
    unsigned long long start = 0;    // start_time of pid
    std::string host_ns;             // ns_id of the host side
    std::string subnet;              // "100.64.0.0/30"
    std::string host_if;             // host-side interface
    std::string nft_table;           // "ip corvo_shell_PID"
    std::string forward_orig;        // net.ipv4.ip_forward before any shell set it to 1
    std::string emu_ns, command_ns;  // ns_id of the two private namespaces
    long corvo_pid = 0;
    unsigned long long corvo_start = 0;

    bool alive() const { return pid > 0 && start != 0 && start_time(static_cast<pid_t>(pid)) == start; }
};

std::string format_record(const shell_record& r);
shell_record parse_record(std::string_view text);
// Records of every shell with a state directory (pid from the name).
std::vector<shell_record> all_records();

}  // namespace cshell
