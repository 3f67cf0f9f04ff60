// Binding of call arguments to named parameters, with the interpreter's own
// wording for missing, extra, unexpected and repeated arguments.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <span>
#include <string_view>

namespace colenc::py {

// The parameters of one callable: all may be given by position or keyword; the
// first `required` of them must be given.
struct Signature {
  std::string_view display_name;  // e.g. "Encoder.encode()"
  std::span<const char* const> names;
  std::size_t required;
};

// Binds a vectorcall-style argument list to `sig`. On success fills `out`
// (one borrowed reference or NULL per parameter) and returns true; otherwise
// sets TypeError and returns false. Borrows every argument.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, std::span<PyObject*> out);

// Same for a tuple and an optional dict of keywords (tp_new's form).
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

}  // namespace colenc::py
