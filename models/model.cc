// Model tables at work: applying a specification text to a slot, and the
// two steps every parse function shares (reserving its parameter block and
// holding its value to the direction's limit).
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/log.hpp"
#include "common/numarg.hpp"
#include "models/model.hpp"
#include "pipe/pipe_state.hpp"

namespace {

struct free_deleter {
    void operator()(char** p) const { std::free(p); }
};

}  // namespace

int cmd_apply(model_table table, const char* text, pipe_state& pipe, model_spec* slot)
{
    if (!text || !*text)
        return 0;
    if (!table || !slot || !slot->slot_desc) {
        log_msg("program error - invalid arguments\n");
        std::exit(1);
    }
    model_desc& desc = *slot->slot_desc;
    if (std::strcmp(text, "none") == 0) {
        desc.present = 0;
        return 0;
    }
    int argc = 0;
    std::unique_ptr<char*, free_deleter> words(split_args(text, &argc));
    // A text of separators only has no words: no row can claim it.
    for (int k = 0; argc > 0 && table[k].parse; ++k) {
        model_spec candidate = table[k];
        candidate.param_block = nullptr;
        candidate.slot_desc = slot->slot_desc;
        const int r = table[k].parse(pipe, candidate, argc, words.get());
        if (r == 2)
            continue;
        if (r == 0) {
            *slot = candidate;
            slot->text = text;
            desc.row = static_cast<uint8_t>(k);
            desc.present = 1;
            return 0;
        }
        log_msg("invalid arguments: need '%s' have '%s'\n", table[k].text, text);
        break;
    }
    log_msg("arguments %s not recognised\n", text);
    desc.present = 0;
    return 1;
}

void* param_alloc(pipe_state& pipe, model_spec& candidate, size_t size)
{
    const uint32_t i = pipe.cur_instance;
    const uint64_t used = pipe.param_used[i];
    if (used + size >= params_bytes) {
        log_msg("no room for %zu bytes in external config instance %d\n", size, static_cast<int>(i));
        candidate.param_block = nullptr;
        return nullptr;
    }
    candidate.slot_desc->offset = static_cast<uint32_t>(used);
    candidate.slot_desc->size = static_cast<uint16_t>(size);
    pipe.param_used[i] = used + size;
    unsigned char* block = pipe.session->instance[i].params + used;
    // A fresh block never shows bytes (counters, bucket) of an earlier use.
    std::memset(block, 0, size);
    candidate.param_block = block;
    return block;
}

bool limit_check(uint64_t& limit, uint64_t value, const char* what)
{
    if (limit == 0) {
        limit = value;
        return true;
    }
    if (value > limit) {
        log_msg("invalid new %s %lld (max %lld)\n", what, static_cast<long long>(value),
                static_cast<long long>(limit));
        return false;
    }
    return true;
}
