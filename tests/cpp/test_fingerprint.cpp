// One value for whole tracking runs on every kernel variant and thread count (see
// fingerprint.hpp). The constant was recorded from a build whose results are the reference;
// a change that moves any last bit of any result must re-record it on purpose.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "fingerprint.hpp"
#include "test_patch_support.hpp"

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
  int fds[2];
  if (pipe(fds) != 0) return 0;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    alarm(300);
    setenv("GLENT_NUM_THREADS", threads, 1);
    std::uint64_t v = 0;
    try {
      if (worker_pool_size() == static_cast<std::size_t>(std::atoi(threads))) v = fingerprint::value();
    } catch (...) {
    }
    const bool sent = write(fds[1], &v, sizeof v) == static_cast<ssize_t>(sizeof v);
    close(fds[1]);
    _exit(sent ? 0 : 1);
  }
  close(fds[1]);
  std::uint64_t v = 0;
  if (read(fds[0], &v, sizeof v) != static_cast<ssize_t>(sizeof v)) v = 0;
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? v : 0;
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
