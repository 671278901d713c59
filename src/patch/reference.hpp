#pragma once
// The plain, scalar versions of the patch kernels, and the fixed evaluation order of every sum
// over the 52 samples.
//
// The public build_patch / patch_residual / align_at_level run vectorised code that must give
// results bit-identical to these; the tests hold the two against each other. Any change of
// arithmetic here has to be mirrored in the vector code (patch_simd.cpp), and vice versa.

#include <array>
#include <optional>

#include "common/transform.hpp"
#include "image_utilities/gray_image.hpp"
#include "patch/align.hpp"
#include "patch/patch.hpp"

namespace glent {

// The order in which every sum over the 52 pattern indices is evaluated (totals, J^T J,
// H^-1 J^T r): eight running sums, each starting from +0, lane l adding the terms
// i = l, l + 8, l + 16, ... in that order; then the upper four lanes are folded onto the lower
// four (f_k = acc_k + acc_{k+4}) and the result is (f_0 + f_2) + (f_1 + f_3).
//
// This is what one 8-wide vector accumulator (or two 4-wide ones) computes, followed by the
// usual horizontal reduction, so the scalar and the vector code agree to the bit. The lanes
// start from +0, so a lane sum is never -0 and adding a +0 term (a skipped sample) leaves it
// unchanged: skipping a term and adding +0 are the same.
template <class Term>
inline float pattern_sum(const Term& term) {
  float acc[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
  for (int i = 0; i < PATCH_SIZE; ++i) acc[i % 8] += term(i);
  const float f0 = acc[0] + acc[4];
  const float f1 = acc[1] + acc[5];
  const float f2 = acc[2] + acc[6];
  const float f3 = acc[3] + acc[7];
  return (f0 + f2) + (f1 + f3);
}

// Inverts H = J^T J from its lower triangle through a Cholesky factorisation; false when a
// pivot is not strictly positive (zero, negative or NaN). `h` and `h_inv` are row-major 3x3.
bool invert_normal_matrix(const std::array<float, 9>& h, std::array<float, 9>& h_inv);

// Applies one increment to `warp` (composition on the right) and tests the new translation;
// false when the increment is unusable or the point left the image (the point is lost).
bool apply_increment(const std::array<float, 3>& delta, const GrayImage& image, Transform& warp);

namespace reference {

Patch build_patch(const GrayImage& image, float x, float y);
std::optional<Residuals> patch_residual(const Patch& patch, const GrayImage& image,
                                        const PatchPoints& points);
bool align_at_level(const Patch& patch, const GrayImage& image, Transform& warp);

}  // namespace reference
}  // namespace glent
