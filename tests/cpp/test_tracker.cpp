// The single-camera tracker: ids, editing, occupancy, failure, and results that do not depend
// on the number of threads.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "common/fatal_error.hpp"
#include "common/numeric.hpp"
#include "corners_fast9/grid_selection.hpp"
#include "param_names.hpp"
#include "test_support.hpp"
#include "test_tracker_images.hpp"
#include "tracker/patch_cache.hpp"
#include "tracker/pyramid.hpp"
#include "tracker/tracker.hpp"
#include "tracker/worker_pool.hpp"

namespace glent {
namespace {

using glent::scene::Texture;

constexpr std::uint32_t W = 640;
constexpr std::uint32_t H = 480;

const Texture& texture() {
  static const Texture t;
  return t;
}

// Frame k of a slow pan with a slight turn: the texture moves by (0.9, -0.6) px per frame.
GrayImage pan_frame(int k, std::uint32_t w = W, std::uint32_t h = H) {
  return texture().cached_frame(w, h, 0.9 * k, -0.6 * k, 0.002 * k);
}

// Where a texture point seen at (x, y) in frame `from` appears in frame `to` of the pan.
Point true_position(Point p, int from, int to) {
  const int k = to - from;
  const double c = std::cos(0.002 * k);
  const double s = std::sin(0.002 * k);
  const double px = p.x - W / 2.0 + 0.9 * k;
  const double py = p.y - H / 2.0 - 0.6 * k;
  return {static_cast<float>(c * px - s * py + W / 2.0), static_cast<float>(s * px + c * py + H / 2.0)};
}

PointMap as_map(const std::vector<ReportedPoint>& points) {
  PointMap map;
  for (const ReportedPoint& p : points) map.push_back({p.id, Transform::at(p.point.x, p.point.y)});
  return map;
}

std::vector<TrackId> ids_of(const std::vector<ReportedPoint>& points) {
  std::vector<TrackId> ids;
  for (const ReportedPoint& p : points) ids.push_back(p.id);
  return ids;
}

void expect_ascending_ids(const std::vector<ReportedPoint>& points) {
  for (std::size_t i = 1; i < points.size(); ++i) ASSERT_LT(points[i - 1].id, points[i].id);
}

// The cell of a level-0 position on a 640 x 480 frame with grid 20 (no centring offset).
std::pair<std::uint32_t, std::uint32_t> cell_of(float x, float y) {
  return {round_to_u32(x) / 20, round_to_u32(y) / 20};
}

TEST(Tracker, FirstFrameNumbersDetectionsInDetectionOrder) {
  const GrayImage frame = pan_frame(0);
  const std::vector<Corner> expected = detect_new_points(build_pyramid(frame, 4), {}, 20);
  ASSERT_GT(expected.size(), 300u);

  Tracker tracker(4, 20);
  tracker.process_frame(frame);
  const auto points = tracker.get_track_points();
  ASSERT_EQ(points.size(), expected.size());
  for (std::size_t k = 0; k < points.size(); ++k) {
    EXPECT_EQ(points[k].id, k);
    EXPECT_EQ(points[k].point, (Point{static_cast<float>(expected[k].x), static_cast<float>(expected[k].y)}));
    EXPECT_EQ(expected[k].x % 2, 0u);  // detected on level 1
  }
  EXPECT_EQ(tracker.next_id(), expected.size());
  EXPECT_EQ(tracker.size(), expected.size());
  for (const TrackedPoint& p : tracker.tracked_points()) {
    EXPECT_EQ(p.transform, Transform::at(p.transform.tx(), p.transform.ty()));
  }
}

TEST(Tracker, SameFrameAgainKeepsIdsAndFillsOnlyFreeCells) {
  const GrayImage frame = pan_frame(0);
  Tracker tracker(4, 20);
  tracker.process_frame(frame);
  const auto first = tracker.get_track_points();
  const TrackId n0 = tracker.next_id();

  tracker.process_frame(frame);
  const auto second = tracker.get_track_points();
  expect_ascending_ids(second);

  std::vector<ReportedPoint> kept;
  std::vector<ReportedPoint> added;
  for (const ReportedPoint& p : second) (p.id < n0 ? kept : added).push_back(p);
  // Nearly every point finds itself again, where it was.
  EXPECT_GT(kept.size(), first.size() * 9 / 10);
  for (const ReportedPoint& p : kept) {
    const ReportedPoint& before = first[static_cast<std::size_t>(p.id)];
    EXPECT_NEAR(p.point.x, before.point.x, 0.1f);
    EXPECT_NEAR(p.point.y, before.point.y, 0.1f);
  }
  // The new ones continue the numbering, in the order detection gives for the survivors' map.
  const std::vector<Corner> expected = detect_new_points(build_pyramid(frame, 4), as_map(kept), 20);
  ASSERT_EQ(added.size(), expected.size());
  std::set<std::pair<std::uint32_t, std::uint32_t>> occupied;
  for (const ReportedPoint& p : kept) occupied.insert(cell_of(p.point.x, p.point.y));
  for (std::size_t k = 0; k < added.size(); ++k) {
    EXPECT_EQ(added[k].id, n0 + k);
    EXPECT_EQ(added[k].point.x, static_cast<float>(expected[k].x));
    EXPECT_EQ(added[k].point.y, static_cast<float>(expected[k].y));
    EXPECT_FALSE(occupied.count(cell_of(added[k].point.x, added[k].point.y)));
  }
  EXPECT_EQ(tracker.next_id(), n0 + added.size());
}

TEST(Tracker, AddedPointsGetConsecutiveIdsAndStayUntrackedUntilTheSecondFrame) {
  Tracker tracker(4, 20);
  tracker.add_points({});
  EXPECT_EQ(tracker.next_id(), 0u);

  // Two points on strong corners of the first frame, so that their cells would get a point.
  const GrayImage frame0 = pan_frame(0);
  const std::vector<Corner> corners = detect_new_points(build_pyramid(frame0, 4), {}, 20);
  ASSERT_GT(corners.size(), 10u);
  const std::vector<Point> added{{static_cast<float>(corners[0].x) + 0.25f, static_cast<float>(corners[0].y)},
                                 {static_cast<float>(corners[7].x), static_cast<float>(corners[7].y) - 0.25f},
                                 {-50.0f, 1e9f}};
  tracker.add_points(added);
  EXPECT_EQ(tracker.next_id(), 3u);
  const auto before = tracker.get_track_points();
  ASSERT_EQ(before.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(before[i], (ReportedPoint{i, added[i]}));

  tracker.process_frame(frame0);
  const auto after = tracker.get_track_points();
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(after[i], before[i]);  // not tracked
  const std::vector<Corner> expected =
      detect_new_points(build_pyramid(frame0, 4), as_map(before), 20);
  ASSERT_EQ(after.size(), 3 + expected.size());
  for (std::size_t k = 0; k < expected.size(); ++k) {
    EXPECT_EQ(after[3 + k].id, 3 + k);
    EXPECT_NE(cell_of(after[3 + k].point.x, after[3 + k].point.y), cell_of(added[0].x, added[0].y));
    EXPECT_NE(cell_of(after[3 + k].point.x, after[3 + k].point.y), cell_of(added[1].x, added[1].y));
  }

  // The second frame tracks them: the texture moved by (0.9, -0.6).
  const TrackId next = tracker.next_id();
  tracker.add_points(std::vector<Point>{{100.0f, 100.0f}});
  EXPECT_EQ(tracker.get_track_points().back().id, next);
  tracker.process_frame(pan_frame(1));
  const auto tracked = tracker.get_track_points();
  ASSERT_GE(tracked.size(), 2u);
  ASSERT_EQ(tracked[0].id, 0u);
  ASSERT_EQ(tracked[1].id, 1u);
  for (std::size_t i = 0; i < 2; ++i) {
    const Point truth = true_position(added[i], 0, 1);
    EXPECT_NEAR(tracked[i].point.x, truth.x, 0.15f);
    EXPECT_NEAR(tracked[i].point.y, truth.y, 0.15f);
  }
  for (const ReportedPoint& p : tracked) EXPECT_NE(p.id, 2u);  // far outside: lost
}

TEST(Tracker, RemovedIdsNeverComeBack) {
  Tracker tracker(4, 20);
  tracker.add_points(std::vector<Point>{{1, 1}, {2, 2}, {3, 3}});
  tracker.remove_id(std::vector<TrackId>{1});
  EXPECT_EQ(ids_of(tracker.get_track_points()), (std::vector<TrackId>{0, 2}));
  tracker.remove_id(std::vector<TrackId>{0, 2});
  EXPECT_TRUE(tracker.get_track_points().empty());
  EXPECT_EQ(tracker.next_id(), 3u);

  const GrayImage frame = pan_frame(0);
  tracker.process_frame(frame);
  const auto first = tracker.get_track_points();
  ASSERT_GT(first.size(), 10u);
  EXPECT_EQ(first.front().id, 3u);
  const TrackId n0 = tracker.next_id();

  tracker.remove_id(std::vector<TrackId>{5, 5, 999999, 0});
  const auto after = tracker.get_track_points();
  ASSERT_EQ(after.size(), first.size() - 1);
  for (const ReportedPoint& p : after) EXPECT_NE(p.id, 5u);
  EXPECT_EQ(tracker.next_id(), n0);

  // The cell of track 5 is free again; whatever is found there gets a new id.
  tracker.process_frame(frame);
  const auto again = tracker.get_track_points();
  expect_ascending_ids(again);
  const auto cell5 = cell_of(first[2].point.x, first[2].point.y);
  bool refilled = false;
  for (const ReportedPoint& p : again) {
    EXPECT_NE(p.id, 5u);
    if (cell_of(p.point.x, p.point.y) == cell5 && p.id >= n0) refilled = true;
  }
  EXPECT_TRUE(refilled);
}

struct RoundingCase {
  float x;
  float y;
  std::uint32_t cell_x;  // position that counts for occupancy
  std::uint32_t cell_y;
};

class OccupancyRounding : public ::testing::TestWithParam<RoundingCase> {};

INSTANTIATE_TEST_SUITE_P(
    Values, OccupancyRounding,
    ::testing::Values(RoundingCase{39.5f, 100.0f, 40, 100}, RoundingCase{39.49f, 100.5f, 39, 101},
                      RoundingCase{-3.2f, 60.0f, 0, 60}, RoundingCase{-0.5f, -0.5f, 0, 0},
                      RoundingCase{std::numeric_limits<float>::quiet_NaN(), 60.4f, 0, 60},
                      RoundingCase{1e10f, 20.5f, 4294967295u, 21},
                      RoundingCase{std::numeric_limits<float>::infinity(), 60.0f, 4294967295u, 60}),
    [](const ::testing::TestParamInfo<RoundingCase>& case_info) {
      using test_support::name_part;
      const RoundingCase& c = case_info.param;
      return "at_" + name_part(c.x) + "_" + name_part(c.y) + "_counts_at_" + name_part(c.cell_x) +
             "_" + name_part(c.cell_y);
    });

TEST_P(OccupancyRounding, TrackedPositionsCountAtTheirRoundedPixel) {
  const RoundingCase c = GetParam();
  for (const std::uint32_t levels : {1u, 4u}) {
    const Pyramid pyramid = build_pyramid(pan_frame(0), levels);
    const PointMap map{{0, Transform::at(c.x, c.y)}};
    const std::uint32_t scale = levels > 1 ? 2 : 1;
    EXPECT_EQ(detect_new_points(pyramid, map, 20),
              select_new_corners(pyramid[0], pyramid[scale - 1], scale, 20, {{c.cell_x, c.cell_y, 0.0f}}, 1));
  }
}

TEST(Tracker, PointHalfAPixelLeftOfACellBlocksIt) {
  const Pyramid pyramid = build_pyramid(pan_frame(0), 4);
  const std::vector<Corner> free = detect_new_points(pyramid, {}, 20);
  // A corner in a cell whose left neighbour is also taken by some corner.
  const Corner* target = nullptr;
  for (const Corner& c : free) {
    if (c.x / 20 >= 2) {
      target = &c;
      break;
    }
  }
  ASSERT_NE(target, nullptr);
  const float left_edge = static_cast<float>(target->x / 20 * 20);
  const float y = static_cast<float>(target->y);
  const auto contains_target = [&](const std::vector<Corner>& list) {
    for (const Corner& c : list) {
      if (c == *target) return true;
    }
    return false;
  };
  EXPECT_FALSE(contains_target(detect_new_points(pyramid, {{0, Transform::at(left_edge - 0.5f, y)}}, 20)));
  EXPECT_TRUE(contains_target(detect_new_points(pyramid, {{0, Transform::at(left_edge - 0.51f, y)}}, 20)));
}

TEST(Tracker, OneLevelDetectsOnTheFrameItself) {
  for (const std::uint32_t levels : {0u, 1u}) {
    Tracker tracker(levels, 20);
    tracker.process_frame(pan_frame(0));
    const auto points = tracker.get_track_points();
    ASSERT_GT(points.size(), 300u);
    bool any_odd = false;
    for (const ReportedPoint& p : points) any_odd |= static_cast<std::uint32_t>(p.point.x) % 2 == 1;
    EXPECT_TRUE(any_odd);
    tracker.process_frame(pan_frame(1));
    EXPECT_GT(tracker.size(), points.size());
  }
}

TEST(Tracker, ZeroGridSizeFailsWithoutChangingTheTracker) {
  Tracker tracker(4, 0);
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(test_support::fatal_message([&] { tracker.process_frame(pan_frame(attempt)); }),
              "attempt to divide by zero");
    EXPECT_TRUE(tracker.get_track_points().empty());
    EXPECT_EQ(tracker.next_id(), 0u);
  }
  tracker.add_points(std::vector<Point>{{50, 60}});
  EXPECT_THROW(tracker.process_frame(pan_frame(0)), FatalError);
  EXPECT_EQ(tracker.get_track_points(), (std::vector<ReportedPoint>{{0, {50, 60}}}));
  EXPECT_EQ(tracker.next_id(), 1u);
}

TEST(Tracker, GridLargerThanTheFrameDetectsNothingButStillTracks) {
  Tracker tracker(4, 1000);
  tracker.process_frame(pan_frame(0));
  EXPECT_TRUE(tracker.get_track_points().empty());
  tracker.add_points(std::vector<Point>{{320.0f, 240.0f}});
  tracker.process_frame(pan_frame(1));
  const auto points = tracker.get_track_points();
  ASSERT_EQ(points.size(), 1u);
  EXPECT_NEAR(points[0].point.x, 320.9f, 0.15f);
  EXPECT_EQ(tracker.next_id(), 1u);
}

TEST(Tracker, TooManyLevelsLosesEveryTrackAtEveryFrame) {
  // Level 7 of 640 x 480 is 5 x 3 and deeper levels are empty: no patch there can be valid.
  for (const std::uint32_t levels : {8u, 40u}) {
    Tracker tracker(levels, 20);
    TrackId previous_next = 0;
    for (int k = 0; k < 3; ++k) {
      tracker.process_frame(pan_frame(k));
      const auto points = tracker.get_track_points();
      ASSERT_FALSE(points.empty());
      EXPECT_EQ(points.front().id, previous_next);
      EXPECT_EQ(tracker.next_id(), previous_next + points.size());
      previous_next = tracker.next_id();
    }
  }
}

TEST(Tracker, RefusedPyramidDepthLeavesTheTrackerAsItWas) {
  Tracker tracker(MAX_PYRAMID_LEVELS + 1, 20);
  tracker.add_points(std::vector<Point>{{50, 60}});
  EXPECT_THROW(tracker.process_frame(pan_frame(0)), std::bad_alloc);
  EXPECT_EQ(tracker.get_track_points(), (std::vector<ReportedPoint>{{0, {50, 60}}}));
  EXPECT_EQ(tracker.next_id(), 1u);
}

TEST(Tracker, FrameOfAnotherSizeIsTrackedIntoWithoutComplaint) {
  Tracker tracker(4, 20);
  tracker.process_frame(pan_frame(0));
  const std::size_t before = tracker.size();
  tracker.process_frame(pan_frame(1, 320, 240));
  const auto points = tracker.get_track_points();
  std::size_t old_kept = 0;
  for (const ReportedPoint& p : points) {
    if (p.id < before) ++old_kept;
  }
  EXPECT_LT(old_kept, before / 2);
  tracker.process_frame(pan_frame(2, 0, 0));  // an empty frame loses everything
  EXPECT_TRUE(tracker.get_track_points().empty());
}

TEST(Tracker, SurvivorsFollowTheTrueMotion) {
  Tracker tracker(4, 20);
  tracker.process_frame(pan_frame(0));
  const auto first = tracker.get_track_points();
  tracker.process_frame(pan_frame(1));
  std::size_t kept = 0;
  for (const ReportedPoint& p : tracker.get_track_points()) {
    if (p.id >= first.size()) continue;
    ++kept;
    const Point truth = true_position(first[static_cast<std::size_t>(p.id)].point, 0, 1);
    EXPECT_NEAR(p.point.x, truth.x, 0.25f) << "id " << p.id;
    EXPECT_NEAR(p.point.y, truth.y, 0.25f) << "id " << p.id;
  }
  EXPECT_GT(kept, first.size() * 8 / 10);
}

// --- identical results for every thread count ------------------------------------------------

// Both trackers over a short pan (the stereo pair three pixels apart), with a removal midway.
std::vector<std::vector<ReportedPoint>> run_pan_sequence() {
  Tracker tracker(4, 20);
  StereoTracker stereo(4, 20);
  std::vector<std::vector<ReportedPoint>> results;
  for (int k = 0; k < 5; ++k) {
    tracker.process_frame(pan_frame(k));
    stereo.process_frame(pan_frame(k), texture().cached_frame(W, H, 0.9 * k - 3.0, -0.6 * k, 0.002 * k));
    if (k == 2) {
      tracker.remove_id(std::vector<TrackId>{1, 4, 9});
      stereo.remove_id(std::vector<TrackId>{2, 3});
    }
    results.push_back(tracker.get_track_points());
    auto [cam0, cam1] = stereo.get_track_points();
    results.push_back(std::move(cam0));
    results.push_back(std::move(cam1));
  }
  return results;
}

std::vector<char> serialise(const std::vector<std::vector<ReportedPoint>>& frames) {
  std::vector<char> bytes;
  for (const auto& frame : frames) {
    const std::uint64_t n = frame.size();
    bytes.insert(bytes.end(), reinterpret_cast<const char*>(&n), reinterpret_cast<const char*>(&n + 1));
    for (const ReportedPoint& p : frame) {
      char raw[sizeof(TrackId) + 2 * sizeof(float)];
      std::memcpy(raw, &p.id, sizeof(TrackId));
      std::memcpy(raw + sizeof(TrackId), &p.point.x, sizeof(float));
      std::memcpy(raw + sizeof(TrackId) + sizeof(float), &p.point.y, sizeof(float));
      bytes.insert(bytes.end(), raw, raw + sizeof raw);
    }
  }
  return bytes;
}

// Runs the sequence in a forked child whose process pool has `threads` threads; returns the
// serialised results it sends back through a pipe (empty on any failure).
std::vector<char> run_in_child_with_threads(const char* threads) {
  test_support::ChildOutcome child = test_support::run_forked([threads](int out) {
    setenv("GLENT_NUM_THREADS", threads, 1);
    if (worker_pool_size() != static_cast<std::size_t>(std::atoi(threads))) return 3;
    const std::vector<char> bytes = serialise(run_pan_sequence());
    std::size_t written = 0;
    while (written < bytes.size()) {
      const ssize_t w = write(out, bytes.data() + written, bytes.size() - written);
      if (w <= 0) return 4;
      written += static_cast<std::size_t>(w);
    }
    return 0;
  });
  if (child.exit_code != 0) return {};
  return std::move(child.bytes);
}

TEST(TrackerDeterminism, SameTracksForEveryThreadCount) {
  const std::vector<char> here = serialise(run_pan_sequence());
  ASSERT_GT(here.size(), 1000u);
  for (const char* threads : {"1", "3"}) {
    EXPECT_EQ(run_in_child_with_threads(threads), here) << threads << " threads";
  }
}

TEST(TrackerDeterminism, TrackPointMapGivesTheSameSurvivorsOnEveryPool) {
  const Pyramid p0 = build_pyramid(pan_frame(0), 4);
  const Pyramid p1 = build_pyramid(pan_frame(1), 4);
  PointMap points;
  TrackId id = 1000;
  for (const Corner& c : detect_new_points(p0, {}, 10)) {
    points.push_back({id, Transform::at(static_cast<float>(c.x), static_cast<float>(c.y))});
    id += 3;
  }
  points.push_back({id, Transform::at(-100.0f, -100.0f)});  // nothing to see there: lost
  ASSERT_GT(points.size(), 1000u);
  const PointMap reference = track_point_map(p0, p1, points);
  ASSERT_GT(reference.size(), points.size() / 2);
  ASSERT_LT(reference.size(), points.size());
  for (std::size_t i = 1; i < reference.size(); ++i) ASSERT_LT(reference[i - 1].id, reference[i].id);
  for (const std::size_t threads : {1u, 2u, 3u, 8u}) {
    WorkerPool pool(threads);
    EXPECT_EQ(track_point_map(pool, p0, p1, points), reference) << threads << " threads";
  }
  // A single entry is decided on the calling thread with the same outcome.
  for (const TrackedPoint& p : points) {
    if (p.id == reference.front().id) {
      EXPECT_EQ(track_point_map(p0, p1, PointMap{p}), PointMap{reference.front()});
    }
  }
  EXPECT_TRUE(track_point_map(p0, p1, PointMap{points.back()}).empty());
}

TEST(TrackPointMap, EmptyMapNeverMeetsTheLevelCheck) {
  const Pyramid p4 = build_pyramid(pan_frame(0), 4);
  const Pyramid p3 = build_pyramid(pan_frame(0), 3);
  EXPECT_TRUE(track_point_map(p4, p3, {}).empty());
  for (const std::size_t n : {1u, 2u, 50u}) {
    PointMap points;
    for (std::size_t i = 0; i < n; ++i) points.push_back({i, Transform::at(100.0f + i, 100.0f)});
    EXPECT_EQ(test_support::fatal_message([&] { static_cast<void>(track_point_map(p4, p3, points)); }),
              "assertion failed: levels == image_pyramid1.len() as u32");
  }
}

// The tracker keeps each frame's backward-pass patches for the next forward pass; edited,
// resized and all, it must give exactly what the stateless steps give.
TEST(TrackerPatchCache, EditedTrackerMatchesTheStatelessSteps) {
  Tracker tracker(4, 20);
  PointMap points;
  Pyramid previous;
  TrackId next = 0;
  for (int k = 0; k < 9; ++k) {
    const GrayImage frame = k == 5 ? pan_frame(k, 600, 440) : pan_frame(k);
    tracker.process_frame(frame);
    Pyramid pyramid = build_pyramid(frame, 4);
    if (!previous.empty()) points = track_point_map(previous, pyramid, points);
    for (const Corner& c : detect_new_points(pyramid, points, 20)) {
      points.push_back({next++, Transform::at(static_cast<float>(c.x), static_cast<float>(c.y))});
    }
    previous = std::move(pyramid);
    ASSERT_EQ(tracker.tracked_points(), points) << "frame " << k;

    // Every third track goes; two points are added by hand.
    std::vector<TrackId> doomed;
    for (std::size_t i = static_cast<std::size_t>(k) % 3; i < points.size(); i += 3) doomed.push_back(points[i].id);
    tracker.remove_id(doomed);
    PointMap kept;
    for (std::size_t i = 0; i < points.size(); ++i) {
      if (i % 3 != static_cast<std::size_t>(k) % 3) kept.push_back(points[i]);
    }
    points = std::move(kept);
    const std::vector<Point> added{{200.0f + k, 150.0f}, {400.0f, 300.0f - k}};
    tracker.add_points(added);
    for (const Point& p : added) points.push_back({next++, Transform::at(p.x, p.y)});
  }
  EXPECT_GT(points.size(), 200u);
}

// A frame that fails after its tracking has rewritten the kept patches must drop them.
TEST(TrackerPatchCache, ForgottenPatchesAreBuiltAgain) {
  const Pyramid p0 = build_pyramid(pan_frame(0), 4);
  const Pyramid p1 = build_pyramid(pan_frame(1), 4);
  const Pyramid p2 = build_pyramid(pan_frame(2), 4);
  PointMap points;
  for (const Corner& c : detect_new_points(p0, {}, 20)) {
    points.push_back({points.size(), Transform::at(static_cast<float>(c.x), static_cast<float>(c.y))});
  }
  PatchCache cache;
  cache.append(points.size());
  std::vector<std::uint32_t> entries;
  const PointMap first = cache.track(p0, p1, points, entries);
  ASSERT_EQ(first, track_point_map(p0, p1, points));
  cache.commit(std::move(entries));
  ASSERT_GT(first.size(), 100u);
  for (std::size_t i = 0; i < first.size(); ++i) ASSERT_TRUE(cache.has_patches(i));
  // Tracked into another pyramid (the patches are now those of p2), then forgotten.
  static_cast<void>(cache.track(p1, p0, first, entries));
  cache.forget();
  EXPECT_EQ(cache.track(p1, p2, first, entries), track_point_map(p1, p2, first));
}

}  // namespace
}  // namespace glent
