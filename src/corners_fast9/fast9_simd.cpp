// The vector FAST-9 detector of every target, from the one kernel source fast9_kernels.inc, and
// fast9_detect, which runs the one of the instruction set in use.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "common/lanes.hpp"
#include "corners_fast9/fast9.hpp"

namespace glent {

namespace {

constexpr std::uint32_t RADIUS = 3;
constexpr std::uint32_t WINDOW_ROWS = 2 * RADIUS + 1;

// The circle as (column offset, row of the seven-row window centred on the centre's row); index 0
// is straight above, clockwise on screen.
constexpr int CIRCLE_DX[16] = {0, 1, 2, 3, 3, 3, 2, 1, 0, -1, -2, -3, -3, -3, -2, -1};
constexpr int CIRCLE_ROW[16] = {0, 0, 1, 2, 3, 4, 5, 6, 6, 6, 5, 4, 3, 2, 1, 0};

// Rows y - 3 ... y + 3, each pointing at column 0.
struct Window {
  const std::uint8_t* rows[WINDOW_ROWS];
};

}  // namespace

namespace simd {
#define GLENT_LANES_KERNEL "corners_fast9/fast9_kernels.inc"
#include "common/lanes_variants.inc"
}  // namespace simd

std::vector<Corner> fast9_detect(const GrayImage& image, std::uint8_t threshold) {
  return simd::kernels().fast9_detect(image, threshold);
}

}  // namespace glent
