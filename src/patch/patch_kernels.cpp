#include "patch/patch.hpp"

// Which per-target variants this build holds besides the portable one (see common/isa.hpp).
#if defined(__x86_64__) && !defined(GLENT_SIMD_PORTABLE_ONLY)
#define GLENT_SIMD_HAS_X86 1
#include <immintrin.h>
#elif defined(__aarch64__) && !defined(GLENT_SIMD_PORTABLE_ONLY)
#define GLENT_SIMD_HAS_NEON 1
#include <arm_neon.h>
#endif

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "common/numeric.hpp"
#include "common/isa.hpp"
#include "patch/patch_reference.hpp"

// Eight-lane vectors of the GNU vector extension: the same source compiles to pairs of SSE2
// (or NEON) instructions by default and to single AVX2 instructions under the AVX2 target.
// Helpers taking or returning them are always inlined and defined once per target (in the
// kernel source), so no vector crosses a call with the two ABIs.
#pragma GCC diagnostic ignored "-Wpsabi"
// The alignment's pixel cache is read only once a pass has filled it (its `filled` flag), which
// GCC cannot follow through the iterations of two interleaved points.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace glent::simd {
namespace {

typedef float f8 __attribute__((vector_size(32)));
typedef std::int32_t i8 __attribute__((vector_size(32)));

#define GLENT_SIMD_INLINE inline __attribute__((always_inline))

// Constant-index lane shuffles: __builtin_shufflevector in Clang (and GCC from 12 on),
// __builtin_shuffle with a mask vector in older GCC.
#if defined(__clang__) || __GNUC__ >= 12
#define GLENT_SHUFFLE(v, mask_type, ...) __builtin_shufflevector(v, v, __VA_ARGS__)
#else
#define GLENT_SHUFFLE(v, mask_type, ...) __builtin_shuffle(v, mask_type{__VA_ARGS__})
#endif

// Halves of the eight-lane vectors.
typedef float f4 __attribute__((vector_size(16)));
typedef std::int32_t i4 __attribute__((vector_size(16)));
struct F4Halves {
  f4 lo, hi;
};
struct I4Halves {
  i4 lo, hi;
};

// The pattern in pixels (PATCH_PATTERN / PATTERN_SCALE_DOWN, exact), padded with zeros, and the
// mask of the lanes that hold a pattern index.
struct Tables {
  alignas(64) float x[PADDED_SIZE];
  alignas(64) float y[PADDED_SIZE];
  alignas(64) std::int32_t used[PADDED_SIZE];
};

constexpr Tables make_tables() {
  Tables t{};
  for (int i = 0; i < PADDED_SIZE; ++i) {
    const bool used = i < PATCH_SIZE;
    const auto u = static_cast<std::size_t>(used ? i : 0);
    t.x[i] = used ? PATCH_PATTERN[u].x / PATTERN_SCALE_DOWN : 0.0f;
    t.y[i] = used ? PATCH_PATTERN[u].y / PATTERN_SCALE_DOWN : 0.0f;
    t.used[i] = used ? -1 : 0;
  }
  return t;
}

constexpr Tables TABLES = make_tables();

// Largest image side (exclusive) for which the kernels may skip the per-sample margin test.
constexpr std::uint32_t INTERIOR_MAX_SIDE = 1u << 16;
constexpr const float* PATTERN_X = TABLES.x;
constexpr const float* PATTERN_Y = TABLES.y;
constexpr const std::int32_t* LANE_USED = TABLES.used;

// The margin test of in_patch_bounds on a translation, for images under 2^22 pixels a side:
// 1.5 <= x < width - 2.5, likewise for y. Defined here, outside the per-target regions, so that
// every variant's alignment loop inlines it into apply_increment_with (a callable of a wider
// target cannot be inlined into that template, which is compiled for the baseline).
struct InMargin {
  float x_max, y_max;
  bool operator()(float x, float y) const { return x >= 1.5f && x < x_max && y >= 1.5f && y < y_max; }
};

#define GLENT_TARGET_SSE2 0
#define GLENT_TARGET_AVX2 1
#define GLENT_TARGET_NEON 3
#define GLENT_TARGET_PORTABLE 4

struct Kernels {
  bool (*build)(const GrayImage&, float, float, PreparedPatch&);
  AlignOutcome (*align)(const PreparedPatch&, const GrayImage&, Transform&);
  void (*align_pair)(const PreparedPatch&, const PreparedPatch&, const GrayImage&, Transform&, Transform&,
                     AlignOutcome (&)[2]);
};

// The wider x86 instruction sets apply to the functions of their namespace alone (GCC: a target
// pragma; Clang ignores that one and takes the target attribute for every function of the region,
// lambdas included). No header is included inside these regions, so no inline function the rest
// of the program shares is ever compiled for AVX.
#if defined(GLENT_SIMD_HAS_X86)
namespace sse2 {
#define GLENT_SIMD_TARGET GLENT_TARGET_SSE2
#include "patch/patch_kernels.inc"
#undef GLENT_SIMD_TARGET
}  // namespace sse2

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace avx2 {
#define GLENT_SIMD_TARGET GLENT_TARGET_AVX2
#include "patch/patch_kernels.inc"
#undef GLENT_SIMD_TARGET
}  // namespace avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,avx512f,avx512bw,avx512dq,avx512vl"))), \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,avx512f,avx512bw,avx512dq,avx512vl")
#endif
// The AVX2 kernels once more, for processors with AVX-512: the compiler then has 32 vector
// registers instead of 16 (the alignment of two points side by side no longer keeps its
// constants on the stack) and the shorter EVEX forms, still on eight lanes. Sixteen-lane
// kernels were slower on a processor that executes 512-bit operations as two halves, gathers
// included.
namespace avx512 {
#define GLENT_SIMD_TARGET GLENT_TARGET_AVX2
#include "patch/patch_kernels.inc"
#undef GLENT_SIMD_TARGET
}  // namespace avx512
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

constexpr Kernels SSE2_KERNELS{sse2::build_prepared, sse2::align_prepared,
                                  sse2::align_prepared_pair};
constexpr Kernels AVX2_KERNELS{avx2::build_prepared, avx2::align_prepared,
                                  avx2::align_prepared_pair};
constexpr Kernels AVX512_KERNELS{avx512::build_prepared, avx512::align_prepared,
                                  avx512::align_prepared_pair};
#endif

// NEON is part of every aarch64 processor: no target region, no dispatch.
#if defined(GLENT_SIMD_HAS_NEON)
namespace neon {
#define GLENT_SIMD_TARGET GLENT_TARGET_NEON
#include "patch/patch_kernels.inc"
#undef GLENT_SIMD_TARGET
}  // namespace neon

constexpr Kernels NEON_KERNELS{neon::build_prepared, neon::align_prepared,
                                  neon::align_prepared_pair};
#endif

// GNU vector extensions alone, for every target.
namespace portable {
#define GLENT_SIMD_TARGET GLENT_TARGET_PORTABLE
#include "patch/patch_kernels.inc"
#undef GLENT_SIMD_TARGET
}  // namespace portable

constexpr Kernels PORTABLE_KERNELS{portable::build_prepared, portable::align_prepared,
                                  portable::align_prepared_pair};

// use_isa admits only the variants this build holds, so every other value is portable.
const Kernels* kernels_for(Isa isa) {
#if defined(GLENT_SIMD_HAS_X86)
  if (isa == Isa::avx512) return &AVX512_KERNELS;
  if (isa == Isa::avx2) return &AVX2_KERNELS;
  if (isa == Isa::sse2) return &SSE2_KERNELS;
#elif defined(GLENT_SIMD_HAS_NEON)
  if (isa == Isa::neon) return &NEON_KERNELS;
#endif
  (void)isa;
  return &PORTABLE_KERNELS;
}

const Kernels& kernels() { return *kernels_for(current_isa()); }

// The vector code compares positions against float(size) - 2.5 and forms pixel offsets in
// 32-bit integers; both are exact below these sizes. Larger images take the plain code.
bool vector_friendly(const GrayImage& image) {
  constexpr std::uint32_t MAX_SIDE = 1u << 22;
  return image.width < MAX_SIDE && image.height < MAX_SIDE && image.size() < (std::size_t{1} << 31);
}

}  // namespace
}  // namespace glent::simd

namespace glent {

bool build_prepared(const GrayImage& image, float x, float y, PreparedPatch& out) {
  if (simd::vector_friendly(image)) return simd::kernels().build(image, x, y, out);
  prepare(reference::build_patch(image, x, y), out);
  return out.valid;
}

AlignOutcome align_prepared(const PreparedPatch& patch, const GrayImage& image, Transform& warp) {
  if (simd::vector_friendly(image)) return simd::kernels().align(patch, image, warp);
  return reference::align_level(unprepare(patch), image, warp);
}

void align_prepared_pair(const PreparedPatch& patch0, const PreparedPatch& patch1, const GrayImage& image,
                         Transform& warp0, Transform& warp1, AlignOutcome (&outcome)[2]) {
  if (simd::vector_friendly(image)) return simd::kernels().align_pair(patch0, patch1, image, warp0, warp1, outcome);
  outcome[0] = align_prepared(patch0, image, warp0);
  outcome[1] = align_prepared(patch1, image, warp1);
}

}  // namespace glent
