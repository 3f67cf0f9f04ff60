// The Encoder object: its payload (the state, the borrow flag and the strs
// its decodes made of the labels), the constructor, deallocation, and the
// four methods at the Python boundary.
// No C++ exception leaves this file: each slot runs whole inside guard(),
// argument binding included, which turns any C++ exception (std::bad_alloc
// from building a message too) into a Python one.
#include "python/encoder/encoder_type.hpp"

#include <algorithm>
#include <new>
#include <span>
#include <string>
#include <string_view>

#include "core/labels/encoding_info.hpp"
#include "core/labels/state_format.hpp"
#include "python/decode/build_output.hpp"
#include "python/decode/label_str_cache.hpp"
#include "python/encoder/arg_binding.hpp"
#include "python/encoder/borrow.hpp"
#include "python/input/prepare_table.hpp"
#include "python/runtime/errors.hpp"
#include "python/runtime/panic.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {
namespace {

struct EncoderObject {
  PyObject_HEAD EncoderState state;
  BorrowFlag borrow;
  LabelStrCache label_strs;  // follows `state`: cleared whenever it changes
};

EncoderObject* as_encoder(PyObject* self) { return reinterpret_cast<EncoderObject*>(self); }

constexpr const char* kObjParam[] = {"obj"};
constexpr const char* kStateParam[] = {"state"};
constexpr const char* kEncodingParam[] = {"encoding"};
constexpr const char* kTransformParams[] = {"obj", "unknown"};
const Signature kEncodeSig{"Encoder.encode()", kObjParam, 1};
const Signature kDecodeSig{"Encoder.decode()", kObjParam, 1};
const Signature kSetstateSig{"Encoder.__setstate__()", kStateParam, 1};
const Signature kNewSig{"Encoder.__new__()", kEncodingParam, 0};
const Signature kTransformSig{"Encoder.transform()", kTransformParams, 1};

// Returns a new list of Python ints holding `columns`.
PyRef column_list(const std::vector<std::size_t>& columns) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(columns.size())));
  throw_if(!list);
  for (std::size_t i = 0; i < columns.size(); ++i) {
    PyObject* index = PyLong_FromSize_t(columns[i]);
    throw_if(index == nullptr);
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), index);  // steals index
  }
  return list;
}

