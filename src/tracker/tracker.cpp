#include "tracker/tracker.hpp"

#include <algorithm>
#include <array>
#include <span>
#include <utility>
#include <vector>

#include "common/fatal_error.hpp"
#include "common/numeric.hpp"
#include "corners_fast9/grid_selection.hpp"
#include "tracker/point_map_tracking.hpp"

namespace glent {

namespace {

// New tracks start unrotated at the corner's integer position (exact as a float below 2^24).
Transform transform_at_corner(const Corner& corner) {
  return Transform::at(static_cast<float>(corner.x), static_cast<float>(corner.y));
}

// Removes the entries whose ids are listed (unknown or repeated ids are ignored) and returns
// which entries went (empty when none did). The map stays sorted by id: each id is found by
// binary search and marked, then the map is compacted once.
std::vector<bool> remove_ids(PointMap& points, std::span<const TrackId> ids) {
  if (points.empty() || ids.empty()) return {};
  std::vector<bool> doomed(points.size(), false);
  bool any = false;
  for (const TrackId id : ids) {
    const auto it = std::lower_bound(points.begin(), points.end(), id,
                                     [](const TrackedPoint& p, TrackId key) { return p.id < key; });
    if (it != points.end() && it->id == id) {
      doomed[static_cast<std::size_t>(it - points.begin())] = true;
      any = true;
    }
  }
  if (!any) return {};
  std::size_t kept = 0;
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (!doomed[i]) points[kept++] = points[i];
  }
  points.resize(kept);
  return doomed;
}

std::vector<ReportedPoint> report(const PointMap& points) {
  std::vector<ReportedPoint> out;
  out.reserve(points.size());
  for (const TrackedPoint& p : points) out.push_back({p.id, {p.transform.tx(), p.transform.ty()}});
  return out;
}

}  // namespace

std::vector<Corner> detect_new_points(const Pyramid& pyramid, const PointMap& tracked_points,
                                      std::uint32_t grid_size) {
  GLENT_CHECK(!pyramid.empty(), "detect_new_points needs a pyramid of at least one level");
  // A tracked point occupies the cell of its rounded position; rounding saturates, so points
  // left of or above the frame count as column or row 0.
  std::vector<Corner> existing;
  existing.reserve(tracked_points.size());
  for (const TrackedPoint& p : tracked_points) {
    existing.push_back({round_to_u32(p.transform.tx()), round_to_u32(p.transform.ty()), 0.0f});
  }
  const bool use_level1 = pyramid.size() >= 2;
  const GrayImage& detection = use_level1 ? pyramid[1] : pyramid[0];
  return select_new_corners(pyramid[0], detection, use_level1 ? 2u : 1u, grid_size, existing, 1);
}

namespace {

// One camera's share of a frame, built aside while the tracker's state stays as it was.
struct CameraFrame {
  Pyramid pyramid;
  PointMap points;                     // the tracks that go on, then the new ones
  std::vector<std::uint32_t> entries;  // their patch cache entries, entry for entry
};

// The frame pipeline of both trackers, for the N cameras of one: each camera's pyramid, each
// camera's tracks followed from its previous pyramid into the new one (on its own, and only
// once there is a previous pyramid: points added by hand before the first frame stay as given),
// new points detected on camera 0, then add_new_points(frames, corners, next_id) appends the new
// tracks and returns how many ids it handed out from next_id on.
//
// Every step that can fail runs before the tracker's state is touched; the new state is then
// put in place by moves that cannot fail, so a failed frame leaves the tracker as it was. The
// patch caches are the one exception: tracking rewrites their patches in place, so a frame that
// fails after that drops them all (the next frame builds its patches instead, with the same
// results).
template <std::size_t N, class AddNewPoints>
void run_frame(std::span<CameraState, N> cameras, std::span<GrayImage, N> images, std::uint32_t levels,
               std::uint32_t grid_size, TrackId& next_id, const AddNewPoints& add_new_points) {
  std::array<CameraFrame, N> frames;
  for (std::size_t c = 0; c < N; ++c) frames[c].pyramid = build_pyramid(std::move(images[c]), levels);
  try {
    for (std::size_t c = 0; c < N; ++c) {
      CameraState& camera = cameras[c];
      CameraFrame& frame = frames[c];
      if (!camera.previous_pyramid.empty()) {
        frame.points = camera.patches.track(camera.previous_pyramid, frame.pyramid,
                                            camera.tracked_points, frame.entries);
      } else {
        frame.points = camera.tracked_points;
        frame.entries.assign(camera.tracked_points.size(), PatchCache::NONE);
      }
    }
    const std::vector<Corner> corners = detect_new_points(frames[0].pyramid, frames[0].points, grid_size);
    const TrackId added = add_new_points(frames, corners, next_id);
    for (std::size_t c = 0; c < N; ++c) {
      cameras[c].tracked_points = std::move(frames[c].points);
      cameras[c].patches.commit(std::move(frames[c].entries));
      cameras[c].previous_pyramid = std::move(frames[c].pyramid);
    }
    next_id += added;
  } catch (...) {
    for (CameraState& camera : cameras) camera.patches.forget();
    throw;
  }
}

// Room for `count` more tracks in a camera's frame.
void reserve_more(CameraFrame& frame, std::size_t count) {
  frame.points.reserve(frame.points.size() + count);
  frame.entries.reserve(frame.entries.size() + count);
}

// Appends a new track, without kept patches. Ids are handed out above every live id, so
// appending keeps the map sorted.
void add_track(CameraFrame& frame, const TrackedPoint& point) {
  frame.points.push_back(point);
  frame.entries.push_back(PatchCache::NONE);
}

}  // namespace

