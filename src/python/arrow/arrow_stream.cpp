// Reading an Arrow stream into an ArrowTable. The stream struct is taken out
// of its capsule at once (its `release` cleared there, so the capsule's
// destructor leaves it alone); every schema and array it hands out is owned
// by an ArrowOwned from the moment it is written.
#include "python/arrow/arrow_stream.hpp"

#include <cerrno>
#include <cstring>
#include <limits>
#include <string_view>

#include "python/arrow/arrow_invalid.hpp"
#include "python/runtime/panic.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {
namespace {

// Raises the producer's failure `code` (an errno value) with its last error.
[[noreturn]] void raise_stream_error(ArrowArrayStream& stream, int code, const char* step) {
  const char* why = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
  const std::string message = std::string("the Arrow stream failed ") + step + ": " +
                              (why != nullptr ? why : std::strerror(code));
  if (code == ENOMEM) {
    PyErr_SetString(PyExc_MemoryError, message.c_str());
  } else {
    PyRef args = PyRef::steal(Py_BuildValue("(is)", code, message.c_str()));
    throw_if(!args);
    PyErr_SetObject(PyExc_OSError, args.get());
  }
  throw PythonError{};
}

[[noreturn]] void raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  throw PythonError{};
}

// Checks batch `b` (a struct array of `columns` fields) as far as the table
// reads it; throws ArrowInvalid.
void check_batch(const ArrowArray& batch, std::size_t columns) {
  if (batch.length < 0 || batch.offset < 0 ||
      batch.length > std::numeric_limits<std::int64_t>::max() - batch.offset) {
    throw ArrowInvalid("length " + std::to_string(batch.length) + " and offset " +
                       std::to_string(batch.offset) + " out of range");
  }
  if (batch.n_children != static_cast<std::int64_t>(columns) ||
      (columns > 0 && batch.children == nullptr)) {
    throw ArrowInvalid(std::to_string(batch.n_children) + " columns where the schema has " +
                       std::to_string(columns));
  }
  if (batch.null_count != 0 && batch.n_buffers > 0 && batch.buffers != nullptr &&
      batch.buffers[0] != nullptr) {
    throw ArrowInvalid("null rows in a batch of a table");
  }
  for (std::size_t j = 0; j < columns; ++j) {
    const ArrowArray* child = batch.children[j];
    if (child == nullptr) throw ArrowInvalid("a missing column array");
    if (child->length < 0 || child->length - batch.length < batch.offset) {
      throw ArrowInvalid("column " + std::to_string(j) + " holds " + std::to_string(child->length) +
                         " rows where the batch reaches row " +
                         std::to_string(batch.offset + batch.length));
    }
  }
}

}  // namespace

ArrowArrayView ArrowTable::column_view(std::size_t b, std::size_t j) const {
  const ArrowArray& batch = batches[b]->get();
  // The batch's offset and length apply to every column: a descriptor of
  // that part of the column, borrowed (never released through).
  ArrowArray part = *batch.children[j];
  if (part.offset < 0 || part.offset > std::numeric_limits<std::int64_t>::max() - batch.offset) {
    throw ArrowInvalid("offset " + std::to_string(part.offset) + " out of range");
  }
  part.offset += batch.offset;
  part.length = batch.length;
  return view_arrow_array(part, column_types[j]);
}

bool exports_arrow_stream(PyObject* obj) {
  const int found = PyObject_HasAttrStringWithError(reinterpret_cast<PyObject*>(Py_TYPE(obj)),
                                                    "__arrow_c_stream__");
  throw_if(found < 0);
  return found == 1;
}

std::optional<ArrowTable> import_arrow_table(PyObject* obj) {
  PyRef capsule = PyRef::steal(PyObject_CallMethod(obj, "__arrow_c_stream__", nullptr));
  throw_if(!capsule);
  if (!PyCapsule_IsValid(capsule.get(), "arrow_array_stream")) {
    PyErr_Format(PyExc_TypeError,
                 "%s.__arrow_c_stream__() returned %s, not an 'arrow_array_stream' capsule",
                 Py_TYPE(obj)->tp_name, Py_TYPE(capsule.get())->tp_name);
    throw PythonError{};
  }
  auto* source =
      static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
  throw_if(source == nullptr);
  if (source->release == nullptr) {
    PyErr_SetString(PyExc_ValueError, "the Arrow stream was already consumed");
    throw PythonError{};
  }
  OwnedStream stream = OwnedStream::take(source);
  capsule.reset();

  OwnedSchema schema;
  if (const int code = stream.get().get_schema(&stream.get(), schema.out()); code != 0) {
    raise_stream_error(stream.get(), code, "to give its schema");
  }
  if (schema.released()) raise_value_error("the Arrow stream gave a released schema");
  ArrowTable table;
  const ArrowSchema& top = schema.get();
  try {
    read_arrow_type(top);  // checks the format
  } catch (const ArrowInvalid& invalid) {
    raise_value_error(std::string("the Arrow stream's schema is invalid: ") + invalid.what());
  }
  if (std::string_view(top.format) != "+s") return std::nullopt;
  if (top.n_children < 0 || (top.n_children > 0 && top.children == nullptr)) {
    raise_value_error("the Arrow stream's schema is invalid: bad column count");
  }
  const auto columns = static_cast<std::size_t>(top.n_children);
  table.column_names.reserve(columns);
  table.column_types.reserve(columns);
  for (std::size_t j = 0; j < columns; ++j) {
    const ArrowSchema* field = top.children[j];
    if (field == nullptr)
      raise_value_error("the Arrow stream's schema is invalid: a missing field");
    table.column_names.emplace_back(field->name != nullptr ? field->name : "");
    try {
      table.column_types.push_back(read_arrow_type(*field));
    } catch (const ArrowInvalid& invalid) {
      raise_value_error("column '" + table.column_names.back() +
                        "' has an invalid Arrow type: " + invalid.what());
    }
    if (table.column_types.back().role() == ArrowRole::kUnsupported) {
      PyErr_Format(PyExc_TypeError,
                   "column %zu ('%s') has the Arrow type %s, which colenc cannot encode: "
                   "it encodes numbers, booleans, decimals, strings, dictionaries of them, "
                   "dates, times, timestamps and durations",
                   j, table.column_names.back().c_str(), table.column_types.back().name.c_str());
      throw PythonError{};
    }
  }

  for (;;) {
    auto batch = std::make_shared<OwnedArray>();
    if (const int code = stream.get().get_next(&stream.get(), batch->out()); code != 0) {
      raise_stream_error(stream.get(), code, "to give its next batch");
    }
    if (batch->released()) break;  // end of the stream
    try {
      check_batch(batch->get(), columns);
    } catch (const ArrowInvalid& invalid) {
      raise_value_error("batch " + std::to_string(table.batches.size()) +
                        " of the Arrow stream is invalid: " + invalid.what());
    }
    const auto length = static_cast<std::size_t>(batch->get().length);
    if (length > std::numeric_limits<std::size_t>::max() - table.rows) {
      raise_value_error("the Arrow stream holds more rows than can be addressed");
    }
    table.rows += length;
    if (length > 0) table.batches.push_back(std::move(batch));
  }
  return table;
}

}  // namespace colenc::py
