#include "image_utilities/sampling.hpp"

#include <algorithm>
#include <cmath>

#include "common/numeric.hpp"

namespace glent {

SampleGrad sample_with_gradient(const GrayImage& image, float x, float y) {
  const std::uint32_t x0 = saturate_to_u32(std::floor(x));
  const std::uint32_t y0 = saturate_to_u32(std::floor(y));
  // The twelve reads, in this order, so that a misuse names the first pixel outside.
  // Unsigned arithmetic: x0 - 1 for x0 = 0 is 4294967295, which pixel_at reports as such.
  const float i00 = pixel_at(image, x0, y0);
  const float i10 = pixel_at(image, x0 + 1, y0);
  const float i01 = pixel_at(image, x0, y0 + 1);
  const float i11 = pixel_at(image, x0 + 1, y0 + 1);
  const float im0 = pixel_at(image, x0 - 1, y0);
  const float im1 = pixel_at(image, x0 - 1, y0 + 1);
  const float i20 = pixel_at(image, x0 + 2, y0);
  const float i21 = pixel_at(image, x0 + 2, y0 + 1);
  const float i0m = pixel_at(image, x0, y0 - 1);
  const float i1m = pixel_at(image, x0 + 1, y0 - 1);
  const float i02 = pixel_at(image, x0, y0 + 2);
  const float i12 = pixel_at(image, x0 + 1, y0 + 2);

  const float fx = x - static_cast<float>(x0);
  const float fy = y - static_cast<float>(y0);
  const float w00 = (1.0f - fy) * (1.0f - fx);
  const float w01 = fy * (1.0f - fx);
  const float w10 = (1.0f - fy) * fx;
  const float w11 = fy * fx;
  // Bilinear blend, with the weights of (x, y), of the 2x2 block a = (i, j), b = (i, j + 1),
  // c = (i + 1, j), d = (i + 1, j + 1), summed in exactly this grouping.
  const auto blend = [&](float a, float b, float c, float d) {
    return ((w00 * a + w01 * b) + w10 * c) + w11 * d;
  };
  SampleGrad out;
  out.value = blend(i00, i01, i10, i11);
  out.gx = (blend(i10, i11, i20, i21) - blend(im0, im1, i00, i01)) * 0.5f;
  out.gy = (blend(i01, i02, i11, i12) - blend(i0m, i00, i1m, i10)) * 0.5f;
  return out;
}

std::optional<std::uint8_t> sample_bilinear(const GrayImage& image, float x, float y) {
  if (image.empty()) return std::nullopt;
  if (!(x >= 0.0f && x <= static_cast<float>(image.width - 1))) return std::nullopt;
  if (!(y >= 0.0f && y <= static_cast<float>(image.height - 1))) return std::nullopt;
  const std::uint32_t x0 = saturate_to_u32(std::floor(x));
  const std::uint32_t y0 = saturate_to_u32(std::floor(y));
  const std::uint32_t x1 = std::min(x0 + 1, image.width - 1);
  const std::uint32_t y1 = std::min(y0 + 1, image.height - 1);
  const float fx = x - static_cast<float>(x0);
  const float fy = y - static_cast<float>(y0);
  const float ax = static_cast<float>(x0 + 1) - x;
  const float ay = static_cast<float>(y0 + 1) - y;
  const std::uint8_t* r0 = image.row(y0);
  const std::uint8_t* r1 = image.row(y1);
  const float v = ((static_cast<float>(r0[x0]) * (ax * ay) + static_cast<float>(r1[x0]) * (fy * ax)) +
                   static_cast<float>(r0[x1]) * (fx * ay)) +
                  static_cast<float>(r1[x1]) * (fx * fy);
  const float rounded = std::clamp(round_half_away(v), 0.0f, 255.0f);
  return static_cast<std::uint8_t>(rounded);
}

}  // namespace glent
