// Inputs the fuzz targets of fuzz/ found faults with, kept as plain tests.
#include <gtest/gtest.h>

#include <cstdlib>

#include "wenlo/models.hpp"
#include "wenlo/replay.hpp"

namespace {

int apply_delay(const char* text, wenlo::model_spec& slot)
{
    wenlo::replay_state rs;
    slot = wenlo::empty_slot();
    return wenlo::cmd_apply(wenlo::delay_table, text, &rs, &slot);
}

}  // namespace

// fuzz_model_apply: an exp delay whose table tail (dmin + 9 x (davg - dmin))
// lies beyond 64 bits converted the double out of range.  It is refused,
// as the link emulator refuses it; one just inside the range is kept.
TEST(fuzz_regress, wenlo_exp_delay_beyond_64_bits_is_refused)
{
    wenlo::model_spec slot{};
    EXPECT_EQ(apply_delay("exp,1s,3000000000", slot), 1);
    EXPECT_EQ(apply_delay("exp,44444,6444444444", slot), 1);
    ASSERT_EQ(apply_delay("exp,0,2000000000", slot), 0);
    EXPECT_EQ(slot.params.exp.table[0], 0u);
    EXPECT_EQ(slot.params.exp.table[511], 18000000000000000000u);
}
