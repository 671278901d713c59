#include "tracker/tracker.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "common/fatal_error.hpp"
#include "common/numeric.hpp"
#include "corners_fast9/grid_selection.hpp"
#include "tracker/worker_pool.hpp"

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

// Every step that can fail runs before the tracker's state is touched; the new state is then
// put in place by moves that cannot fail, so a failed frame leaves the tracker as it was. The
// patch cache is the one exception: tracking rewrites its patches in place, so a frame that
// fails after that drops them all (the next frame builds its patches instead, with the same
// results).
void Tracker::process_frame(GrayImage image) {
  Pyramid pyramid = build_pyramid(std::move(image), levels_);
  try {
    // Before the first frame there is nothing to track from: points added by hand stay as given.
    std::optional<PointMap> tracked;
    std::vector<std::uint32_t> entries;
    if (!previous_pyramid_.empty()) {
      tracked = patches_.track(previous_pyramid_, pyramid, tracked_points_, entries);
    } else {
      entries.assign(tracked_points_.size(), PatchCache::NONE);
    }
    PointMap& points = tracked ? *tracked : tracked_points_;

    const std::vector<Corner> corners = detect_new_points(pyramid, points, grid_size_);
    entries.insert(entries.end(), corners.size(), PatchCache::NONE);
    // Ids are handed out above every live id, so appending keeps the map sorted.
    points.reserve(points.size() + corners.size());
    for (std::size_t k = 0; k < corners.size(); ++k) {
      points.push_back({next_id_ + k, transform_at_corner(corners[k])});
    }
    next_id_ += corners.size();
    if (tracked) tracked_points_ = std::move(*tracked);
    patches_.commit(std::move(entries));
    previous_pyramid_ = std::move(pyramid);
  } catch (...) {
    patches_.forget();
    throw;
  }
}

std::vector<ReportedPoint> Tracker::get_track_points() const { return report(tracked_points_); }

void Tracker::add_points(std::span<const Point> points) {
  tracked_points_.reserve(tracked_points_.size() + points.size());
  patches_.reserve(tracked_points_.size() + points.size());
  for (const Point& p : points) {
    tracked_points_.push_back({next_id_, Transform::at(p.x, p.y)});
    ++next_id_;
  }
  patches_.append(points.size());
}

void Tracker::remove_id(std::span<const TrackId> ids) {
  patches_.erase(remove_ids(tracked_points_, ids));
}

// As Tracker::process_frame, for both cameras' maps and caches.
void StereoTracker::process_frame(GrayImage image0, GrayImage image1) {
  Pyramid pyramid0 = build_pyramid(std::move(image0), levels_);
  Pyramid pyramid1 = build_pyramid(std::move(image1), levels_);
  try {
    // Each camera is followed over time on its own.
    std::optional<PointMap> tracked0;
    std::optional<PointMap> tracked1;
    std::vector<std::uint32_t> entries0;
    std::vector<std::uint32_t> entries1;
    if (!previous_pyramid0_.empty()) {
      tracked0 = patches0_.track(previous_pyramid0_, pyramid0, tracked_points0_, entries0);
      tracked1 = patches1_.track(previous_pyramid1_, pyramid1, tracked_points1_, entries1);
    } else {
      entries0.assign(tracked_points0_.size(), PatchCache::NONE);
      entries1.assign(tracked_points1_.size(), PatchCache::NONE);
    }
    PointMap points0 = tracked0 ? std::move(*tracked0) : tracked_points0_;
    PointMap points1 = tracked1 ? std::move(*tracked1) : tracked_points1_;

    // New points come from the left image only, and only those found again in the right image
    // (left -> right -> left within the usual bound) are admitted. Candidates are keyed by their
    // place in the detection list, so the matches come back strongest first.
    const std::vector<Corner> corners = detect_new_points(pyramid0, points0, grid_size_);
    PointMap candidates;
    candidates.reserve(corners.size());
    for (std::size_t k = 0; k < corners.size(); ++k) {
      candidates.push_back({k, transform_at_corner(corners[k])});
    }
    const PointMap matched = track_point_map(pyramid0, pyramid1, candidates);

    points0.reserve(points0.size() + matched.size());
    points1.reserve(points1.size() + matched.size());
    entries0.insert(entries0.end(), matched.size(), PatchCache::NONE);
    entries1.insert(entries1.end(), matched.size(), PatchCache::NONE);
    TrackId id = next_id_;
    for (const TrackedPoint& match : matched) {
      GLENT_CHECK(match.id < candidates.size(), "stereo match of an unknown candidate");
      points0.push_back({id, candidates[static_cast<std::size_t>(match.id)].transform});
      points1.push_back({id, match.transform});
      ++id;
    }

    tracked_points0_ = std::move(points0);
    tracked_points1_ = std::move(points1);
    patches0_.commit(std::move(entries0));
    patches1_.commit(std::move(entries1));
    next_id_ = id;
    previous_pyramid0_ = std::move(pyramid0);
    previous_pyramid1_ = std::move(pyramid1);
  } catch (...) {
    patches0_.forget();
    patches1_.forget();
    throw;
  }
}

std::pair<std::vector<ReportedPoint>, std::vector<ReportedPoint>> StereoTracker::get_track_points()
    const {
  return {report(tracked_points0_), report(tracked_points1_)};
}

void StereoTracker::remove_id(std::span<const TrackId> ids) {
  patches0_.erase(remove_ids(tracked_points0_, ids));
  patches1_.erase(remove_ids(tracked_points1_, ids));
}

}  // namespace glent
