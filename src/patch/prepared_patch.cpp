// Conversions between a Patch and the padded layout the vector kernels read, shared by every
// target's kernels.

#include "patch/patch_simd.hpp"

namespace glent::simd {

void prepare(const Patch& patch, PreparedPatch& out) {
  for (int i = 0; i < PADDED_SIZE; ++i) {
    const auto u = static_cast<std::size_t>(i);
    const bool used = i < PATCH_SIZE;
    out.data[i] = used ? patch.data[u] : -1.0f;
    for (std::size_t r = 0; r < 3; ++r) out.h_inv_jt[r][i] = used ? patch.h_inv_jt[3 * u + r] : 0.0f;
  }
  out.mean = patch.mean;
  out.valid = patch.valid;
}

Patch unprepare(const PreparedPatch& prepared, float x, float y) {
  Patch patch;
  patch.mean = prepared.mean;
  patch.pos = {x, y};
  for (std::size_t i = 0; i < PATCH_SIZE; ++i) {
    patch.data[i] = prepared.data[i];
    for (std::size_t r = 0; r < 3; ++r) patch.h_inv_jt[3 * i + r] = prepared.h_inv_jt[r][i];
  }
  patch.pattern_scale_down = PATTERN_SCALE_DOWN;
  patch.valid = prepared.valid;
  return patch;
}

}  // namespace glent::simd
