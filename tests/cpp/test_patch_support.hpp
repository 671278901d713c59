#pragma once
// Test images for the patch and tracking tests: a smooth random texture defined at every real
// position, so that a frame moved by a known sub-pixel translation and rotation can be rendered
// exactly (no resampling of a rendered image), plus small helpers.

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "common/isa.hpp"
#include "common/transform.hpp"
#include "image_utilities/gray_image.hpp"
#include "patch/patch.hpp"
#include "patch/patch_reference.hpp"

namespace glent::testing {

// Value noise: random lattice values blended with a C2 quintic fade, summed over octaves from
// coarse blobs to fine grain. It has corners, edges and blobs at every pyramid scale.
class Texture {
 public:
  explicit Texture(std::uint32_t seed) {
    // mt19937's output is fixed by the standard (unlike the distributions), so every platform
    // renders the same texture.
    std::mt19937 rng(seed);
    for (double& v : lattice_) v = static_cast<double>(rng()) / 2147483648.0 - 1.0;
  }

  // Intensity at real position (x, y), roughly in 20..235.
  double at(double x, double y) const {
    static constexpr double kCells[] = {23.0, 11.0, 5.5, 2.7};
    static constexpr double kAmps[] = {60.0, 40.0, 22.0, 10.0};
    double v = 128.0;
    for (int o = 0; o < 4; ++o) v += kAmps[o] * noise(x / kCells[o], y / kCells[o], o);
    return v;
  }

 private:
  static constexpr int kSide = 256;
  static double fade(double t) { return t * t * t * (t * (t * 6.0 - 15.0) + 10.0); }
  double lat(long i, long j, int o) const {
    const auto a = static_cast<std::size_t>(((i % kSide) + kSide) % kSide);
    const auto b = static_cast<std::size_t>(((j % kSide) + kSide) % kSide);
    return lattice_[(static_cast<std::size_t>(o) * kSide + b) * kSide + a];
  }
  double noise(double x, double y, int o) const {
    const double fx = std::floor(x), fy = std::floor(y);
    const auto i = static_cast<long>(fx), j = static_cast<long>(fy);
    const double u = fade(x - fx), v = fade(y - fy);
    const double top = lat(i, j, o) + (lat(i + 1, j, o) - lat(i, j, o)) * u;
    const double bot = lat(i, j + 1, o) + (lat(i + 1, j + 1, o) - lat(i, j + 1, o)) * u;
    return top + (bot - top) * v;
  }
  std::array<double, 4 * kSide * kSide> lattice_{};
};

// The frame in which every scene point p of the texture appears at
// centre + R(angle) (p - centre) + (dx, dy), i.e. the texture moved by that rigid motion.
inline GrayImage render(const Texture& tex, std::uint32_t w, std::uint32_t h, double dx = 0.0,
                        double dy = 0.0, double angle = 0.0, double cx = 0.0, double cy = 0.0) {
  GrayImage img(w, h);
  const double c = std::cos(angle), s = std::sin(angle);
  for (std::uint32_t j = 0; j < h; ++j) {
    for (std::uint32_t i = 0; i < w; ++i) {
      // Inverse motion: q = centre + R^T (pixel - centre - d).
      const double px = i - cx - dx, py = j - cy - dy;
      const double qx = cx + c * px + s * py, qy = cy - s * px + c * py;
      const double v = std::round(std::fmin(255.0, std::fmax(0.0, tex.at(qx, qy))));
      img.pixels[std::size_t{j} * w + i] = static_cast<std::uint8_t>(v);
    }
  }
  return img;
}

inline GrayImage uniform(std::uint32_t w, std::uint32_t h, std::uint8_t value) {
  GrayImage img(w, h);
  std::memset(img.pixels.data(), value, img.pixels.size());
  return img;
}

// Bitwise equality of two floats (tells -0 from +0 and compares NaN payloads).
inline bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

template <std::size_t N>
inline bool same_bits(const std::array<float, N>& a, const std::array<float, N>& b) {
  return std::memcmp(a.data(), b.data(), sizeof(float) * N) == 0;
}

inline bool same_bits(const Patch& a, const Patch& b) {
  return same_bits(a.mean, b.mean) && same_bits(a.data, b.data) && same_bits(a.h_inv_jt, b.h_inv_jt) &&
         a.valid == b.valid;
}

// The patch build_prepared (the instruction set in use) makes, in the plain record.
inline Patch build_fast(const GrayImage& image, float x, float y) {
  PreparedPatch prepared;
  build_prepared(image, x, y, prepared);
  return unprepare(prepared);
}

// align_prepared on (patch0, start0), and align_prepared_pair on it beside (patch1, start1),
// against the plain code on `image`: true when every outcome and every warp is the same to the
// bit. `plain` receives the plain outcome of the first point.
inline bool aligned_like_the_plain_code(const Patch& patch0, const Transform& start0, const Patch& patch1,
                                        const Transform& start1, const GrayImage& image, AlignOutcome& plain) {
  PreparedPatch prepared0, prepared1;
  prepare(patch0, prepared0);
  prepare(patch1, prepared1);
  Transform plain0 = start0, plain1 = start1;
  plain = reference::align_level(patch0, image, plain0);
  const AlignOutcome plain_second = reference::align_level(patch1, image, plain1);
  Transform one = start0;
  const AlignOutcome single = align_prepared(prepared0, image, one);
  Transform pair[2] = {start0, start1};
  AlignOutcome outcome[2];
  align_prepared_pair(prepared0, prepared1, image, pair[0], pair[1], outcome);
  return single == plain && same_bits(one.m, plain0.m) && outcome[0] == plain && outcome[1] == plain_second &&
         same_bits(pair[0].m, plain0.m) && same_bits(pair[1].m, plain1.m);
}

// Runs `body` once with each instruction set of the vector kernels this processor supports,
// then restores the one in use, so equivalence tests cover every variant and not only the one
// dispatch happens to pick here.
template <class Body>
void for_each_isa(const Body& body) {
  const simd::Isa before = simd::current_isa();
  for (simd::Isa isa : simd::ALL_ISAS) {
    if (!simd::isa_supported(isa)) continue;
    simd::use_isa(isa);
    EXPECT_EQ(simd::current_isa(), isa);
    SCOPED_TRACE(simd::isa_name(isa));
    body();
  }
  simd::use_isa(before);
}

}  // namespace glent::testing
