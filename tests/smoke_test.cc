#include <gtest/gtest.h>
#include <version>

// The toolchain builds C++20 code and links GoogleTest.
TEST(Toolchain, Cxx20) { EXPECT_GE(__cplusplus, 202002L); }
