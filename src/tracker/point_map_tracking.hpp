#pragma once
// Tracking a whole point map on the worker pool.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "tracker/point_map.hpp"
#include "tracker/pyramid.hpp"
#include "tracker/worker_pool.hpp"

namespace glent {

// Decides entries 0 .. n - 1, two at a time: decide(entries, count, results) decides the
// `count` entries (2, or 1 for a last single one) whose indices are entries[0 .. count - 1] into
// results[0 .. count - 1], each pair on one thread of `pool` (null: the process-wide pool, which
// one or two entries never create). The entries are taken in `order` (a permutation of
// 0 .. n - 1; null: input order). Returns the entries decided present, in input order whatever
// the order taken, and in `kept` (when not null) the index of each. Failures as parallel_for, a
// pair being one item of the loop.
using PointDecision =
    std::function<void(const std::uint32_t* entries, std::size_t count, std::optional<TrackedPoint>* results)>;
PointMap decide_points(WorkerPool* pool, std::size_t n, const PointDecision& decide,
                       std::vector<std::size_t>* kept = nullptr,
                       const std::vector<std::uint32_t>* order = nullptr);

// An order of the entries of `points` for decide_points in which consecutive points lie near
// each other in the image (bands of 16 rows, then along x), so that they read the same cache
// lines of the pyramids; point maps come sorted by id, which scatters them over the frame.
std::vector<std::uint32_t> spatial_order(const PointMap& points);

// Tracks every entry of `points` with track_point_checked on the pool; returns the survivors,
// each with its forward-tracked transform, in input order.
PointMap track_point_map(const Pyramid& pyramid0, const Pyramid& pyramid1, const PointMap& points);

// Same, on the given pool instead of the process-wide one.
PointMap track_point_map(WorkerPool& pool, const Pyramid& pyramid0, const Pyramid& pyramid1,
                         const PointMap& points);

}  // namespace glent
