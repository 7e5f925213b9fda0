// What a run is asked to do beyond the models (limits, rewriting, a fixed
// packet rate) and what the consumer counts for the final report.
//
// The consumer's additions per packet are plain: a bucket of the shared
// lateness histogram (a clock read every 16 packets sent back to back), a few
// counters, four compares for the limits and, with --unique-ip only, the
// shift of the entry just sent.
#pragma once

#include <cstdint>
#include <vector>

#include "common/clock.hpp"
#include "common/lateness.hpp"
#include "wenlo/rewrite.hpp"

namespace wenlo {

inline constexpr uint64_t no_limit = ~uint64_t{0};

// Options of the run, set by main before the replay thread starts.
struct run_options {
    uint64_t loops = 0;            // --loop: passes of the capture, 0 endless
    uint64_t limit = no_limit;     // --limit: packets sent
    uint64_t duration = no_limit;  // --duration, ns
    double pps = 0;                // --pps, 0: not asked
    rewrite_opts rewrite;
};

// Consumer side of the run: limits, counters, the pass shift.
struct run_control {
    // Limits, in the consumer's terms.
    uint64_t limit = no_limit;         // packets sent
    uint64_t loop_entries = no_limit;  // queue entries of the --loop passes
    uint64_t deadline = no_limit;      // monotonic ns

    // Queue layout, from the build.
    uint64_t entries = 0;              // entries in the queue
    uint64_t copies = 1;               // copies of the capture in the queue
    std::vector<uint64_t> copy_start;  // first entry of each copy, then `entries`
    uint64_t copies_seen = 0;          // while the queue is built

    // --unique-ip: spots of the records (load) and of the queue entries.
    std::vector<ip_spot> record_spots;
    std::vector<ip_spot> entry_spots;
    const ip_spot* spots = nullptr;  // entry_spots.data() when shifting
    uint32_t step = 0;               // shift per pass of the queue (copies)

    // Counted by the consumer.
    uint64_t start = 0;  // monotonic ns of the first pass's start
    uint64_t sent = 0;
    uint64_t bytes = 0;
    uint64_t skipped = 0;
    uint64_t done = 0;     // entries consumed (sent or skipped)
    uint64_t in_pass = 0;  // of them in the current pass of the queue
    uint64_t queue_passes = 0;
    // Lateness of the sends: counted in the replay's histogram (which the
    // --json report reads too), and the exact maximum here, for the final
    // report (the histogram's peak is taken by the --json report and its
    // last bucket holds every value from 2^40 ns up).
    uint64_t late_max = 0;
    rewrite_counts rewrites;
    const char* end = nullptr;  // why the consumer stopped, once it has

    bool past_deadline = false;  // a pass began after the deadline

    // True when the entry due at `due` (monotonic ns) is not to be sent.
    bool ends_before(uint64_t due) const
    {
        return sent >= limit || done >= loop_entries || due >= deadline || past_deadline;
    }
    // A pass of the queue begins at monotonic `now`.  Where due times do not
    // advance (-B 0: a whole pass is due at its start) the deadline is seen
    // here.
    void new_pass(uint64_t now)
    {
        queue_passes++;
        in_pass = 0;
        past_deadline = now >= deadline;
    }
    // After an entry was handed to the port (wire bytes len, due at `due`,
    // monotonic ns): its lateness into `late`, and its shift for the next
    // pass.  `now` is the consumer's last clock reading, fresh when it
    // waited for this entry; sent back to back, every clock_every-th send
    // reads the clock.  Returns the time used.
    static constexpr uint32_t clock_every = 16;
    uint32_t since_read = 0;
    uint64_t on_sent(unsigned char* frame, uint64_t len, uint64_t due, uint64_t now,
                     common::lateness::histogram& late)
    {
        if (++since_read == clock_every) {
            since_read = 0;
            now = common::monotonic_ns();
        }
        const uint64_t ns = now > due ? now - due : 0;
        common::lateness::record(late, ns);
        if (ns > late_max)
            late_max = ns;
        sent++;
        bytes += len;
        on_passed(frame);
        return now;
    }
    void on_skipped(unsigned char* frame)
    {
        skipped++;
        on_passed(frame);
    }
    void on_passed(unsigned char* frame)
    {
        if (spots != nullptr)
            shift_ip(frame, spots[in_pass], step);
        done++;
        in_pass++;
    }
    // Passes of the capture sent whole.
    uint64_t passes() const;
};

// The final report, filled once when the replay ends.  Fields are named as
// they are printed, one per line ("report NAME VALUE").
struct run_report {
    const char* end = "";  // "loop", "limit", "duration", "interrupt"
    uint64_t packets = 0;
    uint64_t bytes = 0;
    uint64_t passes = 0;
    uint64_t skipped = 0;
    double elapsed_s = 0;
    double pps = 0;
    double bps = 0;
    uint64_t late_median_ns = 0;
    uint64_t late_p99_ns = 0;
    uint64_t late_max_ns = 0;
    uint64_t rewritten = 0;
    uint64_t not_rewritten_truncated = 0;
    uint64_t not_rewritten_not_ip = 0;

    // Calls f(name, value) for every field in order; value is a const char*,
    // uint64_t or double.
    template <class F>
    void each(F&& f) const
    {
        f("end", end);
        f("packets", packets);
        f("bytes", bytes);
        f("passes", passes);
        f("skipped", skipped);
        f("elapsed_s", elapsed_s);
        f("pps", pps);
        f("bps", bps);
        f("late_median_ns", late_median_ns);
        f("late_p99_ns", late_p99_ns);
        f("late_max_ns", late_max_ns);
        f("rewritten", rewritten);
        f("not_rewritten_truncated", not_rewritten_truncated);
        f("not_rewritten_not_ip", not_rewritten_not_ip);
    }
};

}  // namespace wenlo
