// The worker pool: coverage of the loop, hand-back of failures, concurrent callers, fork, and
// its size from the environment, the affinity mask and the cgroup CPU quota.

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/fatal_error.hpp"
#include "param_names.hpp"
#include "test_support.hpp"
#include "common/cpu_count.hpp"
#include "tracker/worker_pool.hpp"

namespace glent {
namespace {

bool is_worker_name(const std::string& name) { return name.rfind("glent-worker-", 0) == 0; }

class PoolOfSize : public ::testing::TestWithParam<std::size_t> {};

INSTANTIATE_TEST_SUITE_P(Sizes, PoolOfSize, ::testing::Values(1, 2, 3, 8),
                         [](const ::testing::TestParamInfo<std::size_t>& case_info) {
                           return std::to_string(case_info.param) +
                                  (case_info.param == 1 ? "_thread" : "_threads");
                         });

TEST_P(PoolOfSize, EveryIndexRunsExactlyOnceInContiguousPieces) {
  WorkerPool pool(GetParam());
  EXPECT_EQ(pool.size(), GetParam());
  for (std::size_t count : {0u, 1u, 2u, 3u, 7u, 64u, 1001u}) {
    std::vector<std::atomic<int>> hits(count);
    std::atomic<std::size_t> pieces{0};
    pool.parallel_for(count, [&](std::size_t begin, std::size_t end) {
      ASSERT_LT(begin, end);
      ASSERT_LE(end, count);
      ++pieces;
      for (std::size_t i = begin; i < end; ++i) ++hits[i];
    });
    for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(hits[i].load(), 1) << "count " << count;
    if (count < 2) {
      EXPECT_LE(pieces.load(), 1u);
    }
  }
}

TEST_P(PoolOfSize, FirstFailureInLoopOrderReachesTheCaller) {
  WorkerPool pool(GetParam());
  for (int round = 0; round < 50; ++round) {
    try {
      pool.parallel_for(500, [](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
          if (i == 137 || i == 300 || i == 499) GLENT_FATAL("item " + std::to_string(i));
        }
      });
      FAIL() << "no exception";
    } catch (const FatalError& e) {
      EXPECT_EQ(e.message(), "item 137");
    }
  }
  // The pool keeps working after a failed loop.
  std::atomic<std::size_t> sum{0};
  pool.parallel_for(100, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) sum += i;
  });
  EXPECT_EQ(sum.load(), 4950u);
}

TEST_P(PoolOfSize, AnyExceptionTypeIsHandedBack) {
  WorkerPool pool(GetParam());
  EXPECT_THROW(pool.parallel_for(40, [](std::size_t, std::size_t end) {
                 if (end > 20) throw std::bad_alloc();
               }),
               std::bad_alloc);
  EXPECT_THROW(pool.parallel_for(40, [](std::size_t, std::size_t end) {
                 if (end > 20) throw std::runtime_error("boom");
               }),
               std::runtime_error);
  EXPECT_THROW(pool.parallel_for(40, [](std::size_t, std::size_t end) {
                 if (end > 20) throw 7;
               }),
               int);
}

TEST_P(PoolOfSize, ThreadHeldUpInAnItemLeavesItsOtherItemsToTheRest) {
  if (GetParam() < 2) GTEST_SKIP() << "a pool of one thread has no other thread to take over";
  WorkerPool pool(GetParam());
  for (const std::size_t count : {2u, 9u, 64u, 1001u}) {
    // Item 0 waits until every other item has run: only possible if the other threads run
    // every later item while the thread that took item 0 is held up in it.
    std::atomic<std::size_t> others{0};
    std::atomic<bool> saw_all{false};
    pool.parallel_for(count, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        if (i != 0) {
          ++others;
          continue;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (others.load() < count - 1 && std::chrono::steady_clock::now() < deadline) {
          std::this_thread::yield();
        }
        saw_all = others.load() == count - 1;
      }
    });
    EXPECT_TRUE(saw_all.load()) << count << " items";
    EXPECT_EQ(others.load(), count - 1);
  }
}

