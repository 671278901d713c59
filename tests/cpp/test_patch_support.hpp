#pragma once
// Helpers of the patch and tracking tests: their frames (the test texture), bitwise comparison,
// and a run over every instruction set.

#include <array>
#include <cstring>

#include <gtest/gtest.h>

#include "common/transform.hpp"
#include "image_utilities/gray_image.hpp"
#include "patch/patch.hpp"
#include "patch/patch_simd.hpp"
#include "test_texture.hpp"

namespace glent::testing {

// Bitwise equality of two floats (tells -0 from +0 and compares NaN payloads).
inline bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

template <std::size_t N>
inline bool same_bits(const std::array<float, N>& a, const std::array<float, N>& b) {
  return std::memcmp(a.data(), b.data(), sizeof(float) * N) == 0;
}

inline bool same_bits(const Patch& a, const Patch& b) {
  return same_bits(a.mean, b.mean) && same_bits(a.pos, b.pos) && same_bits(a.data, b.data) &&
         same_bits(a.h_inv_jt, b.h_inv_jt) && same_bits(a.pattern_scale_down, b.pattern_scale_down) &&
         a.valid == b.valid;
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
