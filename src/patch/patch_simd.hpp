#pragma once
// The vectorised patch kernels behind the public build_patch / patch_residual / align_at_level.
// They give results bit-identical to the plain versions in patch/reference.hpp.

#include <optional>

#include "common/transform.hpp"
#include "image_utilities/gray_image.hpp"
#include "patch/align.hpp"
#include "patch/patch.hpp"

namespace glent::simd {

Patch build_patch(const GrayImage& image, float x, float y);
std::optional<Residuals> patch_residual(const Patch& patch, const GrayImage& image,
                                        const PatchPoints& points);
bool align_at_level(const Patch& patch, const GrayImage& image, Transform& warp);

}  // namespace glent::simd
