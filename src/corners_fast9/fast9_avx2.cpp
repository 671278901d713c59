// The FAST-9 detector on 32 centres at a time, in AVX2 byte lanes.
//
// Each circle pixel p becomes two bytes: how far it lies above c + t and how far below c - t,
// both by saturating byte arithmetic:
//
//   above = max(p - min(c + t, 255), 0)      below = max(max(c - t, 0) - p, 0)
//
// `above` is nonzero exactly when p > c + t as signed integers: when c + t <= 255 this is the
// plain comparison, and when c + t > 255 neither side can hold (p never exceeds 255, and the
// saturated limit 255 is never exceeded either). `below` is the mirror image at 0. So a lane is
// a corner exactly when some arc of 9 has all its `above` nonzero, or all its `below` nonzero.
//
// Instead of a boolean run test, the largest over the 16 arcs of the smallest `above` (and the
// same for `below`) is formed with byte min and max. Where c + t <= 255, `above` is
// max(p - c - t, 0), so that largest minimum is max(M - t, 0), M being the largest smallest
// brighter contrast p - c over the arcs; where c + t > 255 both are 0 (p - c <= 255 - c < t).
// Likewise for the darker side. The lane is a corner exactly when the result is nonzero, and
// since the segment test at t' holds exactly when M > t' (M over both polarities), the binary
// search of fast9_score ends at M - 1 = result + t - 1. One network gives the decision and the
// score, with no pixel read twice.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/fatal_error.hpp"
#include "corners_fast9/fast9.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace glent {

#if defined(__x86_64__)

