#include "corners_fast9/fast9.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>


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

}  // namespace glent
