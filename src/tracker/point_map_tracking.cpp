#include "tracker/point_map_tracking.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "common/fatal_error.hpp"
#include "common/numeric.hpp"
#include "tracker/track_point.hpp"

namespace glent {

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
