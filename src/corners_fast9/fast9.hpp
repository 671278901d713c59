#pragma once
// FAST-9 segment test on a 16-pixel circle of radius 3, with its score.

#include <cstdint>
#include <vector>

#include "image_utilities/gray_image.hpp"

namespace glent {

struct Corner {
  std::uint32_t x;
  std::uint32_t y;
  float score;

  friend bool operator==(const Corner&, const Corner&) = default;
};

// True when (x, y) has at least 9 cyclically consecutive circle pixels all brighter than
// centre + threshold or all darker than centre - threshold. Reads through pixel_at, so it
// needs 3 <= x <= width - 4 and 3 <= y <= height - 4.
bool is_fast9_corner(const GrayImage& image, std::uint8_t threshold, std::uint32_t x, std::uint32_t y);

// The largest threshold, from `threshold` to 255, at which (x, y) is still a corner.
std::uint8_t fast9_score(const GrayImage& image, std::uint8_t threshold, std::uint32_t x, std::uint32_t y);

// All corners of the image in raster order, each with its score. No non-maximum suppression.
// Runs the vector detector of the instruction set simd::current_isa() selects (read on every
// call); every variant gives the list of fast9_detect_plain.
std::vector<Corner> fast9_detect(const GrayImage& image, std::uint8_t threshold);

// The one-pixel-at-a-time reference detector.
std::vector<Corner> fast9_detect_plain(const GrayImage& image, std::uint8_t threshold);

}  // namespace glent
