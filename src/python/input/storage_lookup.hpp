// Small helpers of the frame readers while they look at a column's storage,
// before any cell is read: an ordinary exception there only means "read the
// frame's `values` instead".
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "python/runtime/errors.hpp"
#include "python/runtime/interned.hpp"
#include "python/runtime/numpy_api.hpp"
#include "python/runtime/panic.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {

// Clears an ordinary exception, if one is set, and returns false; an
// interrupt or other non-Exception error still propagates as PythonError.
inline bool not_readable() {
  clear_ordinary_error();
  return false;
}

// True when `text` (borrowed) is a str equal to `expected`.
inline bool text_equals(PyObject* text, std::string_view expected) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_Check(text) ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return false;
  }
  return std::string_view(utf8, static_cast<std::size_t>(size)) == expected;
}

// Returns a new reference to attribute `name` (a string literal) of `obj`
// (borrowed), or null with no exception set (an interrupt still propagates
// as PythonError).
inline PyRef attribute(PyObject* obj, const char* name) {
  PyRef value = get_attribute(obj, name);
  if (!value) not_readable();
  return value;
}

// True when `obj` (borrowed, may be null) is exactly a 1-D ndarray of `rows`
// elements.
inline bool is_column_array(PyObject* obj, std::size_t rows) {
  if (obj == nullptr || !PyArray_CheckExact(obj)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  return PyArray_NDIM(array) == 1 && static_cast<std::size_t>(PyArray_DIM(array, 0)) == rows;
}

}  // namespace colenc::py
