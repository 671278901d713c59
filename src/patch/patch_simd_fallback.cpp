// The patch-kernel interface of patch_simd.hpp on targets without the x86 vector kernels: every
// entry runs the plain reference code, so results are the reference's by construction. Every variant
// this target offers (see common/isa.hpp) runs it.

#include <cstring>

#include "patch/patch_simd.hpp"
#include "patch/reference.hpp"

namespace glent::simd {

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
