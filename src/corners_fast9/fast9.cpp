#include "corners_fast9/fast9.hpp"
#include "common/isa.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/fatal_error.hpp"

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace glent {

namespace {

// Offsets of the 16 circle pixels from the centre; index 0 is straight above and the order runs
// clockwise on screen (y grows downwards).
constexpr std::array<int, 16> CIRCLE_DX = {0, 1, 2, 3, 3, 3, 2, 1, 0, -1, -2, -3, -3, -3, -2, -1};
constexpr std::array<int, 16> CIRCLE_DY = {-3, -3, -2, -1, 0, 1, 2, 3, 3, 3, 2, 1, 0, -1, -2, -3};

// The order in which is_fast9_corner reads the circle: the four compass pixels (top, bottom,
// right, left) first, then the other twelve only if the compass test passes.
constexpr std::array<int, 4> COMPASS_READ_ORDER = {0, 8, 4, 12};
constexpr std::array<int, 12> OTHER_READ_ORDER = {1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15};

constexpr std::uint32_t CIRCLE_RADIUS = 3;
constexpr std::uint32_t MIN_SIDE = 2 * CIRCLE_RADIUS + 1;
constexpr int ARC_LENGTH = 9;

// Pixel (x + dx, y + dy) computed in unsigned 32-bit arithmetic: a step left of column 0 gives
// 4294967295, which pixel_at then reports as out of bounds.
std::uint8_t circle_pixel(const GrayImage& image, std::uint32_t x, std::uint32_t y, int index) {
  const auto i = static_cast<std::size_t>(index);
  return pixel_at(image, x + static_cast<std::uint32_t>(CIRCLE_DX[i]),
                  y + static_cast<std::uint32_t>(CIRCLE_DY[i]));
}

// True when the 16 flags hold at least ARC_LENGTH cyclically consecutive set entries. The run
// still open at the end is joined with the run that started at index 0.
bool has_arc(const std::array<bool, 16>& flags) {
  int leading = -1;  // length of the run starting at index 0, once it has ended
  int run = 0;
  for (std::size_t i = 0; i < flags.size(); ++i) {
    if (flags[i]) {
      ++run;
      if (run >= ARC_LENGTH) return true;
    } else {
      if (leading < 0) leading = run;
      run = 0;
    }
  }
  // leading < 0 would mean all 16 were set, which already returned above.
  return leading >= 0 && run + leading >= ARC_LENGTH;
}

// The centre intensity and its 16 circle intensities, as signed 16-bit values so that c + t and
// c - t are formed without clamping.
struct CircleValues {
  std::int16_t centre;
  std::array<std::int16_t, 16> ring;
};

bool brighter_arc(const CircleValues& v, int threshold) {
  const int limit = v.centre + threshold;
  std::array<bool, 16> flags{};
  for (std::size_t i = 0; i < 16; ++i) flags[i] = v.ring[i] > limit;
  return has_arc(flags);
}

bool darker_arc(const CircleValues& v, int threshold) {
  const int limit = v.centre - threshold;
  std::array<bool, 16> flags{};
  for (std::size_t i = 0; i < 16; ++i) flags[i] = v.ring[i] < limit;
  return has_arc(flags);
}

// Largest t' in [threshold, 255] at which the segment test still passes, by binary search.
// hi + lo reaches 510, so the midpoint is formed in unsigned int, not in a byte.
template <typename IsCorner>
std::uint8_t search_score(std::uint8_t threshold, IsCorner&& is_corner) {
  unsigned lo = threshold;
  unsigned hi = 255;
  while (hi != lo) {
    const unsigned mid = (hi == lo + 1) ? hi : (hi + lo) / 2;
    if (is_corner(static_cast<std::uint8_t>(mid))) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  return static_cast<std::uint8_t>(hi);
}

// Rows y - 3 ... y + 3 of the image, for raw reads once the caller has decided that every
// circle of the row lies inside the image.
struct RowWindow {
  std::array<const std::uint8_t*, 7> rows;

  RowWindow(const GrayImage& image, std::uint32_t y) {
    for (std::uint32_t k = 0; k < 7; ++k) rows[k] = image.row(y - CIRCLE_RADIUS + k);
  }
};

bool too_small(const GrayImage& image) {
  return image.width < MIN_SIDE || image.height < MIN_SIDE;
}

}  // namespace

bool is_fast9_corner(const GrayImage& image, std::uint8_t threshold, std::uint32_t x,
                     std::uint32_t y) {
  CircleValues v{};
  v.centre = pixel_at(image, x, y);
  for (const int i : COMPASS_READ_ORDER) {
    v.ring[static_cast<std::size_t>(i)] = circle_pixel(image, x, y, i);
  }
  const int bright_limit = v.centre + threshold;
  const int dark_limit = v.centre - threshold;
  const auto bright = [&](int i) { return v.ring[static_cast<std::size_t>(i)] > bright_limit; };
  const auto dark = [&](int i) { return v.ring[static_cast<std::size_t>(i)] < dark_limit; };

  // Any 9 consecutive circle indices include one vertical and one horizontal compass pixel.
  const bool bright_possible = (bright(0) || bright(8)) && (bright(4) || bright(12));
  const bool dark_possible = (dark(0) || dark(8)) && (dark(4) || dark(12));
  if (!bright_possible && !dark_possible) return false;

  for (const int i : OTHER_READ_ORDER) {
    v.ring[static_cast<std::size_t>(i)] = circle_pixel(image, x, y, i);
  }
  if (bright_possible && brighter_arc(v, threshold)) return true;
  return dark_possible && darker_arc(v, threshold);
}

std::uint8_t fast9_score(const GrayImage& image, std::uint8_t threshold, std::uint32_t x,
                         std::uint32_t y) {
  return search_score(threshold,
                      [&](std::uint8_t t) { return is_fast9_corner(image, t, x, y); });
}

std::vector<Corner> fast9_detect_plain(const GrayImage& image, std::uint8_t threshold) {
  std::vector<Corner> corners;
  if (too_small(image)) return corners;
  for (std::uint32_t y = CIRCLE_RADIUS; y + CIRCLE_RADIUS < image.height; ++y) {
    for (std::uint32_t x = CIRCLE_RADIUS; x + CIRCLE_RADIUS < image.width; ++x) {
      if (is_fast9_corner(image, threshold, x, y)) {
        corners.push_back(Corner{x, y, static_cast<float>(fast9_score(image, threshold, x, y))});
      }
    }
  }
  return corners;
}

#if defined(__SSE2__) && defined(__x86_64__)

namespace {

constexpr std::uint32_t LANES = 8;

// Sixteen lane masks, one per circle index (a plain array: std::array would drop the vector
// type's alignment attributes).
struct LaneFlags {
  __m128i at[16];
};

// Eight consecutive bytes starting at p, widened to 16-bit lanes.
inline __m128i load8_u16(const std::uint8_t* p) {
  std::int64_t bits;
  std::memcpy(&bits, p, sizeof bits);
  return _mm_unpacklo_epi8(_mm_cvtsi64_si128(bits), _mm_setzero_si128());
}

// Per lane: true when the 16 flags hold a cyclic run of 9. Runs of 2, 4 and 8 are built by
// doubling, and a run of 9 starting at i is the run of 8 at i plus flag i + 8.
inline __m128i arc_network(const LaneFlags& f) {
  LaneFlags run2;
  LaneFlags run4;
  for (std::size_t i = 0; i < 16; ++i) run2.at[i] = _mm_and_si128(f.at[i], f.at[(i + 1) & 15]);
  for (std::size_t i = 0; i < 16; ++i) {
    run4.at[i] = _mm_and_si128(run2.at[i], run2.at[(i + 2) & 15]);
  }
  __m128i any = _mm_setzero_si128();
  for (std::size_t i = 0; i < 16; ++i) {
    const __m128i run8 = _mm_and_si128(run4.at[i], run4.at[(i + 4) & 15]);
    any = _mm_or_si128(any, _mm_and_si128(run8, f.at[(i + 8) & 15]));
  }
  return any;
}

// Per lane: the largest, over the 16 arcs of 9, of the smallest value on the arc (the same
// doubling as arc_network, with min for "and" and max for "or").
inline __m128i best_arc_minimum(const LaneFlags& v) {
  LaneFlags min2;
  LaneFlags min4;
  for (std::size_t i = 0; i < 16; ++i) min2.at[i] = _mm_min_epi16(v.at[i], v.at[(i + 1) & 15]);
  for (std::size_t i = 0; i < 16; ++i) {
    min4.at[i] = _mm_min_epi16(min2.at[i], min2.at[(i + 2) & 15]);
  }
  __m128i best = _mm_set1_epi16(-32768);
  for (std::size_t i = 0; i < 16; ++i) {
    const __m128i min8 = _mm_min_epi16(min4.at[i], min4.at[(i + 4) & 15]);
    best = _mm_max_epi16(best, _mm_min_epi16(min8, v.at[(i + 8) & 15]));
  }
  return best;
}

// One bit per lane (bit j for lane j) of a 16-bit lane mask.
inline unsigned lane_bits(__m128i mask) {
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(mask, _mm_setzero_si128())));
}

// Tests the eight centres x0 ... x0 + 7 of the row and appends the corners among them.
// The caller guarantees x0 >= 3 and x0 + 7 + 3 < width.
void detect_block(const RowWindow& window, std::uint32_t x0, std::uint32_t y, __m128i t,
                  std::vector<Corner>& corners) {
  const auto at = [&](std::size_t i) {
    const auto r = static_cast<std::size_t>(static_cast<int>(CIRCLE_RADIUS) + CIRCLE_DY[i]);
    const auto col = static_cast<std::size_t>(static_cast<std::int64_t>(x0) + CIRCLE_DX[i]);
    return load8_u16(window.rows[r] + col);
  };
  const __m128i c = load8_u16(window.rows[CIRCLE_RADIUS] + x0);
  const __m128i bright_limit = _mm_add_epi16(c, t);
  const __m128i dark_limit = _mm_sub_epi16(c, t);

  LaneFlags bright;
  LaneFlags dark;
  const auto classify = [&](std::size_t i) {
    const __m128i p = at(i);
    bright.at[i] = _mm_cmpgt_epi16(p, bright_limit);
    dark.at[i] = _mm_cmplt_epi16(p, dark_limit);
  };

  // Every run of 9 contains index 0 or index 8.
  classify(0);
  classify(8);
  const __m128i bright_vertical = _mm_or_si128(bright.at[0], bright.at[8]);
  const __m128i dark_vertical = _mm_or_si128(dark.at[0], dark.at[8]);
  if (lane_bits(_mm_or_si128(bright_vertical, dark_vertical)) == 0) return;

  // ... and also index 4 or index 12, with the same polarity.
  classify(4);
  classify(12);
  const __m128i bright_ok =
      _mm_and_si128(bright_vertical, _mm_or_si128(bright.at[4], bright.at[12]));
  const __m128i dark_ok = _mm_and_si128(dark_vertical, _mm_or_si128(dark.at[4], dark.at[12]));
  if (lane_bits(_mm_or_si128(bright_ok, dark_ok)) == 0) return;

  for (const int i : OTHER_READ_ORDER) classify(static_cast<std::size_t>(i));
  unsigned hits = lane_bits(_mm_or_si128(arc_network(bright), arc_network(dark)));
  if (hits == 0) return;

  // Scores of all eight lanes at once, without the binary search of fast9_score. A pixel is a
  // corner at t' when some arc of 9 has its smallest contrast (p - c for brighter, c - p for
  // darker) above t'; that is monotone in t', so the search ends at the largest smallest contrast
  // over the arcs and both polarities, minus one. For a corner lane this lies in
  // [threshold, 254], so it is the very byte the search returns. Non-corner lanes are dropped.
  LaneFlags brighter_contrast;
  LaneFlags darker_contrast;
  for (std::size_t i = 0; i < 16; ++i) {
    const __m128i p = at(i);
    brighter_contrast.at[i] = _mm_sub_epi16(p, c);
    darker_contrast.at[i] = _mm_sub_epi16(c, p);
  }
  const __m128i best = _mm_max_epi16(best_arc_minimum(brighter_contrast),
                                     best_arc_minimum(darker_contrast));
  alignas(16) std::int16_t scores[LANES];
  _mm_store_si128(reinterpret_cast<__m128i*>(scores),
                  _mm_sub_epi16(best, _mm_set1_epi16(1)));
  while (hits != 0) {
    const auto lane = static_cast<std::uint32_t>(__builtin_ctz(hits));
    hits &= hits - 1;
    corners.push_back(Corner{x0 + lane, y, static_cast<float>(scores[lane])});
  }
}

}  // namespace

