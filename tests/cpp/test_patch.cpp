#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <utility>

#include "image_utilities/sampling.hpp"
#include "param_names.hpp"
#include "patch/patch.hpp"
#include "patch/patch_reference.hpp"
#include "test_patch_support.hpp"

namespace glent {
namespace {

using testing::render;
using testing::same_bits;
using testing::Texture;
using testing::uniform;

int valid_samples(const Patch& p) {
  int n = 0;
  for (float d : p.data) n += d >= 0.0f ? 1 : 0;
  return n;
}

TEST(PatchPattern, HoldsEveryOddOffsetOfTheDiscRowsTopDownAndXAscending) {
  std::set<std::pair<int, int>> expected;
  for (int y = -7; y <= 7; y += 2)
    for (int x = -7; x <= 7; x += 2)
      if (x * x + y * y <= 58) expected.insert({x, y});
  ASSERT_EQ(expected.size(), static_cast<std::size_t>(PATCH_SIZE));

  std::set<std::pair<int, int>> seen;
  for (std::size_t i = 0; i < PATCH_PATTERN.size(); ++i) {
    const PatternOffset o = PATCH_PATTERN[i];
    seen.insert({static_cast<int>(o.x), static_cast<int>(o.y)});
    if (i > 0) {
      const PatternOffset prev = PATCH_PATTERN[i - 1];
      EXPECT_TRUE(o.y < prev.y || (o.y == prev.y && o.x > prev.x)) << "index " << i;
    }
  }
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(PATCH_PATTERN[0].x, -3.0f);
  EXPECT_EQ(PATCH_PATTERN[0].y, 7.0f);
  EXPECT_EQ(PATCH_PATTERN[51].x, 3.0f);
  EXPECT_EQ(PATCH_PATTERN[51].y, -7.0f);
}

struct BoundsCase {
  std::uint32_t width;
  std::uint32_t height;
  float x;
  float y;
  bool inside;
};

class InPatchBounds : public ::testing::TestWithParam<BoundsCase> {};

TEST_P(InPatchBounds, RoundsHalfAwayAndKeepsATwoPixelMargin) {
  const BoundsCase c = GetParam();
  // Only the size matters to the test, so huge sizes need no pixels.
  GrayImage image;
  image.width = c.width;
  image.height = c.height;
  EXPECT_EQ(in_patch_bounds(image, c.x, c.y), c.inside) << c.x << ", " << c.y;
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Cases, InPatchBounds,
    ::testing::Values(
        // Half-way coordinates round away from zero: 1.5 -> 2 is inside, 1.49 -> 1 is not.
        BoundsCase{20, 20, 1.5f, 10.0f, true}, BoundsCase{20, 20, 1.49f, 10.0f, false},
        BoundsCase{20, 20, 10.0f, 1.5f, true}, BoundsCase{20, 20, 10.0f, 1.49f, false},
        // Far side: x < width - 2.5.
        BoundsCase{20, 20, 17.49f, 10.0f, true}, BoundsCase{20, 20, 17.5f, 10.0f, false},
        BoundsCase{20, 20, 10.0f, 17.49f, true}, BoundsCase{20, 20, 10.0f, 17.5f, false},
        // Negative, NaN and infinite coordinates are outside, never wrapped around.
        BoundsCase{20, 20, -1.0f, 10.0f, false}, BoundsCase{20, 20, kNaN, 10.0f, false},
        BoundsCase{20, 20, 10.0f, kNaN, false}, BoundsCase{20, 20, kInf, 10.0f, false},
        BoundsCase{20, 20, -kInf, 10.0f, false},
        // Images too small for the margin hold no position at all.
        BoundsCase{4, 20, 2.0f, 10.0f, false}, BoundsCase{5, 5, 2.0f, 2.0f, true},
        BoundsCase{0, 0, 2.0f, 2.0f, false},
        // Near the top of the u32 range: rx + 2 must not wrap around to a small number.
        BoundsCase{4294967295u, 20, 4294967040.0f, 10.0f, true},
        BoundsCase{4294967295u, 20, 1e10f, 10.0f, false},
        BoundsCase{4294967295u, 20, kInf, 10.0f, false},
        BoundsCase{20, 4294967295u, 10.0f, 1e10f, false}),
    [](const ::testing::TestParamInfo<BoundsCase>& case_info) {
      using test_support::name_part;
      const BoundsCase& c = case_info.param;
      return name_part(c.width) + "x" + name_part(c.height) + "_at_" + name_part(c.x) + "_" +
             name_part(c.y) + (c.inside ? "_inside" : "_outside");
    });

TEST(BuildPatch, AllSamplesAreInsideExactlyInTheWindowFiveToSizeMinusSix) {
  const Texture tex(1);
  const GrayImage img = render(tex, 40, 30);
  for (float x = 3.0f; x <= 36.0f; x += 0.25f) {
    const float y = 12.3f;
    const bool expect_all = x >= 5.0f && x < 40.0f - 6.0f;
    EXPECT_EQ(valid_samples(reference::build_patch(img, x, y)) == PATCH_SIZE, expect_all) << "x = " << x;
  }
  for (float y : {4.99f, 5.0f, 23.99f, 24.0f}) {
    const bool expect_all = y >= 5.0f && y < 30.0f - 6.0f;
    EXPECT_EQ(valid_samples(reference::build_patch(img, 17.0f, y)) == PATCH_SIZE, expect_all) << "y = " << y;
  }
}

TEST(BuildPatch, LevelsUnderFivePixelsHoldNoSampleAndGiveInvalidPatches) {
  const Texture tex(2);
  for (auto [w, h] : {std::pair<std::uint32_t, std::uint32_t>{4, 40}, {40, 4}, {4, 4}, {0, 0}, {1, 1}}) {
    const GrayImage img = render(tex, w, h);
    for (float x : {0.0f, 1.5f, 2.0f, 2.5f, 20.0f}) {
      const Patch p = reference::build_patch(img, x, 2.0f);
      EXPECT_FALSE(p.valid) << w << "x" << h;
      EXPECT_EQ(valid_samples(p), 0);
      EXPECT_TRUE(std::isnan(p.mean));
      for (float e : p.h_inv_jt) EXPECT_EQ(e, 0.0f);
    }
  }
}

TEST(BuildPatch, FlatNeighbourhoodsAreInvalidWithZeroHInvJt) {
  for (std::uint8_t value : {std::uint8_t{0}, std::uint8_t{100}, std::uint8_t{255}}) {
    const Patch p = reference::build_patch(uniform(30, 30, value), 15.0f, 15.0f);
    EXPECT_FALSE(p.valid) << int{value};
    EXPECT_EQ(valid_samples(p), value == 0 ? 0 : PATCH_SIZE);
    for (float e : p.h_inv_jt) EXPECT_EQ(e, 0.0f);
  }
}

TEST(BuildPatch, TexturedPatchIsValidAndNormalisedByTheMeanOfItsSamples) {
  const Texture tex(3);
  const GrayImage img = render(tex, 64, 48);
  const float x = 30.3f, y = 20.7f;
  const Patch p = reference::build_patch(img, x, y);
  ASSERT_TRUE(p.valid);
  double raw = 0.0, normalised = 0.0;
  for (std::size_t i = 0; i < PATCH_SIZE; ++i) {
    const SampleGrad g = sample_with_gradient(img, x + PATCH_PATTERN[i].x / 2.0f, y + PATCH_PATTERN[i].y / 2.0f);
    raw += g.value;
    normalised += p.data[i];
    EXPECT_NEAR(p.data[i], g.value / p.mean, 1e-5f);
  }
  EXPECT_NEAR(p.mean, raw / PATCH_SIZE, 1e-3);
  EXPECT_NEAR(normalised / PATCH_SIZE, 1.0, 1e-5);
}

TEST(BuildPatch, DoublingTheIntensitiesDoublesTheMeanAndChangesNothingElse) {
  const Texture tex(4);
  GrayImage img = render(tex, 48, 48);
  for (auto& v : img.pixels) v = static_cast<std::uint8_t>(v / 2);
  GrayImage doubled = img;
  for (auto& v : doubled.pixels) v = static_cast<std::uint8_t>(v * 2);
  for (auto [x, y] : {std::pair{24.0f, 24.0f}, {20.37f, 27.81f}, {3.2f, 30.6f}}) {
    const Patch a = reference::build_patch(img, x, y);
    const Patch b = reference::build_patch(doubled, x, y);
    ASSERT_TRUE(a.valid);
    EXPECT_EQ(b.mean, 2.0f * a.mean);
    EXPECT_TRUE(same_bits(a.data, b.data));
    EXPECT_TRUE(same_bits(a.h_inv_jt, b.h_inv_jt));
    EXPECT_TRUE(b.valid);
  }
}

TEST(BuildPatch, SamplesOutsideKeepMinusOneAndZeroColumnsYetThePatchCanBeValid) {
  const Texture tex(5);
  const GrayImage img = render(tex, 48, 48);
  const Patch p = reference::build_patch(img, 3.0f, 24.0f);  // the columns left of x = 1.5 fall outside
  ASSERT_TRUE(p.valid);
  int outside = 0;
  for (std::size_t i = 0; i < PATCH_SIZE; ++i) {
    if (3.0f + PATCH_PATTERN[i].x / 2.0f < 1.5f) {
      ++outside;
      EXPECT_EQ(p.data[i], -1.0f);
      for (std::size_t r = 0; r < 3; ++r) EXPECT_EQ(p.h_inv_jt[3 * i + r], 0.0f);
    } else {
      EXPECT_GE(p.data[i], 0.0f);
    }
  }
  EXPECT_EQ(outside, 10);  // pattern x = -7 (4 samples) and x = -5 (6 samples)
}

TEST(BuildPatch, HInvJtIsALeftInverseOfTheMeanNormalisedJacobian) {
  // Rebuilds J in double precision from the sampler: rows (gx, gy, ox gy - oy gx), normalised
  // by the mean including the mean's own derivative. (H^-1 J^T) J must then be the identity.
  const Texture tex(6);
  const GrayImage img = render(tex, 64, 64);
  const float x = 31.6f, y = 32.2f;
  const Patch p = reference::build_patch(img, x, y);
  ASSERT_TRUE(p.valid);
  std::array<std::array<double, 3>, PATCH_SIZE> jac{};
  std::array<double, 3> s{};
  std::array<double, PATCH_SIZE> v{};
  double total = 0.0;
  for (std::size_t i = 0; i < PATCH_SIZE; ++i) {
    const float ox = PATCH_PATTERN[i].x / 2.0f, oy = PATCH_PATTERN[i].y / 2.0f;
    const SampleGrad g = sample_with_gradient(img, x + ox, y + oy);
    jac[i] = {g.gx, g.gy, double{ox} * g.gy - double{oy} * g.gx};
    v[i] = g.value;
    total += g.value;
    for (std::size_t j = 0; j < 3; ++j) s[j] += jac[i][j];
  }
  for (std::size_t i = 0; i < PATCH_SIZE; ++i)
    for (std::size_t j = 0; j < 3; ++j) jac[i][j] = (jac[i][j] - s[j] / total * v[i]) * (PATCH_SIZE / total);
  for (std::size_t r = 0; r < 3; ++r) {
    for (std::size_t c = 0; c < 3; ++c) {
      double e = 0.0;
      for (std::size_t i = 0; i < PATCH_SIZE; ++i) e += p.h_inv_jt[3 * i + r] * jac[i][c];
      EXPECT_NEAR(e, r == c ? 1.0 : 0.0, 1e-3) << r << ", " << c;
    }
  }
}

// The vector code must reproduce the plain code to the bit, valid or not, on every kind of
// input: textures, noise, saturated areas, tiny images, borders, odd coordinates.
TEST(BuildPatch, VectorCodeMatchesThePlainCodeBitForBit) {
  testing::for_each_isa([&] {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    int checked = 0, valid = 0;
    for (int image_index = 0; image_index < 24; ++image_index) {
      const auto w = static_cast<std::uint32_t>(image_index < 4 ? 3 + image_index * 3 : 20 + rng() % 120);
      const auto h = static_cast<std::uint32_t>(image_index < 4 ? 30 : 20 + rng() % 90);
      GrayImage img = render(Texture(100 + static_cast<std::uint32_t>(image_index)), w, h);
      if (image_index % 3 == 1) {
        for (auto& v : img.pixels) v = static_cast<std::uint8_t>(rng());
      } else if (image_index % 3 == 2) {
        for (auto& v : img.pixels) v = v < 90 ? 0 : (v > 170 ? 255 : v);
      }
      for (int k = 0; k < 400; ++k) {
        float x = unit(rng) * static_cast<float>(w + 8) - 4.0f;
        float y = unit(rng) * static_cast<float>(h + 8) - 4.0f;
        if (k % 5 == 0) x = std::round(x * 2.0f) / 2.0f;  // half-way positions
        if (k % 7 == 0) y = std::round(y);
        const Patch fast = testing::build_fast(img, x, y);
        const Patch plain = reference::build_patch(img, x, y);
        ASSERT_TRUE(same_bits(fast, plain)) << w << "x" << h << " at " << x << ", " << y;
        ++checked;
        valid += plain.valid ? 1 : 0;
      }
    }
    for (float x : {kNaN, kInf, -kInf, 1e30f, -1e30f}) {
      const GrayImage img = render(Texture(9), 32, 32);
      ASSERT_TRUE(same_bits(testing::build_fast(img, x, 16.0f), reference::build_patch(img, x, 16.0f)));
      ASSERT_TRUE(same_bits(testing::build_fast(img, 16.0f, x), reference::build_patch(img, 16.0f, x)));
    }
    EXPECT_GT(valid, checked / 3);  // the comparison covered plenty of valid patches
  });
}

}  // namespace
}  // namespace glent
