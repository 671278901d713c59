// Tracking a point must not touch the heap. This file replaces the global allocation functions
// of the test program (plain and nothrow forms; the aligned forms keep their defaults, which
// pair among themselves) with counting ones forwarding to malloc/free, so it must stay the only
// file of the test program that does so.

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <optional>

#include "patch/patch.hpp"
#include "tracker/pyramid.hpp"
#include "tracker/track_point.hpp"
#include "test_patch_support.hpp"

namespace {
thread_local long t_allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
  ++t_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  ++t_allocations;
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace glent {
namespace {

TEST(TrackPoint, TrackingAPointAllocatesNothing) {
  const testing::Texture tex(60);
  const Pyramid a = build_pyramid(testing::render(tex, 160, 120), 4);
  const Pyramid b = build_pyramid(testing::render(tex, 160, 120, 0.7, -0.4, 0.01, 80.0, 60.0), 4);
  const Transform start = Transform::at(81.3f, 57.8f);
  testing::for_each_isa([&] {
    const long before = t_allocations;
    std::optional<TrackedPoint> fast = track_point_checked(a, b, 1, start);
    std::optional<TrackedPoint> plain = reference::track_point_checked(a, b, 1, start);
    // Also the pieces, including a point lost on the way and one near the border.
    PreparedPatch patch;
    build_prepared(a[0], 3.0f, 40.0f, patch);
    Transform warp = Transform::at(3.0f, 40.0f);
    const AlignOutcome aligned = align_prepared(patch, b[0], warp);
    const std::optional<TrackedPoint> lost = track_point_checked(a, b, 2, Transform::at(-50.0f, 60.0f));
    EXPECT_EQ(t_allocations, before);
    EXPECT_TRUE(fast.has_value());
    EXPECT_EQ(fast, plain);
    EXPECT_FALSE(lost.has_value());
    (void)aligned;
  });
}

}  // namespace
}  // namespace glent
