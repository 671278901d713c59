#pragma once
// Inverse-compositional Gauss-Newton alignment of a patch under a rotation-plus-translation warp.

#include <array>
#include <optional>

#include "common/transform.hpp"
#include "image_utilities/gray_image.hpp"
#include "patch/patch.hpp"

namespace glent {

inline constexpr int MIN_RESIDUALS = 27;
inline constexpr int ITERATIONS_PER_LEVEL = 5;
inline constexpr float MAX_INCREMENT_NORM = 1e6f;

using Residuals = std::array<float, PATCH_SIZE>;
using PatchPoints = std::array<PatternOffset, PATCH_SIZE>;

// Residuals of the target samples at `points` (coordinates of `image`) against the patch,
// both mean-normalised; absent when the in-bounds target samples sum to less than EPSILON or
// fewer than MIN_RESIDUALS pairs are usable.
std::optional<Residuals> patch_residual(const Patch& patch, const GrayImage& image,
                                        const PatchPoints& points);

// The SE(2) exponential of (shift x, shift y, angle).
Transform se2_exp(float dx, float dy, float dtheta);

// Five iterations refining `warp` (linear part and translation in the coordinates of `image`);
// false when the point is lost.
bool align_at_level(const Patch& patch, const GrayImage& image, Transform& warp);

// What one level's alignment found. `unmeasured`: the very first residual was already absent
// (too few usable samples, e.g. a patch hanging over the image border), so the warp was never
// compared with the image and stays as it was.
enum class AlignOutcome { lost, unmeasured, aligned };

// align_at_level, telling an unmeasured level apart from an aligned one.
AlignOutcome align_level(const Patch& patch, const GrayImage& image, Transform& warp);

}  // namespace glent
