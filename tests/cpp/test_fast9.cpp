#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/fatal_error.hpp"
#include "common/isa.hpp"
#include "corners_fast9/fast9.hpp"
#include "image_utilities/gray_image.hpp"
#include "param_names.hpp"

namespace glent {
namespace {

constexpr std::array<int, 16> DX = {0, 1, 2, 3, 3, 3, 2, 1, 0, -1, -2, -3, -3, -3, -2, -1};
constexpr std::array<int, 16> DY = {-3, -3, -2, -1, 0, 1, 2, 3, 3, 3, 2, 1, 0, -1, -2, -3};

void set(GrayImage& image, std::uint32_t x, std::uint32_t y, int value) {
  image.pixels[std::size_t{y} * image.width + x] = static_cast<std::uint8_t>(value);
}

// An image of the given width (7 by default: then (3, 3) is the only examined pixel) with the
// given centre and circle values around (3, 3).
GrayImage circle_image(int centre, const std::array<int, 16>& ring, std::uint32_t width = 7) {
  GrayImage image(width, 7);
  set(image, 3, 3, centre);
  for (std::size_t i = 0; i < 16; ++i) {
    set(image, static_cast<std::uint32_t>(3 + DX[i]), static_cast<std::uint32_t>(3 + DY[i]),
        ring[i]);
  }
  return image;
}

// The corner rule read straight off its definition: some 9 cyclically consecutive circle
// pixels all brighter than c + t, or all darker than c - t.
bool corner_by_definition(int c, const std::array<int, 16>& ring, int t) {
  for (int start = 0; start < 16; ++start) {
    bool all_bright = true;
    bool all_dark = true;
    for (int k = 0; k < 9; ++k) {
      const int p = ring[static_cast<std::size_t>((start + k) % 16)];
      all_bright = all_bright && p > c + t;
      all_dark = all_dark && p < c - t;
    }
    if (all_bright || all_dark) return true;
  }
  return false;
}

// One instruction-set variant of fast9_detect: detect() selects it with simd::use_isa for the
// one call and then restores the selection it found.
struct Variant {
  const char* name;
  simd::Isa isa;

