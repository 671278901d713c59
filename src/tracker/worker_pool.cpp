#include "tracker/worker_pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/fatal_error.hpp"
#include "common/numeric.hpp"
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

// The pieces of [0, count) cut by repeated halving (a piece of n >= 2 items splits after its
// first n / 2) until there are at least `target` pieces or every piece is a single item; in
// order. Computed piece by piece, so that a loop allocates nothing: with 2^depth the first
// power of two at or above `target`, a count of at least 2^depth ends as the 2^depth pieces of
// `depth` halvings (none of them reaches a single item before), a smaller one as single items.
class HalvedPieces {
 public:
  HalvedPieces(std::size_t count, std::size_t target) : count_(count) {
    while (depth_ < 63 && (std::size_t{1} << depth_) < target) ++depth_;
    singles_ = count < (std::size_t{1} << depth_);
  }

  std::size_t size() const { return singles_ ? count_ : std::size_t{1} << depth_; }

  // Piece p < size(): the halves chosen by the bits of p, highest first.
  Range operator[](std::size_t p) const {
    if (singles_) return {p, p + 1};
    Range r{0, count_};
    for (unsigned bit = depth_; bit-- > 0;) {
      const std::size_t mid = r.begin + (r.end - r.begin) / 2;
      if (((p >> bit) & 1) != 0) {
        r.begin = mid;
      } else {
        r.end = mid;
      }
    }
    return r;
  }

 private:
  std::size_t count_;
  unsigned depth_ = 0;
  bool singles_ = false;
};

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

// The calling thread, done with its own share, waits this long for the workers' last items
// (usually a few microseconds) before it sleeps.
constexpr auto CALLER_SPIN = std::chrono::microseconds(50);

// Tells the processor that this thread is waiting on memory another one will write.
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

// Checks `done` until it holds or `limit` has passed; returns its last value. Between rounds of
// checks it yields the processor, so that a thread it shares the processor with (a worker the
// system woke on the caller's processor) is not kept waiting by the spin.
template <class Done>
bool spin_until(Done done, std::chrono::steady_clock::duration limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  do {
    for (int i = 0; i < 16; ++i) {
      if (done()) return true;
      cpu_relax();
    }
    std::this_thread::yield();
  } while (std::chrono::steady_clock::now() < deadline);
  return done();
}

// One loop at a time. The caller publishes the job; workers join it. Every thread owns a slot,
// the range of items it is working through front to back, one item at a time. A thread whose
// slot is empty takes the next piece of the halving in piece order; when there is none left it
// takes over the back half of the fullest slot of another thread (a single item whole). So no
// thread idles while another still has an item it has not started, whoever was late to wake.
// The caller waits until every worker that joined has left.
struct WorkerPool::State {
  // The items one thread has claimed and not yet started: [next, end). Changed only under its
  // mutex; read without it only to choose a slot to take work from.
  struct alignas(64) Slot {
    std::mutex mutex;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> end{0};
  };

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
  const HalvedPieces* pieces = nullptr;
  std::atomic<std::size_t> next_piece{0};
  // Items at or after the first failed one are not started any more.
  std::atomic<std::size_t> failed_begin{0};
  std::mutex failure_mutex;
  std::size_t failure_index = 0;
  std::exception_ptr failure;

  std::unique_ptr<Slot[]> slots;
  std::size_t slot_count = 0;
  std::vector<std::thread> threads;

  static void set_range(Slot& slot, std::size_t begin, std::size_t end) {
    std::lock_guard lock(slot.mutex);
    slot.next.store(begin, std::memory_order_relaxed);
    slot.end.store(end, std::memory_order_relaxed);
  }

  // The next item of the thread's own slot, unless it lies at or after a failed one.
  bool take_front(Slot& slot, std::size_t& item) {
    std::lock_guard lock(slot.mutex);
    const std::size_t next = slot.next.load(std::memory_order_relaxed);
    const std::size_t end = slot.end.load(std::memory_order_relaxed);
    if (next >= end) return false;
    if (next >= failed_begin.load(std::memory_order_relaxed)) {
      slot.next.store(end, std::memory_order_relaxed);
      return false;
    }
    item = next;
    slot.next.store(next + 1, std::memory_order_relaxed);
    return true;
  }

