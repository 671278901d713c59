#pragma once
// Image pyramids: level 0 the frame, each further level half the size of the one before.

#include <cstdint>
#include <new>
#include <vector>

#include "image_utilities/gray_image.hpp"

namespace glent {

using Pyramid = std::vector<GrayImage>;

// Deepest pyramid build_pyramid accepts. Past ~32 levels every frame is already 0x0; the cap
// keeps an absurd request from reserving gigabytes of empty levels. Larger requests throw
// PyramidTooDeep, which the Python layer raises as MemoryError.
inline constexpr std::uint32_t MAX_PYRAMID_LEVELS = 1u << 16;

struct PyramidTooDeep : std::bad_alloc {
  const char* what() const noexcept override;
};

// max(levels, 1) images: a copy of `image`, then halve_image of each level in turn.
Pyramid build_pyramid(const GrayImage& image, std::uint32_t levels);

// Same, taking the frame over instead of copying it.
Pyramid build_pyramid(GrayImage&& image, std::uint32_t levels);

}  // namespace glent
