#include "corners_fast9/grid_selection.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/fatal_error.hpp"

namespace glent {

namespace {

// A square grid over the level-0 frame, centred: the leftover strips of fewer than grid_size
// pixels are split between the two borders (the odd pixel going to the right or bottom) and
// belong to no cell.
class OccupancyGrid {
 public:
  OccupancyGrid(std::uint32_t width, std::uint32_t height, std::uint32_t grid_size)
      : grid_size_(grid_size),
        cells_x_(width / grid_size),
        cells_y_(height / grid_size),
        off_x_((width % grid_size) / 2),
        off_y_((height % grid_size) / 2),
        counts_(std::size_t{cells_x_} * cells_y_, 0) {}

  // The counter of the cell holding level-0 pixel (x, y), or nullptr outside every cell.
  std::uint32_t* cell_at(std::uint32_t x, std::uint32_t y) {
    if (x < off_x_ || y < off_y_) return nullptr;
    const std::uint32_t cx = (x - off_x_) / grid_size_;
    const std::uint32_t cy = (y - off_y_) / grid_size_;
    if (cx >= cells_x_ || cy >= cells_y_) return nullptr;
    return &counts_[std::size_t{cy} * cells_x_ + cx];
  }

 private:
  std::uint32_t grid_size_;
  std::uint32_t cells_x_;
  std::uint32_t cells_y_;
  std::uint32_t off_x_;
  std::uint32_t off_y_;
  std::vector<std::uint32_t> counts_;
};

// True when the level-0 coordinate keeps BORDER_MARGIN pixels from both ends of [0, size]:
// BORDER_MARGIN <= v <= size - BORDER_MARGIN. Formed in 64 bits so that a frame narrower than
// the margin admits nothing instead of wrapping its limit round to a huge value.
bool inside_margin(std::uint64_t v, std::uint32_t size) {
  return v >= BORDER_MARGIN && v + BORDER_MARGIN <= size;
}

}  // namespace

std::vector<Corner> select_new_corners(const GrayImage& base, const GrayImage& detection,
                                       std::uint32_t scale, std::uint32_t grid_size,
                                       const std::vector<Corner>& existing,
                                       std::uint32_t max_per_cell) {
  if (grid_size == 0) GLENT_FATAL("attempt to divide by zero");

  OccupancyGrid grid(base.width, base.height, grid_size);
  for (const Corner& point : existing) {
    if (std::uint32_t* count = grid.cell_at(point.x, point.y)) ++*count;
  }

  std::vector<Corner> corners = fast9_detect(detection, FAST_THRESHOLD);
  // Corners outside the margin or in a cell the existing points already fill can never be
  // accepted, whatever their order, since counts only grow: they are dropped before the sort
  // (in a tracked frame most cells are full), which leaves the order of the others as it was.
  // Their level-0 coordinates are kept in place of the detection ones.
  std::size_t candidates = 0;
  for (const Corner& corner : corners) {
    // The product is formed in 64 bits: a coordinate that does not fit the frame is rejected,
    // never wrapped back into it.
    const std::uint64_t x = std::uint64_t{corner.x} * scale;
    const std::uint64_t y = std::uint64_t{corner.y} * scale;
    if (!inside_margin(x, base.width) || !inside_margin(y, base.height)) continue;
    // Both now lie below the frame size, so they fit 32 bits.
    const std::uint32_t* count = grid.cell_at(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y));
    if (count == nullptr || *count >= max_per_cell) continue;
    corners[candidates++] = Corner{static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y), corner.score};
  }
  corners.resize(candidates);
  // Stable, so that among equal scores the corner earlier in raster order wins its cell.
  std::stable_sort(corners.begin(), corners.end(),
                   [](const Corner& a, const Corner& b) { return a.score > b.score; });

  std::vector<Corner> accepted;
  for (const Corner& corner : corners) {
    std::uint32_t* count = grid.cell_at(corner.x, corner.y);  // in a cell, as tested above
    if (count == nullptr || *count >= max_per_cell) continue;
    ++*count;
    accepted.push_back(corner);
  }
  return accepted;
}

}  // namespace glent