TEST(WorkerPool, LoopStartedInsideALoopRunsWithoutDeadlock) {
  WorkerPool pool(4);
  std::atomic<std::size_t> total{0};
  pool.parallel_for(16, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      pool.parallel_for(10, [&](std::size_t b, std::size_t e) { total += e - b; });
      parallel_for(10, [&](std::size_t b, std::size_t e) { total += e - b; });
    }
  });
  EXPECT_EQ(total.load(), 320u);
}

TEST(WorkerPool, FatalErrorOnAWorkerNamesTheWorkerThread) {
  WorkerPool pool(3);
  std::atomic<bool> worker_threw{false};
  try {
    pool.parallel_for(64, [&](std::size_t, std::size_t) {
      if (is_worker_name(current_thread_name())) {
        worker_threw = true;
        GLENT_FATAL("from a worker");
      }
      // The calling thread holds its first piece until a worker has failed, so the failure
      // cannot be one of its own.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (!worker_threw && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
      }
    });
    FAIL() << "no exception";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.message(), "from a worker");
    EXPECT_TRUE(is_worker_name(e.thread_name())) << e.thread_name();
    EXPECT_NE(e.diagnostic().find("glent-worker-"), std::string::npos);
  }
  EXPECT_EQ(current_thread_name(), "main");
}

TEST(WorkerPool, ConcurrentCallersEachGetTheirOwnLoop) {
  WorkerPool pool(3);
  std::vector<std::thread> callers;
  std::atomic<int> wrong{0};
  for (int c = 0; c < 4; ++c) {
    callers.emplace_back([&, c] {
      for (int round = 0; round < 100; ++round) {
        const std::size_t count = 50 + static_cast<std::size_t>(c * 10 + round % 7);
        std::atomic<std::size_t> sum{0};
        pool.parallel_for(count, [&](std::size_t begin, std::size_t end) {
          for (std::size_t i = begin; i < end; ++i) sum += i;
        });
        if (sum.load() != count * (count - 1) / 2) ++wrong;
      }
    });
  }
  for (auto& t : callers) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

// Runs `child` in a forked process and returns its exit code: 0 when it returned true, -1 when
// it did not exit by itself within `limit`.
template <typename F>
int run_in_child(F child, std::chrono::seconds limit = std::chrono::seconds(60)) {
  return test_support::run_forked([&child](int) { return child() ? 0 : 1; }, limit).exit_code;
}

bool sums_correctly_on_process_pool() {
  std::atomic<std::size_t> sum{0};
  parallel_for(1000, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) sum += i;
  });
  return sum.load() == 1000u * 999u / 2;
}

TEST(ProcessPool, ForkedChildGetsAWorkingPool) {
  ASSERT_TRUE(sums_correctly_on_process_pool());  // the parent's pool exists now
  EXPECT_EQ(run_in_child([] { return sums_correctly_on_process_pool(); }), 0);
  // A grandchild, too.
  EXPECT_EQ(run_in_child([] {
              return sums_correctly_on_process_pool() &&
                     run_in_child([] { return sums_correctly_on_process_pool(); },
                                  std::chrono::seconds(30)) == 0;
            }),
            0);
  EXPECT_TRUE(sums_correctly_on_process_pool());
}

TEST(ProcessPool, ForkWhileAnotherThreadRunsALoopLeavesTheChildUsable) {
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    while (!stop) {
      parallel_for(64, [](std::size_t, std::size_t) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      });
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(run_in_child([] { return sums_correctly_on_process_pool(); }), 0);
  }
  stop = true;
  busy.join();
}

struct SizeCase {
  const char* value;  // nullptr: variable unset
  bool overrides;
  std::size_t expected;
};

void PrintTo(const SizeCase& c, std::ostream* os) {
  *os << "GLENT_NUM_THREADS=" << (c.value ? c.value : "(unset)");
}

class PoolSizeFromEnvironment : public ::testing::TestWithParam<SizeCase> {};

INSTANTIATE_TEST_SUITE_P(
    Values, PoolSizeFromEnvironment,
    ::testing::Values(SizeCase{"1", true, 1}, SizeCase{"3", true, 3}, SizeCase{"007", true, 7},
                      SizeCase{"100000000000000000000000", true, 256},
                      SizeCase{nullptr, false, 0}, SizeCase{"", false, 0},
                      SizeCase{"0", false, 0}, SizeCase{"-2", false, 0},
                      SizeCase{"4x", false, 0}, SizeCase{" 4", false, 0},
                      SizeCase{"abc", false, 0}),
    [](const ::testing::TestParamInfo<SizeCase>& case_info) {
      const char* value = case_info.param.value;
      return value ? "set_to_" + test_support::name_part(value) : std::string("unset");
    });

