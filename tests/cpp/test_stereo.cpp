// The stereo tracker: admission of left detections found again on the right, one id in both
// cameras, cameras followed over time independently, removal from both.

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <vector>

#include "common/fatal_error.hpp"
#include "common/numeric.hpp"
#include "test_support.hpp"
#include "test_texture.hpp"
#include "tracker/pyramid.hpp"
#include "tracker/tracker.hpp"

namespace glent {
namespace {

using testing::render;
using testing::Texture;

constexpr std::uint32_t W = 640;
constexpr std::uint32_t H = 480;
// The right camera sees every feature this many pixels further left.
constexpr float DISPARITY = 4.0f;

const Texture& texture() {
  static const Texture t(11);
  return t;
}

GrayImage left_frame(int k = 0) { return render(texture(), W, H, 0.5 * k, 0.3 * k); }
GrayImage right_frame(int k = 0, float disparity = DISPARITY) {
  return render(texture(), W, H, 0.5 * k - disparity, 0.3 * k);
}

// A flat gray frame: no corners, no usable patch.
GrayImage uniform_frame(std::uint32_t width, std::uint32_t height, std::uint8_t value = 90) {
  return testing::uniform(width, height, value);
}

std::set<TrackId> id_set(const std::vector<ReportedPoint>& points) {
  std::set<TrackId> ids;
  for (const ReportedPoint& p : points) ids.insert(p.id);
  return ids;
}

std::pair<std::uint32_t, std::uint32_t> cell_of(Point p) {
  return {round_to_u32(p.x) / 20, round_to_u32(p.y) / 20};
}

TEST(StereoTracker, FirstPairAdmitsMatchedDetectionsUnderOneIdInBothCameras) {
  // One level follows only small disparities.
  for (const auto& [levels, disparity] : {std::pair{1u, 1.0f}, std::pair{4u, DISPARITY}}) {
    SCOPED_TRACE(levels);
    const GrayImage left = left_frame();
    const std::vector<Corner> detected = detect_new_points(build_pyramid(left, levels), {}, 20);
    StereoTracker tracker(levels, 20);
    tracker.process_frame(left, right_frame(0, disparity));
    const auto [cam0, cam1] = tracker.get_track_points();

    ASSERT_GT(cam0.size(), detected.size() * 8 / 10);
    ASSERT_EQ(cam0.size(), cam1.size());
    EXPECT_EQ(tracker.next_id(), cam0.size());
    std::size_t d = 0;
    for (std::size_t i = 0; i < cam0.size(); ++i) {
      EXPECT_EQ(cam0[i].id, i);
      EXPECT_EQ(cam1[i].id, i);
      // Camera 0 holds the integer detections, strongest first: the ids follow the detection
      // order, skipping the candidates that found no match.
      while (d < detected.size() && (static_cast<float>(detected[d].x) != cam0[i].point.x ||
                                     static_cast<float>(detected[d].y) != cam0[i].point.y)) {
        ++d;
      }
      ASSERT_LT(d, detected.size()) << "track " << i << " is no detection in order";
      ++d;
      // Camera 1 holds where tracking found it in the right image.
      EXPECT_NEAR(cam1[i].point.x, cam0[i].point.x - disparity, 0.25f);
      EXPECT_NEAR(cam1[i].point.y, cam0[i].point.y, 0.25f);
    }
    const auto stored0 = tracker.tracked_points0();
    for (const TrackedPoint& p : stored0) {
      EXPECT_EQ(p.transform, Transform::at(p.transform.tx(), p.transform.ty()));
    }
  }
}

TEST(StereoTracker, PairWithoutAnyMatchAddsNothing) {
  StereoTracker tracker(4, 20);
  tracker.process_frame(left_frame(), uniform_frame(W, H));
  EXPECT_TRUE(tracker.get_track_points().first.empty());
  EXPECT_TRUE(tracker.get_track_points().second.empty());
  EXPECT_EQ(tracker.next_id(), 0u);

  tracker.process_frame(left_frame(1), right_frame(1));
  const TrackId admitted = tracker.next_id();
  ASSERT_GT(admitted, 100u);
  tracker.process_frame(left_frame(2), uniform_frame(W, H, 200));
  EXPECT_EQ(tracker.next_id(), admitted);
}

TEST(StereoTracker, TrackLostOnTheRightLivesOnLeftAndKeepsItsCell) {
  StereoTracker tracker(4, 20);
  tracker.process_frame(left_frame(0), right_frame(0));
  const TrackId n0 = tracker.next_id();
  tracker.process_frame(left_frame(1), uniform_frame(W, H));
  const auto [cam0, cam1] = tracker.get_track_points();
  EXPECT_TRUE(cam1.empty());
  EXPECT_GT(cam0.size(), n0 * 8 / 10);
  EXPECT_EQ(tracker.next_id(), n0);

  tracker.process_frame(left_frame(2), right_frame(2));
  const auto [after0, after1] = tracker.get_track_points();
  std::set<std::pair<std::uint32_t, std::uint32_t>> held;
  for (const ReportedPoint& p : after0) {
    if (p.id < n0) held.insert(cell_of(p.point));
  }
  EXPECT_FALSE(held.empty());
  for (const ReportedPoint& p : after0) {
    if (p.id >= n0) {
      EXPECT_FALSE(held.count(cell_of(p.point))) << "new track " << p.id;
    }
  }
  for (const ReportedPoint& p : after1) EXPECT_GE(p.id, n0);  // half-tracks stay halves
}

TEST(StereoTracker, TrackLostOnTheLeftLivesOnRightAndBlocksNothing) {
  StereoTracker tracker(4, 20);
  tracker.process_frame(left_frame(0), right_frame(0));
  const TrackId n0 = tracker.next_id();
  tracker.process_frame(uniform_frame(W, H), right_frame(1));
  EXPECT_TRUE(tracker.get_track_points().first.empty());
  EXPECT_EQ(tracker.next_id(), n0);

  tracker.process_frame(left_frame(2), right_frame(2));
  const auto [cam0, cam1] = tracker.get_track_points();
  std::vector<ReportedPoint> old_right;
  std::vector<ReportedPoint> new_right;
  for (const ReportedPoint& p : cam1) (p.id < n0 ? old_right : new_right).push_back(p);
  for (const ReportedPoint& p : cam0) EXPECT_GE(p.id, n0);
  ASSERT_GT(old_right.size(), n0 * 8 / 10);
  ASSERT_GT(new_right.size(), n0 * 8 / 10);
  // Exactly what a fresh tracker admits on this pair: the right-only tracks occupy no cell.
  StereoTracker fresh(4, 20);
  fresh.process_frame(left_frame(2), right_frame(2));
  const auto [fresh0, fresh1] = fresh.get_track_points();
  ASSERT_EQ(new_right.size(), fresh1.size());
  for (std::size_t i = 0; i < fresh1.size(); ++i) {
    EXPECT_EQ(new_right[i].id, n0 + fresh1[i].id);
    EXPECT_EQ(new_right[i].point, fresh1[i].point);
    EXPECT_EQ(cam0[i].point, fresh0[i].point);
  }
}

TEST(StereoTracker, RemoveIdDropsFromBothCamerasAndHalfTracksFromTheirOne) {
  StereoTracker tracker(4, 20);
  tracker.process_frame(left_frame(0), right_frame(0));
  const TrackId n0 = tracker.next_id();
  ASSERT_GT(n0, 10u);
  tracker.remove_id(std::vector<TrackId>{7, 7, 1u << 30});
  auto [cam0, cam1] = tracker.get_track_points();
  EXPECT_FALSE(id_set(cam0).count(7));
  EXPECT_FALSE(id_set(cam1).count(7));
  EXPECT_EQ(cam0.size(), n0 - 1);
  EXPECT_EQ(cam1.size(), n0 - 1);
  EXPECT_EQ(tracker.next_id(), n0);

  // Camera 1 loses everything; the left-only tracks are removable too.
  tracker.process_frame(left_frame(1), uniform_frame(W, H));
  const auto left_only = tracker.get_track_points().first;
  ASSERT_GE(left_only.size(), 2u);
  const std::vector<TrackId> doomed{left_only[0].id, left_only[1].id};
  tracker.remove_id(doomed);
  const auto remaining = id_set(tracker.get_track_points().first);
  EXPECT_EQ(remaining.size(), left_only.size() - 2);
  for (const TrackId id : doomed) EXPECT_FALSE(remaining.count(id));
}

TEST(StereoTracker, ZeroGridSizeFailsWithoutChangingTheTracker) {
  StereoTracker tracker(4, 0);
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(test_support::fatal_message([&] { tracker.process_frame(left_frame(), right_frame()); }),
              "attempt to divide by zero");
    EXPECT_TRUE(tracker.get_track_points().first.empty());
    EXPECT_TRUE(tracker.get_track_points().second.empty());
    EXPECT_EQ(tracker.next_id(), 0u);
  }
}

TEST(StereoTracker, ImagesOfDifferentSizesAreProcessed) {
  StereoTracker tracker(4, 20);
  tracker.process_frame(left_frame(0), right_frame(0));
  tracker.process_frame(left_frame(1), render(texture(), 320, 240));
  tracker.process_frame(left_frame(2), GrayImage());
  const auto [cam0, cam1] = tracker.get_track_points();
  EXPECT_FALSE(cam0.empty());
  EXPECT_TRUE(cam1.empty());
}

}  // namespace
}  // namespace glent