// Refuses every strategy but "label"; returns false with the exception set.
bool check_encoding(PyObject* encoding) {
  if (encoding == nullptr || encoding == Py_None) return true;
  if (!PyUnicode_Check(encoding)) {
    set_wrong_type_error(encoding, "str", "encoding");
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(encoding, &size);
  if (utf8 == nullptr) {
    add_parameter_note("encoding");
    return false;
  }
  if (std::string_view(utf8, static_cast<std::size_t>(size)) == "label") return true;
  PyErr_Format(PyExc_ValueError, "%U is not a supported encoding strategy for strings!", encoding);
  return false;
}

// Reads transform's `unknown` (borrowed; null when not given) into `mode`;
// returns false with TypeError or ValueError set for anything else.
bool read_unknown_mode(PyObject* unknown, UnknownLabels& mode) {
  mode = UnknownLabels::kNaN;
  if (unknown == nullptr) return true;
  if (!PyUnicode_Check(unknown)) {
    set_wrong_type_error(unknown, "str", "unknown");
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(unknown, &size);
  if (utf8 == nullptr) {
    add_parameter_note("unknown");
    return false;
  }
  const std::string_view name(utf8, static_cast<std::size_t>(size));
  if (name == "nan") return true;
  if (name == "error") {
    mode = UnknownLabels::kError;
    return true;
  }
  if (name == "code") {
    mode = UnknownLabels::kNextCode;
    return true;
  }
  PyErr_Format(PyExc_ValueError, "unknown must be 'nan', 'error' or 'code', not %R", unknown);
  return false;
}

// Returns `text` cut to at most kShownCharacters characters, "..." marking a cut.
std::string shortened(std::string_view text) {
  constexpr std::size_t kShownCharacters = 40;
  std::size_t characters = 0;
  for (std::size_t at = 0; at < text.size(); ++at) {
    // A UTF-8 character starts at every byte that is not a continuation byte.
    if ((static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) continue;
    if (++characters > kShownCharacters) return std::string(text.substr(0, at)) + "...";
  }
  return std::string(text);
}

// Sets the ValueError of transform's first unknown cell: its column (a
// frame's label, else its index), row and shortened text.
void set_unknown_cell_error(const PreparedTable& table, const EncodingInfo& fit) {
  const UnknownCell& cell = *table.unknown_cell;
  const std::string text = shortened(cell.text);
  PyRef shown = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  throw_if(!shown);
  PyRef column;
  if (table.column_names && cell.column < table.column_names->size()) {
    const std::string& name = (*table.column_names)[cell.column];
    PyRef label = PyRef::steal(
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace"));
    throw_if(!label);
    column = PyRef::steal(PyUnicode_FromFormat("%R", label.get()));
  } else {
    column = PyRef::steal(PyUnicode_FromFormat("%zu", cell.column));
  }
  throw_if(!column);
  const bool text_column = std::find(fit.string_columns.begin(), fit.string_columns.end(),
                                     cell.column) != fit.string_columns.end();
  if (text_column) {
    PyErr_Format(PyExc_ValueError, "column %U, row %zu: %R is not a label of the fit", column.get(),
                 cell.row, shown.get());
  } else {
    PyErr_Format(PyExc_ValueError,
                 "column %U, row %zu: %R is neither a number nor a missing value, in a column "
                 "the fit holds as numbers",
                 column.get(), cell.row, shown.get());
  }
}

PyObject* Encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_tuple(kNewSig, args, kwargs, bound)) return nullptr;
    if (!check_encoding(bound[0])) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&as_encoder(self)->state) EncoderState();
    new (&as_encoder(self)->borrow) BorrowFlag(0);
    new (&as_encoder(self)->label_strs) LabelStrCache();
    return self;
  });
}

void Encoder_dealloc(PyObject* self) {
  as_encoder(self)->state.~EncoderState();
  as_encoder(self)->borrow.~BorrowFlag();
  as_encoder(self)->label_strs.~LabelStrCache();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types hold a reference to their type
}

PyObject* Encoder_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_fastcall(kEncodeSig, args, nargs, kwnames, bound)) return nullptr;
    ExclusiveBorrow borrow(as_encoder(self)->borrow);
    if (!borrow.ok()) return nullptr;
    EncoderState& state = as_encoder(self)->state;
    PreparedTable table = prepare_table(bound[0]);
    as_encoder(self)->label_strs.clear();
    state.encoding_info.reset();
    state.encoding_info = std::move(table.fitted_info);
    PyRef result = build_output(table.column_names, std::move(table.matrix), nullptr, {}, nullptr,
                                table.result_library, table.column_labels.get());
    PyRef columns = state.encoding_info ? column_list(state.encoding_info->string_columns)
                                        : PyRef::borrow(Py_None);
    PyRef pair = PyRef::steal(PyTuple_Pack(2, result.get(), columns.get()));
    throw_if(!pair);
    return pair.release();
  });
}

PyObject* Encoder_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_fastcall(kDecodeSig, args, nargs, kwnames, bound)) return nullptr;
    SharedBorrow borrow(as_encoder(self)->borrow);
    if (!borrow.ok()) return nullptr;
    const EncoderState& state = as_encoder(self)->state;
    const EncodingInfo* info = state.encoding_info ? &*state.encoding_info : nullptr;
    // A float64 array to be decoded is read where it lies: its copy would only
    // be read once and dropped.
    // A DataFrame's text columns are replaced by their labels: their codes are
    // read where they lie rather than copied into the new frame first.
    PreparedTable table = prepare_table(bound[0], /*copy_float64=*/info == nullptr,
                                        info != nullptr ? &info->string_columns : nullptr);
    if (table.float64_array != nullptr) {
      return decode_float64_array(table.float64_array, *info, &as_encoder(self)->label_strs)
          .release();
    }
    table.fitted_info.reset();
    return build_output(table.column_names, std::move(table.matrix), info, table.in_place,
                        &as_encoder(self)->label_strs, table.result_library,
                        table.column_labels.get(), table.arrow_in_place)
        .release();
  });
}

