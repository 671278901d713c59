#pragma once
// The vector-kernel layer: which targets this build compiles, the one table of kernels every
// family (the 2x2 mean, FAST-9, the patch kernels) is called through, and what the per-target
// primitive files share.
//
// A kernel family is one source written over primitives (no intrinsic, no target test). Its
// translation unit defines GLENT_LANES_KERNEL as that source and includes
// common/lanes_variants.inc, which compiles it once per target, inside namespace
// glent::simd::<target> after that target's primitives (common/lanes_<target>.inc):
//
//   x86-64   sse2 (the baseline), avx2 and avx512 (run-time dispatch; avx512 compiles the
//            AVX2 primitives with the AVX-512 instruction set enabled: 32 vector registers)
//   aarch64  neon
//   all      portable (GNU vector extensions, no intrinsics); with GLENT_SIMD_PORTABLE_ONLY the
//            only one
//
// Every primitive is exact (integer arithmetic, or IEEE single-precision operations performed
// lane by lane), so every target gives the same bits.

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/isa.hpp"

#if !defined(GLENT_SIMD_PORTABLE_ONLY) && defined(__x86_64__)
#define GLENT_LANES_X86 1
#include <immintrin.h>
#elif !defined(GLENT_SIMD_PORTABLE_ONLY) && defined(__aarch64__)
#define GLENT_LANES_NEON 1
#include <arm_neon.h>
#endif

// Every helper of a kernel is inlined into the target's entry functions, so no vector crosses a
// call and no helper is ever compiled for another target.
#define GLENT_INLINE inline __attribute__((always_inline))
// A kernel function kept out of line (its own register allocation).
#define GLENT_NOINLINE __attribute__((noinline))

namespace glent {

struct GrayImage;
struct Corner;
struct PreparedPatch;
struct Transform;
enum class AlignOutcome;

namespace simd {

// Four-lane GNU vectors, a single register on every 64-bit vector unit; the kernels use them
// for small fixed-size work (the 3x3 inverse, the final reduction of a sum).
typedef float f4 __attribute__((vector_size(16)));
typedef std::int32_t i4 __attribute__((vector_size(16)));
typedef double d2 __attribute__((vector_size(16)));

// Constant-index lane shuffles: __builtin_shufflevector in Clang and GCC from 12 on,
// __builtin_shuffle with a mask vector in older GCC.
#if defined(__clang__) || __GNUC__ >= 12
#define GLENT_SHUFFLE(v, mask_type, ...) __builtin_shufflevector(v, v, __VA_ARGS__)
#else
#define GLENT_SHUFFLE(v, mask_type, ...) __builtin_shuffle(v, mask_type{__VA_ARGS__})
#endif

GLENT_INLINE f4 splat4(float v) { return GLENT_SHUFFLE(f4{v}, i4, 0, 0, 0, 0); }
// Lanes 2 and 3 in lanes 0 and 1 (and again in 2 and 3).
GLENT_INLINE f4 upper_pair(f4 v) { return GLENT_SHUFFLE(v, i4, 2, 3, 2, 3); }
GLENT_INLINE i4 upper_pair(i4 v) { return GLENT_SHUFFLE(v, i4, 2, 3, 2, 3); }

// One target's kernels.
struct Kernels {
  // One output row of the 2x2 mean of rows a and b.
  void (*box_halve_row)(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out, std::uint32_t out_width);
  std::vector<Corner> (*fast9_detect)(const GrayImage& image, std::uint8_t threshold);
  bool (*build_prepared)(const GrayImage& image, float x, float y, PreparedPatch& out);
  AlignOutcome (*align_prepared)(const PreparedPatch& patch, const GrayImage& image, Transform& warp);
  void (*align_prepared_pair)(const PreparedPatch& patch0, const PreparedPatch& patch1, const GrayImage& image,
                              Transform& warp0, Transform& warp1, AlignOutcome (&outcome)[2]);
};

// The kernels of the variant current_isa() names.
const Kernels& kernels();

}  // namespace simd
}  // namespace glent
