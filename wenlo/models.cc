// The replayer's models.  Every random draw comes from random(), seeded
// only by --seed, so two runs with the same options draw the same sequence.
//
// Delay:     constant (cur_delay = delay), uniform (dmin + r24 x range / 2^24),
//            exp (a 512-entry table of dmin - (davg - dmin) x log2((512-i)/512)
//            picked by 9 random bits).
// Bandwidth: constant / ether (cur_tt = bytes x 8e9 / bps; ether adds the 24
//            bytes of Ethernet framing), real (capture gap / scale).
// Loss:      plr (drop when r24 < p x 2^24), ber (drop when r24 is below the
//            probability that a packet of that length has a bit error).
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/log.hpp"
#include "models/model_math.hpp"
#include "wenlo/replay.hpp"

using namespace common;
using namespace models;

namespace wenlo {

namespace {

bool starts_const(const char* w) { return std::strncmp(w, "const", 5) == 0; }

// A time, rate or count: invalid (all ones) when the parse fails.
uint64_t count_of(const char* text, const unit_entry* table)
{
    int err = 0;
    double v = wenlo::parse_gen(text, table, &err);
    return to_count(v, err);
}

// A probability 0 <= p <= 1 (nan refused); false when invalid.
bool prob_of(const char* text, double& p) { return models::parse_prob(wenlo::parse_gen, text, p); }

uint64_t tt_of(uint64_t bytes, uint64_t bps) { return models::serialise_ns(bytes, bps); }

}  // namespace

double parse_gen(const char* text, const unit_entry* table, int* error)
{
    if (table == nullptr && text != nullptr) {
        char* end = nullptr;
        (void)std::strtod(text, &end);
        if (end != text && *end != '\0') {
            if (error != nullptr)
                *error = 1;
            return 0;
        }
    }
    return ::parse_gen(text, table, error);
}

// The list keeps the tables reachable.
void* kept_table(size_t n, size_t size)
{
    static std::vector<void*>& all = *new std::vector<void*>;
    void* p = std::calloc(n, size);
    if (p != nullptr)
        all.push_back(p);
    return p;
}

int null_run(replay_state*, model_spec*) { return 0; }

model_spec empty_slot()
{
    model_spec s{};
    s.run = null_run;
    s.text = "0";
    return s;
}

// ---- delay

int const_delay_parse(replay_state*, model_spec* cand, int argc, char** argv)
{
    if (argc >= 2 && !starts_const(argv[0]))
        return 2;
    if (argc > 2)
        return 1;
    uint64_t d = count_of(argv[argc - 1], time_units);
    if (d == invalid_count)
        return 1;
    cand->params.delay = delay_param{d};
    return 0;
}

int const_delay_run(replay_state* rs, model_spec* slot)
{
    rs->cur_delay = slot->params.delay.delay;
    return 0;
}

int uniform_delay_parse(replay_state*, model_spec* cand, int argc, char** argv)
{
    if (std::strcmp(argv[0], "uniform") != 0)
        return 2;
    if (argc != 3)
        return 1;
    uint64_t dmin = count_of(argv[1], time_units);
    uint64_t dmax = count_of(argv[2], time_units);
    if (dmin == invalid_count || dmax == invalid_count || dmax < dmin)
        return 1;
    log_tagged("dmin %lld dmax %lld\n", static_cast<long long>(dmin), static_cast<long long>(dmax));
    cand->params.uniform = uniform_param{dmin, dmax, dmax - dmin};
    return 0;
}

int uniform_delay_run(replay_state* rs, model_spec* slot)
{
    const uniform_param& p = slot->params.uniform;
    rs->cur_delay = p.dmin + models::scale_r24(draw24(), p.range);
    return 0;
}

int exp_delay_parse(replay_state*, model_spec* cand, int argc, char** argv)
{
    if (std::strcmp(argv[0], "exp") != 0)
        return 2;
    if (argc != 3)
        return 1;
    uint64_t dmin = count_of(argv[1], time_units);
    uint64_t davg = count_of(argv[2], time_units);
    if (dmin == invalid_count || davg == invalid_count || davg < dmin)
        return 1;
    auto* table = kept<uint64_t>(exp_entries);
    if (table == nullptr)
        return 1;
    if (!models::exp_table(dmin, davg, models::exp_base::two, {table, exp_entries}))
        return 1;  // the tail of the table would not fit 64 bits
    cand->params.exp = exp_param{table, exp_entries * sizeof(uint64_t)};
    return 0;
}

int exp_delay_run(replay_state* rs, model_spec* slot)
{
    uint64_t d = slot->params.exp.table[random() & (exp_entries - 1)];
    rs->cur_delay = d;
    log_limited(5, "delay %llu\n", static_cast<unsigned long long>(d));
    return 0;
}

// ---- bandwidth

int const_bw_parse(replay_state*, model_spec* cand, int argc, char** argv)
{
    if (argc >= 2 && !starts_const(argv[0]))
        return 2;
    if (argc > 2)
        return 1;
    uint64_t bps = count_of(argv[argc - 1], rate_units);
    if (bps == invalid_count)
        return argc == 1 ? 2 : 1;
    cand->params.bw = bw_param{bps};
    return 0;
}

int const_bw_run(replay_state* rs, model_spec* slot)
{
    rs->cur_tt = tt_of(rs->cur_len, slot->params.bw.bps);
    return 0;
}

int ether_bw_parse(replay_state*, model_spec* cand, int argc, char** argv)
{
    if (std::strcmp(argv[0], "ether") != 0)
        return 2;
    if (argc != 2)
        return 1;
    uint64_t bps = count_of(argv[1], rate_units);
    if (bps == invalid_count)
        return 1;
    cand->params.bw = bw_param{bps};
    return 0;
}

int ether_bw_run(replay_state* rs, model_spec* slot)
{
    rs->cur_tt = tt_of(uint64_t{rs->cur_len} + 24, slot->params.bw.bps);
    return 0;
}

int real_bw_parse(replay_state*, model_spec* cand, int argc, char** argv)
{
    if (std::strcmp(argv[0], "real") != 0)
        return 2;
    if (argc > 2)
        return 1;
    double scale = 1.0;
    if (argc == 2) {
        int err = 0;
        scale = wenlo::parse_gen(argv[1], nullptr, &err);
        if (err != 0 || !(scale > 0.0 && scale <= 1000.0))
            return 1;
    }
    log_msg("real -> scale is %.6f\n", scale);
    cand->params.real = real_param{scale};
    return 0;
}

int real_bw_run(replay_state* rs, model_spec* slot)
{
    // A quotient beyond 2^64 saturates (to_count gives all ones).
    rs->cur_tt = to_count(static_cast<double>(rs->cur_tt) / slot->params.real.scale, 0);
    return 0;
}

// ---- loss

int const_plr_parse(replay_state*, model_spec* cand, int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[0], "plr") != 0)
        return 2;
    if (argc > 2)
        return 1;
    double p;
    if (!prob_of(argv[argc - 1], p))
        return 1;
    uint64_t threshold = models::prob_threshold(p);
    if (p != 0 && threshold == 0)
        log_msg("WWW warning,  rounding %le down to 0\n", p);
    cand->params.plr = plr_param{threshold, 0, 0};
    return 0;
}

