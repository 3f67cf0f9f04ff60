// Raising the argument-type errors of the binding layer, with their notes,
// and turning a Python error into an internal failure.
#include "python/runtime/errors.hpp"

#include "python/runtime/py_ref.hpp"

namespace colenc::py {

void fail_from_python(const std::string& prefix, std::source_location where) {
  if (!error_is_ordinary()) throw PythonError{};
  throw_internal_from_python(prefix, where);
}

void add_parameter_note(const char* parameter) {
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  if (!exc) return;
  PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
  if (note) {
    PyRef added = PyRef::steal(PyObject_CallMethod(exc.get(), "add_note", "O", note.get()));
    if (!added) {
      // Failing to attach the note must not replace the original error.
      PyErr_Clear();
    }
  } else {
    PyErr_Clear();
  }
  PyErr_SetRaisedException(exc.release());
}

void set_wrong_type_error(PyObject* obj, const char* expected, const char* parameter) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
  } else {
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
  }
  add_parameter_note(parameter);
}

}  // namespace colenc::py
