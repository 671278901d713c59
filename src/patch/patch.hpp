#pragma once
// The patch of one point on one pyramid level and its alignment into another image: what
// tracking runs. Each instruction-set variant of these entry points gives the bits of the plain
// statement of the same arithmetic in patch_reference.hpp; the tests hold them to it.

#include <array>
#include <cstdint>

#include "common/transform.hpp"
#include "image_utilities/gray_image.hpp"

namespace glent {

inline constexpr int PATCH_SIZE = 52;
inline constexpr float PATTERN_SCALE_DOWN = 2.0f;
inline constexpr std::uint32_t PATCH_MARGIN = 2;
inline constexpr int MIN_RESIDUALS = 27;
inline constexpr int ITERATIONS_PER_LEVEL = 5;
inline constexpr float MAX_INCREMENT_NORM = 1e6f;

struct PatternOffset {
  float x;
  float y;
};

// Sampling offsets in half-pixel units: odd coordinates in -7..7 with x^2 + y^2 <= 58,
// rows from y = +7 down to y = -7, x ascending within a row.
inline constexpr std::array<PatternOffset, PATCH_SIZE> PATCH_PATTERN = {{
    // y = +7
    {-3, 7}, {-1, 7}, {1, 7}, {3, 7},
    // y = +5
    {-5, 5}, {-3, 5}, {-1, 5}, {1, 5}, {3, 5}, {5, 5},
    // y = +3
    {-7, 3}, {-5, 3}, {-3, 3}, {-1, 3}, {1, 3}, {3, 3}, {5, 3}, {7, 3},
    // y = +1
    {-7, 1}, {-5, 1}, {-3, 1}, {-1, 1}, {1, 1}, {3, 1}, {5, 1}, {7, 1},
    // y = -1
    {-7, -1}, {-5, -1}, {-3, -1}, {-1, -1}, {1, -1}, {3, -1}, {5, -1}, {7, -1},
    // y = -3
    {-7, -3}, {-5, -3}, {-3, -3}, {-1, -3}, {1, -3}, {3, -3}, {5, -3}, {7, -3},
    // y = -5
    {-5, -5}, {-3, -5}, {-1, -5}, {1, -5}, {3, -5}, {5, -5},
    // y = -7
    {-3, -7}, {-1, -7}, {1, -7}, {3, -7},
}};

// Pattern indices padded to whole vectors: seven groups of eight lanes.
inline constexpr int PADDED_SIZE = 56;

// The patch in the layout the alignment loop reads: the samples divided by their mean (-1 for
// a sample outside the image) and the three rows of H^-1 J^T, each a contiguous array padded
// with -1 (data) and 0 (h_inv_jt).
struct alignas(64) PreparedPatch {
  float data[PADDED_SIZE];
  float h_inv_jt[3][PADDED_SIZE];
  float mean;
  bool valid;
};

// What one level's alignment found. `unmeasured`: the very first residual was already absent
// (too few usable samples, e.g. a patch hanging over the image border), so the warp was never
// compared with the image and stays as it was.
enum class AlignOutcome { lost, unmeasured, aligned };

// Builds the patch around (x, y), in the coordinates of `image`; returns `out.valid`.
bool build_prepared(const GrayImage& image, float x, float y, PreparedPatch& out);

// Five Gauss-Newton iterations refining `warp` (linear part, and translation in the
// coordinates of `image`).
AlignOutcome align_prepared(const PreparedPatch& patch, const GrayImage& image, Transform& warp);

// Two align_prepared calls on the same image; the results are those of the two calls.
void align_prepared_pair(const PreparedPatch& patch0, const PreparedPatch& patch1, const GrayImage& image,
                         Transform& warp0, Transform& warp1, AlignOutcome (&outcome)[2]);

}  // namespace glent
