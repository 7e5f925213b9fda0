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

const char* const model_keys[n_model_kinds] = {"delay", "bandwidth", "loss", "reorder"};

}  // namespace

std::string model_text(const session_instance& inst, int k)
{
    const model_desc d = inst.descs[k];  // read once: the writer is another process
    if (!d.present)
        return "none";
    if (!desc_valid(k, d))
        return "invalid";
    return model_list[k].table[d.row].describe(inst.params + d.offset);
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
