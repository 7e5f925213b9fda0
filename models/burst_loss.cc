// Bursty loss models (see models/model_tables.hpp for the chains):
//
//   ge      Gilbert-Elliott, ge,P[,R[,LB[,LG]]]: Good->Bad with P, Bad->Good
//           with R, then lost with LB in Bad and LG in Good.  Defaults
//           R = 1 - P, LB = 1, LG = 0.  Long-run loss (P LB + R LG)/(P + R);
//           with LB = 1 and LG = 0 bursts last 1/R packets on average.
//   markov  the 4-state model, markov,P13[,P31[,P32[,P23[,P14]]]].
//           Defaults P31 = 1 - P13, P32 = 0, P23 = 1, P14 = 0;
//           P13 + P14 and P31 + P32 may not exceed 1.
//
// Probabilities are written as plr's: plain fractions from 0 to 1, turned
// into thresholds against 24 random bits.  The chain's state lives in the
// block and starts in Good (state 1) when the block is new; counters of
// packets and drops as plr's.
#include <cstdio>

#include "common/log.hpp"
#include "models/model_util.hpp"

using namespace common;
using namespace pipes;

namespace models {

static_assert(param_record<ge_param> && param_record<markov_param>);

namespace {

// Up to n probabilities from argv[1..argc-1] into p (defaults stay where
// absent); false (logged) at the first that is no fraction in [0, 1].
bool parse_probs(const char* model, int argc, const char* const* argv, double* p, int n,
                 const char* const* names)
{
    for (int k = 0; k < n && k + 1 < argc; ++k) {
        if (!parse_prob(argv[k + 1], p[k])) {
            log_msg("%s: %s %s is not a probability from 0 to 1\n", model, names[k], argv[k + 1]);
            return false;
        }
    }
    return true;
}

}  // namespace

int ge_loss_parse(pipe_state& pipe, model_spec& candidate, int argc, const char* const* argv)
{
    if (argc < 1 || !word_is(argv[0], "ge"))
        return 2;
    if (argc < 2 || argc > 5)
        return 1;
    static constexpr const char* names[] = {"P", "R", "LB", "LG"};
    double p[4] = {0, -1, 1, 0};
    if (!parse_probs("ge", argc, argv, p, 4, names))
        return 1;
    if (p[1] < 0)
        p[1] = 1 - p[0];
    auto* b = alloc_block<ge_param>(pipe, candidate);
    if (!b)
        return 1;
    b->s = {prob_threshold(p[0]), prob_threshold(p[1]), prob_threshold(p[2]), prob_threshold(p[3]), 0};
    log_msg("ge: long-run loss %.6f\n", models::ge_loss_ratio(b->s));
    return 0;
}

int ge_loss_run(pipe_state& pipe, const model_spec& slot) noexcept
{
    auto& b = params<ge_param>(slot);
    pipe.drop = models::ge_step(b.s, [&] { return draw(pipe) & r24_mask; });
    counter_add(b.pkts, 1);
    counter_add(b.drops, static_cast<uint64_t>(pipe.drop));
    return 0;
}

int markov_loss_parse(pipe_state& pipe, model_spec& candidate, int argc, const char* const* argv)
{
    if (argc < 1 || !word_is(argv[0], "markov"))
        return 2;
    if (argc < 2 || argc > 6)
        return 1;
    static constexpr const char* names[] = {"P13", "P31", "P32", "P23", "P14"};
    double p[5] = {0, -1, 0, 1, 0};  // P13, P31, P32, P23, P14
    if (!parse_probs("markov", argc, argv, p, 5, names))
        return 1;
    if (p[1] < 0)
        p[1] = 1 - p[0];
    const uint64_t t13 = prob_threshold(p[0]), t31 = prob_threshold(p[1]), t32 = prob_threshold(p[2]);
    const uint64_t t23 = prob_threshold(p[3]), t14 = prob_threshold(p[4]);
    if (t13 + t14 > prob_scale || t31 + t32 > prob_scale) {
        log_msg("markov: P13 + P14 and P31 + P32 may not exceed 1\n");
        return 1;
    }
    auto* b = alloc_block<markov_param>(pipe, candidate);
    if (!b)
        return 1;
    b->s = {t13, t13 + t14, t31, t31 + t32, t23, 0};
    log_msg("markov: long-run loss %.6f\n", models::markov_loss_ratio(b->s));
    return 0;
}

int markov_loss_run(pipe_state& pipe, const model_spec& slot) noexcept
{
    auto& b = params<markov_param>(slot);
    pipe.drop = models::markov_step(b.s, [&] { return draw(pipe) & r24_mask; });
    counter_add(b.pkts, 1);
    counter_add(b.drops, static_cast<uint64_t>(pipe.drop));
    return 0;
}

// Every probability, defaults included.
std::string ge_loss_describe(const void* block)
{
    const models::ge_state& s = static_cast<const ge_param*>(block)->s;
    return "ge," + prob_text(s.p_gb) + "," + prob_text(s.p_bg) + "," + prob_text(s.loss_bad) + "," +
           prob_text(s.loss_good);
}

// P14 and P32 are what the cumulative thresholds add.
std::string markov_loss_describe(const void* block)
{
    const models::markov_state& s = static_cast<const markov_param*>(block)->s;
    const uint64_t p14 = s.p13_14 >= s.p13 ? s.p13_14 - s.p13 : 0;
    const uint64_t p32 = s.p31_32 >= s.p31 ? s.p31_32 - s.p31 : 0;
    return "markov," + prob_text(s.p13) + "," + prob_text(s.p31) + "," + prob_text(p32) + "," +
           prob_text(s.p23) + "," + prob_text(p14);
}

}  // namespace models
