#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <bit>
#include <cstdint>
#include <random>

#include "common/numeric.hpp"
#include "common/sincos.hpp"

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

// Known values, correctly rounded (from MPFR); the same bits on every target.
TEST(Numeric, SineAndCosineGiveTheCorrectlyRoundedKnownValues) {
  struct Case {
    float x, sin, cos;
  };
  const Case cases[] = {
      {0x1.0c6f7ap-20f, 0x1.0c6f7ap-20f, 0x1p+0f},
      {0x1p-1f, 0x1.eaee88p-2f, 0x1.c1528p-1f},
      {0x1p+0f, 0x1.aed548p-1f, 0x1.14a28p-1f},
      {-0x1p+1f, -0x1.d18f6ep-1f, -0x1.aa2266p-2f},
      {0x1.921fb6p+1f, -0x1.777a5cp-24f, -0x1p+0f},
      {0x1.921fb6p+0f, 0x1p+0f, -0x1.777a5cp-25f},
      {0x1.9p+6f, -0x1.03425cp-1f, 0x1.b981dcp-1f},
      {-0x1.81cd6cp+13f, 0x1.68961p-1f, 0x1.6b7c4p-1f},
      {0x1.e848p+19f, -0x1.6664b2p-2f, 0x1.df9dfap-1f},
      {0x1p+24f, -0x1.8f22f8p-1f, 0x1.40ad68p-1f},
      {0x1.c363ccp+127f, 0x1.bff388p-1f, -0x1.efeaf8p-2f},
  };
  for (const Case& c : cases) {
    const SinCos r = sin_cos(c.x);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(r.sin), std::bit_cast<std::uint32_t>(c.sin)) << c.x;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(r.cos), std::bit_cast<std::uint32_t>(c.cos)) << c.x;
  }
  EXPECT_EQ(std::bit_cast<std::uint32_t>(sin_cos(-0.0f).sin), std::bit_cast<std::uint32_t>(-0.0f));
  EXPECT_EQ(sin_cos(-0.0f).cos, 1.0f);
  for (float x : {NAN, INFINITY, -INFINITY}) {
    EXPECT_TRUE(std::isnan(sin_cos(x).sin)) << x;
    EXPECT_TRUE(std::isnan(sin_cos(x).cos)) << x;
  }
}

// Error in ulp of the float grid at the exact value t.
double ulp_error(float y, long double t) {
  int exp = 0;
  std::frexp(static_cast<double>(t), &exp);
  const long double ulp = std::ldexp(1.0L, std::max(exp - 24, -149));
  return static_cast<double>(std::fabs(static_cast<long double>(y) - t) / ulp);
}

// A large random sample over the range the tracker meets (|theta| <= 1e6), spread over every
// binade, against the long double sine and cosine: within half an ulp and a hair (a result
// that is not correctly rounded is off by barely more than half an ulp).
TEST(Numeric, SineAndCosineAreWithinHalfAnUlpOverTheTrackerRange) {
  std::mt19937 rng(20261209);
  std::uniform_int_distribution<std::uint32_t> bits(0, std::bit_cast<std::uint32_t>(1e6f));
  double worst = 0.0;
  for (int i = 0; i < 400000; ++i) {
    const float x = std::bit_cast<float>(bits(rng) | ((static_cast<std::uint32_t>(rng()) & 1u) << 31));
    const SinCos r = sin_cos(x);
    const long double lx = x;
    worst = std::max({worst, ulp_error(r.sin, std::sin(lx)), ulp_error(r.cos, std::cos(lx))});
  }
  EXPECT_LT(worst, 0.5001);
}

}  // namespace
}  // namespace glent
