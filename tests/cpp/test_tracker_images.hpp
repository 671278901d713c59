#pragma once
// Synthetic camera frames for the tracker tests: a fixed, smooth multi-scale texture (blobs
// and edges of many sizes, like a natural scene) that can be viewed under any sub-pixel
// translation and rotation, so that the true motion of every point is known.

#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <tuple>
#include <vector>

#include "image_utilities/gray_image.hpp"

namespace glent::scene {

class Texture {
 public:
  explicit Texture(std::uint32_t seed = 7) {
    std::mt19937 rng(seed);
    for (Octave& o : octaves_) {
      o.values.resize(LATTICE * LATTICE);
      for (float& v : o.values) v = static_cast<float>(rng() % 10001u) / 10000.0f;
    }
  }

  // Intensity at a real position (any value; the texture repeats with a long period).
  double at(double x, double y) const {
    double sum = 0.0;
    double norm = 0.0;
    double cell = 48.0;
    double weight = 1.0;
    for (const Octave& o : octaves_) {
      sum += weight * lattice(o, x / cell, y / cell);
      norm += weight;
      cell /= 2.0;
      weight *= 0.6;
    }
    return sum / norm;
  }

  // A width x height frame showing the texture moved by (dx, dy) and turned by `angle`
  // (radians) about the frame centre: frame pixel (x, y) shows texture point R(p - c) + c - d.
  GrayImage frame(std::uint32_t width, std::uint32_t height, double dx = 0.0, double dy = 0.0,
                  double angle = 0.0) const {
    GrayImage image(width, height);
    const double cx = width / 2.0;
    const double cy = height / 2.0;
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    for (std::uint32_t y = 0; y < height; ++y) {
      for (std::uint32_t x = 0; x < width; ++x) {
        const double px = x - cx;
        const double py = y - cy;
        const double tx = c * px + s * py + cx - dx;
        const double ty = -s * px + c * py + cy - dy;
        // Stretch the contrast so that the texture spans most of the byte range.
        const double v = 128.0 + 420.0 * (at(tx, ty) - 0.5);
        image.row(y)[x] = static_cast<std::uint8_t>(std::lround(std::fmin(255.0, std::fmax(0.0, v))));
      }
    }
    return image;
  }

  // The same frame, made once and then handed out as copies (making one takes a while).
  GrayImage cached_frame(std::uint32_t width, std::uint32_t height, double dx = 0.0,
                         double dy = 0.0, double angle = 0.0) const {
    const auto key = std::make_tuple(width, height, dx, dy, angle);
    auto it = cache_.find(key);
    if (it == cache_.end()) it = cache_.emplace(key, frame(width, height, dx, dy, angle)).first;
    return it->second;
  }

 private:
  static constexpr std::uint32_t LATTICE = 64;
  struct Octave {
    std::vector<float> values;
  };

  static double smooth(double t) { return t * t * (3.0 - 2.0 * t); }

  static double lattice(const Octave& o, double u, double v) {
    const double fu = std::floor(u);
    const double fv = std::floor(v);
    const auto wrap = [](double f) {
      const auto i = static_cast<std::int64_t>(f) % static_cast<std::int64_t>(LATTICE);
      return static_cast<std::size_t>(i < 0 ? i + LATTICE : i);
    };
    const std::size_t i0 = wrap(fu);
    const std::size_t j0 = wrap(fv);
    const std::size_t i1 = (i0 + 1) % LATTICE;
    const std::size_t j1 = (j0 + 1) % LATTICE;
    const double a = smooth(u - fu);
    const double b = smooth(v - fv);
    const auto val = [&](std::size_t i, std::size_t j) { return double{o.values[j * LATTICE + i]}; };
    return (1 - b) * ((1 - a) * val(i0, j0) + a * val(i1, j0)) +
           b * ((1 - a) * val(i0, j1) + a * val(i1, j1));
  }

  Octave octaves_[5];
  mutable std::map<std::tuple<std::uint32_t, std::uint32_t, double, double, double>, GrayImage> cache_;
};

// A flat gray frame: no corners, no usable patch.
inline GrayImage uniform_frame(std::uint32_t width, std::uint32_t height, std::uint8_t value = 90) {
  return GrayImage(width, height, std::vector<std::uint8_t>(std::size_t{width} * height, value));
}

}  // namespace glent::scene
