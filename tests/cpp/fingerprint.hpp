#pragma once
// A fingerprint of whole tracking runs: one fixed camera sequence of the test texture (drawn
// with integer arithmetic only), run through Tracker, StereoTracker and track_point_map, and
// hashed over every id and the exact bits of every reported float.
// Whatever the processor, instruction set, compiler or thread count, a correct build gives
// one value; any change of a last bit anywhere in the pipeline changes it.
//
// Header-only and free of GoogleTest, so that a tool can print the value of a build too.

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "image_utilities/gray_image.hpp"
#include "test_texture.hpp"
#include "tracker/point_map.hpp"
#include "tracker/point_map_tracking.hpp"
#include "tracker/pyramid.hpp"
#include "tracker/track_point.hpp"
#include "tracker/tracker.hpp"

namespace glent::fingerprint {

// FNV-1a, 64 bits, over the bytes it is fed.
class Hash {
 public:
  void bytes(const void* data, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < n; ++i) {
      value_ ^= p[i];
      value_ *= 0x100000001b3ull;
    }
  }
  void u64(std::uint64_t v) { bytes(&v, sizeof v); }
  void f32(float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    bytes(&bits, sizeof bits);
  }
  std::uint64_t value() const { return value_; }

 private:
  std::uint64_t value_ = 0xcbf29ce484222325ull;
};

// Frame k of the sequence, seen by a camera shifted right by `baseline_q8` / 256 pixels: the
// texture pans by about (0.7, -0.37) px and turns by about 0.002 rad per frame about the frame
// centre, with a brightness gain that flickers between frames and a little sensor noise.
inline GrayImage frame(int k, std::uint32_t width, std::uint32_t height, std::int64_t baseline_q8 = 0) {
  testing::View view;
  view.shift_x = 180 * k + 40 * (k % 3) + baseline_q8 + 4096 * 256;
  view.shift_y = -95 * k + 4096 * 256;
  view.sine = 131 * k;
  view.centre_x = std::int64_t{width} * 128;
  view.centre_y = std::int64_t{height} * 128;
  view.zoom = 65536;
  view.contrast = 3;
  view.gain = 240 + 9 * (k % 4);
  view.noise = static_cast<std::uint32_t>(k);
  return testing::draw(testing::Texture(0, testing::Texture::Blend::linear), width, height, view);
}

inline void add(Hash& h, const std::vector<ReportedPoint>& points) {
  h.u64(points.size());
  for (const ReportedPoint& p : points) {
    h.u64(p.id);
    h.f32(p.point.x);
    h.f32(p.point.y);
  }
}

inline void add(Hash& h, const PointMap& points) {
  h.u64(points.size());
  for (const TrackedPoint& p : points) {
    h.u64(p.id);
    for (float v : p.transform.m) h.f32(v);
  }
}

constexpr std::uint32_t WIDTH = 320;
constexpr std::uint32_t HEIGHT = 240;

// The point-map part: a grid of points over the whole frame (border, corners and outside
// included) with accumulated rotations, tracked across a pair with a larger turn.
inline PointMap point_map_input() {
  PointMap points;
  TrackId id = 5;
  for (int j = -1; j <= 24; ++j) {
    for (int i = -1; i <= 32; ++i) {
      const float x = static_cast<float>(i) * 10.25f + 0.375f;
      const float y = static_cast<float>(j) * 10.0f - 0.625f;
      // Linear parts accumulated over earlier frames: none, or a turn of about +-37 degrees.
      const float sn = 0.6f * static_cast<float>((i + j + 3) % 3 - 1);
      const float cs = sn == 0.0f ? 1.0f : 0.8f;
      Transform t = Transform::at(x, y);
      t.m[0] = cs;
      t.m[1] = sn;
      t.m[3] = -sn;
      t.m[4] = cs;
      points.push_back({id, t});
      id += 1 + static_cast<TrackId>(i & 1);
    }
  }
  return points;
}

inline PointMap tracked_point_map(bool plain = false) {
  const Pyramid p0 = build_pyramid(frame(2, WIDTH, HEIGHT), 3);
  const Pyramid p1 = build_pyramid(frame(12, WIDTH, HEIGHT, 2 * 256), 3);  // a larger step
  const PointMap input = point_map_input();
  if (!plain) return track_point_map(p0, p1, input);
  PointMap out;
  for (const TrackedPoint& p : input) {
    if (auto r = reference::track_point_checked(p0, p1, p.id, p.transform)) out.push_back(*r);
  }
  return out;
}

// The whole fingerprint: a single-camera run, a stereo run and the point-map part.
inline std::uint64_t value() {
  Hash h;
  Tracker mono(4, 16);
  for (int k = 0; k < 12; ++k) {
    mono.process_frame(frame(k, WIDTH, HEIGHT));
    if (k == 5) {
      const Point extra[] = {{3.0f, 3.0f}, {100.5f, 77.25f}, {318.0f, 200.0f}};
      mono.add_points(extra);
      const TrackId gone[] = {1, 4, 9, 16};
      mono.remove_id(gone);
    }
    add(h, mono.get_track_points());
    h.u64(mono.next_id());
  }
  StereoTracker stereo(4, 20);
  for (int k = 0; k < 6; ++k) {
    // The right camera sees the scene 5.5 px further left.
    stereo.process_frame(frame(k, WIDTH, HEIGHT), frame(k, WIDTH, HEIGHT, 5 * 256 + 128));
    const auto tracks = stereo.get_track_points();
    add(h, tracks.first);
    add(h, tracks.second);
    h.u64(stereo.next_id());
  }
  add(h, tracked_point_map());
  return h.value();
}

}  // namespace glent::fingerprint
