#pragma once
// The process-wide worker pool and the parallel tracking of a point map.

#include <cstddef>
#include <functional>

#include "common/transform.hpp"
#include "tracker/pyramid.hpp"

namespace glent {

// Number of threads of the process-wide pool: GLENT_NUM_THREADS when set to a positive
// integer, else the number of logical processors. Read when the pool is first created.
std::size_t worker_pool_size();

// Runs body(begin, end) over contiguous pieces of [0, count) on the pool and returns when all
// are done. Pieces come from repeated halving; fewer than two items run on the calling thread.
// An exception thrown by a piece is rethrown on the calling thread after every started piece
// has finished (the first in piece order wins).
void parallel_for(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body);

// Tracks every entry of `points` with track_point_checked on the pool; returns the survivors,
// each with its forward-tracked transform, in input order.
PointMap track_point_map(const Pyramid& pyramid0, const Pyramid& pyramid1, const PointMap& points);

}  // namespace glent
