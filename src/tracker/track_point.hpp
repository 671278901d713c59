#pragma once
// Following one point from one pyramid into another, coarse to fine, with a backward check.

#include <cstddef>
#include <optional>

#include "common/transform.hpp"
#include "patch/patch.hpp"
#include "tracker/point_map.hpp"
#include "tracker/pyramid.hpp"

namespace glent {

inline constexpr float MAX_RECOVERED_DIST2 = 0.4f;

// Carries `transform` from pyramid0 into pyramid1; absent when the point is lost. Pyramids of
// different depth are a fatal error "assertion failed: levels == image_pyramid1.len() as u32".
std::optional<Transform> track_point(const Pyramid& pyramid0, const Pyramid& pyramid1,
                                     const Transform& transform);

// Tracks forward, then back; keeps the forward result when the round trip lands within
// squared distance MAX_RECOVERED_DIST2 (strictly) of the start.
std::optional<TrackedPoint> track_point_checked(const Pyramid& pyramid0, const Pyramid& pyramid1,
                                                TrackId id, const Transform& transform);

// Same, with patches kept from one frame to the next: `given` (or null) holds, for each level,
// the patch build_prepared makes on pyramid0 at the start's translation; `kept` (or null)
// receives one patch per level, those of the backward pass, built on pyramid1 at the forward
// result, all of them valid whenever the result is present. They may be the same array. The
// result is the same as without them.
std::optional<TrackedPoint> track_point_checked(const Pyramid& pyramid0, const Pyramid& pyramid1,
                                                TrackId id, const Transform& transform,
                                                const PreparedPatch* given,
                                                PreparedPatch* kept);

// One point for track_points_checked: as the arguments of track_point_checked above (`given`
// and `kept` null where there are no patches to read or keep).
struct CheckedPoint {
  TrackId id = 0;
  Transform transform;
  const PreparedPatch* given = nullptr;
  PreparedPatch* kept = nullptr;
};

// track_point_checked for in[0 .. count - 1], into out[0 .. count - 1], every result the same as
// that call's. The points go two at a time, side by side: one point's alignment alone leaves
// the vector units waiting on its chain of dependent steps, two keep them busier. A fatal error
// leaves the results of the points before the failing pair, at the least, in `out`.
void track_points_checked(const Pyramid& pyramid0, const Pyramid& pyramid1, const CheckedPoint* in,
                          std::size_t count, std::optional<TrackedPoint>* out);

// The survival test of the round trip: squared distance between the start and the back-tracked
// translation strictly below MAX_RECOVERED_DIST2 (false for NaN).
bool round_trip_recovered(const Transform& start, const Transform& back);

// The same two operations on the plain, scalar patch kernels; the tests hold the public (vector)
// versions to these bit for bit.
namespace reference {
std::optional<Transform> track_point(const Pyramid& pyramid0, const Pyramid& pyramid1,
                                     const Transform& transform);
std::optional<TrackedPoint> track_point_checked(const Pyramid& pyramid0, const Pyramid& pyramid1,
                                                TrackId id, const Transform& transform);
}  // namespace reference

}  // namespace glent
