// Small helpers for the Python exceptions of the binding layer: which errors
// are ordinary, clearing those and letting the others through, and raising
// the argument-type errors.
#pragma once

#include <Python.h>

#include <source_location>
#include <string>

#include "python/runtime/panic.hpp"

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

// Clears the set exception, if any, when it is ordinary; throws PythonError,
// the exception left set, for any other. For calls whose ordinary failure
// only means "take another way".
inline void clear_ordinary_error() {
  if (PyErr_Occurred() == nullptr) return;
  if (!error_is_ordinary()) throw PythonError{};
  PyErr_Clear();
}

// Turns the set Python exception into an InternalError "{prefix}: {error}",
// but lets KeyboardInterrupt and other errors that are not ordinary through
// unchanged (as PythonError).
// REQUIRES: an exception is set.
[[noreturn]] void fail_from_python(const std::string& prefix,
                                   std::source_location where = std::source_location::current());

// Sets TypeError "'{type}' object is not an instance of '{expected}'" (for None:
// "'None' is not an instance of '{expected}'") with the note
// "while processing '{parameter}'". Borrows obj.
void set_wrong_type_error(PyObject* obj, const char* expected, const char* parameter);

// Adds the note "while processing '{parameter}'" to the set exception.
void add_parameter_note(const char* parameter);

}  // namespace colenc::py
