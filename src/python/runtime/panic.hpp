// The panic exception and the method boundary. Internal failures travel as
// colenc::InternalError (or any C++ exception); guard() catches them, writes a
// report with the place and message to standard error, and raises the panic
// exception ("pyo3_runtime.PanicException", a direct BaseException subclass).
// A Python exception that is already set travels as PythonError and is left as is.
#pragma once

#include <Python.h>

#include <exception>
#include <string>

#include "core/internal_error.hpp"

namespace colenc::py {

// Thrown when a CPython call failed and its exception is already set; the
// boundary passes that exception on unchanged.
struct PythonError {};

// Throws PythonError when `failed` (an exception must be set).
inline void throw_if(bool failed) {
  if (failed) throw PythonError{};
}

// Returns a borrowed reference to the panic exception type, creating it on first
// use; NULL with an exception set if creation fails.
PyObject* panic_exception_type();

// Returns "{type name}: {message}" for the currently set Python exception and
// clears it; used to describe an interpreter error inside an internal failure.
std::string describe_and_clear_python_error();

// Throws InternalError with `prefix` + ": " + description of the set exception,
// or PythonError, passing it on unchanged, when that exception is a MemoryError.
[[noreturn]] void throw_internal_from_python(const std::string& prefix,
                                             std::source_location where =
                                                 std::source_location::current());

// Converts the in-flight C++ exception into a Python exception (report to
// stderr and the panic exception for internal failures and unexpected C++
// exceptions; nothing for PythonError). Call only from a catch block.
void raise_current_exception() noexcept;

// Runs `body` and returns its result; on any C++ exception sets the matching
// Python exception and returns `on_error`. No exception escapes.
template <class Result, class Body>
Result guard(Result on_error, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_current_exception();
    return on_error;
  }
}

}  // namespace colenc::py