  // Moves the back half of the fullest other slot into `own`; false when every slot is empty.
  bool take_over(std::size_t own) {
    for (;;) {
      std::size_t victim = slot_count;
      std::size_t most = 0;
      for (std::size_t s = 0; s < slot_count; ++s) {
        if (s == own) continue;
        const std::size_t next = slots[s].next.load(std::memory_order_relaxed);
        const std::size_t end = slots[s].end.load(std::memory_order_relaxed);
        if (end > next && end - next > most) {
          most = end - next;
          victim = s;
        }
      }
      if (victim == slot_count) return false;
      std::size_t begin = 0;
      std::size_t end = 0;
      {
        std::lock_guard lock(slots[victim].mutex);
        const std::size_t next = slots[victim].next.load(std::memory_order_relaxed);
        end = slots[victim].end.load(std::memory_order_relaxed);
        if (next >= end) continue;  // emptied meanwhile: look again
        // The owner keeps the first floor(n / 2) items, as in the halving.
        begin = next + (end - next) / 2;
        slots[victim].end.store(begin, std::memory_order_relaxed);
      }
      set_range(slots[own], begin, end);
      return true;
    }
  }

  // Keeps the failure of the earliest item; later items stop being started.
  void record_failure(std::size_t item, std::exception_ptr error) {
    std::lock_guard lock(failure_mutex);
    if (item < failure_index) {
      failure_index = item;
      failure = std::move(error);
      failed_begin.store(item, std::memory_order_relaxed);
    }
  }

  // Runs items until no thread has any left. Every item before a failed one still runs, so the
  // failure reported is always that of the first failing item in loop order.
  void run_pieces(std::size_t own) {
    InsideLoop inside;
    Slot& slot = slots[own];
    for (;;) {
      std::size_t item = 0;
      if (take_front(slot, item)) {
        try {
          (*body)(item, item + 1);
        } catch (...) {
          record_failure(item, std::current_exception());
        }
        continue;
      }
      const std::size_t p = next_piece.fetch_add(1, std::memory_order_relaxed);
      if (p < pieces->size()) {
        const Range piece = (*pieces)[p];
        set_range(slot, piece.begin, piece.end);
        continue;
      }
      if (!take_over(own)) return;
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
      if (job.load() == word) run_pieces(index + 1);
      if (workers_in_job.fetch_sub(1) == 1) {
        std::lock_guard lock(mutex);
        workers_left.notify_all();
      }
    }
  }

