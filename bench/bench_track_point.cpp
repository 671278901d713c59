// Single-thread cost of track_point_checked per point, plain reference vs. the vector kernels.
//
//   bench_track_point [frame.pgm] [--runs N] [--only plain|sse2|avx2|avx512]
//
// Each variant is timed twice: track_point_checked one point after the other, and
// track_points_checked, which takes them two at a time side by side as the trackers do.
// --only times that one variant alone (for instruction counts under callgrind, with --runs 1:
// it tracks every point once for the agreement check and once per run).
//
// The first frame is a binary PGM (P5, 8-bit) or, without an argument, a synthetic 640 x 480
// texture. The second frame is the first moved by a known sub-pixel shift and a small rotation
// about the centre (bicubic resampling). Points on a regular grid are tracked with a 4-level
// pyramid; the median over several runs is printed in microseconds per point, together with
// the survivors, their error against the known motion and a check that both kernels agree.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/transform.hpp"
#include "common/isa.hpp"
#include "patch/patch.hpp"
#include "tracker/pyramid.hpp"
#include "tracker/track_point.hpp"

namespace {

using glent::GrayImage;

std::optional<GrayImage> read_pgm(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string magic;
  in >> magic;
  auto next_number = [&in]() -> long {
    in >> std::ws;
    while (in.peek() == '#') {
      std::string comment;
      std::getline(in, comment);
      in >> std::ws;
    }
    long v = -1;
    in >> v;
    return v;
  };
  const long w = next_number(), h = next_number(), maxval = next_number();
  if (magic != "P5" || w <= 0 || h <= 0 || maxval != 255) return std::nullopt;
  in.get();  // the single whitespace byte before the pixels
  GrayImage img(static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h));
  in.read(reinterpret_cast<char*>(img.pixels.data()), static_cast<std::streamsize>(img.pixels.size()));
  if (!in) return std::nullopt;
  return img;
}

// Smooth random texture: value noise over four octaves.
GrayImage synthetic(std::uint32_t w, std::uint32_t h) {
  std::mt19937 rng(1);
  constexpr int kSide = 256;
  std::vector<double> lattice(4 * kSide * kSide);
  for (double& v : lattice) v = static_cast<double>(rng()) / 2147483648.0 - 1.0;
  const double cells[] = {23.0, 11.0, 5.5, 2.7}, amps[] = {60.0, 40.0, 22.0, 10.0};
  auto lat = [&](long i, long j, int o) {
    return lattice[static_cast<std::size_t>((o * kSide + ((j % kSide) + kSide) % kSide) * kSide +
                                            ((i % kSide) + kSide) % kSide)];
  };
  auto fade = [](double t) { return t * t * t * (t * (t * 6.0 - 15.0) + 10.0); };
  GrayImage img(w, h);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      double v = 128.0;
      for (int o = 0; o < 4; ++o) {
        const double px = x / cells[o], py = y / cells[o];
        const double fx = std::floor(px), fy = std::floor(py);
        const auto i = static_cast<long>(fx), j = static_cast<long>(fy);
        const double u = fade(px - fx), t = fade(py - fy);
        const double top = lat(i, j, o) + (lat(i + 1, j, o) - lat(i, j, o)) * u;
        const double bot = lat(i, j + 1, o) + (lat(i + 1, j + 1, o) - lat(i, j + 1, o)) * u;
        v += amps[o] * (top + (bot - top) * t);
      }
      img.pixels[std::size_t{y} * w + x] = static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 255.0)));
    }
  }
  return img;
}

double cubic(double p0, double p1, double p2, double p3, double t) {
  return p1 + 0.5 * t * (p2 - p0 + t * (2.0 * p0 - 5.0 * p1 + 4.0 * p2 - p3 + t * (3.0 * (p1 - p2) + p3 - p0)));
}