  std::vector<Corner> detect(const GrayImage& image, std::uint8_t threshold) const {
    const simd::Isa before = simd::current_isa();
    simd::use_isa(isa);
    EXPECT_EQ(simd::current_isa(), isa);
    std::vector<Corner> corners = fast9_detect(image, threshold);
    simd::use_isa(before);
    return corners;
  }
};

// Every variant this build has and this processor runs (avx512 runs the avx2 detector).
std::vector<Variant> vector_variants() {
  std::vector<Variant> variants;
  for (const simd::Isa isa : simd::ALL_ISAS) {
    if (simd::isa_supported(isa)) variants.push_back({simd::isa_name(isa), isa});
  }
  return variants;
}

// ---------------------------------------------------------------------------------------------
// The segment test and its score against their definitions.

TEST(Fast9CornerRule, MatchesDefinitionOnRandomCircles) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> pick(0, 5);
  const std::array<int, 7> thresholds = {0, 1, 10, 37, 128, 254, 255};
  // Every other centre near an end of the byte range, where c + t or c - t leaves it.
  std::uniform_int_distribution<int> extreme(0, 21);
  int corners_seen = 0;
  for (int trial = 0; trial < 20000; ++trial) {
    const int e = extreme(rng);
    const int c = trial % 2 ? byte(rng) : (e <= 10 ? e : 234 + e);
    const int t = thresholds[static_cast<std::size_t>(trial / 2 % 7)];
    // Mostly values right at the decision limits, so that ties and long arcs are common.
    std::array<int, 16> ring{};
    const int start = byte(rng) % 16;
    const int length = byte(rng) % 17;
    const int polarity = byte(rng) % 2;
    for (std::size_t i = 0; i < 16; ++i) {
      const bool in_arc = (static_cast<int>(i) - start + 16) % 16 < length;
      int v = 0;
      if (in_arc) {
        v = polarity ? c + t + 1 + pick(rng) % 3 : c - t - 1 - pick(rng) % 3;
        if (pick(rng) == 0) v = polarity ? c + t : c - t;  // exactly at the limit
      } else {
        v = pick(rng) < 3 ? byte(rng) : c;
      }
      ring[i] = std::clamp(v, 0, 255);
    }
    const GrayImage image = circle_image(c, ring);
    const auto threshold = static_cast<std::uint8_t>(t);
    const bool expected = corner_by_definition(c, ring, t);
    ASSERT_EQ(is_fast9_corner(image, threshold, 3, 3), expected) << "trial " << trial;
    // (3, 3) is the first lane of a block: of a zero-padded narrow row at width 14 and of a
    // full block at 45 (of 16 lanes in sse2, neon and portable, of 32 in avx2).
    std::vector<Corner> block;
    for (const Variant& variant : vector_variants()) {
      for (const std::uint32_t width : {14u, 45u}) {
        const GrayImage wide = circle_image(c, ring, width);
        block = variant.detect(wide, threshold);
        ASSERT_EQ(block, fast9_detect_plain(wide, threshold))
            << variant.name << " width " << width << " trial " << trial;
        ASSERT_EQ(!block.empty() && block[0].x == 3, expected)
            << variant.name << " width " << width << " trial " << trial;
      }
    }
    if (!expected) continue;
    ++corners_seen;
    int best = t;
    for (int u = t; u <= 255; ++u) {
      if (corner_by_definition(c, ring, u)) best = u;
    }
    ASSERT_EQ(fast9_score(image, threshold, 3, 3), best) << "trial " << trial;
    const Corner expected_corner{3, 3, static_cast<float>(best)};
    const std::vector<Corner> detected = fast9_detect(image, threshold);
    ASSERT_EQ(detected, std::vector<Corner>{expected_corner});
    ASSERT_EQ(block[0], expected_corner) << "trial " << trial;
  }
  EXPECT_GT(corners_seen, 1500);
}

TEST(Fast9CornerRule, SingleBrightPixelIsCornerWithScore254) {
  GrayImage image(7, 7);
  set(image, 3, 3, 255);
  const std::vector<Corner> corners = fast9_detect_plain(image, 10);
  ASSERT_EQ(corners.size(), 1u);
  EXPECT_EQ(corners[0], (Corner{3, 3, 254.0f}));
  EXPECT_EQ(fast9_detect(image, 10), corners);
}

TEST(Fast9CornerRule, BrightPixelOfValueVScoresVMinusOne) {
  for (const int v : {11, 12, 100, 200, 255}) {
    GrayImage image(7, 7);
    set(image, 3, 3, v);
    EXPECT_EQ(fast9_score(image, 10, 3, 3), v - 1) << v;
  }
}

TEST(Fast9CornerRule, WrapAroundArcIsCorner) {
  // Brighter at indices 12, 13, 14, 15, 0, 1, 2, 3, 4: nine across the end of the circle.
  std::array<int, 16> ring{};
  ring.fill(100);
  for (const int i : {12, 13, 14, 15, 0, 1, 2, 3, 4}) ring[static_cast<std::size_t>(i)] = 200;
  EXPECT_TRUE(is_fast9_corner(circle_image(100, ring), 10, 3, 3));
  // Eight of them are not enough.
  ring[4] = 100;
  EXPECT_FALSE(is_fast9_corner(circle_image(100, ring), 10, 3, 3));
}

TEST(Fast9CornerRule, EightConsecutiveAreNotACorner) {
  for (int start = 0; start < 16; ++start) {
    for (const int polarity : {+1, -1}) {
      std::array<int, 16> ring{};
      ring.fill(100);
      for (int k = 0; k < 8; ++k) ring[static_cast<std::size_t>((start + k) % 16)] = 100 + polarity * 50;
      EXPECT_FALSE(is_fast9_corner(circle_image(100, ring), 10, 3, 3)) << start << " " << polarity;
      ring[static_cast<std::size_t>((start + 8) % 16)] = 100 + polarity * 50;
      EXPECT_TRUE(is_fast9_corner(circle_image(100, ring), 10, 3, 3)) << start << " " << polarity;
    }
  }
}

TEST(Fast9CornerRule, MixedBrighterAndDarkerRunsDoNotJoin) {
  std::array<int, 16> ring{};
  ring.fill(100);
  for (int k = 0; k < 5; ++k) ring[static_cast<std::size_t>(k)] = 200;
  for (int k = 5; k < 10; ++k) ring[static_cast<std::size_t>(k)] = 0;
  EXPECT_FALSE(is_fast9_corner(circle_image(100, ring), 10, 3, 3));
}

TEST(Fast9CornerRule, PixelExactlyAtLimitIsNeitherBrighterNorDarker) {
  for (const int polarity : {+1, -1}) {
    std::array<int, 16> ring{};
    ring.fill(100);
    for (int k = 0; k < 9; ++k) ring[static_cast<std::size_t>(k)] = 100 + polarity * 11;
    EXPECT_TRUE(is_fast9_corner(circle_image(100, ring), 10, 3, 3));
    ring[4] = 100 + polarity * 10;  // c + t or c - t exactly
    EXPECT_FALSE(is_fast9_corner(circle_image(100, ring), 10, 3, 3));
  }
}

TEST(Fast9CornerRule, LimitsAreNotClamped) {
  // c - t < 0: nothing can be darker than a centre of 0.
  std::array<int, 16> ring{};
  ring.fill(0);
  EXPECT_FALSE(is_fast9_corner(circle_image(0, ring), 10, 3, 3));
  EXPECT_FALSE(is_fast9_corner(circle_image(5, ring), 10, 3, 3));
  // c + t = 260: nothing can be brighter than a centre of 250 at threshold 10.
  ring.fill(255);
  EXPECT_FALSE(is_fast9_corner(circle_image(250, ring), 10, 3, 3));
  EXPECT_TRUE(is_fast9_corner(circle_image(244, ring), 10, 3, 3));
}

// Calls outside 3 <= x <= width - 4, 3 <= y <= height - 4 stop at the first read outside the
// image, in the order centre, top, bottom, right, left.
struct OutOfRangeCase {
  std::uint32_t x;
  std::uint32_t y;
  std::string message;
};

class Fast9OutOfRange : public ::testing::TestWithParam<OutOfRangeCase> {};

TEST_P(Fast9OutOfRange, NamesFirstPixelReadOutside) {
  const OutOfRangeCase& c = GetParam();
  const GrayImage image(7, 7);
  try {
    is_fast9_corner(image, 10, c.x, c.y);
    FAIL() << "no fatal error";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.message(), c.message);
  }
  EXPECT_THROW(fast9_score(image, 10, c.x, c.y), FatalError);
}

