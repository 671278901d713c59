// Micro-benchmark of the FAST-9 detector: the one-pixel-at-a-time reference against
// fast9_detect in each instruction-set variant the processor runs (selected with simd::use_isa).
//
//   bench_fast9 [image.pgm] [repetitions]
//
// With a binary PGM (P5, 8-bit) it runs on that image; without one, on a synthetic textured
// 320 x 240 image. Prints the median wall time of one detection for each and the speed-up over
// the reference.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

#include "common/isa.hpp"
#include "corners_fast9/fast9.hpp"
#include "corners_fast9/grid_selection.hpp"
#include "image_utilities/gray_image.hpp"

namespace {

// Reads one whitespace-separated header token of a PGM, skipping '#' comments.
std::string pgm_token(std::istream& in) {
  std::string token;
  char ch = 0;
  while (in.get(ch)) {
    if (ch == '#') {
      std::string rest;
      std::getline(in, rest);
    } else if (ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r') {
      if (!token.empty()) break;
    } else {
      token.push_back(ch);
    }
  }
  return token;
}

bool read_pgm(const char* path, glent::GrayImage& image, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open file";
    return false;
  }
  if (pgm_token(in) != "P5") {
    error = "not a binary PGM (P5)";
    return false;
  }
  const long w = std::strtol(pgm_token(in).c_str(), nullptr, 10);
  const long h = std::strtol(pgm_token(in).c_str(), nullptr, 10);
  const long maxval = std::strtol(pgm_token(in).c_str(), nullptr, 10);
  if (w <= 0 || h <= 0 || w > 65535 || h > 65535 || maxval <= 0 || maxval > 255) {
    error = "unsupported size or depth (8-bit only)";
    return false;
  }
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
  in.read(reinterpret_cast<char*>(pixels.data()), static_cast<std::streamsize>(pixels.size()));
  if (in.gcount() != static_cast<std::streamsize>(pixels.size())) {
    error = "truncated pixel data";
    return false;
  }
  image = glent::GrayImage(static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h),
                           std::move(pixels));
  return true;
}

// Smooth blobs plus fine noise: corners of every strength, spread over the whole frame.
glent::GrayImage synthetic_image(std::uint32_t w, std::uint32_t h) {
  glent::GrayImage image(w, h);
  std::uint32_t state = 12345;
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      state = state * 1664525u + 1013904223u;
      const float fx = static_cast<float>(x);
      const float fy = static_cast<float>(y);
      const float smooth = 128.0f + 60.0f * std::sin(fx * 0.11f) * std::cos(fy * 0.07f) +
                           40.0f * std::sin((fx + fy) * 0.031f);
      const float noise = static_cast<float>(state >> 27) - 16.0f;
      const float v = std::clamp(smooth + noise, 0.0f, 255.0f);
      image.row(y)[x] = static_cast<std::uint8_t>(v);
    }
  }
  return image;
}

template <typename Detect>
double median_microseconds(Detect&& detect, int repetitions, std::size_t& corners) {
  std::vector<double> times;
  times.reserve(static_cast<std::size_t>(repetitions));
  for (int r = 0; r < repetitions; ++r) {
    const auto start = std::chrono::steady_clock::now();
    const std::vector<glent::Corner> result = detect();
    const auto stop = std::chrono::steady_clock::now();
    corners = result.size();
    times.push_back(std::chrono::duration<double, std::micro>(stop - start).count());
  }
  std::nth_element(times.begin(), times.begin() + repetitions / 2, times.end());
  return times[static_cast<std::size_t>(repetitions / 2)];
}

}  // namespace

int main(int argc, char** argv) {
  try {
    glent::GrayImage image;
    std::string source = "synthetic";
    if (argc > 1) {
      std::string error;
      if (!read_pgm(argv[1], image, error)) {
        std::fprintf(stderr, "bench_fast9: %s: %s\n", argv[1], error.c_str());
        return 1;
      }
      source = argv[1];
    } else {
      image = synthetic_image(320, 240);
    }
    const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 200;
    const std::uint8_t threshold = glent::FAST_THRESHOLD;

    const std::vector<glent::Corner> reference = glent::fast9_detect_plain(image, threshold);
    std::vector<glent::simd::Isa> isas;
    for (const glent::simd::Isa isa : glent::simd::ALL_ISAS) {
      if (!glent::simd::isa_supported(isa)) continue;
      glent::simd::use_isa(isa);
      if (glent::fast9_detect(image, threshold) != reference) {
        std::fprintf(stderr, "bench_fast9: the %s detector disagrees with the reference\n",
                     glent::simd::isa_name(isa));
        return 1;
      }
      isas.push_back(isa);
    }
    glent::simd::use_isa(glent::simd::default_isa());

    std::printf("image: %s, %u x %u, threshold %u, %zu corners, %d repetitions\n",
                source.c_str(), image.width, image.height, unsigned{threshold}, reference.size(),
                repetitions);
    std::size_t corners = 0;
    const double plain_us = median_microseconds(
        [&] { return glent::fast9_detect_plain(image, threshold); }, repetitions, corners);
    std::printf("%-19s %10.1f us (median)  %6.2fx\n", "plain:", plain_us, 1.0);
    double dispatched_us = plain_us;
    for (const glent::simd::Isa isa : isas) {
      glent::simd::use_isa(isa);
      const double us = median_microseconds([&] { return glent::fast9_detect(image, threshold); },
                                            repetitions, corners);
      std::printf("%-19s %10.1f us (median)  %6.2fx\n",
                  (std::string(glent::simd::isa_name(isa)) + ":").c_str(), us, plain_us / us);
      if (isa == glent::simd::default_isa()) dispatched_us = us;
    }
    glent::simd::use_isa(glent::simd::default_isa());
    // The line bench/bench_fast9.py reads: what a caller of fast9_detect gets by default.
    std::printf("fast9_detect: %.1f us (median), dispatched %s\n", dispatched_us,
                glent::simd::isa_name(glent::simd::default_isa()));
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_fast9: %s\n", e.what());
    return 1;
  }
}
