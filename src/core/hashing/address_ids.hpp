// AddressIds: the ids of the objects a reader has met, by address, in a table
// of bounded size. A loader that shares each text's object within a batch of
// rows hands over tens of thousands of objects per column, each met only in
// its batch: once full at its largest size, the table forgets them all and
// starts again in the same memory, rather than growing through ever larger
// fresh pages for objects that will not be met again.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "core/hashing/mix_bits.hpp"

namespace colenc {

class AddressIds {
 public:
  // No id: what find() returns for an address not held.
  static constexpr std::uint32_t kNone = UINT32_MAX;

  // Up to 2^max_bits slots, at most half of them full.
  // REQUIRES: 1 <= max_bits < 64.
  explicit AddressIds(unsigned max_bits = kDefaultMaxBits) : max_bits_(max_bits) {}

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::size_t capacity() const { return slots_ != nullptr ? std::size_t{1} << bits_ : 0; }

  // Returns the id of `address`, or kNone.
  std::uint32_t find(std::uintptr_t address) const {
    if (size_ == 0) return kNone;
    for (std::size_t i = home(address);; i = (i + 1) & mask()) {
      const Slot& slot = slots_[i];
      if (slot.address == address) return slot.id;
      if (slot.address == 0) return kNone;
    }
  }

  // Adds `address` with `id`, first making room: a larger table, or, at the
  // largest size, forgetting every address held. Should memory run out,
  // throws std::bad_alloc with the table as it was.
  // REQUIRES: address != 0 and not held.
  void add(std::uintptr_t address, std::uint32_t id) {
    if (2 * (size_ + 1) > capacity()) make_room();
    place(Slot{address, id});
    ++size_;
  }

  // Forgets every address and lets the memory go.
  void release() noexcept {
    slots_.reset();
    bits_ = 0;
    size_ = 0;
  }

 private:
  static constexpr unsigned kDefaultMaxBits = 16;  // 1 MiB of slots
  static constexpr unsigned kMinBits = 10;

  struct Slot {
    std::uintptr_t address = 0;  // 0 while empty
    std::uint32_t id = 0;
  };

  std::size_t mask() const { return (std::size_t{1} << bits_) - 1; }
  std::size_t home(std::uintptr_t address) const {
    return static_cast<std::size_t>(mix_bits(address) >> (64 - bits_));
  }

  void place(const Slot& entry) {
    std::size_t i = home(entry.address);
    while (slots_[i].address != 0) i = (i + 1) & mask();
    slots_[i] = entry;
  }

  void make_room() {
    if (slots_ != nullptr && bits_ >= max_bits_) {
      std::fill_n(slots_.get(), capacity(), Slot{});
      size_ = 0;
      return;
    }
    const std::size_t old_capacity = capacity();
    const unsigned bits = slots_ != nullptr ? bits_ + 1 : std::min(kMinBits, max_bits_);
    std::unique_ptr<Slot[]> old =
        std::exchange(slots_, std::make_unique<Slot[]>(std::size_t{1} << bits));
    bits_ = bits;
    for (std::size_t i = 0; i < old_capacity; ++i) {
      if (old[i].address != 0) place(old[i]);
    }
  }

  std::unique_ptr<Slot[]> slots_;
  unsigned bits_ = 0;  // log2 of the capacity, while there are slots
  std::size_t size_ = 0;
  unsigned max_bits_;
};

}  // namespace colenc
