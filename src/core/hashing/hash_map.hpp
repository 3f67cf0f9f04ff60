// The hash tables of the core, in one place (as Arrow keeps its own in
// util/hashing.h), but for AddressIds (address_ids.hpp), the bounded table of
// object addresses: HashTable, one open-addressing table over one contiguous
// array of slots, and the two tables built on it:
//   HashMap<K, V, Hash>  scalar keys (codes, object addresses) -> scalar values;
//   TextIds              the memo table of texts: text -> id, the texts held by
//                        their owner (a column's buffer, a TextStore), which
//                        the table reaches through a function of the id.
// A slot holds an entry's hash beside its payload, so growing never hashes a
// key again and a probe reads a key only when the whole hash matches. There
// is no erase: no user removes entries. Growth allocates the new slots first
// and frees the old ones only after every entry has moved, so a failed
// allocation (std::bad_alloc) leaves the table as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "core/hashing/keyed_hash.hpp"
#include "core/hashing/mix_bits.hpp"

namespace colenc {

// The unkeyed hash of integers and pointers, for keys that no input chooses
// (mix_bits.hpp).
struct MixHash {
  std::uint64_t operator()(std::uint64_t value) const { return mix_bits(value); }
  template <class T>
  std::uint64_t operator()(T* pointer) const {
    return mix_bits(reinterpret_cast<std::uintptr_t>(pointer));
  }
};

// Open addressing with linear probing over 2^k slots, at most 3/8 of them
// full, which keeps most probes to their first slot. The hash of an entry
// picks its home slot by its top k bits and is kept in the slot with its
// lowest bit set, so a kept hash is never 0, the mark of an empty slot.
// Payloads are trivially copyable: moving them cannot fail, which is what
// makes every change all-or-nothing.
template <class Payload>
class HashTable {
  static_assert(std::is_trivially_copyable_v<Payload>, "slots are moved as bytes");

 public:
  struct Slot {
    std::uint64_t hash;  // 0 while empty
    Payload payload;
  };

  HashTable() = default;
  HashTable(const HashTable& other) {
    if (other.size_ == 0) return;
    mask_ = other.mask_;
    shift_ = other.shift_;
    slots_ = allocate(other.capacity());  // should it throw, slots_ stays null
    std::memcpy(static_cast<void*>(slots_), other.slots_, other.capacity() * sizeof(Slot));
    size_ = other.size_;
  }
  HashTable& operator=(const HashTable& other) {
    if (this != &other) {
      HashTable copy(other);
      swap(copy);
    }
    return *this;
  }
  HashTable(HashTable&& other) noexcept { swap(other); }
  HashTable& operator=(HashTable&& other) noexcept {
    HashTable taken(std::move(other));
    swap(taken);
    return *this;
  }
  ~HashTable() { deallocate(); }

  void swap(HashTable& other) noexcept {
    std::swap(slots_, other.slots_);
    std::swap(mask_, other.mask_);
    std::swap(shift_, other.shift_);
    std::swap(size_, other.size_);
  }

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return slots_ == nullptr ? 0 : mask_ + 1; }

