// Attribute names as interned strs, made once per process. An attribute
// looked up by an interned name hits the interpreter's type cache; one
// looked up by a str made afresh, as PyObject_GetAttrString makes it, walks
// the whole MRO of the object's type every time (pandas' blocks and arrays
// have long ones), which costs a one-row call dearly.
#pragma once

#include <Python.h>

#include "python/runtime/py_ref.hpp"

namespace colenc::py {

// Returns a borrowed reference to the interned str of `name`, kept for the
// process. Throws PythonError when it cannot be made.
// REQUIRES: `name` is a string literal (its address names it); the
// interpreter lock is held.
PyObject* interned(const char* name);

// Returns a new reference to attribute `name` of `obj` (borrowed), or null
// with the interpreter's exception set.
// REQUIRES: as interned().
inline PyRef get_attribute(PyObject* obj, const char* name) {
  return PyRef::steal(PyObject_GetAttr(obj, interned(name)));
}

// Returns a new reference to the result of obj.name() (obj borrowed), or
// null with the interpreter's exception set.
// REQUIRES: as interned().
inline PyRef call_method(PyObject* obj, const char* name) {
  return PyRef::steal(PyObject_CallMethodNoArgs(obj, interned(name)));
}

}  // namespace colenc::py
