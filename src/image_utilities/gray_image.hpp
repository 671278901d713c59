#pragma once
// An 8-bit gray image that owns its pixels, and the operations that halve it.

#include <cstdint>
#include <vector>

namespace glent {

struct GrayImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // Exactly width * height bytes, row-major: pixel (x, y) is byte y * width + x.
  std::vector<std::uint8_t> pixels;

  GrayImage() = default;
  // A zero-filled image of the given size.
  GrayImage(std::uint32_t w, std::uint32_t h);
  // Takes over `data`, which must hold exactly w * h bytes (checked; a mismatch is fatal).
  GrayImage(std::uint32_t w, std::uint32_t h, std::vector<std::uint8_t> data);

  std::size_t size() const { return static_cast<std::size_t>(width) * height; }
  bool empty() const { return width == 0 || height == 0; }
  const std::uint8_t* row(std::uint32_t y) const { return pixels.data() + std::size_t{y} * width; }
  std::uint8_t* row(std::uint32_t y) { return pixels.data() + std::size_t{y} * width; }

  friend bool operator==(const GrayImage&, const GrayImage&) = default;
};

// Bounds-checked read of pixel (x, y). Outside the image it is a fatal error:
// "Image index (x, y) out of bounds (width, height)".
std::uint8_t pixel_at(const GrayImage& image, std::uint32_t x, std::uint32_t y);

// Exact 2x2 mean, (a + b + c + d + 2) >> 2, of an image; result floor(w/2) x floor(h/2).
GrayImage box_halve(const GrayImage& image);

// Separable triangle-filter resampling in single precision, rows first, to new_w x new_h.
GrayImage resize_triangle(const GrayImage& image, std::uint32_t new_width, std::uint32_t new_height);

// One pyramid step: box_halve when both sides are even, resize_triangle otherwise.
GrayImage halve_image(const GrayImage& image);

}  // namespace glent
