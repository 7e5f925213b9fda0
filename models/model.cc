// Model tables at work: applying a specification text to a slot, and the
// two steps every parse function shares (reserving its parameter block and
// holding its value to the direction's limit).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/log.hpp"
#include "common/numarg.hpp"
#include "models/model.hpp"
#include "pipe/pipe_state.hpp"

using namespace common;
using namespace pipes;

namespace models {

namespace {

// The last value a session limit refused in this thread, kept for the line
// with which cmd_apply ends a refusal.  Options are applied by one thread;
// thread_local keeps the model tests' threads apart.
struct limit_refusal {
    const char* what;  // null: none during the current cmd_apply
    uint64_t value;
    uint64_t limit;
};
thread_local limit_refusal last_refusal{};

// A count written as an option takes it, exactly: the largest unit that
// divides it.
void exact_text(uint64_t v, bool rate, char* out, size_t size)
{
    static constexpr struct {
        uint64_t unit;
        const char* time;
        const char* rate;
    } units[] = {{1000000000, "s", "G"}, {1000000, "ms", "M"}, {1000, "us", "k"}};
    for (const auto& u : units) {
        if (v != 0 && v % u.unit == 0) {
            std::snprintf(out, size, "%llu%s", static_cast<unsigned long long>(v / u.unit),
                          rate ? u.rate : u.time);
            return;
        }
    }
    std::snprintf(out, size, "%llu%s", static_cast<unsigned long long>(v), rate ? "" : "ns");
}

// Which limit refused a value, and how it is raised: the limits are the
// owner's -M (max-delay,max-bps,max-hold), or else the values of its own
// first models, and are fixed while it runs.
void explain_refusal(const limit_refusal& r)
{
    struct limit_name {
        const char* what;
        const char* word;
        const char* m_before;
        bool rate;
    };
    static constexpr limit_name names[] = {
        {"delay", "max-delay", "", false},
        {"bandwidth", "max-bps", "max-delay,", true},
        {"hold delay", "max-hold", "max-delay,max-bps,", false},
    };
    const limit_name* n = nullptr;
    for (const limit_name& e : names) {
        if (std::strcmp(e.what, r.what) == 0)
            n = &e;
    }
    if (!n) {
        log_msg("refused by the session's %s limit, set when its owner started (-M)\n", r.what);
        return;
    }
    char value[32], limit[32];
    exact_text(r.value, n->rate, value, sizeof value);
    exact_text(r.limit, n->rate, limit, sizeof limit);
    log_msg(
        "refused by the session's %s limit (%s %s), set when its owner started, by its -M or "
        "else its own models: to allow %s, start the owner with -M %s%s\n",
        r.what, n->word, limit, value, n->m_before, value);
}

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
    split_words words(split_args_or_exit(text, &argc));
    last_refusal.what = nullptr;
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
    if (last_refusal.what)
        explain_refusal(last_refusal);
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
        last_refusal = {what, value, limit};
        return false;
    }
    return true;
}

}  // namespace models
