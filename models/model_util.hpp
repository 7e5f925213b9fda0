// Steps shared by the parse and run functions of the models.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/log.hpp"
#include "common/numarg.hpp"
#include "models/model.hpp"
#include "pipe/pipe_state.hpp"

namespace models {

// A count (time in ns, rate in bit/s) from one word: false when parse_gen
// fails or the value is negative, nan, infinite or does not fit.
inline bool parse_count_word(const char* word, const common::unit_entry* units, uint64_t& out)
{
    out = common::parse_count(word, units);
    return out != common::invalid_count;
}

// A probability: a plain number (no suffix) with 0 <= p <= 1; nan fails.
inline bool parse_prob(const char* word, double& p) { return models::parse_prob(common::parse_gen, word, p); }

inline bool word_is(const char* word, const char* keyword) { return std::strcmp(word, keyword) == 0; }

// The block of a fresh parameter record, or null when the instance is full.
// A record larger than its row's block_bytes is a programming error: a
// published descriptor of it would be refused, or its block could run past
// the params area; it ends the process with status 1.
template <pipes::param_record P>
inline P* alloc_block(pipes::pipe_state& pipe, pipes::model_spec& candidate)
{
    if (sizeof(P) > candidate.block_bytes) {
        log_msg("program error - invalid arguments\n");
        std::exit(1);
    }
    return static_cast<P*>(param_alloc(pipe, candidate, sizeof(P)));
}

// One draw of the direction's generator.
inline uint32_t draw(pipes::pipe_state& pipe) noexcept
{
    return static_cast<uint32_t>(nrand48(pipe.rand_state));
}

}  // namespace models
