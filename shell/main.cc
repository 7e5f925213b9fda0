// corvo-shell: runs a command in a network namespace of its own whose only
// way out is a corvo link.
//
//   host namespace             emulator namespace               command namespace
//   corvoPID x.1/30 --veth-- to-host [ corvo ] to-command --veth-- eth0 x.2/30
//
// corvo forwards frames like a wire, so the host-side end and the command's
// eth0 are one Ethernet segment: the host end is the command's gateway and
// the host masquerades the /30 with an nft table of the shell's own.
// Direction A is from the command outwards.
//
// The two private namespaces have no names: corvo-shell holds them open,
// and so do corvo and the command, so they vanish with the last of these
// even when corvo-shell is killed.  What could outlive it (the nft table,
// net.ipv4.ip_forward, the state directory) is written down in
// /run/corvo-shell/PID/state before it is made; the next start removes
// what a dead shell left.
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "common/program_info.hpp"
#include "shell/netplan.hpp"
#include "shell/system.hpp"

using namespace common;

namespace fs = std::filesystem;
using namespace cshell;

extern char** environ;

namespace {

// Exit status of corvo-shell's own failures (the command's are its own).
constexpr int own_failure = 125;

constexpr char to_host_if[] = "to-host";
constexpr char to_command_if[] = "to-command";
constexpr char command_if[] = "eth0";

void say(const std::string& text) { std::fprintf(stderr, "corvo-shell: %s\n", text.c_str()); }

// A step that failed: its name and what the system answered.
struct failure {
    std::string step, answer;
    int status = own_failure;
};

std::string signal_name(int sig)
{
    const char* n = sigabbrev_np(sig);
    return n ? std::string("SIG") + n : "signal " + std::to_string(sig);
}

// ---------------------------------------------------------------------------
// Privileges.

struct cap_need {
    int cap;
    const char* name;
};
constexpr cap_need needed_caps[] = {
    {CAP_NET_ADMIN, "cap_net_admin"},
    {CAP_NET_RAW, "cap_net_raw"},
    {CAP_SYS_ADMIN, "cap_sys_admin"},
    {CAP_DAC_OVERRIDE, "cap_dac_override"},
};

// Checks the capabilities; without root, raises them as ambient ones so
// that ip, nft and corvo get them too.  An error text, empty when fine.
std::string check_privileges()
{
    __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &hdr, data) != 0)
        return std::string("reading the capabilities: ") + std::strerror(errno);
    std::string missing;
    for (const cap_need& c : needed_caps) {
        if (!(data[c.cap / 32].effective & (1u << (c.cap % 32))))
            missing += (missing.empty() ? "" : ", ") + std::string(c.name);
    }
    if (!missing.empty())
        return "needs root (sudo corvo-shell ...) or the capabilities cap_net_admin, cap_net_raw, "
               "cap_sys_admin and cap_dac_override; missing: " +
               missing;
    if (geteuid() == 0)
        return {};
    for (const cap_need& c : needed_caps)
        data[c.cap / 32].inheritable |= 1u << (c.cap % 32);
    if (syscall(SYS_capset, &hdr, data) != 0)
        return std::string("making the capabilities inheritable: ") + std::strerror(errno);
    for (const cap_need& c : needed_caps) {
        if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, c.cap, 0, 0) != 0)
            return std::string("passing ") + c.name + " on to the helpers: " + std::strerror(errno);
    }
    return {};
}

// Who the command runs as.
struct identity {
    bool drop = false;  // change user before the command
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    std::string name, home, shell;
};

