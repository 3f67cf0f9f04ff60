// The module definition and its entry point, PyInit_colenc, the only exported
// symbol. The execution slot registers the Encoder type, lists it in __all__
// and sets __version__.
#include <Python.h>

// The row reader's workers read str payloads while the calling thread holds
// the interpreter lock and runs no Python code, which keeps every object alive
// and unchanged; a free-threaded interpreter (3.13t) gives no such promise.
#ifdef Py_GIL_DISABLED
#error "colenc needs the interpreter lock: build it for a regular CPython, not a free-threaded (Py_GIL_DISABLED) one"
#endif

// The build passes the project version in (CMakeLists.txt).
#ifndef COLENC_VERSION
#error "COLENC_VERSION must be defined as the project version string"
#endif

#include "python/encoder/encoder_type.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {
namespace {

// Appends "Encoder" to module.__all__, creating the list when it is missing.
int extend_all(PyObject* module) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  if (!PyList_Check(all.get())) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyList'",
                 Py_TYPE(all.get())->tp_name);
    return -1;
  }
  PyRef name = PyRef::steal(PyUnicode_FromString("Encoder"));
  if (!name) return -1;
  return PyList_Append(all.get(), name.get());
}

int colenc_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyModule'",
                 Py_TYPE(module)->tp_name);
    return -1;
  }
  PyObject* type = encoder_type();  // borrowed
  if (type == nullptr) return -1;
  if (extend_all(module) < 0) return -1;
  if (PyModule_AddStringConstant(module, "__version__", COLENC_VERSION) < 0) return -1;
  return PyModule_AddObjectRef(module, "Encoder", type);
}

PyModuleDef_Slot colenc_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(colenc_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef colenc_module = {
    PyModuleDef_HEAD_INIT,
    "colenc",
    "Fast parallel label encoding of the text columns of NumPy arrays and pandas DataFrames.",
    0,
    nullptr,
    colenc_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace colenc::py

PyMODINIT_FUNC PyInit_colenc() { return PyModuleDef_Init(&colenc::py::colenc_module); }
