#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "common/fatal_error.hpp"
#include "test_support.hpp"
#include "image_utilities/sampling.hpp"

namespace glent {
namespace {

using test_support::fatal_message;

GrayImage ramp(std::uint32_t w, std::uint32_t h, int dx, int dy) {
  GrayImage img(w, h);
  for (std::uint32_t y = 0; y < h; ++y)
    for (std::uint32_t x = 0; x < w; ++x)
      img.pixels[std::size_t{y} * w + x] = static_cast<std::uint8_t>(dx * static_cast<int>(x) + dy * static_cast<int>(y));
  return img;
}

TEST(SampleWithGradient, IntegerPositionGivesPixelAndCentralDifferences) {
  GrayImage img(6, 6);
  for (std::size_t i = 0; i < img.pixels.size(); ++i) img.pixels[i] = static_cast<std::uint8_t>((i * 37) % 251);
  const SampleGrad s = sample_with_gradient(img, 2.0f, 3.0f);
  EXPECT_EQ(s.value, pixel_at(img, 2, 3));
  EXPECT_EQ(s.gx, (float(pixel_at(img, 3, 3)) - float(pixel_at(img, 1, 3))) * 0.5f);
  EXPECT_EQ(s.gy, (float(pixel_at(img, 2, 4)) - float(pixel_at(img, 2, 2))) * 0.5f);
}

TEST(SampleWithGradient, RampHasConstantGradient) {
  const GrayImage img = ramp(20, 20, 10, 0);
  for (float x : {1.0f, 3.25f, 9.5f, 17.75f}) {
    for (float y : {1.0f, 6.6f, 17.9f}) {
      const SampleGrad s = sample_with_gradient(img, x, y);
      EXPECT_FLOAT_EQ(s.gx, 10.0f);
      EXPECT_EQ(s.gy, 0.0f);
      EXPECT_NEAR(s.value, 10.0f * x, 1e-3f);
    }
  }
}

TEST(SampleWithGradient, OutsideItsAreaNamesTheFirstPixelReadOutside) {
  const GrayImage img = ramp(20, 20, 1, 1);
  EXPECT_EQ(fatal_message([&] { sample_with_gradient(img, 0.5f, 5.0f); }),
            "Image index (4294967295, 5) out of bounds (20, 20)");
  EXPECT_NO_THROW(sample_with_gradient(img, 17.0f, 5.0f));
  EXPECT_NO_THROW(sample_with_gradient(img, 17.5f, 5.0f));
  EXPECT_EQ(fatal_message([&] { sample_with_gradient(img, 18.0f, 5.0f); }),
            "Image index (20, 5) out of bounds (20, 20)");
  EXPECT_EQ(fatal_message([&] { sample_with_gradient(img, 5.0f, -0.25f); }),
            "Image index (5, 4294967295) out of bounds (20, 20)");
}

TEST(SampleBilinear, BoundsAreInclusiveAndOutsideIsAbsent) {
  GrayImage one(1, 1);
  one.pixels[0] = 42;
  EXPECT_EQ(sample_bilinear(one, 0.0f, 0.0f), std::optional<std::uint8_t>(42));
  EXPECT_EQ(sample_bilinear(one, 0.0001f, 0.0f), std::nullopt);

  const GrayImage img = ramp(7, 5, 3, 7);
  EXPECT_EQ(sample_bilinear(img, 6.0f, 4.0f), std::optional<std::uint8_t>(pixel_at(img, 6, 4)));
  EXPECT_EQ(sample_bilinear(img, 7.0f - 0.999f, 0.0f), std::nullopt);
  EXPECT_EQ(sample_bilinear(img, 6.001f, 0.0f), std::nullopt);
  EXPECT_EQ(sample_bilinear(img, -0.001f, 0.0f), std::nullopt);
  EXPECT_EQ(sample_bilinear(img, std::nanf(""), 1.0f), std::nullopt);
  EXPECT_EQ(sample_bilinear(img, 1.0f, std::nanf("")), std::nullopt);
  EXPECT_EQ(sample_bilinear(GrayImage(0, 4), 0.0f, 0.0f), std::nullopt);
}

TEST(SampleBilinear, RoundsHalvesAwayFromZero) {
  GrayImage a(2, 1, {10, 11});
  EXPECT_EQ(sample_bilinear(a, 0.5f, 0.0f), std::optional<std::uint8_t>(11));
  GrayImage b(2, 1, {10, 12});
  EXPECT_EQ(sample_bilinear(b, 0.5f, 0.0f), std::optional<std::uint8_t>(11));
  GrayImage c(2, 2, {0, 255, 255, 0});
  EXPECT_EQ(sample_bilinear(c, 0.5f, 0.5f), std::optional<std::uint8_t>(128));  // 127.5
}

}  // namespace
}  // namespace glent
