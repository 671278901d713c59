#include "patch/align.hpp"

#include <cmath>

#include "common/numeric.hpp"
#include "image_utilities/sampling.hpp"
#include "patch/patch_simd.hpp"
#include "patch/reference.hpp"

namespace glent {

Transform se2_exp(float dx, float dy, float dtheta) {
  const float theta = dtheta;
  const float s = std::sin(theta);
  const float c = std::cos(theta);
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
  Transform e;
  e.m = {c, s, 0.0f, -s, c, 0.0f, b * dx - a * dy, a * dx + b * dy, 1.0f};
  return e;
}

bool apply_increment(const std::array<float, 3>& delta, const GrayImage& image, Transform& warp) {
  const float dx = delta[0], dy = delta[1], dt = delta[2];
  if (!std::isfinite(dx) || !std::isfinite(dy) || !std::isfinite(dt)) return false;
  // A length of exactly MAX_INCREMENT_NORM is still accepted.
  if (std::sqrt((dx * dx + dy * dy) + dt * dt) > MAX_INCREMENT_NORM) return false;

  const Transform e = se2_exp(dx, dy, dt);
  const float c = e.m[0], s = e.m[1], vx = e.m[6], vy = e.m[7];
  std::array<float, 9>& m = warp.m;
  const float m00 = m[0], m10 = m[1], m01 = m[3], m11 = m[4];
  // warp <- warp * E: t <- t + M v, then M <- M R(theta).
  m[6] = m[6] + (m00 * vx + m01 * vy);
  m[7] = m[7] + (m10 * vx + m11 * vy);
  m[0] = c * m00 + s * m01;
  m[1] = c * m10 + s * m11;
  m[3] = c * m01 - s * m00;
  m[4] = c * m11 - s * m10;
  return in_patch_bounds(image, m[6], m[7]);
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

bool align_at_level(const Patch& patch, const GrayImage& image, Transform& warp) {
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
    if (!r) break;
    std::array<float, 3> delta;
    for (std::size_t j = 0; j < 3; ++j) {
      delta[j] = -pattern_sum([&](int i) {
        const auto u = static_cast<std::size_t>(i);
        return patch.h_inv_jt[3 * u + j] * (*r)[u];
      });
    }
    if (!apply_increment(delta, image, warp)) return false;
  }
  return true;
}

}  // namespace reference

std::optional<Residuals> patch_residual(const Patch& patch, const GrayImage& image,
                                        const PatchPoints& points) {
  return simd::patch_residual(patch, image, points);
}

bool align_at_level(const Patch& patch, const GrayImage& image, Transform& warp) {
  return simd::align_at_level(patch, image, warp);
}

}  // namespace glent
