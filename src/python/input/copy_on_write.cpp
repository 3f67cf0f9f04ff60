// pandas_copies_on_write: read from pandas' version, since pandas 3 always
// copies on write and earlier versions only under an option that a later
// call may turn off.
#include "python/input/copy_on_write.hpp"

#include <Python.h>

#include <charconv>
#include <string_view>

#include "python/runtime/py_ref.hpp"
#include "python/input/storage_lookup.hpp"

namespace colenc::py {

bool pandas_copies_on_write() {
  PyRef name = PyRef::steal(PyUnicode_FromString("pandas"));
  if (!name) return not_readable();
  PyRef pandas = PyRef::steal(PyImport_GetModule(name.get()));
  if (!pandas) return not_readable();
  PyRef version = attribute(pandas.get(), "__version__");
  if (!version || !PyUnicode_Check(version.get())) return false;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(version.get(), &size);
  if (text == nullptr) return not_readable();
  int major = 0;
  const auto [end, error] = std::from_chars(text, text + size, major);
  return error == std::errc{} && major >= 3;
}

}  // namespace colenc::py
