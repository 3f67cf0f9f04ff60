// TextStore: texts stored back to back in one buffer, each addressed by its
// position; the storage of the label maps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace colenc {

// Texts stored back to back in one buffer, each addressed by its position.
class TextStore {
 public:
  std::size_t size() const { return ends_.size(); }
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
  void pop() {
    ends_.pop_back();
    bytes_.resize(ends_.empty() ? 0 : ends_.back());
  }

 private:
  std::string bytes_;
  std::vector<std::uint64_t> ends_;  // end offset of each text; it begins where the last ended
};

}  // namespace colenc
