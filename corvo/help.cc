// corvo --help: the options are described here, the models come from
// model_list, so a model added to a table appears without a word changed.
#include "corvo/help.hpp"

#include "common/program_info.hpp"
#include "corvo/options.hpp"
#include "models/model.hpp"

using namespace common;
using namespace pipes;
using namespace models;

namespace corvo {

namespace {

const char* kind_name(char letter)
{
    switch (letter) {
    case 'D':
        return "delay";
    case 'B':
        return "bandwidth";
    case 'L':
        return "loss";
    case 'R':
        return "reorder";
    default:
        return "model";
    }
}

constexpr char options_text[] =
    "\n"
    "Forwards Ethernet frames between two ports: direction A receives on ifa and\n"
    "sends on ifb, direction B the reverse.  Ports: netmap:IFNAME (AF_PACKET),\n"
    "xdp:IFNAME (AF_XDP), valeSW:PORT (shared-memory link).\n"
    "\n"
    "Per-direction options, each at most twice: once applies to both directions,\n"
    "twice gives A's, then B's.\n"
    "  -D spec      delay model (default: none)\n"
    "  -B spec      bandwidth model (default: none)\n"
    "  -L spec      loss model (default: none)\n"
    "  -R spec      reorder model (default: none)\n"
    "  -Q size      queue limit in bytes, below 4G; 0 = unlimited\n"
    "               (default: 50000 with a constant or ether -B, else unlimited)\n"
    "  -O time      subtracted from every computed delay (default: 0)\n"
    "  -P 0|1       1 drops a packet rather than push it behind the previous one\n"
    "               (default: 0)\n"
    "  -d time      late limit: a packet due longer ago is dropped (default: 100us)\n"
    "  -M max-delay[,max-bps[,max-hold]]\n"
    "               limits that size the buffers and bound later clients of the\n"
    "               session file; without -B, max-bps is also the bandwidth\n"
    "               (default: the values of the owner's own models)\n"
    "\n"
    "Other options:\n"
    "  -i port      the two ports, ifa then ifb (required)\n"
    "  -C cpus      CPUs of A's consumer, A's producer, B's consumer, B's producer:\n"
    "               v (v..v+3), a,b (a,a+1,b,b+1) or four numbers; -1 leaves a\n"
    "               thread unplaced (default: consumers in the lower half of the\n"
    "               processors, each producer half the count above)\n"
    "  -b burst     packets per pass, 1 to 8192 (default: 1024)\n"
    "  -w seconds   pause between opening the ports and starting, at most 100\n"
    "               (default: 0)\n"
    "  -r           route mode: IPv4 routing between the subnets of the ports\n"
    "  -G address   gateway of ifa, then of ifb (route mode; default: none)\n"
    "  -s file      session file: the first corvo owns it, later ones publish\n"
    "               their models to it and exit (default: none)\n"
    "  -a           with -s: stop the running owner\n"
    "  -H           lock the buffers and the program in memory (default: off)\n"
    "  -v, -q       more, fewer messages\n"
    "  -c           ignored\n"
    "  --seed N     every random draw of the run comes from N (default: the\n"
    "               clock's second; the seed used is logged)\n"
    "  --json PATH  the counters as one JSON object per line, once a second and\n"
    "               at exit; - for standard output (default: none)\n"
    "  --help       this text\n"
    "  --version    the version\n"
    "\n"
    "Models, by option; \"none\" leaves a model unset, and a text without a model\n"
    "name goes to the first model of its option (-D 10ms, -B 10M, -L 0.01):\n";

constexpr char units_text[] =
    "\n"
    "Times take n, u, m or s (a bare number is seconds); rates k, M, G (bit/s,\n"
    "1000-based); sizes k, M, G (bytes, 1024-based); probabilities 0 to 1.\n";

}  // namespace

void print_corvo_help(std::FILE* out)
{
    std::fputs(corvo_usage, out);
    std::fputs(options_text, out);
    for (const model_list_entry& e : model_list) {
        std::fprintf(out, "  -%c %s\n", e.letter, kind_name(e.letter));
        for (int r = 0; r < e.rows; ++r)
            std::fprintf(out, "       %s\n", e.table[r].text);
    }
    std::fputs(units_text, out);
}

int corvo_help_or_version(int argc, char** argv)
{
    switch (find_info_request(argc, argv, corvo_optstring.data())) {
    case info_request::help:
        print_corvo_help(stdout);
        break;
    case info_request::version:
        print_version("corvo", stdout);
        break;
    case info_request::none:
        return -1;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace corvo
