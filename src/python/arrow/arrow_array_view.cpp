// Checking an imported Arrow array once, and the reads of a checked array.
#include "python/arrow/arrow_array_view.hpp"

#include <limits>
#include <string>

#include "python/arrow/arrow_invalid.hpp"

namespace colenc::py {
namespace {

constexpr std::int64_t kInlineView = 12;  // views of up to 12 bytes hold their text

std::int64_t buffers_needed(ArrowKind kind) {
  switch (kind) {
    case ArrowKind::kNull:
      return 0;
    case ArrowKind::kUtf8:
    case ArrowKind::kLargeUtf8:
    case ArrowKind::kUtf8View:
      return 3;
    default:
      return 2;
  }
}

template <class Offset>
void check_offsets(const void* offsets, const char* data, std::int64_t first, std::int64_t count) {
  Offset previous = load<Offset>(offsets, first);
  if (previous < 0) throw ArrowInvalid("a negative string offset");
  const Offset start = previous;
  for (std::int64_t k = 1; k <= count; ++k) {
    const Offset next = load<Offset>(offsets, first + k);
    if (next < previous) throw ArrowInvalid("string offsets out of order");
    previous = next;
  }
  if (data == nullptr && previous != start) throw ArrowInvalid("string bytes without a buffer");
}

}  // namespace

std::int64_t ArrowArrayView::index(std::int64_t i) const {
  const std::int64_t at = offset_ + i;
  switch (type->byte_width) {
    case 1:
      return type->index_signed ? load<std::int8_t>(values_, at) : load<std::uint8_t>(values_, at);
    case 2:
      return type->index_signed ? load<std::int16_t>(values_, at)
                                : load<std::uint16_t>(values_, at);
    case 4:
      return type->index_signed ? load<std::int32_t>(values_, at)
                                : load<std::uint32_t>(values_, at);
    default: {
      // Unsigned 64-bit indices beyond int64 are out of any dictionary's range.
      const auto raw = load<std::uint64_t>(values_, at);
      if (!type->index_signed &&
          raw > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return -1;
      }
      return static_cast<std::int64_t>(raw);
    }
  }
}

void ArrowArrayView::check_texts() const {
  if (length == 0) return;
  if (offsets_ == nullptr) throw ArrowInvalid("a string array without offsets");
  if (type->kind == ArrowKind::kUtf8) {
    check_offsets<std::int32_t>(offsets_, data_, offset_, length);
  } else {
    check_offsets<std::int64_t>(offsets_, data_, offset_, length);
  }
}

void ArrowArrayView::check_views() const {
  for (std::int64_t i = 0; i < length; ++i) {
    if (!is_valid(i)) continue;
    const char* view = static_cast<const char*>(values_) + (offset_ + i) * 16;
    const auto size = load<std::int32_t>(view, 0);
    if (size < 0) throw ArrowInvalid("a string view of negative length");
    if (size <= kInlineView) continue;
    const auto buffer = load<std::int32_t>(view + 8, 0);
    const auto offset = load<std::int32_t>(view + 12, 0);
    if (buffer < 0 || static_cast<std::size_t>(buffer) >= view_buffers_.size() || offset < 0 ||
        view_buffers_[static_cast<std::size_t>(buffer)] == nullptr ||
        static_cast<std::int64_t>(offset) + size >
            view_buffer_sizes_[static_cast<std::size_t>(buffer)]) {
      throw ArrowInvalid("a string view beyond its data buffer");
    }
  }
}

void ArrowArrayView::check_indices() const {
  const std::int64_t size = dictionary_->length;
  for (std::int64_t i = 0; i < length; ++i) {
    if (!is_valid(i)) continue;
    const std::int64_t k = index(i);
    if (k < 0 || k >= size) {
      throw ArrowInvalid("dictionary index " + std::to_string(k) + " out of range for " +
                         std::to_string(size) + " values");
    }
  }
}

ArrowArrayView view_arrow_array(const ArrowArray& array, const ArrowType& type) {
  ArrowArrayView view;
  view.type = &type;
  if (array.release == nullptr) throw ArrowInvalid("a released array");
  if (array.length < 0 || array.offset < 0 ||
      array.length > std::numeric_limits<std::int64_t>::max() / 16 - array.offset) {
    throw ArrowInvalid("length " + std::to_string(array.length) + " and offset " +
                       std::to_string(array.offset) + " out of range");
  }
  view.length = array.length;
  view.offset_ = array.offset;
  const std::int64_t needed = buffers_needed(type.kind);
  if (array.n_buffers < needed || (array.n_buffers > 0 && array.buffers == nullptr)) {
    throw ArrowInvalid(std::to_string(array.n_buffers) + " buffers where " + type.name + " has " +
                       std::to_string(needed));
  }
  if (type.kind == ArrowKind::kNull) return view;
  if (array.null_count != 0) view.validity_ = static_cast<const std::uint8_t*>(array.buffers[0]);
  const bool has_rows = array.length > 0;
  switch (type.kind) {
    case ArrowKind::kUtf8:
    case ArrowKind::kLargeUtf8:
      view.offsets_ = array.buffers[1];
      view.data_ = static_cast<const char*>(array.buffers[2]);
      view.check_texts();
      return view;
    case ArrowKind::kUtf8View: {
      view.values_ = array.buffers[1];
      if (has_rows && view.values_ == nullptr)
        throw ArrowInvalid("a string view array without views");
      // Buffers: validity, views, the data buffers, then one int64 size per data buffer.
      const std::int64_t data_buffers = array.n_buffers - 3;
      const void* sizes = array.buffers[array.n_buffers - 1];
      if (data_buffers > 0 && sizes == nullptr)
        throw ArrowInvalid("string view buffers without sizes");
      for (std::int64_t k = 0; k < data_buffers; ++k) {
        view.view_buffers_.push_back(static_cast<const char*>(array.buffers[2 + k]));
        view.view_buffer_sizes_.push_back(load<std::int64_t>(sizes, k));
      }
      view.check_views();
      return view;
    }
    case ArrowKind::kDictionary: {
      view.values_ = array.buffers[1];
      if (has_rows && view.values_ == nullptr)
        throw ArrowInvalid("a dictionary array without indices");
      if (array.dictionary == nullptr)
        throw ArrowInvalid("a dictionary array without a dictionary");
      view.dictionary_ =
          std::make_shared<ArrowArrayView>(view_arrow_array(*array.dictionary, *type.value));
      view.check_indices();
      return view;
    }
    default:
      view.values_ = array.buffers[1];
      if (has_rows && view.values_ == nullptr)
        throw ArrowInvalid("an array of " + type.name + " without values");
      return view;
  }
}

}  // namespace colenc::py
