#pragma once
// The 52-sample reference patch of one point on one pyramid level.

#include <array>
#include <cstdint>

#include "image_utilities/gray_image.hpp"

namespace glent {

inline constexpr int PATCH_SIZE = 52;
inline constexpr float PATTERN_SCALE_DOWN = 2.0f;
inline constexpr std::uint32_t PATCH_MARGIN = 2;

struct PatternOffset {
  float x;
  float y;
};

// Sampling offsets in half-pixel units: odd coordinates in -7..7 with x^2 + y^2 <= 58,
// rows from y = +7 down to y = -7, x ascending within a row.
inline constexpr std::array<PatternOffset, PATCH_SIZE> PATCH_PATTERN = {{
    // y = +7
    {-3, 7}, {-1, 7}, {1, 7}, {3, 7},
    // y = +5
    {-5, 5}, {-3, 5}, {-1, 5}, {1, 5}, {3, 5}, {5, 5},
    // y = +3
    {-7, 3}, {-5, 3}, {-3, 3}, {-1, 3}, {1, 3}, {3, 3}, {5, 3}, {7, 3},
    // y = +1
    {-7, 1}, {-5, 1}, {-3, 1}, {-1, 1}, {1, 1}, {3, 1}, {5, 1}, {7, 1},
    // y = -1
    {-7, -1}, {-5, -1}, {-3, -1}, {-1, -1}, {1, -1}, {3, -1}, {5, -1}, {7, -1},
    // y = -3
    {-7, -3}, {-5, -3}, {-3, -3}, {-1, -3}, {1, -3}, {3, -3}, {5, -3}, {7, -3},
    // y = -5
    {-5, -5}, {-3, -5}, {-1, -5}, {1, -5}, {3, -5}, {5, -5},
    // y = -7
    {-3, -7}, {-1, -7}, {1, -7}, {3, -7},
}};

struct Patch {
  float mean = 0.0f;                        // mean raw intensity of the valid samples
  std::array<float, 2> pos{0.0f, 0.0f};     // centre, in the coordinates of its level
  std::array<float, PATCH_SIZE> data{};     // intensity / mean; -1 for samples outside
  std::array<float, 3 * PATCH_SIZE> h_inv_jt{};  // H^-1 J^T, column by column (3 per sample)
  float pattern_scale_down = PATTERN_SCALE_DOWN;
  bool valid = false;
};

// The margin test: (x, y) rounded half away from zero and saturated to u32 must lie at least
// PATCH_MARGIN pixels inside the image (1.5 <= x < width - 2.5, likewise for y).
bool in_patch_bounds(const GrayImage& image, float x, float y);

// Builds the patch around (x, y) in the coordinates of `image`; never fails outright,
// the caller tests `valid`. Allocates nothing.
Patch build_patch(const GrayImage& image, float x, float y);

}  // namespace glent
