// box_halve, with its row kernel compiled for every target from one source,
// box_halve_kernels.inc; the row of the instruction set in use does the work.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/lanes.hpp"
#include "image_utilities/gray_image.hpp"

namespace glent {

namespace {

// Output x of the row pair (a, b): the mean of a[2x], a[2x + 1], b[2x], b[2x + 1], halves
// rounded up.
inline std::uint8_t box_mean(const std::uint8_t* a, const std::uint8_t* b, std::size_t x) {
  const unsigned sum = unsigned{a[2 * x]} + a[2 * x + 1] + b[2 * x] + b[2 * x + 1];
  return static_cast<std::uint8_t>((sum + 2) >> 2);
}

}  // namespace

namespace simd {
#define GLENT_LANES_KERNEL "image_utilities/box_halve_kernels.inc"
#include "common/lanes_variants.inc"
}  // namespace simd

GrayImage box_halve(const GrayImage& image) {
  GrayImage out(image.width / 2, image.height / 2);
  const auto row = simd::kernels().box_halve_row;
  for (std::uint32_t y = 0; y < out.height; ++y) {
    row(image.row(2 * y), image.row(2 * y + 1), out.row(y), out.width);
  }
  return out;
}

}  // namespace glent
