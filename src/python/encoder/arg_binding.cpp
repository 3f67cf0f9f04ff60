// Argument binding: positional count first, then keywords in the order given,
// then the list of required parameters still missing.
#include "python/encoder/arg_binding.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace colenc::py {
namespace {

std::string quoted_list(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

bool check_positional_count(const Signature& sig, Py_ssize_t nargs) {
  const auto declared = sig.names.size();
  if (static_cast<std::size_t>(nargs) <= declared) return true;
  const std::string name(sig.display_name);
  const char* verb = nargs == 1 ? "was" : "were";
  if (sig.required == declared) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 name.c_str(), declared, nargs, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 name.c_str(), sig.required, declared, nargs, verb);
  }
  return false;
}

// Places one keyword argument; borrows `key` and `value`.
bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value, std::span<PyObject*> out) {
  for (std::size_t p = 0; p < sig.names.size(); ++p) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.names[p]) == 0) {
      if (out[p] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     std::string(sig.display_name).c_str(), sig.names[p]);
        return false;
      }
      out[p] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
               std::string(sig.display_name).c_str(), key);
  return false;
}

bool check_required(const Signature& sig, std::span<PyObject*> out) {
  std::vector<const char*> missing;
  for (std::size_t p = 0; p < sig.required; ++p) {
    if (out[p] == nullptr) missing.push_back(sig.names[p]);
  }
  if (missing.empty()) return true;
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
               std::string(sig.display_name).c_str(), missing.size(),
               missing.size() == 1 ? "argument" : "arguments", quoted_list(missing).c_str());
  return false;
}

}  // namespace

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, std::span<PyObject*> out) {
  std::fill(out.begin(), out.end(), nullptr);
  if (!check_positional_count(sig, nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
  }
  return check_required(sig, out);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  std::fill(out.begin(), out.end(), nullptr);
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!check_positional_count(sig, nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(sig, key, value, out)) return false;
    }
  }
  return check_required(sig, out);
}

}  // namespace colenc::py