// The frame in which scene point p appears at c + R (p - c) + d (Catmull-Rom resampling).
GrayImage moved(const GrayImage& src, double dx, double dy, double angle) {
  GrayImage out(src.width, src.height);
  const double cx = src.width / 2.0, cy = src.height / 2.0, c = std::cos(angle), s = std::sin(angle);
  auto px = [&](long x, long y) {
    x = std::clamp<long>(x, 0, src.width - 1);
    y = std::clamp<long>(y, 0, src.height - 1);
    return static_cast<double>(src.pixels[static_cast<std::size_t>(y) * src.width + static_cast<std::size_t>(x)]);
  };
  for (std::uint32_t j = 0; j < src.height; ++j) {
    for (std::uint32_t i = 0; i < src.width; ++i) {
      const double ux = i - cx - dx, uy = j - cy - dy;
      const double qx = cx + c * ux + s * uy, qy = cy - s * ux + c * uy;
      const double fx = std::floor(qx), fy = std::floor(qy);
      const auto x0 = static_cast<long>(fx), y0 = static_cast<long>(fy);
      double rows[4];
      for (int r = 0; r < 4; ++r) {
        const long y = y0 - 1 + r;
        rows[r] = cubic(px(x0 - 1, y), px(x0, y), px(x0 + 1, y), px(x0 + 2, y), qx - fx);
      }
      const double v = cubic(rows[0], rows[1], rows[2], rows[3], qy - fy);
      out.pixels[std::size_t{j} * src.width + i] = static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 255.0)));
    }
  }
  return out;
}

struct Timing {
  double median;
  double best;
};

// track_all() tracks every point once and returns how many survived.
template <class TrackAll>
Timing us_per_point(const std::vector<glent::Transform>& points, int runs, TrackAll&& track_all) {
  std::vector<double> times;
  for (int r = 0; r < runs; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    const std::size_t kept = track_all();
    const auto t1 = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count() / static_cast<double>(points.size()));
    if (kept == 0) std::printf("(no survivors)\n");
  }
  std::sort(times.begin(), times.end());
  return {times[times.size() / 2], times.front()};
}

}  // namespace

