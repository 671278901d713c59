#pragma once
// Single-precision sine and cosine of one angle, computed in double precision from the basic
// IEEE operations (+, -, *) alone, so that every machine and C library gives the same bits:
// the C library's sinf/cosf differ in their last bits between versions, libraries and
// processors (some pick an FMA variant at load time).
//
// Arguments up to 2^20 in magnitude (the tracker meets at most 1e6) are reduced by a
// three-part pi/2 in double precision; larger finite ones by an exact integer reduction against
// the bits of 2/pi (sin_cos_large). The reduced argument r, |r| <= pi/4, carries a relative
// error near 2^-52; the two polynomials are accurate to about 2^-58 (below 1/16, where
// alignment increments lie, shorter series of the same accuracy); the one rounding from
// double to float at the end then gives the correctly rounded float except where the exact
// value lies within about 2^-50 (relative) of a halfway point between two floats. The
// exhaustive check over [-1e6, 1e6] (tools/check_sincos.cpp) counts those.
//
// NaN and +-inf give NaN for both, as the C library does; sin(-0) is -0.

#include <cstdint>

namespace glent {

struct SinCos {
  float sin;
  float cos;
};

namespace sincos_detail {

// sin r / r - 1 and (cos r - 1 + r^2/2) / r^4 as polynomials in z = r^2, |r| <= pi/4 (the
// classic minimax fits; error below 2^-58).
inline constexpr double S1 = -1.66666666666666324348e-01;
inline constexpr double S2 = 8.33333333332248946124e-03;
inline constexpr double S3 = -1.98412698298579493134e-04;
inline constexpr double S4 = 2.75573137070700676789e-06;
inline constexpr double S5 = -2.50507602534068634195e-08;
inline constexpr double S6 = 1.58969099521155010221e-10;
inline constexpr double C1 = 4.16666666666666019037e-02;
inline constexpr double C2 = -1.38888888888741095749e-03;
inline constexpr double C3 = 2.48015872894767294178e-05;
inline constexpr double C4 = -2.75573143513906633035e-07;
inline constexpr double C5 = 2.08757232129817482790e-09;
inline constexpr double C6 = -1.13596475577881948265e-11;

// pi/2 = P1 + P2 + P3 (+ about 2^-122): P1 and P2 have 33 significant bits, so k * P1 and
// k * P2 are exact for k < 2^20; 2/pi rounded to double.
inline constexpr double P1 = 0x1.921fb544p+0;
inline constexpr double P2 = 0x1.0b4611a6p-34;
inline constexpr double P3 = 0x1.3198a2e037073p-69;
inline constexpr double INV_PIO2 = 0x1.45f306dc9c883p-1;

// Below SMALL_ANGLE (|x| < 1/16, z = x^2 < 2^-8, where alignment increments almost always lie)
// the Taylor series cut after z^4 in sin x / x and after z^4 in cos x: the first terms left out,
// z^5 / 11! and z^5 / 10!, are below 2^-65 and 2^-61 relative. Evaluated in Estrin's grouping,
// whose dependency chain is about half as long as Horner's in the full polynomials: the
// increment's sine and cosine sit on the critical path of every alignment iteration.
inline constexpr float SMALL_ANGLE = 0x1p-4f;
inline constexpr double T3 = -1.0 / 6.0;
inline constexpr double T5 = 1.0 / 120.0;
inline constexpr double T7 = -1.0 / 5040.0;
inline constexpr double T9 = 1.0 / 362880.0;
inline constexpr double T4 = 1.0 / 24.0;
inline constexpr double T6 = -1.0 / 720.0;
inline constexpr double T8 = 1.0 / 40320.0;

inline SinCos finish_small(double r) {
  const double z = r * r;
  const double z2 = z * z;
  const double rz = r * z;
  const double sr = r + (rz * (T3 + z * T5) + (rz * z2) * (T7 + z * T9));
  const double cr = (1.0 - 0.5 * z) + (z2 * (T4 + z * T6) + (z2 * z2) * T8);
  return {static_cast<float>(sr), static_cast<float>(cr)};
}

// Largest magnitude reduced by the three-part constant: below it k = round(|x| * 2/pi) stays
// below 2^20.
inline constexpr float SMALL_LIMIT = 0x1p20f;

// sin and cos of r, |r| <= pi/4 (a little more is harmless), in quadrant q (the angle being
// r + q * pi/2), rounded once to float.
inline SinCos finish(double r, std::uint32_t q, bool negative) {
  const double z = r * r;
  const double ps = S2 + z * (S3 + z * (S4 + z * (S5 + z * S6)));
  const double sr = r + r * z * (S1 + z * ps);
  const double pc = C1 + z * (C2 + z * (C3 + z * (C4 + z * (C5 + z * C6))));
  const double cr = (1.0 - 0.5 * z) + (z * z) * pc;
  double s, c;
  switch (q & 3u) {
    case 0: s = sr; c = cr; break;
    case 1: s = cr; c = -sr; break;
    case 2: s = -sr; c = -cr; break;
    default: s = -cr; c = sr; break;
  }
  if (negative) s = -s;
  return {static_cast<float>(s), static_cast<float>(c)};
}

// |x| >= SMALL_LIMIT, finite: exact reduction of |x| modulo pi/2 against a window of the bits
// of 2/pi, integer arithmetic only.
SinCos sin_cos_large(float x);

}  // namespace sincos_detail

// sin(x) and cos(x), each the float nearest the exact value but for rare halfway-close cases
// (see above); the same bits on every target. Out of line on purpose: the alignment loops that
// call it keep their vector registers for their own work.
SinCos sin_cos(float x);

}  // namespace glent
