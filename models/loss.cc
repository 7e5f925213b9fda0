// Loss models: whether a packet is lost (drop = 1).
//
//   plr  a fixed packet loss rate p: lost when 24 random bits fall below
//        threshold = p * 2^24 (truncated; p = 1 loses every packet).
//   ber  a bit error rate b: a packet of n bytes is lost with the chance
//        that at least one of its 8n bits is hit, 1 - (1 - b)^(8n).  The
//        chances for n = 0 to 9199 are tabled at parse time as a running
//        product of q8 = (1 - b)^8 (three squarings), scaled by 2^24 and
//        capped at 2^24 - 1, so even b = 1 lets one packet in 2^24 through.
//
// Both keep counters in their block (pkts or bits, drops) that other
// processes mapping the session may read; a new block starts them at 0.
#include <algorithm>
#include <cstring>

#include "common/log.hpp"
#include "models/model_util.hpp"

using namespace common;
using namespace pipes;

namespace models {

int const_plr_parse(pipe_state& pipe, model_spec& candidate, int argc, const char* const* argv)
{
    if (argc < 1 || (argc >= 2 && !word_is(argv[0], "plr")))
        return 2;
    if (argc >= 3)
        return 1;
    double p;
    if (!parse_prob(argv[argc - 1], p))
        return 1;
    auto* b = alloc_block<plr_param>(pipe, candidate);
    if (!b)
        return 1;
    b->threshold = prob_threshold(p);
    if (p != 0 && b->threshold == 0)
        log_msg("WWW warning,  rounding %le down to 0\n", p);
    return 0;
}

int const_plr_run(pipe_state& pipe, const model_spec& slot) noexcept
{
    auto& b = params<plr_param>(slot);
    const uint32_t r24 = draw(pipe) & r24_mask;
    pipe.drop = r24 < b.threshold;
    counter_add(b.pkts, 1);
    counter_add(b.drops, static_cast<uint64_t>(pipe.drop));
    return 0;
}

int const_ber_parse(pipe_state& pipe, model_spec& candidate, int argc, const char* const* argv)
{
    if (argc < 1 || !word_is(argv[0], "ber"))
        return 2;
    if (argc != 2)
        return 1;
    double ber;
    if (!parse_prob(argv[1], ber))
        return 1;
    auto* b = alloc_block<ber_param>(pipe, candidate);
    if (!b)
        return 1;
    models::ber_table(ber, b->entry);
    b->threshold = prob_threshold(ber);
    return 0;
}

int const_ber_run(pipe_state& pipe, const model_spec& slot) noexcept
{
    auto& b = params<ber_param>(slot);
    uint32_t len = pipe.cur_len;
    const uint32_t r = draw(pipe);
    if (len >= pkt_len_entries) [[unlikely]] {
        log_limited(5, "pkt len %d too large, trim to %d\n", static_cast<int>(len),
                    static_cast<int>(pkt_len_entries - 1));
        len = pkt_len_entries - 1;
    }
    pipe.drop = (r & r24_mask) < b.entry[len];
    counter_add(b.bits, uint64_t{len} * 8);
    counter_add(b.drops, static_cast<uint64_t>(pipe.drop));
    return 0;
}

std::string const_plr_describe(const void* block)
{
    return "plr," + prob_text(static_cast<const plr_param*>(block)->threshold);
}

std::string const_ber_describe(const void* block)
{
    return "ber," + prob_text(static_cast<const ber_param*>(block)->threshold);
}

}  // namespace models
