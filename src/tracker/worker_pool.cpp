#include "tracker/worker_pool.hpp"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/fatal_error.hpp"
#include "tracker/cpu_quota.hpp"
#include "tracker/track_point.hpp"

namespace glent {

namespace {

// Upper bound on the pool size, whatever GLENT_NUM_THREADS asks for: more threads than this
// only cost memory and start-up time.
constexpr std::size_t MAX_POOL_THREADS = 256;

// A loop is cut into about this many pieces per thread, so that a thread that finishes early
// takes over work instead of waiting for a slow one.
constexpr std::size_t PIECES_PER_THREAD = 4;

// Set while the thread runs the body of a parallel loop (workers always). A loop started from
// inside a body runs inline: waiting for the pool from one of its own pieces would deadlock.
thread_local bool t_inside_loop = false;

struct Range {
  std::size_t begin;
  std::size_t end;
};

// Cuts [0, count) by repeated halving (a piece of n >= 2 items splits after its first n / 2)
// until there are at least `target` pieces or every piece is a single item. Pieces come out
// in order.
std::vector<Range> halve_into_pieces(std::size_t count, std::size_t target) {
  std::vector<Range> pieces{{0, count}};
  std::vector<Range> next;
  while (pieces.size() < target) {
    next.clear();
    next.reserve(2 * pieces.size());
    bool split_any = false;
    for (const Range& r : pieces) {
      const std::size_t n = r.end - r.begin;
      if (n >= 2) {
        const std::size_t mid = r.begin + n / 2;
        next.push_back({r.begin, mid});
        next.push_back({mid, r.end});
        split_any = true;
      } else {
        next.push_back(r);
      }
    }
    pieces.swap(next);
    if (!split_any) break;
  }
  return pieces;
}

class InsideLoop {
 public:
  InsideLoop() : previous_(t_inside_loop) { t_inside_loop = true; }
  ~InsideLoop() { t_inside_loop = previous_; }
  InsideLoop(const InsideLoop&) = delete;
  InsideLoop& operator=(const InsideLoop&) = delete;

 private:
  bool previous_;
};

std::optional<std::size_t> parse_thread_count(const char* text) {
  if (text == nullptr || *text == '\0') return std::nullopt;
  std::size_t value = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::size_t>(*c - '0');
    if (value > MAX_POOL_THREADS) value = MAX_POOL_THREADS + 1;  // saturate, no wrap-around
  }
  if (value == 0) return std::nullopt;
  return value < MAX_POOL_THREADS ? value : MAX_POOL_THREADS;
}

std::size_t configured_pool_size() {
  if (const auto requested = parse_thread_count(std::getenv("GLENT_NUM_THREADS"))) {
    return *requested;
  }
  // The processors this process may run on, not all those of the machine: under an affinity
  // mask or a container's CPU quota more threads would only take turns on the same cores.
  const std::size_t n = available_cpu_count();
  return n < MAX_POOL_THREADS ? n : MAX_POOL_THREADS;
}

}  // namespace

// One loop at a time: the caller publishes the job, workers join it and claim pieces by an
// atomic counter in piece order, and the caller waits until every worker that joined has left.
struct WorkerPool::State {
  std::mutex caller_mutex;  // serialises parallel_for calls from different threads

  std::mutex mutex;  // guards everything below except the atomics
  std::condition_variable work_ready;
  std::condition_variable workers_left;
  bool stopping = false;
  bool job_open = false;
  std::uint64_t generation = 0;
  std::size_t workers_in_job = 0;

  const RangeBody* body = nullptr;
  const std::vector<Range>* pieces = nullptr;
  std::vector<std::exception_ptr>* failures = nullptr;
  std::atomic<std::size_t> next_piece{0};
  std::atomic<bool> failed{false};

  std::vector<std::thread> threads;

  // Claims and runs pieces until none is left or one has failed. Pieces are claimed in
  // increasing order, so when piece i fails every piece before it has already started: the
  // failure reported is always the one of the first failing piece.
  void run_pieces() {
    InsideLoop inside;
    const std::size_t count = pieces->size();
    while (!failed.load(std::memory_order_relaxed)) {
      const std::size_t i = next_piece.fetch_add(1, std::memory_order_relaxed);
      if (i >= count) break;
      try {
        (*body)((*pieces)[i].begin, (*pieces)[i].end);
      } catch (...) {
        (*failures)[i] = std::current_exception();
        failed.store(true, std::memory_order_relaxed);
      }
    }
  }

  void worker_loop(std::size_t index) {
    try {
      std::string name = "glent-worker-" + std::to_string(index);
      // The system's copy of the name (seen by debuggers) holds at most 15 characters.
      pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
      set_current_thread_name(std::move(name));
    } catch (const std::bad_alloc&) {
      // Without memory for its name the worker still works; it reports itself as "main".
    }
    t_inside_loop = true;
    std::uint64_t seen = 0;
    std::unique_lock lock(mutex);
    for (;;) {
      work_ready.wait(lock, [&] { return stopping || (job_open && generation != seen); });
      if (stopping) return;
      seen = generation;
      ++workers_in_job;
      lock.unlock();
      run_pieces();
      lock.lock();
      if (--workers_in_job == 0) workers_left.notify_all();
    }
  }

  void start_workers(std::size_t count) {
    // Workers leave asynchronous signals to the application's own threads.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&all, sig);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    threads.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      try {
        threads.emplace_back([this, i] { worker_loop(i); });
      } catch (const std::system_error&) {
        break;  // the system refuses more threads: compute with those we have
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }

