// The column labels of a DataFrame result: the input frame's own `columns`
// (a view of them) where they are the Index pandas would make of the
// result's texts, else the list of those texts. Making an Index of a list of
// str costs pandas about as much as the rest of a one-row call.
#include "python/decode/result_labels.hpp"

#include <utility>

#include "python/runtime/errors.hpp"
#include "python/runtime/interned.hpp"
#include "python/runtime/panic.hpp"

namespace colenc::py {
namespace {

// Returns a new list of str holding `names`.
PyRef names_list(const std::vector<std::string>& names) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
  throw_if(!list);
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* name =
        PyUnicode_DecodeUTF8(names[i].data(), static_cast<Py_ssize_t>(names[i].size()), "replace");
    throw_if(name == nullptr);
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);  // steals name
  }
  return list;
}

// Returns a new reference to attribute `name` (a string literal) of `obj`
// (borrowed), or null with no exception set when it cannot be read (an
// interrupt, or the interpreter running out of memory, still propagates as
// PythonError).
PyRef optional_attribute(PyObject* obj, const char* name) {
  PyRef value = get_attribute(obj, name);
  if (!value) clear_ordinary_error();
  return value;
}

// Returns a new reference to `options`[section][key] (`options` borrowed, a
// dict of dicts as pandas keeps its options): Py_None when pandas has no
// such option, null (no exception set) when they cannot be read.
PyRef pandas_option(PyObject* options, const char* section, const char* key) {
  PyObject* found = nullptr;
  if (PyDict_GetItemStringRef(options, section, &found) < 0) {
    clear_ordinary_error();
    return PyRef();
  }
  PyRef group = PyRef::steal(found);
  if (!group) return PyRef::borrow(Py_None);
  if (!PyDict_Check(group.get())) return PyRef();
  if (PyDict_GetItemStringRef(group.get(), key, &found) < 0) {
    clear_ordinary_error();
    return PyRef();
  }
  return found != nullptr ? PyRef::steal(found) : PyRef::borrow(Py_None);
}

// True when `a` and `b` (borrowed, may be null) are the same or equal
// objects; false, with no exception set, when they cannot be compared.
bool same_option(PyObject* a, PyObject* b) {
  if (a == b) return true;
  if (a == nullptr || b == nullptr) return false;
  const int equal = PyObject_RichCompareBool(a, b, Py_EQ);
  if (equal < 0) clear_ordinary_error();
  return equal == 1;
}

// Returns a borrowed reference to the dtype of the Index that pandas makes of
// a list of str under the options in force, or null (no exception set) when
// pandas' options cannot be read. That dtype hangs on two options alone,
// future.infer_string and mode.string_storage: it is found by making such
// an Index, once for each pair of their values, and kept for the process.
PyObject* str_list_index_dtype(PyObject* pandas) {
  // Strong references, kept for the process; read and replaced only while
  // the interpreter lock is held.
  static PyObject* probed_infer = nullptr;
  static PyObject* probed_storage = nullptr;
  static PyObject* probed_dtype = nullptr;
  PyRef config_name = PyRef::steal(PyUnicode_FromString("pandas._config.config"));
  throw_if(!config_name);
  PyRef config = PyRef::steal(PyImport_GetModule(config_name.get()));
  if (!config) clear_ordinary_error();
  PyRef options = config ? optional_attribute(config.get(), "_global_config") : PyRef();
  if (!options || !PyDict_Check(options.get())) return nullptr;
  PyRef infer = pandas_option(options.get(), "future", "infer_string");
  PyRef storage = pandas_option(options.get(), "mode", "string_storage");
  if (!infer || !storage) return nullptr;
  if (probed_dtype != nullptr && same_option(infer.get(), probed_infer) &&
      same_option(storage.get(), probed_storage)) {
    return probed_dtype;
  }
  PyRef text = PyRef::steal(Py_BuildValue("[s]", "a"));
  throw_if(!text);
  PyRef index = PyRef::steal(PyObject_CallMethod(pandas, "Index", "O", text.get()));
  if (!index) clear_ordinary_error();
  PyRef dtype = index ? optional_attribute(index.get(), "dtype") : PyRef();
  if (!dtype) return nullptr;
  // The old references are dropped last: their release may run Python code.
  PyRef old_infer = PyRef::steal(std::exchange(probed_infer, infer.release()));
  PyRef old_storage = PyRef::steal(std::exchange(probed_storage, storage.release()));
  PyRef old_dtype = PyRef::steal(std::exchange(probed_dtype, dtype.release()));
  return probed_dtype;
}

// True when `labels` (borrowed), the input frame's own `columns` whose
// labels are the `count` texts of the result, is the Index that pandas would
// make of a list of them: exactly an Index, unnamed, of the dtype pandas
// gives a list of str. An ordinary failure to tell counts as false.
bool is_str_list_index(PyObject* pandas, PyObject* labels, std::size_t count) {
  PyRef index_type = optional_attribute(pandas, "Index");
  if (!index_type || Py_TYPE(labels) != reinterpret_cast<PyTypeObject*>(index_type.get())) {
    return false;
  }
  PyRef name = optional_attribute(labels, "name");
  if (name.get() != Py_None) return false;
  const Py_ssize_t length = PyObject_Length(labels);
  if (length < 0) clear_ordinary_error();
  if (length != static_cast<Py_ssize_t>(count)) return false;
  PyRef dtype = optional_attribute(labels, "dtype");
  PyObject* inferred = dtype ? str_list_index_dtype(pandas) : nullptr;
  if (inferred == nullptr) return false;
  const int equal = PyObject_RichCompareBool(dtype.get(), inferred, Py_EQ);
  if (equal < 0) clear_ordinary_error();
  return equal == 1;
}

}  // namespace

PyRef result_columns(PyObject* pandas, const std::vector<std::string>& names, PyObject* labels) {
  if (labels != nullptr && !names.empty() && is_str_list_index(pandas, labels, names.size())) {
    PyRef view = call_method(labels, "view");
    if (view) return view;
    clear_ordinary_error();
  }
  return names_list(names);
}


}  // namespace colenc::py
