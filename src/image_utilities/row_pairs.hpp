#pragma once
// An image with every row interleaved with the row below it, for the bilinear reads of the
// alignment: the four pixels a sample with top-left pixel (x0, y0) reads, (x0, y0), (x0, y0 + 1),
// (x0 + 1, y0) and (x0 + 1, y0 + 1), are then four consecutive bytes, one 32-bit load instead
// of one per row.

#include <cstdint>
#include <vector>

#include "image_utilities/gray_image.hpp"

namespace glent {

struct RowPairs {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // 2 * width * height bytes: byte 2x of row y is pixel (x, y), byte 2x + 1 is pixel (x, y + 1);
  // the last row is paired with itself.
  std::vector<std::uint8_t> bytes;

  // The byte of pixel (x, y) paired with (x, y + 1).
  const std::uint8_t* at(std::uint32_t x, std::uint32_t y) const {
    return bytes.data() + 2 * (std::size_t{y} * width + x);
  }
};

RowPairs interleave_rows(const GrayImage& image);
// The same into `out`, whose buffer is reused when it has the size already (a fresh buffer of
// this size costs more in page faults than the interleaving itself).
void interleave_rows(const GrayImage& image, RowPairs& out);

// The row pairs of every level of a pyramid, level 0 first.
using PyramidRowPairs = std::vector<RowPairs>;
PyramidRowPairs interleave_rows(const std::vector<GrayImage>& pyramid);
void interleave_rows(const std::vector<GrayImage>& pyramid, PyramidRowPairs& out);

}  // namespace glent