  // Returns the slot of the entry with `hash` whose payload satisfies
  // `match`, or nullptr.
  template <class Match>
  const Slot* find(std::uint64_t hash, const Match& match) const {
    if (size_ == 0) return nullptr;
    const std::uint64_t kept = hash | 1;
    for (std::size_t i = home(kept);; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.hash == kept && match(slot.payload)) return &slot;
      if (slot.hash == 0) return nullptr;
    }
  }
  template <class Match>
  Slot* find(std::uint64_t hash, const Match& match) {
    return const_cast<Slot*>(std::as_const(*this).find(hash, match));
  }

  // Asks for the home slot of `hash` to be brought into the cache ahead of
  // its find: lookups of many keys then wait on their slots together.
  void prefetch(std::uint64_t hash) const {
    if (slots_ != nullptr) __builtin_prefetch(&slots_[home(hash | 1)]);
  }

  // Returns the slot of the entry with `hash` that satisfies `match` and
  // false; else adds an entry whose payload is make() and returns its slot
  // and true. Should growing or make() throw, the table is unchanged.
  template <class Match, class Make>
  std::pair<Slot*, bool> find_or_insert(std::uint64_t hash, const Match& match, const Make& make) {
    if (Slot* found = find(hash, match)) return {found, false};
    if (size_ >= max_size()) grow_to(size_ + 1);
    Payload payload = make();
    Slot* slot = empty_slot(hash | 1);
    slot->payload = payload;
    slot->hash = hash | 1;
    ++size_;
    return {slot, true};
  }

  // Makes room for `count` entries in all, so that adding up to that many
  // allocates nothing. Should allocating fail, the table is unchanged.
  void reserve(std::size_t count) {
    if (count > max_size()) grow_to(count);
  }

  // The slots, full and empty, in memory order.
  const Slot* slots_begin() const { return slots_; }
  const Slot* slots_end() const { return slots_ + capacity(); }
  Slot* slots_begin() { return slots_; }
  Slot* slots_end() { return slots_ + capacity(); }

 private:
  static constexpr unsigned kMinBits = 4;

  // The most entries `capacity` slots take.
  static std::size_t max_size_of(std::size_t capacity) { return capacity / 8 * 3; }
  std::size_t max_size() const { return max_size_of(capacity()); }

  std::size_t home(std::uint64_t kept) const { return static_cast<std::size_t>(kept >> shift_); }

  // Returns the first empty slot on the probe path of `kept`; requires one.
  Slot* empty_slot(std::uint64_t kept) {
    std::size_t i = home(kept);
    while (slots_[i].hash != 0) i = (i + 1) & mask_;
    return &slots_[i];
  }

  // Slot arrays of this many bytes or more come from calloc, whose large
  // blocks are fresh pages that are zero already; smaller ones from operator
  // new, zeroed here. Which one a capacity took follows from its size.
  static constexpr std::size_t kCallocBytes = std::size_t{1} << 20;

  static Slot* allocate(std::size_t capacity) {
    if (capacity > SIZE_MAX / sizeof(Slot)) throw std::bad_alloc();
    const std::size_t bytes = capacity * sizeof(Slot);
    if (bytes >= kCallocBytes) {
      void* block = std::calloc(capacity, sizeof(Slot));
      if (block == nullptr) throw std::bad_alloc();
      return static_cast<Slot*>(block);
    }
    auto* slots = static_cast<Slot*>(::operator new(bytes));
    std::memset(static_cast<void*>(slots), 0, bytes);
    return slots;
  }
  void deallocate() noexcept {
    if (slots_ == nullptr) return;
    if (capacity() * sizeof(Slot) >= kCallocBytes) {
      std::free(slots_);
    } else {
      ::operator delete(static_cast<void*>(slots_));
    }
  }

  // Moves every entry into a new array with room for `count` entries; the
  // old array is let go only once the new one is filled.
  void grow_to(std::size_t count) {
    unsigned bits = kMinBits;
    while (max_size_of(std::size_t{1} << bits) < count) {
      if (bits + 1 >= sizeof(std::size_t) * 8) throw std::bad_alloc();
      ++bits;
    }
    HashTable grown;
    grown.mask_ = (std::size_t{1} << bits) - 1;
    grown.shift_ = 64 - bits;
    grown.slots_ = allocate(std::size_t{1} << bits);
    for (const Slot* slot = slots_begin(); slot != slots_end(); ++slot) {
      if (slot->hash != 0) *grown.empty_slot(slot->hash) = *slot;
    }
    grown.size_ = size_;
    swap(grown);
  }

  Slot* slots_ = nullptr;  // mask_ + 1 = 2^(64 - shift_) slots, or none
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
  std::size_t size_ = 0;
};

// A map of trivially copyable keys (codes, pointers) to trivially copyable
// values on HashTable. `Hash` is KeyedHash for keys an input may choose
// (codes), MixHash otherwise. Entries read as pairs (`first`, `second`);
// iteration order is the slots' and unspecified.
template <class K, class V, class Hash = MixHash>
class HashMap {
 public:
  struct Entry {
    K first;
    V second;
  };

 private:
  using Table = HashTable<Entry>;
  using Slot = typename Table::Slot;

  template <class SlotPtr, class EntryRef>
  class Iterator {
   public:
    Iterator() = default;
    // At `slot`, or the first full slot after it.
    Iterator(SlotPtr slot, SlotPtr end) : slot_(slot), end_(end) { skip_empty(); }
    // At `slot`, a full one.
    struct Full {};
    Iterator(SlotPtr slot, SlotPtr end, Full) : slot_(slot), end_(end) {}
    EntryRef operator*() const { return slot_->payload; }
    auto* operator->() const { return &slot_->payload; }
    Iterator& operator++() {
      ++slot_;
      skip_empty();
      return *this;
    }
    bool operator==(const Iterator& other) const { return slot_ == other.slot_; }