TEST_P(PoolSizeFromEnvironment, IsReadWhenTheChildCreatesItsPool) {
  parallel_for(10, [](std::size_t, std::size_t) {});  // make sure the child has one to forget
  const SizeCase c = GetParam();
  const int status = run_in_child([c] {
    if (c.value == nullptr) {
      unsetenv("GLENT_NUM_THREADS");
    } else {
      setenv("GLENT_NUM_THREADS", c.value, 1);
    }
    const std::size_t expected = c.overrides ? c.expected : available_cpu_count();
    return worker_pool_size() == expected && sums_correctly_on_process_pool();
  });
  EXPECT_EQ(status, 0) << (c.value ? c.value : "(unset)");
}

// Only the processors of the affinity mask count: a child pinned to its first k allowed CPUs
// creates a pool of k threads (k = 1, and 2 where the process may use two).
TEST(ProcessPool, DefaultSizeFollowsTheAffinityMask) {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  const std::size_t quota = cgroup_cpu_limit().value_or(CPU_SETSIZE);
  for (std::size_t k : {1u, 2u}) {
    if (static_cast<std::size_t>(CPU_COUNT(&allowed)) < k || quota < k) continue;
    EXPECT_EQ(run_in_child([&allowed, k] {
                cpu_set_t pinned;
                CPU_ZERO(&pinned);
                std::size_t taken = 0;
                for (int cpu = 0; cpu < CPU_SETSIZE && taken < k; ++cpu) {
                  if (CPU_ISSET(cpu, &allowed)) {
                    CPU_SET(cpu, &pinned);
                    ++taken;
                  }
                }
                if (sched_setaffinity(0, sizeof pinned, &pinned) != 0) return false;
                unsetenv("GLENT_NUM_THREADS");
                return affinity_cpu_count() == k && available_cpu_count() == k &&
                       worker_pool_size() == k && sums_correctly_on_process_pool();
              }),
              0)
        << k << " CPUs";
  }
}

struct QuotaCase {
  const char* quota;   // cpu.max, or cpu.cfs_quota_us when `period` is set
  const char* period;  // cpu.cfs_period_us; nullptr for a cgroup v2 cpu.max
  std::optional<std::size_t> processors;
};

void PrintTo(const QuotaCase& c, std::ostream* os) {
  *os << '"' << c.quota << '"';
  if (c.period) *os << " / \"" << c.period << '"';
}

class CpuQuotaFile : public ::testing::TestWithParam<QuotaCase> {};

INSTANTIATE_TEST_SUITE_P(
    Samples, CpuQuotaFile,
    ::testing::Values(
        // cgroup v2 cpu.max
        QuotaCase{"max 100000\n", nullptr, std::nullopt}, QuotaCase{"200000 100000\n", nullptr, 2},
        QuotaCase{"150000 100000\n", nullptr, 2}, QuotaCase{"50000 100000", nullptr, 1},
        QuotaCase{"1 100000", nullptr, 1}, QuotaCase{"400000 100000", nullptr, 4},
        QuotaCase{"100000 100000", nullptr, 1}, QuotaCase{"100001 100000", nullptr, 2},
        QuotaCase{"6400000 100000", nullptr, 64}, QuotaCase{"0 100000", nullptr, std::nullopt},
        QuotaCase{"200000 0", nullptr, std::nullopt}, QuotaCase{"max", nullptr, std::nullopt},
        QuotaCase{"", nullptr, std::nullopt}, QuotaCase{"200000", nullptr, std::nullopt},
        QuotaCase{"-1 100000", nullptr, std::nullopt}, QuotaCase{"2e5 100000", nullptr, std::nullopt},
        QuotaCase{"200000 100000 7", nullptr, std::nullopt},
        QuotaCase{"99999999999999999999999 100000", nullptr, std::nullopt},
        QuotaCase{"\x01garbage\xff", nullptr, std::nullopt},
        // cgroup v1 cpu.cfs_quota_us and cpu.cfs_period_us
        QuotaCase{"-1\n", "100000\n", std::nullopt}, QuotaCase{"300000\n", "100000\n", 3},
        QuotaCase{"250000\n", "100000\n", 3}, QuotaCase{"20000", "10000", 2},
        QuotaCase{"1000", "100000", 1}, QuotaCase{"300000", "0", std::nullopt},
        QuotaCase{"", "100000", std::nullopt}, QuotaCase{"lots", "100000", std::nullopt},
        QuotaCase{"300000", "", std::nullopt}),
    [](const ::testing::TestParamInfo<QuotaCase>& case_info) {
      using test_support::name_part;
      const QuotaCase& c = case_info.param;
      return c.period ? "cfs_quota_" + name_part(c.quota) + "_period_" + name_part(c.period)
                      : "cpu_max_" + name_part(c.quota);
    });

