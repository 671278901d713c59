#pragma once
// Sub-pixel readers of a gray image.

#include <cstdint>
#include <optional>

#include "image_utilities/gray_image.hpp"

namespace glent {

struct SampleGrad {
  float value;  // bilinear intensity, unrounded
  float gx;     // derivative along x (columns)
  float gy;     // derivative along y (rows)
};

// Bilinear intensity and central-difference gradient at (x, y). Needs
// 1 <= floor(x) <= width - 3 and 1 <= floor(y) <= height - 3; outside that the first offending
// read of its twelve (in their fixed order) is a fatal error through pixel_at.
SampleGrad sample_with_gradient(const GrayImage& image, float x, float y);

// Bilinear intensity rounded half away from zero to a byte; absent outside
// [0, width - 1] x [0, height - 1] (bounds inclusive; NaN is outside).
std::optional<std::uint8_t> sample_bilinear(const GrayImage& image, float x, float y);

}  // namespace glent
