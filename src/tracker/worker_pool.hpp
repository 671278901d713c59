#pragma once
// The process-wide worker pool: a parallel loop over the items 0 .. count - 1.

#include <cstddef>
#include <functional>
#include <memory>

namespace glent {

using RangeBody = std::function<void(std::size_t, std::size_t)>;

// A fixed set of threads running parallel loops. A pool of size n computes with n threads: the
// thread that calls parallel_for and n - 1 workers. Calls from several threads take turns.
class WorkerPool {
 public:
  // Returns once every worker has started and waits for work.
  explicit WorkerPool(std::size_t num_threads);
  // Stops and joins the workers. The process-wide pool is never destroyed.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Threads computing a loop, the calling thread included (at least 1).
  std::size_t size() const;

  // See the free function parallel_for below.
  void parallel_for(std::size_t count, const RangeBody& body);

  // The pool shared by the whole process, created on first use. A child process forked after
  // the pool was used gets a fresh pool of its own on first use.
  static WorkerPool& process_pool();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Number of threads of the process-wide pool: GLENT_NUM_THREADS when set to a positive
// integer, else the processors the process may use (available_cpu_count: its affinity mask,
// capped by its cgroup's CPU quota). Read when the pool is first created.
std::size_t worker_pool_size();

// Runs body(i, i + 1) for every item i of [0, count) on the process-wide pool and returns when
// all are done; fewer than two items run on the calling thread as one call body(0, count).
// Threads take the items one at a time in increasing order, so a thread held up in one item
// leaves every later item to the others. An exception thrown by the body is rethrown on the
// calling thread after every started item has finished; every item before the failing one
// still runs, the items after it that no thread has started are skipped, and the failure of
// the first failing item in loop order wins.
void parallel_for(std::size_t count, const RangeBody& body);

}  // namespace glent
