// The text interner: texts are copied once into blocks that never move, so
// that the map's keys and the recent memory's slots stay valid as it grows.
#include "core/columns/text_interner.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace colenc {
namespace {

// Blocks are at least this large; a longer text gets a block of its own size.
constexpr std::size_t kBlockBytes = 4096;
// Sized as for a short chunk: a wide table has one interner per column, so a
// few kilobytes each.
constexpr std::size_t kRecentRows = 1024;

}  // namespace

TextInterner::TextInterner() : recent_(kRecentRows) {}

std::string_view TextInterner::keep(std::string_view text) {
  // 8 readable bytes after every text, so that one load reads a short one.
  const std::size_t need = text.size() + 8;
  if (need > free_size_) {
    const std::size_t size = std::max(kBlockBytes, need);
    blocks_.push_back(std::make_unique<char[]>(size));
    free_ = blocks_.back().get();
    free_size_ = size;
  }
  if (!text.empty()) std::memcpy(free_, text.data(), text.size());
  const std::string_view kept(free_, text.size());
  free_ += text.size();
  free_size_ -= text.size();
  return kept;
}

TextInterner::Id TextInterner::intern(std::string_view text, const char* readable) {
  const RecentTexts::Ends ends = readable == RecentTexts::eight_readable_before()
                                     ? RecentTexts::ends_ending_readable(text)
                                     : RecentTexts::ends_of(text, readable);
  std::size_t slot = recent_.slot_of(ends, text.size());
  std::size_t id;
  if (recent_.find(slot, ends, text, id)) return static_cast<Id>(id);
  const PrehashedText key{text, KeyedHash()(text)};
  const auto text_of = [this](std::uint64_t known) { return texts_[known]; };
  if (const std::optional<std::uint64_t> found = ids_.find(key, text_of)) {
    id = static_cast<std::size_t>(*found);
  } else {
    if (texts_.size() >= TextColumn::kMaxEntries) {
      throw std::length_error("too many texts in one column");
    }
    // Whatever fails takes the text back: the interner stays as it was.
    const std::string_view kept = keep(text);
    id = texts_.size();
    texts_.push_back(kept);
    try {
      ids_.try_emplace(PrehashedText{kept, key.hash}, id, text_of);
    } catch (...) {
      texts_.pop_back();
      throw;
    }
    bytes_ += kept.size();
    // Many distinct texts, as a loader's shared objects of a large
    // vocabulary bring them again batch after batch: a memory of recent
    // texts with a set for each, up to its largest size. Only a cache, so
    // without the memory for it the smaller one serves on.
    if (texts_.size() > 2 * recent_.set_count() && recent_.can_grow()) {
      try {
        recent_ = RecentTexts(8 * texts_.size());
      } catch (const std::bad_alloc&) {
      }
      slot = recent_.slot_of(ends, text.size());
    }
  }
  recent_.remember(slot, ends, texts_[id], id);
  return static_cast<Id>(id);
}

TextColumn TextInterner::entries() const {
  TextColumn column;
  column.reserve(texts_.size(), bytes_);
  for (const std::string_view text : texts_) column.push_back(text);
  return column;
}

}  // namespace colenc
