// The replayer's bursty loss, delay distribution, trace and cell models.
// They parse what the link emulator's rows of the same name parse, with the
// same defaults and refusals, and make the same decisions from their draws
// (see models/model_tables.hpp); the draws come from random().
//
// The schedule replaces each capture gap by the bandwidth model's time, so
// the link is never idle: a packet reaches the head of the link when its
// predecessor has left (qt_qout), and trace's time 0 is the start of the
// schedule.  There are no session limits in the replayer.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/log.hpp"
#include "wenlo/replay.hpp"

using namespace common;

namespace wenlo {

namespace {

bool is(const char* word, const char* keyword) { return std::strcmp(word, keyword) == 0; }

bool probs(const char* model, int argc, char** argv, double* p, int n, const char* const* names)
{
    for (int k = 0; k < n && k + 1 < argc; ++k) {
        if (!models::parse_prob(wenlo::parse_gen, argv[k + 1], p[k])) {
            log_msg("%s: %s %s is not a probability from 0 to 1\n", model, names[k], argv[k + 1]);
            return false;
        }
    }
    return true;
}

bool time_arg(const char* model, const char* name, const char* word, uint64_t& out)
{
    int err = 0;
    out = to_count(wenlo::parse_gen(word, time_units, &err), err);
    if (out != invalid_count)
        return true;
    log_msg("%s: %s %s is not a time of 0 or more\n", model, name, word);
    return false;
}

// A dist table of the process's own, filled from t.
int keep_table(model_spec* cand, const std::vector<uint64_t>& t)
{
    auto* table = kept<uint64_t>(t.size());
    if (table == nullptr)
        return 1;
    std::copy(t.begin(), t.end(), table);
    cand->params.dist = dist_param{table};
    return 0;
}

}  // namespace

// ---- loss

int ge_loss_parse(replay_state*, model_spec* cand, int argc, char** argv)
{
    if (!is(argv[0], "ge"))
        return 2;
    if (argc < 2 || argc > 5)
        return 1;
    static constexpr const char* names[] = {"P", "R", "LB", "LG"};
    double p[4] = {0, -1, 1, 0};
    if (!probs("ge", argc, argv, p, 4, names))
        return 1;
    if (p[1] < 0)
        p[1] = 1 - p[0];
    using models::prob_threshold;
    cand->params.ge = ge_param{
        {prob_threshold(p[0]), prob_threshold(p[1]), prob_threshold(p[2]), prob_threshold(p[3]), 0}, 0, 0};
    return 0;
}

int ge_loss_run(replay_state* rs, model_spec* slot)
{
    ge_param& p = slot->params.ge;
    rs->drop = static_cast<uint32_t>(models::ge_step(p.s, draw24));
    bump(p.pkts, 1);
    bump(p.drops, rs->drop);
    return 0;
}

int markov_loss_parse(replay_state*, model_spec* cand, int argc, char** argv)
{
    if (!is(argv[0], "markov"))
        return 2;
    if (argc < 2 || argc > 6)
        return 1;
    static constexpr const char* names[] = {"P13", "P31", "P32", "P23", "P14"};
    double p[5] = {0, -1, 0, 1, 0};
    if (!probs("markov", argc, argv, p, 5, names))
        return 1;
    if (p[1] < 0)
        p[1] = 1 - p[0];
    using models::prob_threshold;
    const uint64_t t13 = prob_threshold(p[0]), t31 = prob_threshold(p[1]), t32 = prob_threshold(p[2]);
    const uint64_t t23 = prob_threshold(p[3]), t14 = prob_threshold(p[4]);
    if (t13 + t14 > models::prob_scale || t31 + t32 > models::prob_scale) {
        log_msg("markov: P13 + P14 and P31 + P32 may not exceed 1\n");
        return 1;
    }
    cand->params.markov = markov_param{{t13, t13 + t14, t31, t31 + t32, t23, 0}, 0, 0};
    return 0;
}

int markov_loss_run(replay_state* rs, model_spec* slot)
{
    markov_param& p = slot->params.markov;
    rs->drop = static_cast<uint32_t>(models::markov_step(p.s, draw24));
    bump(p.pkts, 1);
    bump(p.drops, rs->drop);
    return 0;
}

// ---- delay

int normal_delay_parse(replay_state*, model_spec* cand, int argc, char** argv)
{
    if (!is(argv[0], "normal"))
        return 2;
    if (argc != 3)
        return 1;
    uint64_t mean, sigma;
    if (!time_arg("normal", "mean", argv[1], mean) || !time_arg("normal", "sigma", argv[2], sigma))
        return 1;
    std::vector<uint64_t> t(models::dist_entries);
    if (!models::normal_table(mean, sigma, t)) {
        log_msg("normal: mean %s sigma %s reach beyond 64-bit ns\n", argv[1], argv[2]);
        return 1;
    }
    return keep_table(cand, t);
}

int pareto_delay_parse(replay_state*, model_spec* cand, int argc, char** argv)
{
    if (!is(argv[0], "pareto"))
        return 2;
    if (argc != 3)
        return 1;
    uint64_t min;
    if (!time_arg("pareto", "min", argv[1], min))
        return 1;
    int err = 0;
    const double shape = wenlo::parse_gen(argv[2], nullptr, &err);
    std::vector<uint64_t> t(models::dist_entries);
    if (!models::pareto_args(argv, min, shape, err, t))
        return 1;
    return keep_table(cand, t);
}

int dist_delay_parse(replay_state*, model_spec* cand, int argc, char** argv)
{
    if (!is(argv[0], "dist"))
        return 2;
    if (argc != 2)
        return 1;
    std::vector<uint64_t> values;
    std::string err;
    if (!models::read_dist_file(argv[1], wenlo::parse_gen, values, err)) {
        log_msg("dist: %s\n", err.c_str());
        return 1;
    }
    std::vector<uint64_t> t(models::dist_entries);
    models::empirical_table(values, t);
    return keep_table(cand, t);
}

int dist_delay_run(replay_state* rs, model_spec* slot)
{
    rs->cur_delay = slot->params.dist.table[random() & models::dist_mask];
    return 0;
}

// ---- bandwidth

int trace_bw_parse(replay_state*, model_spec* cand, int argc, char** argv)
{
    if (!is(argv[0], "trace"))
        return 2;
    if (argc != 2)
        return 1;
    auto* count = kept<uint8_t>(models::trace_max_ms);
    if (count == nullptr)
        return 1;
    uint32_t period = 0, peak = 0;
    std::string err;
    if (!models::read_trace_file(argv[1], {count, models::trace_max_ms}, period, peak, err)) {
        log_msg("trace: %s\n", err.c_str());
        return 1;
    }
    log_msg("trace: %s, period %u ms, peak %u opportunities per ms\n", argv[1], period, peak);
    cand->params.trace = trace_param{count, models::trace_start(period)};
    return 0;
}

int trace_bw_run(replay_state* rs, model_spec* slot)
{
    trace_param& p = slot->params.trace;
    rs->cur_tt = models::trace_tx(p.cur, p.count, rs->qt_qout, rs->cur_len);
    return 0;
}

int cell_bw_parse(replay_state*, model_spec* cand, int argc, char** argv)
{
    if (!is(argv[0], "cell"))
        return 2;
    if (argc < 3 || argc > 5)
        return 1;
    int err = 0;
    const uint64_t bps = to_count(wenlo::parse_gen(argv[1], rate_units, &err), err);
    if (bps == invalid_count) {
        log_msg("cell: rate %s is not a rate of 0 or more\n", argv[1]);
        return 1;
    }
    models::cell_spec c;
    if (!models::cell_args(argc, argv, c))
        return 1;
    cand->params.cell = cell_param{bps, c};
    return 0;
}

int cell_bw_run(replay_state* rs, model_spec* slot)
{
    const cell_param& p = slot->params.cell;
    rs->cur_tt = models::serialise_ns(models::cell_bytes(rs->cur_len, p.c), p.bps);
    return 0;
}

}  // namespace wenlo
