// Shared set-up of the model tests: a private session layout, direction A
// attached to instance 0, empty slots, and the log lines captured in memory.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cctype>
#include <string>
#include <vector>

#include "common/log.hpp"
#include "models/model.hpp"
#include "pipe/pipe_state.hpp"

// Log lines written while it lives, read back without their prefixes.
class log_capture {
public:
    log_capture() : fd_(memfd_create("models-log", 0)), old_fd_(common::get_log_fd())
    {
        common::set_log_fd(fd_);
    }
    ~log_capture()
    {
        common::set_log_fd(old_fd_);
        close(fd_);
    }
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    // Each line: the message text of a short-form line, or "tag|text" of a
    // tagged one, without the final newline.  A line of another shape fails.
    std::vector<std::string> lines() const
    {
        std::vector<std::string> out;
        std::string all = read_all();
        size_t start = 0;
        while (start < all.size()) {
            size_t end = all.find('\n', start);
            EXPECT_NE(end, std::string::npos) << "unterminated log line";
            if (end == std::string::npos)
                end = all.size();
            std::string line = all.substr(start, end - start), msg;
            if (short_form(line, msg) || tagged(line, msg))
                out.push_back(msg);
            else
                ADD_FAILURE() << "log line of unknown shape: " << line;
            start = end + 1;
        }
        return out;
    }
    void clear() const
    {
        EXPECT_EQ(ftruncate(fd_, 0), 0);
        lseek(fd_, 0, SEEK_SET);
    }

private:
    static bool digits(const std::string& s, size_t from, size_t n)
    {
        if (from + n > s.size())
            return false;
        for (size_t i = from; i < from + n; ++i)
            if (!std::isdigit(static_cast<unsigned char>(s[i])))
                return false;
        return true;
    }
    // "%03d.%03d [%5d] \t" then the text.
    static bool short_form(const std::string& line, std::string& msg)
    {
        if (line.size() < 17 || !digits(line, 0, 3) || line[3] != '.' || !digits(line, 4, 3) ||
            line.compare(7, 2, " [") != 0 || line.compare(14, 3, "] \t") != 0 || !digits(line, 13, 1))
            return false;
        for (size_t i = 9; i < 13; ++i)
            if (line[i] != ' ' && !std::isdigit(static_cast<unsigned char>(line[i])))
                return false;
        msg = line.substr(17);
        return true;
    }
    // "%03d.%06d %s [%d] " then the text; msg becomes "tag|text".
    static bool tagged(const std::string& line, std::string& msg)
    {
        if (!digits(line, 0, 3) || line.size() < 11 || line[3] != '.' || !digits(line, 4, 6) ||
            line[10] != ' ')
            return false;
        const size_t open = line.find(" [", 11), close = line.find("] ", open);
        if (open == std::string::npos || open == 11 || close == std::string::npos ||
            !digits(line, open + 2, 1))
            return false;
        if (!digits(line, open + 2, close - open - 2))
            return false;
        msg = line.substr(11, open - 11) + "|" + line.substr(close + 2);
        return true;
    }
    std::string read_all() const
    {
        std::string s;
        char buf[4096];
        off_t off = 0;
        ssize_t n;
        while ((n = pread(fd_, buf, sizeof buf, off)) > 0) {
            s.append(buf, static_cast<size_t>(n));
            off += n;
        }
        return s;
    }
    int fd_;
    int old_fd_;
};

using strings = std::vector<std::string>;

// The state whose next nrand48 draw returns out31 (a 31-bit value): the
// generator keeps 48 bits X and returns X' >> 17 with X' = a X + c mod 2^48,
// so X = (X' - c) / a mod 2^48 with X' = out31 << 17.
inline void set_next_draw(pipes::pipe_state& p, uint32_t out31)
{
    const uint64_t a = 0x5DEECE66Dull, c = 0xB, mask = (uint64_t{1} << 48) - 1;
    uint64_t inv = a;  // Newton's iteration for the inverse of a modulo 2^64
    for (int i = 0; i < 6; ++i)
        inv *= 2 - a * inv;
    const uint64_t next = (uint64_t{out31} << 17) & mask;
    const uint64_t x = ((next - c) * inv) & mask;
    p.rand_state[0] = static_cast<unsigned short>(x);
    p.rand_state[1] = static_cast<unsigned short>(x >> 16);
    p.rand_state[2] = static_cast<unsigned short>(x >> 32);
}

class model_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        layout = pipes::session_private();
        ASSERT_NE(layout, nullptr);
        for (int k = 0; k < pipes::n_model_kinds; ++k)
            pipes::slot_reset(pipes::pipe_slot(pipe, k));
        pipes::session_attach(pipe, layout, 0, 0);
    }
    void TearDown() override { pipes::session_unmap(layout); }

    int apply(pipes::model_kind kind, const char* text)
    {
        return models::cmd_apply(models::model_list[kind].table, text, pipe, &pipes::pipe_slot(pipe, kind));
    }
    pipes::model_spec& slot(pipes::model_kind kind) { return pipes::pipe_slot(pipe, kind); }
    pipes::model_desc& desc(pipes::model_kind kind)
    {
        return layout->area[0].instance[pipe.cur_instance].descs[kind];
    }
    template <pipes::param_record P>
    P& block(pipes::model_kind kind)
    {
        return pipes::params<P>(slot(kind));
    }
    pipes::session_area& area() { return layout->area[0]; }
    void run(pipes::model_kind kind) { EXPECT_EQ(slot(kind).run(pipe, slot(kind)), 0); }
    // Runs the slot with the draw it takes chosen.
    void run_draw(pipes::model_kind kind, uint32_t out31)
    {
        set_next_draw(pipe, out31);
        run(kind);
    }

    pipes::session_layout* layout = nullptr;
    pipes::pipe_state pipe{};
    log_capture log;
};
