// The panic exception type, the stderr failure report, and the translation of
// C++ exceptions into Python exceptions at the method boundary.
#include "python/runtime/panic.hpp"

#include <cstdio>
#include <new>
#include <string>

#include "python/runtime/py_ref.hpp"

namespace colenc::py {
namespace {

// Writes the failure report: where the failure was found and its message.
// Allocates nothing, so that it serves when memory has run out.
void report(const char* file, unsigned line, const char* function, const char* message) {
  std::fprintf(stderr, "colenc: internal failure at %s:%u (%s): %s\n", file, line, function,
               message);
  std::fflush(stderr);
}

void raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // creation failed; its exception (MemoryError) is set
  PyErr_SetString(type, message);
}

}  // namespace

PyObject* panic_exception_type() {
  // Created once per process and kept for its lifetime, like the Encoder type.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException",
                                     "An internal failure of the colenc extension.",
                                     PyExc_BaseException, nullptr);
  }
  return type;
}

std::string describe_and_clear_python_error() {
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  if (!exc) return "unknown error";
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(exc.get())));
  PyRef message = PyRef::steal(PyObject_Str(exc.get()));
  const char* name_utf8 = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  const char* message_utf8 = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
  PyErr_Clear();  // a failed str() of the exception must not leak out
  std::string text = name_utf8 ? name_utf8 : "exception";
  if (message_utf8 && *message_utf8) {
    text += ": ";
    text += message_utf8;
  }
  return text;
}

void throw_internal_from_python(const std::string& prefix, std::source_location where) {
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw PythonError{};
  throw InternalError(prefix + ": " + describe_and_clear_python_error(), where);
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    // The exception is already set by the failed CPython call.
    if (!PyErr_Occurred()) raise_panic("a Python call failed without setting an exception");
  } catch (const InternalError& error) {
    report(error.where().file_name(), static_cast<unsigned>(error.where().line()),
           error.where().function_name(), error.what());
    raise_panic(error.what());
  } catch (const std::bad_alloc&) {
    report(__FILE__, __LINE__, "raise_current_exception", "memory allocation failed");
    raise_panic("memory allocation failed");
  } catch (const std::exception& error) {
    report(__FILE__, __LINE__, "raise_current_exception", error.what());
    raise_panic(error.what());
  } catch (...) {
    report(__FILE__, __LINE__, "raise_current_exception", "unknown C++ exception");
    raise_panic("unknown C++ exception");
  }
}

}  // namespace colenc::py