int main(int argc, char** argv) {
  GrayImage frame0;
  std::string source = "synthetic texture";
  std::string path;
  std::string only;
  int runs = 7;
  for (int a = 1; a < argc; ++a) {
    const std::string arg = argv[a];
    if (arg == "--runs" && a + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++a]));
    } else if (arg == "--only" && a + 1 < argc) {
      only = argv[++a];
    } else {
      path = arg;
    }
  }
  if (!path.empty()) {
    std::optional<GrayImage> img = read_pgm(path);
    if (!img) {
      std::fprintf(stderr, "cannot read %s as an 8-bit binary PGM (P5)\n", path.c_str());
      return 2;
    }
    frame0 = std::move(*img);
    source = path;
  } else {
    frame0 = synthetic(640, 480);
  }
  const double dx = 1.37, dy = -0.62, angle = 0.01;
  const GrayImage frame1 = moved(frame0, dx, dy, angle);
  const glent::Pyramid p0 = glent::build_pyramid(frame0, 4);
  const glent::Pyramid p1 = glent::build_pyramid(frame1, 4);

  std::vector<glent::Transform> points;
  for (std::uint32_t y = 12; y + 12 < frame0.height; y += 6)
    for (std::uint32_t x = 12; x + 12 < frame0.width; x += 6)
      points.push_back(glent::Transform::at(static_cast<float>(x) + 0.25f, static_cast<float>(y) + 0.5f));

  struct Variant {
    glent::simd::Isa isa;
    std::string name;
    std::string pairs_name;
  };
  std::vector<Variant> variants;
  for (glent::simd::Isa isa : glent::simd::ALL_ISAS) {
    const std::string name = glent::simd::isa_name(isa);
    variants.push_back({isa, name, name + " pairs"});
  }
  const glent::simd::Isa dispatched = glent::simd::current_isa();
  for (const Variant& v : variants) {
    if (only == v.name) glent::simd::use_isa(v.isa);
  }

  // Results: survivors, agreement of the two kernels, error against the known motion.
  std::size_t survivors = 0, mismatches = 0;
  std::vector<double> errors;
  const double cx = frame0.width / 2.0, cy = frame0.height / 2.0, c = std::cos(angle), s = std::sin(angle);
  std::vector<glent::CheckedPoint> checked;
  for (std::size_t i = 0; i < points.size(); ++i) checked.push_back({i, points[i]});
  std::vector<std::optional<glent::TrackedPoint>> paired(points.size());
  glent::track_points_checked(p0, p1, checked.data(), checked.size(), paired.data());
  for (std::size_t i = 0; i < points.size(); ++i) {
    const auto fast = glent::track_point_checked(p0, p1, i, points[i]);
    const auto plain = glent::reference::track_point_checked(p0, p1, i, points[i]);
    if (fast != plain || paired[i] != plain) ++mismatches;
    if (!fast) continue;
    ++survivors;
    const double x = points[i].tx(), y = points[i].ty();
    errors.push_back(std::hypot(fast->transform.tx() - (cx + c * (x - cx) - s * (y - cy) + dx),
                                fast->transform.ty() - (cy + s * (x - cx) + c * (y - cy) + dy)));
  }
  std::sort(errors.begin(), errors.end());

  const auto plain = [&] {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
      kept += glent::reference::track_point_checked(p0, p1, i, points[i]).has_value() ? 1 : 0;
    }
    return kept;
  };
  const auto fast = [&] {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
      kept += glent::track_point_checked(p0, p1, i, points[i]).has_value() ? 1 : 0;
    }
    return kept;
  };
  // Two points at a time, side by side, as the trackers run them.
  const auto fast_pairs = [&] {
    glent::track_points_checked(p0, p1, checked.data(), checked.size(), paired.data());
    return static_cast<std::size_t>(std::count_if(paired.begin(), paired.end(), [](const auto& r) { return r.has_value(); }));
  };
  std::vector<std::pair<std::string, Timing>> timings;
  timings.reserve(2 * variants.size() + 1);
  if (only.empty() || only == "plain") timings.emplace_back("plain reference", us_per_point(points, runs, plain));
  std::string dispatched_name;
  for (const Variant& v : variants) {
    if (v.isa == dispatched) dispatched_name = v.name;
    if (!glent::simd::isa_supported(v.isa) || !(only.empty() || only == v.name)) continue;
    glent::simd::use_isa(v.isa);
    const Timing one = us_per_point(points, runs, fast);
    const Timing two = us_per_point(points, runs, fast_pairs);
    timings.emplace_back(v.name, one);
    timings.emplace_back(v.pairs_name, two);
  }
  glent::simd::use_isa(dispatched);

  std::printf("frame: %s, %u x %u, 4 levels; motion (%.2f, %.2f) px, %.3f rad\n", source.c_str(),
              frame0.width, frame0.height, dx, dy, angle);
  std::printf("points: %zu tracked, %zu survived (%.1f%%), median error %.3f px, 95%% %.3f px\n",
              points.size(), survivors, 100.0 * static_cast<double>(survivors) / static_cast<double>(points.size()),
              errors.empty() ? 0.0 : errors[errors.size() / 2],
              errors.empty() ? 0.0 : errors[errors.size() * 95 / 100]);
  std::printf("plain and vector kernels disagree on %zu points\n", mismatches);
  std::printf("track_point_checked, single thread, us/point: median (best) of %d runs\n", runs);
  for (const auto& [name, t] : timings) {
    std::printf("  %-16s %8.3f (%.3f)%s\n", name.c_str(), t.median, t.best,
                name == dispatched_name + " pairs" ? "  <- dispatched, as the trackers run" : "");
  }
  return mismatches == 0 ? 0 : 1;
}
