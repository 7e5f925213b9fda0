#include "corvo/json_report.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/log.hpp"
#include "corvo/datapath.hpp"
#include "corvo/options.hpp"
#include "models/model.hpp"

using namespace common;
using namespace pipes;
using namespace models;

namespace corvo {

namespace {

// A number to four significant digits, without trailing zeros.
std::string sig4(double v)
{
    char b[32];
    std::snprintf(b, sizeof b, "%.4g", v);
    return b;
}

// ns in the largest unit that keeps it whole, else to four digits.
std::string time_text(uint64_t ns)
{
    static constexpr struct {
        uint64_t unit;
        const char* suffix;
    } units[] = {{1000000000, "s"}, {1000000, "ms"}, {1000, "us"}, {1, "ns"}};
    if (ns == 0)
        return "0";
    for (const auto& u : units) {
        if (ns % u.unit == 0)
            return std::to_string(ns / u.unit) + u.suffix;
    }
    for (const auto& u : units) {
        if (ns >= u.unit)
            return sig4(double(ns) / double(u.unit)) + u.suffix;
    }
    return std::to_string(ns) + "ns";
}

std::string rate_text(double bps)
{
    if (bps >= 1e9)
        return sig4(bps / 1e9) + "G";
    if (bps >= 1e6)
        return sig4(bps / 1e6) + "M";
    if (bps >= 1e3)
        return sig4(bps / 1e3) + "k";
    return sig4(bps);
}

std::string prob_text(uint64_t threshold)
{
    char b[32];
    std::snprintf(b, sizeof b, "%.6g", (double(threshold) + 0.5) / double(prob_scale));
    return b;
}

// The rate a serialiser's table was made for: entry n is n + overhead
// bytes at bps, rounded down, so bps lies just above (n + overhead) * 8e9
// / (entry + 1).  The longest entry that did not saturate says it best.
std::string serialiser_rate(const tx_table& t, uint32_t overhead)
{
    uint32_t n = pkt_len_entries - 1;
    while (n > 60 && t.entry[n] == UINT32_MAX)
        n /= 2;
    if (t.entry[n] == 0)
        return "0";
    return rate_text(double(n + overhead) * 8e9 / (double(t.entry[n]) + 0.5));
}

template <typename P>
const P& block(const session_instance& inst, const model_desc& d)
{
    return *reinterpret_cast<const P*>(inst.params + d.offset);
}

// The block of a descriptor fits the params area.
bool block_fits(const model_desc& d, size_t size)
{
    return d.offset % 8 == 0 && d.offset <= params_bytes && params_bytes - d.offset >= size;
}

const char* const model_keys[n_model_kinds] = {"delay", "bandwidth", "loss", "reorder"};

}  // namespace

std::string model_text(const session_instance& inst, int k)
{
    const model_desc d = inst.descs[k];
    if (!d.present)
        return "none";
    switch (k) {
    case kind_delay:
        switch (d.row) {
        case 0:
            if (block_fits(d, sizeof(delay_param)))
                return "constant," + time_text(block<delay_param>(inst, d).delay);
            break;
        case 1:
            if (block_fits(d, sizeof(uniform_param))) {
                const auto& u = block<uniform_param>(inst, d);
                return "uniform," + time_text(u.dmin) + "," + time_text(u.dmax);
            }
            break;
        case 2:
            if (block_fits(d, sizeof(exp_param))) {
                const auto& e = block<exp_param>(inst, d);
                double sum = 0;
                uint64_t least = e.entry[0];
                for (uint64_t v : e.entry) {
                    sum += double(v);
                    least = v < least ? v : least;
                }
                return "exp," + time_text(least) + "," + time_text(uint64_t(std::llround(sum / exp_entries)));
            }
            break;
        case 3:
            if (block_fits(d, sizeof(inter_packet_param))) {
                const auto& g = block<inter_packet_param>(inst, d);
                return "inter-packet," + time_text(g.min_gap) + "," + time_text(g.max_gap) + "," +
                       time_text(g.delay);
            }
            break;
        }
        break;
    case kind_bw:
        if ((d.row == 0 || d.row == 1) && block_fits(d, sizeof(tx_table)))
            return std::string(d.row == 0 ? "constant," : "ether,") +
                   serialiser_rate(block<tx_table>(inst, d), d.row == 0 ? 0 : ether_overhead);
        if (d.row == 2 && block_fits(d, sizeof(avg_param))) {
            // token bytes per 2^20 ns, rounded down from the rate.
            const double t = double(block<avg_param>(inst, d).token);
            return "avg," + (t == 0 ? std::string("0") : rate_text((t + 0.5) * 8e9 / 1048576.0));
        }
        break;
    case kind_loss:
        if (d.row == 0 && block_fits(d, sizeof(plr_param)))
            return "plr," + prob_text(block<plr_param>(inst, d).threshold);
        if (d.row == 1 && block_fits(d, sizeof(ber_param)))
            return "ber," + prob_text(block<ber_param>(inst, d).threshold);
        break;
    case kind_reorder:
        if (d.row == 0 && block_fits(d, sizeof(reorder_param))) {
            const auto& r = block<reorder_param>(inst, d);
            return "const," + prob_text(r.threshold) + "," + time_text(r.hold);
        }
        break;
    }
    return "invalid";
}

json_object instance_json(const session_layout& layout, int d)
{
    const session_area& area = layout.area[d];
    uint64_t i = counter_read(area.active_instance);
    if (i >= stop_command)  // stopping: the last one switched to
        i = counter_read(layout.reserved.instance_ack[d]);
    const session_instance& inst = area.instance[i & 1];
    json_object models = json_object::object();
    for (int k = 0; k < n_model_kinds; ++k)
        models[model_keys[k]] = model_text(inst, k);
    models["queue_limit"] = inst.qsize;
    models["delay_offset_ns"] = inst.delay_offset;
    models["drop_overlap"] = inst.drop_overlap != 0;
    return {{"instance", i & 1}, {"models", models}};
}

namespace {

// What the report keeps between two objects.
struct report_state {
    json_lines out;
    lateness::histogram prev[2];  // each direction's histogram at the last object
    bool failed = false;
};
report_state* report = nullptr;  // made once, never freed: main only

json_object frames(uint64_t pkts, uint64_t bytes) { return {{"frames", pkts}, {"bytes", bytes}}; }

json_object direction_json(corvo_config& cfg, int d)
{
    pipe_state& p = cfg.pipe[d];
    const pipe_counters& cc = cfg.layout->header.counters[2 * d + 1];
    const prod_report& pr = p.prod_rep;
    const cons_report& cr = p.cons_rep;
    const auto [q_pkts, q_bytes] = queued_now(p);
    uint64_t peak_pkts = shared_word(p.prod_rep.peak_pkts).exchange(0, std::memory_order_relaxed);
    uint64_t peak_bytes = shared_word(p.prod_rep.peak_bytes).exchange(0, std::memory_order_relaxed);
    peak_pkts = peak_pkts > q_pkts ? peak_pkts : q_pkts;
    peak_bytes = peak_bytes > q_bytes ? peak_bytes : q_bytes;

    json_object dropped = json_object::object();
    for (int r = 0; r < n_drop_reasons; ++r)
        dropped[drop_reason_names[r]] =
            frames(counter_read(pr.drops.pkts[r]) + counter_read(cr.drops.pkts[r]),
                   counter_read(pr.drops.bytes[r]) + counter_read(cr.drops.bytes[r]));

    const lateness::summary late = lateness::take_interval(p.cons_rep.late, report->prev[d]);
    const json_object lateness_ns = lateness_json(late);

    json_object o = {{"from", p.in_name ? p.in_name : ""}, {"to", p.out_name ? p.out_name : ""}};
    o.update(instance_json(*cfg.layout, d));
    o["received"] = frames(counter_read(pr.rx_pkts), counter_read(pr.rx_bytes));
    o["sent"] = frames(counter_read(cc.pkts), counter_read(cc.bytes));
    o["dropped"] = dropped;
    o["arp"] = frames(counter_read(pr.arp_pkts), counter_read(pr.arp_bytes));
    o["queued"] = {
        {"frames", q_pkts}, {"bytes", q_bytes}, {"max_frames", peak_pkts}, {"max_bytes", peak_bytes}};
    o["lateness_ns"] = lateness_ns;
    return o;
}

}  // namespace

bool report_open(corvo_config& cfg, const char* path)
{
    report = new report_state;
    if (!report->out.open(path)) {
        log_msg("--json: cannot open %s: %s\n", path, std::strerror(errno));
        return false;
    }
    for (pipe_state& p : cfg.pipe)
        p.report_on = 1;
    return true;
}

void report_write(corvo_config& cfg, const char* kind)
{
    if (!report || !report->out.is_open() || report->failed)
        return;
    json_object o = report->out.envelope("corvo", kind);
    o["directions"] = {{"A", direction_json(cfg, 0)}, {"B", direction_json(cfg, 1)}};
    if (!report->out.write(o)) {
        report->failed = true;
        log_msg("--json: cannot write the report: %s\n", std::strerror(errno));
    }
}

}  // namespace corvo
