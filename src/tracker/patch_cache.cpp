#include "tracker/patch_cache.hpp"

#include <algorithm>
#include <utility>

#include "common/fatal_error.hpp"
#include "tracker/track_point.hpp"
#include "tracker/point_map_tracking.hpp"

namespace glent {

void PatchCache::erase(const std::vector<bool>& doomed) {
  if (doomed.empty()) return;
  GLENT_CHECK(doomed.size() == slots_.size(), "patch cache out of step with its point map");
  std::size_t kept = 0;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (!doomed[i]) slots_[kept++] = slots_[i];
  }
  slots_.resize(kept);
}

void PatchCache::forget() { std::fill(slots_.begin(), slots_.end(), NONE); }

std::size_t PatchCache::reserve_slots(std::size_t needed, std::size_t levels) {
  if (levels != levels_) {
    forget();
    store_.reset();
    capacity_ = 0;
    levels_ = levels;
  }
  const std::size_t limit = MAX_STORE_BYTES / (levels * sizeof(PreparedPatch));
  const std::size_t wanted = std::min(needed, limit);
  if (wanted <= capacity_) return capacity_;
  // Half as much again as before, so that a slowly growing map reallocates rarely.
  const std::size_t grown = std::min(limit, std::max(wanted, capacity_ + capacity_ / 2));
  auto fresh = std::make_unique_for_overwrite<PreparedPatch[]>(grown * levels);
  for (const std::uint32_t s : slots_) {
    if (s != NONE) std::copy_n(slot(s), levels, fresh.get() + std::size_t{s} * levels);
  }
  store_ = std::move(fresh);
  capacity_ = grown;
  return capacity_;
}

PointMap PatchCache::track(const Pyramid& pyramid0, const Pyramid& pyramid1, const PointMap& points,
                           std::vector<std::uint32_t>& survivor_slots) {
  GLENT_CHECK(points.size() == slots_.size(), "patch cache out of step with its point map");
  const std::size_t n = points.size();
  const std::size_t levels = pyramid0.size();
  survivor_slots.clear();
  if (n == 0) return {};
  if (levels == 0 || levels > MAX_LEVELS || pyramid1.size() != levels) {
    PointMap result = track_point_map(pyramid0, pyramid1, points);
    survivor_slots.assign(result.size(), NONE);
    return result;
  }

  // This frame's slot of every entry: its own where it has patches, else a free one while any
  // is left.
  const std::size_t capacity = reserve_slots(n, levels);
  std::vector<std::uint32_t> use(slots_);
  std::vector<bool> taken(capacity, false);
  for (const std::uint32_t s : use) {
    if (s != NONE) taken[s] = true;
  }
  std::size_t next = 0;
  for (std::uint32_t& s : use) {
    if (s != NONE) continue;
    while (next < capacity && taken[next]) ++next;
    if (next == capacity) break;
    s = static_cast<std::uint32_t>(next);
    taken[next] = true;
  }

  std::vector<std::size_t> kept;
  const auto decide = [&](const std::uint32_t* entries, std::size_t count, std::optional<TrackedPoint>* out) {
    CheckedPoint in[2];
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t i = entries[k];
      PreparedPatch* patches = use[i] == NONE ? nullptr : slot(use[i]);
      const PreparedPatch* given = slots_[i] == NONE ? nullptr : patches;
      in[k] = CheckedPoint{points[i].id, points[i].transform, given, patches};
    }
    track_points_checked(pyramid0, pyramid1, in, count, out);
  };
  const std::vector<std::uint32_t> order = spatial_order(points);
  PointMap result = decide_points(nullptr, n, decide, &kept, &order);
  survivor_slots.reserve(kept.size());
  for (const std::size_t i : kept) survivor_slots.push_back(use[i]);
  return result;
}

}  // namespace glent
