#pragma once
// The plain statement of the patch arithmetic, one sample at a time: the patch record, its
// build, the residual and one level's alignment. The vector kernels behind patch.hpp reproduce
// it to the bit and share its scalar steps (pattern_sum's order, the increment's application);
// a change of arithmetic here has to be mirrored there.

#include <array>
#include <cmath>
#include <optional>

#include "common/numeric.hpp"
#include "common/sincos.hpp"
#include "common/transform.hpp"
#include "image_utilities/gray_image.hpp"
#include "patch/patch.hpp"

namespace glent {

struct Patch {
  float mean = 0.0f;                             // mean raw intensity of the valid samples
  std::array<float, PATCH_SIZE> data{};          // intensity / mean; -1 for samples outside
  std::array<float, 3 * PATCH_SIZE> h_inv_jt{};  // H^-1 J^T, column by column (3 per sample)
  bool valid = false;
};

using Residuals = std::array<float, PATCH_SIZE>;
using PatchPoints = std::array<PatternOffset, PATCH_SIZE>;

// The margin test: (x, y) rounded half away from zero and saturated to u32 must lie at least
// PATCH_MARGIN pixels inside the image (1.5 <= x < width - 2.5, likewise for y).
bool in_patch_bounds(const GrayImage& image, float x, float y);

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

// The SE(2) exponential of (dx, dy, dtheta): rotation (c, s) and translation (vx, vy).
struct Se2 {
  float c, s, vx, vy;
};

inline Se2 se2_exp_parts(float dx, float dy, float dtheta) {
  const float theta = dtheta;
  const SinCos sc = sin_cos(theta);
  const float s = sc.sin;
  const float c = sc.cos;
  float a;
  float b;
  if (std::fabs(theta) < EPSILON) {
    // Series of (1 - cos t) / t and sin t / t, which lose all precision as t -> 0.
    const float theta2 = theta * theta;
    a = 0.5f * theta - 0.041666668f * theta * theta2;
    b = 1.0f - 0.16666667f * theta2;
  } else {
    a = (1.0f - c) / theta;
    b = s / theta;
  }
  return {c, s, b * dx - a * dy, a * dx + b * dy};
}

// Applies one increment to `warp` (composition on the right) and tests the new translation
// with `inside(x, y)`; false when the increment is unusable or the point left the image (the
// point is lost).
template <class Inside>
inline bool apply_increment_with(const std::array<float, 3>& delta, Transform& warp,
                                 const Inside& inside) {
  const float dx = delta[0], dy = delta[1], dt = delta[2];
  if (!std::isfinite(dx) || !std::isfinite(dy) || !std::isfinite(dt)) return false;
  // A length of exactly MAX_INCREMENT_NORM is still accepted.
  if (std::sqrt((dx * dx + dy * dy) + dt * dt) > MAX_INCREMENT_NORM) return false;

  const Se2 e = se2_exp_parts(dx, dy, dt);
  std::array<float, 9>& m = warp.m;
  const float m00 = m[0], m10 = m[1], m01 = m[3], m11 = m[4];
  // warp <- warp * E: t <- t + M v, then M <- M R(theta).
  m[6] = m[6] + (m00 * e.vx + m01 * e.vy);
  m[7] = m[7] + (m10 * e.vx + m11 * e.vy);
  m[0] = e.c * m00 + e.s * m01;
  m[1] = e.c * m10 + e.s * m11;
  m[3] = e.c * m01 - e.s * m00;
  m[4] = e.c * m11 - e.s * m10;
  return inside(m[6], m[7]);
}

// The same with the margin test in_patch_bounds of `image`.
bool apply_increment(const std::array<float, 3>& delta, const GrayImage& image, Transform& warp);

// The SE(2) exponential of (shift x, shift y, angle) as a transform.
Transform se2_exp(float dx, float dy, float dtheta);

// A patch into the padded layout of the vector kernels (padding: data -1, h_inv_jt 0), and back.
void prepare(const Patch& patch, PreparedPatch& out);
Patch unprepare(const PreparedPatch& prepared);

namespace reference {

// The patch around (x, y) in the coordinates of `image`; the caller tests `valid`.
Patch build_patch(const GrayImage& image, float x, float y);

// Residuals of the target samples at `points` (coordinates of `image`) against the patch,
// both mean-normalised; absent when the in-bounds target samples sum to less than EPSILON or
// fewer than MIN_RESIDUALS pairs are usable.
std::optional<Residuals> patch_residual(const Patch& patch, const GrayImage& image,
                                        const PatchPoints& points);

// ITERATIONS_PER_LEVEL iterations refining `warp` (linear part, and translation in the
// coordinates of `image`).
AlignOutcome align_level(const Patch& patch, const GrayImage& image, Transform& warp);

}  // namespace reference
}  // namespace glent
