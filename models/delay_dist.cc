// Delay distributions, each reduced at parse time to 4096 equally likely
// values (dist_param) that the run picks with 12 random bits:
//
//   normal  normal,MEAN,SIGMA: Gaussian; draws below 0 count as 0.
//   pareto  pareto,MIN,SHAPE: scale MIN, shape > 1, mean SHAPE MIN/(SHAPE-1).
//   dist    dist,FILE: the measured delays of a text file, one per line in
//           the units of the time options ('#' starts a comment).  The file
//           is read once, here; the path cannot hold blanks or commas.
//
// models/model_tables.hpp says how each table is built and where its tail
// is cut.  The table's largest entry is held to the direction's max_delay.
#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "common/log.hpp"
#include "models/model_util.hpp"

using namespace common;
using namespace pipes;

namespace models {

static_assert(param_record<dist_param>);

namespace {

bool parse_time_arg(const char* model, const char* name, const char* word, uint64_t& out)
{
    if (parse_count_word(word, time_units, out))
        return true;
    log_msg("%s: %s %s is not a time of 0 or more\n", model, name, word);
    return false;
}

// Holds the table's top to the limit, then copies it into a fresh block.
int install(pipe_state& pipe, model_spec& candidate, const std::vector<uint64_t>& table, uint64_t base,
            double spread)
{
    if (!limit_check(pipe.session->max_delay, *std::max_element(table.begin(), table.end()), "delay"))
        return 1;
    auto* b = alloc_block<dist_param>(pipe, candidate);
    if (!b)
        return 1;
    b->base = base;
    b->spread = spread;
    std::copy(table.begin(), table.end(), b->entry);
    return 0;
}

}  // namespace

int normal_delay_parse(pipe_state& pipe, model_spec& candidate, int argc, const char* const* argv)
{
    if (argc < 1 || !word_is(argv[0], "normal"))
        return 2;
    if (argc != 3)
        return 1;
    uint64_t mean, sigma;
    if (!parse_time_arg("normal", "mean", argv[1], mean) ||
        !parse_time_arg("normal", "sigma", argv[2], sigma))
        return 1;
    std::vector<uint64_t> t(models::dist_entries);
    if (!models::normal_table(mean, sigma, t)) {
        log_msg("normal: mean %s sigma %s reach beyond 64-bit ns\n", argv[1], argv[2]);
        return 1;
    }
    return install(pipe, candidate, t, mean, static_cast<double>(sigma));
}

int pareto_delay_parse(pipe_state& pipe, model_spec& candidate, int argc, const char* const* argv)
{
    if (argc < 1 || !word_is(argv[0], "pareto"))
        return 2;
    if (argc != 3)
        return 1;
    uint64_t min;
    if (!parse_time_arg("pareto", "min", argv[1], min))
        return 1;
    int err = 0;
    const double shape = parse_gen(argv[2], nullptr, &err);
    std::vector<uint64_t> t(models::dist_entries);
    if (!models::pareto_args(argv, min, shape, err, t))
        return 1;
    return install(pipe, candidate, t, min, shape);
}

int dist_delay_parse(pipe_state& pipe, model_spec& candidate, int argc, const char* const* argv)
{
    if (argc < 1 || !word_is(argv[0], "dist"))
        return 2;
    if (argc != 2)
        return 1;
    std::vector<uint64_t> values;
    std::string err;
    if (!models::read_dist_file(argv[1], parse_gen, values, err)) {
        log_msg("dist: %s\n", err.c_str());
        return 1;
    }
    std::vector<uint64_t> t(models::dist_entries);
    models::empirical_table(values, t);
    log_msg("dist: %zu values from %s, %llu to %llu ns\n", values.size(), argv[1],
            static_cast<unsigned long long>(values.front()), static_cast<unsigned long long>(values.back()));
    return install(pipe, candidate, t, values.size(), 0);
}

int dist_delay_run(pipe_state& pipe, const model_spec& slot) noexcept
{
    pipe.cur_delay = params<dist_param>(slot).entry[draw(pipe) & models::dist_mask];
    return 0;
}

std::string normal_delay_describe(const void* block)
{
    const auto& b = *static_cast<const dist_param*>(block);
    // The block may come from another process: a sigma out of range is shown as one.
    const bool sane = b.spread >= 0 && b.spread < 18e18;
    return "normal," + time_text(b.base) + "," +
           (sane ? time_text(static_cast<uint64_t>(b.spread)) : "invalid");
}

std::string pareto_delay_describe(const void* block)
{
    const auto& b = *static_cast<const dist_param*>(block);
    return "pareto," + time_text(b.base) + "," + sig4(b.spread);
}

// The file is gone: how many values it held and the range of the table.
std::string dist_delay_describe(const void* block)
{
    const auto& b = *static_cast<const dist_param*>(block);
    const auto [lo, hi] = std::minmax_element(std::begin(b.entry), std::end(b.entry));
    return "dist," + std::to_string(b.base) + " values," + time_text(*lo) + ".." + time_text(*hi);
}

}  // namespace models
