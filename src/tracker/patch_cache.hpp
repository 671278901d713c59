#pragma once
// Patches kept from one frame's backward check for the next frame's forward pass.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "common/transform.hpp"
#include "patch/patch.hpp"
#include "tracker/point_map.hpp"
#include "tracker/pyramid.hpp"

namespace glent {

// Beside a point map, entry for entry: the patches the last frame's backward check built on
// that frame's pyramid at each track's position, one per level. The next frame's forward pass
// builds exactly these again (same image, same centre), so it reads them here instead; the
// results are the same to the bit with or without them. Entries without patches (tracks added
// since, or beyond the store's limit) are built as usual.
//
// Memory: one slot of levels x sizeof(PreparedPatch) (960 bytes) per kept track, about
// 3.8 KB at four levels, at most MAX_STORE_BYTES in all; slots are reused from frame to frame.
class PatchCache {
 public:
  // Deeper pyramids are tracked without the cache: their deep levels are empty anyway.
  static constexpr std::size_t MAX_LEVELS = 8;
  static constexpr std::size_t MAX_STORE_BYTES = std::size_t{64} << 20;
  // The entry of a track without patches.
  static constexpr std::uint32_t NONE = 0xFFFFFFFFu;

  std::size_t size() const { return slots_.size(); }
  // Whether entry i holds patches.
  bool has_patches(std::size_t i) const { return slots_[i] != NONE; }

  // Room for n entries, so that append() up to that size cannot fail.
  void reserve(std::size_t n) { slots_.reserve(n); }
  // k more entries, without patches, at the end.
  void append(std::size_t k) { slots_.insert(slots_.end(), k, NONE); }
  // Drops the entries marked in `doomed` (one flag per entry), keeping the others in order.
  void erase(const std::vector<bool>& doomed);
  // Every entry without patches, e.g. after a frame that failed midway (its passes may have
  // overwritten some).
  void forget();

  // track_point_map of `points` (size() entries), reading the forward pass's patches where
  // entries have them and keeping the backward pass's in their place. Returns the survivors;
  // the cache is left stale (as forget() would fix) until commit() gives it the entries of the
  // new point map: `survivor_slots` receives those of the survivors, in order.
  PointMap track(const Pyramid& pyramid0, const Pyramid& pyramid1, const PointMap& points,
                 std::vector<std::uint32_t>& survivor_slots);
  // The entries of the new map: the survivors' from track(), then NONE for each track added.
  void commit(std::vector<std::uint32_t>&& entries) noexcept { slots_ = std::move(entries); }

 private:
  // Makes room for `needed` slots of `levels` patches (fewer when the limit is reached), keeping
  // the patches of every entry; returns the number of slots there are.
  std::size_t reserve_slots(std::size_t needed, std::size_t levels);
  PreparedPatch* slot(std::uint32_t s) { return store_.get() + std::size_t{s} * levels_; }

  std::vector<std::uint32_t> slots_;  // per entry: its slot, or NONE
  std::unique_ptr<PreparedPatch[]> store_;
  std::size_t capacity_ = 0;  // slots in store_
  std::size_t levels_ = 0;    // patches per slot
};

}  // namespace glent
