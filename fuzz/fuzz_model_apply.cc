// Every model specification text through cmd_apply, for each model table of
// both programs, then the installed model's run function on a few packets.
//
// Input: byte 0 picks the table (0-3 the emulator's -D -B -L -R, 4-6 the
// replayer's -D -B -L), byte 1 the session limits the emulator checks
// against (0: not yet set), bytes 2-3 a packet length; the rest is the text.
#include <sanitizer/asan_interface.h>

#include <memory>
#include <new>
#include <string>

#include "fuzz_util.hpp"
#include "models/model.hpp"
#include "pipe/pipe_state.hpp"
#include "wenlo/replay.hpp"

using namespace common;
using namespace pipes;
using namespace models;

namespace {

session_layout* layout()
{
    static session_layout* l = [] {
        fuzz::quiet_logs();
        return new session_layout{};  // on the heap: ASan sees its bounds
    }();
    return l;
}

void corvo_case(int kind, uint8_t limits, uint32_t len, const std::string& text)
{
    static pipe_state* p = new pipe_state{};
    p->~pipe_state();
    new (p) pipe_state{};
    session_layout* l = layout();
    session_area& a = l->area[0];
    // Limits as an owner with -M (or a client of one) would hold them.
    a.max_bps = limits & 1 ? 1000000000ull : 0;
    a.max_delay = limits & 2 ? 100000000ull : 0;
    a.max_hold = limits & 4 ? 50000000ull : 0;
    for (int k = 0; k < n_model_kinds; ++k)
        slot_reset(pipe_slot(*p, k));
    session_attach(*p, l, 0, 0);
    p->rand_state[0] = uint16_t(len);
    // The spare instance is off limits to the parse functions.
    ASAN_POISON_MEMORY_REGION(&a.instance[1], sizeof a.instance[1]);
    model_spec& slot = pipe_slot(*p, kind);
    const int r = cmd_apply(model_list[kind].table, text.c_str(), *p, &slot);
    FUZZ_CHECK(r == 0 || r == 1);
    FUZZ_CHECK(p->param_used[0] <= params_bytes && p->param_used[0] % 8 == 0);
    if (r == 0 && slot.run != null_run) {
        const model_desc& d = *slot.slot_desc;
        FUZZ_CHECK(d.present == 1 && d.row < model_list[kind].rows);
        FUZZ_CHECK(uint64_t(d.offset) + d.size <= params_bytes);
        FUZZ_CHECK(slot.param_block == a.instance[0].params + d.offset);
        FUZZ_CHECK(slot.run == model_list[kind].table[d.row].run);
        // A limit set before stays, one not yet set is taken from the model.
        if (limits & 2)
            FUZZ_CHECK(a.max_delay == 100000000ull);
        for (uint32_t n : {60u, 1514u, len % pkt_len_entries, pkt_len_entries - 1}) {
            p->cur_len = n;
            p->prod_now += 1000000;
            FUZZ_CHECK(slot.run(*p, slot) == 0);
        }
    }
    ASAN_UNPOISON_MEMORY_REGION(&a.instance[1], sizeof a.instance[1]);
}

void wenlo_case(int table, uint32_t len, const std::string& text)
{
    namespace w = wenlo;
    static const w::model_spec* const tables[] = {w::delay_table, w::bw_table, w::loss_table};
    auto rs = std::make_unique<w::replay_state>();
    w::model_spec* slots[] = {&rs->delay_slot, &rs->bw_slot, &rs->loss_slot};
    w::model_spec& slot = *slots[table];
    const int r = wenlo::cmd_apply(tables[table], text.c_str(), rs.get(), &slot);
    FUZZ_CHECK(r == 0 || r == 1);
    if (r == 0) {
        for (uint32_t n : {60u, 1514u, len}) {
            rs->cur_len = n;
            rs->cur_caplen = int32_t(n);
            rs->cur_tt = uint64_t(len) * 977;
            rs->drop = 0;
            FUZZ_CHECK(slot.run(rs.get(), &slot) == 0);
        }
    }
    // The exp and ber tables live as long as the process in the programs;
    // here they would pile up over millions of inputs.
    if (slot.run == w::exp_delay_run)
        std::free(slot.params.exp.table);
    if (slot.run == w::const_ber_run)
        std::free(slot.params.ber.table);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::input in{data, size};
    const uint8_t which = in.take<uint8_t>() % 7;
    const uint8_t limits = in.take<uint8_t>();
    const uint32_t len = in.take<uint16_t>();
    const std::string text(reinterpret_cast<const char*>(in.data), in.size);
    layout();
    if (which < n_model_kinds)
        corvo_case(which, limits, len, text);
    else
        wenlo_case(which - n_model_kinds, len, text);
    return 0;
}