std::vector<Corner> fast9_detect_sse2(const GrayImage& image, std::uint8_t threshold) {
  std::vector<Corner> corners;
  if (too_small(image)) return corners;
  const __m128i t = _mm_set1_epi16(static_cast<std::int16_t>(threshold));
  // Centres run from 3 to last_x = width - 4 (width >= 7 here); a block of eight starting at
  // x0 fits while x0 + 7 <= last_x.
  const std::uint32_t last_x = image.width - CIRCLE_RADIUS - 1;
  for (std::uint32_t y = CIRCLE_RADIUS; y + CIRCLE_RADIUS < image.height; ++y) {
    const RowWindow window(image, y);
    std::uint32_t x = CIRCLE_RADIUS;
    for (; x + (LANES - 1) <= last_x; x += LANES) detect_block(window, x, y, t, corners);
    for (; x <= last_x; ++x) {
      if (is_fast9_corner(image, threshold, x, y)) {
        corners.push_back(Corner{x, y, static_cast<float>(fast9_score(image, threshold, x, y))});
      }
    }
  }
  return corners;
}

std::vector<Corner> fast9_detect(const GrayImage& image, std::uint8_t threshold) {
  const simd::Isa isa = simd::current_isa();
  if ((isa == simd::Isa::avx2 || isa == simd::Isa::avx512) && fast9_avx2_supported()) {
    return fast9_detect_avx2(image, threshold);
  }
  return fast9_detect_sse2(image, threshold);
}

#else  // not x86-64: the reference detector serves for every entry

bool fast9_avx2_supported() { return false; }

std::vector<Corner> fast9_detect_avx2(const GrayImage&, std::uint8_t) {
  GLENT_FATAL("fast9_detect_avx2 called on a processor without AVX2");
}

std::vector<Corner> fast9_detect_sse2(const GrayImage& image, std::uint8_t threshold) {
  return fast9_detect_plain(image, threshold);
}

std::vector<Corner> fast9_detect(const GrayImage& image, std::uint8_t threshold) {
  return fast9_detect_plain(image, threshold);
}

#endif

}  // namespace glent