   private:
    void skip_empty() {
      while (slot_ != end_ && slot_->hash == 0) ++slot_;
    }
    SlotPtr slot_ = nullptr;
    SlotPtr end_ = nullptr;
  };

 public:
  using value_type = Entry;
  using iterator = Iterator<Slot*, Entry&>;
  using const_iterator = Iterator<const Slot*, const Entry&>;

  std::size_t size() const { return table_.size(); }
  bool empty() const { return size() == 0; }
  void reserve(std::size_t count) { table_.reserve(count); }
  void swap(HashMap& other) noexcept { table_.swap(other.table_); }

  iterator begin() { return {table_.slots_begin(), table_.slots_end()}; }
  iterator end() { return {table_.slots_end(), table_.slots_end()}; }
  const_iterator begin() const { return {table_.slots_begin(), table_.slots_end()}; }
  const_iterator end() const { return {table_.slots_end(), table_.slots_end()}; }

  iterator find(const K& key) {
    Slot* slot = table_.find(Hash()(key), same_key(key));
    return slot == nullptr ? end() : iterator(slot, table_.slots_end(), typename iterator::Full());
  }
  const_iterator find(const K& key) const {
    const Slot* slot = table_.find(Hash()(key), same_key(key));
    return slot == nullptr
               ? end()
               : const_iterator(slot, table_.slots_end(), typename const_iterator::Full());
  }
  bool contains(const K& key) const { return find(key) != end(); }

  // Adds (key, value) unless `key` has an entry; returns the entry and whether
  // it was added. Should memory run out, the map is unchanged.
  std::pair<iterator, bool> try_emplace(const K& key, const V& value) {
    const auto [slot, added] = table_.find_or_insert(Hash()(key), same_key(key), [&] {
      return Entry{key, value};
    });
    return {iterator(slot, table_.slots_end(), typename iterator::Full()), added};
  }
  std::pair<iterator, bool> emplace(const K& key, const V& value) {
    return try_emplace(key, value);
  }

  // Equal when both hold the same entries, in whatever order.
  bool operator==(const HashMap& other) const {
    if (size() != other.size()) return false;
    for (const Entry& entry : *this) {
      const const_iterator found = other.find(entry.first);
      if (found == other.end() || !(found->second == entry.second)) return false;
    }
    return true;
  }

 private:
  static auto same_key(const K& key) {
    return [&key](const Entry& entry) { return entry.first == key; };
  }

  Table table_;
};

// The memo table of texts: each distinct text has an id, which its owner
// gives when the text is added and by which the owner keeps the text. A slot
// holds the text's keyed hash and its id, 16 bytes; the text itself is read,
// through `text_of(id)`, only when a probe meets its whole hash. Each call
// takes the owner's `text_of`, any function from an id to the text's
// std::string_view.
class TextIds {
 public:
  std::size_t size() const { return table_.size(); }
  void reserve(std::size_t count) { table_.reserve(count); }
  void swap(TextIds& other) noexcept { table_.swap(other.table_); }

  // Returns the id of `text`, or nothing.
  template <class TextOf>
  std::optional<std::uint64_t> find(const PrehashedText& text, const TextOf& text_of) const {
    const auto* slot = table_.find(text.hash, same_text(text, text_of));
    if (slot == nullptr) return std::nullopt;
    return slot->payload;
  }

  // Asks for the slot where a text of keyed hash `hash` would lie, ahead of its find.
  void prefetch(std::uint64_t hash) const { table_.prefetch(hash); }

  // Returns the id of `text` and false; else gives `text` the id `id` and
  // returns it and true. Should memory run out, the table is unchanged.
  template <class TextOf>
  std::pair<std::uint64_t, bool> try_emplace(const PrehashedText& text, std::uint64_t id,
                                             const TextOf& text_of) {
    const auto [slot, added] =
        table_.find_or_insert(text.hash, same_text(text, text_of), [id] { return id; });
    return {slot->payload, added};
  }

 private:
  template <class TextOf>
  static auto same_text(const PrehashedText& text, const TextOf& text_of) {
    return [&](std::uint64_t id) { return std::string_view(text_of(id)) == text.text; };
  }

  HashTable<std::uint64_t> table_;
};

}  // namespace colenc
