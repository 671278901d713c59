// The worker pool: coverage of the loop, hand-back of failures, concurrent callers, fork.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/fatal_error.hpp"
#include "tracker/worker_pool.hpp"

namespace glent {
namespace {

bool is_worker_name(const std::string& name) { return name.rfind("glent-worker-", 0) == 0; }

class PoolOfSize : public ::testing::TestWithParam<std::size_t> {};

INSTANTIATE_TEST_SUITE_P(Sizes, PoolOfSize, ::testing::Values(1, 2, 3, 8));

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
  if (GetParam() < 2) GTEST_SKIP() << "needs a second thread";
  WorkerPool pool(GetParam());
  for (const std::size_t count : {2u, 9u, 64u, 1001u}) {
    // Item 0 waits until every other item has run: only possible if the other threads take
    // over the items queued behind it on its own thread.
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

// Runs `child` in a forked process (with a watchdog) and returns its exit status: 0 on success.
template <typename F>
int run_in_child(F child) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(30);  // a hang ends the child with SIGALRM instead of blocking the test run
    int code = 1;
    try {
      code = child() ? 0 : 1;
    } catch (...) {
      code = 2;
    }
    _exit(code);
  }
  if (pid < 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  if (!WIFEXITED(status)) return 1000 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  return WEXITSTATUS(status);
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
                     run_in_child([] { return sums_correctly_on_process_pool(); }) == 0;
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
      return "case" + std::to_string(case_info.index);
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
    const unsigned hw = std::thread::hardware_concurrency();
    const std::size_t expected = c.overrides ? c.expected : (hw == 0 ? 1 : hw);
    return worker_pool_size() == expected && sums_correctly_on_process_pool();
  });
  EXPECT_EQ(status, 0) << (c.value ? c.value : "(unset)");
}

}  // namespace
}  // namespace glent
