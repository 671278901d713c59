#include "image_utilities/gray_image.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "common/fatal_error.hpp"
#include "common/numeric.hpp"

namespace glent {

GrayImage::GrayImage(std::uint32_t w, std::uint32_t h)
    : width(w), height(h), pixels(static_cast<std::size_t>(w) * h) {}

GrayImage::GrayImage(std::uint32_t w, std::uint32_t h, std::vector<std::uint8_t> data)
    : width(w), height(h), pixels(std::move(data)) {
  GLENT_CHECK(pixels.size() == static_cast<std::size_t>(w) * h,
              "image buffer of " + std::to_string(pixels.size()) + " bytes does not hold " +
                  std::to_string(w) + "x" + std::to_string(h) + " pixels");
}

std::uint8_t pixel_at(const GrayImage& image, std::uint32_t x, std::uint32_t y) {
  if (x >= image.width || y >= image.height) [[unlikely]] {
    GLENT_FATAL("Image index (" + std::to_string(x) + ", " + std::to_string(y) +
                ") out of bounds (" + std::to_string(image.width) + ", " +
                std::to_string(image.height) + ")");
  }
  return image.pixels[std::size_t{y} * image.width + x];
}

namespace {

// Source range and normalised triangle weights of one output sample.
struct Taps {
  std::size_t lo = 0;
  std::vector<float> weights;
};

float triangle(float t) {
  const float a = std::fabs(t);
  return a < 1.0f ? 1.0f - a : 0.0f;
}

// Taps of every output sample along one axis, source length n -> new length m (n, m > 0).
std::vector<Taps> triangle_taps(std::uint32_t n, std::uint32_t m) {
  const float ratio = static_cast<float>(n) / static_cast<float>(m);
  const float scale = std::max(ratio, 1.0f);
  const float support = 1.0f * scale;
  const std::int64_t last = static_cast<std::int64_t>(n) - 1;
  std::vector<Taps> all(m);
  for (std::uint32_t j = 0; j < m; ++j) {
    float centre = (static_cast<float>(j) + 0.5f) * ratio;
    const std::int64_t lo = std::clamp(saturate_to_i64(std::floor(centre - support)),
                                       std::int64_t{0}, last);
    const std::int64_t hi = std::clamp(saturate_to_i64(std::ceil(centre + support)), lo + 1,
                                       static_cast<std::int64_t>(n));
    centre = centre - 0.5f;
    Taps& taps = all[j];
    taps.lo = static_cast<std::size_t>(lo);
    taps.weights.reserve(static_cast<std::size_t>(hi - lo));
    float sum = 0.0f;
    for (std::int64_t i = lo; i < hi; ++i) {
      const float w = triangle((static_cast<float>(i) - centre) / scale);
      taps.weights.push_back(w);
      sum += w;
    }
    for (float& w : taps.weights) w = w / sum;
  }
  return all;
}

}  // namespace

GrayImage resize_triangle(const GrayImage& image, std::uint32_t new_width,
                          std::uint32_t new_height) {
  GrayImage out(new_width, new_height);
  if (image.empty() || out.empty()) return out;
  const std::size_t w = image.width;

  // Rows first: the intermediate is width x new_height floats, never rounded.
  const std::vector<Taps> row_taps = triangle_taps(image.height, new_height);
  std::vector<float> rows(w * new_height);
  for (std::uint32_t j = 0; j < new_height; ++j) {
    float* dst = rows.data() + std::size_t{j} * w;
    std::fill(dst, dst + w, 0.0f);
    const Taps& taps = row_taps[j];
    for (std::size_t k = 0; k < taps.weights.size(); ++k) {
      const std::uint8_t* src = image.row(static_cast<std::uint32_t>(taps.lo + k));
      const float weight = taps.weights[k];
      for (std::size_t x = 0; x < w; ++x) dst[x] += static_cast<float>(src[x]) * weight;
    }
  }

  // Then columns, accumulated in increasing source column per output pixel.
  const std::vector<Taps> column_taps = triangle_taps(image.width, new_width);
  for (std::uint32_t j = 0; j < new_height; ++j) {
    const float* src = rows.data() + std::size_t{j} * w;
    std::uint8_t* dst = out.row(j);
    for (std::uint32_t k = 0; k < new_width; ++k) {
      const Taps& taps = column_taps[k];
      float v = 0.0f;
      for (std::size_t i = 0; i < taps.weights.size(); ++i) v += src[taps.lo + i] * taps.weights[i];
      v = std::clamp(v, 0.0f, 255.0f);
      dst[k] = static_cast<std::uint8_t>(round_half_away(v));
    }
  }
  return out;
}

GrayImage halve_image(const GrayImage& image) {
  if (image.width % 2 == 0 && image.height % 2 == 0) return box_halve(image);
  return resize_triangle(image, image.width / 2, image.height / 2);
}

}  // namespace glent
