#pragma once
// The vectorised patch kernels behind the public build_patch / patch_residual / align_at_level
// and behind track_point. They give results bit-identical to the plain versions in
// patch/reference.hpp; the tests hold every instruction-set variant to that.

#include <array>
#include <optional>

#include "common/isa.hpp"
#include "common/transform.hpp"
#include "image_utilities/gray_image.hpp"
#include "patch/align.hpp"
#include "patch/patch.hpp"

namespace glent::simd {

// Pattern indices padded to whole vectors: seven groups of eight lanes.
inline constexpr int PADDED_SIZE = 56;

// A patch in the layout the alignment loop reads: the normalised samples and the three rows
// of H^-1 J^T as contiguous, padded arrays (padding: data -1, h_inv_jt 0).
struct alignas(64) PreparedPatch {
  float data[PADDED_SIZE];
  float h_inv_jt[3][PADDED_SIZE];
  float mean;
  bool valid;
};

// A patch into the prepared layout and back (the padding as above); `pos` is not kept in the
// prepared layout, so unprepare takes it.
void prepare(const Patch& patch, PreparedPatch& out);
Patch unprepare(const PreparedPatch& prepared, float x, float y);

// build_patch into the prepared layout; returns `valid`.
bool build_prepared(const GrayImage& image, float x, float y, PreparedPatch& out);
// align_at_level on a prepared patch.
AlignOutcome align_prepared(const PreparedPatch& patch, const GrayImage& image, Transform& warp);
// Two align_prepared calls on the same image, computed side by side (the same results, in less
// time than one after the other).
void align_prepared_pair(const PreparedPatch& patch0, const PreparedPatch& patch1, const GrayImage& image,
                         Transform& warp0, Transform& warp1, AlignOutcome (&outcome)[2]);

// What align_prepared_pair does at the end of an iteration where it can: two points' increments
// applied at once, each exactly as apply_increment applies it (with `image`'s margin). False,
// with nothing changed, where the pair is not the common case this covers (or the instruction
// set has no such code); apply_increment then takes them one by one. Where true, inside[p]
// is what apply_increment returned for point p.
bool apply_increment_pair(const std::array<float, 3>& delta_a, const std::array<float, 3>& delta_b,
                          const GrayImage& image, Transform& warp_a, Transform& warp_b, bool (&inside)[2]);

Patch build_patch(const GrayImage& image, float x, float y);
std::optional<Residuals> patch_residual(const Patch& patch, const GrayImage& image,
                                        const PatchPoints& points);
AlignOutcome align_at_level(const Patch& patch, const GrayImage& image, Transform& warp);

}  // namespace glent::simd
