// The reader of pandas' Arrow-backed str columns: the column's Arrow stream
// is read straight from its buffers. A valid cell is a str, which never
// converts to float; a null cell is the dtype's missing-value object and goes
// through the ordinary typing, as a cell of `values` would.
#include "python/readers/frame_arrow_str.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/internal_error.hpp"
#include "python/cells/typed_column_sink.hpp"
#include "python/input/arrow_c_abi.hpp"
#include "python/input/storage_lookup.hpp"
#include "python/runtime/panic.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {
namespace {

// Owns an Arrow struct and releases it, as the interface requires.
template <class T>
struct ArrowOwned {
  T value{};
  ArrowOwned() = default;
  ArrowOwned(const ArrowOwned&) = delete;
  ArrowOwned& operator=(const ArrowOwned&) = delete;
  ~ArrowOwned() {
    if (value.release != nullptr) value.release(&value);
  }
};

// One array of an Arrow stream, released with it, and where its offsets can
// be read: in place, or in an aligned copy when its offset buffer does not
// lie at an address aligned for them, as after a trip through a pickle.
struct ArrowChunk {
  ArrowOwned<ArrowArray> owned;
  const void* offsets = nullptr;
  std::vector<std::int64_t> aligned;  // the copy, when one was needed

  // Sets `offsets` for offsets of `width` bytes (4 or 8).
  void align_offsets(std::size_t width) {
    const ArrowArray& array = owned.value;
    offsets = array.n_buffers == 3 ? array.buffers[1] : nullptr;
    if (offsets == nullptr || reinterpret_cast<std::uintptr_t>(offsets) % width == 0 ||
        array.offset < 0 || array.length < 0) {
      return;
    }
    const auto bytes = static_cast<std::size_t>(array.offset + array.length + 1) * width;
    aligned.resize((bytes + sizeof(std::int64_t) - 1) / sizeof(std::int64_t));
    std::memcpy(aligned.data(), offsets, bytes);
    offsets = aligned.data();
  }
};

// Reads an Arrow utf8 / large_utf8 stream: a valid cell is a str, which never
// converts to float, so it turns the column and adds its bytes; a null cell is
// the dtype's missing-value object and goes through the ordinary typing.
template <class Offset>
void scan_arrow_chunk(const ArrowArray& chunk, const void* offset_buffer, PyObject* missing,
                      std::size_t j, TypedColumns& columns, std::size_t& row,
                      SignalCheck& signals) {
  if (chunk.n_buffers != 3 || chunk.length < 0 || chunk.offset < 0) {
    throw InternalError("failed to read column " + std::to_string(j) + ": unexpected Arrow layout");
  }
  const auto* validity = static_cast<const std::uint8_t*>(chunk.buffers[0]);
  const auto* offsets = static_cast<const Offset*>(offset_buffer);
  const auto* data = static_cast<const char*>(chunk.buffers[2]);
  if (static_cast<std::uint64_t>(chunk.length) > columns.row_count - row) {
    throw InternalError("failed to read column " + std::to_string(j) +
                        ": more cells than the table has rows");
  }
  const auto is_valid = [&](std::int64_t at) {
    return chunk.null_count == 0 || validity == nullptr ||
           ((validity[at >> 3] >> (at & 7)) & 1) != 0;
  };
  // Runs of valid cells are appended at once; a null cell goes through the
  // ordinary typing one by one.
  std::int64_t k = 0;
  while (k < chunk.length) {
    const std::int64_t at = chunk.offset + k;
    if (!is_valid(at)) {
      take_cell(missing, j, columns);
      signals.tick();
      ++k;
      ++row;
      continue;
    }
    std::int64_t end = k + 1;
    while (end < chunk.length && is_valid(chunk.offset + end)) ++end;
    if (columns.keeps_numbers(j)) {
      // A str never converts: each is a cell of a number column that does not.
      for (std::int64_t cell = chunk.offset + k; cell < chunk.offset + end; ++cell) {
        columns.add_stray_text(
            j, std::string_view(data + offsets[cell],
                                static_cast<std::size_t>(offsets[cell + 1] - offsets[cell])));
      }
      signals.tick_many(static_cast<std::size_t>(end - k));
      row += static_cast<std::size_t>(end - k);
      k = end;
      continue;
    }
    if (!columns.column_is_text[j]) columns.turn_to_text(j);
    const auto count = static_cast<std::size_t>(end - k);
    columns.text_cells[j].append_run(data, offsets + at, count);
    signals.tick_many(count);
    row += count;
    k = end;
  }
}

// Returns the first row whose bit (bit_offset + row) is set in `validity`,
// or nothing when all `rows` rows are null.
std::optional<std::size_t> first_valid_row(const std::uint8_t* validity, std::int64_t bit_offset,
                                           std::size_t rows) {
  for (std::size_t row = 0; row < rows; ++row) {
    const auto bit = static_cast<std::uint64_t>(bit_offset) + row;
    if ((bit & 7) == 0 && validity[bit >> 3] == 0) {
      row += 7;  // a whole byte of nulls
      continue;
    }
    if (((validity[bit >> 3] >> (bit & 7)) & 1) != 0) return row;
  }
  return std::nullopt;
}

// Returns the texts that the ordinary typing gives a null cell whose object is
// `missing`: before the column's first text (where it is typed first, as a
// number when it reads as one, and written as text when the column turns) and
// after it. Both come from the same typing as any other cell.
TextColumn::BorrowedNulls null_cell_texts(PyObject* missing) {
  TypedColumns before(1, 1);
  take_cell(missing, 0, before);
  if (!before.column_is_text[0]) before.turn_to_text(0);
  TypedColumns after(1, 1);
  after.turn_to_text(0);
  take_cell(missing, 0, after);
  TextColumn::BorrowedNulls nulls;
  nulls.before = std::string(before.text_cells[0][0]);
  nulls.after = std::string(after.text_cells[0][0]);
  return nulls;
}

}  // namespace

