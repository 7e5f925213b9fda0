// Delay models: the extra time a packet spends on the emulated link after
// it has been serialised, written to cur_delay (ns).
//
//   constant      every packet waits `delay`.
//   uniform       dmin + (r24 * (dmax - dmin)) >> 24: from dmin up to just
//                 below dmax in steps of range / 2^24.
//   exp           dmin plus an exponential part of mean davg - dmin, reduced
//                 at parse time to the inverse distribution sampled at 512
//                 equally likely points: entry i = dmin - s * ln((512 - i) / 512)
//                 with s = davg - dmin; the run picks one with 9 random bits.
//                 The table's mean is dmin + 0.99211 s, its top dmin + 6.238 s.
//   inter-packet  while the previous packet is still arriving, the packet is
//                 made due one random gap in [min_gap, max_gap) after it;
//                 on an idle link it waits the fixed `delay`.
//
// Every delay is held to the direction's max_delay (for exp the value held
// is dmin + 4 * davg).  Random models draw once per packet from the
// direction's nrand48 state.
#include <cmath>
#include <cstring>

#include "common/log.hpp"
#include "models/model_util.hpp"

using namespace common;
using namespace pipes;

namespace models {

namespace {

bool parse_time(const char* word, uint64_t& out) { return parse_count_word(word, time_units, out); }

}  // namespace

int const_delay_parse(pipe_state& pipe, model_spec& candidate, int argc, const char* const* argv)
{
    if (argc < 1 || (argc >= 2 && std::strncmp(argv[0], "const", 5) != 0))
        return 2;
    if (argc >= 3)
        return 1;
    uint64_t delay;
    if (!parse_time(argv[argc - 1], delay))
        return 1;
    if (!limit_check(pipe.session->max_delay, delay, "delay"))
        return 1;
    auto* b = alloc_block<delay_param>(pipe, candidate);
    if (!b)
        return 1;
    b->delay = delay;
    return 0;
}

int const_delay_run(pipe_state& pipe, const model_spec& slot) noexcept
{
    pipe.cur_delay = params<delay_param>(slot).delay;
    return 0;
}

int uniform_delay_parse(pipe_state& pipe, model_spec& candidate, int argc, const char* const* argv)
{
    if (argc < 1 || !word_is(argv[0], "uniform"))
        return 2;
    if (argc != 3)
        return 1;
    uint64_t dmin, dmax;
    if (!parse_time(argv[1], dmin) || !parse_time(argv[2], dmax) || dmax < dmin)
        return 1;
    log_msg("dmin %lld dmax %lld\n", static_cast<long long>(dmin), static_cast<long long>(dmax));
    if (!limit_check(pipe.session->max_delay, dmax, "delay"))
        return 1;
    auto* b = alloc_block<uniform_param>(pipe, candidate);
    if (!b)
        return 1;
    b->dmin = dmin;
    b->dmax = dmax;
    b->range = dmax - dmin;
    return 0;
}

int uniform_delay_run(pipe_state& pipe, const model_spec& slot) noexcept
{
    const auto& b = params<uniform_param>(slot);
    const uint32_t r24 = draw(pipe) & r24_mask;
    pipe.cur_delay = b.dmin + scale_r24(r24, b.range);
    return 0;
}

int exp_delay_parse(pipe_state& pipe, model_spec& candidate, int argc, const char* const* argv)
{
    if (argc < 1 || !word_is(argv[0], "exp"))
        return 2;
    if (argc != 3)
        return 1;
    uint64_t dmin, davg;
    if (!parse_time(argv[1], dmin) || !parse_time(argv[2], davg) || davg < dmin)
        return 1;
    // The value held to the limit must itself be a valid count.
    uint64_t four_avg, held;
    if (__builtin_mul_overflow(davg, 4, &four_avg) || __builtin_add_overflow(dmin, four_avg, &held))
        return 1;
    if (!limit_check(pipe.session->max_delay, held, "delay"))
        return 1;
    auto* b = alloc_block<exp_param>(pipe, candidate);
    if (!b)
        return 1;
    if (!models::exp_table(dmin, davg, models::exp_base::natural, b->entry))
        return 1;  // the tail of the table would not fit 64 bits
    return 0;
}

int exp_delay_run(pipe_state& pipe, const model_spec& slot) noexcept
{
    pipe.cur_delay = params<exp_param>(slot).entry[draw(pipe) & (exp_entries - 1)];
    return 0;
}

int inter_packet_delay_parse(pipe_state& pipe, model_spec& candidate, int argc, const char* const* argv)
{
    if (argc < 1 || !word_is(argv[0], "inter-packet"))
        return 2;
    if (argc != 4)
        return 1;
    uint64_t min_gap, max_gap, delay;
    if (!parse_time(argv[1], min_gap) || !parse_time(argv[2], max_gap) || !parse_time(argv[3], delay) ||
        max_gap < min_gap)
        return 1;
    log_msg("min-gap %lld max-gap %lld delay %lld\n", static_cast<long long>(min_gap),
            static_cast<long long>(max_gap), static_cast<long long>(delay));
    if (!limit_check(pipe.session->max_delay, delay, "delay"))
        return 1;
    auto* b = alloc_block<inter_packet_param>(pipe, candidate);
    if (!b)
        return 1;
    b->min_gap = min_gap;
    b->max_gap = max_gap;
    b->gap_range = max_gap - min_gap;
    b->delay = delay;
    return 0;
}

int inter_packet_delay_run(pipe_state& pipe, const model_spec& slot) noexcept
{
    const auto& b = params<inter_packet_param>(slot);
    const uint32_t r24 = draw(pipe) & r24_mask;
    const uint64_t ahead = pipe.qt_tx - pipe.prod_now;
    if (static_cast<int64_t>(ahead) >= 0)  // the last queued packet is still arriving
        pipe.cur_delay = ahead + b.min_gap + scale_r24(r24, b.gap_range);
    else
        pipe.cur_delay = b.delay;
    return 0;
}

namespace {

template <typename P>
const P& block_of(const void* block)
{
    return *static_cast<const P*>(block);
}

}  // namespace

std::string const_delay_describe(const void* block)
{
    return "constant," + time_text(block_of<delay_param>(block).delay);
}

std::string uniform_delay_describe(const void* block)
{
    const auto& u = block_of<uniform_param>(block);
    return "uniform," + time_text(u.dmin) + "," + time_text(u.dmax);
}

// The table's least value and its mean.
std::string exp_delay_describe(const void* block)
{
    const auto& e = block_of<exp_param>(block);
    double sum = 0;
    uint64_t least = e.entry[0];
    for (uint64_t v : e.entry) {
        sum += double(v);
        least = v < least ? v : least;
    }
    return "exp," + time_text(least) + "," + time_text(uint64_t(std::llround(sum / exp_entries)));
}

std::string inter_packet_delay_describe(const void* block)
{
    const auto& g = block_of<inter_packet_param>(block);
    return "inter-packet," + time_text(g.min_gap) + "," + time_text(g.max_gap) + "," + time_text(g.delay);
}

}  // namespace models
