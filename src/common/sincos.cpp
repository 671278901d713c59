#include "common/sincos.hpp"

#include <bit>
#include <cstdint>

namespace glent::sincos_detail {

namespace {

__extension__ typedef unsigned __int128 U128;
__extension__ typedef __int128 I128;

// The first 320 bits of the fraction of 2/pi, most significant first: bit i (i = 1, 2, ...)
// is the coefficient of 2^-i.
constexpr std::uint32_t TWO_OVER_PI[10] = {
    0xA2F9836Eu, 0x4E441529u, 0xFC2757D1u, 0xF534DDC0u, 0xDB629599u,
    0x3C439041u, 0xFE5163ABu, 0xDEBBC561u, 0xB7246E3Au, 0x424DD2E0u};

// Bit i of 2/pi; zero for i < 1 (2/pi < 1).
std::uint32_t two_over_pi_bit(int i) {
  if (i < 1) return 0;
  const int k = i - 1;
  return (TWO_OVER_PI[k / 32] >> (31 - k % 32)) & 1u;
}

}  // namespace

SinCos sin_cos_large(float x) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
  const bool negative = (bits >> 31) != 0;
  // |x| = m * 2^e with m a 24-bit integer; |x| >= 2^20 is normal, so e >= -3.
  const std::uint64_t m = (bits & 0x7FFFFFu) | 0x800000u;
  const int e = static_cast<int>((bits >> 23) & 0xFFu) - 150;
  // |x| * 2/pi = sum over i of m * b_i * 2^(e - i). Terms with i <= e - 2 are multiples of 4
  // and drop out of the quadrant; the 96 bits from i = e - 1 on leave a truncation below
  // 2^24 * 2^-94 quadrants, far below what a float result can see.
  const int first = e - 1;
  U128 window = 0;
  for (int j = 0; j < 96; ++j) window = (window << 1) | two_over_pi_bit(first + j);
  // |x| * 2/pi modulo 4 = product / 2^94.
  const U128 product = window * m;
  std::uint32_t q = static_cast<std::uint32_t>(product >> 94) & 3u;
  I128 frac = static_cast<I128>(product & ((U128{1} << 94) - 1));
  if (frac >= (I128{1} << 93)) {  // nearest quadrant: fraction in [-1/2, 1/2)
    frac -= I128{1} << 94;
    q += 1;
  }
  // The fraction in quadrants as a double: the upper 64 bits and the lower 30, both exact
  // conversions but for the rounding of the upper part to 53 bits.
  const std::int64_t hi = static_cast<std::int64_t>(frac >> 30);
  const std::int64_t lo = static_cast<std::int64_t>(frac & ((I128{1} << 30) - 1));
  const double f = static_cast<double>(hi) * 0x1p-64 + static_cast<double>(lo) * 0x1p-94;
  const double r = f * (P1 + P2);
  return finish(r, q, negative);
}

}  // namespace glent::sincos_detail

namespace glent {

SinCos sin_cos(float x) {
  using namespace sincos_detail;
  // The sign and magnitude by bit operations: a branch on the sign would be mispredicted half
  // the time, alignment increments being as often negative as positive.
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
  const bool negative = (bits >> 31) != 0;
  const float ax = std::bit_cast<float>(bits & 0x7FFFFFFFu);
  if (ax < SMALL_ANGLE) {
    if (ax == 0.0f) return {x, 1.0f};  // keeps the sign of -0, which r + r * (...) would lose
    return finish_small(static_cast<double>(x));
  }
  if (ax < 0x1.921fb6p-1f) {  // |x| < pi/4: no reduction; the polynomials are odd and even
    return finish(static_cast<double>(x), 0, false);
  }
  if (!(ax < SMALL_LIMIT)) {
    if (ax - ax != 0.0f) return {x - x, x - x};  // NaN or infinite: NaN
    return sin_cos_large(x);
  }
  const double a = static_cast<double>(ax);
  const double kd = static_cast<double>(static_cast<std::int32_t>(a * INV_PIO2 + 0.5));
  // a - k * P1 is exact (both multiples of 2^-32, the difference below 1); the rest carries
  // the rounding of one subtraction.
  const double r = ((a - kd * P1) - kd * P2) - kd * P3;
  return finish(r, static_cast<std::uint32_t>(static_cast<std::int32_t>(kd)), negative);
}

}  // namespace glent