int const_plr_run(replay_state* rs, model_spec* slot)
{
    plr_param& p = slot->params.plr;
    rs->drop = draw24() < p.threshold ? 1 : 0;
    bump(p.pkts, 1);
    bump(p.drops, rs->drop);
    return 0;
}

int const_ber_parse(replay_state*, model_spec* cand, int argc, char** argv)
{
    if (std::strcmp(argv[0], "ber") != 0)
        return 2;
    if (argc != 2)
        return 1;
    double b;
    if (!prob_of(argv[1], b))
        return 1;
    auto* table = kept<uint32_t>(ber_entries);
    if (table == nullptr)
        return 1;
    models::ber_table(b, {table, ber_entries});
    cand->params.ber = ber_param{table, ber_entries * sizeof(uint32_t), models::prob_threshold(b), 0, 0};
    return 0;
}

int const_ber_run(replay_state* rs, model_spec* slot)
{
    ber_param& p = slot->params.ber;
    uint32_t len = rs->cur_len;
    uint32_t r24 = draw24();
    if (len >= ber_entries) {
        log_limited(5, "pkt len %d too large, trim to %d\n", static_cast<int>(len), ber_entries - 1);
        len = ber_entries - 1;
    }
    rs->drop = r24 < p.table[len] ? 1 : 0;
    bump(p.bits, uint64_t{8} * len);
    bump(p.drops, rs->drop);
    return 0;
}