TEST_P(CpuQuotaFile, GivesTheProcessorsItGrantsRoundedUp) {
  const QuotaCase c = GetParam();
  const std::optional<std::size_t> got =
      c.period ? parse_cfs_quota(c.quota, c.period) : parse_cpu_max(c.quota);
  EXPECT_EQ(got, c.processors);
}

// Where the limit files are: the process's own cgroup and its ancestors up to the mount point,
// for the v2 hierarchy and the v1 cpu controller, whatever part of the hierarchy is mounted.
TEST(CgroupCpuDirectories, FollowTheOwnCgroupUpToTheMount) {
  const auto paths = [](const std::vector<CgroupCpuDirectory>& dirs) {
    std::vector<std::string> out;
    for (const auto& d : dirs) out.push_back(std::to_string(d.version) + " " + d.path);
    return out;
  };
  using Paths = std::vector<std::string>;
  // Unified hierarchy only (a systemd host, or a container with its own cgroup namespace).
  EXPECT_EQ(paths(cgroup_cpu_directories(
                "0::/user.slice/job 7.scope\n",
                "22 1 0:21 / /proc rw - proc proc rw\n"
                "30 1 0:26 / /sys/fs/cgroup rw,nosuid shared:4 - cgroup2 cgroup2 rw,nsdelegate\n")),
            (Paths{"2 /sys/fs/cgroup/user.slice/job 7.scope", "2 /sys/fs/cgroup/user.slice",
                   "2 /sys/fs/cgroup"}));
  // Inside a container: the process sits at the top of what is mounted.
  EXPECT_EQ(paths(cgroup_cpu_directories("0::/\n",
                                         "40 30 0:26 / /sys/fs/cgroup ro - cgroup2 cgroup2 rw\n")),
            (Paths{"2 /sys/fs/cgroup"}));
  // cgroup v1 with the mount showing only the container's part of the hierarchy, an escaped
  // space in the mount point, and the v2 hierarchy without a cpu controller beside it.
  EXPECT_EQ(paths(cgroup_cpu_directories(
                "12:pids:/docker/abc\n4:cpu,cpuacct:/docker/abc/inner\n0::/docker/abc\n",
                "31 23 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"
                "32 31 0:29 /docker/abc /sys/fs/cgroup/cpu\\040x rw - cgroup cgroup rw,cpu,cpuacct\n"
                "33 31 0:30 /docker/abc /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n")),
            (Paths{"2 /sys/fs/cgroup/unified", "1 /sys/fs/cgroup/cpu x/inner",
                   "1 /sys/fs/cgroup/cpu x"}));
  // A cgroup outside the mounted part: only the mount point itself can be read.
  EXPECT_EQ(paths(cgroup_cpu_directories(
                "3:cpu:/elsewhere\n",
                "32 31 0:29 /docker/abc /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n")),
            (Paths{"1 /sys/fs/cgroup/cpu"}));
  // Neither a cpu controller nor a unified hierarchy, or unreadable input: nowhere to look.
  EXPECT_EQ(paths(cgroup_cpu_directories("5:memory:/a\n",
                                         "35 31 0:32 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n")),
            Paths{});
  EXPECT_EQ(paths(cgroup_cpu_directories("garbage", "32 31 0:29\n - cgroup2")), Paths{});
}

}  // namespace
}  // namespace glent
