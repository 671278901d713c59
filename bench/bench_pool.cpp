// The worker pool around the per-point work: hand-off latency and the speed-up of
// track_point_map with more threads.
//
//   bench_pool [rounds] [points]
//
// 1. Hand-off: a loop of two one-item pieces, the calling thread holding its piece until a
//    worker has started the other. Reported: the time from entering parallel_for until a worker
//    runs (wake-up), and from the worker's end of its piece until parallel_for returns (resume).
//    The loops are started 2 ms apart, so the workers have gone to sleep in between, as they
//    have between the frames of a video.
// 2. track_point_map on `points` points (default 1000) of a synthetic 640 x 480 texture moved by
//    a sub-pixel shift, on pools of 1 and 2 threads, interleaved round by round; medians, and the
//    median of the per-round ratios.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "tracker/point_map.hpp"
#include "tracker/pyramid.hpp"
#include "tracker/track_point.hpp"
#include "tracker/point_map_tracking.hpp"
#include "tracker/worker_pool.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

double percentile(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

// Smooth value noise over three octaves, seen through a shift of (dx, dy) pixels.
glent::GrayImage texture(std::uint32_t w, std::uint32_t h, double dx, double dy) {
  constexpr int kSide = 64;
  std::mt19937 rng(3);
  std::vector<double> lattice(3 * kSide * kSide);
  for (double& v : lattice) v = static_cast<double>(rng() % 10001u) / 10000.0;
  const double cells[] = {31.0, 13.0, 5.0};
  const double amps[] = {140.0, 80.0, 40.0};
  const auto at = [&](int o, long i, long j) {
    i = ((i % kSide) + kSide) % kSide;
    j = ((j % kSide) + kSide) % kSide;
    return lattice[static_cast<std::size_t>((o * kSide + j) * kSide + i)];
  };
  glent::GrayImage image(w, h);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      double v = 20.0;
      for (int o = 0; o < 3; ++o) {
        const double px = (x - dx) / cells[o];
        const double py = (y - dy) / cells[o];
        const double fx = std::floor(px);
        const double fy = std::floor(py);
        const auto i = static_cast<long>(fx);
        const auto j = static_cast<long>(fy);
        const double a = px - fx;
        const double b = py - fy;
        const double sa = a * a * (3.0 - 2.0 * a);
        const double sb = b * b * (3.0 - 2.0 * b);
        const double top = at(o, i, j) + (at(o, i + 1, j) - at(o, i, j)) * sa;
        const double bottom = at(o, i, j + 1) + (at(o, i + 1, j + 1) - at(o, i, j + 1)) * sa;
        v += amps[o] * (top + (bottom - top) * sb);
      }
      image.pixels[std::size_t{y} * w + x] =
          static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 255.0)));
    }
  }
  return image;
}

void hand_off(glent::WorkerPool& pool, int rounds) {
  std::vector<double> wake;
  std::vector<double> resume;
  std::vector<double> total;
  for (int r = 0; r < rounds; ++r) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::atomic<bool> worker_started{false};
    Clock::time_point worker_start{};
    Clock::time_point worker_end{};
    const std::thread::id caller = std::this_thread::get_id();
    const Clock::time_point entry = Clock::now();
    pool.parallel_for(2, [&](std::size_t, std::size_t) {
      if (std::this_thread::get_id() != caller) {
        worker_start = Clock::now();
        worker_started.store(true, std::memory_order_release);
        worker_end = Clock::now();
        return;
      }
      const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(50);
      while (!worker_started.load(std::memory_order_acquire) && Clock::now() < deadline) {
      }
    });
    const Clock::time_point back = Clock::now();
    if (!worker_started.load()) continue;  // the caller ran both pieces: nothing to measure
    wake.push_back(us(worker_start - entry));
    resume.push_back(us(back - worker_end));
    total.push_back(us(back - entry));
  }
  std::printf("hand-off on a pool of %zu threads, %zu of %d rounds measured (us):\n", pool.size(),
              wake.size(), rounds);
  std::printf("  entry -> worker runs:      median %7.1f   p90 %7.1f\n", median(wake),
              percentile(wake, 0.9));
  std::printf("  worker done -> caller back: median %7.1f   p90 %7.1f\n", median(resume),
              percentile(resume, 0.9));
  std::printf("  whole loop:                median %7.1f   p90 %7.1f\n", median(total),
              percentile(total, 0.9));
}

struct Material {
  glent::Pyramid p0;
  glent::Pyramid p1;
  glent::PointMap points;
};

Material material(std::size_t count) {
  Material m{glent::build_pyramid(texture(640, 480, 0.0, 0.0), 4),
             glent::build_pyramid(texture(640, 480, 1.3, -0.6), 4), {}};
  std::mt19937 rng(11);
  for (std::size_t i = 0; i < count; ++i) {
    const float x = 24.0f + static_cast<float>(rng() % 5920u) / 10.0f;
    const float y = 24.0f + static_cast<float>(rng() % 4320u) / 10.0f;
    m.points.push_back({i, glent::Transform::at(x, y)});
  }
  return m;
}

