#pragma once
// The single-camera and stereo trackers.

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "corners_fast9/fast9.hpp"
#include "tracker/patch_cache.hpp"
#include "tracker/point_map.hpp"
#include "tracker/pyramid.hpp"

namespace glent {

// New points for a frame: FAST-9 on level 1 (level 0 for a one-level pyramid), one per grid
// cell not occupied by a tracked point, strongest first, in level-0 coordinates.
std::vector<Corner> detect_new_points(const Pyramid& pyramid, const PointMap& tracked_points,
                                      std::uint32_t grid_size);

// What a tracker keeps of one camera from one frame to the next.
struct CameraState {
  Pyramid previous_pyramid;  // empty until the first frame
  PointMap tracked_points;
  PatchCache patches;  // entry for entry with tracked_points
};

class Tracker {
 public:
  Tracker(std::uint32_t levels, std::uint32_t grid_size) : grid_size_(grid_size), levels_(levels) {}

  void process_frame(GrayImage image);
  // Live tracks in ascending id order.
  std::vector<ReportedPoint> get_track_points() const;
  void add_points(std::span<const Point> points);
  void remove_id(std::span<const TrackId> ids);

  std::size_t size() const { return camera_.tracked_points.size(); }
  std::uint32_t levels() const { return levels_; }
  std::uint32_t grid_size() const { return grid_size_; }
  TrackId next_id() const { return next_id_; }
  const PointMap& tracked_points() const { return camera_.tracked_points; }

 private:
  CameraState camera_;
  TrackId next_id_ = 0;
  std::uint32_t grid_size_;
  std::uint32_t levels_;
};

class StereoTracker {
 public:
  StereoTracker(std::uint32_t levels, std::uint32_t grid_size)
      : grid_size_(grid_size), levels_(levels) {}

  void process_frame(GrayImage image0, GrayImage image1);
  // Camera 0 and camera 1 tracks, each in ascending id order.
  std::pair<std::vector<ReportedPoint>, std::vector<ReportedPoint>> get_track_points() const;
  void remove_id(std::span<const TrackId> ids);

  std::size_t size() const { return cameras_[0].tracked_points.size(); }
  std::uint32_t levels() const { return levels_; }
  std::uint32_t grid_size() const { return grid_size_; }
  TrackId next_id() const { return next_id_; }
  const PointMap& tracked_points0() const { return cameras_[0].tracked_points; }
  const PointMap& tracked_points1() const { return cameras_[1].tracked_points; }

 private:
  CameraState cameras_[2];  // left (new points are detected there), right
  TrackId next_id_ = 0;
  std::uint32_t grid_size_;
  std::uint32_t levels_;
};

}  // namespace glent
