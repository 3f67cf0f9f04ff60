// The text interner: texts are copied once into blocks that never move, so
// that the map's keys and the recent memory's slots stay valid as it grows.
#include "core/text_interner.hpp"

#include <algorithm>
#include <cstring>
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
  const RecentTexts::Ends ends = RecentTexts::ends_of(text, readable);
  const std::size_t slot = recent_.slot_of(ends, text.size());
  std::size_t id;
  if (recent_.find(slot, ends, text, id)) return static_cast<Id>(id);
  const PrehashedText key{text, KeyedHash()(text)};
  auto found = ids_.find(key);
  if (found == ids_.end()) {
    if (texts_.size() >= TextColumn::kMaxEntries) {
      throw std::length_error("too many texts in one column");
    }
    const std::string_view kept = keep(text);
    texts_.push_back(kept);
    found = ids_.emplace(PrehashedText{kept, key.hash}, static_cast<Id>(texts_.size() - 1)).first;
    bytes_ += kept.size();
  }
  recent_.remember(slot, ends, found->first.text, found->second);
  return found->second;
}

TextColumn TextInterner::entries() const {
  TextColumn column;
  column.reserve(texts_.size(), bytes_);
  for (const std::string_view text : texts_) column.push_back(text);
  return column;
}

}  // namespace colenc
