#pragma once
// The frames of the C++ tests: one texture, drawn with integer arithmetic only (no libm, no
// floats in the drawing), so that every machine renders the same bytes, and seen under any
// sub-pixel translation and small rotation, so that the true motion of every point is known.
//
// Header-only and free of GoogleTest, so that a tool can draw the frames too.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>

#include "image_utilities/gray_image.hpp"

namespace glent::testing {

inline std::uint32_t mix(std::uint32_t v) {
  v ^= v >> 16;
  v *= 0x7feb352du;
  v ^= v >> 15;
  v *= 0x846ca68bu;
  v ^= v >> 16;
  return v;
}

// Value noise over four octaves, cells of 32, 16, 8 and 4 pixels, weights 8, 4, 2 and 1: blobs,
// edges and corners at every pyramid scale. Each seed gives another texture. The lattice values
// are blended bilinearly, or, smooth, through a quintic fade (no kinks at the cell edges, so
// that a frame moved by a sub-pixel shift is what bilinear sampling of the unmoved one
// predicts, to a few hundredths of a pixel).
class Texture {
 public:
  enum class Blend { linear, smooth };

  explicit Texture(std::uint32_t seed = 0, Blend blend = Blend::smooth) : seed_(seed), blend_(blend) {}

  // Lattice value 0 .. 255 of octave `o` at integer lattice point (i, j).
  std::int64_t lattice(std::int64_t i, std::int64_t j, int o) const {
    const std::uint32_t row = static_cast<std::uint32_t>(j) +
                              0x632be5abu * static_cast<std::uint32_t>(o + 1) + 0x2545f491u * seed_;
    const auto h = mix(static_cast<std::uint32_t>(i) * 0x9e3779b1u ^ mix(row));
    return static_cast<std::int64_t>(h >> 24);
  }

  // Bilinear blend of the lattice of every octave at a position given in 1/256 pixel. Result
  // 0 .. 255 * 15 * 2^16.
  std::int64_t at(std::int64_t xq, std::int64_t yq) const {
    std::int64_t sum = 0;
    for (int o = 0; o < 4; ++o) {
      const int shift = 8 + 5 - o;  // 1/256 px -> lattice cells
      const std::int64_t cell = std::int64_t{1} << shift;
      const std::int64_t i = xq >> shift, j = yq >> shift;  // arithmetic shift: floor
      const std::int64_t fx = weight(((xq - i * cell) << 16) >> shift);  // 0 .. 65536
      const std::int64_t fy = weight(((yq - j * cell) << 16) >> shift);
      const std::int64_t top = lattice(i, j, o) * (65536 - fx) + lattice(i + 1, j, o) * fx;
      const std::int64_t bottom = lattice(i, j + 1, o) * (65536 - fx) + lattice(i + 1, j + 1, o) * fx;
      const std::int64_t v = (top * (65536 - fy) + bottom * fy) >> 16;  // 0 .. 255 * 2^16
      sum += v * (std::int64_t{8} >> o);
    }
    return sum;
  }

 private:
  // The weight of the far lattice value at fraction t (in 1/65536) of a cell.
  std::int64_t weight(std::int64_t t) const {
    if (blend_ == Blend::linear) return t;
    // 6 t^5 - 15 t^4 + 10 t^3, in 1/65536.
    const std::int64_t t3 = ((t * t >> 16) * t) >> 16;
    return t3 * ((t * (6 * t - 15 * 65536) >> 16) + 10 * 65536) >> 16;
  }

  std::uint32_t seed_;
  Blend blend_;
};

// How a frame sees the texture: frame pixel (x, y) shows the texture point
// zoom * (centre + R ((x, y) - centre) + shift), with R = [[c, s], [-s, c]], s the sine of the
// turn and c = 1 - s^2 / 2 its cosine to second order. Intensities are stretched by `contrast`
// around 128, scaled by `gain`, and get a sensor noise of -2 .. 2 when `noise` names a seed for
// it.
struct View {
  // The zoom of most test frames: texture cells of about 23, 11, 6 and 3 pixels.
  static constexpr std::int64_t TEST_ZOOM = 91750;

  std::int64_t shift_x = 0;   // in 1/256 pixel
  std::int64_t shift_y = 0;
  std::int64_t sine = 0;      // in 1/65536
  std::int64_t centre_x = 0;  // in 1/256 pixel
  std::int64_t centre_y = 0;
  std::int64_t zoom = TEST_ZOOM;  // texture units per pixel, in 1/65536
  std::int64_t contrast = 1;
  std::int64_t gain = 256;  // in 1/256
  std::optional<std::uint32_t> noise;
};

// The frame of width x height pixels that `view` shows; intensities 0 .. 255, clipped.
inline GrayImage draw(const Texture& texture, std::uint32_t width, std::uint32_t height,
                      const View& view) {
  GrayImage image(width, height);
  const std::int64_t s = view.sine;
  const std::int64_t c = 65536 - (s * s >> 17);
  for (std::uint32_t y = 0; y < height; ++y) {
    std::uint8_t* row = image.row(y);
    for (std::uint32_t x = 0; x < width; ++x) {
      const std::int64_t px = std::int64_t{x} * 256 - view.centre_x;
      const std::int64_t py = std::int64_t{y} * 256 - view.centre_y;
      const std::int64_t mx = ((c * px + s * py) >> 16) + view.centre_x + view.shift_x;
      const std::int64_t my = ((c * py - s * px) >> 16) + view.centre_y + view.shift_y;
      const std::int64_t v = texture.at(mx * view.zoom >> 16, my * view.zoom >> 16) / (15 * 65536);
      std::int64_t out = (128 + (v - 128) * view.contrast) * view.gain >> 8;
      if (view.noise) {
        const std::uint32_t h = mix(x * 7919u + y * 104729u + *view.noise * 15485863u);
        out += static_cast<std::int64_t>(h % 5u) - 2;
      }
      out = out < 0 ? 0 : (out > 255 ? 255 : out);
      row[x] = static_cast<std::uint8_t>(out);
    }
  }
  return image;
}

// A length in 1/256 pixel, rounded.
inline std::int64_t q8(double v) { return std::llround(v * 256.0); }

// The sine of a small angle (radians) in 1/65536, from its Taylor series (no libm).
inline std::int64_t sine_q16(double angle) {
  return std::llround((angle - angle * angle * angle / 6.0) * 65536.0);
}

// The frame in which every texture point p appears at centre + R(angle) (p - centre) + (dx, dy):
// the texture moved by that rigid motion (angle small, radians).
inline GrayImage render(const Texture& texture, std::uint32_t w, std::uint32_t h, double dx = 0.0,
                        double dy = 0.0, double angle = 0.0, double cx = 0.0, double cy = 0.0) {
  // Pixel q shows centre + R^T (q - centre) - R^T (dx, dy); R^T is the view's R.
  const std::int64_t s = sine_q16(angle);
  const double sn = static_cast<double>(s) / 65536.0;
  const double cs = static_cast<double>(65536 - (s * s >> 17)) / 65536.0;
  View view;
  view.shift_x = q8(-(cs * dx + sn * dy));
  view.shift_y = q8(-(cs * dy - sn * dx));
  view.sine = s;
  view.centre_x = q8(cx);
  view.centre_y = q8(cy);
  return draw(texture, w, h, view);
}

inline GrayImage uniform(std::uint32_t w, std::uint32_t h, std::uint8_t value) {
  GrayImage img(w, h);
  std::memset(img.pixels.data(), value, img.pixels.size());
  return img;
}

}  // namespace glent::testing