  void start_workers(std::size_t count) {
    slot_count = count + 1;
    slots = std::make_unique<Slot[]>(slot_count);
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

  void run(std::size_t count, const RangeBody& loop_body) {
    std::lock_guard serial(caller_mutex);
    const HalvedPieces loop_pieces(count, PIECES_PER_THREAD * (threads.size() + 1));
    // No worker is in a loop now: the fields are the caller's until the loop opens.
    body = &loop_body;
    pieces = &loop_pieces;
    next_piece.store(0, std::memory_order_relaxed);
    failed_begin.store(count, std::memory_order_relaxed);
    failure_index = count;
    failure = nullptr;
    for (std::size_t s = 0; s < slot_count; ++s) set_range(slots[s], 0, 0);
    const std::uint64_t generation = (job.load(std::memory_order_relaxed) >> 1) + 1;
    job.store((generation << 1) | 1);
    { std::lock_guard lock(mutex); }  // a worker about to sleep has checked `job` or waits
    work_ready.notify_all();
    run_pieces(0);
    job.store(generation << 1);
    const auto all_left = [&] { return workers_in_job.load() == 0; };
    if (!spin_until(all_left, CALLER_SPIN)) {
      std::unique_lock lock(mutex);
      workers_left.wait(lock, all_left);
    }
    body = nullptr;
    pieces = nullptr;
    std::exception_ptr error = std::move(failure);
    failure = nullptr;
    if (error) std::rethrow_exception(error);
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

std::vector<std::uint32_t> spatial_order(const PointMap& points) {
  // Bands of 16 level-0 rows, then x; whole pixels, saturated (a NaN or negative coordinate
  // counts as 0), with the index last so that the order is total.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    const std::uint64_t band = saturate_to_u32(points[i].transform.ty()) >> 4;
    const std::uint64_t column = saturate_to_u32(points[i].transform.tx());
    keyed[i] = {(band << 32) | column, static_cast<std::uint32_t>(i)};
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<std::uint32_t> order(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) order[i] = keyed[i].second;
  return order;
}

PointMap decide_points(WorkerPool* pool, std::size_t n, const PointDecision& decide,
                       std::vector<std::size_t>* kept, const std::vector<std::uint32_t>* order) {
  if (kept != nullptr) kept->clear();
  if (n == 0) return {};
  GLENT_CHECK(n <= std::numeric_limits<std::uint32_t>::max(), "too many points to track at once");
  GLENT_CHECK(order == nullptr || order->size() == n, "point order out of step with its points");
  // One slot per entry, written only by the thread that decides it; compacted in input order
  // afterwards, so the result does not depend on how the loop was cut or on the order taken.
  std::vector<std::optional<TrackedPoint>> decided(n);
  // The loop's items are pairs of entries (the last one may be single).
  const std::size_t pairs = (n + 1) / 2;
  const RangeBody body = [&](std::size_t begin, std::size_t end) {
    for (std::size_t j = begin; j < end; ++j) {
      const std::size_t first = 2 * j;
      const std::size_t count = std::min<std::size_t>(2, n - first);
      std::uint32_t entries[2];
      for (std::size_t k = 0; k < count; ++k) {
        entries[k] = order != nullptr ? (*order)[first + k] : static_cast<std::uint32_t>(first + k);
      }
      std::optional<TrackedPoint> results[2];
      decide(entries, count, results);
      for (std::size_t k = 0; k < count; ++k) decided[entries[k]] = results[k];
    }
  };
  if (pool != nullptr) {
    pool->parallel_for(pairs, body);
  } else {
    parallel_for(pairs, body);  // one or two entries are decided without even creating the pool
  }
  std::size_t survivors = 0;
  for (const auto& d : decided) survivors += d.has_value() ? 1 : 0;
  PointMap result;
  result.reserve(survivors);
  if (kept != nullptr) kept->reserve(survivors);
  for (std::size_t i = 0; i < n; ++i) {
    if (!decided[i]) continue;
    result.push_back(*decided[i]);
    if (kept != nullptr) kept->push_back(i);
  }
  return result;
}

namespace {

PointMap track_point_map_on(WorkerPool* pool, const Pyramid& pyramid0, const Pyramid& pyramid1,
                            const PointMap& points) {
  const std::vector<std::uint32_t> order = spatial_order(points);
  const auto decide = [&](const std::uint32_t* entries, std::size_t count, std::optional<TrackedPoint>* out) {
    CheckedPoint in[2];
    for (std::size_t k = 0; k < count; ++k) {
      in[k] = CheckedPoint{points[entries[k]].id, points[entries[k]].transform};
    }
    track_points_checked(pyramid0, pyramid1, in, count, out);
  };
  return decide_points(pool, points.size(), decide, nullptr, &order);
}

}  // namespace

PointMap track_point_map(WorkerPool& pool, const Pyramid& pyramid0, const Pyramid& pyramid1,
                         const PointMap& points) {
  return track_point_map_on(&pool, pyramid0, pyramid1, points);
}

PointMap track_point_map(const Pyramid& pyramid0, const Pyramid& pyramid1, const PointMap& points) {
  return track_point_map_on(nullptr, pyramid0, pyramid1, points);
}

}  // namespace glent
