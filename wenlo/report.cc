#include "wenlo/report.hpp"

using namespace common;

namespace wenlo {

namespace {

json_object pair(const std::atomic<uint64_t>& frames, const std::atomic<uint64_t>& bytes)
{
    return {{"frames", frames.load(std::memory_order_relaxed)},
            {"bytes", bytes.load(std::memory_order_relaxed)}};
}

const char* model_text(const model_spec& slot)
{
    return slot.run == null_run || !slot.text ? "none" : slot.text;
}

}  // namespace

json_object report_object(const json_lines& out, replay_state& rs, const char* kind,
                          lateness::histogram& prev)
{
    json_object o = out.envelope("wenlo", kind);
    o["port"] = rs.ifname ? rs.ifname : "";
    o["capture"] = rs.pcap_name ? rs.pcap_name : "";
    o["models"] = {{"delay", model_text(rs.delay_slot)},
                   {"bandwidth", model_text(rs.bw_slot)},
                   {"loss", model_text(rs.loss_slot)}};
    o["pass"] = rs.pass.load(std::memory_order_relaxed);
    o["sent"] = pair(rs.sent, rs.sent_bytes);
    o["dropped"] = {{"loss", pair(rs.loss_pkts, rs.loss_bytes)},
                    {"too_long", pair(rs.skipped, rs.skipped_bytes)},
                    {"no_peer", pair(rs.port_no_peer, rs.no_peer_bytes)},
                    {"too_short", pair(rs.port_too_short, rs.too_short_bytes)},
                    {"damaged", pair(rs.port_damaged, rs.damaged_bytes)}};
    const lateness::summary late = lateness::take_interval(rs.late, prev);
    o["lateness_ns"] = lateness_json(late);
    o["drift_ns"] = rs.drift.load(std::memory_order_relaxed);
    return o;
}

}  // namespace wenlo
