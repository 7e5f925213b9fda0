// Reorder model: with probability p a packet is held back for `hold` ns
// (cur_hold) so that later packets overtake it; otherwise cur_hold is 0.
// The threshold is p * 2^24 against 24 random bits; the hold time is held
// to the direction's max_hold.  Its block is reserved before the values are
// checked, so a refused specification still uses its 16 bytes.
#include "common/log.hpp"
#include "models/model_util.hpp"

using namespace common;
using namespace pipes;

namespace models {

int const_reorder_parse(pipe_state& pipe, model_spec& candidate, int argc, const char* const* argv)
{
    if (argc < 1)
        return 2;
    if (argc != 2) {
        if (!word_is(argv[0], "const"))
            return 2;
        if (argc != 3)
            return 1;
    }
    auto* b = alloc_block<reorder_param>(pipe, candidate);
    if (!b)
        return 1;
    double p;
    if (!parse_prob(argv[argc - 2], p))
        return 1;
    b->threshold = prob_threshold(p);
    if (p != 0 && b->threshold == 0)
        log_msg("WWW warning,  rounding %le down to 0\n", p);
    uint64_t hold;
    if (!parse_count_word(argv[argc - 1], time_units, hold))
        return 1;
    if (!limit_check(pipe.session->max_hold, hold, "hold delay"))
        return 1;
    b->hold = hold;
    return 0;
}

int const_reorder_run(pipe_state& pipe, const model_spec& slot) noexcept
{
    const auto& b = params<reorder_param>(slot);
    const uint32_t r24 = draw(pipe) & r24_mask;
    pipe.cur_hold = r24 < b.threshold ? b.hold : 0;
    return 0;
}

std::string const_reorder_describe(const void* block)
{
    const auto& r = *static_cast<const reorder_param*>(block);
    return "const," + prob_text(r.threshold) + "," + time_text(r.hold);
}

}  // namespace models