namespace {

constexpr std::uint32_t LANES = 32;
constexpr std::uint32_t ALL_LANES = 0xFFFFFFFFu;
constexpr std::uint32_t RADIUS = 3;
constexpr std::uint32_t WINDOW_ROWS = 2 * RADIUS + 1;

// The circle as (column offset, row of the seven-row window centred on the centre's row); index 0
// is straight above, clockwise on screen.
constexpr int CIRCLE_DX[16] = {0, 1, 2, 3, 3, 3, 2, 1, 0, -1, -2, -3, -3, -3, -2, -1};
constexpr int CIRCLE_ROW[16] = {0, 0, 1, 2, 3, 4, 5, 6, 6, 6, 5, 4, 3, 2, 1, 0};

// Rows y - 3 ... y + 3, each pointing at column 0.
struct Window {
  const std::uint8_t* rows[WINDOW_ROWS];
};

// Every function of this part carries the AVX2 target attribute (GCC and Clang both take
// it), so the rest of the program stays at the baseline instruction set.
#define GLENT_AVX2_INLINE inline __attribute__((always_inline, target("avx2")))
#define GLENT_AVX2_LAMBDA __attribute__((always_inline, target("avx2")))

GLENT_AVX2_INLINE __m256i load32(const std::uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Bit j set when byte j of v is nonzero.
GLENT_AVX2_INLINE std::uint32_t nonzero_lanes(__m256i v) {
  const __m256i zero = _mm256_cmpeq_epi8(v, _mm256_setzero_si256());
  return ~static_cast<std::uint32_t>(_mm256_movemask_epi8(zero));
}

// The 32 bytes of circle pixel `index` for the centres x0 ... x0 + 31.
GLENT_AVX2_INLINE __m256i circle_pixels(const Window& w, std::size_t x0, int index) {
  const auto i = static_cast<std::size_t>(index);
  return load32(w.rows[CIRCLE_ROW[i]] + static_cast<std::ptrdiff_t>(x0) + CIRCLE_DX[i]);
}

// Per lane: the largest, over the 16 arcs of 9, of the smallest byte on the arc. The circle is
// read as the 24 indices 0 ... 23 (index k + 16 is index k again) cut into pieces 0 ... 8,
// 9 ... 17 and 18 ... 23; the arc from i meets at most two neighbouring pieces, so its minimum
// is the minimum of i to the end of its piece with the start of the next piece up to i + 8.
GLENT_AVX2_INLINE __m256i best_arc_minimum(const __m256i (&v)[16]) {
  // suffix0[i] = min(v[i ... 8]); prefix1[k] = min(v[9 ... 9 + k]).
  __m256i suffix0[9];
  suffix0[8] = v[8];
  for (int i = 7; i >= 0; --i) {
    suffix0[i] = _mm256_min_epu8(v[i], suffix0[i + 1]);
  }
  __m256i prefix1[8];
  prefix1[0] = v[9];
  for (std::size_t k = 1; k < 8; ++k) {
    prefix1[k] = _mm256_min_epu8(prefix1[k - 1], v[(9 + k) & 15]);
  }
  // suffix1[k] = min(v[9 + k ... 17]); prefix2[k] = min(v[18 ... 18 + k]), indices mod 16.
  __m256i suffix1[9];
  suffix1[8] = v[1];
  for (int k = 7; k >= 0; --k) {
    suffix1[k] = _mm256_min_epu8(v[(9 + k) & 15], suffix1[k + 1]);
  }
  __m256i prefix2[6];
  prefix2[0] = v[2];
  for (std::size_t k = 1; k < 6; ++k) prefix2[k] = _mm256_min_epu8(prefix2[k - 1], v[2 + k]);

  __m256i best = _mm256_max_epu8(suffix0[0], suffix1[0]);  // the arcs from 0 and from 9
  for (std::size_t i = 1; i <= 8; ++i) {
    best = _mm256_max_epu8(best, _mm256_min_epu8(suffix0[i], prefix1[i - 1]));
  }
  for (std::size_t k = 1; k <= 6; ++k) {
    best = _mm256_max_epu8(best, _mm256_min_epu8(suffix1[k], prefix2[k - 1]));
  }
  return best;
}

// Tests the centres x0 + j of row y for the lanes j set in `lanes`, writes their corners to
// `out` in order of x and returns the end of what it wrote. Every circle of the 32 centres must
// lie inside the window's rows.
GLENT_AVX2_INLINE Corner* detect_block(const Window& w, std::uint32_t x0, std::uint32_t y,
                                       __m256i t, std::uint8_t threshold, std::uint32_t lanes,
                                       Corner* out) {
  const __m256i c = load32(w.rows[RADIUS] + x0);
  const __m256i bright_limit = _mm256_adds_epu8(c, t);
  const __m256i dark_limit = _mm256_subs_epu8(c, t);
  __m256i above[16];
  __m256i below[16];
  const auto classify = [&](int index) GLENT_AVX2_LAMBDA {
    const __m256i p = circle_pixels(w, x0, index);
    const auto i = static_cast<std::size_t>(index);
    above[i] = _mm256_subs_epu8(p, bright_limit);
    below[i] = _mm256_subs_epu8(dark_limit, p);
  };

  // Every arc of 9 holds index 0 or index 8, and index 4 or index 12: skip the block when no
  // lane has both with one polarity (an "or" of bytes is nonzero when either is, a min when both
  // are). Testing 0 and 8 alone first rejects too few blocks of 32 on photographs to pay.
  classify(0);
  classify(8);
  classify(4);
  classify(12);
  const __m256i bright_vertical = _mm256_or_si256(above[0], above[8]);
  const __m256i dark_vertical = _mm256_or_si256(below[0], below[8]);
  const __m256i bright_ok =
      _mm256_min_epu8(bright_vertical, _mm256_or_si256(above[4], above[12]));
  const __m256i dark_ok = _mm256_min_epu8(dark_vertical, _mm256_or_si256(below[4], below[12]));
  if ((nonzero_lanes(_mm256_or_si256(bright_ok, dark_ok)) & lanes) == 0) return out;

  for (const int i : {1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15}) classify(i);
  const __m256i best = _mm256_max_epu8(best_arc_minimum(above), best_arc_minimum(below));
  std::uint32_t hits = nonzero_lanes(best) & lanes;
  if (hits == 0) return out;

  alignas(32) std::uint8_t margins[LANES];
  _mm256_store_si256(reinterpret_cast<__m256i*>(margins), best);
  const int score_offset = int{threshold} - 1;
  while (hits != 0) {
    const auto lane = static_cast<std::uint32_t>(__builtin_ctz(hits));
    hits &= hits - 1;
    *out++ = Corner{x0 + lane, y, static_cast<float>(int{margins[lane]} + score_offset)};
  }
  return out;
}

// All corners of row y (3 <= y <= height - 4) of an image `width` >= 7 wide, written to `out`
// (room for width - 6 corners) in order of x; returns how many. Rows with at least 32 centres
// take blocks of 32 from x = 3 and end with one block flush with the last centre x = width - 4,
// counting only its centres not yet tested; narrower rows are copied into a zero-padded window.
__attribute__((noinline, target("avx2"))) std::size_t detect_row(const Window& w, std::uint32_t width,
                                                 std::uint32_t y, std::uint8_t threshold,
                                                 Corner* out) {
  const __m256i t = _mm256_set1_epi8(static_cast<char>(threshold));
  Corner* end = out;
  const std::uint32_t centres = width - 2 * RADIUS;
  if (centres >= LANES) {
    const std::uint32_t last_x = width - RADIUS - 1;
    std::uint32_t x = RADIUS;
    for (; x + (LANES - 1) <= last_x; x += LANES) {
      end = detect_block(w, x, y, t, threshold, ALL_LANES, end);
    }
    if (x <= last_x) {
      const std::uint32_t x0 = last_x - (LANES - 1);
      end = detect_block(w, x0, y, t, threshold, ALL_LANES << (x - x0), end);
    }
  } else {
    alignas(32) std::uint8_t padded[WINDOW_ROWS][LANES + 2 * RADIUS] = {};
    Window narrow{};
    for (std::uint32_t k = 0; k < WINDOW_ROWS; ++k) {
      std::memcpy(padded[k], w.rows[k], width);
      narrow.rows[k] = padded[k];
    }
    end = detect_block(narrow, RADIUS, y, t, threshold, (1u << centres) - 1, end);
  }
  return static_cast<std::size_t>(end - out);
}

#undef GLENT_AVX2_INLINE
#undef GLENT_AVX2_LAMBDA

}  // namespace

bool fast9_avx2_supported() {
  static const bool supported = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return supported;
}

std::vector<Corner> fast9_detect_avx2(const GrayImage& image, std::uint8_t threshold) {
  GLENT_CHECK(fast9_avx2_supported(), "fast9_detect_avx2 called on a processor without AVX2");
  std::vector<Corner> corners;
  if (image.width < WINDOW_ROWS || image.height < WINDOW_ROWS) return corners;
  // Each row's corners land here first, so that the vector code never grows a vector.
  std::vector<Corner> row_corners(image.width - 2 * RADIUS);
  // Room for one corner in eight centres, more than textured photographs give at threshold 10,
  // so that growing the list rarely copies it.
  corners.reserve(std::size_t{image.width - 2 * RADIUS} * (image.height - 2 * RADIUS) / 8);
  for (std::uint32_t y = RADIUS; y + RADIUS < image.height; ++y) {
    Window w{};
    for (std::uint32_t k = 0; k < WINDOW_ROWS; ++k) w.rows[k] = image.row(y - RADIUS + k);
    const std::size_t n = detect_row(w, image.width, y, threshold, row_corners.data());
    corners.insert(corners.end(), row_corners.begin(),
                   row_corners.begin() + static_cast<std::ptrdiff_t>(n));
  }
  return corners;
}

#else  // not x86-64: there is no AVX2 to dispatch to

bool fast9_avx2_supported() { return false; }

std::vector<Corner> fast9_detect_avx2(const GrayImage&, std::uint8_t) {
  GLENT_FATAL("fast9_detect_avx2 called on a processor without AVX2");
}

#endif

}  // namespace glent
