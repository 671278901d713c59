#include "tracker/track_point.hpp"

#include <cstdint>

#include "common/fatal_error.hpp"
#include "common/numeric.hpp"
#include "patch/align.hpp"
#include "patch/patch.hpp"
#include "patch/patch_simd.hpp"
#include "patch/reference.hpp"

namespace glent {

namespace {

// The vector kernels, on patches kept in the layout their loops read.
struct FastKernels {
  using PatchType = simd::PreparedPatch;
  static bool build(const GrayImage& image, float x, float y, PatchType& patch) {
    return simd::build_prepared(image, x, y, patch);
  }
  static AlignOutcome align(const PatchType& patch, const GrayImage& image, Transform& warp) {
    return simd::align_prepared(patch, image, warp);
  }
};

struct PlainKernels {
  using PatchType = Patch;
  static bool build(const GrayImage& image, float x, float y, PatchType& patch) {
    patch = reference::build_patch(image, x, y);
    return patch.valid;
  }
  static AlignOutcome align(const PatchType& patch, const GrayImage& image, Transform& warp) {
    return reference::align_level(patch, image, warp);
  }
};

// `given`, when not null, holds the patches of every level as build would make them on pyramid0
// at the start; `built`, when not null, receives the patches built (all of them when the point
// survives). The two may be the same array: every read of `given` comes before any build.
template <class Kernels>
std::optional<Transform> track(const Pyramid& pyramid0, const Pyramid& pyramid1,
                               const Transform& transform,
                               const typename Kernels::PatchType* given = nullptr,
                               typename Kernels::PatchType* built = nullptr) {
  const auto levels = static_cast<std::uint32_t>(pyramid0.size());
  GLENT_CHECK(levels == static_cast<std::uint32_t>(pyramid1.size()),
              "assertion failed: levels == image_pyramid1.len() as u32");
  if (levels == 0) {
    Transform same = transform;
    same.m[2] = 0.0f;
    same.m[5] = 0.0f;
    same.m[8] = 1.0f;
    return same;
  }

  // The alignment state: linear part M (starts as the identity) and translation t in level-0
  // coordinates (starts at the point's position: zero motion as the first guess).
  Transform warp;
  warp.m[6] = transform.tx();
  warp.m[7] = transform.ty();
  for (std::uint32_t level = levels; level-- > 0;) {
    // 2^level without shifts; deep levels are 0x0 and lose the point before the scale matters.
    const float scale = pow2f(level);
    // The patch is always centred on the starting position, never on the current estimate.
    typename Kernels::PatchType local;
    const typename Kernels::PatchType* patch = &local;
    if (given != nullptr) {
      patch = &given[level];
      if (!patch->valid) return std::nullopt;
    } else {
      typename Kernels::PatchType& target = built != nullptr ? built[level] : local;
      if (!Kernels::build(pyramid0[level], transform.tx() / scale, transform.ty() / scale, target)) {
        return std::nullopt;
      }
      patch = &target;
    }
    warp.m[6] = warp.m[6] / scale;
    warp.m[7] = warp.m[7] / scale;
    const AlignOutcome outcome = Kernels::align(*patch, pyramid1[level], warp);
    if (outcome == AlignOutcome::lost) return std::nullopt;
    // A point whose full-resolution patch never met enough of the target image (it hangs over
    // the border) was not followed at all: its unchanged position would pass the round trip
    // trivially, so it is lost rather than reported as a track that stood still.
    if (level == 0 && outcome == AlignOutcome::unmeasured) return std::nullopt;
    warp.m[6] = warp.m[6] * scale;
    warp.m[7] = warp.m[7] * scale;
  }

  // Linear part: (linear part of the input) * M; translation: t.
  const std::array<float, 9>& a = transform.m;
  const std::array<float, 9>& b = warp.m;
  Transform result;
  result.m = {a[0] * b[0] + a[3] * b[1], a[1] * b[0] + a[4] * b[1], 0.0f,
              a[0] * b[3] + a[3] * b[4], a[1] * b[3] + a[4] * b[4], 0.0f,
              b[6],                      b[7],                      1.0f};
  return result;
}

template <class Kernels>
std::optional<TrackedPoint> track_checked(const Pyramid& pyramid0, const Pyramid& pyramid1,
                                          TrackId id, const Transform& transform,
                                          const typename Kernels::PatchType* given = nullptr,
                                          typename Kernels::PatchType* kept = nullptr) {
  const std::optional<Transform> forward = track<Kernels>(pyramid0, pyramid1, transform, given);
  if (!forward) return std::nullopt;
  const std::optional<Transform> backward =
      track<Kernels>(pyramid1, pyramid0, *forward, nullptr, kept);
  if (!backward) return std::nullopt;
  if (!round_trip_recovered(transform, *backward)) return std::nullopt;
  return TrackedPoint{id, *forward};
}

}  // namespace

bool round_trip_recovered(const Transform& start, const Transform& back) {
  const float dy = start.ty() - back.ty();
  const float dx = start.tx() - back.tx();
  // Strict, and false for NaN.
  return dy * dy + dx * dx < MAX_RECOVERED_DIST2;
}

std::optional<Transform> track_point(const Pyramid& pyramid0, const Pyramid& pyramid1,
                                     const Transform& transform) {
  return track<FastKernels>(pyramid0, pyramid1, transform);
}

std::optional<TrackedPoint> track_point_checked(const Pyramid& pyramid0, const Pyramid& pyramid1,
                                                TrackId id, const Transform& transform) {
  return track_checked<FastKernels>(pyramid0, pyramid1, id, transform);
}

std::optional<TrackedPoint> track_point_checked(const Pyramid& pyramid0, const Pyramid& pyramid1,
                                                TrackId id, const Transform& transform,
                                                const simd::PreparedPatch* given,
                                                simd::PreparedPatch* kept) {
  return track_checked<FastKernels>(pyramid0, pyramid1, id, transform, given, kept);
}

namespace reference {

std::optional<Transform> track_point(const Pyramid& pyramid0, const Pyramid& pyramid1,
                                     const Transform& transform) {
  return track<PlainKernels>(pyramid0, pyramid1, transform);
}

std::optional<TrackedPoint> track_point_checked(const Pyramid& pyramid0, const Pyramid& pyramid1,
                                                TrackId id, const Transform& transform) {
  return track_checked<PlainKernels>(pyramid0, pyramid1, id, transform);
}

}  // namespace reference
}  // namespace glent