PyObject* Encoder_transform(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_fastcall(kTransformSig, args, nargs, kwnames, bound)) return nullptr;
    UnknownLabels mode;
    if (!read_unknown_mode(bound[1], mode)) return nullptr;
    SharedBorrow borrow(as_encoder(self)->borrow);
    if (!borrow.ok()) return nullptr;
    const EncoderState& state = as_encoder(self)->state;
    if (!state.encoding_info) {
      PyErr_SetString(PyExc_ValueError,
                      "this Encoder has no fit to transform with: encode a table first (a "
                      "float64 array keeps no fit) or restore a fitted state");
      return nullptr;
    }
    const EncodingInfo& fit = *state.encoding_info;
    const TransformRead read{fit, mode};
    PreparedTable table = prepare_table(bound[0], true, nullptr, &read);
    if (table.unknown_cell) {
      set_unknown_cell_error(table, fit);
      return nullptr;
    }
    PyRef result = build_output(table.column_names, std::move(table.matrix), nullptr, {}, nullptr,
                                table.result_library, table.column_labels.get());
    PyRef columns = column_list(fit.string_columns);
    PyRef pair = PyRef::steal(PyTuple_Pack(2, result.get(), columns.get()));
    throw_if(!pair);
    return pair.release();
  });
}

PyObject* Encoder_getstate(PyObject* self, PyObject*) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    SharedBorrow borrow(as_encoder(self)->borrow);
    if (!borrow.ok()) return nullptr;
    const std::vector<std::uint8_t> bytes = write_state(as_encoder(self)->state);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<Py_ssize_t>(bytes.size()));
  });
}

PyObject* Encoder_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_fastcall(kSetstateSig, args, nargs, kwnames, bound)) return nullptr;
    ExclusiveBorrow borrow(as_encoder(self)->borrow);
    if (!borrow.ok()) return nullptr;
    PyObject* state = bound[0];
    if (!PyBytes_Check(state)) {
      set_wrong_type_error(state, "bytes", "state");
      return nullptr;
    }
    const std::span<const std::uint8_t> bytes(
        reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(state)),
        static_cast<std::size_t>(PyBytes_GET_SIZE(state)));
    StateReadResult result = read_state(bytes);
    if (auto* error = std::get_if<StateReadError>(&result)) {
      PyErr_Format(PyExc_ValueError, "failed to unpickle Encoder: %s", error->detail.c_str());
      return nullptr;
    }
    as_encoder(self)->label_strs.clear();
    as_encoder(self)->state = std::move(std::get<EncoderState>(result));
    Py_RETURN_NONE;
  });
}

PyMethodDef encoder_methods[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Encoder_encode)),
     METH_FASTCALL | METH_KEYWORDS, "encode($self, obj)\n--\n\n"},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Encoder_decode)),
     METH_FASTCALL | METH_KEYWORDS, "decode($self, obj)\n--\n\n"},
    {"transform", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Encoder_transform)),
     METH_FASTCALL | METH_KEYWORDS, "transform($self, obj, unknown='nan')\n--\n\n"},
    {"__getstate__", Encoder_getstate, METH_NOARGS, "__getstate__($self)\n--\n\n"},
    {"__setstate__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Encoder_setstate)),
     METH_FASTCALL | METH_KEYWORDS, "__setstate__($self, state)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot encoder_slots[] = {
    {Py_tp_doc, const_cast<char*>("Encoder(encoding=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(Encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Encoder_dealloc)},
    {Py_tp_methods, encoder_methods},
    {0, nullptr},
};

PyType_Spec encoder_spec = {
    "colenc.Encoder",
    static_cast<int>(sizeof(EncoderObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    encoder_slots,
};

}  // namespace

PyObject* encoder_type() {
  // Created once per process; every module object shares it.
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&encoder_spec);
  return type;
}

}  // namespace colenc::py
