// The two fitted maps of one text column, stored compactly:
//   LabelToCode: label -> optional code (absent for missing-value labels),
//   CodeToLabel: code -> label.
// Each keeps its texts back to back in one buffer and its entries in flat
// arrays, in insertion order; a fitted column of a million labels therefore
// costs a few large allocations instead of a million small ones and a table
// of fat slots. Both read like maps (find, at, iteration, equality regardless
// of order); iteration yields pairs by value, in insertion order.
#pragma once

#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/hashing/hash_map.hpp"
#include "core/hashing/keyed_hash.hpp"
#include "core/labels/labels.hpp"
#include "core/labels/text_store.hpp"

namespace colenc {

// An input iterator over a map's entries by position; `Map::entry(i)` gives
// the pair of entry i.
template <class Map, class Value>
class EntryIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = Value;
  using difference_type = std::ptrdiff_t;
  using reference = Value;
  struct pointer {
    Value value;
    const Value* operator->() const { return &value; }
  };

  EntryIterator() = default;
  EntryIterator(const Map* map, std::size_t entry) : map_(map), entry_(entry) {}
  Value operator*() const { return map_->entry(entry_); }
  pointer operator->() const { return pointer{**this}; }
  EntryIterator& operator++() {
    ++entry_;
    return *this;
  }
  EntryIterator operator++(int) {
    EntryIterator before = *this;
    ++entry_;
    return before;
  }
  bool operator==(const EntryIterator& other) const { return entry_ == other.entry_; }
  std::size_t position() const { return entry_; }

 private:
  const Map* map_ = nullptr;
  std::size_t entry_ = 0;
};

class CodeToLabel;

// Label -> optional code; the code is absent exactly for missing-value labels
// of a fitted column (a stored state may say otherwise, and is kept as it is).
class LabelToCode {
 public:
  using value_type = std::pair<std::string_view, std::optional<Code>>;
  using const_iterator = EntryIterator<LabelToCode, value_type>;

  LabelToCode() = default;
  LabelToCode(std::initializer_list<value_type> entries);
  LabelToCode(const LabelToCode& other);
  LabelToCode& operator=(const LabelToCode& other);
  LabelToCode(LabelToCode&&) noexcept = default;
  LabelToCode& operator=(LabelToCode&&) noexcept = default;
  ~LabelToCode();

  std::size_t size() const;
  bool empty() const { return size() == 0; }
  // Makes room for `count` entries whose texts hold `bytes` bytes in all.
  void reserve(std::size_t count, std::size_t bytes = 0);

  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size()}; }
  const_iterator find(std::string_view label) const { return find(prehash(label)); }
  const_iterator find(const PrehashedText& label) const;
  bool contains(std::string_view label) const { return find(label) != end(); }
  // Asks for the index's slot of `label` ahead of its find (indexing the map
  // first, if it is not yet).
  void prefetch(const PrehashedText& label) const;
  // Throws std::out_of_range when `label` has no entry.
  std::optional<Code> at(std::string_view label) const;

  // Adds `label` unless it has an entry; returns its entry and whether it was added.
  std::pair<const_iterator, bool> try_emplace(const PrehashedText& label, std::optional<Code> code);
  std::pair<const_iterator, bool> try_emplace(std::string_view label, std::optional<Code> code) {
    return try_emplace(prehash(label), code);
  }
  // As try_emplace, but an existing entry takes the new code and keeps its place.
  void insert_or_assign(std::string_view label, std::optional<Code> code);

  bool operator==(const LabelToCode& other) const;

  // Returns entry `i`, in the map's own order.
  // REQUIRES: i < size().
  value_type entry(std::size_t i) const;

  // Returns k when the map lies as a fit lays it out: entries 0..k-1 with
  // the codes 0..k-1 and texts in strictly ascending label order, then at
  // most three distinct missing-value labels without a code. Such a map can
  // be searched by bisection, or walked beside sorted texts, without its
  // index. Otherwise nothing. Worked out by one pass over the texts on the
  // first ask, and remembered until the map changes.
  std::optional<std::size_t> coded_in_label_order() const;

  // When entries 0..k-1 have the codes 0..k-1 and any later entry has none,
  // as a fitted column lays them out, returns the inverse sharing this map's
  // texts; otherwise nothing.
  std::optional<CodeToLabel> positional_inverse() const;

  class Builder;

 private:
  struct Body;
  static PrehashedText prehash(std::string_view label) { return {label, KeyedHash()(label)}; }
  Body& body();

  std::unique_ptr<Body> body_;  // absent while empty; moves with the map, index and all
};

struct LabelToCode::Body {
  Body() = default;
  Body(const Body&) = delete;  // `texts` refers into the body itself

  // The texts, which a CodeToLabel inverse may share; they are copied before
  // this map adds to them while shared.
  std::shared_ptr<TextStore> shared_texts = std::make_shared<TextStore>();
  TextStore& texts = *shared_texts;
  std::vector<Code> codes;  // meaningful where coded is true
  std::vector<bool> coded;

