// The Encoder object: its payload (the state, the borrow flag and the strs
// its decodes made of the labels), the constructor, deallocation, and the
// four methods at the Python boundary.
// No C++ exception leaves this file: each slot runs whole inside guard(),
// argument binding included, which turns any C++ exception (std::bad_alloc
// from building a message too) into a Python one.
#include "python/encoder/encoder_type.hpp"

#include <new>
#include <span>
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
const Signature kEncodeSig{"Encoder.encode()", kObjParam, 1};
const Signature kDecodeSig{"Encoder.decode()", kObjParam, 1};
const Signature kSetstateSig{"Encoder.__setstate__()", kStateParam, 1};
const Signature kNewSig{"Encoder.__new__()", kEncodingParam, 0};

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
                                table.result_library);
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
                        &as_encoder(self)->label_strs, table.result_library)
        .release();
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
