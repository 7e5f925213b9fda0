// The queue buffer of a direction and the hold buffer of the reorder model.
//
// Queue buffer: a single-writer single-reader ring of variable-length
// records, written by the direction's producer and read by its consumer.
//   record = next (u64) | len (u64) | qout (u64) | tx (u64) | data, rounded to 8
// A record starts at 0 or at an offset behind which at least
// queue_max_record bytes remain, so a record never wraps.
//
// Hold buffer: the producer's private ring of packets the reorder model
// delays.  record = len (u64) | release (u64) | data (not rounded).
#pragma once

#include <cstddef>
#include <cstdint>

#include "pipe/pipe_state.hpp"

namespace corvo {

// Largest packet the queue carries is max_pkt_len - 1 bytes; the
// per-length tables of the bandwidth models cover the same range.
inline constexpr uint32_t max_pkt_len = pipes::pkt_len_entries;  // 9200
inline constexpr uint64_t queue_hdr_bytes = 32;
inline constexpr uint64_t queue_max_record = queue_hdr_bytes + max_pkt_len;  // 9232
inline constexpr uint64_t hold_hdr_bytes = 16;
inline constexpr uint64_t hold_reserve = hold_hdr_bytes + max_pkt_len;  // 9216

struct queue_record {
    uint64_t next;  // offset of the following record
    uint64_t len;   // packet bytes
    uint64_t qout;  // the emulated bottleneck has sent the packet
    uint64_t tx;    // due time
    // packet bytes follow
};
static_assert(sizeof(queue_record) == queue_hdr_bytes);
static_assert(offsetof(queue_record, len) == 8 && offsetof(queue_record, qout) == 16 &&
              offsetof(queue_record, tx) == 24);

// Packed: records follow each other unpadded, so a header may start at any
// byte; its words are then read and written as unaligned words.
struct [[gnu::packed]] hold_record {
    uint64_t len;      // packet bytes
    uint64_t release;  // time it leaves the hold buffer
};
static_assert(sizeof(hold_record) == hold_hdr_bytes && offsetof(hold_record, release) == 8);

inline queue_record* record_at(const pipes::pipe_state& p, uint64_t off) noexcept
{
    return reinterpret_cast<queue_record*>(p.buf + off);
}
inline unsigned char* record_data(queue_record* r) noexcept
{
    return reinterpret_cast<unsigned char*>(r + 1);
}
inline hold_record* hold_at(const pipes::pipe_state& p, uint64_t off) noexcept
{
    return reinterpret_cast<hold_record*>(p.hold_buf + off);
}

// Offset that follows a record of len bytes at off in a buffer of size bytes.
constexpr uint64_t queue_next(uint64_t off, uint64_t len, uint64_t size) noexcept
{
    uint64_t cand = off + queue_hdr_bytes + ((len + 7) & ~uint64_t(7));
    return size >= cand && size - cand >= queue_max_record ? cand : 0;
}
constexpr uint64_t hold_next(uint64_t off, uint64_t len, uint64_t limit) noexcept
{
    uint64_t cand = off + hold_hdr_bytes + len;
    return cand < limit ? cand : 0;
}

// Times are compared through the sign of their wrapping difference.
constexpr bool time_before(uint64_t a, uint64_t b) noexcept { return int64_t(a - b) < 0; }

// Reserves the record at prod_tail for cur_len bytes: 0 when it fits (its
// next is written and its len is 0), 1 when the queue limit is exceeded,
// 2 when the buffer has no room.
int no_room(pipes::pipe_state& p) noexcept;

// Runs the loss, bandwidth and delay models on the current packet and
// writes its record, or drops and counts it.
void enqueue(pipes::pipe_state& p) noexcept;

// Parks the current packet for cur_hold ns; a full hold buffer drops and
// counts it.  Only called with a hold buffer present.
void hold_put(pipes::pipe_state& p) noexcept;

// Makes the oldest held packet current and enqueues it (hold_ready set).
void hold_take(pipes::pipe_state& p) noexcept;

// Runs a slot's model; an empty slot (null_run) costs no call.
inline void run_model(pipes::pipe_state& p, const pipes::model_spec& slot) noexcept
{
    if (slot.run != pipes::null_run)
        slot.run(p, slot);
}

// Publishes prod_tail to the consumer and wakes it if it sleeps on an
// empty queue.
void publish_tail(pipes::pipe_state& p) noexcept;

// Consumer with an empty queue (tail was seen equal to head): sleeps until
// the producer publishes a record, at most timeout_ns.
void cons_sleep_until_published(pipes::pipe_state& p, uint64_t head, uint64_t timeout_ns) noexcept;

// Pages of the queue buffer come in as the producer writes them.  Pages
// the consumer has passed are given back to the system in chunks of
// release_chunk bytes (chunk boundaries lie at multiples of release_chunk
// from the buffer's start, which is aligned to them), once they have been
// free for release_after_ns and the ring has not come round to them again
// in that time.  The producer does it: it is the only writer, so a chunk it
// finds free cannot be written while it is being released.
inline constexpr uint64_t release_chunk = uint64_t(2) << 20;
inline constexpr uint64_t release_after_ns = 100000000;

// Starts the account for the buffer just mapped: enabled when the buffer
// is not locked and holds at least four chunks.
void queue_release_init(pipes::pipe_state& p) noexcept;

// Producer, once a pass: at most one chunk released (one madvise), or,
// once every release_after_ns, the next span to release chosen.
void queue_release(pipes::pipe_state& p) noexcept;

// Largest queue limit the queue buffer can honour: the records still
// counted against the limit never span more than the buffer, so the lazy
// accounting only reads records that are still intact.
uint64_t qsize_cap(uint64_t buf_size) noexcept;

}  // namespace corvo
