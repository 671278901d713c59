#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <random>

#include "image_utilities/sampling.hpp"
#include "common/sincos.hpp"
#include "patch/patch.hpp"
#include "param_names.hpp"
#include "patch/patch_reference.hpp"
#include "test_patch_support.hpp"

namespace glent {
namespace {

using testing::render;
using testing::same_bits;
using testing::Texture;
using testing::uniform;

PatchPoints pattern_at(float x, float y) {
  PatchPoints p;
  for (std::size_t i = 0; i < PATCH_SIZE; ++i) {
    p[i] = {x + PATCH_PATTERN[i].x / 2.0f, y + PATCH_PATTERN[i].y / 2.0f};
  }
  return p;
}

// A hand-made patch whose first `valid` samples hold `value` and the rest -1.
Patch patch_with_valid_samples(int valid, float value) {
  Patch p;
  for (int i = 0; i < PATCH_SIZE; ++i) p.data[static_cast<std::size_t>(i)] = i < valid ? value : -1.0f;
  p.valid = true;
  return p;
}

// One level's plain alignment, true unless the point is lost.
bool align_at_level(const Patch& patch, const GrayImage& image, Transform& warp) {
  return reference::align_level(patch, image, warp) != AlignOutcome::lost;
}

TEST(Se2Exp, ZeroIncrementIsTheIdentity) {
  const Transform e = se2_exp(0.0f, 0.0f, 0.0f);
  EXPECT_EQ(e, Transform{});
}

TEST(Se2Exp, PureTranslationPassesThrough) {
  const Transform e = se2_exp(1.25f, -3.5f, 0.0f);
  EXPECT_EQ(e, Transform::at(1.25f, -3.5f));
}

TEST(Se2Exp, AnglesBelowEpsilonUseTheSeriesAndAboveItTheClosedForm) {
  // At 1e-8 the closed form would give (1 - cos t) / t = 0; the series keeps t / 2.
  const Transform small = se2_exp(1.0f, 0.0f, 1e-8f);
  EXPECT_EQ(small.m[6], 1.0f - 0.16666667f * (1e-8f * 1e-8f));
  EXPECT_EQ(small.m[7], 0.5f * 1e-8f - 0.041666668f * 1e-8f * (1e-8f * 1e-8f));
  EXPECT_GT(small.m[7], 0.0f);
  const Transform negative = se2_exp(1.0f, 0.0f, -1e-8f);
  EXPECT_EQ(negative.m[7], -small.m[7]);
  // At 1e-6 cos rounds to 1 in single precision and the closed form gives exactly 0.
  const Transform exact = se2_exp(1.0f, 0.0f, 1e-6f);
  EXPECT_EQ(exact.m[7], (1.0f - sin_cos(1e-6f).cos) / 1e-6f);
  EXPECT_EQ(exact.m[7], 0.0f);
  EXPECT_EQ(exact.m[6], sin_cos(1e-6f).sin / 1e-6f);
}

TEST(Se2Exp, MatchesTheExponentialOfTheGroup) {
  for (float t : {0.3f, -0.7f, 2.0f, 3.1f}) {
    const float dx = 1.5f, dy = -0.75f;
    const Transform e = se2_exp(dx, dy, t);
    // The rotation is glent's own sine and cosine, within rounding of the true values.
    const SinCos sc = sin_cos(t);
    EXPECT_EQ(e.m[0], sc.cos);
    EXPECT_EQ(e.m[1], sc.sin);
    EXPECT_EQ(e.m[3], -sc.sin);
    EXPECT_EQ(e.m[4], sc.cos);
    EXPECT_NEAR(sc.cos, std::cos(double{t}), 1e-7);
    EXPECT_NEAR(sc.sin, std::sin(double{t}), 1e-7);
    EXPECT_EQ(e.m[2], 0.0f);
    EXPECT_EQ(e.m[5], 0.0f);
    EXPECT_EQ(e.m[8], 1.0f);
    const double a = (1.0 - std::cos(double{t})) / t, b = std::sin(double{t}) / t;
    EXPECT_NEAR(e.m[6], b * dx - a * dy, 1e-5);
    EXPECT_NEAR(e.m[7], a * dx + b * dy, 1e-5);
  }
}

TEST(PatchResidual, TwentySevenUsablePairsAreEnoughAndTwentySixAreNot) {
  const GrayImage target = uniform(40, 40, 100);
  const PatchPoints points = pattern_at(20.0f, 20.0f);
  const std::optional<Residuals> r27 = reference::patch_residual(patch_with_valid_samples(27, 0.75f), target, points);
  ASSERT_TRUE(r27.has_value());
  for (std::size_t i = 0; i < PATCH_SIZE; ++i) EXPECT_EQ((*r27)[i], i < 27 ? 0.25f : 0.0f) << i;
  EXPECT_FALSE(reference::patch_residual(patch_with_valid_samples(26, 0.75f), target, points).has_value());
}

TEST(PatchResidual, TargetSamplesOutsideTheImageAreNotUsable) {
  // Centred at x = 3: the 10 samples left of x = 1.5 fall outside; all patch samples are valid.
  const GrayImage target = uniform(40, 40, 100);
  const std::optional<Residuals> r = reference::patch_residual(patch_with_valid_samples(52, 1.0f), target, pattern_at(3.0f, 20.0f));
  ASSERT_TRUE(r.has_value());
  // Moving further out leaves 26 or fewer inside.
  EXPECT_FALSE(reference::patch_residual(patch_with_valid_samples(52, 1.0f), target, pattern_at(1.0f, 20.0f)).has_value());
}

TEST(PatchResidual, AllBlackTargetIsAbsent) {
  EXPECT_FALSE(reference::patch_residual(patch_with_valid_samples(52, 1.0f), uniform(40, 40, 0), pattern_at(20.0f, 20.0f)));
}

TEST(PatchResidual, TargetIsNormalisedByTheMeanOfAllItsInBoundsSamples) {
  // Patch samples 30..51 invalid: their target samples still enter the mean.
  GrayImage target = uniform(40, 40, 100);
  const PatchPoints points = pattern_at(20.0f, 20.0f);
  Patch p = patch_with_valid_samples(30, 1.0f);
  // A brighter lower half: the target samples differ, including under invalid patch samples.
  for (std::uint32_t y = 21; y < 40; ++y)
    for (std::uint32_t x = 0; x < 40; ++x) target.pixels[y * 40 + x] = 200;
  const std::optional<Residuals> r = reference::patch_residual(p, target, points);
  ASSERT_TRUE(r.has_value());
  float sum = 0.0f;
  float s[PATCH_SIZE];
  for (std::size_t i = 0; i < PATCH_SIZE; ++i) {
    s[i] = static_cast<float>(*sample_bilinear(target, points[i].x, points[i].y));
    sum += s[i];
  }
  const float k = 52.0f / sum;
  for (std::size_t i = 0; i < PATCH_SIZE; ++i) EXPECT_EQ((*r)[i], i < 30 ? s[i] * k - 1.0f : 0.0f) << i;
}

TEST(PatchResidual, GainBetweenFramesLeavesTheResidualsUnchanged) {
  const Texture tex(11);
  GrayImage img = render(tex, 48, 48);
  for (auto& v : img.pixels) v = static_cast<std::uint8_t>(v / 2);
  GrayImage doubled = img;
  for (auto& v : doubled.pixels) v = static_cast<std::uint8_t>(v * 2);
  const Patch p = reference::build_patch(img, 24.0f, 24.0f);
  // Rounded samples double exactly only where they hit pixels, so sample on whole positions.
  const PatchPoints points = pattern_at(24.5f, 23.5f);
  const auto a = reference::patch_residual(p, img, points);
  const auto b = reference::patch_residual(p, doubled, points);
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(same_bits(*a, *b));
}

TEST(AlignAtLevel, AgainstItsOwnImageStaysWithinRoundingOfTheStart) {
  const Texture tex(12);
  const GrayImage img = render(tex, 64, 64);
  for (auto [x, y] : {std::pair{32.0f, 32.0f}, {20.3f, 41.8f}, {40.5f, 25.25f}}) {
    const Patch p = reference::build_patch(img, x, y);
    ASSERT_TRUE(p.valid);
    Transform warp = Transform::at(x, y);
    ASSERT_TRUE(align_at_level(p, img, warp));
    EXPECT_NEAR(warp.tx(), x, 0.05f);
    EXPECT_NEAR(warp.ty(), y, 0.05f);
    EXPECT_NEAR(warp.linear(1, 0), 0.0f, 0.01f);
    EXPECT_EQ(warp.m[2], 0.0f);
    EXPECT_EQ(warp.m[5], 0.0f);
    EXPECT_EQ(warp.m[8], 1.0f);
  }
}

TEST(AlignAtLevel, RecoversSubPixelShifts) {
  // One level, started at zero motion. The error left is that of 8-bit rounding and bilinear
  // interpolation of a textured image, a few hundredths of a pixel.
  const Texture tex(13);
  const GrayImage a = render(tex, 160, 160);
  for (auto [sx, sy] : {std::pair{0.6, -0.35}, {-0.25, 0.8}, {1.3, 0.45}}) {
    const GrayImage b = render(tex, 160, 160, sx, sy);
    double sq = 0.0, worst = 0.0;
    int n = 0;
    for (float y = 15.0f; y < 145.0f; y += 9.3f) {
      for (float x = 15.0f; x < 145.0f; x += 8.1f) {
        const Patch p = reference::build_patch(a, x, y);
        ASSERT_TRUE(p.valid);
        Transform warp = Transform::at(x, y);
        ASSERT_TRUE(align_at_level(p, b, warp));
        const double e = std::hypot(warp.tx() - (x + sx), warp.ty() - (y + sy));
        sq += e * e;
        worst = std::max(worst, e);
        ++n;
      }
    }
    EXPECT_LT(std::sqrt(sq / n), 0.06) << sx << ", " << sy;
    EXPECT_LT(worst, 0.25) << sx << ", " << sy;
  }
}

TEST(AlignAtLevel, AllBlackTargetLeavesTheWarpUnchanged) {
  const Texture tex(14);
  const Patch p = reference::build_patch(render(tex, 48, 48), 24.0f, 24.0f);
  ASSERT_TRUE(p.valid);
  Transform warp = Transform::at(23.3f, 24.9f);
  const Transform before = warp;
  EXPECT_TRUE(align_at_level(p, uniform(48, 48, 0), warp));
  EXPECT_EQ(warp, before);
}

TEST(AlignAtLevel, PointCarriedOutOfTheMarginIsLost) {
  const Texture tex(6);
  const GrayImage a = render(tex, 64, 64);
  const Patch p = reference::build_patch(a, 9.0f, 30.0f);
  ASSERT_TRUE(p.valid);
  // The match at x = 1 lies left of the 1.5 margin of the target: the point is lost.
  Transform warp = Transform::at(2.6f, 30.0f);
  EXPECT_FALSE(align_at_level(p, render(tex, 64, 64, -8.0, 0.0), warp));
  // The same start towards a match at x = 3 inside the margin is kept.
  warp = Transform::at(2.6f, 30.0f);
  EXPECT_TRUE(align_at_level(p, render(tex, 64, 64, -6.0, 0.0), warp));
  EXPECT_NEAR(warp.tx(), 3.0f, 0.1f);
}

TEST(AlignAtLevel, NonFiniteOrHugeIncrementsLoseThePoint) {
  const GrayImage target = render(Texture(16), 48, 48);
  Patch p = reference::build_patch(target, 24.0f, 24.0f);
  ASSERT_TRUE(p.valid);
  Patch inf = p;
  inf.h_inv_jt[4] = std::numeric_limits<float>::infinity();
  Patch huge = p;
  for (float& e : huge.h_inv_jt) e *= 1e12f;
  Transform warp = Transform::at(24.7f, 24.0f);  // off the optimum, so the residual is not 0
  EXPECT_FALSE(align_at_level(inf, target, warp));
  warp = Transform::at(24.7f, 24.0f);
  EXPECT_FALSE(align_at_level(huge, target, warp));
}

struct IncrementCase {
  float dx;
  float dy;
  float dtheta;
  bool kept;
};

class ApplyIncrement : public ::testing::TestWithParam<IncrementCase> {};

TEST_P(ApplyIncrement, LosesThePointOnUnusableIncrementsOrLeavingTheMargin) {
  const IncrementCase c = GetParam();
  // Size only: a 2e6 x 40 image needs no pixels to test the margin.
  GrayImage image;
  image.width = 2000000;
  image.height = 40;
  Transform warp = Transform::at(2.0f, 20.0f);
  EXPECT_EQ(apply_increment({c.dx, c.dy, c.dtheta}, image, warp), c.kept);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ApplyIncrement,
    ::testing::Values(
        // t.x 2 -> 1.4 leaves the margin; 2 -> 1.5 stays.
        IncrementCase{-0.6f, 0.0f, 0.0f, false}, IncrementCase{-0.5f, 0.0f, 0.0f, true},
        // A length of exactly 1e6 is accepted; the next float above is not.
        IncrementCase{1e6f, 0.0f, 0.0f, true},
        IncrementCase{std::nextafter(1e6f, 2e6f), 0.0f, 0.0f, false},
        IncrementCase{std::numeric_limits<float>::quiet_NaN(), 0.0f, 0.0f, false},
        IncrementCase{0.0f, std::numeric_limits<float>::infinity(), 0.0f, false},
        IncrementCase{0.0f, 0.0f, -std::numeric_limits<float>::infinity(), false},
        IncrementCase{1e30f, 1e30f, 0.0f, false}),
    [](const ::testing::TestParamInfo<IncrementCase>& case_info) {
      using test_support::name_part;
      const IncrementCase& c = case_info.param;
      return "dx_" + name_part(c.dx) + "_dy_" + name_part(c.dy) + "_dtheta_" +
             name_part(c.dtheta) + (c.kept ? "_kept" : "_lost");
    });

TEST(ApplyIncrement, ComposesOnTheRight) {
  // Warp with a 90 degree linear part: a shift along the patch's own x axis moves t along y.
  GrayImage image;
  image.width = 100;
  image.height = 100;
  Transform warp;
  warp.m = {0.0f, 1.0f, 0.0f, -1.0f, 0.0f, 0.0f, 50.0f, 50.0f, 1.0f};
  ASSERT_TRUE(apply_increment({2.0f, 0.0f, 0.0f}, image, warp));
  EXPECT_EQ(warp.tx(), 50.0f);
  EXPECT_EQ(warp.ty(), 52.0f);
  ASSERT_TRUE(apply_increment({0.0f, 0.0f, 0.5f}, image, warp));
  const float c = sin_cos(0.5f).cos, s = sin_cos(0.5f).sin;
  EXPECT_EQ(warp.m[0], c * 0.0f + s * -1.0f);
  EXPECT_EQ(warp.m[1], c * 1.0f + s * 0.0f);
  EXPECT_EQ(warp.m[3], c * -1.0f - s * 0.0f);
  EXPECT_EQ(warp.m[4], c * 0.0f - s * 1.0f);
}

// The vector alignment against the plain code from rotated and shifted starts on textures, noise
// and saturated images (a start at NaN among them), bit for bit.
TEST(AlignPrepared, MatchesThePlainCodeFromRotatedStarts) {
  testing::for_each_isa([&] {
    std::mt19937 rng(21);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    int aligned = 0;
    for (int image_index = 0; image_index < 12; ++image_index) {
      const auto w = 8 + rng() % 100, h = 8 + rng() % 80;
      GrayImage img = render(Texture(200 + static_cast<std::uint32_t>(image_index)), w, h);
      if (image_index % 4 == 1) for (auto& v : img.pixels) v = static_cast<std::uint8_t>(rng());
      if (image_index % 4 == 2) for (auto& v : img.pixels) v = v < 100 ? 0 : v;
      Patch previous;
      Transform previous_start;
      for (int k = 0; k < 300; ++k) {
        const float cx = unit(rng) * static_cast<float>(w), cy = unit(rng) * static_cast<float>(h);
        const Patch p = reference::build_patch(img, cx, cy);
        const float angle = (unit(rng) - 0.5f) * 1.0f;
        const float c = std::cos(angle), s = std::sin(angle);
        const float tx = cx + (unit(rng) - 0.5f) * 6.0f, ty = cy + (unit(rng) - 0.5f) * 6.0f;
        Transform start{{c, s, 0.0f, -s, c, 0.0f, tx, ty, 1.0f}};
        if (k % 11 == 0) start.m[6] = std::numeric_limits<float>::quiet_NaN();
        if (!p.valid) continue;
        AlignOutcome plain;
        ASSERT_TRUE(testing::aligned_like_the_plain_code(p, start, previous.valid ? previous : p,
                                                         previous_start, img, plain));
        aligned += plain == AlignOutcome::aligned ? 1 : 0;
        previous = p;
        previous_start = start;
      }
    }
    EXPECT_GT(aligned, 500);
  });
}

TEST(AlignPrepared, MatchesThePlainCodeBitForBit) {
  testing::for_each_isa([&] {
    std::mt19937 rng(22);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    int kept = 0;
    for (int image_index = 0; image_index < 10; ++image_index) {
      const Texture tex(300 + static_cast<std::uint32_t>(image_index));
      const auto w = 16 + rng() % 100, h = 16 + rng() % 80;
      const GrayImage a = render(tex, w, h);
      const GrayImage b = render(tex, w, h, unit(rng) * 2.0 - 1.0, unit(rng) * 2.0 - 1.0, (unit(rng) - 0.5) * 0.2, w / 2.0, h / 2.0);
      for (int k = 0; k < 200; ++k) {
        const float cx = unit(rng) * static_cast<float>(w), cy = unit(rng) * static_cast<float>(h);
        const Patch p = reference::build_patch(a, cx, cy);
        if (!p.valid) continue;
        const Transform start = Transform::at(cx + (unit(rng) - 0.5f), cy + (unit(rng) - 0.5f));
        AlignOutcome plain;
        ASSERT_TRUE(testing::aligned_like_the_plain_code(p, start, p, start, b, plain));
        kept += plain != AlignOutcome::lost ? 1 : 0;
        // Against its own image from a hundredth of a pixel away the increments soon vanish,
        // so the integer sample positions repeat between iterations (the vector code then
        // reuses the pixels it read); from a start turned by up to 0.8 rad they do not.
        const float turn = (unit(rng) - 0.5f) * 1.6f;
        const float c = std::cos(turn), s = std::sin(turn);
        for (const Transform& from : {Transform::at(cx + 0.01f, cy - 0.01f),
                                      Transform{{c, s, 0.0f, -s, c, 0.0f, cx, cy, 1.0f}}}) {
          ASSERT_TRUE(testing::aligned_like_the_plain_code(p, from, p, start, a, plain));
        }
      }
    }
    EXPECT_GT(kept, 300);
  });
}

}  // namespace
}  // namespace glent

