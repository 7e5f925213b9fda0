// The JSON report of the replayer (--json): one object a second and one at
// exit, built by main (see common/json_lines.hpp for the envelope):
//   port, capture        the port and the capture file
//   models               "delay", "bandwidth", "loss": the options' texts or "none"
//   pass                 the pass being sent, from 1 (0 before the first)
//   sent                 {"frames", "bytes"}: totals since the start
//   dropped              {reason: {"frames", "bytes"}}: "loss" (left out of
//                        the queue when it was filled; every pass misses the
//                        same packets), "too_long" (longer than the port
//                        carries), "no_peer", "too_short", "damaged" (the
//                        port's reasons)
//   lateness_ns          {"frames", "median", "p99", "max"} of the packets
//                        sent in the interval (null without any)
//   drift_ns             send time minus due time of the last packet sent:
//                        how far behind its schedule the replay is
// The exit object is the last one; what the run's end adds goes into it.
#pragma once

#include "common/json_lines.hpp"
#include "wenlo/replay.hpp"

namespace wenlo {

// An object of kind "second" or "exit"; prev is main's copy of the
// lateness histogram at the previous object (updated).
common::json_object report_object(const common::json_lines& out, replay_state& rs, const char* kind,
                                  common::lateness::histogram& prev);

}  // namespace wenlo
