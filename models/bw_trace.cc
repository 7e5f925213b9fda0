// Bandwidth models driven by a delivery-opportunity trace or by cell
// accounting:
//
//   trace  trace,FILE: the file's lines are whole milliseconds, each one
//          opportunity to deliver 1500 bytes then; the trace repeats with
//          the period of its last timestamp.  It becomes a count of
//          opportunities per millisecond (one byte each, so at most
//          60000 ms and 255 per ms) when the option is applied;
//          the file is never read again.  cur_tx is the time from the
//          packet's arrival at the head of the link, max(prod_now, qt_qout),
//          until the opportunities cover its length; opportunities that
//          find the link empty are lost (models/model_tables.hpp).  Time 0
//          of the trace is the head time of the first packet after the
//          block takes effect.  The peak, 12 Mbit/s per opportunity in the
//          busiest millisecond, is held to max_bps.  A frame that enqueue
//          then drops for overlap (-P 1) has used its opportunities.
//   cell   cell,BPS,OVERHEAD[,CELL[,CELLOVERHEAD]]: a constant rate where a
//          frame of L bytes costs L + OVERHEAD bytes (at least 1) and, with
//          CELL > 0, ceil((L + OVERHEAD)/CELL) cells of CELL + CELLOVERHEAD
//          bytes.  The received length lacks the Ethernet framing: OVERHEAD
//          says what the link adds.  A 9200-entry table as constant's.
//
// Neither drops: the queue limit (50000 bytes unless -Q says otherwise)
// does.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/log.hpp"
#include "models/model_util.hpp"

using namespace common;
using namespace pipes;

namespace models {

static_assert(param_record<trace_param> && param_record<cell_param>);
// The largest block of each kind fits one instance's params area together.
static_assert(sizeof(dist_param) + sizeof(trace_param) + sizeof(ber_param) + sizeof(reorder_param) <
              params_bytes);

namespace {

inline constexpr uint64_t link_qsize = 50000;  // bytes
inline constexpr uint64_t opp_bps = models::trace_opp_bytes * 8 * 1000;

}  // namespace

int trace_bw_parse(pipe_state& pipe, model_spec& candidate, int argc, const char* const* argv)
{
    if (argc < 1 || !word_is(argv[0], "trace"))
        return 2;
    if (argc != 2)
        return 1;
    std::vector<uint8_t> count(models::trace_max_ms);
    uint32_t period = 0, peak = 0;
    std::string err;
    if (!models::read_trace_file(argv[1], count, period, peak, err)) {
        log_msg("trace: %s\n", err.c_str());
        return 1;
    }
    log_msg("trace: %s, period %u ms, peak %u opportunities per ms\n", argv[1], period, peak);
    if (!limit_check(pipe.session->max_bps, uint64_t{peak} * opp_bps, "bandwidth"))
        return 1;
    auto* b = alloc_block<trace_param>(pipe, candidate);
    if (!b)
        return 1;
    b->cur = models::trace_start(period);
    std::copy(count.begin(), count.end(), b->count);
    candidate.qsize_hint = link_qsize;
    return 0;
}

int trace_bw_run(pipe_state& pipe, const model_spec& slot) noexcept
{
    auto& b = params<trace_param>(slot);
    const uint64_t head =
        static_cast<int64_t>(pipe.prod_now - pipe.qt_qout) > 0 ? pipe.prod_now : pipe.qt_qout;
    pipe.cur_tx = models::trace_tx(b.cur, b.count, head, pipe.cur_len);
    pipe.drop = 0;
    return 0;
}

int cell_bw_parse(pipe_state& pipe, model_spec& candidate, int argc, const char* const* argv)
{
    if (argc < 1 || !word_is(argv[0], "cell"))
        return 2;
    if (argc < 3 || argc > 5)
        return 1;
    uint64_t bps;
    if (!parse_count_word(argv[1], rate_units, bps)) {
        log_msg("cell: rate %s is not a rate of 0 or more\n", argv[1]);
        return 1;
    }
    models::cell_spec c;
    if (!models::cell_args(argc, argv, c))
        return 1;
    if (!limit_check(pipe.session->max_bps, bps, "bandwidth"))
        return 1;
    auto* b = alloc_block<cell_param>(pipe, candidate);
    if (!b)
        return 1;
    b->c = c;
    b->bps = bps;
    for (uint32_t n = 0; n < pkt_len_entries; ++n) {
        const uint64_t ns = models::serialise_ns(models::cell_bytes(n, c), bps);
        b->t.entry[n] = static_cast<uint32_t>(std::min<uint64_t>(ns, UINT32_MAX));
    }
    candidate.qsize_hint = link_qsize;
    return 0;
}

int cell_bw_run(pipe_state& pipe, const model_spec& slot) noexcept
{
    const uint32_t len = std::min(pipe.cur_len, pkt_len_entries - 1);
    pipe.cur_tx = params<cell_param>(slot).t.entry[len];
    pipe.drop = 0;
    return 0;
}

// The file is gone: the trace's period and its opportunities in a period.
std::string trace_bw_describe(const void* block)
{
    const auto& b = *static_cast<const trace_param*>(block);
    if (!models::trace_sane(b.cur))
        return "trace,invalid";
    uint64_t n = 0;
    for (uint64_t m = 0; m < b.cur.period; ++m)
        n += b.count[m];
    std::string s = "trace,";
    s += std::to_string(b.cur.period);
    s += "ms,";
    s += std::to_string(n);
    s += " opportunities";
    return s;
}

std::string cell_bw_describe(const void* block)
{
    const auto& b = *static_cast<const cell_param*>(block);
    std::string s = "cell,";
    s += rate_text(double(b.bps));
    s += ',';
    s += std::to_string(b.c.overhead);
    if (b.c.cell != 0) {  // CELL and CELLOVERHEAD only when there are cells
        s += ',';
        s += std::to_string(b.c.cell);
        s += ',';
        s += std::to_string(b.c.cell_overhead);
    }
    return s;
}

}  // namespace models