namespace glent {
namespace {

// Very wide levels leave the fast paths; the results must not change at the switch-over points.
TEST(AlignPrepared, MatchesThePlainCodeOnVeryWideImages) {
  std::mt19937 rng(23);
  int valid = 0;
  for (std::uint32_t width : {65535u, 65536u, 70001u, (1u << 22) + 3u}) {
    GrayImage img(width, 16);
    for (auto& v : img.pixels) v = static_cast<std::uint8_t>(60 + rng() % 140);
    const float w = static_cast<float>(width);
    for (float x : {5.0f, 6.5f, w * 0.5f + 0.37f, w - 9.25f, w - 7.0f, w - 4.5f}) {
      testing::for_each_isa([&] {
        const Patch fast = testing::build_fast(img, x, 8.2f);
        const Patch plain = reference::build_patch(img, x, 8.2f);
        ASSERT_TRUE(same_bits(fast, plain)) << width << " at " << x;
        if (!plain.valid) return;
        ++valid;
        const Transform start = Transform::at(x + 0.3f, 8.0f);
        AlignOutcome outcome;
        ASSERT_TRUE(testing::aligned_like_the_plain_code(plain, start, plain, start, img, outcome))
            << width << " at " << x;
      });
    }
  }
  EXPECT_GT(valid, 20);
}

}  // namespace
}  // namespace glent