identity command_identity()
{
    identity id;
    id.uid = getuid();
    id.gid = getgid();
    const char* su = std::getenv("SUDO_UID");
    const char* sg = std::getenv("SUDO_GID");
    if (id.uid == 0 && su && *su) {
        char* end = nullptr;
        const unsigned long u = std::strtoul(su, &end, 10);
        if (*end == '\0' && u != 0 && u < UINT_MAX) {
            id.drop = true;
            id.uid = static_cast<uid_t>(u);
            id.gid = id.uid;
        }
    }
    const passwd* pw = getpwuid(id.uid);
    if (pw) {
        id.name = pw->pw_name;
        id.home = pw->pw_dir;
        id.shell = pw->pw_shell ? pw->pw_shell : "";
        if (id.drop)
            id.gid = pw->pw_gid;
    }
    if (id.drop && sg && *sg) {
        char* end = nullptr;
        const unsigned long g = std::strtoul(sg, &end, 10);
        if (*end == '\0' && g < UINT_MAX)
            id.gid = static_cast<gid_t>(g);
    }
    if (id.drop) {
        // The user's supplementary groups; a user without a name has only
        // its group.
        id.groups = {id.gid};
        if (!id.name.empty()) {
            int n = 64;
            std::vector<gid_t> groups(static_cast<size_t>(n));
            if (getgrouplist(id.name.c_str(), id.gid, groups.data(), &n) < 0) {
                groups.resize(static_cast<size_t>(n));  // n is now the count needed
                if (getgrouplist(id.name.c_str(), id.gid, groups.data(), &n) < 0)
                    n = 0;
            }
            if (n > 0) {
                groups.resize(static_cast<size_t>(n));
                id.groups = groups;
            }
        }
    }
    if (id.shell.empty())
        id.shell = "/bin/sh";
    return id;
}

// The file execvp would run for word, or empty.
std::string resolve_command(const std::string& word)
{
    if (word.find('/') != std::string::npos)
        return word;
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t pos = 0;
    while (pos <= dirs.size()) {
        size_t colon = dirs.find(':', pos);
        if (colon == std::string::npos)
            colon = dirs.size();
        const std::string dir = dirs.substr(pos, colon - pos);
        const std::string p = (dir.empty() ? "." : dir) + "/" + word;
        if (access(p.c_str(), X_OK) == 0)
            return p;
        pos = colon + 1;
    }
    return {};
}

bool same_file(const std::string& a, const std::string& b)
{
    std::error_code ec;
    return !a.empty() && !b.empty() && fs::equivalent(a, b, ec);
}

// ---------------------------------------------------------------------------
// The state lock: taken while shells are removed, picked and recorded, and
// while a shell decides whether it is the last to need ip_forward.