bool find_arrow_str_stream(PyObject* array, PyRef& capsule) {
  PyRef chunked = PyRef::steal(PyObject_CallMethod(array, "__arrow_array__", nullptr));
  if (!chunked) return not_readable();
  PyRef stream_capsule =
      PyRef::steal(PyObject_CallMethod(chunked.get(), "__arrow_c_stream__", nullptr));
  if (!stream_capsule || !PyCapsule_IsValid(stream_capsule.get(), "arrow_array_stream")) {
    return not_readable();
  }
  auto* stream = static_cast<ArrowArrayStream*>(
      PyCapsule_GetPointer(stream_capsule.get(), "arrow_array_stream"));
  ArrowOwned<ArrowSchema> schema;
  if (stream->get_schema(stream, &schema.value) != 0 || schema.value.format == nullptr) {
    return false;
  }
  const std::string_view format(schema.value.format);
  if (format != "u" && format != "U") return false;  // utf8 or large_utf8 only
  capsule = std::move(stream_capsule);
  return true;
}

void read_arrow_str_column(PyObject* capsule, PyObject* missing, std::size_t j,
                           TypedColumns& columns, SignalCheck& signals) {
  auto* stream =
      static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
  if (stream == nullptr) throw PythonError{};
  ArrowOwned<ArrowSchema> schema;
  if (stream->get_schema(stream, &schema.value) != 0) {
    throw InternalError("failed to read column " + std::to_string(j) + ": no Arrow schema");
  }
  const bool large = std::string_view(schema.value.format) == "U";
  // Every chunk first: the stream's arrays stay where they are either way.
  std::vector<std::shared_ptr<ArrowChunk>> chunks;
  for (;;) {
    auto chunk = std::make_shared<ArrowChunk>();
    if (stream->get_next(stream, &chunk->owned.value) != 0) {
      const char* why = stream->get_last_error ? stream->get_last_error(stream) : nullptr;
      throw InternalError("failed to read column " + std::to_string(j) + ": " +
                          (why ? why : "Arrow stream error"));
    }
    if (chunk->owned.value.release == nullptr) break;  // end of stream
    chunk->align_offsets(large ? sizeof(std::int64_t) : sizeof(std::int32_t));
    chunks.push_back(std::move(chunk));
  }
  // One large_utf8 array holding every row with at least one valid cell: the
  // column is text from its first valid row (a str never reads as a number),
  // and its texts are read where they lie, the array kept alive by the
  // column. Null rows stand for the texts the ordinary typing gives them.
  if (chunks.size() == 1 && large && !columns.keeps_numbers(j)) {
    const ArrowArray& only = chunks[0]->owned.value;
    const bool whole = only.n_buffers == 3 && only.offset >= 0 &&
                       static_cast<std::uint64_t>(only.length) == columns.row_count;
    const auto* validity = whole ? static_cast<const std::uint8_t*>(only.buffers[0]) : nullptr;
    TextColumn::BorrowedNulls nulls;
    bool readable = whole;
    if (whole && only.null_count != 0 && validity != nullptr) {
      const std::optional<std::size_t> first =
          first_valid_row(validity, only.offset, columns.row_count);
      readable = first.has_value();  // a column of nulls only is typed cell by cell
      if (readable) {
        nulls = null_cell_texts(missing);
        nulls.validity = validity;
        nulls.bit_offset = only.offset;
        nulls.first_valid = *first;
      }
    }
    if (readable) {
      columns.borrow_texts(j, static_cast<const char*>(only.buffers[2]),
                           static_cast<const std::int64_t*>(chunks[0]->offsets) + only.offset,
                           columns.row_count, chunks[0], nulls);
      signals.tick_many(columns.row_count);
      return;
    }
  }
  std::size_t row = 0;
  for (const auto& chunk : chunks) {
    if (large) {
      scan_arrow_chunk<std::int64_t>(chunk->owned.value, chunk->offsets, missing, j, columns, row,
                                     signals);
    } else {
      scan_arrow_chunk<std::int32_t>(chunk->owned.value, chunk->offsets, missing, j, columns, row,
                                     signals);
    }
  }
  if (row != columns.row_count) {
    throw InternalError("failed to read column " + std::to_string(j) + ": " + std::to_string(row) +
                        " cells for " + std::to_string(columns.row_count) + " rows");
  }
}

}  // namespace colenc::py
