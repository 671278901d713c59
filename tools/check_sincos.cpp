// One-off accuracy check of glent::sin_cos: every float in [-1e6, 1e6] against a long double
// reference, with MPFR deciding every case where the long double result is too close to a
// rounding boundary to tell, or disagrees with ours. The C library's sinf/cosf are counted
// beside it. Prints counts, the largest error in ulp and the time taken.
//
// Build (not part of the project build): g++ -O2 -std=c++20 -ffp-contract=off -Isrc
//   tools/check_sincos.cpp src/common/sincos.cpp -lmpfr -pthread -o build/check_sincos
// Run: build/check_sincos [threads] (default: every logical CPU).
#include <mpfr.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "common/sincos.hpp"

namespace {

// The correctly rounded float of sin (which = 0) or cos (which = 1) of x, by MPFR.
float exact(float x, int which) {
  mpfr_t a, r;
  mpfr_init2(a, 24);
  mpfr_init2(r, 24);
  mpfr_set_flt(a, x, MPFR_RNDN);
  if (which == 0) mpfr_sin(r, a, MPFR_RNDN); else mpfr_cos(r, a, MPFR_RNDN);
  const float v = mpfr_get_flt(r, MPFR_RNDN);
  mpfr_clear(a);
  mpfr_clear(r);
  return v;
}

struct Tally {
  std::uint64_t wrong = 0;  // not the correctly rounded float
  double max_ulp = 0.0;
  float worst_x = 0.0f;

  void merge(const Tally& other) {
    wrong += other.wrong;
    if (other.max_ulp > max_ulp) {
      max_ulp = other.max_ulp;
      worst_x = other.worst_x;
    }
  }
};

// Error of y against the long double value t, in ulp of the float grid at t.
double ulp_error(float y, long double t) {
  const float tf = static_cast<float>(t);
  int exp;
  std::frexp(tf == 0.0f ? 1e-45f : tf, &exp);
  long double ulp = std::ldexp(1.0L, exp - 24);
  if (ulp < std::ldexp(1.0L, -149)) ulp = std::ldexp(1.0L, -149);
  return static_cast<double>(std::fabs(static_cast<long double>(y) - t) / ulp);
}

void account(Tally& tally, float x, float y, long double t, int which) {
  const float tf = static_cast<float>(t);
  // Is t so close to a halfway point that the long double rounding cannot be trusted?
  const float lo = std::nextafterf(tf, -2.0f), hi = std::nextafterf(tf, 2.0f);
  const long double mid_lo = (static_cast<long double>(lo) + tf) / 2;
  const long double mid_hi = (static_cast<long double>(hi) + tf) / 2;
  const long double tol = std::fabs(t) * 0x1p-58L + 0x1p-160L;
  float correct = tf;
  if (y != tf || std::fabs(t - mid_lo) < tol || std::fabs(t - mid_hi) < tol) {
    correct = exact(x, which);
  }
  if (std::bit_cast<std::uint32_t>(y) != std::bit_cast<std::uint32_t>(correct) &&
      !(y == 0.0f && correct == 0.0f)) {
    ++tally.wrong;
  }
  const double u = ulp_error(y, t);
  if (u > tally.max_ulp) {
    tally.max_ulp = u;
    tally.worst_x = x;
  }
}

}  // namespace

struct Tallies {
  Tally ours_s, ours_c, libc_s, libc_c;
  std::uint64_t count = 0;

  void merge(const Tallies& o) {
    ours_s.merge(o.ours_s);
    ours_c.merge(o.ours_c);
    libc_s.merge(o.libc_s);
    libc_c.merge(o.libc_c);
    count += o.count;
  }
};

// Every float whose magnitude has bits in [begin, end), and its negative.
void check_block(std::uint32_t begin, std::uint32_t end, Tallies& t) {
  for (std::uint32_t b = begin; b < end; ++b) {
    for (int sign = 0; sign < 2; ++sign) {
      if (sign == 1 && b == 0) continue;
      const float x = std::bit_cast<float>(b | (sign ? 0x80000000u : 0u));
      long double s, c;
      sincosl(static_cast<long double>(x), &s, &c);
      const glent::SinCos ours = glent::sin_cos(x);
      account(t.ours_s, x, ours.sin, s, 0);
      account(t.ours_c, x, ours.cos, c, 1);
      account(t.libc_s, x, sinf(x), s, 0);
      account(t.libc_c, x, cosf(x), c, 1);
      ++t.count;
    }
  }
}

int main(int argc, char** argv) {
  const auto start = std::chrono::steady_clock::now();
  unsigned threads = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1]))
                              : std::thread::hardware_concurrency();
  threads = std::max(1u, threads);
  // Every non-negative float up to 1e6 and its negative, handed out in blocks so that the
  // threads share the slower large arguments evenly.
  const std::uint64_t end = std::uint64_t{std::bit_cast<std::uint32_t>(1e6f)} + 1;
  constexpr std::uint64_t BLOCK = 1 << 16;
  std::atomic<std::uint64_t> next{0};
  std::vector<Tallies> partial(threads);
  std::vector<std::thread> pool;
  for (unsigned k = 0; k < threads; ++k) {
    pool.emplace_back([&, k] {
      for (;;) {
        const std::uint64_t b = next.fetch_add(BLOCK);
        if (b >= end) break;
        check_block(static_cast<std::uint32_t>(b), static_cast<std::uint32_t>(std::min(b + BLOCK, end)),
                    partial[k]);
      }
    });
  }
  for (std::thread& t : pool) t.join();
  Tallies all;
  for (const Tallies& t : partial) all.merge(t);
  const Tally &ours_s = all.ours_s, &ours_c = all.ours_c, &libc_s = all.libc_s, &libc_c = all.libc_c;
  const std::uint64_t count = all.count;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("range [-1e6, 1e6]: %llu floats, %.0f s on %u threads\n",
              static_cast<unsigned long long>(count), seconds, threads);
  const auto line = [](const char* name, const Tally& t) {
    std::printf("%-10s not correctly rounded %llu, max error %.4f ulp at x = %a\n", name,
                static_cast<unsigned long long>(t.wrong), t.max_ulp,
                static_cast<double>(t.worst_x));
  };
  line("glent sin", ours_s);
  line("glent cos", ours_c);
  line("libc sinf", libc_s);
  line("libc cosf", libc_c);
  return 0;
}
