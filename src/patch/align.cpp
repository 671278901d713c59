#include "patch/align.hpp"

#include <cmath>

#include "common/numeric.hpp"
#include "image_utilities/sampling.hpp"
#include "patch/patch_simd.hpp"
#include "patch/reference.hpp"

namespace glent {

Transform se2_exp(float dx, float dy, float dtheta) {
  const Se2 e = se2_exp_parts(dx, dy, dtheta);
  Transform out;
  out.m = {e.c, e.s, 0.0f, -e.s, e.c, 0.0f, e.vx, e.vy, 1.0f};
  return out;
}

bool apply_increment(const std::array<float, 3>& delta, const GrayImage& image, Transform& warp) {
  return apply_increment_with(delta, warp, [&](float x, float y) { return in_patch_bounds(image, x, y); });
}

namespace reference {

std::optional<Residuals> patch_residual(const Patch& patch, const GrayImage& image,
                                        const PatchPoints& points) {
  float samples[PATCH_SIZE];
  // The samples are whole intensities and there are at most 52 of them, so this sum is exact
  // in any order.
  float sum = 0.0f;
  float n = 0.0f;
  for (std::size_t i = 0; i < PATCH_SIZE; ++i) {
    samples[i] = -1.0f;
    if (!in_patch_bounds(image, points[i].x, points[i].y)) continue;
    // Inside the margin the bilinear sample always exists.
    const std::optional<std::uint8_t> v = sample_bilinear(image, points[i].x, points[i].y);
    samples[i] = static_cast<float>(v.value_or(0));
    sum += samples[i];
    n += 1.0f;
  }
  if (sum < EPSILON) return std::nullopt;
  const float k = n / sum;
  Residuals r;
  int usable = 0;
  for (std::size_t i = 0; i < PATCH_SIZE; ++i) {
    if (samples[i] >= 0.0f && patch.data[i] >= 0.0f) {
      r[i] = samples[i] * k - patch.data[i];
      ++usable;
    } else {
      r[i] = 0.0f;
    }
  }
  if (usable < MIN_RESIDUALS) return std::nullopt;
  return r;
}

AlignOutcome align_level(const Patch& patch, const GrayImage& image, Transform& warp) {
  for (int iteration = 0; iteration < ITERATIONS_PER_LEVEL; ++iteration) {
    const float m00 = warp.m[0], m10 = warp.m[1], m01 = warp.m[3], m11 = warp.m[4];
    const float tx = warp.m[6], ty = warp.m[7];
    PatchPoints points;
    for (std::size_t i = 0; i < PATCH_SIZE; ++i) {
      const float ox = PATCH_PATTERN[i].x / patch.pattern_scale_down;
      const float oy = PATCH_PATTERN[i].y / patch.pattern_scale_down;
      points[i] = {(m00 * ox + m01 * oy) + tx, (m10 * ox + m11 * oy) + ty};
    }
    const std::optional<Residuals> r = reference::patch_residual(patch, image, points);
    // No residual means no update; the warp is then unchanged, so every later iteration of
    // this level would find the same and the level can end here.
    if (!r) return iteration == 0 ? AlignOutcome::unmeasured : AlignOutcome::aligned;
    std::array<float, 3> delta;
    for (std::size_t j = 0; j < 3; ++j) {
      delta[j] = -pattern_sum([&](int i) {
        const auto u = static_cast<std::size_t>(i);
        return patch.h_inv_jt[3 * u + j] * (*r)[u];
      });
    }
    if (!apply_increment(delta, image, warp)) return AlignOutcome::lost;
  }
  return AlignOutcome::aligned;
}

bool align_at_level(const Patch& patch, const GrayImage& image, Transform& warp) {
  return reference::align_level(patch, image, warp) != AlignOutcome::lost;
}

}  // namespace reference

std::optional<Residuals> patch_residual(const Patch& patch, const GrayImage& image,
                                        const PatchPoints& points) {
  return simd::patch_residual(patch, image, points);
}

bool align_at_level(const Patch& patch, const GrayImage& image, Transform& warp) {
  return simd::align_at_level(patch, image, warp) != AlignOutcome::lost;
}

AlignOutcome align_level(const Patch& patch, const GrayImage& image, Transform& warp) {
  return simd::align_at_level(patch, image, warp);
}

}  // namespace glent