INSTANTIATE_TEST_SUITE_P(
    ReadOrder, Fast9OutOfRange,
    ::testing::Values(OutOfRangeCase{7, 3, "Image index (7, 3) out of bounds (7, 7)"},
                      OutOfRangeCase{2, 2, "Image index (2, 4294967295) out of bounds (7, 7)"},
                      OutOfRangeCase{3, 4, "Image index (3, 7) out of bounds (7, 7)"},
                      OutOfRangeCase{4, 3, "Image index (7, 3) out of bounds (7, 7)"},
                      OutOfRangeCase{2, 3, "Image index (4294967295, 3) out of bounds (7, 7)"}),
    [](const ::testing::TestParamInfo<OutOfRangeCase>& case_info) {
      using test_support::name_part;
      return "at_" + name_part(case_info.param.x) + "_" + name_part(case_info.param.y);
    });

// ---------------------------------------------------------------------------------------------
// Whole-image detection.

TEST(Fast9Detect, ImagesNarrowerOrLowerThanSevenGiveNothing) {
  for (const auto& [w, h] : {std::pair<std::uint32_t, std::uint32_t>{6, 100}, {100, 6}, {0, 0},
                             {0, 50}, {50, 0}, {1, 1}, {6, 6}}) {
    GrayImage image(w, h);
    std::mt19937 rng(w * 131 + h);
    for (auto& p : image.pixels) p = static_cast<std::uint8_t>(rng());
    EXPECT_TRUE(fast9_detect_plain(image, 0).empty()) << w << "x" << h;
    for (const Variant& variant : vector_variants()) {
      EXPECT_TRUE(variant.detect(image, 0).empty()) << variant.name << " " << w << "x" << h;
    }
    EXPECT_TRUE(fast9_detect(image, 0).empty()) << w << "x" << h;
  }
}

TEST(Fast9Detect, SevenBySevenExaminesOnlyCentre) {
  // (2, 3) and (4, 4) would be corners too if they were examined.
  GrayImage image(7, 7);
  set(image, 3, 3, 255);
  set(image, 2, 3, 255);
  set(image, 4, 4, 255);
  const std::vector<Corner> expected = {{3, 3, 254.0f}};
  EXPECT_EQ(fast9_detect_plain(image, 10), expected);
  for (const Variant& variant : vector_variants()) {
    EXPECT_EQ(variant.detect(image, 10), expected) << variant.name;
  }
}

