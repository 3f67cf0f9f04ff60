// The pieces both Arrow string readers share: the offsets of a utf8 or
// large_utf8 array, checked before any text is read by them, and the texts
// a null cell stands for.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "core/columns/typed_columns.hpp"
#include "python/readers/frame_arrow_chunks.hpp"

namespace colenc::py {

// The offsets of a utf8 or large_utf8 array, checked to be non-negative and
// ascending over its slots: in place, or in an aligned copy when their buffer
// does not lie at an address aligned for them, as after a trip through a
// pickle. Indexed by slot, the array's offset included.
template <class Offset>
struct CheckedOffsets {
  const Offset* offsets = nullptr;
  const char* data = nullptr;  // null when every text of the array is empty
  std::vector<Offset> aligned;
};

// Checks the offsets of `array`; throws InternalError (through `chunks`) for
// offsets out of order, missing buffers or another layout.
template <class Offset>
CheckedOffsets<Offset> check_offsets(const ArrowColumnChunks& chunks, const ArrowArray& array) {
  CheckedOffsets<Offset> out;
  if (array.n_buffers != 3 || array.n_children != 0) chunks.refuse("unexpected Arrow layout");
  if (array.length == 0) return out;
  const void* raw = array.buffers[1];
  if (raw == nullptr) chunks.refuse("Arrow strings without offsets");
  const auto slots = static_cast<std::size_t>(array.offset + array.length) + 1;
  if (reinterpret_cast<std::uintptr_t>(raw) % alignof(Offset) != 0) {
    out.aligned.resize(slots);
    std::memcpy(out.aligned.data(), raw, slots * sizeof(Offset));
    out.offsets = out.aligned.data();
  } else {
    out.offsets = static_cast<const Offset*>(raw);
  }
  const Offset* const first = out.offsets + array.offset;
  bool ascending = first[0] >= 0;
  for (std::int64_t k = 0; k < array.length; ++k) ascending &= first[k + 1] >= first[k];
  if (!ascending) chunks.refuse("Arrow string offsets out of order");
  out.data = static_cast<const char*>(array.buffers[2]);
  if (out.data == nullptr && first[array.length] != first[0]) {
    chunks.refuse("Arrow strings without their bytes");
  }
  return out;
}

// Returns the texts that the ordinary typing gives a null cell whose object is
// `missing` (borrowed): before the column's first text (where it is typed
// first, as a number when it reads as one, and written as text when the
// column turns) and after it. Both come from the same typing as any other
// cell.
TextColumn::BorrowedNulls null_cell_texts(PyObject* missing);

}  // namespace colenc::py