  // The index of the entries by text (an entry's id is its position), made
  // on the first search: a fitted map is written and iterated far more often
  // than searched. Safe to call from several threads at once; a failed
  // attempt leaves no index behind.
  TextIds& index() const;
  // What coded_in_label_order() found: -1 not yet asked, 0 not in label
  // order, 1 in label order with `coded_prefix` coded entries. Any change of
  // the entries sets it back to -1.
  mutable std::atomic<int> label_order{-1};
  mutable std::atomic<std::size_t> coded_prefix{0};
  // Returns the function from an entry to its text, as the index reads it.
  auto text_of() const {
    return [this](std::uint64_t entry) { return texts[entry]; };
  }

 private:
  mutable std::once_flag index_once_;
  mutable std::unique_ptr<TextIds> index_;
};

// Builds a LabelToCode from labels known to be distinct, appended in their
// final order; nothing is hashed until the map is first searched.
class LabelToCode::Builder {
 public:
  Builder() : body_(std::make_unique<Body>()) {}
  void reserve(std::size_t count, std::size_t bytes) {
    body_->texts.reserve(count, bytes);
    body_->codes.reserve(count);
    body_->coded.reserve(count);
  }
  // Appends an entry after those appended before.
  // REQUIRES: `label` not appended before (the map's first search throws
  //           std::logic_error otherwise).
  void append(std::string_view label, std::optional<Code> code) {
    body_->texts.push(label);
    body_->codes.push_back(code.value_or(0));
    body_->coded.push_back(code.has_value());
  }
  // Returns the map; a search of it throws std::logic_error if two labels
  // were equal.
  LabelToCode finish() &&;

 private:
  std::unique_ptr<Body> body_;
};

inline void LabelToCode::prefetch(const PrehashedText& label) const {
  if (body_) body_->index().prefetch(label.hash);
}

inline std::size_t LabelToCode::size() const { return body_ ? body_->codes.size() : 0; }

inline LabelToCode::value_type LabelToCode::entry(std::size_t i) const {
  const Body& b = *body_;
  return {b.texts[i], b.coded[i] ? std::optional<Code>(b.codes[i]) : std::nullopt};
}

// Code -> label. A map whose entry i has code i (every fitted column's) keeps
// no codes and no index: the code is the position.
class CodeToLabel {
 public:
  using value_type = std::pair<Code, std::string_view>;
  using const_iterator = EntryIterator<CodeToLabel, value_type>;

  CodeToLabel() = default;
  CodeToLabel(std::initializer_list<value_type> entries);
  // The first `count` texts of `texts`, as codes 0..count-1; the texts are
  // shared and copied before this map changes them.
  // REQUIRES: texts && count <= texts->size().
  CodeToLabel(std::shared_ptr<TextStore> texts, std::size_t count)
      : size_(count), texts_(std::move(texts)) {
    assert(texts_ && count <= texts_->size());
  }
  CodeToLabel(const CodeToLabel&) = default;
  CodeToLabel& operator=(const CodeToLabel&) = default;
  // A moved-from map is empty.
  CodeToLabel(CodeToLabel&& other) noexcept { swap(other); }
  CodeToLabel& operator=(CodeToLabel&& other) noexcept {
    CodeToLabel taken(std::move(other));
    swap(taken);
    return *this;
  }
  void swap(CodeToLabel& other) noexcept {
    std::swap(size_, other.size_);
    std::swap(positional_, other.positional_);
    std::swap(texts_, other.texts_);
    std::swap(codes_, other.codes_);
    std::swap(text_of_, other.text_of_);
    index_.swap(other.index_);
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Makes room for `count` entries whose texts hold `bytes` bytes in all.
  void reserve(std::size_t count, std::size_t bytes = 0);

  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size_}; }
  const_iterator find(Code code) const;
  bool contains(Code code) const { return find(code) != end(); }
  // Throws std::out_of_range when `code` has no entry.
  std::string_view at(Code code) const;

  // Adds `code` unless it has an entry; returns its entry and whether it was added.
  std::pair<const_iterator, bool> try_emplace(Code code, std::string_view label);
  // As try_emplace, but an existing entry takes the new label and keeps its place.
  void insert_or_assign(Code code, std::string_view label);

  bool operator==(const CodeToLabel& other) const;

  // Returns entry `i`, in the map's own order.
  // REQUIRES: i < size().
  value_type entry(std::size_t i) const {
    return {positional_ ? Code{i} : codes_[i], (*texts_)[text_of_.empty() ? i : text_of_[i]]};
  }

 private:
  void leave_positional();
  std::size_t find_entry(Code code) const;
  TextStore& own_texts();

  std::size_t size_ = 0;
  bool positional_ = true;  // entry i has code i; codes_ and index_ are unused
  // Text slots (null while empty); slot i is entry i's unless text_of_ says otherwise.
  std::shared_ptr<TextStore> texts_;
  std::vector<Code> codes_;             // code of each entry, unless positional_
  std::vector<std::uint64_t> text_of_;  // text slot of each entry; empty while entry i has slot i
  HashMap<Code, std::uint64_t, KeyedHash> index_;  // code -> entry, unless positional_
};

}  // namespace colenc
