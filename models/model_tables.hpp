// Bursty loss, delay distributions, trace-driven and cell-accounted links:
// the parts that the link emulator and the replayer share.  The step
// functions are pure arithmetic on a state record and a random source, so
// that both programs make the same decisions from the same draws; the table
// builders and file readers run when a specification is applied, never per
// packet.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "models/model_math.hpp"

namespace models {

// ---------------------------------------------------------------------------
// Gilbert-Elliott loss.  Before each packet the state moves Good->Bad when
// 24 random bits fall below p_gb and Bad->Good when they fall below p_bg;
// the packet is then lost when another 24 bits fall below the state's loss
// threshold.  That second draw is taken only when the threshold lies
// strictly between 0 and 2^24, so with the defaults (LB = 1, LG = 0) a
// packet costs one draw.
struct ge_state {
    uint64_t p_gb;       // Good->Bad, probability x 2^24
    uint64_t p_bg;       // Bad->Good
    uint64_t loss_bad;   // loss in Bad
    uint64_t loss_good;  // loss in Good
    uint64_t bad;        // 1 in Bad; starts in Good
};

inline bool chance(uint64_t threshold, uint32_t r24) noexcept { return r24 < threshold; }

// Draw24 answers 24 random bits.  Returns 1 when the packet is lost.
template <typename Draw24>
inline int ge_step(ge_state& s, Draw24&& draw24) noexcept
{
    const uint32_t r = draw24();
    s.bad = s.bad ? !chance(s.p_bg, r) : chance(s.p_gb, r);
    const uint64_t loss = s.bad ? s.loss_bad : s.loss_good;
    if (loss == 0)
        return 0;
    if (loss >= static_cast<uint64_t>(prob_scale))
        return 1;
    return chance(loss, draw24());
}

// Long-run loss ratio (P LB + R LG) / (P + R) from the thresholds; with
// P = R = 0 the chain stays in Good.
double ge_loss_ratio(const ge_state& s) noexcept;

// The 4-state Markov loss model: 1 received in a gap, 2 received in a
// burst, 3 lost in a burst, 4 isolated loss (stored as 0..3).  Thresholds
// are cumulative against one 24-bit draw per packet: from 1, r < p13 goes
// to 3 and r < p13_14 (= P13 + P14) to 4; from 3, r < p31 goes to 1 and
// r < p31_32 to 2; from 2, r < p23 goes to 3; 4 always goes back to 1.
struct markov_state {
    uint64_t p13;
    uint64_t p13_14;
    uint64_t p31;
    uint64_t p31_32;
    uint64_t p23;
    uint64_t state;  // 0..3 for states 1..4; starts in 1
};

template <typename Draw24>
inline int markov_step(markov_state& s, Draw24&& draw24) noexcept
{
    const uint32_t r = draw24();
    switch (s.state) {
    case 0:
        s.state = chance(s.p13, r) ? 2 : chance(s.p13_14, r) ? 3 : 0;
        break;
    case 1:
        s.state = chance(s.p23, r) ? 2 : 1;
        break;
    case 2:
        s.state = chance(s.p31, r) ? 0 : chance(s.p31_32, r) ? 1 : 2;
        break;
    default:
        s.state = 0;
        break;
    }
    return s.state >= 2;
}

// Long-run loss ratio of the chain (its stationary weight of 3 and 4).
double markov_loss_ratio(const markov_state& s) noexcept;

// ---------------------------------------------------------------------------
// Delay distributions as tables of dist_entries equally likely values,
// picked with 12 random bits.  Entry i of normal and pareto is the mean of
// the distribution over its quantiles [i/4096, (i+1)/4096), so the table's
// mean is the distribution's mean (to 1 ns) and its tails are cut at the
// mean of the outermost 1/4096 of probability: normal tops out at
// MEAN +- 3.74 SIGMA, pareto at MIN * SHAPE/(SHAPE-1) * 4096^(1/SHAPE).
// The empirical table takes entry i from the sorted samples at the quantile
// (i + 0.5)/4096.
inline constexpr uint32_t dist_entries = 4096;
inline constexpr uint32_t dist_mask = dist_entries - 1;

// Normal of mean and sigma (ns), draws below 0 counted as 0.
bool normal_table(uint64_t mean, uint64_t sigma, std::span<uint64_t> entry) noexcept;
// Pareto of scale min (ns) and shape > 1; false when an entry would not fit
// 64 bits.
bool pareto_table(uint64_t min, double shape, std::span<uint64_t> entry) noexcept;
// The table of "pareto,MIN,SHAPE" (argv[1], argv[2]) once the caller's
// readers have taken MIN as min and SHAPE as shape (err non-zero when that
// failed): false, with a line naming the words at fault, when SHAPE is not a
// number above 1 or the table reaches beyond 64-bit ns.
bool pareto_args(const char* const* argv, uint64_t min, double shape, int err, std::span<uint64_t> entry);
// From samples (sorted in place), of which there is at least one.
void empirical_table(std::vector<uint64_t>& samples, std::span<uint64_t> entry);

// ---------------------------------------------------------------------------
// Text files read when a specification is applied.  Both readers answer
// false with a one-line reason in err (naming the file, and the line when a
// line is at fault).

inline constexpr uint64_t max_file_bytes = 64u << 20;
inline constexpr uint32_t max_dist_values = 1000000;

// Measured delays, one per line in the units of the time options (a bare
// number is seconds); '#' starts a comment, blank lines are skipped.
// read reads one number as the program's own option parser does.
bool read_dist_file(const char* path, number_reader* read, std::vector<uint64_t>& values, std::string& err);

// A delivery-opportunity trace: each line a whole number of milliseconds
// since the start, one 1500-byte opportunity; numbers never go back.  The
// trace repeats with the period of its last timestamp T, so count[m] for
// m < T is the number of opportunities in millisecond m of every period
// (those at T itself count in millisecond 0).  count must have room for
// trace_max_ms entries.
inline constexpr uint32_t trace_max_ms = 60000;    // 60 s
inline constexpr uint32_t trace_max_per_ms = 255;  // 3.06 Gbit/s
inline constexpr uint64_t trace_opp_bytes = 1500;
bool read_trace_file(const char* path, std::span<uint8_t> count, uint32_t& period_ms, uint32_t& peak_per_ms,
                     std::string& err);

// ---------------------------------------------------------------------------
// Trace-driven link.  Time 0 of the trace is the moment the first packet
// after the model takes effect reaches the head of the link; millisecond m
// of the trace lies at origin + m ms, and all its opportunities are there at
// once.  A packet at the head at time h may use the opportunities from the
// first millisecond at or after h; it leaves at the millisecond whose
// opportunities complete its bytes, and what remains of that millisecond's
// bytes goes to the next packet if that one is already waiting then.
// Opportunities that find the link empty are lost.
struct trace_cursor {
    uint64_t period;   // ms, 1 to trace_max_ms
    uint64_t inv;      // (2^64 - 1) / period, for the remainder without a division
    uint64_t started;  // 0 until the first packet
    uint64_t origin;   // ns: time 0 of the trace
    uint64_t ms;       // ms since origin of the opportunities in use
    uint64_t idx;      // ms modulo period
    uint64_t credit;   // bytes left in millisecond ms
};

// x modulo c.period by a multiplication: the quotient estimate is at most
// 2 below the true one, and the loop takes the rest off.
inline uint64_t trace_mod(const trace_cursor& c, uint64_t x) noexcept
{
    const uint64_t q = static_cast<uint64_t>((static_cast<unsigned __int128>(x) * c.inv) >> 64);
    uint64_t r = x - q * c.period;
    while (r >= c.period)
        r -= c.period;
    return r;
}

// A cursor whose period and reciprocal agree, so that indices stay inside
// the counts.  The link emulator's blocks come from other processes: one
// that fails this is never walked.
inline bool trace_sane(const trace_cursor& c) noexcept
{
    using u128 = unsigned __int128;
    return c.period >= 1 && c.period <= trace_max_ms && c.idx < c.period &&
           u128{c.inv} * c.period <= ~uint64_t{0} && (u128{c.inv} + 1) * c.period > ~uint64_t{0};
}

// The time from head (ns) until the opportunities cover bytes, advancing
// the cursor.  The loop walks the milliseconds the packet needs, empty ones
// included: at most period * ceil(bytes / 1500) steps.  A cursor that is
// not sane, or a trace without a single opportunity, passes the packet at
// once.
inline uint64_t trace_tx(trace_cursor& c, const uint8_t* count, uint64_t head, uint64_t bytes) noexcept
{
    constexpr uint64_t ms_ns = 1000000;
    if (!trace_sane(c)) [[unlikely]]
        return 0;
    if (!c.started) {
        c.started = 1;
        c.origin = head;
        c.ms = 0;
        c.idx = 0;
        c.credit = count[0] * trace_opp_bytes;
    }
    const uint64_t since = head - c.origin;
    // A head before the origin (wrapping) waits like one at the origin.
    const uint64_t head_ms = static_cast<int64_t>(since) < 0 ? 0 : (since + ms_ns - 1) / ms_ns;
    if (head_ms > c.ms) {  // the link was idle: what was left is lost
        c.idx += trace_mod(c, head_ms - c.ms);
        if (c.idx >= c.period)
            c.idx -= c.period;
        c.ms = head_ms;
        c.credit = count[c.idx] * trace_opp_bytes;
    }
    uint64_t need = bytes;
    uint64_t empty = 0;  // milliseconds in a row without an opportunity
    while (c.credit < need) {
        need -= c.credit;
        ++c.ms;
        if (++c.idx == c.period)
            c.idx = 0;
        c.credit = count[c.idx] * trace_opp_bytes;
        if (c.credit != 0)
            empty = 0;
        else if (++empty > c.period) [[unlikely]]
            c.credit = need;
    }
    c.credit -= need;
    const uint64_t done = c.origin + c.ms * ms_ns;
    return static_cast<int64_t>(done - head) > 0 ? done - head : 0;
}

// A cursor for a trace of period_ms, not yet started.
trace_cursor trace_start(uint32_t period_ms) noexcept;

// ---------------------------------------------------------------------------
// Cell accounting: a frame of len bytes costs len + overhead bytes (at
// least 1), and with cell > 0 is sent as ceil(that / cell) cells of
// cell + cell_overhead bytes each.
struct cell_spec {
    int64_t overhead;       // bytes per frame, may be negative
    uint64_t cell;          // bytes of payload per cell, 0 = no cells
    int64_t cell_overhead;  // bytes per cell; cell + cell_overhead >= 1
};

// The framing words of "cell,RATE,OVERHEAD[,CELL[,CELL_OVERHEAD]]", argv[2]
// up to argv[argc - 1], into c: false, with a line naming the word out of
// range, when one is.  The rate is the caller's to read.
bool cell_args(int argc, const char* const* argv, cell_spec& c);

inline uint64_t cell_bytes(uint64_t len, const cell_spec& c) noexcept
{
    const int64_t framed = static_cast<int64_t>(len) + c.overhead;
    const uint64_t b = framed < 1 ? 1 : static_cast<uint64_t>(framed);
    if (c.cell == 0)
        return b;
    const uint64_t cells = (b + c.cell - 1) / c.cell;
    return cells * static_cast<uint64_t>(static_cast<int64_t>(c.cell) + c.cell_overhead);
}

// Limits of the cell arguments.
inline constexpr int64_t cell_max_overhead = 65535;
inline constexpr uint64_t cell_max_cell = 65535;

}  // namespace models
