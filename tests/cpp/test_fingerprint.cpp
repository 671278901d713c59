// One value for whole tracking runs on every kernel variant and thread count (see
// fingerprint.hpp). The constant was recorded from a build whose results are the reference;
// a change that moves any last bit of any result must re-record it on purpose.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fingerprint.hpp"
#include "test_patch_support.hpp"
#include "test_support.hpp"

namespace glent {
namespace {

constexpr std::uint64_t EXPECTED = 0xe54653d04ed52c05ull;

std::string hex(std::uint64_t v) {
  char text[32];
  std::snprintf(text, sizeof text, "%016" PRIx64, v);
  return text;
}

// The fingerprint computed in a forked child whose process pool has `threads` threads
// (0 when the child fails).
std::uint64_t value_in_child(const char* threads) {
  const test_support::ChildOutcome child = test_support::run_forked(
      [threads](int out) {
        setenv("GLENT_NUM_THREADS", threads, 1);
        std::uint64_t v = 0;
        if (worker_pool_size() == static_cast<std::size_t>(std::atoi(threads))) v = fingerprint::value();
        return write(out, &v, sizeof v) == static_cast<ssize_t>(sizeof v) ? 0 : 1;
      },
      std::chrono::seconds(300));
  std::uint64_t v = 0;
  if (child.exit_code != 0 || child.bytes.size() != sizeof v) return 0;
  std::memcpy(&v, child.bytes.data(), sizeof v);
  return v;
}

TEST(Fingerprint, SequenceExercisesTrackingSeedingAndLoss) {
  Tracker mono(4, 16);
  std::size_t most = 0;
  for (int k = 0; k < 12; ++k) {
    mono.process_frame(fingerprint::frame(k, fingerprint::WIDTH, fingerprint::HEIGHT));
    most = std::max(most, mono.size());
  }
  EXPECT_GT(most, 150u);
  // Some tracks were lost and replaced.
  EXPECT_GT(mono.next_id(), mono.size() + 20);
  const PointMap input = fingerprint::point_map_input();
  const PointMap out = fingerprint::tracked_point_map();
  EXPECT_GT(out.size(), input.size() / 3);
  EXPECT_LT(out.size(), input.size() * 9 / 10);
}

TEST(Fingerprint, PointMapPartMatchesThePlainReference) {
  const PointMap plain = fingerprint::tracked_point_map(true);
  testing::for_each_isa([&] { EXPECT_EQ(fingerprint::tracked_point_map(), plain); });
}

TEST(Fingerprint, OneValueForEveryKernelVariantAndThreadCount) {
  testing::for_each_isa([&] { EXPECT_EQ(hex(fingerprint::value()), hex(EXPECTED)); });
  for (const char* threads : {"1", "3"}) {
    EXPECT_EQ(hex(value_in_child(threads)), hex(EXPECTED)) << threads << " threads";
  }
}

}  // namespace
}  // namespace glent
