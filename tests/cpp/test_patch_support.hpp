#pragma once
// Helpers of the patch and tracking tests: their frames (the test texture), bitwise comparison,
// and a run over every instruction set.

#include <array>
#include <cstring>

#include <gtest/gtest.h>

#include "common/isa.hpp"
#include "common/transform.hpp"
#include "image_utilities/gray_image.hpp"
#include "patch/patch.hpp"
#include "patch/patch_reference.hpp"
#include "test_texture.hpp"

namespace glent::testing {

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
