// The column labels of a DataFrame as texts: every label a str, or else the
// labels read as 64-bit integers, each written in decimal.
#include "python/input/frame_labels.hpp"

#include "python/runtime/errors.hpp"
#include "python/runtime/panic.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {
namespace {

// First reading of the labels: every element a str. Returns false, with no
// exception left set, when the labels are not all text. `exact` tells
// whether every one is exactly a str, not of a subclass such as numpy.str_.
bool read_text_labels(PyObject* labels, std::vector<std::string>& out, bool& exact) {
  exact = true;
  if (PyUnicode_Check(labels) || !PySequence_Check(labels)) return false;
  PyRef iterator = PyRef::steal(PyObject_GetIter(labels));
  if (!iterator) {
    clear_ordinary_error();
    return false;
  }
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    Py_ssize_t size = 0;
    const char* utf8 =
        PyUnicode_Check(item.get()) ? PyUnicode_AsUTF8AndSize(item.get(), &size) : nullptr;
    if (utf8 == nullptr) {
      clear_ordinary_error();
      return false;
    }
    exact = exact && PyUnicode_CheckExact(item.get());
    out.emplace_back(utf8, static_cast<std::size_t>(size));
  }
  if (PyErr_Occurred()) {
    clear_ordinary_error();
    return false;
  }
  return true;
}

// Second reading: labels.tolist() as 64-bit integers, each written in decimal.
std::vector<std::string> read_integer_labels(PyObject* labels) {
  PyRef list = PyRef::steal(PyObject_CallMethod(labels, "tolist", nullptr));
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
  PyRef labels = PyRef::steal(PyObject_GetAttrString(frame, "columns"));
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
