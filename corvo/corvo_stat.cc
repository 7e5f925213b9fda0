// corvo-stat: prints the live counters of a running emulator from its
// session file, once a second.
//
//   corvo-stat [-n count] [--json] FILE
//
// Each second it prints the four counter blocks, one line each, then an
// empty line:
//   A->B prod pkts N bytes N drop_pkts N drop_bytes N hold_pkts N hold_bytes N
//        port_drop_pkts N port_drop_bytes N
//   A->B cons pkts N bytes N drop_pkts N drop_bytes N port_drop_pkts N port_drop_bytes N
//   B->A prod ...
//   B->A cons ...
// With --json each report is one JSON object on a line instead (see
// json_object_of).  The file is mapped read-only and never locked, so the
// emulator does not notice the reader.  With -n it stops after count
// reports.
#include <fcntl.h>
#include <getopt.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/program_info.hpp"
#include "common/std_fds.hpp"
#include "corvo/json_report.hpp"
#include "pipe/pipe_state.hpp"

using namespace common;
using namespace pipes;
using namespace corvo;

namespace {

void usage() { std::fprintf(stderr, "usage: corvo-stat [-n count] [--json] session-file\n"); }

json_object pair(const uint64_t& pkts, const uint64_t& bytes)
{
    return {{"frames", counter_read(pkts)}, {"bytes", counter_read(bytes)}};
}

// The counters and instances of a session file in the form of corvo's own
// report: per direction the instance in force and its models, "sent",
// "enqueued" and "held" (by the producer; a held frame is enqueued or
// dropped when it leaves the hold buffer), and "dropped" by the thread
// that counted it ("producer", "consumer") and at the ports ("short",
// "port").
json_object json_object_of(const json_lines& out, const session_layout& layout, const char* path)
{
    json_object o = out.envelope("corvo-stat", "second");
    o["file"] = path;
    json_object dirs = json_object::object();
    for (int d = 0; d < 2; ++d) {
        const pipe_counters& pc = layout.header.counters[2 * d];
        const pipe_counters& cc = layout.header.counters[2 * d + 1];
        json_object one = instance_json(layout, d);
        one["sent"] = pair(cc.pkts, cc.bytes);
        one["enqueued"] = pair(pc.pkts, pc.bytes);
        one["held"] = pair(pc.hold_pkts, pc.hold_bytes);
        one["dropped"] = {{"producer", pair(pc.drop_pkts, pc.drop_bytes)},
                          {"consumer", pair(cc.drop_pkts, cc.drop_bytes)},
                          {"short", pair(pc.port_drop_pkts, pc.port_drop_bytes)},
                          {"port", pair(cc.port_drop_pkts, cc.port_drop_bytes)}};
        dirs[d == 0 ? "A" : "B"] = one;
    }
    o["directions"] = dirs;
    return o;
}

void print_block(const char* dir, bool producer, const pipe_counters& c)
{
    auto v = [](const uint64_t& w) { return static_cast<unsigned long long>(counter_read(w)); };
    std::printf("%s %s pkts %llu bytes %llu drop_pkts %llu drop_bytes %llu", dir, producer ? "prod" : "cons",
                v(c.pkts), v(c.bytes), v(c.drop_pkts), v(c.drop_bytes));
    if (producer)
        std::printf(" hold_pkts %llu hold_bytes %llu", v(c.hold_pkts), v(c.hold_bytes));
    std::printf(" port_drop_pkts %llu port_drop_bytes %llu\n", v(c.port_drop_pkts), v(c.port_drop_bytes));
}

// --help and --version; the answer is the exit status.
int print_info(info_request q)
{
    if (q == info_request::version) {
        print_version("corvo-stat", stdout);
    } else {
        std::fputs(
            "usage: corvo-stat [-n count] [--json] session-file\n"
            "\n"
            "Prints the live counters of a running corvo from its session file\n"
            "(corvo -s FILE) once a second: per direction the producer's and the\n"
            "consumer's packets, bytes, drops, held packets and frames dropped at a\n"
            "port, one line each, then an empty line.  The file is mapped read-only\n"
            "and never locked.\n"
            "\n"
            "  -n count     stop after count reports (default: until interrupted)\n"
            "  --json       one JSON object per report instead of the lines\n"
            "  --help       this text\n"
            "  --version    the version\n",
            stdout);
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

// What json_object_of reads: the counters, each direction's instance in
// force and the acknowledged instances.
void snapshot(const session_layout& from, session_layout& to)
{
    const auto* w = reinterpret_cast<const uint64_t*>(from.header.counters);
    auto* t = reinterpret_cast<uint64_t*>(to.header.counters);
    for (size_t k = 0; k < 4 * sizeof(pipe_counters) / sizeof(uint64_t); ++k)
        t[k] = counter_read(w[k]);
    for (int d = 0; d < 2; ++d) {
        to.reserved.instance_ack[d] = counter_read(from.reserved.instance_ack[d]);
        to.area[d].active_instance = counter_read(from.area[d].active_instance);
        uint64_t i = to.area[d].active_instance;
        if (i >= stop_command)
            i = to.reserved.instance_ack[d];
        std::memcpy(&to.area[d].instance[i & 1], &from.area[d].instance[i & 1], sizeof(session_instance));
    }
}

}  // namespace

namespace {
sigjmp_buf cut_short;
void on_sigbus(int) { siglongjmp(cut_short, 1); }
}  // namespace

int main(int argc, char** argv)
{
    if (!std_fds_open())
        return 1;
    if (const info_request q = find_info_request(argc, argv, "n:"); q != info_request::none)
        return print_info(q);
    long count = -1;  // reports to print; -1 = until interrupted
    bool as_json = false;
    enum { opt_json = 256 };
    static const option long_options[] = {{"json", no_argument, nullptr, opt_json}, {}};
    int ch;
    while ((ch = getopt_long(argc, argv, "n:", long_options, nullptr)) != -1) {
        if (ch == opt_json) {
            as_json = true;
            continue;
        }
        if (ch != 'n') {
            usage();
            return 1;
        }
        char* end = nullptr;
        count = std::strtol(optarg, &end, 10);
        if (!*optarg || *end || count < 1) {
            std::fprintf(stderr, "corvo-stat: invalid count %s\n", optarg);
            return 1;
        }
    }
    if (optind + 1 != argc) {
        usage();
        return 1;
    }
    const char* path = argv[optind];

    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "corvo-stat: cannot open %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size != static_cast<off_t>(session_bytes)) {
        std::fprintf(stderr, "corvo-stat: %s is not a session file (%zu bytes expected)\n", path,
                     session_bytes);
        return 1;
    }
    void* m = mmap(nullptr, session_bytes, PROT_READ, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) {
        std::fprintf(stderr, "corvo-stat: cannot mmap %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    close(fd);
    json_lines out;
    static session_layout snap;
    if (as_json && !out.open("-")) {
        std::fprintf(stderr, "corvo-stat: cannot write to standard output\n");
        return 1;
    }
    // A file cut short under the mapping raises SIGBUS on the pages past
    // its new end: report it rather than die of it.
    struct sigaction sa {};
    sa.sa_handler = on_sigbus;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGBUS, &sa, nullptr);
    if (sigsetjmp(cut_short, 1) != 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "corvo-stat: %s was cut short\n", path);
        return 1;
    }
    const auto* layout = static_cast<const session_layout*>(m);
    const uint32_t version = layout->header.version;
    if (version != session_version) {
        std::fprintf(stderr, "corvo-stat: %s: expected version %u, got %u\n", path, session_version, version);
        return 1;
    }

    static const char* const dirs[2] = {"A->B", "B->A"};
    for (long n = 0; count < 0 || n < count; ++n) {
        if (n > 0)
            sleep(1);
        if (as_json) {
            // Built from a copy: a file cut short faults in the copy,
            // never while objects with destructors are alive.
            snapshot(*layout, snap);
            if (!out.write(json_object_of(out, snap, path))) {
                std::fprintf(stderr, "corvo-stat: cannot write to standard output: %s\n",
                             std::strerror(errno));
                return 1;
            }
            continue;
        }
        for (int d = 0; d < 2; ++d) {
            print_block(dirs[d], true, layout->header.counters[2 * d]);
            print_block(dirs[d], false, layout->header.counters[2 * d + 1]);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    return 0;
}
