// Micro-benchmark of the 2x2 mean: box_halve of a 640 x 480 frame and of the three levels below
// it (a four-level pyramid of even sides), in every kernel variant the processor runs, the
// variants interleaved round by round so that load from other processes hits them alike.
//
//   bench_box_halve [rounds]
//
// Prints the median wall time of one four-level pass for each variant.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <vector>

#include "common/isa.hpp"
#include "image_utilities/gray_image.hpp"

int main(int argc, char** argv) {
  try {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    glent::GrayImage frame(640, 480);
    std::uint32_t state = 12345;
    for (auto& p : frame.pixels) {
      state = state * 1664525u + 1013904223u;
      p = static_cast<std::uint8_t>(state >> 24);
    }
    const auto pass = [&] {
      glent::GrayImage level = glent::box_halve(frame);
      for (int k = 0; k < 2; ++k) level = glent::box_halve(level);
      return level;
    };

    std::vector<glent::simd::Isa> isas;
    for (const glent::simd::Isa isa : glent::simd::ALL_ISAS) {
      if (glent::simd::isa_supported(isa)) isas.push_back(isa);
    }
    const glent::simd::Isa before = glent::simd::current_isa();
    std::vector<std::vector<double>> times(isas.size());
    glent::GrayImage first;
    for (int r = 0; r < rounds; ++r) {
      for (std::size_t i = 0; i < isas.size(); ++i) {
        glent::simd::use_isa(isas[i]);
        const auto start = std::chrono::steady_clock::now();
        const glent::GrayImage result = pass();
        const auto stop = std::chrono::steady_clock::now();
        times[i].push_back(std::chrono::duration<double, std::micro>(stop - start).count());
        if (r == 0 && i == 0) first = result;
        if (r == 0 && result != first) {
          std::fprintf(stderr, "bench_box_halve: %s disagrees\n", glent::simd::isa_name(isas[i]));
          return 1;
        }
      }
    }
    glent::simd::use_isa(before);
    std::printf("box_halve 640x480 -> 320x240 -> 160x120 -> 80x60, %d interleaved rounds\n", rounds);
    for (std::size_t i = 0; i < isas.size(); ++i) {
      std::vector<double>& t = times[i];
      std::nth_element(t.begin(), t.begin() + rounds / 2, t.end());
      std::printf("%-9s %8.2f us (median)\n", glent::simd::isa_name(isas[i]),
                  t[static_cast<std::size_t>(rounds / 2)]);
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_box_halve: %s\n", e.what());
    return 1;
  }
}
