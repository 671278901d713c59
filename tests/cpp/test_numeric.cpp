#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "common/numeric.hpp"

namespace glent {
namespace {

// The level scale of the tracker: exactly 2^level while that is a finite float, +inf beyond.
TEST(Numeric, LevelScaleIsTheExactPowerOfTwoAndInfinityPastTheFloatRange) {
  for (std::uint32_t level = 0; level < 128; ++level) {
    EXPECT_EQ(pow2f(level), std::ldexp(1.0f, static_cast<int>(level))) << level;
  }
  for (std::uint32_t level : {128u, 129u, 255u, 256u, 1000u, 4294967295u}) {
    EXPECT_EQ(pow2f(level), INFINITY) << level;
  }
}

}  // namespace
}  // namespace glent
