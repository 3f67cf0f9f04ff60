// HashMap and HashSet: Abseil's flat hash containers that can still be destroyed after running out of
// memory. Abseil 20220623 records a table's new capacity before it allocates
// the new table; when that allocation throws std::bad_alloc, the map is left
// with its old table under the new capacity, and destroying it reads and frees
// past the old table. HashMap gives such a map its old capacity back before
// the table is destroyed, so running out of memory while a map grows ends in
// std::bad_alloc, which the method boundary reports, and nothing worse.
#pragma once

#include <absl/base/config.h>
#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

#include <cstddef>
#include <memory>
#include <utility>

static_assert(ABSL_LTS_RELEASE_VERSION == 20220623,
              "HashMap repairs the table of Abseil 20220623 after a failed growth; check "
              "raw_hash_set::resize and the repair below before building with another release");

namespace absl {
ABSL_NAMESPACE_BEGIN
namespace container_internal {

// raw_hash_set grants this hook access to its members; colenc defines it for
// the one repair below, which changes nothing but a broken capacity.
struct RawHashSetTestOnlyAccess {
  // A table is whole when its slots start where its capacity puts them and its
  // elements plus the room left make that capacity's growth (maps that never
  // erase have no deleted slots). A growth that failed to allocate leaves the
  // old table, size and room under a larger capacity: the old capacity is the
  // one whose slot offset and growth match, and it is put back. Should none
  // match, the capacity is set to 0, which leaks the table rather than freeing
  // memory that is not there.
  template <class Policy, class Hash, class Eq, class Alloc>
  static void restore_capacity(raw_hash_set<Policy, Hash, Eq, Alloc>& set) noexcept {
    using Slot = typename raw_hash_set<Policy, Hash, Eq, Alloc>::slot_type;
    if (set.capacity_ == 0) return;
    const std::size_t held = set.size_ + set.growth_left();
    if (set.slots_ != nullptr) {
      const auto offset = static_cast<std::size_t>(reinterpret_cast<const char*>(set.slots_) -
                                                   reinterpret_cast<const char*>(set.ctrl_));
      if (offset == SlotOffset(set.capacity_, alignof(Slot)) &&
          held == CapacityToGrowth(set.capacity_)) {
        return;
      }
      for (std::size_t capacity = 1; capacity < set.capacity_; capacity = capacity * 2 + 1) {
        if (offset == SlotOffset(capacity, alignof(Slot)) && held == CapacityToGrowth(capacity)) {
          set.capacity_ = capacity;
          return;
        }
      }
    }
    set.capacity_ = 0;  // the first table was never allocated, or no capacity fits
  }
};

}  // namespace container_internal
ABSL_NAMESPACE_END
}  // namespace absl

namespace colenc {

// An Abseil flat table with the repair above, made as it is destroyed.
// Erasing is not offered: the repair relies on tables without deleted slots.
template <class Table>
class RepairedTable : public Table {
 public:
  using Table::Table;
  RepairedTable() = default;
  RepairedTable(const RepairedTable&) = delete;
  RepairedTable& operator=(const RepairedTable&) = delete;
  RepairedTable(RepairedTable&&) = default;
  RepairedTable& operator=(RepairedTable&&) = default;
  ~RepairedTable() { restore(); }

  template <class... Args>
  void erase(Args&&...) = delete;
  template <class... Args>
  void extract(Args&&...) = delete;

 private:
  void restore() noexcept {
    absl::container_internal::RawHashSetTestOnlyAccess::restore_capacity(*this);
  }
};

// An absl::flat_hash_map with the repair. Copies are made element by element
// so that a copy that runs out of memory is repaired too.
template <class K, class V, class Hash = absl::container_internal::hash_default_hash<K>,
          class Eq = absl::container_internal::hash_default_eq<K>,
          class Alloc = std::allocator<std::pair<const K, V>>>
class HashMap : public RepairedTable<absl::flat_hash_map<K, V, Hash, Eq, Alloc>> {
  using Base = RepairedTable<absl::flat_hash_map<K, V, Hash, Eq, Alloc>>;

 public:
  using Base::Base;
  HashMap() = default;
  HashMap(HashMap&&) = default;
  HashMap& operator=(HashMap&&) = default;
  // Should the copy run out of memory, its base is destroyed as the exception
  // leaves, and repaired as any table is.
  HashMap(const HashMap& other)
      : Base(0, other.hash_function(), other.key_eq(), other.get_allocator()) {
    this->reserve(other.size());
    this->insert(other.begin(), other.end());
  }
  HashMap& operator=(const HashMap& other) {
    HashMap copy(other);
    this->swap(copy);
    return *this;
  }
};

// An absl::flat_hash_set with the repair, for keys whose hash and equality
// need state (the hasher and the comparer are passed to the constructor).
// Copies are not offered; a set is rebuilt by whoever owns that state.
template <class K, class Hash, class Eq>
class HashSet : public RepairedTable<absl::flat_hash_set<K, Hash, Eq>> {
  using Base = RepairedTable<absl::flat_hash_set<K, Hash, Eq>>;

 public:
  HashSet(const Hash& hash, const Eq& eq) : Base(0, hash, eq) {}
};

}  // namespace colenc
