// The column labels of a DataFrame as texts: every label a str, or else the
// labels read as 64-bit integers, each written in decimal.
#include "python/input/frame_labels.hpp"

#include <string_view>

#include "python/cells/object_cell.hpp"
#include "python/runtime/errors.hpp"
#include "python/runtime/interned.hpp"
#include "python/runtime/numpy_api.hpp"
#include "python/runtime/panic.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {
namespace {

// Appends the text of `label` (borrowed) to `out` and notes in `exact`
// whether it is exactly a str, not of a subclass such as numpy.str_; false,
// with no exception left set, when it is no str.
bool add_text_label(PyObject* label, std::vector<std::string>& out, bool& exact) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_Check(label) ? PyUnicode_AsUTF8AndSize(label, &size) : nullptr;
  if (utf8 == nullptr) {
    clear_ordinary_error();
    return false;
  }
  exact = exact && PyUnicode_CheckExact(label);
  out.emplace_back(utf8, static_cast<std::size_t>(size));
  return true;
}

// Returns a new reference to the labels of a pandas Index (borrowed) as a
// 1-D object array, its to_numpy(dtype=object), which holds the objects that
// iterating it gives, for far less than that costs on strings stored in
// Arrow; null, with no exception set, for labels of any other type.
PyRef label_objects(PyObject* labels) {
  if (std::string_view(Py_TYPE(labels)->tp_name) != "Index") return PyRef();
  ensure_numpy_api();
  PyRef method = get_attribute(labels, "to_numpy");
  PyRef no_args = PyRef::steal(PyTuple_New(0));
  PyRef kwargs = PyRef::steal(PyDict_New());
  PyRef object_dtype = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_OBJECT)));
  if (!method || !no_args || !kwargs || !object_dtype ||
      PyDict_SetItemString(kwargs.get(), "dtype", object_dtype.get()) < 0) {
    clear_ordinary_error();
    return PyRef();
  }
  PyRef objects = PyRef::steal(PyObject_Call(method.get(), no_args.get(), kwargs.get()));
  if (!objects) clear_ordinary_error();
  if (!objects || !PyArray_CheckExact(objects.get()) ||
      PyArray_NDIM(reinterpret_cast<PyArrayObject*>(objects.get())) != 1 ||
      PyArray_TYPE(reinterpret_cast<PyArrayObject*>(objects.get())) != NPY_OBJECT) {
    return PyRef();
  }
  return objects;
}

// First reading of the labels: every element a str. Returns false, with no
// exception left set, when the labels are not all text. `exact` tells
// whether every one is exactly a str.
bool read_text_labels(PyObject* labels, std::vector<std::string>& out, bool& exact) {
  exact = true;
  if (PyUnicode_Check(labels) || !PySequence_Check(labels)) return false;
  if (PyRef objects = label_objects(labels)) {
    auto* array = reinterpret_cast<PyArrayObject*>(objects.get());
    for (npy_intp k = 0; k < PyArray_DIM(array, 0); ++k) {
      if (!add_text_label(object_cell(array, &k, 1), out, exact)) return false;
    }
    return true;
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(labels));
  if (!iterator) {
    clear_ordinary_error();
    return false;
  }
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!add_text_label(item.get(), out, exact)) return false;
  }
  if (PyErr_Occurred()) {
    clear_ordinary_error();
    return false;
  }
  return true;
}

// Second reading: labels.tolist() as 64-bit integers, each written in decimal.
std::vector<std::string> read_integer_labels(PyObject* labels) {
  PyRef list = call_method(labels, "tolist");
  throw_if(!list);
  if (PyUnicode_Check(list.get()) || !PySequence_Check(list.get())) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'",
                 Py_TYPE(list.get())->tp_name);
    throw PythonError{};
  }
  std::vector<std::string> names;
  const Py_ssize_t hint = PySequence_Size(list.get());
  if (hint < 0)
    PyErr_Clear();
  else
    names.reserve(static_cast<std::size_t>(hint));
  PyRef iterator = PyRef::steal(PyObject_GetIter(list.get()));
  throw_if(!iterator);
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    const long long value = PyLong_AsLongLong(item.get());
    throw_if(value == -1 && PyErr_Occurred());
    names.push_back(std::to_string(value));
  }
  throw_if(PyErr_Occurred() != nullptr);
  return names;
}

}  // namespace

std::vector<std::string> read_column_labels(PyObject* frame, PyRef* text_labels) {
  PyRef labels = get_attribute(frame, "columns");
  throw_if(!labels);
  std::vector<std::string> names;
  bool exact = false;
  if (read_text_labels(labels.get(), names, exact)) {
    if (text_labels != nullptr && exact) *text_labels = std::move(labels);
    return names;
  }
  return read_integer_labels(labels.get());
}

}  // namespace colenc::py
