#pragma once
// The process-wide worker pool and the parallel tracking of a point map.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "common/transform.hpp"
#include "tracker/pyramid.hpp"

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

// Runs body(begin, end) over contiguous pieces of [0, count) on the pool and returns when all
// are done; fewer than two items run on the calling thread as one piece. Threads take the
// pieces of a repeated halving in order, hand them to the body an item at a time, and a thread
// that has none left takes over half of another thread's unstarted items. An exception thrown
// by the body is rethrown on the calling thread after every started piece has finished; every
// item before the failing one still runs, and the failure of the first failing item in loop
// order wins.
void parallel_for(std::size_t count, const RangeBody& body);

// Decides entries 0 .. n - 1, two at a time: decide(entries, count, results) decides the
// `count` entries (2, or 1 for a last single one) whose indices are entries[0 .. count - 1] into
// results[0 .. count - 1], each pair on one thread of `pool` (null: the process-wide pool, which
// one or two entries never create). The entries are taken in `order` (a permutation of
// 0 .. n - 1; null: input order). Returns the entries decided present, in input order whatever
// the order taken, and in `kept` (when not null) the index of each. Failures as parallel_for, a
// pair being one item of the loop.
using PointDecision =
    std::function<void(const std::uint32_t* entries, std::size_t count, std::optional<TrackedPoint>* results)>;
PointMap decide_points(WorkerPool* pool, std::size_t n, const PointDecision& decide,
                       std::vector<std::size_t>* kept = nullptr,
                       const std::vector<std::uint32_t>* order = nullptr);

// An order of the entries of `points` for decide_points in which consecutive points lie near
// each other in the image (bands of 16 rows, then along x), so that they read the same cache
// lines of the pyramids; point maps come sorted by id, which scatters them over the frame.
std::vector<std::uint32_t> spatial_order(const PointMap& points);

// Tracks every entry of `points` with track_point_checked on the pool; returns the survivors,
// each with its forward-tracked transform, in input order.
PointMap track_point_map(const Pyramid& pyramid0, const Pyramid& pyramid1, const PointMap& points);

// Same, on the given pool instead of the process-wide one.
PointMap track_point_map(WorkerPool& pool, const Pyramid& pyramid0, const Pyramid& pyramid1,
                         const PointMap& points);

}  // namespace glent
