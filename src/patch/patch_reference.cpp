#include "patch/patch_reference.hpp"

#include <cmath>
#include <cstdint>

#include "common/numeric.hpp"
#include "image_utilities/sampling.hpp"

namespace glent {

bool in_patch_bounds(const GrayImage& image, float x, float y) {
  const std::uint64_t rx = round_to_u32(x);
  const std::uint64_t ry = round_to_u32(y);
  // In 64 bits, rx + PATCH_MARGIN cannot wrap around for any u32 rx.
  return rx >= PATCH_MARGIN && ry >= PATCH_MARGIN && rx + PATCH_MARGIN < image.width &&
         ry + PATCH_MARGIN < image.height;
}

namespace {

// Inverts H = J^T J from its lower triangle through a Cholesky factorisation; false when a
// pivot is not strictly positive (zero, negative or NaN). `h` and `h_inv` are row-major 3x3.
bool invert_normal_matrix(const std::array<float, 9>& h, std::array<float, 9>& h_inv) {
  // Cholesky factor H = L L^T from the lower triangle. `!(p > 0)` also rejects NaN pivots.
  const float h00 = h[0], h10 = h[3], h11 = h[4], h20 = h[6], h21 = h[7], h22 = h[8];
  if (!(h00 > 0.0f)) return false;
  const float l00 = std::sqrt(h00);
  const float l10 = h10 / l00;
  const float l20 = h20 / l00;
  const float d1 = h11 - l10 * l10;
  if (!(d1 > 0.0f)) return false;
  const float l11 = std::sqrt(d1);
  const float l21 = (h21 - l10 * l20) / l11;
  const float d2 = (h22 - l20 * l20) - l21 * l21;
  if (!(d2 > 0.0f)) return false;
  const float l22 = std::sqrt(d2);

  // H^-1 column by column: L y = e_c (forward), then L^T x = y (backward).
  for (int c = 0; c < 3; ++c) {
    const float e0 = c == 0 ? 1.0f : 0.0f;
    const float e1 = c == 1 ? 1.0f : 0.0f;
    const float e2 = c == 2 ? 1.0f : 0.0f;
    const float y0 = e0 / l00;
    const float y1 = (e1 - l10 * y0) / l11;
    const float y2 = ((e2 - l20 * y0) - l21 * y1) / l22;
    const float x2 = y2 / l22;
    const float x1 = (y1 - l21 * x2) / l11;
    const float x0 = ((y0 - l10 * x1) - l20 * x2) / l00;
    h_inv[static_cast<std::size_t>(0 * 3 + c)] = x0;
    h_inv[static_cast<std::size_t>(1 * 3 + c)] = x1;
    h_inv[static_cast<std::size_t>(2 * 3 + c)] = x2;
  }
  return true;
}

}  // namespace

Transform se2_exp(float dx, float dy, float dtheta) {
  const Se2 e = se2_exp_parts(dx, dy, dtheta);
  Transform out;
  out.m = {e.c, e.s, 0.0f, -e.s, e.c, 0.0f, e.vx, e.vy, 1.0f};
  return out;
}

bool apply_increment(const std::array<float, 3>& delta, const GrayImage& image, Transform& warp) {
  return apply_increment_with(delta, warp, [&](float x, float y) { return in_patch_bounds(image, x, y); });
}

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

Patch unprepare(const PreparedPatch& prepared) {
  Patch patch;
  patch.mean = prepared.mean;
  for (std::size_t i = 0; i < PATCH_SIZE; ++i) {
    patch.data[i] = prepared.data[i];
    for (std::size_t r = 0; r < 3; ++r) patch.h_inv_jt[3 * i + r] = prepared.h_inv_jt[r][i];
  }
  patch.valid = prepared.valid;
  return patch;
}

namespace reference {

Patch build_patch(const GrayImage& image, float x, float y) {
  Patch patch;

  // Raw samples and Jacobian rows (gx, gy, ox gy - oy gx); rows of samples outside stay zero.
  std::array<float, 3 * PATCH_SIZE> jac{};
  bool inside[PATCH_SIZE];
  float n = 0.0f;
  for (int i = 0; i < PATCH_SIZE; ++i) {
    const auto k = static_cast<std::size_t>(i);
    const float ox = PATCH_PATTERN[k].x / PATTERN_SCALE_DOWN;
    const float oy = PATCH_PATTERN[k].y / PATTERN_SCALE_DOWN;
    const float px = x + ox;
    const float py = y + oy;
    inside[i] = in_patch_bounds(image, px, py);
    if (inside[i]) {
      const SampleGrad g = sample_with_gradient(image, px, py);
      patch.data[k] = g.value;
      jac[3 * k + 0] = g.gx;
      jac[3 * k + 1] = g.gy;
      jac[3 * k + 2] = ox * g.gy - oy * g.gx;
      n += 1.0f;
    } else {
      patch.data[k] = -1.0f;
    }
  }
  const float total = pattern_sum([&](int i) { return inside[i] ? patch.data[static_cast<std::size_t>(i)] : 0.0f; });
  float s[3];
  for (int j = 0; j < 3; ++j) {
    s[j] = pattern_sum([&](int i) { return jac[static_cast<std::size_t>(3 * i + j)]; });
  }

  // 0 / 0 gives NaN when no sample was inside.
  patch.mean = total / n;

  // Normalise by the mean, including the derivative of the mean itself.
  const float k = n / total;
  float s_over_total[3];
  for (int j = 0; j < 3; ++j) s_over_total[j] = s[j] / total;
  for (int i = 0; i < PATCH_SIZE; ++i) {
    const auto u = static_cast<std::size_t>(i);
    if (!inside[i]) continue;
    const float v = patch.data[u];
    for (int j = 0; j < 3; ++j) {
      float& e = jac[3 * u + static_cast<std::size_t>(j)];
      e = (e - s_over_total[j] * v) * k;
    }
    patch.data[u] = v * k;
  }

  // H = J^T J, all nine entries (each off-diagonal pair is the same sum of the same products).
  std::array<float, 9> h;
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b) {
      h[static_cast<std::size_t>(3 * a + b)] = pattern_sum([&](int i) {
        const auto u = static_cast<std::size_t>(3 * i);
        return jac[u + static_cast<std::size_t>(a)] * jac[u + static_cast<std::size_t>(b)];
      });
    }
  }
  std::array<float, 9> h_inv;
  if (!invert_normal_matrix(h, h_inv)) return patch;  // h_inv_jt stays zero

  // h_inv_jt column i = H^-1 (row i of J).
  bool finite = true;
  for (std::size_t i = 0; i < PATCH_SIZE; ++i) {
    const float j0 = jac[3 * i + 0], j1 = jac[3 * i + 1], j2 = jac[3 * i + 2];
    for (std::size_t r = 0; r < 3; ++r) {
      const float e = (h_inv[3 * r + 0] * j0 + h_inv[3 * r + 1] * j1) + h_inv[3 * r + 2] * j2;
      patch.h_inv_jt[3 * i + r] = e;
      finite = finite && std::isfinite(e);
    }
    finite = finite && std::isfinite(patch.data[i]);
  }
  patch.valid = patch.mean > EPSILON && finite;
  return patch;
}

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
      const float ox = PATCH_PATTERN[i].x / PATTERN_SCALE_DOWN;
      const float oy = PATCH_PATTERN[i].y / PATTERN_SCALE_DOWN;
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

}  // namespace reference
}  // namespace glent
