// The vector FAST-9 detectors, one per instruction set from the single kernel source
// fast9_kernels.inc, and fast9_detect, which runs the one simd::current_isa() selects.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "common/byte_lanes.hpp"
#include "common/isa.hpp"
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

#define GLENT_BYTE_LANES_KERNEL "corners_fast9/fast9_kernels.inc"
#include "common/byte_lanes_variants.inc"

}  // namespace

// AVX-512 processors take the AVX2 detector (no 64-lane variant is built).
std::vector<Corner> fast9_detect(const GrayImage& image, std::uint8_t threshold) {
  const simd::Isa isa = simd::current_isa();
#if defined(GLENT_BYTE_LANES_X86)
  if (isa == simd::Isa::avx2 || isa == simd::Isa::avx512) return avx2::detect(image, threshold);
  if (isa == simd::Isa::sse2) return sse2::detect(image, threshold);
#elif defined(GLENT_BYTE_LANES_NEON)
  if (isa == simd::Isa::neon) return neon::detect(image, threshold);
#endif
  (void)isa;
  return portable::detect(image, threshold);
}

}  // namespace glent