void Tracker::process_frame(GrayImage image) {
  run_frame(std::span<CameraState, 1>(&camera_, 1), std::span<GrayImage, 1>(&image, 1), levels_,
            grid_size_, next_id_,
            [](std::array<CameraFrame, 1>& frames, const std::vector<Corner>& corners, TrackId first_id) {
              reserve_more(frames[0], corners.size());
              for (std::size_t k = 0; k < corners.size(); ++k) {
                add_track(frames[0], {first_id + k, transform_at_corner(corners[k])});
              }
              return TrackId{corners.size()};
            });
}

std::vector<ReportedPoint> Tracker::get_track_points() const { return report(camera_.tracked_points); }

void Tracker::add_points(std::span<const Point> points) {
  PointMap& tracked = camera_.tracked_points;
  tracked.reserve(tracked.size() + points.size());
  camera_.patches.reserve(tracked.size() + points.size());
  for (const Point& p : points) {
    tracked.push_back({next_id_, Transform::at(p.x, p.y)});
    ++next_id_;
  }
  camera_.patches.append(points.size());
}

void Tracker::remove_id(std::span<const TrackId> ids) {
  camera_.patches.erase(remove_ids(camera_.tracked_points, ids));
}

void StereoTracker::process_frame(GrayImage image0, GrayImage image1) {
  GrayImage images[2] = {std::move(image0), std::move(image1)};
  // New points come from the left image only, and only those found again in the right image
  // (left -> right -> left within the usual bound) are admitted, under one id in both cameras.
  // Candidates are keyed by their place in the detection list, so the matches come back
  // strongest first.
  run_frame(std::span<CameraState, 2>(cameras_), std::span<GrayImage, 2>(images), levels_,
            grid_size_, next_id_,
            [](std::array<CameraFrame, 2>& frames, const std::vector<Corner>& corners, TrackId first_id) {
              PointMap candidates;
              candidates.reserve(corners.size());
              for (std::size_t k = 0; k < corners.size(); ++k) {
                candidates.push_back({k, transform_at_corner(corners[k])});
              }
              const PointMap matched = track_point_map(frames[0].pyramid, frames[1].pyramid, candidates);
              for (CameraFrame& frame : frames) reserve_more(frame, matched.size());
              TrackId id = first_id;
              for (const TrackedPoint& match : matched) {
                GLENT_CHECK(match.id < candidates.size(), "stereo match of an unknown candidate");
                add_track(frames[0], {id, candidates[static_cast<std::size_t>(match.id)].transform});
                add_track(frames[1], {id, match.transform});
                ++id;
              }
              return TrackId{matched.size()};
            });
}

std::pair<std::vector<ReportedPoint>, std::vector<ReportedPoint>> StereoTracker::get_track_points()
    const {
  return {report(cameras_[0].tracked_points), report(cameras_[1].tracked_points)};
}

void StereoTracker::remove_id(std::span<const TrackId> ids) {
  for (CameraState& camera : cameras_) camera.patches.erase(remove_ids(camera.tracked_points, ids));
}

}  // namespace glent
