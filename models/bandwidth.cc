// Bandwidth models: how long the emulated link takes to serialise a packet
// (cur_tx, ns) and whether it is dropped (drop).
//
//   constant  entry n = n * 8e9 / bps: the time to send n bytes.
//   ether     entry n = (n + 24) * 8e9 / bps: the same with the Ethernet
//             framing the received length lacks (preamble and start
//             delimiter 8, frame check sequence 4, inter-frame gap 12).
//   avg       a token-bucket policer: no transmission time; the bucket gains
//             `token` bytes per 2^20 ns up to `depth` and each packet takes
//             its length + 24 bytes, or is dropped when the bucket holds less.
//
// The serialisers divide 9200 times at parse time so that a packet costs one
// lookup; entries are 32-bit and saturate at 4294967295 ns (rates below about
// 17.2 kbit/s for the longest packets).  A rate of 0 means an unlimited link
// for the serialisers and an empty bucket (every packet dropped) for avg.
// Rates are held to the direction's max_bps.
#include <algorithm>
#include <cstring>

#include "common/log.hpp"
#include "models/model_util.hpp"

using namespace common;
using namespace pipes;

namespace models {

namespace {

inline constexpr uint64_t avg_min_depth = 18400;     // bytes
inline constexpr unsigned avg_shift = 20;            // refill unit: 2^20 ns
inline constexpr double avg_unit_ms = 1.048576;

bool parse_rate(const char* word, uint64_t& out) { return parse_count_word(word, rate_units, out); }

void fill_tx(tx_table& t, uint64_t bps, uint32_t overhead)
{
    for (uint32_t n = 0; n < pkt_len_entries; ++n) {
        const uint64_t ns = models::serialise_ns(uint64_t{n} + overhead, bps);
        t.entry[n] = static_cast<uint32_t>(std::min<uint64_t>(ns, UINT32_MAX));
    }
}

// Both serialisers: the length is checked against the table so a packet
// longer than any table entry costs as much as the longest one.
inline int tx_lookup(pipe_state& pipe, const model_spec& slot) noexcept
{
    const uint32_t len = std::min(pipe.cur_len, pkt_len_entries - 1);
    pipe.cur_tx = params<tx_table>(slot).entry[len];
    pipe.drop = 0;
    return 0;
}

}  // namespace

int const_bw_parse(pipe_state& pipe, model_spec& candidate, int argc, const char* const* argv)
{
    if (argc < 1 || (argc >= 2 && std::strncmp(argv[0], "const", 5) != 0))
        return 2;
    if (argc >= 3)
        return 1;
    uint64_t bps;
    if (!parse_rate(argv[argc - 1], bps))
        return argc == 1 ? 2 : 1;  // a lone word that is no rate may be another row's
    auto* t = alloc_block<tx_table>(pipe, candidate);
    if (!t)
        return 1;
    if (!limit_check(pipe.session->max_bps, bps, "bandwidth"))
        return 1;
    fill_tx(*t, bps, 0);
    candidate.qsize_hint = serialiser_qsize;
    return 0;
}

int ether_bw_parse(pipe_state& pipe, model_spec& candidate, int argc, const char* const* argv)
{
    if (argc < 1 || !word_is(argv[0], "ether"))
        return 2;
    if (argc != 2)
        return 1;
    uint64_t bps;
    if (!parse_rate(argv[1], bps))
        return 1;
    if (!limit_check(pipe.session->max_bps, bps, "bandwidth"))
        return 1;
    auto* t = alloc_block<tx_table>(pipe, candidate);
    if (!t)
        return 1;
    fill_tx(*t, bps, ether_overhead);
    candidate.qsize_hint = serialiser_qsize;
    return 0;
}

int const_bw_run(pipe_state& pipe, const model_spec& slot) noexcept { return tx_lookup(pipe, slot); }

int ether_bw_run(pipe_state& pipe, const model_spec& slot) noexcept { return tx_lookup(pipe, slot); }

int avg_bw_parse(pipe_state& pipe, model_spec& candidate, int argc, const char* const* argv)
{
    if (argc < 1 || !word_is(argv[0], "avg"))
        return 2;
    if (argc != 2)
        return 1;
    uint64_t bps;
    if (!parse_rate(argv[1], bps))
        return 1;
    // Bytes per 2^20 ns, in this order of operations.
    const double t = static_cast<double>(bps) * 0.125 * 1048576 / 1000000000;
    const uint64_t token = static_cast<uint64_t>(t);
    if (bps != 0 && token == 0) {
        // The bucket would never fill and every packet would be dropped.
        log_msg("rate %llu too low for avg, need at least 7630\n", static_cast<unsigned long long>(bps));
        return 1;
    }
    if (!limit_check(pipe.session->max_bps, bps, "bandwidth"))
        return 1;
    auto* b = alloc_block<avg_param>(pipe, candidate);
    if (!b)
        return 1;
    b->token = token;
    b->depth = std::max<uint64_t>(static_cast<uint64_t>(4 * t), avg_min_depth);
    b->level = 0;
    b->last = 0;
    candidate.qsize_hint = 0;
    log_tagged("token %lluB/%.2fms depth %llu\n", static_cast<unsigned long long>(b->token), avg_unit_ms,
               static_cast<unsigned long long>(b->depth));
    return 0;
}

int avg_bw_run(pipe_state& pipe, const model_spec& slot) noexcept
{
    auto& b = params<avg_param>(slot);
    const uint64_t now = pipe.prod_now >> avg_shift;
    // Refill, capped at depth; a product or sum beyond 64 bits is a full bucket.
    uint64_t gain, level;
    if (__builtin_mul_overflow(now - b.last, b.token, &gain) ||
        __builtin_add_overflow(b.level, gain, &level) || level > b.depth)
        level = b.depth;
    b.last = now;
    pipe.cur_tx = 0;
    const uint64_t need = uint64_t{pipe.cur_len} + ether_overhead;
    if (level < need) {
        pipe.drop = 1;
    } else {
        pipe.drop = 0;
        level -= need;
    }
    b.level = level;
    return 0;
}

std::string const_bw_describe(const void* block)
{
    return "constant," + serialiser_rate(*static_cast<const tx_table*>(block), 0);
}

std::string ether_bw_describe(const void* block)
{
    return "ether," + serialiser_rate(*static_cast<const tx_table*>(block), ether_overhead);
}

// token is bytes per 2^20 ns, rounded down from the rate.
std::string avg_bw_describe(const void* block)
{
    const double t = double(static_cast<const avg_param*>(block)->token);
    return "avg," + (t == 0 ? std::string("0") : rate_text((t + 0.5) * 8e9 / 1048576.0));
}

}  // namespace models