TEST(Fast9Detect, UniformImageHasNoCornerAtAnyThreshold) {
  for (const int value : {0, 128, 255}) {
    GrayImage image(40, 30);
    for (auto& p : image.pixels) p = static_cast<std::uint8_t>(value);
    for (const int t : {0, 10, 255}) {
      EXPECT_TRUE(fast9_detect_plain(image, static_cast<std::uint8_t>(t)).empty());
      EXPECT_TRUE(fast9_detect(image, static_cast<std::uint8_t>(t)).empty());
    }
  }
}

TEST(Fast9Detect, ThresholdTwoFiftyFiveFindsNothing) {
  GrayImage image(64, 48);
  std::mt19937 rng(7);
  for (auto& p : image.pixels) p = (rng() & 1) ? 255 : 0;
  ASSERT_FALSE(fast9_detect(image, 10).empty());
  EXPECT_TRUE(fast9_detect_plain(image, 255).empty());
  EXPECT_TRUE(fast9_detect(image, 255).empty());
}

TEST(Fast9Detect, CornersComeRowByRow) {
  GrayImage image(20, 12);
  set(image, 10, 5, 200);
  set(image, 4, 6, 200);
  const std::vector<Corner> expected = {{10, 5, 199.0f}, {4, 6, 199.0f}};
  EXPECT_EQ(fast9_detect_plain(image, 10), expected);
  for (const Variant& variant : vector_variants()) {
    EXPECT_EQ(variant.detect(image, 10), expected) << variant.name;
  }
}

// ---------------------------------------------------------------------------------------------
// The vector detectors against the reference, on images built to exercise every branch.

GrayImage noise_image(std::uint32_t w, std::uint32_t h, std::mt19937& rng) {
  GrayImage image(w, h);
  for (auto& p : image.pixels) p = static_cast<std::uint8_t>(rng());
  return image;
}

// 3 x 3 box blur of noise: smooth texture with few strong contrasts.
GrayImage blurred_noise_image(std::uint32_t w, std::uint32_t h, std::mt19937& rng) {
  const GrayImage noise = noise_image(w, h, rng);
  GrayImage image(w, h);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      int sum = 0;
      int n = 0;
      for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
          const auto xx = static_cast<std::int64_t>(x) + dx;
          const auto yy = static_cast<std::int64_t>(y) + dy;
          if (xx < 0 || yy < 0 || xx >= w || yy >= h) continue;
          sum += noise.pixels[static_cast<std::size_t>(yy * w + xx)];
          ++n;
        }
      }
      set(image, x, y, sum / n);
    }
  }
  return image;
}

// Large flat rectangles with strong steps between them, at levels chosen so that many circle
// pixels sit exactly at c + t or c - t for t = 10, plus a few isolated spikes.
GrayImage flat_steps_image(std::uint32_t w, std::uint32_t h, std::mt19937& rng) {
  constexpr std::array<int, 9> LEVELS = {0, 5, 10, 11, 100, 110, 111, 245, 255};
  GrayImage image(w, h);
  for (auto& p : image.pixels) p = static_cast<std::uint8_t>(LEVELS[rng() % LEVELS.size()] / 2);
  for (int r = 0; r < 12; ++r) {
    const std::uint32_t x0 = rng() % w;
    const std::uint32_t y0 = rng() % h;
    const std::uint32_t x1 = std::min(w, x0 + 1 + static_cast<std::uint32_t>(rng() % (w / 2 + 1)));
    const std::uint32_t y1 = std::min(h, y0 + 1 + static_cast<std::uint32_t>(rng() % (h / 2 + 1)));
    const int level = LEVELS[rng() % LEVELS.size()];
    for (std::uint32_t y = y0; y < y1; ++y) {
      for (std::uint32_t x = x0; x < x1; ++x) set(image, x, y, level);
    }
  }
  for (int s = 0; s < 10; ++s) set(image, rng() % w, rng() % h, LEVELS[rng() % LEVELS.size()]);
  return image;
}

using ImageMaker = GrayImage (*)(std::uint32_t, std::uint32_t, std::mt19937&);

struct ImageKind {
  const char* name;
  ImageMaker make;
};

constexpr std::array<ImageKind, 3> IMAGE_KINDS = {
    {{"noise", noise_image}, {"blurred", blurred_noise_image}, {"flat_steps", flat_steps_image}}};
constexpr std::array<int, 9> THRESHOLDS = {0, 1, 5, 10, 20, 60, 200, 254, 255};

