// box_halve, with its row kernel in every instruction-set variant (one source,
// box_halve_kernels.inc); the variant follows simd::current_isa(), read on every call.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/byte_lanes.hpp"
#include "common/isa.hpp"
#include "image_utilities/gray_image.hpp"

namespace glent {

namespace {

// Output x of the row pair (a, b): the mean of a[2x], a[2x + 1], b[2x], b[2x + 1], halves
// rounded up.
inline std::uint8_t box_mean(const std::uint8_t* a, const std::uint8_t* b, std::size_t x) {
  const unsigned sum = unsigned{a[2 * x]} + a[2 * x + 1] + b[2 * x] + b[2 * x + 1];
  return static_cast<std::uint8_t>((sum + 2) >> 2);
}

#define GLENT_BYTE_LANES_KERNEL "image_utilities/box_halve_kernels.inc"
#include "common/byte_lanes_variants.inc"

using BoxRow = void (*)(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::uint32_t);

// AVX-512 processors take the AVX2 row (no 64-lane variant is built).
BoxRow selected_row() {
  const simd::Isa isa = simd::current_isa();
#if defined(GLENT_BYTE_LANES_X86)
  if (isa == simd::Isa::avx2 || isa == simd::Isa::avx512) return avx2::box_halve_row;
  if (isa == simd::Isa::sse2) return sse2::box_halve_row;
#elif defined(GLENT_BYTE_LANES_NEON)
  if (isa == simd::Isa::neon) return neon::box_halve_row;
#endif
  (void)isa;
  return portable::box_halve_row;
}

}  // namespace

GrayImage box_halve(const GrayImage& image) {
  GrayImage out(image.width / 2, image.height / 2);
  const BoxRow row = selected_row();
  for (std::uint32_t y = 0; y < out.height; ++y) {
    row(image.row(2 * y), image.row(2 * y + 1), out.row(y), out.width);
  }
  return out;
}

}  // namespace glent
