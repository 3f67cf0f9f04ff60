// ArrowArrayView: one imported Arrow array of a type colenc reads, checked
// once against the format's rules so that every read through the view stays
// within the array: lengths, offsets, view buffers and dictionary indices.
// The C data interface carries no buffer sizes (except a view's data
// buffers), so a buffer is trusted to be as long as the array's own lengths
// and offsets say; everything those say is checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "python/arrow/arrow_type.hpp"
#include "python/input/arrow_c_abi.hpp"

namespace colenc::py {

// Loads element i of an array of T that may lie at any address (a buffer
// after a pickle, a slice of bytes): Arrow asks for alignment but nothing
// enforces it.
template <class T>
inline T load(const void* base, std::int64_t i) {
  T value;
  std::memcpy(&value, static_cast<const char*>(base) + i * static_cast<std::int64_t>(sizeof(T)),
              sizeof(T));
  return value;
}

class ArrowArrayView {
 public:
  const ArrowType* type = nullptr;
  std::int64_t length = 0;

  // REQUIRES: 0 <= i < length, for every accessor.
  bool is_valid(std::int64_t i) const {
    if (validity_ == nullptr) return true;
    const std::int64_t bit = offset_ + i;
    return ((validity_[bit >> 3] >> (bit & 7)) & 1) != 0;
  }
  bool has_nulls() const { return validity_ != nullptr || type->kind == ArrowKind::kNull; }
  // Element i of the values buffer (primitives, times, dictionary indices).
  template <class T>
  T value(std::int64_t i) const {
    return load<T>(values_, offset_ + i);
  }
  // For a float64 array: where the value of row 0 lies, or null when the
  // values lie unaligned (or there are none).
  const double* float64_values() const {
    if (values_ == nullptr) return nullptr;
    const char* first = static_cast<const char*>(values_) + offset_ * 8;
    if (reinterpret_cast<std::uintptr_t>(first) % alignof(double) != 0) return nullptr;
    return reinterpret_cast<const double*>(first);
  }
  // The bit of row i of a boolean array.
  bool bit(std::int64_t i) const {
    const std::int64_t at = offset_ + i;
    return ((static_cast<const std::uint8_t*>(values_)[at >> 3] >> (at & 7)) & 1) != 0;
  }
  // The bytes of a decimal's row i (byte_width bytes, little-endian two's complement).
  const unsigned char* fixed_bytes(std::int64_t i) const {
    return static_cast<const unsigned char*>(values_) + (offset_ + i) * type->byte_width;
  }
  // The text of valid row i of a text array.
  std::string_view text(std::int64_t i) const {
    const std::int64_t at = offset_ + i;
    if (type->kind == ArrowKind::kUtf8View) {
      const char* view = static_cast<const char*>(values_) + at * 16;
      const auto size = load<std::int32_t>(view, 0);
      if (size <= 12) return {view + 4, static_cast<std::size_t>(size)};
      const auto buffer = load<std::int32_t>(view + 8, 0);
      const auto offset = load<std::int32_t>(view + 12, 0);
      return {view_buffers_[static_cast<std::size_t>(buffer)] + offset,
              static_cast<std::size_t>(size)};
    }
    if (type->kind == ArrowKind::kUtf8) {
      const auto begin = load<std::int32_t>(offsets_, at);
      return {data_ + begin,
              static_cast<std::size_t>(load<std::int32_t>(offsets_, at + 1) - begin)};
    }
    const auto begin = load<std::int64_t>(offsets_, at);
    return {data_ + begin, static_cast<std::size_t>(load<std::int64_t>(offsets_, at + 1) - begin)};
  }
  // For utf8 / large_utf8: where the offsets of row i lie (length + 1 of
  // them from there, as wide as the type's offsets).
  const void* text_offsets(std::int64_t i) const {
    const std::size_t width = type->kind == ArrowKind::kUtf8 ? 4 : 8;
    return static_cast<const char*>(offsets_) + static_cast<std::size_t>(offset_ + i) * width;
  }
  const char* text_data() const { return data_; }
  // For utf8_view: where the 16-byte view of row i lies, and the data
  // buffers that views of more than 12 bytes name by their index.
  const char* text_view(std::int64_t i) const {
    return static_cast<const char*>(values_) + (offset_ + i) * 16;
  }
  const std::vector<const char*>& view_buffers() const { return view_buffers_; }
  // The validity bitmap (null when no row is null) and the bit of row 0 in it.
  const std::uint8_t* validity() const { return validity_; }
  std::int64_t offset() const { return offset_; }
  // The dictionary index of valid row i; below dictionary().length.
  std::int64_t index(std::int64_t i) const;
  const ArrowArrayView& dictionary() const { return *dictionary_; }

 private:
  friend ArrowArrayView view_arrow_array(const ArrowArray& array, const ArrowType& type);
  void check_texts() const;
  void check_views() const;
  void check_indices() const;

  std::int64_t offset_ = 0;
  const std::uint8_t* validity_ = nullptr;  // null: every row is valid
  const void* values_ = nullptr;
  const void* offsets_ = nullptr;
  const char* data_ = nullptr;
  std::vector<const char*> view_buffers_;
  std::vector<std::int64_t> view_buffer_sizes_;
  std::shared_ptr<ArrowArrayView> dictionary_;
};

// Returns the view of `array` (borrowed; it must outlive the view) as an
// array of `type`. Throws ArrowInvalid when the array breaks the format:
// negative or overflowing lengths, a missing buffer, offsets that decrease or
// are negative, a view beyond its data buffer, a dictionary index out of range.
// REQUIRES: type.role() is not kUnsupported.
ArrowArrayView view_arrow_array(const ArrowArray& array, const ArrowType& type);

}  // namespace colenc::py
