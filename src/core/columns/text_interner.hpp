// TextInterner: numbers the distinct texts of one column in the order they
// are first met, so that a column read cell by cell keeps each distinct text
// once and one small id per row. A small memory of recent texts in front of a
// keyed memo table settles most cells of a column of few distinct texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/columns/typed_columns.hpp"
#include "core/hashing/hash_map.hpp"
#include "core/hashing/keyed_hash.hpp"
#include "core/hashing/recent_texts.hpp"

namespace colenc {

class TextInterner {
 public:
  using Id = TextColumn::EntryId;

  TextInterner();

  // Returns the id of `text`, numbering it next when it is new. Its bytes may
  // be read up to `readable` (one past the end of the memory it lies in,
  // never before text.data() + text.size()), or `readable` is
  // RecentTexts::eight_readable_before(). Throws std::length_error when a
  // new text would have no id left.
  Id intern(std::string_view text, const char* readable);

  // Number of distinct texts.
  std::size_t size() const { return texts_.size(); }
  // Bytes of all distinct texts.
  std::size_t byte_size() const { return bytes_; }
  // Returns text `id`.
  // REQUIRES: id < size().
  std::string_view text(Id id) const { return texts_[id]; }

  // Returns the distinct texts as the entries of a column, entry k holding
  // text k.
  TextColumn entries() const;

 private:
  // Copies `text` into the blocks, whose memory never moves.
  std::string_view keep(std::string_view text);

  RecentTexts recent_;
  TextIds ids_;                          // text -> id, the texts in texts_
  std::vector<std::string_view> texts_;  // by id, into blocks_
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* free_ = nullptr;
  std::size_t free_size_ = 0;
  std::size_t bytes_ = 0;
};

}  // namespace colenc
