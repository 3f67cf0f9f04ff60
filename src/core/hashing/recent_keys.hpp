// RecentKeys: a small memory of 64-bit keys already numbered, put in front of
// a keyed hash map so that a column of few distinct stored values mostly skips
// the keyed hash; the counterpart for keys of recent_texts.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/hashing/mix_bits.hpp"

namespace colenc {

// Sets of two slots are picked by the unkeyed mix_bits, so that two frequent
// keys that meet in one set (dates a day apart do, among fifty) do not keep
// evicting each other; a hit is confirmed by comparing the key, so crafted
// keys can only make it miss, which costs what the map alone costs.
class RecentKeys {
 public:
  using Id = std::uint32_t;

  RecentKeys() : slots_(std::size_t{2} << kBits) {}

  // Returns the slot of the id remembered for `key`, or null.
  Id* find(std::uint64_t key) {
    Slot* set = set_of(key);
    if (set[0].id != kEmpty && set[0].key == key) return &set[0].id;
    if (set[1].id != kEmpty && set[1].key == key) return &set[1].id;
    return nullptr;
  }

  // Remembers `id` for `key`, in place of the older key of its set.
  // REQUIRES: id != std::numeric_limits<Id>::max() (that marks an empty slot).
  void remember(std::uint64_t key, Id id) {
    Slot* set = set_of(key);
    set[1] = set[0];
    set[0] = Slot{key, id};
  }

 private:
  static constexpr Id kEmpty = std::numeric_limits<Id>::max();
  struct Slot {
    std::uint64_t key = 0;
    Id id = kEmpty;
  };
  static constexpr unsigned kBits = 9;  // 2 x 512 slots, 16 KiB, in the core's own cache
  Slot* set_of(std::uint64_t key) { return &slots_[(mix_bits(key) >> (64 - kBits)) * 2]; }
  std::vector<Slot> slots_;
};

}  // namespace colenc
