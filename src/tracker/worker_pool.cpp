#include "tracker/worker_pool.hpp"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/cpu_count.hpp"
#include "common/fatal_error.hpp"

namespace glent {

namespace {

// Upper bound on the pool size, whatever GLENT_NUM_THREADS asks for: more threads than this
// only cost memory and start-up time.
constexpr std::size_t MAX_POOL_THREADS = 256;

// Set while the thread runs the body of a parallel loop (workers always). A loop started from
// inside a body runs inline: waiting for the pool from one of its own items would deadlock.
thread_local bool t_inside_loop = false;

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

// One loop at a time. The caller publishes the loop; workers join it. Every thread takes the
// next item from one shared counter until the counter passes the end, so the items are started
// in increasing order, each by one thread, and no thread idles while an item is left. The
// caller waits until every worker that joined has left.
struct WorkerPool::State {
  std::mutex caller_mutex;  // serialises parallel_for calls from different threads

  // Sleeping and waking; the state itself is in the atomics below.
  std::mutex mutex;
  std::condition_variable work_ready;
  std::condition_variable workers_left;
  std::condition_variable workers_started;
  std::size_t started = 0;  // workers done starting (under `mutex`)

  std::atomic<bool> stopping{false};
  // (generation << 1) | 1 while the loop of that generation is open for workers to join.
  std::atomic<std::uint64_t> job{0};
  std::atomic<std::size_t> workers_in_job{0};

  // The open loop; written by the caller before it opens the loop.
  const RangeBody* body = nullptr;
  std::size_t count = 0;
  // The next item to start; on a cache line of its own, as every thread writes it.
  alignas(64) std::atomic<std::size_t> next_item{0};
  // Items at or after the first failed one are not started any more.
  alignas(64) std::atomic<std::size_t> failed_begin{0};
  std::mutex failure_mutex;
  std::size_t failure_index = 0;
  std::exception_ptr failure;

  std::vector<std::thread> threads;

  // Keeps the failure of the earliest item; later items stop being started.
  void record_failure(std::size_t item, std::exception_ptr error) {
    std::lock_guard lock(failure_mutex);
    if (item < failure_index) {
      failure_index = item;
      failure = std::move(error);
      failed_begin.store(item, std::memory_order_relaxed);
    }
  }

  // Runs items until none is left. An item is taken before any later one, so every item before
  // a failed one has been taken and still runs: the failure reported is always that of the
  // first failing item in loop order.
  void run_items() {
    InsideLoop inside;
    for (;;) {
      const std::size_t item = next_item.fetch_add(1, std::memory_order_relaxed);
      if (item >= count || item >= failed_begin.load(std::memory_order_relaxed)) return;
      try {
        (*body)(item, item + 1);
      } catch (...) {
        record_failure(item, std::current_exception());
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
    {
      std::lock_guard lock(mutex);
      ++started;
      workers_started.notify_all();
    }
    std::uint64_t seen = 0;
    for (;;) {
      std::uint64_t word = 0;
      const auto wanted = [&] {
        word = job.load();
        return stopping.load() || ((word & 1) != 0 && word != seen);
      };
      // Workers sleep as soon as they have nothing to do: a worker spinning for the next loop
      // can hold up the very thread that would start it when both share a processor.
      {
        std::unique_lock lock(mutex);
        work_ready.wait(lock, wanted);
      }
      if (stopping.load()) return;
      seen = word;
      // Joining and the caller's closing are ordered: either the caller sees this worker in
      // the loop and waits for it, or the worker sees the loop closed and leaves it untouched.
      workers_in_job.fetch_add(1);
      if (job.load() == word) run_items();
      if (workers_in_job.fetch_sub(1) == 1) {
        std::lock_guard lock(mutex);
        workers_left.notify_all();
      }
    }
  }

  void start_workers(std::size_t n) {
    // Workers leave asynchronous signals to the application's own threads.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&all, sig);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    threads.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
      try {
        threads.emplace_back([this, i] { worker_loop(i); });
      } catch (const std::system_error&) {
        break;  // the system refuses more threads: compute with those we have
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    // The pool is ready once every worker waits for work. A process that forks right after
    // then copies no worker in the middle of starting, inside the thread library or the
    // allocator, whose locks the child would find held where they are not made safe for fork
    // (as under some sanitizers' allocators).
    std::unique_lock lock(mutex);
    workers_started.wait(lock, [&] { return started == threads.size(); });
  }

  void stop_workers() {
    stopping.store(true);
    { std::lock_guard lock(mutex); }
    work_ready.notify_all();
    for (std::thread& t : threads) t.join();
  }

  void run(std::size_t loop_count, const RangeBody& loop_body) {
    std::lock_guard serial(caller_mutex);
    // No worker is in a loop now: the fields are the caller's until the loop opens.
    body = &loop_body;
    count = loop_count;
    next_item.store(0, std::memory_order_relaxed);
    failed_begin.store(loop_count, std::memory_order_relaxed);
    failure_index = loop_count;
    failure = nullptr;
    const std::uint64_t generation = (job.load(std::memory_order_relaxed) >> 1) + 1;
    job.store((generation << 1) | 1);
    { std::lock_guard lock(mutex); }  // a worker about to sleep has checked `job` or waits
    work_ready.notify_all();
    run_items();
    job.store(generation << 1);
    wait_for_workers();
    body = nullptr;
    std::exception_ptr error = std::move(failure);
    failure = nullptr;
    if (error) std::rethrow_exception(error);
  }

  void wait_for_workers() {
    const auto all_left = [&] { return workers_in_job.load() == 0; };
    if (all_left()) return;
    std::unique_lock lock(mutex);
    workers_left.wait(lock, all_left);
  }
};

WorkerPool::WorkerPool(std::size_t num_threads) : state_(std::make_unique<State>()) {
  state_->start_workers(num_threads == 0 ? 0 : num_threads - 1);
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

}  // namespace glent
