#include "tracker/track_point.hpp"

#include <cstdint>
#include <type_traits>

#include "common/fatal_error.hpp"
#include "common/numeric.hpp"
#include "patch/patch.hpp"
#include "patch/patch_reference.hpp"

namespace glent {

namespace {

// The vector kernels, on patches kept in the layout their loops read.
struct FastKernels {
  using PatchType = PreparedPatch;
  static bool build(const GrayImage& image, float x, float y, PatchType& patch) {
    return build_prepared(image, x, y, patch);
  }
  static AlignOutcome align(const PatchType& patch, const GrayImage& image, Transform& warp) {
    return align_prepared(patch, image, warp);
  }
  static void align_pair(const PatchType& patch0, const PatchType& patch1, const GrayImage& image,
                         Transform& warp0, Transform& warp1, AlignOutcome (&outcome)[2]) {
    align_prepared_pair(patch0, patch1, image, warp0, warp1, outcome);
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

// One point of a tracking run: where it starts (null: no point), the patches `given` for every
// level as build would make them on pyramid0 at the start (or null), where the patches built go
// (or null; all of them are there when the point survives), and the result. `given` and
// `built` may be the same array: every read of `given` comes before any build.
template <class Kernels>
struct Leg {
  using PatchType = typename Kernels::PatchType;
  const Transform* start = nullptr;
  const PatchType* given = nullptr;
  PatchType* built = nullptr;
  std::optional<Transform> result;
};

// Tracks P points (one, or two side by side) from pyramid0 into pyramid1; each leg's result is
// what tracking that point alone gives.
template <class Kernels, std::size_t P>
void track(const Pyramid& pyramid0, const Pyramid& pyramid1, Leg<Kernels> (&legs)[P]) {
  using PatchType = typename Kernels::PatchType;
  const auto levels = static_cast<std::uint32_t>(pyramid0.size());
  GLENT_CHECK(levels == static_cast<std::uint32_t>(pyramid1.size()),
              "assertion failed: levels == image_pyramid1.len() as u32");
  if (levels == 0) {
    for (Leg<Kernels>& leg : legs) {
      if (leg.start == nullptr) continue;
      Transform same = *leg.start;
      same.m[2] = 0.0f;
      same.m[5] = 0.0f;
      same.m[8] = 1.0f;
      leg.result = same;
    }
    return;
  }

  // The alignment state: linear part M (starts as the identity) and translation t in level-0
  // coordinates (starts at the point's position: zero motion as the first guess).
  Transform warp[P];
  bool live[P];
  for (std::size_t p = 0; p < P; ++p) {
    live[p] = legs[p].start != nullptr;
    if (!live[p]) continue;
    warp[p].m[6] = legs[p].start->tx();
    warp[p].m[7] = legs[p].start->ty();
  }
  const auto any_live = [&] {
    for (const bool l : live) {
      if (l) return true;
    }
    return false;
  };
  for (std::uint32_t level = levels; level-- > 0 && any_live();) {
    // 2^level without shifts; deep levels are 0x0 and lose the point before the scale matters.
    const float scale = pow2f(level);
    // The patch is always centred on the starting position, never on the current estimate.
    PatchType local[P];
    const PatchType* patch[P] = {};
    for (std::size_t p = 0; p < P; ++p) {
      if (!live[p]) continue;
      const Leg<Kernels>& leg = legs[p];
      if (leg.given != nullptr) {
        patch[p] = &leg.given[level];
        live[p] = patch[p]->valid;
      } else {
        PatchType& target = leg.built != nullptr ? leg.built[level] : local[p];
        live[p] = Kernels::build(pyramid0[level], leg.start->tx() / scale, leg.start->ty() / scale, target);
        patch[p] = &target;
      }
      if (!live[p]) continue;
      warp[p].m[6] = warp[p].m[6] / scale;
      warp[p].m[7] = warp[p].m[7] / scale;
    }
    AlignOutcome outcome[P];
    bool paired = false;
    if constexpr (P == 2) {
      paired = live[0] && live[1];
      if (paired) Kernels::align_pair(*patch[0], *patch[1], pyramid1[level], warp[0], warp[1], outcome);
    }
    for (std::size_t p = 0; p < P; ++p) {
      if (!live[p]) continue;
      if (!paired) outcome[p] = Kernels::align(*patch[p], pyramid1[level], warp[p]);
      // A point whose full-resolution patch never met enough of the target image (it hangs
      // over the border) was not followed at all: its unchanged position would pass the round
      // trip trivially, so it is lost rather than reported as a track that stood still.
      live[p] = outcome[p] != AlignOutcome::lost && !(level == 0 && outcome[p] == AlignOutcome::unmeasured);
      if (!live[p]) continue;
      warp[p].m[6] = warp[p].m[6] * scale;
      warp[p].m[7] = warp[p].m[7] * scale;
    }
  }

  // Linear part: (linear part of the input) * M; translation: t.
  for (std::size_t p = 0; p < P; ++p) {
    if (!live[p]) continue;
    const std::array<float, 9>& a = legs[p].start->m;
    const std::array<float, 9>& b = warp[p].m;
    Transform result;
    result.m = {a[0] * b[0] + a[3] * b[1], a[1] * b[0] + a[4] * b[1], 0.0f,
                a[0] * b[3] + a[3] * b[4], a[1] * b[3] + a[4] * b[4], 0.0f,
                b[6],                      b[7],                      1.0f};
    legs[p].result = result;
  }
}

// Forward, then back from the forward result, for P points side by side; out[p] as
// track_point_checked gives it for in[p].
template <class Kernels, std::size_t P>
void track_checked(const Pyramid& pyramid0, const Pyramid& pyramid1, const CheckedPoint (&in)[P],
                   std::optional<TrackedPoint> (&out)[P]) {
  Leg<Kernels> forward[P];
  for (std::size_t p = 0; p < P; ++p) {
    forward[p].start = &in[p].transform;
    if constexpr (std::is_same_v<Kernels, FastKernels>) forward[p].given = in[p].given;
    out[p].reset();
  }
  track(pyramid0, pyramid1, forward);
  Leg<Kernels> backward[P];
  bool any = false;
  for (std::size_t p = 0; p < P; ++p) {
    if (!forward[p].result) continue;
    backward[p].start = &*forward[p].result;
    if constexpr (std::is_same_v<Kernels, FastKernels>) backward[p].built = in[p].kept;
    any = true;
  }
  if (!any) return;
  track(pyramid1, pyramid0, backward);
  for (std::size_t p = 0; p < P; ++p) {
    if (!backward[p].result || !round_trip_recovered(in[p].transform, *backward[p].result)) continue;
    out[p] = TrackedPoint{in[p].id, *forward[p].result};
  }
}

template <class Kernels>
std::optional<Transform> track_one(const Pyramid& pyramid0, const Pyramid& pyramid1,
                                   const Transform& transform) {
  Leg<Kernels> legs[1];
  legs[0].start = &transform;
  track(pyramid0, pyramid1, legs);
  return legs[0].result;
}

template <class Kernels>
std::optional<TrackedPoint> track_checked_one(const Pyramid& pyramid0, const Pyramid& pyramid1,
                                              const CheckedPoint& point) {
  const CheckedPoint in[1] = {point};
  std::optional<TrackedPoint> out[1];
  track_checked<Kernels>(pyramid0, pyramid1, in, out);
  return out[0];
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
  return track_one<FastKernels>(pyramid0, pyramid1, transform);
}

std::optional<TrackedPoint> track_point_checked(const Pyramid& pyramid0, const Pyramid& pyramid1,
                                                TrackId id, const Transform& transform) {
  return track_checked_one<FastKernels>(pyramid0, pyramid1, CheckedPoint{id, transform});
}

std::optional<TrackedPoint> track_point_checked(const Pyramid& pyramid0, const Pyramid& pyramid1,
                                                TrackId id, const Transform& transform,
                                                const PreparedPatch* given,
                                                PreparedPatch* kept) {
  return track_checked_one<FastKernels>(pyramid0, pyramid1, CheckedPoint{id, transform, given, kept});
}

void track_points_checked(const Pyramid& pyramid0, const Pyramid& pyramid1, const CheckedPoint* in,
                          std::size_t count, std::optional<TrackedPoint>* out) {
  std::size_t i = 0;
  for (; i + 2 <= count; i += 2) {
    const CheckedPoint pair[2] = {in[i], in[i + 1]};
    std::optional<TrackedPoint> results[2];
    track_checked<FastKernels>(pyramid0, pyramid1, pair, results);
    out[i] = results[0];
    out[i + 1] = results[1];
  }
  if (i < count) out[i] = track_checked_one<FastKernels>(pyramid0, pyramid1, in[i]);
}

namespace reference {

std::optional<Transform> track_point(const Pyramid& pyramid0, const Pyramid& pyramid1,
                                     const Transform& transform) {
  return track_one<PlainKernels>(pyramid0, pyramid1, transform);
}

std::optional<TrackedPoint> track_point_checked(const Pyramid& pyramid0, const Pyramid& pyramid1,
                                                TrackId id, const Transform& transform) {
  return track_checked_one<PlainKernels>(pyramid0, pyramid1, CheckedPoint{id, transform});
}

}  // namespace reference
}  // namespace glent