  void stop_workers() {
    {
      std::lock_guard lock(mutex);
      stopping = true;
    }
    work_ready.notify_all();
    for (std::thread& t : threads) t.join();
  }

  void run(std::size_t count, const RangeBody& loop_body) {
    std::lock_guard serial(caller_mutex);
    const std::vector<Range> loop_pieces =
        halve_into_pieces(count, PIECES_PER_THREAD * (threads.size() + 1));
    std::vector<std::exception_ptr> loop_failures(loop_pieces.size());
    {
      std::lock_guard lock(mutex);
      body = &loop_body;
      pieces = &loop_pieces;
      failures = &loop_failures;
      next_piece.store(0, std::memory_order_relaxed);
      failed.store(false, std::memory_order_relaxed);
      ++generation;
      job_open = true;
    }
    work_ready.notify_all();
    run_pieces();
    {
      std::unique_lock lock(mutex);
      job_open = false;
      workers_left.wait(lock, [&] { return workers_in_job == 0; });
      body = nullptr;
      pieces = nullptr;
      failures = nullptr;
    }
    for (const std::exception_ptr& failure : loop_failures) {
      if (failure) std::rethrow_exception(failure);
    }
  }
};

WorkerPool::WorkerPool(std::size_t num_threads) : state_(std::make_unique<State>()) {
  const std::size_t n = num_threads == 0 ? 1 : num_threads;
  state_->start_workers(n - 1);
}

WorkerPool::~WorkerPool() { state_->stop_workers(); }

std::size_t WorkerPool::size() const { return state_->threads.size() + 1; }

void WorkerPool::parallel_for(std::size_t count, const RangeBody& body) {
  if (count == 0) return;
  if (count < 2 || state_->threads.empty() || t_inside_loop) {
    InsideLoop inside;
    body(0, count);
    return;
  }
  state_->run(count, body);
}

// The process-wide pool is created on first use and never destroyed: its workers sleep on
// its condition variable until the process ends, so nothing runs at static destruction.
// fork() copies only the calling thread, so a child must not use the parent's pool (its
// workers do not exist there and its mutexes may be held): the child forgets it and creates
// its own on first use.
namespace {

std::mutex g_pool_creation;  // held across fork() so that a child never sees it locked
std::atomic<WorkerPool*> g_pool{nullptr};

// Pools a forked child inherited and forgot; kept reachable so that leak checkers in the
// child do not report them.
constexpr std::size_t MAX_FORGOTTEN_POOLS = 64;
WorkerPool* g_forgotten_pools[MAX_FORGOTTEN_POOLS];
std::size_t g_forgotten_count = 0;

void before_fork() { g_pool_creation.lock(); }

void after_fork_in_parent() { g_pool_creation.unlock(); }

void after_fork_in_child() {
  WorkerPool* inherited = g_pool.exchange(nullptr, std::memory_order_relaxed);
  if (inherited != nullptr && g_forgotten_count < MAX_FORGOTTEN_POOLS) {
    g_forgotten_pools[g_forgotten_count++] = inherited;
  }
  g_pool_creation.unlock();
}

// Registered at load time, before any thread of ours exists.
const int g_fork_handlers_registered =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

}  // namespace

WorkerPool& WorkerPool::process_pool() {
  static_cast<void>(g_fork_handlers_registered);
  WorkerPool* pool = g_pool.load(std::memory_order_acquire);
  if (pool != nullptr) return *pool;
  std::lock_guard lock(g_pool_creation);
  pool = g_pool.load(std::memory_order_relaxed);
  if (pool == nullptr) {
    pool = new WorkerPool(configured_pool_size());
    g_pool.store(pool, std::memory_order_release);
  }
  return *pool;
}

std::size_t worker_pool_size() { return WorkerPool::process_pool().size(); }

void parallel_for(std::size_t count, const RangeBody& body) {
  if (count == 0) return;
  if (count < 2) {
    body(0, count);
    return;
  }
  WorkerPool::process_pool().parallel_for(count, body);
}

PointMap track_point_map(WorkerPool& pool, const Pyramid& pyramid0, const Pyramid& pyramid1,
                         const PointMap& points) {
  const std::size_t n = points.size();
  if (n == 0) return {};
  // One slot per entry, written only by the thread that decides it; compacted in input order
  // afterwards, so the result does not depend on how the loop was cut.
  std::vector<std::optional<TrackedPoint>> decided(n);
  pool.parallel_for(n, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      decided[i] = track_point_checked(pyramid0, pyramid1, points[i].id, points[i].transform);
    }
  });
  std::size_t survivors = 0;
  for (const auto& d : decided) survivors += d.has_value() ? 1 : 0;
  PointMap result;
  result.reserve(survivors);
  for (const auto& d : decided) {
    if (d) result.push_back(*d);
  }
  return result;
}

PointMap track_point_map(const Pyramid& pyramid0, const Pyramid& pyramid1, const PointMap& points) {
  if (points.empty()) return {};
  if (points.size() < 2) {
    // Decided on the calling thread; the pool is not even created.
    PointMap result;
    if (auto survivor = track_point_checked(pyramid0, pyramid1, points[0].id, points[0].transform)) {
      result.push_back(*survivor);
    }
    return result;
  }
  return track_point_map(WorkerPool::process_pool(), pyramid0, pyramid1, points);
}

}  // namespace glent