loss_counts read_loss_counts(const model_spec& slot)
{
    auto& s = const_cast<model_spec&>(slot);
    auto rd = [](uint64_t& w) { return std::atomic_ref<uint64_t>(w).load(std::memory_order_relaxed); };
    if (slot.run == const_plr_run)
        return {s.params.plr.threshold, rd(s.params.plr.pkts), rd(s.params.plr.drops)};
    if (slot.run == const_ber_run)
        return {s.params.ber.threshold, rd(s.params.ber.bits), rd(s.params.ber.drops)};
    // The bursty models' nominal value is their long-run loss ratio.
    if (slot.run == ge_loss_run)
        return {models::prob_threshold(models::ge_loss_ratio(s.params.ge.s)), rd(s.params.ge.pkts),
                rd(s.params.ge.drops)};
    if (slot.run == markov_loss_run)
        return {models::prob_threshold(models::markov_loss_ratio(s.params.markov.s)),
                rd(s.params.markov.pkts), rd(s.params.markov.drops)};
    return {0, 0, 0};
}

// ---- tables and cmd_apply

const model_spec delay_table[] = {
    {const_delay_parse, const_delay_run, "constant,delay", {}},
    {uniform_delay_parse, uniform_delay_run, "uniform,dmin,dmax # dmin <= dmax", {}},
    {exp_delay_parse, exp_delay_run, "exp,dmin,davg # dmin <= davg", {}},
    {normal_delay_parse, dist_delay_run, "normal,mean,sigma", {}},
    {pareto_delay_parse, dist_delay_run, "pareto,min,shape # shape > 1", {}},
    {dist_delay_parse, dist_delay_run, "dist,file # one delay per line", {}},
    {nullptr, nullptr, nullptr, {}},
};

const model_spec bw_table[] = {
    {const_bw_parse, const_bw_run, "constant,bps", {}},
    {ether_bw_parse, ether_bw_run, "ether,bps", {}},
    {real_bw_parse, real_bw_run, "real,scale", {}},
    {trace_bw_parse, trace_bw_run, "trace,file # one opportunity (ms) per line", {}},
    {cell_bw_parse, cell_bw_run, "cell,bps,overhead[,cell[,cell-overhead]]", {}},
    {nullptr, nullptr, nullptr, {}},
};

const model_spec loss_table[] = {
    {const_plr_parse, const_plr_run, "plr,prob # 0 <= prob <= 1", {}},
    {const_ber_parse, const_ber_run, "ber,prob # 0 <= prob <= 1", {}},
    {ge_loss_parse, ge_loss_run, "ge,p[,r[,lb[,lg]]] # 0 <= each <= 1", {}},
    {markov_loss_parse, markov_loss_run, "markov,p13[,p31[,p32[,p23[,p14]]]] # 0 <= each <= 1", {}},
    {nullptr, nullptr, nullptr, {}},
};

int cmd_apply(const model_spec* table, const char* text, replay_state* rs, model_spec* slot)
{
    if (text == nullptr || *text == '\0')
        return 1;
    if (table == nullptr || slot == nullptr) {
        log_msg("program error - invalid arguments\n");
        std::exit(1);
    }
    int argc = 0;
    char** argv = split_args_or_exit(text, &argc);
    if (argv == nullptr) {
        log_msg("arguments %s not recognised\n", text);
        return 1;
    }
    for (const model_spec* row = table; argc > 0 && row->parse != nullptr; row++) {
        model_spec cand = *row;
        cand.params = model_params{};
        int r = row->parse(rs, &cand, argc, argv);
        if (r == 2)
            continue;
        if (r == 1) {
            log_msg("invalid arguments: need '%s' have '%s'\n", row->text, text);
            break;
        }
        cand.text = text;
        *slot = cand;
        std::free(argv);
        return 0;
    }
    log_msg("arguments %s not recognised\n", text);
    std::free(argv);
    return 1;
}

}  // namespace wenlo
