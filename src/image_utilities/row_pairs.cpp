#include "image_utilities/row_pairs.hpp"

#include <cstring>

namespace glent {

namespace {

// Sixteen bytes as one vector (GNU vector extension: one register on every 64-bit target).
typedef std::uint8_t Bytes16 __attribute__((vector_size(16)));

#if defined(__clang__) || __GNUC__ >= 12
#define GLENT_INTERLEAVE(a, b, ...) __builtin_shufflevector(a, b, __VA_ARGS__)
#else
#define GLENT_INTERLEAVE(a, b, ...) __builtin_shuffle(a, b, Bytes16{__VA_ARGS__})
#endif

// out[2i] = upper[i], out[2i + 1] = lower[i] for i < n.
void interleave(const std::uint8_t* upper, const std::uint8_t* lower, std::uint8_t* out, std::size_t n) {
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    Bytes16 a, b;
    std::memcpy(&a, upper + i, 16);
    std::memcpy(&b, lower + i, 16);
    const Bytes16 low = GLENT_INTERLEAVE(a, b, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
    const Bytes16 high = GLENT_INTERLEAVE(a, b, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
    std::memcpy(out + 2 * i, &low, 16);
    std::memcpy(out + 2 * i + 16, &high, 16);
  }
  for (; i < n; ++i) {
    out[2 * i] = upper[i];
    out[2 * i + 1] = lower[i];
  }
}

}  // namespace

void interleave_rows(const GrayImage& image, RowPairs& out) {
  out.width = image.width;
  out.height = image.height;
  // Every byte is written below; a buffer of the right size is reused as it is.
  out.bytes.resize(2 * image.size());
  for (std::uint32_t y = 0; y < image.height; ++y) {
    const std::uint32_t below = y + 1 < image.height ? y + 1 : y;
    interleave(image.row(y), image.row(below), out.bytes.data() + 2 * (std::size_t{y} * image.width),
               image.width);
  }
}

RowPairs interleave_rows(const GrayImage& image) {
  RowPairs out;
  interleave_rows(image, out);
  return out;
}

void interleave_rows(const std::vector<GrayImage>& pyramid, PyramidRowPairs& out) {
  out.resize(pyramid.size());
  for (std::size_t level = 0; level < pyramid.size(); ++level) interleave_rows(pyramid[level], out[level]);
}

PyramidRowPairs interleave_rows(const std::vector<GrayImage>& pyramid) {
  PyramidRowPairs out;
  interleave_rows(pyramid, out);
  return out;
}

}  // namespace glent
