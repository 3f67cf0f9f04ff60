// The process-wide table of interned attribute names, keyed by the address of
// the literal that spells each (a few dozen, looked up linearly).
#include "python/runtime/interned.hpp"

#include <cstring>
#include <utility>
#include <vector>

#include "python/runtime/panic.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {

PyObject* interned(const char* name) {
  // Strong references, kept for the process; touched only under the
  // interpreter lock.
  static std::vector<std::pair<const char*, PyObject*>> names;
  for (const auto& [literal, text] : names) {
    if (literal == name) return text;
  }
  PyRef text = PyRef::steal(PyUnicode_InternFromString(name));
  throw_if(!text);
  names.emplace_back(name, text.get());
  return text.release();
}

}  // namespace colenc::py