class state_lock {
public:
    state_lock()
    {
        mkdir(state_root, 0755);
        fd_ = open((std::string(state_root) + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ >= 0)
            while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~state_lock()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    state_lock(const state_lock&) = delete;
    state_lock& operator=(const state_lock&) = delete;
    bool ok() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

bool other_live_shell_in(const std::string& host_ns, long self)
{
    for (const shell_record& r : all_records()) {
        if (r.pid != self && r.host_ns == host_ns && r.alive())
            return true;
    }
    return false;
}

std::string state_dir_of(long pid) { return std::string(state_root) + "/" + std::to_string(pid); }

// Removes what a dead shell left; called with the state lock held.
void remove_dead_shell(const shell_record& r, const std::string& ip, const std::string& nft)
{
    std::vector<std::string> done;
    if (r.corvo_pid > 0 && r.corvo_start != 0 &&
        start_time(static_cast<pid_t>(r.corvo_pid)) == r.corvo_start) {
        kill(static_cast<pid_t>(r.corvo_pid), SIGKILL);
        done.push_back("its corvo (pid " + std::to_string(r.corvo_pid) + ")");
    }
    if (const auto pids = pids_in_net_ns(r.command_ns); !pids.empty()) {
        for (pid_t p : pids)
            kill(p, SIGKILL);
        done.push_back(std::to_string(pids.size()) + " process(es) in its command namespace");
    }
    const std::string ns_path = find_net_ns(r.host_ns);
    const int ns_fd = ns_path.empty() ? -1 : open(ns_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (ns_fd >= 0) {
        const std::string where = ns_path == "/proc/self/ns/net" ? "" : " (in " + ns_path + ")";
        if (!r.nft_table.empty()) {
            std::vector<std::string> argv{nft, "delete", "table"};
            std::istringstream words(r.nft_table);
            for (std::string w; words >> w;)
                argv.push_back(w);
            if (run(argv, ns_fd).status == 0)
                done.push_back("nft table " + r.nft_table + where);
        }
        if (!r.host_if.empty() && run({ip, "link", "del", r.host_if}, ns_fd).status == 0)
            done.push_back("interface " + r.host_if + where);
        if (!r.forward_orig.empty() && !other_live_shell_in(r.host_ns, r.pid)) {
            const std::string e = in_netns(
                ns_fd, [&] { return write_sysctl("/proc/sys/net/ipv4/ip_forward", r.forward_orig); });
            if (e.empty())
                done.push_back("net.ipv4.ip_forward back to " + r.forward_orig + where);
            else
                say("restoring net.ipv4.ip_forward of dead corvo-shell " + std::to_string(r.pid) + ": " + e);
        }
        close(ns_fd);
    }
    std::error_code ec;
    fs::remove_all(state_dir_of(r.pid), ec);
    done.push_back("state " + state_dir_of(r.pid));
    std::string list;
    for (const std::string& d : done)
        list += (list.empty() ? "" : ", ") + d;
    say("removed what corvo-shell " + std::to_string(r.pid) + " (no longer running) left: " + list);
}

// ---------------------------------------------------------------------------

class shell {
public:
    int main(int argc, char** argv);

private:
    void setup();
    void record();
    void step(const std::string& name, const std::vector<std::string>& argv, int netns_fd = -1);
    void sysctl_in(const std::string& name, int netns_fd, const std::string& path, const std::string& value);
    void check_interrupt(const std::string& during);
    void make_namespaces();
    void make_links();
    void forwarding();
    void translation();
    void resolver();
    void start_corvo();
    void start_command();
    int run_command();
    void end_command(int sig);
    void teardown();

    shell_options opts_;
    identity who_;
    std::vector<std::string> command_;
    bool keep_privileges_ = false;
    std::string ip_, nft_, ethtool_, corvo_;
    sigset_t watched_{}, old_mask_{};

    shell_record rec_;
    std::string dir_, session_, log_path_, resolv_path_;
    prefix4 subnet_{};
    std::string host_addr_, command_addr_;
    resolv_plan resolv_;
    int host_fd_ = -1, emu_fd_ = -1, cmd_fd_ = -1;
    bool dir_made_ = false, link_made_ = false, table_made_ = false, forward_set_ = false;
    pid_t corvo_pid_ = -1, cmd_pid_ = -1;
    int cmd_status_ = -1;
};

void shell::record()
{
    if (dir_made_ && !write_file(dir_ + "/state", format_record(rec_)))
        throw failure{"state directory", "cannot write " + dir_ + "/state: " + std::strerror(errno)};
}

void shell::check_interrupt(const std::string& during)
{
    sigset_t pending;
    sigpending(&pending);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        if (sigismember(&pending, sig)) {
            sigset_t one;
            sigemptyset(&one);
            sigaddset(&one, sig);
            timespec zero{};
            sigtimedwait(&one, nullptr, &zero);
            throw failure{during, "interrupted by " + signal_name(sig), 128 + sig};
        }
    }
}

void shell::step(const std::string& name, const std::vector<std::string>& argv, int netns_fd)
{
    check_interrupt(name);
    const ran r = run(argv, netns_fd);
    if (r.status != 0)
        throw failure{name, command_line(argv) + ": " +
                                (r.output.empty() ? "status " + std::to_string(r.status) : r.output)};
}

void shell::sysctl_in(const std::string& name, int netns_fd, const std::string& path,
                      const std::string& value)
{
    check_interrupt(name);
    const std::string e = netns_fd < 0 ? write_sysctl(path, value)
                                       : in_netns(netns_fd, [&] { return write_sysctl(path, value); });
    if (!e.empty())
        throw failure{name, e};
}

void shell::make_namespaces()
{
    check_interrupt("network namespaces");
    host_fd_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (host_fd_ < 0)
        throw failure{"network namespaces", std::string("/proc/self/ns/net: ") + std::strerror(errno)};
    for (int* fd : {&emu_fd_, &cmd_fd_}) {
        if (unshare(CLONE_NEWNET) != 0)
            throw failure{"network namespaces", std::string("unshare: ") + std::strerror(errno)};
        *fd = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const int e = errno;
        if (setns(host_fd_, CLONE_NEWNET) != 0) {
            say(std::string("cannot return to the host's network namespace: ") + std::strerror(errno));
            std::_Exit(own_failure);
        }
        if (*fd < 0)
            throw failure{"network namespaces", std::string("/proc/self/ns/net: ") + std::strerror(e)};
    }
    const std::string self = "/proc/" + std::to_string(getpid()) + "/fd/";
    rec_.emu_ns = ns_id(self + std::to_string(emu_fd_));
    rec_.command_ns = ns_id(self + std::to_string(cmd_fd_));
    record();
    // IPv6 off before any interface exists: no router or neighbour
    // solicitations, only the command's own traffic.
    if (access("/proc/sys/net/ipv6", F_OK) == 0) {
        for (int fd : {emu_fd_, cmd_fd_}) {
            for (const char* c : {"all", "default"})
                sysctl_in("IPv6 off in the new namespaces", fd,
                          std::string("/proc/sys/net/ipv6/conf/") + c + "/disable_ipv6", "1");
        }
    }
}

void shell::make_links()
{
    const std::string self = "/proc/" + std::to_string(getpid()) + "/fd/";
    const std::string emu_path = self + std::to_string(emu_fd_), cmd_path = self + std::to_string(cmd_fd_);
    const std::string& host_if = rec_.host_if;
    const std::vector<std::string> offloads{"tso", "off", "gso", "off", "gro", "off",
                                            "tx",  "off", "rx",  "off", "sg",  "off"};
    auto ethtool_off = [&](const std::string& dev) {
        std::vector<std::string> a{ethtool_, "-K", dev};
        a.insert(a.end(), offloads.begin(), offloads.end());
        return a;
    };

    // Recorded before it exists, so that a shell killed in between leaves
    // nothing unrecorded.
    link_made_ = true;
    record();
    step("host-side link", {ip_, "link", "add", host_if, "mtu", "1500", "type", "veth", "peer", "name",
                            to_host_if, "mtu", "1500", "netns", emu_path});
    if (access(("/proc/sys/net/ipv6/conf/" + host_if).c_str(), F_OK) == 0)
        sysctl_in("IPv6 off on " + host_if, -1, "/proc/sys/net/ipv6/conf/" + host_if + "/disable_ipv6", "1");
    step("command-side link",
         {ip_, "link", "add", to_command_if, "mtu", "1500", "type", "veth", "peer", "name", command_if, "mtu",
          "1500", "netns", cmd_path},
         emu_fd_);

    step("offloads off on " + host_if, ethtool_off(host_if));
    step("offloads off on " + std::string(to_host_if), ethtool_off(to_host_if), emu_fd_);
    step("offloads off on " + std::string(to_command_if), ethtool_off(to_command_if), emu_fd_);
    step("offloads off on " + std::string(command_if), ethtool_off(command_if), cmd_fd_);

    const int len = subnet_.len;
    step("host-side address", {ip_, "addr", "add", host_addr_ + "/" + std::to_string(len), "dev", host_if});
    step("command's address",
         {ip_, "addr", "add", command_addr_ + "/" + std::to_string(len), "dev", command_if}, cmd_fd_);
    step("emulator's links up", {ip_, "link", "set", to_host_if, "up"}, emu_fd_);
    step("emulator's links up", {ip_, "link", "set", to_command_if, "up"}, emu_fd_);
    step("host-side link up", {ip_, "link", "set", host_if, "up"});
    step("command's links up", {ip_, "link", "set", "lo", "up"}, cmd_fd_);
    step("command's links up", {ip_, "link", "set", command_if, "up"}, cmd_fd_);
    step("command's default route", {ip_, "route", "add", "default", "via", host_addr_, "dev", command_if},
         cmd_fd_);
}

void shell::forwarding()
{
    const char* path = "/proc/sys/net/ipv4/ip_forward";
    const auto now = read_file(path);
    if (!now)
        throw failure{"forwarding", std::string("cannot read ") + path};
    const std::string value = now->substr(0, now->find('\n'));
    // The value before any shell set it: this one's, or that of a running
    // shell of the same host which set it.
    std::string orig = value;
    for (const shell_record& r : all_records()) {
        if (r.pid != rec_.pid && r.host_ns == rec_.host_ns && !r.forward_orig.empty() && r.alive())
            orig = r.forward_orig;
    }
    if (orig == "1" && value == "1")
        return;
    rec_.forward_orig = orig;
    forward_set_ = true;
    record();
    if (value != "1")
        sysctl_in("forwarding", -1, path, "1");
}

void shell::translation()
{
    const std::string table = "corvo_shell_" + std::to_string(rec_.pid);
    const std::string rules = "table ip " + table +
                              " {\n"
                              "  chain postrouting {\n"
                              "    type nat hook postrouting priority srcnat; policy accept;\n"
                              "    ip saddr " +
                              to_string(subnet_) + " oifname != \"" + rec_.host_if +
                              "\" masquerade\n"
                              "  }\n"
                              "}\n";
    const std::string file = dir_ + "/nft.rules";
    if (!write_file(file, rules))
        throw failure{"address translation", "cannot write " + file + ": " + std::strerror(errno)};
    rec_.nft_table = "ip " + table;
    table_made_ = true;
    record();
    step("address translation", {nft_, "-f", file});
}

void shell::resolver()
{
    const auto host = read_file("/etc/resolv.conf");
    if (!host)
        return;
    const auto upstream = read_file("/run/systemd/resolve/resolv.conf");
    resolv_ = plan_resolv(*host, upstream ? *upstream : "");
    if (!resolv_.warning.empty())
        say("name resolution: " + resolv_.warning);
    if (resolv_.changed) {
        resolv_path_ = dir_ + "/resolv.conf";
        if (!write_file(resolv_path_, resolv_.text))
            throw failure{"name resolution", "cannot write " + resolv_path_ + ": " + std::strerror(errno)};
        chmod(resolv_path_.c_str(), 0644);
    }
}

void shell::start_corvo()
{
    check_interrupt("starting corvo");
    const std::vector<std::string> argv =
        corvo_command(opts_, corvo_, dir_ + "/session", to_command_if, to_host_if);
    if (opts_.verbose > 0)
        say("corvo: " + command_line(argv) + " (its lines: " + log_path_ + ")");
    const int log = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0)
        throw failure{"starting corvo", log_path_ + ": " + std::strerror(errno)};
    const pid_t parent = getpid();
    corvo_pid_ = fork();
    if (corvo_pid_ < 0) {
        close(log);
        throw failure{"starting corvo", std::string("fork: ") + std::strerror(errno)};
    }
    if (corvo_pid_ == 0) {
        // Away from the terminal's process group: a Ctrl-C meant for the
        // command must not stop the link under it.
        setpgid(0, 0);
        sigprocmask(SIG_SETMASK, &old_mask_, nullptr);
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(log, 1);
        dup2(log, 2);
        if (setns(emu_fd_, CLONE_NEWNET) != 0) {
            std::fprintf(stderr, "joining the emulator's namespace: %s\n", std::strerror(errno));
            _exit(126);
        }
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(1);
        std::vector<char*> av;
        for (const std::string& a : argv)
            av.push_back(const_cast<char*>(a.c_str()));
        av.push_back(nullptr);
        execv(av[0], av.data());
        std::fprintf(stderr, "%s: %s\n", av[0], std::strerror(errno));
        _exit(127);
    }
    close(log);
    rec_.corvo_pid = corvo_pid_;
    rec_.corvo_start = start_time(corvo_pid_);
    record();

    // Ready when both directions have printed their banners.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    for (;;) {
        const std::string text = read_file(log_path_).value_or("");
        size_t n = 0;
        for (size_t at = text.find("hold-buf"); at != std::string::npos; at = text.find("hold-buf", at + 1))
            ++n;
        if (n >= 2)
            break;
        int st = 0;
        if (waitpid(corvo_pid_, &st, WNOHANG) == corvo_pid_) {
            corvo_pid_ = -1;
            const std::string how =
                WIFEXITED(st) ? "status " + std::to_string(WEXITSTATUS(st)) : signal_name(WTERMSIG(st));
            throw failure{"starting corvo", "corvo ended (" + how + "):\n" + text};
        }
        if (std::chrono::steady_clock::now() > end)
            throw failure{"starting corvo", "no start-up banner within 15 s:\n" + text};
        check_interrupt("starting corvo");
        usleep(20000);
    }
}

void shell::start_command()
{
    check_interrupt("starting the command");
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0)
        throw failure{"starting the command", std::string("pipe: ") + std::strerror(errno)};
    const std::string env_value = command_addr_ + " " + host_addr_ + " " + session_;
    const pid_t parent = getpid();
    cmd_pid_ = fork();
    if (cmd_pid_ < 0) {
        const int e = errno;
        close(err[0]);
        close(err[1]);
        throw failure{"starting the command", std::string("fork: ") + std::strerror(e)};
    }
    if (cmd_pid_ == 0) {
        close(err[0]);
        // 'S' + text: a set-up step failed; 'E' + status + text: exec failed.
        auto fail = [&](const std::string& what) {
            const std::string m = "S" + what + ": " + std::strerror(errno);
            [[maybe_unused]] ssize_t w = write(err[1], m.data(), m.size());
            _exit(own_failure);
        };
        if (setns(cmd_fd_, CLONE_NEWNET) != 0)
            fail("joining the command's namespace");
        // A mount namespace of its own, as `ip netns exec` makes: /sys
        // shows the command's interfaces, and the resolver file is its own.
        if (unshare(CLONE_NEWNS) != 0)
            fail("a mount namespace for the command");
        if (mount(nullptr, "/", nullptr, MS_SLAVE | MS_REC, nullptr) != 0)
            fail("making the mounts private");
        struct statvfs sv {};
        const unsigned long ro = statvfs("/sys", &sv) == 0 && (sv.f_flag & ST_RDONLY) ? MS_RDONLY : 0;
        umount2("/sys", MNT_DETACH);
        if (mount("sysfs", "/sys", "sysfs", ro, nullptr) != 0)
            fail("mounting /sys for the command's namespace");
        if (!resolv_path_.empty() &&
            mount(resolv_path_.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0)
            fail("mounting the resolver file on /etc/resolv.conf");
        setenv("CORVO_SHELL", env_value.c_str(), 1);
        if (!keep_privileges_) {
            prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
            if (who_.drop) {
                if (setgroups(who_.groups.size(), who_.groups.data()) != 0)
                    fail("setting the user's groups");
                if (setgid(who_.gid) != 0)
                    fail("setting group " + std::to_string(who_.gid));
                if (setuid(who_.uid) != 0)
                    fail("setting user " + std::to_string(who_.uid));
                if (!who_.home.empty())
                    setenv("HOME", who_.home.c_str(), 1);
                if (!who_.name.empty()) {
                    setenv("USER", who_.name.c_str(), 1);
                    setenv("LOGNAME", who_.name.c_str(), 1);
                }
            }
        }
        // The command goes with corvo-shell (after the change of user,
        // which clears this setting).
        prctl(PR_SET_PDEATHSIG, SIGHUP);
        if (getppid() != parent)
            _exit(own_failure);
        // The signal handling corvo-shell was given (a background job
        // ignores SIGINT), nothing blocked that was not blocked before.
        sigprocmask(SIG_SETMASK, &old_mask_, nullptr);
        std::vector<char*> av;
        for (const std::string& a : command_)
            av.push_back(const_cast<char*>(a.c_str()));
        av.push_back(nullptr);
        execvp(av[0], av.data());
        const int e = errno;
        const std::string m =
            std::string("E") + (e == ENOENT ? "7" : "6") + command_[0] + ": " + std::strerror(e);
        [[maybe_unused]] ssize_t w = write(err[1], m.data(), m.size());
        _exit(e == ENOENT ? 127 : 126);
    }
    close(err[1]);
    std::string msg;
    char buf[512];
    for (ssize_t n; (n = read(err[0], buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        msg.append(buf, static_cast<size_t>(n));
    }
    close(err[0]);
    if (msg.empty())
        return;
    int st = 0;
    while (waitpid(cmd_pid_, &st, 0) < 0 && errno == EINTR) {
    }
    cmd_pid_ = -1;
    if (msg[0] == 'E')
        throw failure{"running the command", msg.substr(2), msg[1] == '7' ? 127 : 126};
    throw failure{"starting the command", msg.substr(1)};
}

// Waits for the command; ends it when corvo dies or when corvo-shell is
// told to stop.  The command's status, or own_failure.
int shell::run_command()
{
    using clock = std::chrono::steady_clock;
    bool corvo_dead = false;
    clock::time_point kill_at = clock::time_point::max();
    for (;;) {
        int st = 0;
        if (waitpid(cmd_pid_, &st, WNOHANG) == cmd_pid_) {
            cmd_pid_ = -1;
            cmd_status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return corvo_dead ? own_failure : cmd_status_;
        }
        if (!corvo_dead && waitpid(corvo_pid_, &st, WNOHANG) == corvo_pid_) {
            corvo_pid_ = -1;
            corvo_dead = true;
            const std::string how =
                WIFEXITED(st) ? "status " + std::to_string(WEXITSTATUS(st)) : signal_name(WTERMSIG(st));
            std::string tail = read_file(log_path_).value_or("");
            if (tail.size() > 2000)
                tail = "..." + tail.substr(tail.size() - 2000);
            say("corvo ended (" + how + ") while the command ran; ending the command. corvo's lines:\n" +
                tail);
            kill(cmd_pid_, SIGTERM);
            kill_at = clock::now() + std::chrono::seconds(3);
        }
        if (clock::now() >= kill_at) {
            kill(cmd_pid_, SIGKILL);
            kill_at = clock::time_point::max();
        }
        timespec wait{0, 200000000};
        siginfo_t si{};
        const int sig = sigtimedwait(&watched_, &si, &wait);
        if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP) {
            // From the terminal the command has had it too (same process
            // group); it decides whether to end.  From a process: pass it
            // on, and end the command if it has not ended in 3 s.
            if (si.si_code == SI_KERNEL)
                continue;
            kill(cmd_pid_, sig);
            if (kill_at == clock::time_point::max())
                kill_at = clock::now() + std::chrono::seconds(3);
        }
    }
}

void shell::teardown()
{
    if (cmd_pid_ > 0) {
        kill(cmd_pid_, SIGKILL);
        waitpid(cmd_pid_, nullptr, 0);
        cmd_pid_ = -1;
    }
    // What the command left running in its namespace (background jobs)
    // would keep the namespace alive.
    for (pid_t p : pids_in_net_ns(rec_.command_ns))
        kill(p, SIGKILL);
    if (corvo_pid_ > 0) {
        kill(corvo_pid_, SIGKILL);
        waitpid(corvo_pid_, nullptr, 0);
        corvo_pid_ = -1;
    }
    auto warn = [](const std::string& step, const ran& r) { say("removing " + step + ": " + r.output); };
    if (table_made_) {
        const ran r = run({nft_, "delete", "table", "ip", "corvo_shell_" + std::to_string(rec_.pid)});
        if (r.status != 0 && r.output.find("No such file or directory") == std::string::npos)
            warn("the nft table", r);
    }
    if (link_made_) {
        const ran r = run({ip_, "link", "del", rec_.host_if});
        if (r.status != 0 && r.output.find("Cannot find device") == std::string::npos)
            warn("interface " + rec_.host_if, r);
    }
    for (int* fd : {&emu_fd_, &cmd_fd_, &host_fd_}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    if (dir_made_ || forward_set_) {
        state_lock lock;
        if (forward_set_ && !other_live_shell_in(rec_.host_ns, rec_.pid)) {
            const std::string e = write_sysctl("/proc/sys/net/ipv4/ip_forward", rec_.forward_orig);
            if (!e.empty())
                say("restoring net.ipv4.ip_forward: " + e);
        }
        std::error_code ec;
        if (dir_made_)
            fs::remove_all(dir_, ec);
    }
}

void shell::setup()
{
    {
        state_lock lock;
        if (!lock.ok())
            throw failure{"state directory", std::string(state_root) + "/lock: " + std::strerror(errno)};
        for (const shell_record& r : all_records()) {
            if (!r.alive())
                remove_dead_shell(r, ip_, nft_);
        }
        rec_.pid = getpid();
        rec_.start = start_time(getpid());
        rec_.host_ns = ns_id("/proc/self/ns/net");
        dir_ = state_dir_of(rec_.pid);
        if (mkdir(dir_.c_str(), 0755) != 0)
            throw failure{"state directory", dir_ + ": " + std::strerror(errno)};
        dir_made_ = true;
        record();

        // A /30 that no route or address of this host and no other shell
        // uses (a shell nested inside sees the outer one's as a route).
        std::vector<prefix4> taken;
        for (const std::vector<std::string>& q :
             {std::vector<std::string>{ip_, "-o", "-4", "route", "show", "table", "all"},
              std::vector<std::string>{ip_, "-o", "-4", "addr", "show"}}) {
            const ran r = run(q);
            if (r.status != 0)
                throw failure{"choosing addresses", command_line(q) + ": " + r.output};
            const auto p = prefixes_in(r.output);
            taken.insert(taken.end(), p.begin(), p.end());
        }
        for (const shell_record& r : all_records()) {
            if (const auto p = parse_prefix(r.subnet); p && r.pid != rec_.pid)
                taken.push_back(*p);
        }
        const auto subnet = pick_subnet(taken);
        if (!subnet)
            throw failure{"choosing addresses", "every /30 of the private ranges is in use"};
        subnet_ = *subnet;
        host_addr_ = to_string(subnet_.addr + 1);
        command_addr_ = to_string(subnet_.addr + 2);
        rec_.subnet = to_string(subnet_);
        rec_.host_if = "corvo" + std::to_string(rec_.pid);
        record();
        forwarding();
    }
    if (!opts_.session.empty())
        opts_.session = fs::absolute(opts_.session).string();
    session_ = opts_.session.empty() ? dir_ + "/session" : opts_.session;
    log_path_ = dir_ + "/corvo.log";
    make_namespaces();
    make_links();
    translation();
    resolver();
    start_corvo();
    if (opts_.verbose > 0)
        say("the command is " + command_addr_ + " behind corvo; host side " + host_addr_ + " (" +
            rec_.host_if + "); session file " + session_);
}

int shell::main(int argc, char** argv)
{
    opts_ = parse_options(argc, argv);
    if (opts_.help) {
        std::fputs(shell_usage, stdout);
        return 0;
    }
    if (!opts_.error.empty()) {
        say(opts_.error);
        std::fputs(shell_usage, stderr);
        return own_failure;
    }
    if (const std::string e = check_privileges(); !e.empty()) {
        say(e);
        return own_failure;
    }
    struct program {
        std::string* path;
        const char* name;
        const char* package;
    };
    for (const program& p : {program{&ip_, "ip", "iproute2"}, program{&nft_, "nft", "nftables"},
                             program{&ethtool_, "ethtool", "ethtool"}}) {
        *p.path = find_program(p.name);
        if (p.path->empty()) {
            say(std::string("needs the program ") + p.name + " (Debian package " + p.package + ")");
            return own_failure;
        }
    }
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    corvo_ = (self.parent_path() / "corvo").string();
    if (ec || access(corvo_.c_str(), X_OK) != 0) {
        say("corvo not found beside corvo-shell (" + corvo_ + ")");
        return own_failure;
    }

    who_ = command_identity();
    command_ = opts_.command.empty() ? std::vector<std::string>{who_.shell} : opts_.command;
    // A corvo-shell inside keeps the privileges it needs; it changes user
    // itself before its own command.
    keep_privileges_ = same_file(resolve_command(command_[0]), self.string());

    sigemptyset(&watched_);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&watched_, sig);
    sigprocmask(SIG_BLOCK, &watched_, &old_mask_);

    int status = 0;
    try {
        setup();
        start_command();
        status = run_command();
    } catch (const failure& f) {
        say(f.step + ": " + f.answer);
        status = f.status;
    }
    teardown();
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    // --help and --version, up to the command's first word.
    switch (find_info_request(argc, argv, shell_optstring().c_str())) {
    case info_request::help:
        std::fputs(shell_usage, stdout);
        return std::fflush(stdout) == 0 ? 0 : own_failure;
    case info_request::version:
        print_version("corvo-shell", stdout);
        return std::fflush(stdout) == 0 ? 0 : own_failure;
    case info_request::none:
        break;
    }
    shell s;
    return s.main(argc, argv);
}
