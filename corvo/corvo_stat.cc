// corvo-stat: prints the live counters of a running emulator from its
// session file, once a second.
//
//   corvo-stat [-n count] FILE
//
// Each second it prints the four counter blocks, one line each, then an
// empty line:
//   A->B prod pkts N bytes N drop_pkts N drop_bytes N hold_pkts N hold_bytes N
//        port_drop_pkts N port_drop_bytes N
//   A->B cons pkts N bytes N drop_pkts N drop_bytes N port_drop_pkts N port_drop_bytes N
//   B->A prod ...
//   B->A cons ...
// The file is mapped read-only and never locked, so the emulator does not
// notice the reader.  With -n it stops after count reports.
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/std_fds.hpp"
#include "pipe/session_layout.hpp"

namespace {

void usage()
{
    std::fprintf(stderr, "usage: corvo-stat [-n count] session-file\n");
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

}  // namespace

namespace {
sigjmp_buf cut_short;
void on_sigbus(int) { siglongjmp(cut_short, 1); }
}  // namespace

int main(int argc, char** argv)
{
    if (!std_fds_open())
        return 1;
    long count = -1;  // reports to print; -1 = until interrupted
    int ch;
    while ((ch = getopt(argc, argv, "n:")) != -1) {
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
    struct stat st{};
    if (fstat(fd, &st) != 0 || st.st_size != static_cast<off_t>(session_bytes)) {
        std::fprintf(stderr, "corvo-stat: %s is not a session file (%zu bytes expected)\n", path, session_bytes);
        return 1;
    }
    void* m = mmap(nullptr, session_bytes, PROT_READ, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) {
        std::fprintf(stderr, "corvo-stat: cannot mmap %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    close(fd);
    // A file cut short under the mapping raises SIGBUS on the pages past
    // its new end: report it rather than die of it.
    struct sigaction sa{};
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
        for (int d = 0; d < 2; ++d) {
            print_block(dirs[d], true, layout->header.counters[2 * d]);
            print_block(dirs[d], false, layout->header.counters[2 * d + 1]);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    return 0;
}
