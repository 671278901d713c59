// Cost per call of glent::sin_cos beside the C library's sinf + cosf (the pair se2_exp used
// to call) and sincosf, over angles of the size alignment increments have (|theta| < 0.1) and
// over the whole accepted range (|theta| <= 1e6). Interleaved rounds, median per call.
// "independent" calls overlap in the processor, which measures throughput; "chained" calls feed
// each result into the next argument (x + 0 * sin, which the compiler may not fold), as the
// alignment loop does, where the next increment waits for this one's warp: that measures latency.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "common/sincos.hpp"

namespace {

std::vector<float> angles(float limit) {
  std::vector<float> v(1 << 16);
  std::uint32_t s = 12345;
  for (float& x : v) {
    s = s * 1664525u + 1013904223u;
    x = (static_cast<float>(s >> 8) / 16777216.0f * 2.0f - 1.0f) * limit;
  }
  return v;
}

template <class F>
double ns_per_call(const std::vector<float>& xs, bool chained, F f) {
  volatile float sink = 0.0f;
  const auto t0 = std::chrono::steady_clock::now();
  float acc = 0.0f;
  for (int rep = 0; rep < 8; ++rep) {
    if (chained) {
      for (float x : xs) acc = f(x + 0.0f * acc);
    } else {
      for (float x : xs) acc += f(x);
    }
  }
  sink = acc;
  (void)sink;
  const auto t1 = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::nano>(t1 - t0).count() / (8.0 * xs.size());
}

}  // namespace

int main() {
  const auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  const auto ours = [](float x) {
    const glent::SinCos r = glent::sin_cos(x);
    return r.sin + r.cos;
  };
  const auto libc = [](float x) { return std::sin(x) + std::cos(x); };
  const auto libc_pair = [](float x) {
    float s, c;
    sincosf(x, &s, &c);
    return s + c;
  };
  for (float limit : {0.01f, 0.1f, 1e6f}) {
    const std::vector<float> xs = angles(limit);
    for (int chained = 0; chained < 2; ++chained) {
      std::vector<double> t_ours, t_libc, t_pair;
      for (int round = 0; round < 21; ++round) {
        t_ours.push_back(ns_per_call(xs, chained != 0, ours));
        t_libc.push_back(ns_per_call(xs, chained != 0, libc));
        t_pair.push_back(ns_per_call(xs, chained != 0, libc_pair));
      }
      std::printf("|theta| <= %-6g %-11s glent sin_cos %5.2f ns, libc sinf+cosf %5.2f ns, "
                  "libc sincosf %5.2f ns\n",
                  static_cast<double>(limit), chained ? "chained" : "independent",
                  median(t_ours), median(t_libc), median(t_pair));
    }
  }
  return 0;
}
