#include "tracker/pyramid.hpp"

#include <utility>

namespace glent {

const char* PyramidTooDeep::what() const noexcept {
  return "image pyramid deeper than 65536 levels requested";
}

Pyramid build_pyramid(GrayImage&& image, std::uint32_t levels) {
  if (levels > MAX_PYRAMID_LEVELS) throw PyramidTooDeep();
  const std::uint32_t count = levels == 0 ? 1 : levels;
  Pyramid pyramid;
  pyramid.reserve(count);
  pyramid.push_back(std::move(image));
  // Each level is made from the one just made, never from level 0 directly.
  for (std::uint32_t k = 1; k < count; ++k) pyramid.push_back(halve_image(pyramid.back()));
  return pyramid;
}

Pyramid build_pyramid(const GrayImage& image, std::uint32_t levels) {
  if (levels > MAX_PYRAMID_LEVELS) throw PyramidTooDeep();
  return build_pyramid(GrayImage(image), levels);
}

}  // namespace glent
