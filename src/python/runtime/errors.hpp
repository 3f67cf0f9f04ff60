// Small helpers for raising the Python exceptions of the binding layer.
#pragma once

#include <Python.h>

namespace colenc::py {

// Returns true when the set exception derives from Exception and is not a
// MemoryError. KeyboardInterrupt, SystemExit and other direct BaseException
// subclasses must travel unchanged rather than be swallowed or wrapped, and so
// must the interpreter running out of memory: taken for a cell that does not
// convert, it would silently change a result.
inline bool error_is_ordinary() {
  return PyErr_ExceptionMatches(PyExc_Exception) != 0 &&
         PyErr_ExceptionMatches(PyExc_MemoryError) == 0;
}

// Sets TypeError "'{type}' object is not an instance of '{expected}'" (for None:
// "'None' is not an instance of '{expected}'") with the note
// "while processing '{parameter}'". Borrows obj.
void set_wrong_type_error(PyObject* obj, const char* expected, const char* parameter);

// Adds the note "while processing '{parameter}'" to the set exception.
void add_parameter_note(const char* parameter);

}  // namespace colenc::py
