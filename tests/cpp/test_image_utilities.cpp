#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "common/fatal_error.hpp"
#include "common/isa.hpp"
#include "test_support.hpp"
#include "image_utilities/gray_image.hpp"
#include "tracker/pyramid.hpp"

namespace glent {
namespace {

using test_support::fatal_message;

GrayImage image_of(std::uint32_t w, std::uint32_t h, std::vector<std::uint8_t> px) {
  return GrayImage(w, h, std::move(px));
}

GrayImage random_image(std::uint32_t w, std::uint32_t h, unsigned seed) {
  std::mt19937 rng(seed);
  GrayImage img(w, h);
  for (auto& p : img.pixels) p = static_cast<std::uint8_t>(rng() & 0xFF);
  return img;
}

TEST(PixelAt, ReadsRowMajorAndNamesOutOfRangePixel) {
  GrayImage img = image_of(3, 2, {1, 2, 3, 4, 5, 6});
  EXPECT_EQ(pixel_at(img, 2, 0), 3);
  EXPECT_EQ(pixel_at(img, 0, 1), 4);
  EXPECT_EQ(fatal_message([&] { pixel_at(img, 3, 1); }), "Image index (3, 1) out of bounds (3, 2)");
  EXPECT_EQ(fatal_message([&] { pixel_at(img, 0u - 1u, 1); }),
            "Image index (4294967295, 1) out of bounds (3, 2)");
  GrayImage empty(0, 5);
  EXPECT_EQ(fatal_message([&] { pixel_at(empty, 0, 0); }), "Image index (0, 0) out of bounds (0, 5)");
}

TEST(BoxHalve, RoundsExactHalvesUp) {
  EXPECT_EQ(box_halve(image_of(2, 2, {0, 1, 1, 0})).pixels, std::vector<std::uint8_t>{1});
  EXPECT_EQ(box_halve(image_of(2, 2, {1, 1, 1, 0})).pixels, std::vector<std::uint8_t>{1});
  EXPECT_EQ(box_halve(image_of(2, 2, {1, 2, 1, 2})).pixels, std::vector<std::uint8_t>{2});  // 6 -> 2
  EXPECT_EQ(box_halve(image_of(2, 2, {2, 3, 2, 3})).pixels, std::vector<std::uint8_t>{3});  // 10 -> 3
  EXPECT_EQ(box_halve(image_of(2, 2, {255, 255, 255, 255})).pixels, std::vector<std::uint8_t>{255});
}

// Every instruction-set variant (selected with simd::use_isa), with its vector body, the block
// flush with the row's end and the scalar rows narrower than a block, must agree with the
// formula at every width, odd ones too (the last column is dropped), and at odd heights.
TEST(BoxHalve, MatchesFormulaAtEveryWidthInEveryVariant) {
  const simd::Isa before = simd::current_isa();
  for (const simd::Isa isa : simd::ALL_ISAS) {
    if (!simd::isa_supported(isa)) continue;
    simd::use_isa(isa);
    ASSERT_EQ(simd::current_isa(), isa);
    for (std::uint32_t w = 1; w <= 200; ++w) {
      const std::uint32_t h = 2 + w % 5;
      const GrayImage img = random_image(w, h, w);
      const GrayImage out = box_halve(img);
      ASSERT_EQ(out.width, w / 2);
      ASSERT_EQ(out.height, h / 2);
      for (std::uint32_t y = 0; y < out.height; ++y) {
        for (std::uint32_t x = 0; x < out.width; ++x) {
          const unsigned sum = pixel_at(img, 2 * x, 2 * y) + pixel_at(img, 2 * x + 1, 2 * y) +
                               pixel_at(img, 2 * x, 2 * y + 1) + pixel_at(img, 2 * x + 1, 2 * y + 1);
          ASSERT_EQ(pixel_at(out, x, y), (sum + 2) >> 2)
              << simd::isa_name(isa) << " width " << w << " at " << x << "," << y;
        }
      }
    }
    // Sums of four bytes at the ends of the range, where a narrower sum would wrap.
    for (const std::uint8_t v : {0, 1, 2, 253, 254, 255}) {
      GrayImage img(130, 4);
      std::fill(img.pixels.begin(), img.pixels.end(), v);
      for (const std::uint8_t p : box_halve(img).pixels) {
        ASSERT_EQ(p, v) << simd::isa_name(isa);
      }
    }
  }
  simd::use_isa(before);
}

TEST(ResizeTriangle, ConstantImageStaysConstant) {
  for (std::uint8_t v : {0, 1, 77, 128, 254, 255}) {
    GrayImage img(7, 4);
    std::fill(img.pixels.begin(), img.pixels.end(), v);
    const GrayImage out = halve_image(img);
    ASSERT_EQ(out.width, 3u);
    ASSERT_EQ(out.height, 2u);
    for (auto p : out.pixels) EXPECT_EQ(p, v);
  }
}

// 5 -> 2 uses raw weights 0.7, 0.9, 0.5, 0.1 over sources 0..3 (and mirrored for output 1).
TEST(ResizeTriangle, FiveToTwoUsesClippedTriangleWeights) {
  GrayImage img(5, 5);
  img.pixels[2 * 5 + 2] = 255;
  const GrayImage out = halve_image(img);
  ASSERT_EQ(out.width, 2u);
  ASSERT_EQ(out.height, 2u);
  // Centre pixel weight 0.5/2.2 in each direction: 255 * (0.5/2.2)^2 = 13.17 -> 13.
  for (auto p : out.pixels) EXPECT_EQ(p, 13);

  // A single row: source values 0, 10, 20, 30, 40 give (0*.7 + 10*.9 + 20*.5 + 30*.1) / 2.2.
  GrayImage row = image_of(5, 1, {0, 10, 20, 30, 40});
  const GrayImage r = resize_triangle(row, 2, 1);
  const float w0[4] = {0.7f / 2.2f, 0.9f / 2.2f, 0.5f / 2.2f, 0.1f / 2.2f};
  const float expected0 = 0.0f * w0[0] + 10.0f * w0[1] + 20.0f * w0[2] + 30.0f * w0[3];
  const float expected1 = 10.0f * w0[3] + 20.0f * w0[2] + 30.0f * w0[1] + 40.0f * w0[0];
  EXPECT_EQ(r.pixels[0], static_cast<std::uint8_t>(std::round(expected0)));
  EXPECT_EQ(r.pixels[1], static_cast<std::uint8_t>(std::round(expected1)));
}

// Halving an even side by triangle: interior taps 1/8, 3/8, 3/8, 1/8; border taps 3/7, 3/7, 1/7.
TEST(ResizeTriangle, EvenSideWeightsAndOddSizedThree) {
  GrayImage row = image_of(8, 1, {0, 0, 0, 80, 160, 0, 0, 0});
  const GrayImage r = resize_triangle(row, 4, 1);
  // Output 1 draws on sources 1..4 with 1/8, 3/8, 3/8, 1/8: 80*3/8 + 160*1/8 = 50.
  EXPECT_EQ(r.pixels[1], 50);
  // Output 2 draws on sources 3..6: 80*1/8 + 160*3/8 = 70.
  EXPECT_EQ(r.pixels[2], 70);
  // Output 0 draws on sources 0..2 with 3/7, 3/7, 1/7: all zero.
  EXPECT_EQ(r.pixels[0], 0);
  GrayImage first = image_of(8, 1, {70, 70, 140, 0, 0, 0, 0, 0});
  EXPECT_EQ(resize_triangle(first, 4, 1).pixels[0], 80);  // 30 + 30 + 20

  GrayImage three = image_of(3, 1, {70, 140, 70});
  EXPECT_EQ(resize_triangle(three, 1, 1).pixels[0], 100);  // 20 + 60 + 20
}

TEST(ResizeTriangle, EmptySourceOrTargetGivesRequestedSize) {
  const GrayImage a = resize_triangle(GrayImage(0, 6), 0, 3);
  EXPECT_EQ(a.width, 0u);
  EXPECT_EQ(a.height, 3u);
  EXPECT_TRUE(a.pixels.empty());
  const GrayImage b = resize_triangle(GrayImage(1, 6), 0, 3);
  EXPECT_TRUE(b.pixels.empty());
}

struct PyramidCase {
  std::uint32_t w, h, levels;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes;
};

class PyramidSizes : public ::testing::TestWithParam<PyramidCase> {};

TEST_P(PyramidSizes, LevelsHalveRoundingDown) {
  const PyramidCase& c = GetParam();
  const Pyramid p = build_pyramid(random_image(c.w, c.h, 3), c.levels);
  ASSERT_EQ(p.size(), c.sizes.size());
  for (std::size_t k = 0; k < p.size(); ++k) {
    EXPECT_EQ(p[k].width, c.sizes[k].first) << "level " << k;
    EXPECT_EQ(p[k].height, c.sizes[k].second) << "level " << k;
    EXPECT_EQ(p[k].pixels.size(), std::size_t{p[k].width} * p[k].height);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Examples, PyramidSizes,
    ::testing::Values(PyramidCase{640, 480, 4, {{640, 480}, {320, 240}, {160, 120}, {80, 60}}},
                      PyramidCase{641, 481, 3, {{641, 481}, {320, 240}, {160, 120}}},
                      PyramidCase{5, 5, 5, {{5, 5}, {2, 2}, {1, 1}, {0, 0}, {0, 0}}},
                      PyramidCase{1, 1, 3, {{1, 1}, {0, 0}, {0, 0}}},
                      PyramidCase{1, 6, 3, {{1, 6}, {0, 3}, {0, 1}}},
                      PyramidCase{8, 8, 0, {{8, 8}}}, PyramidCase{8, 8, 1, {{8, 8}}},
                      PyramidCase{0, 0, 2, {{0, 0}, {0, 0}}}),
    [](const ::testing::TestParamInfo<PyramidCase>& param_info) {
      return std::to_string(param_info.param.w) + "x" + std::to_string(param_info.param.h) + "_" +
             std::to_string(param_info.param.levels) + "_levels";
    });

TEST(Pyramid, LevelZeroIsACopyAndEvenLevelsUseTheBoxMean) {
  const GrayImage img = random_image(640, 481, 11);
  const Pyramid p = build_pyramid(img, 3);
  EXPECT_EQ(p[0], img);
  EXPECT_EQ(p[1], resize_triangle(img, 320, 240));  // odd height: triangle filter
  EXPECT_EQ(p[2], box_halve(p[1]));                 // even sides: 2x2 mean
}

TEST(Pyramid, FortyLevelsEndInEmptyLevels) {
  const Pyramid p = build_pyramid(random_image(64, 48, 5), 40);
  ASSERT_EQ(p.size(), 40u);
  EXPECT_EQ(p[39].width, 0u);
  EXPECT_EQ(p[39].height, 0u);
}

TEST(Pyramid, AbsurdDepthIsRefusedBeforeAnyWork) {
  EXPECT_THROW(build_pyramid(random_image(8, 8, 1), 4294967295u), PyramidTooDeep);
  EXPECT_THROW(build_pyramid(random_image(8, 8, 1), MAX_PYRAMID_LEVELS + 1), std::bad_alloc);
  EXPECT_EQ(build_pyramid(GrayImage(1, 1), MAX_PYRAMID_LEVELS).size(), MAX_PYRAMID_LEVELS);
}

}  // namespace
}  // namespace glent
