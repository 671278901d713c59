#include "image_utilities/gray_image.hpp"

#include "common/isa.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

unsigned box_mean(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t x) {
  const unsigned sum = unsigned{a[2 * x]} + a[2 * x + 1] + b[2 * x] + b[2 * x + 1];
  return (sum + 2) >> 2;
}

// One output row of the 2x2 mean from two input rows. The vector bodies use the same integer
// arithmetic as the scalar tail (16-bit sums of four bytes plus 2, shifted right by 2), so every
// path gives identical bytes.
using BoxRow = void (*)(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::uint32_t);

#if defined(__x86_64__)
void box_halve_row_sse2(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out,
                        std::uint32_t out_width) {
  std::uint32_t x = 0;
  const __m128i low_bytes = _mm_set1_epi16(0x00FF);
  const __m128i two = _mm_set1_epi16(2);
  for (; x + 16 <= out_width; x += 16) {
    __m128i sums[2];
    for (int half = 0; half < 2; ++half) {
      const std::size_t offset = 2 * std::size_t{x} + 16 * static_cast<std::size_t>(half);
      const __m128i ra = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + offset));
      const __m128i rb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + offset));
      __m128i s = _mm_add_epi16(_mm_and_si128(ra, low_bytes), _mm_srli_epi16(ra, 8));
      s = _mm_add_epi16(s, _mm_add_epi16(_mm_and_si128(rb, low_bytes), _mm_srli_epi16(rb, 8)));
      sums[half] = _mm_srli_epi16(_mm_add_epi16(s, two), 2);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(sums[0], sums[1]));
  }
  for (; x < out_width; ++x) out[x] = static_cast<std::uint8_t>(box_mean(a, b, x));
}

// The same with 32 outputs a step: pairwise byte sums by multiply-add with ones.
__attribute__((target("avx2"))) void box_halve_row_avx2(const std::uint8_t* a,
                                                          const std::uint8_t* b,
                                                          std::uint8_t* out,
                                                          std::uint32_t out_width) {
  std::uint32_t x = 0;
  const __m256i ones = _mm256_set1_epi8(1);
  const __m256i two = _mm256_set1_epi16(2);
  for (; x + 32 <= out_width; x += 32) {
    __m256i sums[2];
    for (int half = 0; half < 2; ++half) {
      const std::size_t offset = 2 * std::size_t{x} + 32 * static_cast<std::size_t>(half);
      const __m256i ra = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + offset));
      const __m256i rb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + offset));
      const __m256i s = _mm256_add_epi16(_mm256_maddubs_epi16(ra, ones),
                                         _mm256_maddubs_epi16(rb, ones));
      sums[half] = _mm256_srli_epi16(_mm256_add_epi16(s, two), 2);
    }
    // packus works within 128-bit lanes; restore the order of the 32 outputs.
    const __m256i packed = _mm256_packus_epi16(sums[0], sums[1]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x),
                        _mm256_permute4x64_epi64(packed, 0xD8));
  }
  box_halve_row_sse2(a + 2 * std::size_t{x}, b + 2 * std::size_t{x}, out + x, out_width - x);
}

BoxRow box_halve_row() {
  const simd::Isa isa = simd::current_isa();
  return isa == simd::Isa::avx2 || isa == simd::Isa::avx512 ? box_halve_row_avx2 : box_halve_row_sse2;
}
#else  // other targets: the scalar row (compilers vectorise this loop themselves)

void box_halve_row_plain(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out,
                         std::uint32_t out_width) {
  for (std::uint32_t x = 0; x < out_width; ++x) out[x] = static_cast<std::uint8_t>(box_mean(a, b, x));
}

BoxRow box_halve_row() { return box_halve_row_plain; }

#endif

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

GrayImage box_halve(const GrayImage& image) {
  GrayImage out(image.width / 2, image.height / 2);
  const BoxRow row = box_halve_row();
  for (std::uint32_t y = 0; y < out.height; ++y) {
    row(image.row(2 * y), image.row(2 * y + 1), out.row(y), out.width);
  }
  return out;
}

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
