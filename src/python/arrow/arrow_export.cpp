// build_arrow_output: the decoded text columns, the exporter object (a type
// of its own, not a name of the colenc module) whose __arrow_c_stream__
// hands out the table, and the call of polars.DataFrame or pyarrow.table on it.
#include "python/arrow/arrow_export.hpp"

#include <memory>
#include <string_view>

#include "core/internal_error.hpp"
#include "python/arrow/decoded_texts.hpp"
#include "python/arrow/exported_table.hpp"
#include "python/decode/column_decoder.hpp"
#include "python/runtime/panic.hpp"
#include "python/runtime/signal_check.hpp"

namespace colenc::py {
namespace {

// The exporter: owns a share of the table; each stream it gives owns another.
struct ExporterObject {
  PyObject_HEAD std::shared_ptr<const ExportedTable>* table;
};

void free_stream_capsule(PyObject* capsule) {
  auto* stream =
      static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
  if (stream == nullptr) {
    PyErr_Clear();
    return;
  }
  if (stream->release != nullptr) stream->release(stream);
  delete stream;
}

PyObject* Exporter_arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"requested_schema", nullptr};
    PyObject* requested = Py_None;
    // The requested schema is only a wish: the table is given as it is.
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__",
                                     const_cast<char**>(keywords), &requested)) {
      return nullptr;
    }
    auto stream = std::make_unique<ArrowArrayStream>();
    export_table_stream(*reinterpret_cast<ExporterObject*>(self)->table, stream.get());
    PyObject* capsule = PyCapsule_New(stream.get(), "arrow_array_stream", free_stream_capsule);
    if (capsule == nullptr) {
      stream->release(stream.get());
      return nullptr;
    }
    stream.release();  // the capsule owns it now
    return capsule;
  });
}

void Exporter_dealloc(PyObject* self) {
  delete reinterpret_cast<ExporterObject*>(self)->table;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef exporter_methods[] = {
    {"__arrow_c_stream__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Exporter_arrow_c_stream)),
     METH_VARARGS | METH_KEYWORDS, "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot exporter_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Exporter_dealloc)},
    {Py_tp_methods, exporter_methods},
    {0, nullptr},
};

PyType_Spec exporter_spec = {
    "colenc._ArrowResult",
    static_cast<int>(sizeof(ExporterObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    exporter_slots,
};

// Returns a borrowed reference to the exporter type, made once per process.
PyTypeObject* exporter_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&exporter_spec);
  throw_if(type == nullptr);
  return reinterpret_cast<PyTypeObject*>(type);
}

// Returns a new exporter of `table`.
PyRef make_exporter(std::shared_ptr<const ExportedTable> table) {
  PyTypeObject* type = exporter_type();
  PyRef exporter = PyRef::steal(type->tp_alloc(type, 0));
  throw_if(!exporter);
  reinterpret_cast<ExporterObject*>(exporter.get())->table =
      new std::shared_ptr<const ExportedTable>(std::move(table));
  return exporter;
}

// Returns a new reference to `module`.`function`(exporter).
PyRef call_library(const char* module, const char* function, PyObject* exporter) {
  PyRef library = PyRef::steal(PyImport_ImportModule(module));
  if (!library && PyErr_ExceptionMatches(PyExc_ImportError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError,
                 "colenc gives its result for an Arrow table as a %s.%s, and %s cannot be "
                 "imported: install %s",
                 module, function[0] == 't' ? "Table" : "DataFrame", module, module);
  }
  throw_if(!library);
  PyRef result = PyRef::steal(PyObject_CallMethod(library.get(), function, "O", exporter));
  throw_if(!result);
  return result;
}

}  // namespace

PyRef build_arrow_output(const std::vector<std::string>& names, Matrix matrix,
                         const EncodingInfo* info, ResultLibrary library,
                         const std::vector<InPlaceCodes>& in_place) {
  if (matrix.order != MatrixOrder::kColumnMajor || names.size() != matrix.cols ||
      (!in_place.empty() && in_place.size() != matrix.cols)) {
    throw InternalError("an Arrow result needs a column-major matrix and a name per column");
  }
  // Where column j's codes lie: in the input, or in its run of the matrix.
  const auto cells_of = [&](std::size_t j) -> const double* {
    if (!in_place.empty() && in_place[j].cells != nullptr) return in_place[j].cells;
    return matrix.data.data() + j * matrix.rows;
  };
  auto table = std::make_shared<ExportedTable>();
  table->names = names;
  table->rows = matrix.rows;
  table->texts.resize(matrix.cols);
  if (info != nullptr) {
    SignalCheck signals;
    for (std::size_t column : info->string_columns) {
      signals.tick_many(matrix.rows);
      const CodeToLabel& labels = column_labels(*info, column);
      if (matrix.rows == 0 && column >= matrix.cols) continue;
      if (column >= matrix.cols) {
        throw InternalError("matrix index out of bounds: the matrix has " +
                            std::to_string(matrix.cols) + " columns but the column index is " +
                            std::to_string(column));
      }
      // polars keeps its strings as views: a table of them is taken as it is.
      table->texts[column] =
          decode_texts(labels, cells_of(column), matrix.rows, library == ResultLibrary::kPolars);
    }
  }
  table->cells = std::move(matrix.data);
  PyRef exporter = make_exporter(std::move(table));
  if (library == ResultLibrary::kPolars) return call_library("polars", "DataFrame", exporter.get());
  return call_library("pyarrow", "table", exporter.get());
}

}  // namespace colenc::py
