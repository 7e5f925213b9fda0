// wenlo --help: the options are described here, the models come from the
// tables of models.cc, so a model added to a table appears without a word
// changed.
#include "wenlo/help.hpp"

#include "common/program_info.hpp"
#include "wenlo/models.hpp"
#include "wenlo/run_opts.hpp"

using namespace common;

namespace wenlo {

namespace {

constexpr char options_text[] =
    "usage: wenlo [options] -f pcap-file -i port\n"
    "\n"
    "Replays a pcap capture on one port in a loop, each packet at a departure\n"
    "time computed in advance.  Ports: netmap:IFNAME (AF_PACKET), xdp:IFNAME\n"
    "(AF_XDP), valeSW:PORT (shared-memory link).\n"
    "\n"
    "Options:\n"
    "  -f file      the capture: pcap (either byte order, micro- or nanosecond\n"
    "               time stamps) or pcapng, Ethernet (required)\n"
    "  -i port      the port to send on (required)\n"
    "  -D spec      delay added to every packet (default: none)\n"
    "  -B spec      timing: a fixed rate, or the capture's gaps scaled\n"
    "               (default: the capture's own gaps)\n"
    "  -L spec      loss (default: none)\n"
    "  -b burst     packets between transmit syncs, 1 to 8192 (default: 128)\n"
    "  -C a[,b[,c,d]]\n"
    "               the replay thread runs on core a at real-time priority;\n"
    "               -1 leaves placement and priority alone (default: 2)\n"
    "  -w seconds   checked (at most 100) and otherwise without effect\n"
    "  -v           ignored\n"
    "  --pps N      a fixed packet rate instead of -B (k, M, G allowed)\n"
    "  --multiplier X\n"
    "               the capture's gaps divided by X, as -B real,X (0 < X <= 1000)\n"
    "  --loop N     stop after N passes over the capture (default: 0, endless)\n"
    "  --limit N    stop after N packets sent (default: none)\n"
    "  --duration T stop after T (seconds, or with n, u, m, s; default: none)\n"
    "  --dmac MAC   --smac MAC\n"
    "               rewrite every frame's destination / source MAC at load\n"
    "  --ipmap OLD/LEN:NEW/LEN\n"
    "               move IPv4 addresses of OLD/LEN into NEW/LEN at load (several\n"
    "               allowed, the first that matches applies)\n"
    "  --unique-ip  each pass n adds n to every IPv4 address (the last 32 bits of\n"
    "               IPv6 ones), checksums kept right\n"
    "  --seed N     seeds random(), from which every model draw comes (default:\n"
    "               its fixed default sequence)\n"
    "  --json PATH  counters, lateness and drift as one JSON object per line, once\n"
    "               a second and at exit; - for standard output (default: none)\n"
    "  --help       this text\n"
    "  --version    the version\n"
    "\n"
    "Models, by option; a text without a model name goes to the first model of\n"
    "its option (-D 10ms, -B 100M, -L 0.01):\n";

constexpr char tail_text[] =
    "\n"
    "Times take n, u, m or s (a bare number is seconds); rates k, M, G (bit/s,\n"
    "1000-based); probabilities 0 to 1.  -B 0 sends everything at once.\n"
    "Exit status: the number of the three model options absent or refused, and\n"
    "at least 1 when the replay failed.\n";

void print_table(std::FILE* out, char letter, const char* name, const model_spec* table)
{
    std::fprintf(out, "  -%c %s\n", letter, name);
    for (const model_spec* row = table; row->parse; ++row)
        std::fprintf(out, "       %s\n", row->text);
}

}  // namespace

void print_help(std::FILE* out)
{
    std::fputs(options_text, out);
    print_table(out, 'D', "delay", delay_table);
    print_table(out, 'B', "bandwidth", bw_table);
    print_table(out, 'L', "loss", loss_table);
    std::fputs(tail_text, out);
}

int help_or_version(int argc, char** argv)
{
    switch (find_info_request(argc, argv, wenlo_optstring)) {
    case info_request::help:
        print_help(stdout);
        break;
    case info_request::version:
        print_version("wenlo", stdout);
        break;
    case info_request::none:
        return -1;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace wenlo
