// TextStore: texts stored back to back in one buffer, each addressed by its
// position; the storage of the label maps.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/formats/utf8.hpp"

namespace colenc {

// Texts stored back to back in one buffer, each addressed by its position.
class TextStore {
 public:
  std::size_t size() const { return ends_.size(); }
  // Where text i's end offsets are kept: prefetched well ahead of reading
  // texts in an order that jumps around the store.
  const void* locator(std::size_t i) const { return ends_.data() + i; }
  // Returns text `i`.
  // REQUIRES: i < size().
  std::string_view operator[](std::size_t i) const {
    const std::uint64_t begin = i == 0 ? 0 : ends_[i - 1];
    return {bytes_.data() + begin, static_cast<std::size_t>(ends_[i] - begin)};
  }
  void reserve(std::size_t count, std::size_t bytes) {
    ends_.reserve(count);
    bytes_.reserve(bytes);
  }
  // Appends `text`; on failure nothing is appended.
  void push(std::string_view text) {
    ends_.push_back(bytes_.size() + text.size());
    try {
      bytes_.append(text);
    } catch (...) {
      ends_.pop_back();
      throw;
    }
  }
  // Appends the UTF-8 form of `count` code units of `unit_bytes` bytes each
  // (see append_utf8); on failure nothing is appended.
  void push_units(const void* units, std::size_t count, unsigned unit_bytes) {
    const std::size_t start = bytes_.size();
    try {
      append_utf8(units, count, unit_bytes, bytes_);
      ends_.push_back(bytes_.size());
    } catch (...) {
      bytes_.resize(start);
      throw;
    }
  }
  // Removes the last text.
  // REQUIRES: size() > 0.
  void pop() {
    assert(!ends_.empty());
    ends_.pop_back();
    bytes_.resize(ends_.empty() ? 0 : ends_.back());
  }
  // Appends `count` texts lying back to back in `data`: text k runs from
  // offsets[k] to offsets[k + 1] (count + 1 ascending offsets, as Arrow stores
  // a run of strings). One copy of the run's bytes instead of one per text.
  // REQUIRES: offsets[0..count] ascending, and those bytes of `data` readable.
  template <class Offset>
  void append_run(const char* data, const Offset* offsets, std::size_t count) {
    if (count == 0) return;
    const std::size_t base = bytes_.size();
    const auto first = static_cast<std::size_t>(offsets[0]);
    bytes_.append(data + first, static_cast<std::size_t>(offsets[count]) - first);
    const std::size_t old_size = ends_.size();
    ends_.resize(old_size + count);
    for (std::size_t k = 0; k < count; ++k) {
      ends_[old_size + k] = base + (static_cast<std::size_t>(offsets[k + 1]) - first);
    }
  }
  // Appends `count` texts, text k being text_of(k) (a string_view valid
  // until this returns): their sizes first, so that the bytes grow once.
  // On failure nothing is appended.
  template <class TextOf>
  void append_texts(std::size_t count, TextOf&& text_of) {
    std::size_t added = 0;
    for (std::size_t k = 0; k < count; ++k) added += text_of(k).size();
    const std::size_t base = bytes_.size();
    const std::size_t old_size = ends_.size();
    bytes_.resize(base + added);
    try {
      ends_.resize(old_size + count);
    } catch (...) {
      bytes_.resize(base);
      throw;
    }
    char* out = bytes_.data() + base;
    std::size_t end = base;
    for (std::size_t k = 0; k < count; ++k) {
      const std::string_view text = text_of(k);
      if (!text.empty()) std::memcpy(out + (end - base), text.data(), text.size());
      end += text.size();
      ends_[old_size + k] = end;
    }
  }
  // Appends every text of `other`, in one copy of their bytes.
  void append_store(const TextStore& other) {
    const std::size_t base = bytes_.size();
    bytes_.append(other.bytes_);
    const std::size_t old_size = ends_.size();
    try {
      ends_.resize(old_size + other.ends_.size());
    } catch (...) {
      bytes_.resize(base);
      throw;
    }
    for (std::size_t k = 0; k < other.ends_.size(); ++k)
      ends_[old_size + k] = base + other.ends_[k];
  }
  void clear() {
    bytes_.clear();
    ends_.clear();
  }
  // Empties the store and gives its memory back.
  void release() {
    std::string().swap(bytes_);
    std::vector<std::uint64_t>().swap(ends_);
  }
  // Bytes of all texts, and one past the last of them.
  std::size_t byte_size() const { return bytes_.size(); }
  const char* bytes_end() const { return bytes_.data() + bytes_.size(); }

 private:
  std::string bytes_;
  std::vector<std::uint64_t> ends_;  // end offset of each text; it begins where the last ended
};

}  // namespace colenc
