#pragma once
// Track ids and point maps: what the trackers keep per track and what they report.

#include <cstdint>
#include <vector>

#include "common/transform.hpp"

namespace glent {

using TrackId = std::uint64_t;

// One entry of a point map.
struct TrackedPoint {
  TrackId id;
  Transform transform;

  friend bool operator==(const TrackedPoint&, const TrackedPoint&) = default;
};

// A point map: kept sorted by ascending id, so iteration order (and with it every result the
// trackers report) is deterministic; lookup and removal are binary searches.
using PointMap = std::vector<TrackedPoint>;

// A reported point: (x, y) in level-0 pixels.
struct Point {
  float x;
  float y;

  friend bool operator==(const Point&, const Point&) = default;
};

struct ReportedPoint {
  TrackId id;
  Point point;

  friend bool operator==(const ReportedPoint&, const ReportedPoint&) = default;
};

}  // namespace glent
