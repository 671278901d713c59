#pragma once
// Numeric conventions shared by every layer.
//
// All image and geometry arithmetic is IEEE single precision; the build disables contraction
// (-ffp-contract=off) so that a*b+c is always two rounded operations, as the code is written.

#include <bit>
#include <cmath>
#include <cstdint>

namespace glent {

// Rounds to the nearest integer, halves away from zero (2.5 -> 3, -2.5 -> -3). NaN stays NaN.
inline float round_half_away(float v) { return std::round(v); }

// Truncates toward zero and saturates: NaN and negative values give 0, values above
// 4294967040.0f (the largest float below 2^32) give 4294967295. Never a plain cast, whose
// result would be undefined for those inputs.
inline std::uint32_t saturate_to_u32(float v) {
  if (!(v > 0.0f)) return 0;  // NaN, zero and negatives
  if (v >= 4294967296.0f) return 4294967295u;
  return static_cast<std::uint32_t>(v);
}

// Truncates toward zero and saturates to the signed 64-bit range (NaN gives 0).
inline std::int64_t saturate_to_i64(float v) {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775808.0f) return INT64_MAX;
  if (v < -9223372036854775808.0f) return INT64_MIN;
  return static_cast<std::int64_t>(v);
}

// Rounds half away from zero, then converts with saturation: the rule for turning a float
// position into an unsigned pixel coordinate.
inline std::uint32_t round_to_u32(float v) { return saturate_to_u32(round_half_away(v)); }

// 2^level as a float, without integer shifts that would overflow for deep pyramids
// (levels past 127 give +inf, which only ever meets empty coarse levels).
inline float pow2f(std::uint32_t level) {
  // Built from its exponent field: this sits on the per-point path, where a libm call showed.
  return level >= 128u ? INFINITY : std::bit_cast<float>((127u + level) << 23);
}

// Single-precision machine epsilon, 2^-23.
inline constexpr float EPSILON = 1.1920929e-7f;

}  // namespace glent
