// Shared set-up of the data-path tests: one direction on a private session
// layout, empty models, a queue buffer of a chosen size and a clock the
// test sets.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "corvo/datapath.hpp"
#include "log_capture.hpp"
#include "models/model.hpp"
#include "pipe/pipe_state.hpp"

inline std::atomic<uint64_t> fake_now{0};
inline uint64_t fake_clock() noexcept { return fake_now.load(); }

// Scripted model outputs, consumed one per call.
struct script {
    std::vector<uint64_t> values;
    size_t next = 0;
    int calls = 0;
    uint64_t take()
    {
        ++calls;
        return next < values.size() ? values[next++] : (values.empty() ? 0 : values.back());
    }
};
inline script delay_script, hold_script, tx_script;
inline std::vector<int> loss_script, bw_drop_script;
inline size_t loss_next = 0, bw_next = 0;

inline int scripted_delay(pipes::pipe_state& p, const pipes::model_spec&) noexcept
{
    p.cur_delay = delay_script.take();
    return 0;
}
inline int scripted_hold(pipes::pipe_state& p, const pipes::model_spec&) noexcept
{
    p.cur_hold = hold_script.take();
    return 0;
}
inline int scripted_bw(pipes::pipe_state& p, const pipes::model_spec&) noexcept
{
    p.cur_tx = tx_script.take();
    p.drop = bw_next < bw_drop_script.size() ? bw_drop_script[bw_next++] : 0;
    return 0;
}
inline int scripted_loss(pipes::pipe_state& p, const pipes::model_spec&) noexcept
{
    p.drop = loss_next < loss_script.size() ? loss_script[loss_next++] : 0;
    return 0;
}

// Anonymous memory for a test buffer (unmapped at the end).
struct test_buffer {
    unsigned char* mem = nullptr;
    size_t size = 0;
    void alloc(size_t n)
    {
        release();
        void* m = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(m, MAP_FAILED);
        mem = static_cast<unsigned char*>(m);
        size = n;
    }
    void release()
    {
        if (mem)
            munmap(mem, size);
        mem = nullptr;
    }
    ~test_buffer() { release(); }
};

class dp_fixture : public ::testing::Test {
protected:
    pipes::session_layout* layout = nullptr;
    std::unique_ptr<pipes::pipe_state> pp = std::make_unique<pipes::pipe_state>();
    pipes::pipe_state& p = *pp;
    test_buffer qbuf, hbuf;
    log_capture cap;

    void SetUp() override
    {
        pipes::abort_flag.store(0);
        fake_now = 1000000;
        corvo::set_datapath_clock(fake_clock);
        delay_script = {};
        hold_script = {};
        tx_script = {};
        loss_script.clear();
        bw_drop_script.clear();
        loss_next = bw_next = 0;
        layout = pipes::session_private();
        ASSERT_NE(layout, nullptr);
        for (int k = 0; k < pipes::n_model_kinds; ++k)
            pipes::slot_reset(pipes::pipe_slot(p, k));
        pipes::session_attach(p, layout, 0, 0);
        p.prod_stats = &layout->header.counters[0];
        p.cons_stats = &layout->header.counters[1];
        p.burst = 64;
        p.cons_core = p.prod_core = -1;
        p.t0 = 0;
        set_queue(1 << 20);
        corvo::prod_init(p);
    }
    void TearDown() override
    {
        corvo::set_datapath_clock(nullptr);
        pipes::session_unmap(layout);
        pipes::abort_flag.store(0);
    }
    void set_queue(size_t size)
    {
        qbuf.alloc(size);
        p.buf = qbuf.mem;
        p.buf_size = size;
    }
    void set_hold(size_t size)
    {
        hbuf.alloc(size);
        p.hold_buf = hbuf.mem;
        p.hold_limit = size - corvo::hold_reserve;
    }
    // Makes a packet of len bytes (first byte = tag) the current one, in
    // pieces of at most piece bytes.
    std::vector<unsigned char> pkt_bytes;
    void set_packet(uint32_t len, unsigned char tag, uint32_t piece = 1u << 30)
    {
        pkt_bytes.assign(len, 0);
        for (uint32_t i = 0; i < len; ++i)
            pkt_bytes[i] = static_cast<unsigned char>(tag + i * 13);
        pkt_bytes[0] = tag;
        p.cur_pkt = pkt_bytes.data();
        p.cur_len = len;
        p.n_frags = 0;
        for (uint32_t off = 0; off < len || p.n_frags == 0; off += piece) {
            const uint32_t n = std::min(piece, len - off);
            p.frags[p.n_frags++] = {pkt_bytes.data() + off, n};
        }
    }
    const pipes::pipe_counters& pc() const { return layout->header.counters[0]; }
    const pipes::pipe_counters& cc() const { return layout->header.counters[1]; }
};
