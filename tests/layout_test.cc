// Session layout: the private layout, binding a direction, and the bytes at
// the documented offsets.
#include <gtest/gtest.h>

#include <cstring>

#include "pipe/pipe_state.hpp"

using namespace common;
using namespace pipes;

namespace {

template <typename T>
T at(const session_layout* l, size_t off)
{
    T v;
    std::memcpy(&v, reinterpret_cast<const unsigned char*>(l) + off, sizeof v);
    return v;
}

struct layout_test : ::testing::Test {
    void SetUp() override { ASSERT_NE(layout = session_private(), nullptr); }
    void TearDown() override { session_unmap(layout); }
    session_layout* layout = nullptr;
};

TEST_F(layout_test, private_layout_is_zero_but_version)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(layout);
    EXPECT_EQ(at<uint32_t>(layout, 512), 1u);
    size_t nonzero = 0;
    for (size_t i = 0; i < session_bytes; ++i)
        nonzero += bytes[i] != 0;
    EXPECT_EQ(nonzero, 1u);
}

TEST_F(layout_test, fields_land_at_their_offsets)
{
    layout->header.counters[3].drop_pkts = 0x1111;
    layout->area[0].max_bps = 0x2222;
    layout->area[1].max_hold = 0x3333;
    layout->area[1].active_instance = 1;
    session_instance& inst = layout->area[1].instance[1];
    inst.descs[2] = model_desc{1, 3, 0x1234, 0x56789abc};
    inst.delay_offset = 0x4444;
    inst.drop_overlap = 1;
    inst.qsize = 50000;
    inst.params[0] = 0x55;

    EXPECT_EQ(at<uint64_t>(layout, 384 + 16), 0x1111u);
    EXPECT_EQ(at<uint64_t>(layout, 520), 0x2222u);
    EXPECT_EQ(at<uint64_t>(layout, 262792 + 16), 0x3333u);
    EXPECT_EQ(at<uint64_t>(layout, 262792 + 24), 1u);
    const size_t i1 = 393944;
    const unsigned char desc_bytes[8] = {1, 3, 0x34, 0x12, 0xbc, 0x9a, 0x78, 0x56};
    EXPECT_EQ(std::memcmp(reinterpret_cast<const unsigned char*>(layout) + i1 + 16, desc_bytes, 8), 0);
    EXPECT_EQ(at<uint64_t>(layout, i1 + 32), 0x4444u);
    EXPECT_EQ(at<uint32_t>(layout, i1 + 40), 1u);
    EXPECT_EQ(at<uint32_t>(layout, i1 + 44), 50000u);
    EXPECT_EQ(at<unsigned char>(layout, 393992), 0x55);
}

TEST_F(layout_test, attach_binds_direction_and_instance)
{
    session_instance& inst = layout->area[1].instance[1];
    for (auto& d : inst.descs)
        d = model_desc{1, 2, 8, 16};
    inst.delay_offset = 777;
    inst.drop_overlap = 1;
    inst.params[16] = 0x42;

    pipe_state p{};
    p.param_used[0] = 5;
    p.param_used[1] = 6;
    session_attach(p, layout, 1, 1);
    EXPECT_EQ(reinterpret_cast<unsigned char*>(p.session), reinterpret_cast<unsigned char*>(layout) + 262792);
    EXPECT_EQ(p.cur_instance, 1u);
    EXPECT_EQ(p.param_used[0], 0u);
    EXPECT_EQ(p.param_used[1], 0u);
    for (int k = 0; k < n_model_kinds; ++k) {
        EXPECT_EQ(inst.descs[k].present, 0);
        EXPECT_EQ(inst.descs[k].row, 2);
        EXPECT_EQ(pipe_slot(p, k).slot_desc, &inst.descs[k]);
    }
    EXPECT_EQ(&cur_instance_of(p), &inst);
    EXPECT_EQ(inst.delay_offset, 777u);
    EXPECT_EQ(inst.drop_overlap, 1u);
    EXPECT_EQ(inst.params[16], 0x42);
    // Direction A, instance 0 is untouched by binding B.
    EXPECT_EQ(layout->area[0].instance[0].descs[0].present, 0);
}

TEST_F(layout_test, attach_out_of_range_is_a_program_error)
{
    pipe_state p{};
    EXPECT_EXIT(session_attach(p, layout, 2, 0), testing::ExitedWithCode(1), "program error");
    EXPECT_EXIT(session_attach(p, layout, 0, 2), testing::ExitedWithCode(1), "program error");
}

}  // namespace
