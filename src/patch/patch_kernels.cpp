// The patch kernels of every target, from the one kernel source patch_kernels.inc, and the
// entry points of patch.hpp, which run the ones of the instruction set in use.

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "common/lanes.hpp"
#include "common/numeric.hpp"
#include "patch/patch.hpp"
#include "patch/patch_reference.hpp"

namespace glent {

namespace {

// The pattern in pixels (PATCH_PATTERN / PATTERN_SCALE_DOWN, exact), padded with zeros, and the
// mask of the lanes that hold a pattern index.
struct Tables {
  alignas(64) float x[PADDED_SIZE];
  alignas(64) float y[PADDED_SIZE];
  alignas(64) std::int32_t used[PADDED_SIZE];
};

constexpr Tables make_tables() {
  Tables t{};
  for (int i = 0; i < PADDED_SIZE; ++i) {
    const bool used = i < PATCH_SIZE;
    const auto u = static_cast<std::size_t>(used ? i : 0);
    t.x[i] = used ? PATCH_PATTERN[u].x / PATTERN_SCALE_DOWN : 0.0f;
    t.y[i] = used ? PATCH_PATTERN[u].y / PATTERN_SCALE_DOWN : 0.0f;
    t.used[i] = used ? -1 : 0;
  }
  return t;
}

constexpr Tables TABLES = make_tables();

constexpr const float* PATTERN_X = TABLES.x;
constexpr const float* PATTERN_Y = TABLES.y;
constexpr const std::int32_t* LANE_USED = TABLES.used;

// The margin test of in_patch_bounds on a translation, for the images the kernels take:
// 1.5 <= x < width - 2.5, likewise for y. Defined here, outside the per-target regions, so that
// every variant's alignment loop inlines it into apply_increment_with (a callable of a wider
// target cannot be inlined into that template, which is compiled for the baseline).
struct InMargin {
  float x_max, y_max;
  bool operator()(float x, float y) const { return x >= 1.5f && x < x_max && y >= 1.5f && y < y_max; }
};

// The kernels compare positions against float(size) - 2.5, take integer positions for exact
// floats, and form pixel offsets in 32-bit integers; all of it is exact for images under 2^16
// pixels a side and 2^31 pixels. Larger images take the plain code.
bool vector_friendly(const GrayImage& image) {
  constexpr std::uint32_t MAX_SIDE = 1u << 16;
  return image.width < MAX_SIDE && image.height < MAX_SIDE && image.size() < (std::size_t{1} << 31);
}

}  // namespace

namespace simd {
#define GLENT_LANES_KERNEL "patch/patch_kernels.inc"
#include "common/lanes_variants.inc"
}  // namespace simd

bool build_prepared(const GrayImage& image, float x, float y, PreparedPatch& out) {
  if (vector_friendly(image)) return simd::kernels().build_prepared(image, x, y, out);
  prepare(reference::build_patch(image, x, y), out);
  return out.valid;
}

AlignOutcome align_prepared(const PreparedPatch& patch, const GrayImage& image, Transform& warp) {
  if (vector_friendly(image)) return simd::kernels().align_prepared(patch, image, warp);
  return reference::align_level(unprepare(patch), image, warp);
}

void align_prepared_pair(const PreparedPatch& patch0, const PreparedPatch& patch1, const GrayImage& image,
                         Transform& warp0, Transform& warp1, AlignOutcome (&outcome)[2]) {
  if (vector_friendly(image)) {
    simd::kernels().align_prepared_pair(patch0, patch1, image, warp0, warp1, outcome);
    return;
  }
  outcome[0] = reference::align_level(unprepare(patch0), image, warp0);
  outcome[1] = reference::align_level(unprepare(patch1), image, warp1);
}

}  // namespace glent
