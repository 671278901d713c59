// The single-camera tracker: ids, editing, occupancy, failure, and results that do not depend
// on the number of threads.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/fatal_error.hpp"
#include "common/isa.hpp"
#include "common/numeric.hpp"
#include "corners_fast9/fast9.hpp"
#include "corners_fast9/grid_selection.hpp"
#include "param_names.hpp"
#include "test_support.hpp"
#include "test_texture.hpp"
#include "tracker/patch_cache.hpp"
#include "tracker/pyramid.hpp"
#include "tracker/track_point.hpp"
#include "tracker/tracker.hpp"
#include "tracker/point_map_tracking.hpp"

namespace glent {
namespace {

constexpr std::uint32_t W = 640;
constexpr std::uint32_t H = 480;

// The test texture seen shifted by (dx, dy) and turned by `angle` (radians) about the frame
// centre: frame pixel (x, y) shows the texture point R (p - c) + c - d.
GrayImage view_frame(std::uint32_t w, std::uint32_t h, double dx, double dy, double angle) {
  testing::View view;
  view.shift_x = testing::q8(-dx);
  view.shift_y = testing::q8(-dy);
  view.sine = testing::sine_q16(angle);
  view.centre_x = std::int64_t{w} * 128;
  view.centre_y = std::int64_t{h} * 128;
  return testing::draw(testing::Texture(7), w, h, view);
}

// Frame k of a slow pan with a slight turn: the texture moves by (0.9, -0.6) px per frame.
GrayImage pan_frame(int k, std::uint32_t w = W, std::uint32_t h = H) {
  return view_frame(w, h, 0.9 * k, -0.6 * k, 0.002 * k);
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
    stereo.process_frame(pan_frame(k), view_frame(W, H, 0.9 * k - 3.0, -0.6 * k, 0.002 * k));
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

// --- every instruction set ------------------------------------------------------------------

// Runs its tests once with each instruction set of the vector kernels (skipped where this build
// or processor has none), then restores the one in use.
class OnEveryIsa : public ::testing::TestWithParam<simd::Isa> {
 protected:
  void SetUp() override {
    if (!simd::isa_supported(GetParam())) {
      GTEST_SKIP() << simd::isa_name(GetParam())
                   << " kernels: not in this build or not run by this processor";
    }
    simd::use_isa(GetParam());
  }
  void TearDown() override { simd::use_isa(before_); }

 private:
  simd::Isa before_ = simd::current_isa();
};

std::string isa_test_name(const ::testing::TestParamInfo<simd::Isa>& info) {
  return simd::isa_name(info.param);
}

class TrackerPatchCache : public OnEveryIsa {};
INSTANTIATE_TEST_SUITE_P(Isas, TrackerPatchCache, ::testing::ValuesIn(simd::ALL_ISAS), isa_test_name);

// The tracker keeps each frame's backward-pass patches for the next forward pass; edited,
// resized and all, it must give exactly what the stateless steps give.
TEST_P(TrackerPatchCache, EditedTrackerMatchesTheStatelessSteps) {
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
TEST_P(TrackerPatchCache, ForgottenPatchesAreBuiltAgain) {
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


// --- the trackers against a plain pipeline ----------------------------------------------------

// The frame pipeline written plainly from the reference parts: halving by the 2x2 mean, FAST-9
// one pixel at a time, the grid selection, and reference tracking one point after the other.
namespace plain {

Pyramid pyramid(const GrayImage& image, std::uint32_t levels) {
  Pyramid out{image};
  for (std::uint32_t k = 1; k < std::max(levels, 1u); ++k) {
    const GrayImage& from = out.back();
    if (from.width % 2 != 0 || from.height % 2 != 0) {
      out.push_back(resize_triangle(from, from.width / 2, from.height / 2));
      continue;
    }
    GrayImage half(from.width / 2, from.height / 2);
    for (std::uint32_t y = 0; y < half.height; ++y) {
      for (std::uint32_t x = 0; x < half.width; ++x) {
        const unsigned sum = unsigned{from.row(2 * y)[2 * x]} + from.row(2 * y)[2 * x + 1] +
                             from.row(2 * y + 1)[2 * x] + from.row(2 * y + 1)[2 * x + 1];
        half.row(y)[x] = static_cast<std::uint8_t>((sum + 2) / 4);
      }
    }
    out.push_back(std::move(half));
  }
  return out;
}

PointMap track(const Pyramid& pyramid0, const Pyramid& pyramid1, const PointMap& points) {
  PointMap out;
  for (const TrackedPoint& p : points) {
    if (const auto r = reference::track_point_checked(pyramid0, pyramid1, p.id, p.transform)) out.push_back(*r);
  }
  return out;
}

// FAST-9 on level 1 (level 0 for one level), corners within the margin, strongest first
// (raster order among equal scores), one per free cell of a grid centred on level 0.
std::vector<Corner> detect(const Pyramid& pyramid, const PointMap& tracked, std::uint32_t grid) {
  const std::uint32_t scale = pyramid.size() >= 2 ? 2 : 1;
  const GrayImage& frame = pyramid[0];
  const std::uint32_t columns = frame.width / grid;
  const std::uint32_t rows = frame.height / grid;
  const std::uint32_t left = frame.width % grid / 2;
  const std::uint32_t top = frame.height % grid / 2;
  const auto cell = [&](std::uint32_t x, std::uint32_t y) -> std::optional<std::size_t> {
    if (x < left || y < top || (x - left) / grid >= columns || (y - top) / grid >= rows) return std::nullopt;
    return std::size_t{(y - top) / grid} * columns + (x - left) / grid;
  };
  std::vector<bool> taken(std::size_t{columns} * rows, false);
  for (const TrackedPoint& p : tracked) {
    if (const auto c = cell(round_to_u32(p.transform.tx()), round_to_u32(p.transform.ty()))) taken[*c] = true;
  }
  const auto inside = [](std::uint64_t v, std::uint32_t size) {
    return v >= BORDER_MARGIN && v + BORDER_MARGIN <= size;
  };
  std::vector<Corner> corners;
  for (const Corner& c : fast9_detect_plain(pyramid[scale - 1], FAST_THRESHOLD)) {
    const std::uint64_t x = std::uint64_t{c.x} * scale;
    const std::uint64_t y = std::uint64_t{c.y} * scale;
    if (inside(x, frame.width) && inside(y, frame.height)) {
      corners.push_back({static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y), c.score});
    }
  }
  std::stable_sort(corners.begin(), corners.end(), [](const Corner& a, const Corner& b) { return a.score > b.score; });
  std::vector<Corner> chosen;
  for (const Corner& c : corners) {
    const auto k = cell(c.x, c.y);
    if (!k || taken[*k]) continue;
    taken[*k] = true;
    chosen.push_back(c);
  }
  return chosen;
}

Transform at(const Corner& c) { return Transform::at(static_cast<float>(c.x), static_cast<float>(c.y)); }

void remove(PointMap& points, const std::vector<TrackId>& ids) {
  std::erase_if(points, [&](const TrackedPoint& p) { return std::find(ids.begin(), ids.end(), p.id) != ids.end(); });
}

struct Mono {
  Pyramid previous;
  PointMap points;
  TrackId next = 0;

  void process_frame(const GrayImage& image) {
    Pyramid now = pyramid(image, 4);
    if (!previous.empty()) points = track(previous, now, points);
    for (const Corner& c : detect(now, points, 20)) points.push_back({next++, at(c)});
    previous = std::move(now);
  }
};

struct Stereo {
  Pyramid previous0;
  Pyramid previous1;
  PointMap points0;
  PointMap points1;
  TrackId next = 0;

  void process_frame(const GrayImage& image0, const GrayImage& image1) {
    Pyramid now0 = pyramid(image0, 4);
    Pyramid now1 = pyramid(image1, 4);
    if (!previous0.empty()) {
      points0 = track(previous0, now0, points0);
      points1 = track(previous1, now1, points1);
    }
    PointMap candidates;
    for (const Corner& c : detect(now0, points0, 20)) candidates.push_back({candidates.size(), at(c)});
    for (const TrackedPoint& match : track(now0, now1, candidates)) {
      points0.push_back({next, candidates[static_cast<std::size_t>(match.id)].transform});
      points1.push_back({next, match.transform});
      ++next;
    }
    previous0 = std::move(now0);
    previous1 = std::move(now1);
  }
};

}  // namespace plain

constexpr std::uint32_t SMALL_W = 320;
constexpr std::uint32_t SMALL_H = 240;
constexpr int PLAIN_FRAMES = 6;

// The edits between frames 2 and 3 of the runs below.
const std::vector<TrackId> MONO_REMOVED{1, 4, 9};
const std::vector<Point> MONO_ADDED{{100.5f, 80.25f}, {10.0f, 10.0f}};
const std::vector<TrackId> STEREO_REMOVED{2, 3};

GrayImage right_pan_frame(int k) { return view_frame(SMALL_W, SMALL_H, 0.9 * k - 3.0, -0.6 * k, 0.002 * k); }

class TrackersMatchThePlainPipeline : public OnEveryIsa {};
INSTANTIATE_TEST_SUITE_P(Isas, TrackersMatchThePlainPipeline, ::testing::ValuesIn(simd::ALL_ISAS), isa_test_name);

TEST_P(TrackersMatchThePlainPipeline, Tracker) {
  // The plain run, once: it does not depend on the instruction set.
  static const std::vector<PointMap> expected = [] {
    plain::Mono mono;
    std::vector<PointMap> frames;
    for (int k = 0; k < PLAIN_FRAMES; ++k) {
      mono.process_frame(pan_frame(k, SMALL_W, SMALL_H));
      frames.push_back(mono.points);
      if (k == 2) {
        plain::remove(mono.points, MONO_REMOVED);
        for (const Point& p : MONO_ADDED) mono.points.push_back({mono.next++, Transform::at(p.x, p.y)});
      }
    }
    return frames;
  }();
  Tracker tracker(4, 20);
  for (int k = 0; k < PLAIN_FRAMES; ++k) {
    tracker.process_frame(pan_frame(k, SMALL_W, SMALL_H));
    ASSERT_EQ(tracker.tracked_points(), expected[static_cast<std::size_t>(k)]) << "frame " << k;
    if (k == 2) {
      tracker.remove_id(MONO_REMOVED);
      tracker.add_points(MONO_ADDED);
    }
  }
  EXPECT_GT(expected.back().size(), 100u);
}

TEST_P(TrackersMatchThePlainPipeline, StereoTracker) {
  static const std::vector<std::pair<PointMap, PointMap>> expected = [] {
    plain::Stereo stereo;
    std::vector<std::pair<PointMap, PointMap>> frames;
    for (int k = 0; k < PLAIN_FRAMES; ++k) {
      stereo.process_frame(pan_frame(k, SMALL_W, SMALL_H), right_pan_frame(k));
      frames.emplace_back(stereo.points0, stereo.points1);
      if (k == 2) {
        plain::remove(stereo.points0, STEREO_REMOVED);
        plain::remove(stereo.points1, STEREO_REMOVED);
      }
    }
    return frames;
  }();
  StereoTracker tracker(4, 20);
  for (int k = 0; k < PLAIN_FRAMES; ++k) {
    tracker.process_frame(pan_frame(k, SMALL_W, SMALL_H), right_pan_frame(k));
    const auto& [points0, points1] = expected[static_cast<std::size_t>(k)];
    ASSERT_EQ(tracker.tracked_points0(), points0) << "frame " << k;
    ASSERT_EQ(tracker.tracked_points1(), points1) << "frame " << k;
    if (k == 2) tracker.remove_id(STEREO_REMOVED);
  }
  EXPECT_GT(expected.back().first.size(), 100u);
  EXPECT_NE(expected.back().first, expected.back().second);
}

}  // namespace
}  // namespace glent
