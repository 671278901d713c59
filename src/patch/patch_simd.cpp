#include "patch/patch_simd.hpp"

#include "patch/reference.hpp"

namespace glent::simd {

Patch build_patch(const GrayImage& image, float x, float y) {
  return reference::build_patch(image, x, y);
}

std::optional<Residuals> patch_residual(const Patch& patch, const GrayImage& image,
                                        const PatchPoints& points) {
  return reference::patch_residual(patch, image, points);
}

bool align_at_level(const Patch& patch, const GrayImage& image, Transform& warp) {
  return reference::align_at_level(patch, image, warp);
}

}  // namespace glent::simd
