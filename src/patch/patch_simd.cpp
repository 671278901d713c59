#include "patch/patch_simd.hpp"

#include <immintrin.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "common/numeric.hpp"
#include "patch/reference.hpp"

// Eight-lane vectors of the GNU vector extension: the same source compiles to pairs of SSE2
// instructions by default and to single AVX2 instructions under the AVX2 target. Helpers taking
// or returning them are always inlined, so no vector crosses a call with the two ABIs.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace glent::simd {
namespace {

typedef float f8 __attribute__((vector_size(32)));
typedef std::int32_t i8 __attribute__((vector_size(32)));

#define GLENT_SIMD_INLINE inline __attribute__((always_inline))

// Broadcasts as one shuffle (an initialiser list of eight copies becomes eight inserts).
GLENT_SIMD_INLINE f8 splat(float v) { return __builtin_shuffle(f8{v}, i8{}); }
GLENT_SIMD_INLINE i8 splat_i(std::int32_t v) { return __builtin_shuffle(i8{v}, i8{}); }
GLENT_SIMD_INLINE f8 load8(const float* p) {
  f8 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
GLENT_SIMD_INLINE i8 load8i(const std::int32_t* p) {
  i8 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
GLENT_SIMD_INLINE void store8(float* p, f8 v) { std::memcpy(p, &v, sizeof v); }

// Per lane: `a` where the mask is set (all ones), else `b`. Written with bit operations, which
// every target has at this width (a vector ?: is split into scalar code without AVX).
GLENT_SIMD_INLINE f8 select(i8 mask, f8 a, f8 b) {
  return std::bit_cast<f8>((std::bit_cast<i8>(a) & mask) | (std::bit_cast<i8>(b) & ~mask));
}

// The fixed reduction of the eight lane sums (see pattern_sum): f_k = acc_k + acc_{k+4} as one
// four-lane addition of the two halves, then (f0 + f2) and (f1 + f3) as another, then their sum.
// Each lane adds exactly the operands the scalar grouping names, so the result is the same to
// the bit; it only takes six instructions instead of a chain of lane extractions.
typedef float f4 __attribute__((vector_size(16)));
typedef std::int32_t i4 __attribute__((vector_size(16)));

// The halves are taken with shuffles: a bit_cast to a pair of halves sends the accumulator
// through the stack, and with it every addition into it in the loops before.
GLENT_SIMD_INLINE float fold(f8 acc) {
  const f4 f = __builtin_shufflevector(acc, acc, 0, 1, 2, 3) +
               __builtin_shufflevector(acc, acc, 4, 5, 6, 7);  // f0 f1 f2 f3
  const f4 g = f + __builtin_shufflevector(f, f, 2, 3, 2, 3);  // f0+f2 f1+f3 . .
  return g[0] + g[1];
}
GLENT_SIMD_INLINE std::int32_t fold_count(i8 acc) {
  const i4 f = __builtin_shufflevector(acc, acc, 0, 1, 2, 3) + __builtin_shufflevector(acc, acc, 4, 5, 6, 7);
  const i4 g = f + __builtin_shufflevector(f, f, 2, 3, 2, 3);
  return g[0] + g[1];
}

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

#define GLENT_TARGET_SSE2 0
#define GLENT_TARGET_AVX2 1
#define GLENT_TARGET_AVX512 2

namespace sse2 {
#define GLENT_SIMD_TARGET GLENT_TARGET_SSE2
#include "patch/patch_simd_kernels.inc"
#undef GLENT_SIMD_TARGET
}  // namespace sse2

#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
#define GLENT_SIMD_TARGET GLENT_TARGET_AVX2
#include "patch/patch_simd_kernels.inc"
#undef GLENT_SIMD_TARGET
}  // namespace avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2,avx512f,avx512bw,avx512dq,avx512vl")
namespace avx512 {
#define GLENT_SIMD_TARGET GLENT_TARGET_AVX512
#include "patch/patch_simd_kernels.inc"
#undef GLENT_SIMD_TARGET
}  // namespace avx512
#pragma GCC pop_options

struct Kernels {
  bool (*build)(const GrayImage&, float, float, PreparedPatch&);
  bool (*residual)(const float*, const GrayImage&, const float*, const float*, float*);
  AlignOutcome (*align)(const PreparedPatch&, const GrayImage&, Transform&);
};

constexpr Kernels SSE2_KERNELS{sse2::build_prepared, sse2::residual_at, sse2::align_prepared};
constexpr Kernels AVX2_KERNELS{avx2::build_prepared, avx2::residual_at, avx2::align_prepared};
constexpr Kernels AVX512_KERNELS{avx512::build_prepared, avx512::residual_at, avx512::align_prepared};

// Until the vector extensions have a patch-kernel variant of their own, the portable variant
// runs the plain reference code.
bool reference_build(const GrayImage& image, float x, float y, PreparedPatch& out) {
  prepare(reference::build_patch(image, x, y), out);
  return out.valid;
}
bool reference_residual(const float* data, const GrayImage& image, const float* xs, const float* ys,
                        float* r) {
  Patch patch;
  PatchPoints points;
  for (int i = 0; i < PATCH_SIZE; ++i) {
    const auto u = static_cast<std::size_t>(i);
    patch.data[u] = data[i];
    points[u] = {xs[i], ys[i]};
  }
  const std::optional<Residuals> out = reference::patch_residual(patch, image, points);
  if (!out) return false;
  std::memcpy(r, out->data(), sizeof *out);
  for (int i = PATCH_SIZE; i < PADDED_SIZE; ++i) r[i] = 0.0f;
  return true;
}
AlignOutcome reference_align(const PreparedPatch& patch, const GrayImage& image, Transform& warp) {
  return reference::align_level(unprepare(patch, 0.0f, 0.0f), image, warp);
}
constexpr Kernels REFERENCE_KERNELS{reference_build, reference_residual, reference_align};

const Kernels* kernels_for(Isa isa) {
  switch (isa) {
    case Isa::avx512:
      return &AVX512_KERNELS;
    case Isa::avx2:
      return &AVX2_KERNELS;
    case Isa::sse2:
      return &SSE2_KERNELS;
    case Isa::neon:
    case Isa::portable:
      break;
  }
  return &REFERENCE_KERNELS;
}

const Kernels& kernels() { return *kernels_for(current_isa()); }

// The vector code compares positions against float(size) - 2.5 and forms pixel offsets in
// 32-bit integers; both are exact below these sizes. Larger images take the plain code.
bool vector_friendly(const GrayImage& image) {
  constexpr std::uint32_t MAX_SIDE = 1u << 22;
  return image.width < MAX_SIDE && image.height < MAX_SIDE && image.size() < (std::size_t{1} << 31);
}

}  // namespace

bool build_prepared(const GrayImage& image, float x, float y, PreparedPatch& out) {
  if (vector_friendly(image)) return kernels().build(image, x, y, out);
  prepare(reference::build_patch(image, x, y), out);
  return out.valid;
}

AlignOutcome align_prepared(const PreparedPatch& patch, const GrayImage& image, Transform& warp) {
  if (vector_friendly(image)) return kernels().align(patch, image, warp);
  return reference::align_level(unprepare(patch, 0.0f, 0.0f), image, warp);
}

Patch build_patch(const GrayImage& image, float x, float y) {
  PreparedPatch prepared;
  build_prepared(image, x, y, prepared);
  return unprepare(prepared, x, y);
}

std::optional<Residuals> patch_residual(const Patch& patch, const GrayImage& image,
                                        const PatchPoints& points) {
  if (!vector_friendly(image)) return reference::patch_residual(patch, image, points);
  alignas(64) float data[PADDED_SIZE];
  alignas(64) float xs[PADDED_SIZE];
  alignas(64) float ys[PADDED_SIZE];
  alignas(64) float r[PADDED_SIZE];
  for (int i = 0; i < PADDED_SIZE; ++i) {
    const auto u = static_cast<std::size_t>(i);
    const bool used = i < PATCH_SIZE;
    data[i] = used ? patch.data[u] : -1.0f;
    xs[i] = used ? points[u].x : 0.0f;
    ys[i] = used ? points[u].y : 0.0f;
  }
  if (!kernels().residual(data, image, xs, ys, r)) return std::nullopt;
  Residuals out;
  std::memcpy(out.data(), r, sizeof out);
  return out;
}

AlignOutcome align_at_level(const Patch& patch, const GrayImage& image, Transform& warp) {
  // The vector loop has the pattern in pixels built in; any other scale takes the plain code.
  if (patch.pattern_scale_down != PATTERN_SCALE_DOWN || !vector_friendly(image)) {
    return reference::align_level(patch, image, warp);
  }
  PreparedPatch prepared;
  prepare(patch, prepared);
  return kernels().align(prepared, image, warp);
}

}  // namespace glent::simd
