// The patch-kernel interface of patch_simd.hpp on targets without the x86 vector kernels: every
// entry runs the plain reference code, so results are the reference's by construction. The one
// "instruction set" offered is the baseline (Isa::sse2 names it), so tests that walk every
// variant run once here.

#include <cstring>

#include "patch/patch_simd.hpp"
#include "patch/reference.hpp"

namespace glent::simd {

namespace {

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

}  // namespace

bool isa_supported(Isa isa) { return isa == Isa::sse2; }
void use_isa(Isa) {}
Isa current_isa() { return Isa::sse2; }

bool build_prepared(const GrayImage& image, float x, float y, PreparedPatch& out) {
  prepare(reference::build_patch(image, x, y), out);
  return out.valid;
}

AlignOutcome align_prepared(const PreparedPatch& patch, const GrayImage& image, Transform& warp) {
  return reference::align_level(unprepare(patch, 0.0f, 0.0f), image, warp);
}

Patch build_patch(const GrayImage& image, float x, float y) {
  return reference::build_patch(image, x, y);
}

std::optional<Residuals> patch_residual(const Patch& patch, const GrayImage& image,
                                        const PatchPoints& points) {
  return reference::patch_residual(patch, image, points);
}

AlignOutcome align_at_level(const Patch& patch, const GrayImage& image, Transform& warp) {
  return reference::align_level(patch, image, warp);
}

}  // namespace glent::simd
