#pragma once
// Choice of new points: FAST-9 corners, strongest first, at most max_per_cell per grid cell.

#include <cstdint>
#include <vector>

#include "corners_fast9/fast9.hpp"
#include "image_utilities/gray_image.hpp"

namespace glent {

inline constexpr std::uint8_t FAST_THRESHOLD = 10;
inline constexpr std::uint32_t BORDER_MARGIN = 19;

// `base` lays out the grid (only its size is read); corners are detected on `detection`, whose
// coordinates times `scale` are level-0 coordinates. `existing` are level-0 positions of live
// tracks (scores ignored) that occupy their cells. Returns accepted corners in level-0
// coordinates, in descending score order (raster order among equal scores).
// A grid_size of 0 is a fatal error "attempt to divide by zero".
std::vector<Corner> select_new_corners(const GrayImage& base, const GrayImage& detection,
                                       std::uint32_t scale, std::uint32_t grid_size,
                                       const std::vector<Corner>& existing,
                                       std::uint32_t max_per_cell);

}  // namespace glent
