// Importing a pandas column's Arrow stream: the stream is moved out of its
// capsule, so that only this reader releases it, its arrays are taken one by
// one, and their lengths and offsets are checked against the frame's rows.
#include "python/readers/frame_arrow_chunks.hpp"

#include <limits>

#include "core/internal_error.hpp"
#include "python/input/storage_lookup.hpp"
#include "python/runtime/interned.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {

void ArrowColumnChunks::refuse(const std::string& what) const {
  throw InternalError("failed to read column " + std::to_string(column) + ": " + what);
}

std::shared_ptr<ArrowColumnChunks> import_arrow_chunks(PyObject* array, std::size_t j,
                                                       std::size_t rows) {
  // The chunked array pandas stores, and a capsule owning a stream over it.
  PyRef chunked = call_method(array, "__arrow_array__");
  PyRef capsule =
      chunked ? call_method(chunked.get(), "__arrow_c_stream__")
              : PyRef();
  if (!capsule || !PyCapsule_IsValid(capsule.get(), "arrow_array_stream")) {
    not_readable();
    return nullptr;
  }
  auto* source =
      static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
  if (source == nullptr || source->release == nullptr) {
    not_readable();
    return nullptr;
  }
  // From here the stream is ours alone: released once, when `stream` dies,
  // on every path; the capsule finds it released and leaves it.
  ArrowOwned<ArrowArrayStream> stream = ArrowOwned<ArrowArrayStream>::take(source);
  ArrowArrayStream* const s = &stream.get();
  auto chunks = std::make_shared<ArrowColumnChunks>();
  chunks->column = j;
  const auto stream_error = [&](const char* fallback) {
    const char* why = s->get_last_error != nullptr ? s->get_last_error(s) : nullptr;
    chunks->refuse(why != nullptr ? why : fallback);
  };
  if (s->get_schema(s, chunks->schema.out()) != 0) stream_error("no Arrow schema");
  if (chunks->schema.released() || chunks->schema.get().format == nullptr) {
    chunks->refuse("an Arrow schema without a format");
  }
  std::uint64_t total = 0;
  for (;;) {
    ArrowOwned<ArrowArray> next;
    if (s->get_next(s, next.out()) != 0) stream_error("Arrow stream error");
    if (next.released()) break;  // the end of the stream
    const ArrowArray& a = next.get();
    if (a.length < 0 || a.offset < 0 ||
        a.offset > std::numeric_limits<std::int64_t>::max() - a.length) {
      chunks->refuse("an Arrow array of length " + std::to_string(a.length) + " at offset " +
                     std::to_string(a.offset));
    }
    if (a.n_buffers < 0 || a.n_children < 0 || (a.n_buffers > 0 && a.buffers == nullptr)) {
      chunks->refuse("an Arrow array without its buffers");
    }
    total += static_cast<std::uint64_t>(a.length);
    if (total > rows) chunks->refuse("more cells than the table has rows");
    chunks->arrays.push_back(std::move(next));
  }
  if (total != rows) {
    chunks->refuse(std::to_string(total) + " cells for " + std::to_string(rows) + " rows");
  }
  return chunks;
}

const std::uint8_t* arrow_validity(const ArrowColumnChunks& chunks, const ArrowArray& array) {
  if (array.null_count == 0 || array.length == 0) return nullptr;
  const void* bits = array.n_buffers > 0 ? array.buffers[0] : nullptr;
  if (bits == nullptr) {
    if (array.null_count > 0) chunks.refuse("null cells without a validity bitmap");
    return nullptr;  // a count not computed (-1) and no bitmap: no null cell
  }
  return static_cast<const std::uint8_t*>(bits);
}

}  // namespace colenc::py