void speed_up(int rounds, const Material& m) {
  const glent::Pyramid& p0 = m.p0;
  const glent::Pyramid& p1 = m.p1;
  const glent::PointMap& points = m.points;
  const std::size_t count = points.size();
  glent::WorkerPool one(1);
  glent::WorkerPool two(2);
  const glent::PointMap reference = glent::track_point_map(one, p0, p1, points);
  if (glent::track_point_map(two, p0, p1, points) != reference) {
    std::printf("1 and 2 threads disagree\n");
    std::exit(1);
  }
  std::vector<double> t1;
  std::vector<double> t2;
  std::vector<double> ratio;
  for (int r = 0; r < rounds; ++r) {
    double a = 0.0;
    double b = 0.0;
    for (int k = 0; k < 2; ++k) {
      const bool first_one = (r + k) % 2 == 0;
      for (glent::WorkerPool* pool : {first_one ? &one : &two, first_one ? &two : &one}) {
        const Clock::time_point t0 = Clock::now();
        const glent::PointMap out = glent::track_point_map(*pool, p0, p1, points);
        const double t = us(Clock::now() - t0);
        if (out.size() != reference.size()) std::exit(1);
        (pool == &one ? a : b) += t / 2.0;
      }
    }
    t1.push_back(a);
    t2.push_back(b);
    ratio.push_back(a / b);
  }
  std::printf("track_point_map, %zu points (%zu survive), medians of %d interleaved rounds:\n",
              count, reference.size(), rounds);
  std::printf("  1 thread  %8.1f us  (%.2f us/point)\n", median(t1),
              median(t1) / static_cast<double>(count));
  std::printf("  2 threads %8.1f us  (%.2f us/point)\n", median(t2),
              median(t2) / static_cast<double>(count));
  std::printf("  speed-up: ratio of medians %.3f, median of per-round ratios %.3f\n",
              median(t1) / median(t2), median(ratio));
}

// Where the time of a 2-thread loop goes: each thread's busy time (inside track_point_checked),
// and the time from the first thread running out of work to the end of the loop.
void breakdown(int rounds, const glent::Pyramid& p0, const glent::Pyramid& p1,
               const glent::PointMap& points) {
  glent::WorkerPool two(2);
  std::vector<double> wall;
  std::vector<double> inflation;
  std::vector<double> tail;
  std::vector<double> serial;
  for (int r = 0; r < rounds; ++r) {
    // The same work on this thread alone, for the inflation figure.
    Clock::time_point s0 = Clock::now();
    for (const auto& p : points) static_cast<void>(glent::track_point_checked(p0, p1, p.id, p.transform));
    const double alone = us(Clock::now() - s0);
    std::atomic<double> busy[2] = {0.0, 0.0};
    std::atomic<Clock::rep> last_end[2] = {0, 0};
    const std::thread::id caller = std::this_thread::get_id();
    const Clock::time_point t0 = Clock::now();
    two.parallel_for(points.size(), [&](std::size_t begin, std::size_t end) {
      const int t = std::this_thread::get_id() == caller ? 0 : 1;
      const Clock::time_point b = Clock::now();
      for (std::size_t i = begin; i < end; ++i) {
        static_cast<void>(glent::track_point_checked(p0, p1, points[i].id, points[i].transform));
      }
      const Clock::time_point e = Clock::now();
      busy[t] = busy[t] + us(e - b);
      last_end[t] = (e - t0).count();
    });
    const double w = us(Clock::now() - t0);
    wall.push_back(w);
    serial.push_back(alone);
    inflation.push_back((busy[0] + busy[1]) / alone);
    const Clock::rep first_done = std::min(last_end[0].load(), last_end[1].load());
    const Clock::rep last_done = std::max(last_end[0].load(), last_end[1].load());
    tail.push_back(us(Clock::duration(last_done - first_done)));
  }
  std::printf("2-thread loop breakdown, medians of %d rounds:\n", rounds);
  std::printf("  wall %.1f us, same work on one thread %.1f us (speed-up %.3f)\n", median(wall),
              median(serial), median(serial) / median(wall));
  std::printf("  busy time of both threads / one-thread time: %.3f\n", median(inflation));
  std::printf("  one thread idle before the other finishes: median %.1f us, p90 %.1f us\n",
              median(tail), percentile(tail, 0.9));
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
  const std::size_t points = argc > 2 ? static_cast<std::size_t>(std::atol(argv[2])) : 1000;
  glent::WorkerPool two(2);
  hand_off(two, rounds);
  const Material m = material(points);
  speed_up(rounds, m);
  breakdown(rounds / 2, m.p0, m.p1, m.points);
  return 0;
}
