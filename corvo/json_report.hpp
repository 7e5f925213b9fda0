// The JSON report of corvo (--json) and the description of a session
// instance's models that it shares with corvo-stat.
//
// Once a second and once at exit the statistics thread writes one object
// per line (see common/json_lines.hpp for the envelope).  Per direction,
// under "directions" -> "A" / "B":
//   from, to             port names
//   instance, models     the instance in force and its models as texts
//   received, sent       {"frames", "bytes"}: totals since the start
//   dropped              {reason: {"frames", "bytes"}}: totals by reason
//   arp                  {"frames", "bytes"}: ARP frames route mode took
//   queued               {"frames", "bytes", "max_frames", "max_bytes"}:
//                        in the queue and hold buffer now, and the most at
//                        the end of a producer pass during the interval
//   lateness_ns          {"frames", "median", "p99", "max"}: of the frames
//                        sent in the interval (null without any), from the
//                        transmit sync that sent them
// received = sent + the drops of every reason + arp + queued, per direction.
#pragma once

#include <string>

#include "common/json_lines.hpp"
#include "pipe/pipe_state.hpp"

namespace corvo {

struct corvo_config;

// The model of kind k in instance inst as text in the form its option
// takes ("constant,10ms", "plr,0.01"), or "none".  Rates and the
// exponential delay come back from their tables, to four significant
// digits.
std::string model_text(const pipes::session_instance& inst, int k);

// Direction d's instance in force and its models: "instance", "delay",
// "bandwidth", "loss", "reorder", "queue_limit" (bytes, 0 = unlimited),
// "delay_offset_ns", "drop_overlap".
common::json_object instance_json(const pipes::session_layout& layout, int d);

// Opens the report of --json PATH and turns on the data path's recording
// (report_on) of both directions; false (logged) when it cannot be opened.
// Before the direction threads start.
bool report_open(corvo_config& cfg, const char* path);

// One object of kind "second" or "exit", when the report is open.
void report_write(corvo_config& cfg, const char* kind);

}  // namespace corvo