void expect_same_lists(const GrayImage& image, std::uint8_t threshold, const std::string& what) {
  const std::vector<Corner> plain = fast9_detect_plain(image, threshold);
  for (const Variant& variant : vector_variants()) {
    const std::vector<Corner> fast = variant.detect(image, threshold);
    ASSERT_EQ(plain.size(), fast.size()) << variant.name << " " << what;
    for (std::size_t i = 0; i < plain.size(); ++i) {
      ASSERT_EQ(plain[i], fast[i]) << variant.name << " " << what << " corner " << i;
    }
  }
  ASSERT_EQ(fast9_detect(image, threshold), plain) << what;
}

// Covers narrow rows, rows of exactly one block, and every overlap of a row's last block with
// the one before it, for blocks of 8 and of 32.
TEST(Fast9Equivalence, EveryWidthFromSevenToEighty) {
  std::mt19937 rng(2024);
  std::size_t total = 0;
  for (const ImageKind& kind : IMAGE_KINDS) {
    for (std::uint32_t w = 7; w <= 80; ++w) {
      for (const std::uint32_t h : {7u, 8u, 13u, 24u}) {
        const GrayImage image = kind.make(w, h, rng);
        for (const int t : THRESHOLDS) {
          expect_same_lists(image, static_cast<std::uint8_t>(t),
                            std::string(kind.name) + " " + std::to_string(w) + "x" +
                                std::to_string(h) + " t=" + std::to_string(t));
          if (::testing::Test::HasFatalFailure()) return;
        }
        total += fast9_detect_plain(image, 10).size();
      }
    }
  }
  EXPECT_GT(total, 1000u);
}

// Pixels only from 0 ... 10 and 245 ... 255, at thresholds that push c + t above 255 and
// c - t below 0 for most centres: byte lanes saturate there and must still agree with the
// signed comparisons of the reference.
TEST(Fast9Equivalence, PixelsAtTheEndsOfTheByteRange) {
  std::mt19937 rng(77);
  const auto end_value = [](std::mt19937& r) {
    const int e = static_cast<int>(r() % 22);
    return e <= 10 ? e : 234 + e;
  };
  const std::array<int, 5> thresholds = {0, 1, 10, 254, 255};
  std::size_t at_10 = 0;
  std::size_t at_254 = 0;
  for (std::uint32_t w = 7; w <= 80; ++w) {
    for (const std::uint32_t h : {7u, 12u}) {
      GrayImage image(w, h);
      for (auto& p : image.pixels) p = static_cast<std::uint8_t>(end_value(rng));
      // A few spots of one end with a centre at the other, corners up to score 254.
      for (int k = 0; k < 3; ++k) {
        const std::uint32_t x0 = static_cast<std::uint32_t>(rng() % (w - 6));
        const std::uint32_t y0 = static_cast<std::uint32_t>(rng() % (h - 6));
        const bool white = rng() % 2 == 0;
        for (std::uint32_t y = y0; y < y0 + 7; ++y) {
          for (std::uint32_t x = x0; x < x0 + 7; ++x) set(image, x, y, white ? 255 : 0);
        }
        const int e = static_cast<int>(rng() % 11);
        set(image, x0 + 3, y0 + 3, white ? e : 255 - e);
      }
      for (const int t : thresholds) {
        expect_same_lists(image, static_cast<std::uint8_t>(t),
                          std::to_string(w) + "x" + std::to_string(h) + " t=" + std::to_string(t));
        if (::testing::Test::HasFatalFailure()) return;
      }
      at_10 += fast9_detect_plain(image, 10).size();
      at_254 += fast9_detect_plain(image, 254).size();
    }
  }
  EXPECT_GT(at_10, 500u);
  EXPECT_GT(at_254, 20u);
}

TEST(Fast9Equivalence, ManyRandomImages) {
  std::mt19937 rng(99);
  for (const ImageKind& kind : IMAGE_KINDS) {
    for (int round = 0; round < 8; ++round) {
      const std::uint32_t w = 7 + rng() % 150;
      const std::uint32_t h = 7 + rng() % 100;
      const GrayImage image = kind.make(w, h, rng);
      for (const int t : THRESHOLDS) {
        expect_same_lists(image, static_cast<std::uint8_t>(t),
                          std::string(kind.name) + " " + std::to_string(w) + "x" +
                              std::to_string(h) + " t=" + std::to_string(t));
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
  }
}

TEST(Fast9Equivalence, FullFrame) {
  std::mt19937 rng(5);
  for (const ImageKind& kind : IMAGE_KINDS) {
    const GrayImage image = kind.make(320, 240, rng);
    expect_same_lists(image, 10, kind.name);
  }
}

}  // namespace
}  // namespace glent
